// Index key layouts and comparison: record keys built from index columns
// (null byte + value, long strings kept as a prefix) and page-number keys.
#pragma once
#include <cstdint>
#include <vector>

#include "storage/ORBRecordManager.h"
#include "tables/ORBBTree.h"
#include "tables/ORBMetaData.h"

namespace orb {

class TORBBTreeKeyRef {
 public:
  virtual ~TORBBTreeKeyRef() = default;
  virtual uint16_t KeySize() const = 0;
  virtual uint16_t LeafPayloadSize() const = 0;
};

// Page indexes: the key is a page number (int32, signed order), the leaf
// payload a 16-bit value.
class TORBPageKeyRef : public TORBBTreeKeyRef {
 public:
  uint16_t KeySize() const override { return 4; }
  uint16_t LeafPayloadSize() const override { return 2; }
};

class TORBPageKeySearch : public TORBBTreeSearch {
 public:
  explicit TORBPageKeySearch(int32_t pageNo) : pageNo_(pageNo) {}
  int Compare(const uint8_t* stored, const uint8_t*) override {
    const int32_t k = GetLE<int32_t>(stored);
    return pageNo_ < k ? -1 : pageNo_ > k ? 1 : 0;
  }

 private:
  int32_t pageNo_;
};

// Reads a record for an index whose kept prefixes tie.
class TORBIndexRecordReader {
 public:
  virtual ~TORBIndexRecordReader() = default;
  virtual bool ReadIndexedRecord(int32_t session, TORBRecordID id, std::vector<uint8_t>& record) = 0;
};

class TORBRecordKeyRef : public TORBBTreeKeyRef {
 public:
  // "Cannot find index field '%s'" / "Cannot index BLOB field '%s'. …".
  TORBRecordKeyRef(const TORBIndexDef& index, const TORBFieldDefs& fields);

  uint16_t KeySize() const override { return keySize_; }
  uint16_t LeafPayloadSize() const override { return 6; }
  uint32_t FullKeySize() const { return fullSize_; }
  size_t ColumnCount() const { return cols_.size(); }
  bool HasTruncation() const { return truncated_; }

  // The full key of a record buffer (bytes after a string's end zeroed, so
  // equal values give equal bytes).
  void BuildFullKey(const uint8_t* record, uint8_t* full) const;
  std::vector<uint8_t> FullKey(const uint8_t* record) const;
  // The stored form of a full key.
  void StoreKey(const uint8_t* full, uint8_t* stored) const;
  // A full key from values given column by column (key searches).
  std::vector<uint8_t> FullKeyFromValues(const std::vector<TORBVariant>& values) const;

  // Sign of a - b over the first `columns` columns (all when -1); the last
  // compared string column may be limited to `partialChars` characters.
  int CompareFull(const uint8_t* a, const uint8_t* b, int columns = -1, int partialChars = -1) const;
  // Sign of full - stored, or TORBBTreeSearch::kUndecided when a kept prefix
  // cannot tell.
  int CompareFullToStored(const uint8_t* full, const uint8_t* stored, int columns = -1, int partialChars = -1) const;

 private:
  struct Column {
    size_t Field = 0;
    uint8_t Type = 0;
    uint32_t MemOffset = 0, MemSize = 0;
    uint32_t FullOffset = 0, StoredOffset = 0;
    uint32_t Kept = 0;  // value bytes in the stored part
    bool Truncated = false, Descending = false, CaseInsensitive = false;
  };
  int CompareValues(const Column& c, const uint8_t* a, uint32_t aLen, const uint8_t* b, uint32_t bLen,
                    int partialChars) const;
  int ComparePrefix(const Column& c, const uint8_t* full, const uint8_t* kept, int partialChars) const;

  std::vector<Column> cols_;
  uint16_t keySize_ = 0;
  uint32_t fullSize_ = 0;
  bool truncated_ = false;
};

// One search in a record index: a full key, optionally a RecordID that
// orders equal keys, and how much of the key takes part.
class TORBRecordKeySearch : public TORBBTreeSearch {
 public:
  TORBRecordKeySearch(const TORBRecordKeyRef& ref, const uint8_t* fullKey, TORBIndexRecordReader* reader,
                      int32_t session, int columns = -1, int partialChars = -1)
      : ref_(ref), full_(fullKey), reader_(reader), session_(session), columns_(columns), partial_(partialChars) {}
  void SetIdentity(TORBRecordID id) {
    id_ = id;
    hasId_ = true;
  }
  int Compare(const uint8_t* stored, const uint8_t* payload) override;
  bool HasIdentity() const override { return hasId_; }
  int CompareIdentity(const uint8_t* payload) override;
  // The full key of the record an entry points at.
  const std::vector<uint8_t>& EntryFullKey(const uint8_t* payload);

 private:
  const TORBRecordKeyRef& ref_;
  const uint8_t* full_;
  TORBIndexRecordReader* reader_;
  int32_t session_;
  int columns_, partial_;
  TORBRecordID id_;
  bool hasId_ = false;
  std::vector<uint8_t> record_, entryFull_;
};

TORBRecordID ReadRecordID(const uint8_t* p);
void WriteRecordID(uint8_t* p, TORBRecordID id);
int CompareRecordIDs(TORBRecordID a, TORBRecordID b);

}  // namespace orb
