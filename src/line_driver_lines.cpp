#include "line_driver_parts.hpp"

// Lines of a program text and byte ranges of whole lines.
namespace kelvane::line_driver {

std::vector<std::string_view> split_lines(std::string_view program) {
  std::vector<std::string_view> lines;
  lines.reserve(program.size() / 24 + 1);
  for_each_line(program, [&](std::string_view line) {
    lines.push_back(line);
    return true;
  });
  return lines;
}

std::vector<std::pair<std::size_t, std::size_t>> cut_byte_ranges(std::string_view program,
                                                                 std::size_t n) {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  const std::size_t len = program.size();
  if (n == 0) n = 1;
  const std::size_t chunk = len / n;
  std::size_t e = 0;
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t c = i * chunk;
    if (c <= e) continue;
    const std::size_t nl = program.find('\n', c);
    if (nl == std::string_view::npos) break;
    ranges.emplace_back(e, nl + 1);
    e = nl + 1;
  }
  if (e < len) ranges.emplace_back(e, len);
  return ranges;
}

std::string_view line_in_range(std::string_view program, std::size_t start, std::size_t end,
                               std::size_t index) {
  std::string_view found;
  std::size_t k = 0;
  for_each_line(program.substr(start, end - start), [&](std::string_view line) {
    if (k++ == index) {
      found = line;
      return false;
    }
    return true;
  });
  return found;
}

std::size_t terminated_end(std::string_view program, std::string_view line) {
  std::size_t end = static_cast<std::size_t>(line.data() - program.data()) + line.size();
  if (end < program.size() && program[end] == '\r') ++end;  // the "\r" of a "\r\n"
  if (end < program.size() && program[end] == '\n') ++end;
  return end;
}

// Outside a literal a ";" begins the comment, which runs to the end of the line.
bool ends_inside_string(std::string_view line, bool inside) {
  for (const char c : line) {
    if (c == '"') inside = !inside;
    else if (c == ';' && !inside) return false;
  }
  return inside;
}

}  // namespace kelvane::line_driver
