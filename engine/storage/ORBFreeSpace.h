// Free space: geometry of the allocation map pages (PFS: one bit per page,
// EAM: two bits per extent).
#pragma once
#include <cstdint>

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

}  // namespace orb
