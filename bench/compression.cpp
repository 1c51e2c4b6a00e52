// Ratio and throughput of every compression algorithm and mode on English-like
// text and on random bytes, whole buffers at a time.
//
// The text is generated here, deterministically: words from a fixed list of
// common English words, each word favouring a few followers (a seeded
// first-order Markov chain), with sentences, commas and paragraphs. Random
// data comes from a seeded generator. Ratio = compressed / original size.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "storage/ORBCompression.h"

using namespace orb;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kWords[] = {
    "the",     "of",      "and",     "a",       "to",       "in",      "is",      "you",     "that",    "it",
    "he",      "was",     "for",     "on",      "are",      "as",      "with",    "his",     "they",    "I",
    "at",      "be",      "this",    "have",    "from",     "or",      "one",     "had",     "by",      "word",
    "but",     "not",     "what",    "all",     "were",     "we",      "when",    "your",    "can",     "said",
    "there",   "use",     "an",      "each",    "which",    "she",     "do",      "how",     "their",   "if",
    "will",    "up",      "other",   "about",   "out",      "many",    "then",    "them",    "these",   "so",
    "some",    "her",     "would",   "make",    "like",     "him",     "into",    "time",    "has",     "look",
    "two",     "more",    "write",   "go",      "see",      "number",  "no",      "way",     "could",   "people",
    "my",      "than",    "first",   "water",   "been",     "call",    "who",     "oil",     "its",     "now",
    "find",    "long",    "down",    "day",     "did",      "get",     "come",    "made",    "may",     "part",
    "over",    "new",     "sound",   "take",    "only",     "little",  "work",    "know",    "place",   "year",
    "live",    "me",      "back",    "give",    "most",     "very",    "after",   "thing",   "our",     "just",
    "name",    "good",    "sentence", "man",    "think",    "say",     "great",   "where",   "help",    "through",
    "much",    "before",  "line",    "right",   "too",      "mean",    "old",     "any",     "same",    "tell",
    "boy",     "follow",  "came",    "want",    "show",     "also",    "around",  "form",    "three",   "small",
    "password", "vault",  "account", "service", "changed",  "record",  "remember", "secret", "strong",  "every"};
constexpr uint32_t kWordCount = sizeof kWords / sizeof *kWords;

std::vector<uint8_t> EnglishCorpus(size_t n) {
  std::mt19937 rng(2026);
  std::vector<uint32_t> followers(kWordCount * 6);
  for (auto& f : followers) f = rng() % kWordCount;
  std::vector<uint8_t> out;
  out.reserve(n + 32);
  uint32_t word = 0;
  bool capital = true;
  int inParagraph = 0;
  while (out.size() < n) {
    // Mostly one of the word's favoured followers, sometimes any word.
    word = rng() % 10 < 7 ? followers[word * 6 + rng() % 6] : rng() % kWordCount;
    std::string w = kWords[word];
    if (capital) w[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(w[0])));
    capital = rng() % 11 == 0;
    if (capital && ++inParagraph % 6 == 0) w += ".\n";
    else if (capital) w += ". ";
    else w += rng() % 14 == 0 ? ", " : " ";
    out.insert(out.end(), w.begin(), w.end());
  }
  out.resize(n);
  return out;
}

struct Result {
  bool ok;
  double ratio, compressMBs, expandMBs;
};

Result Measure(uint8_t alg, uint8_t mode, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> packed, back;
  const auto t0 = Clock::now();
  bool ok = CompressBuffer(alg, mode, data.data(), data.size(), packed);
  const auto t1 = Clock::now();
  if (!ok) return {false, 0, 0, 0};
  ok = DecompressBuffer(alg, packed.data(), packed.size(), data.size(), back) && back == data;
  const auto t2 = Clock::now();
  const double mb = static_cast<double>(data.size()) / 1e6;
  return {ok, static_cast<double>(packed.size()) / static_cast<double>(data.size()),
          mb / std::chrono::duration<double>(t1 - t0).count(), mb / std::chrono::duration<double>(t2 - t1).count()};
}

}  // namespace

int main() {
  const auto text = EnglishCorpus(size_t{2} << 20);
  std::vector<uint8_t> noise(size_t{1} << 20);
  std::mt19937 rng(7);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());

  std::printf("Generated English-like text 2 MiB, random bytes 1 MiB; MB/s = 10^6 bytes per second.\n\n");
  std::printf("%-4s %4s | %-28s | %-28s\n", "alg", "mode", "text: ratio  comp MB/s  exp MB/s",
              "random: ratio  comp MB/s  exp MB/s");
  double textRatio[4][10] = {};
  bool failed = false;
  for (uint8_t alg : {caZlib, caBzip, caPPM}) {
    for (uint8_t mode = 1; mode <= 9; ++mode) {
      const Result t = Measure(alg, mode, text), r = Measure(alg, mode, noise);
      textRatio[alg][mode] = t.ratio;
      char rnd[64];
      if (r.ok) std::snprintf(rnd, sizeof rnd, "%6.3f %9.1f %9.1f", r.ratio, r.compressMBs, r.expandMBs);
      else std::snprintf(rnd, sizeof rnd, "%s", "refused");
      std::printf("%-4s %4d | %6.3f %9.1f %9.1f      | %s\n", CompressionAlgorithmName(alg), mode, t.ratio, t.compressMBs,
                  t.expandMBs, rnd);
      failed |= !t.ok;
    }
  }
  std::printf("\nPPM vs ZLIB on the text (ratio, lower is better):\n");
  for (uint8_t mode = 1; mode <= 9; ++mode)
    std::printf("  mode %d: PPM %.3f  ZLIB %.3f  BZIP %.3f\n", mode, textRatio[caPPM][mode], textRatio[caZlib][mode],
                textRatio[caBzip][mode]);
  return failed ? 1 : 0;
}
