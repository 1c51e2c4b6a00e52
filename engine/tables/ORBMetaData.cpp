// Definitions, record layout and the metadata / table state byte formats.
#include "tables/ORBMetaData.h"

#include <cmath>
#include <cstring>

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"
#include "orb/ORBUtils.h"

namespace orb {

namespace {

constexpr int32_t kErrFieldsRead = 31120;
constexpr int32_t kErrIndexesRead = 31121;
constexpr int32_t kErrConstraintsRead = 31122;
constexpr int32_t kErrStateRead = 31123;
constexpr int32_t kMaxFieldSize = 1 << 20;

std::string Up(const std::string& s) { return TORBCollation::Current().Upper(s); }

class Writer {
 public:
  std::vector<uint8_t> out;
  template <class T>
  void Put(T v) {
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), p, p + sizeof v);
  }
  void Bytes(const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }
  void ShortString(const std::string& s) {
    if (s.size() > 255) throw EORBException::Fmt(31124, "Name is too long (%d bytes, at most 255)", s.size());
    Put<uint8_t>(static_cast<uint8_t>(s.size()));
    Bytes(s);
  }
};

class Reader {
 public:
  Reader(const uint8_t* d, size_t n, int32_t code) : d_(d), n_(n), code_(code) {}
  void Need(size_t k) {
    if (n_ - pos_ < k)
      throw EORBException::Fmt(code_,
                               "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d",
                               pos_, n_, k, n_ - pos_);
  }
  template <class T>
  T Get() {
    Need(sizeof(T));
    T v;
    std::memcpy(&v, d_ + pos_, sizeof v);
    pos_ += sizeof v;
    return v;
  }
  std::string Bytes(size_t k) {
    Need(k);
    std::string s(reinterpret_cast<const char*>(d_ + pos_), k);
    pos_ += k;
    return s;
  }
  std::string ShortString() { return Bytes(Get<uint8_t>()); }
  void Variant(TORBVariant& v) { pos_ += v.LoadFromStream(d_ + pos_, n_ - pos_); }
  // A count of items that each take at least `minBytes`: more than the bytes
  // left could hold is damage.
  int32_t Count(size_t minBytes) {
    const int32_t c = Get<int32_t>();
    if (c < 0 || static_cast<size_t>(c) > (n_ - pos_) / std::max<size_t>(minBytes, 1)) Need(n_ + 1 - pos_);
    return c;
  }
  void SetCode(int32_t c) { code_ = c; }
  size_t Left() const { return n_ - pos_; }
  const uint8_t* Here() const { return d_ + pos_; }

 private:
  const uint8_t* d_;
  size_t n_, pos_ = 0;
  int32_t code_;
};

bool Upper(const std::string& a, const char* word) { return Up(a) == word; }

}  // namespace

void TORBFieldDef::SetType(uint8_t declared, int32_t size) {
  const uint8_t storage = StorageOfDeclared(declared);
  if (!storage) throw EORBException::Fmt(30007, "Unsupported data type '%s'", DeclaredTypeName(declared));
  AdvancedFieldType = declared;
  BaseFieldType = storage;
  Size = size;
  MemoryDataSize = orb::MemoryDataSize(storage, size);
  RecordDataSize = orb::RecordDataSize(storage, size);
}

void TORBIndexDef::AssignColumns(const std::vector<std::string>& names, const std::vector<std::string>& directions,
                                 const std::vector<std::string>& cases) {
  if (names.size() != directions.size())
    throw EORBException::Fmt(10278, "Error - different lists length. L1 = %d, L2 = %d", names.size(), directions.size());
  if (names.size() != cases.size())
    throw EORBException::Fmt(10279, "Error - different lists length. L1 = %d, L2 = %d", names.size(), cases.size());
  Columns.clear();
  for (size_t i = 0; i < names.size(); ++i)
    Columns.push_back({names[i], Upper(directions[i], "DESC"), Upper(cases[i], "NO_CASE"), 20});
}

bool SameName(const std::string& a, const std::string& b) { return Up(a) == Up(b); }

template <class T>
int TORBMetaObjectDefs<T>::IndexOfName(const std::string& name) const {
  const std::string key = Up(name);
  for (size_t i = 0; i < items_.size(); ++i)
    if (Up(items_[i].Name) == key) return static_cast<int>(i);
  return -1;
}

template <class T>
void TORBMetaObjectDefs<T>::Assign(const TORBMetaObjectDefs& other) {
  std::vector<T> copy;
  TORBMetaObjectDefs<T> seen;
  for (const T& item : other.items_) {
    if (seen.IndexOfName(item.Name) >= 0) throw EORBException::Fmt(10424, "Duplicate field name %s", item.Name);
    seen.Add(item);
  }
  items_ = std::move(seen.items_);
}

