// Byte-range locks and share modes between descriptors and processes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"
#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBDiskPageManager.h"

using namespace orb;
using orbtest::TempDir;

namespace {

void Create(const std::string& file) {
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(file, {});
}

void OpenShared(TORBDiskPageManager& pm, const std::string& file) {
  bool mu = true, rep = false, ro = false;
  pm.OpenDatabaseFile(file, {}, mu, /*exclusive=*/false, rep, ro);
}

// A child process that opens the file shared, takes the database lock, says
// so through a pipe and holds it until the parent closes its end.
class LockHolder {
 public:
  explicit LockHolder(const std::string& file) {
    int up[2], down[2];
    EXPECT_EQ(pipe(up), 0);
    EXPECT_EQ(pipe(down), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      char ok = 'n';
      try {
        TORBDiskPageManager pm;
        OpenShared(pm, file);
        if (pm.LockDatabase()) ok = 'y';
        if (write(up[1], &ok, 1) != 1) _exit(3);
        char c;
        while (read(down[0], &c, 1) > 0) {
        }
      } catch (...) {
        if (write(up[1], &ok, 1) != 1) _exit(3);
      }
      _exit(0);
    }
    close(up[1]);
    close(down[0]);
    toChild_ = down[1];
    char ok = 0;
    EXPECT_EQ(read(up[0], &ok, 1), 1);
    close(up[0]);
    locked_ = ok == 'y';
  }
  ~LockHolder() { Release(); }
  bool locked() const { return locked_; }
  void Release() {
    if (pid_ <= 0) return;
    close(toChild_);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  bool locked_ = false;
};

// Lock waits shortened so that a refused lock is reported at once.
class Locks : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = TORBLockRetry::Tries;
    TORBLockRetry::Tries = 2;
  }
  void TearDown() override { TORBLockRetry::Tries = saved_; }
  int saved_ = 0;
};

}  // namespace

TEST_F(Locks, DatabaseLockIsSeenByAnotherProcess) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  TORBDiskPageManager pm;
  OpenShared(pm, f);
  {
    LockHolder other(f);
    ASSERT_TRUE(other.locked());
    EXPECT_FALSE(pm.LockDatabase());
    EXPECT_TRUE(pm.File().IsByteLocked(360));
    EXPECT_FALSE(pm.File().IsByteLocked(359));  // the tables lock is free
    other.Release();
    EXPECT_TRUE(pm.LockDatabase());
  }
  // Held here, the other process cannot take it.
  LockHolder other(f);
  EXPECT_FALSE(other.locked());
  pm.UnlockDatabase();
}

TEST_F(Locks, DatabaseLockIsReentrantWithinOneManager) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  TORBDiskPageManager a, b;
  OpenShared(a, f);
  OpenShared(b, f);
  EXPECT_TRUE(a.LockDatabase());
  EXPECT_TRUE(a.LockDatabase());
  a.UnlockDatabase();
  EXPECT_FALSE(b.LockDatabase());  // still held once
  a.UnlockDatabase();
  EXPECT_TRUE(b.LockDatabase());
  b.UnlockDatabase();
}

TEST_F(Locks, ByteLocksWithinOneProcess) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  TORBDatabaseFile one, two;
  one.OpenFile(f, TORBDatabaseFile::amReadWrite, TORBDatabaseFile::smShareReadWrite);
  two.OpenFile(f, TORBDatabaseFile::amReadWrite, TORBDatabaseFile::smShareReadWrite);
  EXPECT_TRUE(one.LockByte(1, 5000));
  EXPECT_FALSE(one.LockByte(1, 5000));  // the same byte twice through one file
  EXPECT_FALSE(two.LockByte(1, 5000));  // and through another descriptor
  EXPECT_TRUE(two.LockByte(1, 5001));
  EXPECT_TRUE(one.IsRegionLocked(4, 4999));
  EXPECT_FALSE(one.IsRegionLocked(2, 5002));
  {
    // Opening and closing a third descriptor keeps the locks.
    TORBDatabaseFile three;
    three.OpenFile(f, TORBDatabaseFile::amReadOnly, TORBDatabaseFile::smShareReadWrite);
    three.CloseFile();
  }
  EXPECT_FALSE(two.LockByte(1, 5000));
  EXPECT_TRUE(one.UnlockByte(1, 5000));
  EXPECT_TRUE(two.LockByte(1, 5000));
  // Closing a file drops its locks.
  two.CloseFile();
  EXPECT_TRUE(one.LockByte(1, 5001));
}

