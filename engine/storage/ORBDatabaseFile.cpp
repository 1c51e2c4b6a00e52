// TORBDatabaseFile over POSIX: pread/pwrite, open-file-description locks, a
// process-wide lock registry and share modes emulated with marker locks.
#include "storage/ORBDatabaseFile.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "orb/ORBExcept.h"
#include "storage/ORBJournal.h"

namespace orb {

namespace {

// Share modes are emulated with shared locks on marker bytes far beyond any
// page: an opener holds a marker for what it does (read, write) and for what
// it denies others (read, write), then checks nobody holds a conflicting one.
constexpr int64_t kMarkerBase = INT64_MAX - 64;
constexpr int64_t kMarkRead = kMarkerBase;
constexpr int64_t kMarkWrite = kMarkerBase + 1;
constexpr int64_t kMarkDenyRead = kMarkerBase + 2;
constexpr int64_t kMarkDenyWrite = kMarkerBase + 3;

// Byte locks held by this process, so that locking a byte twice in one
// process is refused even through the same descriptor.
struct LockRange {
  int64_t pos, len;
  const TORBDatabaseFile* owner;
};
std::mutex g_registryMutex;
std::map<std::pair<uint64_t, uint64_t>, std::vector<LockRange>> g_registry;

bool Overlaps(const LockRange& r, int64_t pos, int64_t len) { return r.pos < pos + len && pos < r.pos + r.len; }

constexpr int32_t kErrOpened = 31001;
constexpr int32_t kErrClosed = 31002;

// Errors after which the handle is gone: the file system or the network
// behind it failed, not the request.
bool IsConnectionError(int err) {
  switch (err) {
    case EBADF: case EIO: case ESTALE: case ENOTCONN: case ECONNRESET: case ENETRESET:
    case ENETDOWN: case ENETUNREACH: case EHOSTDOWN: case EHOSTUNREACH: case ECONNABORTED:
      return true;
    default:
      return false;
  }
}

}  // namespace

TORBDatabaseFile::TORBDatabaseFile(TORBEnv* env) : env_(env ? env : TORBEnv::Current()) {}

TORBDatabaseFile::~TORBDatabaseFile() {
  if (IsOpen()) {
    try {
      CloseFile();
    } catch (...) {
    }
  }
}

void TORBDatabaseFile::CheckOpen(const char* operation) const {
  if (!IsOpen()) throw EORBException::Fmt(kErrClosed, "Cannot perform this operation (%s) on a closed file", operation);
}

void TORBDatabaseFile::CheckClosed(const char* operation) const {
  if (IsOpen()) throw EORBException::Fmt(kErrOpened, "Cannot perform this operation (%s) on a opened file", operation);
}

int TORBDatabaseFile::TakeShareMarkers(int fd, uint8_t accessMode, uint8_t shareMode) {
  const bool reads = true;
  const bool writes = accessMode == amReadWrite;
  const bool denyRead = shareMode == smExclusive;
  const bool denyWrite = shareMode != smShareReadWrite;
  struct Marker {
    bool held;
    int64_t mark;
    int64_t conflict;  // held by others, it refuses this opener
  } markers[] = {
      {reads, kMarkRead, kMarkDenyRead},
      {writes, kMarkWrite, kMarkDenyWrite},
      {denyRead, kMarkDenyRead, kMarkRead},
      {denyWrite, kMarkDenyWrite, kMarkWrite},
  };
  // Take first, then check: two openers racing both see each other and the
  // worst outcome is that both are refused.
  for (const Marker& m : markers)
    if (m.held) {
      int r = env_->Lock(fd, m.mark, 1, false);
      if (r == EAGAIN) return kSharingViolation;
      if (r) return r;
    }
  for (const Marker& m : markers)
    if (m.held) {
      bool other = false;
      int r = env_->TestLock(fd, m.conflict, 1, &other);
      if (r) return r;
      if (other) return kSharingViolation;
    }
  return 0;
}

int TORBDatabaseFile::OpenHandle(const std::string& name, uint8_t accessMode, uint8_t shareMode, bool create) {
  int flags = accessMode == amReadOnly ? O_RDONLY : O_RDWR;
  if (create) flags |= O_CREAT | O_EXCL;
  int fd;
  int r = env_->Open(name, flags, 0666, &fd);
  if (r) return r;
  r = TakeShareMarkers(fd, accessMode, shareMode);
  if (r) {
    env_->Close(fd);
    if (create) env_->Unlink(name);
    return r;
  }
  fd_ = fd;
  position_ = 0;
  return 0;
}

void TORBDatabaseFile::CreateFile(const std::string& name) {
  CheckClosed("CreateFile");
  if (name.empty()) throw EORBException("Cannot create file with blank FileName", 30374);
  bool exists = false, readOnly = false;
  int r = env_->Stat(name, &exists, &readOnly, nullptr);
  if (!r && exists) {
    // Never delete a file that another opener still uses.
    int probe;
    if (env_->Open(name, O_RDONLY, 0, &probe) == 0) {
      bool usedR = false, usedW = false;
      env_->TestLock(probe, kMarkRead, 1, &usedR);
      env_->TestLock(probe, kMarkWrite, 1, &usedW);
      env_->Close(probe);
      if (usedR || usedW) r = kSharingViolation;
    }
    if (!r && readOnly) r = env_->SetReadOnly(name, false);
    if (!r) r = env_->Unlink(name);
  }
  if (!r) r = OpenHandle(name, amReadWrite, smExclusive, true);
  if (r)
    throw EORBException::Fmt(30361, "Cannot create file: '%s' Error code: %d. ErrorMessage: %s", name, r,
                             OSErrorText(r));
  FileName = name;
  AccessMode = amReadWrite;
  ShareMode = smExclusive;
  ConnectionLost = false;
}

void TORBDatabaseFile::OpenFile(const std::string& name, uint8_t accessMode, uint8_t shareMode) {
  CheckClosed("OpenFile");
  if (accessMode > amReadWrite) throw EORBException::Fmt(30366, "Unknown Access mode: '%d'", accessMode);
  if (shareMode > smShareRead) throw EORBException::Fmt(30367, "Unknown Share mode: '%d'", shareMode);
  int r = OpenHandle(name, accessMode, shareMode, false);
  if (r)
    throw EORBException::Fmt(30364, "Cannot open file:'%s' Error code: %d. ErrorMessage: %s", name, r, OSErrorText(r));
  FileName = name;
  AccessMode = accessMode;
  ShareMode = shareMode;
  ConnectionLost = false;
}

void TORBDatabaseFile::CloseFile() {
  CheckOpen("CloseFile");
  {
    std::lock_guard<std::mutex> g(g_registryMutex);
    for (auto it = g_registry.begin(); it != g_registry.end();) {
      auto& v = it->second;
      v.erase(std::remove_if(v.begin(), v.end(), [&](const LockRange& r) { return r.owner == this; }), v.end());
      it = v.empty() ? g_registry.erase(it) : std::next(it);
    }
  }
  int fd = fd_;
  fd_ = -1;
  int r = env_->Close(fd);
  if (r)
    throw EORBException::Fmt(30365, "Cannot close file:'%s' Error code: %d. ErrorMessage: %s", FileName, r,
                             OSErrorText(r));
}

bool TORBDatabaseFile::Reconnect() {
  int64_t size;
  if (env_->FileSize(fd_, &size) == 0) return true;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd;
    if (env_->Open(FileName, AccessMode == amReadOnly ? O_RDONLY : O_RDWR, 0, &fd) == 0) {
      if (TakeShareMarkers(fd, AccessMode, ShareMode) == 0) {
        env_->Close(fd_);
        fd_ = fd;
        return true;
      }
      env_->Close(fd);
    }
    env_->SleepMs(1000);
  }
  return false;
}

