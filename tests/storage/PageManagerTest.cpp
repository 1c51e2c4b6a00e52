// The page manager of a database file: sessions, commit protocol, rollback,
// the shared cache and multi-user validity.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <set>

#include "TestSupport.h"
#include "orb/ORBExcept.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFreeSpace.h"
#include "storage/ORBPage.h"

using namespace orb;
using orbtest::CodeOf;
using orbtest::ReadFile;
using orbtest::TempDir;
using orbtest::WriteFile;

namespace {


std::vector<uint8_t> HeaderBytes(const std::string& f) {
  auto b = ReadFile(f);
  return std::vector<uint8_t>(b.begin(), b.begin() + 76);
}

// Fails one page write (not header writes) once armed.
struct FailingEnv : TORBEnv {
  int failAfter = -1;  // writes of PageSize bytes still allowed; -1 = never fail
  int PWrite(int fd, const void* buf, size_t count, int64_t pos) override {
    if (count == 4096 && failAfter >= 0) {
      if (failAfter-- == 0) return ENOSPC;  // fails once, like a disk that filled up for a moment
    }
    return TORBEnv::PWrite(fd, buf, count, pos);
  }
};

class PageManager : public ::testing::Test {
 protected:
  void SetUp() override { Open(); }

  void Open(TORBEnv* env = nullptr, const std::string& password = "pw") {
    pm = std::make_unique<TORBDiskPageManager>(env);
    bool mu = false, rep = false, ro = false;
    if (!created) {
      pm->CreateDatabaseFile(file, TORBPassword{password, 0});
      created = true;
    } else {
      pm->OpenDatabaseFile(file, TORBPassword{password, 0}, mu, true, rep, ro);
    }
    needsRepair = rep;
  }
  void Reopen(TORBEnv* env = nullptr) {
    pm.reset();
    Open(env);
  }
  // Adds a committed page holding `tag` in its first data bytes.
  int32_t AddCommitted(int32_t session, uint32_t tag) {
    TORBPageHandle p(*pm, pm->AddPage(session, ptTableRecord));
    std::memcpy(p->Data(), &tag, 4);
    int32_t no = p->PageNo;
    p.Release();
    pm->ApplyChanges(session);
    return no;
  }
  uint32_t TagOf(int32_t session, int32_t pageNo) {
    TORBPageHandle p(*pm, pm->GetPage(session, pageNo, true, ptAny));
    uint32_t tag;
    std::memcpy(&tag, p->Data(), 4);
    return tag;
  }
  void SetTag(int32_t session, int32_t pageNo, uint32_t tag) {
    TORBPageHandle p(*pm, pm->GetPage(session, pageNo, true, ptTableRecord));
    std::memcpy(p->Data(), &tag, 4);
    p->IsDirty = true;
  }

  TempDir dir;
  std::string file = dir.file("pm.orb");
  bool created = false;
  bool needsRepair = false;
  std::unique_ptr<TORBDiskPageManager> pm;
};

}  // namespace

TEST_F(PageManager, SessionsSeeTheirOwnChangesOthersTheCommittedOnes) {
  int32_t no = AddCommitted(0, 1);
  EXPECT_EQ(no, 2);
  SetTag(0, no, 2);
  EXPECT_EQ(TagOf(0, no), 2u);
  EXPECT_EQ(TagOf(1, no), 1u);  // read from the file
  pm->ApplyChanges(0);
  EXPECT_EQ(TagOf(1, no), 2u);  // the commit replaced the stale cached copy
  Reopen();
  EXPECT_EQ(TagOf(0, no), 2u);
}

TEST_F(PageManager, PageHeldBySessionIsRefusedToOthers) {
  int32_t no = AddCommitted(0, 7);
  TORBPage* held = pm->GetPage(0, no, true, ptTableRecord);
  EXPECT_EQ(CodeOf([&] { pm->GetPage(1, no, true, ptTableRecord); }), 20090);
  EXPECT_EQ(CodeOf([&] { pm->GetPage(-1, no, true, ptTableRecord); }), 20186);
  TORBPage* again = pm->GetPage(0, no, true, ptTableRecord);  // the same session may nest
  EXPECT_EQ(again, held);
  pm->PutPage(again);
  EXPECT_EQ(CodeOf([&] { pm->GetPage(1, no, true, ptTableRecord); }), 20090);
  pm->PutPage(held);
  EXPECT_EQ(TagOf(1, no), 7u);
}

