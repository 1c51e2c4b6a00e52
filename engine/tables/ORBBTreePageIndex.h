// Page indexes: a table's B-tree maps from page number to a 16-bit count,
// for record pages (records on the page) and BLOB pages (bytes used).
#pragma once
#include "tables/ORBBTree.h"
#include "tables/ORBBTreeKeys.h"
#include "tables/ORBPageCountIndex.h"

namespace orb {

class TORBBTreePageIndex : public TORBPageCountIndex {
 public:
  explicit TORBBTreePageIndex(TORBPageManager& pm);

  int32_t RootPageNo() const override { return tree_.RootPageNo; }
  void SetRoot(int32_t rootPageNo) override { tree_.RootPageNo = rootPageNo; }
  void CreateRoot(int32_t session) override { tree_.CreateRoot(session); }
  void Drop(int32_t session) override;
  void Empty(int32_t session) override;
  int32_t FindPageWithRoom(int32_t session, int32_t n) override;
  void AddOrIncrease(int32_t session, int32_t pageNo, int32_t delta) override;
  void DecreaseOrSet(int32_t session, int32_t pageNo, int32_t delta, int32_t newValue) override;
  int32_t GetValue(int32_t session, int32_t pageNo) override;
  void ForEach(int32_t session, const std::function<bool(int32_t pageNo, int32_t value)>& fn) override;

  // Key paths for physical navigation.
  TORBKeyPath First(int32_t session);
  TORBKeyPath Last(int32_t session);
  // The path of the page's entry; empty when the page is not in the index.
  TORBKeyPath Find(int32_t session, int32_t pageNo);
  // The entry after / before the page (which need not be in the index).
  int32_t NextPage(int32_t session, int32_t pageNo);
  int32_t PriorPage(int32_t session, int32_t pageNo);
  // Pages in order with the running count before each, per change stamp.
  struct Counts {
    std::vector<int32_t> Pages;
    std::vector<int64_t> Before;
    int64_t Total = 0;
  };
  const Counts& PageCounts(int32_t session);
  TORBBTree& Tree() { return tree_; }
  void CheckIntegrity(int32_t session);

 protected:
  TORBBTree tree_;

 private:
  Counts counts_;
  int64_t countsStamp_ = -1;
  int32_t countsSession_ = -3;
};

class TORBBTreeRecordPageIndex : public TORBBTreePageIndex {
 public:
  TORBBTreeRecordPageIndex(TORBPageManager& pm, int32_t recordsPerPage)
      : TORBBTreePageIndex(pm), RecordsPerPage(recordsPerPage) {}
  int32_t RecordsPerPage;
  bool HasRoom(int32_t value, int32_t n) const override { return value + n <= RecordsPerPage; }
};

class TORBBTreeBlobPageIndex : public TORBBTreePageIndex {
 public:
  explicit TORBBTreeBlobPageIndex(TORBPageManager& pm) : TORBBTreePageIndex(pm), dataSize_(pm.PageDataSize) {}
  bool HasRoom(int32_t value, int32_t n) const override { return value + n < dataSize_ - 2; }

 private:
  int32_t dataSize_;
};

}  // namespace orb
