// PPM compression ("PPM", algorithm 3): a prediction-by-partial-matching
// model over the previous bytes with escapes and exclusions, driven by a
// carry-less range coder. Stream: a 4-byte header word
// ((memory MB - 1) << 4 | (order - 1) | 0x6000), the coded symbols, an end
// marker, and the coder's final 4 bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orb {

struct TORBPPMParams {
  int Order;       // 2..16
  int MemoryMB;    // model memory; the model restarts when it is used up
};

// Model order and memory of modes 1..9.
TORBPPMParams PPMParamsForMode(uint8_t mode);
uint32_t PPMHeaderWord(const TORBPPMParams& p);
// False for a word that is not this format or asks for more than 256 MB.
bool PPMParseHeaderWord(uint32_t word, TORBPPMParams* p);

// Output is bounded by inputSize + inputSize / 20 + 50 bytes: when the data
// does not fit (incompressible input), the answer is false.
// `restarts` (optional) tells how often the model filled its memory.
bool PPMCompress(uint8_t mode, const uint8_t* input, size_t inputSize, std::vector<uint8_t>& output,
                 int* restarts = nullptr);
// Stops at the end marker, at expectedSize bytes, or at the end of the input;
// false when the stream is damaged or does not end where it says.
bool PPMDecompress(const uint8_t* input, size_t inputSize, size_t expectedSize, std::vector<uint8_t>& output);

}  // namespace orb
