// BLOB page formats: shared pages of small values and the chains of large ones.
#include "tables/ORBBlobPages.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "orb/ORBExcept.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBPage.h"

namespace orb {

TORBBlobRef TORBBlobRef::Read(const uint8_t* p) { return {GetLE<int32_t>(p), GetLE<int16_t>(p + 4)}; }

void TORBBlobRef::Write(uint8_t* p) const {
  PutLE(p, PageNo);
  PutLE(p + 4, BlobID);
}

TORBBlobHeader TORBBlobHeader::Read(const uint8_t* p) {
  TORBBlobHeader h;
  h.BlobID = GetLE<int16_t>(p);
  h.CompressedSize = GetLE<int32_t>(p + 2);
  h.StoredSize = GetLE<int64_t>(p + 6);
  h.UncompressedSize = GetLE<int64_t>(p + 14);
  return h;
}

void TORBBlobHeader::Write(uint8_t* p) const {
  PutLE(p, BlobID);
  PutLE(p + 2, CompressedSize);
  PutLE(p + 6, StoredSize);
  PutLE(p + 14, UncompressedSize);
}

TORBBlobListLocator TORBBlobListLocator::Read(const uint8_t* p) {
  return {GetLE<int32_t>(p), GetLE<uint16_t>(p + 4), GetLE<int32_t>(p + 6)};
}

void TORBBlobListLocator::Write(uint8_t* p) const {
  PutLE(p, ListPageNo);
  PutLE(p + 4, ListOffset);
  PutLE(p + 6, ListCount);
}

int64_t LargeBlobPageCount(int64_t storedSize, int32_t pageDataSize) {
  const int64_t inHead = pageDataSize - kLargeBlobDataOffset;
  if (storedSize <= inHead) return 1;
  return 1 + (storedSize - inHead + pageDataSize - 1) / pageDataSize;
}

// ---- shared pages -------------------------------------------------------------

TORBSharedBlobPage::TORBSharedBlobPage(uint8_t* data, uint32_t dataSize, int32_t pageNo)
    : data_(data), dataSize_(dataSize) {
  const uint32_t count = GetLE<uint16_t>(data);
  if (count > (dataSize - 2) / kBlobHeaderSize)
    throw EORBException::Fmt(kErrBlobSharedPage, "Invalid blob page %d: BlobCount=%d cannot fit in %d bytes", pageNo,
                             count, dataSize);
  entries_.reserve(count);
  uint32_t offset = 2;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t room = dataSize - offset;
    if (room < kBlobHeaderSize)
      throw EORBException::Fmt(kErrBlobSharedPage, "Invalid blob page %d: blob %d of %d starts past the page end",
                               pageNo, i, count);
    Entry e{offset, TORBBlobHeader::Read(data + offset)};
    if (e.Header.StoredSize < 0 || e.Header.StoredSize > room - kBlobHeaderSize)
      throw EORBException::Fmt(kErrBlobSharedPage, "Invalid blob page %d: blob %d has size %d at offset %d", pageNo, i,
                               e.Header.StoredSize, offset);
    offset += kBlobHeaderSize + static_cast<uint32_t>(e.Header.StoredSize);
    entries_.push_back(e);
  }
  used_ = static_cast<int32_t>(offset - 2);
  // Every value read parses its page: one sorted copy of the ids, not a hash set.
  std::vector<int16_t> ids(count);
  for (uint32_t i = 0; i < count; ++i) ids[i] = entries_[i].Header.BlobID;
  std::sort(ids.begin(), ids.end());
  const auto twice = std::adjacent_find(ids.begin(), ids.end());
  if (twice != ids.end())
    throw EORBException::Fmt(kErrBlobSharedPage, "Invalid blob page %d: BlobID %d is used twice", pageNo, *twice);
}

int TORBSharedBlobPage::Find(int16_t blobID) const {
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].Header.BlobID == blobID) return static_cast<int>(i);
  return -1;
}

int16_t TORBSharedBlobPage::NewBlobID() const {
  std::vector<bool> taken(65536);
  for (const Entry& e : entries_) taken[static_cast<uint16_t>(e.Header.BlobID)] = true;
  int16_t id = static_cast<int16_t>(entries_.size());
  for (int tries = 0; tries < 65536; ++tries, id = static_cast<int16_t>(id + 1)) {
    if (id == kLargeBlobID || id == kAmbiguousBlobID) continue;
    if (!taken[static_cast<uint16_t>(id)]) return id;
  }
  throw EORBException("Invalid blob field ID", 20172);
}

