// PPMd variant G.
//
// The model is a tree of contexts of orders 0..N linked to their suffixes
// (the context one byte shorter). All of it lives in one arena sized from the
// header's memory: the text seen so far grows from the bottom, contexts and
// symbol lists from the top, and when the two meet the model starts afresh.
//
// A symbol's successor is the context that follows it. It is only built when
// needed: until then it points into the text, just behind the byte's last
// occurrence, and a context made from it starts with the byte that followed
// then (information from one sighting, inherited with a frequency taken from
// the shorter context). A max-order context's successor is the max-order
// context that drops the oldest byte.
//
// Contexts with one symbol code a binary decision whose probability comes
// from an adaptive table; other contexts code among their symbols plus an
// escape whose frequency comes from secondary escape estimation (adaptive
// cells indexed by the context's shape). After an escape, the symbols already
// offered are excluded. The root holds all 256 bytes, so an escape from it is
// the end marker.
#include "storage/ORBPPMd.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace orb {

namespace {

constexpr int kEnd = 256;
constexpr int kMaxOrder = 16;

constexpr uint32_t kTop = 1u << 24;
constexpr uint32_t kBot = 1u << 16;  // every total below stays under this
constexpr int kBinBits = 14;
constexpr uint32_t kBinTotal = 1u << kBinBits;
constexpr uint32_t kBinMin = 24;  // a binary decision never costs more than ~9.4 bits

// 256 symbols at kMaxFreq plus the largest escape stay below kBot.
constexpr int kMaxFreq = 180;  // non-binary frequencies are halved above this
constexpr int kBinMaxFreq = 160;  // a binary symbol's count stops here
constexpr uint32_t kMaxEscape = 16384;
constexpr uint32_t kTextStart = 8;  // offset 0 means "none"
static_assert(256 * (kMaxFreq + 4) + kMaxEscape < kBot);

const TORBPPMParams kModes[9] = {{2, 2}, {3, 3}, {4, 7}, {5, 16}, {7, 22}, {8, 25}, {10, 40}, {13, 100}, {16, 100}};

// ---- range coder --------------------------------------------------------------

class RangeEncoder {
 public:
  RangeEncoder(std::vector<uint8_t>& out, size_t limit) : out_(out), limit_(limit) {}
  void Encode(uint32_t cum, uint32_t freq, uint32_t total) {
    range_ /= total;
    low_ += cum * range_;
    range_ *= freq;
    Normalize();
  }
  void EncodeBinary(uint32_t cum, uint32_t freq) {
    range_ >>= kBinBits;
    low_ += cum * range_;
    range_ *= freq;
    Normalize();
  }
  void Finish() {
    for (int i = 0; i < 4; ++i) {
      Put(static_cast<uint8_t>(low_ >> 24));
      low_ <<= 8;
    }
  }
  bool Failed() const { return failed_; }

 private:
  void Put(uint8_t b) {
    if (out_.size() >= limit_) {
      failed_ = true;
      return;
    }
    out_.push_back(b);
  }
  void Normalize() {
    while ((low_ ^ (low_ + range_)) < kTop || (range_ < kBot && ((range_ = (0u - low_) & (kBot - 1)), true))) {
      Put(static_cast<uint8_t>(low_ >> 24));
      low_ <<= 8;
      range_ <<= 8;
    }
  }
  std::vector<uint8_t>& out_;
  size_t limit_;
  bool failed_ = false;
  uint32_t low_ = 0, range_ = 0xFFFFFFFFu;
};

class RangeDecoder {
 public:
  RangeDecoder(const uint8_t* in, size_t n) : in_(in), n_(n) {
    for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | Next();
  }
  // The caller checks the answer against the total: damage shows there.
  uint32_t GetFreq(uint32_t total) {
    range_ /= total;
    return (code_ - low_) / range_;
  }
  uint32_t GetBinary() {
    range_ >>= kBinBits;
    return (code_ - low_) / range_;
  }
  void Decode(uint32_t cum, uint32_t freq) {
    low_ += cum * range_;
    range_ *= freq;
    while ((low_ ^ (low_ + range_)) < kTop || (range_ < kBot && ((range_ = (0u - low_) & (kBot - 1)), true))) {
      code_ = (code_ << 8) | Next();
      low_ <<= 8;
      range_ <<= 8;
    }
  }
  // A whole stream is read exactly to its last byte; reading beyond means
  // the input was cut short.
  bool Overrun() const { return pos_ > n_; }
  // The coder's last 4 bytes are its low end, and the decoder tracks the
  // same low end: a sound stream ends with both equal and every byte read.
  bool AtSoundEnd() const { return pos_ == n_ && code_ == low_; }

