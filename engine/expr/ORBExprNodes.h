// The expression tree: one node class per operator family. A node owns its
// children and its result value; GetValue evaluates against the bound record.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expr/ORBDateFormat.h"
#include "expr/ORBRecordSource.h"
#include "tables/ORBVariant.h"

namespace orb {

enum TORBExprOp : uint8_t {
  opConst, opField,
  // comparisons
  opEqual, opNotEqual, opGreater, opLess, opGreaterEqual, opLessEqual,
  // boolean
  opNot, opAnd, opOr, opIn, opNotIn, opExists, opBetween, opNotBetween, opLike, opNotLike, opIsNull, opIsNotNull,
  opIsTrue, opIsFalse,
  // arithmetic
  opSum, opNegate, opMultiply, opDivide, opAbs, opAcos, opAsin, opAtan, opCeil, opCos, opExp, opFloor, opLog,
  opPower, opRand, opRound, opSign, opSin, opSqr, opSqrt,
  // strings
  opConcat, opUpper, opLower, opTrim, opLTrim, opRTrim, opLength, opPos, opSubstring,
  // dates
  opNow, opCurrentDate, opCurrentTime, opToDate, opToString, opExtract,
  opCast, opCase, opCoalesce,
  // aggregates
  opAggSum, opAggAvg, opAggMin, opAggMax, opAggCount, opAggCountAll,
  opLastAutoinc, opRowNum, opMimeToBin, opSubquery,
};

const char* OperatorName(uint8_t op);

// A comparison an index can serve: field op constant.
struct TORBScanSearchCondition {
  const TORBRecordSource* Source = nullptr;
  int32_t FieldNo = -1;
  uint8_t Operator = opEqual;
  TORBVariant Value;
  bool CaseInsensitive = false;
  int32_t PrefixLength = -1;
};
using TORBScanSearchConditionArray = std::vector<TORBScanSearchCondition>;

class TORBExprNodeField;

// The tree of a SELECT inside an expression, supplied by the SQL layer.
class TORBSubquery {
 public:
  virtual ~TORBSubquery() = default;
  // Runs the SELECT for the current outer row; at most maxRows rows (<0: all).
  virtual void Run(std::vector<std::vector<TORBVariant>>& rows, int maxRows) = 0;
};

// Wall clock for NOW and friends: day number and milliseconds of the day.
using TORBClock = std::function<void(int32_t* day, int32_t* ms)>;
void SetExpressionClock(TORBClock clock);  // empty restores the system clock
void ReadExpressionClock(int32_t* day, int32_t* ms);

class TORBExprNode {
 public:
  explicit TORBExprNode(uint8_t op) : Operator(op) {}
  virtual ~TORBExprNode() = default;
  TORBExprNode(const TORBExprNode&) = delete;
  TORBExprNode& operator=(const TORBExprNode&) = delete;

  uint8_t Operator;
  std::vector<std::unique_ptr<TORBExprNode>> Children;
  TORBVariant Value;
  bool CaseInsensitive = false;
  bool PartialCompare = false;

  TORBExprNode* Child(size_t i) const { return Children[i].get(); }
  TORBExprNode* Add(std::unique_ptr<TORBExprNode> child);

  virtual void Prepare();
  virtual const TORBVariant& GetValue() = 0;
  virtual void ResetAggregates();
  virtual bool IsAggregated() const;
  virtual bool IsConstant() const;
  virtual void InitAggregates();
  virtual void Accumulate();
  // Binds the field references this source has; the others stay unbound.
  virtual void BindToSource(TORBRecordSource* source);
  virtual void RenameField(std::string_view oldName, std::string_view newName);
  virtual uint8_t GetDataType() const;
  virtual int32_t GetDataSize() const;
  virtual int32_t GetPrecision() const { return 0; }
  // Every field reference is bound to this source.
  virtual bool CanBeAppliedTo(const TORBRecordSource* side) const;
  virtual void AddScanConditions(TORBScanSearchConditionArray& out) const;
  // field = field between two different sources.
  virtual bool IsJoinCondition(const TORBExprNodeField** left, const TORBExprNodeField** right) const;
  virtual bool ReferencesOnly(std::string_view tableName) const;
  virtual void CollectFields(std::vector<const TORBExprNodeField*>& out) const;
};

using TORBExprNodePtr = std::unique_ptr<TORBExprNode>;

// -1 NULL, 0 false, 1 true.
int Truth(const TORBVariant& v);

class TORBExprNodeConst : public TORBExprNode {
 public:
  explicit TORBExprNodeConst(TORBVariant v) : TORBExprNode(opConst) { Value = std::move(v); }
  const TORBVariant& GetValue() override { return Value; }
  bool IsConstant() const override { return true; }
  uint8_t GetDataType() const override { return Value.DataType(); }
  int32_t GetDataSize() const override;
};

class TORBExprNodeField : public TORBExprNode {
 public:
  TORBExprNodeField(std::string table, std::string field)
      : TORBExprNode(opField), TableName(std::move(table)), FieldName(std::move(field)) {}
  std::string TableName;
  std::string FieldName;
  TORBRecordSource* Source = nullptr;
  int32_t FieldNo = -1;

