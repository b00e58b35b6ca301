#include "tools/listen/QueuedOutput.h"

#include <pthread.h>

namespace receiver {

QueuedOutput::QueuedOutput(std::string what, std::unique_ptr<Sink> sink, Report report,
                           std::size_t capacity)
    : what_(std::move(what)),
      sink_(std::move(sink)),
      report_(std::move(report)),
      capacity_(capacity),
      thread_([this] { Run(); }) {
  // Named, so that a per-thread profile (/proc/PID/task/*/comm) tells the outputs apart.
  pthread_setname_np(thread_.native_handle(), ("out-" + sink_->Label()).substr(0, 15).c_str());
}

QueuedOutput::~QueuedOutput() {
  QueuedOutput::Close(std::chrono::steady_clock::now());  // its own, not an override
}

void QueuedOutput::Take(const Arrival& arrival) {
  if (!sink_->Wants(arrival)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
    if (queue_.size() >= capacity_) {
      if (dropped_++ == 0 && report_) {
        report_(what_ + " does not keep up: " + std::to_string(capacity_) +
                " waiting; the newest are dropped and counted");
      }
      return;
    }
    queue_.push_back(arrival);
  }
  wake_.notify_one();
}

void QueuedOutput::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, std::chrono::milliseconds(200),
                   [this] { return closing_ || reopen_ || !queue_.empty(); });
    if (reopen_) {
      reopen_ = false;
      lock.unlock();
      sink_->Reopen();
      lock.lock();
    }
    if (queue_.empty()) {
      if (closing_) break;
      lock.unlock();
      sink_->Idle();
      lock.lock();
      continue;
    }
    if (stop_) {
      dropped_ += queue_.size();  // the deadline came first
      queue_.clear();
      break;
    }
    const Arrival arrival = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    sink_->Write(arrival, stop_);
    sink_->Idle();
    lock.lock();
  }
  lock.unlock();
  sink_->Finish(stop_);
  lock.lock();
  finished_ = true;
  drained_.notify_all();
}

void QueuedOutput::Reopen() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reopen_ = true;
  }
  wake_.notify_one();
}

void QueuedOutput::BeginClose() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
}

void QueuedOutput::Close(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) return;
  closing_ = true;
  wake_.notify_one();
  if (!drained_.wait_until(lock, deadline, [this] { return finished_; })) {
    stop_ = true;  // a blocked write gives up within 100 ms
    wake_.notify_one();
  }
  lock.unlock();
  thread_.join();
}

std::uint64_t QueuedOutput::Lost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_ + (finished_ ? sink_->NotWritten() : 0);
}

std::string QueuedOutput::LossLine() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sink_->Losses(finished_ ? sink_->NotWritten() : 0, dropped_);
}

}  // namespace receiver
