// TORBDiskBlobManager: a table's BLOB values. Records hold references to
// values stored in BLOB pages; record buffers also carry the handle of an
// in-memory descriptor while a value is read or written.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "storage/ORBCompressedStream.h"
#include "storage/ORBStreams.h"
#include "tables/ORBBlobPages.h"
#include "tables/ORBMetaData.h"
#include "tables/ORBPageCountIndex.h"

namespace orb {

struct TORBBlobSizes {
  // The compressed stream's block count (0 without compression): with
  // UncompressedSize, what it needs back to reopen the value.
  int32_t CompressedSize = 0;
  int64_t UncompressedSize = 0;
};

struct TORBBlobData : TORBBlobSizes {
  std::vector<uint8_t> Bytes;  // the stored bytes
};

struct TORBBlobDescriptor {
  TORBBlobData Value;
  bool Modified = false;  // written and not yet stored
};

// The reference and descriptor handle of a BLOB-family field in a record
// buffer (memory form).
TORBBlobRef BlobRefOf(const uint8_t* record, const TORBFieldDef& field);
void SetBlobRef(uint8_t* record, const TORBFieldDef& field, TORBBlobRef ref);
uint32_t BlobHandleOf(const uint8_t* record, const TORBFieldDef& field);
void SetBlobHandle(uint8_t* record, const TORBFieldDef& field, uint32_t handle);

// Sets every BLOB-family field of a new record buffer to no value and no handle.
void ClearBlobFields(const TORBFieldDefs& fields, uint8_t* record);

// Whether two record buffers hold the same record: their first `length`
// bytes are equal, descriptor handles aside (they are private to the buffer
// that carries them).
bool RecordBuffersEqual(const TORBFieldDefs& fields, const uint8_t* a, const uint8_t* b, size_t length);

// A field's value opened as a stream: the compressed stream over a scratch
// stream holding the stored bytes. Writing or resizing marks it written.
class TORBBlobValueStream : public TORBStream {
 public:
  // `written`: the value counts as replaced even before anything is written.
  TORBBlobValueStream(size_t fieldNo, std::unique_ptr<TORBTemporaryStream> base, bool truncate,
                      const TORBCompressedStreamInfo& info, bool written);

  int64_t Read(void* buffer, int64_t count) override { return value_->Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override { return value_->Seek(offset, origin); }
  int64_t GetSize() override { return value_->GetSize(); }
  void SetSize(int64_t size) override;

  size_t FieldNo() const { return fieldNo_; }
  bool Written() const { return written_; }
  TORBCompressedBLOBStream& Value() { return *value_; }
  // The bytes to store and what reopening them needs.
  TORBBlobData StoredValue();

 private:
  size_t fieldNo_;
  bool written_ = false;
  std::unique_ptr<TORBTemporaryStream> base_;
  std::unique_ptr<TORBCompressedBLOBStream> value_;
};

// Calls `visit` with every stored record of the table in memory form; when
// visit returns true the record was changed and is written back.
using TORBRecordVisitor = std::function<bool(uint8_t* record)>;
using TORBRecordWalk = std::function<void(int32_t session, const TORBRecordVisitor& visit)>;

class TORBDiskBlobManager {
 public:
  // The page index is the table's; the manager only uses its interface.
  TORBDiskBlobManager(TORBPageManager& pm, const TORBFieldDefs& fields, TORBPageCountIndex& index);
  // Frees the descriptors still listed; owners call CheckReleased first.
  ~TORBDiskBlobManager();
  TORBDiskBlobManager(const TORBDiskBlobManager&) = delete;
  TORBDiskBlobManager& operator=(const TORBDiskBlobManager&) = delete;

  // Allocates the page index root of a new table ("BLOB block size should be
  // > 0 for field %s" for a field that could not be opened as a stream).
  void CreateIndex(int32_t session);
  // The manager's part of the table metadata: the page index root.
  void ReadIndexRoot(const std::vector<uint8_t>& state);
  std::vector<uint8_t> WriteIndexRoot() const;

