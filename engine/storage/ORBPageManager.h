// TORBPageManager: the only way to read and write pages. Holds the page
// geometry; the disk, memory and temporary stores specialise it.
#pragma once
#include <cstdint>

namespace orb {

class TORBPage;

class TORBPageManager {
 public:
  virtual ~TORBPageManager() = default;

  uint16_t PageSize = 4096;
  uint16_t PageHeaderSize = 40;
  uint16_t PageDataSize = 4096 - 40;

  // Reads the page's bytes into its buffer; false (and the version marked
  // 0x7FFFFFFF) when the read failed.
  virtual bool ReadPage(TORBPage& page) = 0;
  virtual void WritePage(TORBPage& page) = 0;

 protected:
  void SetGeometry(uint16_t pageSize, uint16_t headerSize) {
    PageSize = pageSize;
    PageHeaderSize = headerSize;
    PageDataSize = static_cast<uint16_t>(pageSize - headerSize);
  }
};

}  // namespace orb
