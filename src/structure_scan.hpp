#pragma once
// Control-structure pre-scan: checks the nesting of IF/ELSE/ENDIF, WHILE,
// FOR, LOOP and REPEAT/UNTIL line by line, without the grammar, and tells
// whether a program opens any structure block at all.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"

namespace kelvane::structure_scan {

// The kind of an open structure.
enum class Structure : std::uint8_t { If, While, For, Loop, Repeat };

// "IF", "WHILE", "FOR", "LOOP", "REPEAT".
std::string_view opening_word(Structure kind);
// "ENDIF", "ENDWHILE", "ENDFOR", "ENDLOOP", "UNTIL".
std::string_view closing_word(Structure kind);

// Checks the structures of a whole program. On success: true when at least
// one structure block opens anywhere in the program. Errors:
// UnmatchedStructure, or ParseContext with the context
// "control structure check" (a jump label on a structure line, or a closing
// keyword after other content on a line). With `two_threads`, a large
// program is screened for keyword lines on two threads at once.
//
// With `cuts`, up to `parts` - 1 places where the program may be cut into
// parts that each hold whole structures are added to it: the offsets of the
// "\n" behind closing lines that leave no structure open, the first at or
// behind each of the offsets that cut the text into `parts` equal pieces.
errors::Result<bool> check_structures(std::string_view source, bool two_threads = false,
                                      std::size_t parts = 1,
                                      std::vector<std::size_t>* cuts = nullptr);

// The structure keywords a block's first word can be.
enum class StructureWord : std::uint8_t {
  If, While, For, Loop, Repeat, Else, EndIf, EndWhile, EndFor, EndLoop, Until, Other
};
// The structure keyword a line of a program starts with (its first word
// after the block prefix); Other for every other line.
StructureWord structure_word(std::string_view line);

// A line of a source whose first word is a structure keyword.
struct KeywordLine {
  std::size_t number;  // 1-based
  std::string_view line;
  StructureWord word;
};
// check_structures for a source whose keyword lines were found elsewhere:
// `lines` holds every line of `source` that starts with a structure keyword,
// in order, and no other.
errors::Result<bool> check_keyword_lines(std::string_view source,
                                         const std::vector<KeywordLine>& lines,
                                         std::size_t parts = 1,
                                         std::vector<std::size_t>* cuts = nullptr);

// A block split after its prefix (leading whitespace, block number N<digits>
// and an optional jump label "name:").
struct BlockPrefix {
  std::size_t rest_start = 0;  // byte offset of `rest` in the text
  std::string_view rest;       // the text after the prefix
  // byte range [first, second) of the jump label (without ":") in the text
  std::optional<std::pair<std::size_t, std::size_t>> label;
};
BlockPrefix split_block_prefix(std::string_view text);

// The upper-cased first word after the prefix when it starts with one of
// E, F, I, L, R, U, W (either case); nothing otherwise.
std::optional<std::string> first_structure_word(std::string_view text);

// Whether the text holds one of the jump words GOTO, GOTOB, GOTOC, GOTOF or
// GOTOS as a whole word, in any letter case.
bool contains_goto_word(std::string_view text);

struct LabelledKeyword {
  std::string label;    // as written
  std::string keyword;  // upper-cased
  std::size_t column;   // 1-based byte column of the label
};
// A jump label on a line whose first word is a structure keyword (an IF with a
// jump word before the first ";" is a one-line jump and may carry a label).
std::optional<LabelledKeyword> labelled_structure_keyword(std::string_view line);

struct MisplacedKeyword {
  std::string keyword;  // upper-cased
  std::size_t column;   // 1-based byte column of the keyword
};
// A closing keyword (ELSE, ENDIF, UNTIL, ENDFOR, ENDLOOP, ENDWHILE) after
// other content on the line, outside strings and before any comment.
std::optional<MisplacedKeyword> misplaced_structure_keyword(std::string_view line);

// The explanations of the two keyword mistakes, for the pre-scan's errors and
// for parse failures on such lines alike.
std::string labelled_message(const LabelledKeyword& keyword);
std::string misplaced_message(const MisplacedKeyword& keyword);

}  // namespace kelvane::structure_scan
