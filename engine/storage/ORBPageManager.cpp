// Session-private page changes, commit and rollback, and the shared cache.
#include "storage/ORBPageManager.h"

#include <algorithm>
#include <cstring>

#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBMemory.h"
#include "storage/ORBPage.h"

namespace orb {

namespace {

int32_t DefaultCacheCapacity() {
  int64_t byMemory = TORBMemoryManager::Instance().AvailableMemory() / 65536;
  return static_cast<int32_t>(std::clamp<int64_t>(byMemory, 1, 1000));
}

}  // namespace

TORBPageManager::TORBPageManager() : cacheCapacity_(DefaultCacheCapacity()) {}

TORBPageManager::~TORBPageManager() { DropAllPages(); }

void TORBPageManager::DropAllPages() {
  sessions_.clear();
  sharedCache_.Clear();
  loose_.clear();
}

void TORBPageManager::DiscardSession(int32_t session) {
  TORBSessionPages* sp = FindSession(session);
  if (!sp) return;
  sp->DirtyList.Clear();
  sp->NewPages.clear();
  sp->RemovedPages.clear();
}

void TORBPageManager::InvalidateCache() {
  for (int32_t no : sharedCache_.SortedPageNos()) DropCached(no);
}

bool TORBPageManager::IsPageValidForSession(int32_t, TORBPage&) { return false; }
void TORBPageManager::MarkPageValidForSession(int32_t, TORBPage&) {}
void TORBPageManager::LoadFromStream(TORBStream&) {}
void TORBPageManager::SaveToStream(TORBStream&) {}
void TORBPageManager::RefreshPage(TORBPage&) {}

TORBSessionPages* TORBPageManager::FindSession(int32_t session) {
  auto it = sessions_.find(session);
  return it == sessions_.end() ? nullptr : it->second.get();
}

const TORBSessionPages* TORBPageManager::SessionPages(int32_t session) const {
  auto it = sessions_.find(session);
  return it == sessions_.end() ? nullptr : it->second.get();
}

TORBSessionPages& TORBPageManager::Session(int32_t session) {
  if (session == kInvalidSession) throw EORBException("Invalid Session ID", 20186);
  auto& slot = sessions_[session];
  if (!slot) {
    slot = std::make_unique<TORBSessionPages>();
    slot->SessionID = session;
  }
  return *slot;
}

bool TORBPageManager::HasUncommittedPages(int32_t session) const {
  const TORBSessionPages* s = SessionPages(session);
  return s && (!s->DirtyList.Empty() || !s->NewPages.empty() || !s->RemovedPages.empty());
}

void TORBPageManager::CheckAllCommitted() const {
  for (const auto& [no, s] : sessions_)
    if (!s->DirtyList.Empty()) throw EORBException("Cannot free not commited pages", 20097);
}

TORBPage* TORBPageManager::GetPage(int32_t session, int32_t pageNo, bool validate, uint8_t expectedType) {
  TORBSessionPages& sp = Session(session);
  TORBPage* page = sp.DirtyList.Find(pageNo);
  if (!page) {
    page = sharedCache_.Find(pageNo);
    if (page) {
      // Ownership first: another session's page is neither refreshed nor handed out.
      if (page->UseCount > 0 && page->SessionID != session)
        throw EORBException("Page is used by other session", 20090);
      if (validate && !IsPageValidForSession(session, *page)) {
        page->RefreshPage();
        MarkPageValidForSession(session, *page);
      }
    } else {
      auto fresh = std::make_unique<TORBPage>(this, pageNo, session);
      ReuseEvictedBuffer(*fresh);
      const bool read = ReadPage(*fresh);  // raises on a CRC failure; nothing cached then
      if (read && PageHeaderSize != 0 && expectedType != ptAny &&
          expectedType != PageHeader::Type(fresh->PageBuffer))
        throw EORBException::Fmt(20153, "Invalid page type. Possibly data is corrupted. Expected type %d, but found %d",
                                 expectedType, PageHeader::Type(fresh->PageBuffer));
      if (!read && PageHeaderSize != 0 && expectedType != ptAny)
        throw EORBException::Fmt(20153, "Invalid page type. Possibly data is corrupted. Expected type %d, but found %d",
                                 expectedType, 0);
      page = fresh.get();
      if (read) {
        sharedCache_.Insert(std::move(fresh));
      } else {
        // A failed read is handed out (as zeros) but never cached.
        loose_.emplace(page, std::move(fresh));
      }
      MarkPageValidForSession(session, *page);
    }
  }
  if (page->UseCount > 0 && page->SessionID != session) throw EORBException("Page is used by other session", 20090);
  if (sp.Savepoint.Active && !sp.Savepoint.Before.count(pageNo))
    sp.Savepoint.Before.emplace(pageNo, std::vector<uint8_t>(page->PageBuffer, page->PageBuffer + page->BufferSize()));
  page->SessionID = session;
  if (page->UseCount++ == 0) ++sp.HeldPages;
  return page;
}

void TORBPageManager::BeginSavepoint(int32_t session) {
  TORBSessionPages& sp = Session(session);
  sp.Savepoint = TORBSavepoint{};
  sp.Savepoint.Active = true;
  sp.Savepoint.NewMark = sp.NewPages.size();
  sp.Savepoint.RemovedMark = sp.RemovedPages.size();
}

void TORBPageManager::ReleaseSavepoint(int32_t session) {
  if (TORBSessionPages* sp = FindSession(session)) sp->Savepoint = TORBSavepoint{};
}

void TORBPageManager::RollbackSavepoint(int32_t session) {
  TORBSessionPages* sp = FindSession(session);
  if (!sp || !sp->Savepoint.Active) return;
  TORBSavepoint save = std::move(sp->Savepoint);
  sp->Savepoint = TORBSavepoint{};
  std::vector<int32_t> added(sp->NewPages.begin() + static_cast<long>(save.NewMark), sp->NewPages.end());
  sp->NewPages.resize(save.NewMark);
  sp->RemovedPages.resize(save.RemovedMark);
  for (int32_t no : added) {
    if (sp->DirtyList.Find(no)) sp->DirtyList.Delete(no);
    save.Before.erase(no);
    FreePage(no);
  }
  for (auto& [no, bytes] : save.Before) {
    TORBPage* p = sp->DirtyList.Find(no);
    if (!p) p = sharedCache_.Find(no);
    // A page still dirty keeps its restored bytes dirty: rewriting them is harmless.
    if (p && p->PageBuffer && p->BufferSize() == bytes.size()) std::memcpy(p->PageBuffer, bytes.data(), bytes.size());
  }
}

TORBPage* TORBPageManager::AddPage(int32_t session, uint16_t pageType) {
  TORBSessionPages& sp = Session(session);
  auto page = std::make_unique<TORBPage>(this, -1, session);
  AllocatePage(*page);
  if (page->PageNo == -1) throw EORBException("Invalid page number", 20064);
  page->UseCount = 1;
  ++sp.HeldPages;
  page->IsDirty = true;
  page->IsFresh = false;
  if (PageHeaderSize != 0) {
    PageHeader::SetType(page->PageBuffer, pageType);
    PageHeader::SetVersion(page->PageBuffer, static_cast<int32_t>(RandomRange(0, kMaxNewPageVersion)));
  }
  page->SessionID = session;
  DropCached(page->PageNo);
  TORBPage* raw = page.get();
  const int32_t no = page->PageNo;
  sp.DirtyList.Insert(std::move(page));
  sp.NewPages.push_back(no);
  return raw;
}

// Removes a cached copy of pageNo; one still in use is marked stale instead
// and dropped when it is put back.
void TORBPageManager::DropCached(int32_t pageNo) {
  TORBPage* cached = sharedCache_.Find(pageNo);
  if (!cached) return;
  if (cached->UseCount == 0) {
    sharedCache_.Delete(pageNo);
    return;
  }
  auto owned = sharedCache_.Extract(pageNo);
  owned->Stale = true;
  loose_.emplace(owned.get(), std::move(owned));
}

void TORBPageManager::PutPage(TORBPage* page) {
  if (!page) throw EORBException("Pointer is nil", 31050);
  if (page->UseCount > 0 && --page->UseCount == 0)
    if (TORBSessionPages* sp = FindSession(page->SessionID); sp && sp->HeldPages > 0) --sp->HeldPages;
  if (page->UseCount > 0) return;
  page->IsFresh = false;
  if (page->OwnerList == &sharedCache_) {
    if (page->IsDirty) {
      auto owned = sharedCache_.Extract(page->PageNo);
      Session(owned->SessionID).DirtyList.Insert(std::move(owned));
    } else {
      sharedCache_.Touch(page->PageNo);
      EvictIfNeeded();
    }
    return;
  }
  auto it = loose_.find(page);
  if (it == loose_.end()) return;  // in a dirty list: stays there
  std::unique_ptr<TORBPage> owned = std::move(it->second);
  loose_.erase(it);
  if (owned->IsDirty && !owned->Stale) {
    TORBSessionPages& sp = Session(owned->SessionID);
    if (!sp.DirtyList.Find(owned->PageNo)) sp.DirtyList.Insert(std::move(owned));
  }
}

// The oldest pages are normally free, so this stops after a step or two
// instead of visiting the whole cache on every miss.
void TORBPageManager::EvictIfNeeded() {
  while (static_cast<int64_t>(sharedCache_.Count()) > cacheCapacity_) {
    TORBPage* victim = sharedCache_.LeastRecentlyUsedFree();
    if (!victim) return;
    sharedCache_.Delete(victim->PageNo);
  }
}

// A miss on a full cache evicts now rather than after the read and hands the
// victim's buffer to the new page: no allocation and no zero fill per miss.
// The reader overwrites the whole buffer, or zeroes it when the read fails.
void TORBPageManager::ReuseEvictedBuffer(TORBPage& page) {
  if (static_cast<int64_t>(sharedCache_.Count()) < cacheCapacity_) return;
  TORBPage* victim = sharedCache_.LeastRecentlyUsedFree();
  if (!victim || !victim->OwnsBuffer || victim->BufferSize() != PageSize) return;
  std::unique_ptr<TORBPage> old = sharedCache_.Extract(victim->PageNo);
  page.TakeBuffer(*old);
}

void TORBPageManager::RemovePage(int32_t session, int32_t pageNo) { Session(session).RemovedPages.push_back(pageNo); }

void TORBPageManager::CheckCommit(int32_t session) {
  TORBSessionPages* sp = FindSession(session);
  // The cache scan costs a visit of every cached page per commit; it can
  // only find something while the session holds pages.
  if (sp && sp->HeldPages > 0) {
    bool held = false;
    sharedCache_.ForEachByAge([&](TORBPage* p) { held |= p->SessionID == session && p->UseCount > 0; });
    for (const auto& [page, owned] : loose_) held |= page->SessionID == session && page->UseCount > 0;
    if (held) throw EORBException("Some session pages are not released", 20152);
  }
  if (!sp) return;
  sp->DirtyList.ForEachByAge([&](TORBPage* p) {
    if (!p->IsDirty) throw EORBException("Invalid dirty page", 20085);
    if (p->UseCount > 0) throw EORBException("Cannot write used page", 20086);
  });
}

void TORBPageManager::CachePage(std::unique_ptr<TORBPage> page) {
  DropCached(page->PageNo);  // a commit supersedes any other cached copy
  if (static_cast<int64_t>(sharedCache_.Count()) < cacheCapacity_) sharedCache_.Insert(std::move(page));
}

void TORBPageManager::ApplyCheckedChanges(int32_t session) {
  TORBSessionPages* sp = FindSession(session);
  if (!sp) return;
  for (int32_t no : sp->RemovedPages) {
    FreePage(no);
    if (sp->DirtyList.Find(no)) sp->DirtyList.Delete(no);
    DropCached(no);
  }
  sp->RemovedPages.clear();
  sp->NewPages.clear();
  for (int32_t no : sp->DirtyList.SortedPageNos()) {
    TORBPage* p = sp->DirtyList.Find(no);
    WritePage(*p);
    p->IsDirty = false;
    p->Stale = false;
    CachePage(sp->DirtyList.Extract(no));
  }
}

void TORBPageManager::ApplyChanges(int32_t session) {
  CheckCommit(session);
  ApplyCheckedChanges(session);
}

void TORBPageManager::CancelChanges(int32_t session) {
  TORBSessionPages* sp = FindSession(session);
  if (!sp) return;
  sp->DirtyList.ForEachByAge([&](TORBPage* p) {
    if (!p->IsDirty) throw EORBException("Invalid index page", 20087);
    if (p->UseCount > 0) throw EORBException("Cannot remove used page", 20088);
  });
  sp->DirtyList.Clear();
  std::vector<int32_t> fresh = std::move(sp->NewPages);
  sp->NewPages.clear();
  sp->RemovedPages.clear();
  for (int32_t no : fresh) FreePage(no);
}

}  // namespace orb