template <class Op>
int TORBDatabaseFile::Retry(Op op) {
  int r = op();
  if (r && r != EAGAIN && IsConnectionError(r) && Reconnect()) r = op();
  return r;
}

int64_t TORBDatabaseFile::SizeOrMinus1() {
  int64_t size;
  return env_->FileSize(fd_, &size) == 0 ? size : -1;
}

bool TORBDatabaseFile::Seek(int64_t position) {
  CheckOpen("Seek");
  if (position < 0) return false;
  position_ = position;
  return true;
}

void TORBDatabaseFile::SetPosition(int64_t position) {
  if (!Seek(position))
    throw EORBException::Fmt(30372, "Cannot Set File Position to %d. FileName='%s'. FilePosition = %d, FileSize = %d",
                             position, FileName, position_, SizeOrMinus1());
}

int64_t TORBDatabaseFile::GetPosition() {
  CheckOpen("GetPosition");
  return position_;
}

void TORBDatabaseFile::SetSize(int64_t size) {
  CheckOpen("SetSize");
  if (WriteGuard && size >= 0) WriteGuard->BeforeResize(size);
  int r = size < 0 ? EINVAL : Retry([&] { return env_->Truncate(fd_, size); });
  if (r)
    throw EORBException::Fmt(30370, "Cannot Truncate File '%s' to %d bytes. ErrorCode:%d. ErrorMessage: %s", FileName,
                             size, r, OSErrorText(r));
}

