// Memory and temporary storage: page managers and record managers.
#include <gtest/gtest.h>

#include <cstring>

#include "orb/ORBExcept.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBMemEngine.h"
#include "storage/ORBPage.h"
#include "storage/ORBStreams.h"
#include "storage/ORBTempEngine.h"

using namespace orb;

namespace {

int32_t AddTagged(TORBPageManager& pm, uint32_t tag) {
  TORBPageHandle p(pm, pm.AddPage(0, ptTableIndex));
  std::memcpy(p->Data(), &tag, 4);
  return p->PageNo;
}

uint32_t TagOf(TORBPageManager& pm, int32_t no) {
  TORBPageHandle p(pm, pm.GetPage(0, no, false, ptAny));
  uint32_t t;
  std::memcpy(&t, p->Data(), 4);
  return t;
}

std::vector<uint8_t> Rec(int32_t size, int v) { return std::vector<uint8_t>(static_cast<size_t>(size), static_cast<uint8_t>(v)); }

}  // namespace

TEST(MemoryPages, AllocationReuseAndStreaming) {
  TORBMemoryPageManager pm;
  EXPECT_EQ(pm.PageHeaderSize, 0);
  EXPECT_EQ(pm.PageDataSize, 4096);
  TORBPage* first = pm.AddPage(0, 0);
  EXPECT_EQ(first->PageNo, 0);
  pm.PutPage(first);
  pm.CancelChanges(0);  // gives page 0 back
  EXPECT_EQ(pm.GetTotalPageCount(), 0);
  std::vector<int32_t> pages;
  for (uint32_t i = 0; i < 120; ++i) pages.push_back(AddTagged(pm, 1000 + i));
  pm.ApplyChanges(0);
  EXPECT_EQ(pages.front(), 0);
  EXPECT_EQ(pm.Capacity(), 150);
  pm.RemovePage(0, pages[7]);
  pm.ApplyChanges(0);
  EXPECT_EQ(AddTagged(pm, 7), 7);  // the lowest free number is reused
  pm.ApplyChanges(0);
  TORBMemoryStream stream;
  pm.SaveToStream(stream);
  TORBMemoryPageManager copy;
  stream.Seek(0, soBeginning);
  copy.LoadFromStream(stream);
  EXPECT_EQ(copy.GetTotalPageCount(), 120);
  EXPECT_EQ(copy.HighestUsed(), 119);
  EXPECT_EQ(copy.Capacity(), 150);
  EXPECT_EQ(TagOf(copy, 7), 7u);
  EXPECT_EQ(TagOf(copy, 119), 1119u);
  EXPECT_FALSE(copy.IsUsed(120));
  // A truncated stream is refused, not half loaded.
  TORBMemoryStream cut;
  cut.Write(stream.Data(), stream.GetSize() / 2);
  cut.Seek(0, soBeginning);
  TORBMemoryPageManager broken;
  EXPECT_THROW(broken.LoadFromStream(cut), EORBException);
  // Pages that are not in use cannot be read.
  TORBPage stray(&pm, 140, 0);
  EXPECT_THROW(pm.ReadPage(stray), EORBException);
}

TEST(TemporaryPages, MemoryOnlyNeverMakesAFile) {
  TORBTemporaryPageManager memOnly(true, 2), spilling(false, 2);
  for (TORBTemporaryPageManager* pm : {&memOnly, &spilling}) {
    std::vector<int32_t> pages;
    for (uint32_t i = 0; i < 10; ++i) pages.push_back(AddTagged(*pm, 50 + i));
    pm->ApplyChanges(0);
    pm->SetCacheCapacity(1);  // force re-reads from the store
    for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(TagOf(*pm, pages[i]), 50 + i);
    pm->RemovePage(0, pages[9]);
    pm->ApplyChanges(0);
    EXPECT_EQ(pm->GetTotalPageCount(), 9);
  }
  EXPECT_FALSE(memOnly.HasFile());
  EXPECT_TRUE(spilling.HasFile());
}

