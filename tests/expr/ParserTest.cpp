// The grammar: precedence, the filter rewrites, parse errors with their
// exact texts and positions, and that a failed parse keeps no tree.
#include <gtest/gtest.h>

#include "MemorySource.h"
#include "expr/ORBExpression.h"

using namespace orb;
using namespace orbtest;

namespace {

// Fields A, B, C (integers) and CAT (text) on one row.
class Parser : public ::testing::Test {
 protected:
  MemorySource src{{{"A", stInteger, 4}, {"B", stInteger, 4}, {"C", stInteger, 4}, {"CAT", stString, 20}}, "LC"};
  void SetUp() override { src.AddRow({I(1), I(2), I(3), S("WEBMAIL")}); }

  std::string Filter(std::string_view text, bool partial = true) {
    return ErrorText([&] {
      TORBExpression e;
      e.ParseFilter(&src, text, false, partial);
    });
  }
};

}  // namespace

TEST_F(Parser, PrecedenceOfValues) {
  const TextCase cases[] = {
      {"1 + 2 * 3", "7"},
      {"(1 + 2) * 3", "9"},
      {"10 - 4 - 3", "3"},
      {"2 * 3 - -1", "7"},
      {"8 / 2 / 2", "2"},
      {"-2 * -3", "6"},
      {"- (1 + 2) * 2", "-6"},
      {"'a' || 'b' || 1 + 2", "ab3"},
      {"A + B * C", "7"},
      {"LC.A - [B] - `C`", "-4"},
      {"2147483648 + 1", "2147483649"},  // the literal is LARGEINT past 32 bits
  };
  for (const auto& c : cases) EXPECT_EQ(ValueOf(c.text, &src), c.want) << c.text;
}

TEST_F(Parser, PrecedenceOfConditions) {
  const TextCase cases[] = {
      {"A = 1 OR B = 0 AND C = 0", "True"},  // AND binds tighter than OR
      {"(A = 1 OR B = 0) AND C = 0", "False"},
      {"NOT A = 1 AND B = 2", "False"},  // NOT binds tighter than AND
      {"NOT (A = 1 AND B = 0)", "True"},
      {"NOT A = 0 OR A = 0", "True"},
      {"A = 0 OR A = 0 OR C = 3", "True"},
      {"a = 1 and b = 2 And c = 3", "True"},
      {"A + 1 = B AND B * 2 = C + 1", "True"},
      {"(((A = 1)))", "True"},
      {"((A) + 1) = 2", "True"},
      {"A BETWEEN 0 AND 2 AND B = 2", "True"},
      {"A = 1 IS TRUE", "True"},
      {"NOT A = 2 IS FALSE", "False"},
  };
  for (const auto& c : cases) {
    TORBExpression e;
    e.ParseFilter(&src, c.text, false, true);
    EXPECT_EQ(Show(e.GetValue(true)), c.want) << c.text;
  }
  // The tree: OR over (A = 1) and one AND holding all of its operands.
  TORBExpression e;
  e.ParseFilter(&src, "A = 1 OR B = 2 AND (C = 3 AND A = 1) AND B = 2", false, true);
  ASSERT_EQ(e.Root()->Operator, opOr);
  EXPECT_EQ(e.Root()->Child(0)->Operator, opEqual);
  EXPECT_EQ(e.Root()->Child(1)->Operator, opAnd);
  EXPECT_EQ(e.Root()->Child(1)->Children.size(), 4u);
}

TEST_F(Parser, PartialCompareOnlyFromATrailingAsterisk) {
  MemorySource cats({{"CAT", stString, 20}});
  for (const char* c : {"WEB", "WEBMAIL", "WE", "WEB*", "web"}) cats.AddRow({S(c)});
  using V = std::vector<std::string>;
  EXPECT_EQ(Select(cats, "[CAT] = 'WEB'"), (V{"WEB"}));
  EXPECT_EQ(Select(cats, "[CAT] = 'WEB*'"), (V{"WEB", "WEBMAIL", "WEB*"}));
  EXPECT_EQ(Select(cats, "'WEB*' = [CAT]"), (V{"WEB", "WEBMAIL", "WEB*"}));
  EXPECT_EQ(Select(cats, "[CAT] = 'WEB*'", false), (V{"WEB*"}));
  EXPECT_EQ(Select(cats, "[CAT] = 'web*'", true, true), (V{"WEB", "WEBMAIL", "WEB*", "web"}));
  EXPECT_EQ(Select(cats, "[CAT] > 'WEB'"), (V{"WEBMAIL", "WEB*"}));
}

