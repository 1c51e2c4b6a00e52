// Fault injection for crash and failure tests.
#include "storage/ORBFaultEnv.h"

#include <unistd.h>

#include <cerrno>

namespace orb {

int TORBFaultEnv::Hit(const void* buf, size_t count, int fd, int64_t pos) {
  if (mode_ == Mode::Off) return 0;
  if (failing_) return ENOSPC;
  if (calls_++ != target_) return 0;
  switch (mode_) {
    case Mode::FailOnce:
      return ENOSPC;
    case Mode::FailFromNow:
      failing_ = true;
      return ENOSPC;
    case Mode::TornCrash:
      if (buf && count > 1) TORBEnv::PWrite(fd, buf, count / 2, pos);
      _exit(kCrashExitCode);
    case Mode::Crash:
      _exit(kCrashExitCode);
    case Mode::Off:
      break;
  }
  return 0;
}

int TORBFaultEnv::PWrite(int fd, const void* buf, size_t count, int64_t pos) {
  if (int r = Hit(buf, count, fd, pos)) return r;
  return TORBEnv::PWrite(fd, buf, count, pos);
}
int TORBFaultEnv::Truncate(int fd, int64_t size) {
  if (int r = Hit()) return r;
  return TORBEnv::Truncate(fd, size);
}
int TORBFaultEnv::Allocate(int fd, int64_t offset, int64_t len) {
  if (int r = Hit()) return r;
  return TORBEnv::Allocate(fd, offset, len);
}
int TORBFaultEnv::Sync(int fd) {
  if (int r = Hit()) return r;
  return TORBEnv::Sync(fd);
}
int TORBFaultEnv::Unlink(const std::string& path) {
  if (int r = Hit()) return r;
  return TORBEnv::Unlink(path);
}
int TORBFaultEnv::Rename(const std::string& from, const std::string& to) {
  if (int r = Hit()) return r;
  return TORBEnv::Rename(from, to);
}
int TORBFaultEnv::SyncDir(const std::string& dir) {
  if (int r = Hit()) return r;
  return TORBEnv::SyncDir(dir);
}

}  // namespace orb