 private:
  uint8_t Next() {
    if (pos_ >= n_) {
      pos_ = n_ + 1;
      return 0;
    }
    return in_[pos_++];
  }
  const uint8_t* in_;
  size_t n_, pos_ = 0;
  uint32_t low_ = 0, range_ = 0xFFFFFFFFu, code_ = 0;
};

// ---- model --------------------------------------------------------------------

struct State {
  uint8_t Symbol;
  uint8_t Freq;
  uint16_t Aux;        // SummFreq when the state is a context's header (below)
  uint32_t Successor;  // 0, an offset into the text, or a context
};

// NumStats == 1: One is the only state. Otherwise One.Aux is the sum of the
// frequencies and One.Successor the offset of the state list, whose capacity
// is the power of two at or above NumStats.
struct Context {
  uint8_t Order;
  uint8_t Pad;
  uint16_t NumStats;
  State One;
  uint32_t Suffix;
};
static_assert(sizeof(State) == 8 && sizeof(Context) == 16);

// Secondary escape estimation: a cell learns how often contexts of one
// shape escape; the escape frequency is that rate's odds times the symbols'
// total.
struct SeeCell {
  uint16_t P;  // escape probability, of 65536
  uint8_t N;   // updates so far (caps the adaptation rate)
  uint32_t Escape(uint32_t total) const {
    return static_cast<uint32_t>(std::clamp<uint64_t>(uint64_t{total} * P / (65536u - P), 1, kMaxEscape));
  }
  void Update(bool escaped) {
    const int rate = std::min(1 + N, 6);
    if (N < 15) ++N;
    int p = P;
    if (escaped) p += (65536 - p) >> rate;
    else p -= p >> rate;
    P = static_cast<uint16_t>(std::clamp(p, 32, 65535 - 32));
  }
};

struct BinCell {
  uint16_t P;  // probability of the context's symbol, of 65536
  uint8_t N;   // updates so far (caps the adaptation rate)
};

int Bucket(const uint8_t* table, int value, int size) { return table[std::min(value, size - 1)]; }

class Model {
 public:
  Model(int maxOrder, size_t arenaSize)
      : maxOrder_(std::clamp(maxOrder, 1, kMaxOrder)), size_(static_cast<uint32_t>(arenaSize & ~size_t{7})) {
    mem_.reset(new (std::nothrow) uint8_t[size_]);
    InitTables();
    if (mem_) Restart();
  }
  bool Ok() const { return mem_ && maxCtx_ != 0; }
  int Restarts() const { return restarts_; }

  // False when the symbol could not be coded (never for a sound model).
  bool Encode(RangeEncoder& rc, int c);
  // The symbol, kEnd, or -1 on damage.
  int Decode(RangeDecoder& rc);

 private:
  Context* Ctx(uint32_t off) { return reinterpret_cast<Context*>(mem_.get() + off); }
  State* Stats(Context* c) { return reinterpret_cast<State*>(mem_.get() + c->One.Successor); }
  uint32_t Off(const Context* c) const { return static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(c) - mem_.get()); }
  static uint16_t& Summ(Context* c) { return c->One.Aux; }
  bool IsContext(uint32_t succ) const { return succ >= unitsStart_; }
  bool IsText(uint32_t succ) const { return succ >= kTextStart && succ < text_; }

