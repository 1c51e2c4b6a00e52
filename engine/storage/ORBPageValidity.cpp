// Per-session table lock counts and versions behind multi-user page caching.
#include "storage/ORBPageValidity.h"

#include "orb/ORBExcept.h"

namespace orb {

TORBDTPCSessionInfo& TORBDiskTablePagesCacheManager::Info(int32_t session) {
  if (session < -2) throw EORBException("Invalid Session ID", 20186);
  const size_t idx = static_cast<size_t>(session + 2);
  if (sessions_.size() <= idx) sessions_.resize(idx + 1);
  if (!sessions_[idx]) sessions_[idx] = std::make_unique<TORBDTPCSessionInfo>();
  return *sessions_[idx];
}

TORBDTPCTableInfo& TORBDiskTablePagesCacheManager::Table(int32_t session, TORBTableKey table) {
  auto& info = Info(session);
  for (auto& t : info.Tables)
    if (t.Table == table) return t;
  info.Tables.push_back(TORBDTPCTableInfo{table});
  return info.Tables.back();
}

void TORBDiskTablePagesCacheManager::TableLocked(int32_t session, TORBTableKey table, int kind) {
  auto& t = Table(session, table);
  if (kind == 1) ++t.LockCountA;
  else if (kind == 4) ++t.LockCountB;
}

void TORBDiskTablePagesCacheManager::TableUnlocked(int32_t session, TORBTableKey table, int kind) {
  auto& t = Table(session, table);
  if (kind == 1 && t.LockCountA > 0) --t.LockCountA;
  else if (kind == 4 && t.LockCountB > 0) --t.LockCountB;
  if (t.LockCountA == 0 && t.LockCountB == 0) {
    t.Validated = false;
    t.TableVersion = -1;
  }
}

bool TORBDiskTablePagesCacheManager::IsTableValidated(int32_t session, TORBTableKey table) {
  return Table(session, table).Validated;
}

void TORBDiskTablePagesCacheManager::SetTableVersion(int32_t session, TORBTableKey table, int32_t version) {
  auto& t = Table(session, table);
  if (t.Validated) return;
  t.TableVersion = version;
  // Only a locked table keeps its version trustworthy.
  t.Validated = t.LockCountA + t.LockCountB > 0;
}

void TORBDiskTablePagesCacheManager::PushCurrentTable(int32_t session, TORBTableKey table) {
  Info(session).CurrentTables.push_back(table);
}

void TORBDiskTablePagesCacheManager::PopCurrentTable(int32_t session, TORBTableKey table) {
  auto& stack = Info(session).CurrentTables;
  for (auto it = stack.rbegin(); it != stack.rend(); ++it)
    if (*it == table) {
      stack.erase(std::next(it).base());
      return;
    }
}

bool TORBDiskTablePagesCacheManager::GetCurrentTableVersion(int32_t session, int32_t* version) {
  auto& info = Info(session);
  if (info.CurrentTables.empty()) return false;
  auto& t = Table(session, info.CurrentTables.back());
  if (t.LockCountA + t.LockCountB <= 0 || !t.Validated) return false;
  *version = t.TableVersion;
  return true;
}

}  // namespace orb
