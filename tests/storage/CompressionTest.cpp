// Buffer compression: names and defaults, round trips of every algorithm and
// mode, PPM against ZLIB on text, and damaged or hostile input.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "storage/ORBCompression.h"
#include "storage/ORBPPMd.h"

using namespace orb;

namespace {

std::vector<uint8_t> Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// English-like prose: each word prefers a few followers, sentences start with
// a capital and end with a full stop.
std::vector<uint8_t> English(size_t n, uint32_t seed) {
  static const char* kWords[] = {
      "the",     "vault",   "keeps",   "every",  "password", "of",      "each",    "service", "and",     "its",
      "user",    "name",    "with",    "dates",  "when",     "it",      "was",     "set",     "a",       "record",
      "may",     "change",  "often",   "others", "never",    "account", "bank",    "mail",    "is",      "due",
      "for",     "renewal", "after",   "ninety", "days",     "old",     "new",     "next",    "category", "memo",
      "holds",   "notes",   "about",   "login",  "page",     "we",      "should",  "remember", "that",    "strong",
      "secrets", "are",     "long",    "random", "hard",     "to",      "guess",   "but",     "easy",    "store",
      "in",      "this",    "program", "window"};
  constexpr uint32_t kCount = sizeof kWords / sizeof *kWords;
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  uint32_t word = 0;
  bool capital = true;
  while (out.size() < n) {
    word = rng() % 4 ? (word * 7 + 1 + rng() % 3) % kCount : rng() % kCount;
    std::string w = kWords[word];
    if (capital) w[0] = static_cast<char>(w[0] - 'a' + 'A');
    capital = rng() % 9 == 0;
    w += capital ? ". " : rng() % 13 == 0 ? ", " : " ";
    out.insert(out.end(), w.begin(), w.end());
  }
  out.resize(n);
  return out;
}

const uint8_t kAlgorithms[] = {caZlib, caBzip, caPPM};

}  // namespace

TEST(Compression, NamesAndDefaultBlockSizes) {
  const std::pair<const char*, uint8_t> names[] = {{"ZLIB", caZlib}, {"zlib", caZlib}, {"Bzip", caBzip},
                                                   {"ppm", caPPM},   {"NONE", caNone}, {"none", caNone},
                                                   {"LZMA", caNone}, {"", caNone},     {"ZLIB ", caNone},
                                                   {"PPMd", caNone}, {"bzip2", caNone}};
  for (const auto& [name, id] : names) EXPECT_EQ(CompressionAlgorithmByName(name), id) << name;
  for (uint8_t id : {caNone, caZlib, caBzip, caPPM})
    EXPECT_EQ(CompressionAlgorithmByName(CompressionAlgorithmName(id)), id);
  const std::pair<uint8_t, int32_t> blocks[] = {{0, 102400},  {1, 524288},  {3, 524288},  {4, 1048576},
                                                {6, 1048576}, {7, 1572864}, {9, 1572864}};
  for (const auto& [mode, size] : blocks) EXPECT_EQ(DefaultCompressionBlockSize(mode), size) << int(mode);
}

