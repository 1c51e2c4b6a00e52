// Filtered table cursors: the search planner's choice between an index
// range and a scan, filtered navigation in both orders, record numbers,
// changes through a filtered cursor, and Locate.
#include <gtest/gtest.h>

#include "../tables/RecordFixture.h"
#include "access/ORBExpressionFilter.h"
#include "orb/ORBExcept.h"
#include "tables/ORBDatabaseData.h"
#include "tables/ORBDiskTableData.h"

using namespace orb;
using orbtest::Field;
using orbtest::TempDir;

namespace {

TORBIndexDef Index(const std::string& name, const std::string& field, bool unique, bool ci = false) {
  TORBIndexDef d;
  d.Name = name;
  d.Columns = {{field, false, ci, 20}};
  d.Unique = unique;
  return d;
}

class TableFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    file = dir.file("f.orb");
    TORBDiskDatabaseData::CreateDatabase(file, TORBPassword{"", 0});
    db = std::make_unique<TORBDiskDatabaseData>(file, TORBPassword{"", 0});
    TORBFieldDefs f;
    f.Add(Field("ID", 7));
    f.Add(Field("Name", 2, 20));
    f.Add(Field("Grp", 7));
    TORBIndexDefs ix;
    ix.Add(Index("ByID", "ID", true));
    ix.Add(Index("ByNameCI", "Name", false, true));
    ix.Add(Index("ByNameCS", "Name", false, false));
    t = &db->GetTableData("T");
    t->CreateTable(0, f, ix, {});
    t->OpenTable(c);
    for (int id = 1; id <= 300; ++id) Add(id, (id % 3 ? "name" : "NAME") + std::to_string(id % 10), id % 7);
  }
  void TearDown() override {
    t->CloseTable(c);
    db.reset();
  }
  void Add(int id, const std::string& name, int grp) {
    c.Record = t->NewRecord();
    SetFieldData(0, t->Fields(), c.Record.data(), &id);
    SetFieldData(1, t->Fields(), c.Record.data(), name.c_str());
    SetFieldData(2, t->Fields(), c.Record.data(), &grp);
    t->InsertRecord(c);
  }
  int ID() const { return GetLE<int32_t>(c.Record.data() + t->Fields()[0].MemoryOffset); }
  std::vector<int> Walk(bool forward) {
    std::vector<int> ids;
    c.Current = {};
    for (int r = t->GetRecord(c, forward ? nmNext : nmPrior); r == grFound; r = t->GetRecord(c, forward ? nmNext : nmPrior))
      ids.push_back(ID());
    return ids;
  }
  TempDir dir;
  std::string file;
  std::unique_ptr<TORBDiskDatabaseData> db;
  TORBDiskTableData* t = nullptr;
  TORBTableCursor c;
};

TEST_F(TableFilter, PlannerPicksAnIndexRangeOnlyWhenItIsCheaperAndSound) {
  struct Case {
    const char* Text;
    bool CaseInsensitive;
    bool Scan;
    int Index;      // when not a scan
    size_t Count;   // candidates when not a scan
  } cases[] = {
      {"[ID] = 5", false, false, 0, 1},
      {"[ID] > 290", false, false, 0, 10},
      {"[ID] >= 10 and [ID] < 13", false, false, 0, 3},
      {"[ID] > 20 and [ID] < 10", false, false, 0, 0},  // exclusive conditions: nothing
      {"[ID] > 0", false, true, -1, 0},                  // priced above a scan
      {"[Grp] = 3", false, true, -1, 0},                 // no index
      {"[Name] = 'name5'", true, false, 1, 30},          // only the case-insensitive index serves it
  };
  for (const Case& k : cases) {
    TORBExpressionFilter f(*t, c, k.Text, k.CaseInsensitive);
    bool scan = false;
    int index = -2;
    const auto ids = t->Candidates(c, f, &scan, &index);
    EXPECT_EQ(scan, k.Scan) << k.Text;
    if (!k.Scan) {
      EXPECT_EQ(index, k.Index) << k.Text;
      EXPECT_EQ(ids.size(), k.Count) << k.Text;
    }
  }
}

TEST_F(TableFilter, FilteredCursorsNavigateCountAndTrackTheirChanges) {
  TORBExpressionFilter f(*t, c, "[Grp] = 2 and [ID] < 100", false);
  t->SetFilter(c, &f);
  std::vector<int> want;
  for (int id = 1; id < 100; ++id)
    if (id % 7 == 2) want.push_back(id);
  EXPECT_EQ(t->CursorRecordCount(c), static_cast<int64_t>(want.size()));
  EXPECT_EQ(Walk(true), want);
  std::vector<int> back = Walk(false);
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(back, want);
  // In index order (case-sensitive names), still only the visible records.
  c.ActiveIndex = 2;
  std::vector<int> byName = Walk(true);
  std::sort(byName.begin(), byName.end());
  EXPECT_EQ(byName, want);
  c.ActiveIndex = -1;
  t->SetRecNo(c, 1000);  // beyond the count: the last visible record
  EXPECT_EQ(ID(), want.back());
  EXPECT_EQ(t->GetRecNo(c), static_cast<int64_t>(want.size()));

  // A record inserted through the cursor that fails the filter stays unseen.
  Add(1000, "x", 3);
  EXPECT_EQ(t->CursorRecordCount(c), static_cast<int64_t>(want.size()));
  Add(0, "y", 2);  // group 2 and below 100: visible
  EXPECT_EQ(t->CursorRecordCount(c), static_cast<int64_t>(want.size()) + 1);
  // Deleting a visible record moves to the next visible one.
  t->SetRecNo(c, 1);
  const int first = ID();
  t->DeleteRecord(c);
  EXPECT_NE(ID(), first);
  EXPECT_EQ(ID() % 7, 2);
  t->SetFilter(c, nullptr);
  EXPECT_EQ(t->CursorRecordCount(c), 301);  // 300, two added, one deleted
}

TEST_F(TableFilter, LocateFindsTheFirstMatchTheCursorSees) {
  TORBExpressionFilter where(*t, c, "[Name] = 'NAME3'", false);
  ASSERT_TRUE(t->Locate(c, where));
  EXPECT_EQ(ID() % 10, 3);
  EXPECT_EQ(ID() % 3, 0);
  TORBExpressionFilter visible(*t, c, "[Grp] = 6", false);
  t->SetFilter(c, &visible);
  ASSERT_TRUE(t->Locate(c, where));
  EXPECT_EQ(ID() % 7, 6);
  TORBExpressionFilter none(*t, c, "[ID] = 100000", false);
  EXPECT_FALSE(t->Locate(c, none));
  EXPECT_NE(orbtest::CodeOf([&] { TORBExpressionFilter bad(*t, c, "[Nope] = 1", false); }), 0);
}

}  // namespace
