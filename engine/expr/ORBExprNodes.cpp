// Expression nodes: the base class, constants, field references,
// comparisons and the boolean operators with their SQL-null rules.
#include "expr/ORBExprNodes.h"

#include <cctype>

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"

namespace orb {

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool IsTextType(uint8_t t) { return IsStringStorage(t) || t == stMemo || t == stWideMemo; }

const TORBVariant& SetTruth(TORBVariant& v, int truth) {
  if (truth < 0) v.SetNull(stLogical);
  else v.SetBoolean(truth > 0);
  return v;
}

uint8_t Mirror(uint8_t op) {
  switch (op) {
    case opGreater: return opLess;
    case opLess: return opGreater;
    case opGreaterEqual: return opLessEqual;
    case opLessEqual: return opGreaterEqual;
    default: return op;
  }
}

}  // namespace

const char* OperatorName(uint8_t op) {
  static const char* const names[] = {
      "CONST", "FIELD", "=", "<>", ">", "<", ">=", "<=", "NOT", "AND", "OR", "IN", "NOT IN", "EXISTS", "BETWEEN",
      "NOT BETWEEN", "LIKE", "NOT LIKE", "IS NULL", "IS NOT NULL", "IS TRUE", "IS FALSE", "+", "-", "*", "/", "ABS",
      "ACOS", "ASIN", "ATAN", "CEIL", "COS", "EXP", "FLOOR", "LOG", "POWER", "RAND", "ROUND", "SIGN", "SIN", "SQR",
      "SQRT", "||", "UPPER", "LOWER", "TRIM", "LTRIM", "RTRIM", "LENGTH", "POS", "SUBSTRING", "NOW", "CURRENT_DATE",
      "CURRENT_TIME", "TODATE", "TOSTRING", "EXTRACT", "CAST", "CASE", "COALESCE", "SUM", "AVG", "MIN", "MAX",
      "COUNT", "COUNT(*)", "LASTAUTOINC", "ROWNUM", "MIMETOBIN", "SUBQUERY"};
  return op < sizeof names / sizeof names[0] ? names[op] : "?";
}

int Truth(const TORBVariant& v) { return v.IsNull() ? -1 : v.AsBoolean() ? 1 : 0; }

// ---- base ----

TORBExprNode* TORBExprNode::Add(std::unique_ptr<TORBExprNode> child) {
  Children.push_back(std::move(child));
  return Children.back().get();
}

void TORBExprNode::Prepare() {
  for (auto& c : Children) c->Prepare();
}

void TORBExprNode::ResetAggregates() {
  for (auto& c : Children) c->ResetAggregates();
}

bool TORBExprNode::IsAggregated() const {
  for (auto& c : Children)
    if (c->IsAggregated()) return true;
  return false;
}

bool TORBExprNode::IsConstant() const {
  for (auto& c : Children)
    if (!c->IsConstant()) return false;
  return true;
}

void TORBExprNode::InitAggregates() {
  for (auto& c : Children) c->InitAggregates();
}

void TORBExprNode::Accumulate() {
  for (auto& c : Children) c->Accumulate();
}

void TORBExprNode::BindToSource(TORBRecordSource* source) {
  for (auto& c : Children) c->BindToSource(source);
}

void TORBExprNode::RenameField(std::string_view oldName, std::string_view newName) {
  for (auto& c : Children) c->RenameField(oldName, newName);
}

uint8_t TORBExprNode::GetDataType() const {
  if (Children.empty()) throw EORBException("Cannot determine expression type", 31233);
  TORBVariant acc(Children[0]->GetDataType());
  for (size_t i = 1; i < Children.size(); ++i) {
    const uint8_t t = TORBVariant::CommonType(acc, TORBVariant(Children[i]->GetDataType()), false);
    if (!t) throw EORBException("Cannot determine expression type", 31233);
    acc = TORBVariant(t);
  }
  return acc.DataType();
}

int32_t TORBExprNode::GetDataSize() const {
  int32_t size = 0;
  for (auto& c : Children) size = std::max(size, c->GetDataSize());
  return size;
}

bool TORBExprNode::CanBeAppliedTo(const TORBRecordSource* side) const {
  for (auto& c : Children)
    if (!c->CanBeAppliedTo(side)) return false;
  return true;
}

void TORBExprNode::AddScanConditions(TORBScanSearchConditionArray&) const {}

bool TORBExprNode::IsJoinCondition(const TORBExprNodeField**, const TORBExprNodeField**) const { return false; }

bool TORBExprNode::ReferencesOnly(std::string_view tableName) const {
  for (auto& c : Children)
    if (!c->ReferencesOnly(tableName)) return false;
  return true;
}

