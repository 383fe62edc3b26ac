#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "structure_scan.hpp"
#include "text.hpp"

using namespace kelvane::structure_scan;
using kelvane::text::trim_unicode;
using kelvane::text::upper_case;
using kelvane::errors::ParseContext;
using kelvane::errors::UnmatchedStructure;

TEST(StructureScan, SuccessAndStructureFlag) {
  struct Case { const char* source; bool opened; };
  const Case cases[] = {
      {"", false},
      {"G1 X10\nR1=2\n", false},
      {"IF R1==1\nX1\nENDIF\n", true},
      {"IF R1==1 GOTOF END1\nEND1:\n", false},
      {"if r1==1 gotof end1\n", false},
      {"N10 IF R1==1 GOTOB L1 ; comment\n", false},
      {"IF R1==1 GOTOX L1\nENDIF\n", true},  // GOTOX is no jump word
      {"WHILE R1<3\nR1=R1+1\nENDWHILE\nLOOP\nENDLOOP\nREPEAT\nUNTIL R1>5\nFOR R2=1 TO 3\nENDFOR\n",
       true},
      {"IF R1\nELSE\nENDIF\n", true},
      {"START: IF R1==1 GOTOF E1\nE1:\n", false},  // a one-line jump may carry a label
      {"IF R1==1 ; GOTOF hidden in the comment\nENDIF\n", true},
      {"R1=1 ; ENDIF in a comment\n", false},
      {"IFX=1\nLOOPS=2\nEND=3\n", false},  // the whole first word must be the keyword
      {"WHILE R1<3\r\nENDWHILE\r\n", true},
      {"NX WHILE\n", false},  // "NX" is no block number, so the first word is NX
  };
  for (const auto& c : cases) {
    const auto r = check_structures(c.source);
    ASSERT_TRUE(r.has_value()) << c.source << "\n" << r.error().message();
    EXPECT_EQ(*r, c.opened) << c.source;
  }
}

TEST(StructureScan, UnbalancedShapes) {
  struct Case { std::string source; std::size_t line; std::string line_text; std::string details; };
  const std::vector<Case> cases = {
      {"X1\nWHILE R1<3\nR1=R1+1\n", 2, "WHILE R1<3",
       "WHILE is never closed: no matching ENDWHILE before the end of the program"},
      {"ENDIF\n", 1, "ENDIF", "ENDIF without a preceding IF"},
      {"X1\nUNTIL R1>3\n", 2, "UNTIL R1>3", "UNTIL without a preceding REPEAT"},
      {"X1\nWHILE R1<3\nIF R1\nENDWHILE\n", 4, "ENDWHILE",
       "ENDWHILE closes WHILE, but the innermost open structure is IF from line 3 (expected ENDIF)"},
      {"ELSE\n", 1, "ELSE", "ELSE without a preceding IF"},
      {"X1\nX2\nX3\nX4\nWHILE R1\nELSE\nENDWHILE\n", 6, "ELSE",
       "ELSE does not belong to an IF: the innermost open structure is WHILE from line 5"},
      {"IF R1\nWHILE R2\nENDWHILE\n", 1, "IF R1",
       "IF is never closed: no matching ENDIF before the end of the program"},
      {"LOOP\nFOR R1=1 TO 2\nENDLOOP\n", 3, "ENDLOOP",
       "ENDLOOP closes LOOP, but the innermost open structure is FOR from line 2 (expected ENDFOR)"},
      // the innermost open entry is reported at the end
      {"IF R1\nREPEAT\n", 2, "REPEAT",
       "REPEAT is never closed: no matching UNTIL before the end of the program"},
      // CR LF: the line text is shown without the "\r"
      {"X1\r\nWHILE R1<3\r\n", 2, "WHILE R1<3",
       "WHILE is never closed: no matching ENDWHILE before the end of the program"},
      // a ";" inside a string still cuts the code part: the ENDIF is in the comment
      {"IF R1\nMSG(\"a;ENDIF\")\n", 1, "IF R1",
       "IF is never closed: no matching ENDIF before the end of the program"},
      // lower-case keywords count
      {"while r1<3\n", 1, "while r1<3",
       "WHILE is never closed: no matching ENDWHILE before the end of the program"},
  };
  for (const auto& c : cases) {
    const auto r = check_structures(c.source);
    ASSERT_FALSE(r.has_value()) << c.source;
    const auto* e = r.error().get_if<UnmatchedStructure>();
    ASSERT_NE(e, nullptr) << c.source << r.error().message();
    EXPECT_EQ(e->line, c.line) << c.source;
    EXPECT_EQ(e->line_text, c.line_text) << c.source;
    EXPECT_EQ(e->details, c.details) << c.source;
  }
}

