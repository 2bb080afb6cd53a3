#include "station/gem/Hsms.h"

#include <algorithm>

namespace hsms {

Header Header::data(std::uint16_t session, int stream, int function, bool wait,
                    std::uint32_t system) {
  Header h;
  h.session = session;
  h.byte2 = static_cast<std::uint8_t>((stream & 0x7F) | (wait ? 0x80 : 0));
  h.byte3 = static_cast<std::uint8_t>(function);
  h.system = system;
  return h;
}

Header Header::control(SType stype, std::uint32_t system, std::uint8_t byte3, std::uint8_t byte2) {
  Header h;
  h.stype = stype;
  h.system = system;
  h.byte2 = byte2;
  h.byte3 = byte3;
  return h;
}

std::string Header::bytes() const {
  std::string out(HEADER_SIZE, '\0');
  out[0] = static_cast<char>(session >> 8);
  out[1] = static_cast<char>(session & 0xFF);
  out[2] = static_cast<char>(byte2);
  out[3] = static_cast<char>(byte3);
  out[4] = static_cast<char>(ptype);
  out[5] = static_cast<char>(stype);
  for (int i = 0; i < 4; ++i) out[6 + i] = static_cast<char>((system >> (24 - 8 * i)) & 0xFF);
  return out;
}

Header Header::fromBytes(const std::uint8_t* at) {
  Header h;
  h.session = static_cast<std::uint16_t>((at[0] << 8) | at[1]);
  h.byte2 = at[2];
  h.byte3 = at[3];
  h.ptype = at[4];
  h.stype = static_cast<SType>(at[5]);
  h.system = (static_cast<std::uint32_t>(at[6]) << 24) | (static_cast<std::uint32_t>(at[7]) << 16) |
             (static_cast<std::uint32_t>(at[8]) << 8) | at[9];
  return h;
}

std::string frame(const Header& header, const std::string& body) {
  const std::size_t length = HEADER_SIZE + body.size();
  std::string out;
  out.reserve(4 + length);
  for (int i = 3; i >= 0; --i) out += static_cast<char>((length >> (8 * i)) & 0xFF);
  out += header.bytes();
  out += body;
  return out;
}

FrameReader::Status FrameReader::next(Message& message) {
  if (skipping_ > 0) {
    const std::size_t drop =
        static_cast<std::size_t>(std::min<std::uint64_t>(skipping_, buffer_.size() - used_));
    used_ += drop;
    skipping_ -= drop;
    if (skipping_ > 0) {
      buffer_.clear();
      used_ = 0;
      return Status::NEED_MORE;
    }
  }
  const auto* at = reinterpret_cast<const std::uint8_t*>(buffer_.data()) + used_;
  const std::size_t available = buffer_.size() - used_;
  Status status = Status::NEED_MORE;
  if (available >= 4) {
    const std::uint64_t length = (static_cast<std::uint64_t>(at[0]) << 24) |
                                 (static_cast<std::uint64_t>(at[1]) << 16) |
                                 (static_cast<std::uint64_t>(at[2]) << 8) | at[3];
    if (length < HEADER_SIZE) return Status::BROKEN;
    if (length - HEADER_SIZE > maxBody_) {
      if (available >= 4 + HEADER_SIZE) {
        message.header = Header::fromBytes(at + 4);
        message.body.clear();
        used_ += 4 + HEADER_SIZE;
        skipping_ = length - HEADER_SIZE;
        status = Status::TOO_LONG;
      }
    } else if (available >= 4 + length) {
      message.header = Header::fromBytes(at + 4);
      message.body.assign(reinterpret_cast<const char*>(at + 4 + HEADER_SIZE),
                          static_cast<std::size_t>(length - HEADER_SIZE));
      used_ += 4 + static_cast<std::size_t>(length);
      status = Status::MESSAGE;
    }
  }
  if (used_ == buffer_.size()) {
    buffer_.clear();
    used_ = 0;
  } else if (used_ > (1u << 16) && used_ * 2 > buffer_.size()) {
    buffer_.erase(0, used_);
    used_ = 0;
  }
  return status;
}

}  // namespace hsms
