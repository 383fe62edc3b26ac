#include "line_driver_parts.hpp"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

// The pool that decodes large programs and pre-checks streamed ones in
// parallel chunks.
namespace kelvane::line_driver {

namespace {

[[maybe_unused]] tbb::task_arena& pool_arena() {  // not used by the thread-sanitizer build
  static tbb::task_arena arena(static_cast<int>(pool_threads()));
  return arena;
}

#if defined(__SANITIZE_THREAD__)
#define KELVANE_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KELVANE_UNDER_TSAN 1
#endif
#endif

}  // namespace

void for_each_on_pool(std::size_t n, const std::function<void(std::size_t)>& job) {
#ifdef KELVANE_UNDER_TSAN
  // The pool's library is not built with ThreadSanitizer, which therefore
  // cannot see how it orders its jobs: the sanitizer build runs the same jobs
  // on plain threads instead, so that races in the jobs themselves show.
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < std::min(pool_threads(), n); ++t)
    threads.emplace_back([&] {
      for (std::size_t k; (k = next.fetch_add(1)) < n;) job(k);
    });
  for (std::thread& t : threads) t.join();
#else
  pool_arena().execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        for (std::size_t k = r.begin(); k < r.end(); ++k) job(k);
                      });
  });
#endif
}

void decode_chunk(std::size_t k, std::size_t chunk_lines, std::span<const std::string_view> lines,
                  DecodedChunk& out) {
  out.words.clear();
  out.results.clear();
  // four words per line, more when the lines are long (about one word per
  // four bytes), so that the list is not moved while it grows
  std::size_t bytes = 0;
  if (!lines.empty()) bytes = static_cast<std::size_t>(lines.back().data() + lines.back().size() - lines.front().data());
  out.words.reserve(std::max(lines.size() * 4, bytes / 4));
  out.results.reserve(lines.size());
  const std::size_t first = k * chunk_lines + 1;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out.results.push_back(decode_line(lines[i], first + i, out.words));
  }
}

DecodedProgram decode_all_lines(std::span<const std::string_view> lines, std::size_t byte_length) {
  DecodedProgram program;
  const std::size_t threads = pool_threads();
  if (byte_length >= kParallelDecodeMinBytes && threads >= 2) {
    program.chunk_lines = std::max(lines.size() / (8 * threads), kMinChunkLines);
    const std::size_t nchunks = (lines.size() + program.chunk_lines - 1) / program.chunk_lines;
    program.chunks.resize(std::max<std::size_t>(nchunks, 1));
    const std::size_t chunk_lines = program.chunk_lines;
    for_each_on_pool(nchunks, [&](std::size_t k) {
      const std::size_t start = k * chunk_lines;
      const std::size_t count = std::min(chunk_lines, lines.size() - start);
      decode_chunk(k, chunk_lines, lines.subspan(start, count), program.chunks[k]);
    });
  } else {
    program.chunk_lines = std::max<std::size_t>(lines.size(), 1);
    program.chunks.resize(1);
    decode_chunk(0, program.chunk_lines, lines, program.chunks[0]);
  }
  return program;
}

}  // namespace kelvane::line_driver
