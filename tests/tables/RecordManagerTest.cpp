// Record pages: slots and their reuse, page index upkeep, record numbers,
// physical navigation, check and repair, field data exchange and record
// bitmaps.
#include <gtest/gtest.h>

#include <set>

#include "RecordFixture.h"
#include "orb/ORBExcept.h"
#include "storage/ORBPage.h"
#include "tables/ORBRecordBitmap.h"
#include "tables/ORBTypes.h"

using namespace orb;
using orbtest::Field;
using orbtest::RecordFixture;
using orbtest::TempDir;

namespace {

// A 100-byte stored record: a null byte and a 99-byte string.
TORBFieldDefs HundredBytes() {
  TORBFieldDefs f;
  f.Add(Field("S", orbtest::kVarchar, 98));
  return f;
}

class RecordPages : public ::testing::Test {
 protected:
  RecordPages() : t(dir.file("r.orb"), HundredBytes()) {}
  TORBRecordID Add(const std::string& s) {
    auto r = t.NewRecord();
    t.SetStr(r, 0, s);
    TORBRecordID id;
    EXPECT_TRUE(t.Records().InsertRecord(0, r.data(), id)) << t.Records().LastError();
    return id;
  }
  std::string Read(TORBRecordID id) {
    std::vector<uint8_t> r;
    EXPECT_TRUE(t.Records().ReadIndexedRecord(0, id, r));
    return reinterpret_cast<const char*>(r.data() + 1);
  }
  // Every record in physical order through navigation.
  std::vector<TORBRecordID> Walk(bool forward) {
    std::vector<TORBRecordID> out;
    TORBNavigation n;
    n.Mode = forward ? nmNext : nmPrior;
    n.FromFirst = forward;
    n.FromLast = !forward;
    while (t.Records().GetRecord(0, n) == grFound) {
      out.push_back(n.Current);
      n.FromFirst = n.FromLast = false;
    }
    return out;
  }
  TempDir dir;
  RecordFixture t;
};

TEST_F(RecordPages, SlotsFillPagesAndAreReused) {
  EXPECT_EQ(t.Records().RecordsPerPage(), 40);  // Trunc(4055 / 100.125)
  std::vector<TORBRecordID> ids;
  for (int i = 0; i < 41; ++i) ids.push_back(Add("r" + std::to_string(i)));
  EXPECT_EQ(ids[39].PageNo, ids[0].PageNo);
  EXPECT_NE(ids[40].PageNo, ids[0].PageNo);
  EXPECT_EQ(ids[40].Slot, 0);
  EXPECT_EQ(t.Records().PageIndex().GetValue(0, ids[0].PageNo), 40);
  // Emptying a page frees it and removes it from the page index.
  const int32_t second = ids[40].PageNo;
  ASSERT_TRUE(t.Records().DeleteRecord(0, ids[40]));
  EXPECT_EQ(t.Records().PageIndex().GetValue(0, second), -1);
  // A freed slot is taken again, with the new record's bytes.
  ASSERT_TRUE(t.Records().DeleteRecord(0, ids[3]));
  EXPECT_FALSE(t.Records().DeleteRecord(0, ids[3]));  // already free
  EXPECT_FALSE(t.Records().UpdateRecord(0, t.NewRecord().data(), ids[3]));
  const TORBRecordID again = Add("again");
  EXPECT_EQ(again, ids[3]);
  EXPECT_EQ(Read(again), "again");
  EXPECT_EQ(t.Records().RecordCount(), 40);
  t.Records().CheckPages(0);
  t.Commit();
  t.Reopen();
  EXPECT_EQ(t.Records().RecordCount(), 40);
  EXPECT_EQ(Read(ids[39]), "r39");
  t.Records().CheckPages(0);
}

TEST_F(RecordPages, RecordNumbersAndNavigationAgree) {
  std::vector<TORBRecordID> ids;
  for (int i = 0; i < 130; ++i) ids.push_back(Add(std::to_string(i)));
  for (int i = 0; i < 130; i += 3) ASSERT_TRUE(t.Records().DeleteRecord(0, ids[static_cast<size_t>(i)]));
  const std::vector<TORBRecordID> fwd = Walk(true);
  std::vector<TORBRecordID> back = Walk(false);
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(fwd, back);
  ASSERT_EQ(static_cast<int64_t>(fwd.size()), t.Records().RecordCount());
  for (size_t i = 0; i < fwd.size(); ++i) {
    EXPECT_EQ(t.Records().RecordIDByRecNo(0, static_cast<int64_t>(i + 1)), fwd[i]);
    EXPECT_EQ(t.Records().RecNoByRecordID(0, fwd[i]), static_cast<int64_t>(i + 1));
  }
  EXPECT_EQ(orbtest::MessageOf([&] { t.Records().RecordIDByRecNo(0, t.Records().RecordCount() + 1); }),
            "Cannot set RecNo greater than RecordCount - Native error: 20113");

  // From a page that has gone, navigation carries on at the nearest page.
  const int32_t middle = ids[60].PageNo;
  std::vector<TORBRecordID> onMiddle;
  for (const TORBRecordID& id : fwd)
    if (id.PageNo == middle) onMiddle.push_back(id);
  for (const TORBRecordID& id : onMiddle) ASSERT_TRUE(t.Records().DeleteRecord(0, id));
  TORBNavigation n;
  n.Mode = nmNext;
  n.Current = onMiddle.front();
  ASSERT_EQ(t.Records().GetRecord(0, n), grFound);
  EXPECT_GT(n.Current.PageNo, middle);
  n.Mode = nmPrior;
  n.Current = onMiddle.front();
  ASSERT_EQ(t.Records().GetRecord(0, n), grFound);
  EXPECT_LT(n.Current.PageNo, middle);
  n.Mode = nmCurrent;
  n.Current = onMiddle.front();
  EXPECT_EQ(t.Records().GetRecord(0, n), grNotFound);
}

TEST_F(RecordPages, CheckFindsCountMismatchAndRepairRebuildsTheIndex) {
  for (int i = 0; i < 90; ++i) Add(std::to_string(i));
  t.Commit();
  // The stored count says one more than the pages hold.
  TORBTableState s;
  t.Records().WriteState(s);
  s.RecordCount += 1;
  t.Records().ReadState(s);
  EXPECT_EQ(orbtest::MessageOf([&] { t.Records().CheckPageIndex(0); }),
            "Invalid table RecordPageIndex or MostUpdated. RecordPageIndex.RecordCount=90, "
            "MostUpdated.RecordCount=91 - Native error: 20292");
  // A page index that lost a page's entry.
  const TORBRecordID first = t.Records().RecordIDByRecNo(0, 1);
  t.Records().PageIndex().DecreaseOrSet(0, first.PageNo, 0, 0);
  t.Records().RepairPageIndex(0, nullptr);
  EXPECT_EQ(t.Records().RecordCount(), 90);
  EXPECT_NO_THROW(t.Records().CheckPages(0));
}

TEST(FieldData, ValuesWidenOnReadAndNarrowOnWrite) {
  TORBFieldDefs f;
  f.Add(Field("SI", 5));   // SHORTINT
  f.Add(Field("CA", 11));  // CARDINAL
  f.Add(Field("SG", 20));  // SINGLE
  f.Add(Field("ST", orbtest::kVarchar, 5));
  f.ComputeOffsets();
  std::vector<uint8_t> r(static_cast<size_t>(f.MemoryRecordSize()), 0);
  const int16_t si = -7;
  const int64_t ca = 4000000000LL;
  const double sg = 1.5;
  SetFieldData(0, f, r.data(), &si);
  SetFieldData(1, f, r.data(), &ca);
  SetFieldData(2, f, r.data(), &sg);
  SetFieldData(3, f, r.data(), "toolongvalue");
  int16_t si2 = 0;
  int64_t ca2 = 0;
  double sg2 = 0;
  char st[8] = {};
  EXPECT_TRUE(GetFieldData(0, f, r.data(), &si2));
  EXPECT_TRUE(GetFieldData(1, f, r.data(), &ca2));
  EXPECT_TRUE(GetFieldData(2, f, r.data(), &sg2));
  EXPECT_TRUE(GetFieldData(3, f, r.data(), st));
  EXPECT_EQ(si2, -7);
  EXPECT_EQ(ca2, 4000000000LL);
  EXPECT_EQ(sg2, 1.5);
  EXPECT_STREQ(st, "toolo");
  SetFieldData(3, f, r.data(), "");
  EXPECT_FALSE(GetFieldData(3, f, r.data(), st));
  SetFieldData(0, f, r.data(), nullptr);
  EXPECT_FALSE(GetFieldData(0, f, r.data(), &si2));
  EXPECT_EQ(orbtest::MessageOf([&] { GetFieldData(4, f, r.data(), st); }),
            "Invalid field number - FieldNo = 4, FieldCount = 4 - Native error: 10000");
  EXPECT_EQ(orbtest::CodeOf([&] { SetFieldData(4, f, r.data(), st); }), 10004);
}

TEST(RecordBitmap, CountsSearchesAndRecordNumbers) {
  TORBRecordBitmap b(40);
  b.Start(400, 5);
  const std::set<int64_t> bits = {0, 63, 64, 130, 399};
  for (int64_t bit : bits) b.SetRecord(b.IdOf(bit));
  EXPECT_EQ(b.RecordCount(), 5);
  EXPECT_EQ(b.FindNext(-1, 1), 0);
  EXPECT_EQ(b.FindNext(0, 1), 63);
  EXPECT_EQ(b.FindNext(130, 1), 399);
  EXPECT_EQ(b.FindNext(399, 1), -1);
  EXPECT_EQ(b.FindNext(130, -1), 64);
  EXPECT_EQ(b.FindNext(0, -1), -1);
  EXPECT_EQ(b.RecNoOf(130), 4);
  EXPECT_EQ(b.RecNoOf(131), -1);
  EXPECT_EQ(b.BitOfRecNo(5), 399);
  EXPECT_EQ(b.BitOfRecNo(6), -1);
  EXPECT_FALSE(b.IsStale(5));
  EXPECT_TRUE(b.IsStale(6));
  b.ClearRecord(b.IdOf(63));
  EXPECT_EQ(b.RecNoOf(64), 2);
  TORBRecordBitmap indexed(40, true);
  indexed.Start(10, 1);
  indexed.SetRecord({0, 1});
  EXPECT_FALSE(indexed.Active);  // changes through records invalidate an index-order bitmap
}

}  // namespace