TEST_F(Parser, LikeBecomesAPrefixTestOnlyWhenExact) {
  TORBExpression e;
  e.ParseFilter(&src, "CAT LIKE 'WE%'", false, true);
  ASSERT_EQ(e.Root()->Operator, opEqual);
  EXPECT_EQ(static_cast<TORBExprNodeComparison*>(e.Root())->PrefixLength, 2);
  e.ParseFilter(&src, "CAT NOT LIKE 'WE%'", false, true);
  EXPECT_EQ(e.Root()->Operator, opNotEqual);
  for (const char* keep : {"CAT LIKE 'W_%'", "CAT LIKE 'W!%%' ESCAPE '!'", "CAT LIKE '%'", "CAT LIKE 'W%B%'"}) {
    e.ParseFilter(&src, keep, false, true);
    EXPECT_EQ(e.Root()->Operator, opLike) << keep;
  }
  MemorySource cats({{"CAT", stString, 20}});
  for (const char* c : {"W%X", "WX", "W", "WEB"}) cats.AddRow({S(c)});
  using V = std::vector<std::string>;
  EXPECT_EQ(Select(cats, "CAT LIKE 'W_%'"), (V{"W%X", "WX", "WEB"}));
  EXPECT_EQ(Select(cats, "CAT LIKE 'W!%%' ESCAPE '!'"), (V{"W%X"}));
  EXPECT_EQ(Select(cats, "CAT LIKE 'WE%'"), (V{"WEB"}));
  EXPECT_EQ(Select(cats, "CAT NOT LIKE 'WE%'"), (V{"W%X", "WX", "W"}));
}

TEST_F(Parser, FieldEqualsTypedNullIsANullTest) {
  TORBSQLParams params;
  params.Add("n", TORBVariant(stString));
  TORBLexer lx("CAT = :n OR CAT <> :n", &params);
  lx.NextCommand();
  TORBExpression e;
  e.ParseCondition(lx);
  EXPECT_EQ(e.Root()->Child(0)->Operator, opIsNull);
  EXPECT_EQ(e.Root()->Child(1)->Operator, opIsNotNull);
}

