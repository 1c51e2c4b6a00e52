// Index pages (type 12): the 18-byte index header and fixed-size entries,
// read through an accessor that checks every count against the page before
// any entry is touched.
#pragma once
#include <cstdint>
#include <cstring>

#include "storage/ORBFileFormat.h"
#include "storage/ORBPageManager.h"

namespace orb {

namespace BTreeHeader {
constexpr uint32_t kIsRoot = 0, kIsLeaf = 1, kPrevPageNo = 2, kNextPageNo = 6, kRootMarker = 10, kEntryFlag = 11,
                   kKeySize = 12, kEntryCount = 14, kExtraHeaderSize = 16, kSize = 18;
}  // namespace BTreeHeader

constexpr uint32_t kNodePayloadSize = 4;  // child page number

// One index page held for the duration of an operation.
class TORBBTreePage {
 public:
  TORBBTreePage() = default;
  // Reads the page and checks its header against the tree's key and payload
  // sizes; a damaged page raises "Index page is damaged".
  TORBBTreePage(TORBPageManager& pm, int32_t session, int32_t pageNo, uint16_t keySize, uint16_t leafPayload);
  // A fresh page of type 12 with a cleared index header.
  static TORBBTreePage Create(TORBPageManager& pm, int32_t session, uint16_t keySize, uint16_t leafPayload, bool leaf);

  int32_t PageNo() const { return handle_->PageNo; }
  bool IsRoot() const { return d()[BTreeHeader::kIsRoot] != 0; }
  bool IsLeaf() const { return d()[BTreeHeader::kIsLeaf] != 0; }
  int32_t Prev() const { return GetLE<int32_t>(d() + BTreeHeader::kPrevPageNo); }
  int32_t Next() const { return GetLE<int32_t>(d() + BTreeHeader::kNextPageNo); }
  int Count() const { return GetLE<uint16_t>(d() + BTreeHeader::kEntryCount); }
  uint16_t KeySize() const { return keySize_; }
  uint32_t EntrySize() const { return keySize_ + (IsLeaf() ? leafPayload_ : kNodePayloadSize); }
  uint32_t DataSize() const { return handle_->DataSize(); }
  // Entries this page can hold.
  int Capacity() const { return static_cast<int>((DataSize() - BTreeHeader::kSize) / EntrySize()); }
  bool Underfull() const { return Count() * EntrySize() < (DataSize() - BTreeHeader::kSize) / 2; }

  uint8_t* Entry(int i) { return data() + BTreeHeader::kSize + static_cast<uint32_t>(i) * EntrySize(); }
  const uint8_t* Entry(int i) const { return d() + BTreeHeader::kSize + static_cast<uint32_t>(i) * EntrySize(); }
  const uint8_t* Key(int i) const { return Entry(i); }
  const uint8_t* Payload(int i) const { return Entry(i) + keySize_; }
  int32_t Child(int i) const { return GetLE<int32_t>(Payload(i)); }

  void SetRoot(bool v) { data()[BTreeHeader::kIsRoot] = v ? 1 : 0; }
  void SetLeaf(bool v) { data()[BTreeHeader::kIsLeaf] = v ? 1 : 0; }
  void SetPrev(int32_t v) { PutLE(data() + BTreeHeader::kPrevPageNo, v); }
  void SetNext(int32_t v) { PutLE(data() + BTreeHeader::kNextPageNo, v); }
  void SetCount(int n) { PutLE(data() + BTreeHeader::kEntryCount, static_cast<uint16_t>(n)); }
  void SetChild(int i, int32_t child) { PutLE(Entry(i) + keySize_, child); }
  void SetKey(int i, const uint8_t* key) { std::memcpy(Entry(i), key, keySize_); }

  // Inserts `count` entries at position i (the caller checked the room).
  void InsertEntries(int i, const uint8_t* entries, int count);
  void RemoveEntries(int i, int count);
  // Turns the page into an empty one of the given kind, keeping the root flag.
  void Reset(bool leaf);

  void Release() { handle_.Release(); }
  bool Valid() const { return handle_.get() != nullptr; }

 private:
  uint8_t* data() {
    handle_->IsDirty = true;
    return handle_->Data();
  }
  const uint8_t* d() const { return handle_->Data(); }
  void Check(int32_t session);

  TORBPageHandle handle_;
  uint16_t keySize_ = 0;
  uint16_t leafPayload_ = 0;
};

}  // namespace orb
