// Typed values: conversions, common types, comparison codes, arithmetic and
// the stream form.
#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "orb/ORBText.h"
#include "tables/ORBVariant.h"

using namespace orb;
using orbtest::CodeOf;
using orbtest::MessageOf;

namespace {

TORBVariant Int(int64_t v, uint8_t t = stInteger) {
  TORBVariant x;
  x.SetInteger(v, t);
  return x;
}
TORBVariant Str(std::string_view s, uint8_t t = stString) {
  TORBVariant x;
  x.SetString(s, t);
  return x;
}
TORBVariant Flt(long double v, uint8_t t = stFloat) {
  TORBVariant x;
  x.SetFloat(v, t);
  return x;
}
TORBVariant Date(int y, int m, int d) {
  TORBVariant x;
  x.SetDate(DayNumber(y, m, d));
  return x;
}

// Day/month/year dates with dots, pinned for the test's duration.
class Variant : public ::testing::Test {
 protected:
  void SetUp() override {
    formats_.DatePattern = "ddmmyyyy";
    formats_.DateSeparator = '/';
    TORBDateFormats::SetCurrent(&formats_);
  }
  void TearDown() override { TORBDateFormats::SetCurrent(nullptr); }
  TORBDateFormats formats_;
};

}  // namespace

TEST_F(Variant, DayNumbers) {
  EXPECT_EQ(DayNumber(1, 1, 1), 1);
  EXPECT_EQ(DayNumber(1899, 12, 30), kDateTimeEpochDay);
  for (int32_t n = 1; n < 3000000; n += 997) {
    int y, m, d;
    DecodeDayNumber(n, &y, &m, &d);
    ASSERT_EQ(DayNumber(y, m, d), n);
  }
}

TEST_F(Variant, Comparisons) {
  struct Case {
    const char* what;
    TORBVariant a, b;
    int want;
  } cases[] = {
      {"ISO date text against a date", Str("2008-02-01"), Date(2008, 2, 1), crEqual},
      {"ISO date-time text, date part only", Date(2008, 2, 1), Str("2008-02-01 13:14:15"), crEqual},
      {"locale date text (day first)", Str("01/02/2008"), Date(2008, 2, 1), crEqual},
      {"integer with text compares as text", Int(9), Str("10"), crGreater},
      {"numbers widen", Int(300, stSmallInt), Int(299, stLargeInt), crGreater},
      {"byte with shortint", Int(200, stByte), Int(-1, stShortInt), crGreater},
      {"cardinal with integer", Int(4000000000LL, stCardinal), Int(-5), crGreater},
      {"integer with float", Int(2), Flt(2.5), crLess},
      {"logical false < true", [] { TORBVariant v; v.SetBoolean(false); return v; }(),
       [] { TORBVariant v; v.SetBoolean(true); return v; }(), crLess},
      {"date with time gives date-time", Date(2000, 1, 1), [] { TORBVariant v; v.SetTime(1000); return v; }(),
       crGreater},
      {"collation, not bytes", Str("apple"), Str("Banana"), crLess},
  };
  for (const auto& c : cases) EXPECT_EQ(c.a.Compare(c.b, false), c.want) << c.what;
  EXPECT_EQ(Str("WEBMAIL").Compare(Str("web"), false, 3, true), crEqual);  // a prefix comparison
  EXPECT_EQ(Str("WEBMAIL").Compare(Str("web"), false, -1, true), crGreater);
  TORBVariant null(stInteger);
  struct Nulls {
    TORBVariant a, b;
    int sql, plain;
  } nulls[] = {{null, Int(1), crLeftNull, crLess}, {Int(1), null, crRightNull, crGreater}, {null, null, crBothNull, crEqual}};
  for (const auto& n : nulls) {
    EXPECT_EQ(n.a.Compare(n.b, true), n.sql);
    EXPECT_EQ(n.a.Compare(n.b, false), n.plain);
  }
  TORBVariant blob;
  blob.SetBytes("xy", 2, stBlob);
  EXPECT_EQ(MessageOf([&] { blob.Compare(Int(1), false); }),
            "Cannot compare Incompatible DataTypes: 'BLOB' and 'INTEGER' - Native error: 31106");
}

