// System files: the layout of a new database, internal files, the table
// list, session slots and table/record locks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "TestSupport.h"
#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBCheck.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBPage.h"
#include "storage/ORBSystemFiles.h"
#include "storage/ORBTableLocks.h"

using namespace orb;
using orbtest::CodeOf;
using orbtest::ReadFile;
using orbtest::TempDir;

namespace {


void CreateDb(const std::string& f, const std::string& pw = "", int32_t maxConnections = kDefaultMaxConnections) {
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(f, TORBPassword{pw, 0});
  TORBSystemFiles(pm).Create(maxConnections);
}

void OpenDb(TORBDiskPageManager& pm, const std::string& f, const std::string& pw = "", bool multiUser = false) {
  bool mu = multiUser, rep = false, ro = false;
  pm.OpenDatabaseFile(f, TORBPassword{pw, 0}, mu, !multiUser, rep, ro);
}

class SystemFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = TORBLockRetry::Tries;
    TORBLockRetry::Tries = 3;
  }
  void TearDown() override { TORBLockRetry::Tries = saved_; }
  TempDir dir;
  int saved_ = 0;
};

}  // namespace

TEST_F(SystemFiles, NewDatabaseLayout) {
  for (std::string pw : {"", "secret"}) {
    std::string f = dir.file("new" + pw + ".orb");
    CreateDb(f, pw);
    auto b = ReadFile(f);
    ASSERT_EQ(b.size(), 380u + 6 * 4096);
    EXPECT_EQ(GetLE<int32_t>(&b[30]), 6);
    EXPECT_EQ(GetLE<int32_t>(&b[34]), 4);
    const uint16_t types[] = {3, 2, 4, 5, 6};
    for (int p = 0; p < 5; ++p) EXPECT_EQ(GetLE<uint16_t>(&b[380 + p * 4096 + 8]), types[p]) << p;
    for (size_t i = 380 + 5 * 4096; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << "page 5 must be all zero";
    // The sessions file is stored in the clear even in an encrypted database.
    EXPECT_EQ(b[380 + 3 * 4096 + 40], kInternalFileHeaderSize);
    EXPECT_EQ(GetLE<int32_t>(&b[380 + 3 * 4096 + 41]), 500);
    if (pw.empty()) {
      for (int p = 0; p < 5; ++p) EXPECT_EQ(GetLE<uint32_t>(&b[380 + p * 4096 + 14]), 0u);
    }

    TORBDiskPageManager pm;
    OpenDb(pm, f, pw);
    TORBSystemFiles sys(pm);
    sys.Open();
    EXPECT_EQ(sys.Directory.Entries(), (std::vector<std::pair<uint8_t, int32_t>>{{2, 3}, {1, 4}}));
    EXPECT_EQ(sys.Directory.FindEntry(7), -1);
    EXPECT_EQ(sys.Sessions.SlotCount(), 500);
    EXPECT_TRUE(sys.TableList.Entries().empty());
    TORBInternalDBTransactedAccessFile list(pm, ptTableList);
    list.Open(4);
    EXPECT_EQ(list.GetSize(kSystemSession, true).StoredSize, 0);
    EXPECT_TRUE(CheckStorage(pm).empty());
  }
}

TEST_F(SystemFiles, TableList) {
  std::string f = dir.file("t.orb");
  CreateDb(f, "pw");
  const std::string longest(255, 'n');
  {
    TORBDiskPageManager pm;
    OpenDb(pm, f, "pw");
    TORBSystemFiles sys(pm);
    sys.Open();
    auto& list = sys.TableList;
    list.Add({"Accounts", 1, 10, 11, 12});
    list.Add({longest, 2, 20, 21, 22});
    EXPECT_EQ(CodeOf([&] { list.Add({"ACCOUNTS", 3, 0, 0, 0}); }), 30395);
    EXPECT_EQ(CodeOf([&] { list.Add({std::string(256, 'x'), 4, 0, 0, 0}); }), 31080);
    EXPECT_EQ(list.Find("accounts").TableID, 1);
    list.Add({"Ärger", 5, 0, 0, 0});
    EXPECT_EQ(list.Find("ÄRGER").TableID, 5);  // case folding beyond ASCII
    list.Delete("ärger");
    list.Rename("ACCOUNTS", "Logins");
    EXPECT_EQ(CodeOf([&] { list.Find("Accounts"); }), 30396);
    EXPECT_EQ(CodeOf([&] { list.Delete("nothing"); }), 30405);
    EXPECT_EQ(CodeOf([&] { list.Rename("nothing", "x"); }), 30397);
    EXPECT_EQ(CodeOf([&] { list.Rename("Logins", std::string(300, 'y')); }), 31080);
    list.Save();
    pm.ApplyChanges(kSystemSession);
    EXPECT_EQ(CodeOf([&] { list.Open(4); }), 30393);
  }
  TORBDiskPageManager pm;
  OpenDb(pm, f, "pw");
  TORBSystemFiles sys(pm);
  sys.Open();
  EXPECT_EQ(sys.TableList.Names(), (std::vector<std::string>{"Logins", longest}));
  const auto& e = sys.TableList.Find(longest);
  EXPECT_EQ(e.TableID, 2);
  EXPECT_EQ(e.MetaDataPageNo, 20);
  EXPECT_EQ(e.HeaderDataPageNo, 21);
  EXPECT_EQ(e.LocksPageNo, 22);
}

TEST_F(SystemFiles, TransactedFileGrowsShrinksAndRollsBack) {
  std::string f = dir.file("t.orb");
  CreateDb(f, "pw");
  TORBDiskPageManager pm;
  OpenDb(pm, f, "pw");
  TORBInternalDBTransactedAccessFile file(pm, ptTableMetaData);
  file.Create(0);
  std::vector<uint8_t> a(4000, 'a'), b(5000, 'b');
  file.WriteFile(0, a.data(), 4000);
  pm.ApplyChanges(0);
  auto chainLength = [&] {
    int n = 0;
    for (int32_t no = file.StartPageNo; no != -1; ++n) {
      TORBPageHandle p(pm, pm.GetPage(0, no, true, ptTableMetaData));
      no = PageHeader::NextPageNo(p->PageBuffer);
    }
    return n;
  };
  EXPECT_EQ(chainLength(), 1);
  file.WriteFile(0, b.data(), 5000);
  EXPECT_EQ(chainLength(), 2);
  EXPECT_EQ(file.ReadAll(1, true), a);  // another session still reads the committed content
  pm.CancelChanges(0);  // the committed content comes back
  EXPECT_EQ(file.ReadAll(0, true), a);
  file.WriteFile(0, b.data(), 5000);
  pm.ApplyChanges(0);
  EXPECT_EQ(file.ReadAll(0, true), b);
  const int32_t usedBefore = pm.Header().LastUsedPageNo;
  file.WriteFile(0, a.data(), 4000);
  pm.ApplyChanges(0);
  EXPECT_EQ(chainLength(), 1);
  EXPECT_LT(pm.Header().LastUsedPageNo, usedBefore);  // the cut-off page went back to free space
  EXPECT_EQ(file.ReadAll(0, true), a);
  std::vector<uint8_t> small(10);
  EXPECT_EQ(CodeOf([&] { file.ReadFile(0, small.data(), true, 4001); }), 30387);
  file.ReadFile(0, small.data(), true, 10);
  EXPECT_EQ(small, std::vector<uint8_t>(10, 'a'));

  // Compressed content.
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "field definitions compress well ";
  file.WriteFile(0, text.data(), static_cast<int32_t>(text.size()), 1, 9);
  pm.ApplyChanges(0);
  auto size = file.GetSize(0, true);
  EXPECT_EQ(size.Algorithm, 1);
  EXPECT_EQ(size.UncompressedSize, static_cast<int32_t>(text.size()));
  EXPECT_LT(size.StoredSize, 2000);
  auto back = file.ReadAll(0, true);
  EXPECT_EQ(std::string(back.begin(), back.end()), text);
  EXPECT_TRUE(CheckStorage(pm).empty());
}

TEST_F(SystemFiles, DamagedTransactedFiles) {
  std::string f = dir.file("t.orb");
  CreateDb(f);
  TORBDiskPageManager pm;
  OpenDb(pm, f);
  TORBInternalDBTransactedAccessFile file(pm, ptTableMetaData);
  file.Create(0);
  std::vector<uint8_t> b(5000, 'b');
  file.WriteFile(0, b.data(), 5000);
  pm.ApplyChanges(0);
  {
    // A stored size longer than the chain.
    TORBPageHandle p(pm, pm.GetPage(0, file.StartPageNo, true, ptTableMetaData));
    PutLE<int32_t>(p->Data() + 1, 9000);
    p->IsDirty = true;
  }
  try {
    file.ReadAll(0, true);
    FAIL();
  } catch (const EORBException& e) {
    EXPECT_EQ(e.Text(), "Cannot Read % bytes from internal file. FileSize=9000. ReadSize=8102, Count=9000");
    EXPECT_EQ(e.NativeErrorCode(), 30388);
  }
  {
    // A chain that loops back to its start.
    TORBPageHandle p(pm, pm.GetPage(0, file.StartPageNo, true, ptTableMetaData));
    int32_t second = PageHeader::NextPageNo(p->PageBuffer);
    TORBPageHandle q(pm, pm.GetPage(0, second, true, ptTableMetaData));
    PageHeader::SetNextPageNo(q->PageBuffer, file.StartPageNo);
    q->IsDirty = true;
  }
  EXPECT_EQ(CodeOf([&] { file.ReadAll(0, true); }), 31081);
  EXPECT_EQ(CodeOf([&] { file.Delete(0); }), 31081);
  pm.CancelChanges(0);
  TORBInternalDBTransactedAccessFile closed(pm, ptTableMetaData);
  EXPECT_EQ(CodeOf([&] { closed.GetSize(0, true); }), 30389);
  EXPECT_EQ(CodeOf([&] { file.Create(0); }), 30383);
}

TEST_F(SystemFiles, DirectFilePositionsAndBounds) {
  std::string f = dir.file("t.orb");
  CreateDb(f, "pw");
  TORBDiskPageManager pm;
  OpenDb(pm, f, "pw");
  TORBInternalDBDirectAccessFile file(pm, ptTableLocks);
  file.Create(6000);
  pm.ApplyChanges(kSystemSession);
  ASSERT_EQ(file.Pages().size(), 2u);
  const uint8_t mark[4] = {9, 8, 7, 6};
  file.DirectWriteBuffer(mark, 4, 4044);  // straddles the two pages
  uint8_t raw[2];
  pm.ReadPageBytes(raw, file.Pages()[1], 2, 40);  // position 4046 is data offset 0 of page 2
  EXPECT_EQ(raw[0], 7);
  EXPECT_EQ(raw[1], 6);
  TORBInternalDBDirectAccessFile reopened(pm, ptTableLocks);
  reopened.Open(file.StartPageNo);
  EXPECT_EQ(reopened.GetSize(), 6000);
  uint8_t back[4];
  reopened.DirectReadBuffer(back, 4, 4044);
  EXPECT_EQ(0, std::memcmp(back, mark, 4));
  EXPECT_EQ(CodeOf([&] { reopened.DirectWriteBuffer(mark, 4, 5998); }), 20158);
  EXPECT_EQ(CodeOf([&] { reopened.DirectReadBuffer(back, 1, 6001); }), 20159);
  TORBInternalDBDirectAccessFile wrong(pm, ptActiveSessionList);
  EXPECT_EQ(CodeOf([&] { wrong.Open(file.StartPageNo); }), 20155);
  EXPECT_TRUE(CheckStorage(pm).empty());
}

// Runs `body` in a child process; answers its exit status (0 = all held).
template <class F>
int InChild(F body) {
  pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST_F(SystemFiles, SessionSlots) {
  std::string f = dir.file("s.orb");
  CreateDb(f);
  TORBDiskPageManager pm;
  OpenDb(pm, f, "", true);
  TORBSystemFiles sys(pm);
  sys.Open();
  auto& s = sys.Sessions;
  EXPECT_EQ(s.ConnectSession(), 0);
  EXPECT_EQ(s.ConnectSession(), 1);
  // Another process sees slots 0 and 1 taken, gets the other 498, and the
  // 501st connection is refused.
  EXPECT_EQ(InChild([&] {
              TORBDiskPageManager other;
              OpenDb(other, f, "", true);
              TORBSystemFiles o(other);
              o.Open();
              TORBInternalDBDirectAccessFile sessions(other, ptActiveSessionList);
              sessions.Open(3);
              int code = sessions.IsByteLocked(0) && sessions.IsByteLocked(1) && !sessions.IsByteLocked(2) ? 0 : 1;
              for (int i = 2; i < 500; ++i) code |= o.Sessions.ConnectSession() == i ? 0 : 2;
              try {
                o.Sessions.ConnectSession();
                code |= 4;
              } catch (const EORBException& e) {
                code |= e.Message() == "Cannot connect session. Maximum connections quantity exceeded or database "
                                       "is open in single-user mode - Native error: 20094"
                            ? 0
                            : 8;
              }
              code |= o.Sessions.ClaimSingleUser() ? 16 : 0;
              return code;
            }),
            0);
  s.DisconnectSession(0);
  EXPECT_EQ(s.ConnectSession(), 0);
  s.DisconnectSession(0);
  s.DisconnectSession(1);
  // Single-user: one owner; the others may neither claim nor connect.
  EXPECT_TRUE(s.ClaimSingleUser());
  EXPECT_EQ(InChild([&] {
              TORBDiskPageManager other;
              OpenDb(other, f, "", true);
              TORBSystemFiles o(other);
              o.Open();
              int code = o.Sessions.ClaimSingleUser() ? 1 : 0;
              code |= CodeOf([&] { o.Sessions.ConnectSession(); }) == 20094 ? 0 : 2;
              return code;
            }),
            0);
  s.ReleaseSingleUser();
  EXPECT_EQ(s.ConnectSession(), 0);
}

TEST_F(SystemFiles, LocksAreSeenByAnotherProcess) {
  std::string f = dir.file("p.orb");
  CreateDb(f, "", 4);
  int32_t locksPage;
  {
    TORBDiskPageManager pm;
    OpenDb(pm, f, "", true);
    TORBTableLocksFile t(pm);
    t.Create(4);
    pm.ApplyChanges(kSystemSession);
    locksPage = t.StartPageNo();
  }
  TORBDiskPageManager pm;
  OpenDb(pm, f, "", true);
  TORBTableLocksFile table(pm);
  table.Open(locksPage);
  TORBDatabaseTableLockManager lm(pm, 4);
  ASSERT_TRUE(lm.LockTable(0, lkRead, table, false, 5, 2));
  ASSERT_TRUE(lm.LockRecord(0, table, 5, 2, {9, 1}));
  auto other = [&](auto body) {
    return InChild([&] {
      TORBDiskPageManager opm;
      OpenDb(opm, f, "", true);
      TORBTableLocksFile t(opm);
      t.Open(locksPage);
      TORBDatabaseTableLockManager olm(opm, 4);
      return body(olm, t);
    });
  };
  // Session 1 of the other process: a reader may join, a committer may not,
  // and the locked record is refused while another record is not.
  EXPECT_EQ(other([](TORBDatabaseTableLockManager& olm, TORBTableLocksFile& t) {
              int code = olm.LockTable(1, lkRead, t, false, 5, 2) ? 0 : 1;
              code |= olm.LockTable(1, lkCommit, t, false, 5, 2) ? 2 : 0;
              code |= olm.LockRecord(1, t, 5, 2, {9, 1}) ? 4 : 0;
              code |= olm.LockRecord(2, t, 5, 2, {9, 2}) ? 0 : 8;
              return code;
            }),
            0);
  EXPECT_TRUE(lm.UnlockTable(0, lkRead, false, false, table));
  EXPECT_TRUE(lm.UnlockRecord(0, table, {9, 1}));
  EXPECT_EQ(other([](TORBDatabaseTableLockManager& olm, TORBTableLocksFile& t) {
              int code = olm.LockTable(1, lkCommit, t, false, 5, 2) ? 0 : 1;
              code |= olm.LockRecord(1, t, 5, 2, {9, 1}) ? 0 : 2;
              return code;
            }),
            0);
}

TEST_F(SystemFiles, LockKindRules) {
  // What each kind covers, as the lock manager relies on it.
  const std::vector<int> covered[7] = {{0, 5}, {0, 1, 5}, {0, 2, 5}, {0, 1, 2, 3, 5}, {0, 1, 2, 4, 5}, {0, 5},
                                       {0, 1, 2, 3, 4, 5, 6}};
  for (int held = 0; held < 7; ++held)
    for (int req = 0; req < 7; ++req) {
      const bool want = std::find(covered[held].begin(), covered[held].end(), req) != covered[held].end();
      EXPECT_EQ(LockKindCovers(held, req), want) << held << " covers " << req;
    }
  // Compatibility is symmetric, and exclusive admits nothing.
  for (int a = 0; a < 7; ++a)
    for (int b = 0; b < 7; ++b) EXPECT_EQ(LockKindsCompatible(a, b), LockKindsCompatible(b, a)) << a << b;
  for (int k = 0; k < 7; ++k) EXPECT_FALSE(LockKindsCompatible(lkExclusive, k));
  EXPECT_FALSE(LockKindsCompatible(lkRead, lkCommit));
  EXPECT_FALSE(LockKindsCompatible(lkRecordLocks, lkModify));
  EXPECT_TRUE(LockKindsCompatible(lkRecord, lkModify));
}

TEST_F(SystemFiles, TableAndRecordLocks) {
  std::string f = dir.file("l.orb");
  CreateDb(f, "", 4);
  TORBDiskPageManager pm;
  OpenDb(pm, f, "", true);
  TORBTableLocksFile a(pm), b(pm);
  a.Create(4);
  b.Create(4);
  pm.ApplyChanges(kSystemSession);
  TORBDatabaseTableLockManager lm(pm, 4);
  lm.CommitLockDelayMs = 10;
  lm.CommitLockTries = 2;

  // Kind 6 covers kind 1: no byte of its own.
  ASSERT_TRUE(lm.LockTable(0, lkExclusive, a, false, 10, 2));
  EXPECT_FALSE(lm.LockTable(1, lkRead, a, false, 10, 2));  // others wait on the file byte
  ASSERT_TRUE(lm.LockTable(0, lkRead, a, false, 10, 2));
  EXPECT_TRUE(lm.UnlockTable(0, lkExclusive, false, false, a));
  // Losing its cover, the read lock got its own byte: session 1 cannot commit past it.
  EXPECT_FALSE(lm.LockTable(1, lkCommit, a, false, 10, 2));
  EXPECT_TRUE(lm.LockTable(1, lkRead, a, false, 10, 2));  // two readers at once
  EXPECT_TRUE(lm.UnlockTable(0, lkRead, false, false, a));
  EXPECT_TRUE(lm.UnlockTable(1, lkRead, false, false, a));
  EXPECT_TRUE(lm.LockTable(1, lkCommit, a, false, 10, 2));
  EXPECT_TRUE(lm.UnlockTable(1, lkCommit, false, false, a));

  // Kind 0 on one table does not cover kind 1 on another.
  ASSERT_TRUE(lm.LockTable(0, lkOpen, a, false, 10, 2));
  ASSERT_TRUE(lm.LockTable(0, lkRead, b, false, 10, 2));
  EXPECT_FALSE(lm.LockTable(2, lkCommit, b, false, 10, 2));
  EXPECT_TRUE(lm.LockTable(2, lkCommit, a, false, 10, 2));
  EXPECT_TRUE(lm.UnlockTable(2, lkCommit, false, false, a));

  // Records: one per session and table; keys conflict only when equal.
  ASSERT_TRUE(lm.LockRecord(0, a, 5, 2, {7, 3}));
  EXPECT_FALSE(lm.LockRecord(0, a, 5, 2, {8, 1}));
  EXPECT_FALSE(lm.LockRecord(1, a, 5, 2, {7, 3}));
  EXPECT_TRUE(lm.LockRecord(1, a, 5, 2, {7, 4}));
  EXPECT_TRUE(lm.UnlockRecord(0, a, {7, 3}));
  EXPECT_TRUE(lm.LockRecord(2, a, 5, 2, {7, 3}));
  EXPECT_FALSE(lm.UnlockRecord(3, a, {7, 3}));

  // Commit locks: modify, then commit, then keep record locks.
  ASSERT_TRUE(lm.LockTable(1, lkModify, b, false, 10, 2));
  EXPECT_FALSE(lm.AcquireCommitLocks(1));  // session 0 reads table b
  EXPECT_EQ(lm.HeldCount(1, lkCommit, b), 0);
  EXPECT_TRUE(lm.UnlockTable(0, lkRead, false, false, b));
  EXPECT_TRUE(lm.AcquireCommitLocks(1));
  EXPECT_EQ(lm.HeldCount(1, lkCommit, b), 1);
  EXPECT_TRUE(lm.ReleaseCommitLocks(1));
  EXPECT_EQ(lm.HeldCount(1, lkModify, b), 0);
  EXPECT_EQ(lm.HeldCount(1, lkRecordLocks, a), 1);  // it still holds a record of table a
  EXPECT_EQ(CodeOf([&] { lm.CheckReleased(1); }), 20201);
  EXPECT_EQ(CodeOf([&] { lm.LockTable(4, lkRead, b, false, 10, 1); }), 20200);
}

TEST_F(SystemFiles, CheckWalksEveryChain) {
  std::string f = dir.file("c.orb");
  CreateDb(f, "pw");
  TORBDiskPageManager pm;
  OpenDb(pm, f, "pw");
  TORBSystemFiles sys(pm);
  sys.Open();
  TORBInternalDBTransactedAccessFile meta(pm, ptTableMetaData), head(pm, ptTableMostUpdated);
  TORBTableLocksFile locks(pm);
  meta.Create(kSystemSession);
  head.Create(kSystemSession);
  locks.Create(500);
  std::vector<uint8_t> big(9000, 'm');
  meta.WriteFile(kSystemSession, big.data(), 9000);
  sys.TableList.Add({"Accounts", pm.GetNextObjectID(), meta.StartPageNo, head.StartPageNo, locks.StartPageNo()});
  sys.TableList.Save();
  pm.ApplyChanges(kSystemSession);
  EXPECT_TRUE(CheckStorage(pm).empty());
  EXPECT_TRUE(CheckSystemFiles(pm).empty());
  {
    // The metadata chain loops back to its start.
    int32_t second;
    {
      TORBPageHandle p(pm, pm.GetPage(kSystemSession, meta.StartPageNo, true, ptTableMetaData));
      second = PageHeader::NextPageNo(p->PageBuffer);
    }
    TORBPageHandle q(pm, pm.GetPage(kSystemSession, second, true, ptTableMetaData));
    int32_t third = PageHeader::NextPageNo(q->PageBuffer);
    TORBPageHandle r(pm, pm.GetPage(kSystemSession, third, true, ptTableMetaData));
    PageHeader::SetNextPageNo(r->PageBuffer, meta.StartPageNo);
    r->IsDirty = true;
  }
  pm.ApplyChanges(kSystemSession);
  auto problems = CheckSystemFiles(pm);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("table 'Accounts' metadata: chain loops back"), std::string::npos) << problems[0];
}