TEST(Compression, NoAlgorithmOrNoInputIsRefused) {
  const auto text = English(100, 1);
  std::vector<uint8_t> out = {1, 2, 3};
  EXPECT_FALSE(CompressBuffer(caNone, 5, text.data(), text.size(), out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(DecompressBuffer(caNone, text.data(), text.size(), 100, out));
  EXPECT_FALSE(CompressBuffer(4, 5, text.data(), text.size(), out));  // no such algorithm
  for (uint8_t alg : kAlgorithms) {
    EXPECT_FALSE(CompressBuffer(alg, 5, text.data(), 0, out)) << int(alg);
    EXPECT_FALSE(DecompressBuffer(alg, text.data(), 0, 100, out)) << int(alg);
  }
}

TEST(Compression, EveryAlgorithmAndModeRoundTrips) {
  for (uint8_t alg : kAlgorithms)
    for (uint8_t mode = 1; mode <= 9; ++mode) {
      // PPM is the slow one: its larger inputs only at a few modes.
      std::vector<size_t> sizes = {1, 2, 4096};
      if (alg != caPPM || mode % 4 == 1) sizes.push_back(65537);
      for (size_t n : sizes)
        for (const auto& input : {English(n, mode), Random(n, mode)}) {
          std::vector<uint8_t> packed, back;
          ASSERT_TRUE(CompressBuffer(alg, mode, input.data(), n, packed)) << int(alg) << " mode " << int(mode) << " n " << n;
          if (alg == caPPM) {
            ASSERT_LE(packed.size(), n + n / 20 + 50);
          }
          ASSERT_TRUE(DecompressBuffer(alg, packed.data(), packed.size(), n, back)) << int(alg) << " mode " << int(mode);
          ASSERT_EQ(back, input) << int(alg) << " mode " << int(mode) << " n " << n;
        }
    }
}

TEST(Compression, MegabyteInputsRoundTrip) {
  // Text then noise: bzip2 runs several of its blocks, and PPM's model passes
  // from one kind of data to the other.
  auto input = English(2'000'000, 7);
  const auto noise = Random(300'000, 8);
  input.insert(input.end(), noise.begin(), noise.end());
  const std::pair<uint8_t, uint8_t> runs[] = {{caZlib, 1}, {caZlib, 9}, {caBzip, 1}, {caBzip, 9}, {caPPM, 2}};
  for (const auto& [alg, mode] : runs) {
    std::vector<uint8_t> packed, back;
    ASSERT_TRUE(CompressBuffer(alg, mode, input.data(), input.size(), packed)) << int(alg) << " " << int(mode);
    EXPECT_LT(packed.size(), input.size() / 2) << int(alg) << " " << int(mode);
    ASSERT_TRUE(DecompressBuffer(alg, packed.data(), packed.size(), input.size(), back)) << int(alg) << " " << int(mode);
    EXPECT_TRUE(back == input) << int(alg) << " " << int(mode);
  }
}

TEST(Compression, PPMBeatsZlibOnEnglishText) {
  const auto text = English(400'000, 3);
  for (uint8_t mode : {1, 5, 9}) {
    std::vector<uint8_t> ppm, zlib;
    ASSERT_TRUE(CompressBuffer(caPPM, mode, text.data(), text.size(), ppm));
    ASSERT_TRUE(CompressBuffer(caZlib, mode, text.data(), text.size(), zlib));
    EXPECT_LT(ppm.size(), zlib.size()) << "mode " << int(mode);
  }
}

TEST(Compression, DamagedOrHostileInputIsRefusedOrExact) {
  auto sample = English(12000, 11);
  const auto tail = Random(600, 12);
  sample.insert(sample.end(), tail.begin(), tail.end());
  std::mt19937 rng(13);
  for (uint8_t alg : kAlgorithms) {
    std::vector<uint8_t> packed, back;
    ASSERT_TRUE(CompressBuffer(alg, 6, sample.data(), sample.size(), packed));
    int refused = 0;
    for (int i = 0; i < 240; ++i) {
      auto bad = packed;
      switch (i % 4) {
        case 0:  // a few flipped bytes
          for (int k = 0; k < 1 + i % 3; ++k) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
          break;
        case 1:  // cut short
          bad.resize(rng() % bad.size());
          break;
        case 2:  // the right start, then noise
          for (size_t k = 4 + rng() % 64; k < bad.size(); ++k) bad[k] = static_cast<uint8_t>(rng());
          break;
        default:  // noise of any length
          bad = Random(1 + rng() % 3000, rng());
          break;
      }
      if (bad.empty()) continue;
      if (DecompressBuffer(alg, bad.data(), bad.size(), sample.size(), back)) {
        ASSERT_EQ(back, sample) << "alg " << int(alg) << " case " << i;
      } else {
        ++refused;
      }
    }
    EXPECT_GT(refused, 200) << int(alg);
    // More data than the caller expects is refused, not delivered.
    EXPECT_FALSE(DecompressBuffer(alg, packed.data(), packed.size(), sample.size() - 1, back)) << int(alg);
    EXPECT_LE(back.size(), sample.size());
  }
}
