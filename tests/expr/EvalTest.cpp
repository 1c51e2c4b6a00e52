// Evaluation: three-valued logic, LIKE, the string, date and numeric
// functions, CAST/CASE/COALESCE, aggregates, key conditions and the
// planner's hooks.
#include <gtest/gtest.h>

#include "MemorySource.h"
#include "expr/ORBExpression.h"
#include "orb/ORBText.h"

using namespace orb;
using namespace orbtest;

namespace {

// N: NULL integer, T: NULL text, I = 1, S = 'abc'.
class Eval : public ::testing::Test {
 protected:
  MemorySource src{{{"N", stInteger, 4}, {"T", stString, 10}, {"I", stInteger, 4}, {"S", stString, 10}}};
  void SetUp() override { src.AddRow({Null(), Null(), I(1), S("abc")}); }

  std::string Truth(std::string_view text) {
    TORBExpression e;
    e.ParseFilter(&src, text, false, true);
    return Show(e.GetValue(true));
  }
};

}  // namespace

TEST_F(Eval, NullLogic) {
  const TextCase cases[] = {
      // A field against an integer: SQL nulls, so unknown.
      {"N = 1", "NULL"},
      {"N <> 1", "NULL"},
      {"N = N", "NULL"},
      // A field against a text constant: NULL sorts first and is no text.
      {"T = 'x'", "False"},
      {"T <> 'x'", "True"},
      {"T < 'x'", "True"},
      {"T = NULL", "True"},
      {"N = 1 AND 1 = 0", "False"},
      {"N = 1 AND 1 = 1", "NULL"},
      {"N = 1 OR 1 = 1", "True"},
      {"N = 1 OR 1 = 0", "NULL"},
      {"NOT N = 1", "NULL"},
      {"NOT NOT I = 1", "True"},
      {"N IN (1, 2)", "NULL"},
      {"I IN (2, NULL)", "False"},
      {"I NOT IN (2, NULL)", "True"},
      {"S IN ('ABC', 'x')", "True"},  // IN compares case-insensitively
      {"N BETWEEN 0 AND 2", "NULL"},
      {"I BETWEEN 0 AND NULL", "NULL"},
      {"I BETWEEN 1 AND 1", "True"},
      {"I NOT BETWEEN 2 AND 3", "True"},
      {"S BETWEEN 'ABA' AND 'ABD'", "True"},
      {"N IS NULL", "True"},
      {"I IS NOT NULL", "True"},
      {"(N = 1) IS UNKNOWN", "True"},
      {"(N = 1) IS NOT UNKNOWN", "False"},
      {"(N = 1) IS TRUE", "False"},
      {"(N = 1) IS FALSE", "False"},
      {"(N = 1) IS NOT TRUE", "True"},
      {"NOT ((N = 1) IS TRUE)", "True"},
      {"N + 1 IS NULL", "True"},
      {"NULL + 1 IS NULL", "True"},
      {"-N IS NULL", "True"},
      {"T || 'a' = 'a'", "True"},
      {"T LIKE '%'", "True"},  // NULL is matched as an empty text
      {"T LIKE ''", "True"},
      {"T LIKE 'a%'", "False"},
      {"T NOT LIKE 'a%'", "True"},
      {"UPPER(T) NOT LIKE 'A%'", "True"},
      {"UPPER(T) LIKE '%A%'", "False"},
      {"S LIKE NULL", "NULL"},
      {"S NOT LIKE NULL", "NULL"},
  };
  for (const auto& c : cases) EXPECT_EQ(Truth(c.text), c.want) << c.text;
  // A filter's truth: NULL is false.
  TORBExpression e;
  e.ParseFilter(&src, "N = 1", false, true);
  EXPECT_FALSE(e.GetBooleanValue());
  EXPECT_EQ(Show(e.GetValue()), "False");
}

