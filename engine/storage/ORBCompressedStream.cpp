// Block-compressed values: header walk at open, block expansion with checks,
// append-only writes, growing and shrinking.
#include "storage/ORBCompressedStream.h"

#include <algorithm>
#include <cstring>

#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBCompression.h"
#include "storage/ORBFileFormat.h"

namespace orb {

TORBCompressedBLOBStream::TORBCompressedBLOBStream(TORBStream& base, bool tolerant, bool truncate,
                                                   const TORBCompressedStreamInfo& info)
    : base_(base), info_(info), tolerant_(tolerant) {
  const int64_t start = info.StartOffset;
  if (start < 0 || base_.Seek(start, soBeginning) != start)
    throw EORBException::Fmt(10103, "Cannot set stream position to %d. Position = %d, Size = %d", start,
                             base_.Position(), base_.GetSize());
  if (info.Algorithm == 0) {
    blockSize_ = 0;
    if (truncate) {
      size_ = 0;
    } else {
      size_ = std::max<int64_t>(info.UncompressedSize, 0);
      const int64_t have = base_.GetSize() - start;
      if (have < size_) {
        if (!tolerant) throw EORBException::Fmt(10081, "Stream size = %d too small. Should be at least = %d", base_.GetSize(), start + size_);
        size_ = std::max<int64_t>(have, 0);
      }
    }
    return;
  }
  blockSize_ = info.BlockSize > 0 ? info.BlockSize : DefaultCompressionBlockSize(info.Mode);
  if (truncate) return;
  const int64_t baseSize = base_.GetSize();
  int64_t pos = start;
  for (int64_t i = 0; i < info.BlockCount; ++i) {
    if (baseSize - pos < kHeaderSize) {
      if (tolerant_) break;
      throw EORBException::Fmt(10082, "Stream size = %d too small. Should be at least = %d", baseSize, pos + kHeaderSize);
    }
    uint8_t h[kHeaderSize];
    base_.SetPositionChecked(pos, 10083);
    base_.ReadExactly(h, kHeaderSize, 10086);
    TORBCompressedBlockHeader b;
    b.CompressedSize = GetLE<int32_t>(h);
    b.UncompressedSize = GetLE<int32_t>(h + 4);
    b.CRC = GetLE<uint32_t>(h + 8);
    b.BlockLength = GetLE<int64_t>(h + 12);
    b.Offset = pos;
    // A header that cannot be right is damage, not a block.
    const bool sane = b.CompressedSize >= 0 && b.UncompressedSize > 0 && b.UncompressedSize <= blockSize_ &&
                      b.BlockLength == int64_t{b.CompressedSize} + kHeaderSize;
    if (!sane) {
      if (tolerant_) break;
      throw EORBException::Fmt(10088, "Decompress buffer failed. UncompSize = %d, Header.UncompSize = %d", blockSize_,
                               b.UncompressedSize);
    }
    if (pos + b.BlockLength > baseSize) {
      if (tolerant_) break;
      throw EORBException::Fmt(10083, "Cannot set stream position to %d. Position = %d, Size = %d", pos + b.BlockLength,
                               pos, baseSize);
    }
    blocks_.push_back(b);
    size_ += b.UncompressedSize;
    compressedSize_ += b.CompressedSize;
    pos += b.BlockLength;
  }
}

TORBCompressedStreamInfo TORBCompressedBLOBStream::Info() const {
  TORBCompressedStreamInfo i = info_;
  i.BlockCount = info_.Algorithm == 0 ? 0 : static_cast<int64_t>(blocks_.size());
  i.UncompressedSize = size_;
  return i;
}

double TORBCompressedBLOBStream::CompressionRate() const {
  if (info_.Algorithm == 0 || size_ == 0) return 0;
  return (1.0 - static_cast<double>(compressedSize_) / static_cast<double>(size_)) * 100.0;
}

int64_t TORBCompressedBLOBStream::EndOfBlocks() const {
  return blocks_.empty() ? info_.StartOffset : blocks_.back().Offset + blocks_.back().BlockLength;
}

const std::vector<uint8_t>& TORBCompressedBLOBStream::Expand(size_t index) {
  if (static_cast<int64_t>(index) == cachedIndex_) return cached_;
  const TORBCompressedBlockHeader& b = blocks_[index];
  std::vector<uint8_t> packed(static_cast<size_t>(b.CompressedSize));
  base_.SetPositionChecked(b.Offset + kHeaderSize, 10086);
  const int64_t got = b.CompressedSize > 0 ? base_.Read(packed.data(), b.CompressedSize) : 0;
  if (got != b.CompressedSize)
    throw EORBException::Fmt(10086, "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d",
                             b.Offset + kHeaderSize, base_.GetSize(), b.CompressedSize, got);
  cachedIndex_ = -1;
  if (!DecompressBuffer(info_.Algorithm, packed.data(), packed.size(), static_cast<size_t>(b.UncompressedSize), cached_))
    throw EORBException::Fmt(10087, "Decompress buffer failed. CompAlg = %d, InSize = %d, OutSize = %d", info_.Algorithm,
                             b.CompressedSize, b.UncompressedSize);
  if (cached_.size() != static_cast<size_t>(b.UncompressedSize))
    throw EORBException::Fmt(10088, "Decompress buffer failed. UncompSize = %d, Header.UncompSize = %d", cached_.size(),
                             b.UncompressedSize);
  const uint32_t crc = CRC32(cached_.data(), cached_.size());
  if (crc != b.CRC) throw EORBException::Fmt(10089, "Decompress buffer failed. CheckSum = %d, Header.Crc32 = %d", crc, b.CRC);
  cachedIndex_ = static_cast<int64_t>(index);
  ++expansions_;
  return cached_;
}

int64_t TORBCompressedBLOBStream::Read(void* buffer, int64_t count) {
  if (info_.Algorithm == 0) {
    if (position_ >= size_ || count <= 0) return 0;
    base_.SetPositionChecked(info_.StartOffset + position_, 10086);
    const int64_t n = base_.Read(buffer, std::min(count, size_ - position_));
    position_ += std::max<int64_t>(n, 0);
    return n;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count && position_ < size_) {
    const size_t index = static_cast<size_t>(position_ / blockSize_);
    if (index >= blocks_.size()) break;
    const std::vector<uint8_t>& block = Expand(index);
    const int64_t offset = position_ % blockSize_;
    const int64_t n = std::min({static_cast<int64_t>(block.size()) - offset, count - done, size_ - position_});
    if (n <= 0) throw EORBException::Fmt(10090, "Cannot read from stream. ReadSize = %d", n);
    std::memcpy(out + done, block.data() + offset, static_cast<size_t>(n));
    done += n;
    position_ += n;
  }
  return done;
}

std::vector<uint8_t> TORBCompressedBLOBStream::Pack(const uint8_t* data, int64_t count, TORBCompressedBlockHeader& b) {
  std::vector<uint8_t> packed;
  if (!CompressBuffer(info_.Algorithm, info_.Mode, data, static_cast<size_t>(count), packed) || packed.size() > INT32_MAX)
    throw EORBException::Fmt(10085, "Compress buffer failed. CompAlg = %d, CompMode = %d, InSize = %d, OutSize = %d",
                             info_.Algorithm, info_.Mode, count, packed.size());
  b.CompressedSize = static_cast<int32_t>(packed.size());
  b.UncompressedSize = static_cast<int32_t>(count);
  b.CRC = CRC32(data, static_cast<size_t>(count));
  b.BlockLength = b.CompressedSize + int64_t{kHeaderSize};
  return packed;
}

void TORBCompressedBLOBStream::Put(const TORBCompressedBlockHeader& b, const std::vector<uint8_t>& packed, bool cut) {
  uint8_t h[kHeaderSize];
  PutLE(h, b.CompressedSize);
  PutLE(h + 4, b.UncompressedSize);
  PutLE(h + 8, b.CRC);
  PutLE(h + 12, b.BlockLength);
  if (cut) {
    if (base_.Seek(b.Offset, soBeginning) != b.Offset)
      throw EORBException::Fmt(10094, "Cannot set stream position to %d. Position = %d, Size = %d", b.Offset,
                               base_.Position(), base_.GetSize());
    if (base_.Write(h, kHeaderSize) != kHeaderSize) throw EORBException("Error writing to stream", 10095);
    if (base_.Write(packed.data(), b.CompressedSize) != b.CompressedSize)
      throw EORBException("Error writing to stream", 10096);
  } else {
    base_.SetPositionChecked(b.Offset, 10100);
    base_.WriteExactly(h, kHeaderSize, 10100);
    base_.WriteExactly(packed.data(), b.CompressedSize, 10101);
  }
}

TORBCompressedBlockHeader TORBCompressedBLOBStream::WriteBlock(int64_t offset, const uint8_t* data, int64_t count) {
  TORBCompressedBlockHeader b;
  const std::vector<uint8_t> packed = Pack(data, count, b);
  b.Offset = offset;
  Put(b, packed, false);
  return b;
}

int64_t TORBCompressedBLOBStream::Append(const uint8_t* data, int64_t count) {
  int64_t taken = 0;
  cachedIndex_ = -1;
  // A partial last block takes bytes first, rewritten in its own place.
  if (size_ % blockSize_ != 0 && !blocks_.empty()) {
    std::vector<uint8_t> last = Expand(blocks_.size() - 1);
    cachedIndex_ = -1;
    const int64_t room = blockSize_ - static_cast<int64_t>(last.size());
    const int64_t n = std::min(room, count);
    last.insert(last.end(), data, data + n);
    TORBCompressedBlockHeader old = blocks_.back();
    TORBCompressedBlockHeader b = WriteBlock(old.Offset, last.data(), static_cast<int64_t>(last.size()));
    compressedSize_ += b.CompressedSize - int64_t{old.CompressedSize};
    blocks_.back() = b;
    size_ += n;
    taken += n;
  }
  while (taken < count) {
    const int64_t n = std::min(blockSize_, count - taken);
    TORBCompressedBlockHeader b = WriteBlock(EndOfBlocks(), data + taken, n);
    blocks_.push_back(b);
    compressedSize_ += b.CompressedSize;
    size_ += n;
    taken += n;
  }
  return taken;
}

void TORBCompressedBLOBStream::AppendZeros(int64_t count) {
  std::vector<uint8_t> zeros(static_cast<size_t>(std::min<int64_t>(count, blockSize_)), 0);
  while (count > 0) {
    const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(zeros.size()));
    Append(zeros.data(), n);
    count -= n;
  }
}

