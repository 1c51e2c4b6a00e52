// Fuzz target: the tokenizer, the parser and evaluation of what parses. The
// first byte picks the filter options, the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../expr/MemorySource.h"
#include "expr/ORBExpression.h"
#include "orb/ORBExcept.h"

namespace {

orbtest::MemorySource& Records() {
  static orbtest::MemorySource* src = [] {
    using namespace orb;
    using orbtest::D;
    using orbtest::I;
    using orbtest::Null;
    using orbtest::S;
    auto* s = new orbtest::MemorySource({{"SERVICE", stString, 60}, {"CAT", stString, 30}, {"N", stInteger, 4},
                                         {"DateSet", stDate, 4}, {"F", stFloat, 8}},
                                        "LC");
    TORBVariant f;
    f.SetFloat(2.5);
    s->AddRow({S("Bank One"), S("Banking"), I(3), D(2008, 2, 1), f});
    s->AddRow({S("日本語"), Null(), Null(), Null(), Null()});
    s->AddRow({S(""), S("*WEB"), I(-7), D(1999, 12, 31), Null()});
    return s;
  }();
  return *src;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  const bool ci = data[0] & 1, partial = data[0] & 2;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  orbtest::MemorySource& src = Records();

  try {
    orb::TORBLexer lx(text);
    while (lx.NextCommand()) {
      orb::TToken t;
      for (bool ok = lx.GetCurrentToken(t); ok; ok = lx.GetNextToken(t))
        if (t.LineNum < 1 || t.ColumnNum < 1) abort();
    }
  } catch (const orb::EORBException&) {
  }

  orb::TORBExpression e;
  try {
    e.ParseFilter(&src, text, ci, partial);
  } catch (const orb::EORBException&) {
    if (e.Root()) abort();  // a failed parse keeps no tree
    return 0;
  }
  for (size_t r = 0; r < src.RowCount(); ++r) {
    src.SetRow(r);
    try {
      e.GetBooleanValue();
      e.GetValue(true);
    } catch (const orb::EORBException&) {
    }
  }
  orb::TORBScanSearchConditionArray scans;
  e.GetScanConditions(scans);
  e.JoinPairs();
  orb::TORBExpression::IsConstantText(text);
  return 0;
}
