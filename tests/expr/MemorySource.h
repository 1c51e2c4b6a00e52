// An in-memory record source for expression tests: named, typed columns
// and rows of values; the current row is what expressions read.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "expr/ORBRecordSource.h"
#include "orb/ORBText.h"

namespace orbtest {

class MemorySource : public orb::TORBRecordSource {
 public:
  struct Column {
    std::string Name;
    uint8_t Type;
    int32_t Size;
  };
  explicit MemorySource(std::vector<Column> columns, std::string table = "") : cols_(std::move(columns)), table_(std::move(table)) {}

  void AddRow(std::vector<orb::TORBVariant> values) { rows_.push_back(std::move(values)); }
  size_t RowCount() const { return rows_.size(); }
  void SetRow(size_t r) { row_ = r; }

  std::string TableName() const override { return table_; }
  int32_t FindField(std::string_view name) const override {
    for (size_t i = 0; i < cols_.size(); ++i)
      if (orb::TORBCollation::Current().Compare(cols_[i].Name, name, true) == 0) return static_cast<int32_t>(i);
    return -1;
  }
  std::string FieldName(int32_t f) const override { return cols_[static_cast<size_t>(f)].Name; }
  uint8_t FieldType(int32_t f) const override { return cols_[static_cast<size_t>(f)].Type; }
  int32_t FieldSize(int32_t f) const override { return cols_[static_cast<size_t>(f)].Size; }
  void ReadField(int32_t f, orb::TORBVariant& v) const override {
    const orb::TORBVariant& x = rows_[row_][static_cast<size_t>(f)];
    if (x.IsNull()) v.SetNull(FieldType(f));
    else v = x;
  }

 private:
  std::vector<Column> cols_;
  std::string table_;
  std::vector<std::vector<orb::TORBVariant>> rows_;
  size_t row_ = 0;
};

}  // namespace orbtest

#include "expr/ORBExpression.h"
#include "orb/ORBExcept.h"

namespace orbtest {

// One row of a table of cases: a text and what it should give.
struct TextCase {
  const char* text;
  const char* want;
};

inline orb::TORBVariant S(std::string_view s) {
  orb::TORBVariant v;
  v.SetString(s);
  return v;
}
inline orb::TORBVariant I(int64_t x) {
  orb::TORBVariant v;
  v.SetInteger(x, orb::stInteger);
  return v;
}
inline orb::TORBVariant D(int y, int m, int d) {
  orb::TORBVariant v;
  v.SetDate(orb::DayNumber(y, m, d));
  return v;
}
inline orb::TORBVariant Null() { return orb::TORBVariant(); }

// A value as text for comparisons in tables of cases; "NULL" for NULL.
inline std::string Show(const orb::TORBVariant& v) { return v.IsNull() ? "NULL" : v.AsString(); }

// The value of a text parsed as a condition (a lone value is one too).
inline std::string ValueOf(std::string_view text, orb::TORBRecordSource* source = nullptr) {
  orb::TORBLexer lx(text);
  lx.NextCommand();
  orb::TORBExpression e;
  e.ParseCondition(lx);
  if (!lx.AtEnd()) return "<rest: " + lx.Current().Text + ">";
  if (source) e.Bind(source);
  else e.Bind(std::vector<orb::TORBRecordSource*>{});
  return Show(e.GetValue(true));
}

// The rows of the source for which the filter holds, by the text of column `key`.
inline std::vector<std::string> Select(MemorySource& src, std::string_view filter, bool partialCompare = true,
                                       bool caseInsensitive = false, int32_t key = 0) {
  orb::TORBExpression e;
  e.ParseFilter(&src, filter, caseInsensitive, partialCompare);
  std::vector<std::string> out;
  for (size_t r = 0; r < src.RowCount(); ++r) {
    src.SetRow(r);
    if (e.GetBooleanValue()) {
      orb::TORBVariant v;
      src.ReadField(key, v);
      out.push_back(Show(v));
    }
  }
  return out;
}

// The text of the engine error a call raises; "" when it raises none.
template <class F>
std::string ErrorText(F f) {
  try {
    f();
  } catch (const orb::EORBException& e) {
    return e.Text();
  }
  return "";
}

}  // namespace orbtest
