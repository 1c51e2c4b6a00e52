// Buffer compression: algorithm ids and names, and whole-buffer compress and
// expand for ZLIB (zlib stream), BZIP (bzip2 stream) and PPM.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace orb {

enum TORBCompressionAlgorithm : uint8_t { caNone = 0, caZlib = 1, caBzip = 2, caPPM = 3 };

// "NONE", "ZLIB", "BZIP", "PPM" (any case); anything else is 0.
uint8_t CompressionAlgorithmByName(std::string_view name);
const char* CompressionAlgorithmName(uint8_t algorithm);
// Block size of compressed streams when none is given.
int32_t DefaultCompressionBlockSize(uint8_t mode);

// False (and an empty output) for algorithm 0, an empty input, or any failure
// inside. PPM output stays within inputSize + inputSize / 20 + 50 bytes.
bool CompressBuffer(uint8_t algorithm, uint8_t mode, const uint8_t* input, size_t inputSize,
                    std::vector<uint8_t>& output);
// False for algorithm 0, an empty input, or any failure inside (the output is
// then empty). Never delivers more than `expectedSize` bytes; 0 means unknown
// (ZLIB and BZIP then stop at 256 MB; PPM needs the size). PPM stops at its
// end marker, so a shorter result is possible and is the caller's to check.
bool DecompressBuffer(uint8_t algorithm, const uint8_t* input, size_t inputSize, size_t expectedSize,
                      std::vector<uint8_t>& output);

}  // namespace orb
