// The database file: bytes on disk, header search, open checks, page I/O,
// object ids, read-only files and encryption of pages.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "TestSupport.h"
#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBPage.h"

using namespace orb;
using orbtest::CodeOf;
using orbtest::MessageOf;
using orbtest::ReadFile;
using orbtest::TempDir;
using orbtest::WriteFile;

namespace {



struct OpenResult {
  bool multiUser, needsRepair, readOnly;
};

OpenResult Open(TORBDiskPageManager& pm, const std::string& file, const std::string& password = "",
                bool multiUser = false, bool exclusive = true, bool readOnly = false) {
  OpenResult r{multiUser, false, readOnly};
  pm.OpenDatabaseFile(file, TORBPassword{password, 0}, r.multiUser, exclusive, r.needsRepair, r.readOnly);
  return r;
}

void Create(const std::string& file, const std::string& password = "", uint8_t cipher = 0) {
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(file, TORBPassword{password, cipher});
}

// Writes a page full of a pattern at pageNo (the file grown to hold it).
void WritePattern(TORBDiskPageManager& pm, int32_t pageNo, uint8_t seed) {
  if (pm.Header().TotalPageCount <= pageNo) {
    pm.ResizeToPages(pageNo + 1);
    pm.WriteHeader();
  }
  TORBPage page(&pm, pageNo, 0);
  page.AllocateBuffer();
  page.InitPageHeader();
  for (uint32_t i = 0; i < page.DataSize(); ++i) page.Data()[i] = static_cast<uint8_t>(seed + i * 7);
  pm.WritePage(page);
}

bool HasPattern(TORBPage& page, uint8_t seed) {
  for (uint32_t i = 0; i < page.DataSize(); ++i)
    if (page.Data()[i] != static_cast<uint8_t>(seed + i * 7)) return false;
  return true;
}

}  // namespace

TEST(DatabaseFile, NewFileBytesExactly) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  auto b = ReadFile(f);
  ASSERT_EQ(b.size(), 380u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 16), "ORBITAL0DATABASE");
  const uint8_t fixed[] = {76, 0, 0x85, 0xEB, 0x51, 0xB8, 0x1E, 0x85, 0x14, 0x40, 0x00, 0x10, 8, 0};
  EXPECT_EQ(0, std::memcmp(&b[16], fixed, sizeof fixed));
  EXPECT_EQ(GetLE<int32_t>(&b[30]), 0);   // TotalPageCount
  EXPECT_EQ(GetLE<int32_t>(&b[34]), -1);  // LastUsedPageNo
  EXPECT_EQ(GetLE<int32_t>(&b[38]), 0);   // ChangeCounter
  EXPECT_EQ(b[42], 2);
  EXPECT_EQ(b[43], 0);
  for (int i = 44; i < 76; ++i) ASSERT_EQ(b[i], 0) << i;
  EXPECT_EQ(GetLE<uint16_t>(&b[76]), 280);  // verifier block, body all zero
  for (int i = 78; i < 356; ++i) ASSERT_EQ(b[i], 0) << i;
  EXPECT_EQ(GetLE<uint16_t>(&b[356]), 20);  // lock area
  for (int i = 358; i < 380; ++i) ASSERT_EQ(b[i], 0) << i;  // reserved and NextObjectID 0
}

