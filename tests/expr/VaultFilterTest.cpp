// The filter texts the vault builds for search, categories and the password
// age views, character for character, against a fixture of records.
#include <gtest/gtest.h>

#include "MemorySource.h"
#include "expr/ORBExpression.h"
#include "orb/ORBText.h"

using namespace orb;
using namespace orbtest;

namespace {

using V = std::vector<std::string>;

std::string Q(const std::string& x) {
  std::string out = "'";
  for (char c : x) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::string SearchFilter(const std::string& find) {
  const std::string p = Q("%" + TORBCollation::Current().Upper(find) + "%");
  return " UPPER([SERVICE]) LIKE " + p + " OR UPPER([PASSWORD]) LIKE " + p + "OR UPPER([USERNAME]) LIKE " + p +
         " OR UPPER([DESCRIPTION]) LIKE " + p + "OR UPPER([CAT]) LIKE " + p;
}

std::string CategoryFilter(const std::string& c) { return "[CAT] = " + Q(c) + " AND [CAT] NOT LIKE " + Q("*%" + c); }

std::string DateText(int32_t day) {
  int y, m, d;
  DecodeDayNumber(day, &y, &m, &d);
  return TORBDateFormats::Current().FormatDate(y, m, d);
}

std::string AgeFilter(int32_t today, int days) {
  return "DateSet >= " + Q(DateText(today - days)) + " and [CAT] NOT LIKE " + Q("%*%");
}

std::string ResetFilter(int32_t today, int days) {
  const std::string head = days == 91 ? "[DateReSet] >= " : "DateReSet >= ";
  return head + Q(DateText(today)) + " AND [DateReset] <=" + Q(DateText(today + days)) + " and [CAT] NOT LIKE " +
         Q("%*%");
}

// The record list in the short date format of the parameter.
class VaultFilter : public ::testing::TestWithParam<TORBDateFormats> {
 protected:
  MemorySource lc{{{"SERVICE", stString, 60},
                   {"PASSWORD", stString, 30},
                   {"USERNAME", stString, 60},
                   {"DESCRIPTION", stMemo, 0},
                   {"CAT", stString, 30},
                   {"DateSet", stDate, 4},
                   {"DateReset", stDate, 4}},
                  "LC"};
  TORBDateFormats formats = GetParam();

  void SetUp() override {
    TORBDateFormats::SetCurrent(&formats);
    auto row = [&](const char* service, const char* pw, TORBVariant user, TORBVariant desc, TORBVariant cat,
                   TORBVariant set, TORBVariant reset) {
      lc.AddRow({S(service), S(pw), std::move(user), std::move(desc), std::move(cat), std::move(set), std::move(reset)});
    };
    row("Bank One", "abcXYZ", S("joe"), S("main account"), S("Banking"), D(2009, 2, 1), D(2009, 3, 10));
    row("WebMail", "pw", S("o'brien"), S("it's mine"), S("WEB"), D(2009, 1, 28), D(2009, 3, 1));
    row("Forum", "123", S("x"), Null(), S("*WEB"), D(2009, 2, 20), D(2009, 4, 1));
    row("Shop", "Abc", S("user"), S(""), Null(), D(2009, 1, 29), D(2009, 4, 2));
    row("Archive", "zz", Null(), Null(), S("Old*"), D(2009, 2, 25), D(2009, 3, 5));
    row("EMail box", "q", S("a_b"), S("50%"), S("EMail"), D(2008, 12, 1), Null());
    row("Portal", "p", S("w"), Null(), S("WEBMAIL"), D(2009, 2, 15), D(2009, 4, 1));
    row("Toys", "t", S("kid"), Null(), S("Kid's"), Null(), Null());
  }
  void TearDown() override { TORBDateFormats::SetCurrent(nullptr); }
};

TORBDateFormats Format(const char* pattern, char sep) {
  TORBDateFormats f;
  f.DatePattern = pattern;
  f.DateSeparator = sep;
  return f;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(ShortDates, VaultFilter,
                         ::testing::Values(Format("mmddyyyy", '/'), Format("ddmmyyyy", '/'), Format("ddmmyyyy", '.'),
                                           Format("yyyymmdd", '-')),
                         [](const auto& info) {
                           return info.param.DatePattern + (info.param.DateSeparator == '/'   ? "_slash"
                                                            : info.param.DateSeparator == '.' ? "_dot"
                                                                                              : "_dash");
                         });

TEST_P(VaultFilter, Search) {
  const struct {
    const char* find;
    V rows;
  } cases[] = {
      {"abc", {"Bank One", "Shop"}},
      {"O'B", {"WebMail"}},  // the apostrophe is doubled inside the text
      {"it's", {"WebMail"}},
      {"*web", {"Forum"}},
      {"webmail", {"WebMail", "Portal"}},
      {"50%", {"EMail box"}},
      // In the filter '%' and '_' are wildcards.
      {"%", {"Bank One", "WebMail", "Forum", "Shop", "Archive", "EMail box", "Portal", "Toys"}},
      {"a_b", {"EMail box"}},
      {"o_e", {"Bank One"}},
      {"nothing here", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Select(lc, SearchFilter(c.find)), c.rows) << SearchFilter(c.find);
}

TEST_P(VaultFilter, Categories) {
  EXPECT_EQ(Select(lc, CategoryFilter("WEB")), (V{"WebMail"}));
  EXPECT_EQ(Select(lc, CategoryFilter("Banking")), (V{"Bank One"}));
  EXPECT_EQ(Select(lc, CategoryFilter("Kid's")), (V{"Toys"}));
  EXPECT_EQ(Select(lc, CategoryFilter("web")), V{});  // filters compare case-sensitively by default
  // Choosing a further category widens the list.
  const std::string two = CategoryFilter("WEB") + " OR " + CategoryFilter("EMail");
  EXPECT_EQ(Select(lc, two), (V{"WebMail", "EMail box"}));
  // A category added to a search filter.
  EXPECT_EQ(Select(lc, SearchFilter("abc") + " OR " + CategoryFilter("WEB")), (V{"Bank One", "WebMail", "Shop"}));
  // The filter text of the overview, as written there.
  EXPECT_EQ(Select(lc, "[CAT] = 'Banking' AND [CAT] NOT LIKE '*%Banking'"), (V{"Bank One"}));
}

TEST_P(VaultFilter, AgeViewsOnTheFirstOfMarch) {
  const int32_t today = DayNumber(2009, 3, 1);  // not a leap year: 30 Days starts 29 January
  EXPECT_EQ(Select(lc, AgeFilter(today, 31)), (V{"Bank One", "Shop", "Portal"}));
  EXPECT_EQ(Select(lc, AgeFilter(today, 61)), (V{"Bank One", "WebMail", "Shop", "Portal"}));
  EXPECT_EQ(Select(lc, AgeFilter(today, 91)), (V{"Bank One", "WebMail", "Shop", "EMail box", "Portal"}));
  // Today and today + 31 are both in; a category with '*' never is.
  EXPECT_EQ(Select(lc, ResetFilter(today, 31)), (V{"Bank One", "WebMail", "Portal"}));
  EXPECT_EQ(Select(lc, ResetFilter(today, 61)), (V{"Bank One", "WebMail", "Shop", "Portal"}));
  EXPECT_EQ(Select(lc, ResetFilter(today, 91)), (V{"Bank One", "WebMail", "Shop", "Portal"}));
  // An age view with a category added.
  EXPECT_EQ(Select(lc, AgeFilter(today, 31) + " OR " + CategoryFilter("EMail")),
            (V{"Bank One", "Shop", "EMail box", "Portal"}));
}

TEST_P(VaultFilter, AgeViewWithAnAmbiguousDate) {
  // 1 February: read month-first or day-first it would be another date.
  const int32_t today = DayNumber(2009, 3, 4);
  const std::string text = AgeFilter(today, 31);
  EXPECT_EQ(Select(lc, text), (V{"Bank One", "Portal"})) << text;
}

TEST_P(VaultFilter, ExactTexts) {
  const int32_t today = DayNumber(2009, 3, 1);
  const std::string t0 = DateText(today), e = DateText(today + 91);
  EXPECT_EQ(ResetFilter(today, 91),
            "[DateReSet] >= '" + t0 + "' AND [DateReset] <='" + e + "' and [CAT] NOT LIKE '%*%'");
  EXPECT_EQ(SearchFilter("x'y").substr(0, 48), " UPPER([SERVICE]) LIKE '%X''Y%' OR UPPER([PASSWO");
  EXPECT_NE(SearchFilter("a").find("'%A%'OR UPPER([USERNAME])"), std::string::npos);
}
