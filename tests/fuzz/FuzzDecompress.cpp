// Fuzz target: buffer expansion of every algorithm must refuse damage, never
// overrun or produce more than asked for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "storage/ORBCompression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t alg = static_cast<uint8_t>(1 + data[0] % 3);
  const size_t expected = (static_cast<size_t>(data[1]) << 8 | data[2]) * 4;
  std::vector<uint8_t> out;
  if (orb::DecompressBuffer(alg, data + 3, size - 3, expected, out) && out.size() > expected + 1) abort();
  return 0;
}