  const TORBVariant& GetValue() override;
  bool IsConstant() const override { return false; }
  void BindToSource(TORBRecordSource* source) override;
  void RenameField(std::string_view oldName, std::string_view newName) override;
  uint8_t GetDataType() const override;
  int32_t GetDataSize() const override;
  bool CanBeAppliedTo(const TORBRecordSource* side) const override { return Source == side; }
  bool ReferencesOnly(std::string_view tableName) const override;
  void CollectFields(std::vector<const TORBExprNodeField*>& out) const override { out.push_back(this); }
};

class TORBExprNodeComparison : public TORBExprNode {
 public:
  TORBExprNodeComparison(uint8_t op, TORBExprNodePtr left, TORBExprNodePtr right);
  bool SqlNulls = true;
  int32_t PrefixLength = -1;  // >= 0 only for a prefix test
  // ALL / ANY / SOME against a subquery: 0 none, 1 ALL, 2 ANY.
  uint8_t Quantifier = 0;
  std::unique_ptr<TORBSubquery> Subquery;

  void Prepare() override;
  const TORBVariant& GetValue() override;
  uint8_t GetDataType() const override { return stLogical; }
  int32_t GetDataSize() const override { return 2; }
  void AddScanConditions(TORBScanSearchConditionArray& out) const override;
  bool IsJoinCondition(const TORBExprNodeField** left, const TORBExprNodeField** right) const override;

 private:
  int CompareCode(const TORBVariant& l, const TORBVariant& r) const;
};

// A LIKE pattern, compiled when it or its escape changes (a constant
// pattern once per filter, not once per record) and matched without
// allocating.
class TORBLikePattern {
 public:
  bool Matches(std::string_view value, std::string_view pattern, std::string_view escape, bool caseInsensitive);

 private:
  enum Kind : uint8_t { kChar, kOne, kMany };
  struct Item {
    Kind K;
    uint32_t At = 0, Size = 0;  // kChar: the character's bytes in pattern_
  };
  void Compile(std::string_view pattern, std::string_view escape);
  bool MatchItems(std::string_view value, bool caseInsensitive) const;

  bool compiled_ = false;
  std::string pattern_, escape_;
  std::vector<Item> items_;
  bool asciiLiterals_ = false;  // every literal character is ASCII
  bool contains_ = false;       // '%', literals only, '%': a substring search
  std::string literal_;         // contains_: those literals
};

class TORBExprNodeBoolean : public TORBExprNode {
 public:
  explicit TORBExprNodeBoolean(uint8_t op) : TORBExprNode(op) {}
  std::string EscapeText;  // LIKE ... ESCAPE, at most one character
  std::unique_ptr<TORBSubquery> Subquery;  // EXISTS, IN (SELECT ...)

  const TORBVariant& GetValue() override;
  bool IsConstant() const override { return !Subquery && TORBExprNode::IsConstant(); }
  uint8_t GetDataType() const override { return stLogical; }
  int32_t GetDataSize() const override { return 2; }
  void AddScanConditions(TORBScanSearchConditionArray& out) const override;

 private:
  int Evaluate();
  TORBLikePattern like_;
};

// LIKE matching on characters; exposed for the tests and the fuzzer.
bool LikeMatch(std::string_view value, std::string_view pattern, std::string_view escape, bool caseInsensitive);

class TORBExprNodeArithmetic : public TORBExprNode {
 public:
  explicit TORBExprNodeArithmetic(uint8_t op) : TORBExprNode(op) {}
  std::vector<bool> Negative;  // opSum: the sign of each term
  uint8_t RoundMode = 0;       // opRound: 0 HALFEVEN .. 8 RNDUP

