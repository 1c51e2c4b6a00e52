// TORBDatabaseFile: one open operating-system file of the engine, with
// positioned I/O, byte-range locks, share modes and reconnection.
#pragma once
#include <cstdint>
#include <string>

#include "storage/ORBEnv.h"

namespace orb {
class TORBWriteGuard;
}

namespace orb {

class TORBDatabaseFile {
 public:
  enum : uint8_t { amReadOnly = 0, amReadWrite = 1 };
  enum : uint8_t { smExclusive = 0, smShareReadWrite = 1, smShareRead = 2 };

  explicit TORBDatabaseFile(TORBEnv* env = nullptr);
  ~TORBDatabaseFile();
  TORBDatabaseFile(const TORBDatabaseFile&) = delete;
  TORBDatabaseFile& operator=(const TORBDatabaseFile&) = delete;

  std::string FileName;
  uint8_t AccessMode = amReadWrite;
  uint8_t ShareMode = smExclusive;
  bool ConnectionLost = false;
  // Told before every write and size change (the commit journal).
  TORBWriteGuard* WriteGuard = nullptr;

  bool IsOpen() const { return fd_ >= 0; }

  // Creates or replaces the file for reading and writing with no sharing.
  void CreateFile(const std::string& name);
  void OpenFile(const std::string& name, uint8_t accessMode, uint8_t shareMode);
  void CloseFile();

  bool Seek(int64_t position);
  void SetPosition(int64_t position);
  int64_t GetPosition();
  void SetSize(int64_t size);
  int64_t GetSize();

  // Reads exactly `count` bytes at `position`; false on any failure or short read.
  bool ReadBuffer(void* buffer, int64_t position, uint32_t count);
  // The raising form: fails with the read message and the caller's code.
  void ReadBufferOrRaise(void* buffer, int32_t errorCode, int64_t position, uint32_t count);
  void WriteBuffer(const void* buffer, int32_t errorCode, int64_t position, uint32_t count);
  void FlushFileBuffers();
  // Reserves space for the range so that a full disk fails here.
  void Reserve(int64_t position, int64_t count);

  bool LockByte(int64_t count, int64_t position);
  bool UnlockByte(int64_t count, int64_t position);
  bool IsByteLocked(int64_t position) { return IsRegionLocked(1, position); }
  bool IsRegionLocked(int64_t count, int64_t position);

  // Searches the file for the header signature; restores the position.
  bool FindHeader(int64_t* headerBase);

  TORBEnv* Env() const { return env_; }

 private:
  void CheckOpen(const char* operation) const;
  void CheckClosed(const char* operation) const;
  int OpenHandle(const std::string& name, uint8_t accessMode, uint8_t shareMode, bool create);
  int TakeShareMarkers(int fd, uint8_t accessMode, uint8_t shareMode);
  bool Reconnect();
  template <class Op>
  int Retry(Op op);
  [[noreturn]] void RaiseIO(const char* what, int32_t code, int64_t position, uint32_t count, int err);
  int64_t SizeOrMinus1();

  TORBEnv* env_;
  int fd_ = -1;
  int64_t position_ = 0;
};

}  // namespace orb
