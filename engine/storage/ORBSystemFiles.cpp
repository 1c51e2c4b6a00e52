// System directory, table list, active sessions and table locks files.
#include "storage/ORBSystemFiles.h"

#include <algorithm>
#include <cstring>

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"
#include "orb/ORBUtils.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBPageManager.h"

namespace orb {

namespace {

constexpr size_t kDirectoryEntrySize = 5;
constexpr size_t kTableListEntrySize = 272;
constexpr int32_t kErrNameTooLong = 31080;
constexpr int32_t kErrDamagedSystemFile = 31082;

std::string Upper(const std::string& s) { return TORBCollation::Current().Upper(s); }

}  // namespace

// ---- system directory -------------------------------------------------------

TORBSystemDirectory::TORBSystemDirectory(TORBPageManager& pm) : file_(pm, ptFileSystemDirectory) {}

void TORBSystemDirectory::Create() {
  file_.Create(kSystemSession);
  if (file_.StartPageNo != kSystemDirectoryPageNo)
    throw EORBException::Fmt(30392, "Error Creating SystemDirectory. SystemDirectoryPageNo=%d. Real PageNo=%d.",
                             kSystemDirectoryPageNo, file_.StartPageNo);
  entries_.clear();
}

void TORBSystemDirectory::Open() {
  file_.Open(kSystemDirectoryPageNo);
  std::vector<uint8_t> bytes = file_.ReadAll(kSystemSession, true);
  if (bytes.size() % kDirectoryEntrySize != 0)
    throw EORBException::Fmt(kErrDamagedSystemFile, "System directory is damaged. Size=%d", bytes.size());
  entries_.clear();
  for (size_t i = 0; i < bytes.size(); i += kDirectoryEntrySize)
    entries_.emplace_back(bytes[i], GetLE<int32_t>(&bytes[i + 1]));
}

void TORBSystemDirectory::AddEntry(uint8_t id, int32_t startPageNo) { entries_.emplace_back(id, startPageNo); }

int32_t TORBSystemDirectory::FindEntry(uint8_t id) const {
  for (const auto& [i, page] : entries_)
    if (i == id) return page;
  return -1;
}

void TORBSystemDirectory::Save() {
  std::vector<uint8_t> bytes(entries_.size() * kDirectoryEntrySize);
  for (size_t i = 0; i < entries_.size(); ++i) {
    bytes[i * kDirectoryEntrySize] = entries_[i].first;
    PutLE(&bytes[i * kDirectoryEntrySize + 1], entries_[i].second);
  }
  file_.WriteFile(kSystemSession, bytes.data(), static_cast<int32_t>(bytes.size()));
}

// ---- table list -------------------------------------------------------------

TORBTableListFile::TORBTableListFile(TORBPageManager& pm) : file_(pm, ptTableList) {}

void TORBTableListFile::Create() {
  file_.Create(kSystemSession);
  entries_.clear();
  opened_ = true;
}

void TORBTableListFile::Open(int32_t startPageNo) {
  if (opened_) throw EORBException("Table list file already opened.", 30393);
  file_.Open(startPageNo);
  opened_ = true;
}

void TORBTableListFile::Load() {
  std::vector<uint8_t> bytes = file_.ReadAll(kSystemSession, true);
  if (bytes.size() % kTableListEntrySize != 0)
    throw EORBException::Fmt(kErrDamagedSystemFile, "Table list is damaged. Size=%d", bytes.size());
  entries_.clear();
  for (size_t at = 0; at < bytes.size(); at += kTableListEntrySize) {
    const uint8_t* e = &bytes[at];
    TORBTableListEntry t;
    t.Name.assign(reinterpret_cast<const char*>(e + 1), e[0]);
    t.TableID = GetLE<int32_t>(e + 256);
    t.MetaDataPageNo = GetLE<int32_t>(e + 260);
    t.HeaderDataPageNo = GetLE<int32_t>(e + 264);
    t.LocksPageNo = GetLE<int32_t>(e + 268);
    entries_.push_back(std::move(t));
  }
}

void TORBTableListFile::Save() {
  std::vector<uint8_t> bytes(entries_.size() * kTableListEntrySize, 0);
  for (size_t i = 0; i < entries_.size(); ++i) {
    uint8_t* e = &bytes[i * kTableListEntrySize];
    const TORBTableListEntry& t = entries_[i];
    e[0] = static_cast<uint8_t>(t.Name.size());
    std::memcpy(e + 1, t.Name.data(), t.Name.size());
    PutLE(e + 256, t.TableID);
    PutLE(e + 260, t.MetaDataPageNo);
    PutLE(e + 264, t.HeaderDataPageNo);
    PutLE(e + 268, t.LocksPageNo);
  }
  file_.WriteFile(kSystemSession, bytes.data(), static_cast<int32_t>(bytes.size()));
}

int TORBTableListFile::FindIndex(const std::string& name) const {
  const std::string key = Upper(name);
  for (size_t i = 0; i < entries_.size(); ++i)
    if (Upper(entries_[i].Name) == key) return static_cast<int>(i);
  return -1;
}

bool TORBTableListFile::Exists(const std::string& name) const { return FindIndex(name) >= 0; }

// A cut name would never be found again under its full name: refuse it.
static void CheckName(const std::string& name) {
  if (name.size() > kMaxTableNameLength)
    throw EORBException::Fmt(kErrNameTooLong, "Table name is too long (%d bytes, at most %d): '%s'", name.size(),
                             kMaxTableNameLength, name.substr(0, 40) + "...");
}

void TORBTableListFile::Add(const TORBTableListEntry& entry) {
  CheckName(entry.Name);
  if (Exists(entry.Name)) throw EORBException::Fmt(30395, "Cannot create table. Table '%s' already exists", entry.Name);
  entries_.push_back(entry);
}

const TORBTableListEntry& TORBTableListFile::Find(const std::string& name) const {
  int i = FindIndex(name);
  if (i < 0) throw EORBException::Fmt(30396, "Table '%s' not exists.", name);
  return entries_[static_cast<size_t>(i)];
}

void TORBTableListFile::Delete(const std::string& name) {
  int i = FindIndex(name);
  if (i < 0) throw EORBException::Fmt(30405, "Table '%s' not exists.", name);
  entries_.erase(entries_.begin() + i);
}

void TORBTableListFile::Rename(const std::string& oldName, const std::string& newName) {
  CheckName(newName);
  int i = FindIndex(oldName);
  if (i < 0) throw EORBException::Fmt(30397, "Table '%s' not exists.", oldName);
  int j = FindIndex(newName);
  if (j >= 0 && j != i) throw EORBException::Fmt(30395, "Cannot create table. Table '%s' already exists", newName);
  entries_[static_cast<size_t>(i)].Name = newName;
}

std::vector<std::string> TORBTableListFile::Names() const {
  std::vector<std::string> names;
  for (const auto& e : entries_) names.push_back(e.Name);
  return names;
}

// ---- active sessions --------------------------------------------------------

TORBActiveSessionsFile::TORBActiveSessionsFile(TORBDiskPageManager& pm) : file_(pm, ptActiveSessionList) {}

void TORBActiveSessionsFile::Create(int32_t maxConnections) {
  file_.Create(maxConnections);
  slots_ = maxConnections;
}

void TORBActiveSessionsFile::Open(int32_t startPageNo) {
  file_.Open(startPageNo);
  slots_ = file_.GetSize();
}

bool TORBActiveSessionsFile::LockSlots(int32_t first, int32_t count) {
  for (int32_t i = 0; i < count; ++i)
    if (!file_.LockByte(first + i)) {
      UnlockSlots(first, i);
      return false;
    }
  return true;
}

void TORBActiveSessionsFile::UnlockSlots(int32_t first, int32_t count) {
  for (int32_t i = 0; i < count; ++i) file_.UnlockByte(first + i);
}

int32_t TORBActiveSessionsFile::ConnectSession() {
  // Without the file's lock the search still works; it only races more.
  const bool locked = RetryCall(TORBLockRetry::Tries, TORBLockRetry::PauseMs, [&] { return file_.LockFile(); });
  int32_t slot = -1;
  for (int32_t i = 0; i < slots_ && slot < 0; ++i)
    if (file_.LockByte(i)) slot = i;
  if (locked && !file_.UnlockFile()) {
    if (slot >= 0) file_.UnlockByte(slot);
    throw EORBException("Cannot unlock sessions file", 20093);
  }
  if (slot < 0)
    throw EORBException(
        "Cannot connect session. Maximum connections quantity exceeded or database is open in single-user mode", 20094);
  return slot;
}

void TORBActiveSessionsFile::DisconnectSession(int32_t session) {
  const bool locked = RetryCall(TORBLockRetry::Tries, TORBLockRetry::PauseMs, [&] { return file_.LockFile(); });
  const bool ok = session >= 0 && session < slots_ && file_.UnlockByte(session);
  if (locked && !file_.UnlockFile()) throw EORBException("Cannot unlock sessions file", 20096);
  if (!ok) throw EORBException("Cannot disconnect session", 20095);
}

bool TORBActiveSessionsFile::ClaimSingleUser() {
  const bool locked = RetryCall(TORBLockRetry::Tries, TORBLockRetry::PauseMs, [&] { return file_.LockFile(); });
  bool claimed = !file_.IsRegionLocked(0, slots_) && LockSlots(0, slots_);
  if (locked && !file_.UnlockFile()) {
    if (claimed) UnlockSlots(0, slots_);
    throw EORBException("Cannot unlock sessions file", 20240);
  }
  ownsAll_ = claimed;
  return claimed;
}

void TORBActiveSessionsFile::ReleaseSingleUser() {
  if (!ownsAll_) return;
  const bool locked = RetryCall(TORBLockRetry::Tries, TORBLockRetry::PauseMs, [&] { return file_.LockFile(); });
  UnlockSlots(0, slots_);
  ownsAll_ = false;
  if (locked && !file_.UnlockFile()) throw EORBException("Cannot unlock sessions file", 20241);
}

// ---- table locks ------------------------------------------------------------

TORBTableLocksFile::TORBTableLocksFile(TORBDiskPageManager& pm) : file_(pm, ptTableLocks) {}

void TORBTableLocksFile::Create(int32_t sessionCount) {
  file_.Create(12 * sessionCount);
  sessions_ = sessionCount;
}

void TORBTableLocksFile::Open(int32_t startPageNo) {
  file_.Open(startPageNo);
  sessions_ = file_.GetSize() / 12;
}

void TORBTableLocksFile::Delete() {
  file_.Delete();
  sessions_ = 0;
}

bool TORBTableLocksFile::SetKind(int32_t session, int kind) {
  if (session < 0 || session >= sessions_)
    throw EORBException("Cannot set table lock. Try to repair database or to increase number of allowed connections",
                        20200);
  return file_.LockByte(kind * sessions_ + session);
}

bool TORBTableLocksFile::ClearKind(int32_t session, int kind) {
  if (session < 0 || session >= sessions_) return false;
  return file_.UnlockByte(kind * sessions_ + session);
}

bool TORBTableLocksFile::OthersHoldKind(int32_t session, int kind) {
  const int32_t base = kind * sessions_;
  const int32_t s = std::clamp(session, 0, sessions_);
  if (s > 0 && file_.IsRegionLocked(base, s)) return true;
  const int32_t after = s < sessions_ ? s + 1 : sessions_;
  return after < sessions_ && file_.IsRegionLocked(base + after, sessions_ - after);
}

void TORBTableLocksFile::WriteRecordKey(int32_t session, int32_t pageNo, uint16_t slot) {
  uint8_t key[6];
  PutLE(key, pageNo);
  PutLE(key + 4, slot);
  file_.DirectWriteBuffer(key, 6, 6 * sessions_ + 6 * session);
}

bool TORBTableLocksFile::OthersLockRecord(int32_t session, int32_t pageNo, uint16_t slot) {
  std::vector<uint8_t> keys(static_cast<size_t>(6 * sessions_));
  if (sessions_ > 0) file_.DirectReadBuffer(keys.data(), 6 * sessions_, 6 * sessions_);
  for (int32_t s = 0; s < sessions_; ++s) {
    if (s == session) continue;
    const uint8_t* k = &keys[static_cast<size_t>(6 * s)];
    if (GetLE<int32_t>(k) == pageNo && GetLE<uint16_t>(k + 4) == slot && file_.IsByteLocked(5 * sessions_ + s))
      return true;
  }
  return false;
}

// ---- the set ----------------------------------------------------------------

TORBSystemFiles::TORBSystemFiles(TORBDiskPageManager& pm)
    : PageManager(pm), Directory(pm), Sessions(pm), TableList(pm) {}

void TORBSystemFiles::Create(int32_t maxConnections) {
  Directory.Create();
  Sessions.Create(maxConnections);
  Directory.AddEntry(kActiveSessionsEntryId, Sessions.StartPageNo());
  TableList.Create();
  Directory.AddEntry(kTableListEntryId, TableList.StartPageNo());
  TableList.Save();
  Directory.Save();
  PageManager.ApplyChanges(kSystemSession);
}

void TORBSystemFiles::Open() {
  Directory.Open();
  const int32_t sessions = Directory.FindEntry(kActiveSessionsEntryId);
  const int32_t tables = Directory.FindEntry(kTableListEntryId);
  if (sessions < 0 || tables < 0)
    throw EORBException("System directory is damaged: system files are missing", kErrDamagedSystemFile);
  Sessions.Open(sessions);
  TableList.Open(tables);
  TableList.Load();
}

}  // namespace orb
