// TORBExpression: parse entry points, key conditions, binding, evaluation
// and the planner's operations on the AND parts of a condition.
#include "expr/ORBExpression.h"

#include "expr/ORBExprParser.h"
#include "orb/ORBExcept.h"
#include "orb/ORBText.h"

namespace orb {

namespace {

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return std::string(s.substr(b, e - b));
}

void CheckBound(const TORBExprNode& root) {
  std::vector<const TORBExprNodeField*> fields;
  root.CollectFields(fields);
  for (const TORBExprNodeField* f : fields)
    if (!f->Source) throw EORBException::Fmt(31230, "Field '%s' not found", f->FieldName);
}

// The AND parts of a condition: its children when it is an AND, else itself.
std::vector<TORBExprNode*> AndParts(TORBExprNode* root) {
  std::vector<TORBExprNode*> parts;
  if (!root) return parts;
  if (root->Operator == opAnd) {
    for (auto& c : root->Children) parts.push_back(c.get());
  } else {
    parts.push_back(root);
  }
  return parts;
}

}  // namespace

void TORBExpression::ParseFilter(TORBRecordSource* source, std::string_view text, bool caseInsensitive,
                                 bool partialCompare) {
  root_.reset();
  CaseInsensitive = caseInsensitive;
  PartialCompare = partialCompare;
  TORBLexer lexer(text);
  if (!lexer.NextCommand()) throw EORBException("Blank SQL command", 31200);
  ParseCondition(lexer);
  const TToken& rest = lexer.Current();
  if (rest.TokenType != ttNone) {
    root_.reset();
    throw EORBException::Fmt(31202, "Unexpected token '%s' found at line %d, column %d", rest.Text, rest.LineNum,
                             rest.ColumnNum);
  }
  if (source) Bind(source);
}

TORBExprParser TORBExpression::StartParse(TORBLexer& lexer) {
  root_.reset();
  const TToken& t = lexer.Current();
  if (t.TokenType == ttNone)
    throw EORBException::Fmt(31201, "Unexpected end of SQL command found at line %d, column %d", t.LineNum,
                             t.ColumnNum);
  return TORBExprParser(lexer, {CaseInsensitive, PartialCompare, Host});
}

void TORBExpression::ParseCondition(TORBLexer& lexer) { root_ = StartParse(lexer).Condition(); }

void TORBExpression::ParseValue(TORBLexer& lexer) { root_ = StartParse(lexer).RequiredValue(); }

bool TORBExpression::IsConstantText(std::string_view text) {
  try {
    TORBLexer lexer(text);
    if (!lexer.NextCommand()) return false;
    TORBExpression e;
    e.ParseValue(lexer);
    return lexer.AtEnd() && !lexer.NextCommand() && e.Root()->IsConstant();
  } catch (const EORBException&) {
    return false;
  }
}

void TORBExpression::BuildFieldComparison(TORBRecordSource* source, std::string_view fieldName,
                                          const TORBVariant& value, uint8_t op) {
  root_.reset();
  auto field = std::make_unique<TORBExprNodeField>(std::string(), std::string(fieldName));
  auto n = std::make_unique<TORBExprNodeComparison>(op, std::move(field), std::make_unique<TORBExprNodeConst>(value));
  n->SqlNulls = false;  // NULL equals NULL in key searches
  n->CaseInsensitive = CaseInsensitive;
  root_ = std::move(n);
  try {
    Bind(source);
  } catch (...) {
    root_.reset();
    throw;
  }
}

