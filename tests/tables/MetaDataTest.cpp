// Table definitions: record layout, the metadata and table state formats,
// autoincrement, defaults and constraints.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>

#include "TestSupport.h"
#include "tables/ORBMetaData.h"
#include "tables/ORBTableRules.h"

using namespace orb;
using orbtest::CodeOf;
using orbtest::MessageOf;

namespace {

TORBFieldDef Field(const std::string& name, uint8_t declared, int32_t size = 0, int32_t id = 0) {
  TORBFieldDef f;
  f.Name = name;
  f.ObjectID = id;
  f.SetType(declared, size);
  return f;
}

// A table with every declared type, defaults, constraints and indexes.
TORBTableMetaData Rich() {
  TORBTableMetaData m;
  for (uint8_t t = 1; t <= 36; ++t) {
    const bool sized = (t >= 1 && t <= 4) || t == 29 || t == 30 || t == 36;
    m.Fields.Add(Field("F" + std::to_string(t), t, sized ? 12 : 0, 100 + t));
  }
  m.Fields[0].DefaultValue.SetString("x", stString);
  m.Fields[6].DefaultValue.SetInteger(42, stInteger);
  m.Fields[30].BlobCompressionAlgorithm = 1;
  m.Fields[30].BlobCompressionMode = 9;
  m.Fields[30].BlobBlockSize = 65536;
  m.Fields[11].AutoincIncrement = 5;
  m.Fields[11].AutoincMaxValue = 1000;
  m.Fields[11].AutoincCycled = 1;
  m.Fields.ComputeOffsets();
  TORBIndexDef idx;
  idx.Name = "ByName";
  idx.ObjectID = 200;
  idx.RootPageNo = 17;
  idx.AssignColumns({"F2", "F7"}, {"DESC", "ASC"}, {"NO_CASE", "CASE"});
  m.Indexes.Add(idx);
  TORBIndexDef temp = idx;
  temp.Name = "TEMPORARY_INDEX_1";
  temp.Temporary = true;
  temp.OwnerSessionID = 3;
  m.Indexes.Add(temp);
  TORBConstraintDef pk;
  pk.ConstraintType = ctPrimary;
  pk.Name = "C_PK$F7";
  pk.ObjectID = 300;
  pk.Table = {"Accounts", 9};
  pk.Object = {"ByName", 200};
  pk.Columns = {{"F7", 107}};
  m.Constraints.Add(pk);
  TORBConstraintDef check;
  check.ConstraintType = ctCheck;
  check.Name = "$C_Check$Accounts$F7";
  check.ObjectID = 301;
  check.Table = {"Accounts", 9};
  check.Object = {"F7", 107};
  check.MinValue.SetInteger(0, stInteger);
  check.MaxValue.SetInteger(100, stInteger);
  m.Constraints.Add(check);
  TORBConstraintDef notNull = check;
  notNull.ConstraintType = ctNotNull;
  notNull.Name = "$C_NotNull$Accounts$F1";
  notNull.Object = {"F1", 101};
  notNull.MinValue = TORBVariant();
  notNull.MaxValue = TORBVariant();
  m.Constraints.Add(notNull);
  m.RecordIndexRoot = 5;
  return m;
}

}  // namespace