TEST(DatabaseFile, EveryCipherCreatesAndVerifies) {
  TempDir dir;
  for (uint8_t c = 0; c < kCipherCount; ++c) {
    SCOPED_TRACE(int(c));
    std::string f = dir.file(std::to_string(c).append(".orb"));
    Create(f, "s3cret-пароль", c);
    auto b = ReadFile(f);
    ASSERT_EQ(b.size(), 380u);
    EXPECT_EQ(b[43], 0xFF);
    EXPECT_EQ(b[78], c);  // cipher id in the verifier
    // The stored check bytes are encrypted: decrypting them gives bytes 0..254 whose CRC is stored.
    uint8_t check[256];
    std::memcpy(check, &b[80], 256);
    ASSERT_TRUE(DecryptPageData(c, check, 256, TORBPassword{"s3cret-пароль", c}));
    for (uint8_t x : check) ASSERT_LE(x, 254);
    EXPECT_EQ(CRC32(check, 256), GetLE<uint32_t>(&b[336]));

    // The caller's cipher id does not matter: the file's is used.
    TORBDiskPageManager pm;
    TORBPassword given{"s3cret-пароль", static_cast<uint8_t>((c + 3) % 8)};
    bool mu = false, rep = false, ro = false;
    pm.OpenDatabaseFile(f, given, mu, true, rep, ro);
    EXPECT_EQ(pm.Password().CipherID, c);
    WritePattern(pm, 2, c);
    TORBPage page(&pm, 2, 0);
    ASSERT_TRUE(pm.ReadPage(page));
    EXPECT_TRUE(HasPattern(page, c));
    EXPECT_EQ(PageHeader::CipherID(page.PageBuffer), c);
  }
}

TEST(DatabaseFile, WrongPasswordFailsAndLeavesFileUnchanged) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f, "right", 5);
  auto before = ReadFile(f);
  for (const char* pw : {"wrong", "", "Right"}) {
    TORBDiskPageManager pm;
    std::string msg = MessageOf([&] { Open(pm, f, pw); });
    EXPECT_EQ(msg, "Cannot open database because incorrect password - Native error: 30445") << pw;
    EXPECT_FALSE(pm.IsOpen());
  }
  EXPECT_EQ(ReadFile(f), before);
}

TEST(DatabaseFile, FlippedDataByteFailsTheCrc) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f, "pw");
  {
    TORBDiskPageManager pm;
    Open(pm, f, "pw");
    WritePattern(pm, 2, 9);
    WritePattern(pm, 3, 9);
  }
  auto b = ReadFile(f);
  // Same key and vector for every page: equal plain data, equal cipher data.
  EXPECT_EQ(0, std::memcmp(&b[380 + 2 * 4096 + 40], &b[380 + 3 * 4096 + 40], 4056));
  b[380 + 2 * 4096 + 40 + 1000] ^= 0x01;
  WriteFile(f, b);
  TORBDiskPageManager pm;
  Open(pm, f, "pw");
  TORBPage page(&pm, 2, 0);
  EXPECT_EQ(MessageOf([&] { pm.ReadPage(page); }),
            "Decrypt page error. Check CRC failed. PageNo: 2 - Native error: 30446");
  EXPECT_EQ(CodeOf([&] { pm.ReadPage(page); }), 30446);
  TORBPage other(&pm, 3, 0);
  EXPECT_TRUE(pm.ReadPage(other));
}

TEST(DatabaseFile, PageKeepsTheCipherItWasWrittenWith) {
  TempDir dir;
  std::string a = dir.file("a.orb"), b = dir.file("b.orb");
  Create(a, "pw", 1);
  Create(b, "pw", 0);
  {
    TORBDiskPageManager pm;
    Open(pm, a, "pw");
    WritePattern(pm, 2, 1);
  }
  // Give file a the verifier of file b: the database's cipher becomes 0.
  auto bytesA = ReadFile(a), bytesB = ReadFile(b);
  std::memcpy(&bytesA[76], &bytesB[76], 280);
  WriteFile(a, bytesA);
  TORBDiskPageManager pm;
  Open(pm, a, "pw");
  EXPECT_EQ(pm.Password().CipherID, 0);
  TORBPage old(&pm, 2, 0);
  ASSERT_TRUE(pm.ReadPage(old));
  EXPECT_TRUE(HasPattern(old, 1));
  EXPECT_EQ(PageHeader::CipherID(old.PageBuffer), 1);
  WritePattern(pm, 3, 4);
  TORBPage fresh(&pm, 3, 0);
  ASSERT_TRUE(pm.ReadPage(fresh));
  EXPECT_EQ(PageHeader::CipherID(fresh.PageBuffer), 0);
}

