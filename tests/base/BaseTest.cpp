// Shared helpers: message formatting, exception texts, CRC32, RetryCall.
#include <gtest/gtest.h>

#include <vector>

#include "orb/ORBExcept.h"
#include "orb/ORBFormat.h"
#include "orb/ORBUtils.h"

using namespace orb;

TEST(Format, Directives) {
  struct Case {
    std::string got, want;
  } cases[] = {
      {ORBFormat("Invalid PageNo = %d", -7), "Invalid PageNo = -7"},
      {ORBFormat("%.5d|%5d", 42, 42), "00042|   42"},
      {ORBFormat("%d", int64_t{1} << 40), "1099511627776"},
      {ORBFormat("%x %X", 255, -1), "ff FFFFFFFF"},
      {ORBFormat("'%s' and %-4s|", std::string("a\0b", 3), "x"), std::string("'a\0b' and x   |", 15)},
      {ORBFormat("100%% done"), "100% done"},
      {ORBFormat("Cannot Read % bytes"), "Cannot Read % bytes"},
      {ORBFormat("trailing %"), "trailing %"},
      {ORBFormat("%.3f", 1.5), "1.500"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(Format, MismatchedArgumentsThrow) {
  EXPECT_THROW(ORBFormat("%d", "text"), EORBFormatError);
  EXPECT_THROW(ORBFormat("%s", 3), EORBFormatError);
  EXPECT_THROW(ORBFormat("%d and %d", 1), EORBFormatError);
}

TEST(Exception, MessageForms) {
  EORBException plain("Cannot open database because incorrect password", 30445);
  EXPECT_STREQ(plain.what(), "Cannot open database because incorrect password - Native error: 30445");
  EXPECT_EQ(plain.NativeErrorCode(), 30445);
  EXPECT_EQ(EORBException("x", 42).Message(), "x - Native error: 00042");
  EXPECT_EQ(EORBException::Fmt(42, "page %d", 7).Message(), "page 7 - Native error:    42");
  EXPECT_EQ(EORBException::Fmt(10471, "Invalid PageNo = %d", "bad").Message(),
            "Invalid PageNo = %d Arguments are invalid! - Native error: 10471");
}

TEST(Exception, EngineErrorTexts) {
  EXPECT_STREQ(EORBEngineError(-13).what(), "Orbital Engine Error # -13 Table is locked");
  EORBException inner("Constraint failed", 20001);
  EORBEngineError e(-8, inner.Message());
  EXPECT_EQ(e.Message(), "Orbital Engine Error # -8 Constraint failed - Native error: 20001");
  EXPECT_EQ(EORBEngineError(-99).Message(), "Orbital Engine Error # -99 ");
}

TEST(CRC32, MatchesTheFileFormat) {
  EXPECT_EQ(CRC32("abc", 3), 0xCA6598D0u);
  EXPECT_EQ(CRC32("", 0), 0u);
  // Continuing a running value equals one pass over the whole.
  EXPECT_EQ(CRC32("c", 1, CRC32("ab", 2)), 0xCA6598D0u);
  // Reference: the bitwise definition. The lengths cross the folding
  // widths (16 and 64 bytes) with every tail, at unaligned starts and from a
  // running value, and include a whole page's data area.
  std::string data(4300, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 37 + 11 + (i >> 8));
  auto bitwise = [](const char* p, size_t len, uint32_t crc) {
    for (size_t i = 0; i < len; ++i) {
      crc ^= static_cast<unsigned char>(p[i]);
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return crc;
  };
  std::vector<size_t> lengths = {1000, 4056, 4096, 4199};
  for (size_t len = 0; len <= 200; ++len) lengths.push_back(len);
  for (size_t len : lengths)
    for (size_t offset : {0, 1, 7})
      for (uint32_t start : {0u, 0xCA6598D0u}) {
        const char* p = data.data() + offset;
        ASSERT_EQ(CRC32(p, len, start), bitwise(p, len, start)) << "length " << len << " offset " << offset;
      }
}

TEST(RetryCall, StopsAtSuccessOrAfterTries) {
  int calls = 0;
  EXPECT_TRUE(RetryCall(5, 0, [&] { return ++calls == 3; }));
  EXPECT_EQ(calls, 3);
  calls = 0;
  EXPECT_FALSE(RetryCall(4, 0, [&] { ++calls; return false; }));
  EXPECT_EQ(calls, 4);
}

TEST(Random, RangeIsRespected) {
  bool seenLo = false, seenHi = false;
  for (int i = 0; i < 2000; ++i) {
    uint32_t r = RandomRange(0, 3);
    ASSERT_LE(r, 3u);
    seenLo |= r == 0;
    seenHi |= r == 3;
  }
  EXPECT_TRUE(seenLo && seenHi);
}
