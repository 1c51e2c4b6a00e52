// A table cursor's current record as the record source filters and other
// expressions read: field values by name and number, memos as text.
#pragma once
#include "expr/ORBRecordSource.h"
#include "tables/ORBTableData.h"

namespace orb {

class TORBTableRecordSource : public TORBRecordSource {
 public:
  TORBTableRecordSource(TORBTableData& table, TORBTableCursor& cursor) : table_(table), cursor_(cursor) {}

  std::string TableName() const override { return table_.Name(); }
  int32_t FindField(std::string_view name) const override;
  std::string FieldName(int32_t field) const override;
  uint8_t FieldType(int32_t field) const override;
  int32_t FieldSize(int32_t field) const override;
  void ReadField(int32_t field, TORBVariant& value) const override;

 private:
  TORBTableData& table_;
  TORBTableCursor& cursor_;
};

}  // namespace orb