  static int ClassOf(int numStats) {  // capacity 2^class
    int k = 1;
    while ((1 << k) < numStats) ++k;
    return k;
  }
  uint32_t AllocBytes(uint32_t n) {
    if (unitsStart_ - text_ <= n) return 0;
    unitsStart_ -= n;
    return unitsStart_;
  }
  uint32_t AllocStates(int cls) {
    if (uint32_t off = freeList_[cls]) {
      std::memcpy(&freeList_[cls], mem_.get() + off, 4);
      return off;
    }
    return AllocBytes(8u << cls);
  }
  void FreeStates(uint32_t off, int cls) {
    std::memcpy(mem_.get() + off, &freeList_[cls], 4);
    freeList_[cls] = off;
  }

  void InitTables();
  void Restart();
  void NextStamp() {
    if (++stamp_ == 0) {
      std::memset(mask_, 0, sizeof mask_);
      stamp_ = 1;
    }
  }
  bool Masked(uint8_t s) const { return mask_[s] == stamp_; }
  void Mask(uint8_t s) { mask_[s] = stamp_; }

  BinCell& Bin(Context* c);
  uint32_t BinP(const BinCell& b) const {
    return std::clamp<uint32_t>(b.P >> (16 - kBinBits), kBinMin, kBinTotal - kBinMin);
  }
  void BinUpdate(BinCell& b, bool hit);
  SeeCell& See(Context* c, int diff, uint32_t total, bool masked);

  State* Hit(Context* c, State* s, int inc);
  void Rescale(Context* c);
  State* Find(Context* c, int symbol);
  void Update(State* fs, int c);
  uint32_t CreateChain(Context* c, State* s, uint32_t textPos);
  bool AddSymbol(Context* e, int c, uint32_t successor, uint32_t inheritNum, uint32_t inheritDen);

  int maxOrder_;
  uint32_t size_;
  std::unique_ptr<uint8_t[]> mem_;
  uint32_t text_ = kTextStart, unitsStart_ = 0;
  uint32_t freeList_[9] = {};
  uint32_t maxCtx_ = 0, minCtx_ = 0;
  uint8_t mask_[256] = {};
  uint8_t stamp_ = 0;
  bool prevSuccess_ = false;
  uint32_t lastBinP_ = 0;  // of the binary context that coded the last symbol
  int lastSym_ = 0;
  int restarts_ = -1;  // the first start is not a restart
  BinCell bin_[128][64];
  SeeCell see_[2][16][4][4][4];
};

// Buckets: symbols in a context, a context's order, and average frequency.
const uint8_t kDiffBucket[257] = {
    0,  0,  1,  2,  3,  4,  5,  6,  7,  8,  8,  9,  9,  9,  10, 10, 10, 10, 10, 11, 11, 11, 11, 11, 11, 11, 11, 12,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14,
    14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14,
    14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 15, 15, 15, 15};
const uint8_t kSuffixBucket[42] = {0, 0, 1, 2, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 6, 6, 6,
                                   6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 7};
const uint8_t kOrderBucket[17] = {0, 1, 1, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3};

void Model::InitTables() {
  for (int row = 0; row < 128; ++row)
    for (int col = 0; col < 64; ++col) {
      // A symbol seen f times alone in its context: about f/(f+1).
      const double f = row + 1;
      bin_[row][col] = {static_cast<uint16_t>(65536.0 * f / (f + 1) - 1), 0};
    }
  // Escape rates start near one distinct symbol per four counts.
  static const double kAvgFreq[4] = {1.5, 4, 11, 30};
  for (auto& masked : see_)
    for (auto& diff : masked)
      for (int a = 0; a < 4; ++a)
        for (auto& order : diff[a])
          for (SeeCell& cell : order) cell = {static_cast<uint16_t>(65536.0 / (1 + kAvgFreq[a] / 4)), 0};
}

