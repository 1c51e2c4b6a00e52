// Record and page index keys. A long string column keeps only a prefix in
// the page; a prefix decides order only where every value that starts with
// it would compare the same way, judged on primary collation weights.
#include "tables/ORBBTreeKeys.h"

#include <algorithm>
#include <cstring>

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"
#include "storage/ORBFileFormat.h"
#include "tables/ORBTypes.h"

namespace orb {

TORBRecordID ReadRecordID(const uint8_t* p) { return {GetLE<int32_t>(p), GetLE<uint16_t>(p + 4)}; }

void WriteRecordID(uint8_t* p, TORBRecordID id) {
  PutLE<int32_t>(p, id.PageNo);
  PutLE<uint16_t>(p + 4, id.Slot);
}

int CompareRecordIDs(TORBRecordID a, TORBRecordID b) {
  if (a.PageNo != b.PageNo) return a.PageNo < b.PageNo ? -1 : 1;
  if (a.Slot != b.Slot) return a.Slot < b.Slot ? -1 : 1;
  return 0;
}

namespace {

template <class T>
int Cmp(const uint8_t* a, const uint8_t* b) {
  T x, y;
  std::memcpy(&x, a, sizeof(T));
  std::memcpy(&y, b, sizeof(T));
  if constexpr (std::is_floating_point_v<T>) {
    // NaN sorts last so the order stays total.
    const bool nx = x != x, ny = y != y;
    if (nx || ny) return nx == ny ? 0 : nx ? 1 : -1;
  }
  return x < y ? -1 : y < x ? 1 : 0;
}

int CmpExtended(const uint8_t* a, const uint8_t* b) {
  long double x = 0, y = 0;
  std::memcpy(&x, a, 10);
  std::memcpy(&y, b, 10);
  const bool nx = x != x, ny = y != y;
  if (nx || ny) return nx == ny ? 0 : nx ? 1 : -1;
  return x < y ? -1 : y < x ? 1 : 0;
}

std::string_view Narrow(const uint8_t* p, uint32_t len) {
  const char* s = reinterpret_cast<const char*>(p);
  return {s, strnlen(s, len)};
}

std::u16string Wide(const uint8_t* p, uint32_t len) {
  std::u16string w(len / 2, u'\0');
  std::memcpy(w.data(), p, w.size() * 2);
  w.resize(std::min(w.find(u'\0'), w.size()));
  return w;
}

// The first n characters.
std::string_view FirstChars(std::string_view s, int n) {
  size_t i = 0;
  for (int k = 0; k < n && i < s.size(); ++k) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
  }
  return s.substr(0, i);
}

// Drops whole characters from the end (and any split one).
std::string_view DropChars(std::string_view s, int n) {
  s = Utf8Truncate(s, s.size());
  for (int k = 0; k < n && !s.empty(); ++k) {
    size_t i = s.size() - 1;
    while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
    s = s.substr(0, i);
  }
  return s;
}

}  // namespace

TORBRecordKeyRef::TORBRecordKeyRef(const TORBIndexDef& index, const TORBFieldDefs& fields) {
  if (fields.Count() == 0) throw EORBException("Pointer is nil", 20044);
  uint32_t full = 0, stored = 0;
  for (const TORBIndexColumn& ic : index.Columns) {
    const int fi = fields.IndexOfName(ic.FieldName);
    if (fi < 0) throw EORBException::Fmt(20043, "Cannot find index field '%s'", ic.FieldName);
    const TORBFieldDef& f = fields[static_cast<size_t>(fi)];
    if (IsBlobStorage(f.BaseFieldType))
      throw EORBException::Fmt(20295,
                               "Cannot index BLOB field '%s'. Direct indexing of BLOB fields is not supported yet, "
                               "please use CAST(blob_field, string) function to convert BLOB field to a string "
                               "expression before indexing.",
                               f.Name);
    Column c;
    c.Field = static_cast<size_t>(fi);
    c.Type = f.BaseFieldType;
    c.MemOffset = static_cast<uint32_t>(f.MemoryOffset);
    c.MemSize = static_cast<uint32_t>(f.MemoryDataSize);
    c.Descending = ic.Descending;
    c.CaseInsensitive = ic.CaseInsensitive;
    c.FullOffset = full;
    c.StoredOffset = stored;
    full += c.MemSize + 1;
    c.Truncated = IsStringStorage(c.Type) && ic.MaxIndexedSize > 0 && static_cast<uint32_t>(ic.MaxIndexedSize) < c.MemSize;
    if (c.Truncated) {
      // The two bytes after the kept prefix hold the value's next bytes, so a
      // value that ends there is still known whole.
      uint32_t kept = static_cast<uint32_t>(ic.MaxIndexedSize);
      if (IsWideStorage(c.Type)) kept &= ~1u;
      c.Kept = std::min(kept + 2, c.MemSize);
      stored += static_cast<uint32_t>(ic.MaxIndexedSize) + 3;
      truncated_ = true;
    } else {
      c.Kept = c.MemSize;
      stored += c.MemSize + 1;
    }
    cols_.push_back(c);
  }
  if (cols_.empty() || stored > 0xFFFF) throw EORBException("Index error: invalid params", 20078);
  keySize_ = static_cast<uint16_t>(stored);
  fullSize_ = full;
}

