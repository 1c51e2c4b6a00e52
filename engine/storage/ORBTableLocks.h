// TORBDatabaseTableLockManager: table and record locks of the sessions of one
// open database, kept per session in this process and, for other processes,
// as locked bytes of each table's locks file.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace orb {

class TORBDiskPageManager;
class TORBTableLocksFile;

enum TORBLockKind : int {
  lkOpen = 0,        // table open (shared)
  lkRead = 1,
  lkRecordLocks = 2,  // record locks kept
  lkModify = 3,
  lkCommit = 4,
  lkRecord = 5,
  lkExclusive = 6,
};

// Whether a lock of kind `held` by another session lets a request of `requested` through.
bool LockKindsCompatible(int held, int requested);
// Whether holding `held` makes a lock of `requested` unnecessary.
bool LockKindCovers(int held, int requested);

struct TORBRecordKey {
  int32_t PageNo = -1;
  uint16_t Slot = 0;
};

class TORBDatabaseTableLockManager {
 public:
  TORBDatabaseTableLockManager(TORBDiskPageManager& pm, int32_t sessionCount);

  bool LockTable(int32_t session, int kind, TORBTableLocksFile& table, bool ignoreRecordLockHolders, int delayMs,
                 int tries);
  bool UnlockTable(int32_t session, int kind, bool force, bool onlyIfHeld, TORBTableLocksFile& table);
  bool LockRecord(int32_t session, TORBTableLocksFile& table, int delayMs, int tries, TORBRecordKey key);
  bool UnlockRecord(int32_t session, TORBTableLocksFile& table, TORBRecordKey key);
  bool AcquireCommitLocks(int32_t session);
  bool ReleaseCommitLocks(int32_t session);

  // How hard commit-time locking tries (tests shorten it).
  int CommitLockDelayMs = 100;
  int CommitLockTries = 900;

  // Raises "Some table locks still exist" while the session holds any lock.
  void CheckReleased(int32_t session);
  int32_t SessionCount() const { return sessions_; }
  // Held count of (kind, table) for the session; 0 when not held.
  int32_t HeldCount(int32_t session, int kind, const TORBTableLocksFile& table);

 private:
  struct Entry {
    int kind;
    TORBTableLocksFile* table;
    int32_t count;
    bool hasFileByte;
    bool ignoreRecordLockHolders;
  };
  using List = std::vector<Entry>;

  List& ListOf(int32_t session) { return lists_[session]; }
  Entry* FindEntry(List& l, int kind, const TORBTableLocksFile* table);
  bool LockTableLocked(std::unique_lock<std::recursive_mutex>& cs, int32_t session, int kind,
                       TORBTableLocksFile& table, bool ignore, int delayMs, int tries);
  bool TryFileLock(TORBTableLocksFile& table);

  TORBDiskPageManager& pm_;
  int32_t sessions_;
  std::recursive_mutex cs_;
  std::map<int32_t, List> lists_;
};

}  // namespace orb
