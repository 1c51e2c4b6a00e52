// Allocation maps: which pages are in use (PFS, a bit per page) and which
// extents may have room (EAM, two bits per extent); growing and shrinking.
#include "storage/ORBFreeSpace.h"

#include <algorithm>

#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBPage.h"

namespace orb {

namespace {

std::string TypeText(uint16_t type) { return type <= ptTableIndex ? PageTypeName(type) : "Unknown Page"; }

}  // namespace

TORBDatabaseFreeSpaceManager::TORBDatabaseFreeSpaceManager(TORBDiskPageManager& pm)
    : pm_(pm), geo_(pm.PageDataSize, pm.Header().ExtentPageCount) {
  lastUsed_ = pm.Header().LastUsedPageNo;
  total_ = pm.Header().TotalPageCount;
}

void TORBDatabaseFreeSpaceManager::CheckNotMapPage(int32_t pageNo) const {
  if (IsMapPage(pageNo)) throw EORBException::Fmt(30434, "Cannot delete PFS or EAM page. PageNo=%d", pageNo);
}

int32_t TORBDatabaseFreeSpaceManager::GrowthStep() const {
  if (total_ <= 0) return 6;
  return std::max<int32_t>(total_ / 10, static_cast<int32_t>(geo_.E));
}

void TORBDatabaseFreeSpaceManager::ReloadHeader() {
  pm_.ReadHeader();
  lastUsed_ = pm_.Header().LastUsedPageNo;
  total_ = pm_.Header().TotalPageCount;
  loadedLast_ = lastUsed_;
  loadedTotal_ = total_;
}

void TORBDatabaseFreeSpaceManager::SaveHeader() {
  if (lastUsed_ == loadedLast_ && total_ == loadedTotal_) return;
  pm_.Header().LastUsedPageNo = lastUsed_;
  pm_.Header().TotalPageCount = total_;
  pm_.WriteHeader();
  loadedLast_ = lastUsed_;
  loadedTotal_ = total_;
}

void TORBDatabaseFreeSpaceManager::ReadMap(TORBPage& page, uint16_t type, int32_t code) {
  page.AllocateBuffer();
  const bool read = page.PageNo < total_ && pm_.ReadPage(page);
  const uint16_t found = read ? PageHeader::Type(page.PageBuffer) : uint16_t{ptUnknown};
  if (found != type)
    throw EORBException::Fmt(code, "Wrong page type. Found '%s', but wanted: '%s'", TypeText(found), TypeText(type));
}

void TORBDatabaseFreeSpaceManager::WriteNewMap(int64_t pageNo, uint16_t type) {
  TORBPage page(&pm_, static_cast<int32_t>(pageNo), kSystemSession);
  page.AllocateBuffer();
  page.InitPageHeader();
  PageHeader::SetType(page.PageBuffer, type);
  PageHeader::SetVersion(page.PageBuffer, static_cast<int32_t>(RandomRange(0, kMaxNewPageVersion)));
  page.Data()[0] = 1;
  pm_.WritePage(page);
}

template <class F>
static auto WithLockAndHeader(TORBDiskPageManager& pm, int32_t lockCode, F f) {
  TORBDatabaseLock lock(pm, lockCode);
  return f();
}

int32_t TORBDatabaseFreeSpaceManager::AllocatePage() {
  return WithLockAndHeader(pm_, 20231, [&] {
    ReloadHeader();
    int32_t result;
    try {
      result = FindFreePage();
      if (result == -1) result = ExtendFile();
      if (result > lastUsed_) lastUsed_ = result;
    } catch (...) {
      SaveHeader();
      throw;
    }
    SaveHeader();
    return result;
  });
}

void TORBDatabaseFreeSpaceManager::FreePage(int32_t pageNo) {
  WithLockAndHeader(pm_, 20232, [&] {
    ReloadHeader();
    try {
      MarkPage(pageNo, false);
      lastUsed_ = FindLastUsedPage();
      ShrinkIfPossible();
    } catch (...) {
      SaveHeader();
      throw;
    }
    SaveHeader();
    return 0;
  });
}

int32_t TORBDatabaseFreeSpaceManager::FindFreePage() {
  if (lastUsed_ == -1 || total_ <= 0) return -1;
  const int64_t lastEam = (total_ - 1) / geo_.S;
  int32_t found = SearchEam(lastEam);
  for (int64_t k = 0; found == -1 && k < lastEam; ++k) found = SearchEam(k);
  if (found != -1) MarkPage(found, true);
  return found;
}

int32_t TORBDatabaseFreeSpaceManager::SearchEam(int64_t k) {
  TORBPage eam(&pm_, static_cast<int32_t>(geo_.EamPageNo(k)), kSystemSession);
  ReadMap(eam, ptEAM, 30423);
  const uint8_t* d = eam.Data();
  int64_t x = -1;
  for (int64_t i = 0; i < geo_.D && x < 0; ++i) {
    if (d[i] == 0xFF) continue;
    for (int pair = 0; pair < 4; ++pair)
      if (!((d[i] >> (2 * pair)) & 2)) {
        x = k * geo_.X + i * 4 + pair;
        break;
      }
  }
  if (x < 0) return -1;
  const int64_t firstPfs = (x * geo_.E) / geo_.P;
  int64_t lastPfs = ((x + 1) * geo_.E - 1) / geo_.P;
  if (geo_.PfsPageNo(firstPfs) >= total_) return -1;
  while (lastPfs > firstPfs && geo_.PfsPageNo(lastPfs) >= total_) --lastPfs;
  for (int64_t f = firstPfs; f <= lastPfs; ++f) {
    TORBPage pfs(&pm_, static_cast<int32_t>(geo_.PfsPageNo(f)), kSystemSession);
    ReadMap(pfs, ptPFS, 30423);
    const uint8_t* b = pfs.Data();
    for (int64_t i = 0; i < geo_.D; ++i) {
      if (b[i] == 0xFF) continue;
      int bit = 0;
      while ((b[i] >> bit) & 1) ++bit;
      const int64_t n = f * geo_.P + i * 8 + bit;
      return n < total_ ? static_cast<int32_t>(n) : -1;
    }
  }
  return -1;
}

int32_t TORBDatabaseFreeSpaceManager::ExtendFile() {
  const bool empty = lastUsed_ == -1;
  const int64_t prevLastPfs = empty ? -1 : (total_ - 1) / geo_.P;
  const int64_t prevLastEam = empty ? -1 : (total_ - 1) / geo_.S;
  const int64_t candidate = FirstCandidate(empty);
  int64_t n = GrowthStep();
  if (candidate >= total_ + n) n = candidate - total_ + 1;
  while (geo_.IsMapPage(total_ + n - 1)) ++n;  // never end the file on a map page
  if (total_ + n > INT32_MAX) throw EORBException("Database file cannot grow any further", 31060);
  const int32_t before = total_;
  const int64_t lastPfs = (total_ + n - 1) / geo_.P, lastEam = (total_ + n - 1) / geo_.S;
  try {
    pm_.ResizeToPages(static_cast<int32_t>(total_ + n));
    total_ = static_cast<int32_t>(total_ + n);
    for (int64_t k = prevLastPfs + 1; k <= lastPfs; ++k) WriteNewMap(geo_.PfsPageNo(k), ptPFS);
    for (int64_t k = prevLastEam + 1; k <= lastEam; ++k) WriteNewMap(geo_.EamPageNo(k), ptEAM);
    for (int64_t k = prevLastEam + 1; k <= lastEam; ++k) SetPfsBit(geo_.EamPageNo(k), true, false);
    for (int64_t k = prevLastPfs + 1; k <= lastPfs; ++k) RefreshExtent(geo_.PfsPageNo(k));
  } catch (...) {
    // The header is saved even on failure; it must not count pages whose map
    // pages were never written, or every later search would trip over them.
    // Whatever did reach the tail is rewritten when the file grows again.
    total_ = before;
    pm_.Header().TotalPageCount = before;
    try {
      pm_.ResizeToPages(before);
    } catch (...) {
    }
    throw;
  }
  MarkPage(static_cast<int32_t>(candidate), true);
  return static_cast<int32_t>(candidate);
}

int64_t TORBDatabaseFreeSpaceManager::FirstCandidate(bool empty) {
  // Past LastUsedPageNo a set bit can only be a page whose allocation failed
  // before the header was written: leave it leaked. Marking it again would
  // fail as already used, on every allocation from then on.
  TORBPage pfs(&pm_, -1, kSystemSession);
  int64_t loadedPfs = -1;
  for (int64_t candidate = static_cast<int64_t>(lastUsed_) + 1;; ++candidate) {
    if (geo_.IsMapPage(candidate)) continue;
    const int64_t pfsNo = geo_.PfsPageOf(candidate);
    if (empty || pfsNo >= total_) return candidate;  // that PFS page is written afresh
    if (pfsNo != loadedPfs) {
      pfs.PageNo = static_cast<int32_t>(pfsNo);
      ReadMap(pfs, ptPFS, 30424);
      loadedPfs = pfsNo;
    }
    const int64_t bit = candidate % geo_.P;
    if (!((pfs.Data()[bit / 8] >> (bit % 8)) & 1)) return candidate;
  }
}

void TORBDatabaseFreeSpaceManager::SetPfsBit(int64_t n, bool used, bool strict) {
  TORBPage pfs(&pm_, static_cast<int32_t>(geo_.PfsPageOf(n)), kSystemSession);
  ReadMap(pfs, ptPFS, 30424);
  const int64_t bit = n % geo_.P;
  uint8_t& byte = pfs.Data()[bit / 8];
  const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
  if (strict && used && (byte & mask)) throw EORBException::Fmt(30425, "Page: %d already used", n);
  if (strict && !used && !(byte & mask)) throw EORBException::Fmt(30427, "Page: %d already free", n);
  const uint8_t before = byte;
  byte = used ? (byte | mask) : (byte & ~mask);
  if (byte != before) pm_.WritePage(pfs);
}

void TORBDatabaseFreeSpaceManager::MarkPage(int32_t pageNo, bool used) {
  if (pageNo < 0 || pageNo >= total_)
    throw EORBException::Fmt(30430, "Page: %d cannot be addressed. TotalPageCount=%d", pageNo, total_);
  SetPfsBit(pageNo, used, true);
  RefreshExtent(pageNo);
}

void TORBDatabaseFreeSpaceManager::RefreshExtent(int64_t pageNo) {
  if (pageNo < 0 || pageNo >= total_)
    throw EORBException::Fmt(30431, "Page: %d cannot be addressed. TotalPageCount=%d", pageNo, total_);
  const int64_t x = pageNo / geo_.E;
  const int64_t first = x * geo_.E, end = std::min<int64_t>((x + 1) * geo_.E, total_);
  bool seenUsed = false, seenFree = false;
  // Pages are classified as IsPageUsed does (a PFS page above LastUsedPageNo
  // counts as all free, unread), but each PFS page is read only once.
  int64_t loadedPfs = -1;
  TORBPage pfs(&pm_, -1, kSystemSession);
  for (int64_t n = first; n < end && !(seenUsed && seenFree); ++n) {
    const int64_t pfsNo = geo_.PfsPageOf(n);
    bool used = false;
    if (pfsNo <= lastUsed_) {
      if (pfsNo != loadedPfs) {
        pfs.PageNo = static_cast<int32_t>(pfsNo);
        ReadMap(pfs, ptPFS, 30430);
        loadedPfs = pfsNo;
      }
      const int64_t bit = n % geo_.P;
      used = (pfs.Data()[bit / 8] >> (bit % 8)) & 1;
    }
    (used ? seenUsed : seenFree) = true;
  }
  const uint8_t value = first >= end ? 0 : (seenUsed && !seenFree ? 3 : 1);
  TORBPage eam(&pm_, static_cast<int32_t>(geo_.EamPageNo(x / geo_.X)), kSystemSession);
  ReadMap(eam, ptEAM, 30428);
  const int64_t e = x % geo_.X;
  uint8_t& byte = eam.Data()[e / 4];
  const int shift = static_cast<int>(2 * (e % 4));
  const uint8_t before = byte;
  byte = static_cast<uint8_t>((byte & ~(3u << shift)) | (value << shift));
  if (byte != before) pm_.WritePage(eam);
}

bool TORBDatabaseFreeSpaceManager::IsPageUsed(int32_t pageNo) {
  if (pageNo < 0 || pageNo >= total_) return false;
  if (geo_.PfsPageOf(pageNo) > lastUsed_) return false;
  TORBPage pfs(&pm_, static_cast<int32_t>(geo_.PfsPageOf(pageNo)), kSystemSession);
  ReadMap(pfs, ptPFS, 30430);
  const int64_t bit = pageNo % geo_.P;
  return (pfs.Data()[bit / 8] >> (bit % 8)) & 1;
}

int32_t TORBDatabaseFreeSpaceManager::FindLastUsedPage() {
  if (lastUsed_ == -1 || total_ <= 0) return -1;
  for (int64_t f = (total_ - 1) / geo_.P; f >= 0; --f) {
    TORBPage pfs(&pm_, static_cast<int32_t>(geo_.PfsPageNo(f)), kSystemSession);
    ReadMap(pfs, ptPFS, 30432);
    const uint8_t* b = pfs.Data();
    for (int64_t i = geo_.D - 1; i >= 0; --i) {
      if (!b[i]) continue;
      for (int bit = 7; bit >= 0; --bit) {
        const int64_t n = f * geo_.P + i * 8 + bit;
        if ((b[i] >> bit) & 1 && n < total_ && !geo_.IsMapPage(n)) return static_cast<int32_t>(n);
      }
    }
  }
  return -1;
}

int64_t TORBDatabaseFreeSpaceManager::ShrinkTarget(const TORBMapGeometry& geo, int64_t total, int64_t lastUsed,
                                                   int64_t growthStep) {
  const int64_t tail = total - lastUsed - 1;
  if (growthStep <= 0 || tail < growthStep) return total;
  int64_t newTotal = total - (tail / growthStep) * growthStep;
  // Never end on a map page: that would cut off its partner map page (or
  // leave a map page where the next growth expects a data page).
  while (newTotal > 0 && newTotal < total && geo.IsMapPage(newTotal - 1)) ++newTotal;
  return newTotal;
}

void TORBDatabaseFreeSpaceManager::ShrinkIfPossible() {
  const int64_t newTotal = ShrinkTarget(geo_, total_, lastUsed_, GrowthStep());
  if (newTotal >= total_) return;
  // Header first: a crash in between leaves a harmless unused tail, never a
  // header that counts pages the file does not have.
  total_ = static_cast<int32_t>(newTotal);
  SaveHeader();
  pm_.ResizeToPages(total_);
}

}  // namespace orb
