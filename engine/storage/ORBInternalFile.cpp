// Internal files in page chains, transacted and direct.
#include "storage/ORBInternalFile.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "orb/ORBExcept.h"
#include "storage/ORBCompression.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBPage.h"
#include "storage/ORBPageManager.h"

namespace orb {

void TORBChainWalk::Visit(int32_t pageNo) {
  if (pageNo < 0 || !seen_.insert(pageNo).second)
    throw EORBException::Fmt(31081, "Internal file chain is damaged at page %d", pageNo);
}

namespace {

int64_t PagesFor(int64_t storedSize, int64_t dataSize) {
  return std::max<int64_t>(1, (storedSize + kInternalFileHeaderSize + dataSize - 1) / dataSize);
}

}  // namespace

// ---- transacted -------------------------------------------------------------

void TORBInternalDBTransactedAccessFile::CheckOpen(const char* operation) const {
  if (StartPageNo < 0)
    throw EORBException::Fmt(30389, "Cannot perform this operation (%s) on closed internal file", operation);
}

void TORBInternalDBTransactedAccessFile::Create(int32_t session) {
  if (StartPageNo >= 0)
    throw EORBException::Fmt(30383, "Cannot create Internal file. File already exists. StartPageNo=%d", StartPageNo);
  TORBPageHandle page(pm_, pm_.AddPage(session, type_));
  uint8_t* d = page->Data();
  d[0] = kInternalFileHeaderSize;
  PutLE<int32_t>(d + 1, 0);
  PutLE<int32_t>(d + 5, 0);
  d[9] = 0;
  StartPageNo = page->PageNo;
}

void TORBInternalDBTransactedAccessFile::RemoveChain(int32_t session, int32_t first, TORBChainWalk& walk) {
  for (int32_t no = first; no != -1;) {
    walk.Visit(no);
    int32_t next;
    {
      TORBPageHandle page(pm_, pm_.GetPage(session, no, true, static_cast<uint8_t>(type_)));
      next = PageHeader::NextPageNo(page->PageBuffer);
    }
    pm_.RemovePage(session, no);
    no = next;
  }
}

void TORBInternalDBTransactedAccessFile::Delete(int32_t session) {
  CheckOpen("Delete");
  TORBChainWalk walk;
  RemoveChain(session, StartPageNo, walk);
  StartPageNo = -1;
}

TORBInternalFileSize TORBInternalDBTransactedAccessFile::GetSize(int32_t session, bool validate) {
  CheckOpen("GetSize");
  TORBPageHandle page(pm_, pm_.GetPage(session, StartPageNo, validate, static_cast<uint8_t>(type_)));
  const uint8_t* d = page->Data();
  TORBInternalFileSize s;
  s.StoredSize = GetLE<int32_t>(d + 1);
  s.UncompressedSize = GetLE<int32_t>(d + 5);
  s.Algorithm = d[9];
  s.IsFresh = page->IsFresh;
  return s;
}

void TORBInternalDBTransactedAccessFile::SetSize(int32_t session, int32_t storedSize, uint8_t algorithm,
                                                 int32_t uncompressedSize) {
  CheckOpen("SetSize");
  if (storedSize < 0) throw EORBException::Fmt(30387, "Cannot Read internal file. FileSize=%d. ReadSize=%d", 0, storedSize);
  const int64_t D = pm_.PageDataSize;
  const int64_t needed = PagesFor(storedSize, D);
  TORBChainWalk walk;
  int32_t no = StartPageNo;
  for (int64_t i = 0; i < needed; ++i) {
    walk.Visit(no);
    TORBPageHandle page(pm_, pm_.GetPage(session, no, true, static_cast<uint8_t>(type_)));
    int32_t next = PageHeader::NextPageNo(page->PageBuffer);
    if (i == 0) {
      uint8_t* d = page->Data();
      d[0] = kInternalFileHeaderSize;
      PutLE<int32_t>(d + 1, storedSize);
      PutLE<int32_t>(d + 5, uncompressedSize);
      d[9] = algorithm;
      page->IsDirty = true;
    }
    if (i + 1 < needed && next == -1) {
      TORBPageHandle added(pm_, pm_.AddPage(session, type_));
      next = added->PageNo;
      PageHeader::SetNextPageNo(page->PageBuffer, next);
      page->IsDirty = true;
    } else if (i + 1 == needed && next != -1) {
      // The chain ends here; the pages after it go back to free space at commit.
      PageHeader::SetNextPageNo(page->PageBuffer, -1);
      page->IsDirty = true;
      page.Release();
      RemoveChain(session, next, walk);
      next = -1;
    }
    no = next;
  }
}

std::vector<uint8_t> TORBInternalDBTransactedAccessFile::ReadStored(int32_t session, bool validate,
                                                                   int32_t storedSize, int32_t count) {
  // Grown page by page: a damaged size must not allocate more than the chain holds.
  std::vector<uint8_t> out;
  const int64_t D = pm_.PageDataSize;
  int64_t done = 0, pos = kInternalFileHeaderSize;
  TORBChainWalk walk;
  for (int32_t no = StartPageNo; done < count;) {
    if (no == -1)
      throw EORBException::Fmt(30388, "Cannot Read % bytes from internal file. FileSize=%d. ReadSize=%d, Count=%d",
                               storedSize, done, count);
    walk.Visit(no);
    TORBPageHandle page(pm_, pm_.GetPage(session, no, validate, static_cast<uint8_t>(type_)));
    const int64_t n = std::min<int64_t>(D - pos, count - done);
    out.resize(static_cast<size_t>(done + n));
    std::memcpy(out.data() + done, page->Data() + pos, static_cast<size_t>(n));
    done += n;
    pos = 0;
    no = PageHeader::NextPageNo(page->PageBuffer);
  }
  return out;
}

std::vector<uint8_t> TORBInternalDBTransactedAccessFile::ReadAll(int32_t session, bool validate) {
  CheckOpen("ReadFile");
  TORBInternalFileSize s = GetSize(session, validate);
  if (s.StoredSize < 0) throw EORBException::Fmt(30387, "Cannot Read internal file. FileSize=%d. ReadSize=%d", s.StoredSize, 0);
  std::vector<uint8_t> stored = ReadStored(session, validate, s.StoredSize, s.StoredSize);
  if (s.Algorithm == 0) return stored;
  std::vector<uint8_t> plain;
  if (s.UncompressedSize < 0 ||
      !DecompressBuffer(s.Algorithm, stored.data(), stored.size(), static_cast<size_t>(s.UncompressedSize), plain) ||
      plain.size() != static_cast<size_t>(s.UncompressedSize))
    throw EORBException("Table file decompression error. Probably table is corrupted", 20189);
  return plain;
}

void TORBInternalDBTransactedAccessFile::ReadFile(int32_t session, void* buffer, bool validate, int32_t count) {
  CheckOpen("ReadFile");
  TORBInternalFileSize s = GetSize(session, validate);
  const int32_t available = s.Algorithm == 0 ? s.StoredSize : s.UncompressedSize;
  if (count < 0 || available < count)
    throw EORBException::Fmt(30387, "Cannot Read internal file. FileSize=%d. ReadSize=%d", available, count);
  if (s.Algorithm == 0) {
    std::vector<uint8_t> bytes = ReadStored(session, validate, s.StoredSize, count);
    std::memcpy(buffer, bytes.data(), bytes.size());
  } else {
    std::vector<uint8_t> all = ReadAll(session, validate);
    std::memcpy(buffer, all.data(), static_cast<size_t>(count));
  }
}

void TORBInternalDBTransactedAccessFile::WriteFile(int32_t session, const void* buffer, int32_t count,
                                                   uint8_t algorithm, uint8_t mode) {
  CheckOpen("WriteFile");
  const auto* src = static_cast<const uint8_t*>(buffer);
  std::vector<uint8_t> packed;
  int32_t stored = count;
  if (algorithm != 0 && count > 0) {
    if (!CompressBuffer(algorithm, mode, src, static_cast<size_t>(count), packed) || packed.size() > INT32_MAX)
      throw EORBException("Table file compression error", 20187);
    src = packed.data();
    stored = static_cast<int32_t>(packed.size());
  } else {
    algorithm = 0;
  }
  SetSize(session, stored, algorithm, count);
  const int64_t D = pm_.PageDataSize;
  int64_t done = 0, pos = kInternalFileHeaderSize;
  for (int32_t no = StartPageNo; done < stored;) {
    TORBPageHandle page(pm_, pm_.GetPage(session, no, true, static_cast<uint8_t>(type_)));
    const int64_t n = std::min<int64_t>(D - pos, stored - done);
    std::memcpy(page->Data() + pos, src + done, static_cast<size_t>(n));
    page->IsDirty = true;
    done += n;
    pos = 0;
    no = PageHeader::NextPageNo(page->PageBuffer);
  }
}

// ---- direct -----------------------------------------------------------------

void TORBInternalDBDirectAccessFile::CheckOpen(const char* operation) const {
  if (StartPageNo < 0)
    throw EORBException::Fmt(20156, "Cannot perform this operation (%s) on closed internal file", operation);
}

int64_t TORBInternalDBDirectAccessFile::Capacity() const {
  return static_cast<int64_t>(pages_.size()) * pm_.PageDataSize - kInternalFileHeaderSize;
}

std::pair<int32_t, uint32_t> TORBInternalDBDirectAccessFile::Locate(int64_t position) const {
  const int64_t x = position + kInternalFileHeaderSize;
  const auto index = static_cast<size_t>(x / pm_.PageDataSize);
  if (index >= pages_.size())
    throw EORBException::Fmt(20159, "Seek position bigger then file size. FileSize=%d. Position=%d", size_, position);
  return {pages_[index], static_cast<uint32_t>(pm_.PageHeaderSize + x % pm_.PageDataSize)};
}

void TORBInternalDBDirectAccessFile::Create(int32_t size) {
  if (StartPageNo >= 0)
    throw EORBException::Fmt(20157, "Cannot create Internal file. File already exists. StartPageNo=%d", StartPageNo);
  const int64_t needed = PagesFor(size, pm_.PageDataSize);
  pages_.clear();
  TORBPage* prev = nullptr;
  for (int64_t i = 0; i < needed; ++i) {
    TORBPage* page = pm_.AddPage(kSystemSession, type_);
    page->EncryptOnWrite = false;
    if (i == 0) {
      uint8_t* d = page->Data();
      d[0] = kInternalFileHeaderSize;
      PutLE<int32_t>(d + 1, size);
      PutLE<int32_t>(d + 5, 0);
      d[9] = 0;
    }
    if (prev) {
      PageHeader::SetNextPageNo(prev->PageBuffer, page->PageNo);
      pm_.PutPage(prev);
    }
    pages_.push_back(page->PageNo);
    prev = page;
  }
  pm_.PutPage(prev);
  StartPageNo = pages_.front();
  size_ = size;
}

void TORBInternalDBDirectAccessFile::Open(int32_t startPageNo) {
  pages_.clear();
  StartPageNo = -1;
  // Byte 0 of the first page is the file's lock byte and may be locked by
  // another process: read from byte 1 on.
  uint8_t head[kPageHeaderSize + kInternalFileHeaderSize];
  pm_.ReadPageBytes(head + 1, startPageNo, sizeof head - 1, 1);
  const uint16_t type = PageHeader::Type(head);
  if (type != type_) throw EORBException::Fmt(20155, "Invalid PageType found: %d but wanted: %d", type, type_);
  const int32_t size = GetLE<int32_t>(head + kPageHeaderSize + 1);
  if (size < 0) throw EORBException::Fmt(20155, "Invalid PageType found: %d but wanted: %d", type, type_);
  TORBChainWalk walk;
  const int64_t needed = PagesFor(size, pm_.PageDataSize);
  for (int32_t no = startPageNo; no != -1 && static_cast<int64_t>(pages_.size()) < needed;) {
    walk.Visit(no);
    uint8_t h[kPageHeaderSize];
    pm_.ReadPageBytes(h + 1, no, kPageHeaderSize - 1, 1);
    if (PageHeader::Type(h) != type_)
      throw EORBException::Fmt(20155, "Invalid PageType found: %d but wanted: %d", PageHeader::Type(h), type_);
    pages_.push_back(no);
    no = PageHeader::NextPageNo(h);
  }
  StartPageNo = startPageNo;
  // A chain shorter than its size serves what it holds.
  size_ = static_cast<int32_t>(std::min<int64_t>(size, Capacity()));
}

void TORBInternalDBDirectAccessFile::Delete() {
  CheckOpen("Delete");
  for (int32_t no : pages_) pm_.RemovePage(kSystemSession, no);
  pages_.clear();
  StartPageNo = -1;
  size_ = 0;
}

void TORBInternalDBDirectAccessFile::DirectReadBuffer(void* buffer, int32_t count, int32_t position) {
  CheckOpen("DirectReadBuffer");
  if (position < 0 || count < 0 || static_cast<int64_t>(position) + count > size_)
    throw EORBException::Fmt(20159, "Seek position bigger then file size. FileSize=%d. Position=%d", size_, position);
  auto* dst = static_cast<uint8_t*>(buffer);
  for (int32_t done = 0; done < count;) {
    auto [page, offset] = Locate(position + done);
    const int32_t n = std::min<int32_t>(count - done, static_cast<int32_t>(pm_.PageSize - offset));
    pm_.ReadPageBytes(dst + done, page, static_cast<uint32_t>(n), offset);
    done += n;
  }
}

void TORBInternalDBDirectAccessFile::DirectWriteBuffer(const void* buffer, int32_t count, int32_t position) {
  CheckOpen("DirectWriteBuffer");
  if (position < 0 || count < 0 || static_cast<int64_t>(position) + count > size_)
    throw EORBException::Fmt(20158, "Cannot write after end of file. FileSize=%d. Position=%d, Count=%d", size_,
                             position, count);
  const auto* src = static_cast<const uint8_t*>(buffer);
  for (int32_t done = 0; done < count;) {
    auto [page, offset] = Locate(position + done);
    const int32_t n = std::min<int32_t>(count - done, static_cast<int32_t>(pm_.PageSize - offset));
    pm_.WritePageBytes(src + done, page, static_cast<uint32_t>(n), offset);
    done += n;
  }
}

bool TORBInternalDBDirectAccessFile::LockFile() {
  CheckOpen("LockFile");
  return pm_.LockPageByte(StartPageNo, 0);
}

bool TORBInternalDBDirectAccessFile::UnlockFile() {
  CheckOpen("UnlockFile");
  return pm_.UnlockPageByte(StartPageNo, 0);
}

bool TORBInternalDBDirectAccessFile::LockByte(int32_t position) {
  auto [page, offset] = Locate(position);
  return pm_.LockPageByte(page, offset);
}

bool TORBInternalDBDirectAccessFile::UnlockByte(int32_t position) {
  auto [page, offset] = Locate(position);
  return pm_.UnlockPageByte(page, offset);
}

bool TORBInternalDBDirectAccessFile::IsByteLocked(int32_t position) {
  auto [page, offset] = Locate(position);
  return pm_.IsPageByteLocked(page, offset);
}

bool TORBInternalDBDirectAccessFile::IsRegionLocked(int32_t position, int32_t count) {
  // One lock test per page the range touches.
  for (int32_t done = 0; done < count;) {
    auto [page, offset] = Locate(position + done);
    const int32_t n = std::min<int32_t>(count - done, static_cast<int32_t>(pm_.PageSize - offset));
    if (pm_.IsPageRegionLocked(page, offset, static_cast<uint32_t>(n))) return true;
    done += n;
  }
  return false;
}

}  // namespace orb