  // A new empty descriptor for the field; one already attached is released.
  TORBBlobDescriptor& AttachDescriptor(uint8_t* record, size_t fieldNo);
  // The field's descriptor, or null when the handle is not in the list.
  TORBBlobDescriptor* Descriptor(const uint8_t* record, size_t fieldNo);
  // Reads a stored value into a new descriptor unless one is attached.
  void LoadBlob(int32_t session, uint8_t* record, size_t fieldNo);
  // Writes the stored bytes to `stream`; a null field writes nothing.
  TORBBlobSizes ReadBlob(int32_t session, uint8_t* record, TORBStream& stream, size_t fieldNo);
  // The value of an uncompressed field read straight from its stored bytes,
  // without a stream; false (nothing read) when the field is compressed or
  // holds a value not yet stored, which only a stream can give.
  bool ReadPlainValue(int32_t session, const uint8_t* record, size_t fieldNo, std::vector<uint8_t>& value);
  // Takes a written stream's value as the field's (modified) value.
  void StoreBlobStream(uint8_t* record, TORBBlobValueStream& stream);
  TORBBlobData GetBlobData(int32_t session, uint8_t* record, size_t fieldNo);
  void SetBlobData(uint8_t* record, size_t fieldNo, const uint8_t* bytes, int64_t storedSize,
                   const TORBBlobSizes& sizes);
  // Before a record is written: stores every modified value and puts its
  // reference into the buffer.
  void WriteRecordBlobs(int32_t session, uint8_t* record);
  // Before a record is rewritten over `stored`, its stored form: the buffer's
  // references become the ones the record owns. A written value replaces the
  // old one; a field left without a value frees it; a reference the record
  // does not own is never adopted, so a copied buffer cannot later free
  // another record's value.
  void AdoptStoredRefs(int32_t session, uint8_t* record, const uint8_t* stored);
  // Before a record is deleted: frees its stored values.
  void DeleteRecordBlobs(int32_t session, uint8_t* record);
  // Keeps a modified descriptor unless forced.
  void ReleaseDescriptor(uint8_t* record, size_t fieldNo, bool force);
  void ReleaseDescriptors(uint8_t* record, bool force);
  // Empties the BLOB storage. The record manager is not at hand here, so the
  // caller passes the walk over the table's records.
  void FreeAll(int32_t session, const TORBRecordWalk& walk);
  // FreeAll, then drops the page index.
  void DropAll(int32_t session, const TORBRecordWalk& walk);

  // The field's value as a stream with the field's compression. It starts
  // empty unless `keepValue` and the record holds a value. A missing record
  // buffer is allowed.
  std::unique_ptr<TORBBlobValueStream> OpenBlobStream(int32_t session, uint8_t* record, size_t fieldNo,
                                                      bool keepValue, bool memoryOnly = false);

  size_t DescriptorCount() const { return descriptors_.size(); }
  // "Blob cache not released" while descriptors are listed.
  void CheckReleased() const;

  // Stored values by reference.
  TORBBlobRef StoreValue(int32_t session, const TORBBlobData& value);
  TORBBlobData ReadValue(int32_t session, TORBBlobRef ref);
  // Sets `ref` to none once the value is freed.
  void FreeValue(int32_t session, TORBBlobRef& ref);

 private:
  const TORBFieldDef& BlobField(size_t fieldNo) const;
  // The field's reference, none when the field is null.
  TORBBlobRef StoredRef(const uint8_t* record, size_t fieldNo) const;
  TORBBlobDescriptor& Replace(uint8_t* record, size_t fieldNo, TORBBlobData value);
  TORBBlobData ReadSmall(int32_t session, TORBBlobRef ref);
  TORBBlobData ReadLarge(int32_t session, int32_t headPageNo);
  void FreeSmall(int32_t session, TORBBlobRef ref);
  // Runs the reader or freer of the reference's kind; an ambiguous id tries
  // the likelier kind first and the other on failure.
  template <class F>
  auto ByKind(int32_t session, TORBBlobRef ref, F&& f);

  TORBPageManager& pm_;
  TORBBlobPages pages_;
  const TORBFieldDefs& fields_;
  TORBPageCountIndex& index_;
  std::map<uint32_t, std::unique_ptr<TORBBlobDescriptor>> descriptors_;
  uint32_t nextHandle_ = 1;
};

}  // namespace orb