TEST(MemoryRecords, SlotsAreNeverReusedAndRecordNumbersSkipDeletions) {
  TORBMemoryRecordManager rm(8, 4);
  EXPECT_THROW(TORBMemoryRecordManager(0), EORBException);
  TORBRecordID id;
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(rm.InsertRecord(0, Rec(8, i).data(), id));
    EXPECT_EQ(id.Number(), i);
  }
  ASSERT_TRUE(rm.DeleteRecord(0, TORBRecordID::FromNumber(9)));
  EXPECT_EQ(rm.HighestSlot(), 8);
  ASSERT_TRUE(rm.InsertRecord(0, Rec(8, 99).data(), id));
  EXPECT_EQ(id.Number(), 9);  // highest + 1
  ASSERT_TRUE(rm.DeleteRecord(0, TORBRecordID::FromNumber(3)));
  EXPECT_FALSE(rm.DeleteRecord(0, TORBRecordID::FromNumber(3)));
  ASSERT_TRUE(rm.InsertRecord(0, Rec(8, 10).data(), id));
  EXPECT_EQ(id.Number(), 10);  // slot 3 is not reused
  EXPECT_EQ(rm.RecordCount(), 10);
  EXPECT_EQ(rm.RecNoByRecordID(0, TORBRecordID::FromNumber(2)), 3);
  EXPECT_EQ(rm.RecNoByRecordID(0, TORBRecordID::FromNumber(4)), 4);
  EXPECT_EQ(rm.RecNoByRecordID(0, TORBRecordID::FromNumber(3)), -1);
  EXPECT_EQ(rm.RecordIDByRecNo(0, 4).Number(), 4);
  EXPECT_EQ(rm.RecordIDByRecNo(0, 10).Number(), 10);
  EXPECT_EQ(rm.RecordIDByRecNo(0, 11).PageNo, -1);
  // Walk forwards and backwards over the deleted slot.
  std::vector<uint8_t> buf(8);
  TORBNavigation nav;
  nav.FromFirst = true;
  nav.Buffer = buf.data();
  std::vector<int> seen;
  for (int r = rm.GetRecord(0, nav); r == grFound; r = rm.GetRecord(0, nav)) {
    seen.push_back(buf[0]);
    nav.FromFirst = false;
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 4, 5, 6, 7, 8, 99, 10}));
  nav = TORBNavigation{nmPrior, false, false, TORBRecordID::FromNumber(4), buf.data()};
  EXPECT_EQ(rm.GetRecord(0, nav), grFound);
  EXPECT_EQ(nav.Current.Number(), 2);
  EXPECT_TRUE(rm.UpdateRecord(0, Rec(8, 55).data(), nav.Current));
  EXPECT_FALSE(rm.UpdateRecord(0, Rec(8, 55).data(), TORBRecordID::FromNumber(3)));
  rm.EmptyAll(0);
  EXPECT_EQ(rm.RecordCount(), 0);
  EXPECT_EQ(rm.GetRecord(0, nav), grEOF);
}

TEST(TemporaryRecords, AppendOnlyWithAFileTail) {
  TORBTemporaryRecordManager rm(16, false, 4, 3, 5);
  TORBRecordID id;
  for (int i = 0; i < 23; ++i) ASSERT_TRUE(rm.InsertRecord(0, Rec(16, i).data(), id));
  EXPECT_TRUE(rm.HasFile());
  EXPECT_FALSE(rm.UpdateRecord(0, Rec(16, 1).data(), id));
  EXPECT_FALSE(rm.DeleteRecord(0, id));
  std::vector<uint8_t> buf(16);
  TORBNavigation nav{nmPrior, false, true, {}, buf.data()};
  std::vector<int> seen;
  for (int r = rm.GetRecord(0, nav); r == grFound; r = rm.GetRecord(0, nav)) {
    seen.push_back(buf[15]);
    nav.FromLast = false;
  }
  ASSERT_EQ(seen.size(), 23u);
  for (int i = 0; i < 23; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], 22 - i);
  EXPECT_EQ(rm.CompareRecordIDs(TORBRecordID::FromNumber(3), TORBRecordID::FromNumber(12)), -1);
  TORBTemporaryRecordManager memOnly(16, true, 4, 3, 5);
  for (int i = 0; i < 23; ++i) ASSERT_TRUE(memOnly.InsertRecord(0, Rec(16, i).data(), id));
  EXPECT_FALSE(memOnly.HasFile());
}
