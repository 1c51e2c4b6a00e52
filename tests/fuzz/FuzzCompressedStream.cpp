// Fuzz target: opening and reading a block-compressed value from arbitrary
// bytes, in strict and tolerant mode.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "orb/ORBExcept.h"
#include "storage/ORBCompressedStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  orb::TORBCompressedStreamInfo info;
  info.Algorithm = static_cast<uint8_t>(data[0] % 4);
  info.Mode = static_cast<uint8_t>(1 + data[1] % 9);
  info.BlockSize = 1024 * (1 + data[2] % 64);
  info.BlockCount = data[3] % 16;
  info.UncompressedSize = (static_cast<int64_t>(data[4]) << 8 | data[5]) * 16;
  const bool tolerant = data[6] & 1;
  orb::TORBMemoryStream base;
  base.Write(data + 8, static_cast<int64_t>(size - 8));
  try {
    orb::TORBCompressedBLOBStream s(base, tolerant, false, info);
    std::vector<uint8_t> buf(4096);
    while (s.Read(buf.data(), static_cast<int64_t>(buf.size())) > 0) {
    }
    s.Seek(0, orb::soEnd);
    s.Write(data, static_cast<int64_t>(size < 16 ? size : 16));
    s.SetSize(s.GetSize() / 2);
  } catch (const orb::EORBException&) {
  }
  return 0;
}
