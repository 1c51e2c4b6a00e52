// Filter texts as record filters: evaluation per record, and the AND parts
// that compare a field with a constant offered to the search planner.
#include "access/ORBExpressionFilter.h"

#include "tables/ORBBTreeRecordIndex.h"

namespace orb {

TORBExpressionFilter::TORBExpressionFilter(TORBTableData& table, TORBTableCursor& cursor, const std::string& text,
                                           bool caseInsensitive, bool partialCompare)
    : source_(table, cursor) {
  expression_.ParseFilter(&source_, text, caseInsensitive, partialCompare);
}

std::vector<TORBFieldCondition> TORBExpressionFilter::IndexConditions() const {
  TORBScanSearchConditionArray scan;
  expression_.GetScanConditions(scan);
  std::vector<TORBFieldCondition> out;
  for (const TORBScanSearchCondition& s : scan) {
    // Prefix tests and "<>" are left to the filter itself.
    if (s.Source != &source_ || s.PrefixLength >= 0 || s.Value.IsNull()) continue;
    int kind;
    switch (s.Operator) {
      case opEqual: kind = ckEqual; break;
      case opLess: kind = ckLess; break;
      case opGreater: kind = ckGreater; break;
      case opLessEqual: kind = ckLessOrEqual; break;
      case opGreaterEqual: kind = ckGreaterOrEqual; break;
      default: continue;
    }
    out.push_back({s.FieldNo, kind, s.Value, s.CaseInsensitive});
  }
  return out;
}

}  // namespace orb