int64_t TORBDatabaseFile::GetSize() {
  CheckOpen("GetSize");
  int64_t size = 0;
  int r = Retry([&] { return env_->FileSize(fd_, &size); });
  if (r)
    throw EORBException::Fmt(30371, "Cannot Get File Size for file: '%s'. ErrorCode:%d. ErrorMessage: %s", FileName,
                             r, OSErrorText(r));
  return size;
}

bool TORBDatabaseFile::ReadBuffer(void* buffer, int64_t position, uint32_t count) {
  CheckOpen("ReadBuffer");
  if (position < 0) return false;
  size_t done = 0;
  int r = Retry([&] { return env_->PRead(fd_, buffer, count, position, &done); });
  if (r || done != count) return false;
  position_ = position + count;
  return true;
}

void TORBDatabaseFile::RaiseIO(const char* what, int32_t code, int64_t position, uint32_t count, int err) {
  std::string fmt = std::string("Cannot ") + what +
                    " file: '%s' Position = %d, Count = %d, FilePosition = %d, FileSize = %d, ErrorCode:%d. "
                    "ErrorMessage: %s";
  throw EORBException::Fmt(code, fmt, FileName, position, count, position_, SizeOrMinus1(), err, OSErrorText(err));
}

void TORBDatabaseFile::ReadBufferOrRaise(void* buffer, int32_t errorCode, int64_t position, uint32_t count) {
  CheckOpen("ReadBuffer");
  size_t done = 0;
  int r = position < 0 ? EINVAL : env_->PRead(fd_, buffer, count, position, &done);
  if (r == 0 && done == count) {
    position_ = position + count;
    return;
  }
  // A region locked by another process can refuse a read for a moment; a lost
  // handle is reopened.
  if (r != EINVAL) {
    IsRegionLocked(count, position);
    r = Retry([&] { return env_->PRead(fd_, buffer, count, position, &done); });
    if (r == 0 && done == count) {
      position_ = position + count;
      return;
    }
  }
  RaiseIO("Read from", errorCode, position, count, r ? r : ENODATA);
}

void TORBDatabaseFile::WriteBuffer(const void* buffer, int32_t errorCode, int64_t position, uint32_t count) {
  CheckOpen("WriteBuffer");
  if (WriteGuard && position >= 0) WriteGuard->BeforeWrite(position, count);
  int r = position < 0 ? EINVAL : Retry([&] { return env_->PWrite(fd_, buffer, count, position); });
  if (r) RaiseIO("Write to", errorCode, position, count, r);
  position_ = position + count;
}

