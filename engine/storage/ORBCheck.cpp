// Storage integrity check used by `orb check` and the tests.
#include "storage/ORBCheck.h"

#include <algorithm>
#include <cstring>

#include "orb/ORBExcept.h"
#include "orb/ORBFormat.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFreeSpace.h"
#include "storage/ORBPage.h"
#include "storage/ORBSystemFiles.h"

#include <set>

namespace orb {

std::vector<std::string> CheckStorage(TORBDiskPageManager& pm, int64_t* leakedPages) {
  if (leakedPages) *leakedPages = 0;
  std::vector<std::string> problems;
  auto report = [&](std::string s) { problems.push_back(std::move(s)); };
  pm.ReadHeader();
  const TORBFileHeader h = pm.Header();
  const TORBMapGeometry g(pm.PageDataSize, h.ExtentPageCount);
  const int64_t expectedSize = pm.PageBase() + int64_t{h.TotalPageCount} * pm.PageSize;
  const int64_t size = pm.File().GetSize();
  if (size != expectedSize)
    report(ORBFormat("file size %d does not match %d pages (expected %d bytes)", size, h.TotalPageCount, expectedSize));
  // A damaged header may claim far more pages than the file holds: look only
  // at the pages that exist, so the check stays bounded by the file.
  const int64_t held = size > pm.PageBase() ? (size - pm.PageBase()) / pm.PageSize : 0;
  const int64_t total = std::min<int64_t>(h.TotalPageCount, held);
  if (h.FileState != kFileStateConsistent) report(ORBFormat("file state is %d: a commit was not completed", h.FileState));
  if (total == 0) {
    if (h.LastUsedPageNo != -1) report(ORBFormat("LastUsedPageNo %d in a file without pages", h.LastUsedPageNo));
    return problems;
  }
  if (g.IsMapPage(total - 1)) report(ORBFormat("the file ends with allocation map page %d", total - 1));

  // Map pages first: a damaged one makes every bit it holds meaningless.
  std::vector<std::vector<uint8_t>> pfs, eam;
  auto loadMap = [&](int64_t pageNo, uint16_t type, std::vector<std::vector<uint8_t>>& into) {
    TORBPage page(&pm, static_cast<int32_t>(pageNo), kSystemSession);
    page.AllocateBuffer();
    if (pageNo >= total || !pm.ReadPage(page)) {
      report(ORBFormat("allocation map page %d (%s) cannot be read", pageNo, PageTypeName(type)));
      into.emplace_back();
      return;
    }
    if (PageHeader::Type(page.PageBuffer) != type || std::memcmp(page.PageBuffer, "ORBP", 4) != 0) {
      report(ORBFormat("page %d should be a %s but has type %d", pageNo, PageTypeName(type),
                       PageHeader::Type(page.PageBuffer)));
      into.emplace_back();
      return;
    }
    into.emplace_back(page.Data(), page.Data() + page.DataSize());
  };
  for (int64_t k = 0; k * g.P < total; ++k) loadMap(g.PfsPageNo(k), ptPFS, pfs);
  for (int64_t k = 0; k * g.S < total; ++k) loadMap(g.EamPageNo(k), ptEAM, eam);

  auto pfsBit = [&](int64_t n) -> int {
    const auto& m = pfs[n / g.P];
    if (m.empty()) return -1;
    int64_t bit = n % g.P;
    return (m[bit / 8] >> (bit % 8)) & 1;
  };

  int64_t lastUsed = -1;
  std::vector<bool> used(total);
  int reported = 0;
  auto limited = [&](std::string s) {
    if (++reported <= 200) report(std::move(s));
  };
  for (int64_t n = 0; n < total; ++n) {
    int bit = pfsBit(n);
    if (bit < 0) continue;
    used[n] = bit == 1;
    if (g.IsMapPage(n)) {
      if (!bit) limited(ORBFormat("allocation map page %d is marked free", n));
      continue;
    }
    if (!bit) continue;
    lastUsed = n;
    TORBPage page(&pm, static_cast<int32_t>(n), 0);
    page.AllocateBuffer();
    uint8_t head[kPageHeaderSize];
    if (pm.File().ReadBuffer(head, pm.PageOffset(static_cast<int32_t>(n)), kPageHeaderSize) &&
        std::all_of(head, head + kPageHeaderSize, [](uint8_t b) { return b == 0; })) {
      if (leakedPages) ++*leakedPages;  // allocated, never written
      continue;
    }
    // Lock tables are written byte by byte in the clear, never encrypted.
    const uint16_t rawType = GetLE<uint16_t>(head + PageHeader::kType);
    page.EncryptOnWrite = rawType != ptActiveSessionList && rawType != ptTableLocks;
    try {
      if (!pm.ReadPage(page)) {
        limited(ORBFormat("page %d is marked used but cannot be read", n));
        continue;
      }
    } catch (const EORBException& e) {
      limited(e.Text());
      continue;
    }
    const uint16_t type = PageHeader::Type(page.PageBuffer);
    if (std::memcmp(page.PageBuffer, "ORBP", 4) != 0)
      limited(ORBFormat("page %d is marked used but has no page signature", n));
    else if (type < ptFileSystemDirectory || type > ptTableIndex)
      limited(ORBFormat("page %d is marked used but has page type %d", n, type));
  }
  if (lastUsed != h.LastUsedPageNo)
    report(ORBFormat("LastUsedPageNo is %d but the last used page is %d", h.LastUsedPageNo, lastUsed));

  // An extent marked full must have no free page.
  for (int64_t x = 0; x * g.E < total; ++x) {
    const auto& m = eam[x / g.X];
    if (m.empty()) continue;
    int64_t e = x % g.X;
    int v = (m[e / 4] >> (2 * (e % 4))) & 3;
    if (!(v & 2)) continue;
    for (int64_t n = x * g.E; n < std::min(total, (x + 1) * g.E); ++n)
      if (!used[n]) {
        limited(ORBFormat("extent %d is marked full but page %d is free", x, n));
        break;
      }
  }
  return problems;
}

namespace {

// Follows one internal file's chain from its first page, reading headers
// (and, for transacted files, the stored size) page by page.
void CheckChain(TORBDiskPageManager& pm, const std::string& what, int32_t start, uint16_t type, bool direct,
                std::vector<std::string>& problems) {
  const int32_t total = pm.Header().TotalPageCount;
  auto& fs = pm.FreeSpace();
  std::set<int32_t> seen;
  int64_t stored = -1, pages = 0;
  for (int32_t no = start; no != -1; ++pages) {
    if (no < 0 || no >= total || fs.IsMapPage(no)) {
      problems.push_back(ORBFormat("%s: chain points at page %d outside the file", what, no));
      return;
    }
    if (!seen.insert(no).second) {
      problems.push_back(ORBFormat("%s: chain loops back to page %d", what, no));
      return;
    }
    if (!fs.IsPageUsed(no)) problems.push_back(ORBFormat("%s: page %d is marked free", what, no));
    TORBPage page(&pm, no, kSystemSession);
    page.AllocateBuffer();
    page.EncryptOnWrite = !direct;
    try {
      if (!pm.ReadPage(page)) {
        problems.push_back(ORBFormat("%s: page %d cannot be read", what, no));
        return;
      }
    } catch (const EORBException& e) {
      problems.push_back(what + ": " + e.Text());
      return;
    }
    const uint16_t found = PageHeader::Type(page.PageBuffer);
    if (found != type) {
      problems.push_back(ORBFormat("%s: page %d has type %d, expected %d", what, no, found, type));
      return;
    }
    if (no == start) stored = GetLE<int32_t>(page.Data() + 1);
    no = PageHeader::NextPageNo(page.PageBuffer);
  }
  const int64_t needed = std::max<int64_t>(1, (stored + kInternalFileHeaderSize + pm.PageDataSize - 1) / pm.PageDataSize);
  if (stored < 0 || pages < needed)
    problems.push_back(ORBFormat("%s: chain of %d pages is too short for its stored size %d", what, pages, stored));
}

}  // namespace

std::vector<std::string> CheckSystemFiles(TORBDiskPageManager& pm) {
  std::vector<std::string> problems;
  pm.ReadHeader();
  if (pm.Header().TotalPageCount <= kSystemDirectoryPageNo) return problems;
  CheckChain(pm, "system directory", kSystemDirectoryPageNo, ptFileSystemDirectory, false, problems);
  if (!problems.empty()) return problems;
  TORBSystemFiles sys(pm);
  try {
    sys.Directory.Open();
  } catch (const EORBException& e) {
    problems.push_back("system directory: " + e.Text());
    return problems;
  }
  const int32_t sessions = sys.Directory.FindEntry(kActiveSessionsEntryId);
  const int32_t tables = sys.Directory.FindEntry(kTableListEntryId);
  if (sessions < 0) problems.push_back("system directory has no active sessions file");
  else CheckChain(pm, "active sessions file", sessions, ptActiveSessionList, true, problems);
  if (tables < 0) {
    problems.push_back("system directory has no table list");
    return problems;
  }
  const size_t before = problems.size();
  CheckChain(pm, "table list", tables, ptTableList, false, problems);
  if (problems.size() != before) return problems;
  try {
    sys.TableList.Open(tables);
    sys.TableList.Load();
  } catch (const EORBException& e) {
    problems.push_back("table list: " + e.Text());
    return problems;
  }
  for (const auto& t : sys.TableList.Entries()) {
    // Appends, not operator+: GCC 12 warns falsely (-Wrestrict) on the latter.
    const auto label = [&](const char* what) { return std::string("table '").append(t.Name).append("' ").append(what); };
    CheckChain(pm, label("metadata"), t.MetaDataPageNo, ptTableMetaData, false, problems);
    CheckChain(pm, label("header data"), t.HeaderDataPageNo, ptTableMostUpdated, false, problems);
    CheckChain(pm, label("locks"), t.LocksPageNo, ptTableLocks, true, problems);
  }
  return problems;
}

}  // namespace orb
