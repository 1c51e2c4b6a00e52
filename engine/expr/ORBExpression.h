// TORBExpression: a parsed filter, key condition or SQL expression with its
// tree, the parse entry points, evaluation and the hooks of the planner.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expr/ORBExprNodes.h"
#include "expr/ORBExprParser.h"
#include "expr/ORBLexer.h"
#include "expr/ORBRecordSource.h"

namespace orb {

// What the SQL layer lends the parser: SELECTs inside expressions and the
// tables behind LASTAUTOINC. Without a host neither parses.
class TORBExprHost {
 public:
  virtual ~TORBExprHost() = default;
  // Called with the lexer on SELECT; parses up to (not including) the
  // closing ')' of the subquery. nullptr: not a subquery.
  virtual std::unique_ptr<TORBSubquery> ParseSubquery(TORBLexer&) { return nullptr; }
  // A reader of the table's last autoincrement value of the field; empty
  // when the field does not exist. The storage type goes to *type.
  virtual std::function<TORBVariant()> LastAutoinc(std::string_view, bool, std::string_view, uint8_t*) {
    return {};
  }
};

class TORBExpression {
 public:
  TORBExpression() = default;
  TORBExpression(const TORBExpression&) = delete;
  TORBExpression& operator=(const TORBExpression&) = delete;

  bool CaseInsensitive = false;
  bool PartialCompare = false;
  bool NullOrder = true;  // off in key searches, where NULL equals NULL
  TORBExprHost* Host = nullptr;

  // Parses a whole filter text and binds it to the source (when given).
  // On any error the expression is left without a tree.
  void ParseFilter(TORBRecordSource* source, std::string_view text, bool caseInsensitive, bool partialCompare);
  // A boolean expression / a single value at the lexer's current token; the
  // lexer is left after it.
  void ParseCondition(TORBLexer& lexer);
  void ParseValue(TORBLexer& lexer);
  // The text is one command holding one constant value and nothing else.
  static bool IsConstantText(std::string_view text);

  // field = value for one field, an AND of them for several (names split by ';').
  void BuildKeyCondition(TORBRecordSource* source, std::string_view keyFields, bool caseInsensitive, bool partialKey,
                         const std::vector<TORBVariant>& keyValues);
  void BuildFieldComparison(TORBRecordSource* source, std::string_view fieldName, const TORBVariant& value,
                            uint8_t op);

  // Binds every field reference to one of the sources and prepares the tree;
  // "Field '%s' not found" for a name none of them has.
  void Bind(TORBRecordSource* source);
  void Bind(const std::vector<TORBRecordSource*>& sources);

  TORBVariant GetValue(bool keepNull = false);
  bool GetBooleanValue();

  TORBExprNode* Root() const { return root_.get(); }
  void SetRoot(TORBExprNodePtr root) { root_ = std::move(root); }
  TORBExprNodePtr ReleaseRoot() { return std::move(root_); }

  // Planner hooks.
  // The AND parts of the condition that only read `side` move out of this
  // expression into the result (nullptr when there is none).
  TORBExprNodePtr ExtractPartsFor(const TORBRecordSource* side);
  void GetScanConditions(TORBScanSearchConditionArray& out) const;
  // field = field pairs between two sources among the AND parts.
  std::vector<std::pair<const TORBExprNodeField*, const TORBExprNodeField*>> JoinPairs() const;
  void RenameField(std::string_view oldName, std::string_view newName);

 private:
  TORBExprParser StartParse(TORBLexer& lexer);
  TORBExprNodePtr root_;
};

}  // namespace orb
