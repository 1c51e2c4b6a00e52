// TORBMemoryManager: the single allocator of engine buffers, with a count of
// bytes handed out, an optional limit and guard words around every block.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace orb {

class TORBMemoryManager {
 public:
  static TORBMemoryManager& Instance();

  void* GetMem(size_t size, bool zeroFill = false);
  void* ReallocMem(void* block, size_t newSize);
  void FreeMem(void* block);  // nullptr is ignored

  int64_t Allocated() const;
  int64_t Limit() const;
  void SetLimit(int64_t limit);  // 0 = no limit

  // The smaller of the limit (when set) and the machine's available memory.
  int64_t AvailableMemory() const;

 private:
  void Reserve(size_t size);
  mutable std::mutex mutex_;
  int64_t allocated_ = 0;
  int64_t limit_ = 0;
};

// Memory available on this machine: MemAvailable of /proc/meminfo, capped by
// the cgroup's memory limit when one is set.
int64_t SystemAvailableMemory();

}  // namespace orb
