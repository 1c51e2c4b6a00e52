// Temporary page and record managers.
#include "storage/ORBTempEngine.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "orb/ORBExcept.h"
#include "storage/ORBEnv.h"
#include "storage/ORBMemory.h"
#include "storage/ORBPage.h"

namespace orb {

// ---- pages ------------------------------------------------------------------

TORBTemporaryPageManager::TORBTemporaryPageManager(bool memoryOnly, int64_t memoryLimitPages)
    : memoryOnly_(memoryOnly),
      limit_(memoryLimitPages >= 0 ? memoryLimitPages : TORBMemoryManager::Instance().AvailableMemory() / 10 / 4096) {
  SetGeometry(4096, 0);
}

TORBTemporaryPageManager::~TORBTemporaryPageManager() { DropAllPages(); }

void TORBTemporaryPageManager::CheckUsed(int32_t pageNo, int32_t code) const {
  if (!used_.Get(pageNo)) throw EORBException("Not released page is allocated", code);
}

void TORBTemporaryPageManager::AllocatePage(TORBPage& page) {
  if (InMemory(next_)) {
    inner_.AllocatePage(page);
    next_ = std::max<int64_t>(next_, page.PageNo + int64_t{1});
  } else {
    const int64_t n = next_++;
    if (n > INT32_MAX) throw EORBException("Invalid page number", 20064);
    if (!file_.IsOpen()) file_.Create();
    int64_t size = 0;
    TORBEnv::Default()->FileSize(file_.Fd(), &size);
    const int64_t needed = (n + 1) * PageSize;
    if (size < needed && TORBEnv::Default()->Truncate(file_.Fd(), needed + needed / 2))
      throw EORBException("Error writing to stream", 10125);
    page.PageNo = static_cast<int32_t>(n);
    page.AllocateBuffer();
  }
  if (used_.Get(page.PageNo)) throw EORBException("Not released page is allocated", 20037);
  used_.Set(page.PageNo, true);
  ++count_;
}

void TORBTemporaryPageManager::FreePage(int32_t pageNo) {
  if (!used_.Get(pageNo)) return;
  --count_;
  used_.Set(pageNo, false);
  if (InMemory(pageNo)) inner_.FreePage(pageNo);
}

bool TORBTemporaryPageManager::ReadPage(TORBPage& page) {
  CheckUsed(page.PageNo, 10396);
  if (InMemory(page.PageNo)) return inner_.ReadPage(page);
  if (!file_.IsOpen()) throw EORBException("Invalid pointer", 30482);
  if (!page.OwnsBuffer) page.AllocateBuffer();
  size_t done = 0;
  TORBEnv::Default()->PRead(file_.Fd(), page.PageBuffer, PageSize, int64_t{page.PageNo} * PageSize, &done);
  if (done < PageSize) std::memset(page.PageBuffer + done, 0, PageSize - done);
  page.IsFresh = true;
  return true;
}

void TORBTemporaryPageManager::WritePage(TORBPage& page) {
  CheckUsed(page.PageNo, 10397);
  if (InMemory(page.PageNo)) return inner_.WritePage(page);
  if (!file_.IsOpen()) file_.Create();
  if (TORBEnv::Default()->PWrite(file_.Fd(), page.PageBuffer, PageSize, int64_t{page.PageNo} * PageSize))
    throw EORBException("Error writing to stream", 10125);
}

// ---- records ----------------------------------------------------------------

TORBTemporaryRecordManager::TORBTemporaryRecordManager(int32_t recordSize, bool memoryOnly, int32_t memoryGrowth,
                                                       int32_t bufferRecords, int64_t memoryRecords)
    : recordSize_(recordSize), memoryOnly_(memoryOnly), growth_(memoryGrowth > 0 ? memoryGrowth : 1000),
      bufferRecords_(bufferRecords > 0 ? bufferRecords : 10) {
  if (recordSize <= 0) throw EORBException("Invalid record size = 0", 10124);
  memoryRecords_ = memoryRecords >= 0 ? memoryRecords
                                      : TORBMemoryManager::Instance().AvailableMemory() / 10 / recordSize;
  buffer_.resize(static_cast<size_t>(bufferRecords_) * recordSize_);
}

bool TORBTemporaryRecordManager::InsertRecord(int32_t, const uint8_t* record, TORBRecordID& id) {
  try {
    const int64_t n = count_;
    if (memoryOnly_ || n < memoryRecords_) {
      const size_t end = static_cast<size_t>((n + 1) * recordSize_);
      if (memory_.size() < end) memory_.resize(std::max(end, memory_.size() + static_cast<size_t>(growth_) * recordSize_));
      std::memcpy(&memory_[static_cast<size_t>(n * recordSize_)], record, static_cast<size_t>(recordSize_));
    } else {
      if (buffered_ == bufferRecords_) Flush();
      std::memcpy(&buffer_[static_cast<size_t>(buffered_) * recordSize_], record, static_cast<size_t>(recordSize_));
      ++buffered_;
    }
    ++count_;
    ++changes_;
    id = TORBRecordID::FromNumber(n);
    return true;
  } catch (...) {
    return false;
  }
}

void TORBTemporaryRecordManager::Flush() {
  if (buffered_ == 0) return;
  if (buffered_ > bufferRecords_)
    throw EORBException::Fmt(10126, "Invalid record count = %d. Limit is %d", buffered_, bufferRecords_);
  if (!file_.IsOpen()) file_.Create();
  const int64_t first = count_ - buffered_ - (memoryOnly_ ? count_ : memoryRecords_);
  if (TORBEnv::Default()->PWrite(file_.Fd(), buffer_.data(), static_cast<size_t>(buffered_) * recordSize_,
                                 first * recordSize_))
    throw EORBException("Error writing to stream", 10125);
  buffered_ = 0;
}

void TORBTemporaryRecordManager::ReadRecord(int64_t n, uint8_t* out) {
  if (!out) return;
  if (memoryOnly_ || n < memoryRecords_) {
    std::memcpy(out, &memory_[static_cast<size_t>(n * recordSize_)], static_cast<size_t>(recordSize_));
    return;
  }
  Flush();
  size_t done = 0;
  TORBEnv::Default()->PRead(file_.Fd(), out, static_cast<size_t>(recordSize_), (n - memoryRecords_) * recordSize_, &done);
  if (done != static_cast<size_t>(recordSize_))
    throw EORBException::Fmt(10128, "Cannot set stream position to %d. Position = %d, Size = %d",
                             (n - memoryRecords_) * recordSize_, 0, 0);
}

int TORBTemporaryRecordManager::GetRecord(int32_t, TORBNavigation& r) {
  if (count_ == 0) return grEOF;
  int64_t n;
  if (r.FromFirst) {
    if (r.Mode != nmNext) return r.Mode == nmPrior ? grBOF : grNotFound;
    n = 0;
  } else if (r.FromLast) {
    if (r.Mode != nmPrior) return r.Mode == nmNext ? grEOF : grNotFound;
    n = count_ - 1;
  } else {
    n = r.Current.Number();
    if (r.Mode == nmNext) ++n;
    else if (r.Mode == nmPrior) --n;
    if (n < 0) return grBOF;
    if (n >= count_) return r.Mode == nmCurrent ? grNotFound : grEOF;
  }
  ReadRecord(n, r.Buffer);
  r.Current = TORBRecordID::FromNumber(n);
  return grFound;
}

int TORBTemporaryRecordManager::CompareRecordIDs(TORBRecordID a, TORBRecordID b) const {
  const int64_t x = a.Number(), y = b.Number();
  return x < y ? -1 : x > y ? 1 : 0;
}

void TORBTemporaryRecordManager::EmptyAll(int32_t) {
  memory_.clear();
  buffered_ = 0;
  count_ = 0;
  ++changes_;  // never back to a value an older bitmap was stamped with
  file_.Close();
}

TORBRecordID TORBTemporaryRecordManager::RecordIDByRecNo(int32_t, int64_t recNo) {
  if (recNo < 1 || recNo > count_) return {};
  return TORBRecordID::FromNumber(recNo - 1);
}

int64_t TORBTemporaryRecordManager::RecNoByRecordID(int32_t, TORBRecordID id) {
  const int64_t n = id.Number();
  return n >= 0 && n < count_ ? n + 1 : -1;
}

}  // namespace orb
