// TORBDiskPageManager: the page manager of a database file. This header
// covers the file level: create, open, close, header, page offsets, page I/O
// with encryption, lock bytes and object ids.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "orb/ORBPassword.h"
#include "storage/ORBCipher.h"
#include "storage/ORBDatabaseFile.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBJournal.h"
#include "storage/ORBPageManager.h"
#include "storage/ORBPageValidity.h"

namespace orb {

class TORBDatabaseFreeSpaceManager;

class TORBDiskPageManager : public TORBPageManager {
 public:
  explicit TORBDiskPageManager(TORBEnv* env = nullptr);
  ~TORBDiskPageManager() override;

  void CreateDatabaseFile(const std::string& fileName, const TORBPassword& password,
                          uint16_t extentPageCount = kDefaultExtentPageCount, uint16_t pageSize = kDefaultPageSize);
  void OpenDatabaseFile(const std::string& fileName, const TORBPassword& password, bool& multiUser, bool exclusive,
                        bool& needsRepair, bool& readOnly);
  void CloseDatabaseFile();
  bool IsOpen() const { return file_.IsOpen(); }

  void ReadHeader();
  void WriteHeader();
  TORBFileHeader& Header() { return header_; }
  const TORBFileHeader& Header() const { return header_; }

  int64_t HeaderBase() const { return headerBase_; }
  int64_t VerifierOffset() const { return verifierOffset_; }
  int64_t LockAreaOffset() const { return lockAreaOffset_; }
  int64_t NextObjectIDOffset() const { return nextObjectIdOffset_; }
  int64_t PageBase() const { return pageBase_; }
  const TORBPassword& Password() const { return password_; }
  bool IsEncrypted() const { return header_.Encrypted != 0; }
  bool IsReadOnly() const { return file_.AccessMode == TORBDatabaseFile::amReadOnly; }
  bool Exclusive() const { return exclusive_; }
  TORBDatabaseFile& File() { return file_; }

  int64_t PageOffset(int32_t pageNo) const;
  void ReadPageBytes(void* buffer, int32_t pageNo, uint32_t count, uint32_t offsetInPage);
  void WritePageBytes(const void* buffer, int32_t pageNo, uint32_t count, uint32_t offsetInPage);
  int32_t ReadPageVersion(int32_t pageNo);
  void WritePageVersion(int32_t pageNo, int32_t value);

  bool LockPageByte(int32_t pageNo, uint32_t offsetInPage);
  bool UnlockPageByte(int32_t pageNo, uint32_t offsetInPage);
  bool IsPageByteLocked(int32_t pageNo, uint32_t offsetInPage);
  bool IsPageRegionLocked(int32_t pageNo, uint32_t offsetInPage, uint32_t count);

  // One try each; the database lock is re-entrant within this manager.
  bool LockDatabase();
  void UnlockDatabase();
  bool LockTables();
  void UnlockTables();

  int32_t GetNextObjectID();
  void TruncateFreeTail();
  // Sets the file to hold exactly `totalPageCount` pages (PageBase + n × PageSize)
  // and records the count in the in-memory header; the caller writes the header.
  void ResizeToPages(int32_t totalPageCount);

  static bool ProbeReadOnly(const std::string& fileName, bool& multiUser, TORBEnv* env = nullptr);

  // Whole-page I/O with the page's encryption and CRC check.
  bool ReadPage(TORBPage& page) override;
  void WritePage(TORBPage& page) override;
  bool IsMapPage(int32_t pageNo) const;

  // Page manager operations of a database file.
  int32_t GetTotalPageCount() override;
  bool IsPageValidForSession(int32_t session, TORBPage& page) override;
  void MarkPageValidForSession(int32_t session, TORBPage& page) override;
  void AllocatePage(TORBPage& page) override;
  void FreePage(int32_t pageNo) override;
  void RemovePage(int32_t session, int32_t pageNo) override;
  TORBPage* GetPage(int32_t session, int32_t pageNo, bool validate, uint8_t expectedType) override;
  // The commit protocol: FileState 1, pages, ChangeCounter + 1 and FileState 2,
  // all under the database lock.
  void ApplyChanges(int32_t session) override;
  void RefreshPage(TORBPage& page) override;

  TORBDatabaseFreeSpaceManager& FreeSpace();
  TORBDiskTablePagesCacheManager& TablePagesCache() { return tablePages_; }
  TORBJournal& Journal() { return journal_; }

 private:
  void ResetLayout();
  void CheckFileOpen(int32_t code) const;
  void CheckPageRange(int32_t pageNo, uint32_t offsetInPage, uint32_t count, int32_t code) const;
  const TORBCipher& CipherFor(uint8_t cipherId);

  TORBDatabaseFile file_;
  TORBJournal journal_{file_};
  // A failed commit whose rollback also failed: the journal is still hot and
  // only a reopen (which plays it back) may touch the file again.
  bool needsRecovery_ = false;
  TORBFileHeader header_;
  TORBPasswordVerifier verifier_;
  uint16_t lockAreaSize_ = kLockAreaSize;
  int64_t headerBase_ = 0;
  int64_t verifierOffset_ = kHeaderSize;
  int64_t lockAreaOffset_ = kHeaderSize + kVerifierSize;
  int64_t nextObjectIdOffset_ = kHeaderSize + kVerifierSize + kLockAreaSize;
  int64_t pageBase_ = kDefaultPageBase;
  TORBPassword password_;
  std::unique_ptr<TORBDatabaseFreeSpaceManager> freeSpace_;
  TORBDiskTablePagesCacheManager tablePages_;
  bool exclusive_ = false;
  int databaseLockCount_ = 0;
  std::array<std::unique_ptr<TORBCipher>, kCipherCount> ciphers_;
};

// Holds the database lock for a scope, taken with the lock retry policy;
// raises "Database is locked" with the caller's code when it cannot be taken.
class TORBDatabaseLock {
 public:
  TORBDatabaseLock(TORBDiskPageManager& pm, int32_t errorCode);
  ~TORBDatabaseLock();
  TORBDatabaseLock(const TORBDatabaseLock&) = delete;
  TORBDatabaseLock& operator=(const TORBDatabaseLock&) = delete;

 private:
  TORBDiskPageManager& pm_;
};

}  // namespace orb