TEST(MetaData, LayoutAndSizes) {
  TORBFieldDefs f;
  for (int i = 0; i < 8; ++i) f.Add(Field("I" + std::to_string(i), 7));
  f.ComputeOffsets();
  EXPECT_EQ(f.NullBitmapSize(), 1);
  EXPECT_EQ(f[0].MemoryOffset, 1);
  f.Add(Field("C", 1, 10));
  f.Add(Field("W", 3, 10));
  f.Add(Field("M", 33));
  f.ComputeOffsets();
  EXPECT_EQ(f.NullBitmapSize(), 2);
  EXPECT_EQ(f[0].MemoryOffset, 2);
  EXPECT_EQ(f[8].MemoryDataSize, 11);
  EXPECT_EQ(f[9].MemoryDataSize, 22);
  EXPECT_EQ(f[10].MemoryDataSize, 10);
  EXPECT_EQ(f[10].RecordDataSize, 6);
  EXPECT_EQ(f[10].MemoryOffset, 2 + 8 * 4 + 11 + 22);
  EXPECT_EQ(f.MemoryRecordSize(), 2 + 32 + 11 + 22 + 10);
  EXPECT_EQ(f.RecordSize(), 2 + 32 + 11 + 22 + 6);
  EXPECT_EQ(RecordsPerPage(4056, 100), 40);
  EXPECT_EQ(MessageOf([] { RecordsPerPage(4056, 5000); }),
            "Cannot create table. Record is too large to fit in current database page. Please increase page size of "
            "database file or decrease record size - Native error: 20174");
  TORBFieldDef bad;
  EXPECT_EQ(CodeOf([&] { bad.SetType(99); }), 30007);
  TORBFieldDefs dup;
  dup.Add(Field("Name", 2, 5));
  dup.Add(Field("NAME", 2, 5));
  TORBFieldDefs target;
  EXPECT_EQ(MessageOf([&] { target.Assign(dup); }), "Duplicate field name NAME - Native error: 10424");
}

TEST(MetaData, RoundTripsByteExactly) {
  const TORBTableMetaData m = Rich();
  const auto bytes = m.Save();
  TORBTableMetaData back;
  back.Load(bytes.data(), bytes.size());
  EXPECT_EQ(back.Save(), bytes);
  ASSERT_EQ(back.Fields.Count(), 36u);
  EXPECT_EQ(back.Fields[33].MemoryOffset, m.Fields[33].MemoryOffset);
  EXPECT_EQ(back.Fields[0].DefaultValue.AsString(), "x");
  EXPECT_EQ(back.Fields[30].BlobBlockSize, 65536);
  EXPECT_EQ(back.Indexes.Count(), 1u);  // the temporary index is not stored
  EXPECT_TRUE(back.Indexes[0].Columns[0].Descending && back.Indexes[0].Columns[0].CaseInsensitive);
  EXPECT_EQ(back.Constraints[1].MaxValue.AsLargeInt(), 100);
  EXPECT_EQ(back.Constraints[0].Columns[0].Name, "F7");
  EXPECT_EQ(back.RecordIndexRoot, 5);
  // Index lookup: "NO_CASE" on an integer column leaves case free; a
  // temporary index of another session does not count.
  EXPECT_EQ(m.Indexes.FindIndexByFields({"f2", "F7"}, {"DESC", "ASC"}, {"NO_CASE", "NO_CASE"}, m.Fields, 0), 200);
  EXPECT_EQ(m.Indexes.FindIndexByFields({"F2"}, {"ASC"}, {""}, m.Fields, 0), -1);
  EXPECT_EQ(CodeOf([&] { m.Indexes.FindIndexByFields({"F2"}, {}, {""}, m.Fields, 0); }), 10276);
}

TEST(MetaData, DamagedBytesNeverOverrun) {
  const auto bytes = Rich().Save();
  for (size_t n = 0; n < bytes.size(); ++n) {
    TORBTableMetaData m;
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
    EXPECT_THROW(m.Load(cut.data(), cut.size()), EORBException) << n;
  }
  std::mt19937 rng(4);
  for (int i = 0; i < 3000; ++i) {
    auto bad = bytes;
    bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    TORBTableMetaData m;
    try {
      m.Load(bad.data(), bad.size());
    } catch (const EORBException&) {
    }
  }
  std::vector<uint8_t> unknown = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 7};
  unknown.resize(unknown.size() + 40, 0);
  TORBTableMetaData m;
  EXPECT_EQ(MessageOf([&] { m.Load(unknown.data(), unknown.size()); }), "Unknown Constraint Type: '7' - Native error: 30316");
}

