// A filter text in the engine's language as a table cursor's record filter.
#pragma once
#include <string>

#include "access/ORBTableRecordSource.h"
#include "expr/ORBExpression.h"
#include "tables/ORBRecordFilter.h"

namespace orb {

class TORBExpressionFilter : public TORBRecordFilter {
 public:
  // Parses and binds the text ("Field '%s' not found" and the parse errors).
  TORBExpressionFilter(TORBTableData& table, TORBTableCursor& cursor, const std::string& text,
                       bool caseInsensitive = false, bool partialCompare = false);
  bool Accepts() override { return expression_.GetBooleanValue(); }
  std::vector<TORBFieldCondition> IndexConditions() const override;

 private:
  TORBTableRecordSource source_;
  TORBExpression expression_;
};

}  // namespace orb
