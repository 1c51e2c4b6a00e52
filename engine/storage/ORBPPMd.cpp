// PPM model and range coder.
//
// Contexts of orders 1..N are found by hashing the last N bytes into a table
// sized from the data length and the model memory; a slot keeps a check word
// so that a colliding context starts afresh. Encoder and decoder make the
// same decisions from the same history, so collisions cost compression,
// never correctness. Order 0 is a full table; order -1 codes the 256 bytes
// and the end marker uniformly. After an escape, symbols already seen in
// deeper contexts are excluded.
#include "storage/ORBPPMd.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>

namespace orb {

namespace {

constexpr int kEndSymbol = 256;
constexpr uint32_t kTop = 1u << 24;
constexpr uint32_t kBot = 1u << 16;
constexpr uint32_t kMaxTotal = kBot - 256;  // leaves room for escapes and order -1

const TORBPPMParams kModes[9] = {{2, 2}, {3, 3}, {4, 7}, {5, 16}, {7, 22}, {8, 25}, {10, 40}, {13, 100}, {16, 100}};

class Encoder {
 public:
  Encoder(std::vector<uint8_t>& out, size_t limit) : out_(out), limit_(limit) {}
  bool Encode(uint32_t cum, uint32_t freq, uint32_t total) {
    range_ /= total;
    low_ += cum * range_;
    range_ *= freq;
    return Normalize();
  }
  bool Finish() {
    for (int i = 0; i < 4; ++i) {
      if (!Put(static_cast<uint8_t>(low_ >> 24))) return false;
      low_ <<= 8;
    }
    return true;
  }

 private:
  bool Put(uint8_t b) {
    if (out_.size() >= limit_) return false;
    out_.push_back(b);
    return true;
  }
  bool Normalize() {
    while ((low_ ^ (low_ + range_)) < kTop || (range_ < kBot && ((range_ = (0u - low_) & (kBot - 1)), true))) {
      if (!Put(static_cast<uint8_t>(low_ >> 24))) return false;
      low_ <<= 8;
      range_ <<= 8;
    }
    return true;
  }
  std::vector<uint8_t>& out_;
  size_t limit_;
  uint32_t low_ = 0, range_ = 0xFFFFFFFFu;
};

class Decoder {
 public:
  Decoder(const uint8_t* in, size_t n) : in_(in), n_(n) {
    for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | Next();
  }
  uint32_t Target(uint32_t total) {
    range_ /= total;
    return std::min<uint32_t>((code_ - low_) / range_, total - 1);
  }
  void Consume(uint32_t cum, uint32_t freq) {
    low_ += cum * range_;
    range_ *= freq;
    while ((low_ ^ (low_ + range_)) < kTop || (range_ < kBot && ((range_ = (0u - low_) & (kBot - 1)), true))) {
      code_ = (code_ << 8) | Next();
      low_ <<= 8;
      range_ <<= 8;
    }
  }
  // Reading past the input is tolerated a few bytes (the coder's tail), then damage.
  bool Overrun() const { return pos_ > n_ + 4; }

 private:
  uint8_t Next() {
    const uint8_t b = pos_ < n_ ? in_[pos_] : 0;
    ++pos_;
    return b;
  }
  const uint8_t* in_;
  size_t n_, pos_ = 0;
  uint32_t low_ = 0, range_ = 0xFFFFFFFFu, code_ = 0;
};

struct Sym {
  uint8_t symbol;
  uint16_t freq;
};

struct Slot {
  uint32_t check = 0;
  uint32_t total = 0;
  std::vector<Sym> syms;
};

// The model shared by both directions.
class Model {
 public:
  Model(const TORBPPMParams& p, size_t dataSize) : order_(p.Order), memory_(static_cast<size_t>(p.MemoryMB) << 20) {
    size_t slots = 1024;
    const size_t want = std::min<size_t>(dataSize * 2 + 1024, memory_ / 64);
    while (slots < want) slots <<= 1;
    table_.resize(slots);
    Restart();
  }