TEST(DatabaseFile, UnencryptedPagesArePlainWithZeroCrc) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  {
    TORBDiskPageManager pm;
    Open(pm, f);
    WritePattern(pm, 2, 3);
  }
  auto b = ReadFile(f);
  const uint8_t* page = &b[380 + 2 * 4096];
  EXPECT_EQ(std::string(page, page + 4), "ORBP");
  EXPECT_EQ(PageHeader::DataCRC(page), 0u);
  EXPECT_EQ(page[40 + 1], static_cast<uint8_t>(3 + 7));
}

TEST(DatabaseFile, InvalidCipherIdsAreRefused) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  TORBDiskPageManager pm;
  EXPECT_EQ(CodeOf([&] { pm.CreateDatabaseFile(f, TORBPassword{"pw", 8}); }), 20237);
  Create(f, "pw", 2);
  auto b = ReadFile(f);
  b[78] = 9;
  WriteFile(f, b);
  EXPECT_EQ(CodeOf([&] { Open(pm, f, "pw"); }), 20237);
}

TEST(DatabaseFile, HeaderFoundAtAnyOffset) {
  TempDir dir;
  std::string plain = dir.file("plain.orb");
  Create(plain, "pw");
  {
    TORBDiskPageManager pm;
    Open(pm, plain, "pw");
    WritePattern(pm, 2, 5);
  }
  const auto db = ReadFile(plain);
  // 9982..9983 need the last bytes of the first window; 9990 straddles it.
  for (int64_t offset : {1, 5000, 9982, 9983, 9990, 9999, 10000, 19966, 19967, 20001}) {
    SCOPED_TRACE(offset);
    std::vector<uint8_t> bytes(offset, 'x');
    bytes.insert(bytes.end(), db.begin(), db.end());
    std::string f = dir.file("off.orb");
    WriteFile(f, bytes);
    TORBDiskPageManager pm;
    Open(pm, f, "pw");
    EXPECT_EQ(pm.HeaderBase(), offset);
    EXPECT_EQ(pm.PageBase(), offset + 380);
    TORBPage page(&pm, 2, 0);
    ASSERT_TRUE(pm.ReadPage(page));
    EXPECT_TRUE(HasPattern(page, 5));
    EXPECT_EQ(pm.GetNextObjectID(), 1);
  }
}

TEST(DatabaseFile, FileSizeFollowsThePageCountExactly) {
  TempDir dir;
  std::string plain = dir.file("plain.orb");
  Create(plain);
  std::vector<uint8_t> bytes(5000, 'x');
  auto db = ReadFile(plain);
  bytes.insert(bytes.end(), db.begin(), db.end());
  bytes.insert(bytes.end(), 777, 'y');  // bytes after the database
  std::string f = dir.file("embedded.orb");
  WriteFile(f, bytes);
  TORBDiskPageManager pm;
  Open(pm, f);
  pm.ResizeToPages(6);
  EXPECT_EQ(pm.File().GetSize(), 5000 + 380 + 6 * 4096);
  pm.Header().LastUsedPageNo = 3;
  pm.TruncateFreeTail();
  EXPECT_EQ(pm.Header().TotalPageCount, 4);
  EXPECT_EQ(pm.File().GetSize(), 5000 + 380 + 4 * 4096);
  pm.TruncateFreeTail();  // last page in use: nothing to do
  EXPECT_EQ(pm.File().GetSize(), 5000 + 380 + 4 * 4096);
}

TEST(DatabaseFile, MissingSignatureQuotesTheBytesFound) {
  TempDir dir;
  std::string f = dir.file("junk.orb");
  std::vector<uint8_t> junk(30000, 'Q');
  std::memcpy(junk.data(), "NOT A DATABASE!!", 16);
  WriteFile(f, junk);
  TORBDiskPageManager pm;
  EXPECT_EQ(MessageOf([&] { Open(pm, f); }),
            "Invalid file format. Found signature: 'NOT A DATABASE!!', expected: 'ORBITAL0DATABASE' - Native error: "
            "10470");
}

