// Record pages and the disk record manager: slots, free-slot search through
// the page index, insert/update/delete, physical navigation and record
// numbers, and the check and repair of the page index.
#include "tables/ORBDiskRecordManager.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "orb/ORBExcept.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBPage.h"
#include "tables/ORBTypes.h"

namespace orb {

TORBSmallRecordPage::TORBSmallRecordPage(TORBPage& page, int32_t recordsPerPage, int32_t recordSize)
    : page_(page), data_(page.Data()), rpp_(recordsPerPage), recordSize_(recordSize),
      bitmapSize_((recordsPerPage + 7) / 8) {
  if (rpp_ <= 0 || bitmapSize_ + static_cast<int64_t>(rpp_) * recordSize_ > static_cast<int64_t>(page.DataSize()))
    throw EORBException("Invalid number of records on page", 20140);
}

void TORBSmallRecordPage::SetUsed(int32_t slot, bool used) {
  if (used) data_[slot / 8] = static_cast<uint8_t>(data_[slot / 8] | (1u << (slot % 8)));
  else data_[slot / 8] = static_cast<uint8_t>(data_[slot / 8] & ~(1u << (slot % 8)));
  page_.IsDirty = true;
}

int32_t TORBSmallRecordPage::UsedCount() const { return UsedBefore(rpp_); }

int32_t TORBSmallRecordPage::UsedBefore(int32_t slot) const {
  int32_t n = 0;
  const int32_t full = slot / 8;
  for (int32_t i = 0; i < full; ++i) n += std::popcount(static_cast<unsigned>(data_[i]));
  if (slot % 8) n += std::popcount(static_cast<unsigned>(data_[full] & ((1u << (slot % 8)) - 1)));
  return n;
}

int32_t TORBSmallRecordPage::FirstFree() const {
  for (int32_t b = 0; b < bitmapSize_; ++b) {
    if (data_[b] == 0xFF) continue;
    const int32_t k = b * 8 + std::countr_one(static_cast<unsigned>(data_[b]));
    return k < rpp_ ? k : -1;
  }
  return -1;
}

int32_t TORBSmallRecordPage::NextUsed(int32_t after) const {
  for (int32_t k = std::max(after + 1, 0); k < rpp_; ++k)
    if (Used(k)) return k;
  return -1;
}

int32_t TORBSmallRecordPage::PriorUsed(int32_t before) const {
  for (int32_t k = std::min(before, rpp_) - 1; k >= 0; --k)
    if (Used(k)) return k;
  return -1;
}

int32_t TORBSmallRecordPage::NthUsed(int32_t n) const {
  for (int32_t k = 0; k < rpp_; ++k)
    if (Used(k) && n-- == 0) return k;
  return -1;
}

TORBDiskRecordManager::TORBDiskRecordManager(TORBPageManager& pm, const TORBFieldDefs& fields, int32_t tableID)
    : pm_(pm), fields_(fields), tableID_(tableID), pageIndex_(pm, 1) {}

void TORBDiskRecordManager::InitLayout(int32_t memoryRecordSize, int32_t recordSize, int32_t fieldCount) {
  memorySize_ = memoryRecordSize;
  recordSize_ = recordSize;
  fieldCount_ = fieldCount;
  rpp_ = orb::RecordsPerPage(pm_.PageDataSize, recordSize);
  pageIndex_.RecordsPerPage = rpp_;
  recordCount_ = 0;
  changeCounter_ = 0;
  scratch_.assign(static_cast<size_t>(recordSize), 0);
}

void TORBDiskRecordManager::CreatePageIndex(int32_t session) { pageIndex_.CreateRoot(session); }

void TORBDiskRecordManager::ReadState(const TORBTableState& state) {
  recordCount_ = state.RecordCount;
  changeCounter_ = state.ChangeCounter;
}

void TORBDiskRecordManager::WriteState(TORBTableState& state) const {
  state.RecordCount = recordCount_;
  state.ChangeCounter = changeCounter_;
}

void TORBDiskRecordManager::ToRecordForm(const uint8_t* memory, uint8_t* stored) const {
  std::memset(stored, 0, static_cast<size_t>(recordSize_));
  const int32_t nb = fields_.NullBitmapSize();
  std::memcpy(stored, memory, static_cast<size_t>(nb));
  for (size_t i = 0; i < fields_.Count(); ++i) {
    const TORBFieldDef& f = fields_[i];
    std::memcpy(stored + f.RecordOffset, memory + f.MemoryOffset, static_cast<size_t>(f.RecordDataSize));
  }
}

void TORBDiskRecordManager::ToMemoryForm(const uint8_t* stored, uint8_t* memory) const {
  std::memset(memory, 0, static_cast<size_t>(memorySize_));
  std::memcpy(memory, stored, static_cast<size_t>(fields_.NullBitmapSize()));
  for (size_t i = 0; i < fields_.Count(); ++i) {
    const TORBFieldDef& f = fields_[i];
    std::memcpy(memory + f.MemoryOffset, stored + f.RecordOffset, static_cast<size_t>(f.RecordDataSize));
  }
}

bool TORBDiskRecordManager::IsTablePage(const TORBPage& page) const {
  if (pm_.PageHeaderSize == 0) return true;
  const uint8_t* h = page.PageBuffer;
  return PageHeader::Version(h) <= 0x7FFFFFFD && PageHeader::Type(h) == ptTableRecord &&
         PageHeader::TableID(h) == tableID_;
}

void TORBDiskRecordManager::CheckSlot(TORBRecordID id) const {
  if (id.PageNo < 0 || id.Slot >= rpp_)
    throw EORBException::Fmt(31151, "Invalid RecordID. PageNo=%d, SlotNo=%d", id.PageNo, id.Slot);
}

bool TORBDiskRecordManager::InsertRecord(int32_t session, const uint8_t* record, TORBRecordID& id) {
  try {
    int32_t pageNo = pageIndex_.FindPageWithRoom(session, 1);
    TORBPageHandle page;
    if (pageNo == -1) {
      page = TORBPageHandle(pm_, pm_.AddPage(session, ptTableRecord));
      std::memset(page->Data(), 0, page->DataSize());
      if (pm_.PageHeaderSize != 0) PageHeader::SetTableID(page->PageBuffer, tableID_);
      pageNo = page->PageNo;
    } else {
      page = TORBPageHandle(pm_, pm_.GetPage(session, pageNo, true, ptTableRecord));
    }
    TORBSmallRecordPage slots(*page, rpp_, recordSize_);
    const int32_t slot = slots.FirstFree();
    if (slot < 0) throw EORBException("Cannot add record to page. Page is full", 20141);
    ToRecordForm(record, scratch_.data());
    // The count goes into the page index first: if that fails the slot stays free.
    pageIndex_.AddOrIncrease(session, pageNo, 1);
    slots.SetUsed(slot, true);
    std::memcpy(slots.Slot(slot), scratch_.data(), scratch_.size());
    ++recordCount_;
    ++changeCounter_;
    id = {pageNo, static_cast<uint16_t>(slot)};
    return true;
  } catch (const EORBException& e) {
    lastError_ = e.what();
    return false;
  }
}

bool TORBDiskRecordManager::UpdateRecord(int32_t session, const uint8_t* record, TORBRecordID id) {
  CheckSlot(id);
  TORBPageHandle page(pm_, pm_.GetPage(session, id.PageNo, true, ptTableRecord));
  TORBSmallRecordPage slots(*page, rpp_, recordSize_);
  if (!slots.Used(id.Slot)) return false;
  ToRecordForm(record, scratch_.data());
  std::memcpy(slots.Slot(id.Slot), scratch_.data(), scratch_.size());
  page->IsDirty = true;
  ++changeCounter_;
  return true;
}

bool TORBDiskRecordManager::DeleteRecord(int32_t session, TORBRecordID id) {
  CheckSlot(id);
  int32_t left;
  {
    TORBPageHandle page(pm_, pm_.GetPage(session, id.PageNo, true, ptTableRecord));
    TORBSmallRecordPage slots(*page, rpp_, recordSize_);
    if (!slots.Used(id.Slot)) return false;
    left = slots.UsedCount() - 1;
    pageIndex_.DecreaseOrSet(session, id.PageNo, 1, left);
    slots.SetUsed(id.Slot, false);
  }
  if (left == 0) pm_.RemovePage(session, id.PageNo);
  --recordCount_;
  ++changeCounter_;
  return true;
}

int TORBDiskRecordManager::CompareRecordIDs(TORBRecordID a, TORBRecordID b) const {
  return orb::CompareRecordIDs(a, b);
}

bool TORBDiskRecordManager::ReadSlot(int32_t session, TORBRecordID id, uint8_t* buffer) {
  if (id.PageNo < 0 || id.Slot >= rpp_) return false;
  TORBPageHandle page(pm_, pm_.GetPage(session, id.PageNo, true, ptAny));
  if (!IsTablePage(*page)) return false;
  TORBSmallRecordPage slots(*page, rpp_, recordSize_);
  if (!slots.Used(id.Slot)) return false;
  if (buffer) ToMemoryForm(slots.Slot(id.Slot), buffer);
  return true;
}

bool TORBDiskRecordManager::ReadIndexedRecord(int32_t session, TORBRecordID id, std::vector<uint8_t>& record) {
  record.assign(static_cast<size_t>(memorySize_), 0);
  return ReadSlot(session, id, record.data());
}

TORBRecordID TORBDiskRecordManager::FirstFrom(int32_t session, int32_t pageNo, bool forward) {
  // Pages listed in the index but no longer the table's are stepped over.
  // Each step moves strictly past the last page number, so the walk ends.
  for (;;) {
    pageNo = forward ? pageIndex_.NextPage(session, pageNo) : pageIndex_.PriorPage(session, pageNo);
    if (pageNo == -1) return {};
    TORBPageHandle page(pm_, pm_.GetPage(session, pageNo, true, ptAny));
    if (!IsTablePage(*page)) continue;
    TORBSmallRecordPage slots(*page, rpp_, recordSize_);
    const int32_t slot = forward ? slots.NextUsed(-1) : slots.PriorUsed(rpp_);
    if (slot >= 0) return {pageNo, static_cast<uint16_t>(slot)};
  }
}

int TORBDiskRecordManager::GetRecord(int32_t session, TORBNavigation& r) {
  if (recordCount_ == 0) return grEOF;
  TORBRecordID found;
  if (r.FromFirst) {
    if (r.Mode == nmPrior) return grBOF;
    if (r.Mode == nmCurrent) return grNotFound;
    found = FirstFrom(session, INT32_MIN, true);
    if (found.PageNo == -1) return grEOF;
  } else if (r.FromLast) {
    if (r.Mode == nmNext) return grEOF;
    if (r.Mode == nmCurrent) return grNotFound;
    found = FirstFrom(session, INT32_MAX, false);
    if (found.PageNo == -1) return grBOF;
  } else if (r.Mode == nmCurrent) {
    if (!ReadSlot(session, r.Current, nullptr)) return grNotFound;
    found = r.Current;
  } else {
    const bool next = r.Mode == nmNext;
    const TORBRecordID cur = r.Current;
    int32_t slot = -1;
    if (cur.PageNo >= 0) {
      TORBPageHandle page(pm_, pm_.GetPage(session, cur.PageNo, true, ptAny));
      if (IsTablePage(*page)) {
        TORBSmallRecordPage slots(*page, rpp_, recordSize_);
        slot = next ? slots.NextUsed(cur.Slot) : slots.PriorUsed(cur.Slot);
      }
    }
    // A page that has gone: carry on at the nearest remaining page.
    found = slot >= 0 ? TORBRecordID{cur.PageNo, static_cast<uint16_t>(slot)} : FirstFrom(session, cur.PageNo, next);
    if (found.PageNo == -1) return next ? grEOF : grBOF;
  }
  if (r.Buffer && !ReadSlot(session, found, r.Buffer))
    throw EORBException::Fmt(20145, "Record not found. PageNo=%d, SlotNo=%d", found.PageNo, found.Slot);
  r.Current = found;
  return grFound;
}

void TORBDiskRecordManager::EmptyAll(int32_t session) {
  std::vector<int32_t> pages;
  pageIndex_.ForEach(session, [&](int32_t page, int32_t) {
    pages.push_back(page);
    return true;
  });
  for (int32_t p : pages) pm_.RemovePage(session, p);
  pageIndex_.Empty(session);
  recordCount_ = 0;
  // Advanced, never reset: a reset would let stale views match again.
  ++changeCounter_;
}

TORBRecordID TORBDiskRecordManager::RecordIDByRecNo(int32_t session, int64_t recNo) {
  const auto& c = pageIndex_.PageCounts(session);
  if (recNo > c.Total) throw EORBException("Cannot set RecNo greater than RecordCount", 20113);
  if (recNo < 1) throw EORBException::Fmt(31152, "Invalid RecNo %d", recNo);
  const size_t i = static_cast<size_t>(std::upper_bound(c.Before.begin(), c.Before.end(), recNo - 1) - c.Before.begin()) - 1;
  const int32_t pageNo = c.Pages[i];
  TORBPageHandle page(pm_, pm_.GetPage(session, pageNo, true, ptTableRecord));
  TORBSmallRecordPage slots(*page, rpp_, recordSize_);
  const int32_t slot = slots.NthUsed(static_cast<int32_t>(recNo - 1 - c.Before[i]));
  if (slot < 0) throw EORBException("Record not found", 20146);
  return {pageNo, static_cast<uint16_t>(slot)};
}

int64_t TORBDiskRecordManager::RecNoByRecordID(int32_t session, TORBRecordID id) {
  const auto& c = pageIndex_.PageCounts(session);
  auto it = std::lower_bound(c.Pages.begin(), c.Pages.end(), id.PageNo);
  if (it == c.Pages.end() || *it != id.PageNo) throw EORBException("Invalid page number", 20114);
  const int64_t before = c.Before[static_cast<size_t>(it - c.Pages.begin())];
  CheckSlot(id);
  TORBPageHandle page(pm_, pm_.GetPage(session, id.PageNo, true, ptTableRecord));
  TORBSmallRecordPage slots(*page, rpp_, recordSize_);
  return before + slots.UsedBefore(id.Slot) + 1;
}

int64_t TORBDiskRecordManager::OrdinalLimit(int32_t session) {
  const auto& c = pageIndex_.PageCounts(session);
  return c.Pages.empty() ? 1 : (static_cast<int64_t>(c.Pages.back()) + 1) * rpp_;
}

void TORBDiskRecordManager::CheckPageIndex(int32_t session) {
  const int64_t sum = pageIndex_.PageCounts(session).Total;
  if (sum != recordCount_)
    throw EORBException::Fmt(20292,
                             "Invalid table RecordPageIndex or MostUpdated. RecordPageIndex.RecordCount=%d, "
                             "MostUpdated.RecordCount=%d",
                             sum, recordCount_);
}

void TORBDiskRecordManager::CheckPages(int32_t session) {
  CheckPageIndex(session);
  pageIndex_.CheckIntegrity(session);
  const auto& c = pageIndex_.PageCounts(session);
  const int32_t total = pm_.GetTotalPageCount();
  for (size_t i = 0; i < c.Pages.size(); ++i) {
    const int32_t pageNo = c.Pages[i];
    const int64_t expected = (i + 1 < c.Pages.size() ? c.Before[i + 1] : c.Total) - c.Before[i];
    if (pageNo < 0 || pageNo >= total)
      throw EORBException::Fmt(31153, "Record page %d of the page index is outside the file", pageNo);
    TORBPageHandle page(pm_, pm_.GetPage(session, pageNo, true, ptAny));
    if (!IsTablePage(*page)) throw EORBException::Fmt(31154, "Page %d of the page index is not a record page of the table", pageNo);
    TORBSmallRecordPage slots(*page, rpp_, recordSize_);
    if (slots.UsedCount() != expected)
      throw EORBException::Fmt(31155, "Record page %d holds %d records, the page index says %d", pageNo,
                               slots.UsedCount(), expected);
  }
}

void TORBDiskRecordManager::RepairPageIndex(int32_t session, const std::function<bool(int32_t)>& inUse) {
  if (recordSize_ >= pm_.PageDataSize)
    throw EORBException::Fmt(10512, "Cannot repair table pages index for larg records table. Table name: \"%s\"",
                             std::to_string(tableID_));
  pageIndex_.Empty(session);
  recordCount_ = 0;
  const int32_t total = pm_.GetTotalPageCount();
  for (int32_t no = 1; no < total; ++no) {
    try {
      if (inUse && !inUse(no)) continue;
      int32_t used;
      {
        TORBPageHandle page(pm_, pm_.GetPage(session, no, false, ptAny));
        if (!IsTablePage(*page) || pm_.PageHeaderSize == 0) continue;
        used = TORBSmallRecordPage(*page, rpp_, recordSize_).UsedCount();
      }
      if (used == 0) continue;
      pageIndex_.AddOrIncrease(session, no, used);
      recordCount_ += used;
    } catch (const EORBException&) {
      // An unreadable page is left out.
    }
  }
  ++changeCounter_;
}

bool GetFieldData(size_t fieldNo, const TORBFieldDefs& fields, const uint8_t* record, void* out) {
  if (fieldNo >= fields.Count())
    throw EORBException::Fmt(10000, "Invalid field number - FieldNo = %d, FieldCount = %d", fieldNo, fields.Count());
  if (FieldIsNull(record, fieldNo)) return false;
  const TORBFieldDef& f = fields[fieldNo];
  if (IsBlobStorage(f.BaseFieldType)) return true;
  if (!out) return true;
  const uint8_t* p = record + f.MemoryOffset;
  switch (f.BaseFieldType) {
    case stShortInt: {
      const int16_t v = static_cast<int8_t>(p[0]);
      std::memcpy(out, &v, 2);
      break;
    }
    case stCardinal: {
      const int64_t v = GetLE<uint32_t>(p);
      std::memcpy(out, &v, 8);
      break;
    }
    case stSingle: {
      float x;
      std::memcpy(&x, p, 4);
      const double v = x;
      std::memcpy(out, &v, 8);
      break;
    }
    case stExtended: {
      long double x = 0;
      std::memcpy(&x, p, 10);
      const double v = static_cast<double>(x);
      std::memcpy(out, &v, 8);
      break;
    }
    default: std::memcpy(out, p, static_cast<size_t>(f.MemoryDataSize));
  }
  return true;
}

void SetFieldData(size_t fieldNo, const TORBFieldDefs& fields, uint8_t* record, const void* value) {
  if (fieldNo >= fields.Count())
    throw EORBException::Fmt(10004, "Invalid field number - FieldNo = %d, FieldCount = %d", fieldNo, fields.Count());
  const TORBFieldDef& f = fields[fieldNo];
  const auto* v = static_cast<const uint8_t*>(value);
  const bool empty = !v || (IsWideStorage(f.BaseFieldType) ? (v[0] == 0 && v[1] == 0)
                                                           : (IsStringStorage(f.BaseFieldType) && v[0] == 0));
  if (empty) {
    SetFieldNull(record, fieldNo, true);
    return;
  }
  SetFieldNull(record, fieldNo, false);
  uint8_t* p = record + f.MemoryOffset;
  switch (f.BaseFieldType) {
    case stShortInt: {
      int16_t x;
      std::memcpy(&x, v, 2);
      p[0] = static_cast<uint8_t>(static_cast<int8_t>(x));
      break;
    }
    case stCardinal: {
      int64_t x;
      std::memcpy(&x, v, 8);
      PutLE<uint32_t>(p, static_cast<uint32_t>(x));
      break;
    }
    case stSingle: {
      double x;
      std::memcpy(&x, v, 8);
      const float y = static_cast<float>(x);
      std::memcpy(p, &y, 4);
      break;
    }
    case stExtended: {
      double x;
      std::memcpy(&x, v, 8);
      const long double y = x;
      std::memset(p, 0, 10);
      std::memcpy(p, &y, 10);
      break;
    }
    default:
      if (IsStringStorage(f.BaseFieldType) && !IsWideStorage(f.BaseFieldType)) {
        // Copy at most the field's bytes; the buffer keeps a terminator.
        const size_t n = strnlen(reinterpret_cast<const char*>(v), static_cast<size_t>(f.MemoryDataSize - 1));
        std::memset(p, 0, static_cast<size_t>(f.MemoryDataSize));
        std::memcpy(p, v, n);
      } else {
        std::memcpy(p, v, static_cast<size_t>(f.MemoryDataSize));
      }
  }
}

}  // namespace orb
