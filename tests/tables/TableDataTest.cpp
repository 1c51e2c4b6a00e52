// Table operations on a database file: create/open/close, record operations
// that keep records, BLOBs, indexes and constraints consistent (and all or
// nothing), schema changes, and a random run against a model.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <random>

#include "PeopleSchema.h"
#include "RecordFixture.h"
#include "orb/ORBExcept.h"
#include "storage/ORBCheck.h"
#include "tables/ORBDatabaseData.h"
#include "tables/ORBDiskTableData.h"

using namespace orb;
using orbtest::Col;
using orbtest::Field;
using orbtest::TempDir;
using namespace orbtest::people;

namespace {

class TableData : public ::testing::Test, public PeopleRows {
 protected:
  void SetUp() override {
    file = dir.file("t.orb");
    TORBDiskDatabaseData::CreateDatabase(file, TORBPassword{"pw", 0});
    Open();
    const Schema s = People();
    db->GetTableData("People").CreateTable(0, s.Fields, s.Indexes, s.Constraints);
    OpenTable();
  }
  void TearDown() override { Close(); }

  void Open() { db = std::make_unique<TORBDiskDatabaseData>(file, TORBPassword{"pw", 0}); }
  void OpenTable() {
    t = &db->GetTableData("People");
    table = t;
    t->OpenTable(c);
  }
  void Close() {
    if (t && t->IsOpen()) t->CloseTable(c);
    t = nullptr;
    db.reset();
  }
  void Reopen() {
    Close();
    Open();
    OpenTable();
  }

  void ExpectSound() {
    EXPECT_EQ(t->Check(0), std::vector<std::string>{});
    int64_t leaked = -1;
    EXPECT_EQ(CheckStorage(db->PageManager(), &leaked), std::vector<std::string>{});
  }