TEST(MetaData, TableState) {
  TORBTableState s;
  s.AutoincLast = {0, 7, -3};
  s.ChangeCounter = 12;
  s.RecordCount = 99;
  auto bytes = s.Save();
  EXPECT_EQ(bytes.size(), 4u + 3 * 8 + 8);
  TORBTableState back;
  back.Load(bytes.data(), bytes.size());
  EXPECT_EQ(back.AutoincLast, s.AutoincLast);
  EXPECT_EQ(back.ChangeCounter, 12);
  EXPECT_EQ(back.RecordCount, 99);
  EXPECT_THROW(back.Load(bytes.data(), bytes.size() - 1), EORBException);
}

TEST(MetaData, Autoincrement) {
  TORBFieldDefs f;
  f.Add(Field("Id", 12, 0, 1));
  f.Add(Field("Small", 14, 0, 2));
  f.ComputeOffsets();
  TORBFieldManager fm(f);
  fm.ResetAutoinc();
  EXPECT_EQ(fm.GetNextAutoincValue(0), 1);
  EXPECT_EQ(fm.GetNextAutoincValue(0), 2);
  EXPECT_EQ(fm.GetNextAutoincValue(0), 3);
  EXPECT_EQ(CodeOf([&] { fm.GetNextAutoincValue(5); }), 30402);

  struct Case {
    int64_t increment, max;
    bool cycled;
    std::vector<int64_t> want;  // -1: "Autoinc max value exceeded"
  } cases[] = {{0, INT64_MAX, false, {1, 2, 3}}, {1, 3, false, {1, 2, 3, -1}}, {1, 3, true, {1, 2, 3, 0, 1}},
               {10, 25, false, {10, 20, -1}}};
  for (const auto& c : cases) {
    TORBFieldDefs g;
    g.Add(Field("Seq", 12, 0, 1));
    g[0].AutoincIncrement = c.increment;
    g[0].AutoincMaxValue = c.max;
    g[0].AutoincCycled = c.cycled;
    TORBFieldManager m(g);
    m.ResetAutoinc();
    for (int64_t w : c.want) {
      if (w < 0) {
        EXPECT_EQ(MessageOf([&] { m.GetNextAutoincValue(0); }),
                  "Autoinc max value exceeded for field 'Seq' - Native error: 20160");
      } else {
        EXPECT_EQ(m.GetNextAutoincValue(0), w);
      }
    }
  }
  // The type's range caps the maximum: a SMALLINT sequence never wraps.
  fm.LastValues()[1] = 32766;
  EXPECT_EQ(fm.GetNextAutoincValue(1), 32767);
  EXPECT_EQ(CodeOf([&] { fm.GetNextAutoincValue(1); }), 20160);
  // Explicit values raise the counter, smaller ones leave it.
  TORBSessionSequences session;
  std::vector<uint8_t> record(static_cast<size_t>(f.MemoryRecordSize()), 0);
  fm.LastValues()[1] = 0;
  auto insert = [&](std::optional<int32_t> id) {
    std::fill(record.begin(), record.end(), 0);
    SetFieldNull(record.data(), 0, !id);
    SetFieldNull(record.data(), 1, true);
    if (id) std::memcpy(&record[static_cast<size_t>(f[0].MemoryOffset)], &*id, 4);
    fm.SetAutoincValues(session, record.data());
    return ReadFieldValue(f, 0, record.data()).AsLargeInt();
  };
  EXPECT_EQ(insert(100), 100);
  EXPECT_EQ(insert(std::nullopt), 101);
  EXPECT_EQ(insert(5), 5);
  EXPECT_EQ(insert(std::nullopt), 102);
  EXPECT_EQ(fm.GetLastAutoincValue(session, 0, true), 102);
  TORBSessionSequences fresh;
  EXPECT_EQ(MessageOf([&] { fm.GetLastAutoincValue(fresh, 0, true); }),
            "No SequenceLastValue in session for sequence 'Id'. Call GetNextVal first - Native error: 30012");
  EXPECT_EQ(fm.GetLastAutoincValue(fresh, 0, false), 102);
}

