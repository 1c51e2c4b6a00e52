// The B+-tree shared by record indexes and page indexes: descent, leaf
// positioning, insert with splits, delete with merges and root collapse,
// navigation along key paths, leaf-order counts and the structural check.
// What a key means is left to a TORBBTreeSearch supplied per operation.
#pragma once
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "storage/ORBPageManager.h"
#include "tables/ORBBTreePage.h"

namespace orb {

// Compares one search key with stored entries.
class TORBBTreeSearch {
 public:
  static constexpr int kUndecided = 2;
  virtual ~TORBBTreeSearch() = default;
  // Sign of (search - stored key). In nodes (payload null) it may answer
  // kUndecided when a stored key is a prefix that cannot tell; in leaves it
  // must decide (it may read the entry's record through the payload).
  virtual int Compare(const uint8_t* storedKey, const uint8_t* leafPayload) = 0;
  // With an identity, equal keys are ordered by it: sign of (search id - payload).
  virtual bool HasIdentity() const { return false; }
  virtual int CompareIdentity(const uint8_t* /*leafPayload*/) { return 0; }
};

struct TORBKeyLevel {
  int32_t PageNo = -1;
  int32_t EntryNo = 0;
  int32_t EntryCount = 0;
};

// A position in a tree, root first; the stamp ties it to the tree state it
// was taken in.
struct TORBKeyPath {
  static constexpr int kMaxLevels = 32;
  std::vector<TORBKeyLevel> Levels;
  int64_t Stamp = -1;
  bool Empty() const { return Levels.empty(); }
  const TORBKeyLevel& Leaf() const { return Levels.back(); }
  TORBKeyLevel& Leaf() { return Levels.back(); }
  // Compares two paths of the same tree level by level.
  static int Compare(const TORBKeyPath& a, const TORBKeyPath& b);
};

class TORBBTree {
 public:
  TORBBTree(TORBPageManager& pm, uint16_t keySize, uint16_t leafPayload);

  int32_t RootPageNo = -1;
  uint16_t KeySize() const { return keySize_; }
  uint16_t LeafPayload() const { return leafPayload_; }
  uint32_t LeafEntrySize() const { return keySize_ + leafPayload_; }
  TORBPageManager& PageManager() const { return pm_; }
  // Advanced by every change; caches and key paths are keyed by it.
  int64_t ChangeStamp() const { return stamp_; }
  void Touch() { ++stamp_; }

  void CreateRoot(int32_t session);
  void Drop(int32_t session);
  void Empty(int32_t session);

  // Lower bound: the first leaf entry not less than the search (by key, then
  // identity when the search has one). The path's leaf EntryNo equals the
  // leaf's count when every entry is less.
  TORBKeyPath LowerBound(int32_t session, TORBBTreeSearch& s);
  // The first entry greater than the search (same shape as LowerBound).
  TORBKeyPath UpperBound(int32_t session, TORBBTreeSearch& s);
  // The last entry not greater than the search, or an empty path.
  TORBKeyPath LastNotGreater(int32_t session, TORBBTreeSearch& s);
  // Inserts key+payload at its place (the search describes the same key and
  // identity).
  void Insert(int32_t session, TORBBTreeSearch& s, const uint8_t* key, const uint8_t* payload);
  // Removes the entry at a path that LowerBound returned.
  void RemoveAt(int32_t session, const TORBKeyPath& path);

  TORBKeyPath First(int32_t session);
  TORBKeyPath Last(int32_t session);
  // Moves to the next / previous leaf entry; false at the end.
  bool Next(int32_t session, TORBKeyPath& path);
  bool Prior(int32_t session, TORBKeyPath& path);
  // Whether the path points at an entry (not past a leaf's end).
  static bool AtEntry(const TORBKeyPath& p) { return !p.Empty() && p.Leaf().EntryNo < p.Leaf().EntryCount; }
  // Copies the entry's key and payload.
  void ReadEntry(int32_t session, const TORBKeyPath& path, std::vector<uint8_t>& entry);
  // Rewrites the payload of a leaf entry in place.
  void WritePayload(int32_t session, const TORBKeyPath& path, const uint8_t* payload);

  // Leaf-order numbering: entries before the path's entry, and the path of
  // the n-th entry (0-based), from a per-stamp table of leaf counts.
  int64_t EntriesBefore(int32_t session, const TORBKeyPath& path);
  TORBKeyPath PathOfOrdinal(int32_t session, int64_t n);
  int64_t EntryCount(int32_t session);
  int MaxEntriesPerLeaf() const;
  int Depth(int32_t session);

  // Every leaf entry in order; return false to stop.
  void ForEachEntry(int32_t session, const std::function<bool(const uint8_t* key, const uint8_t* payload)>& fn);
  // Structural check: page kinds, counts, links, cycles; `inOrder` compares
  // neighbouring leaf entries (true when a may precede b); `separatorOk`
  // checks a node separator against the first and last entries beside it.
  void CheckStructure(int32_t session, const std::function<bool(const uint8_t*, const uint8_t*)>& inOrder);

 private:
  TORBBTreePage Page(int32_t session, int32_t pageNo) const;
  void CheckRoot(int32_t code) const;
  // Descends to a leaf choosing, in each node, the last entry the search is
  // definitely above (the leftmost child that could hold it).
  TORBKeyPath Descend(int32_t session, TORBBTreeSearch& s);
  TORBKeyPath DescendEdge(int32_t session, bool last);
  // Whether the search is definitely above node entry i.
  bool Above(int32_t session, TORBBTreeSearch& s, const TORBBTreePage& node, int i, int depth);
  // Moves the path to the first entry of the next leaf in tree order, or
  // returns false; `separator` receives the key that divides the two leaves.
  bool NextLeaf(int32_t session, TORBKeyPath& path, std::vector<uint8_t>* separator);
  bool PriorLeaf(int32_t session, TORBKeyPath& path);
  int LeafLowerBound(const TORBBTreePage& leaf, TORBBTreeSearch& s);
  void InsertIntoPage(int32_t session, TORBKeyPath& path, size_t level, int pos, const uint8_t* entry);
  void SplitRoot(int32_t session, TORBBTreePage& root, std::vector<uint8_t>& all, int count);
  void RemoveFromPage(int32_t session, const TORBKeyPath& path, size_t level, int pos);
  void Rebalance(int32_t session, const TORBKeyPath& path, size_t level);
  void CollapseRoot(int32_t session);
  void Unlink(int32_t session, TORBBTreePage& page);
  void FreeSubtree(int32_t session, int32_t pageNo, bool keepThis, int depth);
  struct LeafTable {
    int64_t Stamp = -1;
    int32_t Session = -3;
    std::vector<int32_t> Pages;
    std::vector<int64_t> Before;  // entries before each leaf
    std::unordered_map<int32_t, size_t> Ordinal;
    int64_t Total = 0;
  };
  const LeafTable& Leaves(int32_t session);

  TORBPageManager& pm_;
  uint16_t keySize_;
  uint16_t leafPayload_;
  int64_t stamp_ = 0;
  LeafTable leaves_;
};

}  // namespace orb
