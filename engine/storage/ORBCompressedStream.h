// TORBCompressedBLOBStream: a value stored as independently compressed
// blocks, each with a 20-byte header and the CRC of its plain bytes, over a
// base stream it does not own. Writes append only. The last block expanded
// is kept, so small reads one after another expand it once.
#pragma once
#include <cstdint>
#include <vector>

#include "storage/ORBStreams.h"

namespace orb {

// What the owner of a compressed value stores and passes back on reopening.
struct TORBCompressedStreamInfo {
  int32_t BlockSize = 0;  // 0: the default for the mode
  int64_t BlockCount = 0;
  int64_t UncompressedSize = 0;
  int64_t StartOffset = 0;
  uint8_t Algorithm = 0;
  uint8_t Mode = 0;
};

struct TORBCompressedBlockHeader {
  int32_t CompressedSize = 0;
  int32_t UncompressedSize = 0;
  uint32_t CRC = 0;
  int64_t BlockLength = 0;
  int64_t Offset = 0;  // of the header in the base stream
};

using CompressedStreamInfo = TORBCompressedStreamInfo;
using TORBCompressedStreamBlockHeadersArray = std::vector<TORBCompressedBlockHeader>;

class TORBCompressedBLOBStream : public TORBStream {
 public:
  static constexpr int kHeaderSize = 20;

  // `truncate` starts an empty value at info.StartOffset; otherwise the
  // stored block headers are read. `tolerant` opens a damaged value with the
  // blocks that are there (for repair) instead of failing.
  TORBCompressedBLOBStream(TORBStream& base, bool tolerant, bool truncate, const TORBCompressedStreamInfo& info);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t GetSize() override { return size_; }
  void SetSize(int64_t size) override;

  TORBCompressedStreamInfo Info() const;
  int64_t CompressedSize() const { return compressedSize_; }
  double CompressionRate() const;
  const TORBCompressedStreamBlockHeadersArray& Blocks() const { return blocks_; }
  // How many blocks were expanded so far (the last one is kept).
  int64_t Expansions() const { return expansions_; }

 private:
  int64_t EndOfBlocks() const;
  const std::vector<uint8_t>& Expand(size_t index);
  // Compresses a block and fills its header (all but the offset).
  std::vector<uint8_t> Pack(const uint8_t* data, int64_t count, TORBCompressedBlockHeader& header);
  // Writes header and data at header.Offset; `cut` picks the messages of a
  // block rewritten while shrinking.
  void Put(const TORBCompressedBlockHeader& header, const std::vector<uint8_t>& packed, bool cut);
  TORBCompressedBlockHeader WriteBlock(int64_t offset, const uint8_t* data, int64_t count);
  int64_t Append(const uint8_t* data, int64_t count);
  void AppendZeros(int64_t count);

  TORBStream& base_;
  TORBCompressedStreamInfo info_;
  bool tolerant_;
  int64_t blockSize_ = 0;
  TORBCompressedStreamBlockHeadersArray blocks_;
  int64_t size_ = 0, position_ = 0, compressedSize_ = 0;
  int64_t cachedIndex_ = -1;
  std::vector<uint8_t> cached_;
  int64_t expansions_ = 0;
};

}  // namespace orb