TEST(Like, Matching) {
  const struct {
    const char* value;
    const char* pattern;
    const char* escape;
    bool ci;
    bool match;
  } cases[] = {
      {"abc", "abc", "", false, true},
      {"abc", "ab", "", false, false},
      {"ab", "abc", "", false, false},
      {"abc", "a_c", "", false, true},
      {"abc", "a__c", "", false, false},
      {"aXYZc", "a%c", "", false, true},
      {"ac", "a%c", "", false, true},
      {"abc", "%", "", false, true},
      {"", "", "", false, true},
      {"", "%", "", false, true},
      {"", "%%", "", false, true},
      {"", "_", "", false, false},
      {"a", "", "", false, false},
      {"a*b", "a*b", "", false, true},  // '*' and '?' are plain characters
      {"axb", "a*b", "", false, false},
      {"a?b", "a?b", "", false, true},
      {"axb", "a?b", "", false, false},
      {"*WEB", "*%WEB", "", false, true},
      {"WEB", "*%WEB", "", false, false},
      {"50%", "50!%", "!", false, true},
      {"500", "50!%", "!", false, false},
      {"a_b", "a!_b", "!", false, true},
      {"axb", "a!_b", "!", false, false},
      {"a!b", "a!!b", "!", false, true},
      {"ABC", "abc", "", true, true},
      {"ABC", "abc", "", false, false},
      {"ÉTÉ", "été", "", true, true},
      {"äbc", "_bc", "", false, true},  // '_' is one character, not one byte
      {"日本語", "__語", "", false, true},
      {"日本語", "_語", "", false, false},
      {"日本語", "%本%", "", false, true},
      {"mississippi", "%iss%ppi", "", false, true},
      {"mississippi", "%iss%pi%x", "", false, false},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "%a%a%a%a%a%a%a%a%a%a%c", "", false, false},
      // '%literal%' between ASCII texts is a substring search; an escaped
      // '%' is part of the literal.
      {"rate 50% off", "%0!% o%", "!", false, true},
      {"rate 50 off", "%0!% o%", "!", false, false},
      {"abcab", "%cab%", "", false, true},
      {"abcab", "%CAB%", "", false, false},
      {"abcab", "%CAB%", "", true, true},
      // The Kelvin sign collates equal to K: a non-ASCII value is never
      // taken byte for byte.
      {"a\u212Ab", "%K%", "", false, true},
      {"a\u212Ab", "%k%", "", false, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(LikeMatch(c.value, c.pattern, c.escape, c.ci), c.match) << c.value << " LIKE " << c.pattern;
}

// One LIKE node evaluated over records whose pattern differs from row to
// row: the pattern it compiled for one record must not serve the next.
TEST(EvalLike, PatternFromAFieldIsFollowedRowByRow) {
  MemorySource src{{{"V", stString, 20}, {"P", stString, 20}}};
  const struct {
    const char* value;
    const char* pattern;
    bool match;
  } rows[] = {
      {"abc", "a%", true},   {"abc", "%x%", false}, {"xyz", "%y%", true},    {"xyz", "%y%", true},
      {"ABC", "%b%", false}, {"ABC", "%B%", true},  {"a\u212Ab", "%K%", true}, {"ab", "%K%", false},
  };
  for (const auto& r : rows) src.AddRow({S(r.value), S(r.pattern)});
  TORBExpression e;
  e.ParseFilter(&src, "V LIKE P", false, false);
  for (size_t i = 0; i < std::size(rows); ++i) {
    src.SetRow(i);
    EXPECT_EQ(e.GetBooleanValue(), rows[i].match) << rows[i].value << " LIKE " << rows[i].pattern;
  }
}

// UPPER keeps its result buffer from row to row: a shorter or non-ASCII
// value must not show the previous one's bytes.
TEST(EvalCase, UpperOfAFieldRowByRow) {
  MemorySource src{{{"V", stString, 20}, {"W", stString, 20}}};
  const std::pair<const char*, const char*> rows[] = {{"abcdef", "ABCDEF"}, {"ab", "AB"}, {"éa", "ÉA"}, {"x", "X"}};
  for (const auto& [v, w] : rows) src.AddRow({S(v), S(w)});
  TORBExpression e;
  e.ParseFilter(&src, "UPPER(V) = W", false, false);
  for (size_t i = 0; i < std::size(rows); ++i) {
    src.SetRow(i);
    EXPECT_TRUE(e.GetBooleanValue()) << rows[i].first;
  }
}

TEST_F(Eval, LikeNeedsStrings) {
  EXPECT_EQ(ErrorText([&] { Truth("I LIKE '%1%'"); }), "Not string argument in function 'LIKE'");
  EXPECT_EQ(Truth("CAST(I AS VARCHAR) LIKE '%1%'"), "True");
}

TEST_F(Eval, Functions) {
  const TextCase cases[] = {
      {"UPPER('éa')", "ÉA"},
      {"LOWER('ÀB')", "àb"},
      {"UPPER('`az{@AZ[')", "`AZ{@AZ["},  // only a-z move, ASCII or not
      {"LOWER('`az{@AZ[')", "`az{@az["},
      {"UPPER(NULL)", "NULL"},
      {"LENGTH('日本語')", "3"},
      {"LENGTH(NULL)", "0"},
      {"SUBSTRING('日本語テキスト' FROM 2 FOR 2)", "本語"},
      {"SUBSTRING('abcdef', 3)", "cdef"},
      {"SUBSTRING('abc', 0, 2)", "a"},
      {"SUBSTRING('abc', 5)", ""},
      {"POSITION('語' IN '日本語')", "3"},
      {"POS('z', 'abc')", "0"},
      {"TRIM('  a b \t')", "a b"},
      {"LTRIM('  a ')", "a "},
      {"RTRIM('  a ')", "  a"},
      {"'a' || NULL || 'b'", "ab"},
      {"'a' + 'b'", "ab"},
      {"CAST('12' AS INTEGER) + 1", "13"},
      {"CAST(12.5 AS VARCHAR(3))", "12."},
      {"CAST('日本語' AS CHAR(2))", "日本"},
      {"CAST(NULL AS INTEGER)", "NULL"},
      {"CASE 2 WHEN 1 THEN 'one' WHEN 2 THEN 'two' END", "two"},
      {"CASE 'A' WHEN 'a' THEN 1 END", "1"},
      {"CASE 5 WHEN 1 THEN 1 END", "NULL"},
      {"CASE WHEN 1 = 2 THEN 'x' ELSE 'y' END", "y"},
      {"CASE WHEN 1 = 1 THEN 1 ELSE 'x' END", "1"},
      {"COALESCE(NULL, NULL, 3)", "3"},
      {"COALESCE(NULL)", "NULL"},
      {"TOSTRING(DATE '2008-02-01', 'DD/MM/YYYY')", "01/02/2008"},
      {"TOSTRING(TIMESTAMP '2008-02-01 13:05:09', 'HH12:NN:SS AMPM DY DW Q RM MON \"YYYY\"')",
       "01:05:09 PM 32 5 1 II Feb YYYY"},
      {"TOSTRING(TIME '00:30:00', 'HH:NN AMPM')", "12:30 AM"},
      {"TOSTRING(TODATE('3/2/08', 'D/M/YY'), 'YYYY-MM-DD')", "2008-02-03"},
      {"TODATE('01/02/2008', 'DD/MM/YYYY') = DATE '2008-02-01'", "True"},
      {"TODATE('12:30 PM', 'HH:NN AMPM') = TIME '12:30:00'", "True"},
      {"TODATE('12:30 am', 'HH:NN AMPM') = TIME '00:30:00'", "True"},
      {"TODATE('Q3 2008', '\"Q\"Q YYYY') = DATE '2008-07-01'", "False"},  // no day: date part is 1899-12-30
      {"TODATE(NULL, 'YYYY')", "NULL"},
      {"EXTRACT(MONTH FROM DATE '2008-02-01')", "2"},
      {"EXTRACT(MINUTE FROM TIMESTAMP '2008-02-01 13:05:09')", "5"},
      {"DATE '2008-03-01' - 31 = DATE '2008-01-30'", "True"},
      {"ABS(-3)", "3"},
      {"ABS(-2.5)", "2.5"},
      {"ROUND(2.5)", "2"},
      {"ROUND(2.5, 0, HALFUP)", "3"},
      {"ROUND(-2.5, 0, HALFDOWN)", "-2"},
      {"ROUND(-2.5, 0, HALFNEG)", "-3"},
      {"ROUND(2.1, 0, RNDUP)", "3"},
      {"ROUND(1.2345, 2)", "1.23"},
      {"SIGN(-2.5)", "-1"},
      {"POWER(2, 10)", "1024"},
      {"SQRT(16)", "4"},
      {"SQR(3)", "9"},
      {"FLOOR(2.7)", "2"},
      {"CEIL(2.1)", "3"},
      {"MIMETOBIN('UGFzc1ZMVA==')", "PassVLT"},
  };
  for (const auto& c : cases) EXPECT_EQ(ValueOf(c.text, &src), c.want) << c.text;
  const TextCase errors[] = {
      {"SQRT(-1)", "Invalid argument for numeric function 'SQRT'"},
      {"LOG(0)", "Invalid argument for numeric function 'LOG'"},
      {"7 / 0", "Division error: Division by zero"},
      {"2147483647 + 1", "Arithmetic overflow in operator '+' for type 'INTEGER'"},
      {"TODATE('2008-13-01', 'YYYY-MM-DD')", "'2008-13-01' is not a valid date"},
      {"TODATE('10:00 XM', 'HH:NN AMPM')", "AM/PM word expected, but 'XM' found"},
      {"MIMETOBIN('a*b')", "Invalid Base64 text at line 1, column 11"},
  };
  for (const auto& c : errors) EXPECT_EQ(ErrorText([&] { ValueOf(c.text, &src); }), c.want) << c.text;
}

TEST_F(Eval, DateFunctionsUseTheClock) {
  SetExpressionClock([](int32_t* day, int32_t* ms) {
    *day = DayNumber(2008, 3, 1);
    *ms = 13 * 3600000;
  });
  EXPECT_EQ(ValueOf("TOSTRING(NOW, 'YYYY-MM-DD HH24')"), "2008-03-01 13");
  EXPECT_EQ(ValueOf("CURRENT_DATE - 31 = DATE '2008-01-30'"), "True");
  EXPECT_EQ(ValueOf("EXTRACT(HOUR FROM CURRENT_TIME)"), "13");
  SetExpressionClock(nullptr);
  EXPECT_FALSE(TORBExpression::IsConstantText("CURRENT_DATE"));
}

TEST(Aggregates, OverRows) {
  MemorySource src({{"N", stInteger, 4}, {"S", stString, 10}, {"F", stFloat, 8}});
  src.AddRow({I(3), S("b"), Null()});
  src.AddRow({Null(), S("A"), Null()});
  src.AddRow({I(4), S("a"), Null()});
  src.AddRow({I(3), Null(), Null()});
  const TextCase cases[] = {
      {"SUM(N)", "10"},         {"AVG(N)", "3.33333333333333"}, {"MIN(S)", "A"},
      {"MAX(S)", "b"},          {"COUNT(S)", "3"},              {"COUNT(*)", "4"},
      {"COUNT(DISTINCT N)", "2"}, {"SUM(DISTINCT N)", "7"},     {"SUM(F)", "NULL"},
      {"COUNT(F)", "0"},        {"SUM(N) * 2 + COUNT(*)", "24"},
  };
  for (const auto& c : cases) {
    TORBLexer lx(c.text);
    lx.NextCommand();
    TORBExpression e;
    e.ParseValue(lx);
    e.Bind(&src);
    ASSERT_TRUE(e.Root()->IsAggregated()) << c.text;
    e.Root()->InitAggregates();
    for (size_t r = 0; r < src.RowCount(); ++r) {
      src.SetRow(r);
      e.Root()->Accumulate();
    }
    EXPECT_EQ(Show(e.GetValue(true)), c.want) << c.text;
  }
  TORBLexer lx("SUM(S)");
  lx.NextCommand();
  TORBExpression e;
  e.ParseValue(lx);
  e.Bind(&src);
  e.Root()->InitAggregates();
  src.SetRow(0);
  EXPECT_EQ(ErrorText([&] { e.Root()->Accumulate(); }), "Not numeric argument in numeric operator 'SUM'");
}

TEST(Rownum, CountsEvaluations) {
  TORBLexer lx("ROWNUM * 10");
  lx.NextCommand();
  TORBExpression e;
  e.ParseValue(lx);
  e.Bind(std::vector<TORBRecordSource*>{});
  EXPECT_EQ(Show(e.GetValue()), "10");
  EXPECT_EQ(Show(e.GetValue()), "20");
  e.Root()->ResetAggregates();
  EXPECT_EQ(Show(e.GetValue()), "10");
}

TEST(KeyCondition, FieldsAndValues) {
  MemorySource src({{"Service", stString, 20}, {"CAT", stString, 20}, {"Amount", stFloat, 8}});
  src.AddRow({S("Bank One"), S("Banking"), Null()});
  src.AddRow({S("bank two"), Null(), Null()});
  TORBVariant amount;
  amount.SetFloat(2.0);
  src.AddRow({S("Mail"), S("Web"), amount});
  auto matches = [&](std::string_view fields, std::vector<TORBVariant> values, bool ci, bool partial) {
    TORBExpression e;
    e.BuildKeyCondition(&src, fields, ci, partial, values);
    std::vector<std::string> out;
    for (size_t r = 0; r < src.RowCount(); ++r) {
      src.SetRow(r);
      if (e.GetBooleanValue()) out.push_back(std::to_string(r));
    }
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(matches("Service", {S("bank")}, true, true), (V{"0", "1"}));
  EXPECT_EQ(matches("Service", {S("bank")}, false, true), (V{"1"}));
  EXPECT_EQ(matches("Service", {S("bank")}, true, false), V{});
  EXPECT_EQ(matches("Service ; CAT", {S("bank two"), Null()}, false, false), (V{"1"}));  // NULL equals NULL
  EXPECT_EQ(matches("Amount", {I(2)}, false, false), (V{"2"}));
  EXPECT_EQ(ErrorText([&] { matches("Service;CAT", {S("x")}, false, false); }),
            "Count of FieldNames (2) not equal counts of KeyValues (1)");
  EXPECT_EQ(ErrorText([&] { matches("Nope", {S("x")}, false, false); }), "Field 'Nope' not found");
}

TEST(Planner, SplitsConditionsAcrossSources) {
  MemorySource left({{"A", stInteger, 4}, {"K", stInteger, 4}}, "L");
  MemorySource right({{"B", stInteger, 4}, {"K", stInteger, 4}}, "R");
  TORBLexer lx("L.A = 1 AND R.B > 2 AND L.K = R.K AND 5 <= L.A");
  lx.NextCommand();
  TORBExpression e;
  e.ParseCondition(lx);
  e.Bind({&left, &right});
  const auto pairs = e.JoinPairs();
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].first->Source, &left);
  EXPECT_EQ(pairs[0].second->Source, &right);
  TORBScanSearchConditionArray scans;
  e.GetScanConditions(scans);
  ASSERT_EQ(scans.size(), 3u);
  EXPECT_EQ(scans[2].Operator, opGreaterEqual);  // 5 <= L.A is L.A >= 5
  EXPECT_EQ(Show(scans[2].Value), "5");
  auto leftPart = e.ExtractPartsFor(&left);
  ASSERT_NE(leftPart, nullptr);
  EXPECT_EQ(leftPart->Operator, opAnd);
  EXPECT_EQ(leftPart->Children.size(), 2u);
  auto rightPart = e.ExtractPartsFor(&right);
  ASSERT_NE(rightPart, nullptr);
  EXPECT_EQ(rightPart->Operator, opGreater);
  // What is left is the join condition alone.
  EXPECT_EQ(e.Root()->Operator, opEqual);
  EXPECT_TRUE(e.Root()->ReferencesOnly("L") == false);
  e.RenameField("K", "KEY");
  // A constant that cannot be computed gives no scan condition (found by fuzzing).
  TORBLexer bad("L.A > -'x' AND L.A = 2");
  bad.NextCommand();
  TORBExpression b;
  b.ParseCondition(bad);
  b.Bind(&left);
  TORBScanSearchConditionArray some;
  b.GetScanConditions(some);
  ASSERT_EQ(some.size(), 1u);
  EXPECT_EQ(some[0].Operator, opEqual);
  EXPECT_EQ(static_cast<TORBExprNodeField*>(e.Root()->Child(0))->FieldName, "KEY");
}

