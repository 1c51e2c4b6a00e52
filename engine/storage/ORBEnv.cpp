// POSIX implementation of the operating-system layer.
#include "storage/ORBEnv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace orb {

namespace {

std::atomic<TORBEnv*> g_current{nullptr};

int Err() { return errno ? errno : EIO; }

struct flock MakeLock(short type, int64_t pos, int64_t len) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = pos;
  fl.l_len = len;
  fl.l_pid = 0;  // required for open-file-description locks
  return fl;
}

}  // namespace

TORBEnv* TORBEnv::Default() {
  static TORBEnv env;
  return &env;
}

TORBEnv* TORBEnv::Current() {
  TORBEnv* e = g_current.load(std::memory_order_acquire);
  return e ? e : Default();
}

void TORBEnv::SetCurrent(TORBEnv* env) { g_current.store(env, std::memory_order_release); }

int TORBEnv::Open(const std::string& path, int flags, int mode, int* fd) {
  for (;;) {
    int r = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (r >= 0) {
      *fd = r;
      return 0;
    }
    if (errno != EINTR) return Err();
  }
}

int TORBEnv::Close(int fd) { return ::close(fd) == 0 || errno == EINTR ? 0 : Err(); }

int TORBEnv::PRead(int fd, void* buf, size_t count, int64_t pos, size_t* done) {
  auto* p = static_cast<char*>(buf);
  size_t got = 0;
  while (got < count) {
    ssize_t n = ::pread(fd, p + got, count - got, pos + static_cast<int64_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      *done = got;
      return Err();
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  *done = got;
  return 0;
}

int TORBEnv::PWrite(int fd, const void* buf, size_t count, int64_t pos) {
  const auto* p = static_cast<const char*>(buf);
  size_t put = 0;
  while (put < count) {
    ssize_t n = ::pwrite(fd, p + put, count - put, pos + static_cast<int64_t>(put));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err();
    }
    if (n == 0) return ENOSPC;
    put += static_cast<size_t>(n);
  }
  return 0;
}

int TORBEnv::Truncate(int fd, int64_t size) {
  for (;;) {
    if (::ftruncate(fd, size) == 0) return 0;
    if (errno != EINTR) return Err();
  }
}

int TORBEnv::Allocate(int fd, int64_t offset, int64_t len) {
  if (len <= 0) return 0;
  int r = ::posix_fallocate(fd, offset, len);
  // Some file systems cannot reserve; growing by truncation still works there.
  if (r == EOPNOTSUPP || r == EINVAL) return 0;
  return r;
}

int TORBEnv::FileSize(int fd, int64_t* size) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Err();
  *size = st.st_size;
  return 0;
}

int TORBEnv::FileId(int fd, uint64_t* dev, uint64_t* ino) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Err();
  *dev = st.st_dev;
  *ino = st.st_ino;
  return 0;
}

int TORBEnv::Sync(int fd) {
  for (;;) {
    if (::fdatasync(fd) == 0) return 0;
    if (errno != EINTR) return Err();
  }
}

int TORBEnv::Lock(int fd, int64_t pos, int64_t len, bool exclusive) {
  struct flock fl = MakeLock(exclusive ? F_WRLCK : F_RDLCK, pos, len);
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EACCES) return EAGAIN;
    return Err();
  }
}

int TORBEnv::Unlock(int fd, int64_t pos, int64_t len) {
  struct flock fl = MakeLock(F_UNLCK, pos, len);
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
    if (errno != EINTR) return Err();
  }
}

int TORBEnv::TestLock(int fd, int64_t pos, int64_t len, bool* lockedElsewhere) {
  struct flock fl = MakeLock(F_WRLCK, pos, len);
  for (;;) {
    if (::fcntl(fd, F_OFD_GETLK, &fl) == 0) {
      *lockedElsewhere = fl.l_type != F_UNLCK;
      return 0;
    }
    if (errno != EINTR) return Err();
  }
}

int TORBEnv::Unlink(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : Err(); }

int TORBEnv::Rename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : Err();
}

int TORBEnv::SyncDir(const std::string& dir) {
  int fd;
  int r = Open(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY, 0, &fd);
  if (r) return r;
  r = ::fsync(fd) == 0 ? 0 : Err();
  ::close(fd);
  return r;
}

int TORBEnv::Stat(const std::string& path, bool* exists, bool* readOnly, int64_t* size) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      *exists = false;
      return 0;
    }
    return Err();
  }
  *exists = true;
  // The read-only attribute is the mode bits, whoever asks (root included).
  if (readOnly) *readOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  if (size) *size = st.st_size;
  return 0;
}

int TORBEnv::SetReadOnly(const std::string& path, bool readOnly) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Err();
  mode_t m = st.st_mode & 07777;
  m = readOnly ? (m & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (m | S_IWUSR);
  return ::chmod(path.c_str(), m) == 0 ? 0 : Err();
}

void TORBEnv::SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string OSErrorText(int code) {
  if (code == kSharingViolation) return "The file is in use by another process";
  return std::strerror(code);
}

}  // namespace orb
