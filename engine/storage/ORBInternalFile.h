// Internal files: byte streams kept in chains of pages of one type, with a
// 10-byte file header. The transacted flavour goes through the session's
// pages (private until commit); the direct flavour reads and writes the file
// byte by byte, unencrypted, for lock tables that processes share.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace orb {

class TORBPageManager;
class TORBDiskPageManager;

constexpr uint8_t kInternalFileHeaderSize = 10;

// Guards a chain walk against loops that damaged pages could form.
class TORBChainWalk {
 public:
  void Visit(int32_t pageNo);

 private:
  std::unordered_set<int32_t> seen_;
};

struct TORBInternalFileSize {
  int32_t StoredSize = 0;
  int32_t UncompressedSize = 0;
  uint8_t Algorithm = 0;
  bool IsFresh = false;  // the first page was just read from the store
};

class TORBInternalDBTransactedAccessFile {
 public:
  TORBInternalDBTransactedAccessFile(TORBPageManager& pm, uint16_t pageType) : pm_(pm), type_(pageType) {}

  int32_t StartPageNo = -1;

  void Create(int32_t session);
  void Open(int32_t startPageNo) { StartPageNo = startPageNo; }
  void Delete(int32_t session);

  TORBInternalFileSize GetSize(int32_t session, bool validate);
  void SetSize(int32_t session, int32_t storedSize, uint8_t algorithm, int32_t uncompressedSize);
  // Reads `count` bytes of content (expanded when stored compressed).
  void ReadFile(int32_t session, void* buffer, bool validate, int32_t count);
  // The whole content, expanded.
  std::vector<uint8_t> ReadAll(int32_t session, bool validate);
  // Replaces the content; with an algorithm other than 0 it is stored compressed.
  void WriteFile(int32_t session, const void* buffer, int32_t count, uint8_t algorithm = 0, uint8_t mode = 1);

 private:
  void CheckOpen(const char* operation) const;
  std::vector<uint8_t> ReadStored(int32_t session, bool validate, int32_t storedSize, int32_t count);
  // RemovePage for every page from `first` to the end of the chain.
  void RemoveChain(int32_t session, int32_t first, TORBChainWalk& walk);

  TORBPageManager& pm_;
  uint16_t type_;
};

class TORBInternalDBDirectAccessFile {
 public:
  TORBInternalDBDirectAccessFile(TORBDiskPageManager& pm, uint16_t pageType) : pm_(pm), type_(pageType) {}

  int32_t StartPageNo = -1;

  // New pages in the system session; they reach the file at its next commit.
  void Create(int32_t size);
  void Open(int32_t startPageNo);
  void Delete();

  int32_t GetSize() const { return size_; }
  // Content bytes the chain can hold.
  int64_t Capacity() const;
  const std::vector<int32_t>& Pages() const { return pages_; }

  void DirectReadBuffer(void* buffer, int32_t count, int32_t position);
  void DirectWriteBuffer(const void* buffer, int32_t count, int32_t position);

  // The file's own lock byte: the first byte of its first page.
  bool LockFile();
  bool UnlockFile();
  bool LockByte(int32_t position);
  bool UnlockByte(int32_t position);
  bool IsByteLocked(int32_t position);
  // Whether any byte of the content range is locked (by anyone, this process included).
  bool IsRegionLocked(int32_t position, int32_t count);

 private:
  void CheckOpen(const char* operation) const;
  // File page number and page offset of a content position.
  std::pair<int32_t, uint32_t> Locate(int64_t position) const;

  TORBDiskPageManager& pm_;
  uint16_t type_;
  int32_t size_ = 0;
  std::vector<int32_t> pages_;
};

}  // namespace orb