int16_t TORBSharedBlobPage::Add(TORBBlobHeader header, const uint8_t* bytes,
                                const std::function<int32_t()>& sizeInIndex) {
  const int64_t offset = 2 + int64_t{used_};
  if (offset + kBlobHeaderSize + header.StoredSize > dataSize_)
    throw EORBException::Fmt(20290,
                             "Cannot add blob. Page is full: BlobCount=%d, BlobOffset=%d, BlobSize=%d, PageDataSize=%d, "
                             "SizeInBlobPageIndex=%d",
                             entries_.size(), offset, header.StoredSize, dataSize_, sizeInIndex());
  header.BlobID = NewBlobID();
  header.Write(data_ + offset);
  if (header.StoredSize > 0)
    std::memcpy(data_ + offset + kBlobHeaderSize, bytes, static_cast<size_t>(header.StoredSize));
  entries_.push_back({static_cast<uint32_t>(offset), header});
  used_ += kBlobHeaderSize + static_cast<int32_t>(header.StoredSize);
  WriteCount();
  return header.BlobID;
}

void TORBSharedBlobPage::Remove(size_t index) {
  const uint32_t start = entries_[index].Offset;
  const uint32_t length = kBlobHeaderSize + static_cast<uint32_t>(entries_[index].Header.StoredSize);
  const uint32_t end = 2 + static_cast<uint32_t>(used_);
  std::memmove(data_ + start, data_ + start + length, end - start - length);
  std::memset(data_ + end - length, 0, length);
  entries_.erase(entries_.begin() + static_cast<long>(index));
  for (size_t i = index; i < entries_.size(); ++i) entries_[i].Offset -= length;
  used_ -= static_cast<int32_t>(length);
  WriteCount();
}

void TORBSharedBlobPage::WriteCount() { PutLE(data_, static_cast<uint16_t>(entries_.size())); }

// ---- page access and large values --------------------------------------------

TORBBlobPages::TORBBlobPages(TORBPageManager& pm) : pm_(pm) {
  // Page lists are linked through the page header.
  if (pm.PageHeaderSize < PageHeader::kNextPageNo + 4 || pm.PageDataSize <= kLargeBlobDataOffset + 24)
    throw EORBException::Fmt(31144, "BLOB storage needs pages with a header (page size %d, header %d)", pm.PageSize,
                             pm.PageHeaderSize);
}

TORBPageHandle TORBBlobPages::Get(int32_t session, int32_t pageNo) {
  if (pageNo < 0) throw EORBException::Fmt(kErrBlobPage, "Invalid blob page number %d", pageNo);
  TORBPageHandle page(pm_, pm_.GetPage(session, pageNo, true, ptTableBlob));
  const uint16_t type = PageHeader::Type(page->PageBuffer);
  if (type != ptTableBlob)
    throw EORBException::Fmt(kErrBlobPage, "Page %d is not a blob page (page type %d)", pageNo, type);
  if (PageHeader::Version(page->PageBuffer) == kFreedPageVersion)
    throw EORBException::Fmt(kErrBlobPage, "Blob page %d has been freed", pageNo);
  return page;
}

TORBPageHandle TORBBlobPages::Add(int32_t session) {
  TORBPageHandle page(pm_, pm_.AddPage(session, ptTableBlob));
  PageHeader::SetNextPageNo(page->PageBuffer, -1);
  return page;
}

int32_t TORBBlobPages::StoreLarge(int32_t session, TORBBlobHeader header, const uint8_t* bytes) {
  const int64_t size = header.StoredSize;
  const int64_t dataSize = DataSize();
  TORBPageHandle head = Add(session);
  std::vector<int32_t> pages{head->PageNo};
  int64_t done = std::min<int64_t>(size, dataSize - kLargeBlobDataOffset);
  if (done > 0) std::memcpy(head->Data() + kLargeBlobDataOffset, bytes, static_cast<size_t>(done));
  TORBPage* last = head.get();
  int64_t lastEnd = kLargeBlobDataOffset + done;
  TORBPageHandle dataPage;
  while (done < size) {
    dataPage = Add(session);
    const int64_t chunk = std::min(size - done, dataSize);
    std::memcpy(dataPage->Data(), bytes + done, static_cast<size_t>(chunk));
    pages.push_back(dataPage->PageNo);
    done += chunk;
    last = dataPage.get();
    lastEnd = chunk;
  }

  // The list follows the last byte; a full last page puts it on a fresh one.
  std::vector<uint8_t> list(pages.size() * 4);
  for (size_t i = 0; i < pages.size(); ++i) PutLE(&list[i * 4], pages[i]);
  std::vector<TORBPageHandle> listPages;
  if (lastEnd == dataSize) {
    listPages.push_back(Add(session));
    last = listPages.back().get();
    lastEnd = 0;
  }
  TORBBlobListLocator locator{last->PageNo, static_cast<uint16_t>(lastEnd), static_cast<int32_t>(pages.size())};
  size_t written = 0;
  for (;;) {
    const size_t take = std::min(list.size() - written, static_cast<size_t>(dataSize - lastEnd));
    std::memcpy(last->Data() + lastEnd, list.data() + written, take);
    written += take;
    if (written == list.size()) break;
    listPages.push_back(Add(session));
    PageHeader::SetNextPageNo(last->PageBuffer, listPages.back()->PageNo);
    last = listPages.back().get();
    lastEnd = 0;
  }

  header.BlobID = kLargeBlobID;
  header.Write(head->Data());
  locator.Write(head->Data() + kBlobHeaderSize);
  return head->PageNo;
}

