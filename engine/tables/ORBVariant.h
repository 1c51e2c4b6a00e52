// TORBVariant: one typed value of a storage type, or NULL, with conversions,
// the common type of two values, comparison codes, arithmetic and the stream
// form used for stored default values.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tables/ORBTypes.h"

namespace orb {

// Day numbers count from 0001-01-01 = day 1; day 693594 is 1899-12-30, the
// zero of date-time values (days, with the time as a fraction).
constexpr int32_t kDateTimeEpochDay = 693594;
int32_t DayNumber(int year, int month, int day);
void DecodeDayNumber(int32_t dayNumber, int* year, int* month, int* day);

enum TORBCompareResult : int { crEqual = 0, crLess = 1, crGreater = 2, crLeftNull = 3, crRightNull = 4, crBothNull = 5 };

class TORBVariant {
 public:
  TORBVariant() = default;
  explicit TORBVariant(uint8_t type) : type_(type) {}

  uint8_t DataType() const { return type_; }
  int32_t DataSize() const { return static_cast<int32_t>(data_.size()); }
  const uint8_t* Data() const { return data_.data(); }
  bool IsNull() const { return null_ || data_.empty(); }
  void SetNull(uint8_t type);

  // Setters keep the given type.
  void SetInteger(int64_t v, uint8_t type = stLargeInt);   // SHORTINT..CARDINAL; range-checked
  void SetFloat(long double v, uint8_t type = stFloat);    // SINGLE, FLOAT, EXTENDED, CURRENCY
  void SetString(std::string_view s, uint8_t type = stString);  // CHAR, STRING, MEMO
  void SetWideString(std::u16string_view s, uint8_t type = stWideString);
  void SetBoolean(bool v);
  void SetDate(int32_t dayNumber);
  void SetTime(int32_t milliseconds);
  void SetDateTime(int32_t dayNumber, int32_t milliseconds);
  void SetBytes(const void* bytes, size_t size, uint8_t type = stBytes);  // BYTES, VARBYTES, BLOB

  // Getters convert; a NULL value raises "Value is Null".
  int64_t AsLargeInt() const;
  long double AsExtended() const;
  double AsFloat() const { return static_cast<double>(AsExtended()); }
  std::string AsString() const;
  // A CHAR, STRING or MEMO value's text as AsString gives it, without a
  // copy; false for NULL and other types. The view lives until the value changes.
  bool ViewString(std::string_view& out) const;
  std::u16string AsWideString() const;
  bool AsBoolean() const;
  int32_t AsDate() const;
  int32_t AsTime() const;
  // Days since 1899-12-30 with the time as a fraction.
  long double AsDateTimeValue() const;
  std::vector<uint8_t> AsBytes() const;

  // Converts in place; the value is unchanged when the conversion fails.
  void CastTo(uint8_t type);
  // 0 when the two have no common type.
  static uint8_t CommonType(const TORBVariant& a, const TORBVariant& b, bool forComparison);
  // 0 equal, 1 less, 2 greater; 3/4/5 for NULLs with sqlNulls, else NULL is
  // smallest. prefixLength >= 0 compares strings on that many characters.
  int Compare(const TORBVariant& other, bool sqlNulls, int prefixLength = -1, bool caseInsensitive = false) const;

  void Add(const TORBVariant& b);
  void Subtract(const TORBVariant& b);
  void Multiply(const TORBVariant& b);
  void Divide(const TORBVariant& b);
  void Negate();

  void SaveToStream(std::vector<uint8_t>& out) const;
  // Reads one value; raises on a damaged or short form. Answers bytes used.
  size_t LoadFromStream(const uint8_t* in, size_t size);
  // Copies the value into a record buffer field; false (nothing written) for
  // NULL and for an empty ANSI string. Raises "Buffer size exceeded".
  bool WriteToBuffer(uint8_t* buffer, int32_t size) const;

  bool operator==(const TORBVariant&) const = default;

 private:
  void Arith(const TORBVariant& b, char op);
  uint8_t type_ = stNone;
  bool null_ = true;
  std::vector<uint8_t> data_;
};

}  // namespace orb