template class TORBMetaObjectDefs<TORBFieldDef>;
template class TORBMetaObjectDefs<TORBIndexDef>;
template class TORBMetaObjectDefs<TORBConstraintDef>;

void TORBFieldDefs::ComputeOffsets() {
  int32_t memory = NullBitmapSize(), record = NullBitmapSize();
  for (TORBFieldDef& f : items_) {
    f.MemoryOffset = memory;
    f.RecordOffset = record;
    memory += f.MemoryDataSize;
    record += f.RecordDataSize;
  }
}

int32_t TORBFieldDefs::MemoryRecordSize() const {
  int32_t n = NullBitmapSize();
  for (const auto& f : items_) n += f.MemoryDataSize;
  return n;
}

int32_t TORBFieldDefs::RecordSize() const {
  int32_t n = NullBitmapSize();
  for (const auto& f : items_) n += f.RecordDataSize;
  return n;
}

int32_t TORBIndexDefs::FindIndexByFields(const std::vector<std::string>& names,
                                         const std::vector<std::string>& directions,
                                         const std::vector<std::string>& cases, const TORBFieldDefs& fields,
                                         int32_t session) const {
  if (names.size() != directions.size())
    throw EORBException::Fmt(10276, "Error - different lists length. L1 = %d, L2 = %d", names.size(), directions.size());
  if (names.size() != cases.size())
    throw EORBException::Fmt(10277, "Error - different lists length. L1 = %d, L2 = %d", names.size(), cases.size());
  for (const TORBIndexDef& index : items_) {
    if (index.Columns.size() < names.size()) continue;
    if (index.Temporary && index.OwnerSessionID != session) continue;
    bool ok = true;
    for (size_t i = 0; i < names.size() && ok; ++i) {
      const TORBIndexColumn& c = index.Columns[i];
      ok = Up(c.FieldName) == Up(names[i]);
      if (ok && Upper(directions[i], "ASC")) ok = !c.Descending;
      if (ok && Upper(directions[i], "DESC")) ok = c.Descending;
      int f = fields.IndexOfName(names[i]);
      const bool stringField = f >= 0 && IsStringStorage(fields[static_cast<size_t>(f)].BaseFieldType);
      if (ok && stringField && Upper(cases[i], "CASE")) ok = !c.CaseInsensitive;
      if (ok && stringField && Upper(cases[i], "NO_CASE")) ok = c.CaseInsensitive;
    }
    if (ok) return index.ObjectID;
  }
  return -1;
}

void NameConstraints(TORBConstraintDefs& constraints, const std::string& tableName) {
  for (size_t i = 0; i < constraints.Count(); ++i) {
    TORBConstraintDef& c = constraints[i];
    if (!c.Name.empty() || (c.ConstraintType != ctNotNull && c.ConstraintType != ctCheck)) continue;
    const std::string base = std::string(c.ConstraintType == ctNotNull ? "$C_NotNull$" : "$C_Check$") + tableName +
                             "$" + c.Object.Name;
    std::string name = base;
    while (constraints.IndexOfName(name) >= 0) name = base + std::to_string(RandomRange(0, 65534));
    c.Name = name;
  }
}

std::string IndexConstraintName(const TORBIndexDef& index) {
  std::string name = index.Primary ? "C_PK" : "C_Unique";
  for (const auto& c : index.Columns) name += "$" + c.FieldName;
  return name;
}

std::string TemporaryIndexName(const TORBIndexDefs& indexes) {
  for (;;) {
    std::string name = "TEMPORARY_INDEX_" + std::to_string(RandomRange(0, 999999));
    if (indexes.IndexOfName(name) < 0) return name;
  }
}

int32_t RecordsPerPage(int32_t pageDataSize, int32_t recordSize) {
  const auto n = static_cast<int32_t>(std::trunc((pageDataSize - 1) / (recordSize + 0.125)));
  if (n <= 0)
    throw EORBException(
        "Cannot create table. Record is too large to fit in current database page. Please increase page size of "
        "database file or decrease record size",
        20174);
  return n;
}

