// TORBDiskTablePagesCacheManager: when a session may trust a cached page of a
// table without looking at the file (multi-user databases). A page is trusted
// while the session holds a lock on the table and the table's version has not
// moved since the page was marked.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

namespace orb {

// The open table's identity; the table layer passes its table data object.
using TORBTableKey = const void*;

struct TORBDTPCTableInfo {
  TORBTableKey Table = nullptr;
  int32_t LockCountA = 0;  // kind 1 locks
  int32_t LockCountB = 0;  // kind 4 locks
  bool Validated = false;
  int32_t TableVersion = -1;
};

struct TORBDTPCSessionInfo {
  std::vector<TORBDTPCTableInfo> Tables;
  std::vector<TORBTableKey> CurrentTables;
};

class TORBDiskTablePagesCacheManager {
 public:
  void TableLocked(int32_t session, TORBTableKey table, int kind);
  void TableUnlocked(int32_t session, TORBTableKey table, int kind);
  bool IsTableValidated(int32_t session, TORBTableKey table);
  void SetTableVersion(int32_t session, TORBTableKey table, int32_t version);
  void PushCurrentTable(int32_t session, TORBTableKey table);
  void PopCurrentTable(int32_t session, TORBTableKey table);
  bool GetCurrentTableVersion(int32_t session, int32_t* version);

 private:
  TORBDTPCSessionInfo& Info(int32_t session);
  TORBDTPCTableInfo& Table(int32_t session, TORBTableKey table);
  std::vector<std::unique_ptr<TORBDTPCSessionInfo>> sessions_;  // index = session + 2
};

// Pushes the current table for a scope.
class TORBCurrentTableScope {
 public:
  TORBCurrentTableScope(TORBDiskTablePagesCacheManager& m, int32_t session, TORBTableKey table)
      : m_(m), session_(session), table_(table) {
    m_.PushCurrentTable(session, table);
  }
  ~TORBCurrentTableScope() { m_.PopCurrentTable(session_, table_); }
  TORBCurrentTableScope(const TORBCurrentTableScope&) = delete;
  TORBCurrentTableScope& operator=(const TORBCurrentTableScope&) = delete;

 private:
  TORBDiskTablePagesCacheManager& m_;
  int32_t session_;
  TORBTableKey table_;
};

}  // namespace orb
