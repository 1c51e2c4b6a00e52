// Rules that act on record buffers but are driven by the definitions:
// autoincrement values, default values and constraint checks.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "tables/ORBMetaData.h"

namespace orb {

// A session's last generated value per sequence (keyed by field ObjectID).
struct TORBSessionSequences {
  std::map<int32_t, int64_t> Last;
};

// Reads field i of a record buffer (memory form) as a variant; NULL when its
// null flag is set. BLOB-family fields carry no value here.
TORBVariant ReadFieldValue(const TORBFieldDefs& fields, size_t i, const uint8_t* record);
// The same into `out`, reusing its storage (a field read on every record).
void ReadFieldValue(const TORBFieldDefs& fields, size_t i, const uint8_t* record, TORBVariant& out);

class TORBFieldManager {
 public:
  explicit TORBFieldManager(const TORBFieldDefs& fields);

  // Counters start at each field's initial value (a new table).
  void ResetAutoinc();
  std::vector<int64_t>& LastValues() { return last_; }

  int64_t GetNextAutoincValue(size_t fieldNo);
  void SetAutoincValues(TORBSessionSequences& session, uint8_t* record);
  int64_t GetLastAutoincValue(const TORBSessionSequences& session, size_t fieldNo, bool strict) const;

  // Evaluates a string default as an expression when an evaluator is given
  // (it answers false to fall back to the literal).
  using Evaluator = std::function<bool(const std::string& expression, TORBVariant& result)>;
  void ApplyDefaultValues(uint8_t* record, const Evaluator& evaluate = {}) const;

 private:
  const TORBFieldDefs& fields_;
  std::vector<int64_t> last_;
};

// Runs the constraints in order; stops at the first failure, raising when
// `raise`, else answering false. `hasDuplicate` answers whether the index of
// a primary or unique constraint holds another record with this key (the
// caller skips the record's own previous version and empty tables).
bool CheckConstraints(const TORBConstraintDefs& constraints, const TORBFieldDefs& fields, const uint8_t* record,
                      bool raise, const std::function<bool(const TORBConstraintDef&)>& hasDuplicate);

}  // namespace orb