TEST_F(Locks, ShareModes) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  using F = TORBDatabaseFile;
  struct Case {
    uint8_t access1, share1, access2, share2;
    bool secondOpens;
  } cases[] = {
      {F::amReadWrite, F::smExclusive, F::amReadOnly, F::smShareReadWrite, false},
      {F::amReadOnly, F::smShareReadWrite, F::amReadWrite, F::smExclusive, false},
      {F::amReadWrite, F::smShareReadWrite, F::amReadWrite, F::smShareReadWrite, true},
      {F::amReadOnly, F::smShareRead, F::amReadOnly, F::smShareRead, true},
      {F::amReadOnly, F::smShareRead, F::amReadWrite, F::smShareReadWrite, false},
      {F::amReadWrite, F::smShareRead, F::amReadOnly, F::smShareReadWrite, true},   // a reader may join a writer that shares reading
      {F::amReadWrite, F::smShareRead, F::amReadWrite, F::smShareReadWrite, false}, // another writer may not
      {F::amReadWrite, F::smShareReadWrite, F::amReadOnly, F::smShareRead, false},  // first writes
  };
  for (const auto& c : cases) {
    F first, second;
    first.OpenFile(f, c.access1, c.share1);
    bool opened = true;
    try {
      second.OpenFile(f, c.access2, c.share2);
    } catch (const EORBException& e) {
      opened = false;
      EXPECT_EQ(e.NativeErrorCode(), 30364);
    }
    EXPECT_EQ(opened, c.secondOpens) << int(c.access1) << int(c.share1) << int(c.access2) << int(c.share2);
  }
  // An exclusive database keeps other processes out, and create will not delete it.
  TORBDiskPageManager pm;
  bool mu = false, rep = false, ro = false;
  pm.OpenDatabaseFile(f, {}, mu, true, rep, ro);
  pid_t pid = fork();
  if (pid == 0) {
    int code = 0;
    try {
      TORBDiskPageManager other;
      bool m = false, r = false, o = false;
      other.OpenDatabaseFile(f, {}, m, false, r, o);
    } catch (const EORBException& e) {
      code = e.NativeErrorCode() == 30364 ? 1 : 2;
    }
    try {
      TORBDiskPageManager other;
      other.CreateDatabaseFile(f, {});
    } catch (const EORBException& e) {
      if (e.NativeErrorCode() != 30361) code = 2;
      _exit(code);
    }
    _exit(3);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST_F(Locks, ModeValuesAreChecked) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  TORBDatabaseFile file;
  try {
    file.OpenFile(f, 2, 0);
    FAIL();
  } catch (const EORBException& e) {
    EXPECT_EQ(e.Message(), "Unknown Access mode: '2' - Native error: 30366");
  }
  EXPECT_THROW(file.OpenFile(f, 1, 3), EORBException);
  EXPECT_THROW(file.GetSize(), EORBException);  // closed
  file.OpenFile(f, 1, 1);
  try {
    file.OpenFile(f, 1, 1);
    FAIL();
  } catch (const EORBException& e) {
    EXPECT_EQ(e.Text(), "Cannot perform this operation (OpenFile) on a opened file");
  }
  EXPECT_EQ(TORBDatabaseFile().IsOpen(), false);
  TORBDatabaseFile blank;
  try {
    blank.CreateFile("");
    FAIL();
  } catch (const EORBException& e) {
    EXPECT_EQ(e.NativeErrorCode(), 30374);
  }
}

TEST_F(Locks, LostHandlesAreReopenedAndLostUnlocksReportedDone) {
  // The handle goes stale once: the operation fails, the file is reopened by
  // name and the operation retried.
  struct FlakyEnv : TORBEnv {
    bool stale = false;  // the handle no longer works until the file is reopened
    int staleUnlocks = 0, reopened = 0;
    int PRead(int fd, void* buf, size_t count, int64_t pos, size_t* done) override {
      if (stale) return ESTALE;
      return TORBEnv::PRead(fd, buf, count, pos, done);
    }
    int FileSize(int fd, int64_t* size) override {
      if (stale) return EBADF;
      return TORBEnv::FileSize(fd, size);
    }
    int Open(const std::string& path, int flags, int mode, int* fd) override {
      ++reopened;
      stale = false;
      return TORBEnv::Open(path, flags, mode, fd);
    }
    int Unlock(int fd, int64_t pos, int64_t len) override {
      if (staleUnlocks > 0) {
        --staleUnlocks;
        return ENOTCONN;
      }
      return TORBEnv::Unlock(fd, pos, len);
    }
  } env;
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  TORBDatabaseFile file(&env);
  file.OpenFile(f, TORBDatabaseFile::amReadWrite, TORBDatabaseFile::smShareReadWrite);
  const int opensBefore = env.reopened;
  env.stale = true;
  uint8_t sig[16];
  ASSERT_TRUE(file.ReadBuffer(sig, 0, 16));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(sig), 16), "ORBITAL0DATABASE");
  EXPECT_EQ(env.reopened, opensBefore + 1);
  // An unlock that fails because the connection is gone counts as done.
  ASSERT_TRUE(file.LockByte(1, 360));
  env.staleUnlocks = 2;
  EXPECT_TRUE(file.UnlockByte(1, 360));
  EXPECT_TRUE(file.ConnectionLost);
}
