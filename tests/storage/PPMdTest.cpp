// The PPM coder: header words, round trips at every mode, bounds, damage.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "storage/ORBCompression.h"
#include "storage/ORBPPMd.h"

using namespace orb;

namespace {

std::vector<uint8_t> English(size_t n, uint32_t seed = 1) {
  static const char* words[] = {"the ", "vault ", "keeps ", "every ", "password ", "of ", "each ", "service ",
                                "and ", "its ", "user ", "name, ", "with ", "dates ", "when ", "it ", "was ",
                                "set. ", "A ", "record ", "may ", "change ", "often; ", "others ", "never. "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  while (out.size() < n) {
    const char* w = words[rng() % 25];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(n);
  return out;
}

}  // namespace

TEST(PPMd, HeaderWords) {
  // ((memory MB - 1) << 4) | (order - 1) | 0x6000, little-endian at the start.
  struct Case {
    uint8_t mode;
    int order, mb;
  } cases[] = {{1, 2, 2}, {5, 7, 22}, {9, 16, 100}};
  for (const auto& c : cases) {
    const uint32_t want = static_cast<uint32_t>(((c.mb - 1) << 4) | (c.order - 1) | 0x6000);
    EXPECT_EQ(PPMHeaderWord(PPMParamsForMode(c.mode)), want);
    std::vector<uint8_t> out;
    auto text = English(100);
    ASSERT_TRUE(CompressBuffer(caPPM, c.mode, text.data(), text.size(), out));
    uint32_t stored;
    std::memcpy(&stored, out.data(), 4);
    EXPECT_EQ(stored, want);
  }
  TORBPPMParams p;
  EXPECT_FALSE(PPMParseHeaderWord(0x5011, &p));          // variant 'F'
  EXPECT_FALSE(PPMParseHeaderWord(0x7011, &p));          // variant 'H'
  EXPECT_FALSE(PPMParseHeaderWord(0x00016011u, &p));     // junk above the word
  ASSERT_TRUE(PPMParseHeaderWord(0x663F, &p));
  EXPECT_EQ(p.Order, 16);
  EXPECT_EQ(p.MemoryMB, 100);
  auto text = English(1000);
  std::vector<uint8_t> out, back;
  ASSERT_TRUE(CompressBuffer(caPPM, 3, text.data(), text.size(), out));
  out[1] = 0x50;  // another variant letter
  EXPECT_FALSE(DecompressBuffer(caPPM, out.data(), out.size(), text.size(), back));
}

TEST(PPMd, RoundTripsAtEveryMode) {
  std::mt19937 rng(5);
  for (uint8_t mode = 1; mode <= 9; ++mode) {
    for (size_t n : {size_t{1}, size_t{2}, size_t{255}, size_t{4096}, size_t{60000}}) {
      auto text = English(n, mode);
      std::vector<uint8_t> out, back;
      ASSERT_TRUE(CompressBuffer(caPPM, mode, text.data(), n, out)) << int(mode) << " " << n;
      ASSERT_LE(out.size(), n + n / 20 + 50);
      ASSERT_TRUE(DecompressBuffer(caPPM, out.data(), out.size(), n, back)) << int(mode) << " " << n;
      ASSERT_EQ(back, text);
    }
    // Binary data with structure.
    std::vector<uint8_t> bin(20000);
    for (size_t i = 0; i < bin.size(); ++i) bin[i] = static_cast<uint8_t>((i % 7 == 0) ? rng() : i / 13);
    std::vector<uint8_t> out, back;
    ASSERT_TRUE(CompressBuffer(caPPM, mode, bin.data(), bin.size(), out));
    ASSERT_TRUE(DecompressBuffer(caPPM, out.data(), out.size(), bin.size(), back));
    ASSERT_EQ(back, bin);
  }
}

TEST(PPMd, ModelRestartsWhenItsMemoryIsFull) {
  // Bytes of 128 kinds in every order: the 2 MB model of mode 1 fills up.
  std::mt19937 rng(9);
  std::vector<uint8_t> text(700000);
  for (auto& b : text) b = static_cast<uint8_t>(rng() % 128);
  std::vector<uint8_t> out, back;
  int restarts = 0;
  ASSERT_TRUE(PPMCompress(1, text.data(), text.size(), out, &restarts));
  EXPECT_GE(restarts, 1);
  ASSERT_TRUE(DecompressBuffer(caPPM, out.data(), out.size(), text.size(), back));
  EXPECT_EQ(back, text);
}

TEST(PPMd, BeatsZlibOnText) {
  auto text = English(200000, 3);
  for (auto [ppmMode, zlibMode] : {std::pair<uint8_t, uint8_t>{3, 6}, {5, 9}}) {
    std::vector<uint8_t> ppm, zlib;
    ASSERT_TRUE(CompressBuffer(caPPM, ppmMode, text.data(), text.size(), ppm));
    ASSERT_TRUE(CompressBuffer(caZlib, zlibMode, text.data(), text.size(), zlib));
    EXPECT_LT(ppm.size(), zlib.size()) << "PPM " << int(ppmMode) << " vs ZLIB " << int(zlibMode);
  }
}

TEST(PPMd, IncompressibleInputAndDamage) {
  std::mt19937 rng(11);
  std::vector<uint8_t> noise(20000);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> out, back;
  // Random bytes do not fit the bound: refused rather than overrun.
  if (CompressBuffer(caPPM, 4, noise.data(), noise.size(), out)) {
    EXPECT_LE(out.size(), noise.size() + noise.size() / 20 + 50);
  }
  auto text = English(8000);
  ASSERT_TRUE(CompressBuffer(caPPM, 6, text.data(), text.size(), out));
  for (int i = 0; i < 150; ++i) {
    auto bad = out;
    if (i % 2) bad[4 + rng() % (bad.size() - 4)] ^= static_cast<uint8_t>(1 + rng() % 255);
    else bad.resize(4 + rng() % (bad.size() - 4));
    if (DecompressBuffer(caPPM, bad.data(), bad.size(), text.size(), back)) {
      EXPECT_LE(back.size(), text.size());
    }
  }
  EXPECT_FALSE(DecompressBuffer(caPPM, out.data(), out.size(), 100, back));  // more data than announced
}
