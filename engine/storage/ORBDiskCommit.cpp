// Page manager operations of a database file: allocation through the free
// space maps, the commit protocol, and multi-user cache validity.
#include "orb/ORBExcept.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFreeSpace.h"
#include "storage/ORBPage.h"

#include <utility>
#include <vector>

namespace orb {

int32_t TORBDiskPageManager::GetTotalPageCount() {
  if (!LockDatabase()) throw EORBException("Database is locked", 20236);
  try {
    ReadHeader();
  } catch (...) {
    UnlockDatabase();
    throw;
  }
  UnlockDatabase();
  return header_.TotalPageCount;
}

bool TORBDiskPageManager::IsPageValidForSession(int32_t session, TORBPage& page) {
  if (!MultiUser) return true;
  int32_t version;
  if (!tablePages_.GetCurrentTableVersion(session, &version)) return false;
  const size_t idx = static_cast<size_t>(session + 2);
  return idx < page.SessionMarks.size() && page.SessionMarks[idx].Valid &&
         page.SessionMarks[idx].TableVersion == version;
}

void TORBDiskPageManager::MarkPageValidForSession(int32_t session, TORBPage& page) {
  if (!MultiUser) return;
  int32_t version;
  if (!tablePages_.GetCurrentTableVersion(session, &version)) return;
  const size_t idx = static_cast<size_t>(session + 2);
  if (page.SessionMarks.size() <= idx) page.SessionMarks.resize(idx + 1);
  page.SessionMarks[idx] = {version, true};
}

void TORBDiskPageManager::RefreshPage(TORBPage& page) {
  if (!MultiUser) return;
  const int32_t v = ReadPageVersion(page.PageNo);
  if (v == kFreedPageVersion || v == PageHeader::Version(page.PageBuffer)) {
    PageHeader::SetVersion(page.PageBuffer, v);
    return;
  }
  ReadPage(page);
}

void TORBDiskPageManager::AllocatePage(TORBPage& page) {
  page.PageNo = FreeSpace().AllocatePage();
  page.AllocateBuffer();
  page.InitPageHeader();
}

void TORBDiskPageManager::FreePage(int32_t pageNo) {
  FreeSpace().CheckNotMapPage(pageNo);
  WritePageVersion(pageNo, kFreedPageVersion);
  FreeSpace().FreePage(pageNo);
}

void TORBDiskPageManager::RemovePage(int32_t session, int32_t pageNo) {
  FreeSpace().CheckNotMapPage(pageNo);
  TORBPageManager::RemovePage(session, pageNo);
}

TORBPage* TORBDiskPageManager::GetPage(int32_t session, int32_t pageNo, bool validate, uint8_t expectedType) {
  FreeSpace().CheckNotMapPage(pageNo);
  return TORBPageManager::GetPage(session, pageNo, validate, expectedType);
}

void TORBDiskPageManager::ApplyChanges(int32_t session) {
  if (!HasUncommittedPages(session)) return;
  if (needsRecovery_)
    throw EORBException("Database needs recovery after a failed commit. Reopen it to recover", 31072);
  // Everything that can refuse the commit is checked before the file is touched.
  CheckCommit(session);
  TORBDatabaseLock lock(*this, 20213);
  journal_.Begin();
  try {
    // The ranges a commit surely overwrites are journaled with one flush;
    // anything else is journaled on its first write.
    std::vector<std::pair<int64_t, int64_t>> ranges{{headerBase_, kHeaderSize}};
    const TORBSessionPages* sp = SessionPages(session);
    const TORBMapGeometry geo(PageDataSize, header_.ExtentPageCount);
    for (int32_t no : sp->DirtyList.SortedPageNos())
      if (no < header_.TotalPageCount) ranges.emplace_back(PageOffset(no), PageSize);
    for (int32_t no : sp->RemovedPages) {
      if (no < 0 || no >= header_.TotalPageCount) continue;
      ranges.emplace_back(PageOffset(no), PageSize);
      ranges.emplace_back(PageOffset(static_cast<int32_t>(geo.PfsPageOf(no))), PageSize);
      ranges.emplace_back(PageOffset(static_cast<int32_t>(geo.EamPageNo(geo.EamIndexOf(no)))), PageSize);
    }
    journal_.Protect(ranges);

    ReadHeader();
    // A commit that failed part-way without a journal to undo it left the
    // file marked as being written; later commits must not hide that.
    const bool damaged = header_.FileState != kFileStateConsistent;
    header_.FileState = kFileStateWriting;
    WriteHeader();
    ApplyCheckedChanges(session);
    ++header_.ChangeCounter;
    header_.FileState = damaged ? kFileStateWriting : kFileStateConsistent;
    WriteHeader();
    journal_.Commit();
  } catch (...) {
    // Back to the last committed state: on disk from the journal, in memory
    // by forgetting the transaction and every cached page.
    if (!journal_.Rollback()) needsRecovery_ = true;
    DiscardSession(session);
    InvalidateCache();
    try {
      ReadHeader();
    } catch (...) {
    }
    throw;
  }
}

}  // namespace orb