TEST(DatabaseFile, HeaderValuesAreValidated) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  const auto good = ReadFile(f);
  struct Patch {
    size_t at;
    std::vector<uint8_t> bytes;
  } patches[] = {
      {26, {100, 0}},         // page size too small for a useful data area
      {28, {0, 0}},           // no pages per extent
      {30, {0xFF, 0xFF, 0xFF, 0xFF}},  // negative page count
      {16, {40, 0}},          // header size: not a header at all
      {76, {20, 1}},          // verifier block size
      {356, {2, 0}},          // lock area too small for its lock bytes
  };
  for (const auto& p : patches) {
    auto b = good;
    std::memcpy(&b[p.at], p.bytes.data(), p.bytes.size());
    WriteFile(f, b);
    TORBDiskPageManager pm;
    int32_t code = CodeOf([&] { Open(pm, f); });
    // A changed header size makes the signature search fail instead.
    EXPECT_TRUE(code == 20237 || (p.at == 16 && code == 10470)) << p.at << " " << code;
  }
  TORBDiskPageManager pm;
  EXPECT_EQ(CodeOf([&] { pm.CreateDatabaseFile(f, {}, 8, 64); }), 20237);
  EXPECT_EQ(CodeOf([&] { pm.CreateDatabaseFile(f, {}, 0, 4096); }), 20237);
}

TEST(DatabaseFile, NeedsRepairRules) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  struct Case {
    uint8_t state;
    double version;
    bool repair;
  } cases[] = {{2, 5.13, false}, {1, 5.13, true}, {2, 2.5, true}, {2, 2.99, false}, {0, 2.99, true}};
  for (const auto& c : cases) {
    Create(f);
    auto b = ReadFile(f);
    b[42] = c.state;
    PutLE(&b[18], c.version);
    WriteFile(f, b);
    TORBDiskPageManager pm;
    EXPECT_EQ(Open(pm, f).needsRepair, c.repair) << int(c.state) << " " << c.version;
  }
}

TEST(DatabaseFile, AddressingAndRanges) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  TORBDiskPageManager pm;
  Open(pm, f);
  EXPECT_EQ(pm.PageOffset(0), 380);
  EXPECT_EQ(pm.PageOffset(3), 380 + 3 * 4096);
  EXPECT_EQ(pm.PageOffset(0x7FFFFFFF), 380 + int64_t{0x7FFFFFFF} * 4096);
  for (int32_t bad : {-1, -2, INT32_MIN}) EXPECT_EQ(CodeOf([&] { pm.PageOffset(bad); }), 10471);
  pm.ResizeToPages(3);
  uint8_t buf[16] = {1, 2, 3};
  EXPECT_EQ(MessageOf([&] { pm.WritePageBytes(buf, 2, 16, 4090); }),
            "Error - invalid page offset = 4106, page size = 4096 - Native error: 10477");
  EXPECT_EQ(CodeOf([&] { pm.ReadPageBytes(buf, 2, 16, 4081); }), 10476);
  pm.WritePageBytes(buf, 2, 16, 4080);
  uint8_t back[16];
  pm.ReadPageBytes(back, 2, 16, 4080);
  EXPECT_EQ(0, std::memcmp(buf, back, 16));
  EXPECT_EQ(CodeOf([&] { pm.ReadPageBytes(back, 9, 16, 0); }), 10474);  // beyond the end
  EXPECT_EQ(CodeOf([&] { pm.CreateDatabaseFile(f, {}); }), 10461);
  bool mu = false, rep = false, ro = false;
  EXPECT_EQ(CodeOf([&] { pm.OpenDatabaseFile(f, {}, mu, true, rep, ro); }), 10462);
}

TEST(DatabaseFile, PageVersionAdvancesAndWraps) {
  EXPECT_EQ(NextPageVersion(0), 1);
  EXPECT_EQ(NextPageVersion(0x7FFFFFFB), 0x7FFFFFFC);
  EXPECT_EQ(NextPageVersion(0x7FFFFFFC), 0);
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  TORBDiskPageManager pm;
  bool mu = true, rep = false, ro = false;
  pm.OpenDatabaseFile(f, {}, mu, false, rep, ro);
  ASSERT_TRUE(pm.MultiUser);
  pm.ResizeToPages(3);
  TORBPage page(&pm, 2, 0);
  page.AllocateBuffer();
  page.InitPageHeader();
  PageHeader::SetVersion(page.PageBuffer, 0x7FFFFFFC);
  pm.WritePage(page);
  EXPECT_EQ(pm.ReadPageVersion(2), 0);
  pm.WritePageVersion(2, kFreedPageVersion);
  EXPECT_EQ(pm.ReadPageVersion(2), kFreedPageVersion);
  EXPECT_EQ(pm.ReadPageVersion(50), kFreedPageVersion);  // a failed read
}

