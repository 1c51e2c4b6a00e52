// Small shared helpers: CRC32 of the file format, RetryCall, random numbers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace orb {

// CRC-32 over the reflected polynomial 0xEDB88320 with initial register 0
// and no final inversion ("abc" -> 0xCA6598D0). `crc` continues a running value.
uint32_t CRC32(const void* data, size_t len, uint32_t crc = 0);

// Calls `op` until it returns true, at most `tries` times, sleeping `pauseMs`
// after each failed try. Answers whether it succeeded.
bool RetryCall(int tries, int pauseMs, const std::function<bool()>& op);

// Tries and pause of the database-level locks (90 seconds in all). Tests may
// shorten them; nothing else should.
struct TORBLockRetry {
  static int Tries;
  static int PauseMs;
};

// Uniform random integer in [lo, hi] from the system's random source.
uint32_t RandomRange(uint32_t lo, uint32_t hi);
void RandomBytes(void* buf, size_t len);

}  // namespace orb
