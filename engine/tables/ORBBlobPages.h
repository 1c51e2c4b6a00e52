// BLOB page formats: the stored reference, the 22-byte BLOB header, shared
// pages of small values, and the page chains of large values with their page
// list. Everything read from a page is checked before it is used.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "storage/ORBPageManager.h"

namespace orb {

constexpr int32_t kBlobRefSize = 6;      // in a stored record
constexpr int32_t kBlobMemorySize = 10;  // in a record buffer: reference + descriptor handle
constexpr int32_t kBlobHeaderSize = 22;
constexpr int32_t kBlobLocatorSize = 10;
constexpr int32_t kLargeBlobDataOffset = kBlobHeaderSize + kBlobLocatorSize;
constexpr int16_t kLargeBlobID = -1;
// Older writers used 255 for large values in some paths; it is read with a
// heuristic and never handed out.
constexpr int16_t kAmbiguousBlobID = 255;

// Native codes of damaged BLOB storage.
constexpr int32_t kErrBlobSharedPage = 31140;
constexpr int32_t kErrBlobLargeHead = 31141;
constexpr int32_t kErrBlobPageList = 31142;
constexpr int32_t kErrBlobPage = 31143;

struct TORBBlobRef {
  int32_t PageNo = -1;
  int16_t BlobID = -1;

  bool IsStored() const { return PageNo != -1; }
  static TORBBlobRef Read(const uint8_t* p);
  void Write(uint8_t* p) const;
};

struct TORBBlobHeader {
  int16_t BlobID = kLargeBlobID;
  int32_t CompressedSize = 0;
  int64_t StoredSize = 0;
  int64_t UncompressedSize = 0;

  static TORBBlobHeader Read(const uint8_t* p);
  void Write(uint8_t* p) const;
};

// Where a large value's page list starts.
struct TORBBlobListLocator {
  int32_t ListPageNo = -1;
  uint16_t ListOffset = 0;
  int32_t ListCount = 0;

  static TORBBlobListLocator Read(const uint8_t* p);
  void Write(uint8_t* p) const;
};

// A value of `storedSize` bytes shares a page with others.
inline bool IsSmallBlob(int64_t storedSize, int32_t pageDataSize) { return storedSize + 24 < pageDataSize; }

// Pages a large value takes (head and data pages, not the pages that only
// hold its page list).
int64_t LargeBlobPageCount(int64_t storedSize, int32_t pageDataSize);

// The data area of a shared BLOB page; the entries are checked against the
// data area when the accessor is made.
class TORBSharedBlobPage {
 public:
  struct Entry {
    uint32_t Offset;  // of the entry's header
    TORBBlobHeader Header;
  };

  TORBSharedBlobPage(uint8_t* data, uint32_t dataSize, int32_t pageNo);

  const std::vector<Entry>& Entries() const { return entries_; }
  // The entry's index, or -1.
  int Find(int16_t blobID) const;
  const uint8_t* Bytes(size_t index) const { return data_ + entries_[index].Offset + kBlobHeaderSize; }
  // Entries and their headers: what the page index counts.
  int32_t UsedBytes() const { return used_; }
  // The first id not on the page, from the entry count upwards through the
  // 16-bit range, never -1 nor 255 ("Invalid blob field ID" when none is left).
  int16_t NewBlobID() const;
  // Appends an entry and returns its id; "Cannot add blob. Page is full…"
  // when the data area cannot hold it.
  // `sizeInIndex` is asked only for the message.
  int16_t Add(TORBBlobHeader header, const uint8_t* bytes, const std::function<int32_t()>& sizeInIndex);
  // Removes an entry and moves the later ones down.
  void Remove(size_t index);

 private:
  void WriteCount();
  uint8_t* data_;
  uint32_t dataSize_;
  int32_t used_ = 0;
  std::vector<Entry> entries_;
};

// A large value's head page as read, with its checked page list.
struct TORBLargeBlob {
  TORBBlobHeader Header;
  TORBBlobListLocator Locator;
  std::vector<int32_t> Pages;      // head first, then the data pages in order
  std::vector<int32_t> ListPages;  // every page holding part of the list
};

// Page access and the chains of large values for one page manager.
class TORBBlobPages {
 public:
  explicit TORBBlobPages(TORBPageManager& pm);

  int32_t DataSize() const { return pm_.PageDataSize; }
  // A BLOB page of the session; a page of another type, a freed page or a
  // page number that cannot be one raises.
  TORBPageHandle Get(int32_t session, int32_t pageNo);
  TORBPageHandle Add(int32_t session);

  // Stores the bytes in a chain and returns the head page.
  int32_t StoreLarge(int32_t session, TORBBlobHeader header, const uint8_t* bytes);
  TORBLargeBlob ReadLargeHead(int32_t session, int32_t headPageNo);
  std::vector<uint8_t> ReadLargeBytes(int32_t session, const TORBLargeBlob& blob);
  void FreeLarge(int32_t session, int32_t headPageNo);

  // Whether a reference with the ambiguous id names a large value first.
  bool LooksLarge(int32_t session, int32_t pageNo);

 private:
  TORBPageManager& pm_;
};

}  // namespace orb
