#include "structure_scan.hpp"

#include <array>
#include <exception>
#include <thread>
#include <vector>

#include "text.hpp"

namespace kelvane::structure_scan {

namespace {

bool is_word_byte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
// The blanks between a block number's N and its digits, and around content:
// ASCII whitespace without the vertical tab.
bool is_blank_byte(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

std::size_t word_run(std::string_view s, std::size_t from) {
  std::size_t i = from;
  while (i < s.size() && is_word_byte(static_cast<unsigned char>(s[i]))) ++i;
  return i - from;
}

using Word = StructureWord;

Word classify_word(std::string_view run) {
  struct Entry { std::string_view text; Word word; };
  static constexpr std::array<Entry, 11> kWords = {{
      {"IF", Word::If},         {"WHILE", Word::While},     {"FOR", Word::For},
      {"LOOP", Word::Loop},     {"REPEAT", Word::Repeat},   {"ELSE", Word::Else},
      {"ENDIF", Word::EndIf},   {"ENDWHILE", Word::EndWhile}, {"ENDFOR", Word::EndFor},
      {"ENDLOOP", Word::EndLoop}, {"UNTIL", Word::Until},
  }};
  for (const auto& e : kWords)
    if (text::equals_upper(run, e.text)) return e.word;
  return Word::Other;
}

// The kind a closing word closes.
Structure closed_kind(Word w) {
  switch (w) {
    case Word::EndIf: return Structure::If;
    case Word::EndWhile: return Structure::While;
    case Word::EndFor: return Structure::For;
    case Word::EndLoop: return Structure::Loop;
    default: return Structure::Repeat;  // Until
  }
}

// The leading word run after the block prefix, when it can be a structure
// word (first letter E, F, I, L, R, U or W); empty otherwise.
bool may_start_structure_word(char c) {
  switch (text::ascii_upper(c)) {
    case 'E': case 'F': case 'I': case 'L': case 'R': case 'U': case 'W':
      return true;
    default:
      return false;
  }
}

// Whether the line is plainly no structure line: an ASCII block number and
// blanks, then a first word that starts with another letter and is no jump
// label. Most lines of a large program are, and are told at a glance.
bool plainly_no_structure_line(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == 'N' || text[i] == 'n')) {
    std::size_t d = i + 1;
    while (d < text.size() && text::is_ascii_digit(text[d])) ++d;
    if (d == i + 1) return false;  // N without digits right behind: the full split
    i = d;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  }
  if (i >= text.size() || !text::is_ascii_letter(text[i]) || may_start_structure_word(text[i]))
    return false;
  const std::size_t end = i + word_run(text, i);
  return end == text.size() || text[end] != ':';
}

std::string_view structure_run(std::string_view text) {
  if (plainly_no_structure_line(text)) return {};
  const BlockPrefix p = split_block_prefix(text);
  const std::size_t n = word_run(p.rest, 0);
  if (n == 0 || !may_start_structure_word(p.rest[0])) return {};
  return p.rest.substr(0, n);
}

struct OpenEntry {
  std::size_t line;
  Structure kind;
  std::string_view text;
};

// The lines of a source: split at "\n", a "\r" before the "\n" dropped.
template <typename F>
bool for_each_line(std::string_view source, F&& f) {
  std::size_t start = 0;
  std::size_t number = 1;
  while (true) {
    const std::size_t nl = source.find('\n', start);
    std::string_view line = source.substr(start, nl == std::string_view::npos ? source.npos
                                                                               : nl - start);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (!f(number, line)) return false;
    if (nl == std::string_view::npos) return true;
    start = nl + 1;
    ++number;
  }
}

errors::ParsingError unmatched(std::size_t line, std::string_view text, std::string details) {
  return errors::UnmatchedStructure{std::string(text), std::move(details), line};
}

// ELSE on line `number`: it must stand in an open IF.
std::optional<errors::ParsingError> check_else(const std::vector<OpenEntry>& stack,
                                               std::size_t number, std::string_view line) {
  if (stack.empty()) return unmatched(number, line, "ELSE without a preceding IF");
  if (stack.back().kind == Structure::If) return std::nullopt;
  return unmatched(number, line,
                   "ELSE does not belong to an IF: the innermost open structure is " +
                       std::string(opening_word(stack.back().kind)) + " from line " +
                       std::to_string(stack.back().line));
}

// A closing word on line `number`: it closes the innermost open structure,
// which must be of its kind.
std::optional<errors::ParsingError> close_structure(std::vector<OpenEntry>& stack, Word word,
                                                    std::size_t number, std::string_view line) {
  const Structure kind = closed_kind(word);
  const std::string closing(closing_word(kind));
  if (stack.empty()) {
    return unmatched(number, line,
                     closing + " without a preceding " + std::string(opening_word(kind)));
  }
  const OpenEntry top = stack.back();
  stack.pop_back();
  if (top.kind == kind) return std::nullopt;
  return unmatched(number, line,
                   closing + " closes " + std::string(opening_word(kind)) +
                       ", but the innermost open structure is " +
                       std::string(opening_word(top.kind)) + " from line " +
                       std::to_string(top.line) + " (expected " +
                       std::string(closing_word(top.kind)) + ")");
}

// The keyword lines among the lines that start in [begin, end) of `source`
// (`end` a line start, or the end of the source), split as for_each_line
// splits the whole source; how many lines there are.
std::size_t keyword_lines(std::string_view source, std::size_t begin, std::size_t end,
                          std::vector<KeywordLine>& out) {
  std::size_t start = begin;
  std::size_t number = 0;
  while (start < end || end == source.size()) {
    const std::size_t nl = source.find('\n', start);
    std::string_view line = source.substr(start, nl == std::string_view::npos ? source.npos
                                                                               : nl - start);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    ++number;
    // a comment cannot reach into the block's first word: the line's first
    // word is the code's
    if (const Word word = structure_word(line); word != Word::Other)
      out.push_back(KeywordLine{number, line, word});
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  return number;
}

// The keyword lines of the whole source, numbered in it; a large source is
// screened in two halves at once.
std::vector<KeywordLine> all_keyword_lines(std::string_view source, bool two_threads) {
  std::vector<KeywordLine> out;
  constexpr std::size_t kTwoThreadsFrom = std::size_t{4} << 20;
  const std::size_t cut =
      two_threads && source.size() >= kTwoThreadsFrom ? source.find('\n', source.size() / 2)
                                                      : std::string_view::npos;
  if (cut == std::string_view::npos) {
    keyword_lines(source, 0, source.size(), out);
    return out;
  }
  std::vector<KeywordLine> second;
  std::exception_ptr failure;
  std::thread other([&] {
    try {
      keyword_lines(source, cut + 1, source.size(), second);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  std::size_t first_lines = 0;
  try {
    first_lines = keyword_lines(source, 0, cut + 1, out);
  } catch (...) {
    other.join();
    throw;
  }
  other.join();
  if (failure) std::rethrow_exception(failure);
  out.reserve(out.size() + second.size());
  for (KeywordLine& k : second) {
    k.number += first_lines;
    out.push_back(k);
  }
  return out;
}

// The structure walk proper over the keyword lines; the error before any
// re-report.
errors::Result<bool> scan_stack(std::string_view source, const std::vector<KeywordLine>& lines,
                                std::size_t parts, std::vector<std::size_t>* cuts) {
  std::vector<OpenEntry> stack;
  bool opened = false;
  std::optional<errors::ParsingError> error;
  std::size_t next_cut = 1;  // of parts - 1 cuts, evenly spaced
  // a closing line that leaves no structure open ends a part: the first
  // line end at or behind the next target offset
  auto note_cut = [&](std::string_view line) {
    if (cuts == nullptr || !stack.empty() || next_cut >= parts) return;
    std::size_t at = static_cast<std::size_t>(line.data() + line.size() - source.data());
    if (at < source.size() && source[at] == '\r') ++at;
    if (at >= source.size() || source[at] != '\n') return;
    if (at < source.size() / parts * next_cut) return;
    cuts->push_back(at);
    while (next_cut < parts && at >= source.size() / parts * next_cut) ++next_cut;
  };
  for (const KeywordLine& k : lines) {
    const std::size_t number = k.number;
    const std::string_view line = k.line;
    const Word word = k.word;
    const std::string_view code = line.substr(0, line.find(';'));
    // a labelled keyword line has the label's ":"; most have none
    if (auto lk = line.find(':') == std::string_view::npos ? std::nullopt
                                                           : labelled_structure_keyword(line)) {
      error = errors::ParseContext{lk->column, std::string(line), "control structure check",
                                   labelled_message(*lk), number};
      break;
    }
    auto push = [&](Structure kind) {
      stack.push_back({number, kind, line});
      opened = true;
    };
    switch (word) {
      case Word::If:
        if (!contains_goto_word(code)) push(Structure::If);
        break;
      case Word::While: push(Structure::While); break;
      case Word::For: push(Structure::For); break;
      case Word::Loop: push(Structure::Loop); break;
      case Word::Repeat: push(Structure::Repeat); break;
      case Word::Else: error = check_else(stack, number, line); break;
      case Word::EndIf:
      case Word::EndWhile:
      case Word::EndFor:
      case Word::EndLoop:
      case Word::Until:
        error = close_structure(stack, word, number, line);
        if (!error) note_cut(line);
        break;
      case Word::Other: break;
    }
    if (error) break;
  }
  if (error && cuts != nullptr) cuts->clear();
  if (error) return errors::fail(std::move(*error));
  if (!stack.empty()) {
    const OpenEntry& top = stack.back();
    return errors::fail(unmatched(top.line, top.text,
                                  std::string(opening_word(top.kind)) +
                                      " is never closed: no matching " +
                                      std::string(closing_word(top.kind)) +
                                      " before the end of the program"));
  }
  return opened;
}

}  // namespace

std::string_view opening_word(Structure kind) {
  switch (kind) {
    case Structure::If: return "IF";
    case Structure::While: return "WHILE";
    case Structure::For: return "FOR";
    case Structure::Loop: return "LOOP";
    case Structure::Repeat: return "REPEAT";
  }
  return "";
}

std::string_view closing_word(Structure kind) {
  switch (kind) {
    case Structure::If: return "ENDIF";
    case Structure::While: return "ENDWHILE";
    case Structure::For: return "ENDFOR";
    case Structure::Loop: return "ENDLOOP";
    case Structure::Repeat: return "UNTIL";
  }
  return "";
}

BlockPrefix split_block_prefix(std::string_view text) {
  std::string_view rest = text::trim_unicode_start(text);
  // block number: N, optional blanks, at least one digit
  if (rest.size() > 1 && (rest[0] == 'N' || rest[0] == 'n')) {
    std::size_t i = 1;
    while (i < rest.size() && is_blank_byte(static_cast<unsigned char>(rest[i]))) ++i;
    std::size_t digits = 0;
    while (i + digits < rest.size() && rest[i + digits] >= '0' && rest[i + digits] <= '9')
      ++digits;
    if (digits > 0) rest = text::trim_unicode_start(rest.substr(i + digits));
  }
  BlockPrefix out;
  const std::size_t n = word_run(rest, 0);
  if (n > 0 && n < rest.size() && rest[n] == ':') {
    const std::size_t label_start = static_cast<std::size_t>(rest.data() - text.data());
    out.label = std::make_pair(label_start, label_start + n);
    rest = text::trim_unicode_start(rest.substr(n + 1));
  }
  out.rest = rest;
  out.rest_start = static_cast<std::size_t>(rest.data() - text.data());
  return out;
}

std::optional<std::string> first_structure_word(std::string_view text) {
  const std::string_view run = structure_run(text);
  if (run.empty()) return std::nullopt;
  return text::to_upper(run);
}

bool contains_goto_word(std::string_view text) {
  bool ascii = true;
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) { ascii = false; break; }
  const std::string upper = ascii ? text::to_upper(text) : text::upper_case(text);
  const std::string_view u = upper;
  auto word_at = [&](std::size_t i) {
    return i < u.size() && is_word_byte(static_cast<unsigned char>(u[i]));
  };
  std::size_t from = 0;
  while (true) {
    const std::size_t at = u.find("GOTO", from);
    if (at == std::string_view::npos) return false;
    const bool before_ok = at == 0 || !is_word_byte(static_cast<unsigned char>(u[at - 1]));
    std::size_t after = at + 4;
    if (after < u.size() && (u[after] == 'B' || u[after] == 'C' || u[after] == 'F' ||
                             u[after] == 'S'))
      ++after;
    if (before_ok && !word_at(after)) return true;
    from = at + 4;
  }
}

std::optional<LabelledKeyword> labelled_structure_keyword(std::string_view line) {
  const std::string_view run = structure_run(line);
  if (run.empty()) return std::nullopt;
  const Word word = classify_word(run);
  if (word == Word::Other) return std::nullopt;
  if (word == Word::If && contains_goto_word(line.substr(0, line.find(';'))))
    return std::nullopt;
  const BlockPrefix p = split_block_prefix(line);
  if (!p.label) return std::nullopt;
  const auto [start, end] = *p.label;
  return LabelledKeyword{std::string(line.substr(start, end - start)), text::to_upper(run),
                         start + 1};
}

std::string labelled_message(const LabelledKeyword& k) {
  return "the jump label " + k.label + ": is not allowed in a block with " + k.keyword +
         " (a real control raises alarm 12630), so write the label alone in the block before it";
}

std::string misplaced_message(const MisplacedKeyword& k) {
  return k.keyword +
         " must start its own block: a control-structure keyword cannot follow other content "
         "on the same line, so put " +
         k.keyword + " on its own line";
}

std::optional<MisplacedKeyword> misplaced_structure_keyword(std::string_view line) {
  static constexpr std::array<std::string_view, 6> kClosing = {
      "ELSE", "ENDIF", "UNTIL", "ENDFOR", "ENDLOOP", "ENDWHILE"};
  bool content = false;
  bool in_string = false;
  std::size_t i = split_block_prefix(line).rest_start;
  while (i < line.size()) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (in_string) {
      if (c == '"') in_string = false;
      ++i;
      continue;
    }
    if (c == ';') return std::nullopt;
    if (is_word_byte(c)) {
      const std::size_t n = word_run(line, i);
      const std::string_view run = line.substr(i, n);
      if (content) {
        for (auto kw : kClosing)
          if (text::equals_upper(run, kw)) return MisplacedKeyword{std::string(kw), i + 1};
      }
      content = true;
      i += n;
      continue;
    }
    if (!is_blank_byte(c)) {
      content = true;
      if (c == '"') in_string = true;
    }
    ++i;
  }
  return std::nullopt;
}

StructureWord structure_word(std::string_view line) {
  const std::string_view run = structure_run(line);
  return run.empty() ? Word::Other : classify_word(run);
}

errors::Result<bool> check_structures(std::string_view source, bool two_threads,
                                      std::size_t parts, std::vector<std::size_t>* cuts) {
  return check_keyword_lines(source, all_keyword_lines(source, two_threads), parts, cuts);
}

errors::Result<bool> check_keyword_lines(std::string_view source,
                                         const std::vector<KeywordLine>& lines, std::size_t parts,
                                         std::vector<std::size_t>* cuts) {
  auto result = scan_stack(source, lines, parts, cuts);
  if (result) return result;
  // A closing keyword hidden behind other content explains an unbalanced
  // program better than the stack does: report the first one instead.
  std::optional<errors::ParsingError> misplaced;
  for_each_line(source, [&](std::size_t number, std::string_view line) {
    if (auto mk = misplaced_structure_keyword(line)) {
      misplaced = errors::ParseContext{mk->column, std::string(line), "control structure check",
                                       misplaced_message(*mk), number};
      return false;
    }
    return true;
  });
  if (misplaced) return errors::fail(std::move(*misplaced));
  return result;
}

}  // namespace kelvane::structure_scan
