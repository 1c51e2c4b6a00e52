// TORBPageManager: the only way to read and write pages. Sessions obtain,
// add, change and remove pages privately and commit or roll them back; clean
// pages are shared by all sessions in a bounded LRU cache. The disk, memory
// and temporary stores specialise the I/O.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "storage/ORBPageList.h"

namespace orb {

class TORBPage;
class TORBStream;

constexpr int32_t kSystemSession = -2;
constexpr int32_t kInvalidSession = -1;

struct TORBSavepoint {
  bool Active = false;
  size_t NewMark = 0, RemovedMark = 0;
  std::unordered_map<int32_t, std::vector<uint8_t>> Before;  // page bytes at first touch
};

struct TORBSessionPages {
  int32_t SessionID = 0;
  TORBSortedPageList DirtyList;
  std::vector<int32_t> NewPages;
  std::vector<int32_t> RemovedPages;
  TORBSavepoint Savepoint;
  // Pages of the session handed out and not put back. A page's session only
  // changes while nobody holds it, so 0 means none is held; a page dropped
  // while held keeps its count, which errs on the safe side.
  int64_t HeldPages = 0;
};

class TORBPageManager {
 public:
  TORBPageManager();
  virtual ~TORBPageManager();
  TORBPageManager(const TORBPageManager&) = delete;
  TORBPageManager& operator=(const TORBPageManager&) = delete;

  uint16_t PageSize = 4096;
  uint16_t PageHeaderSize = 40;
  uint16_t PageDataSize = 4096 - 40;
  bool MultiUser = false;

  // Virtual operations, in their slot order.
  virtual int32_t GetTotalPageCount() { return pageCount_; }
  virtual bool IsPageValidForSession(int32_t session, TORBPage& page);
  virtual void MarkPageValidForSession(int32_t session, TORBPage& page);
  virtual void LoadFromStream(TORBStream& stream);
  virtual void SaveToStream(TORBStream& stream);
  virtual void AllocatePage(TORBPage& page) = 0;
  virtual void FreePage(int32_t pageNo) = 0;
  // Reads the page's bytes into its buffer; false (and the version marked
  // 0x7FFFFFFF) when the read failed.
  virtual bool ReadPage(TORBPage& page) = 0;
  virtual void WritePage(TORBPage& page) = 0;
  virtual void RemovePage(int32_t session, int32_t pageNo);
  virtual TORBPage* GetPage(int32_t session, int32_t pageNo, bool validate, uint8_t expectedType);
  virtual void ApplyChanges(int32_t session);

  TORBPage* AddPage(int32_t session, uint16_t pageType);
  void PutPage(TORBPage* page);
  void CancelChanges(int32_t session);
  // Forgets every clean cached page, so the next reads go to the store
  // (another process changed it).
  void DropCachedPages() { InvalidateCache(); }
  // Brings a cached page up to date with the file (multi-user disk stores).
  virtual void RefreshPage(TORBPage& page);

  // Savepoints make one record operation all or nothing inside a longer
  // transaction: while one is open, the first touch of each page keeps a copy
  // of its bytes, so that a failed operation can put back every page it
  // changed, free the pages it added and forget the pages it removed.
  void BeginSavepoint(int32_t session);
  void ReleaseSavepoint(int32_t session);
  void RollbackSavepoint(int32_t session);

  // Raises "Cannot free not commited pages" while any session has
  // uncommitted pages; the owner calls it before destroying the manager.
  void CheckAllCommitted() const;
  bool HasUncommittedPages(int32_t session) const;

  int32_t CacheCapacity() const { return cacheCapacity_; }
  void SetCacheCapacity(int32_t capacity) { cacheCapacity_ = capacity > 0 ? capacity : 1; }
  const TORBSortedPageList& SharedCache() const { return sharedCache_; }
  const TORBSessionPages* SessionPages(int32_t session) const;

 protected:
  void SetGeometry(uint16_t pageSize, uint16_t headerSize) {
    PageSize = pageSize;
    PageHeaderSize = headerSize;
    PageDataSize = static_cast<uint16_t>(pageSize - headerSize);
  }
  TORBSessionPages& Session(int32_t session);
  TORBSessionPages* FindSession(int32_t session);
  // The checks a commit runs before it changes anything.
  void CheckCommit(int32_t session);
  // The commit's writes, after CheckCommit.
  void ApplyCheckedChanges(int32_t session);
  // Drops every page object (cache, dirty lists, loose pages).
  void DropAllPages();
  // Forgets a session's uncommitted pages and lists without touching the store.
  void DiscardSession(int32_t session);
  // Drops every cached page; pages still in use are dropped when put back.
  void InvalidateCache();

  int32_t pageCount_ = 0;

 private:
  void EvictIfNeeded();
  void ReuseEvictedBuffer(TORBPage& page);
  void DropCached(int32_t pageNo);
  void CachePage(std::unique_ptr<TORBPage> page);

  TORBSortedPageList sharedCache_;
  int32_t cacheCapacity_;
  std::map<int32_t, std::unique_ptr<TORBSessionPages>> sessions_;
  // Pages handed out that live in no list: reads that failed, and copies
  // displaced from the cache while in use.
  std::unordered_map<TORBPage*, std::unique_ptr<TORBPage>> loose_;
};

// Puts a page back when it goes out of scope.
class TORBPageHandle {
 public:
  TORBPageHandle() = default;
  TORBPageHandle(TORBPageManager& pm, TORBPage* page) : pm_(&pm), page_(page) {}
  ~TORBPageHandle() { Release(); }
  TORBPageHandle(TORBPageHandle&& o) noexcept : pm_(o.pm_), page_(o.page_) { o.page_ = nullptr; }
  TORBPageHandle& operator=(TORBPageHandle&& o) noexcept {
    if (this != &o) {
      Release();
      pm_ = o.pm_;
      page_ = o.page_;
      o.page_ = nullptr;
    }
    return *this;
  }
  TORBPage* operator->() const { return page_; }
  TORBPage& operator*() const { return *page_; }
  TORBPage* get() const { return page_; }
  void Release() {
    if (page_) {
      TORBPage* p = page_;
      page_ = nullptr;
      pm_->PutPage(p);
    }
  }

 private:
  TORBPageManager* pm_ = nullptr;
  TORBPage* page_ = nullptr;
};

}  // namespace orb