void Model::Restart() {
  ++restarts_;
  text_ = kTextStart;
  unitsStart_ = size_;
  std::memset(freeList_, 0, sizeof freeList_);
  maxCtx_ = minCtx_ = 0;
  const uint32_t root = AllocBytes(sizeof(Context));
  const uint32_t stats = root ? AllocStates(8) : 0;
  if (!stats) return;  // arena too small: Ok() says so
  Context* r = Ctx(root);
  r->Order = 0;
  r->Pad = 0;
  r->NumStats = 256;
  r->Suffix = 0;
  r->One = {0, 0, 256, stats};
  State* s = Stats(r);
  for (int i = 0; i < 256; ++i) s[i] = {static_cast<uint8_t>(i), 1, 0, 0};
  maxCtx_ = minCtx_ = root;
}

BinCell& Model::Bin(Context* c) {
  const Context* suffix = Ctx(c->Suffix);
  const int row = std::min<int>(c->One.Freq, 128) - 1;
  // Letters and most punctuation sit above 0x40: text and binary differ there.
  const int col = Bucket(kSuffixBucket, suffix->NumStats, 42) * 8 + (prevSuccess_ ? 4 : 0) +
                  (c->Order > 2 ? 2 : 0) + (lastSym_ >= 0x40 ? 1 : 0);
  return bin_[row][col];
}

void Model::BinUpdate(BinCell& b, bool hit) {
  const int rate = std::min(2 + b.N, 7);
  if (b.N < 5) ++b.N;
  int p = b.P;
  if (hit) p += (65536 - p) >> rate;
  else p -= p >> rate;
  b.P = static_cast<uint16_t>(std::clamp(p, 64, 65535 - 64));
}

SeeCell& Model::See(Context* c, int diff, uint32_t total, bool masked) {
  const uint32_t avg = total / static_cast<uint32_t>(diff);
  const int a = avg <= 2 ? 0 : avg <= 6 ? 1 : avg <= 16 ? 2 : 3;
  const int o = kOrderBucket[std::min<int>(c->Order, kMaxOrder)];
  int x;
  if (masked) {
    // Does the shorter context know more symbols than this one offers?
    x = c->Suffix && Ctx(c->Suffix)->NumStats - c->NumStats > diff ? 1 : 0;
  } else {
    x = prevSuccess_ ? 1 : 0;
  }
  x += lastSym_ >= 0x40 ? 2 : 0;
  return see_[masked ? 1 : 0][kDiffBucket[diff]][a][o][x];
}

State* Model::Find(Context* c, int symbol) {
  if (c->NumStats == 1) return c->One.Symbol == symbol ? &c->One : nullptr;
  State* s = Stats(c);
  for (int i = 0; i < c->NumStats; ++i)
    if (s[i].Symbol == symbol) return &s[i];
  return nullptr;
}

void Model::Rescale(Context* c) {
  State* s = Stats(c);
  uint32_t sum = 0;
  for (int i = 0; i < c->NumStats; ++i) {
    s[i].Freq = static_cast<uint8_t>((s[i].Freq + 1) >> 1);
    sum += s[i].Freq;
  }
  Summ(c) = static_cast<uint16_t>(sum);
}

// A symbol found in a context with several: count it, keep the list roughly
// in falling frequency (shorter searches), halve when too large.
State* Model::Hit(Context* c, State* s, int inc) {
  s->Freq = static_cast<uint8_t>(s->Freq + inc);
  Summ(c) = static_cast<uint16_t>(Summ(c) + inc);
  State* first = Stats(c);
  while (s > first && s[-1].Freq < s->Freq) {
    std::swap(s[-1], s[0]);
    --s;
  }
  if (s->Freq > kMaxFreq) Rescale(c);
  return s;
}

