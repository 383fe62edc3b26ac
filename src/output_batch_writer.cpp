#include <utility>

#include "output.hpp"

// The batch writer's thread: the executor fills the chunks of the ring, the
// writer takes them in order and empties their rows for the executor again.
namespace kelvane::output {

BatchWriterThread::BatchWriterThread(BatchStreamSink&& sink) : sink_(std::move(sink)) {
  for (std::size_t k = 0; k < kChunks; ++k) {
    ring_.slot(k).rows.resize(kChunkRows);
    ring_.slot(k).staged.resize(kChunkRows);
  }
  thread_ = std::thread([this] { run(); });
}

BatchWriterThread::~BatchWriterThread() { drain(); }

Status BatchWriterThread::failure() {
  if (exception_) std::rethrow_exception(exception_);
  return errors::fail(*error_);
}

Status BatchWriterThread::push(Row& row) {
  if (failed_.load(std::memory_order_acquire)) [[unlikely]] return failure();
  std::swap(ring_.slot(filling_).rows[filled_], row);
  if (++filled_ == kChunkRows) publish(false);
  return {};
}

Status BatchWriterThread::push_staged(StagedRow& staged, Row& row) {
  if (failed_.load(std::memory_order_acquire)) [[unlikely]] {
    staged.clear();
    row.reset_for_reuse();
    return failure();
  }
  RowChunk& chunk = ring_.slot(filling_);
  std::swap(chunk.staged[filled_], staged);
  std::swap(chunk.rows[filled_], row);
  if (++filled_ == kChunkRows) publish(false);
  return {};
}

// Hands the chunk being filled to the writer and waits for the slot of the
// next one to be free (the writer never stops taking chunks).
void BatchWriterThread::publish(bool last) {
  ring_.slot(filling_).count = filled_;
  ring_.publish(filling_, last);
  ++filling_;
  filled_ = 0;
  if (!last) ring_.wait_for_room(filling_);
}

void BatchWriterThread::run() {
  for (std::size_t k = 0; ring_.wait_for_chunk(k); ++k) {
    RowChunk& chunk = ring_.slot(k);
    for (std::size_t i = 0; i < chunk.count; ++i) {
      Row& row = chunk.rows[i];
      StagedRow& staged = chunk.staged[i];
      if (!failed_.load(std::memory_order_relaxed)) {
        try {
          if (Status st = staged.empty() ? sink_.take_row(row) : sink_.take_staged(staged, row);
              !st) {
            error_ = std::move(st.error());
            failed_.store(true, std::memory_order_release);
          }
        } catch (...) {
          exception_ = std::current_exception();
          failed_.store(true, std::memory_order_release);
        }
      }
      staged.clear();
      row.reset_for_reuse();
    }
    ring_.release(k);
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