TEST_F(PageManager, CommitProtocolOnTheHeader) {
  AddCommitted(0, 1);
  auto before = HeaderBytes(file);
  pm->ApplyChanges(0);  // nothing to do
  pm->ApplyChanges(5);  // a session never seen
  EXPECT_EQ(HeaderBytes(file), before);
  int32_t counter = GetLE<int32_t>(&before[38]);
  AddCommitted(0, 2);
  auto after = HeaderBytes(file);
  EXPECT_EQ(GetLE<int32_t>(&after[38]), counter + 1);
  EXPECT_EQ(after[42], kFileStateConsistent);
}

TEST_F(PageManager, CommitChecksRunBeforeAnythingIsWritten) {
  int32_t no = AddCommitted(0, 1);
  SetTag(0, no, 5);
  TORBPage* held = pm->GetPage(0, AddCommitted(1, 9), true, ptAny);
  auto before = ReadFile(file);
  EXPECT_EQ(CodeOf([&] { pm->ApplyChanges(0); }), 20152);
  EXPECT_EQ(ReadFile(file), before);
  pm->PutPage(held);
  // Taken twice and put back once, a page is still held.
  const int32_t other = AddCommitted(1, 3);
  held = pm->GetPage(0, other, true, ptAny);
  EXPECT_EQ(pm->GetPage(0, other, true, ptAny), held);
  pm->PutPage(held);
  EXPECT_EQ(CodeOf([&] { pm->ApplyChanges(0); }), 20152);
  pm->PutPage(held);
  pm->ApplyChanges(0);
  EXPECT_EQ(TagOf(1, no), 5u);
}

TEST_F(PageManager, FailedCommitLeavesThePreviousState) {
  FailingEnv env;
  Reopen(&env);
  int32_t a = AddCommitted(0, 1), b = AddCommitted(0, 1);
  SetTag(0, a, 2);
  SetTag(0, b, 2);
  const auto before = ReadFile(file);
  env.failAfter = 1;  // the second page write fails
  EXPECT_EQ(CodeOf([&] { pm->ApplyChanges(0); }), 10469);
  EXPECT_EQ(ReadFile(file), before);  // played back from the journal
  EXPECT_FALSE(pm->HasUncommittedPages(0));  // the transaction is gone
  env.failAfter = -1;
  EXPECT_EQ(TagOf(1, a), 1u);
  EXPECT_EQ(TagOf(0, b), 1u);
  SetTag(0, b, 3);
  pm->ApplyChanges(0);
  Reopen();
  EXPECT_FALSE(needsRepair);
  EXPECT_EQ(TagOf(0, a), 1u);
  EXPECT_EQ(TagOf(0, b), 3u);
}

TEST_F(PageManager, UnfinishedCommitWithoutJournalIsNotHidden) {
  FailingEnv env;
  Reopen(&env);
  pm->Journal().Durable = false;
  int32_t a = AddCommitted(0, 1), b = AddCommitted(0, 1);
  SetTag(0, a, 2);
  SetTag(0, b, 2);
  env.failAfter = 1;
  EXPECT_NE(CodeOf([&] { pm->ApplyChanges(0); }), 0);
  EXPECT_EQ(ReadFile(file)[42], kFileStateWriting);
  env.failAfter = -1;
  SetTag(0, b, 4);
  pm->ApplyChanges(0);
  EXPECT_EQ(ReadFile(file)[42], kFileStateWriting);  // a later commit does not mark it consistent
  Reopen();
  EXPECT_TRUE(needsRepair);
}

TEST_F(PageManager, RollbackGivesBackNewPagesAndKeepsRemovedOnes) {
  int32_t kept = AddCommitted(0, 3);
  TORBPage* p = pm->AddPage(0, ptTableRecord);
  int32_t fresh = p->PageNo;
  pm->PutPage(p);
  pm->RemovePage(0, kept);
  pm->CancelChanges(0);
  EXPECT_EQ(TagOf(0, kept), 3u);
  EXPECT_TRUE(pm->FreeSpace().IsPageUsed(kept));
  EXPECT_FALSE(pm->FreeSpace().IsPageUsed(fresh));
  p = pm->AddPage(0, ptTableRecord);
  EXPECT_EQ(p->PageNo, fresh);  // the same number is handed out again
  pm->PutPage(p);
  pm->RemovePage(0, kept);
  pm->ApplyChanges(0);
  EXPECT_FALSE(pm->FreeSpace().IsPageUsed(kept));
  EXPECT_EQ(pm->SharedCache().Find(kept), nullptr);
  // A freed page carries the freed version mark on disk.
  auto bytes = ReadFile(file);
  if (static_cast<int64_t>(bytes.size()) > pm->PageOffset(kept) + 8) {
    EXPECT_EQ(GetLE<int32_t>(&bytes[pm->PageOffset(kept) + 4]), kFreedPageVersion);
  }
}