bool Model::Encode(RangeEncoder& rc, int c) {
  NextStamp();
  Context* ctx = Ctx(maxCtx_);
  State* fs = nullptr;
  if (ctx->NumStats == 1) {
    BinCell& b = Bin(ctx);
    const uint32_t p = BinP(b);
    if (ctx->One.Symbol == c) {
      rc.EncodeBinary(0, p);
      fs = &ctx->One;
      lastBinP_ = p;
    } else {
      rc.EncodeBinary(p, kBinTotal - p);
      Mask(ctx->One.Symbol);
    }
    BinUpdate(b, fs != nullptr);
    if (fs && fs->Freq < kBinMaxFreq) ++fs->Freq;
  } else {
    State* s = Stats(ctx);
    const uint32_t total = Summ(ctx);
    SeeCell& see = See(ctx, ctx->NumStats, total, false);
    const uint32_t esc = see.Escape(total);
    uint32_t cum = 0;
    for (int i = 0; i < ctx->NumStats; ++i) {
      if (s[i].Symbol == c) {
        fs = &s[i];
        break;
      }
      cum += s[i].Freq;
    }
    if (fs) rc.Encode(cum, fs->Freq, total + esc);
    else rc.Encode(total, esc, total + esc);
    see.Update(!fs);
    if (fs) fs = Hit(ctx, fs, ctx->Order ? 4 : 1);
    else
      for (int i = 0; i < ctx->NumStats; ++i) Mask(s[i].Symbol);
  }
  prevSuccess_ = fs != nullptr;
  while (!fs) {
    if (!ctx->Suffix) return c == kEnd;  // the escape from the root ends the data
    ctx = Ctx(ctx->Suffix);
    if (ctx->NumStats == 1) continue;  // its one symbol was offered by a longer context already
    State* s = Stats(ctx);
    uint32_t total = 0, cum = 0;
    int diff = 0;
    State* hit = nullptr;
    for (int i = 0; i < ctx->NumStats; ++i) {
      if (Masked(s[i].Symbol)) continue;
      if (s[i].Symbol == c) {
        hit = &s[i];
        cum = total;
      }
      total += s[i].Freq;
      ++diff;
    }
    if (diff == 0) continue;
    SeeCell& see = See(ctx, diff, total, true);
    const uint32_t esc = see.Escape(total);
    if (hit) rc.Encode(cum, hit->Freq, total + esc);
    else rc.Encode(total, esc, total + esc);
    see.Update(!hit);
    if (hit) {
      fs = Hit(ctx, hit, ctx->Order ? 3 : 1);
    } else {
      for (int i = 0; i < ctx->NumStats; ++i) Mask(s[i].Symbol);
    }
  }
  if (c == kEnd) return false;
  minCtx_ = Off(ctx);
  Update(fs, c);
  return true;
}

