// The database's own internal files: the system directory (page 2), the
// table list, the active sessions file and the per-table locks files.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/ORBInternalFile.h"

namespace orb {

class TORBDiskPageManager;

constexpr int32_t kSystemDirectoryPageNo = 2;
constexpr uint8_t kTableListEntryId = 1;
constexpr uint8_t kActiveSessionsEntryId = 2;
constexpr int32_t kDefaultMaxConnections = 500;
constexpr size_t kMaxTableNameLength = 255;

class TORBSystemDirectory {
 public:
  explicit TORBSystemDirectory(TORBPageManager& pm);
  void Create();  // must obtain page 2
  void Open();
  void AddEntry(uint8_t id, int32_t startPageNo);
  int32_t FindEntry(uint8_t id) const;  // -1 when absent
  void Save();
  const std::vector<std::pair<uint8_t, int32_t>>& Entries() const { return entries_; }

 private:
  TORBInternalDBTransactedAccessFile file_;
  std::vector<std::pair<uint8_t, int32_t>> entries_;
};

struct TORBTableListEntry {
  std::string Name;
  int32_t TableID = 0;
  int32_t MetaDataPageNo = -1;
  int32_t HeaderDataPageNo = -1;
  int32_t LocksPageNo = -1;
};

class TORBTableListFile {
 public:
  explicit TORBTableListFile(TORBPageManager& pm);
  int32_t StartPageNo() const { return file_.StartPageNo; }
  void Create();
  void Open(int32_t startPageNo);
  void Load();
  void Save();
  void Add(const TORBTableListEntry& entry);
  const TORBTableListEntry& Find(const std::string& name) const;
  bool Exists(const std::string& name) const;
  void Delete(const std::string& name);
  void Rename(const std::string& oldName, const std::string& newName);
  std::vector<std::string> Names() const;
  const std::vector<TORBTableListEntry>& Entries() const { return entries_; }

 private:
  int FindIndex(const std::string& name) const;
  TORBInternalDBTransactedAccessFile file_;
  std::vector<TORBTableListEntry> entries_;
  bool opened_ = false;
};

class TORBActiveSessionsFile {
 public:
  explicit TORBActiveSessionsFile(TORBDiskPageManager& pm);
  int32_t StartPageNo() const { return file_.StartPageNo; }
  int32_t SlotCount() const { return slots_; }
  void Create(int32_t maxConnections);
  void Open(int32_t startPageNo);
  // Multi-user: the first free slot, kept locked while connected.
  int32_t ConnectSession();
  void DisconnectSession(int32_t session);
  // Single-user: all slots, when nobody holds any.
  bool ClaimSingleUser();
  void ReleaseSingleUser();
  bool OwnsSingleUser() const { return ownsAll_; }

 private:
  bool LockSlots(int32_t first, int32_t count);
  void UnlockSlots(int32_t first, int32_t count);
  TORBInternalDBDirectAccessFile file_;
  int32_t slots_ = 0;
  bool ownsAll_ = false;
};

// 6 lock kind bytes per session, then a 6-byte record key per session.
class TORBTableLocksFile {
 public:
  explicit TORBTableLocksFile(TORBDiskPageManager& pm);
  int32_t StartPageNo() const { return file_.StartPageNo; }
  int32_t SessionCount() const { return sessions_; }
  void Create(int32_t sessionCount);
  void Open(int32_t startPageNo);
  void Delete();

  bool LockFile() { return file_.LockFile(); }
  bool UnlockFile() { return file_.UnlockFile(); }
  bool SetKind(int32_t session, int kind);
  bool ClearKind(int32_t session, int kind);
  // Whether any session other than `session` holds kind `kind`.
  bool OthersHoldKind(int32_t session, int kind);
  void WriteRecordKey(int32_t session, int32_t pageNo, uint16_t slot);
  // Whether another session holds a record lock on this key.
  bool OthersLockRecord(int32_t session, int32_t pageNo, uint16_t slot);

 private:
  TORBInternalDBDirectAccessFile file_;
  int32_t sessions_ = 0;
};

// The system files of an open database.
struct TORBSystemFiles {
  explicit TORBSystemFiles(TORBDiskPageManager& pm);
  // Right after the file is created: directory, sessions file, table list,
  // committed in the system session.
  void Create(int32_t maxConnections = kDefaultMaxConnections);
  void Open();

  TORBDiskPageManager& PageManager;
  TORBSystemDirectory Directory;
  TORBActiveSessionsFile Sessions;
  TORBTableListFile TableList;
};

}  // namespace orb
