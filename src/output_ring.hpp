#pragma once
// A small ring of reused chunks between a thread that writes them and one
// that takes them, in order, each thread waiting only while the ring is full
// or empty.
#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace kelvane::output {

// Chunk k goes into slot k % N; `published` counts the chunks written,
// `taken` those the taker is done with.
template <typename Chunk, std::size_t N>
class ChunkRing {
 public:
  Chunk& slot(std::size_t k) { return chunks_[k % N]; }

  // Writer: waits for room for chunk k; false once the taker stopped.
  bool wait_for_room(std::size_t k) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return stopped_ || k < taken_ + N; });
    return !stopped_;
  }
  // Writer: chunk k is written; `last` when no chunk follows.
  void publish(std::size_t k, bool last) {
    {
      std::lock_guard lock(mutex_);
      published_ = k + 1;
      finished_ = last;
    }
    ready_.notify_one();
  }
  // Taker: waits for chunk k; false when the chunks ended before it.
  bool wait_for_chunk(std::size_t k) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return k < published_ || finished_; });
    return k < published_;
  }
  // Taker: done with chunk k; its slot may be written again.
  void release(std::size_t k) {
    {
      std::lock_guard lock(mutex_);
      taken_ = k + 1;
    }
    room_.notify_one();
  }
  // Writer: no more chunks will come.
  void fail() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    ready_.notify_one();
  }
  // Taker: no more chunks wanted.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    room_.notify_one();
  }

 private:
  std::array<Chunk, N> chunks_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::size_t published_ = 0;
  std::size_t taken_ = 0;
  bool finished_ = false;
  bool stopped_ = false;
};

}  // namespace kelvane::output
