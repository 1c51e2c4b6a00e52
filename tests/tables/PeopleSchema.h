// A small table schema the table-data tests share: ID (unique), Name
// (case-insensitive index, NOT NULL), Memo (compressed MEMO), and two more
// indexes so an insert touches four.
#pragma once
#include <string>
#include <vector>

#include "RecordFixture.h"
#include "tables/ORBDiskRecordManager.h"
#include "tables/ORBMetaData.h"
#include "tables/ORBTableData.h"

namespace orbtest::people {

using namespace orb;

enum { fID, fName, fMemo };

struct Schema {
  TORBFieldDefs Fields;
  TORBIndexDefs Indexes;
  TORBConstraintDefs Constraints;
};

inline Schema People() {
  Schema s;
  s.Fields.Add(Field("ID", orbtest::kInteger));
  s.Fields.Add(Field("Name", orbtest::kVarchar, 40));
  TORBFieldDef memo = Field("Memo", 33);
  memo.BlobCompressionAlgorithm = 1;
  memo.BlobCompressionMode = 6;
  s.Fields.Add(memo);
  auto index = [&](const std::string& name, std::vector<TORBIndexColumn> cols, bool unique) {
    TORBIndexDef d;
    d.Name = name;
    d.Columns = std::move(cols);
    d.Unique = unique;
    s.Indexes.Add(d);
  };
  index("ByID", {Col("ID")}, true);
  index("ByName", {Col("Name", false, true)}, false);
  index("ByNameDesc", {Col("Name", true)}, false);
  index("ByNameID", {Col("Name"), Col("ID", true)}, false);
  TORBConstraintDef nn;
  nn.ConstraintType = ctNotNull;
  nn.Object = {"Name", 0};
  s.Constraints.Add(nn);
  return s;
}

// Accepts the records whose Name differs from one value; serves no index.
class NameIsNot : public TORBRecordFilter {
 public:
  NameIsNot(TORBTableData& t, TORBTableCursor& c, std::string name) : t_(t), c_(c), name_(std::move(name)) {}
  bool Accepts() override {
    return reinterpret_cast<const char*>(c_.Record.data() + t_.Fields()[fName].MemoryOffset) != name_;
  }
  std::vector<TORBFieldCondition> IndexConditions() const override { return {}; }

 private:
  TORBTableData& t_;
  TORBTableCursor& c_;
  std::string name_;
};

// Rows of that schema through one cursor of a table.
struct PeopleRows {
  void Set(int id, const std::string& name, const std::string& memo = "") {
    c.Record = table->NewRecord();
    if (id >= 0) {
      SetFieldNull(c.Record.data(), fID, false);
      std::memcpy(c.Record.data() + table->Fields()[fID].MemoryOffset, &id, 4);
    }
    if (!name.empty()) SetFieldData(fName, table->Fields(), c.Record.data(), name.c_str());
    if (!memo.empty()) table->SetBlobValue(c, fMemo, std::vector<uint8_t>(memo.begin(), memo.end()));
  }
  int ID() const { return GetLE<int32_t>(c.Record.data() + table->Fields()[fID].MemoryOffset); }
  std::string Name() const { return reinterpret_cast<const char*>(c.Record.data() + table->Fields()[fName].MemoryOffset); }
  std::string Memo() {
    const auto v = table->GetBlobValue(c, fMemo);
    return std::string(v.begin(), v.end());
  }
  // IDs in the order of an index (-1: physical).
  std::vector<int> Order(int index) {
    std::vector<int> out;
    c.ActiveIndex = index;
    for (table->First(c); !c.Eof; table->GetRecord(c, nmNext)) out.push_back(ID());
    return out;
  }

  TORBTableData* table = nullptr;
  TORBTableCursor c;
};

}  // namespace orbtest::people
