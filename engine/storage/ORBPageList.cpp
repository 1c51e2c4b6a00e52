// Page lists: hash lookup by page number plus an intrusive recency list, so
// lookups, touches and eviction candidates cost O(1).
#include "storage/ORBPageList.h"

#include <algorithm>
#include <tuple>

#include "orb/ORBExcept.h"

namespace orb {

TORBSortedPageList::~TORBSortedPageList() { Clear(); }

TORBPage* TORBSortedPageList::Find(int32_t pageNo) const {
  auto it = map_.find(pageNo);
  return it == map_.end() ? nullptr : it->second.page.get();
}

void TORBSortedPageList::Unlink(Node* n) {
  (n->prev ? n->prev->next : head_) = n->next;
  (n->next ? n->next->prev : tail_) = n->prev;
  n->prev = n->next = nullptr;
}

void TORBSortedPageList::Append(Node* n) {
  n->prev = tail_;
  n->next = nullptr;
  (tail_ ? tail_->next : head_) = n;
  tail_ = n;
}

void TORBSortedPageList::Insert(std::unique_ptr<TORBPage> page) {
  const int32_t no = page->PageNo;
  Map::iterator it;
  bool inserted;
  if (spare_) {
    spare_.key() = no;
    auto r = map_.insert(std::move(spare_));
    it = r.position;
    inserted = r.inserted;
    if (!inserted) spare_ = std::move(r.node);
  } else {
    std::tie(it, inserted) = map_.try_emplace(no);
  }
  if (!inserted) throw EORBException::Fmt(31040, "TSortedPageList.Insert - duplicate key = %d", no);
  page->OwnerList = this;
  it->second.page = std::move(page);
  Append(&it->second);
}

std::unique_ptr<TORBPage> TORBSortedPageList::Extract(int32_t pageNo) {
  if (map_.empty()) throw EORBException("TSortedPageList.Delete - no elements in array!", 31041);
  auto it = map_.find(pageNo);
  if (it == map_.end())
    throw EORBException::Fmt(31042, "TSortedPageList.Delete - element not found, key = %d, itemCount = %d", pageNo,
                             map_.size());
  Unlink(&it->second);
  std::unique_ptr<TORBPage> page = std::move(it->second.page);
  spare_ = map_.extract(it);
  page->OwnerList = nullptr;
  return page;
}

void TORBSortedPageList::Touch(int32_t pageNo) {
  auto it = map_.find(pageNo);
  if (it == map_.end()) throw EORBException("Page not found", 31043);
  Unlink(&it->second);
  Append(&it->second);
}

std::vector<int32_t> TORBSortedPageList::SortedPageNos() const {
  std::vector<int32_t> v;
  v.reserve(map_.size());
  for (const auto& [no, node] : map_) v.push_back(no);
  std::sort(v.begin(), v.end());
  return v;
}

void TORBSortedPageList::Clear() {
  map_.clear();
  head_ = tail_ = nullptr;
}

}  // namespace orb