void TORBExprNode::CollectFields(std::vector<const TORBExprNodeField*>& out) const {
  for (auto& c : Children) c->CollectFields(out);
}

// ---- constants and fields ----

int32_t TORBExprNodeConst::GetDataSize() const {
  if (Value.IsNull()) return 0;
  if (IsTextType(Value.DataType())) return static_cast<int32_t>(Utf8Length(Value.AsString()));
  return Value.DataSize();
}

void TORBExprNodeField::BindToSource(TORBRecordSource* source) {
  if (Source || !source) return;
  if (!TableName.empty()) {
    const std::string name = source->TableName();
    if (!name.empty() && !EqualsNoCase(name, TableName)) return;
  }
  const int32_t n = source->FindField(FieldName);
  if (n < 0) return;
  Source = source;
  FieldNo = n;
}

const TORBVariant& TORBExprNodeField::GetValue() {
  if (!Source) throw EORBException::Fmt(31230, "Field '%s' not found", FieldName);
  Source->ReadField(FieldNo, Value);
  return Value;
}

void TORBExprNodeField::RenameField(std::string_view oldName, std::string_view newName) {
  if (EqualsNoCase(FieldName, oldName)) FieldName = std::string(newName);
}

uint8_t TORBExprNodeField::GetDataType() const {
  if (!Source) throw EORBException::Fmt(31230, "Field '%s' not found", FieldName);
  return Source->FieldType(FieldNo);
}

int32_t TORBExprNodeField::GetDataSize() const {
  if (!Source) throw EORBException::Fmt(31230, "Field '%s' not found", FieldName);
  return Source->FieldSize(FieldNo);
}

bool TORBExprNodeField::ReferencesOnly(std::string_view tableName) const {
  if (Source) return EqualsNoCase(Source->TableName(), tableName);
  return TableName.empty() || EqualsNoCase(TableName, tableName);
}

// ---- comparisons ----

TORBExprNodeComparison::TORBExprNodeComparison(uint8_t op, TORBExprNodePtr left, TORBExprNodePtr right)
    : TORBExprNode(op) {
  Add(std::move(left));
  if (right) Add(std::move(right));
}

void TORBExprNodeComparison::Prepare() {
  TORBExprNode::Prepare();
  if (Children.size() != 2) return;
  // A constant compared with a field takes the field's type once, here,
  // rather than on every record (a date text is read once, a wide constant
  // against a plain string field becomes plain).
  for (int side = 0; side < 2; ++side) {
    auto* field = dynamic_cast<TORBExprNodeField*>(Child(static_cast<size_t>(side)));
    auto* constant = dynamic_cast<TORBExprNodeConst*>(Child(static_cast<size_t>(1 - side)));
    if (!field || !constant || !field->Source || constant->Value.IsNull()) continue;
    const uint8_t ft = field->GetDataType(), ct = constant->Value.DataType();
    if (IsDateTimeStorage(ft) && IsTextType(ct)) constant->Value.CastTo(ft);
    else if (IsStringStorage(ft) && !IsWideStorage(ft) && IsWideStorage(ct)) constant->Value.CastTo(stString);
  }
}

int TORBExprNodeComparison::CompareCode(const TORBVariant& l, const TORBVariant& r) const {
  const int c = l.Compare(r, SqlNulls, PrefixLength, CaseInsensitive);
  if (c >= crLeftNull) return -1;
  switch (Operator) {
    case opEqual: return c == crEqual;
    case opNotEqual: return c != crEqual;
    case opGreater: return c == crGreater;
    case opLess: return c == crLess;
    case opGreaterEqual: return c != crLess;
    case opLessEqual: return c != crGreater;
    default: throw EORBException::Fmt(31234, "Unknown operator: '%s'", OperatorName(Operator));
  }
}

const TORBVariant& TORBExprNodeComparison::GetValue() {
  const TORBVariant& l = Child(0)->GetValue();
  if (!Subquery) return SetTruth(Value, CompareCode(l, Child(1)->GetValue()));
  // value op ALL / ANY (SELECT ...): three-valued over the result rows.
  std::vector<std::vector<TORBVariant>> rows;
  Subquery->Run(rows, -1);
  const bool all = Quantifier == 1;
  bool sawNull = false;
  for (auto& row : rows) {
    const int t = row.empty() ? -1 : CompareCode(l, row[0]);
    if (t < 0) sawNull = true;
    else if (all && t == 0) return SetTruth(Value, 0);
    else if (!all && t == 1) return SetTruth(Value, 1);
  }
  return SetTruth(Value, sawNull ? -1 : all ? 1 : 0);
}

