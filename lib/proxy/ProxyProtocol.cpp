#include "lib/proxy/ProxyProtocol.h"

namespace proxy {
namespace {

void Put16(std::vector<std::uint8_t>& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

std::uint16_t Get16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

// Drops consumed bytes now and then so the buffer does not grow with the stream.
void Compact(std::vector<std::uint8_t>& buffer, std::size_t& start) {
  if (start > 0 && (start == buffer.size() || start > 4096)) {
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(start));
    start = 0;
  }
}

}  // namespace

std::vector<std::uint8_t> EncodeReadRequest(std::uint16_t id, const std::string& name) {
  const std::size_t n = std::min<std::size_t>(name.size(), 0xFFFF - 3);
  std::vector<std::uint8_t> out;
  out.reserve(7 + n);
  Put16(out, id);
  Put16(out, 3 + n);
  out.push_back(0);
  Put16(out, n);
  out.insert(out.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(n));
  return out;
}

std::vector<std::uint8_t> EncodeWriteRequest(std::uint16_t id, const std::string& name,
                                             const std::string& value) {
  const std::size_t n = std::min<std::size_t>(name.size(), 1024);
  const std::size_t m = std::min<std::size_t>(value.size(), 1024);
  std::vector<std::uint8_t> out;
  out.reserve(9 + n + m);
  Put16(out, id);
  Put16(out, 5 + n + m);
  out.push_back(1);
  Put16(out, n);
  out.insert(out.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(n));
  Put16(out, m);
  out.insert(out.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(m));
  return out;
}

std::vector<std::uint8_t> EncodeReply(std::uint16_t id, const std::string& value, bool success,
                                      int contentLengthPlus) {
  const std::size_t m = std::min<std::size_t>(value.size(), 0xFFFF - 6);
  std::vector<std::uint8_t> out;
  out.reserve(kReplyOverhead + m);
  Put16(out, id);
  Put16(out, m + static_cast<std::size_t>(contentLengthPlus));
  out.push_back(0);
  Put16(out, m);
  out.insert(out.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(m));
  out.push_back(0);
  out.push_back(1);
  out.push_back(success ? 1 : 0);
  return out;
}

void ReplyDecoder::Feed(const std::uint8_t* data, std::size_t length) {
  if (malformed_) return;
  Compact(buffer_, start_);
  buffer_.insert(buffer_.end(), data, data + length);
}

std::optional<Reply> ReplyDecoder::Next() {
  if (malformed_) return std::nullopt;
  const std::size_t available = buffer_.size() - start_;
  if (available < 7) return std::nullopt;
  const std::uint8_t* frame = buffer_.data() + start_;
  const std::size_t valueLength = Get16(frame + 5);
  const std::size_t contentLength = Get16(frame + 2);
  // The two conventions seen in the field; anything else is not this protocol.
  if (contentLength != valueLength + 6 && contentLength != valueLength + 3) {
    malformed_ = true;
    return std::nullopt;
  }
  const std::size_t total = kReplyOverhead + valueLength;
  if (available < total) return std::nullopt;
  if (frame[total - 3] != 0 || frame[total - 2] != 1 || frame[total - 1] > 1) {
    malformed_ = true;
    return std::nullopt;
  }
  Reply reply;
  reply.id = Get16(frame);
  reply.value.assign(reinterpret_cast<const char*>(frame + 7), valueLength);
  reply.success = frame[total - 1] == 1;
  start_ += total;
  return reply;
}

void RequestDecoder::Feed(const std::uint8_t* data, std::size_t length) {
  if (malformed_) return;
  Compact(buffer_, start_);
  buffer_.insert(buffer_.end(), data, data + length);
}

std::optional<Request> RequestDecoder::Next() {
  if (malformed_) return std::nullopt;
  const std::size_t available = buffer_.size() - start_;
  if (available < 4) return std::nullopt;
  const std::uint8_t* frame = buffer_.data() + start_;
  const std::size_t contentLength = Get16(frame + 2);
  if (contentLength < 3 || contentLength > kMaxContentLength) {
    malformed_ = true;
    return std::nullopt;
  }
  if (available < 4 + contentLength) return std::nullopt;
  // The whole frame is here: every length below is checked against its content length.
  const std::uint8_t mode = frame[4];
  const std::size_t nameLength = Get16(frame + 5);
  std::size_t valueLength = 0;
  bool consistent = false;
  if (mode == 1) {
    consistent = contentLength >= 5 + nameLength &&
                 contentLength == 5 + nameLength + (valueLength = Get16(frame + 7 + nameLength));
  } else {
    consistent = nameLength == contentLength - 3;
  }
  if (!consistent || nameLength > kMaxNameLength) {
    malformed_ = true;
    return std::nullopt;
  }
  Request request;
  request.id = Get16(frame);
  request.mode = mode;
  request.name.assign(reinterpret_cast<const char*>(frame + 7), nameLength);
  if (mode == 1) {
    request.value.assign(reinterpret_cast<const char*>(frame + 9 + nameLength), valueLength);
  }
  start_ += 4 + contentLength;
  return request;
}

}  // namespace proxy
