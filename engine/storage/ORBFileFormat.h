// Bytes on disk of a database file: header region, password verifier, lock
// area, page header and page types. All values little-endian.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

namespace orb {

template <class T>
inline T GetLE(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);  // the engine only runs on little-endian hosts
  return v;
}
template <class T>
inline void PutLE(void* p, T v) {
  std::memcpy(p, &v, sizeof v);
}
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "stored formats are little-endian");

constexpr char kSignature[16] = {'O', 'R', 'B', 'I', 'T', 'A', 'L', '0', 'D', 'A', 'T', 'A', 'B', 'A', 'S', 'E'};
constexpr uint16_t kHeaderSize = 76;
constexpr uint16_t kVerifierSize = 280;
constexpr uint16_t kLockAreaSize = 20;
constexpr int64_t kDefaultPageBase = 380;
constexpr double kFileVersion = 5.13;
constexpr uint16_t kDefaultPageSize = 4096;
constexpr uint16_t kDefaultExtentPageCount = 8;
// Smallest page size that leaves a useful data area after the page header.
constexpr uint16_t kMinPageSize = 512;
constexpr uint16_t kPageHeaderSize = 40;
constexpr uint8_t kFileStateWriting = 1;
constexpr uint8_t kFileStateConsistent = 2;
constexpr int32_t kFreedPageVersion = 0x7FFFFFFF;
constexpr int32_t kMaxPageVersion = 0x7FFFFFFC;
constexpr int32_t kMaxNewPageVersion = 0x3FFFFFFE;

// Offsets of the lock bytes inside the lock area.
constexpr int64_t kTablesLockOffset = 3;
constexpr int64_t kDatabaseLockOffset = 4;

struct TORBFileHeader {
  char Signature[16];
  uint16_t HeaderSize = kHeaderSize;
  double FileVersion = kFileVersion;
  uint16_t PageSize = kDefaultPageSize;
  uint16_t ExtentPageCount = kDefaultExtentPageCount;
  int32_t TotalPageCount = 0;
  int32_t LastUsedPageNo = -1;
  int32_t ChangeCounter = 0;
  uint8_t FileState = kFileStateConsistent;
  uint8_t Encrypted = 0;
  uint8_t Reserved[32] = {};

  TORBFileHeader() { std::memcpy(Signature, kSignature, 16); }
  void Encode(uint8_t out[kHeaderSize]) const;
  void Decode(const uint8_t in[kHeaderSize]);
  bool SignatureOk() const { return std::memcmp(Signature, kSignature, 16) == 0; }
};

struct TORBPasswordVerifier {
  uint16_t BlockSize = kVerifierSize;
  uint8_t CipherID = 0;
  uint8_t CheckData[256] = {};
  uint32_t CheckCRC = 0;

  void Encode(uint8_t out[kVerifierSize]) const;
  void Decode(const uint8_t in[kVerifierSize]);
};

// Page header fields, read and written in place in a page buffer.
namespace PageHeader {
constexpr size_t kSignature = 0, kVersion = 4, kType = 8, kNextPageNo = 10, kDataCRC = 14, kCipherID = 20,
                 kTableID = 22, kReserved26 = 26;
void Init(uint8_t* page);  // the default header of a new page
inline int32_t Version(const uint8_t* p) { return GetLE<int32_t>(p + kVersion); }
inline void SetVersion(uint8_t* p, int32_t v) { PutLE(p + kVersion, v); }
inline uint16_t Type(const uint8_t* p) { return GetLE<uint16_t>(p + kType); }
inline void SetType(uint8_t* p, uint16_t v) { PutLE(p + kType, v); }
inline int32_t NextPageNo(const uint8_t* p) { return GetLE<int32_t>(p + kNextPageNo); }
inline void SetNextPageNo(uint8_t* p, int32_t v) { PutLE(p + kNextPageNo, v); }
inline uint32_t DataCRC(const uint8_t* p) { return GetLE<uint32_t>(p + kDataCRC); }
inline void SetDataCRC(uint8_t* p, uint32_t v) { PutLE(p + kDataCRC, v); }
inline uint8_t CipherID(const uint8_t* p) { return p[kCipherID]; }
inline void SetCipherID(uint8_t* p, uint8_t v) { p[kCipherID] = v; }
inline int32_t TableID(const uint8_t* p) { return GetLE<int32_t>(p + kTableID); }
inline void SetTableID(uint8_t* p, int32_t v) { PutLE(p + kTableID, v); }
}  // namespace PageHeader

// The version a page gets when it is written: stored versions stay within
// 0..0x7FFFFFFC.
inline int32_t NextPageVersion(int32_t v) {
  int64_t n = static_cast<int64_t>(v) + 1;
  return n >= kMaxPageVersion + 1 ? 0 : static_cast<int32_t>(n);
}

enum TORBPageType : uint16_t {
  ptUnknown = 0,
  ptEmpty = 1,
  ptEAM = 2,
  ptPFS = 3,
  ptFileSystemDirectory = 4,
  ptActiveSessionList = 5,
  ptTableList = 6,
  ptTableLocks = 7,
  ptTableMetaData = 8,
  ptTableMostUpdated = 9,
  ptTableRecord = 10,
  ptTableBlob = 11,
  ptTableIndex = 12,
  ptAny = 255,
};

// "EAM Page" etc.; raises "Unknown Page Type: (%d)" above 12.
std::string PageTypeName(uint16_t type);

}  // namespace orb