TEST_F(Variant, Conversions) {
  struct Case {
    TORBVariant v;
    uint8_t to;
    std::string text;
  } cases[] = {
      {Str("42"), stSmallInt, "42"},
      {Int(7), stString, "7"},
      {Flt(2.5), stCurrency, "2.5000"},
      {Str("2008-02-01"), stDate, "01/02/2008"},
      {Str("2008-02-01 13:14:15"), stDateTime, "01/02/2008 13:14:15"},
      {Str("13:14:15"), stTime, "13:14:15"},
      {Date(1899, 12, 31), stInteger, "1"},
      {Flt(1.5), stDateTime, "31/12/1899 12:00:00"},
      {Str("true"), stLogical, "True"},
      {Str("yes"), stLogical, "False"},
      {Str("1"), stLogical, "True"},
      {Str("héllo"), stWideString, "héllo"},
  };
  for (auto& c : cases) {
    TORBVariant v = c.v;
    v.CastTo(c.to);
    EXPECT_EQ(v.DataType(), c.to);
    EXPECT_EQ(v.AsString(), c.text) << c.text;
  }
  struct Bad {
    TORBVariant v;
    uint8_t to;
    int32_t code;
  } bad[] = {{Str("4x"), stInteger, 31101},     {Str("1.5.2"), stFloat, 31102},   {Str("2008-2-01"), stDate, 31103},
             {Str("2008-02-30"), stDate, 31103}, {Int(300), stByte, 31114},        {Str("25:00:00"), stTime, 31104},
             {Date(2000, 1, 1), stLogical, 31100}};
  for (auto& b : bad) {
    TORBVariant v = b.v;
    EXPECT_EQ(CodeOf([&] { v.CastTo(b.to); }), b.code) << b.v.AsString();
    EXPECT_EQ(v, b.v);  // unchanged after a failed conversion
  }
  EXPECT_EQ(CodeOf([] { TORBVariant(stInteger).AsLargeInt(); }), 31105);
}

TEST_F(Variant, Arithmetic) {
  TORBVariant a = Int(30000, stSmallInt);
  EXPECT_EQ(CodeOf([&] { a.Add(Int(30000, stSmallInt)); }), 31112);  // never wraps
  EXPECT_EQ(a.AsLargeInt(), 30000);
  TORBVariant big = Int(INT64_MAX, stLargeInt);
  EXPECT_EQ(CodeOf([&] { big.Add(Int(1, stLargeInt)); }), 31112);
  TORBVariant m = Int(INT64_MIN, stLargeInt);
  EXPECT_EQ(MessageOf([&] { m.Divide(Int(-1, stLargeInt)); }), "Division error: Integer overflow - Native error: 31109");
  EXPECT_EQ(MessageOf([&] { Int(1).Divide(Int(0)); }), "Division error: Division by zero - Native error: 31109");
  TORBVariant f = Flt(1);
  EXPECT_EQ(CodeOf([&] { f.Divide(Flt(0)); }), 31109);
  EXPECT_EQ(CodeOf([&] { m.Negate(); }), 31112);

  TORBVariant s(stString);  // NULL || 'a' gives 'a'
  s.Add(Str("a"));
  EXPECT_EQ(s.AsString(), "a");
  TORBVariant n(stInteger);  // NULL + 1 gives NULL
  n.Add(Int(1));
  EXPECT_TRUE(n.IsNull());
  TORBVariant t = Str("ab");
  t.Add(TORBVariant(stString));
  EXPECT_EQ(t.AsString(), "ab");
  t.Add(Int(5));
  EXPECT_EQ(t.AsString(), "ab5");

  TORBVariant d = Date(2024, 2, 28);
  d.Add(Int(2));
  EXPECT_EQ(d.AsString(), "01/03/2024");
  d.Subtract(Date(2024, 1, 1));
  EXPECT_EQ(d.AsLargeInt(), 60);
  TORBVariant p = Int(7);
  p.Multiply(Flt(0.5));
  EXPECT_EQ(p.DataType(), stFloat);
  EXPECT_DOUBLE_EQ(p.AsFloat(), 3.5);
  TORBVariant blob;
  blob.SetBytes("x", 1, stBytes);
  EXPECT_EQ(CodeOf([&] { blob.Multiply(Int(2)); }), 31108);
  EXPECT_EQ(CodeOf([&] { blob.Negate(); }), 31110);
}

