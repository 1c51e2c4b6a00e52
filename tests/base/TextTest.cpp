// The text and date platform layer: a collation that is the same on every
// machine, UTF-8 helpers, and date formats that read back what they write.
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <random>

#include "orb/ORBText.h"

using namespace orb;

namespace {

// The order every index of the engine relies on: punctuation, digits (as
// text), then letters with case and accents as tie-breakers.
const std::vector<std::string> kGolden = {
    "_under", "-dash", "(paren)", "#hash", "02", "1", "10", "2", "a b", "a_b", "a-b", "ab", "app", "apple",
    "Apple", "APPLE", "äpple", "Äpple", "apples", "b", "B", "ca", "ça", "cafe", "café", "Café", "čapek", "Čapek",
    "cz", "istanbul", "Istanbul", "İstanbul", "ıstanbul", "nandu", "ñandu", "oeuvre", "œuvre", "resume", "Resume",
    "résume", "résumé", "ss", "ß", "strasse", "Straße", "zebra", "Zebra", "ωmega", "Ωmega", "日本"};

std::vector<std::string> Sorted() {
  std::vector<std::string> v = kGolden;
  std::mt19937 rng(1);
  std::shuffle(v.begin(), v.end(), rng);
  std::stable_sort(v.begin(), v.end(),
                   [](const auto& a, const auto& b) { return TORBCollation::Current().Compare(a, b, false) < 0; });
  return v;
}

}  // namespace

TEST(Collation, GoldenOrderIgnoresTheEnvironment) {
  EXPECT_EQ(Sorted(), kGolden);
  // Whatever the process locale says, the order stays (the engine never asks it).
  for (const char* lang : {"C", "de_DE.UTF-8", "tr_TR.UTF-8"}) {
    setenv("LANG", lang, 1);
    setenv("LC_ALL", lang, 1);
    setlocale(LC_ALL, "");
    EXPECT_EQ(Sorted(), kGolden) << lang;
  }
  unsetenv("LC_ALL");
  setlocale(LC_ALL, "C");
}

TEST(Collation, CaseInsensitiveKeepsAccents) {
  const auto& c = TORBCollation::Current();
  struct Case {
    const char *a, *b;
    int cs, ci;
  } cases[] = {
      {"apple", "APPLE", -1, 0}, {"Straße", "STRASSE", 1, 1}, {"café", "CAFE", 1, 1},
      {"zebra", "Zebra", -1, 0}, {"", "a", -1, -1},          {"same", "same", 0, 0},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(c.Compare(k.a, k.b, false), k.cs) << k.a << " " << k.b;
    EXPECT_EQ(c.Compare(k.a, k.b, true), k.ci) << k.a << " " << k.b;
    EXPECT_EQ(c.CompareWide(Utf8ToUtf16(k.a), Utf8ToUtf16(k.b), true), k.ci);
  }
  EXPECT_EQ(c.Upper("straße ärger"), "STRASSE ÄRGER");
  EXPECT_EQ(c.Lower("ÄRGER İ"), "ärger i̇");
}

TEST(Utf8, LengthsAndCutsAtCharacterBoundaries) {
  const std::string s = "aé日本";  // 1 + 2 + 3 + 3 bytes
  EXPECT_EQ(Utf8Length(s), 4u);
  EXPECT_EQ(Utf8Truncate(s, 9), s);
  EXPECT_EQ(Utf8Truncate(s, 8), "aé日");
  EXPECT_EQ(Utf8Truncate(s, 2), "a");
  EXPECT_EQ(Utf8Truncate(s, 0), "");
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(s)), s);
}

TEST(DateFormats, WhatIsWrittenReadsBack) {
  struct Case {
    std::string pattern;
    char sep;
    std::string formatted;
  } cases[] = {{"ddmmyyyy", '.', "31.12.2024"}, {"mmddyyyy", '/', "12/31/2024"}, {"yyyymmdd", '-', "2024-12-31"}};
  for (const auto& c : cases) {
    TORBDateFormats f;
    f.DatePattern = c.pattern;
    f.DateSeparator = c.sep;
    EXPECT_EQ(f.FormatDate(2024, 12, 31), c.formatted);
    int y, m, d;
    ASSERT_TRUE(f.ParseDate(c.formatted, &y, &m, &d)) << c.formatted;
    EXPECT_EQ(y * 10000 + m * 100 + d, 20241231);
  }
  TORBDateFormats de;
  de.DatePattern = "ddmmyyyy";
  de.DateSeparator = '.';
  int y, m, d;
  ASSERT_TRUE(de.ParseDate("01.02.08", &y, &m, &d));  // two-digit years widen
  EXPECT_EQ(y, 2008);
  ASSERT_TRUE(de.ParseDate("1.2.75", &y, &m, &d));
  EXPECT_EQ(y, 1975);
  for (const char* bad : {"31.02.2024", "1.2", "01.02.2008x", "aa.bb.cccc", "01-02-2008", ""})
    EXPECT_FALSE(de.ParseDate(bad, &y, &m, &d)) << bad;
  int h, n, s;
  ASSERT_TRUE(de.ParseTime(de.FormatTime(23, 5, 9), &h, &n, &s));
  EXPECT_EQ(h * 10000 + n * 100 + s, 230509);
  EXPECT_FALSE(de.ParseTime("24:00:00", &h, &n, &s));
  // The C locale's "%m/%d/%y" becomes a four-digit-year pattern.
  setenv("LC_ALL", "C", 1);
  TORBDateFormats c = TORBDateFormats::FromLocale();
  unsetenv("LC_ALL");
  EXPECT_EQ(c.FormatDate(2008, 2, 1), "02/01/2008");
  ASSERT_TRUE(c.ParseDate(c.FormatDate(1999, 12, 31), &y, &m, &d));
  EXPECT_EQ(y, 1999);
  // Tests and callers can pin the formats.
  TORBDateFormats::SetCurrent(&de);
  EXPECT_EQ(TORBDateFormats::Current().FormatDate(2000, 1, 2), "02.01.2000");
  TORBDateFormats::SetCurrent(nullptr);
}