void TORBExpression::BuildKeyCondition(TORBRecordSource* source, std::string_view keyFields, bool caseInsensitive,
                                       bool partialKey, const std::vector<TORBVariant>& keyValues) {
  root_.reset();
  CaseInsensitive = caseInsensitive;
  std::vector<std::string> names;
  size_t start = 0;
  for (;;) {
    const size_t semi = keyFields.find(';', start);
    const std::string name = Trim(keyFields.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start));
    if (!name.empty()) names.push_back(name);
    if (semi == std::string_view::npos) break;
    start = semi + 1;
  }
  if (names.size() != keyValues.size())
    throw EORBException::Fmt(31235, "Count of FieldNames (%d) not equal counts of KeyValues (%d)",
                             static_cast<int64_t>(names.size()), static_cast<int64_t>(keyValues.size()));
  std::vector<TORBExprNodePtr> parts;
  for (size_t i = 0; i < names.size(); ++i) {
    auto field = std::make_unique<TORBExprNodeField>(std::string(), names[i]);
    field->BindToSource(source);
    if (!field->Source) throw EORBException::Fmt(31230, "Field '%s' not found", names[i]);
    TORBVariant v = keyValues[i];
    const uint8_t ft = field->GetDataType();
    const uint8_t vt = v.DataType();
    if ((ft == stSingle || ft == stFloat || ft == stExtended) && vt >= stShortInt && vt <= stCardinal) v.CastTo(ft);
    int32_t prefix = -1;
    if (partialKey && !v.IsNull() && (IsStringStorage(vt) || vt == stMemo || vt == stWideMemo))
      prefix = static_cast<int32_t>(Utf8Length(v.AsString()));
    auto n = std::make_unique<TORBExprNodeComparison>(opEqual, std::move(field),
                                                      std::make_unique<TORBExprNodeConst>(std::move(v)));
    n->SqlNulls = false;
    n->CaseInsensitive = caseInsensitive;
    n->PrefixLength = prefix;
    n->PartialCompare = prefix >= 0;
    parts.push_back(std::move(n));
  }
  TORBExprNodePtr root;
  if (parts.size() == 1) {
    root = std::move(parts[0]);
  } else {
    root = std::make_unique<TORBExprNodeBoolean>(opAnd);
    for (auto& p : parts) root->Add(std::move(p));
  }
  root->Prepare();
  root_ = std::move(root);
}

void TORBExpression::Bind(TORBRecordSource* source) { Bind(std::vector<TORBRecordSource*>{source}); }

void TORBExpression::Bind(const std::vector<TORBRecordSource*>& sources) {
  if (!root_) return;
  try {
    for (TORBRecordSource* s : sources) root_->BindToSource(s);
    CheckBound(*root_);
    root_->Prepare();
  } catch (...) {
    root_.reset();  // a tree that cannot be evaluated is not kept
    throw;
  }
}

TORBVariant TORBExpression::GetValue(bool keepNull) {
  if (!root_) return TORBVariant();
  TORBVariant v = root_->GetValue();
  if (v.IsNull() && !keepNull) v.SetBoolean(false);
  return v;
}

bool TORBExpression::GetBooleanValue() {
  if (!root_) throw EORBException("Value is Null", 31231);
  return Truth(GetValue()) == 1;
}

TORBExprNodePtr TORBExpression::ExtractPartsFor(const TORBRecordSource* side) {
  if (!root_) return nullptr;
  if (root_->Operator != opAnd) {
    if (root_->CanBeAppliedTo(side)) return std::move(root_);
    return nullptr;
  }
  std::vector<TORBExprNodePtr> moved, kept;
  for (auto& c : root_->Children) (c->CanBeAppliedTo(side) ? moved : kept).push_back(std::move(c));
  root_->Children = std::move(kept);
  if (root_->Children.empty()) root_.reset();
  else if (root_->Children.size() == 1) root_ = std::move(root_->Children[0]);
  if (moved.empty()) return nullptr;
  if (moved.size() == 1) return std::move(moved[0]);
  auto n = std::make_unique<TORBExprNodeBoolean>(opAnd);
  for (auto& m : moved) n->Add(std::move(m));
  return n;
}

void TORBExpression::GetScanConditions(TORBScanSearchConditionArray& out) const {
  if (root_) root_->AddScanConditions(out);
}

std::vector<std::pair<const TORBExprNodeField*, const TORBExprNodeField*>> TORBExpression::JoinPairs() const {
  std::vector<std::pair<const TORBExprNodeField*, const TORBExprNodeField*>> out;
  for (TORBExprNode* part : AndParts(root_.get())) {
    const TORBExprNodeField *l = nullptr, *r = nullptr;
    if (part->IsJoinCondition(&l, &r)) out.emplace_back(l, r);
  }
  return out;
}

void TORBExpression::RenameField(std::string_view oldName, std::string_view newName) {
  if (root_) root_->RenameField(oldName, newName);
}

}  // namespace orb
