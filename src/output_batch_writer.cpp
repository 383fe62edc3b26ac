#include <utility>

#include "output.hpp"

// The batch writer's thread: chunk k of rows goes into slot k % kChunks; the
// executor fills a slot once the writer is done with the chunk it held.
namespace kelvane::output {

BatchWriterThread::BatchWriterThread(BatchStreamSink&& sink) : sink_(std::move(sink)) {
  for (auto& chunk : chunks_) chunk.resize(kChunkRows);
  thread_ = std::thread([this] { run(); });
}

BatchWriterThread::~BatchWriterThread() { drain(); }

Status BatchWriterThread::push(Row& row) {
  if (failed_.load(std::memory_order_acquire)) [[unlikely]] {
    if (exception_) std::rethrow_exception(exception_);
    return errors::fail(*error_);
  }
  std::swap(chunks_[filling_ % kChunks][filled_], row);
  if (++filled_ == kChunkRows) publish(false);
  return {};
}

// Hands the chunk being filled to the writer and waits for the slot of the
// next one to be free.
void BatchWriterThread::publish(bool last) {
  {
    std::unique_lock lock(mutex_);
    counts_[filling_ % kChunks] = filled_;
    published_ = filling_ + 1;
    last_published_ = last;
  }
  ready_.notify_one();
  ++filling_;
  filled_ = 0;
  if (last) return;
  std::unique_lock lock(mutex_);
  room_.wait(lock, [&] { return filling_ < written_ + kChunks; });
}

void BatchWriterThread::run() {
  for (std::size_t k = 0;; ++k) {
    std::size_t count = 0;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [&] { return k < published_ || last_published_; });
      if (k >= published_) return;  // the last chunk was written
      count = counts_[k % kChunks];
    }
    std::vector<Row>& chunk = chunks_[k % kChunks];
    for (std::size_t i = 0; i < count; ++i) {
      Row& row = chunk[i];
      if (!failed_.load(std::memory_order_relaxed)) {
        try {
          if (Status st = sink_.take_row(row); !st) {
            error_ = std::move(st.error());
            failed_.store(true, std::memory_order_release);
          }
        } catch (...) {
          exception_ = std::current_exception();
          failed_.store(true, std::memory_order_release);
        }
      }
      row.reset_for_reuse();
    }
    {
      std::lock_guard lock(mutex_);
      written_ = k + 1;
    }
    room_.notify_one();
  }
}

void BatchWriterThread::drain() {
  if (drained_) return;
  drained_ = true;
  publish(true);
  thread_.join();
}

Result<BatchStreamSink> BatchWriterThread::finish() {
  drain();
  if (exception_) std::rethrow_exception(exception_);
  if (error_) return errors::fail(std::move(*error_));
  return std::move(sink_);
}

}  // namespace kelvane::output
