#include "line_driver_parts.hpp"

#include "line_driver_quick.hpp"

// One pass over a program large enough to stream, in byte ranges on the pool:
// the lines the quick decoder takes need nothing more, the few others are
// noted for the structure check and the streaming pre-check.
namespace kelvane::line_driver {

namespace {

// The lines a range notes for the pre-check; a range of more such lines is
// looked at whole again (a program of many lines for the word decoder or the
// grammar, which seldom streams).
constexpr std::size_t kNotedOthers = 4096;

void survey_range(std::string_view program, RangeSurvey& r) {
  const std::string_view text = program.substr(0, r.end);
  for (std::size_t pos = r.start; pos < r.end;) {
    const std::size_t start = pos;
    const std::string_view line = next_line(text, pos);
    const std::size_t index = r.lines++;
    const QuickForm form = quick_classify(line);
    if (form == QuickForm::Blank) continue;
    ++r.non_blank;
    if (form == QuickForm::Quick) continue;
    // no line the quick decoder takes starts with a structure keyword: its
    // first word is an address, a G or M word or CR
    const structure_scan::StructureWord word = structure_scan::structure_word(line);
    if (word != structure_scan::StructureWord::Other)
      r.keywords.push_back(structure_scan::KeywordLine{index + 1, line, word});
    if (r.others.size() < kNotedOthers) r.others.emplace_back(start, index);
    else r.more_others = true;
  }
}

}  // namespace

bool may_stream(std::string_view program, const state::State& state) {
  // streaming keeps no jump table: a run whose targets a later program may
  // ask for is taken in memory
  return program.size() >= stream_min_bytes() && !state.record_all_jump_targets;
}

ProgramSurvey survey_program(std::string_view program) {
  const std::size_t threads = pool_threads();
  const std::size_t wanted =
      (threads >= 2 && program.size() >= kParallelDecodeMinBytes) ? 8 * threads : 1;
  ProgramSurvey survey;
  survey.started = std::chrono::steady_clock::now();
  for (const auto& [start, end] : cut_byte_ranges(program, wanted)) {
    RangeSurvey& r = survey.ranges.emplace_back();
    r.start = start;
    r.end = end;
  }
  for_each_on_pool(survey.ranges.size(),
                   [&](std::size_t k) { survey_range(program, survey.ranges[k]); });
  return survey;
}

std::vector<structure_scan::KeywordLine> ProgramSurvey::keyword_lines() const {
  std::vector<structure_scan::KeywordLine> out;
  std::size_t before = 0;  // lines of the ranges before
  for (const RangeSurvey& r : ranges) {
    for (structure_scan::KeywordLine k : r.keywords) {
      k.number += before;
      out.push_back(k);
    }
    before += r.lines;
  }
  return out;
}

}  // namespace kelvane::line_driver
