// The per-table map from page number to a 16-bit count about that page:
// records on a record page, bytes used on a shared BLOB page. The B-tree page
// indexes implement it; record and BLOB managers only see this interface.
#pragma once
#include <cstdint>
#include <functional>

namespace orb {

class TORBPageCountIndex {
 public:
  virtual ~TORBPageCountIndex() = default;

  // -1 before the root exists.
  virtual int32_t RootPageNo() const = 0;
  virtual void SetRoot(int32_t rootPageNo) = 0;
  // Allocates an empty root in the session.
  virtual void CreateRoot(int32_t session) = 0;
  // Frees every page of the index, the root included.
  virtual void Drop(int32_t session) = 0;
  // Frees every page but the root, which becomes an empty leaf.
  virtual void Empty(int32_t session) = 0;

  // Whether a page whose value is `value` can take `n` more.
  virtual bool HasRoom(int32_t value, int32_t n) const = 0;
  // Searches backwards from the last entry over as many entries as the last
  // leaf holds, then forwards from the first over as many as the first leaf
  // holds; the first page with room for n, or -1.
  virtual int32_t FindPageWithRoom(int32_t session, int32_t n) = 0;
  // Adds the page with value `delta`, or adds `delta` to its value ("Cannot
  // add data item to page. Page is full" when it has no room).
  virtual void AddOrIncrease(int32_t session, int32_t pageNo, int32_t delta) = 0;
  // newValue < 0: value -= delta; otherwise value = newValue. A resulting 0
  // removes the page's entry. The page must be present.
  virtual void DecreaseOrSet(int32_t session, int32_t pageNo, int32_t delta, int32_t newValue) = 0;
  // The page's value, or -1 when the page is not in the index.
  virtual int32_t GetValue(int32_t session, int32_t pageNo) = 0;
  // Every (page, value) in ascending page order; return false to stop.
  virtual void ForEach(int32_t session, const std::function<bool(int32_t pageNo, int32_t value)>& fn) = 0;
};

}  // namespace orb