void TORBExprNodeComparison::AddScanConditions(TORBScanSearchConditionArray& out) const {
  if (Subquery || Children.size() != 2) return;
  for (int side = 0; side < 2; ++side) {
    auto* field = dynamic_cast<const TORBExprNodeField*>(Child(static_cast<size_t>(side)));
    const TORBExprNode* other = Child(static_cast<size_t>(1 - side));
    if (!field || !field->Source || !other->IsConstant()) continue;
    TORBScanSearchCondition c;
    c.Source = field->Source;
    c.FieldNo = field->FieldNo;
    c.Operator = side == 0 ? Operator : Mirror(Operator);
    try {
      c.Value = const_cast<TORBExprNode*>(other)->GetValue();
    } catch (const EORBException&) {
      return;  // a constant that cannot be computed serves no index; evaluation reports it
    }
    c.CaseInsensitive = CaseInsensitive;
    c.PrefixLength = PrefixLength;
    out.push_back(std::move(c));
    return;
  }
}

bool TORBExprNodeComparison::IsJoinCondition(const TORBExprNodeField** left, const TORBExprNodeField** right) const {
  if (Operator != opEqual || Subquery || Children.size() != 2) return false;
  auto* l = dynamic_cast<const TORBExprNodeField*>(Child(0));
  auto* r = dynamic_cast<const TORBExprNodeField*>(Child(1));
  if (!l || !r || !l->Source || !r->Source || l->Source == r->Source) return false;
  *left = l;
  *right = r;
  return true;
}

// ---- boolean operators ----

const TORBVariant& TORBExprNodeBoolean::GetValue() { return SetTruth(Value, Evaluate()); }

int TORBExprNodeBoolean::Evaluate() {
  switch (Operator) {
    case opNot: {
      const int t = Truth(Child(0)->GetValue());
      return t < 0 ? -1 : 1 - t;
    }
    case opAnd: {
      bool sawNull = false;
      for (auto& c : Children) {
        const int t = Truth(c->GetValue());
        if (t == 0) return 0;
        sawNull |= t < 0;
      }
      return sawNull ? -1 : 1;
    }
    case opOr: {
      bool sawNull = false;
      for (auto& c : Children) {
        const int t = Truth(c->GetValue());
        if (t == 1) return 1;
        sawNull |= t < 0;
      }
      return sawNull ? -1 : 0;
    }
    case opIsNull: return Child(0)->GetValue().IsNull() ? 1 : 0;
    case opIsNotNull: return Child(0)->GetValue().IsNull() ? 0 : 1;
    case opIsTrue: return Truth(Child(0)->GetValue()) == 1;
    case opIsFalse: return Truth(Child(0)->GetValue()) == 0;
    case opIn: case opNotIn: {
      const TORBVariant& v = Child(0)->GetValue();
      if (v.IsNull()) return -1;
      bool found = false;
      if (Subquery) {
        std::vector<std::vector<TORBVariant>> rows;
        Subquery->Run(rows, -1);
        for (size_t i = 0; i < rows.size() && !found; ++i)
          found = !rows[i].empty() && v.Compare(rows[i][0], true, -1, true) == crEqual;
      } else {
        for (size_t i = 1; i < Children.size() && !found; ++i)
          found = v.Compare(Child(i)->GetValue(), true, -1, true) == crEqual;
      }
      return (Operator == opIn) == found;
    }
    case opExists: {
      std::vector<std::vector<TORBVariant>> rows;
      Subquery->Run(rows, 1);
      return rows.empty() ? 0 : 1;
    }
    case opBetween: case opNotBetween: {
      const TORBVariant& v = Child(0)->GetValue();
      const TORBVariant& lo = Child(1)->GetValue();
      const TORBVariant& hi = Child(2)->GetValue();
      if (v.IsNull() || lo.IsNull() || hi.IsNull()) return -1;
      const bool in = v.Compare(lo, false, -1, true) != crLess && v.Compare(hi, false, -1, true) != crGreater;
      return (Operator == opBetween) == in;
    }
    case opLike: case opNotLike: {
      const TORBVariant& v = Child(0)->GetValue();
      const TORBVariant& p = Child(1)->GetValue();
      if ((!v.IsNull() && !IsTextType(v.DataType())) || (!p.IsNull() && !IsTextType(p.DataType())))
        throw EORBException::Fmt(31232, "Not string argument in function '%s'", "LIKE");
      if (p.IsNull()) return -1;
      // A NULL value is matched as an empty text.
      std::string_view value, pattern;
      std::string valueCopy, patternCopy;
      if (!v.IsNull() && !v.ViewString(value)) value = valueCopy = v.AsString();
      if (!p.ViewString(pattern)) pattern = patternCopy = p.AsString();
      const bool m = like_.Matches(value, pattern, EscapeText, CaseInsensitive);
      return (Operator == opLike) == m;
    }
    default: throw EORBException::Fmt(31234, "Unknown operator: '%s'", OperatorName(Operator));
  }
}