int Model::Decode(RangeDecoder& rc) {
  NextStamp();
  Context* ctx = Ctx(maxCtx_);
  State* fs = nullptr;
  if (ctx->NumStats == 1) {
    BinCell& b = Bin(ctx);
    const uint32_t p = BinP(b);
    const uint32_t count = rc.GetBinary();
    if (count >= kBinTotal) return -1;
    if (count < p) {
      rc.Decode(0, p);
      fs = &ctx->One;
      lastBinP_ = p;
    } else {
      rc.Decode(p, kBinTotal - p);
      Mask(ctx->One.Symbol);
    }
    BinUpdate(b, fs != nullptr);
    if (fs && fs->Freq < kBinMaxFreq) ++fs->Freq;
  } else {
    State* s = Stats(ctx);
    const uint32_t total = Summ(ctx);
    SeeCell& see = See(ctx, ctx->NumStats, total, false);
    const uint32_t esc = see.Escape(total);
    const uint32_t count = rc.GetFreq(total + esc);
    if (count >= total + esc) return -1;
    if (count < total) {
      uint32_t cum = 0;
      int i = 0;
      while (i + 1 < ctx->NumStats && cum + s[i].Freq <= count) cum += s[i++].Freq;
      fs = &s[i];
      rc.Decode(cum, fs->Freq);
    } else {
      rc.Decode(total, esc);
    }
    see.Update(!fs);
    if (fs) fs = Hit(ctx, fs, ctx->Order ? 4 : 1);
    else
      for (int i = 0; i < ctx->NumStats; ++i) Mask(s[i].Symbol);
  }
  prevSuccess_ = fs != nullptr;
  while (!fs) {
    if (!ctx->Suffix) return kEnd;
    ctx = Ctx(ctx->Suffix);
    if (ctx->NumStats == 1) continue;
    State* s = Stats(ctx);
    uint32_t total = 0;
    int diff = 0;
    for (int i = 0; i < ctx->NumStats; ++i)
      if (!Masked(s[i].Symbol)) total += s[i].Freq, ++diff;
    if (diff == 0) continue;
    SeeCell& see = See(ctx, diff, total, true);
    const uint32_t esc = see.Escape(total);
    const uint32_t count = rc.GetFreq(total + esc);
    if (count >= total + esc) return -1;
    if (count < total) {
      uint32_t cum = 0;
      for (int i = 0; i < ctx->NumStats; ++i) {
        if (Masked(s[i].Symbol)) continue;
        fs = &s[i];
        if (count < cum + s[i].Freq) break;
        cum += s[i].Freq;
      }
      rc.Decode(cum, fs->Freq);
      see.Update(false);
      fs = Hit(ctx, fs, ctx->Order ? 3 : 1);
    } else {
      rc.Decode(total, esc);
      see.Update(true);
      for (int i = 0; i < ctx->NumStats; ++i) Mask(s[i].Symbol);
    }
  }
  const int c = fs->Symbol;
  minCtx_ = Off(ctx);
  Update(fs, c);
  return c;
}

// Builds the successor of state `s` of context `c` (and of the same symbol's
// states in shorter contexts, where missing) from the text at `textPos`: the
// byte that followed the symbol when it was last seen here.
uint32_t Model::CreateChain(Context* c, State* s, uint32_t textPos) {
  State* pending[kMaxOrder + 1];
  int n = 0;
  pending[n++] = s;
  const int symbol = s->Symbol;
  // Down the suffixes while the symbol's successor is not built yet.
  Context* pc = c;
  uint32_t base;
  for (;;) {
    if (!pc->Suffix) {
      base = Off(pc);  // the root: the new order-1 context hangs below it
      break;
    }
    Context* suffix = Ctx(pc->Suffix);
    State* q = Find(suffix, symbol);
    if (!q || n > kMaxOrder) {
      base = pc->Suffix;
      break;
    }
    if (IsContext(q->Successor)) {
      base = q->Successor;
      break;
    }
    pending[n++] = q;
    pc = suffix;
  }

  const uint8_t next = mem_[textPos];
  Context* b = Ctx(base);
  uint8_t freq = 1;
  if (b->NumStats == 1) {
    if (b->One.Symbol == next) freq = static_cast<uint8_t>(std::min(b->One.Freq + 1, kBinMaxFreq));
  } else if (State* q = Find(b, next)) {
    // Odds of the byte in the shorter context, mapped to a count.
    const uint32_t f = q->Freq, rest = std::max<uint32_t>(Summ(b) - f, 1);
    freq = static_cast<uint8_t>(1 + std::min<uint32_t>((2 * f + rest) / (2 * rest), 23));
  }
  uint32_t prev = base;
  for (int i = n - 1; i >= 0; --i) {
    const uint32_t off = AllocBytes(sizeof(Context));
    if (!off) return 0;
    Context* x = Ctx(off);
    x->Order = static_cast<uint8_t>(std::min(Ctx(prev)->Order + 1, maxOrder_));
    x->Pad = 0;
    x->NumStats = 1;
    x->One = {next, freq, 0, textPos + 1};
    x->Suffix = prev;
    pending[i]->Successor = off;
    prev = off;
  }
  return prev;
}

