// The expression grammar: conditions, predicates, values, literals and
// functions, with the filter rewrites done while comparisons are built.
#include "expr/ORBExprParser.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "expr/ORBExpression.h"
#include "orb/ORBExcept.h"
#include "orb/ORBText.h"
#include "tables/ORBTypes.h"

namespace orb {

namespace {

constexpr int kMaxDepth = 96;
enum Rule { kRuleValue, kRuleParenCondition };

bool IsTextType(uint8_t t) { return IsStringStorage(t) || t == stMemo || t == stWideMemo; }

// Reserved words with a role in the grammar; any other may name a field.
bool IsGrammarWord(int16_t w) {
  switch (w) {
    case rwAND: case rwOR: case rwNOT: case rwIS: case rwLIKE: case rwBETWEEN: case rwIN: case rwESCAPE:
    case rwTHEN: case rwWHEN: case rwELSE: case rwEND: case rwAS: case rwFROM: case rwFOR: case rwNULL:
    case rwTRUE: case rwFALSE: case rwUNKNOWN: case rwCASE: case rwCAST: case rwCOALESCE: case rwSELECT:
    case rwEXISTS: case rwALL: case rwANY: case rwSOME: case rwDISTINCT: case rwWHERE: case rwORDER:
    case rwGROUP: case rwHAVING: case rwUNION: case rwEXCEPT: case rwINTERSECT: case rwMINUS: case rwON:
    case rwJOIN: case rwINTO: case rwBY: case rwASC: case rwDESC: case rwLEFT: case rwRIGHT: case rwINNER:
    case rwOUTER: case rwFULL: case rwCROSS: case rwNATURAL: case rwUSING: case rwVALUES: case rwSET:
    case rwNOW: case rwSYSDATE: case rwCURRENT_DATE: case rwCURRENT_TIME: case rwCURRENT_TIMESTAMP:
    case rwROWNUM: case rwTOP:
      return true;
    default:
      return false;
  }
}

bool IsNiladic(int16_t w) {
  return w == rwNOW || w == rwSYSDATE || w == rwCURRENT_DATE || w == rwCURRENT_TIME || w == rwCURRENT_TIMESTAMP ||
         w == rwROWNUM;
}

bool IsFunctionWord(int16_t w) {
  switch (w) {
    case rwUPPER: case rwLOWER: case rwTRIM: case rwLTRIM: case rwRTRIM: case rwLENGTH: case rwPOS:
    case rwPOSITION: case rwSUBSTRING: case rwTODATE: case rwTOSTRING: case rwEXTRACT: case rwABS: case rwACOS:
    case rwASIN: case rwATAN: case rwCEIL: case rwCOS: case rwEXP: case rwFLOOR: case rwLOG: case rwRAND:
    case rwSIGN: case rwSIN: case rwSQR: case rwSQRT: case rwPOWER: case rwROUND: case rwSUM: case rwAVG:
    case rwMIN: case rwMAX: case rwCOUNT: case rwMIMETOBIN: case rwLASTAUTOINC:
      return true;
    default:
      return false;
  }
}

bool IsSymbolWord(const TToken& t) {
  return t.TokenType == ttWord && !t.Text.empty() && std::strchr("<>=/*|+-", t.Text[0]) != nullptr;
}

bool IsName(const TToken& t) {
  if (t.TokenType == ttBracketedName) return true;
  if (t.TokenType == ttWord) return !IsSymbolWord(t) && !t.Text.empty();
  return t.TokenType == ttReservedWord && !IsGrammarWord(t.ReservedWord);
}

uint8_t ComparisonOf(const TToken& t) {
  if (t.TokenType != ttWord) return 0;
  if (t.Text == "=") return opEqual;
  if (t.Text == "<>") return opNotEqual;
  if (t.Text == ">") return opGreater;
  if (t.Text == "<") return opLess;
  if (t.Text == ">=") return opGreaterEqual;
  if (t.Text == "<=") return opLessEqual;
  return 0;
}

template <class Node>
TORBExprNodePtr Binary(uint8_t op, TORBExprNodePtr a, TORBExprNodePtr b) {
  auto n = std::make_unique<Node>(op);
  n->Add(std::move(a));
  n->Add(std::move(b));
  return n;
}

TORBExprNodePtr Const(TORBVariant v) { return std::make_unique<TORBExprNodeConst>(std::move(v)); }

TORBExprNodeConst* AsConst(TORBExprNode* n) { return n && n->Operator == opConst ? static_cast<TORBExprNodeConst*>(n) : nullptr; }

TORBExprNodeConst* AsTextConst(TORBExprNode* n) {
  TORBExprNodeConst* c = AsConst(n);
  return c && !c->Value.IsNull() && IsTextType(c->Value.DataType()) ? c : nullptr;
}

bool IsField(const TORBExprNode* n) { return n->Operator == opField; }

// Fixed-width digit groups separated by exactly one non-digit each.
bool DigitGroups(std::string_view s, std::initializer_list<int> widths, int* out) {
  size_t i = 0;
  int g = 0;
  for (int w : widths) {
    if (g > 0) {
      if (i >= s.size() || std::isdigit(static_cast<unsigned char>(s[i]))) return false;
      ++i;
    }
    int v = 0;
    for (int k = 0; k < w; ++k, ++i) {
      if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
      v = v * 10 + (s[i] - '0');
    }
    out[g++] = v;
  }
  return i == s.size();
}

bool DecodeBase64(std::string_view in, std::string& out) {
  int bits = 0, acc = 0;
  size_t pad = 0;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else if (c == '=') {
      ++pad;
      continue;
    } else if (c == '\r' || c == '\n' || c == ' ' || c == '\t') {
      continue;
    } else {
      return false;
    }
    if (pad) return false;  // data after padding
    acc = (acc << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return pad <= 2;
}

}  // namespace

TORBExprParser::Depth::Depth(TORBExprParser& p) : p_(p) {
  if (++p_.depth_ > kMaxDepth) {
    --p_.depth_;
    const TToken& t = p_.Cur();
    throw EORBException::Fmt(31238, "Expression nested too deeply at line %d, column %d", t.LineNum, t.ColumnNum);
  }
}

void TORBExprParser::BoolExpected() const {
  const TToken& t = Cur();
  throw EORBException::Fmt(31203, "Boolean expression expected, but '%s' found at line %d, column %d", t.Text,
                           t.LineNum, t.ColumnNum);
}

void TORBExprParser::TokenExpected(const char* expected) const {
  const TToken& t = Cur();
  throw EORBException::Fmt(31204, "Token '%s' expected, but '%s' found at line %d, column %d", expected, t.Text,
                           t.LineNum, t.ColumnNum);
}

void TORBExprParser::Expect(uint8_t type, const char* text) {
  if (Cur().TokenType != type) TokenExpected(text);
  Next();
}

void TORBExprParser::ExpectWord(int16_t word) {
  if (!Cur().Is(word)) TokenExpected(ReservedWordText(word));
  Next();
}

TORBExprNodePtr TORBExprParser::Arg(const char* function) {
  auto v = Value();
  if (!v) {
    const TToken& t = Cur();
    throw EORBException::Fmt(31205, "Argument expected for function '%s' at line %d, column %d", function, t.LineNum,
                             t.ColumnNum);
  }
  return v;
}

// ---- conditions ----

TORBExprNodePtr TORBExprParser::Condition() {
  const int32_t start = Pos();
  auto c = OrExpr();
  if (!c) {
    Reset(start);
    BoolExpected();
  }
  return c;
}

TORBExprNodePtr TORBExprParser::RequiredValue() {
  auto v = Value();
  if (!v) {
    const TToken& t = Cur();
    throw EORBException::Fmt(31202, "Unexpected token '%s' found at line %d, column %d", t.Text, t.LineNum,
                             t.ColumnNum);
  }
  return v;
}

TORBExprNodePtr TORBExprParser::OrExpr() {
  auto left = AndExpr();
  if (!left) return nullptr;
  while (Cur().Is(rwOR)) {
    Next();
    auto right = AndExpr();
    if (!right) BoolExpected();
    left = Binary<TORBExprNodeBoolean>(opOr, std::move(left), std::move(right));
  }
  return left;
}

TORBExprNodePtr TORBExprParser::AndExpr() {
  auto first = NotExpr();
  if (!first || !Cur().Is(rwAND)) return first;
  auto n = std::make_unique<TORBExprNodeBoolean>(opAnd);
  auto add = [&](TORBExprNodePtr part) {
    if (part->Operator == opAnd) {  // one AND node for all operands
      for (auto& c : part->Children) n->Add(std::move(c));
    } else {
      n->Add(std::move(part));
    }
  };
  add(std::move(first));
  while (Cur().Is(rwAND)) {
    Next();
    auto next = NotExpr();
    if (!next) BoolExpected();
    add(std::move(next));
  }
  return n;
}

TORBExprNodePtr TORBExprParser::NotExpr() {
  if (!Cur().Is(rwNOT)) return TruthTest();
  Depth d(*this);
  Next();
  auto operand = NotExpr();
  if (!operand) BoolExpected();
  auto n = std::make_unique<TORBExprNodeBoolean>(opNot);
  n->Add(std::move(operand));
  return n;
}

TORBExprNodePtr TORBExprParser::TruthTest() {
  auto p = Predicate();
  if (!p || !Cur().Is(rwIS)) return p;
  const bool negated = Ahead(1).Is(rwNOT);
  const int32_t at = negated ? 2 : 1;
  const TToken& w = Ahead(at);
  if (!w.Is(rwTRUE) && !w.Is(rwFALSE) && !w.Is(rwUNKNOWN)) {
    Next();
    if (negated) Next();
    TokenExpected("TRUE, FALSE or UNKNOWN");
  }
  const int16_t word = w.ReservedWord;
  for (int32_t i = 0; i <= at; ++i) Next();
  // IS TRUE / IS FALSE never yield NULL, so NOT over them stays two-valued.
  const uint8_t op = word == rwTRUE ? opIsTrue : word == rwFALSE ? opIsFalse : opIsNull;
  auto test = std::make_unique<TORBExprNodeBoolean>(op);
  test->Add(std::move(p));
  if (!negated) return test;
  auto n = std::make_unique<TORBExprNodeBoolean>(opNot);
  n->Add(std::move(test));
  return n;
}

TORBExprNodePtr TORBExprParser::Predicate() {
  Depth d(*this);
  const int32_t start = Pos();
  if (auto left = Value()) {
    if (auto p = PredicateTail(std::move(left))) return p;
  }
  Reset(start);
  if (Cur().TokenType == ttLeftParen && !failed_.count({kRuleParenCondition, start})) {
    Next();
    auto c = OrExpr();
    if (c && Cur().TokenType == ttRightParen) {
      Next();
      return c;
    }
    failed_.insert({kRuleParenCondition, start});
    Reset(start);
  }
  if (Cur().Is(rwEXISTS) && Ahead(1).TokenType == ttLeftParen) {
    Next();
    if (auto q = Subquery()) {
      auto n = std::make_unique<TORBExprNodeBoolean>(opExists);
      n->Subquery = std::move(static_cast<TORBExprNodeSubquery*>(q.get())->Query);
      return n;
    }
    Reset(start);
  }
  return nullptr;
}

// What follows a value: an operator that makes it a predicate, or nothing
// (the value itself is the predicate). nullptr: the tokens do not fit.
TORBExprNodePtr TORBExprParser::PredicateTail(TORBExprNodePtr left) {
  if (const uint8_t op = ComparisonOf(Cur())) {
    Next();
    const TToken& q = Cur();
    if ((q.Is(rwALL) || q.Is(rwANY) || q.Is(rwSOME)) && Ahead(1).TokenType == ttLeftParen) {
      const uint8_t quantifier = q.Is(rwALL) ? 1 : 2;
      Next();
      auto sub = Subquery();
      if (!sub) return nullptr;
      auto n = std::make_unique<TORBExprNodeComparison>(op, std::move(left), nullptr);
      n->Quantifier = quantifier;
      n->Subquery = std::move(static_cast<TORBExprNodeSubquery*>(sub.get())->Query);
      n->CaseInsensitive = opt_.CaseInsensitive;
      return n;
    }
    auto right = Value();
    if (!right) return nullptr;
    return MakeComparison(op, std::move(left), std::move(right));
  }
  bool negate = false;
  if (Cur().Is(rwNOT) && (Ahead(1).Is(rwLIKE) || Ahead(1).Is(rwBETWEEN) || Ahead(1).Is(rwIN))) {
    negate = true;
    Next();
  }
  if (Cur().Is(rwLIKE)) {
    Next();
    auto pattern = Value();
    if (!pattern) return nullptr;
    if (!Cur().Is(rwESCAPE)) return MakeLike(negate, std::move(left), std::move(pattern), nullptr, nullptr);
    Next();
    const TToken escapeToken = Cur();
    auto escape = Value();
    if (!escape) return nullptr;
    return MakeLike(negate, std::move(left), std::move(pattern), &escapeToken, std::move(escape));
  }
  if (Cur().Is(rwBETWEEN)) {
    Next();
    auto lo = Value();
    if (!lo || !Cur().Is(rwAND)) return nullptr;
    Next();
    auto hi = Value();
    if (!hi) return nullptr;
    auto n = std::make_unique<TORBExprNodeBoolean>(negate ? opNotBetween : opBetween);
    n->Add(std::move(left));
    n->Add(std::move(lo));
    n->Add(std::move(hi));
    n->CaseInsensitive = true;
    return n;
  }
  if (Cur().Is(rwIN)) {
    Next();
    if (Cur().TokenType != ttLeftParen) return nullptr;
    auto n = std::make_unique<TORBExprNodeBoolean>(negate ? opNotIn : opIn);
    n->Add(std::move(left));
    if (Ahead(1).Is(rwSELECT)) {
      auto sub = Subquery();
      if (!sub) return nullptr;
      n->Subquery = std::move(static_cast<TORBExprNodeSubquery*>(sub.get())->Query);
      return n;
    }
    Next();
    for (;;) {
      auto item = Value();
      if (!item) return nullptr;
      n->Add(std::move(item));
      if (Cur().TokenType == ttRightParen) break;
      if (Cur().TokenType != ttComma) return nullptr;
      Next();
    }
    Next();
    return n;
  }
  if (negate) return nullptr;
  if (Cur().Is(rwIS)) {
    const bool notNull = Ahead(1).Is(rwNOT);
    if (Ahead(notNull ? 2 : 1).Is(rwNULL)) {
      Next();
      if (notNull) Next();
      Next();
      auto n = std::make_unique<TORBExprNodeBoolean>(notNull ? opIsNotNull : opIsNull);
      n->Add(std::move(left));
      return n;
    }
  }
  return left;
}

TORBExprNodePtr TORBExprParser::MakeComparison(uint8_t op, TORBExprNodePtr left, TORBExprNodePtr right) {
  int32_t prefix = -1;
  if (opt_.PartialCompare) {
    // Only a trailing '*' asks for a prefix test, of the stripped text's length.
    for (TORBExprNode* side : {right.get(), left.get()}) {
      TORBExprNodeConst* c = AsTextConst(side);
      if (!c) continue;
      std::string s = c->Value.AsString();
      if (s.empty() || s.back() != '*') continue;
      s.pop_back();
      c->Value.SetString(s, c->Value.DataType() == stChar ? stChar : stString);
      prefix = static_cast<int32_t>(Utf8Length(s));
      break;
    }
  }
  if (op == opEqual || op == opNotEqual) {
    // field = NULL of a text or date type is a null test.
    TORBExprNode* field = IsField(left.get()) ? left.get() : IsField(right.get()) ? right.get() : nullptr;
    TORBExprNodeConst* c = AsConst(field == left.get() ? right.get() : left.get());
    if (field && c && c->Value.IsNull()) {
      const uint8_t t = c->Value.DataType();
      if (IsTextType(t) || IsDateTimeStorage(t)) {
        auto n = std::make_unique<TORBExprNodeBoolean>(op == opEqual ? opIsNull : opIsNotNull);
        n->Add(field == left.get() ? std::move(left) : std::move(right));
        return n;
      }
    }
  }
  auto fieldAgainstConst = [](TORBExprNode* f, TORBExprNode* k) {
    TORBExprNodeConst* c = AsConst(k);
    if (!IsField(f) || !c) return false;
    const uint8_t t = c->Value.DataType();
    return c->Value.IsNull() || IsTextType(t) || IsDateTimeStorage(t);
  };
  const bool sqlNulls = !fieldAgainstConst(left.get(), right.get()) && !fieldAgainstConst(right.get(), left.get());
  auto n = std::make_unique<TORBExprNodeComparison>(op, std::move(left), std::move(right));
  n->CaseInsensitive = opt_.CaseInsensitive;
  n->SqlNulls = sqlNulls;
  n->PrefixLength = prefix;
  n->PartialCompare = prefix >= 0;
  return n;
}

TORBExprNodePtr TORBExprParser::MakeLike(bool negate, TORBExprNodePtr value, TORBExprNodePtr pattern,
                                         const TToken* escapeToken, TORBExprNodePtr escape) {
  std::string escapeText;
  if (escape) {
    TORBExprNodeConst* c = AsTextConst(escape.get());
    if (!c || Utf8Length(c->Value.AsString()) != 1)
      throw EORBException::Fmt(31208, "Invalid escape character length (should be a single character) at line %d, column %d",
                               escapeToken->LineNum, escapeToken->ColumnNum);
    escapeText = c->Value.AsString();
  }
  if (!escape) {
    // 'abc%' is a prefix test an index can serve; '_' anywhere keeps LIKE.
    if (TORBExprNodeConst* c = AsTextConst(pattern.get())) {
      const std::string p = c->Value.AsString();
      if (p.size() >= 2 && p.find('%') == p.size() - 1 && p.find('_') == std::string::npos) {
        const std::string stem = p.substr(0, p.size() - 1);
        auto n = std::make_unique<TORBExprNodeComparison>(negate ? opNotEqual : opEqual, std::move(value),
                                                          Const([&] {
                                                            TORBVariant v;
                                                            v.SetString(stem);
                                                            return v;
                                                          }()));
        n->CaseInsensitive = opt_.CaseInsensitive;
        n->SqlNulls = false;  // LIKE matches NULL as empty text: never equal
        n->PrefixLength = static_cast<int32_t>(Utf8Length(stem));
        n->PartialCompare = true;
        return n;
      }
    }
  }
  auto n = std::make_unique<TORBExprNodeBoolean>(negate ? opNotLike : opLike);
  n->Add(std::move(value));
  n->Add(std::move(pattern));
  n->EscapeText = escapeText;
  n->CaseInsensitive = opt_.CaseInsensitive;
  return n;
}

// ---- values ----

TORBExprNodePtr TORBExprParser::Value() {
  const int32_t start = Pos();
  if (failed_.count({kRuleValue, start})) return nullptr;
  Depth d(*this);
  auto v = Concat();
  if (!v) {
    failed_.insert({kRuleValue, start});
    Reset(start);
  }
  return v;
}

TORBExprNodePtr TORBExprParser::Concat() {
  auto left = Additive();
  if (!left || !Cur().IsSymbol("||")) return left;
  auto n = std::make_unique<TORBExprNodeStringFunction>(opConcat);
  n->Add(std::move(left));
  while (Cur().IsSymbol("||")) {
    Next();
    auto right = Additive();
    if (!right) return nullptr;
    n->Add(std::move(right));
  }
  return n;
}

TORBExprNodePtr TORBExprParser::Additive() {
  auto first = Term();
  if (!first || !(Cur().IsSymbol("+") || Cur().IsSymbol("-"))) return first;
  auto n = std::make_unique<TORBExprNodeArithmetic>(opSum);
  n->Add(std::move(first));
  n->Negative.push_back(false);
  while (Cur().IsSymbol("+") || Cur().IsSymbol("-")) {
    const bool minus = Cur().Text == "-";
    Next();
    auto t = Term();
    if (!t) return nullptr;
    n->Add(std::move(t));
    n->Negative.push_back(minus);
  }
  return n;
}

TORBExprNodePtr TORBExprParser::Term() {
  auto left = Factor();
  while (left && (Cur().IsSymbol("*") || Cur().IsSymbol("/"))) {
    const uint8_t op = Cur().Text == "*" ? opMultiply : opDivide;
    Next();
    auto right = Factor();
    if (!right) return nullptr;
    left = Binary<TORBExprNodeArithmetic>(op, std::move(left), std::move(right));
  }
  return left;
}

TORBExprNodePtr TORBExprParser::Factor() {
  if (!Cur().IsSymbol("+") && !Cur().IsSymbol("-")) return Primary();
  Depth d(*this);
  const bool minus = Cur().Text == "-";
  Next();
  auto f = Factor();
  if (!f || !minus) return f;
  if (TORBExprNodeConst* c = AsConst(f.get()); c && IsNumericStorage(c->Value.DataType())) {
    c->Value.Negate();
    return f;
  }
  auto n = std::make_unique<TORBExprNodeArithmetic>(opNegate);
  n->Add(std::move(f));
  return n;
}

TORBExprNodePtr TORBExprParser::Primary() {
  const TToken& t = Cur();
  TORBVariant v;
  switch (t.TokenType) {
    case ttInteger: {
      errno = 0;
      char* end = nullptr;
      const unsigned long long u = std::strtoull(t.Text.c_str(), &end, 10);
      if (errno == ERANGE || u > static_cast<unsigned long long>(INT64_MAX)) v.SetFloat(std::strtold(t.Text.c_str(), nullptr));
      else v.SetInteger(static_cast<int64_t>(u), u <= 2147483647ULL ? stInteger : stLargeInt);
      Next();
      return Const(std::move(v));
    }
    case ttFloat: {
      const long double x = std::strtold(t.Text.c_str(), nullptr);
      if (!std::isfinite(static_cast<double>(x)))
        throw EORBException::Fmt(31212, "Invalid numeric symbol '%s' at line %d, column %d", t.Text, t.LineNum,
                                 t.ColumnNum);
      v.SetFloat(x);
      Next();
      return Const(std::move(v));
    }
    case ttString:
      v.SetString(t.Text);
      Next();
      return Const(std::move(v));
    case ttParameter:
      v = t.ParamValue;
      Next();
      return Const(std::move(v));
    case ttLeftParen: {
      if (Ahead(1).Is(rwSELECT)) return Subquery();
      const int32_t start = Pos();
      Next();
      auto inner = Value();
      if (!inner || Cur().TokenType != ttRightParen) {
        Reset(start);
        return nullptr;
      }
      Next();
      return inner;
    }
    case ttBracketedName: case ttWord:
      if (IsSymbolWord(t) || Ahead(1).TokenType == ttLeftParen) return nullptr;  // no such function
      return Field();
    case ttReservedWord: break;
    default: return nullptr;
  }
  switch (t.ReservedWord) {
    case rwNULL: Next(); return Const(TORBVariant());
    case rwTRUE: case rwFALSE:
      v.SetBoolean(t.ReservedWord == rwTRUE);
      Next();
      return Const(std::move(v));
    case rwDATE: case rwTIME: case rwTIMESTAMP: {
      const uint8_t next = Ahead(1).TokenType;
      if (next == ttString || next == ttInteger || next == ttFloat || next == ttParameter) return DateTimeLiteral();
      break;
    }
    case rwCASE: return CaseExpr();
    case rwCOALESCE: case rwCAST: return CastExpr();
    default: break;
  }
  if (IsNiladic(t.ReservedWord) || (IsFunctionWord(t.ReservedWord) && Ahead(1).TokenType == ttLeftParen))
    return Function();
  // A reserved word followed by '(' is never a field.
  if (IsGrammarWord(t.ReservedWord) || Ahead(1).TokenType == ttLeftParen) return nullptr;
  return Field();
}

TORBExprNodePtr TORBExprParser::Field() {
  std::string table, name = Cur().Text;
  Next();
  if (Cur().TokenType == ttDot && IsName(Ahead(1))) {
    Next();
    table = std::move(name);
    name = Cur().Text;
    Next();
  }
  return std::make_unique<TORBExprNodeField>(std::move(table), std::move(name));
}

TORBExprNodePtr TORBExprParser::Subquery() {
  // At '(' SELECT: the SQL layer parses the SELECT itself.
  const int32_t start = Pos();
  if (!opt_.Host || Cur().TokenType != ttLeftParen) return nullptr;
  Next();
  auto q = opt_.Host->ParseSubquery(lx_);
  if (!q || Cur().TokenType != ttRightParen) {
    Reset(start);
    return nullptr;
  }
  Next();
  return std::make_unique<TORBExprNodeSubquery>(std::move(q));
}

TORBExprNodePtr TORBExprParser::DateTimeLiteral() {
  const int16_t kind = Cur().ReservedWord;
  Next();
  const TToken& t = Cur();
  const char* shape = kind == rwTIME ? "HH:MM:SS" : "YYYY-MM-DD";
  if (t.TokenType != ttString) TokenExpected(shape);
  int g[6] = {0, 0, 0, 0, 0, 0};
  auto badDate = [&] {
    return EORBException::Fmt(31219, "Date string expected \"YYYY-MM-DD\", but found \"%s\" at line %d, column %d",
                              t.Text, t.LineNum, t.ColumnNum);
  };
  auto badTime = [&] {
    return EORBException::Fmt(31220, "Time string expected \"HH:MM:SS\", but found \"%s\" at line %d, column %d",
                              t.Text, t.LineNum, t.ColumnNum);
  };
  TORBVariant v;
  if (kind == rwTIME) {
    if (!DigitGroups(t.Text, {2, 2, 2}, g) || g[0] > 23 || g[1] > 59 || g[2] > 59) throw badTime();
    v.SetTime(((g[0] * 60 + g[1]) * 60 + g[2]) * 1000);
  } else if (kind == rwDATE) {
    if (!DigitGroups(t.Text, {4, 2, 2}, g) || !IsValidDate(g[0], g[1], g[2])) throw badDate();
    v.SetDate(DayNumber(g[0], g[1], g[2]));
  } else {
    const std::string_view s = t.Text;
    if (s.size() < 11 || !DigitGroups(s.substr(0, 10), {4, 2, 2}, g) || !IsValidDate(g[0], g[1], g[2]) ||
        std::isdigit(static_cast<unsigned char>(s[10])))
      throw badDate();
    if (!DigitGroups(s.substr(11), {2, 2, 2}, g + 3) || g[3] > 23 || g[4] > 59 || g[5] > 59) throw badTime();
    v.SetDateTime(DayNumber(g[0], g[1], g[2]), ((g[3] * 60 + g[4]) * 60 + g[5]) * 1000);
  }
  Next();
  return Const(std::move(v));
}

TORBExprNodePtr TORBExprParser::CaseExpr() {
  Next();
  auto n = std::make_unique<TORBExprNodeCase>(opCase);
  if (!Cur().Is(rwWHEN)) {
    auto input = Value();
    if (!input) {
      const TToken& t = Cur();
      throw EORBException::Fmt(31214, "Input expression for CASE function expected, but '%s' found at line %d, column %d",
                               t.Text, t.LineNum, t.ColumnNum);
    }
    n->Add(std::move(input));
    n->HasInput = true;
  }
  if (!Cur().Is(rwWHEN)) TokenExpected("WHEN");
  while (Cur().Is(rwWHEN)) {
    Next();
    const int32_t at = Pos();
    auto when = n->HasInput ? Value() : OrExpr();
    if (!when) {
      Reset(at);
      const TToken& t = Cur();
      if (n->HasInput)
        throw EORBException::Fmt(31215, "When Expression for CASE function expected, but '%s' found at line %d, column %d",
                                 t.Text, t.LineNum, t.ColumnNum);
      throw EORBException::Fmt(31216, "Search Condition for CASE function expected, but '%s' found at line %d, column %d",
                               t.Text, t.LineNum, t.ColumnNum);
    }
    n->Add(std::move(when));
    ExpectWord(rwTHEN);
    n->Add(Arg("CASE"));
  }
  if (Cur().Is(rwELSE)) {
    Next();
    auto e = Value();
    if (!e) {
      const TToken& t = Cur();
      throw EORBException::Fmt(31217,
                               "'Else Result Expression' for CASE function expected, but '%s' found at line %d, column %d",
                               t.Text, t.LineNum, t.ColumnNum);
    }
    n->Add(std::move(e));
    n->HasElse = true;
  }
  ExpectWord(rwEND);
  return n;
}

// CAST (value AS type [(size)]) and COALESCE (a, b, ...).
TORBExprNodePtr TORBExprParser::CastExpr() {
  const TToken head = Cur();
  Next();
  Expect(ttLeftParen, "(");
  if (head.Is(rwCOALESCE)) {
    if (Cur().TokenType == ttRightParen)
      throw EORBException::Fmt(31218, "COALESCE arguments are missed at line %d, column %d", head.LineNum,
                               head.ColumnNum);
    auto n = std::make_unique<TORBExprNodeCase>(opCoalesce);
    n->Add(Arg("COALESCE"));
    while (Cur().TokenType == ttComma) {
      Next();
      n->Add(Arg("COALESCE"));
    }
    Expect(ttRightParen, ")");
    return n;
  }
  auto value = Arg("CAST");
  if (Cur().Is(rwAS) || Cur().TokenType == ttComma) Next();
  else TokenExpected("AS");
  const TToken& typeToken = Cur();
  const uint8_t declared = typeToken.TokenType == ttWord || typeToken.TokenType == ttReservedWord
                               ? DeclaredByName(typeToken.Text)
                               : 0;
  const uint8_t storage = StorageOfDeclared(declared);
  if (!storage || storage == stBlob)
    throw EORBException::Fmt(31222, "Cannot convert an expression to specified type: '%s'", typeToken.Text);
  Next();
  int32_t size = 0;
  if (Cur().TokenType == ttLeftParen) {
    Next();
    const TToken& s = Cur();
    if (s.TokenType != ttInteger) TokenExpected("size");
    const long long n = std::strtoll(s.Text.c_str(), nullptr, 10);
    if (n <= 0 || n > 1 << 20) TokenExpected("size");
    size = static_cast<int32_t>(n);
    Next();
    Expect(ttRightParen, ")");
  }
  Expect(ttRightParen, ")");
  return std::make_unique<TORBExprNodeCast>(std::move(value), storage, size);
}

TORBExprNodePtr TORBExprParser::Function() {
  const TToken head = Cur();
  const int16_t w = head.ReservedWord;
  const char* name = ReservedWordText(w);
  Next();
  switch (w) {
    case rwNOW: case rwSYSDATE: case rwCURRENT_TIMESTAMP: case rwCURRENT_DATE: case rwCURRENT_TIME: case rwROWNUM: {
      if (Cur().TokenType == ttLeftParen && Ahead(1).TokenType == ttRightParen) {
        Next();
        Next();
      }
      if (w == rwROWNUM) return std::make_unique<TORBExprNodeSystem>(opRowNum);
      return std::make_unique<TORBExprNodeDateFunction>(w == rwCURRENT_DATE ? opCurrentDate
                                                        : w == rwCURRENT_TIME ? opCurrentTime
                                                                              : opNow);
    }
    default: break;
  }
  Expect(ttLeftParen, "(");
  TORBExprNodePtr result;
  switch (w) {
    case rwUPPER: case rwLOWER: case rwTRIM: case rwLTRIM: case rwRTRIM: case rwLENGTH: {
      const uint8_t op = w == rwUPPER ? opUpper : w == rwLOWER ? opLower : w == rwTRIM ? opTrim
                       : w == rwLTRIM ? opLTrim : w == rwRTRIM ? opRTrim : opLength;
      result = std::make_unique<TORBExprNodeStringFunction>(op);
      result->Add(Arg(name));
      break;
    }
    case rwPOS: case rwPOSITION: {
      result = std::make_unique<TORBExprNodeStringFunction>(opPos);
      result->Add(Arg(name));
      if (Cur().Is(rwIN) || Cur().TokenType == ttComma) Next();
      else TokenExpected(",");
      result->Add(Arg(name));
      break;
    }
    case rwSUBSTRING: {
      result = std::make_unique<TORBExprNodeStringFunction>(opSubstring);
      result->Add(Arg(name));
      if (Cur().Is(rwFROM) || Cur().TokenType == ttComma) Next();
      else TokenExpected("FROM");
      result->Add(Arg(name));
      if (Cur().Is(rwFOR) || Cur().TokenType == ttComma) {
        Next();
        result->Add(Arg(name));
      }
      break;
    }
    case rwTODATE: case rwTOSTRING: {
      auto n = std::make_unique<TORBExprNodeDateFunction>(w == rwTODATE ? opToDate : opToString);
      n->Add(Arg(name));
      Expect(ttComma, ",");
      const TToken& f = Cur();
      if (f.TokenType != ttString)
        throw EORBException::Fmt(31207, "Const DateFormat string expected, but '%s' found at line %d, column %d",
                                 f.Text, f.LineNum, f.ColumnNum);
      n->Format = TORBDateFormat(f.Text);
      Next();
      result = std::move(n);
      break;
    }
    case rwEXTRACT: {
      const TToken& part = Cur();
      if (!part.Is(rwYEAR) && !part.Is(rwMONTH) && !part.Is(rwDAY) && !part.Is(rwHOUR) && !part.Is(rwMINUTE) &&
          !part.Is(rwSECOND))
        TokenExpected("YEAR, MONTH, DAY, HOUR, MINUTE or SECOND");
      auto n = std::make_unique<TORBExprNodeDateFunction>(opExtract);
      n->Part = static_cast<uint8_t>(part.ReservedWord);
      Next();
      ExpectWord(rwFROM);
      n->Add(Arg(name));
      result = std::move(n);
      break;
    }
    case rwABS: case rwACOS: case rwASIN: case rwATAN: case rwCEIL: case rwCOS: case rwEXP: case rwFLOOR: case rwLOG:
    case rwRAND: case rwSIGN: case rwSIN: case rwSQR: case rwSQRT: {
      static const struct { int16_t w; uint8_t op; } map[] = {
          {rwABS, opAbs}, {rwACOS, opAcos}, {rwASIN, opAsin}, {rwATAN, opAtan}, {rwCEIL, opCeil},
          {rwCOS, opCos}, {rwEXP, opExp},   {rwFLOOR, opFloor}, {rwLOG, opLog}, {rwRAND, opRand},
          {rwSIGN, opSign}, {rwSIN, opSin}, {rwSQR, opSqr},   {rwSQRT, opSqrt}};
      uint8_t op = opAbs;
      for (auto& m : map)
        if (m.w == w) op = m.op;
      result = std::make_unique<TORBExprNodeArithmetic>(op);
      result->Add(Arg(name));
      break;
    }
    case rwPOWER: {
      result = std::make_unique<TORBExprNodeArithmetic>(opPower);
      result->Add(Arg(name));
      if (Cur().TokenType != ttComma)
        throw EORBException::Fmt(31221, "comma (\",\") expected but not found at line %d, column %d", Cur().LineNum,
                                 Cur().ColumnNum);
      Next();
      result->Add(Arg(name));
      break;
    }
    case rwROUND: {
      auto n = std::make_unique<TORBExprNodeArithmetic>(opRound);
      n->Add(Arg(name));
      if (Cur().TokenType == ttComma) {
        Next();
        n->Add(Arg(name));
        if (Cur().TokenType == ttComma) {
          Next();
          const int16_t mode = Cur().TokenType == ttReservedWord ? Cur().ReservedWord : rwNone;
          if (mode < rwHALFEVEN || mode > rwRNDUP)
            TokenExpected("HALFEVEN, HALFPOS, HALFNEG, HALFDOWN, HALFUP, RNDNEG, RNDPOS, RNDDOWN or RNDUP");
          n->RoundMode = static_cast<uint8_t>(mode - rwHALFEVEN);
          Next();
        }
      }
      result = std::move(n);
      break;
    }
    case rwSUM: case rwAVG: case rwMIN: case rwMAX: case rwCOUNT: {
      bool distinct = false;
      if (Cur().Is(rwDISTINCT) || Cur().Is(rwALL)) {
        distinct = Cur().Is(rwDISTINCT);
        Next();
      }
      if (w == rwCOUNT && Cur().IsSymbol("*")) {
        Next();
        result = std::make_unique<TORBExprNodeAggregated>(opAggCountAll, false);
        break;
      }
      const uint8_t op = w == rwSUM ? opAggSum : w == rwAVG ? opAggAvg : w == rwMIN ? opAggMin
                       : w == rwMAX ? opAggMax : opAggCount;
      result = std::make_unique<TORBExprNodeAggregated>(op, distinct);
      result->Add(Arg(name));
      break;
    }
    case rwMIMETOBIN: {
      const TToken& s = Cur();
      if (s.TokenType != ttString)
        throw EORBException::Fmt(31206, "String argument expected for function '%s', but '%s' found at line %d, column %d",
                                 name, s.Text, s.LineNum, s.ColumnNum);
      std::string bytes;
      if (!DecodeBase64(s.Text, bytes))
        throw EORBException::Fmt(31240, "Invalid Base64 text at line %d, column %d", s.LineNum, s.ColumnNum);
      Next();
      result = std::make_unique<TORBExprNodeBlob>(std::move(bytes));
      break;
    }
    case rwLASTAUTOINC: {
      const TToken& table = Cur();
      if (!IsName(table) && table.TokenType != ttString) TokenExpected("table name");
      const std::string tableName = table.Text;
      Next();
      bool memory = false;
      if (Cur().Is(rwMEMORY)) {
        memory = true;
        Next();
      }
      Expect(ttComma, ",");
      const TToken& field = Cur();
      if (!IsName(field) && field.TokenType != ttString) TokenExpected("field name");
      const std::string fieldName = field.Text;
      Next();
      auto n = std::make_unique<TORBExprNodeSystem>(opLastAutoinc);
      if (opt_.Host) n->LastAutoinc = opt_.Host->LastAutoinc(tableName, memory, fieldName, &n->Type);
      if (!n->LastAutoinc) throw EORBException::Fmt(31230, "Field '%s' not found", fieldName);
      result = std::move(n);
      break;
    }
    default:
      TokenExpected("function");
  }
  Expect(ttRightParen, ")");
  return result;
}

}  // namespace orb
