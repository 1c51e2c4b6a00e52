// TORBPage: one page in memory, its buffer and its bookkeeping for the page
// manager (owner list, use count, session, validity marks).
#pragma once
#include <cstdint>
#include <vector>

namespace orb {

class TORBPageManager;
class TORBSortedPageList;

struct TORBSessionMark {
  int32_t TableVersion = 0;
  bool Valid = false;
};

class TORBPage {
 public:
  TORBPage(TORBPageManager* manager, int32_t pageNo, int32_t sessionId);
  ~TORBPage();
  TORBPage(const TORBPage&) = delete;
  TORBPage& operator=(const TORBPage&) = delete;

  TORBPageManager* PageManager;
  int32_t PageNo;
  uint8_t* PageBuffer = nullptr;
  bool OwnsBuffer = false;
  bool IsDirty = false;
  int32_t UseCount = 0;
  TORBSortedPageList* OwnerList = nullptr;
  int32_t SessionID;
  bool IsFresh = false;
  bool EncryptOnWrite = true;
  // A cached copy that a commit superseded while someone still held it: it
  // is dropped when put back.
  bool Stale = false;
  std::vector<TORBSessionMark> SessionMarks;  // indexed by session number + 2

  uint8_t* Header() { return PageBuffer; }
  uint8_t* Data();
  const uint8_t* Data() const;
  uint32_t DataSize() const;
  uint32_t BufferSize() const { return bufferSize_; }

  // A zeroed owned buffer of the manager's page size (replacing any other).
  void AllocateBuffer();
  // Takes over the other page's buffer (whatever it holds), leaving it none.
  void TakeBuffer(TORBPage& other);
  // Points the page at a buffer owned by someone else (memory stores).
  void SetForeignBuffer(uint8_t* buffer, uint32_t size);
  void InitPageHeader();
  // Enlarges the buffer keeping its bytes; a foreign buffer becomes an owned copy.
  void ResizeBuffer(uint32_t newSize);
  // Brings the cached bytes up to date with the store.
  void RefreshPage();

 private:
  void ReleaseBuffer();
  uint32_t bufferSize_ = 0;
};

}  // namespace orb
