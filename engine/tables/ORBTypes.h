// Field types: the declared and storage type ids, the 62-row type name table
// (first match wins in every direction), dataset field kinds, value sizes and
// the type families.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace orb {

// Storage type ids.
constexpr uint8_t stNone = 0;
constexpr uint8_t stChar = 1;
constexpr uint8_t stWideChar = 2;
constexpr uint8_t stString = 3;
constexpr uint8_t stWideString = 4;
constexpr uint8_t stShortInt = 5;
constexpr uint8_t stSmallInt = 6;
constexpr uint8_t stInteger = 7;
constexpr uint8_t stLargeInt = 8;
constexpr uint8_t stByte = 9;
constexpr uint8_t stWord = 10;
constexpr uint8_t stCardinal = 11;
constexpr uint8_t stSingle = 12;
constexpr uint8_t stFloat = 13;
constexpr uint8_t stExtended = 14;
constexpr uint8_t stDate = 15;
constexpr uint8_t stTime = 16;
constexpr uint8_t stDateTime = 17;
constexpr uint8_t stBlob = 18;
constexpr uint8_t stMemo = 19;
constexpr uint8_t stWideMemo = 20;
constexpr uint8_t stLogical = 21;
constexpr uint8_t stCurrency = 22;
constexpr uint8_t stBytes = 23;
constexpr uint8_t stVarBytes = 24;

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

// The value range of an integer storage type; false for other types.
bool IntegerRange(uint8_t storage, int64_t* lo, int64_t* hi);

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