std::vector<uint8_t> TORBTableMetaData::Save() const {
  Writer w;
  w.Put<int32_t>(static_cast<int32_t>(Fields.Count()));
  for (const TORBFieldDef& f : Fields.Items()) {
    w.ShortString(f.Name);
    w.Put(f.ObjectID);
    w.Put(f.BaseFieldType);
    w.Put(f.AdvancedFieldType);
    w.Put(f.Size);
    if (IsBlobStorage(f.BaseFieldType)) {
      w.Put(f.BlobCompressionAlgorithm);
      w.Put(f.BlobCompressionMode);
      w.Put(f.BlobBlockSize);
    }
    w.Put(f.AutoincIncrement);
    w.Put(f.AutoincInitialValue);
    w.Put(f.AutoincMinValue);
    w.Put(f.AutoincMaxValue);
    w.Put(f.AutoincCycled);
    f.DefaultValue.SaveToStream(w.out);
  }
  int32_t stored = 0;
  for (const auto& i : Indexes.Items()) stored += i.Temporary ? 0 : 1;
  w.Put(stored);
  for (const TORBIndexDef& i : Indexes.Items()) {
    if (i.Temporary) continue;  // temporary indexes live only in memory
    w.ShortString(i.Name);
    w.Put(i.ObjectID);
    w.Put(i.IndexType);
    w.Put<uint8_t>(i.Unique);
    w.Put<uint8_t>(i.Primary);
    w.Put<int32_t>(static_cast<int32_t>(i.Columns.size()));
    w.Put(i.RootPageNo);
    for (const auto& c : i.Columns) {
      w.ShortString(c.FieldName);
      w.Put<uint8_t>(c.Descending);
      w.Put<uint8_t>(c.CaseInsensitive);
      w.Put(c.MaxIndexedSize);
    }
  }
  w.Put<int32_t>(static_cast<int32_t>(Constraints.Count()));
  for (const TORBConstraintDef& c : Constraints.Items()) {
    w.Put(c.ConstraintType);
    w.ShortString(c.Name);
    w.Put(c.ObjectID);
    for (const auto* r : {&c.Reserved, &c.Table, &c.Object}) w.Put(r->ID);
    const bool byteCounts = c.ConstraintType == ctNotNull || c.ConstraintType == ctCheck;
    if (!byteCounts && c.ConstraintType != ctPrimary && c.ConstraintType != ctUnique)
      throw EORBException("Not implemented yet", 30040);
    for (const auto* r : {&c.Reserved, &c.Table, &c.Object}) {
      // The count includes the name's own length byte: a 255-byte name does
      // not fit a one-byte count, and is refused rather than cut.
      if (byteCounts) {
        if (r->Name.size() > 254)
          throw EORBException::Fmt(31124, "Name is too long (%d bytes, at most 254)", r->Name.size());
        w.Put<uint8_t>(static_cast<uint8_t>(r->Name.size() + 1));
      } else {
        w.Put<int32_t>(static_cast<int32_t>(r->Name.size() + 1));
      }
      w.ShortString(r->Name);
    }
    if (c.ConstraintType == ctCheck) {
      c.MinValue.SaveToStream(w.out);
      c.MaxValue.SaveToStream(w.out);
    } else if (!byteCounts) {
      w.Put<int32_t>(static_cast<int32_t>(c.Columns.size()));
      for (const auto& col : c.Columns) {
        w.Put(col.ID);
        w.Put<int32_t>(static_cast<int32_t>(col.Name.size() + 1));
        w.ShortString(col.Name);
      }
    }
  }
  w.Put(RecordIndexRoot);
  w.out.insert(w.out.end(), BlobState.begin(), BlobState.end());
  return w.out;
}

