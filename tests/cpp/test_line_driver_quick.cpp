// The quick decoder takes a line only where the word decoder decodes it to
// the same words: checked on lines at the edges of every shape it takes, and
// on many lines put together at random from the pieces of NC words.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "errors.hpp"
#include "line_driver_decode.hpp"
#include "line_driver_quick.hpp"
#include "text.hpp"

namespace kelvane::test {
namespace {

using line_driver::DecodeResult;
using line_driver::QuickCell;
using line_driver::QuickForm;
using line_driver::Word;

// A word as the executor reads it: names and texts upper-cased (it
// upper-cases both), numbers bit for bit.
std::string describe(const Word& w) {
  if (const auto* n = std::get_if<Word::Number>(&w.v)) {
    return "num " + text::to_upper(n->name) + " " +
           std::to_string(std::bit_cast<std::uint64_t>(n->value));
  }
  if (const auto* g = std::get_if<Word::GCommand>(&w.v))
    return "g " + std::string(g->group) + " " + text::to_upper(g->text);
  if (const auto* m = std::get_if<Word::MCode>(&w.v)) return "m " + text::to_upper(m->text);
  return "other word";
}

std::string describe(const DecodeResult::Decoded& d, const std::vector<Word>& words) {
  std::string s;
  if (d.label) s += "label " + *d.label + "|";
  if (d.block_number) s += "N " + std::string(*d.block_number) + "|";
  for (std::size_t i = d.words.begin; i < d.words.end; ++i) s += describe(words[i]) + "|";
  if (d.comment) s += "comment " + std::string(*d.comment) + "|";
  if (d.has_content) s += "content|";
  if (d.has_lone_variable) s += "lone|";
  return s;
}

// The quick decoder's answer, checked against the word decoder's.
QuickForm check_line(std::string_view line) {
  QuickCell cells[line_driver::kMaxQuickCells];
  std::size_t count = 0;
  const QuickForm form = line_driver::quick_decode(line, cells, count);
  EXPECT_EQ(form, line_driver::quick_classify(line)) << "[" << line << "]";
  std::vector<Word> words;
  const DecodeResult r = line_driver::decode_line(line, 3, words);
  if (form == QuickForm::Blank) {
    EXPECT_TRUE(r.is_blank()) << "[" << line << "]";
  } else if (form == QuickForm::Quick) {
    EXPECT_GT(count, 0u);
    EXPECT_LE(count, line_driver::kMaxQuickCells);
    const DecodeResult::Decoded* d = r.decoded();
    if (d == nullptr) {
      ADD_FAILURE() << "the word decoder does not decode [" << line << "]";
      return form;
    }
    std::vector<Word> quick_words;
    char digits[20];
    const DecodeResult::Decoded q = line_driver::quick_to_decoded(
        std::span<const QuickCell>(cells, count), 3, quick_words, digits);
    EXPECT_EQ(describe(q, quick_words), describe(*d, words)) << "[" << line << "]";
    EXPECT_EQ(q.line_no, 3u);
  }
  return form;
}

TEST(QuickDecoder, TakesOnlyWhatTheWordDecoderDecodesAlike) {
  struct Case {
    const char* line;
    QuickForm form;
  };
  const QuickForm Q = QuickForm::Quick, O = QuickForm::Other, B = QuickForm::Blank;
  const Case cases[] = {
      {"", B}, {"   ", B}, {"\t \t", B},
      {"N10 G1 X12.5 Y-3.25 Z0.1 F200", Q}, {"N40 X121.2 Y108.19 F800 ;cut it", Q},
      {"  N0010   X1", Q}, {"x1 y-2 g1 g17", Q}, {"X5.", Q}, {"X-0", Q}, {"X00012.500", Q},
      {";only a comment", Q}, {"N5", Q}, {"N5 ;c", Q}, {"X1;c", Q}, {"X1 ;", Q},
      {"G2 X1 Y1 I0.5 J-0.5", Q}, {"G3 X1 Y2 CR=21.927", Q}, {"cr = -2 X1", Q}, {"X=5 Y = -1.5", Q},
      {"G0", Q}, {"G500 G64", Q}, {"G90 X1", Q}, {"S1200 F100 T1", Q},
      {"H1 E2 D3 W4 U5 V6 A1 B2 C3", Q},
      {"X" "1234567890123456789", Q}, {"N123456789012345678 X1", Q},
      // refused by the word decoder, or decoded to other words: the word decoder's
      {"N1234567890123456789 X1", O}, {"N10X5", O}, {"n10 X5", O}, {"X1 N20", O}, {"X1 X2", O},
      {"X=1 X2", O}, {"G1 G0", O}, {"G17 G18", O}, {"G01", O}, {"G00", O}, {"G1.5", O}, {"G-1", O},
      {"M3", Q}, {"N10 M3 S6000", Q}, {"M3 X1 M8 M5 M1", Q}, {"M03 M0 M117 M300", Q},
      {"G1000", O}, {"G4 F2", O}, {"G91 X1", O}, {"m3", O}, {"M1 M3 M4 M5 M6 M7", O},
      {"M1 M3 M4 M5 M6", Q},
      {"X1 M30", O}, {"M2", O}, {"M02", O}, {"M0017", O}, {"M3.5", O}, {"M3X1", O}, {"M", O},
      {"R1=5", O}, {"L100", O},
      {"P2", O}, {"X10Y20", O}, {"X.5", O}, {"X-.5", O}, {"X+1", O}, {"X1..2", O}, {"X1e3", O},
      {"X1_", O}, {"X1[2]", O}, {"X1 [", O}, {"X", O}, {"X1 Y", O}, {"FOO", O}, {"CIP X1", O},
      {"START: X1", O}, {"N10 AB: X1", O}, {"X1:", O}, {"CR=2*3", O}, {"CR=2 + 3", O}, {"X=-R1", O},
      {"X=(2)", O}, {"X=IC(1)", O}, {"X=.5", O}, {"X=- 5", O}, {"X= -.5", O}, {"X=+5", O},
      {"CR1=5", O}, {"CRX=5", O}, {"X_=5", O}, {"N=5", O}, {"G=1", O}, {"X1\r", O}, {"\rX1", O},
      {"X1 \xc3\x9c", O}, {"X1 $", O}, {"X1 \"a\"", O}, {"_X1", O}, {"X1 ,", O}, {"TRANS X1", O},
  };
  for (const Case& c : cases) EXPECT_EQ(check_line(c.line), c.form) << "[" << c.line << "]";
  // a line of more cells than the quick lane holds is the word decoder's
  std::string many = "N1";
  for (char c : std::string_view("XYZABCUVWIJKTSFDHE")) many += std::string(" ") + c + "1";
  many += " G1 G17 G40 G54 G64 G500 G601 ;c";
  EXPECT_EQ(check_line(many), O);
}

// Lines of random pieces: every line the quick decoder takes, the word
// decoder decodes to the same words. Enough of them are taken that the
// comparison is no empty one.
TEST(QuickDecoder, AgreesWithTheWordDecoderOnGeneratedLines) {
  const std::vector<std::string> pieces = {
      "N", "N1", "n", "X", "y", "Z", "A", "C", "CR", "cr", "I", "J", "K", "F", "S", "T", "H", "G", "g",
      "M", "R", "L", "Q", "_", "1", "0", "007", "12.5", "-3", "-", ".", "5.", "1e3", "999", "1000",
      "17", "90", "91", "4", "01", "=", " ", " ", " ", "\t", ";", ";c", ":", "[", "(", ")", "+", "*",
      "/", ",", "\r", "\"", "\xc3\x9c", "ABC", "IC(", "X1", "G1", "G2", "Y-2.5", "F800", "CR=2"};
  std::mt19937 random(20261211);
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 9);
  std::size_t taken = 0;
  for (int i = 0; i < 200000; ++i) {
    std::string line;
    for (int k = length(random); k > 0; --k) line += pieces[piece(random)];
    if (check_line(line) == QuickForm::Quick) ++taken;
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(taken, 1000u);
}

}  // namespace
}  // namespace kelvane::test
