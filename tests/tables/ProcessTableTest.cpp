// Memory and temporary tables: the shared table operations on in-process
// stores, all or nothing without pages to roll back, and their lifecycles.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "PeopleSchema.h"
#include "orb/ORBExcept.h"
#include "tables/ORBProcessTableData.h"

using namespace orb;
using namespace orbtest::people;

namespace {

class MemoryTable : public ::testing::Test, public PeopleRows {
 protected:
  void SetUp() override {
    const Schema s = People();
    t = &db.GetTableData("People");
    t->CreateTable(0, s.Fields, s.Indexes, s.Constraints);
    table = t;
    t->OpenTable(c);
  }
  void TearDown() override {
    if (t->IsOpen()) t->CloseTable(c);
  }

  TORBMemoryDatabaseData db;
  TORBProcessTableData* t = nullptr;
};

TEST_F(MemoryTable, RecordsIndexesBlobsAndChanges) {
  EXPECT_TRUE(db.TableExists("PEOPLE"));
  const size_t s0 = t->Constraints().Count();
  const std::vector<std::pair<int, std::string>> rows = {{3, "carol"}, {1, "Alice"}, {2, "bob"}, {4, "alice"}};
  for (const auto& [id, name] : rows) {
    Set(id, name, std::string(static_cast<size_t>(id) * 3000, static_cast<char>('a' + id)));
    t->InsertRecord(c);
  }
  EXPECT_EQ(Order(-1), (std::vector<int>{3, 1, 2, 4}));
  EXPECT_EQ(Order(1), (std::vector<int>{1, 4, 2, 3}));
  EXPECT_EQ(Order(2), (std::vector<int>{3, 2, 1, 4}));
  c.ActiveIndex = 0;
  TORBVariant three;
  three.SetInteger(3, stInteger);
  ASSERT_TRUE(t->FindKey(c, {three}));
  EXPECT_EQ(Memo(), std::string(9000, 'd'));
  EXPECT_EQ(t->GetRecNo(c), 3);
  Set(3, "aaron", "short now");
  c.Current = t->Index(0).RecordIDAt(0, 3);
  t->UpdateRecord(c);
  EXPECT_EQ(Order(1), (std::vector<int>{3, 1, 4, 2}));
  c.ActiveIndex = 0;
  t->SetRecNo(c, 3);
  EXPECT_EQ(Memo(), "short now");
  t->DeleteRecord(c);
  EXPECT_EQ(ID(), 4);  // on the next record
  EXPECT_EQ(Order(0), (std::vector<int>{1, 2, 4}));
  EXPECT_EQ(t->Check(0), std::vector<std::string>{});

  // Refusals change nothing.
  Set(1, "dup");
  EXPECT_EQ(orbtest::CodeOf([&] { t->InsertRecord(c); }), 30320);
  Set(9, "");
  EXPECT_EQ(orbtest::CodeOf([&] { t->InsertRecord(c); }), 30026);
  EXPECT_EQ(t->RecordCount(), 3);

  // A failure in the fourth index takes back the record, its keys and its BLOB.
  t->BeforeIndexInsert = [](size_t i) {
    if (i == 3) throw EORBException("injected", 99999);
  };
  Set(11, "lost", std::string(20000, 'x'));
  EXPECT_EQ(orbtest::CodeOf([&] { t->InsertRecord(c); }), 99999);
  t->BeforeIndexInsert = nullptr;
  EXPECT_EQ(t->RecordCount(), 3);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(t->Index(i).EntryCount(0), 3) << i;
  EXPECT_EQ(Order(-1), (std::vector<int>{1, 2, 4}));
  EXPECT_EQ(t->Check(0), std::vector<std::string>{});

  // Index changes: a failed build leaves the definitions and pages as they were.
  TORBIndexDef unique;
  unique.Name = "UniqueName";
  unique.Unique = true;
  unique.Columns = {orbtest::Col("Name", false, true)};  // "Alice" and "alice" clash
  EXPECT_EQ(orbtest::CodeOf([&] { t->AddIndex(unique, c); }), 30320);
  EXPECT_EQ(t->Indexes().Count(), 4u);
  EXPECT_EQ(t->Constraints().Count(), s0);
  t->DeleteIndex(t->Indexes()[2].ObjectID, c);
  EXPECT_EQ(Order(2), (std::vector<int>{4, 1, 2}));  // the old fourth index, now third: "alice" before "Alice"
  EXPECT_EQ(t->Check(0), std::vector<std::string>{});

  // Other cursors, renames and deletion.
  TORBTableCursor other;
  other.Exclusive = true;
  EXPECT_EQ(orbtest::CodeOf([&] { t->OpenTable(other); }), 20242);
  TORBProcessTableData& same = db.GetTableData("people");
  EXPECT_EQ(&same, t);
  t->RenameTable("Persons", c);
  EXPECT_FALSE(db.TableExists("People"));
  EXPECT_EQ(db.TableNames(), std::vector<std::string>{"Persons"});
  t->DeleteTable(c, false);
  EXPECT_FALSE(db.TableExists("Persons"));
  EXPECT_EQ(orbtest::CodeOf([&] { t->OpenTable(c); }), 30396);
}

TEST_F(MemoryTable, EmptyingKeepsTheChangeCounterGoing) {
  // A filtered count is kept in a bitmap stamped with the change counter; a
  // counter that started again at 0 would let the old bitmap pass for new.
  NameIsNot filter(*t, c, "skip");
  int id = 0;
  for (const char* name : {"a", "skip", "b"}) {
    Set(++id, name);
    t->InsertRecord(c);
  }
  t->SetFilter(c, &filter);
  EXPECT_EQ(t->CursorRecordCount(c), 2);
  const int32_t before = t->ChangeCounter();
  t->EmptyTable(c);
  EXPECT_GT(t->ChangeCounter(), before);
  EXPECT_EQ(t->CursorRecordCount(c), 0);
  TORBTableCursor writer;
  t->OpenTable(writer);
  for (const char* name : {"x", "y", "z"}) {
    writer.Record = t->NewRecord();
    ++id;
    SetFieldData(fID, t->Fields(), writer.Record.data(), &id);
    SetFieldData(fName, t->Fields(), writer.Record.data(), name);
    t->InsertRecord(writer);
  }
  EXPECT_EQ(t->CursorRecordCount(c), 3);
  t->CloseTable(writer);
  t->SetFilter(c, nullptr);
  EXPECT_EQ(t->Check(0), std::vector<std::string>{});
}

TEST_F(MemoryTable, RandomOperationsAgainstAModel) {
  std::mt19937 rng(7);
  std::map<int, std::string> model;  // ID -> Name
  for (int step = 0; step < 3000; ++step) {
    const int op = static_cast<int>(rng() % 10);
    const int id = static_cast<int>(rng() % 400);
    const std::string name = "n" + std::to_string(rng() % 50);
    c.ActiveIndex = 0;
    TORBVariant key;
    key.SetInteger(id, stInteger);
    const bool present = model.count(id) > 0;
    if (op < 5 && !present) {
      Set(id, name, rng() % 4 == 0 ? std::string(rng() % 6000, 'm') : "");
      t->InsertRecord(c);
      model[id] = name;
    } else if (op < 8 && present) {
      ASSERT_TRUE(t->FindKey(c, {key}));
      SetFieldData(fName, t->Fields(), c.Record.data(), name.c_str());
      t->UpdateRecord(c);
      model[id] = name;
    } else if (present) {
      ASSERT_TRUE(t->FindKey(c, {key}));
      t->DeleteRecord(c);
      model.erase(id);
    }
    if (step % 500 == 499 || model.empty()) {
      std::vector<int> ids;
      for (const auto& [k, v] : model) ids.push_back(k);
      ASSERT_EQ(Order(0), ids) << step;
      std::vector<std::pair<std::string, int>> byName;
      for (const auto& [k, v] : model) byName.push_back({v, -k});
      std::sort(byName.begin(), byName.end());
      std::vector<int> expected;
      for (const auto& [v, k] : byName) expected.push_back(-k);
      ASSERT_EQ(Order(3), expected) << step;  // Name, then ID descending
      ASSERT_EQ(t->Check(0), std::vector<std::string>{}) << step;
    }
  }
}

TEST(TemporaryTable, AppendOnlyWithIndexesAndGoneWithItsLastCursor) {
  TORBTemporaryDatabaseData db(true);
  const Schema s = People();
  PeopleRows rows;
  TORBProcessTableData& t = db.GetTableData("Result");
  t.CreateTable(0, s.Fields, s.Indexes, s.Constraints);
  rows.table = &t;
  t.OpenTable(rows.c);
  for (int id : {5, 2, 8, 1}) {
    rows.Set(id, "r" + std::to_string(10 - id), std::string(static_cast<size_t>(id) * 1000, 'v'));
    t.InsertRecord(rows.c);
  }
  EXPECT_EQ(rows.Order(-1), (std::vector<int>{5, 2, 8, 1}));
  EXPECT_EQ(rows.Order(0), (std::vector<int>{1, 2, 5, 8}));
  EXPECT_EQ(rows.Order(1), (std::vector<int>{8, 5, 2, 1}));
  EXPECT_EQ(rows.Memo(), std::string(1000, 'v'));
  // Written once: changes are refused before anything moves.
  EXPECT_EQ(orbtest::CodeOf([&] { t.UpdateRecord(rows.c); }), 31166);
  EXPECT_EQ(orbtest::CodeOf([&] { t.DeleteRecord(rows.c); }), 31166);
  EXPECT_EQ(t.RecordCount(), 4);
  EXPECT_EQ(t.Check(0), std::vector<std::string>{});
  EXPECT_TRUE(db.TableExists("result"));
  t.CloseTable(rows.c);
  EXPECT_FALSE(db.TableExists("result"));
}

}  // namespace
