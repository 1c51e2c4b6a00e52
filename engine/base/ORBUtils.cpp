// CRC32, RetryCall and the random source.
#include "orb/ORBUtils.h"

#include <sys/random.h>
#include <zlib.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace orb {

int TORBLockRetry::Tries = 4500;
int TORBLockRetry::PauseMs = 20;

namespace {

uint32_t CRC32Portable(const Bytef* p, size_t len, uint32_t crc) {
  // zlib inverts before and after; undo both to get the plain register.
  uLong c = ~static_cast<uLong>(crc) & 0xFFFFFFFFu;
  while (len > 0) {
    uInt chunk = len > 0x40000000u ? 0x40000000u : static_cast<uInt>(len);
    c = crc32(c, p, chunk);
    p += chunk;
    len -= chunk;
  }
  return static_cast<uint32_t>(~c);
}

#if defined(__x86_64__)
// Every page read and written is checked, so the CRC is on the hot path of
// each page miss. Carry-less multiplication folds 64 bytes per step in four
// independent lanes, several times faster than table lookups. The constants
// are x^n mod P (bit-reflected) for the fold distances used: 4x128+32 and
// 4x128-32 bits (four lanes), 128+32 and 128-32 (one lane), 64 (down to 64
// bits), then Barrett reduction by floor(x^64 / P) and P itself.
#define ORB_CLMUL __attribute__((target("pclmul,sse4.1")))
ORB_CLMUL inline __m128i Load16(const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
ORB_CLMUL inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

ORB_CLMUL uint32_t CRC32Folded(const uint8_t* p, size_t len, uint32_t crc) {
  const __m128i kFold4 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  const __m128i kFold1 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  const __m128i kFold64 = _mm_set_epi64x(0, 0x163cd6124);
  const __m128i kBarrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  const __m128i kLow32 = _mm_set_epi32(0, 0, 0, -1);

  __m128i x0 = _mm_xor_si128(Load16(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = Load16(p + 16), x2 = Load16(p + 32), x3 = Load16(p + 48);
  p += 64;
  len -= 64;
  for (; len >= 64; p += 64, len -= 64) {
    x0 = Fold(x0, kFold4, Load16(p));
    x1 = Fold(x1, kFold4, Load16(p + 16));
    x2 = Fold(x2, kFold4, Load16(p + 32));
    x3 = Fold(x3, kFold4, Load16(p + 48));
  }
  __m128i x = Fold(Fold(Fold(x0, kFold1, x1), kFold1, x2), kFold1, x3);
  for (; len >= 16; p += 16, len -= 16) x = Fold(x, kFold1, Load16(p));

  x = _mm_xor_si128(_mm_clmulepi64_si128(x, kFold1, 0x10), _mm_srli_si128(x, 8));
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, kLow32), kFold64, 0x00), _mm_srli_si128(x, 4));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, kLow32), kBarrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, kLow32), kBarrett, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

#undef ORB_CLMUL

bool HasClmul() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  }();
  return has;
}
#endif

}  // namespace

uint32_t CRC32(const void* data, size_t len, uint32_t crc) {
  const auto* p = static_cast<const Bytef*>(data);
#if defined(__x86_64__)
  if (len >= 64 && HasClmul()) {
    const size_t folded = len & ~size_t{15};
    crc = CRC32Folded(p, folded, crc);
    p += folded;
    len -= folded;
  }
#endif
  return CRC32Portable(p, len, crc);
}

bool RetryCall(int tries, int pauseMs, const std::function<bool()>& op) {
  for (int i = 0; i < tries; ++i) {
    if (op()) return true;
    if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
  return false;
}

void RandomBytes(void* buf, size_t len) {
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    ssize_t n = getrandom(p, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("getrandom failed");
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
}

uint32_t RandomRange(uint32_t lo, uint32_t hi) {
  uint64_t span = static_cast<uint64_t>(hi) - lo + 1;
  // Rejection sampling keeps the draw uniform.
  uint64_t limit = (uint64_t{1} << 32) - ((uint64_t{1} << 32) % span);
  for (;;) {
    uint32_t r;
    RandomBytes(&r, sizeof r);
    if (r < limit) return lo + static_cast<uint32_t>(r % span);
  }
}

}  // namespace orb