void TORBRecordKeyRef::BuildFullKey(const uint8_t* record, uint8_t* full) const {
  for (const Column& c : cols_) {
    uint8_t* part = full + c.FullOffset;
    std::memset(part, 0, c.MemSize + 1);
    if (FieldIsNull(record, c.Field)) {
      part[0] = 1;
      continue;
    }
    const uint8_t* v = record + c.MemOffset;
    if (IsWideStorage(c.Type)) {
      const std::u16string w = Wide(v, c.MemSize);
      std::memcpy(part + 1, w.data(), w.size() * 2);
    } else if (IsStringStorage(c.Type)) {
      const std::string_view s = Narrow(v, c.MemSize);
      std::memcpy(part + 1, s.data(), s.size());
    } else {
      std::memcpy(part + 1, v, c.MemSize);
    }
  }
}

std::vector<uint8_t> TORBRecordKeyRef::FullKey(const uint8_t* record) const {
  std::vector<uint8_t> k(fullSize_);
  BuildFullKey(record, k.data());
  return k;
}

void TORBRecordKeyRef::StoreKey(const uint8_t* full, uint8_t* stored) const {
  std::memset(stored, 0, keySize_);
  for (const Column& c : cols_) {
    const uint8_t* part = full + c.FullOffset;
    uint8_t* out = stored + c.StoredOffset;
    out[0] = part[0];
    if (part[0] == 0) std::memcpy(out + 1, part + 1, c.Kept);
  }
}

std::vector<uint8_t> TORBRecordKeyRef::FullKeyFromValues(const std::vector<TORBVariant>& values) const {
  std::vector<uint8_t> k(fullSize_, 0);
  for (size_t i = 0; i < cols_.size(); ++i) {
    const Column& c = cols_[i];
    uint8_t* part = k.data() + c.FullOffset;
    if (i >= values.size() || values[i].IsNull()) {
      part[0] = 1;
      continue;
    }
    TORBVariant v = values[i];
    v.CastTo(c.Type);
    if (v.DataType() != c.Type || !v.WriteToBuffer(part + 1, static_cast<int32_t>(c.MemSize))) {
      if (IsStringStorage(c.Type) && v.DataType() == c.Type) continue;  // empty string
      throw EORBException("Index error: invalid params", 20078);
    }
  }
  return k;
}

int TORBRecordKeyRef::CompareValues(const Column& c, const uint8_t* a, uint32_t aLen, const uint8_t* b,
                                    uint32_t bLen, int partialChars) const {
  switch (c.Type) {
    case stChar: case stString: {
      std::string_view x = Narrow(a, aLen), y = Narrow(b, bLen);
      if (partialChars >= 0) {
        x = FirstChars(x, partialChars);
        y = FirstChars(y, partialChars);
      }
      return TORBCollation::Current().Compare(x, y, c.CaseInsensitive);
    }
    case stWideChar: case stWideString: {
      std::u16string x = Wide(a, aLen), y = Wide(b, bLen);
      if (partialChars >= 0) {
        x = x.substr(0, static_cast<size_t>(partialChars));
        y = y.substr(0, static_cast<size_t>(partialChars));
      }
      return TORBCollation::Current().CompareWide(x, y, c.CaseInsensitive);
    }
    case stShortInt: return Cmp<int8_t>(a, b);
    case stSmallInt: return Cmp<int16_t>(a, b);
    case stInteger: case stDate: case stTime: return Cmp<int32_t>(a, b);
    case stLargeInt: return Cmp<int64_t>(a, b);
    case stByte: return Cmp<uint8_t>(a, b);
    case stWord: return Cmp<uint16_t>(a, b);
    case stCardinal: return Cmp<uint32_t>(a, b);
    case stSingle: return Cmp<float>(a, b);
    case stFloat: case stCurrency: return Cmp<double>(a, b);
    case stExtended: return CmpExtended(a, b);
    case stDateTime: {
      const int d = Cmp<int32_t>(a, b);
      return d != 0 ? d : Cmp<int32_t>(a + 4, b + 4);
    }
    case stLogical: {
      const bool x = GetLE<uint16_t>(a) != 0, y = GetLE<uint16_t>(b) != 0;
      return x == y ? 0 : x ? 1 : -1;
    }
    default: {
      const int r = std::memcmp(a, b, std::min(aLen, bLen));
      return r < 0 ? -1 : r > 0 ? 1 : 0;
    }
  }
}

