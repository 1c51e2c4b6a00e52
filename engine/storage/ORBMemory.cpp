// Guarded, counted allocation of engine buffers.
#include "storage/ORBMemory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "orb/ORBExcept.h"

namespace orb {

namespace {

// Block layout: [size:8][pad:4][front guard:4] user bytes [back guard:4]
constexpr size_t kPrefix = 16;
constexpr uint32_t kFrontGuard = 0x4F524246;  // "FBRO"
constexpr uint32_t kBackGuard = 0x4F52424B;
constexpr int32_t kErrInvalidPointer = 31003;
constexpr int32_t kErrGetMem = 31004;
constexpr int32_t kErrReallocMem = 31005;
constexpr int32_t kErrFreeMem = 31006;

unsigned char* BaseOf(void* user) { return static_cast<unsigned char*>(user) - kPrefix; }

size_t CheckBlock(void* user) {
  unsigned char* base = BaseOf(user);
  uint32_t front;
  std::memcpy(&front, base + 12, 4);
  if (front != kFrontGuard) throw EORBException("Invalid pointer", kErrInvalidPointer);
  size_t size;
  std::memcpy(&size, base, 8);
  uint32_t back;
  std::memcpy(&back, base + kPrefix + size, 4);
  if (back != kBackGuard) throw EORBException("Memory overrun detected", 30137);
  return size;
}

void* Stamp(unsigned char* base, size_t size) {
  std::memcpy(base, &size, 8);
  std::memset(base + 8, 0, 4);
  std::memcpy(base + 12, &kFrontGuard, 4);
  std::memcpy(base + kPrefix + size, &kBackGuard, 4);
  return base + kPrefix;
}

int64_t ReadNumber(const char* path) {
  std::ifstream in(path);
  std::string s;
  if (!(in >> s) || s == "max") return -1;
  try {
    return std::stoll(s);
  } catch (...) {
    return -1;
  }
}

}  // namespace

TORBMemoryManager& TORBMemoryManager::Instance() {
  static TORBMemoryManager mm;
  return mm;
}

void TORBMemoryManager::Reserve(size_t size) {
  std::lock_guard<std::mutex> g(mutex_);
  if (limit_ > 0 && allocated_ + static_cast<int64_t>(size) > limit_)
    throw EORBException::Fmt(30004, "Memory limit exceeded (Limit = %d bytes)", limit_);
  allocated_ += static_cast<int64_t>(size);
}

void* TORBMemoryManager::GetMem(size_t size, bool zeroFill) {
  if (size == 0) throw EORBException("Cannot allocate 0 bytes", 30286);
  Reserve(size);
  auto* base = static_cast<unsigned char*>(std::malloc(kPrefix + size + 4));
  if (!base) {
    {
      std::lock_guard<std::mutex> g(mutex_);
      allocated_ -= static_cast<int64_t>(size);
    }
    throw EORBException::Fmt(kErrGetMem, "GetMem error: %s", std::strerror(ENOMEM));
  }
  if (zeroFill) std::memset(base + kPrefix, 0, size);
  return Stamp(base, size);
}

void* TORBMemoryManager::ReallocMem(void* block, size_t newSize) {
  if (!block) return GetMem(newSize);
  if (newSize == 0) throw EORBException("Cannot allocate 0 bytes", 30286);
  size_t old = CheckBlock(block);
  if (newSize > old) Reserve(newSize - old);
  auto* base = static_cast<unsigned char*>(std::realloc(BaseOf(block), kPrefix + newSize + 4));
  std::lock_guard<std::mutex> g(mutex_);
  if (!base) {
    if (newSize > old) allocated_ -= static_cast<int64_t>(newSize - old);
    throw EORBException::Fmt(kErrReallocMem, "ReallocMem error: %s", std::strerror(ENOMEM));
  }
  if (newSize < old) allocated_ -= static_cast<int64_t>(old - newSize);
  return Stamp(base, newSize);
}

void TORBMemoryManager::FreeMem(void* block) {
  if (!block) return;
  size_t size = CheckBlock(block);
  unsigned char* base = BaseOf(block);
  std::memset(base + 12, 0, 4);  // a second free of the block is caught
  std::free(base);
  std::lock_guard<std::mutex> g(mutex_);
  allocated_ -= static_cast<int64_t>(size);
  (void)kErrFreeMem;
}

int64_t TORBMemoryManager::Allocated() const {
  std::lock_guard<std::mutex> g(mutex_);
  return allocated_;
}

int64_t TORBMemoryManager::Limit() const {
  std::lock_guard<std::mutex> g(mutex_);
  return limit_;
}

void TORBMemoryManager::SetLimit(int64_t limit) {
  std::lock_guard<std::mutex> g(mutex_);
  limit_ = limit > 0 ? limit : 0;
}

int64_t TORBMemoryManager::AvailableMemory() const {
  int64_t avail = SystemAvailableMemory();
  int64_t limit = Limit();
  return limit > 0 && limit < avail ? limit : avail;
}

int64_t SystemAvailableMemory() {
  int64_t avail = -1;
  std::ifstream in("/proc/meminfo");
  std::string key;
  int64_t value;
  std::string unit;
  while (in >> key >> value) {
    std::getline(in, unit);
    if (key == "MemAvailable:") {
      avail = value * 1024;
      break;
    }
  }
  if (avail < 0) avail = int64_t{1} << 30;  // unknown: assume a modest machine
  // cgroup v2, then v1: a container's limit beats the host's free memory.
  int64_t limit = ReadNumber("/sys/fs/cgroup/memory.max");
  int64_t used = ReadNumber("/sys/fs/cgroup/memory.current");
  if (limit < 0) {
    limit = ReadNumber("/sys/fs/cgroup/memory/memory.limit_in_bytes");
    used = ReadNumber("/sys/fs/cgroup/memory/memory.usage_in_bytes");
  }
  if (limit > 0 && limit < (int64_t{1} << 60)) {
    int64_t room = limit - (used > 0 ? used : 0);
    if (room < 0) room = 0;
    if (room < avail) avail = room;
  }
  return avail;
}

}  // namespace orb