TEST(StructureScan, UnmatchedMessageEndsWithFullStop) {
  const auto r = check_structures("ENDIF");
  ASSERT_FALSE(r.has_value());
  const std::string m = r.error().message();
  EXPECT_EQ(m.substr(m.size() - 30), "ENDIF without a preceding IF.\n");
  EXPECT_EQ(r.error().kind(), "unmatched_structure");
}

TEST(StructureScan, LabelOnStructureLine) {
  struct Case { std::string source; std::size_t line; std::size_t column; std::string text;
                std::string label; std::string keyword; };
  const std::vector<Case> cases = {
      {"START: WHILE R1<3\nENDWHILE\n", 1, 1, "START: WHILE R1<3", "START", "WHILE"},
      {"X1\nN10 START: WHILE R1<3\nENDWHILE\n", 2, 5, "N10 START: WHILE R1<3", "START", "WHILE"},
      {"lbl_1:endif\r\n", 1, 1, "lbl_1:endif", "lbl_1", "ENDIF"},
      {"  L2: IF R1==1\nENDIF\n", 1, 3, "  L2: IF R1==1", "L2", "IF"},
  };
  for (const auto& c : cases) {
    const auto r = check_structures(c.source);
    ASSERT_FALSE(r.has_value()) << c.source;
    const auto* e = r.error().get_if<ParseContext>();
    ASSERT_NE(e, nullptr) << c.source;
    EXPECT_EQ(e->line, c.line);
    EXPECT_EQ(e->column, c.column) << c.source;
    EXPECT_EQ(e->line_text, c.text);
    EXPECT_EQ(e->context, "control structure check");
    EXPECT_EQ(e->message, "the jump label " + c.label + ": is not allowed in a block with " +
                              c.keyword +
                              " (a real control raises alarm 12630), so write the label alone "
                              "in the block before it");
  }
}

TEST(StructureScan, ReReportFindsMisplacedClosingKeyword) {
  const std::string src = "X1\nX2\nX3\nX4\nX5\nIF R1==1\nR1=1 ENDIF\n";
  const auto r = check_structures(src);
  ASSERT_FALSE(r.has_value());
  const auto* e = r.error().get_if<ParseContext>();
  ASSERT_NE(e, nullptr) << r.error().message();
  EXPECT_EQ(e->line, 7u);
  EXPECT_EQ(e->column, 6u);
  EXPECT_EQ(e->line_text, "R1=1 ENDIF");
  EXPECT_EQ(e->context, "control structure check");
  EXPECT_EQ(e->message,
            "ENDIF must start its own block: a control-structure keyword cannot follow other "
            "content on the same line, so put ENDIF on its own line");

  // the first misplaced keyword anywhere replaces a labelled-keyword error too
  const auto r2 = check_structures("X1 ENDWHILE\nL1: WHILE R1\n");
  ASSERT_FALSE(r2.has_value());
  const auto* e2 = r2.error().get_if<ParseContext>();
  ASSERT_NE(e2, nullptr);
  EXPECT_EQ(e2->line, 1u);
  EXPECT_EQ(e2->column, 4u);

  // alone, in a balanced program, it is not reported here
  EXPECT_TRUE(check_structures("X1 ENDIF\n").has_value());
}