TEST_F(PageManager, MapPagesAreRefused) {
  AddCommitted(0, 1);
  for (int32_t map : {0, 1}) {
    EXPECT_EQ(CodeOf([&] { pm->GetPage(0, map, true, ptAny); }), 30434);
    EXPECT_EQ(CodeOf([&] { pm->RemovePage(0, map); }), 30434);
  }
}

TEST_F(PageManager, CacheKeepsItsCapacityEvictingLeastRecentlyUsed) {
  std::vector<int32_t> pages;
  for (int i = 0; i < 12; ++i) pages.push_back(AddCommitted(0, i));
  Reopen();
  pm->SetCacheCapacity(5);
  for (int i = 0; i < 8; ++i) TagOf(0, pages[i]);
  TagOf(0, pages[3]);  // 3 becomes the most recently used
  for (int i = 8; i < 12; ++i) TagOf(0, pages[i]);
  EXPECT_EQ(pm->SharedCache().Count(), 5u);
  std::set<int32_t> cached;
  pm->SharedCache().ForEachByAge([&](TORBPage* p) { cached.insert(p->PageNo); });
  EXPECT_EQ(cached, (std::set<int32_t>{pages[3], pages[8], pages[9], pages[10], pages[11]}));
  // A page in use is passed over.
  TORBPage* held = pm->GetPage(0, pages[3], true, ptAny);
  for (int i = 0; i < 8; ++i) TagOf(0, pages[i == 3 ? 0 : i]);
  EXPECT_NE(pm->SharedCache().Find(pages[3]), nullptr);
  pm->PutPage(held);
}

// A page list keeps the node of its last removal for the next insert.
TEST(SortedPageList, ReusedElementsTakeTheirNewNumber) {
  TORBSortedPageList list;
  auto page = [](int32_t no) { return std::make_unique<TORBPage>(nullptr, no, 0); };
  for (int32_t no : {1, 2, 3}) list.Insert(page(no));
  EXPECT_EQ(list.Extract(2)->OwnerList, nullptr);
  list.Insert(page(7));
  list.Delete(1);
  EXPECT_EQ(CodeOf([&] { list.Insert(page(7)); }), 31040);
  list.Insert(page(1));
  list.Touch(3);
  EXPECT_EQ(list.Find(2), nullptr);
  std::vector<int32_t> byAge;
  list.ForEachByAge([&](TORBPage* p) {
    EXPECT_EQ(p->OwnerList, &list);
    byAge.push_back(p->PageNo);
  });
  EXPECT_EQ(byAge, (std::vector<int32_t>{7, 1, 3}));
  for (int32_t no : byAge) EXPECT_EQ(list.Find(no)->PageNo, no);
  EXPECT_EQ(list.Count(), 3u);
}

// Inserts, removals, touches and lookups against a model, over page numbers
// spread and clustered so that probe runs collide, wrap and regrow.
TEST(SortedPageList, AgreesWithAModel) {
  TORBSortedPageList list;
  std::map<int32_t, int> model;  // page number -> last use
  std::mt19937 rng(7);
  int clock = 0;
  for (int step = 0; step < 20000; ++step) {
    const int32_t no = rng() % 3 ? static_cast<int32_t>(rng() % 600) : static_cast<int32_t>(rng() % 100000);
    const bool listed = model.count(no) > 0;
    ASSERT_EQ(list.Find(no) != nullptr, listed) << "step " << step;
    switch (rng() % 3) {
      case 0:
        if (listed) {
          EXPECT_EQ(CodeOf([&] { list.Insert(std::make_unique<TORBPage>(nullptr, no, 0)); }), 31040);
        } else {
          list.Insert(std::make_unique<TORBPage>(nullptr, no, 0));
          model[no] = ++clock;
        }
        break;
      case 1:
        if (listed) {
          EXPECT_EQ(list.Extract(no)->PageNo, no);
          model.erase(no);
        }
        break;
      default:
        if (listed) {
          list.Touch(no);
          model[no] = ++clock;
        }
    }
  }
  ASSERT_EQ(list.Count(), model.size());
  std::vector<int32_t> sorted, byAge;
  std::map<int, int32_t> byUse;
  for (const auto& [no, use] : model) {
    sorted.push_back(no);
    byUse[use] = no;
    EXPECT_EQ(list.Find(no)->PageNo, no);
  }
  for (const auto& [use, no] : byUse) byAge.push_back(no);
  EXPECT_EQ(list.SortedPageNos(), sorted);
  std::vector<int32_t> seen;
  list.ForEachByAge([&](TORBPage* p) { seen.push_back(p->PageNo); });
  EXPECT_EQ(seen, byAge);
}

