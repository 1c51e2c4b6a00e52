// Table definitions: fields, indexes and constraints, their lists, record
// layout (offsets, null bitmap), and the byte formats of the metadata file
// and the table state ("most-updated") file.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tables/ORBVariant.h"

namespace orb {

struct TORBMetaObjectDef {
  std::string Name;
  int32_t ObjectID = -1;
};

struct TORBFieldDef : TORBMetaObjectDef {
  uint8_t BaseFieldType = 0;
  uint8_t AdvancedFieldType = 0;
  int32_t Size = 0;
  int32_t RecordDataSize = 0;
  int32_t MemoryDataSize = 0;
  int32_t RecordOffset = 0;
  int32_t MemoryOffset = 0;
  TORBVariant DefaultValue;
  uint8_t BlobCompressionAlgorithm = 0;
  uint8_t BlobCompressionMode = 0;
  int32_t BlobBlockSize = 102400;
  int64_t AutoincIncrement = 1;
  int64_t AutoincInitialValue = 0;
  int64_t AutoincMinValue = 0;
  int64_t AutoincMaxValue = INT64_MAX;
  uint8_t AutoincCycled = 0;

  // Sets the declared type (and the storage type and sizes it implies);
  // "Unsupported data type '%s'" (30007) for an unmapped one.
  void SetType(uint8_t declared, int32_t size = 0);
};

struct TORBIndexColumn {
  std::string FieldName;
  bool Descending = false;
  bool CaseInsensitive = false;
  int32_t MaxIndexedSize = 20;
};

struct TORBIndexDef : TORBMetaObjectDef {
  uint8_t IndexType = 0;
  std::vector<TORBIndexColumn> Columns;
  bool Unique = false;
  bool Primary = false;
  int32_t RootPageNo = -1;
  bool Temporary = false;
  int32_t OwnerSessionID = -1;
  int32_t ChangeStamp = 0;

  // From three lists of equal length ("DESC", "NO_CASE").
  void AssignColumns(const std::vector<std::string>& names, const std::vector<std::string>& directions,
                     const std::vector<std::string>& cases);
};

enum TORBConstraintType : uint8_t { ctPrimary = 0, ctForeign = 1, ctUnique = 2, ctNotNull = 3, ctCheck = 4 };

struct TORBConstraintRef {
  std::string Name;
  int32_t ID = 0;
};

struct TORBConstraintDef : TORBMetaObjectDef {
  uint8_t ConstraintType = ctNotNull;
  TORBConstraintRef Reserved, Table, Object;  // Object: the field, or the implementing index
  TORBVariant MinValue, MaxValue;             // check constraints
  std::vector<TORBConstraintRef> Columns;     // primary and unique: field name and id
};

// Whether two definition names are the same (case-insensitively).
bool SameName(const std::string& a, const std::string& b);

// An ordered list of definitions; names compare case-insensitively.
template <class T>
class TORBMetaObjectDefs {
 public:
  size_t Count() const { return items_.size(); }
  T& operator[](size_t i) { return items_[i]; }
  const T& operator[](size_t i) const { return items_[i]; }
  void Add(T def) { items_.push_back(std::move(def)); }
  void Insert(size_t i, T def) { items_.insert(items_.begin() + static_cast<long>(i), std::move(def)); }
  void Delete(size_t i) { items_.erase(items_.begin() + static_cast<long>(i)); }
  void Move(size_t from, size_t to) {
    T x = std::move(items_[from]);
    items_.erase(items_.begin() + static_cast<long>(from));
    items_.insert(items_.begin() + static_cast<long>(to), std::move(x));
  }
  void Clear() { items_.clear(); }
  int IndexOfName(const std::string& name) const;
  int IndexOfObjectID(int32_t id) const {
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i].ObjectID == id) return static_cast<int>(i);
    return -1;
  }
  T* FindByName(const std::string& name) {
    int i = IndexOfName(name);
    return i < 0 ? nullptr : &items_[static_cast<size_t>(i)];
  }
  // Replaces this list by a copy of `other`; a repeated name raises
  // "Duplicate field name %s" (10424).
  void Assign(const TORBMetaObjectDefs& other);
  const std::vector<T>& Items() const { return items_; }

 protected:
  std::vector<T> items_;
};

class TORBFieldDefs : public TORBMetaObjectDefs<TORBFieldDef> {
 public:
  void ComputeOffsets();
  int32_t NullBitmapSize() const { return static_cast<int32_t>((items_.size() + 7) / 8); }
  int32_t MemoryRecordSize() const;
  int32_t RecordSize() const;
};

class TORBIndexDefs : public TORBMetaObjectDefs<TORBIndexDef> {
 public:
  // The ObjectID of the first index whose leading columns match, or -1.
  int32_t FindIndexByFields(const std::vector<std::string>& names, const std::vector<std::string>& directions,
                            const std::vector<std::string>& cases, const TORBFieldDefs& fields, int32_t session) const;
};

using TORBConstraintDefs = TORBMetaObjectDefs<TORBConstraintDef>;

// Names unnamed not-null and check constraints "$C_NotNull$<table>$<field>"
// / "$C_Check$<table>$<field>", adding a random number below 65535 while a
// name is taken.
void NameConstraints(TORBConstraintDefs& constraints, const std::string& tableName);
// "C_PK$a$b" or "C_Unique$a$b" for the constraint a unique or primary index makes.
std::string IndexConstraintName(const TORBIndexDef& index);
// "TEMPORARY_INDEX_" and a random number below 1000000, not yet in the list.
std::string TemporaryIndexName(const TORBIndexDefs& indexes);

// Null flags of a record buffer: bit (i mod 8) of byte (i div 8), set = NULL.
inline bool FieldIsNull(const uint8_t* record, size_t i) { return (record[i / 8] >> (i % 8)) & 1; }
inline void SetFieldNull(uint8_t* record, size_t i, bool isNull) {
  if (isNull) record[i / 8] = static_cast<uint8_t>(record[i / 8] | (1u << (i % 8)));
  else record[i / 8] = static_cast<uint8_t>(record[i / 8] & ~(1u << (i % 8)));
}

// Records per record page; "Cannot create table. Record is too large …"
// (20174) when not even one fits.
int32_t RecordsPerPage(int32_t pageDataSize, int32_t recordSize);

// The metadata file's content (fields, indexes, constraints, then the record
// page index root and the BLOB manager's bytes).
struct TORBTableMetaData {
  TORBFieldDefs Fields;
  TORBIndexDefs Indexes;
  TORBConstraintDefs Constraints;
  int32_t RecordIndexRoot = -1;
  std::vector<uint8_t> BlobState;

  std::vector<uint8_t> Save() const;
  // Every length is checked against the bytes present.
  void Load(const uint8_t* data, size_t size);
};

// The table state file: autoincrement last values, change counter, record count.
struct TORBTableState {
  std::vector<int64_t> AutoincLast;
  int32_t ChangeCounter = 0;
  int64_t RecordCount = 0;

  std::vector<uint8_t> Save() const;
  void Load(const uint8_t* data, size_t size);
};

}  // namespace orb
