#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "portable/Result.h"
#include "tools/listen/Output.h"

namespace receiver {

// One datagram read from the socket; the payload is valid until the next Next().
struct Datagram {
  std::string_view payload;
  in_addr from{};
  std::uint16_t fromPort = 0;
  double unixTime = 0;  // when the kernel took it in, seconds since 1970
  std::chrono::steady_clock::time_point steadyTime;  // the same moment on the steady clock
};

// A bound UDP socket that tells when each datagram arrived (the kernel's time stamp, so a
// datagram read late keeps its time) and how many the kernel dropped for want of buffer room.
class DatagramReceiver {
 public:
  // A fleet sends in step: 2,000 robots put 2,000 datagrams in the buffer within a millisecond
  // or two, and the default buffer holds about 300 of them. Measured, 2,000 take about 2.4 MB.
  static constexpr int kReceiveBuffer = 4 << 20;

  // Binds to ADDRESS (a name or an IPv4 address) and port. A buffer smaller than asked for is
  // said through report, with what limits it.
  static portable::Result<DatagramReceiver> Open(const std::string& address, std::uint16_t port,
                                                 const Report& report);
  DatagramReceiver(DatagramReceiver&& other) noexcept;
  DatagramReceiver& operator=(DatagramReceiver&&) = delete;
  DatagramReceiver(const DatagramReceiver&) = delete;
  DatagramReceiver& operator=(const DatagramReceiver&) = delete;
  ~DatagramReceiver();

  // Waits up to the time for a datagram, or for a signal; true when one is waiting.
  bool Wait(int milliseconds) const;
  // The next datagram waiting, without waiting; none when nothing is waiting.
  std::optional<Datagram> Next();
  // Datagrams the kernel dropped since the socket opened because the buffer was full.
  std::uint64_t KernelDrops() const;

 private:
  explicit DatagramReceiver(int fd) : fd_(fd), buffer_(65536) {}

  int fd_ = -1;
  std::vector<char> buffer_;
  std::uint32_t droppedBefore_ = 0;  // as the last datagram's SO_RXQ_OVFL said
};

}  // namespace receiver
