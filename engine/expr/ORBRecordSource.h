// What an expression reads a record through: a cursor or a relational
// operator implements it; the expression layer only sees field values.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "tables/ORBVariant.h"

namespace orb {

class TORBRecordSource {
 public:
  virtual ~TORBRecordSource() = default;
  // The table's name or alias, for qualified field names; may be empty.
  virtual std::string TableName() const { return {}; }
  // The field's number for a name (case-insensitive), or -1.
  virtual int32_t FindField(std::string_view name) const = 0;
  virtual std::string FieldName(int32_t field) const = 0;
  virtual uint8_t FieldType(int32_t field) const = 0;  // storage type id
  virtual int32_t FieldSize(int32_t field) const = 0;
  // The current record's value; NULL (of the field's type) when the field is null.
  virtual void ReadField(int32_t field, TORBVariant& value) const = 0;
};

}  // namespace orb
