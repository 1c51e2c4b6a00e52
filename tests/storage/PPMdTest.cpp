// The PPM coder: header words, the output bound, model restarts and the
// expected size as the decoder's limit.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "storage/ORBCompression.h"
#include "storage/ORBPPMd.h"

using namespace orb;

namespace {

std::vector<uint8_t> Random(size_t n, uint32_t seed, uint32_t kinds = 256) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng() % kinds);
  return v;
}

std::vector<uint8_t> Words(size_t n, uint32_t seed) {
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

uint32_t StoredWord(const std::vector<uint8_t>& packed) {
  return packed[0] | packed[1] << 8 | packed[2] << 16 | static_cast<uint32_t>(packed[3]) << 24;
}

}  // namespace

TEST(PPMd, HeaderWordsFollowTheModeTable) {
  // Order and memory of modes 1, 5 and 9 as the mode table gives them.
  struct Case {
    uint8_t mode;
    uint32_t order, memoryMB;
  } cases[] = {{1, 2, 2}, {5, 7, 22}, {9, 16, 100}};
  const auto text = Words(300, 1);
  for (const auto& c : cases) {
    const uint32_t want = ((c.memoryMB - 1) << 4) | (c.order - 1) | 0x6000;
    std::vector<uint8_t> packed;
    ASSERT_TRUE(CompressBuffer(caPPM, c.mode, text.data(), text.size(), packed));
    EXPECT_EQ(StoredWord(packed), want) << int(c.mode);
    TORBPPMParams p;
    ASSERT_TRUE(PPMParseHeaderWord(want, &p));
    EXPECT_EQ(p.Order, static_cast<int>(c.order));
    EXPECT_EQ(p.MemoryMB, static_cast<int>(c.memoryMB));
  }
  EXPECT_EQ(PPMHeaderWord(PPMParamsForMode(1)), 0x6011u);
  EXPECT_EQ(PPMHeaderWord(PPMParamsForMode(9)), 0x663Fu);

  TORBPPMParams p;
  for (uint32_t word : {0x5011u,        // variant F
                        0x7011u,        // variant H
                        0x00016011u,    // junk above the word
                        0x6FF1u})       // 256 MB: no mode asks for that much
    EXPECT_FALSE(PPMParseHeaderWord(word, &p)) << std::hex << word;

  std::vector<uint8_t> packed, back;
  ASSERT_TRUE(CompressBuffer(caPPM, 3, text.data(), text.size(), packed));
  ASSERT_TRUE(DecompressBuffer(caPPM, packed.data(), packed.size(), text.size(), back));
  packed[1] = 0x50;  // the same stream, labelled variant F
  EXPECT_FALSE(DecompressBuffer(caPPM, packed.data(), packed.size(), text.size(), back));
}

TEST(PPMd, OutputNeverPassesItsBound) {
  // Noise fits the bound at every size: PPM can store anything it is given.
  for (uint8_t mode : {1, 5, 9})
    for (size_t n : {size_t{1}, size_t{100}, size_t{1000}, size_t{3000}, size_t{30000}}) {
      const auto noise = Random(n, static_cast<uint32_t>(n + mode));
      std::vector<uint8_t> packed, back;
      ASSERT_TRUE(PPMCompress(mode, noise.data(), n, packed)) << int(mode) << " " << n;
      EXPECT_LE(packed.size(), n + n / 20 + 50);
      ASSERT_TRUE(PPMDecompress(packed.data(), packed.size(), n, back));
      EXPECT_EQ(back, noise);
    }
  // Held to less, the coder gives up rather than writing past the limit.
  const auto noise = Random(5000, 3);
  std::vector<uint8_t> packed;
  for (size_t limit : {size_t{3}, size_t{4}, size_t{100}, size_t{4900}}) {
    EXPECT_FALSE(PPMCompress(4, noise.data(), noise.size(), packed, nullptr, limit)) << limit;
    EXPECT_LE(packed.size(), limit);
  }
  const auto text = Words(5000, 3);
  EXPECT_TRUE(PPMCompress(4, text.data(), text.size(), packed, nullptr, 4900));
}

TEST(PPMd, ModelRestartsWhenItsMemoryIsFull) {
  // 128 kinds of byte in every order: the 2 MB model of mode 1 fills up
  // more than once, and the decoder restarts at the same bytes.
  const auto data = Random(300'000, 9, 128);
  std::vector<uint8_t> packed, back;
  int restarts = 0;
  ASSERT_TRUE(PPMCompress(1, data.data(), data.size(), packed, &restarts));
  EXPECT_GE(restarts, 2);
  ASSERT_TRUE(PPMDecompress(packed.data(), packed.size(), data.size(), back));
  EXPECT_TRUE(back == data);
  // A bigger model holds the same data without starting over.
  ASSERT_TRUE(PPMCompress(4, data.data(), data.size(), packed, &restarts));
  EXPECT_EQ(restarts, 0);
}

TEST(PPMd, ExpectedSizeLimitsTheDecoder) {
  const auto text = Words(20000, 4);
  std::vector<uint8_t> packed, back;
  ASSERT_TRUE(PPMCompress(9, text.data(), text.size(), packed));
  // Fewer bytes expected than the stream holds: refused.
  EXPECT_FALSE(PPMDecompress(packed.data(), packed.size(), text.size() - 1, back));
  // More expected: the end marker ends it, and the huge figure costs no
  // huge allocation.
  ASSERT_TRUE(PPMDecompress(packed.data(), packed.size(), size_t{1} << 40, back));
  EXPECT_EQ(back, text);
  // The model arena never passes the header's memory, and small data gets less.
  for (uint8_t mode = 1; mode <= 9; ++mode) {
    const TORBPPMParams p = PPMParamsForMode(mode);
    EXPECT_EQ(PPMArenaSize(p, size_t{1} << 40), static_cast<size_t>(p.MemoryMB) << 20);
    EXPECT_LT(PPMArenaSize(p, 500), size_t{1} << 20);
  }
  // Bytes after a sound stream, or a stream cut anywhere, are damage.
  auto longer = packed;
  longer.push_back(0);
  EXPECT_FALSE(PPMDecompress(longer.data(), longer.size(), text.size(), back));
  for (size_t cut = 4; cut < packed.size(); cut += 1 + packed.size() / 40)
    EXPECT_FALSE(PPMDecompress(packed.data(), cut, text.size(), back)) << cut;
}
