// Page buffers and headers.
#include "storage/ORBPage.h"

#include <cstring>

#include "orb/ORBExcept.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBMemory.h"
#include "storage/ORBPageManager.h"

namespace orb {

TORBPage::TORBPage(TORBPageManager* manager, int32_t pageNo, int32_t sessionId)
    : PageManager(manager), PageNo(pageNo), SessionID(sessionId) {}

TORBPage::~TORBPage() { ReleaseBuffer(); }

void TORBPage::ReleaseBuffer() {
  if (OwnsBuffer && PageBuffer) TORBMemoryManager::Instance().FreeMem(PageBuffer);
  PageBuffer = nullptr;
  OwnsBuffer = false;
  bufferSize_ = 0;
}

uint8_t* TORBPage::Data() { return PageBuffer + PageManager->PageHeaderSize; }
const uint8_t* TORBPage::Data() const { return PageBuffer + PageManager->PageHeaderSize; }
uint32_t TORBPage::DataSize() const { return PageManager->PageDataSize; }

void TORBPage::AllocateBuffer() {
  ReleaseBuffer();
  PageBuffer = static_cast<uint8_t*>(TORBMemoryManager::Instance().GetMem(PageManager->PageSize, true));
  OwnsBuffer = true;
  bufferSize_ = PageManager->PageSize;
}

void TORBPage::TakeBuffer(TORBPage& other) {
  if (&other == this) return;
  ReleaseBuffer();
  PageBuffer = other.PageBuffer;
  OwnsBuffer = other.OwnsBuffer;
  bufferSize_ = other.bufferSize_;
  other.PageBuffer = nullptr;
  other.OwnsBuffer = false;
  other.bufferSize_ = 0;
}

void TORBPage::SetForeignBuffer(uint8_t* buffer, uint32_t size) {
  ReleaseBuffer();
  PageBuffer = buffer;
  bufferSize_ = size;
}

void TORBPage::InitPageHeader() {
  if (PageManager->PageHeaderSize != 0) PageHeader::Init(PageBuffer);
}

void TORBPage::ResizeBuffer(uint32_t newSize) {
  if (!PageBuffer) throw EORBException("Invalid page buffer. Buffer is Nil", 31020);
  if (newSize < PageManager->PageSize) throw EORBException("Invalid page modification", 31021);
  if (OwnsBuffer && newSize <= bufferSize_) return;
  auto* fresh = static_cast<uint8_t*>(TORBMemoryManager::Instance().GetMem(newSize, true));
  std::memcpy(fresh, PageBuffer, bufferSize_ < newSize ? bufferSize_ : newSize);
  ReleaseBuffer();
  PageBuffer = fresh;
  OwnsBuffer = true;
  bufferSize_ = newSize;
}

void TORBPage::RefreshPage() { PageManager->RefreshPage(*this); }

}  // namespace orb
