// The station's HSMS framing and SECS-II decoding on bytes from the factory's network: a stream
// cut into messages, each message's body decoded; whatever decodes must encode and decode back to
// the same item.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "station/gem/Hsms.h"
#include "station/gem/Secs2.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hsms::FrameReader reader(1 << 16);
  // Fed in two pieces, as a socket may deliver them.
  const std::size_t half = size / 2;
  reader.feed(reinterpret_cast<const char*>(data), half);
  hsms::Message message;
  for (int round = 0; round < 2; ++round) {
    for (;;) {
      const auto status = reader.next(message);
      if (status == hsms::FrameReader::Status::NEED_MORE ||
          status == hsms::FrameReader::Status::BROKEN) {
        break;
      }
      if (status != hsms::FrameReader::Status::MESSAGE) continue;
      secs::Item item;
      bool has = false;
      std::string error;
      const auto* body = reinterpret_cast<const std::uint8_t*>(message.body.data());
      if (!secs::decode(body, message.body.size(), item, has, error) || !has) continue;
      std::string again;
      if (!secs::encode(item, again)) std::abort();
      secs::Item back;
      bool hasBack = false;
      if (!secs::decode(reinterpret_cast<const std::uint8_t*>(again.data()), again.size(), back,
                        hasBack, error) ||
          !hasBack || !(back == item)) {
        std::abort();
      }
      (void)item.sml();
    }
    reader.feed(reinterpret_cast<const char*>(data) + half, size - half);
  }
  return 0;
}
