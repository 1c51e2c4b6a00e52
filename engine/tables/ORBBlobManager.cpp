// The BLOB manager: descriptors of record buffers, storing, reading and
// freeing values, and values opened as streams.
#include "tables/ORBBlobManager.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "orb/ORBExcept.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBPage.h"
#include "tables/ORBTypes.h"

namespace orb {

TORBBlobRef BlobRefOf(const uint8_t* record, const TORBFieldDef& field) {
  return TORBBlobRef::Read(record + field.MemoryOffset);
}

void SetBlobRef(uint8_t* record, const TORBFieldDef& field, TORBBlobRef ref) { ref.Write(record + field.MemoryOffset); }

uint32_t BlobHandleOf(const uint8_t* record, const TORBFieldDef& field) {
  return GetLE<uint32_t>(record + field.MemoryOffset + kBlobRefSize);
}

void SetBlobHandle(uint8_t* record, const TORBFieldDef& field, uint32_t handle) {
  PutLE(record + field.MemoryOffset + kBlobRefSize, handle);
}

void ClearBlobFields(const TORBFieldDefs& fields, uint8_t* record) {
  for (const TORBFieldDef& f : fields.Items()) {
    if (!IsBlobStorage(f.BaseFieldType)) continue;
    SetBlobRef(record, f, {});
    SetBlobHandle(record, f, 0);
  }
}

bool RecordBuffersEqual(const TORBFieldDefs& fields, const uint8_t* a, const uint8_t* b, size_t length) {
  size_t from = 0;
  auto same = [&](size_t to) {
    to = std::min(to, length);
    return from >= to || std::memcmp(a + from, b + from, to - from) == 0;
  };
  // Fields lie in ascending MemoryOffset order (ComputeOffsets).
  for (const TORBFieldDef& f : fields.Items()) {
    if (!IsBlobStorage(f.BaseFieldType)) continue;
    const size_t handle = static_cast<size_t>(f.MemoryOffset) + kBlobRefSize;
    if (!same(handle)) return false;
    from = std::max(from, handle + 4);
  }
  return same(length);
}

// ---- value streams ------------------------------------------------------------

TORBBlobValueStream::TORBBlobValueStream(size_t fieldNo, std::unique_ptr<TORBTemporaryStream> base, bool truncate,
                                         const TORBCompressedStreamInfo& info, bool written)
    : fieldNo_(fieldNo), written_(written), base_(std::move(base)) {
  value_ = std::make_unique<TORBCompressedBLOBStream>(*base_, false, truncate, info);
}

int64_t TORBBlobValueStream::Write(const void* buffer, int64_t count) {
  written_ = true;
  return value_->Write(buffer, count);
}

void TORBBlobValueStream::SetSize(int64_t size) {
  written_ = true;
  value_->SetSize(size);
}

TORBBlobData TORBBlobValueStream::StoredValue() {
  const TORBCompressedStreamInfo info = value_->Info();
  if (info.BlockCount > INT32_MAX) throw EORBException("Invalid blob field size", 20248);
  TORBBlobData d;
  d.CompressedSize = static_cast<int32_t>(info.BlockCount);
  d.UncompressedSize = info.UncompressedSize;
  // Shrinking can leave bytes past the last block in the scratch stream.
  const auto& blocks = value_->Blocks();
  const int64_t end = info.Algorithm == 0 ? value_->GetSize()
                      : blocks.empty()    ? 0
                                          : blocks.back().Offset + blocks.back().BlockLength;
  d.Bytes.resize(static_cast<size_t>(end));
  if (end > 0) {
    base_->SetPositionChecked(0, 20162);
    base_->ReadExactly(d.Bytes.data(), end, 20162);
  }
  return d;
}

// ---- manager ------------------------------------------------------------------

TORBDiskBlobManager::TORBDiskBlobManager(TORBPageManager& pm, const TORBFieldDefs& fields, TORBPageCountIndex& index)
    : pm_(pm), pages_(pm), fields_(fields), index_(index) {}

TORBDiskBlobManager::~TORBDiskBlobManager() = default;

void TORBDiskBlobManager::CheckReleased() const {
  if (!descriptors_.empty()) throw EORBException("Blob cache not released", 20150);
}

void TORBDiskBlobManager::CreateIndex(int32_t session) {
  for (const TORBFieldDef& f : fields_.Items())
    if (IsBlobStorage(f.BaseFieldType) && f.BlobBlockSize <= 0)
      throw EORBException::Fmt(10421, "BLOB block size should be > 0 for field %s", f.Name);
  index_.CreateRoot(session);
}

void TORBDiskBlobManager::ReadIndexRoot(const std::vector<uint8_t>& state) {
  if (state.size() < 4) throw EORBException("Invalid table header data", 20164);
  index_.SetRoot(GetLE<int32_t>(state.data()));
}

std::vector<uint8_t> TORBDiskBlobManager::WriteIndexRoot() const {
  std::vector<uint8_t> state(4);
  PutLE(state.data(), index_.RootPageNo());
  return state;
}

const TORBFieldDef& TORBDiskBlobManager::BlobField(size_t fieldNo) const {
  if (fieldNo >= fields_.Count() || !IsBlobStorage(fields_[fieldNo].BaseFieldType))
    throw EORBException::Fmt(31145, "Field #%d is not a BLOB field", fieldNo);
  return fields_[fieldNo];
}

TORBBlobRef TORBDiskBlobManager::StoredRef(const uint8_t* record, size_t fieldNo) const {
  if (FieldIsNull(record, fieldNo)) return {};
  return BlobRefOf(record, BlobField(fieldNo));
}

// ---- descriptors --------------------------------------------------------------

TORBBlobDescriptor* TORBDiskBlobManager::Descriptor(const uint8_t* record, size_t fieldNo) {
  auto it = descriptors_.find(BlobHandleOf(record, BlobField(fieldNo)));
  return it == descriptors_.end() ? nullptr : it->second.get();
}

TORBBlobDescriptor& TORBDiskBlobManager::AttachDescriptor(uint8_t* record, size_t fieldNo) {
  ReleaseDescriptor(record, fieldNo, true);
  while (nextHandle_ == 0 || descriptors_.count(nextHandle_)) ++nextHandle_;
  const uint32_t handle = nextHandle_++;
  auto& d = descriptors_[handle];
  d = std::make_unique<TORBBlobDescriptor>();
  SetBlobHandle(record, fields_[fieldNo], handle);
  return *d;
}

void TORBDiskBlobManager::ReleaseDescriptor(uint8_t* record, size_t fieldNo, bool force) {
  const TORBFieldDef& f = BlobField(fieldNo);
  auto it = descriptors_.find(BlobHandleOf(record, f));
  if (it != descriptors_.end()) {
    if (it->second->Modified && !force) return;
    descriptors_.erase(it);
  }
  SetBlobHandle(record, f, 0);
}

void TORBDiskBlobManager::ReleaseDescriptors(uint8_t* record, bool force) {
  for (size_t i = 0; i < fields_.Count(); ++i)
    if (IsBlobStorage(fields_[i].BaseFieldType)) ReleaseDescriptor(record, i, force);
}

TORBBlobDescriptor& TORBDiskBlobManager::Replace(uint8_t* record, size_t fieldNo, TORBBlobData value) {
  TORBBlobDescriptor& d = AttachDescriptor(record, fieldNo);
  d.Value = std::move(value);
  d.Modified = true;
  SetFieldNull(record, fieldNo, d.Value.Bytes.empty());
  return d;
}

void TORBDiskBlobManager::LoadBlob(int32_t session, uint8_t* record, size_t fieldNo) {
  const TORBBlobRef ref = StoredRef(record, fieldNo);
  if (!ref.IsStored() || Descriptor(record, fieldNo)) return;
  TORBBlobData value = ReadValue(session, ref);
  AttachDescriptor(record, fieldNo).Value = std::move(value);
}

TORBBlobSizes TORBDiskBlobManager::ReadBlob(int32_t session, uint8_t* record, TORBStream& stream, size_t fieldNo) {
  BlobField(fieldNo);
  if (FieldIsNull(record, fieldNo)) return {};
  LoadBlob(session, record, fieldNo);
  const TORBBlobDescriptor* d = Descriptor(record, fieldNo);
  if (!d) throw EORBException("Cannot read BLOB field value", 20162);
  const std::vector<uint8_t>& bytes = d->Value.Bytes;
  if (!bytes.empty()) stream.WriteExactly(bytes.data(), static_cast<int64_t>(bytes.size()), 20162);
  return d->Value;
}

bool TORBDiskBlobManager::ReadPlainValue(int32_t session, const uint8_t* record, size_t fieldNo,
                                         std::vector<uint8_t>& value) {
  const TORBFieldDef& f = BlobField(fieldNo);
  if (f.BlobCompressionAlgorithm != 0 || Descriptor(record, fieldNo)) return false;
  value.clear();
  if (FieldIsNull(record, fieldNo)) return true;
  const TORBBlobRef ref = StoredRef(record, fieldNo);
  if (!ref.IsStored()) return false;
  TORBBlobData v = ReadValue(session, ref);
  if (v.UncompressedSize < 0) throw EORBException("Invalid blob field size", 20248);
  // As the stream would: the stored bytes must hold the whole value.
  if (static_cast<int64_t>(v.Bytes.size()) < v.UncompressedSize)
    throw EORBException::Fmt(10081, "Stream size = %d too small. Should be at least = %d",
                             static_cast<int64_t>(v.Bytes.size()), v.UncompressedSize);
  v.Bytes.resize(static_cast<size_t>(v.UncompressedSize));
  value = std::move(v.Bytes);
  return true;
}

TORBBlobData TORBDiskBlobManager::GetBlobData(int32_t session, uint8_t* record, size_t fieldNo) {
  BlobField(fieldNo);
  if (FieldIsNull(record, fieldNo)) return {};
  LoadBlob(session, record, fieldNo);
  const TORBBlobDescriptor* d = Descriptor(record, fieldNo);
  if (!d) throw EORBException("Cannot read BLOB field value", 20291);
  return d->Value;
}

void TORBDiskBlobManager::StoreBlobStream(uint8_t* record, TORBBlobValueStream& stream) {
  if (stream.Written()) Replace(record, stream.FieldNo(), stream.StoredValue());
}

void TORBDiskBlobManager::SetBlobData(uint8_t* record, size_t fieldNo, const uint8_t* bytes, int64_t storedSize,
                                      const TORBBlobSizes& sizes) {
  BlobField(fieldNo);
  if (storedSize < 0 || sizes.UncompressedSize < 0) throw EORBException("Invalid blob field size", 20248);
  if (storedSize > 0 && !bytes) throw EORBException("Pointer is nil", 20161);
  TORBBlobData value;
  static_cast<TORBBlobSizes&>(value) = sizes;
  value.Bytes.assign(bytes, bytes + storedSize);
  Replace(record, fieldNo, std::move(value));
}

void TORBDiskBlobManager::WriteRecordBlobs(int32_t session, uint8_t* record) {
  for (size_t i = 0; i < fields_.Count(); ++i) {
    const TORBFieldDef& f = fields_[i];
    if (!IsBlobStorage(f.BaseFieldType)) continue;
    TORBBlobDescriptor* d = Descriptor(record, i);
    if (!d || !d->Modified) continue;
    // A field emptied by the new value still names its old one.
    TORBBlobRef ref = BlobRefOf(record, f);
    FreeValue(session, ref);
    SetBlobRef(record, f, ref);
    if (d->Value.UncompressedSize != 0) ref = StoreValue(session, d->Value);
    SetBlobRef(record, f, ref);
    SetFieldNull(record, i, !ref.IsStored());
    d->Modified = false;
    ReleaseDescriptor(record, i, true);
  }
}

void TORBDiskBlobManager::AdoptStoredRefs(int32_t session, uint8_t* record, const uint8_t* stored) {
  for (size_t i = 0; i < fields_.Count(); ++i) {
    const TORBFieldDef& f = fields_[i];
    if (!IsBlobStorage(f.BaseFieldType)) continue;
    TORBBlobRef owned = StoredRef(stored, i);
    const TORBBlobDescriptor* d = Descriptor(record, i);
    const TORBBlobRef given = StoredRef(record, i);
    if (!(d && d->Modified) && !given.IsStored() && owned.IsStored()) FreeValue(session, owned);
    SetBlobRef(record, f, owned);
    if (!(d && d->Modified)) SetFieldNull(record, i, !owned.IsStored());
  }
}

void TORBDiskBlobManager::DeleteRecordBlobs(int32_t session, uint8_t* record) {
  for (size_t i = 0; i < fields_.Count(); ++i) {
    const TORBFieldDef& f = fields_[i];
    if (!IsBlobStorage(f.BaseFieldType)) continue;
    TORBBlobRef ref = StoredRef(record, i);
    if (ref.IsStored()) {
      FreeValue(session, ref);
      SetBlobRef(record, f, ref);
    }
    if (TORBBlobDescriptor* d = Descriptor(record, i)) d->Modified = false;
  }
}

void TORBDiskBlobManager::FreeAll(int32_t session, const TORBRecordWalk& walk) {
  walk(session, [&](uint8_t* record) {
    bool changed = false;
    for (size_t i = 0; i < fields_.Count(); ++i) {
      if (!IsBlobStorage(fields_[i].BaseFieldType)) continue;
      TORBBlobRef ref = StoredRef(record, i);
      if (!ref.IsStored()) continue;
      FreeValue(session, ref);
      SetBlobRef(record, fields_[i], ref);
      SetFieldNull(record, i, true);
      changed = true;
    }
    return changed;
  });
  index_.Empty(session);
}

void TORBDiskBlobManager::DropAll(int32_t session, const TORBRecordWalk& walk) {
  FreeAll(session, walk);
  index_.Drop(session);
}

std::unique_ptr<TORBBlobValueStream> TORBDiskBlobManager::OpenBlobStream(int32_t session, uint8_t* record,
                                                                         size_t fieldNo, bool keepValue,
                                                                         bool memoryOnly) {
  const TORBFieldDef& f = BlobField(fieldNo);
  if (f.BlobBlockSize <= 0) throw EORBException::Fmt(20149, "Stream block size = %d is not allowed", f.BlobBlockSize);
  TORBCompressedStreamInfo info;
  info.BlockSize = f.BlobBlockSize;
  info.Algorithm = f.BlobCompressionAlgorithm;
  info.Mode = f.BlobCompressionMode;
  auto base = std::make_unique<TORBTemporaryStream>(memoryOnly);
  if (!keepValue || !record || FieldIsNull(record, fieldNo))
    return std::make_unique<TORBBlobValueStream>(fieldNo, std::move(base), true, info, !keepValue);
  try {
    const TORBBlobSizes sizes = ReadBlob(session, record, *base, fieldNo);
    if (sizes.UncompressedSize < 0) throw EORBException("Invalid blob field size", 20248);
    info.BlockCount = sizes.CompressedSize;
    info.UncompressedSize = sizes.UncompressedSize;
    return std::make_unique<TORBBlobValueStream>(fieldNo, std::move(base), false, info, false);
  } catch (...) {
    // A value written and not yet stored stays.
    ReleaseDescriptor(record, fieldNo, false);
    throw;
  }
}

// ---- stored values ------------------------------------------------------------

template <class F>
auto TORBDiskBlobManager::ByKind(int32_t session, TORBBlobRef ref, F&& f) {
  if (ref.BlobID != kAmbiguousBlobID) return f(ref.BlobID == kLargeBlobID);
  const bool large = pages_.LooksLarge(session, ref.PageNo);
  try {
    return f(large);
  } catch (const EORBException&) {
    return f(!large);
  }
}

TORBBlobRef TORBDiskBlobManager::StoreValue(int32_t session, const TORBBlobData& value) {
  TORBBlobHeader header;
  header.CompressedSize = value.CompressedSize;
  header.StoredSize = static_cast<int64_t>(value.Bytes.size());
  header.UncompressedSize = value.UncompressedSize;
  if (!IsSmallBlob(header.StoredSize, pages_.DataSize()))
    return {pages_.StoreLarge(session, header, value.Bytes.data()), kLargeBlobID};

  const int32_t need = static_cast<int32_t>(header.StoredSize) + kBlobHeaderSize;
  const int32_t found = index_.FindPageWithRoom(session, need);
  TORBPageHandle page = found >= 0 ? pages_.Get(session, found) : pages_.Add(session);
  if (found < 0) PutLE<uint16_t>(page->Data(), 0);
  TORBSharedBlobPage shared(page->Data(), page->DataSize(), page->PageNo);
  const int16_t id = shared.Add(header, value.Bytes.data(), [&] { return index_.GetValue(session, page->PageNo); });
  page->IsDirty = true;
  index_.AddOrIncrease(session, page->PageNo, need);
  return {page->PageNo, id};
}

TORBBlobData TORBDiskBlobManager::ReadSmall(int32_t session, TORBBlobRef ref) {
  TORBPageHandle page = pages_.Get(session, ref.PageNo);
  TORBSharedBlobPage shared(page->Data(), page->DataSize(), page->PageNo);
  const int i = shared.Find(ref.BlobID);
  if (i < 0) throw EORBException("Cannot find blob field", 20171);
  const TORBBlobHeader& h = shared.Entries()[static_cast<size_t>(i)].Header;
  TORBBlobData d;
  d.CompressedSize = h.CompressedSize;
  d.UncompressedSize = h.UncompressedSize;
  const uint8_t* bytes = shared.Bytes(static_cast<size_t>(i));
  d.Bytes.assign(bytes, bytes + h.StoredSize);
  return d;
}

TORBBlobData TORBDiskBlobManager::ReadLarge(int32_t session, int32_t headPageNo) {
  const TORBLargeBlob blob = pages_.ReadLargeHead(session, headPageNo);
  TORBBlobData d;
  d.CompressedSize = blob.Header.CompressedSize;
  d.UncompressedSize = blob.Header.UncompressedSize;
  d.Bytes = pages_.ReadLargeBytes(session, blob);
  return d;
}

TORBBlobData TORBDiskBlobManager::ReadValue(int32_t session, TORBBlobRef ref) {
  if (!ref.IsStored()) return {};
  return ByKind(session, ref, [&](bool large) { return large ? ReadLarge(session, ref.PageNo) : ReadSmall(session, ref); });
}

void TORBDiskBlobManager::FreeSmall(int32_t session, TORBBlobRef ref) {
  int32_t used;
  {
    TORBPageHandle page = pages_.Get(session, ref.PageNo);
    TORBSharedBlobPage shared(page->Data(), page->DataSize(), page->PageNo);
    const int i = shared.Find(ref.BlobID);
    if (i < 0) throw EORBException("Cannot find blob field", 20171);
    shared.Remove(static_cast<size_t>(i));
    page->IsDirty = true;
    used = shared.UsedBytes();
  }
  if (used == 0) pm_.RemovePage(session, ref.PageNo);
  // The page's own count is what the index takes.
  if (index_.GetValue(session, ref.PageNo) >= 0)
    index_.DecreaseOrSet(session, ref.PageNo, 0, used);
  else if (used > 0)
    index_.AddOrIncrease(session, ref.PageNo, used);
}

void TORBDiskBlobManager::FreeValue(int32_t session, TORBBlobRef& ref) {
  if (!ref.IsStored()) return;
  ByKind(session, ref, [&](bool large) {
    if (large) pages_.FreeLarge(session, ref.PageNo);
    else FreeSmall(session, ref);
  });
  ref = {};
}

}  // namespace orb