// A miss on a full cache reads into the buffer of the page it evicts.
TEST_F(PageManager, PagesReadIntoEvictedBuffersShowOnlyTheirOwnBytes) {
  std::vector<int32_t> pages;
  for (uint32_t i = 0; i < 6; ++i) pages.push_back(AddCommitted(0, 100 + i));
  Reopen();
  pm->SetCacheCapacity(3);
  for (int round = 0; round < 2; ++round)
    for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(TagOf(0, pages[i]), 100 + i);
  EXPECT_EQ(pm->SharedCache().Count(), 3u);
  // A read past the end fails: the page is handed out as zeros, not as the
  // bytes of the page whose buffer it took, and is not cached.
  const int32_t beyond = pm->GetTotalPageCount() + 3;
  TORBPageHandle p(*pm, pm->GetPage(0, beyond, true, ptAny));
  EXPECT_EQ(PageHeader::Version(p->PageBuffer), kFreedPageVersion);
  EXPECT_EQ(std::vector<uint8_t>(p->Data(), p->Data() + p->DataSize()), std::vector<uint8_t>(p->DataSize(), 0));
  p.Release();
  EXPECT_EQ(pm->SharedCache().Find(beyond), nullptr);
}

TEST_F(PageManager, BadPagesAreNeverCached) {
  int32_t no = AddCommitted(0, 4);
  Reopen();
  EXPECT_EQ(CodeOf([&] { pm->GetPage(0, no, true, ptTableIndex); }), 20153);
  EXPECT_EQ(pm->SharedCache().Find(no), nullptr);
  EXPECT_EQ(TagOf(0, no), 4u);
  pm.reset();
  auto good = ReadFile(file);
  auto bad = good;
  bad[380 + no * 4096 + 40 + 100] ^= 0x20;
  WriteFile(file, bad);
  Open();
  EXPECT_EQ(CodeOf([&] { pm->GetPage(0, no, true, ptAny); }), 30446);
  EXPECT_EQ(pm->SharedCache().Find(no), nullptr);
  WriteFile(file, good);  // mended on disk: the next request reads it again
  EXPECT_EQ(TagOf(0, no), 4u);
  // A read past the end of the file is handed out as zeros, not cached.
  TORBPage* beyond = pm->GetPage(0, 5000, true, ptAny);
  EXPECT_EQ(PageHeader::Version(beyond->PageBuffer), kFreedPageVersion);
  EXPECT_EQ(pm->SharedCache().Find(5000), nullptr);
  pm->PutPage(beyond);
  EXPECT_EQ(CodeOf([&] { pm->GetPage(0, 5000, true, ptTableRecord); }), 20153);
}

TEST_F(PageManager, CommitDoesNotDestroyACopyInUse) {
  int32_t no = AddCommitted(0, 1);
  SetTag(0, no, 2);
  TORBPage* old = pm->GetPage(1, no, true, ptAny);  // session 1 reads the committed copy
  pm->ApplyChanges(0);
  uint32_t tag;
  std::memcpy(&tag, old->Data(), 4);
  EXPECT_EQ(tag, 1u);  // still alive and readable
  pm->PutPage(old);
  EXPECT_EQ(TagOf(1, no), 2u);  // and replaced once put back
}

