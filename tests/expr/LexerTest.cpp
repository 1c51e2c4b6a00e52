// The tokenizer: token kinds, texts and positions, commands, comments,
// parameters, and its errors with their line and column.
#include <gtest/gtest.h>

#include "MemorySource.h"
#include "expr/ORBLexer.h"
#include "orb/ORBExcept.h"

using namespace orb;

namespace {

std::vector<TToken> Tokens(std::string_view text, const TORBSQLParams* params = nullptr) {
  TORBLexer lx(text, params);
  std::vector<TToken> out;
  while (lx.NextCommand()) {
    TToken t;
    for (bool ok = lx.GetCurrentToken(t); ok; ok = lx.GetNextToken(t)) out.push_back(t);
  }
  return out;
}

std::string LexError(std::string_view text, const TORBSQLParams* params = nullptr) {
  try {
    TORBLexer lx(text, params);
  } catch (const EORBException& e) {
    return e.Text();
  }
  return "";
}

}  // namespace

TEST(Lexer, TokenKindsAndTexts) {
  const auto t = Tokens("Select [my ]] field], `b\\`q`, 'it''s', \"d\"\"q\", 12, 1.5, .5, 1E+3, x.y <= <> >= || + - * / =");
  struct Want {
    uint8_t type;
    const char* text;
  };
  const Want want[] = {{ttReservedWord, "Select"}, {ttBracketedName, "my ] field"}, {ttComma, ","}, {ttWord, "b`q"},
                       {ttComma, ","}, {ttString, "it's"}, {ttComma, ","}, {ttString, "d\"q"}, {ttComma, ","},
                       {ttInteger, "12"}, {ttComma, ","}, {ttFloat, "1.5"}, {ttComma, ","}, {ttFloat, ".5"},
                       {ttComma, ","}, {ttFloat, "1E+3"}, {ttComma, ","}, {ttWord, "x"}, {ttDot, "."}, {ttWord, "y"},
                       {ttWord, "<="}, {ttWord, "<>"}, {ttWord, ">="}, {ttWord, "||"}, {ttWord, "+"}, {ttWord, "-"},
                       {ttWord, "*"}, {ttWord, "/"}, {ttWord, "="}};
  ASSERT_EQ(t.size(), std::size(want));
  for (size_t i = 0; i < t.size(); ++i) {
    EXPECT_EQ(t[i].TokenType, want[i].type) << i;
    EXPECT_EQ(t[i].Text, want[i].text) << i;
  }
  EXPECT_EQ(t[0].ReservedWord, rwSELECT);
}

TEST(Lexer, ReservedWordTableAndNames) {
  EXPECT_STREQ(ReservedWordText(0), "ABSOLUTE");
  EXPECT_STREQ(ReservedWordText(229), "ZONE");
  EXPECT_STREQ(ReservedWordText(230), "PASSWORD");
  EXPECT_STREQ(ReservedWordText(291), "RNDUP");
  EXPECT_EQ(FindReservedWord("end-exec"), rwEND_EXEC);
  EXPECT_EQ(FindReservedWord("rndUp"), 291);
  EXPECT_EQ(FindReservedWord("SERVICE"), rwNone);
  // Bracketed and back-quoted names are never reserved.
  const auto t = Tokens("and [AND] `AND` AnD");
  EXPECT_EQ(t[0].TokenType, ttReservedWord);
  EXPECT_EQ(t[1].TokenType, ttBracketedName);
  EXPECT_EQ(t[2].TokenType, ttWord);
  EXPECT_EQ(t[2].ReservedWord, rwNone);
  EXPECT_EQ(t[3].ReservedWord, rwAND);
}

