// Field types: the declared and storage type ids, the 62-row type name table
// (first match wins in every direction), dataset field kinds, value sizes and
// the type families.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace orb {

enum TORBStorageType : uint8_t {
  stNone = 0, stChar = 1, stWideChar = 2, stString = 3, stWideString = 4, stShortInt = 5, stSmallInt = 6,
  stInteger = 7, stLargeInt = 8, stByte = 9, stWord = 10, stCardinal = 11, stSingle = 12, stFloat = 13,
  stExtended = 14, stDate = 15, stTime = 16, stDateTime = 17, stBlob = 18, stMemo = 19, stWideMemo = 20,
  stLogical = 21, stCurrency = 22, stBytes = 23, stVarBytes = 24,
};

struct TORBTypeRow {
  const char* Name;
  uint8_t Declared;
  uint8_t Storage;
  const char* FieldKind;  // the dataset layer's field kind
};

// The table, in order.
const TORBTypeRow* TypeRows(size_t* count);

// First row with this declared id; "Unknown" / 0 / "" when there is none.
std::string DeclaredTypeName(uint8_t declared);
uint8_t StorageOfDeclared(uint8_t declared);  // 0 when unknown
// Raises "Unknown DataType: '%s'" (30289) for an unknown declared id.
uint8_t StorageOfDeclaredStrict(uint8_t declared);
std::string FieldKindOfDeclared(uint8_t declared);
// First row with this storage id.
uint8_t DeclaredOfStorage(uint8_t storage);
std::string StorageTypeName(uint8_t storage);
// First row whose name matches (case-insensitive); 0 when none.
uint8_t DeclaredByName(std::string_view name);

// Bytes of a value in memory (raises "Unknown DataType: '%s'", 30050) and
// in a record page (BLOB family: 6).
int32_t MemoryDataSize(uint8_t storage, int32_t size);
int32_t RecordDataSize(uint8_t storage, int32_t size);

inline bool IsBlobStorage(uint8_t s) { return s >= stBlob && s <= stWideMemo; }
inline bool IsStringStorage(uint8_t s) { return s >= stChar && s <= stWideString; }
inline bool IsWideStorage(uint8_t s) { return s == stWideChar || s == stWideString; }
inline bool IsNumericStorage(uint8_t s) { return (s >= stShortInt && s <= stExtended) || s == stCurrency; }
inline bool IsDateTimeStorage(uint8_t s) { return s >= stDate && s <= stDateTime; }
inline bool IsAutoincDeclared(uint8_t d) { return d >= 12 && d <= 19; }
inline bool IsBlobDeclared(uint8_t d) { return d >= 31 && d <= 35; }
inline bool IsByteArrayDeclared(uint8_t d) { return d == 29 || d == 30; }
// Declared types that take part in string conversions and comparisons.
inline bool IsComparableDeclared(uint8_t d) { return (d >= 1 && d <= 28) || (d >= 33 && d <= 35); }

}  // namespace orb