TEST(MetaData, DefaultsAndConstraints) {
  TORBTableMetaData m = Rich();
  TORBFieldManager fm(m.Fields);
  std::vector<uint8_t> record(static_cast<size_t>(m.Fields.MemoryRecordSize()), 0xFF);
  std::memset(record.data(), 0xFF, static_cast<size_t>(m.Fields.NullBitmapSize()));  // all NULL
  fm.ApplyDefaultValues(record.data());
  EXPECT_EQ(ReadFieldValue(m.Fields, 0, record.data()).AsString(), "x");
  EXPECT_EQ(ReadFieldValue(m.Fields, 6, record.data()).AsLargeInt(), 42);
  // A string default is an expression when an evaluator is wired.
  fm.ApplyDefaultValues(record.data(), [](const std::string& e, TORBVariant& out) {
    out.SetString(e + "!", stString);
    return true;
  });
  EXPECT_EQ(ReadFieldValue(m.Fields, 0, record.data()).AsString(), "x!");

  auto noDuplicates = [](const TORBConstraintDef&) { return false; };
  EXPECT_TRUE(CheckConstraints(m.Constraints, m.Fields, record.data(), true, noDuplicates));
  auto set7 = [&](int32_t v) { std::memcpy(&record[static_cast<size_t>(m.Fields[6].MemoryOffset)], &v, 4); };
  set7(101);
  EXPECT_EQ(MessageOf([&] { CheckConstraints(m.Constraints, m.Fields, record.data(), true, noDuplicates); }),
            "Constraint '$C_Check$Accounts$F7' violated. Value in field 'F7' cannot be greater than '100' - Native "
            "error: 30030");
  set7(-1);
  EXPECT_FALSE(CheckConstraints(m.Constraints, m.Fields, record.data(), false, noDuplicates));
  EXPECT_EQ(CodeOf([&] { CheckConstraints(m.Constraints, m.Fields, record.data(), true, noDuplicates); }), 30029);
  set7(50);
  SetFieldNull(record.data(), 0, true);
  EXPECT_EQ(MessageOf([&] { CheckConstraints(m.Constraints, m.Fields, record.data(), true, noDuplicates); }),
            "Constraint '$C_NotNull$Accounts$F1' violated. Value in field 'F1' cannot be null - Native error: 30026");
  SetFieldNull(record.data(), 6, true);
  EXPECT_EQ(MessageOf([&] { CheckConstraints(m.Constraints, m.Fields, record.data(), true, noDuplicates); }),
            "Constraint 'C_PK$F7' violated. Value in field 'F7' cannot be null - Native error: 30330");
  SetFieldNull(record.data(), 6, false);
  EXPECT_EQ(MessageOf([&] {
              CheckConstraints(m.Constraints, m.Fields, record.data(), true, [](const TORBConstraintDef&) { return true; });
            }),
            "Primary Key constraint 'C_PK$F7' violated. Duplicate found. - Native error: 30319");
}

TEST(MetaData, GeneratedNames) {
  TORBConstraintDefs list;
  for (int i = 0; i < 3; ++i) {
    TORBConstraintDef c;
    c.ConstraintType = i == 2 ? ctCheck : ctNotNull;
    c.Object = {"Service", 5};
    list.Add(c);
  }
  NameConstraints(list, "LC");
  EXPECT_EQ(list[0].Name, "$C_NotNull$LC$Service");
  EXPECT_EQ(list[1].Name.rfind("$C_NotNull$LC$Service", 0), 0u);  // taken: a number follows
  EXPECT_NE(list[1].Name, list[0].Name);
  EXPECT_EQ(list[2].Name, "$C_Check$LC$Service");
  TORBIndexDef pk;
  pk.Primary = true;
  pk.AssignColumns({"A", "B"}, {"ASC", "ASC"}, {"", ""});
  EXPECT_EQ(IndexConstraintName(pk), "C_PK$A$B");
  pk.Primary = false;
  EXPECT_EQ(IndexConstraintName(pk), "C_Unique$A$B");
  TORBIndexDefs indexes;
  const std::string t = TemporaryIndexName(indexes);
  EXPECT_EQ(t.rfind("TEMPORARY_INDEX_", 0), 0u);
  EXPECT_LT(std::stol(t.substr(16)), 1000000);
}