// Adds `c` to a context that escaped it, with a frequency inherited from the
// context where it was found (odds inheritNum : inheritDen).
bool Model::AddSymbol(Context* e, int c, uint32_t successor, uint32_t inheritNum, uint32_t inheritDen) {
  if (e->NumStats == 1) {
    const uint32_t off = AllocStates(1);
    if (!off) return false;
    State* s = reinterpret_cast<State*>(mem_.get() + off);
    s[0] = e->One;
    s[0].Aux = 0;
    e->One = {0, 0, s[0].Freq, off};
    e->NumStats = 1;  // counted below with the new symbol
  } else if (e->NumStats >= 2 && (e->NumStats & (e->NumStats - 1)) == 0) {
    const int cls = ClassOf(e->NumStats);
    const uint32_t off = AllocStates(cls + 1);
    if (!off) return false;
    std::memcpy(mem_.get() + off, Stats(e), 8u * e->NumStats);
    FreeStates(e->One.Successor, cls);
    e->One.Successor = off;
  }
  const uint32_t sum = Summ(e);
  // The odds applied to this context's total, plus two hits' worth: a small
  // context should not give a newcomer only the minimum.
  const uint32_t f = std::clamp<uint32_t>(static_cast<uint32_t>(uint64_t{inheritNum} * (sum + 8) / inheritDen), 1, 5);
  State* s = Stats(e) + e->NumStats;
  *s = {static_cast<uint8_t>(c), static_cast<uint8_t>(f), 0, successor};
  ++e->NumStats;
  Summ(e) = static_cast<uint16_t>(sum + f);
  return true;
}

void Model::Update(State* fs, int c) {
  Context* minC = Ctx(minCtx_);
  // While the symbol is young here, the shorter context hears of it too.
  if (minC->Suffix && fs->Freq < 30) {
    Context* suffix = Ctx(minC->Suffix);
    if (State* q = Find(suffix, c)) {
      if (suffix->NumStats == 1) {
        if (q->Freq < 40) ++q->Freq;
      } else if (q->Freq + 2 <= kMaxFreq) {
        q->Freq = static_cast<uint8_t>(q->Freq + 2);
        Summ(suffix) = static_cast<uint16_t>(Summ(suffix) + 2);
      }
    }
  }
  // Odds of the symbol where it was found, for the contexts that lacked it.
  uint32_t num, den;
  if (minC->NumStats == 1) {
    num = lastBinP_;
    den = kBinTotal - lastBinP_;
  } else {
    num = fs->Freq;
    den = Summ(minC) - fs->Freq;
  }
  num = std::max<uint32_t>(num, 1);
  den = std::max<uint32_t>(den, 1);

  if (text_ + 1 >= unitsStart_) return Restart();
  mem_[text_++] = static_cast<uint8_t>(c);
  lastSym_ = c;
  const uint32_t here = text_;

  uint32_t next;
  const uint32_t succ = fs->Successor;
  if (minC->Order < maxOrder_) {
    if (IsContext(succ)) {
      next = succ;
    } else if (IsText(succ)) {
      next = CreateChain(minC, fs, succ);
      if (!next) return Restart();
    } else {
      fs->Successor = here;  // the first time this symbol is followed here
      next = minCtx_;
    }
  } else if (IsContext(succ)) {
    next = succ;
  } else {
    // The max-order context that drops the oldest byte: the successor of the
    // symbol in the suffix.
    next = minC->Suffix;
    Context* suffix = Ctx(minC->Suffix);
    if (State* q = Find(suffix, c)) {
      if (IsContext(q->Successor)) {
        next = q->Successor;
      } else {
        const uint32_t at = IsText(succ) ? succ : IsText(q->Successor) ? q->Successor : 0;
        if (at) {
          next = CreateChain(suffix, q, at);
          if (!next) return Restart();
        }
      }
    }
    if (IsContext(next) && Ctx(next)->Order == maxOrder_) fs->Successor = next;
  }

  for (uint32_t e = maxCtx_; e != minCtx_; e = Ctx(e)->Suffix)
    if (!AddSymbol(Ctx(e), c, here, num, den)) return Restart();
  maxCtx_ = minCtx_ = next;
}

}  // namespace

