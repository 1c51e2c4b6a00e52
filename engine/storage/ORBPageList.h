// TORBSortedPageList: a set of pages keyed by page number with a
// least-recently-used order. The list owns its pages.
#pragma once
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "storage/ORBPage.h"

namespace orb {

class TORBSortedPageList {
 public:
  TORBSortedPageList() = default;
  ~TORBSortedPageList();
  TORBSortedPageList(const TORBSortedPageList&) = delete;
  TORBSortedPageList& operator=(const TORBSortedPageList&) = delete;

  size_t Count() const { return map_.size(); }
  bool Empty() const { return map_.empty(); }
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

  // Map elements never move, so the recency links point into the map.
  using Map = std::unordered_map<int32_t, Node>;
  Map map_;
  // The element of the last removal: a full cache removes one page for every
  // one it adds, and the add then allocates nothing.
  Map::node_type spare_;
  Node* head_ = nullptr;  // least recently used
  Node* tail_ = nullptr;  // most recently used
};

}  // namespace orb
