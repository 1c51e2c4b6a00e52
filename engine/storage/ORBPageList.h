// TORBSortedPageList: a set of pages keyed by page number with a
// least-recently-used order. The list owns its pages.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "storage/ORBPage.h"

namespace orb {

class TORBSortedPageList {
 public:
  TORBSortedPageList() = default;
  ~TORBSortedPageList();
  TORBSortedPageList(const TORBSortedPageList&) = delete;
  TORBSortedPageList& operator=(const TORBSortedPageList&) = delete;

  size_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }
  TORBPage* Find(int32_t pageNo) const;
  // Takes ownership; the page becomes the most recently used. The number
  // must not be listed yet.
  void Insert(std::unique_ptr<TORBPage> page);
  // Removes and returns the page ("TSortedPageList.Delete - ..." when absent).
  std::unique_ptr<TORBPage> Extract(int32_t pageNo);
  void Delete(int32_t pageNo) { Extract(pageNo); }
  // Makes the page the most recently used ("Page not found" when absent).
  void Touch(int32_t pageNo);
  // Least recently used first.
  template <class F>
  void ForEachByAge(F f) const {
    for (Node* n = head_; n; n = n->next) f(n->page.get());
  }
  // The least recently used page that nobody holds, or nullptr.
  TORBPage* LeastRecentlyUsedFree() const {
    for (Node* n = head_; n; n = n->next)
      if (n->page->UseCount == 0) return n->page.get();
    return nullptr;
  }
  TORBPage* LeastRecentlyUsed() const { return head_ ? head_->page.get() : nullptr; }
  // Page numbers in ascending order.
  std::vector<int32_t> SortedPageNos() const;
  void Clear();

 private:
  struct Node {
    std::unique_ptr<TORBPage> page;
    Node* prev = nullptr;
    Node* next = nullptr;
  };
  void Unlink(Node* n);
  void Append(Node* n);

  // Open addressing with linear probing over a power-of-two table at most
  // half full: a lookup is a multiply and, mostly, one cache line, where a
  // node-based map costs a division and a pointer chase. Each page misses
  // the cache through this table several times, so it matters.
  struct Slot {
    int32_t no = 0;
    Node* node = nullptr;  // null: empty
  };
  size_t Home(int32_t no) const {
    return static_cast<size_t>((static_cast<uint32_t>(no) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  size_t SlotOf(int32_t no) const;  // the slot holding no, or the empty one where it would go
  void Grow();
  void EraseSlot(size_t i);

  std::vector<Slot> slots_;
  size_t count_ = 0;
  unsigned shift_ = 64;
  // The node of the last removal: a full cache removes one page for every
  // one it adds, and the add then allocates nothing.
  std::unique_ptr<Node> spare_;
  Node* head_ = nullptr;  // least recently used
  Node* tail_ = nullptr;  // most recently used
};

}  // namespace orb
