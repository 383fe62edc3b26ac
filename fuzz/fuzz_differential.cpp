// One program on every execution path: the per-line fast path in memory and
// streaming, the whole-program parse with the recursive executor and with
// the frame-stack executor. The whole-program parse is the reference; any
// difference in rows, warnings, error (kind, line, text) or final state is a
// finding, printed with both outcomes. The fast path's batches, which it
// writes without rows, are compared with the reference's batches too, and
// every line the quick decoder takes with the word decoder's reading of it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>
#include <functional>
#include <vector>
#include <string>

#include "harness.hpp"
#include "line_driver.hpp"
#include "line_driver_quick.hpp"
#include "structure_scan.hpp"
#include "text.hpp"
#include "types.hpp"

using namespace kelvane::fuzz;

namespace {

constexpr std::size_t kRowCap = 2000;

// The differences that are meant to be, and nothing else:
// - the line driver reports a parse failure of a refused line in the context
//   "line parsing", the whole-program parse in "initial file parsing";
// - the frame-stack executor counts a loop body's backward jumps over all
//   passes of one entry of the loop, the recursive executor per pass, so
//   their loop-limit errors may fall apart.
std::string normalised_message(std::string message) {
  const std::string line_ctx = "Parse error in line parsing on line";
  if (message.rfind("\n" + line_ctx, 0) == 0)
    message.replace(1, line_ctx.size(), "Parse error in initial file parsing on line");
  return message;
}
bool loop_limits_may_differ(const Outcome& a, const Outcome& b, Path path) {
  return path == Path::FrameStack && (a.error_kind == "loop_limit" || b.error_kind == "loop_limit");
}

bool same(const Outcome& a, const Outcome& b) {
  return a.rows.size() == b.rows.size() &&
         std::equal(a.rows.begin(), a.rows.end(), b.rows.begin(), same_row) &&
         a.warnings == b.warnings &&
         a.error_kind == b.error_kind &&
         a.error_line == b.error_line &&
         normalised_message(a.error_message) == normalised_message(b.error_message) &&
         a.final_state.has_value() == b.final_state.has_value() &&
         a.final_state_digest == b.final_state_digest;
}

// The tokens of a parse, or its error.
std::string tree_text(const kelvane::types::ParseResult& r) {
  if (!r) return "error: " + r.error().display;
  std::string out;
  for (const kelvane::types::NodeToken& t : r->peek()->tree()->tokens)
    out += std::to_string(static_cast<int>(t.rule)) + "@" + std::to_string(t.pos) + "-" +
           std::to_string(t.end) + ">" + std::to_string(t.next) + " ";
  return out;
}

// A program parsed in parts gives the tree of the parse in one piece: cut
// between its structures as a large program is, and cut at every line end.
// The skimmed parse has the full parse's blocks, or its error.
void check_parse_in_parts(std::string_view program) {
  using kelvane::types::NCParser;
  const kelvane::types::LineSkimmer skim = &kelvane::line_driver::skimmable_line;
  auto in_turn = [](std::size_t n, const std::function<void(std::size_t)>& job) {
    for (std::size_t k = 0; k < n; ++k) job(k);
  };
  const auto skimmed = NCParser::parse(kelvane::types::Rule::file, program, skim);
  const auto full = NCParser::parse(kelvane::types::Rule::file, program);
  const bool same_shape =
      skimmed.has_value() == full.has_value() &&
      (skimmed ? kelvane::types::describe_tree(*skimmed->peek()->tree()) ==
                     kelvane::types::describe_tree(*full->peek()->tree(), skim)
               : skimmed.error().display == full.error().display);
  if (!same_shape) {
    std::fprintf(stderr, "the skimmed parse differs from the full parse on this program\n");
    std::abort();
  }
  const std::string whole = tree_text(skimmed);
  std::vector<std::size_t> between, every;
  (void)kelvane::structure_scan::check_structures(program, false, program.size() + 1, &between);
  for (std::size_t i = 0; i < program.size(); ++i)
    if (program[i] == '\n') every.push_back(i);
  for (const std::vector<std::size_t>* cuts : {&between, &every}) {
    if (tree_text(NCParser::parse_file(program, skim, *cuts, in_turn)) != whole) {
      std::fprintf(stderr, "the parse in parts differs (%zu cuts) on this program\n", cuts->size());
      std::abort();
    }
  }
}

// A word as the executor reads it: names and texts upper-cased, numbers bit
// for bit; the words of other kinds never come from the quick decoder.
std::string word_text(const kelvane::line_driver::Word& w) {
  using kelvane::line_driver::Word;
  if (const auto* n = std::get_if<Word::Number>(&w.v)) {
    std::uint64_t bits;
    std::memcpy(&bits, &n->value, sizeof bits);
    return "num " + kelvane::text::to_upper(n->name) + " " + std::to_string(bits);
  }
  if (const auto* g = std::get_if<Word::GCommand>(&w.v))
    return "g " + std::string(g->group) + " " + kelvane::text::to_upper(g->text);
  if (const auto* m = std::get_if<Word::MCode>(&w.v)) return "m " + kelvane::text::to_upper(m->text);
  return "other";
}

std::string decoded_text(const kelvane::line_driver::DecodeResult::Decoded& d,
                         const std::vector<kelvane::line_driver::Word>& words) {
  std::string s = d.label ? "label " + *d.label + "|" : "";
  if (d.block_number) s += "N " + std::string(*d.block_number) + "|";
  for (std::size_t i = d.words.begin; i < d.words.end; ++i) s += word_text(words[i]) + "|";
  if (d.comment) s += "comment " + std::string(*d.comment) + "|";
  return s + (d.has_content ? "content" : "") + (d.has_lone_variable ? " lone" : "");
}

// Every line the quick decoder takes, the word decoder decodes to the same
// words; a line it finds blank is blank for the word decoder too.
void check_quick_lines(std::string_view program) {
  namespace ld = kelvane::line_driver;
  for (std::size_t pos = 0; pos < program.size();) {
    const std::size_t nl = program.find('\n', pos);
    std::string_view line =
        program.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = nl == std::string_view::npos ? program.size() : nl + 1;
    ld::QuickCell cells[ld::kMaxQuickCells];
    std::size_t count = 0;
    const ld::QuickForm form = ld::quick_decode(line, cells, count);
    if (form == ld::QuickForm::Other) continue;
    std::vector<ld::Word> words;
    const ld::DecodeResult r = ld::decode_line(line, 1, words);
    bool same = form == ld::QuickForm::Blank ? r.is_blank() : r.decoded() != nullptr;
    if (same && form == ld::QuickForm::Quick) {
      std::vector<ld::Word> quick_words;
      char digits[20];
      const auto q = ld::quick_to_decoded(std::span<const ld::QuickCell>(cells, count), 1,
                                          quick_words, digits);
      same = decoded_text(q, quick_words) == decoded_text(*r.decoded(), words);
    }
    if (!same) {
      std::fprintf(stderr, "the quick decoder and the word decoder differ on the line [%.*s]\n",
                   static_cast<int>(line.size()), line.data());
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Input input = split_input(data, size);
  check_quick_lines(input.program);
  check_parse_in_parts(input.program);
  RunSettings settings;
  settings.allow_undefined_variables = (input.options & 1) != 0;
  settings.iteration_limit = 40;
  settings.path = Path::Grammar;
  const Outcome reference = run(input, settings, kRowCap);
  // a run cut short by the consumer (too many rows, or quiet too long) has
  // no comparable end
  if (reference.ended_at_row_cap) return 0;
  std::vector<Path> batch_paths;  // the fast path's runs that ended as the reference did
  for (Path path : {Path::FrameStack, Path::LineDriver, Path::LineDriverStreaming}) {
    settings.path = path;
    const Outcome other = run(input, settings, kRowCap);
    if (other.ended_at_row_cap || loop_limits_may_differ(reference, other, path)) continue;
    if (path != Path::FrameStack) batch_paths.push_back(path);
    if (!same(reference, other)) {
      std::string report = describe_difference(reference, path_name(Path::Grammar), other, path_name(path));
      std::fprintf(stderr, "the paths differ on this program:\n%s\n", report.c_str());
      std::abort();
    }
  }
  if (batch_paths.empty()) return 0;
  constexpr std::size_t kBatchRows = 3;  // batches end inside most programs
  settings.path = Path::Grammar;
  const std::string reference_batches = batches_text(input, settings, kBatchRows);
  for (Path path : batch_paths) {
    settings.path = path;
    const std::string batches = batches_text(input, settings, kBatchRows);
    if (batches != reference_batches) {
      std::fprintf(stderr, "the batches differ on this program:\n=== %s ===\n%s=== %s ===\n%s\n",
                   path_name(Path::Grammar), reference_batches.c_str(), path_name(path),
                   batches.c_str());
      std::abort();
    }
  }
  return 0;
}
