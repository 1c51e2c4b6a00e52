// Free space: geometry of the allocation map pages (PFS: one bit per page,
// EAM: two bits per extent).
#pragma once
#include <cstdint>
#include <vector>

namespace orb {

struct TORBMapGeometry {
  int64_t D;  // page data size
  int64_t E;  // pages per extent
  int64_t P;  // pages covered by one PFS page
  int64_t X;  // extents covered by one EAM page
  int64_t S;  // pages covered by one EAM page

  TORBMapGeometry(uint16_t pageDataSize, uint16_t extentPageCount)
      : D(pageDataSize), E(extentPageCount), P(8 * D), X(4 * D), S(X * E) {}

  bool IsMapPage(int64_t n) const {
    if (n < 0) return false;
    return n % P == 0 || n % S == 0 || (n >= 1 && (n - 1) % P == 0 && (n - 1) % S == 0);
  }
  int64_t PfsPageOf(int64_t n) const { return (n / P) * P; }
  int64_t PfsPageNo(int64_t k) const { return k * P; }
  int64_t EamPageNo(int64_t k) const { return (k * S) % P == 0 ? k * S + 1 : k * S; }
  int64_t EamIndexOf(int64_t n) const { return n / S; }
};

class TORBDiskPageManager;
class TORBPage;

// Hands out page numbers, takes them back and grows and shrinks the file.
// Map pages are read and written directly, outside sessions and the cache,
// under the database lock; the header is the only state kept between calls.
class TORBDatabaseFreeSpaceManager {
 public:
  explicit TORBDatabaseFreeSpaceManager(TORBDiskPageManager& pm);

  int32_t AllocatePage();
  void FreePage(int32_t pageNo);
  bool IsMapPage(int32_t pageNo) const { return geo_.IsMapPage(pageNo); }
  void CheckNotMapPage(int32_t pageNo) const;
  bool IsPageUsed(int32_t pageNo);
  void MarkPage(int32_t pageNo, bool used);
  int32_t FindLastUsedPage();
  int32_t GrowthStep() const;
  bool RepairScan = false;

  const TORBMapGeometry& Geometry() const { return geo_; }
  // The page count a shrink leaves: whole growth steps of the free tail,
  // fewer where the cut would end the file on a map page.
  static int64_t ShrinkTarget(const TORBMapGeometry& geo, int64_t total, int64_t lastUsed, int64_t growthStep);
  int32_t LastUsedPageNo() const { return lastUsed_; }
  int32_t TotalPageCount() const { return total_; }

 private:
  void ReloadHeader();
  void SaveHeader();
  int32_t FindFreePage();
  int32_t SearchEam(int64_t k);
  int32_t ExtendFile();
  int64_t FirstCandidate(bool empty);
  void ShrinkIfPossible();
  void RefreshExtent(int64_t pageNo);
  void SetPfsBit(int64_t pageNo, bool used, bool strict);
  void ReadMap(TORBPage& page, uint16_t type, int32_t code);
  void WriteNewMap(int64_t pageNo, uint16_t type);

  TORBDiskPageManager& pm_;
  TORBMapGeometry geo_;
  int32_t lastUsed_ = -1;
  int32_t total_ = 0;
  int32_t loadedLast_ = -1;
  int32_t loadedTotal_ = 0;
};

}  // namespace orb
