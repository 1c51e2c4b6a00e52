// The storage check: clean on files the engine writes, a problem line for
// each kind of damage.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "storage/ORBCheck.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFreeSpace.h"
#include "storage/ORBPage.h"
#include "storage/ORBSystemFiles.h"

using namespace orb;
using orbtest::ReadFile;
using orbtest::RunOrb;
using orbtest::TempDir;
using orbtest::WriteFile;

namespace {

// A database with some pages in use and some freed again.
void MakeDatabase(const std::string& file, const std::string& password) {
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(file, TORBPassword{password, 0});
  TORBSystemFiles(pm).Create();
  std::vector<int32_t> pages;  // 5..44
  for (int i = 0; i < 40; ++i) {
    TORBPage* p = pm.AddPage(0, ptTableRecord);
    pages.push_back(p->PageNo);
    pm.PutPage(p);
  }
  pm.ApplyChanges(0);
  for (int i = 0; i < 40; i += 3) pm.RemovePage(0, pages[i]);
  pm.ApplyChanges(0);
}

std::vector<std::string> Check(const std::string& file, const std::string& password) {
  TORBDiskPageManager pm;
  bool mu = false, rep = false, ro = true;
  pm.OpenDatabaseFile(file, TORBPassword{password, 0}, mu, false, rep, ro);
  return CheckStorage(pm);
}

}  // namespace

TEST(StorageCheck, CleanFilesAndEachKindOfDamage) {
  TempDir dir;
  std::string f = dir.file("c.orb");
  MakeDatabase(f, "pw");
  EXPECT_TRUE(Check(f, "pw").empty());
  auto r = RunOrb({"check", f, "--password", "pw"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ok\n");
  const auto good = ReadFile(f);
  const size_t page = 4096, base = 380;

  struct Damage {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> apply;
    const char* expect;
  } damages[] = {
      {"used page's data", [&](auto& b) { b[base + 6 * page + 500] ^= 1; }, "Check CRC failed. PageNo: 6"},
      {"map bit of a used page cleared", [&](auto& b) { b[base + 40 + 5] &= ~(1 << 3); }, "LastUsedPageNo is 43 but the last used page is 42"},
      {"map bit set for a free page", [&](auto& b) { b[base + 40 + 5] |= 1 << 5; }, "the last used page is 45"},
      {"PFS page type", [&](auto& b) { b[base + 8] = 9; }, "page 0 should be a PFS Page"},
      {"page count", [&](auto& b) { b[30] += 1; }, "file size"},
      {"file state", [&](auto& b) { b[42] = 1; }, "a commit was not completed"},
  };
  for (const auto& d : damages) {
    auto b = good;
    d.apply(b);
    WriteFile(f, b);
    auto problems = Check(f, "pw");
    std::string all;
    for (auto& p : problems) all += p + "\n";
    EXPECT_NE(all.find(d.expect), std::string::npos) << d.what << ":\n" << all;
    EXPECT_EQ(RunOrb({"check", f, "--password", "pw"}).status, 1) << d.what;
  }
}