namespace {

// Stands in for the SQL layer: every SELECT yields the same rows.
class FixedRows : public TORBSubquery {
 public:
  explicit FixedRows(std::vector<TORBVariant> column) : column_(std::move(column)) {}
  void Run(std::vector<std::vector<TORBVariant>>& rows, int maxRows) override {
    for (const TORBVariant& v : column_)
      if (maxRows < 0 || static_cast<int>(rows.size()) < maxRows) rows.push_back({v});
  }

 private:
  std::vector<TORBVariant> column_;
};

class FixedHost : public TORBExprHost {
 public:
  std::vector<TORBVariant> Column;
  std::unique_ptr<TORBSubquery> ParseSubquery(TORBLexer& lx) override {
    while (!lx.AtEnd() && lx.Current().TokenType != ttRightParen) lx.Advance();
    return std::make_unique<FixedRows>(Column);
  }
};

}  // namespace

TEST_F(Eval, SubqueriesThroughTheHost) {
  FixedHost host;
  auto truth = [&](std::string_view text) {
    TORBLexer lx(text);
    lx.NextCommand();
    TORBExpression e;
    e.Host = &host;
    e.ParseCondition(lx);
    e.Bind(&src);
    return Show(e.GetValue(true));
  };
  host.Column = {I(1), I(5)};
  EXPECT_EQ(truth("EXISTS (SELECT X FROM T)"), "True");
  EXPECT_EQ(truth("I IN (SELECT X FROM T)"), "True");
  EXPECT_EQ(truth("I NOT IN (SELECT X FROM T)"), "False");
  EXPECT_EQ(truth("I < ALL (SELECT X FROM T)"), "False");
  EXPECT_EQ(truth("I <= ALL (SELECT X FROM T)"), "True");
  EXPECT_EQ(truth("I < ANY (SELECT X FROM T)"), "True");
  EXPECT_EQ(truth("(SELECT X FROM T) + 1 = 2"), "True");
  host.Column = {I(5), Null()};
  EXPECT_EQ(truth("I < ALL (SELECT X FROM T)"), "NULL");
  EXPECT_EQ(truth("I > ANY (SELECT X FROM T)"), "NULL");
  host.Column = {};
  EXPECT_EQ(truth("EXISTS (SELECT X FROM T)"), "False");
  EXPECT_EQ(truth("(SELECT X FROM T) IS NULL"), "True");
  // Without a host a SELECT does not parse.
  EXPECT_NE(ErrorText([&] { Truth("EXISTS (SELECT X FROM T)"); }), "");
}