TEST_F(PageManager, MultiUserValidity) {
  AddCommitted(0, 1);
  int32_t no = AddCommitted(0, 1);
  pm.reset();
  pm = std::make_unique<TORBDiskPageManager>();
  bool mu = true, rep = false, ro = false;
  pm->OpenDatabaseFile(file, TORBPassword{"pw", 0}, mu, false, rep, ro);
  ASSERT_TRUE(pm->MultiUser);
  auto& cache = pm->TablePagesCache();
  int table = 0;
  TORBTableKey key = &table;
  int32_t version = 0;
  EXPECT_FALSE(cache.GetCurrentTableVersion(0, &version));
  cache.TableLocked(0, key, 1);
  cache.SetTableVersion(0, key, 17);
  {
    TORBCurrentTableScope scope(cache, 0, key);
    ASSERT_TRUE(cache.GetCurrentTableVersion(0, &version));
    EXPECT_EQ(version, 17);
    TORBPageHandle p(*pm, pm->GetPage(0, no, true, ptAny));
    EXPECT_TRUE(pm->IsPageValidForSession(0, *p));
    EXPECT_FALSE(pm->IsPageValidForSession(1, *p));
  }
  cache.TableUnlocked(0, key, 1);
  EXPECT_FALSE(cache.IsTableValidated(0, key));

  // Another process changes the page: a cached copy is refreshed from the file.
  {
    TORBDiskPageManager other;
    bool m = true, r = false, o = false;
    other.OpenDatabaseFile(file, TORBPassword{"pw", 0}, m, false, r, o);
    TORBPage* p = other.GetPage(0, no, true, ptAny);
    uint32_t tag = 99;
    std::memcpy(p->Data(), &tag, 4);
    p->IsDirty = true;
    other.PutPage(p);
    other.ApplyChanges(0);
  }
  EXPECT_EQ(TagOf(0, no), 99u);
}

TEST_F(PageManager, RandomizedAllocationAcrossCommitsAndRollbacks) {
  // A page data size of 472 puts a PFS page every 3776 pages and an EAM page
  // every 1888 extents of 2: thousands of pages cross several map pages.
  pm.reset();
  file = dir.file("small.orb");
  pm = std::make_unique<TORBDiskPageManager>();
  pm->CreateDatabaseFile(file, TORBPassword{"pw", 0}, 2, 512);
  pm->SetCacheCapacity(50);
  std::mt19937 rng(12345);
  std::map<int32_t, uint32_t> model;  // committed page -> tag
  uint32_t nextTag = 1;
  auto check = [&](TORBDiskPageManager& m, bool contents) {
    const TORBMapGeometry g(m.PageDataSize, m.Header().ExtentPageCount);
    int32_t total = m.Header().TotalPageCount;
    int32_t last = model.empty() ? -1 : model.rbegin()->first;
    ASSERT_EQ(m.Header().LastUsedPageNo, last);
    ASSERT_EQ(m.File().GetSize(), m.PageBase() + int64_t{total} * 512);
    for (int32_t n = 0; n < total; ++n) {
      bool used = m.FreeSpace().IsPageUsed(n);
      ASSERT_EQ(used, g.IsMapPage(n) || model.count(n)) << n;
    }
    for (auto [no, tag] : model) {
      if (!contents) break;
      TORBPageHandle p(m, m.GetPage(0, no, true, ptTableRecord));
      uint32_t got;
      std::memcpy(&got, p->Data(), 4);
      ASSERT_EQ(got, tag) << no;
    }
  };
  for (int round = 0; round < 80; ++round) {
    std::map<int32_t, uint32_t> pending = model;
    int adds = static_cast<int>(rng() % 400);
    for (int i = 0; i < adds; ++i) {
      TORBPageHandle p(*pm, pm->AddPage(0, ptTableRecord));
      uint32_t tag = nextTag++;
      std::memcpy(p->Data(), &tag, 4);
      pending[p->PageNo] = tag;
    }
    std::vector<int32_t> committed;
    for (auto& [no, tag] : model) committed.push_back(no);
    int removes = committed.empty() ? 0 : static_cast<int>(rng() % (committed.size() / 20 + 1));
    for (int i = 0; i < removes; ++i) {
      int32_t no = committed[rng() % committed.size()];
      if (pending.erase(no)) pm->RemovePage(0, no);
    }
    if (rng() % 4 == 0) {
      pm->CancelChanges(0);
    } else {
      pm->ApplyChanges(0);
      model = pending;
    }
    ASSERT_NO_FATAL_FAILURE(check(*pm, round % 10 == 9)) << "round " << round;
  }
  ASSERT_GT(pm->Header().TotalPageCount, 3776);  // crossed a map page boundary
  pm.reset();
  TORBDiskPageManager reopened;
  bool mu = false, rep = false, ro = false;
  reopened.OpenDatabaseFile(file, TORBPassword{"pw", 0}, mu, true, rep, ro);
  EXPECT_FALSE(rep);
  check(reopened, true);
}