  TempDir dir;
  std::string file;
  std::unique_ptr<TORBDiskDatabaseData> db;
  TORBDiskTableData* t = nullptr;
};

TEST_F(TableData, RecordsIndexesAndBlobsPersistAndNavigate) {
  const std::vector<std::pair<int, std::string>> rows = {{3, "carol"}, {1, "Alice"}, {2, "bob"}, {4, "alice"}};
  for (const auto& [id, name] : rows) {
    Set(id, name, std::string(static_cast<size_t>(id) * 3000, static_cast<char>('a' + id)));
    t->InsertRecord(c);
  }
  Reopen();
  EXPECT_EQ(t->RecordCount(), 4);
  EXPECT_EQ(Order(0), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(Order(1), (std::vector<int>{1, 4, 2, 3}));  // case-insensitive: Alice, alice by RecordID
  EXPECT_EQ(Order(2), (std::vector<int>{3, 2, 1, 4}));  // descending, case-sensitive
  c.ActiveIndex = 0;
  ASSERT_TRUE(t->FindKey(c, {[] {
    TORBVariant v;
    v.SetInteger(3, stInteger);
    return v;
  }()}));
  EXPECT_EQ(Name(), "carol");
  EXPECT_EQ(Memo(), std::string(9000, 'd'));
  EXPECT_EQ(t->GetRecNo(c), 3);
  t->SetRecNo(c, 99);  // clamped to the last
  EXPECT_EQ(ID(), 4);
  ExpectSound();
}

TEST_F(TableData, ConstraintViolationsChangeNothing) {
  Set(1, "Alice", "memo");
  t->InsertRecord(c);
  const int32_t counter = t->ChangeCounter();
  Set(1, "Other", "other memo");
  EXPECT_EQ(orbtest::CodeOf([&] { t->InsertRecord(c); }), 30320);
  Set(2, "");
  EXPECT_EQ(orbtest::CodeOf([&] { t->InsertRecord(c); }), 30026);
  EXPECT_EQ(t->RecordCount(), 1);
  EXPECT_EQ(t->ChangeCounter(), counter);
  // An update into a duplicate key leaves the record as it was.
  Set(2, "Bob");
  t->InsertRecord(c);
  SetFieldData(fID, t->Fields(), c.Record.data(), std::vector<int32_t>{1}.data());
  EXPECT_EQ(orbtest::CodeOf([&] { t->UpdateRecord(c); }), 30320);
  Reopen();
  EXPECT_EQ(Order(0), (std::vector<int>{1, 2}));
  ExpectSound();
}

TEST_F(TableData, FailureInTheFourthIndexLeavesEverythingAsBefore) {
  for (bool inTransaction : {false, true}) {
    SCOPED_TRACE(inTransaction ? "in a transaction" : "autocommit");
    c.InTransaction = inTransaction;
    Set(10, "kept", "kept memo");
    t->InsertRecord(c);
    const int64_t count = t->RecordCount();
    t->BeforeIndexInsert = [](size_t i) {
      if (i == 3) throw EORBException("injected", 99999);
    };
    Set(11, "lost", std::string(20000, 'x'));  // a large BLOB too
    EXPECT_EQ(orbtest::CodeOf([&] { t->InsertRecord(c); }), 99999);
    t->BeforeIndexInsert = nullptr;
    EXPECT_EQ(t->RecordCount(), count);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(t->Index(static_cast<size_t>(i)).EntryCount(0), count) << i;
    if (inTransaction) db->Commit(0);
    ExpectSound();
    c.InTransaction = false;
    Set(-1, "");
    c.ActiveIndex = 0;
    t->First(c);
    t->DeleteRecord(c);
  }
  Reopen();
  EXPECT_EQ(t->RecordCount(), 0);
  ExpectSound();
}

TEST_F(TableData, ARepairingOpenRebuildsAPageIndexThatDisagrees) {
  for (int id = 1; id <= 60; ++id) {
    Set(id, "n" + std::to_string(id));
    t->InsertRecord(c);
  }
  // Lose the page index entry of the first record page, as damage would.
  const TORBRecordID first = t->Records().RecordIDByRecNo(0, 1);
  t->DiskRecords().PageIndex().DecreaseOrSet(0, first.PageNo, 0, 0);
  db->Commit(0);
  Close();
  Open();
  table = t = &db->GetTableData("People");
  c.RepairOpen = true;
  t->OpenTable(c);
  EXPECT_EQ(t->RecordCount(), 60);
  ExpectSound();
  EXPECT_EQ(Order(-1).size(), 60u);
}

TEST_F(TableData, RollingBackATransactionRestoresTheTable) {
  Set(1, "kept", "memo");
  t->InsertRecord(c);
  c.InTransaction = true;
  for (int id = 2; id <= 6; ++id) {
    Set(id, "gone", std::string(5000, 'g'));
    t->InsertRecord(c);
  }
  EXPECT_EQ(t->RecordCount(), 6);
  db->Rollback(0);
  c.InTransaction = false;
  EXPECT_EQ(t->RecordCount(), 1);
  EXPECT_EQ(Order(0), (std::vector<int>{1}));
  ExpectSound();
  Set(2, "after");
  t->InsertRecord(c);
  Reopen();
  EXPECT_EQ(Order(0), (std::vector<int>{1, 2}));
  ExpectSound();
}

TEST_F(TableData, DeleteMovesTheCursorAndEmptyTableRules) {
  for (int id = 1; id <= 3; ++id) {
    Set(id, "n" + std::to_string(id));
    t->InsertRecord(c);
  }
  c.ActiveIndex = 0;
  t->First(c);
  t->DeleteRecord(c);  // 1: moves to 2
  EXPECT_EQ(ID(), 2);
  t->Last(c);
  t->DeleteRecord(c);  // 3, the last: moves back to 2
  EXPECT_EQ(ID(), 2);
  t->DeleteRecord(c);  // the only one: BOF
  EXPECT_TRUE(c.Bof);
  Set(5, "again");
  t->InsertRecord(c);
  const int32_t counter = t->ChangeCounter();
  c.InTransaction = true;
  EXPECT_EQ(orbtest::MessageOf([&] { t->EmptyTable(c); }),
            "Cannot perform 'EmptyTable' operation on a database in transaction - Native error: 20256");
  c.InTransaction = false;
  t->EmptyTable(c);
  EXPECT_EQ(t->RecordCount(), 0);
  EXPECT_GT(t->ChangeCounter(), counter);  // advanced, never reset
  ExpectSound();
}

TEST_F(TableData, SchemaChanges) {
  for (int id = 1; id <= 20; ++id) {
    Set(id, id % 2 ? "same" : "name" + std::to_string(id), "m");
    t->InsertRecord(c);
  }
  // A unique index over duplicates is refused and leaves nothing behind.
  TORBIndexDef byName;
  byName.Name = "UniqueName";
  byName.Columns = {Col("Name")};
  byName.Unique = true;
  EXPECT_EQ(orbtest::CodeOf([&] { t->AddIndex(byName, c); }), 30320);
  EXPECT_EQ(t->IndexNumber("UniqueName"), -1);
  ExpectSound();
  byName.Unique = false;
  t->AddIndex(byName, c);
  EXPECT_EQ(t->Index(static_cast<size_t>(t->IndexNumber("UniqueName"))).EntryCount(0), 20);
  EXPECT_EQ(orbtest::CodeOf([&] { t->RenameField(0, "Name", "id"); }), 30344);
  EXPECT_EQ(orbtest::CodeOf([&] { t->RenameField(0, "Nope", "X"); }), 30343);
  t->RenameField(0, "Name", "FullName");
  t->DeleteIndex(t->Indexes()[0].ObjectID, c);
  EXPECT_EQ(orbtest::CodeOf([&] { t->DeleteIndex(123456, c); }), 10324);
  t->RenameTable("Persons", c);
  Close();
  Open();
  EXPECT_TRUE(db->TableExists("persons"));
  EXPECT_FALSE(db->TableExists("People"));
  table = t = &db->GetTableData("Persons");
  t->OpenTable(c);
  EXPECT_EQ(t->Indexes()[0].Columns[0].FieldName, "FullName");
  EXPECT_EQ(t->Fields()[fName].Name, "FullName");
  EXPECT_EQ(t->RecordCount(), 20);
  ExpectSound();
  const int32_t pages = db->PageManager().GetTotalPageCount();
  t->DeleteTable(c, false);
  EXPECT_FALSE(db->TableExists("Persons"));
  int64_t leaked = -1;
  EXPECT_EQ(CheckStorage(db->PageManager(), &leaked), std::vector<std::string>{});
  EXPECT_LE(db->PageManager().GetTotalPageCount(), pages);
}

TEST_F(TableData, RandomOperationsAgainstAModel) {
  std::mt19937 rng(99);
  std::map<int, std::pair<std::string, std::string>> model;  // ID -> name, memo
  int next = 1;
  auto memoOf = [&](int id) { return std::string(static_cast<size_t>(rng() % 6000), static_cast<char>('A' + id % 26)); };
  auto seek = [&](int id) {
    c.ActiveIndex = 0;
    TORBVariant v;
    v.SetInteger(id, stInteger);
    return t->FindKey(c, {v});
  };
  for (int batch = 0; batch < 10; ++batch) {
    c.InTransaction = batch % 2 == 1;
    for (int op = 0; op < 1000; ++op) {
      const int kind = model.empty() ? 0 : static_cast<int>(rng() % 3);
      if (kind == 0) {
        const int id = next++;
        const std::string name = "n" + std::to_string(rng() % 300);
        const std::string memo = rng() % 4 ? memoOf(id) : "";
        Set(id, name, memo);
        t->InsertRecord(c);
        model[id] = {name, memo};
        continue;
      }
      auto it = model.begin();
      std::advance(it, static_cast<long>(rng() % model.size()));
      ASSERT_TRUE(seek(it->first));
      if (kind == 1) {
        const std::string name = "u" + std::to_string(rng() % 300);
        SetFieldData(fName, t->Fields(), c.Record.data(), name.c_str());
        std::string memo = it->second.second;
        if (rng() % 2) {
          memo = memoOf(it->first);
          t->SetBlobValue(c, fMemo, std::vector<uint8_t>(memo.begin(), memo.end()));
        }
        t->UpdateRecord(c);
        it->second = {name, memo};
      } else {
        t->DeleteRecord(c);
        model.erase(it);
      }
    }
    if (c.InTransaction) db->Commit(0);
    ASSERT_EQ(t->RecordCount(), static_cast<int64_t>(model.size()));
    ExpectSound();
  }
  Reopen();
  ExpectSound();
  std::vector<int> ids;
  for (const auto& [id, v] : model) ids.push_back(id);
  EXPECT_EQ(Order(0), ids);
  for (const auto& [id, v] : model) {
    ASSERT_TRUE(seek(id));
    EXPECT_EQ(Name(), v.first);
    EXPECT_EQ(Memo(), v.second) << id;
  }
}

TORBVariant Text(const std::string& s) {
  TORBVariant v;
  v.SetString(s);
  return v;
}

TEST_F(TableData, FindByConditionWithPartialKeysHonoursTheFilter) {
  const std::vector<std::pair<int, std::string>> rows = {
      {1, "alpha"}, {2, "Beta"}, {3, "bravo"}, {4, "charlie"}, {5, "delta"}};
  for (const auto& [id, name] : rows) {
    Set(id, name);
    t->InsertRecord(c);
  }
  c.ActiveIndex = 1;  // ByName, case-insensitive
  struct Case {
    int Kind;
    std::string Key;
    bool Partial;
    int Expected;  // ID, 0 for not found
  } cases[] = {
      {ckEqual, "BRAVO", false, 3},       {ckEqual, "b", true, 2},           {ckEqual, "br", true, 3},
      {ckEqual, "x", true, 0},            {ckEqual, "b", false, 0},          {ckGreaterOrEqual, "bz", false, 4},
      {ckGreater, "charlie", false, 5},   {ckGreater, "delta", false, 0},    {ckLess, "b", false, 1},
      {ckLessOrEqual, "ALPHA", false, 1}, {ckLess, "alpha", false, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Key + " kind " + std::to_string(k.Kind));
    const bool found = t->FindRecordByCondition(c, k.Kind, {Text(k.Key)}, k.Partial);
    EXPECT_EQ(found ? ID() : 0, k.Expected);
  }
  // The first match the cursor does not see is stepped over, within the run only.
  NameIsNot filter(*t, c, "Beta");
  t->SetFilter(c, &filter);
  ASSERT_TRUE(t->FindRecordByCondition(c, ckEqual, {Text("b")}, true));
  EXPECT_EQ(ID(), 3);
  EXPECT_FALSE(t->FindRecordByCondition(c, ckEqual, {Text("beta")}, false));
  t->SetFilter(c, nullptr);
  EXPECT_EQ(orbtest::CodeOf([&] { t->FindRecordByCondition(c, 9, {Text("a")}); }), 10382);
}

TEST_F(TableData, TemporaryIndexesFollowTheTableAndGoWithTheirSession) {
  const std::vector<std::pair<int, std::string>> rows = {{4, "b"}, {1, "b"}, {3, "a"}, {2, "c"}};
  for (const auto& [id, name] : rows) {
    Set(id, name);
    t->InsertRecord(c);
  }
  // An index that already orders this way is used as it is.
  EXPECT_EQ(t->GetTempIndex(c, {"ID"}), std::make_pair(0, false));
  // ByNameID orders IDs descending: ascending needs a temporary index.
  const auto [temp, made] = t->GetTempIndex(c, {"Name", "ID"});
  ASSERT_TRUE(made);
  EXPECT_EQ(t->Indexes()[static_cast<size_t>(temp)].Name.rfind("TEMPORARY_INDEX_", 0), 0u);
  EXPECT_EQ(Order(temp), (std::vector<int>{3, 1, 4, 2}));
  EXPECT_EQ(t->GetTempIndex(c, {"Name", "ID"}), std::make_pair(temp, false));
  // Kept in step with changes, and rebuilt when a transaction is rolled back.
  Set(0, "b");
  t->InsertRecord(c);
  EXPECT_EQ(Order(temp), (std::vector<int>{3, 0, 1, 4, 2}));
  c.InTransaction = true;
  Set(9, "a");
  t->InsertRecord(c);
  EXPECT_EQ(Order(temp), (std::vector<int>{3, 9, 0, 1, 4, 2}));
  db->Rollback(0);
  c.InTransaction = false;
  EXPECT_EQ(Order(temp), (std::vector<int>{3, 0, 1, 4, 2}));
  EXPECT_EQ(t->Check(0), std::vector<std::string>{});
  // Never stored: the file's table has its own four indexes, and no page of
  // the temporary index reached it.
  const size_t before = t->Indexes().Count();
  c.ActiveIndex = -1;
  Reopen();
  EXPECT_EQ(t->Indexes().Count(), before - 1);
  ExpectSound();
}

// Runs `hold` in another process; it calls its argument once it holds what
// it should, and `meanwhile` runs here until it returns; then the other
// process goes on and must end well.
void WhileAnotherProcessHolds(const std::function<void(const std::function<void()>&)>& hold,
                              const std::function<void()>& meanwhile) {
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int status = 0;
    try {
      hold([&] {
        char ch = 1;
        if (write(ready[1], &ch, 1) != 1 || read(done[0], &ch, 1) != 1) status = 2;
      });
    } catch (const std::exception& e) {
      std::fprintf(stderr, "child: %s\n", e.what());
      status = 1;
    }
    _exit(status);
  }
  char ch = 0;
  ASSERT_EQ(read(ready[0], &ch, 1), 1);
  meanwhile();
  ASSERT_EQ(write(done[1], &ch, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(TableData, AnOperationWaitsForItsReadingLock) {
  Close();
  const int savedTries = TORBDiskTableData::ReadLockTries;
  TORBDiskTableData::ReadLockTries = 3;
  TORBDiskTableData::ReadLockDelayMs = 10;
  {
    TORBDiskDatabaseData shared(file, TORBPassword{"pw", 0}, false, true);
    TORBDiskTableData& table = shared.GetTableData("People");
    TORBTableCursor cur;
    table.OpenTable(cur);
    cur.Record = table.NewRecord();
    const int id = 7;
    SetFieldData(fID, table.Fields(), cur.Record.data(), &id);
    SetFieldData(fName, table.Fields(), cur.Record.data(), "seven");
    WhileAnotherProcessHolds(
        [&](const std::function<void()>& holding) {
          // Another process commits into the table: its commit lock keeps readers out.
          TORBDiskDatabaseData other(file, TORBPassword{"pw", 0}, false, true);
          other.System().TableList.Load();
          TORBTableLocksFile locks(other.PageManager());
          locks.Open(other.System().TableList.Find("People").LocksPageNo);
          if (!other.Locks()->LockTable(other.Session(), lkCommit, locks, false, 10, 10))
            throw EORBException("no commit lock", 1);
          holding();
          other.Locks()->UnlockTable(other.Session(), lkCommit, false, true, locks);
        },
        [&] {
          EXPECT_EQ(orbtest::MessageOf([&] { table.InsertRecord(cur); }), "Table is locked - Native error: 20214");
          EXPECT_EQ(table.RecordCount(), 0);
          EXPECT_EQ(table.GetRecord(cur, nmNext), grNotFound);  // navigation answers "not found"
        });
    EXPECT_NO_THROW(table.InsertRecord(cur));  // free again
    table.CloseTable(cur);
  }
  TORBDiskTableData::ReadLockTries = savedTries;
  TORBDiskTableData::ReadLockDelayMs = 40;
  Open();
  OpenTable();
  EXPECT_EQ(Order(0), std::vector<int>{7});
  ExpectSound();
}

TEST_F(TableData, TwoProcessesInsertingIntoOneMultiUserDatabase) {
  Close();
  constexpr int kPerProcess = 150;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 0;
      try {
        TORBDiskDatabaseData shared(file, TORBPassword{"pw", 0}, false, true);
        TORBDiskTableData& table = shared.GetTableData("People");
        TORBTableCursor cur;
        table.OpenTable(cur);
        for (int i = 0; i < kPerProcess; ++i) {
          cur.Record = table.NewRecord();
          const int id = p * 100000 + i;
          SetFieldData(fID, table.Fields(), cur.Record.data(), &id);
          const std::string name = "p" + std::to_string(p) + "-" + std::to_string(i % 17);
          SetFieldData(fName, table.Fields(), cur.Record.data(), name.c_str());
          if (i % 5 == 0) table.SetBlobValue(cur, fMemo, std::vector<uint8_t>(static_cast<size_t>(i * 40), 'm'));
          table.InsertRecord(cur);
        }
        table.CloseTable(cur);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "child %d: %s\n", p, e.what());
        status = 1;
      }
      _exit(status);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Open();
  OpenTable();
  EXPECT_EQ(t->RecordCount(), 2 * kPerProcess);
  std::vector<int> ids;
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kPerProcess; ++i) ids.push_back(p * 100000 + i);
  EXPECT_EQ(Order(0), ids);
  ExpectSound();
}

TEST_F(TableData, AnotherProcessHoldingTheTableExclusivelyKeepsOthersOut) {
  Close();
  const int savedTries = TORBDiskTableData::OpenLockTries;
  TORBDiskTableData::OpenLockTries = 2;
  TORBDiskTableData::OpenLockDelayMs = 10;
  {
    TORBDiskDatabaseData shared(file, TORBPassword{"pw", 0}, false, true);
    TORBDiskTableData& table = shared.GetTableData("People");
    TORBTableCursor cur;
    WhileAnotherProcessHolds(
        [&](const std::function<void()>& holding) {
          TORBDiskDatabaseData other(file, TORBPassword{"pw", 0}, false, true);
          TORBTableCursor mine;
          mine.Exclusive = true;
          other.GetTableData("People").OpenTable(mine);
          holding();
          other.GetTableData("People").CloseTable(mine);
        },
        [&] {
          EXPECT_EQ(orbtest::CodeOf([&] { table.OpenTable(cur); }), 20209);
          cur.Exclusive = true;
          EXPECT_EQ(orbtest::MessageOf([&] { table.OpenTable(cur); }),
                    "Cannot access table 'People' in exclusive mode. Probably the table is open by another user - "
                    "Native error: 20208");
        });
    cur.Exclusive = false;
    EXPECT_NO_THROW(table.OpenTable(cur));  // free again
    table.CloseTable(cur);
  }
  TORBDiskTableData::OpenLockTries = savedTries;
  TORBDiskTableData::OpenLockDelayMs = 100;
  Open();
  OpenTable();
}

}  // namespace

namespace {

TEST(TableBlobs, UncompressedValuesReadTheSameStoredOrPending) {
  TempDir dir;
  const std::string file = dir.file("b.orb");
  TORBDiskDatabaseData::CreateDatabase(file, TORBPassword{});
  TORBDiskDatabaseData db(file, TORBPassword{});
  TORBFieldDefs fields;
  fields.Add(Field("ID", orbtest::kInteger));
  fields.Add(Field("Note", 33));  // a MEMO without compression
  TORBDiskTableData& t = db.GetTableData("Notes");
  t.CreateTable(0, fields, {}, {});
  TORBTableCursor c;
  t.OpenTable(c);
  const std::vector<std::vector<uint8_t>> values = {
      {}, std::vector<uint8_t>(10, 'a'), std::vector<uint8_t>(5000, 'b'), std::vector<uint8_t>(70000, 'c')};
  for (int id = 0; id < static_cast<int>(values.size()); ++id) {
    c.Record = t.NewRecord();
    SetFieldData(0, t.Fields(), c.Record.data(), &id);
    if (!values[static_cast<size_t>(id)].empty()) t.SetBlobValue(c, 1, values[static_cast<size_t>(id)]);
    EXPECT_EQ(t.GetBlobValue(c, 1), values[static_cast<size_t>(id)]) << "pending " << id;
    t.InsertRecord(c);
  }
  int id = 0;
  for (t.First(c); !c.Eof; t.GetRecord(c, nmNext), ++id)
    EXPECT_EQ(t.GetBlobValue(c, 1), values[static_cast<size_t>(id)]) << "stored " << id;
  EXPECT_EQ(id, 4);
  EXPECT_EQ(t.Check(0), std::vector<std::string>{});
  t.CloseTable(c);
}

}  // namespace