TORBPPMParams PPMParamsForMode(uint8_t mode) { return kModes[std::clamp<int>(mode, 1, 9) - 1]; }

uint32_t PPMHeaderWord(const TORBPPMParams& p) {
  return (static_cast<uint32_t>(p.MemoryMB - 1) << 4) | static_cast<uint32_t>(p.Order - 1) | 0x6000u;
}

bool PPMParseHeaderWord(uint32_t word, TORBPPMParams* p) {
  if ((word >> 12) + 65 != 'G') return false;  // also refuses anything in the upper bits
  const int order = static_cast<int>(word & 0xF) + 1;
  const int memory = static_cast<int>((word >> 4) & 0xFF) + 1;
  if (memory > kPPMMaxMemoryMB) return false;
  p->Order = order;
  p->MemoryMB = memory;
  return true;
}

size_t PPMArenaSize(const TORBPPMParams& p, size_t dataSize) {
  // Per byte at most: one text byte, a new context for every order, and a
  // new symbol in every order's list, whose doubling lists cost under 64
  // bytes per symbol added.
  const uint64_t perByte = 1 + static_cast<uint64_t>(p.Order) * (sizeof(Context) + 64);
  const uint64_t bound = 65536 + (static_cast<uint64_t>(dataSize) + 1) * perByte;
  return static_cast<size_t>(std::min<uint64_t>(bound, static_cast<uint64_t>(p.MemoryMB) << 20));
}

size_t PPMOutputBound(size_t inputSize) { return inputSize + inputSize / 20 + 50; }

bool PPMCompress(uint8_t mode, const uint8_t* input, size_t inputSize, std::vector<uint8_t>& output, int* restarts,
                 size_t outputLimit) {
  output.clear();
  if (!input || inputSize == 0) return false;
  const TORBPPMParams p = PPMParamsForMode(mode);
  const size_t limit = outputLimit ? std::min(outputLimit, PPMOutputBound(inputSize)) : PPMOutputBound(inputSize);
  if (limit < 4) return false;
  output.reserve(std::min<size_t>(limit, inputSize / 2 + 64));
  const uint32_t word = PPMHeaderWord(p);
  for (int i = 0; i < 4; ++i) output.push_back(static_cast<uint8_t>(word >> (8 * i)));
  auto model = std::make_unique<Model>(p.Order, PPMArenaSize(p, inputSize));
  if (!model->Ok()) return false;
  RangeEncoder rc(output, limit);
  for (size_t i = 0; i < inputSize; ++i) {
    if (!model->Encode(rc, input[i])) return false;
    if ((i & 0xFFF) == 0 && rc.Failed()) return false;
  }
  if (!model->Encode(rc, kEnd)) return false;
  rc.Finish();
  if (restarts) *restarts = model->Restarts();
  return !rc.Failed();
}

bool PPMDecompress(const uint8_t* input, size_t inputSize, size_t expectedSize, std::vector<uint8_t>& output) {
  output.clear();
  if (!input || inputSize < 8) return false;
  uint32_t word = 0;
  for (int i = 0; i < 4; ++i) word |= static_cast<uint32_t>(input[i]) << (8 * i);
  TORBPPMParams p;
  if (!PPMParseHeaderWord(word, &p)) return false;
  auto model = std::make_unique<Model>(p.Order, PPMArenaSize(p, expectedSize));
  if (!model->Ok()) return false;
  // Growth as the bytes come: the expected size may be a lie.
  output.reserve(std::min<size_t>(expectedSize, inputSize * 4 + 256));
  RangeDecoder rc(input + 4, inputSize - 4);
  for (;;) {
    const int c = model->Decode(rc);
    if (c < 0 || rc.Overrun()) return false;
    if (c == kEnd) return rc.AtSoundEnd();
    if (output.size() >= expectedSize) return false;  // longer than announced
    output.push_back(static_cast<uint8_t>(c));
  }
}

}  // namespace orb
