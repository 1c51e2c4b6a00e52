// Expression nodes that compute values: arithmetic and numeric functions,
// string and date functions, CAST, CASE/COALESCE, aggregates and the rest.
#include <cmath>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>

#include "expr/ORBExprNodes.h"
#include "expr/ORBLexer.h"
#include "orb/ORBExcept.h"
#include "orb/ORBText.h"

namespace orb {

namespace {

bool IsTextType(uint8_t t) { return IsStringStorage(t) || t == stMemo || t == stWideMemo; }
bool IsWideType(uint8_t t) { return IsWideStorage(t) || t == stWideMemo; }
bool IsIntegerType(uint8_t t) { return t >= stShortInt && t <= stCardinal; }

std::mutex g_clockLock;
TORBClock g_clock;

[[noreturn]] void BadArgument(uint8_t op) {
  throw EORBException::Fmt(31239, "Invalid argument for numeric function '%s'", OperatorName(op));
}

// Rounds to a whole number by one of the nine modes, in reserved word order
// HALFEVEN, HALFPOS, HALFNEG, HALFDOWN, HALFUP, RNDNEG, RNDPOS, RNDDOWN, RNDUP.
long double RoundWhole(long double x, uint8_t mode) {
  const long double fl = std::floor(x), frac = x - fl;
  switch (mode) {
    case 0:  // ties to even
      if (frac != 0.5L) return std::round(x);
      return std::fmod(fl, 2.0L) == 0 ? fl : fl + 1;
    case 1: return frac >= 0.5L ? fl + 1 : fl;                    // ties towards +infinity
    case 2: return frac > 0.5L ? fl + 1 : fl;                     // ties towards -infinity
    case 3: return frac == 0.5L ? std::trunc(x) : std::round(x);  // ties towards zero
    case 4: return std::round(x);                                 // ties away from zero
    case 5: return std::floor(x);
    case 6: return std::ceil(x);
    case 7: return std::trunc(x);
    default: return x < 0 ? std::floor(x) : std::ceil(x);  // away from zero
  }
}

// Day number and milliseconds of a date, time or date-time value.
void DateParts(const TORBVariant& v, int32_t* day, int32_t* ms) {
  switch (v.DataType()) {
    case stDate: *day = v.AsDate(); *ms = 0; return;
    case stTime: *day = kDateTimeEpochDay; *ms = v.AsTime(); return;
    default: {
      TORBVariant c = v;
      c.CastTo(stDateTime);
      std::memcpy(day, c.Data(), 4);
      std::memcpy(ms, c.Data() + 4, 4);
    }
  }
}

// Text width of a value of a type, for a CAST to a string without a size.
int32_t TextWidth(uint8_t t, int32_t sourceSize) {
  switch (t) {
    case stShortInt: return 4;
    case stSmallInt: return 6;
    case stInteger: return 11;
    case stLargeInt: return 20;
    case stByte: return 3;
    case stWord: return 5;
    case stCardinal: return 10;
    case stSingle: case stFloat: case stExtended: case stDate: case stTime: case stDateTime: return 26;
    case stLogical: return 5;
    case stCurrency: return 21;
    case stMemo: case stWideMemo: return 4096;
    case stChar: case stWideChar: case stString: case stWideString: case stBlob: case stBytes: case stVarBytes:
      return sourceSize;
    default: throw EORBException::Fmt(31223, "Unsupported data type '%s'", StorageTypeName(t));
  }
}

std::string TrimText(std::string s, bool left, bool right) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  size_t b = 0, e = s.size();
  if (left)
    while (b < e && blank(s[b])) ++b;
  if (right)
    while (e > b && blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Byte offset of the character at a 0-based character index (size() past the end).
size_t CharOffset(std::string_view s, int64_t index) {
  size_t i = 0;
  for (int64_t n = 0; n < index && i < s.size(); ++n) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
  }
  return i;
}

void SetText(TORBVariant& v, const std::string& s, bool wide) {
  if (wide) v.SetWideString(Utf8ToUtf16(s));
  else v.SetString(s);
}

}  // namespace

void SetExpressionClock(TORBClock clock) {
  std::lock_guard<std::mutex> g(g_clockLock);
  g_clock = std::move(clock);
}

void ReadExpressionClock(int32_t* day, int32_t* ms) {
  {
    std::lock_guard<std::mutex> g(g_clockLock);
    if (g_clock) return g_clock(day, ms);
  }
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  *day = DayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  *ms = ((tm.tm_hour * 60 + tm.tm_min) * 60 + std::min(tm.tm_sec, 59)) * 1000;
}

// ---- arithmetic ----

uint8_t TORBExprNodeArithmetic::GetDataType() const {
  switch (Operator) {
    case opSum: case opMultiply: case opDivide: return TORBExprNode::GetDataType();
    case opNegate: case opAbs: case opCeil: case opFloor: case opRand: {
      const uint8_t t = Child(0)->GetDataType();
      return IsNumericStorage(t) ? t : stFloat;
    }
    case opSign: return stInteger;
    default: return stFloat;
  }
}

const TORBVariant& TORBExprNodeArithmetic::GetValue() {
  switch (Operator) {
    case opSum: {
      Value = Child(0)->GetValue();
      if (Negative[0]) Value.Negate();
      for (size_t i = 1; i < Children.size(); ++i) {
        const TORBVariant& t = Child(i)->GetValue();
        const bool text = IsTextType(Value.DataType()) || IsTextType(t.DataType());
        if (!text && (Value.IsNull() || t.IsNull())) {
          // NULL in arithmetic gives NULL, whatever type the NULL carries.
          Value.SetNull(Value.IsNull() ? Value.DataType() : t.DataType());
        } else if (Negative[i]) {
          Value.Subtract(t);
        } else {
          Value.Add(t);  // concatenates texts; a NULL text counts as empty
        }
      }
      return Value;
    }
    case opNegate:
      Value = Child(0)->GetValue();
      Value.Negate();
      return Value;
    case opMultiply: case opDivide: {
      Value = Child(0)->GetValue();
      const TORBVariant& r = Child(1)->GetValue();
      if (Operator == opMultiply) Value.Multiply(r);
      else Value.Divide(r);
      return Value;
    }
    default: break;
  }
  const TORBVariant& a = Child(0)->GetValue();
  if (a.IsNull() || (Children.size() > 1 && Operator != opRound && Child(1)->GetValue().IsNull())) {
    Value.SetNull(GetDataType());
    return Value;
  }
  const uint8_t t = a.DataType();
  if (!IsNumericStorage(t) && t != stLogical && !IsTextType(t))
    throw EORBException::Fmt(31108, "Not numeric argument in numeric operator '%s'", OperatorName(Operator));
  if (IsIntegerType(t) && (Operator == opAbs || Operator == opSign || Operator == opCeil || Operator == opFloor)) {
    const int64_t v = a.AsLargeInt();
    if (Operator == opSign) Value.SetInteger(v > 0 ? 1 : v < 0 ? -1 : 0, stInteger);
    else if (Operator == opAbs && v < 0) (Value = a).Negate();
    else Value = a;
    return Value;
  }
  const long double x = a.AsExtended();
  long double r = 0;
  switch (Operator) {
    case opAbs: r = std::fabs(x); break;
    case opAcos: r = std::acos(x); break;
    case opAsin: r = std::asin(x); break;
    case opAtan: r = std::atan(x); break;
    case opCeil: r = std::ceil(x); break;
    case opCos: r = std::cos(x); break;
    case opExp: r = std::exp(x); break;
    case opFloor: r = std::floor(x); break;
    case opLog: r = x > 0 ? std::log(x) : NAN; break;
    case opPower: r = std::pow(x, Child(1)->GetValue().AsExtended()); break;
    case opSign: Value.SetInteger(x > 0 ? 1 : x < 0 ? -1 : 0, stInteger); return Value;
    case opSin: r = std::sin(x); break;
    case opSqr: r = x * x; break;
    case opSqrt: r = x >= 0 ? std::sqrt(x) : NAN; break;
    case opRand: {
      thread_local std::mt19937_64 gen{std::random_device{}()};
      if (IsIntegerType(t)) {
        const int64_t n = a.AsLargeInt();
        if (n <= 0) BadArgument(Operator);
        Value.SetInteger(static_cast<int64_t>(gen() % static_cast<uint64_t>(n)), t);
        return Value;
      }
      r = std::uniform_real_distribution<double>(0.0, 1.0)(gen) * static_cast<double>(x);
      break;
    }
    case opRound: {
      int64_t digits = 0;
      if (Children.size() > 1 && !Child(1)->GetValue().IsNull()) digits = Child(1)->GetValue().AsLargeInt();
      if (digits < -18 || digits > 18) BadArgument(Operator);
      const long double scale = std::pow(10.0L, static_cast<long double>(digits));
      r = RoundWhole(x * scale, RoundMode) / scale;
      if (IsIntegerType(t) && std::isfinite(r) && std::fabs(r) < 9.2e18L) {
        Value.SetInteger(static_cast<int64_t>(r), stLargeInt);
        Value.CastTo(t);
        return Value;
      }
      break;
    }
    default: throw EORBException::Fmt(31234, "Unknown operator: '%s'", OperatorName(Operator));
  }
  if (!std::isfinite(r)) BadArgument(Operator);
  Value.SetFloat(r, stFloat);
  return Value;
}

// ---- strings ----

uint8_t TORBExprNodeStringFunction::GetDataType() const {
  switch (Operator) {
    case opLength: case opPos: return stInteger;
    case opConcat:
      for (auto& c : Children)
        if (IsWideType(c->GetDataType())) return stWideString;
      return stString;
    default: {
      const uint8_t t = Child(0)->GetDataType();
      return IsTextType(t) ? t : stString;
    }
  }
}

int32_t TORBExprNodeStringFunction::GetDataSize() const {
  switch (Operator) {
    case opLength: case opPos: return 4;
    case opConcat: {
      int32_t n = 0;
      for (auto& c : Children) n += c->GetDataSize();
      return n;
    }
    default: return Child(0)->GetDataSize();
  }
}

const TORBVariant& TORBExprNodeStringFunction::GetValue() {
  if (Operator == opConcat) {
    std::string s;
    bool wide = false;
    for (auto& c : Children) {
      const TORBVariant& v = c->GetValue();
      wide |= IsWideType(v.DataType());
      if (!v.IsNull()) s += v.AsString();  // a NULL operand counts as empty
    }
    SetText(Value, s, wide);
    return Value;
  }
  const TORBVariant& a = Child(0)->GetValue();
  if (Operator == opLength) {
    Value.SetInteger(a.IsNull() ? 0 : static_cast<int64_t>(Utf8Length(a.AsString())), stInteger);
    return Value;
  }
  const bool wide = IsWideType(a.DataType());
  if (Operator == opPos) {
    const TORBVariant& b = Child(1)->GetValue();
    if (a.IsNull() || b.IsNull()) {
      Value.SetNull(stInteger);
      return Value;
    }
    const std::string sub = a.AsString(), str = b.AsString();
    const size_t at = str.find(sub);
    Value.SetInteger(at == std::string::npos ? 0 : static_cast<int64_t>(Utf8Length(str.substr(0, at))) + 1, stInteger);
    return Value;
  }
  if (a.IsNull()) {
    Value.SetNull(IsTextType(a.DataType()) ? a.DataType() : stString);
    return Value;
  }
  const TORBCollation& coll = TORBCollation::Current();
  if (Operator == opUpper || Operator == opLower) {
    // Filters map a field on every record: no copy of the argument, and a
    // result buffer that keeps its storage.
    std::string_view text;
    std::string copy;
    if (!a.ViewString(text)) text = copy = a.AsString();
    coll.MapCase(text, Operator == opUpper, mapped_);
    SetText(Value, mapped_, wide);
    return Value;
  }
  const std::string s = a.AsString();
  switch (Operator) {
    case opTrim: SetText(Value, TrimText(s, true, true), wide); break;
    case opLTrim: SetText(Value, TrimText(s, true, false), wide); break;
    case opRTrim: SetText(Value, TrimText(s, false, true), wide); break;
    case opSubstring: {
      const TORBVariant& st = Child(1)->GetValue();
      const bool hasLen = Children.size() > 2;
      if (st.IsNull() || (hasLen && Child(2)->GetValue().IsNull())) {
        Value.SetNull(a.DataType());
        return Value;
      }
      int64_t start = st.AsLargeInt();
      int64_t len = hasLen ? Child(2)->GetValue().AsLargeInt() : INT64_MAX;
      if (len < 0) throw EORBException::Fmt(31239, "Invalid argument for numeric function '%s'", "SUBSTRING");
      // Positions before the first character use up length without taking any.
      if (start < 1) {
        len = len == INT64_MAX ? len : std::max<int64_t>(0, len - (1 - start));
        start = 1;
      }
      const size_t b = CharOffset(s, start - 1);
      const size_t e = len == INT64_MAX ? s.size() : b + CharOffset(std::string_view(s).substr(b), len);
      SetText(Value, s.substr(b, e - b), wide);
      break;
    }
    default: throw EORBException::Fmt(31234, "Unknown operator: '%s'", OperatorName(Operator));
  }
  return Value;
}

// ---- dates ----

bool TORBExprNodeDateFunction::IsConstant() const {
  if (Operator == opNow || Operator == opCurrentDate || Operator == opCurrentTime) return false;
  return TORBExprNode::IsConstant();
}

uint8_t TORBExprNodeDateFunction::GetDataType() const {
  switch (Operator) {
    case opNow: return stDateTime;
    case opCurrentDate: return stDate;
    case opCurrentTime: return stTime;
    case opToDate:
      if (Format.HasDateTokens() != Format.HasTimeTokens()) return Format.HasDateTokens() ? stDate : stTime;
      return stDateTime;
    case opToString: return stString;
    default: return stWord;
  }
}

int32_t TORBExprNodeDateFunction::GetDataSize() const {
  if (Operator == opToString) return Format.MaxLength();
  return MemoryDataSize(GetDataType(), 0);
}

const TORBVariant& TORBExprNodeDateFunction::GetValue() {
  int32_t day = 0, ms = 0;
  switch (Operator) {
    case opNow: case opCurrentDate: case opCurrentTime:
      ReadExpressionClock(&day, &ms);
      if (Operator == opNow) Value.SetDateTime(day, ms);
      else if (Operator == opCurrentDate) Value.SetDate(day);
      else Value.SetTime(ms);
      return Value;
    default: break;
  }
  const TORBVariant& a = Child(0)->GetValue();
  if (a.IsNull()) {
    Value.SetNull(GetDataType());
    return Value;
  }
  switch (Operator) {
    case opToDate: {
      Format.Parse(a.AsString(), &day, &ms);
      const uint8_t t = GetDataType();
      if (t == stDate) Value.SetDate(day);
      else if (t == stTime) Value.SetTime(ms);
      else Value.SetDateTime(day, ms);
      return Value;
    }
    case opToString:
      DateParts(a, &day, &ms);
      Value.SetString(Format.Format(day, ms));
      return Value;
    case opExtract: {
      DateParts(a, &day, &ms);
      int y, m, d;
      DecodeDayNumber(day, &y, &m, &d);
      int v = 0;
      switch (Part) {
        case rwYEAR: v = y; break;
        case rwMONTH: v = m; break;
        case rwDAY: v = d; break;
        case rwHOUR: v = ms / 3600000; break;
        case rwMINUTE: v = ms / 60000 % 60; break;
        default: v = ms / 1000 % 60; break;
      }
      Value.SetInteger(v, stWord);
      return Value;
    }
    default: throw EORBException::Fmt(31234, "Unknown operator: '%s'", OperatorName(Operator));
  }
}

// ---- CAST ----

TORBExprNodeCast::TORBExprNodeCast(TORBExprNodePtr value, uint8_t storageType, int32_t size)
    : TORBExprNode(opCast), TargetType(storageType), Size(size) {
  Add(std::move(value));
}

int32_t TORBExprNodeCast::GetDataSize() const {
  if (Size > 0) return Size;
  if (IsTextType(TargetType)) return TextWidth(Child(0)->GetDataType(), Child(0)->GetDataSize());
  return MemoryDataSize(TargetType, 0);
}

const TORBVariant& TORBExprNodeCast::GetValue() {
  Value = Child(0)->GetValue();
  if (Value.IsNull()) {
    Value.SetNull(TargetType);
    return Value;
  }
  Value.CastTo(TargetType);
  if (IsTextType(TargetType)) {
    const int64_t limit = Size > 0 ? Size : 4096;
    if (IsWideType(TargetType)) {
      std::u16string w = Value.AsWideString();
      if (static_cast<int64_t>(w.size()) > limit) Value.SetWideString(w.substr(0, static_cast<size_t>(limit)), TargetType);
    } else {
      const std::string s = Value.AsString();
      const size_t cut = CharOffset(s, limit);
      if (cut < s.size()) Value.SetString(s.substr(0, cut), TargetType);
    }
  }
  return Value;
}

// ---- CASE and COALESCE ----

std::vector<const TORBExprNode*> TORBExprNodeCase::Results() const {
  std::vector<const TORBExprNode*> out;
  if (Operator == opCoalesce) {
    for (auto& c : Children) out.push_back(c.get());
    return out;
  }
  const size_t first = HasInput ? 1 : 0, pairsEnd = Children.size() - (HasElse ? 1 : 0);
  for (size_t i = first + 1; i < pairsEnd; i += 2) out.push_back(Child(i));
  if (HasElse) out.push_back(Children.back().get());
  return out;
}

uint8_t TORBExprNodeCase::GetDataType() const {
  TORBVariant acc;
  for (const TORBExprNode* r : Results()) {
    const uint8_t t = r->GetDataType();
    if (t == stNone) continue;  // a bare NULL takes any type
    if (acc.DataType() == stNone) {
      acc = TORBVariant(t);
      continue;
    }
    const uint8_t c = TORBVariant::CommonType(acc, TORBVariant(t), false);
    if (!c) throw EORBException("Cannot determine expression type", 31233);
    acc = TORBVariant(c);
  }
  return acc.DataType();
}

int32_t TORBExprNodeCase::GetDataSize() const {
  int32_t n = 0;
  for (const TORBExprNode* r : Results()) n = std::max(n, r->GetDataSize());
  return n;
}

void TORBExprNodeCase::Prepare() {
  TORBExprNode::Prepare();
  type_ = GetDataType();
}

const TORBVariant& TORBExprNodeCase::Result(TORBExprNode* n) {
  Value = n->GetValue();
  if (type_ == stNone || Value.DataType() == type_) return Value;
  if (Value.IsNull()) Value.SetNull(type_);
  else Value.CastTo(type_);
  return Value;
}

const TORBVariant& TORBExprNodeCase::GetValue() {
  if (Operator == opCoalesce) {
    for (auto& c : Children)
      if (!c->GetValue().IsNull()) return Result(c.get());
    Value.SetNull(type_);
    return Value;
  }
  const size_t first = HasInput ? 1 : 0, pairsEnd = Children.size() - (HasElse ? 1 : 0);
  for (size_t i = first; i + 1 < pairsEnd; i += 2) {
    bool hit;
    if (HasInput) hit = Child(0)->GetValue().Compare(Child(i)->GetValue(), false, -1, true) == crEqual;
    else hit = Truth(Child(i)->GetValue()) == 1;
    if (hit) return Result(Child(i + 1));
  }
  if (HasElse) return Result(Children.back().get());
  Value.SetNull(type_);
  return Value;
}

// ---- aggregates ----

uint8_t TORBExprNodeAggregated::GetDataType() const {
  switch (Operator) {
    case opAggCount: case opAggCountAll: return stInteger;
    case opAggAvg: return stFloat;
    case opAggSum: {
      const uint8_t t = Child(0)->GetDataType();
      return t == stSingle || t == stFloat || t == stExtended || t == stCurrency ? t : stLargeInt;
    }
    default: return Child(0)->GetDataType();
  }
}

int32_t TORBExprNodeAggregated::GetDataSize() const {
  if (Operator == opAggMin || Operator == opAggMax) return Child(0)->GetDataSize();
  return MemoryDataSize(GetDataType(), 0);
}

void TORBExprNodeAggregated::InitAggregates() {
  TORBExprNode::InitAggregates();
  acc_ = TORBVariant();
  count_ = 0;
  seen_.clear();
}

void TORBExprNodeAggregated::Accumulate() {
  if (Operator == opAggCountAll) {
    ++count_;
    return;
  }
  const TORBVariant& v = Child(0)->GetValue();
  if (v.IsNull()) return;
  if (Distinct) {
    for (const TORBVariant& s : seen_)
      if (s.Compare(v, false) == crEqual) return;
    seen_.push_back(v);
  }
  ++count_;
  switch (Operator) {
    case opAggSum: case opAggAvg: {
      if (!IsNumericStorage(v.DataType()))
        throw EORBException::Fmt(31108, "Not numeric argument in numeric operator '%s'",
                                 Operator == opAggSum ? "SUM" : "AVG");
      TORBVariant x = v;
      const uint8_t t = v.DataType();
      x.CastTo(Operator == opAggAvg ? stFloat
                                    : (t == stSingle || t == stFloat || t == stExtended || t == stCurrency ? t : stLargeInt));
      if (acc_.IsNull()) acc_ = std::move(x);
      else acc_.Add(x);
      break;
    }
    case opAggMin: case opAggMax: {
      if (acc_.IsNull()) {
        acc_ = v;
        break;
      }
      const int c = v.Compare(acc_, false, -1, true);
      if ((Operator == opAggMin && c == crLess) || (Operator == opAggMax && c == crGreater)) acc_ = v;
      break;
    }
    default: break;
  }
}

const TORBVariant& TORBExprNodeAggregated::GetValue() {
  switch (Operator) {
    case opAggCount: case opAggCountAll: Value.SetInteger(count_, stInteger); break;
    case opAggAvg:
      if (count_ == 0 || acc_.IsNull()) {
        Value.SetNull(stFloat);
      } else {
        Value.SetFloat(acc_.AsExtended() / static_cast<long double>(count_), stFloat);
      }
      break;
    default:
      Value = acc_;
      if (Value.IsNull()) Value.SetNull(GetDataType());
  }
  return Value;
}

// ---- system, subquery ----

const TORBVariant& TORBExprNodeSystem::GetValue() {
  if (Operator == opRowNum) Value.SetInteger(++row_, stInteger);
  else Value = LastAutoinc();
  return Value;
}

const TORBVariant& TORBExprNodeSubquery::GetValue() {
  std::vector<std::vector<TORBVariant>> rows;
  Query->Run(rows, 1);
  if (rows.empty() || rows[0].empty()) Value.SetNull(stNone);
  else Value = rows[0][0];
  return Value;
}

}  // namespace orb
