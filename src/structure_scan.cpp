#include "structure_scan.hpp"

#include <array>
#include <vector>

namespace kelvane::structure_scan {

namespace {

bool is_word_byte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
bool is_ascii_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}
char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool iequals_ascii(std::string_view a, std::string_view upper) {
  if (a.size() != upper.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_upper(a[i]) != upper[i]) return false;
  return true;
}

std::string ascii_upper_copy(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = ascii_upper(c);
  return out;
}

std::size_t word_run(std::string_view s, std::size_t from) {
  std::size_t i = from;
  while (i < s.size() && is_word_byte(static_cast<unsigned char>(s[i]))) ++i;
  return i - from;
}

// The structure keywords a first word can be, and what each one does.
enum class Word : std::uint8_t {
  If, While, For, Loop, Repeat, Else, EndIf, EndWhile, EndFor, EndLoop, Until, Other
};

Word classify_word(std::string_view run) {
  struct Entry { std::string_view text; Word word; };
  static constexpr std::array<Entry, 11> kWords = {{
      {"IF", Word::If},         {"WHILE", Word::While},     {"FOR", Word::For},
      {"LOOP", Word::Loop},     {"REPEAT", Word::Repeat},   {"ELSE", Word::Else},
      {"ENDIF", Word::EndIf},   {"ENDWHILE", Word::EndWhile}, {"ENDFOR", Word::EndFor},
      {"ENDLOOP", Word::EndLoop}, {"UNTIL", Word::Until},
  }};
  for (const auto& e : kWords)
    if (iequals_ascii(run, e.text)) return e.word;
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
std::string_view structure_run(std::string_view text) {
  const BlockPrefix p = split_block_prefix(text);
  const std::size_t n = word_run(p.rest, 0);
  if (n == 0) return {};
  switch (ascii_upper(p.rest[0])) {
    case 'E': case 'F': case 'I': case 'L': case 'R': case 'U': case 'W':
      return p.rest.substr(0, n);
    default:
      return {};
  }
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

// The structure walk proper; the error before any re-report.
errors::Result<bool> scan_stack(std::string_view source) {
  std::vector<OpenEntry> stack;
  bool opened = false;
  std::optional<errors::ParsingError> error;
  for_each_line(source, [&](std::size_t number, std::string_view line) {
    const std::string_view code = line.substr(0, line.find(';'));
    const std::string_view run = structure_run(code);
    if (run.empty()) return true;
    const Word word = classify_word(run);
    if (word == Word::Other) return true;
    if (auto lk = labelled_structure_keyword(line)) {
      error = errors::ParseContext{lk->column, std::string(line), "control structure check",
                                   labelled_message(*lk), number};
      return false;
    }
    auto push = [&](Structure kind) {
      stack.push_back({number, kind, line});
      opened = true;
    };
    switch (word) {
      case Word::If:
        if (!contains_goto_word(code)) push(Structure::If);
        return true;
      case Word::While: push(Structure::While); return true;
      case Word::For: push(Structure::For); return true;
      case Word::Loop: push(Structure::Loop); return true;
      case Word::Repeat: push(Structure::Repeat); return true;
      case Word::Else:
        if (stack.empty()) {
          error = unmatched(number, line, "ELSE without a preceding IF");
          return false;
        }
        if (stack.back().kind != Structure::If) {
          error = unmatched(number, line,
                            "ELSE does not belong to an IF: the innermost open structure is " +
                                std::string(opening_word(stack.back().kind)) + " from line " +
                                std::to_string(stack.back().line));
          return false;
        }
        return true;
      case Word::EndIf:
      case Word::EndWhile:
      case Word::EndFor:
      case Word::EndLoop:
      case Word::Until: {
        const Structure kind = closed_kind(word);
        const std::string closing(closing_word(kind));
        if (stack.empty()) {
          error = unmatched(number, line,
                            closing + " without a preceding " + std::string(opening_word(kind)));
          return false;
        }
        const OpenEntry top = stack.back();
        stack.pop_back();
        if (top.kind == kind) return true;
        error = unmatched(number, line,
                          closing + " closes " + std::string(opening_word(kind)) +
                              ", but the innermost open structure is " +
                              std::string(opening_word(top.kind)) + " from line " +
                              std::to_string(top.line) + " (expected " +
                              std::string(closing_word(top.kind)) + ")");
        return false;
      }
      case Word::Other:
        return true;
    }
    return true;
  });
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

// Upper-case of one code point appended to `out` as UTF-8.
void append_utf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The one-to-many upper-case mappings; nullptr when there is none.
const char* special_upper(char32_t c) {
  switch (c) {
    case 0x00DF: return "SS";
    case 0x0149: return "\u02BCN";
    case 0x01F0: return "J\u030C";
    case 0x0390: return "\u0399\u0308\u0301";
    case 0x03B0: return "\u03A5\u0308\u0301";
    case 0x0587: return "\u0535\u0552";
    case 0x1E96: return "H\u0331";
    case 0x1E97: return "T\u0308";
    case 0x1E98: return "W\u030A";
    case 0x1E99: return "Y\u030A";
    case 0x1E9A: return "A\u02BE";
    case 0xFB00: return "FF";
    case 0xFB01: return "FI";
    case 0xFB02: return "FL";
    case 0xFB03: return "FFI";
    case 0xFB04: return "FFL";
    case 0xFB05: return "ST";
    case 0xFB06: return "ST";
    default: return nullptr;
  }
}

// The simple (one-to-one) upper case of a code point.
char32_t simple_upper(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c < 0x80) return c;
  // Latin-1
  if (c == 0x00B5) return 0x039C;
  if ((c >= 0x00E0 && c <= 0x00FE) && c != 0x00F7) return c - 0x20;
  if (c == 0x00FF) return 0x0178;
  // Latin Extended-A
  if (c >= 0x0100 && c <= 0x017F) {
    if (c == 0x0131) return 'I';
    if (c == 0x017F) return 'S';
    if (c == 0x0130 || c == 0x0138 || c == 0x0149) return c;
    if ((c >= 0x0100 && c <= 0x0137) || (c >= 0x014A && c <= 0x0177))
      return (c & 1) ? c - 1 : c;
    if ((c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E))
      return (c & 1) ? c : c - 1;
    return c;
  }
  // Latin Extended-B: the regular pairs used by European languages
  if ((c >= 0x01CD && c <= 0x01DC)) return (c & 1) ? c : c - 1;
  if ((c >= 0x01DE && c <= 0x01EF) || (c >= 0x01F8 && c <= 0x021F) ||
      (c >= 0x0222 && c <= 0x0233))
    return (c & 1) ? c - 1 : c;
  if (c == 0x01C6 || c == 0x01C9 || c == 0x01CC || c == 0x01F3) return c - 2;
  if (c == 0x01C5 || c == 0x01C8 || c == 0x01CB || c == 0x01F2) return c - 1;
  // Greek
  if (c >= 0x0370 && c <= 0x03FF) {
    if (c == 0x03AC) return 0x0386;
    if (c >= 0x03AD && c <= 0x03AF) return c - 37;
    if (c == 0x03C2) return 0x03A3;
    if (c >= 0x03B1 && c <= 0x03CB) return c - 0x20;
    if (c == 0x03CC) return 0x038C;
    if (c == 0x03CD || c == 0x03CE) return c - 63;
    if (c >= 0x03D8 && c <= 0x03EF) return (c & 1) ? c - 1 : c;
    return c;
  }
  // Cyrillic
  if (c >= 0x0430 && c <= 0x044F) return c - 0x20;
  if (c >= 0x0450 && c <= 0x045F) return c - 0x50;
  if ((c >= 0x0460 && c <= 0x0481) || (c >= 0x048A && c <= 0x04BF) ||
      (c >= 0x04D0 && c <= 0x052F))
    return (c & 1) ? c - 1 : c;
  if (c >= 0x04C1 && c <= 0x04CE) return (c & 1) ? c : c - 1;
  if (c == 0x04CF) return 0x04C0;
  // Armenian
  if (c >= 0x0561 && c <= 0x0586) return c - 0x30;
  // Latin Extended Additional
  if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF)) return (c & 1) ? c - 1 : c;
  // Greek Extended: the plain-vowel rows
  if (c >= 0x1F00 && c <= 0x1F6F) {
    const char32_t low = c & 0xF;
    if (low < 8) {
      const char32_t row = c & 0xFFF0;
      if (row == 0x1F10 || row == 0x1F40) return low < 6 ? c + 8 : c;
      if (row == 0x1F50) return (c & 1) ? c + 8 : c;
      return c + 8;
    }
    return c;
  }
  // Fullwidth Latin
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
  return c;
}

}  // namespace

