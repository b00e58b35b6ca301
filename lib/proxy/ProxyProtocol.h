#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The variable proxy's wire format: 16-bit fields big-endian.
//   read request: [id][content length = 3 + N][mode 0][N][name: N bytes]
//   write request: [id][content length = 5 + N + M][mode 1][N][name: N bytes][M][value: M bytes]
//   reply:        [id][content length][mode][M][value: M bytes][00 01][status]
// Servers disagree on a reply's content length (M + 6 or M + 3), so replies are framed by the
// value length and the three tail bytes [00 01][status], status 1 for success and 0 for failure.
// A frame that fits neither convention, or whose tail is not that, is not this protocol.
namespace proxy {

inline constexpr std::uint16_t kDefaultPort = 7000;
inline constexpr std::size_t kReplyOverhead = 7 + 3;

std::vector<std::uint8_t> EncodeReadRequest(std::uint16_t id, const std::string& name);
std::vector<std::uint8_t> EncodeWriteRequest(std::uint16_t id, const std::string& name,
                                             const std::string& value);

// contentLengthPlus: 6 or 3, the two conventions seen in the field.
std::vector<std::uint8_t> EncodeReply(std::uint16_t id, const std::string& value, bool success,
                                      int contentLengthPlus = 6);

struct Reply {
  std::uint16_t id = 0;
  std::string value;
  bool success = false;
};

// A request as the server sees it: a read (mode 0) or a write (mode 1, with the value to write).
struct Request {
  std::uint16_t id = 0;
  std::uint8_t mode = 0;
  std::string name;
  std::string value;
};

// Collects bytes as they arrive and hands out whole frames. Lengths from the network only ever
// select how many buffered bytes to take; nothing is read past what has arrived. After a frame
// that breaks the protocol the decoder stays failed: there is no telling where the next frame
// would start.
class ReplyDecoder {
 public:
  void Feed(const std::uint8_t* data, std::size_t length);
  std::optional<Reply> Next();
  std::size_t Buffered() const { return buffer_.size() - start_; }
  bool Malformed() const { return malformed_; }

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;
  bool malformed_ = false;
};

// The server's side: requests are framed by their content length, which must agree with the name
// length (and, in a write, the value's). A frame that does not is malformed and the decoder stays
// failed.
class RequestDecoder {
 public:
  static constexpr std::size_t kMaxNameLength = 1024;
  static constexpr std::size_t kMaxContentLength = 8 * 1024;
  void Feed(const std::uint8_t* data, std::size_t length);
  std::optional<Request> Next();
  bool Malformed() const { return malformed_; }
  std::size_t Buffered() const { return buffer_.size() - start_; }  // of a frame not yet whole

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;
  bool malformed_ = false;
};

}  // namespace proxy