  // Codes one symbol (0..256) through the contexts; `coder(cum, freq, total)`
  // is called for each decision, and for decoding `pick(total)` chooses.
  template <class Code>
  bool Encode(int symbol, Code code) {
    std::bitset<257> excluded;
    Collect();
    for (int k = static_cast<int>(active_.size()) - 1; k >= 0; --k) {
      Slot& s = *active_[static_cast<size_t>(k)];
      if (s.syms.empty()) continue;
      uint32_t total = 0, cum = 0, found = 0, distinct = 0;
      bool hit = false;
      for (const Sym& e : s.syms) {
        if (excluded[e.symbol]) continue;
        if (!hit && e.symbol == symbol) {
          cum = total;
          found = e.freq;
          hit = true;
        }
        total += e.freq;
        ++distinct;
      }
      if (distinct == 0) continue;
      const uint32_t esc = distinct;
      if (hit) {
        if (!code(cum, found, total + esc)) return false;
        Update(symbol, k);
        return true;
      }
      if (!code(total, esc, total + esc)) return false;
      for (const Sym& e : s.syms) excluded[e.symbol] = true;
    }
    // Order 0.
    {
      uint32_t total = 0, cum = 0, found = 0, distinct = 0;
      bool hit = false;
      for (int c = 0; c < 256; ++c) {
        if (excluded[static_cast<size_t>(c)] || order0_[static_cast<size_t>(c)] == 0) continue;
        if (c == symbol) {
          cum = total;
          found = order0_[static_cast<size_t>(c)];
          hit = true;
        }
        total += order0_[static_cast<size_t>(c)];
        ++distinct;
      }
      if (distinct > 0) {
        if (hit) {
          if (!code(cum, found, total + distinct)) return false;
          Update(symbol, -1);
          return true;
        }
        if (!code(total, distinct, total + distinct)) return false;
        for (int c = 0; c < 256; ++c)
          if (order0_[static_cast<size_t>(c)]) excluded[static_cast<size_t>(c)] = true;
      }
    }
    // Order -1: every byte not yet excluded, and the end marker.
    uint32_t total = 0, cum = 0;
    for (int c = 0; c <= kEndSymbol; ++c) {
      if (excluded[static_cast<size_t>(c)]) continue;
      if (c == symbol) cum = total;
      ++total;
    }
    if (!code(cum, 1, total)) return false;
    if (symbol != kEndSymbol) Update(symbol, -2);
    return true;
  }

  // Decodes one symbol; -1 on damage.
  int Decode(Decoder& d) {
    std::bitset<257> excluded;
    Collect();
    for (int k = static_cast<int>(active_.size()) - 1; k >= 0; --k) {
      Slot& s = *active_[static_cast<size_t>(k)];
      if (s.syms.empty()) continue;
      uint32_t total = 0, distinct = 0;
      for (const Sym& e : s.syms)
        if (!excluded[e.symbol]) total += e.freq, ++distinct;
      if (distinct == 0) continue;
      const uint32_t t = d.Target(total + distinct);
      if (t < total) {
        uint32_t cum = 0;
        for (const Sym& e : s.syms) {
          if (excluded[e.symbol]) continue;
          if (t < cum + e.freq) {
            d.Consume(cum, e.freq);
            const int symbol = e.symbol;
            Update(symbol, k);
            return symbol;
          }
          cum += e.freq;
        }
        return -1;
      }
      d.Consume(total, distinct);
      for (const Sym& e : s.syms) excluded[e.symbol] = true;
    }
    {
      uint32_t total = 0, distinct = 0;
      for (int c = 0; c < 256; ++c)
        if (!excluded[static_cast<size_t>(c)] && order0_[static_cast<size_t>(c)]) total += order0_[static_cast<size_t>(c)], ++distinct;
      if (distinct > 0) {
        const uint32_t t = d.Target(total + distinct);
        if (t < total) {
          uint32_t cum = 0;
          for (int c = 0; c < 256; ++c) {
            if (excluded[static_cast<size_t>(c)] || !order0_[static_cast<size_t>(c)]) continue;
            if (t < cum + order0_[static_cast<size_t>(c)]) {
              d.Consume(cum, order0_[static_cast<size_t>(c)]);
              Update(c, -1);
              return c;
            }
            cum += order0_[static_cast<size_t>(c)];
          }
          return -1;
        }
        d.Consume(total, distinct);
        for (int c = 0; c < 256; ++c)
          if (order0_[static_cast<size_t>(c)]) excluded[static_cast<size_t>(c)] = true;
      }
    }
    uint32_t total = 0;
    for (int c = 0; c <= kEndSymbol; ++c) total += excluded[static_cast<size_t>(c)] ? 0 : 1;
    const uint32_t t = d.Target(total);
    uint32_t cum = 0;
    for (int c = 0; c <= kEndSymbol; ++c) {
      if (excluded[static_cast<size_t>(c)]) continue;
      if (cum == t) {
        d.Consume(cum, 1);
        if (c != kEndSymbol) Update(c, -2);
        return c;
      }
      ++cum;
    }
    return -1;
  }

 private:
  void Restart() {
    for (Slot& s : table_) s = Slot();
    order0_.fill(0);
    order0Total_ = 0;
    ++restarts_;
    used_ = table_.size() * sizeof(Slot);
    history_.clear();
  }

  // The contexts of orders 1..N that the history allows, shallow first.
  void Collect() {
    active_.clear();
    uint64_t h = 0xcbf29ce484222325ull;
    const size_t n = std::min<size_t>(static_cast<size_t>(order_), history_.size());
    for (size_t k = 1; k <= n; ++k) {
      h = (h ^ history_[history_.size() - k]) * 0x100000001b3ull;
      // FNV leaves the upper bits poorly mixed for short keys: finish with a full mixer.
      uint64_t mixed = h ^ (k * 0x9E3779B97F4A7C15ull);
      mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ull;
      mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBull;
      mixed ^= mixed >> 31;
      Slot& s = table_[static_cast<size_t>((mixed >> 17) & (table_.size() - 1))];
      const uint32_t check = static_cast<uint32_t>(mixed >> 40) | 1u;
      if (s.check != check) {
        used_ -= s.syms.capacity() * sizeof(Sym);
        s = Slot();
        s.check = check;
      }
      active_.push_back(&s);
    }
  }

