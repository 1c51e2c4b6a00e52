// Page lists: hash lookup by page number plus an intrusive recency list, so
// lookups, touches and eviction candidates cost O(1).
#include "storage/ORBPageList.h"

#include <algorithm>

#include "orb/ORBExcept.h"

namespace orb {

TORBSortedPageList::~TORBSortedPageList() { Clear(); }

size_t TORBSortedPageList::SlotOf(int32_t no) const {
  const size_t mask = slots_.size() - 1;
  size_t i = Home(no);
  while (slots_[i].node && slots_[i].no != no) i = (i + 1) & mask;
  return i;
}

TORBPage* TORBSortedPageList::Find(int32_t pageNo) const {
  if (count_ == 0) return nullptr;
  const Slot& s = slots_[SlotOf(pageNo)];
  return s.node ? s.node->page.get() : nullptr;
}

void TORBSortedPageList::Grow() {
  std::vector<Slot> old = std::move(slots_);
  const size_t size = old.empty() ? 16 : old.size() * 2;
  slots_.assign(size, Slot{});
  shift_ = 64;
  for (size_t n = size; n > 1; n >>= 1) --shift_;
  for (const Slot& s : old)
    if (s.node) slots_[SlotOf(s.no)] = s;
}

// Backward-shift deletion: later entries of the probe run move up so that no
// lookup meets a hole before its entry.
void TORBSortedPageList::EraseSlot(size_t i) {
  const size_t mask = slots_.size() - 1;
  for (size_t j = (i + 1) & mask; slots_[j].node; j = (j + 1) & mask) {
    const size_t home = Home(slots_[j].no);
    // The entry at j may fill the hole at i unless its home lies cyclically in (i, j].
    const bool stays = i < j ? (home > i && home <= j) : (home > i || home <= j);
    if (stays) continue;
    slots_[i] = slots_[j];
    i = j;
  }
  slots_[i] = Slot{};
  --count_;
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
  if ((count_ + 1) * 2 > slots_.size()) Grow();
  const size_t i = SlotOf(no);
  if (slots_[i].node) throw EORBException::Fmt(31040, "TSortedPageList.Insert - duplicate key = %d", no);
  std::unique_ptr<Node> node = spare_ ? std::move(spare_) : std::make_unique<Node>();
  page->OwnerList = this;
  node->page = std::move(page);
  slots_[i] = {no, node.get()};
  ++count_;
  Append(node.release());
}

std::unique_ptr<TORBPage> TORBSortedPageList::Extract(int32_t pageNo) {
  if (count_ == 0) throw EORBException("TSortedPageList.Delete - no elements in array!", 31041);
  const size_t i = SlotOf(pageNo);
  Node* node = slots_[i].node;
  if (!node)
    throw EORBException::Fmt(31042, "TSortedPageList.Delete - element not found, key = %d, itemCount = %d", pageNo,
                             count_);
  Unlink(node);
  EraseSlot(i);
  spare_.reset(node);
  std::unique_ptr<TORBPage> page = std::move(node->page);
  page->OwnerList = nullptr;
  return page;
}

void TORBSortedPageList::Touch(int32_t pageNo) {
  Node* node = count_ ? slots_[SlotOf(pageNo)].node : nullptr;
  if (!node) throw EORBException("Page not found", 31043);
  Unlink(node);
  Append(node);
}

std::vector<int32_t> TORBSortedPageList::SortedPageNos() const {
  std::vector<int32_t> v;
  v.reserve(count_);
  for (const Slot& s : slots_)
    if (s.node) v.push_back(s.no);
  std::sort(v.begin(), v.end());
  return v;
}

void TORBSortedPageList::Clear() {
  for (Node* n = head_; n;) {
    Node* next = n->next;
    delete n;
    n = next;
  }
  slots_.clear();
  count_ = 0;
  shift_ = 64;
  head_ = tail_ = nullptr;
}

}  // namespace orb
