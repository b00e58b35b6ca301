#include "tools/listen/Recorder.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace receiver {

Recorder::~Recorder() {
  Close();
}

bool Recorder::Open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "a");
  if (file_ == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  // "a" puts the position at the end: an empty file is a new recording and gets the header.
  if (std::fseek(file_, 0, SEEK_END) == 0 && std::ftell(file_) == 0) {
    std::fprintf(file_, "%s\n", kHeader);
    std::fflush(file_);
  }
  return true;
}

void Recorder::Write(double unixTime, std::string_view sender, std::string_view payload) {
  if (file_ == nullptr) return;
  const double whole = std::floor(unixTime);
  long micros = std::lround((unixTime - whole) * 1e6);
  long long seconds = static_cast<long long>(whole);
  if (micros >= 1000000) micros -= 1000000, ++seconds;
  std::fprintf(file_, "%lld.%06ld,%.*s,", seconds, micros, static_cast<int>(sender.size()),
               sender.data());
  // The fields are separated by single spaces in a well-formed datagram, never by commas.
  for (char c : payload) std::fputc(c == ' ' ? ',' : c, file_);
  std::fputc('\n', file_);
}

void Recorder::FlushIfDue(double now) {
  if (file_ == nullptr || now - lastFlush_ < 1.0) return;
  std::fflush(file_);
  lastFlush_ = now;
}

void Recorder::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

}  // namespace receiver
