// TORBFaultEnv: an OS layer for tests that fails, or ends the process at,
// the Nth mutating call (write, flush, size change, delete, rename).
#pragma once
#include <cstdint>

#include "storage/ORBEnv.h"

namespace orb {

class TORBFaultEnv : public TORBEnv {
 public:
  enum class Mode {
    Off,
    FailOnce,     // the Nth call fails with EIO-like ENOSPC, later ones work
    FailFromNow,  // the Nth call and every later one fail
    Crash,        // the process ends before the Nth call does anything
    TornCrash,    // a write at N writes its first half, then the process ends
  };
  static constexpr int kCrashExitCode = 86;

  void Arm(Mode mode, int64_t target) {
    mode_ = mode;
    target_ = target;
    calls_ = 0;
    failing_ = false;
  }
  int64_t Calls() const { return calls_; }

  int PWrite(int fd, const void* buf, size_t count, int64_t pos) override;
  int Truncate(int fd, int64_t size) override;
  int Allocate(int fd, int64_t offset, int64_t len) override;
  int Sync(int fd) override;
  int Unlink(const std::string& path) override;
  int Rename(const std::string& from, const std::string& to) override;
  int SyncDir(const std::string& dir) override;

 private:
  // 0 to go ahead, else the error to return (or the process ends).
  int Hit(const void* buf = nullptr, size_t count = 0, int fd = -1, int64_t pos = 0);

  Mode mode_ = Mode::Off;
  int64_t target_ = -1;
  int64_t calls_ = 0;
  bool failing_ = false;
};

}  // namespace orb