  // `found` is the index of the context that coded the symbol (-1 order 0,
  // -2 order -1): it and every deeper context learn the symbol.
  void Update(int symbol, int found) {
    const auto c = static_cast<uint8_t>(symbol);
    for (int k = static_cast<int>(active_.size()) - 1; k >= 0 && k >= found; --k) {
      Slot& s = *active_[static_cast<size_t>(k)];
      auto it = std::find_if(s.syms.begin(), s.syms.end(), [&](const Sym& e) { return e.symbol == c; });
      if (it == s.syms.end()) {
        const size_t before = s.syms.capacity();
        s.syms.push_back({c, 1});
        used_ += (s.syms.capacity() - before) * sizeof(Sym);
        s.total += 1;
      } else {
        it->freq = static_cast<uint16_t>(it->freq + 2);
        s.total += 2;
        // Keep the most frequent symbols first: shorter scans.
        while (it != s.syms.begin() && std::prev(it)->freq < it->freq) {
          std::iter_swap(it, std::prev(it));
          --it;
        }
      }
      if (s.total > kMaxTotal) {
        s.total = 0;
        for (Sym& e : s.syms) {
          e.freq = static_cast<uint16_t>((e.freq + 1) / 2);
          s.total += e.freq;
        }
      }
    }
    if (found <= -1) {
      const uint16_t inc = order0_[c] ? 2 : 1;
      order0_[c] = static_cast<uint16_t>(order0_[c] + inc);
      order0Total_ += inc;
      if (order0Total_ > kMaxTotal) {
        order0Total_ = 0;
        for (auto& f : order0_) order0Total_ += f = static_cast<uint16_t>((f + 1) / 2);
      }
    }
    history_.push_back(c);
    if (history_.size() > 64) history_.erase(history_.begin(), history_.begin() + 32);
    // A full model starts again from nothing, on both sides at the same byte.
    if (used_ > memory_) Restart();
  }

  int order_;
  size_t memory_;
  uint32_t order0Total_ = 0;
  size_t used_ = 0;
  std::vector<Slot> table_;
  std::array<uint16_t, 256> order0_{};
  std::vector<uint8_t> history_;
  std::vector<Slot*> active_;

 public:
  int restarts_ = -1;  // the first start is not a restart
};

}  // namespace

TORBPPMParams PPMParamsForMode(uint8_t mode) { return kModes[std::clamp<int>(mode, 1, 9) - 1]; }

uint32_t PPMHeaderWord(const TORBPPMParams& p) {
  return (static_cast<uint32_t>(p.MemoryMB - 1) << 4) | static_cast<uint32_t>(p.Order - 1) | 0x6000u;
}

bool PPMParseHeaderWord(uint32_t word, TORBPPMParams* p) {
  if ((word >> 12) + 65 != 'G') return false;  // also refuses anything in the upper bits
  p->Order = static_cast<int>(word & 0xF) + 1;
  p->MemoryMB = static_cast<int>((word >> 4) & 0xFF) + 1;
  return p->Order >= 2;
}

bool PPMCompress(uint8_t mode, const uint8_t* input, size_t inputSize, std::vector<uint8_t>& output, int* restarts) {
  output.clear();
  if (!input || inputSize == 0) return false;
  const TORBPPMParams p = PPMParamsForMode(mode);
  const size_t limit = inputSize + inputSize / 20 + 50;
  output.reserve(std::min<size_t>(limit, inputSize + 64));
  const uint32_t word = PPMHeaderWord(p);
  for (int i = 0; i < 4; ++i) output.push_back(static_cast<uint8_t>(word >> (8 * i)));
  Encoder enc(output, limit);
  Model model(p, inputSize);
  auto code = [&](uint32_t cum, uint32_t freq, uint32_t total) { return enc.Encode(cum, freq, total); };
  for (size_t i = 0; i < inputSize; ++i)
    if (!model.Encode(input[i], code)) return false;
  const bool ok = model.Encode(kEndSymbol, code) && enc.Finish();
  if (restarts) *restarts = model.restarts_;
  return ok;
}

bool PPMDecompress(const uint8_t* input, size_t inputSize, size_t expectedSize, std::vector<uint8_t>& output) {
  output.clear();
  if (!input || inputSize < 8) return false;
  uint32_t word = 0;
  for (int i = 0; i < 4; ++i) word |= static_cast<uint32_t>(input[i]) << (8 * i);
  TORBPPMParams p;
  if (!PPMParseHeaderWord(word, &p)) return false;
  output.reserve(expectedSize);
  Decoder dec(input + 4, inputSize - 4);
  Model model(p, expectedSize);
  for (;;) {
    const int c = model.Decode(dec);
    if (c < 0 || dec.Overrun()) return false;
    if (c == kEndSymbol) return true;
    if (output.size() >= expectedSize) return false;  // longer than announced
    output.push_back(static_cast<uint8_t>(c));
  }
}

}  // namespace orb