TEST(DatabaseFile, ObjectIds) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  {
    TORBDiskPageManager pm;
    Open(pm, f);
    EXPECT_EQ(pm.GetNextObjectID(), 1);
    EXPECT_EQ(pm.GetNextObjectID(), 2);
  }
  auto before = ReadFile(f);
  EXPECT_EQ(GetLE<int32_t>(&before[376]), 2);
  TORBDiskPageManager ro;
  Open(ro, f, "", false, false, /*readOnly=*/true);
  int32_t id = ro.GetNextObjectID();
  EXPECT_GE(id, 3);
  EXPECT_LE(id, 3 + 9999);
  EXPECT_EQ(ReadFile(f), before);
}

TEST(DatabaseFile, ReadOnlyAttribute) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f);
  ASSERT_EQ(chmod(f.c_str(), 0444), 0);
  TORBDiskPageManager pm;
  OpenResult r = Open(pm, f, "", /*multiUser=*/true, /*exclusive=*/false);
  EXPECT_TRUE(r.readOnly);
  EXPECT_FALSE(r.multiUser);
  EXPECT_TRUE(pm.IsReadOnly());
  pm.CloseDatabaseFile();
  // Creating over a read-only file replaces it.
  Create(f, "pw");
  EXPECT_EQ(ReadFile(f)[43], 0xFF);
}

TEST(DatabaseFile, EncryptionNeverTouchesThePageInMemory) {
  // Fails every write while armed, as a full or vanished disk would.
  struct FailingEnv : TORBEnv {
    bool fail = false;
    int PWrite(int fd, const void* buf, size_t count, int64_t pos) override {
      return fail ? ENOSPC : TORBEnv::PWrite(fd, buf, count, pos);
    }
  } env;
  TempDir dir;
  std::string f = dir.file("a.orb");
  Create(f, "pw");
  TORBDiskPageManager pm(&env);
  Open(pm, f, "pw");
  pm.ResizeToPages(3);
  TORBPage page(&pm, 2, 0);
  page.AllocateBuffer();
  page.InitPageHeader();
  for (uint32_t i = 0; i < page.DataSize(); ++i) page.Data()[i] = static_cast<uint8_t>(i);
  env.fail = true;
  EXPECT_EQ(CodeOf([&] { pm.WritePage(page); }), 10469);
  for (uint32_t i = 0; i < page.DataSize(); ++i) ASSERT_EQ(page.Data()[i], static_cast<uint8_t>(i));
  env.fail = false;
  pm.WritePage(page);  // a retry encrypts once, not twice
  TORBPage back(&pm, 2, 0);
  ASSERT_TRUE(pm.ReadPage(back));
  EXPECT_EQ(0, std::memcmp(back.Data(), page.Data(), page.DataSize()));
}

TEST(DatabaseFile, ObjectIdLockHeldElsewhereFailsCreate) {
  // The object-id byte of a new file is locked by another descriptor the
  // moment the file appears: create must fail rather than leave it unwritten.
  struct LockingEnv : TORBEnv {
    int Lock(int fd, int64_t pos, int64_t len, bool exclusive) override {
      if (pos == 376) return EAGAIN;
      return TORBEnv::Lock(fd, pos, len, exclusive);
    }
  } env;
  int tries = TORBLockRetry::Tries;
  TORBLockRetry::Tries = 3;
  TempDir dir;
  std::string f = dir.file("a.orb");
  TORBDiskPageManager pm(&env);
  EXPECT_EQ(CodeOf([&] { pm.CreateDatabaseFile(f, {}); }), 30401);
  TORBLockRetry::Tries = tries;
  struct stat st;
  EXPECT_NE(stat(f.c_str(), &st), 0);  // no half-made file left behind
}
