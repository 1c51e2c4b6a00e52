// Memory page and record managers.
#include "storage/ORBMemEngine.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "orb/ORBExcept.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBMemory.h"
#include "storage/ORBPage.h"
#include "storage/ORBStreams.h"

namespace orb {

// ---- bits -------------------------------------------------------------------

void TORBBitsArray::Resize(int64_t n) {
  words_.resize(static_cast<size_t>((n + 63) / 64), 0);
  if (n < size_ && n % 64) words_.back() &= (uint64_t{1} << (n % 64)) - 1;
  size_ = n;
}

void TORBBitsArray::Set(int64_t i, bool v) {
  if (i >= size_) Resize(i + 1);
  uint64_t& w = words_[static_cast<size_t>(i / 64)];
  const uint64_t m = uint64_t{1} << (i % 64);
  w = v ? (w | m) : (w & ~m);
}

int64_t TORBBitsArray::FirstClear() const {
  for (size_t k = 0; k < words_.size(); ++k)
    if (~words_[k]) {
      const int64_t i = static_cast<int64_t>(k) * 64 + std::countr_one(words_[k]);
      return i < size_ ? i : -1;
    }
  return -1;
}

// ---- memory page manager ----------------------------------------------------

TORBMemoryPageManager::TORBMemoryPageManager(uint16_t headerSize) { SetGeometry(4096, headerSize); }

TORBMemoryPageManager::~TORBMemoryPageManager() {
  DropAllPages();  // page objects point into the buffers
  ReleaseBuffers();
}

void TORBMemoryPageManager::ReleaseBuffers() {
  for (uint8_t* b : buffers_) TORBMemoryManager::Instance().FreeMem(b);
  buffers_.clear();
}

void TORBMemoryPageManager::Grow(int32_t capacity) {
  while (static_cast<int32_t>(buffers_.size()) < capacity)
    buffers_.push_back(static_cast<uint8_t*>(TORBMemoryManager::Instance().GetMem(PageSize, true)));
  used_.Resize(capacity);
}

void TORBMemoryPageManager::CheckUsed(int32_t pageNo, int32_t code) const {
  if (!used_.Get(pageNo)) throw EORBException("Not released page is allocated", code);
}

void TORBMemoryPageManager::AllocatePage(TORBPage& page) {
  int64_t n = used_.FirstClear();
  if (n < 0 || n > highest_) n = highest_ + 1;
  if (n >= Capacity()) Grow(Capacity() + kGrowthStep);
  if (used_.Get(n)) throw EORBException("Not released page is allocated", 20037);
  used_.Set(n, true);
  ++count_;
  highest_ = std::max<int32_t>(highest_, static_cast<int32_t>(n));
  page.PageNo = static_cast<int32_t>(n);
  page.SetForeignBuffer(buffers_[static_cast<size_t>(n)], PageSize);
}

void TORBMemoryPageManager::FreePage(int32_t pageNo) {
  if (!used_.Get(pageNo)) return;
  --count_;
  used_.Set(pageNo, false);
  // The buffer stays for reuse; a reused page starts zeroed like a new one.
  std::memset(buffers_[static_cast<size_t>(pageNo)], 0, PageSize);
}

bool TORBMemoryPageManager::ReadPage(TORBPage& page) {
  CheckUsed(page.PageNo, 10392);
  page.SetForeignBuffer(buffers_[static_cast<size_t>(page.PageNo)], PageSize);
  page.IsFresh = true;
  return true;
}

void TORBMemoryPageManager::WritePage(TORBPage& page) {
  CheckUsed(page.PageNo, 10393);
  uint8_t* mine = buffers_[static_cast<size_t>(page.PageNo)];
  if (page.OwnsBuffer && page.PageBuffer != mine) std::memcpy(mine, page.PageBuffer, PageSize);
}

void TORBMemoryPageManager::SaveToStream(TORBStream& s) {
  const int32_t capacity = Capacity();
  s.WriteExactly(&capacity, 4, 10362);
  s.WriteExactly(&highest_, 4, 10363);
  const int32_t growth = kGrowthStep;
  s.WriteExactly(&growth, 4, 10364);
  s.WriteExactly(&PageSize, 2, 10365);
  s.WriteExactly(&PageHeaderSize, 2, 10366);
  s.WriteExactly(&count_, 4, 10367);
  std::vector<uint8_t> bits(static_cast<size_t>((capacity + 7) / 8));
  for (int32_t i = 0; i < capacity; ++i)
    if (used_.Get(i)) bits[static_cast<size_t>(i / 8)] |= static_cast<uint8_t>(1u << (i % 8));
  s.WriteExactly(bits.data(), static_cast<int64_t>(bits.size()), 10368);
  for (uint8_t* b : buffers_) s.WriteExactly(b, PageSize, 10368);
}

void TORBMemoryPageManager::LoadFromStream(TORBStream& s) {
  int32_t capacity = 0, highest = 0, growth = 0, count = 0;
  uint16_t pageSize = 0, headerSize = 0;
  s.ReadExactly(&capacity, 4, 10369);
  s.ReadExactly(&highest, 4, 10370);
  s.ReadExactly(&growth, 4, 10371);
  s.ReadExactly(&pageSize, 2, 10372);
  s.ReadExactly(&headerSize, 2, 10373);
  s.ReadExactly(&count, 4, 10374);
  if (capacity < 0 || pageSize != PageSize || headerSize != PageHeaderSize || highest >= capacity || count < 0 ||
      count > capacity || s.GetSize() - s.Position() < int64_t{capacity} * PageSize + (capacity + 7) / 8)
    throw EORBException::Fmt(10375, "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d",
                             s.Position(), s.GetSize(), int64_t{capacity} * PageSize, 0);
  std::vector<uint8_t> bits(static_cast<size_t>((capacity + 7) / 8));
  s.ReadExactly(bits.data(), static_cast<int64_t>(bits.size()), 10375);
  DropAllPages();
  ReleaseBuffers();
  used_ = TORBBitsArray();
  Grow(capacity);
  for (int32_t i = 0; i < capacity; ++i) used_.Set(i, (bits[static_cast<size_t>(i / 8)] >> (i % 8)) & 1);
  for (uint8_t* b : buffers_) s.ReadExactly(b, PageSize, 10375);
  highest_ = highest;
  count_ = count;
}

// ---- memory record manager --------------------------------------------------

TORBMemoryRecordManager::TORBMemoryRecordManager(int32_t recordSize, int32_t growthStep)
    : recordSize_(recordSize), growth_(growthStep > 0 ? growthStep : 1000) {
  if (recordSize <= 0) throw EORBException("Invalid record size = 0", 10011);
}

TORBMemoryRecordManager::~TORBMemoryRecordManager() = default;

void TORBMemoryRecordManager::Copy(int64_t slot, uint8_t* out) const {
  if (out) std::memcpy(out, &records_[static_cast<size_t>(slot * recordSize_)], static_cast<size_t>(recordSize_));
}

bool TORBMemoryRecordManager::InsertRecord(int32_t, const uint8_t* record, TORBRecordID& id) {
  try {
    const int64_t slot = count_ == 0 ? 0 : highest_ + 1;  // deleted slots are never reused
    if (slot >= capacity_) {
      capacity_ += growth_;
      records_.resize(static_cast<size_t>(capacity_ * recordSize_));
      deleted_.Resize(capacity_);
    }
    std::memcpy(&records_[static_cast<size_t>(slot * recordSize_)], record, static_cast<size_t>(recordSize_));
    deleted_.Set(slot, false);
    // Slots between the old highest and this one (left by deletions at the end) stay deleted.
    if (count_ == 0) lowest_ = slot;
    highest_ = slot;
    ++count_;
    ++changes_;
    id = TORBRecordID::FromNumber(slot);
    return true;
  } catch (...) {
    return false;
  }
}

bool TORBMemoryRecordManager::UpdateRecord(int32_t, const uint8_t* record, TORBRecordID id) {
  const int64_t slot = id.Number();
  if (!Live(slot)) return false;
  std::memcpy(&records_[static_cast<size_t>(slot * recordSize_)], record, static_cast<size_t>(recordSize_));
  ++changes_;
  return true;
}

bool TORBMemoryRecordManager::DeleteRecord(int32_t, TORBRecordID id) {
  const int64_t slot = id.Number();
  if (!Live(slot)) return false;
  deleted_.Set(slot, true);
  --count_;
  everDeleted_ = true;
  ++changes_;
  if (count_ == 0) {
    lowest_ = highest_ = 0;
  } else {
    while (slot == lowest_ && deleted_.Get(lowest_) && lowest_ < highest_) ++lowest_;
    while (slot == highest_ && deleted_.Get(highest_) && highest_ > lowest_) --highest_;
  }
  return true;
}

int TORBMemoryRecordManager::GetRecord(int32_t, TORBNavigation& r) {
  if (count_ == 0) return grEOF;
  int64_t slot;
  if (r.FromFirst) {
    if (r.Mode == nmPrior) return grBOF;
    if (r.Mode == nmCurrent) return grNotFound;
    slot = lowest_;
  } else if (r.FromLast) {
    if (r.Mode == nmNext) return grEOF;
    if (r.Mode == nmCurrent) return grNotFound;
    slot = highest_;
  } else {
    slot = r.Current.Number();
    if (r.Mode == nmCurrent) {
      if (!Live(slot)) return grNotFound;
    } else if (r.Mode == nmNext) {
      do ++slot;
      while (slot <= highest_ && !Live(slot));
      if (slot > highest_) return grEOF;
    } else {
      if (slot > highest_ + 1) slot = highest_ + 1;
      do --slot;
      while (slot >= lowest_ && !Live(slot));
      if (slot < lowest_) return grBOF;
    }
  }
  r.Current = TORBRecordID::FromNumber(slot);
  Copy(slot, r.Buffer);
  return grFound;
}

int TORBMemoryRecordManager::CompareRecordIDs(TORBRecordID a, TORBRecordID b) const {
  const int64_t x = a.Number(), y = b.Number();
  return x < y ? -1 : x > y ? 1 : 0;
}

void TORBMemoryRecordManager::EmptyAll(int32_t) {
  records_.clear();
  records_.shrink_to_fit();
  deleted_ = TORBBitsArray();
  capacity_ = lowest_ = highest_ = count_ = 0;
  // The counter goes on rather than back to 0, so a filter bitmap or cached
  // position taken before the clear cannot match the emptied table again.
  ++changes_;
  everDeleted_ = false;
}

int64_t TORBMemoryRecordManager::RecNoByRecordID(int32_t, TORBRecordID id) {
  const int64_t slot = id.Number();
  if (!Live(slot)) return -1;
  if (!everDeleted_) return slot + 1;
  int64_t deletedBefore = 0;
  const auto& w = deleted_.Words();
  for (int64_t k = 0; k < slot / 64; ++k) deletedBefore += std::popcount(w[static_cast<size_t>(k)]);
  if (slot % 64) deletedBefore += std::popcount(w[static_cast<size_t>(slot / 64)] & ((uint64_t{1} << (slot % 64)) - 1));
  return slot + 1 - deletedBefore;
}

TORBRecordID TORBMemoryRecordManager::RecordIDByRecNo(int32_t, int64_t recNo) {
  if (recNo < 1 || recNo > count_) return {};
  if (!everDeleted_) return TORBRecordID::FromNumber(recNo - 1);
  int64_t left = recNo;
  const auto& w = deleted_.Words();
  for (size_t k = 0; k < w.size(); ++k) {
    const int64_t base = static_cast<int64_t>(k) * 64;
    const int64_t bits = std::min<int64_t>(64, highest_ + 1 - base);
    if (bits <= 0) break;
    const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    const int64_t live = bits - std::popcount(w[k] & mask);
    if (left > live) {
      left -= live;
      continue;
    }
    for (int64_t b = 0; b < bits; ++b)
      if (!((w[k] >> b) & 1) && --left == 0) return TORBRecordID::FromNumber(base + b);
  }
  return {};
}

}  // namespace orb
