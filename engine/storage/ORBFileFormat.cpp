// Encoding of the header region and page headers.
#include "storage/ORBFileFormat.h"

#include "orb/ORBExcept.h"

namespace orb {

void TORBFileHeader::Encode(uint8_t out[kHeaderSize]) const {
  std::memset(out, 0, kHeaderSize);
  std::memcpy(out, Signature, 16);
  PutLE(out + 16, HeaderSize);
  PutLE(out + 18, FileVersion);
  PutLE(out + 26, PageSize);
  PutLE(out + 28, ExtentPageCount);
  PutLE(out + 30, TotalPageCount);
  PutLE(out + 34, LastUsedPageNo);
  PutLE(out + 38, ChangeCounter);
  out[42] = FileState;
  out[43] = Encrypted;
  std::memcpy(out + 44, Reserved, 32);
}

void TORBFileHeader::Decode(const uint8_t in[kHeaderSize]) {
  std::memcpy(Signature, in, 16);
  HeaderSize = GetLE<uint16_t>(in + 16);
  FileVersion = GetLE<double>(in + 18);
  PageSize = GetLE<uint16_t>(in + 26);
  ExtentPageCount = GetLE<uint16_t>(in + 28);
  TotalPageCount = GetLE<int32_t>(in + 30);
  LastUsedPageNo = GetLE<int32_t>(in + 34);
  ChangeCounter = GetLE<int32_t>(in + 38);
  FileState = in[42];
  Encrypted = in[43];
  std::memcpy(Reserved, in + 44, 32);
}

void TORBPasswordVerifier::Encode(uint8_t out[kVerifierSize]) const {
  std::memset(out, 0, kVerifierSize);
  PutLE(out, BlockSize);
  out[2] = CipherID;
  std::memcpy(out + 4, CheckData, 256);
  PutLE(out + 260, CheckCRC);
}

void TORBPasswordVerifier::Decode(const uint8_t in[kVerifierSize]) {
  BlockSize = GetLE<uint16_t>(in);
  CipherID = in[2];
  std::memcpy(CheckData, in + 4, 256);
  CheckCRC = GetLE<uint32_t>(in + 260);
}

void PageHeader::Init(uint8_t* p) {
  std::memset(p, 0, kPageHeaderSize);
  std::memcpy(p, "ORBP", 4);
  SetNextPageNo(p, -1);
  SetTableID(p, -1);
  PutLE<int32_t>(p + kReserved26, -1);
}

std::string PageTypeName(uint16_t type) {
  static const char* const kNames[] = {"Unknown Page",
                                       "Empty Page",
                                       "EAM Page",
                                       "PFS Page",
                                       "FileSystemDirectory Page",
                                       "ActiveSessionList Page",
                                       "TableList Page",
                                       "TableLocks Page",
                                       "TableMetaData Page",
                                       "TableMostUpdated Page",
                                       "TableRecord Page",
                                       "TableBlob Page",
                                       "TableIndex Page"};
  if (type > 12) throw EORBException::Fmt(30382, "Unknown Page Type: (%d)", type);
  return kNames[type];
}

}  // namespace orb
