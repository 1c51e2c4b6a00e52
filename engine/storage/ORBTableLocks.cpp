// Table and record locks between sessions and processes.
#include "storage/ORBTableLocks.h"

#include <chrono>
#include <thread>

#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBSystemFiles.h"

namespace orb {

namespace {

constexpr int kKinds = 7;
constexpr bool kCompatible[kKinds][kKinds] = {
    {1, 1, 1, 1, 1, 1, 0}, {1, 1, 1, 1, 0, 1, 0}, {1, 1, 1, 0, 1, 1, 0}, {1, 1, 0, 0, 0, 1, 0},
    {1, 0, 1, 0, 0, 1, 0}, {1, 1, 1, 1, 1, 1, 0}, {0, 0, 0, 0, 0, 0, 0},
};

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

bool LockKindsCompatible(int held, int requested) {
  return held >= 0 && held < kKinds && requested >= 0 && requested < kKinds && kCompatible[held][requested];
}

bool LockKindCovers(int held, int requested) {
  for (int x = 0; x < kKinds; ++x)
    if (kCompatible[held][x] && !kCompatible[requested][x]) return false;
  return true;
}

TORBDatabaseTableLockManager::TORBDatabaseTableLockManager(TORBDiskPageManager& pm, int32_t sessionCount)
    : pm_(pm), sessions_(sessionCount) {}

TORBDatabaseTableLockManager::Entry* TORBDatabaseTableLockManager::FindEntry(List& l, int kind,
                                                                             const TORBTableLocksFile* table) {
  for (auto& e : l)
    if (e.kind == kind && e.table == table) return &e;
  return nullptr;
}

int32_t TORBDatabaseTableLockManager::HeldCount(int32_t session, int kind, const TORBTableLocksFile& table) {
  std::lock_guard<std::recursive_mutex> g(cs_);
  Entry* e = FindEntry(ListOf(session), kind, &table);
  return e ? e->count : 0;
}

bool TORBDatabaseTableLockManager::TryFileLock(TORBTableLocksFile& table) {
  return RetryCall(TORBLockRetry::Tries, TORBLockRetry::PauseMs, [&] { return table.LockFile(); });
}

bool TORBDatabaseTableLockManager::LockTable(int32_t session, int kind, TORBTableLocksFile& table,
                                             bool ignoreRecordLockHolders, int delayMs, int tries) {
  if (pm_.Exclusive()) return true;
  std::unique_lock<std::recursive_mutex> cs(cs_);
  return LockTableLocked(cs, session, kind, table, ignoreRecordLockHolders, delayMs, tries);
}

bool TORBDatabaseTableLockManager::LockTableLocked(std::unique_lock<std::recursive_mutex>& cs, int32_t session,
                                                   int kind, TORBTableLocksFile& table, bool ignore, int delayMs,
                                                   int tries) {
  List& list = ListOf(session);
  if (Entry* e = FindEntry(list, kind, &table)) {
    if (kind == lkRecordLocks) return false;
    ++e->count;
    return true;
  }
  for (const Entry& e : list)
    if (e.table == &table && LockKindCovers(e.kind, kind)) {
      list.push_back({kind, &table, 1, false, ignore});
      return true;
    }
  for (int attempt = 0; attempt < tries; ++attempt) {
    bool obtained = false;
    if (table.LockFile()) {
      bool compatible = true;
      for (int i = 0; i < lkExclusive && compatible; ++i) {
        if (kCompatible[i][kind]) continue;
        if (kind == lkModify && ignore && i == lkRecordLocks) continue;
        compatible = !table.OthersHoldKind(session, i);
      }
      if (compatible) {
        if (kind != lkExclusive && !table.SetKind(session, kind)) {
          table.UnlockFile();
          throw EORBException("Cannot set table lock", 20203);
        }
        obtained = true;
      }
      if (!(obtained && kind == lkExclusive)) table.UnlockFile();
    }
    if (obtained) {
      ListOf(session).push_back({kind, &table, 1, true, ignore});
      return true;
    }
    if (attempt + 1 < tries) {
      cs.unlock();
      const int half = delayMs / 2;
      SleepMs(half + (half > 0 ? static_cast<int>(RandomRange(0, static_cast<uint32_t>(half - 1))) : 0));
      cs.lock();
    }
  }
  return false;
}

bool TORBDatabaseTableLockManager::UnlockTable(int32_t session, int kind, bool force, bool onlyIfHeld,
                                               TORBTableLocksFile& table) {
  if (pm_.Exclusive()) return true;
  std::lock_guard<std::recursive_mutex> cs(cs_);
  List& list = ListOf(session);
  Entry* e = FindEntry(list, kind, &table);
  if (!e) return onlyIfHeld;
  if (--e->count > 0 && !force) return true;
  const bool hadByte = e->hasFileByte;
  const bool ignore = e->ignoreRecordLockHolders;
  list.erase(list.begin() + (e - list.data()));
  if (!hadByte) return true;

  // Locks this one covered lose their cover: give them bytes of their own.
  bool needBytes = false;
  for (const Entry& w : list) needBytes |= w.table == &table && !w.hasFileByte && LockKindCovers(kind, w.kind);
  if (needBytes) {
    const bool locked = kind == lkExclusive || TryFileLock(table);
    if (locked) {
      for (Entry& w : list)
        if (w.table == &table && !w.hasFileByte && LockKindCovers(kind, w.kind) && w.kind != lkExclusive) {
          if (table.SetKind(session, w.kind)) w.hasFileByte = true;
        }
      if (kind != lkExclusive) table.UnlockFile();
    }
  }
  const bool released = RetryCall(TORBLockRetry::Tries, TORBLockRetry::PauseMs, [&] {
    if (kind == lkExclusive) return table.UnlockFile();
    if (!table.LockFile()) return false;
    const bool cleared = table.ClearKind(session, kind);
    table.UnlockFile();
    if (!cleared) throw EORBException("Cannot unlock table", 20204);
    return true;
  });
  if (!released) {
    list.push_back({kind, &table, 1, true, ignore});
    return false;
  }
  return true;
}

bool TORBDatabaseTableLockManager::LockRecord(int32_t session, TORBTableLocksFile& table, int delayMs, int tries,
                                              TORBRecordKey key) {
  std::unique_lock<std::recursive_mutex> cs(cs_);
  List& list = ListOf(session);
  if (FindEntry(list, lkRecord, &table)) return false;
  Entry* ex = FindEntry(list, lkExclusive, &table);
  Entry* mod = FindEntry(list, lkModify, &table);
  if (pm_.Exclusive() || ex || (mod && !mod->ignoreRecordLockHolders)) {
    list.push_back({lkRecord, &table, 1, false, false});
    return true;
  }
  const auto start = std::chrono::steady_clock::now();
  for (int attempt = 0; attempt < tries; ++attempt) {
    bool obtained = false;
    if (table.LockFile()) {
      if (!table.OthersLockRecord(session, key.PageNo, key.Slot)) {
        table.WriteRecordKey(session, key.PageNo, key.Slot);
        if (!table.SetKind(session, lkRecord)) {
          table.UnlockFile();
          throw EORBException("Cannot lock record", 20205);
        }
        obtained = true;
      }
      table.UnlockFile();
    }
    if (obtained) {
      ListOf(session).push_back({lkRecord, &table, 1, true, false});
      return true;
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    if (attempt + 1 >= tries || waited >= std::chrono::milliseconds(int64_t{delayMs} * tries)) break;
    cs.unlock();
    SleepMs(delayMs);
    cs.lock();
  }
  return false;
}

bool TORBDatabaseTableLockManager::UnlockRecord(int32_t session, TORBTableLocksFile& table, TORBRecordKey) {
  std::lock_guard<std::recursive_mutex> cs(cs_);
  List& list = ListOf(session);
  Entry* e = FindEntry(list, lkRecord, &table);
  if (!e) return false;
  const bool hadByte = e->hasFileByte;
  list.erase(list.begin() + (e - list.data()));
  if (!hadByte) return true;
  const bool ok = RetryCall(TORBLockRetry::Tries, TORBLockRetry::PauseMs, [&] {
    if (!table.LockFile()) return false;
    const bool cleared = table.ClearKind(session, lkRecord);
    table.UnlockFile();
    return cleared;
  });
  if (!ok) throw EORBException("Cannot unlock record", 20206);
  return true;
}

bool TORBDatabaseTableLockManager::AcquireCommitLocks(int32_t session) {
  std::unique_lock<std::recursive_mutex> cs(cs_);
  std::vector<TORBTableLocksFile*> modified;
  for (const Entry& e : ListOf(session))
    if (e.kind == lkModify) modified.push_back(e.table);
  bool ok = true;
  for (TORBTableLocksFile* t : modified) {
    bool served = false;
    for (const Entry& e : ListOf(session)) served |= e.table == t && e.kind != lkModify && LockKindCovers(e.kind, lkCommit);
    if (served) continue;
    if (!LockTableLocked(cs, session, lkCommit, *t, true, CommitLockDelayMs, CommitLockTries)) {
      ok = false;
      break;
    }
  }
  if (ok) return true;
  std::vector<TORBTableLocksFile*> commits;
  for (const Entry& e : ListOf(session))
    if (e.kind == lkCommit) commits.push_back(e.table);
  for (TORBTableLocksFile* t : commits)
    if (!UnlockTable(session, lkCommit, true, true, *t)) throw EORBException("Some table locks still exist", 20234);
  return false;
}

bool TORBDatabaseTableLockManager::ReleaseCommitLocks(int32_t session) {
  std::unique_lock<std::recursive_mutex> cs(cs_);
  std::vector<TORBTableLocksFile*> recordTables;
  for (const Entry& e : ListOf(session))
    if (e.kind == lkRecord) recordTables.push_back(e.table);
  bool ok = true;
  for (TORBTableLocksFile* t : recordTables) {
    if (FindEntry(ListOf(session), lkRecordLocks, t)) continue;
    ok = ok && LockTableLocked(cs, session, lkRecordLocks, *t, true, CommitLockDelayMs, CommitLockTries);
  }
  if (!ok) return false;
  std::vector<std::pair<int, TORBTableLocksFile*>> drop;
  for (const Entry& e : ListOf(session))
    if (e.kind == lkModify || e.kind == lkCommit) drop.emplace_back(e.kind, e.table);
  for (auto [kind, t] : drop) ok = UnlockTable(session, kind, true, true, *t) && ok;
  return ok;
}

void TORBDatabaseTableLockManager::CheckReleased(int32_t session) {
  std::lock_guard<std::recursive_mutex> cs(cs_);
  if (!ListOf(session).empty()) throw EORBException("Some table locks still exist", 20201);
}

}  // namespace orb