void TORBTableMetaData::Load(const uint8_t* data, size_t size) {
  Reader r(data, size, kErrFieldsRead);
  TORBTableMetaData m;
  const int32_t fields = r.Count(44);
  for (int32_t k = 0; k < fields; ++k) {
    TORBFieldDef f;
    f.Name = r.ShortString();
    f.ObjectID = r.Get<int32_t>();
    const uint8_t base = r.Get<uint8_t>();
    const uint8_t declared = r.Get<uint8_t>();
    const int32_t fieldSize = r.Get<int32_t>();
    if (fieldSize < 0 || fieldSize > kMaxFieldSize)
      throw EORBException::Fmt(kErrFieldsRead, "Invalid size %d of field '%s'", fieldSize, f.Name);
    f.SetType(declared, fieldSize);
    if (f.BaseFieldType != base)
      throw EORBException::Fmt(30289, "Unknown DataType: '%s'", std::to_string(base));
    if (IsBlobStorage(base)) {
      f.BlobCompressionAlgorithm = r.Get<uint8_t>();
      f.BlobCompressionMode = r.Get<uint8_t>();
      f.BlobBlockSize = r.Get<int32_t>();
    }
    f.AutoincIncrement = r.Get<int64_t>();
    f.AutoincInitialValue = r.Get<int64_t>();
    f.AutoincMinValue = r.Get<int64_t>();
    f.AutoincMaxValue = r.Get<int64_t>();
    f.AutoincCycled = r.Get<uint8_t>();
    r.Variant(f.DefaultValue);
    m.Fields.Add(std::move(f));
  }
  m.Fields.ComputeOffsets();
  r.SetCode(kErrIndexesRead);
  const int32_t indexes = r.Count(12);
  for (int32_t k = 0; k < indexes; ++k) {
    TORBIndexDef i;
    i.Name = r.ShortString();
    i.ObjectID = r.Get<int32_t>();
    i.IndexType = r.Get<uint8_t>();
    i.Unique = r.Get<uint8_t>() != 0;
    i.Primary = r.Get<uint8_t>() != 0;
    const int32_t columns = r.Count(7);
    i.RootPageNo = r.Get<int32_t>();
    for (int32_t c = 0; c < columns; ++c) {
      TORBIndexColumn col;
      col.FieldName = r.ShortString();
      col.Descending = r.Get<uint8_t>() != 0;
      col.CaseInsensitive = r.Get<uint8_t>() != 0;
      col.MaxIndexedSize = r.Get<int32_t>();
      i.Columns.push_back(std::move(col));
    }
    m.Indexes.Add(std::move(i));
  }
  r.SetCode(kErrConstraintsRead);
  const int32_t constraints = r.Count(18);
  for (int32_t k = 0; k < constraints; ++k) {
    TORBConstraintDef c;
    c.ConstraintType = r.Get<uint8_t>();
    const bool byteCounts = c.ConstraintType == ctNotNull || c.ConstraintType == ctCheck;
    if (!byteCounts && c.ConstraintType != ctPrimary && c.ConstraintType != ctUnique)
      throw EORBException::Fmt(30316, "Unknown Constraint Type: '%d'", c.ConstraintType);
    c.Name = r.ShortString();
    c.ObjectID = r.Get<int32_t>();
    for (auto* ref : {&c.Reserved, &c.Table, &c.Object}) ref->ID = r.Get<int32_t>();
    for (auto* ref : {&c.Reserved, &c.Table, &c.Object}) {
      const int64_t count = byteCounts ? r.Get<uint8_t>() : r.Get<int32_t>();
      ref->Name = r.ShortString();
      if (count != static_cast<int64_t>(ref->Name.size()) + 1)
        throw EORBException::Fmt(kErrConstraintsRead, "Invalid name of constraint '%s'", c.Name);
    }
    if (c.ConstraintType == ctCheck) {
      r.Variant(c.MinValue);
      r.Variant(c.MaxValue);
    } else if (!byteCounts) {
      const int32_t columns = r.Count(9);
      for (int32_t k2 = 0; k2 < columns; ++k2) {
        TORBConstraintRef col;
        col.ID = r.Get<int32_t>();
        const int32_t count = r.Get<int32_t>();
        col.Name = r.ShortString();
        if (count != static_cast<int32_t>(col.Name.size()) + 1)
          throw EORBException::Fmt(kErrConstraintsRead, "Invalid name of constraint '%s'", c.Name);
        c.Columns.push_back(std::move(col));
      }
    }
    m.Constraints.Add(std::move(c));
  }
  r.SetCode(kErrConstraintsRead);
  m.RecordIndexRoot = r.Get<int32_t>();
  m.BlobState.assign(r.Here(), r.Here() + r.Left());
  *this = std::move(m);
}

std::vector<uint8_t> TORBTableState::Save() const {
  Writer w;
  w.Put<int32_t>(static_cast<int32_t>(AutoincLast.size()));
  for (int64_t v : AutoincLast) w.Put(v);
  w.Put(ChangeCounter);
  w.Put(static_cast<int32_t>(RecordCount & 0xFFFFFFFF));
  if (w.out.size() > 32 * AutoincLast.size() + 32) throw EORBException("Invalid table header data", 20164);
  return w.out;
}

void TORBTableState::Load(const uint8_t* data, size_t size) {
  Reader r(data, size, kErrStateRead);
  TORBTableState s;
  const int32_t n = r.Count(8);
  for (int32_t i = 0; i < n; ++i) s.AutoincLast.push_back(r.Get<int64_t>());
  s.ChangeCounter = r.Get<int32_t>();
  s.RecordCount = static_cast<uint32_t>(r.Get<int32_t>());
  *this = std::move(s);
}

}  // namespace orb
