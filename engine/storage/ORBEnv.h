// The operating-system layer: every file, lock and directory call of the
// engine goes through TORBEnv, so tests can install one that injects faults.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace orb {

// Every call answers 0 or an errno value.
class TORBEnv {
 public:
  virtual ~TORBEnv() = default;

  // The POSIX environment.
  static TORBEnv* Default();
  // The environment the engine uses now (Default unless a test installed another).
  static TORBEnv* Current();
  static void SetCurrent(TORBEnv* env);  // nullptr restores Default

  virtual int Open(const std::string& path, int flags, int mode, int* fd);
  virtual int Close(int fd);
  // Reads until `count` bytes or end of file; *done tells how many.
  virtual int PRead(int fd, void* buf, size_t count, int64_t pos, size_t* done);
  // Writes all `count` bytes (short writes are continued).
  virtual int PWrite(int fd, const void* buf, size_t count, int64_t pos);
  virtual int Truncate(int fd, int64_t size);
  // Reserves [offset, offset+len) so a full disk shows up here, not at a later write.
  virtual int Allocate(int fd, int64_t offset, int64_t len);
  virtual int FileSize(int fd, int64_t* size);
  // Identity of the file behind a descriptor (device and inode).
  virtual int FileId(int fd, uint64_t* dev, uint64_t* ino);
  virtual int Sync(int fd);
  // Non-blocking byte-range lock owned by the open file description (other
  // descriptors, in this process or another, see it). EAGAIN when held elsewhere.
  virtual int Lock(int fd, int64_t pos, int64_t len, bool exclusive);
  virtual int Unlock(int fd, int64_t pos, int64_t len);
  // Whether another open file description holds a lock that conflicts with an
  // exclusive lock of the range.
  virtual int TestLock(int fd, int64_t pos, int64_t len, bool* lockedElsewhere);

  virtual int Unlink(const std::string& path);
  virtual int Rename(const std::string& from, const std::string& to);
  virtual int SyncDir(const std::string& dir);
  // exists=false (answer 0) when the path is absent.
  virtual int Stat(const std::string& path, bool* exists, bool* readOnly, int64_t* size);
  virtual int SetReadOnly(const std::string& path, bool readOnly);
  virtual void SleepMs(int ms);
};

// Text of an errno value, with the engine's own pseudo codes.
std::string OSErrorText(int code);

// Pseudo errno for an open refused by another opener's share mode.
constexpr int kSharingViolation = 0x10000 + 32;

}  // namespace orb