void TORBExprNodeBoolean::AddScanConditions(TORBScanSearchConditionArray& out) const {
  if (Operator != opAnd) return;
  for (auto& c : Children) c->AddScanConditions(out);
}

// ---- LIKE ----

namespace {

size_t CharEnd(std::string_view s, size_t i) {
  size_t j = i + 1;
  while (j < s.size() && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80) ++j;
  return j;
}

bool SameChar(std::string_view a, std::string_view b, bool ci) {
  if (a == b) return true;
  const bool ascii = a.size() == 1 && b.size() == 1;
  if (ascii) return ci && std::toupper(static_cast<unsigned char>(a[0])) == std::toupper(static_cast<unsigned char>(b[0]));
  return TORBCollation::Current().Compare(a, b, ci) == 0;
}

}  // namespace

void TORBLikePattern::Compile(std::string_view pattern, std::string_view escape) {
  pattern_.assign(pattern);
  escape_.assign(escape);
  items_.clear();
  auto literal = [&](size_t at, size_t end) {
    items_.push_back({kChar, static_cast<uint32_t>(at), static_cast<uint32_t>(end - at)});
  };
  for (size_t i = 0; i < pattern_.size();) {
    const size_t end = CharEnd(pattern_, i);
    const std::string_view ch(pattern_.data() + i, end - i);
    if (!escape_.empty() && ch == escape_) {
      // The escape takes the next character literally; at the end it stands for itself.
      if (end < pattern_.size()) {
        const size_t next = CharEnd(pattern_, end);
        literal(end, next);
        i = next;
        continue;
      }
      literal(i, end);
    } else if (ch == "%") {
      if (items_.empty() || items_.back().K != kMany) items_.push_back({kMany});
    } else if (ch == "_") {
      items_.push_back({kOne});
    } else {
      literal(i, end);
    }
    i = end;
  }
  asciiLiterals_ = true;
  contains_ = items_.size() >= 3 && items_.front().K == kMany && items_.back().K == kMany;
  literal_.clear();
  for (size_t k = 0; k < items_.size(); ++k) {
    const Item& it = items_[k];
    if (it.K == kChar) {
      asciiLiterals_ &= it.Size == 1 && static_cast<unsigned char>(pattern_[it.At]) < 0x80;
      literal_.append(pattern_, it.At, it.Size);
    } else if (k != 0 && k + 1 != items_.size()) {
      contains_ = false;
    }
  }
  compiled_ = true;
}

// Greedy matching with one resume point per '%': linear in practice, never
// exponential.
bool TORBLikePattern::MatchItems(std::string_view s, bool ci) const {
  const size_t n = items_.size();
  size_t si = 0, pi = 0, starP = SIZE_MAX, starS = 0;
  while (si < s.size()) {
    if (pi < n && items_[pi].K == kMany) {
      starP = pi++;
      starS = si;
      continue;
    }
    const size_t end = CharEnd(s, si);
    if (pi < n && (items_[pi].K == kOne ||
                   SameChar(std::string_view(pattern_.data() + items_[pi].At, items_[pi].Size), s.substr(si, end - si), ci))) {
      ++pi;
      si = end;
    } else if (starP != SIZE_MAX) {
      pi = starP + 1;
      si = starS = CharEnd(s, starS);
    } else {
      return false;
    }
  }
  while (pi < n && items_[pi].K == kMany) ++pi;
  return pi == n;
}

bool TORBLikePattern::Matches(std::string_view value, std::string_view pattern, std::string_view escape, bool ci) {
  if (!compiled_ || pattern != pattern_ || escape != escape_) Compile(pattern, escape);
  // Between ASCII texts a character equals only itself (or its other case),
  // so '%abc%' is a plain substring search. A non-ASCII value character can
  // still collate equal to an ASCII one and goes the general way.
  if (contains_ && !ci && asciiLiterals_ && IsAscii(value)) return value.find(literal_) != std::string_view::npos;
  return MatchItems(value, ci);
}

bool LikeMatch(std::string_view value, std::string_view pattern, std::string_view escape, bool ci) {
  TORBLikePattern p;
  return p.Matches(value, pattern, escape, ci);
}

}  // namespace orb