TORBLargeBlob TORBBlobPages::ReadLargeHead(int32_t session, int32_t headPageNo) {
  TORBLargeBlob b;
  {
    TORBPageHandle head = Get(session, headPageNo);
    b.Header = TORBBlobHeader::Read(head->Data());
    b.Locator = TORBBlobListLocator::Read(head->Data() + kBlobHeaderSize);
  }
  const int32_t dataSize = DataSize();
  const TORBBlobHeader& h = b.Header;
  const TORBBlobListLocator& l = b.Locator;
  if (h.BlobID != kLargeBlobID)
    throw EORBException::Fmt(kErrBlobLargeHead, "Invalid large blob at page %d: BlobID=%d", headPageNo, h.BlobID);
  // A value cannot take more pages than the file has.
  const int64_t maxPages = std::max<int64_t>(pm_.GetTotalPageCount(), 1);
  if (h.StoredSize < 0 || h.StoredSize > maxPages * dataSize)
    throw EORBException::Fmt(kErrBlobLargeHead, "Invalid large blob at page %d: StoredSize=%d", headPageNo,
                             h.StoredSize);
  const int64_t count = LargeBlobPageCount(h.StoredSize, dataSize);
  if (l.ListCount != count || l.ListOffset >= dataSize || l.ListPageNo < 0)
    throw EORBException::Fmt(kErrBlobLargeHead,
                             "Invalid large blob at page %d: ListPageNo=%d, ListOffset=%d, ListCount=%d, StoredSize=%d",
                             headPageNo, l.ListPageNo, l.ListOffset, l.ListCount, h.StoredSize);

  std::vector<uint8_t> list;
  const size_t need = static_cast<size_t>(count) * 4;
  list.reserve(need);
  std::unordered_set<int32_t> seen;
  int32_t pageNo = l.ListPageNo;
  uint32_t offset = l.ListOffset;
  for (;;) {
    if (!seen.insert(pageNo).second)
      throw EORBException::Fmt(kErrBlobPageList, "Page list of blob %d loops at page %d", headPageNo, pageNo);
    TORBPageHandle page = Get(session, pageNo);
    b.ListPages.push_back(pageNo);
    const size_t take = std::min(need - list.size(), static_cast<size_t>(dataSize - offset));
    list.insert(list.end(), page->Data() + offset, page->Data() + offset + take);
    if (list.size() == need) break;
    pageNo = PageHeader::NextPageNo(page->PageBuffer);
    offset = 0;
    if (pageNo == -1)
      throw EORBException::Fmt(kErrBlobPageList, "Page list of blob %d ends early at page %d", headPageNo,
                               b.ListPages.back());
  }

  seen.clear();
  for (size_t i = 0; i < need; i += 4) {
    const int32_t no = GetLE<int32_t>(&list[i]);
    if (no < 0 || !seen.insert(no).second || (i == 0 && no != headPageNo))
      throw EORBException::Fmt(kErrBlobPageList, "Page list of blob %d is damaged at entry %d (page %d)", headPageNo,
                               i / 4, no);
    b.Pages.push_back(no);
  }
  return b;
}

std::vector<uint8_t> TORBBlobPages::ReadLargeBytes(int32_t session, const TORBLargeBlob& blob) {
  std::vector<uint8_t> out(static_cast<size_t>(blob.Header.StoredSize));
  size_t done = 0;
  for (size_t i = 0; i < blob.Pages.size() && done < out.size(); ++i) {
    TORBPageHandle page = Get(session, blob.Pages[i]);
    const size_t offset = i == 0 ? kLargeBlobDataOffset : 0;
    const size_t take = std::min(out.size() - done, static_cast<size_t>(DataSize()) - offset);
    std::memcpy(out.data() + done, page->Data() + offset, take);
    done += take;
  }
  return out;
}

void TORBBlobPages::FreeLarge(int32_t session, int32_t headPageNo) {
  const TORBLargeBlob blob = ReadLargeHead(session, headPageNo);
  std::vector<int32_t> pages = blob.Pages;
  pages.insert(pages.end(), blob.ListPages.begin(), blob.ListPages.end());
  std::sort(pages.begin(), pages.end());
  pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
  // Every page is checked before any is freed: a damaged list must not free
  // pages that are not this value's.
  for (int32_t no : pages) Get(session, no);
  for (int32_t no : pages) pm_.RemovePage(session, no);
}

bool TORBBlobPages::LooksLarge(int32_t session, int32_t pageNo) {
  TORBPageHandle page = Get(session, pageNo);
  const int64_t stored = GetLE<int64_t>(page->Data() + 6);
  const int64_t listCount = GetLE<int32_t>(page->Data() + kBlobHeaderSize + 6);
  const int64_t dataSize = DataSize();
  if (stored >= listCount * dataSize) return false;
  return (listCount - 2) * dataSize < stored;
}

}  // namespace orb
