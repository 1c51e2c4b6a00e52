#include "storage/ORBCipher.h"

#include <cryptopp/aes.h>
#include <cryptopp/blowfish.h>
#include <cryptopp/cpu.h>
#include <cryptopp/des.h>
#include <cryptopp/ripemd.h>
#include <cryptopp/secblock.h>
#include <cryptopp/square.h>
#include <cryptopp/twofish.h>

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "orb/ORBExcept.h"

namespace orb {

namespace {

enum class KeyHash { Ripemd128, Ripemd256 };

struct CipherInfo {
  const char* name;
  size_t blockSize;
  KeyHash hash;
};

constexpr CipherInfo kCiphers[kCipherCount] = {
    {"Rijndael_128", 16, KeyHash::Ripemd128}, {"Rijndael_256", 16, KeyHash::Ripemd256},
    {"DES_Single", 8, KeyHash::Ripemd128},    {"DES_Triple", 24, KeyHash::Ripemd128},
    {"Blowfish", 8, KeyHash::Ripemd256},      {"Twofish_128", 16, KeyHash::Ripemd128},
    {"Twofish_256", 16, KeyHash::Ripemd256},  {"Square", 16, KeyHash::Ripemd128},
};

constexpr uint8_t kTripleDesId = 3;

// Largest multiple of every block size (8, 16, 24) that fits a page-sized
// stack buffer; decryption runs the block cipher over this much at a time.
constexpr size_t kChunk = 4080;

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// dst = a ^ b over one block. Registers are written and read back in whole
// 16-byte units where the block allows it: the AES-NI code loads a block in
// one go, and a load that spans two smaller stores cannot be forwarded from
// them, which stalls every step of the sequential encryption loop.
template <size_t B>
inline void XorBlock(uint8_t* dst, const uint8_t* a, const uint8_t* b) {
#if defined(__SSE2__)
  if constexpr (B % 16 == 0) {
    for (size_t i = 0; i < B; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_xor_si128(x, y));
    }
    return;
  }
#endif
  for (size_t i = 0; i < B; i += 8) Store64(dst + i, Load64(a + i) ^ Load64(b + i));
}

// Exchanges the second half of sub-block A with the first half of sub-block B.
inline void SwapMiddleWords(uint8_t* block) {
  uint32_t a, b;
  std::memcpy(&a, block + 4, 4);
  std::memcpy(&b, block + 8, 4);
  std::memcpy(block + 4, &b, 4);
  std::memcpy(block + 8, &a, 4);
}

// Cipher adapters give the chaining loops three operations:
//   EncryptXor(in, x, out): out = E(in ^ x), one block;
//   Encrypt(in, out): out = E(in), one block;
//   DecryptXor(p, x, len): p = D(p) ^ x over whole blocks, in place.

// One library block cipher. The multi-block entry point does the input xor
// itself, but Crypto++'s table-based AES encryption keeps a scratch area
// inside the object there, which is not safe to share between threads; it is
// only used when AES-NI handles the call.
struct SingleCipher {
  const CryptoPP::BlockTransformation* enc;
  const CryptoPP::BlockTransformation* dec;
  bool fusedXor;

  template <size_t B>
  void EncryptXor(const uint8_t* in, const uint8_t* x, uint8_t* out) const {
    if (fusedXor) {
      enc->AdvancedProcessBlocks(in, x, out, B, CryptoPP::BlockTransformation::BT_XorInput);
    } else {
      alignas(16) uint8_t t[B];
      XorBlock<B>(t, in, x);
      enc->ProcessBlock(t, out);
    }
  }
  void Encrypt(const uint8_t* in, uint8_t* out) const { enc->ProcessBlock(in, out); }
  void DecryptXor(uint8_t* p, const uint8_t* x, size_t len) const {
    dec->AdvancedProcessBlocks(p, x, p, len, CryptoPP::BlockTransformation::BT_AllowParallel);
  }
};

// Three DES keys applied across a 24-byte block with a single word exchange
// between the stages. Stored databases depend on this exact arrangement, so it
// must not be replaced by a standard EDE construction.
struct TripleDes {
  const CryptoPP::DES::Encryption* enc;  // [3]
  const CryptoPP::DES::Decryption* dec;  // [3]

  static void Stage(const CryptoPP::BlockTransformation& t, uint8_t* p, size_t len) {
    for (size_t i = 0; i < len; i += 8) t.ProcessBlock(p + i);
  }
  static void SwapAll(uint8_t* p, size_t len) {
    for (size_t i = 0; i < len; i += 24) SwapMiddleWords(p + i);
  }