int64_t TORBCompressedBLOBStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (info_.Algorithm == 0) {
    base_.SetPositionChecked(info_.StartOffset + position_, 10100);
    const int64_t n = base_.Write(buffer, count);
    position_ += std::max<int64_t>(n, 0);
    size_ = std::max(size_, position_);
    return n;
  }
  if (position_ < size_) return 0;  // append only
  if (position_ > size_) {
    AppendZeros(position_ - size_);
    if (size_ != position_) throw EORBException::Fmt(10092, "Invalid stream size = %d. Should be = %d", size_, position_);
  }
  const int64_t n = Append(static_cast<const uint8_t*>(buffer), count);
  position_ = size_;
  return n;
}

int64_t TORBCompressedBLOBStream::Seek(int64_t offset, int origin) {
  const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : size_;
  if (base + offset >= 0) position_ = base + offset;
  return position_;
}

void TORBCompressedBLOBStream::SetSize(int64_t size) {
  if (size < 0) return;
  if (info_.Algorithm == 0) {
    base_.SetSize(info_.StartOffset + size);
    size_ = size;
    position_ = std::min(position_, size_);
    return;
  }
  cachedIndex_ = -1;
  if (size > size_) {
    const int64_t ext = size - size_;
    if (ext <= 0)
      throw EORBException::Fmt(10098, "Invalid extension size. NewSize = %d, UncompressedSize = %d, ExtensionSize = %d",
                               size, size_, ext);
    AppendZeros(ext);
  } else if (size < size_) {
    const size_t keep = static_cast<size_t>(size / blockSize_);
    const int64_t tail = size % blockSize_;
    // Compressed before anything is cut: a failure there leaves all as it was.
    TORBCompressedBlockHeader b;
    std::vector<uint8_t> packed;
    if (tail > 0) {
      std::vector<uint8_t> part = Expand(keep);
      cachedIndex_ = -1;
      part.resize(static_cast<size_t>(tail));
      packed = Pack(part.data(), tail, b);
      b.Offset = blocks_[keep].Offset;
      base_.SetSize(b.Offset);
      if (base_.GetSize() != b.Offset)
        throw EORBException::Fmt(10093, "Invalid stream size = %d. Should be = %d", base_.GetSize(), b.Offset);
    }
    blocks_.resize(keep);
    size_ = static_cast<int64_t>(keep) * blockSize_;
    compressedSize_ = 0;
    for (const auto& k : blocks_) compressedSize_ += k.CompressedSize;
    if (tail > 0) {
      Put(b, packed, true);
      blocks_.push_back(b);
      compressedSize_ += b.CompressedSize;
      size_ = size;
    }
  }
  position_ = std::min(position_, size_);
}

}  // namespace orb