std::pair<char32_t, std::size_t> decode_utf8(std::string_view s, std::size_t pos) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) return {b0, 1};
  std::size_t len = 0;
  char32_t c = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; c = b0 & 0x1F; }
  else if (b0 >= 0xE0 && b0 <= 0xEF) { len = 3; c = b0 & 0x0F; }
  else if (b0 >= 0xF0 && b0 <= 0xF4) { len = 4; c = b0 & 0x07; }
  else return {0xFFFD, 1};
  if (pos + len > s.size()) return {0xFFFD, 1};
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) return {0xFFFD, 1};
    c = (c << 6) | (b & 0x3F);
  }
  // overlong forms, surrogates and values past U+10FFFF are invalid
  if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
      (c >= 0xD800 && c <= 0xDFFF))
    return {0xFFFD, 1};
  return {c, len};
}

bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim_unicode_start(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto [c, n] = decode_utf8(text, i);
    if (!is_unicode_whitespace(c)) break;
    i += n;
  }
  return text.substr(i);
}

std::string_view trim_unicode_end(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    // step back to the start of the last character
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 &&
           end - start < 4)
      --start;
    const auto [c, n] = decode_utf8(text, start);
    if (start + n != end || !is_unicode_whitespace(c)) break;
    end = start;
  }
  return text.substr(0, end);
}