  void Encrypt(const uint8_t* in, uint8_t* out) const {
    if (out != in) std::memcpy(out, in, 24);
    Stage(enc[0], out, 24);
    SwapMiddleWords(out);
    Stage(dec[1], out, 24);
    SwapMiddleWords(out);
    Stage(enc[2], out, 24);
  }
  template <size_t B>
  void EncryptXor(const uint8_t* in, const uint8_t* x, uint8_t* out) const {
    XorBlock<24>(out, in, x);
    Encrypt(out, out);
  }
  void DecryptXor(uint8_t* p, const uint8_t* x, size_t len) const {
    Stage(dec[2], p, len);
    SwapAll(p, len);
    Stage(enc[1], p, len);
    SwapAll(p, len);
    Stage(dec[0], p, len);
    for (size_t i = 0; i < len; i += 24) XorBlock<24>(p + i, p + i, x + i);
  }
};

// C_i = E(P_i ^ F_i) with F_i = F_{i-1} ^ C_{i-1}, computed as
// E(C_{i-1} ^ (P_i ^ F_{i-1})): the bracket is ready before C_{i-1} is, so
// only the block cipher itself stays on the sequential path.
template <size_t B, class Cipher>
void EncryptChain(const Cipher& cipher, uint8_t* buf, size_t len) {
  alignas(16) uint8_t f[B];
  alignas(16) uint8_t a[B];
  std::memset(f, 0xFF, B);

  size_t pos = 0;
  if (len >= B) {
    XorBlock<B>(a, buf, f);
    cipher.Encrypt(a, buf);
    for (pos = B; len - pos >= B; pos += B) {
      uint8_t* p = buf + pos;
      const uint8_t* prev = p - B;
      XorBlock<B>(a, p, f);
      XorBlock<B>(f, f, prev);
      cipher.template EncryptXor<B>(prev, a, p);
    }
    XorBlock<B>(f, f, buf + pos - B);
  }
  if (pos < len) {
    cipher.Encrypt(f, f);
    for (size_t i = pos; i < len; ++i) buf[i] ^= f[i - pos];
  }
}

// Writes the chaining register of each of the `n` bytes of cipher blocks at
// `c` to `regs`, starting from `f` and leaving the next register in `f`. The
// running register stays in registers, not memory.
template <size_t B>
void LayOutRegisters(uint8_t* f, const uint8_t* c, uint8_t* regs, size_t n) {
#if defined(__SSE2__)
  if constexpr (B == 16) {
    __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f));
    for (size_t i = 0; i < n; i += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(regs + i), r);
      r = _mm_xor_si128(r, _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(f), r);
    return;
  }
#endif
  constexpr size_t W = B / 8;
  uint64_t r[W];
  for (size_t w = 0; w < W; ++w) r[w] = Load64(f + 8 * w);
  for (size_t i = 0; i < n; i += B) {
    for (size_t w = 0; w < W; ++w) {
      Store64(regs + i + 8 * w, r[w]);
      r[w] ^= Load64(c + i + 8 * w);
    }
  }
  for (size_t w = 0; w < W; ++w) Store64(f + 8 * w, r[w]);
}

// F before block i is the IV xor every earlier cipher block, so the registers
// of a whole run of blocks can be laid out first and the block decryptions
// then done in bulk, with the xor fused in.
template <size_t B, class Cipher>
void DecryptChain(const Cipher& cipher, uint8_t* buf, size_t len) {
  static_assert(kChunk % B == 0);
  alignas(16) uint8_t f[B];
  std::memset(f, 0xFF, B);
  alignas(16) uint8_t regs[kChunk];

  const size_t full = len - len % B;
  for (size_t pos = 0; pos < full;) {
    const size_t n = std::min(kChunk, full - pos);
    uint8_t* p = buf + pos;
    LayOutRegisters<B>(f, p, regs, n);
    cipher.DecryptXor(p, regs, n);
    pos += n;
  }
  if (full < len) {
    cipher.Encrypt(f, f);
    for (size_t i = full; i < len; ++i) buf[i] ^= f[i - full];
  }
}

}  // namespace

struct TORBCipher::Impl {
  // Single-cipher settings.
  std::unique_ptr<CryptoPP::BlockCipher> enc;
  std::unique_ptr<CryptoPP::BlockCipher> dec;
  bool fusedXor = false;
  // DES_Triple.
  CryptoPP::DES::Encryption desEnc[3];
  CryptoPP::DES::Decryption desDec[3];
};

const char* CipherName(uint8_t cipherId) {
  return cipherId < kCipherCount ? kCiphers[cipherId].name : nullptr;
}

int CipherIdByName(std::string_view name) {
  for (int id = 0; id < kCipherCount; ++id) {
    const std::string_view candidate = kCiphers[id].name;
    if (candidate.size() == name.size() &&
        std::equal(name.begin(), name.end(), candidate.begin(), [](char a, char b) {
          const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
          return lower(a) == lower(b);
        }))
      return id;
  }
  return -1;
}

