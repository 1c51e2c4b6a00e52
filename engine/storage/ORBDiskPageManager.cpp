// File level of the disk page manager: creating and opening database files,
// the header region, page addressing, page I/O with encryption, lock bytes.
#include "storage/ORBDiskPageManager.h"

#include <cstring>
#include <vector>

#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBFreeSpace.h"
#include "storage/ORBPageList.h"
#include "storage/ORBPage.h"

namespace orb {

namespace {

constexpr int32_t kErrInvalidFormat = 20237;

[[noreturn]] void InvalidFormat() { throw EORBException("Invalid database format", kErrInvalidFormat); }

bool TakeWithRetry(const std::function<bool()>& op) {
  return RetryCall(TORBLockRetry::Tries, TORBLockRetry::PauseMs, op);
}

}  // namespace

TORBDiskPageManager::TORBDiskPageManager(TORBEnv* env) : file_(env) { file_.WriteGuard = &journal_; }

TORBDiskPageManager::~TORBDiskPageManager() {
  try {
    CloseDatabaseFile();
  } catch (...) {
  }
}

TORBDatabaseFreeSpaceManager& TORBDiskPageManager::FreeSpace() {
  if (!freeSpace_) throw EORBException("Error - database file is not opened.", 10459);
  return *freeSpace_;
}

void TORBDiskPageManager::ResetLayout() {
  freeSpace_.reset();
  header_ = TORBFileHeader();
  verifier_ = TORBPasswordVerifier();
  lockAreaSize_ = kLockAreaSize;
  headerBase_ = 0;
  verifierOffset_ = kHeaderSize;
  lockAreaOffset_ = kHeaderSize + kVerifierSize;
  nextObjectIdOffset_ = lockAreaOffset_ + kLockAreaSize;
  pageBase_ = nextObjectIdOffset_ + 4;
  databaseLockCount_ = 0;
  for (auto& c : ciphers_) c.reset();
}

void TORBDiskPageManager::CreateDatabaseFile(const std::string& fileName, const TORBPassword& password,
                                             uint16_t extentPageCount, uint16_t pageSize) {
  if (file_.IsOpen()) throw EORBException::Fmt(10461, "Error - database file %s is in use.", file_.FileName);
  // Settings no reader could use are refused before anything is written.
  if (pageSize < kMinPageSize || extentPageCount == 0) InvalidFormat();
  if (!password.Password.empty() && !IsValidCipherId(password.CipherID)) InvalidFormat();
  ResetLayout();
  SetGeometry(pageSize, kPageHeaderSize);
  password_ = password;
  MultiUser = false;
  exclusive_ = true;

  file_.CreateFile(fileName);
  // A journal left by an earlier file of this name must never be played into this one.
  file_.Env()->Unlink(TORBJournal::PathFor(fileName));
  needsRecovery_ = false;
  try {
    header_.PageSize = pageSize;
    header_.ExtentPageCount = extentPageCount;
    header_.Encrypted = password.Password.empty() ? 0 : 0xFF;
    if (header_.Encrypted) {
      verifier_.CipherID = password.CipherID;
      for (auto& b : verifier_.CheckData) b = static_cast<uint8_t>(RandomRange(0, 254));
      verifier_.CheckCRC = CRC32(verifier_.CheckData, sizeof verifier_.CheckData);
      if (!CipherFor(password.CipherID).Encrypt(verifier_.CheckData, sizeof verifier_.CheckData))
        throw EORBException("Cannot encrypt password verifier", 31030);
    }
    WriteHeader();
    uint8_t block[kVerifierSize];
    verifier_.Encode(block);
    file_.WriteBuffer(block, 30438, verifierOffset_, kVerifierSize);
    uint8_t area[kLockAreaSize] = {};
    PutLE<uint16_t>(area, kLockAreaSize);
    file_.WriteBuffer(area, 30444, lockAreaOffset_, kLockAreaSize);

    if (!TakeWithRetry([&] { return file_.LockByte(1, nextObjectIdOffset_); }))
      throw EORBException("Cannot get NextObjectID. File area is Locked.", 30401);
    int32_t zero = 0;
    try {
      file_.WriteBuffer(&zero, 30406, nextObjectIdOffset_, 4);
    } catch (...) {
      file_.UnlockByte(1, nextObjectIdOffset_);
      throw;
    }
    file_.UnlockByte(1, nextObjectIdOffset_);
    freeSpace_ = std::make_unique<TORBDatabaseFreeSpaceManager>(*this);
  } catch (...) {
    // A half-written file is of no use to anyone.
    std::string name = file_.FileName;
    try {
      file_.CloseFile();
    } catch (...) {
    }
    file_.Env()->Unlink(name);
    throw;
  }
}

bool TORBDiskPageManager::ProbeReadOnly(const std::string& fileName, bool& multiUser, TORBEnv* env) {
  if (!env) env = TORBEnv::Current();
  bool exists = false, readOnly = false;
  if (env->Stat(fileName, &exists, &readOnly, nullptr) == 0 && exists && readOnly) {
    multiUser = false;
    return true;
  }
  TORBDatabaseFile probe(env);
  try {
    probe.OpenFile(fileName, TORBDatabaseFile::amReadWrite, TORBDatabaseFile::smShareReadWrite);
  } catch (const EORBException&) {
    return true;
  }
  bool result = false;
  uint8_t b;
  if (probe.ReadBuffer(&b, 0, 1)) {
    try {
      probe.WriteBuffer(&b, 31031, 0, 1);
    } catch (const EORBException&) {
      result = true;
    }
  }
  try {
    probe.CloseFile();
  } catch (const EORBException&) {
  }
  return result;
}

void TORBDiskPageManager::OpenDatabaseFile(const std::string& fileName, const TORBPassword& password, bool& multiUser,
                                           bool exclusive, bool& needsRepair, bool& readOnly) {
  if (file_.IsOpen()) throw EORBException::Fmt(10462, "Error - database file %s is in use.", file_.FileName);
  ResetLayout();
  password_ = password;
  needsRepair = false;
  bool exists = false;
  if (!readOnly && file_.Env()->Stat(fileName, &exists, nullptr, nullptr) == 0 && exists)
    readOnly = ProbeReadOnly(fileName, multiUser, file_.Env());
  uint8_t access, share;
  if (readOnly) {
    access = TORBDatabaseFile::amReadOnly;
    share = TORBDatabaseFile::smShareReadWrite;
  } else {
    access = TORBDatabaseFile::amReadWrite;
    if (exclusive) {
      share = TORBDatabaseFile::smExclusive;
      multiUser = false;
    } else {
      share = TORBDatabaseFile::smShareReadWrite;
    }
  }
  MultiUser = multiUser;
  exclusive_ = exclusive && !readOnly;
  file_.OpenFile(fileName, access, share);
  try {
    {
      // Taken where a file made here keeps it; offsets move to the found base after.
      TORBDatabaseLock lock(*this, 20230);
      // An unfinished commit is undone before anything is read.
      if (TORBJournal::IsHot(fileName, file_.Env())) {
        if (readOnly)
          throw EORBException::Fmt(31071,
                                   "Database '%s' has an unfinished commit. Open it for writing once to recover it",
                                   fileName);
        TORBJournal::Recover(file_, file_.Env());
      }
      needsRecovery_ = false;
      int64_t base = 0;
      if (!file_.FindHeader(&base)) base = 0;
      headerBase_ = base;
      ReadHeader();
    }
    if (!header_.SignatureOk())
      throw EORBException::Fmt(10470, "Invalid file format. Found signature: '%s', expected: '%s'",
                               std::string(header_.Signature, 16), std::string(kSignature, 16));
    needsRepair = header_.FileState != kFileStateConsistent || header_.FileVersion < 2.99;
    // Values a damaged or hostile header could carry are refused here, before
    // any of them is used to address the file.
    if (header_.HeaderSize < kHeaderSize || header_.PageSize < kMinPageSize || header_.ExtentPageCount == 0 ||
        header_.TotalPageCount < 0 || header_.LastUsedPageNo < -1)
      InvalidFormat();
    SetGeometry(header_.PageSize, kPageHeaderSize);
    verifierOffset_ = headerBase_ + header_.HeaderSize;
    lockAreaOffset_ = verifierOffset_ + kVerifierSize;
    uint8_t block[kVerifierSize];
    file_.ReadBufferOrRaise(block, 30439, verifierOffset_, kVerifierSize);
    verifier_.Decode(block);
    if (verifier_.BlockSize != kVerifierSize) InvalidFormat();
    if (header_.Encrypted) {
      if (!IsValidCipherId(verifier_.CipherID)) InvalidFormat();
      password_.CipherID = verifier_.CipherID;
      uint8_t check[256];
      std::memcpy(check, verifier_.CheckData, sizeof check);
      bool ok = !password_.Password.empty() && CipherFor(verifier_.CipherID).Decrypt(check, sizeof check) &&
                CRC32(check, sizeof check) == verifier_.CheckCRC;
      if (!ok) throw EORBException("Cannot open database because incorrect password", 30445);
    }
    uint8_t areaSize[2];
    file_.ReadBufferOrRaise(areaSize, 30442, lockAreaOffset_, 2);
    lockAreaSize_ = GetLE<uint16_t>(areaSize);
    if (lockAreaSize_ <= kDatabaseLockOffset) InvalidFormat();
    nextObjectIdOffset_ = lockAreaOffset_ + lockAreaSize_;
    pageBase_ = nextObjectIdOffset_ + 4;
    freeSpace_ = std::make_unique<TORBDatabaseFreeSpaceManager>(*this);
  } catch (...) {
    try {
      file_.CloseFile();
    } catch (...) {
    }
    ResetLayout();
    throw;
  }
}

void TORBDiskPageManager::CloseDatabaseFile() {
  freeSpace_.reset();
  DropAllPages();
  if (file_.IsOpen()) file_.CloseFile();
  databaseLockCount_ = 0;
  for (auto& c : ciphers_) c.reset();
}

void TORBDiskPageManager::CheckFileOpen(int32_t code) const {
  if (!file_.IsOpen()) throw EORBException("Error - database file is not opened.", code);
}

void TORBDiskPageManager::ReadHeader() {
  CheckFileOpen(10459);
  uint8_t buf[kHeaderSize];
  file_.ReadBufferOrRaise(buf, 10464, headerBase_, kHeaderSize);
  header_.Decode(buf);
}

void TORBDiskPageManager::WriteHeader() {
  CheckFileOpen(10460);
  uint8_t buf[kHeaderSize];
  header_.Encode(buf);
  file_.WriteBuffer(buf, 10462, headerBase_, kHeaderSize);
}

int64_t TORBDiskPageManager::PageOffset(int32_t pageNo) const {
  if (pageNo < 0) throw EORBException::Fmt(10471, "Invalid PageNo = %d", pageNo);
  return pageBase_ + static_cast<int64_t>(pageNo) * PageSize;
}

void TORBDiskPageManager::CheckPageRange(int32_t pageNo, uint32_t offsetInPage, uint32_t count, int32_t code) const {
  (void)pageNo;
  uint64_t end = static_cast<uint64_t>(offsetInPage) + count;
  if (end > PageSize)
    throw EORBException::Fmt(code, "Error - invalid page offset = %d, page size = %d", end, PageSize);
}

void TORBDiskPageManager::ReadPageBytes(void* buffer, int32_t pageNo, uint32_t count, uint32_t offsetInPage) {
  CheckPageRange(pageNo, offsetInPage, count, 10476);
  file_.ReadBufferOrRaise(buffer, 10474, PageOffset(pageNo) + offsetInPage, count);
}

void TORBDiskPageManager::WritePageBytes(const void* buffer, int32_t pageNo, uint32_t count, uint32_t offsetInPage) {
  CheckPageRange(pageNo, offsetInPage, count, 10477);
  file_.WriteBuffer(buffer, 10475, PageOffset(pageNo) + offsetInPage, count);
}

int32_t TORBDiskPageManager::ReadPageVersion(int32_t pageNo) {
  if (!MultiUser) return 0;
  uint8_t buf[4];
  if (!file_.ReadBuffer(buf, PageOffset(pageNo) + PageHeader::kVersion, 4)) return kFreedPageVersion;
  return GetLE<int32_t>(buf);
}

void TORBDiskPageManager::WritePageVersion(int32_t pageNo, int32_t value) {
  uint8_t buf[4];
  PutLE(buf, value);
  file_.WriteBuffer(buf, 20198, PageOffset(pageNo) + PageHeader::kVersion, 4);
}

bool TORBDiskPageManager::LockPageByte(int32_t pageNo, uint32_t offsetInPage) {
  return file_.LockByte(1, PageOffset(pageNo) + offsetInPage);
}
bool TORBDiskPageManager::UnlockPageByte(int32_t pageNo, uint32_t offsetInPage) {
  return file_.UnlockByte(1, PageOffset(pageNo) + offsetInPage);
}
bool TORBDiskPageManager::IsPageByteLocked(int32_t pageNo, uint32_t offsetInPage) {
  return file_.IsByteLocked(PageOffset(pageNo) + offsetInPage);
}
bool TORBDiskPageManager::IsPageRegionLocked(int32_t pageNo, uint32_t offsetInPage, uint32_t count) {
  return file_.IsRegionLocked(count, PageOffset(pageNo) + offsetInPage);
}

bool TORBDiskPageManager::LockDatabase() {
  if (databaseLockCount_ > 0) {
    ++databaseLockCount_;
    return true;
  }
  if (!file_.LockByte(1, lockAreaOffset_ + kDatabaseLockOffset)) return false;
  databaseLockCount_ = 1;
  return true;
}

void TORBDiskPageManager::UnlockDatabase() {
  if (databaseLockCount_ <= 0) return;
  if (--databaseLockCount_ == 0 && file_.IsOpen()) file_.UnlockByte(1, lockAreaOffset_ + kDatabaseLockOffset);
}

bool TORBDiskPageManager::LockTables() { return file_.LockByte(1, lockAreaOffset_ + kTablesLockOffset); }
void TORBDiskPageManager::UnlockTables() { file_.UnlockByte(1, lockAreaOffset_ + kTablesLockOffset); }

int32_t TORBDiskPageManager::GetNextObjectID() {
  if (!TakeWithRetry([&] { return file_.LockByte(1, nextObjectIdOffset_); }))
    throw EORBException("Cannot get NextObjectID. File area is Locked.", 30401);
  int32_t id;
  try {
    uint8_t buf[4];
    file_.ReadBufferOrRaise(buf, 30400, nextObjectIdOffset_, 4);
    id = GetLE<int32_t>(buf) + 1;
    if (!IsReadOnly()) {
      PutLE(buf, id);
      file_.WriteBuffer(buf, 30404, nextObjectIdOffset_, 4);
    } else {
      id += static_cast<int32_t>(RandomRange(0, 9999));
    }
  } catch (...) {
    file_.UnlockByte(1, nextObjectIdOffset_);
    throw;
  }
  file_.UnlockByte(1, nextObjectIdOffset_);
  return id;
}

void TORBDiskPageManager::ResizeToPages(int32_t totalPageCount) {
  const int64_t size = pageBase_ + static_cast<int64_t>(totalPageCount) * PageSize;
  const int64_t current = file_.GetSize();
  if (size > current) file_.Reserve(current, size - current);
  file_.SetSize(size);
  header_.TotalPageCount = totalPageCount;
}

void TORBDiskPageManager::TruncateFreeTail() {
  const int32_t n = header_.TotalPageCount - 1 - header_.LastUsedPageNo;
  if (n > 0 && n <= header_.TotalPageCount) {
    ResizeToPages(header_.TotalPageCount - n);
    WriteHeader();
  }
}

bool TORBDiskPageManager::IsMapPage(int32_t pageNo) const {
  return TORBMapGeometry(PageDataSize, header_.ExtentPageCount).IsMapPage(pageNo);
}

const TORBCipher& TORBDiskPageManager::CipherFor(uint8_t cipherId) {
  auto& slot = ciphers_.at(cipherId);
  if (!slot) slot = std::make_unique<TORBCipher>(cipherId, password_.Password);
  return *slot;
}

bool TORBDiskPageManager::ReadPage(TORBPage& page) {
  if (!page.PageBuffer) page.AllocateBuffer();
  page.IsFresh = true;
  if (page.PageNo < 0 || !file_.ReadBuffer(page.PageBuffer, PageOffset(page.PageNo), PageSize)) {
    std::memset(page.PageBuffer, 0, page.BufferSize());  // the buffer may hold another page or a partial read
    PageHeader::SetVersion(page.PageBuffer, kFreedPageVersion);
    return false;
  }
  if (IsEncrypted() && page.EncryptOnWrite && !IsMapPage(page.PageNo)) {
    const uint8_t id = PageHeader::CipherID(page.PageBuffer);
    bool ok = IsValidCipherId(id) && CipherFor(id).Decrypt(page.Data(), PageDataSize) &&
              CRC32(page.Data(), PageDataSize) == PageHeader::DataCRC(page.PageBuffer);
    if (!ok) throw EORBException::Fmt(30446, "Decrypt page error. Check CRC failed. PageNo: %d", page.PageNo);
  }
  return true;
}

void TORBDiskPageManager::WritePage(TORBPage& page) {
  uint8_t* buf = page.PageBuffer;
  PageHeader::SetVersion(buf, NextPageVersion(PageHeader::Version(buf)));
  const int64_t offset = PageOffset(page.PageNo);
  if (IsEncrypted() && page.EncryptOnWrite && !IsMapPage(page.PageNo)) {
    PageHeader::SetCipherID(buf, password_.CipherID);
    PageHeader::SetDataCRC(buf, CRC32(page.Data(), PageDataSize));
    // Encrypt a copy: the page in memory stays plain whatever the write does.
    thread_local std::vector<uint8_t> scratch;
    scratch.assign(buf, buf + PageSize);
    if (!CipherFor(password_.CipherID).Encrypt(scratch.data() + PageHeaderSize, PageDataSize))
      throw EORBException::Fmt(10469, "Cannot encrypt page. PageNo: %d", page.PageNo);
    file_.WriteBuffer(scratch.data(), 10469, offset, PageSize);
  } else {
    file_.WriteBuffer(buf, 10469, offset, PageSize);
  }
}

TORBDatabaseLock::TORBDatabaseLock(TORBDiskPageManager& pm, int32_t errorCode) : pm_(pm) {
  if (!TakeWithRetry([&] { return pm_.LockDatabase(); })) throw EORBException("Database is locked", errorCode);
}

TORBDatabaseLock::~TORBDatabaseLock() { pm_.UnlockDatabase(); }

}  // namespace orb