  const TORBVariant& GetValue() override;
  bool IsConstant() const override { return Operator != opRand && TORBExprNode::IsConstant(); }
  uint8_t GetDataType() const override;
};

class TORBExprNodeStringFunction : public TORBExprNode {
 public:
  explicit TORBExprNodeStringFunction(uint8_t op) : TORBExprNode(op) {}
  const TORBVariant& GetValue() override;
  uint8_t GetDataType() const override;
  int32_t GetDataSize() const override;

 private:
  std::string mapped_;  // UPPER, LOWER: kept so that its storage is reused
};

class TORBExprNodeDateFunction : public TORBExprNode {
 public:
  explicit TORBExprNodeDateFunction(uint8_t op) : TORBExprNode(op) {}
  TORBDateFormat Format;  // TODATE, TOSTRING
  uint8_t Part = 0;       // EXTRACT: reserved word code of YEAR .. SECOND

  const TORBVariant& GetValue() override;
  bool IsConstant() const override;
  uint8_t GetDataType() const override;
  int32_t GetDataSize() const override;
};

class TORBExprNodeCast : public TORBExprNode {
 public:
  TORBExprNodeCast(TORBExprNodePtr value, uint8_t storageType, int32_t size);
  uint8_t TargetType;
  int32_t Size;  // 0: none given

  const TORBVariant& GetValue() override;
  uint8_t GetDataType() const override { return TargetType; }
  int32_t GetDataSize() const override;
};

// CASE: children are [input], WHEN/THEN pairs, [ELSE]; COALESCE: the arguments.
class TORBExprNodeCase : public TORBExprNode {
 public:
  explicit TORBExprNodeCase(uint8_t op) : TORBExprNode(op) {}
  bool HasInput = false;
  bool HasElse = false;

  void Prepare() override;
  const TORBVariant& GetValue() override;
  uint8_t GetDataType() const override;
  int32_t GetDataSize() const override;

 private:
  std::vector<const TORBExprNode*> Results() const;
  const TORBVariant& Result(TORBExprNode* n);
  uint8_t type_ = stNone;
};

class TORBExprNodeAggregated : public TORBExprNode {
 public:
  TORBExprNodeAggregated(uint8_t op, bool distinct) : TORBExprNode(op), Distinct(distinct) {}
  bool Distinct;

  const TORBVariant& GetValue() override;
  bool IsAggregated() const override { return true; }
  bool IsConstant() const override { return false; }
  void ResetAggregates() override { InitAggregates(); }
  void InitAggregates() override;
  void Accumulate() override;
  uint8_t GetDataType() const override;
  int32_t GetDataSize() const override;

 private:
  TORBVariant acc_;
  int64_t count_ = 0;
  std::vector<TORBVariant> seen_;
};

class TORBExprNodeSystem : public TORBExprNode {
 public:
  explicit TORBExprNodeSystem(uint8_t op) : TORBExprNode(op) {}
  std::function<TORBVariant()> LastAutoinc;  // reads the table's counter
  uint8_t Type = stInteger;

  const TORBVariant& GetValue() override;
  void ResetAggregates() override { row_ = 0; }
  bool IsConstant() const override { return false; }
  uint8_t GetDataType() const override { return Type; }

 private:
  int32_t row_ = 0;
};

class TORBExprNodeBlob : public TORBExprNode {
 public:
  explicit TORBExprNodeBlob(std::string bytes) : TORBExprNode(opMimeToBin) { Value.SetString(bytes); }
  const TORBVariant& GetValue() override { return Value; }
  bool IsConstant() const override { return true; }
  uint8_t GetDataType() const override { return stString; }
};

class TORBExprNodeSubquery : public TORBExprNode {
 public:
  explicit TORBExprNodeSubquery(std::unique_ptr<TORBSubquery> q) : TORBExprNode(opSubquery), Query(std::move(q)) {}
  std::unique_ptr<TORBSubquery> Query;
  const TORBVariant& GetValue() override;
  bool IsConstant() const override { return false; }
};

}  // namespace orb