TEST_F(Parser, Errors) {
  const TextCase cases[] = {
      {"", "Blank SQL command"},
      {" -- nothing\n /* at all */ ;", "Blank SQL command"},
      {"[CAT] = 'a' OR", "Boolean expression expected, but '' found at line 1, column 15"},
      {"[CAT] = 'a' OR\n", "Boolean expression expected, but '' found at line 2, column 1"},
      {"AND A = 1", "Boolean expression expected, but 'AND' found at line 1, column 1"},
      {"NOT", "Boolean expression expected, but '' found at line 1, column 4"},
      {"A = 1 OR (B = 2 AND )", "Boolean expression expected, but ')' found at line 1, column 21"},
      {"A IN (1 2)", "Boolean expression expected, but 'A' found at line 1, column 1"},
      {"A IN (1, )", "Boolean expression expected, but 'A' found at line 1, column 1"},
      {"[CAT] = 'a' [X]", "Unexpected token 'X' found at line 1, column 13"},
      {"A = 1 B = 2", "Unexpected token 'B' found at line 1, column 7"},
      {"A IS MAYBE", "Token 'TRUE, FALSE or UNKNOWN' expected, but 'MAYBE' found at line 1, column 6"},
      {"UPPER(CAT CAT) = 'x'", "Token ')' expected, but 'CAT' found at line 1, column 11"},
      {"UPPER() = 'x'", "Argument expected for function 'UPPER' at line 1, column 7"},
      {"POWER(2 3) = 8", "comma (\",\") expected but not found at line 1, column 9"},
      {"COALESCE() = 1", "COALESCE arguments are missed at line 1, column 1"},
      {"TODATE(CAT, A) = 1", "Const DateFormat string expected, but 'A' found at line 1, column 13"},
      {"CAT LIKE 'x' ESCAPE 'ab'",
       "Invalid escape character length (should be a single character) at line 1, column 21"},
      {"A = DATE '2008-1-01'", "Date string expected \"YYYY-MM-DD\", but found \"2008-1-01\" at line 1, column 10"},
      {"A = DATE '2008-02-30'", "Date string expected \"YYYY-MM-DD\", but found \"2008-02-30\" at line 1, column 10"},
      {"A = TIME '25:00:00'", "Time string expected \"HH:MM:SS\", but found \"25:00:00\" at line 1, column 10"},
      {"A = DATE 5", "Token 'YYYY-MM-DD' expected, but '5' found at line 1, column 10"},
      {"CAST(A AS NOSUCH) = 1", "Cannot convert an expression to specified type: 'NOSUCH'"},
      {"CASE WHEN THEN 1 END = 1", "Search Condition for CASE function expected, but 'THEN' found at line 1, column 11"},
      {"CASE A WHEN THEN 1 END = 1", "When Expression for CASE function expected, but 'THEN' found at line 1, column 13"},
      {"CASE A WHEN 1 THEN 2 ELSE END = 1",
       "'Else Result Expression' for CASE function expected, but 'END' found at line 1, column 27"},
      {"CASE A WHEN 1 THEN 2 = 1", "Token 'END' expected, but '=' found at line 1, column 22"},
      {"NOSUCH = 1", "Field 'NOSUCH' not found"},
      {"X.A = 1", "Field 'A' not found"},
      {"A = 1;B = 2", ""},  // ';' ends the filter
  };
  for (const auto& c : cases) EXPECT_EQ(Filter(c.text), c.want) << c.text;
}

TEST_F(Parser, AFailedParseKeepsNoTree) {
  TORBExpression e;
  e.ParseFilter(&src, "A = 1", false, true);
  ASSERT_NE(e.Root(), nullptr);
  // Each failure happens after nodes were built; none survives (ASan checks
  // that none leaks either).
  for (const char* bad : {"A = 1 AND (B = 2 OR", "A = 1 AND B = 2 OR C +", "A = 1 AND NOSUCH = 2",
                          "UPPER(CAT) LIKE 'x' AND CASE A WHEN 1 THEN 2 ELSE END = 1"}) {
    EXPECT_NE(ErrorText([&] { e.ParseFilter(&src, bad, false, true); }), "") << bad;
    EXPECT_EQ(e.Root(), nullptr) << bad;
  }
  EXPECT_EQ(ErrorText([&] { e.GetBooleanValue(); }), "Value is Null");
}

TEST_F(Parser, DeepNestingIsAnErrorNotACrash) {
  std::string deep(5000, '(');
  deep += "A = 1" + std::string(5000, ')');
  EXPECT_NE(Filter(deep).find("Expression nested too deeply"), std::string::npos);
  std::string minus;
  for (int i = 0; i < 5000; ++i) minus += "- ";
  EXPECT_NE(Filter("A = " + minus + "1").find("Expression nested too deeply"), std::string::npos);
  // Moderate nesting is fine, and backtracking over it stays quick.
  std::string ok(40, '(');
  ok += "A = 1" + std::string(40, ')') + " AND " + std::string(40, '(') + "B" + std::string(40, ')') + " = 2";
  EXPECT_EQ(Filter(ok), "");
}

TEST_F(Parser, ConstantText) {
  EXPECT_TRUE(TORBExpression::IsConstantText("1 + 2"));
  EXPECT_TRUE(TORBExpression::IsConstantText("'abc' || 'd'"));
  EXPECT_TRUE(TORBExpression::IsConstantText("DATE '2008-01-01'"));
  EXPECT_FALSE(TORBExpression::IsConstantText("NOW"));
  EXPECT_FALSE(TORBExpression::IsConstantText("A + 1"));
  EXPECT_FALSE(TORBExpression::IsConstantText("1 2"));
  EXPECT_FALSE(TORBExpression::IsConstantText("1; 2"));
  EXPECT_FALSE(TORBExpression::IsConstantText("'open"));
  EXPECT_FALSE(TORBExpression::IsConstantText(""));
}
