// PPM compression ("PPM", algorithm 3): PPMd variant G with its carry-less
// range coder. Stream: a 4-byte little-endian header word
// ((memory MB - 1) << 4 | (order - 1) | 0x6000), the coded symbols, the end
// marker, and the coder's final 4 bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orb {

struct TORBPPMParams {
  int Order = 0;     // 1..16
  int MemoryMB = 0;  // model arena; the model restarts when it is used up
};

// Larger model memories are refused when reading a header word: no mode
// asks for more, so such a word is damage.
constexpr int kPPMMaxMemoryMB = 100;

// Model order and memory of modes 1..9 (out-of-range modes are clamped).
TORBPPMParams PPMParamsForMode(uint8_t mode);
uint32_t PPMHeaderWord(const TORBPPMParams& p);
// False for a word of another variant or one asking for more than
// kPPMMaxMemoryMB.
bool PPMParseHeaderWord(uint32_t word, TORBPPMParams* p);

// Bytes of model arena used for `dataSize` bytes: the header's memory, or
// less when the data cannot possibly fill it (the model then never restarts,
// so encoder and decoder still agree).
size_t PPMArenaSize(const TORBPPMParams& p, size_t dataSize);

// Output is bounded by inputSize + inputSize / 20 + 50 bytes (or by
// `outputLimit` when given): when the data does not fit, the answer is false
// and nothing beyond the bound was written.
// `restarts` (optional) tells how often the model filled its memory.
size_t PPMOutputBound(size_t inputSize);
bool PPMCompress(uint8_t mode, const uint8_t* input, size_t inputSize, std::vector<uint8_t>& output,
                 int* restarts = nullptr, size_t outputLimit = 0);
// Writes at most expectedSize bytes; after them only the end marker may
// follow. Stops at the end marker. False when the stream is damaged, ends
// early or holds more than expectedSize bytes.
bool PPMDecompress(const uint8_t* input, size_t inputSize, size_t expectedSize, std::vector<uint8_t>& output);

}  // namespace orb
