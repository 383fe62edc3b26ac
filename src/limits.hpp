#pragma once
// The limits and defaults of the system in one place, each with the reason
// for its value.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace kelvane::limits {

// --- defaults of the Python entry functions -------------------------------

// Loop passes and backward jumps a loop or block list may make before the
// run fails: generous for real programs, small enough to stop a runaway one.
inline constexpr std::size_t kDefaultIterationLimit = 10000;
// Rows of one Arrow batch: large enough that per-batch costs vanish, small
// enough that three waiting batches stay in the tens of MB.
inline constexpr std::size_t kDefaultBatchSize = 500000;

// --- the worker and its channels ------------------------------------------

// The worker thread's stack: the parser and the recursive executor need
// about 1 KiB a nesting level in the optimised build, up to 13 KiB in the
// sanitizer build; kMaxNesting levels fit with room to spare.
inline constexpr std::size_t kWorkerStackSize = std::size_t{2} << 20;
// Rows waiting for the row iterator: enough to keep the worker busy while
// Python builds dicts, bounded so a slow consumer holds back the worker.
inline constexpr std::size_t kRowChannelCapacity = 1024;
// Variable changes those rows may carry together: a DEF of a large array
// records one per element in one row, and 1024 such rows would hold
// gigabytes. Ordinary rows never reach it; a heavier row waits until the
// consumer has taken every row before it.
inline constexpr std::size_t kRowChannelWeight = std::size_t{1} << 16;
// Rows a new batch column takes room for at once (the batch size when
// smaller): 8 MB of address space for a column of numbers, touched only as
// it is written.
inline constexpr std::size_t kFirstBatchRoom = std::size_t{1} << 20;
// Tables waiting for the batch iterator, besides the one being built.
inline constexpr std::size_t kTableChannelCapacity = 3;
// Room of released batches a run keeps for its next ones: more than the
// buffers of one default batch of some forty columns (about 180 MB with
// their texts), so that a batch reuses the pages of one the consumer let go;
// the room is only ever taken from batches released while the run goes on.
inline constexpr std::size_t kRecycledBatchBytes = std::size_t{256} << 20;
// How often a waiting next() wakes to run Python's signal handlers: Ctrl-C
// answers within a fraction of a second at no measurable cost.
inline constexpr auto kSignalPoll = std::chrono::milliseconds(50);

// --- the parser -----------------------------------------------------------

// Levels of parentheses, indices, argument lists and structure bodies: far
// beyond real programs, and within the worker's stack on every build.
inline constexpr std::uint32_t kMaxNesting = 64;
// Parse-tree positions are 32-bit: the largest text the parser takes.
inline constexpr std::size_t kMaxParseBytes = std::numeric_limits<std::uint32_t>::max() - 1;
// Parse-tree tokens point behind their descendants with 32-bit indices: the
// most tokens one parse holds.
inline constexpr std::size_t kMaxParseTokens = std::numeric_limits<std::uint32_t>::max() - 2;

// --- the interpreter ------------------------------------------------------

// Elements all DEF arrays of one run may hold together: 4194304 elements of
// 8 bytes is 32 MiB, and no real program declares more.
inline constexpr std::uint64_t kMaxArrayElementsPerRun = std::uint64_t{1} << 22;
// The largest array index: indices are 32-bit signed on real controls.
inline constexpr double kMaxArrayIndex = 2147483646.0;
// Keys of the element list one array reference may build (every element
// from the origin up to it): the same bound as DEF's elements of a run.
inline constexpr std::size_t kMaxArrayElementKeys = std::size_t{1} << 22;
// SPRINT precision and padded width: beyond these a format only allocates.
inline constexpr std::uint64_t kMaxSprintPrecision = 65535;
inline constexpr std::uint64_t kMaxSprintWidth = std::uint64_t{1} << 20;

// --- the line driver ------------------------------------------------------

// Programs from this size on are decoded in parallel chunks: below it the
// pool's start-up costs more than it saves.
inline constexpr std::size_t kParallelDecodeMinBytes = 4194304;
// Programs with structures from this size on are parsed in parts at once.
inline constexpr std::size_t kParallelParseMinBytes = 4194304;
// The smallest chunk of lines a pool job decodes.
inline constexpr std::size_t kMinChunkLines = 4096;
// Programs from this size on run line by line without holding their decoded
// form (NC_STREAM_MIN_BYTES overrides it).
inline constexpr std::size_t kDefaultStreamMinBytes = 67108864;

// --- the flattener --------------------------------------------------------

// Segments of one arc, and of one spline interval: a row per segment, so
// this bounds the rows one block can make at any tolerance.
inline constexpr std::uint64_t kMaxArcSegments = 100000;
inline constexpr std::uint64_t kMaxSplineSegments = 100000;

// --- the Arrow export -----------------------------------------------------

// Text bytes of one column of one batch: Arrow's Utf8 and List offsets are
// 32-bit.
inline constexpr std::size_t kMaxArrowOffset = std::numeric_limits<std::int32_t>::max();

}  // namespace kelvane::limits
