// CRC32, RetryCall and the random source.
#include "orb/ORBUtils.h"

#include <sys/random.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace orb {

int TORBLockRetry::Tries = 4500;
int TORBLockRetry::PauseMs = 20;

uint32_t CRC32(const void* data, size_t len, uint32_t crc) {
  // zlib inverts before and after; undo both to get the plain register.
  const auto* p = static_cast<const Bytef*>(data);
  uLong c = ~static_cast<uLong>(crc) & 0xFFFFFFFFu;
  while (len > 0) {
    uInt chunk = len > 0x40000000u ? 0x40000000u : static_cast<uInt>(len);
    c = crc32(c, p, chunk);
    p += chunk;
    len -= chunk;
  }
  return static_cast<uint32_t>(~c);
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
