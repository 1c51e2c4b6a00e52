// Whole-buffer compression: zlib, bzip2 and our PPM coder.
#include "storage/ORBCompression.h"

#include "storage/ORBPPMd.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace orb {

namespace {

// Output bound when the caller does not know the expanded size.
constexpr size_t kUnknownSizeLimit = size_t{256} << 20;

bool ZlibCompress(uint8_t mode, const uint8_t* in, size_t n, std::vector<uint8_t>& out) {
  if (n > UINT32_MAX) return false;
  uLongf len = compressBound(static_cast<uLong>(n));
  out.resize(len);
  int level = std::clamp<int>(mode, 1, 9);
  if (compress2(out.data(), &len, in, static_cast<uLong>(n), level) != Z_OK) return false;
  out.resize(len);
  return true;
}

bool ZlibExpand(const uint8_t* in, size_t n, size_t limit, std::vector<uint8_t>& out) {
  if (n > UINT32_MAX) return false;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(n);
  out.resize(std::min(limit, std::max<size_t>(n * 4, 4096)));
  int r = Z_OK;
  size_t produced = 0;
  while (r != Z_STREAM_END) {
    if (produced == out.size()) {
      if (out.size() >= limit) break;  // more output than allowed
      out.resize(std::min(limit, out.size() * 2));
    }
    z.next_out = out.data() + produced;
    z.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - produced, UINT32_MAX));
    const uInt before = z.avail_out;
    r = inflate(&z, Z_NO_FLUSH);
    produced += before - z.avail_out;
    if (r != Z_OK && r != Z_STREAM_END) break;
    if (r == Z_OK && z.avail_in == 0 && before == z.avail_out) break;  // truncated input
  }
  inflateEnd(&z);
  out.resize(produced);
  return r == Z_STREAM_END;
}

bool BzipCompress(uint8_t mode, const uint8_t* in, size_t n, std::vector<uint8_t>& out) {
  if (n > UINT32_MAX / 2) return false;
  unsigned int len = static_cast<unsigned int>(n + n / 100 + 600);
  out.resize(len);
  int r = BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &len,
                                   const_cast<char*>(reinterpret_cast<const char*>(in)), static_cast<unsigned int>(n),
                                   std::clamp<int>(mode, 1, 9), 0, 0);
  if (r != BZ_OK) return false;
  out.resize(len);
  return true;
}

bool BzipExpand(const uint8_t* in, size_t n, size_t limit, std::vector<uint8_t>& out) {
  if (n > UINT32_MAX) return false;
  bz_stream z{};
  if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return false;
  z.next_in = const_cast<char*>(reinterpret_cast<const char*>(in));
  z.avail_in = static_cast<unsigned int>(n);
  out.resize(std::min(limit, std::max<size_t>(n * 4, 4096)));
  size_t produced = 0;
  int r = BZ_OK;
  while (r != BZ_STREAM_END) {
    if (produced == out.size()) {
      if (out.size() >= limit) break;
      out.resize(std::min(limit, out.size() * 2));
    }
    z.next_out = reinterpret_cast<char*>(out.data() + produced);
    z.avail_out = static_cast<unsigned int>(std::min<size_t>(out.size() - produced, UINT32_MAX));
    const unsigned int before = z.avail_out;
    r = BZ2_bzDecompress(&z);
    produced += before - z.avail_out;
    if (r != BZ_OK && r != BZ_STREAM_END) break;
    if (r == BZ_OK && z.avail_in == 0 && before == z.avail_out) break;
  }
  BZ2_bzDecompressEnd(&z);
  out.resize(produced);
  return r == BZ_STREAM_END;
}

}  // namespace

uint8_t CompressionAlgorithmByName(std::string_view name) {
  std::string up(name);
  for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (up == "ZLIB") return caZlib;
  if (up == "BZIP") return caBzip;
  if (up == "PPM") return caPPM;
  return caNone;
}

const char* CompressionAlgorithmName(uint8_t algorithm) {
  switch (algorithm) {
    case caZlib: return "ZLIB";
    case caBzip: return "BZIP";
    case caPPM: return "PPM";
    default: return "NONE";
  }
}

int32_t DefaultCompressionBlockSize(uint8_t mode) {
  if (mode == 0) return 102400;
  if (mode <= 3) return 524288;
  if (mode <= 6) return 1048576;
  return 1572864;
}

bool CompressBuffer(uint8_t algorithm, uint8_t mode, const uint8_t* input, size_t inputSize,
                    std::vector<uint8_t>& output) {
  output.clear();
  if (algorithm == caNone || inputSize == 0 || !input) return false;
  try {
    bool ok = false;
    switch (algorithm) {
      case caZlib: ok = ZlibCompress(mode, input, inputSize, output); break;
      case caBzip: ok = BzipCompress(mode, input, inputSize, output); break;
      case caPPM: ok = PPMCompress(mode, input, inputSize, output); break;
      default: ok = false; break;
    }
    if (!ok || output.empty()) {
      output.clear();
      return false;
    }
    return true;
  } catch (...) {
    output.clear();
    return false;
  }
}

bool DecompressBuffer(uint8_t algorithm, const uint8_t* input, size_t inputSize, size_t expectedSize,
                      std::vector<uint8_t>& output) {
  output.clear();
  if (algorithm == caNone || inputSize == 0 || !input) return false;
  // One spare byte lets the expander see the end of a stream of exactly the expected size.
  const size_t limit = expectedSize > 0 ? expectedSize + 1 : kUnknownSizeLimit;
  try {
    bool ok = false;
    switch (algorithm) {
      case caZlib: ok = ZlibExpand(input, inputSize, limit, output); break;
      case caBzip: ok = BzipExpand(input, inputSize, limit, output); break;
      case caPPM: ok = PPMDecompress(input, inputSize, expectedSize, output); break;
      default: break;
    }
    if (ok && expectedSize > 0 && output.size() > expectedSize) ok = false;
    if (!ok) output.clear();
    return ok;
  } catch (...) {
    output.clear();
    return false;
  }
}

}  // namespace orb
