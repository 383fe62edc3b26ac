// interpret_block on simple motion blocks, one thread: blocks per second and
// heap allocations per block (counted by a replaced operator new).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <variant>

#include "interpret_rules.hpp"
#include "output.hpp"
#include "state.hpp"
#include "types.hpp"

namespace {
std::atomic<std::size_t> g_allocations{0};
}

void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace kelvane;

int main(int argc, char** argv) {
  const std::size_t n_blocks = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
  std::string text;
  text.reserve(n_blocks * 40);
  for (std::size_t i = 0; i < n_blocks; ++i) {
    const double x = static_cast<double>(i % 1000) * 0.125;
    const double y = static_cast<double>(i % 777) * 0.5;
    text += "N" + std::to_string(10 + i) + (i % 2 ? " G1 X" : " G0 X") + std::to_string(x) +
            " Y" + std::to_string(y) + " Z-1.5 F1200\n";
  }
  auto source = std::make_shared<const std::string>(std::move(text));
  auto parsed = types::NCParser::parse(types::Rule::file, *source);
  if (!parsed) {
    std::fprintf(stderr, "parse failed: %s\n", parsed.error().display.c_str());
    return 1;
  }
  types::Pair file = *parsed->next();
  types::Pair blocks = *file.into_inner().next();

  auto st = state::build_state(std::nullopt, std::nullopt, 10000, std::nullopt, false);
  if (!st) return 1;
  state::State& state = *st;
  state.set_input(source);

  for (int round = 0; round < 3; ++round) {
    auto rows = output::OutputRows::collecting();
    auto& collected = std::get<output::RowSink::Collect>(rows.sink.v).rows;
    collected.reserve(4096);
    std::size_t count = 0;
    const std::size_t a0 = g_allocations.load(std::memory_order_relaxed);
    const auto t0 = std::chrono::steady_clock::now();
    for (const types::Pair& block : blocks.into_inner()) {
      auto flow = interpret_rules::interpret_block(block, rows, state);
      if (!flow) {
        std::fprintf(stderr, "error: %s\n", flow.error().message().c_str());
        return 1;
      }
      ++count;
      if (collected.size() >= 4096) collected.clear();  // keep memory flat
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::size_t allocs_in_blocks = g_allocations.load(std::memory_order_relaxed) - a0;
    std::printf(
        "interpret_block: %zu blocks in %.3f s = %.0f blocks/s (%.2f us/block), %.2f heap "
        "allocations per block (the row's cell list included)\n",
        count, seconds, static_cast<double>(count) / seconds, seconds * 1e6 / count,
        static_cast<double>(allocs_in_blocks) / static_cast<double>(count));
  }
  return 0;
}
