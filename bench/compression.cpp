// Throughput and ratio of each compression algorithm and mode on an
// English-like text corpus (generated from a fixed word list) and on random
// bytes, with zlib at the same mode as the reference line for each row.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "storage/ORBCompression.h"

using namespace orb;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<uint8_t> Corpus(size_t n) {
  static const char* words[] = {"the ", "of ", "and ", "a ", "to ", "in ", "is ", "you ", "that ", "it ", "he ",
                                "was ", "for ", "on ", "are ", "as ", "with ", "his ", "they ", "I ", "at ", "be ",
                                "this ", "have ", "from ", "or ", "one ", "had ", "by ", "word ", "but ", "not ",
                                "what ", "all ", "were ", "we ", "when ", "your ", "can ", "said, ", "there ",
                                "use ", "an ", "each ", "which ", "she ", "do ", "how ", "their ", "if. ", "will ",
                                "up ", "other ", "about ", "out ", "many ", "then ", "them ", "these ", "so ",
                                "password ", "vault ", "account ", "service ", "changed.\n"};
  constexpr int kWords = sizeof words / sizeof *words;
  std::mt19937 rng(2026);
  std::vector<uint8_t> out;
  int prev = 0;
  while (out.size() < n) {
    // A word depends on the previous one a little, as in real text.
    const int w = (rng() % 3 == 0) ? (prev * 7 + 3) % kWords : static_cast<int>(rng() % kWords);
    out.insert(out.end(), words[w], words[w] + std::strlen(words[w]));
    prev = w;
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
  auto t0 = Clock::now();
  bool ok = CompressBuffer(alg, mode, data.data(), data.size(), packed);
  auto t1 = Clock::now();
  if (!ok) return {false, 0, 0, 0};
  ok = DecompressBuffer(alg, packed.data(), packed.size(), data.size(), back) && back == data;
  auto t2 = Clock::now();
  const double mb = data.size() / 1e6;
  return {ok, static_cast<double>(packed.size()) / data.size(), mb / std::chrono::duration<double>(t1 - t0).count(),
          mb / std::chrono::duration<double>(t2 - t1).count()};
}

}  // namespace

int main() {
  const auto text = Corpus(2 << 20);
  std::vector<uint8_t> noise(1 << 20);
  std::mt19937 rng(7);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  std::printf("%-5s %4s | %-32s | %-32s\n", "alg", "mode", "text 2 MiB: ratio  comp MB/s  exp MB/s",
              "random 1 MiB: ratio  comp  exp");
  for (uint8_t alg : {caZlib, caBzip, caPPM}) {
    for (uint8_t mode = 1; mode <= 9; ++mode) {
      Result t = Measure(alg, mode, text), r = Measure(alg, mode, noise);
      char rnd[64];
      if (r.ok) std::snprintf(rnd, sizeof rnd, "%6.3f %7.1f %7.1f", r.ratio, r.compressMBs, r.expandMBs);
      else std::snprintf(rnd, sizeof rnd, "%s", "  (does not fit: refused)");
      std::printf("%-5s %4d | %6.3f %9.1f %9.1f          | %s\n", CompressionAlgorithmName(alg), mode, t.ratio,
                  t.compressMBs, t.expandMBs, rnd);
      if (!t.ok) return 1;
    }
  }
  return 0;
}