std::string upper_case(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out += ascii_upper(static_cast<char>(b));
      ++i;
      continue;
    }
    const auto [c, n] = decode_utf8(text, i);
    if (c == 0xFFFD && n == 1) {
      out += text[i];  // an invalid byte stays as it is
    } else if (const char* special = special_upper(c)) {
      out += special;
    } else {
      append_utf8(simple_upper(c), out);
    }
    i += n;
  }
  return out;
}

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
  std::string_view rest = trim_unicode_start(text);
  // block number: N, optional blanks, at least one digit
  if (rest.size() > 1 && (rest[0] == 'N' || rest[0] == 'n')) {
    std::size_t i = 1;
    while (i < rest.size() && is_ascii_space(static_cast<unsigned char>(rest[i]))) ++i;
    std::size_t digits = 0;
    while (i + digits < rest.size() && rest[i + digits] >= '0' && rest[i + digits] <= '9')
      ++digits;
    if (digits > 0) rest = trim_unicode_start(rest.substr(i + digits));
  }
  BlockPrefix out;
  const std::size_t n = word_run(rest, 0);
  if (n > 0 && n < rest.size() && rest[n] == ':') {
    const std::size_t label_start = static_cast<std::size_t>(rest.data() - text.data());
    out.label = std::make_pair(label_start, label_start + n);
    rest = trim_unicode_start(rest.substr(n + 1));
  }
  out.rest = rest;
  out.rest_start = static_cast<std::size_t>(rest.data() - text.data());
  return out;
}

std::optional<std::string> first_structure_word(std::string_view text) {
  const std::string_view run = structure_run(text);
  if (run.empty()) return std::nullopt;
  return ascii_upper_copy(run);
}

bool contains_goto_word(std::string_view text) {
  bool ascii = true;
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) { ascii = false; break; }
  const std::string upper = ascii ? ascii_upper_copy(text) : upper_case(text);
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
  return LabelledKeyword{std::string(line.substr(start, end - start)), ascii_upper_copy(run),
                         start + 1};
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
          if (iequals_ascii(run, kw)) return MisplacedKeyword{std::string(kw), i + 1};
      }
      content = true;
      i += n;
      continue;
    }
    if (!is_ascii_space(c)) {
      content = true;
      if (c == '"') in_string = true;
    }
    ++i;
  }
  return std::nullopt;
}

errors::Result<bool> check_structures(std::string_view source) {
  auto result = scan_stack(source);
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