TEST(Lexer, LinesColumnsCommentsAndCommands) {
  // CR does not move the column; LF starts a new line; comments vanish.
  TORBLexer lx("a -- note\r\n  /* one\n two */ [b]\n 'x\ny' ;; c; /* only a comment */ ;");
  ASSERT_EQ(lx.CommandCount(), 2u);
  const auto& first = lx.Command(0).Tokens;
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0].LineNum, 1);
  EXPECT_EQ(first[0].ColumnNum, 1);
  EXPECT_EQ(first[1].Text, "b");
  EXPECT_EQ(first[1].LineNum, 3);
  EXPECT_EQ(first[1].ColumnNum, 9);
  EXPECT_EQ(first[2].Text, "x\ny");
  EXPECT_EQ(first[2].LineNum, 4);
  EXPECT_EQ(first[2].ColumnNum, 2);
  EXPECT_EQ(lx.Command(1).Tokens[0].Text, "c");
  // Columns count characters, not bytes.
  const auto u = Tokens("'é' x");
  EXPECT_EQ(u[1].ColumnNum, 5);
}

TEST(Lexer, PositionAndPeek) {
  TORBLexer lx("a = b");
  TToken t;
  EXPECT_FALSE(lx.GetCurrentToken(t));  // no command selected yet
  ASSERT_TRUE(lx.NextCommand());
  EXPECT_TRUE(lx.PeekNextToken(t));
  EXPECT_EQ(t.Text, "=");
  EXPECT_TRUE(lx.GetNextToken(t));
  EXPECT_TRUE(lx.GetNextToken(t));
  EXPECT_EQ(t.Text, "b");
  EXPECT_FALSE(lx.PeekNextToken(t));
  EXPECT_EQ(t.TokenType, ttNone);
  EXPECT_FALSE(lx.GetNextToken(t));
  EXPECT_EQ(t.Text, "");
  lx.SetPosition(1);
  EXPECT_EQ(lx.Current().Text, "=");
  EXPECT_FALSE(lx.NextCommand());
}

TEST(Lexer, Parameters) {
  TORBSQLParams params;
  TORBVariant a, b;
  a.SetInteger(7, stInteger);
  b.SetString("x");
  params.Add("First", a);
  params.Add("two words", b);
  const auto t = Tokens(":first + :\"Two Words\" + ? + ?", &params);
  ASSERT_EQ(t.size(), 7u);
  EXPECT_EQ(t[0].TokenType, ttParameter);
  EXPECT_EQ(t[0].Text, "first");
  EXPECT_EQ(t[0].ParamValue, a);
  EXPECT_EQ(t[2].ParamValue, b);
  EXPECT_EQ(t[4].Text, "Param1");
  EXPECT_EQ(t[4].ParamValue, a);
  EXPECT_EQ(t[6].Text, "Param2");
  EXPECT_EQ(t[6].ParamValue, b);
  EXPECT_EQ(LexError("? + ? + ?", &params), "Value for parameter 'Param3' not found");
  EXPECT_EQ(LexError("a = :missing", &params), "Value for parameter 'missing' not found");
  EXPECT_EQ(LexError("a = :x"), "Value for parameter 'x' not found");
}

TEST(Lexer, Errors) {
  const orbtest::TextCase cases[] = {
      {"[CAT] = 'WEB", "Unterminated string at line 1, column 9"},
      {"[CAT = 'WEB'", "Unterminated string at line 1, column 1"},
      {"a = 1 OR\n  b = \"x", "Unterminated string at line 2, column 7"},
      {"`abc", "Unterminated string at line 1, column 1"},
      {"x = 'it''", "Unterminated string at line 1, column 5"},
      {"(a = 1", "Missing symbol ')' at line 1, column 1"},
      {"((a = 1)\n AND (b = 2", "Missing symbol ')' at line 2, column 6"},
      {"a = 1)", "Unexpected symbol ')' found at line 1, column 6"},
      {"(a = 1))", "Unexpected symbol ')' found at line 1, column 8"},
      {"a = 12abc", "Invalid numeric symbol '12abc' at line 1, column 5"},
      {"a = 1E", "Invalid numeric symbol '1E' at line 1, column 5"},
      {"a = 3.5x", "Invalid numeric symbol '3.5x' at line 1, column 5"},
      // A string inside a comment or a ')' inside a string is no error.
      {"a = 1 -- 'open\n", ""},
      {"a = ')'", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(LexError(c.text), c.want) << c.text;
}
