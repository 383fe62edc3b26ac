#pragma once
// The line decoder of the per-line fast path: a hand-written decoder for
// simple lines (address words, G and M words, constant assignments, plain
// subprogram calls) that refuses every other line to the grammar. Pure: it
// reads no interpreter state.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kelvane::line_driver {

struct ExprProgram;

// One decoded word. Every text is a slice of the line text (it borrows the
// program text), except the static one-letter address names and group columns.
struct Word {
  // An address letter with a number (`name` the upper-case letter, static),
  // or an identifier assigned a constant expression (`name` as written).
  struct Number {
    double value = 0.0;
    std::string_view name;
  };
  // An identifier assigned `factor` or `factor` times the variable `var`;
  // `incremental` for the IC(...) form; `name` as written.
  struct Product {
    bool incremental = false;
    std::optional<std::string_view> var;
    double factor = 0.0;
    std::string_view name;
  };
  // A subprogram call, as written (identifier and its argument list, or the
  // identifier and the blanks after it).
  struct Call {
    std::string_view text;
  };
  // A G word or named G command: its group column and its text as written.
  struct GCommand {
    std::string_view group;
    std::string_view text;
  };
  // An M word as written, letter and digits.
  struct MCode {
    std::string_view text;
  };
  // An identifier assigned an expression of numbers and variables joined by
  // + - * / and parentheses (no function), read when the line runs; `text`
  // the expression as written, `name` the identifier as written.
  struct Expr {
    std::string_view text;
    std::string_view name;
    // its steps, when the line is kept to run many times (null: none)
    const ExprProgram* program = nullptr;
    // the variable of an expression that is one variable, perhaps negated
    // (else empty): when it, or the name assigned, is a STRING variable, the
    // line is the grammar's
    std::string_view lone;
  };
  std::variant<Number, Product, Call, GCommand, MCode, Expr> v;
};

// Indices [begin, end) into the word list of the line's chunk.
struct WordRange {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const { return end - begin; }
};

// The decoder's answer for one line.
struct DecodeResult {
  struct Decoded {
    std::optional<std::string> label;              // upper-cased jump label
    std::size_t line_no = 0;                       // 1-based source line
    std::optional<std::string_view> block_number;  // digits without the N
    std::optional<std::string_view> comment;       // from ";" to the end of the line
    WordRange words;
    bool has_content = false;  // a block number, a comment or a word
    bool has_lone_variable = false;  // an Expr word of one variable
  };
  struct Blank {};
  struct NeedsGrammar {};
  std::variant<Decoded, Blank, NeedsGrammar> v;

  bool is_blank() const { return std::holds_alternative<Blank>(v); }
  bool needs_grammar() const { return std::holds_alternative<NeedsGrammar>(v); }
  const Decoded* decoded() const { return std::get_if<Decoded>(&v); }
};

// Decodes one line (without its line terminator), appending its words to
// `words`. A refused line leaves `words` as it was. Pure: reads no State.
DecodeResult decode_line(std::string_view line, std::size_t line_no, std::vector<Word>& words);
// The same answer without the words (the word range counts them from 0),
// for the callers that only ask whether and how a line decodes.
DecodeResult classify_line(std::string_view line, std::size_t line_no);

// Reads a variable of an expression by its name as written: its value, or
// nothing to stop the evaluation (the reader keeps the reason).
using VariableReader = std::optional<double> (*)(void* context, std::string_view name);

// The value of a Word::Expr text: + - * / left to right, * and / before +
// and -, parentheses first, sign prefixes on the operands, the variables read
// in source order.
// Nothing once `read` gives nothing.
std::optional<double> evaluate_expr_text(std::string_view text, VariableReader read, void* context);

// An expression of a Word::Expr written down as steps for a stack of values,
// in the order the text is evaluated: an operand is pushed (a number, or a
// variable by its upper-cased name), a negation applies to the top value, an
// operator to the top two.
struct ExprStep {
  enum class Op : std::uint8_t { Number, Variable, Negate, Add, Sub, Mul, Div };
  Op op = Op::Number;
  double number = 0.0;
  std::string name;
  // the name's hash in the table it is read from, when whoever runs the
  // steps wrote it down (else 0)
  std::size_t name_hash = 0;
};
struct ExprProgram {
  std::vector<ExprStep> steps;  // empty: the text could not be compiled
};
// The steps of a Word::Expr text; evaluated in turn they give what
// evaluate_expr_text gives, reading the same variables in the same order.
ExprProgram compile_expr_text(std::string_view text);

// A condition of relations between expressions of the Word::Expr form:
// sides[0] relations[0] sides[1] ..., the relations "==", "<>", "<=", ">=",
// "<", ">" read left to right as the grammar's expressions read them.
struct CompiledCondition {
  std::vector<ExprProgram> sides;
  std::vector<std::string> relations;
};
// The steps of a condition's text; nothing for a text of another form
// (logic or bit operators, functions, arrays, a relation in parentheses).
std::optional<CompiledCondition> compile_condition_text(std::string_view text);

// The decimal number scanner of the decoder: optional "-", digits, optionally
// "." and digits; the next character must not be a letter, "." or "_".
// Advances `pos` past the number on success.
std::optional<double> parse_number(std::string_view text, std::size_t& pos);

struct ParenProduct {
  std::optional<std::string_view> var;
  double factor = 0.0;
  std::size_t end = 0;  // just after the ")"
};
// "(n)", "(n*var)" or "(var*n)" from just after the "(".
std::optional<ParenProduct> decode_paren_product(std::string_view text, std::size_t pos);

// TRANS ATRANS ROT AROT ROTS AROTS CROTS SCALE ASCALE MIRROR AMIRROR, any case.
bool is_frame_keyword(std::string_view text);

}  // namespace kelvane::line_driver
