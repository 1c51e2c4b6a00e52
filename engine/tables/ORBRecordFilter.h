// What the table layer asks of a cursor's filter: whether the cursor's
// current record passes, and which simple field conditions an index may
// serve. Expressions implement it from above, so tables never see them.
#pragma once
#include <cstdint>
#include <vector>

#include "tables/ORBVariant.h"

namespace orb {

// field (kind) value; kinds are those of key searches (1 "=", 2 "<", 3 ">",
// 4 "<=", 5 ">=").
struct TORBFieldCondition {
  int32_t FieldNo = -1;
  int Kind = 1;
  TORBVariant Value;
  bool CaseInsensitive = false;
};

class TORBRecordFilter {
 public:
  virtual ~TORBRecordFilter() = default;
  // Evaluated on the cursor's current record buffer.
  virtual bool Accepts() = 0;
  // Conditions every accepted record satisfies (the AND parts of the filter
  // an index can serve); the filter is still applied to what they yield.
  virtual std::vector<TORBFieldCondition> IndexConditions() const = 0;
};

}  // namespace orb
