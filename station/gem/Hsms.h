// HSMS (SEMI E37) framing: every message is a 4-byte big-endian length, a 10-byte header and,
// for data messages, a SECS-II body. The header holds the session (device) id, the W bit and
// stream, the function, the presentation type (0: SECS-II), the session type (data, select,
// deselect, linktest, reject, separate) and the system bytes that pair a reply with its request.
#ifndef ATE_STATION_GEM_HSMS_H_
#define ATE_STATION_GEM_HSMS_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace hsms {

enum class SType : std::uint8_t {
  DATA = 0,
  SELECT_REQ = 1,
  SELECT_RSP = 2,
  DESELECT_REQ = 3,
  DESELECT_RSP = 4,
  LINKTEST_REQ = 5,
  LINKTEST_RSP = 6,
  REJECT_REQ = 7,
  SEPARATE_REQ = 9,
};

// Select.rsp's status (the header's byte 3).
constexpr std::uint8_t SELECT_OK = 0;
constexpr std::uint8_t SELECT_ALREADY_ACTIVE = 1;
constexpr std::uint8_t SELECT_NOT_READY = 2;
constexpr std::uint8_t SELECT_EXHAUSTED = 3;  // the one connection is taken
// Deselect.rsp's status.
constexpr std::uint8_t DESELECT_OK = 0;
constexpr std::uint8_t DESELECT_NOT_SELECTED = 1;
// Reject.req's reason (byte 3); its byte 2 holds the rejected message's SType (PType for
// REJECT_PTYPE).
constexpr std::uint8_t REJECT_STYPE = 1;
constexpr std::uint8_t REJECT_PTYPE = 2;
constexpr std::uint8_t REJECT_NO_TRANSACTION = 3;
constexpr std::uint8_t REJECT_NOT_SELECTED = 4;

constexpr std::size_t HEADER_SIZE = 10;

struct Header {
  std::uint16_t session = 0xFFFF;  // the device id in data messages; 0xFFFF in control ones
  std::uint8_t byte2 = 0;          // data: W bit (0x80) and stream
  std::uint8_t byte3 = 0;          // data: function; control: a status or reason
  std::uint8_t ptype = 0;
  SType stype = SType::DATA;
  std::uint32_t system = 0;

  bool wait() const { return (byte2 & 0x80) != 0; }
  int stream() const { return byte2 & 0x7F; }
  int function() const { return byte3; }

  static Header data(std::uint16_t session, int stream, int function, bool wait,
                     std::uint32_t system);
  static Header control(SType stype, std::uint32_t system, std::uint8_t byte3 = 0,
                        std::uint8_t byte2 = 0);
  // The 10 bytes as they go on the wire (S9's MHEAD and SHEAD carry them).
  std::string bytes() const;
  static Header fromBytes(const std::uint8_t* at);
};

struct Message {
  Header header;
  std::string body;  // SECS-II bytes; empty for control messages
};

// A whole message, length first.
std::string frame(const Header& header, const std::string& body);

// Cuts a byte stream into messages. A message longer than the limit is skipped as its bytes come
// (its header kept, for the S9F11 that answers it); a length below the header's size leaves
// nothing to frame by, and the connection must end.
class FrameReader {
 public:
  explicit FrameReader(std::size_t maxBody) : maxBody_(maxBody) {}

  enum class Status {
    NEED_MORE,  // no whole message yet
    MESSAGE,    // message holds the next one
    TOO_LONG,   // message.header is one whose body went over the limit (and was skipped)
    BROKEN      // a length no message can have
  };
  void feed(const char* data, std::size_t size) { buffer_.append(data, size); }
  Status next(Message& message);
  // Whether part of a message is waiting (for the T8 timer between its bytes).
  bool midMessage() const { return !buffer_.empty() || skipping_ > 0; }

 private:
  std::size_t maxBody_;
  std::string buffer_;
  std::size_t used_ = 0;        // bytes of buffer_ already taken
  std::uint64_t skipping_ = 0;  // bytes of an overlong message still to drop
};

}  // namespace hsms

#endif  // ATE_STATION_GEM_HSMS_H_
