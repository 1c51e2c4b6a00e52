// TORBCompressedBLOBStream: a value stored as independently compressed
// blocks, each with a 20-byte header and the CRC of its plain bytes, over a
// base stream it does not own. Writes append only.
#pragma once
#include <cstdint>
#include <vector>

#include "storage/ORBStreams.h"

namespace orb {

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

class TORBCompressedBLOBStream : public TORBStream {
 public:
  static constexpr int kHeaderSize = 20;

  TORBCompressedBLOBStream(TORBStream& base, bool tolerant, bool truncate, const TORBCompressedStreamInfo& info);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t GetSize() override { return size_; }
  void SetSize(int64_t size) override;

  TORBCompressedStreamInfo Info() const;
  int64_t CompressedSize() const { return compressedSize_; }
  double CompressionRate() const;
  const std::vector<TORBCompressedBlockHeader>& Blocks() const { return blocks_; }
  // How many blocks were expanded so far (the last one is kept).
  int64_t Expansions() const { return expansions_; }

 private:
  int64_t EndOfBlocks() const;
  const std::vector<uint8_t>& Expand(size_t index);
  TORBCompressedBlockHeader WriteBlock(int64_t offset, const uint8_t* data, int64_t count, int32_t headerCode = 10100,
                                       int32_t dataCode = 10101);
  int64_t Append(const uint8_t* data, int64_t count);
  void AppendZeros(int64_t count);

  TORBStream& base_;
  TORBCompressedStreamInfo info_;
  bool tolerant_;
  int64_t blockSize_ = 0;
  std::vector<TORBCompressedBlockHeader> blocks_;
  int64_t size_ = 0, position_ = 0, compressedSize_ = 0;
  int64_t cachedIndex_ = -1;
  std::vector<uint8_t> cached_;
  int64_t expansions_ = 0;
};

}  // namespace orb