void TORBDatabaseFile::FlushFileBuffers() {
  CheckOpen("FlushFileBuffers");
  int r = Retry([&] { return env_->Sync(fd_); });
  if (r)
    throw EORBException::Fmt(30379, "Cannot flush file buffers for file: '%s'. ErrorCode:%d. ErrorMessage: %s",
                             FileName, r, OSErrorText(r));
}

void TORBDatabaseFile::Reserve(int64_t position, int64_t count) {
  CheckOpen("Reserve");
  int r = Retry([&] { return env_->Allocate(fd_, position, count); });
  if (r)
    throw EORBException::Fmt(30370, "Cannot Truncate File '%s' to %d bytes. ErrorCode:%d. ErrorMessage: %s", FileName,
                             position + count, r, OSErrorText(r));
}

bool TORBDatabaseFile::LockByte(int64_t count, int64_t position) {
  CheckOpen("LockByte");
  uint64_t dev, ino;
  if (env_->FileId(fd_, &dev, &ino)) return false;
  std::lock_guard<std::mutex> g(g_registryMutex);
  auto& held = g_registry[{dev, ino}];
  for (const LockRange& r : held)
    if (Overlaps(r, position, count)) return false;
  // A read-only descriptor can only take shared locks; they still keep out
  // every writer, which is what the locks protect against.
  const bool exclusive = AccessMode == amReadWrite;
  int r = Retry([&] { return env_->Lock(fd_, position, count, exclusive); });
  if (r) {
    if (r != EAGAIN && IsConnectionError(r)) ConnectionLost = true;
    if (held.empty()) g_registry.erase({dev, ino});
    return false;
  }
  ConnectionLost = false;
  held.push_back({position, count, this});
  return true;
}

bool TORBDatabaseFile::UnlockByte(int64_t count, int64_t position) {
  CheckOpen("UnlockByte");
  uint64_t dev = 0, ino = 0;
  bool known = env_->FileId(fd_, &dev, &ino) == 0;
  if (known) {
    std::lock_guard<std::mutex> g(g_registryMutex);
    auto it = g_registry.find({dev, ino});
    if (it != g_registry.end()) {
      auto& v = it->second;
      v.erase(std::remove_if(v.begin(), v.end(),
                             [&](const LockRange& r) { return r.owner == this && r.pos == position && r.len == count; }),
              v.end());
      if (v.empty()) g_registry.erase(it);
    }
  }
  int r = Retry([&] { return env_->Unlock(fd_, position, count); });
  if (r == 0) return true;
  // With the connection gone the lock is gone too: report the unlock as done.
  if (IsConnectionError(r) || ConnectionLost) {
    ConnectionLost = true;
    return true;
  }
  return false;
}

bool TORBDatabaseFile::IsRegionLocked(int64_t count, int64_t position) {
  if (!LockByte(count, position)) return true;
  UnlockByte(count, position);
  return false;
}

bool TORBDatabaseFile::FindHeader(int64_t* headerBase) {
  static constexpr char kSig[16] = {'O', 'R', 'B', 'I', 'T', 'A', 'L', '0', 'D', 'A', 'T', 'A', 'B', 'A', 'S', 'E'};
  constexpr int64_t kNeed = 18;  // signature and the uint16 header size
  constexpr int64_t kWindow = 10000;
  const int64_t saved = position_;
  const int64_t size = GetSize();
  std::vector<unsigned char> buf(kWindow);
  bool found = false;
  // Windows overlap by kNeed - 1 bytes, so every offset is tested once whole.
  for (int64_t start = 0; !found && start + kNeed <= size; start += kWindow - (kNeed - 1)) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(kWindow, size - start));
    if (!ReadBuffer(buf.data(), start, n)) break;
    for (uint32_t i = 0; i + kNeed <= n; ++i) {
      if (buf[i] != 'O' || std::memcmp(&buf[i], kSig, 16) != 0) continue;
      if (buf[i + 16] == 76 && buf[i + 17] == 0) {
        *headerBase = start + i;
        found = true;
        break;
      }
    }
    if (start + n >= size) break;
  }
  position_ = saved;
  return found;
}

}  // namespace orb
