#pragma once
// Pieces the line driver's source files share; not for use outside the
// module.
#include <cstddef>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "line_driver.hpp"
#include "state.hpp"
#include "types.hpp"

namespace kelvane::line_driver {

// The line of `text` that starts at `pos` (< text.size()), without its line
// end ("\n", or "\r\n"); `pos` moves to the start of the next line.
inline std::string_view next_line(std::string_view text, std::size_t& pos) {
  const std::size_t start = pos;
  const void* hit = std::memchr(text.data() + start, '\n', text.size() - start);
  if (hit == nullptr) {
    pos = text.size();
    return text.substr(start);
  }
  const std::size_t nl = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
  pos = nl + 1;
  const std::size_t end = nl > start && text[nl - 1] == '\r' ? nl - 1 : nl;
  return text.substr(start, end - start);
}

// Calls f(line) for every line of `text` split at "\n" (a "\r" before the
// "\n" dropped; a final line end adds no empty line), until f returns false.
template <typename F>
inline void for_each_line(std::string_view text, F&& f) {
  for (std::size_t pos = 0; pos < text.size();)
    if (!f(next_line(text, pos))) return;
}

// The text of line `index` (0-based) of the byte range [start, end).
std::string_view line_in_range(std::string_view program, std::size_t start, std::size_t end,
                               std::size_t index);

// The end of `line`, a line of `program`, behind its line end ("\n" or "\r\n").
std::size_t terminated_end(std::string_view program, std::string_view line);

// Whether a refused line ends inside a string literal that runs on over its
// line end, scanned from its start inside such a literal or not.
bool ends_inside_string(std::string_view line, bool inside);


// Runs a program that holds no control statement line by line, decoding
// ahead on a thread of its own when the pool has two or more threads.
errors::Result<Flow> stream_lines(std::string_view program, output::OutputRows& rows,
                                  state::State& state);

// The error of lines of `program` that fail to parse, as the whole-program
// parse reports it (see line_driver_grammar.cpp).
errors::ParsingError line_parse_error(std::string_view program, std::size_t start,
                                      std::size_t end, std::size_t first,
                                      types::ParseFailure failure, const state::State& state);

}  // namespace kelvane::line_driver