bool IsValidCipherId(unsigned cipherId) { return cipherId < kCipherCount; }

TORBCipher::TORBCipher(uint8_t cipherId, std::string_view password) : id_(cipherId) {
  if (!IsValidCipherId(cipherId)) throw EORBException("Invalid database format", 20237);

  const CipherInfo& info = kCiphers[cipherId];
  CryptoPP::FixedSizeSecBlock<CryptoPP::byte, 32> digest;
  const auto* bytes = reinterpret_cast<const CryptoPP::byte*>(password.data());
  size_t digestLen;
  if (info.hash == KeyHash::Ripemd128) {
    CryptoPP::RIPEMD128().CalculateDigest(digest, bytes, password.size());
    digestLen = CryptoPP::RIPEMD128::DIGESTSIZE;
  } else {
    CryptoPP::RIPEMD256().CalculateDigest(digest, bytes, password.size());
    digestLen = CryptoPP::RIPEMD256::DIGESTSIZE;
  }

  impl_ = std::make_unique<Impl>();
  const auto pair = [&]<class Algo>(size_t keyLen) {
    impl_->enc = std::make_unique<typename Algo::Encryption>(digest, keyLen);
    impl_->dec = std::make_unique<typename Algo::Decryption>(digest, keyLen);
  };
  switch (cipherId) {
    case 0:
    case 1:
      pair.template operator()<CryptoPP::AES>(digestLen);
#if CRYPTOPP_BOOL_X86 || CRYPTOPP_BOOL_X32 || CRYPTOPP_BOOL_X64
      impl_->fusedXor = CryptoPP::HasAESNI();
#endif
      break;
    case 2:
      // DES ignores the parity bits; the key goes in exactly as derived.
      pair.template operator()<CryptoPP::DES>(8);
      break;
    case kTripleDesId: {
      // 24-byte key buffer: the 16 digest bytes, then K3 = eight zero bytes.
      CryptoPP::FixedSizeSecBlock<CryptoPP::byte, 24> key;
      std::memset(key, 0, 24);
      std::memcpy(key, digest, 16);
      for (int i = 0; i < 3; ++i) {
        impl_->desEnc[i].SetKey(key + 8 * i, 8);
        impl_->desDec[i].SetKey(key + 8 * i, 8);
      }
      break;
    }
    case 4:
      pair.template operator()<CryptoPP::Blowfish>(digestLen);
      break;
    case 5:
    case 6:
      pair.template operator()<CryptoPP::Twofish>(digestLen);
      break;
    case 7:
      pair.template operator()<CryptoPP::Square>(16);
      break;
  }
}

TORBCipher::~TORBCipher() = default;

size_t TORBCipher::BlockSize() const { return kCiphers[id_].blockSize; }

bool TORBCipher::Encrypt(uint8_t* buf, size_t len) const {
  if (len == 0) return true;
  if (buf == nullptr) return false;
  try {
    if (id_ == kTripleDesId) {
      EncryptChain<24>(TripleDes{impl_->desEnc, impl_->desDec}, buf, len);
    } else {
      const SingleCipher c{impl_->enc.get(), impl_->dec.get(), impl_->fusedXor};
      if (BlockSize() == 16)
        EncryptChain<16>(c, buf, len);
      else
        EncryptChain<8>(c, buf, len);
    }
    return true;
  } catch (...) {
    return false;
  }
}

bool TORBCipher::Decrypt(uint8_t* buf, size_t len) const {
  if (len == 0) return true;
  if (buf == nullptr) return false;
  try {
    if (id_ == kTripleDesId) {
      DecryptChain<24>(TripleDes{impl_->desEnc, impl_->desDec}, buf, len);
    } else {
      const SingleCipher c{impl_->enc.get(), impl_->dec.get(), impl_->fusedXor};
      if (BlockSize() == 16)
        DecryptChain<16>(c, buf, len);
      else
        DecryptChain<8>(c, buf, len);
    }
    return true;
  } catch (...) {
    return false;
  }
}

bool EncryptPageData(uint8_t cipherId, uint8_t* buf, size_t len, const TORBPassword& password) {
  try {
    return TORBCipher(cipherId, password.Password).Encrypt(buf, len);
  } catch (...) {
    return false;
  }
}

bool DecryptPageData(uint8_t cipherId, uint8_t* buf, size_t len, const TORBPassword& password) {
  try {
    return TORBCipher(cipherId, password.Password).Decrypt(buf, len);
  } catch (...) {
    return false;
  }
}

}  // namespace orb