TEST(StructureScan, SplitBlockPrefix) {
  struct Case { const char* text; const char* rest; std::optional<std::pair<size_t, size_t>> label; };
  const Case cases[] = {
      {"N10 X1", "X1", std::nullopt},
      {"  n 20  LBL: G1", "G1", std::make_pair(std::size_t{8}, std::size_t{11})},
      {"NX", "NX", std::nullopt},
      {"N", "N", std::nullopt},
      {"START:WHILE", "WHILE", std::make_pair(std::size_t{0}, std::size_t{5})},
      {"\u00A0N5 X", "X", std::nullopt},  // Unicode whitespace before the block number
      {"N10:", ":", std::nullopt},
      {"A :", "A :", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto p = split_block_prefix(c.text);
    EXPECT_EQ(p.rest, c.rest) << c.text;
    EXPECT_EQ(std::string_view(c.text).substr(p.rest_start), p.rest) << c.text;
    EXPECT_EQ(p.label, c.label) << c.text;
  }
}

TEST(StructureScan, FirstStructureWord) {
  struct Case { const char* text; std::optional<std::string> word; };
  const Case cases[] = {
      {"N10 while(R1<3)", "WHILE"}, {"L1: endif", "ENDIF"}, {"R1=2", "R1"},
      {"G1 X1", std::nullopt},      {"", std::nullopt},     {"  ; comment", std::nullopt},
      {"Until", "UNTIL"},
      // lines told at a glance, and those that look alike but are not
      {"N10 G1 X1", std::nullopt},  {"N10G1 X1", std::nullopt}, {"n5 X1:", std::nullopt},
      {"G1: if R1", "IF"},          {"N10 AB: LOOP", "LOOP"},  {"N 10 WHILE", "WHILE"},
      {"N10\u00A0ELSE", "ELSE"},  {"N10\tREPEAT", "REPEAT"}, {"N10", std::nullopt},
      {"NX: FOR", "FOR"},           {"N_1 X1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(first_structure_word(c.text), c.word) << c.text;
}

TEST(StructureScan, GotoWords) {
  struct Case { const char* text; bool found; };
  const Case cases[] = {
      {"IF R1 GOTO L1", true},   {"IF R1 GOTOB L1", true}, {"if r1 gotoc l1", true},
      {"IF R1 GotoF L1", true},  {"IF R1 GOTOS", true},    {"GOTO", true},
      {"IF R1 GOTOX L1", false}, {"XGOTO", false},         {"GOTO_1", false},
      {"GOTOFF", false},         {"XGOTO GOTOF", true},    {"(GOTO)", true},
      // full upper-casing: long s becomes S, dotless i becomes I, sharp s SS
      {"IF R1 GOTO\u017F", true},    // GOTOS
      {"IF R1 \u017FGOTO", false},   // SGOTO
      {"IF R1 GOTO\u0131", false},   // GOTOI
      {"IF R1 GOTO\u00DF", false},   // GOTOSS
      {"IF R1 GOTO\u00E9", true},    // É is no word character
  };
  for (const auto& c : cases) EXPECT_EQ(contains_goto_word(c.text), c.found) << c.text;
}

TEST(StructureScan, MisplacedKeyword) {
  struct Case { const char* line; std::optional<std::string> keyword; std::size_t column; };
  const Case cases[] = {
      {"X10 ENDIF", "ENDIF", 5},
      {"N10 R1=1 endwhile", "ENDWHILE", 10},
      {"ENDIF", std::nullopt, 0},                 // first word is never misplaced
      {"L1: ELSE", std::nullopt, 0},              // nor after a label
      {"X1 ; ENDIF", std::nullopt, 0},            // comment
      {"MSG(\"ENDIF\")", std::nullopt, 0},        // string
      {"MSG(\"x\") ELSE", "ELSE", 10},
      {"X1 WHILE", std::nullopt, 0},              // opening words are not reported
      {"X1 ENDIFX", std::nullopt, 0},
      {"(ENDLOOP", "ENDLOOP", 2},
  };
  for (const auto& c : cases) {
    const auto m = misplaced_structure_keyword(c.line);
    if (!c.keyword) {
      EXPECT_FALSE(m.has_value()) << c.line;
      continue;
    }
    ASSERT_TRUE(m.has_value()) << c.line;
    EXPECT_EQ(m->keyword, *c.keyword);
    EXPECT_EQ(m->column, c.column) << c.line;
  }
}

TEST(StructureScan, LabelledKeyword) {
  const auto k = labelled_structure_keyword("N10 Top_1: repeat");
  ASSERT_TRUE(k.has_value());
  EXPECT_EQ(k->label, "Top_1");
  EXPECT_EQ(k->keyword, "REPEAT");
  EXPECT_EQ(k->column, 5u);
  EXPECT_FALSE(labelled_structure_keyword("L1: IF R1 GOTOF L2").has_value());
  EXPECT_TRUE(labelled_structure_keyword("L1: IF R1 ; GOTOF L2").has_value());
  EXPECT_FALSE(labelled_structure_keyword("L1: R1=2").has_value());
  EXPECT_FALSE(labelled_structure_keyword("WHILE R1").has_value());
}

TEST(UpperCase, Scripts) {
  EXPECT_EQ(upper_case("abc xyz_1"), "ABC XYZ_1");
  EXPECT_EQ(upper_case("stra\u00DFe"), "STRASSE");
  EXPECT_EQ(upper_case("\u00E4\u00F6\u00FC\u00FF"), "\u00C4\u00D6\u00DC\u0178");
  EXPECT_EQ(upper_case("\u0142\u017C\u0107"), "\u0141\u017B\u0106");  // łżć
  EXPECT_EQ(upper_case("\u03B1\u03C9\u03C2\u03AC"), "\u0391\u03A9\u03A3\u0386");  // αωςά
  EXPECT_EQ(upper_case("\u043F\u0440\u0438\u0432\u0435\u0442\u0451"),
            "\u041F\u0420\u0418\u0412\u0415\u0422\u0401");  // привет ё
  EXPECT_EQ(upper_case("\uFB01"), "FI");
  EXPECT_EQ(upper_case("\u0131\u017F"), "IS");
  // invalid bytes are kept as they are
  EXPECT_EQ(upper_case(std::string("a\xFF" "b\xC3")), std::string("A\xFF" "B\xC3"));
}

TEST(UnicodeTrim, BothEnds) {
  EXPECT_EQ(trim_unicode("\u3000 x y\u00A0\t"), "x y");
  EXPECT_EQ(trim_unicode("\u2028"), "");
  EXPECT_EQ(trim_unicode(std::string("\xC2")), std::string("\xC2"));
}

// A large program is screened in two halves on two threads: the outcome,
// its line numbers and texts included, is that of one walk over the whole,
// wherever the structures and the cut between the halves fall.
TEST(StructureScan, TwoThreadsFindWhatOneFinds) {
  auto filler = [](std::size_t bytes, const char* line) {
    std::string s;
    while (s.size() < bytes) s += line;
    return s;
  };
  const std::string lf = filler(std::size_t{3} << 20, "N10 G1 X1 Y2 ; c\n");
  const std::string crlf = filler(std::size_t{3} << 20, "N10 G1 X1\r\n");
  const std::vector<std::string> sources = {
      "IF R1\n" + lf + "ENDIF\n",                      // open in one half, closed in the other
      "WHILE R1\n" + lf + "ENDIF\n",                   // the mismatch in the second half
      lf + "ENDIF\n" + lf,                             // the error about where the cut falls
      lf + "\nENDWHILE",                               // no line end at the end
      "X1\r\n" + crlf + "WHILE R1<3\r\n" + crlf,       // never closed, CR LF lines
      lf + "REPEAT\n" + lf + "UNTIL R1>3\n" + lf + "\n",
  };
  for (const std::string& s : sources) {
    const auto one = check_structures(s, false);
    const auto two = check_structures(s, true);
    ASSERT_EQ(one.has_value(), two.has_value()) << s.substr(0, 20);
    if (one) {
      EXPECT_EQ(*one, *two);
      continue;
    }
    EXPECT_EQ(one.error().message(), two.error().message());
    ASSERT_TRUE(one.error().location() && two.error().location());
    EXPECT_EQ(one.error().location()->line, two.error().location()->line);
  }
  const auto r = check_structures(lf + "ENDIF\n" + lf, true);
  ASSERT_FALSE(r);
  const auto* e = r.error().get_if<UnmatchedStructure>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->line, static_cast<std::size_t>(std::count(lf.begin(), lf.end(), '\n')) + 1);
  EXPECT_EQ(e->line_text, "ENDIF");
}

// The places to cut a program into parts: the line end behind a closing line
// that leaves no structure open, the first at or behind each equal share.
TEST(StructureScan, CutsBetweenTopLevelStructures) {
  struct Case {
    const char* source;
    std::size_t parts;
    std::vector<std::size_t> cuts;  // offsets of "\n"
  };
  const Case cases[] = {
      // nested: only the outer ENDWHILE leaves nothing open
      {"WHILE 1\nIF 1\nX1\nENDIF\nENDWHILE\nX2\nX3\nX4\nX5\n", 2, {30}},
      // CRLF: the "\n" behind the "\r"
      {"LOOP\r\nX1\r\nENDLOOP\r\nY1\r\nY2\r\nY3\r\n", 2, {18}},
      // several shares passed by one structure give one cut
      {"WHILE 1\nX1\nX2\nX3\nENDWHILE\nIF 1\nX\nENDIF\n", 4, {25, 38}},
      // a one-line IF-GOTO opens nothing; the last line has no line end
      {"IF 1 GOTOF A\nX1\nA: X2\nREPEAT\nX3\nUNTIL 1", 2, {}},
      // no cut when the check fails
      {"WHILE 1\nENDWHILE\nENDIF\nX1\n", 2, {}},
      {"WHILE 1\nENDWHILE\nX1\n", 1, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::size_t> cuts;
    (void)check_structures(c.source, false, c.parts, &cuts);
    EXPECT_EQ(cuts, c.cuts) << c.source;
  }
}