TEST_F(Variant, StreamAndBuffers) {
  std::vector<uint8_t> stream;
  const TORBVariant values[] = {Int(-5, stShortInt), Str("default"), Flt(3.25, stExtended), TORBVariant(stDate),
                                Date(1999, 12, 31)};
  for (const auto& v : values) v.SaveToStream(stream);
  size_t at = 0;
  for (const auto& v : values) {
    TORBVariant back;
    at += back.LoadFromStream(stream.data() + at, stream.size() - at);
    EXPECT_EQ(back.DataType(), v.DataType());
    EXPECT_EQ(back.IsNull(), v.IsNull());
    if (!v.IsNull()) {
      EXPECT_EQ(back.Compare(v, false), crEqual);
    }
  }
  EXPECT_EQ(at, stream.size());
  // Damaged forms: a length beyond the bytes present, an unknown type, too short.
  std::vector<uint8_t> bad = {stString, 0, 0xFF, 0xFF, 0, 0, 'x'};
  TORBVariant v;
  EXPECT_EQ(CodeOf([&] { v.LoadFromStream(bad.data(), bad.size()); }), 31113);
  bad = {99, 0, 1, 0, 0, 0, 'x'};
  EXPECT_EQ(CodeOf([&] { v.LoadFromStream(bad.data(), bad.size()); }), 31113);
  EXPECT_EQ(CodeOf([&] { v.LoadFromStream(bad.data(), 1); }), 31113);
  bad = {stExtended, 0, 3, 0, 0, 0, 1, 2, 3};  // a fixed-width type with too few bytes
  EXPECT_EQ(CodeOf([&] { v.LoadFromStream(bad.data(), bad.size()); }), 31113);

  uint8_t field[8] = {};
  EXPECT_FALSE(Str("").WriteToBuffer(field, 8));  // an empty string is stored as NULL
  EXPECT_FALSE(TORBVariant(stInteger).WriteToBuffer(field, 8));
  EXPECT_TRUE(Int(258).WriteToBuffer(field, 8));
  EXPECT_EQ(field[0], 2);
  EXPECT_EQ(field[1], 1);
  EXPECT_EQ(CodeOf([&] { Str("too long").WriteToBuffer(field, 8); }), 31111);
}

TEST_F(Variant, CommonTypes) {
  struct Case {
    TORBVariant a, b;
    bool forComparison;
    uint8_t want;
  } cases[] = {
      {Str("a", stChar), Str("b", stChar), false, stChar},
      {Str("a", stChar), Str("b", stString), false, stString},
      {Str("a", stMemo), [] { TORBVariant w; w.SetWideString(u"x", stWideChar); return w; }(), false, stWideChar},
      {Str("a"), [] { TORBVariant w; w.SetWideString(u"x", stWideString); return w; }(), false, stWideString},
      {Str("a"), Date(2000, 1, 1), true, stDate},
      {Str("a"), Date(2000, 1, 1), false, stString},
      {Int(1, stWord), Int(1, stShortInt), false, stInteger},
      {Int(1, stInteger), Int(1, stCardinal), false, stLargeInt},
      {Int(1), Flt(1, stCurrency), false, stCurrency},
      {Flt(1, stSingle), Flt(1, stCurrency), false, stSingle},
      {Flt(1, stSingle), Flt(1, stExtended), false, stExtended},
      {[] { TORBVariant v; v.SetBoolean(true); return v; }(), Int(1, stSmallInt), false, stSmallInt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TORBVariant::CommonType(c.a, c.b, c.forComparison), c.want) << int(c.a.DataType()) << "/"
                                                                          << int(c.b.DataType());
  TORBVariant blob;
  blob.SetBytes("x", 1, stBlob);
  EXPECT_EQ(TORBVariant::CommonType(blob, blob, true), 0);
}
