// Index page accessor: header checks and entry moves.
#include "tables/ORBBTreePage.h"

#include "orb/ORBExcept.h"

namespace orb {

TORBBTreePage::TORBBTreePage(TORBPageManager& pm, int32_t session, int32_t pageNo, uint16_t keySize,
                             uint16_t leafPayload)
    : keySize_(keySize), leafPayload_(leafPayload) {
  // Pages past the end of the store fail their type check in GetPage.
  if (pageNo < 0)
    throw EORBException::Fmt(31130, "Index error: invalid page number %d", pageNo);
  handle_ = TORBPageHandle(pm, pm.GetPage(session, pageNo, true, ptTableIndex));
  Check(session);
}

TORBBTreePage TORBBTreePage::Create(TORBPageManager& pm, int32_t session, uint16_t keySize, uint16_t leafPayload,
                                    bool leaf) {
  TORBBTreePage p;
  p.keySize_ = keySize;
  p.leafPayload_ = leafPayload;
  p.handle_ = TORBPageHandle(pm, pm.AddPage(session, ptTableIndex));
  uint8_t* d = p.data();
  std::memset(d, 0, p.DataSize());
  p.SetLeaf(leaf);
  p.SetPrev(-1);
  p.SetNext(-1);
  PutLE(d + BTreeHeader::kKeySize, keySize);
  return p;
}

void TORBBTreePage::Check(int32_t) {
  const uint8_t* d = this->d();
  const uint32_t dataSize = DataSize();
  const bool sane = d[BTreeHeader::kIsRoot] <= 1 && d[BTreeHeader::kIsLeaf] <= 1 && d[BTreeHeader::kEntryFlag] == 0 &&
                    GetLE<uint16_t>(d + BTreeHeader::kKeySize) == keySize_ &&
                    GetLE<uint16_t>(d + BTreeHeader::kExtraHeaderSize) == 0 && dataSize > BTreeHeader::kSize &&
                    BTreeHeader::kSize + static_cast<uint64_t>(Count()) * EntrySize() <= dataSize;
  if (!sane) throw EORBException::Fmt(31131, "Index page is damaged. PageNo=%d", handle_->PageNo);
}

void TORBBTreePage::InsertEntries(int i, const uint8_t* entries, int count) {
  const uint32_t es = EntrySize();
  uint8_t* at = Entry(i);
  std::memmove(at + count * es, at, static_cast<size_t>(Count() - i) * es);
  std::memcpy(at, entries, static_cast<size_t>(count) * es);
  SetCount(Count() + count);
}

void TORBBTreePage::RemoveEntries(int i, int count) {
  const uint32_t es = EntrySize();
  uint8_t* at = Entry(i);
  std::memmove(at, at + count * es, static_cast<size_t>(Count() - i - count) * es);
  SetCount(Count() - count);
}

void TORBBTreePage::Reset(bool leaf) {
  const bool root = IsRoot();
  uint8_t* d = data();
  std::memset(d, 0, BTreeHeader::kSize);
  SetRoot(root);
  SetLeaf(leaf);
  SetPrev(-1);
  SetNext(-1);
  d[BTreeHeader::kRootMarker] = root ? 1 : 0;
  PutLE(d + BTreeHeader::kKeySize, keySize_);
}

}  // namespace orb