int TORBRecordKeyRef::CompareFull(const uint8_t* a, const uint8_t* b, int columns, int partialChars) const {
  const size_t n = columns < 0 ? cols_.size() : std::min(cols_.size(), static_cast<size_t>(columns));
  for (size_t i = 0; i < n; ++i) {
    const Column& c = cols_[i];
    const uint8_t* pa = a + c.FullOffset;
    const uint8_t* pb = b + c.FullOffset;
    int r;
    if (pa[0] || pb[0]) {
      r = pa[0] && pb[0] ? 0 : pa[0] ? -1 : 1;
    } else {
      r = CompareValues(c, pa + 1, c.MemSize, pb + 1, c.MemSize, i + 1 == n ? partialChars : -1);
    }
    if (r != 0) return c.Descending ? -r : r;
  }
  return 0;
}

// A full value against a kept prefix that the stored value may continue past.
int TORBRecordKeyRef::ComparePrefix(const Column& c, const uint8_t* full, const uint8_t* kept, int partialChars) const {
  std::string xs, ps;
  std::string_view x, p;
  if (IsWideStorage(c.Type)) {
    xs = Utf16ToUtf8(Wide(full, c.MemSize));
    std::u16string w(reinterpret_cast<const char16_t*>(kept), reinterpret_cast<const char16_t*>(kept) + c.Kept / 2);
    if (!w.empty() && w.back() >= 0xD800 && w.back() <= 0xDBFF) w.pop_back();
    ps = Utf16ToUtf8(w);
    x = xs;
    p = ps;
  } else {
    x = Narrow(full, c.MemSize);
    p = Utf8Truncate(std::string_view(reinterpret_cast<const char*>(kept), c.Kept), c.Kept);
  }
  if (partialChars >= 0) {
    // Enough known characters: the prefix alone answers.
    if (static_cast<int>(Utf8Length(p)) >= partialChars + 1)
      return TORBCollation::Current().Compare(FirstChars(x, partialChars), FirstChars(p, partialChars),
                                              c.CaseInsensitive);
    return TORBBTreeSearch::kUndecided;
  }
  // Every stored value that starts with the kept bytes (less a character or
  // two at the cut, where contractions may reach across) compares the same
  // way with x when the primary weights already differ within the prefix.
  const int r = TORBCollation::Current().CompareWithPrefix(x, DropChars(p, 2));
  return r == 2 ? TORBBTreeSearch::kUndecided : r;
}

int TORBRecordKeyRef::CompareFullToStored(const uint8_t* full, const uint8_t* stored, int columns,
                                          int partialChars) const {
  const size_t n = columns < 0 ? cols_.size() : std::min(cols_.size(), static_cast<size_t>(columns));
  for (size_t i = 0; i < n; ++i) {
    const Column& c = cols_[i];
    const uint8_t* pa = full + c.FullOffset;
    const uint8_t* pb = stored + c.StoredOffset;
    const int partial = i + 1 == n ? partialChars : -1;
    int r;
    if (pa[0] || pb[0]) {
      r = pa[0] && pb[0] ? 0 : pa[0] ? -1 : 1;
    } else if (!c.Truncated) {
      r = CompareValues(c, pa + 1, c.MemSize, pb + 1, c.MemSize, partial);
    } else {
      const bool whole = c.Kept == c.MemSize || (IsWideStorage(c.Type) ? Wide(pb + 1, c.Kept).size() < c.Kept / 2
                                                                        : Narrow(pb + 1, c.Kept).size() < c.Kept);
      if (whole) {
        r = CompareValues(c, pa + 1, c.MemSize, pb + 1, c.Kept, partial);
      } else {
        r = ComparePrefix(c, pa + 1, pb + 1, partial);
        if (r == TORBBTreeSearch::kUndecided) return r;
      }
    }
    if (r != 0) return c.Descending ? -r : r;
  }
  return 0;
}

int TORBRecordKeySearch::Compare(const uint8_t* stored, const uint8_t* payload) {
  const int c = ref_.CompareFullToStored(full_, stored, columns_, partial_);
  if (c != kUndecided || payload == nullptr) return c;
  return ref_.CompareFull(full_, EntryFullKey(payload).data(), columns_, partial_);
}

const std::vector<uint8_t>& TORBRecordKeySearch::EntryFullKey(const uint8_t* payload) {
  if (!reader_ || !reader_->ReadIndexedRecord(session_, ReadRecordID(payload), record_))
    throw EORBException("Cannot retreive record for index", 20170);
  entryFull_ = ref_.FullKey(record_.data());
  return entryFull_;
}

int TORBRecordKeySearch::CompareIdentity(const uint8_t* payload) {
  return CompareRecordIDs(id_, ReadRecordID(payload));
}

}  // namespace orb
