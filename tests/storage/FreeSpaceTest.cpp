// Allocation maps: map page geometry, allocation order, growth and shrink
// steps, extent states, and the file never ending on a map page.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"
#include "orb/ORBExcept.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFreeSpace.h"
#include "storage/ORBPage.h"

using namespace orb;
using orbtest::CodeOf;
using orbtest::ReadFile;
using orbtest::TempDir;

namespace {

// The EAM entry (two bits) of extent x, read from the file.
int EamEntry(TORBDiskPageManager& pm, int64_t x) {
  const TORBMapGeometry g(pm.PageDataSize, pm.Header().ExtentPageCount);
  uint8_t b;
  pm.ReadPageBytes(&b, static_cast<int32_t>(g.EamPageNo(x / g.X)), 1,
                   static_cast<uint32_t>(pm.PageHeaderSize + (x % g.X) / 4));
  return (b >> (2 * ((x % g.X) % 4))) & 3;
}

}  // namespace

TEST(FreeSpace, MapPageGeometry) {
  const TORBMapGeometry g(4056, 8);
  EXPECT_EQ(g.P, 32448);
  EXPECT_EQ(g.S, 129792);
  for (int64_t n : {0, 1, 32448, 129792, 129793}) EXPECT_TRUE(g.IsMapPage(n)) << n;
  for (int64_t n : {2, 32449, 129794}) EXPECT_FALSE(g.IsMapPage(n)) << n;
}

TEST(FreeSpace, AllocationGrowthAndExtents) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(f, {});
  auto& fs = pm.FreeSpace();
  EXPECT_EQ(fs.GrowthStep(), 6);
  EXPECT_EQ(fs.AllocatePage(), 2);
  EXPECT_EQ(pm.Header().TotalPageCount, 6);
  EXPECT_EQ(ReadFile(f).size(), 380u + 6 * 4096);
  EXPECT_EQ(fs.AllocatePage(), 3);
  EXPECT_EQ(fs.AllocatePage(), 4);
  EXPECT_EQ(EamEntry(pm, 0), 1);  // page 5 is still free
  EXPECT_EQ(fs.AllocatePage(), 5);
  EXPECT_EQ(fs.AllocatePage(), 6);  // grows by max(6 / 10, 8) = 8
  EXPECT_EQ(pm.Header().TotalPageCount, 14);
  EXPECT_EQ(fs.AllocatePage(), 7);
  EXPECT_EQ(EamEntry(pm, 0), 3);  // pages 0..7 all in use
  fs.FreePage(5);
  EXPECT_EQ(EamEntry(pm, 0), 1);
  EXPECT_EQ(CodeOf([&] { fs.FreePage(5); }), 30427);
  try {
    fs.FreePage(5);
  } catch (const EORBException& e) {
    EXPECT_EQ(e.Text(), "Page: 5 already free");
  }
  EXPECT_EQ(CodeOf([&] { fs.MarkPage(3, true); }), 30425);
  EXPECT_EQ(CodeOf([&] { fs.MarkPage(14, true); }), 30430);
  EXPECT_EQ(CodeOf([&] { fs.CheckNotMapPage(1); }), 30434);
  EXPECT_EQ(fs.AllocatePage(), 5);  // the lowest free page comes back first
}

TEST(FreeSpace, FreeingTheTopLowersLastUsedAndShrinksInWholeSteps) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(f, {});
  auto& fs = pm.FreeSpace();
  std::vector<int32_t> pages;
  for (int i = 0; i < 98; ++i) pages.push_back(fs.AllocatePage());
  const int32_t total = pm.Header().TotalPageCount;
  EXPECT_EQ(fs.GrowthStep(), std::max(total / 10, 8));
  fs.FreePage(pages.back());
  EXPECT_EQ(pm.Header().LastUsedPageNo, pages[pages.size() - 2]);
  // Free from the top until the free tail is a whole growth step or more.
  for (int i = 0; i < 40; ++i) {
    pages.pop_back();
    fs.FreePage(pages.back());
    const auto& h = pm.Header();
    ASSERT_EQ(pm.File().GetSize(), pm.PageBase() + int64_t{h.TotalPageCount} * 4096);
    ASSERT_LT(h.TotalPageCount - h.LastUsedPageNo - 1, fs.GrowthStep()) << "the tail was not cut";
  }
  EXPECT_LT(pm.Header().TotalPageCount, total);
}

TEST(FreeSpace, FileNeverEndsOnAMapPage) {
  // A small page makes map pages frequent: D = 472, P = 3776, and with two
  // pages per extent an EAM page sits right after every PFS page.
  TempDir dir;
  std::string f = dir.file("a.orb");
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(f, {}, 2, 512);
  auto& fs = pm.FreeSpace();
  const TORBMapGeometry& g = fs.Geometry();
  ASSERT_EQ(g.P, 3776);
  ASSERT_TRUE(g.IsMapPage(3776) && g.IsMapPage(3777));
  std::vector<int32_t> pages;
  while (pm.Header().TotalPageCount < 3800) {
    pages.push_back(fs.AllocatePage());
    ASSERT_FALSE(g.IsMapPage(pm.Header().TotalPageCount - 1));
    ASSERT_FALSE(g.IsMapPage(pages.back()));
  }
  // Free everything above the second map pair, then below it: every cut
  // keeps both map pages or neither.
  while (!pages.empty()) {
    fs.FreePage(pages.back());
    pages.pop_back();
    const int32_t total = pm.Header().TotalPageCount;
    ASSERT_TRUE(total == 0 || !g.IsMapPage(total - 1)) << "file ends on map page " << total - 1;
    ASSERT_EQ(pm.File().GetSize(), pm.PageBase() + int64_t{total} * 512);
  }
  EXPECT_EQ(pm.Header().LastUsedPageNo, -1);
}

TEST(FreeSpace, ShrinkNeverCutsBetweenPartnerMapPages) {
  // Every state near the PFS/EAM pair at 3776/3777 (and the pair at 0/1).
  const TORBMapGeometry g(472, 2);
  int adjusted = 0;
  for (int64_t total = 3; total < 4600; ++total)
    for (int64_t lastUsed = -1; lastUsed < total && !g.IsMapPage(total - 1); ++lastUsed) {
      if (lastUsed >= 0 && g.IsMapPage(lastUsed)) continue;
      const int64_t step = std::max<int64_t>(total / 10, 2);
      const int64_t after = TORBDatabaseFreeSpaceManager::ShrinkTarget(g, total, lastUsed, step);
      ASSERT_LE(after, total);
      ASSERT_GT(after, lastUsed) << "a used page was cut";
      ASSERT_TRUE(after == 0 || !g.IsMapPage(after - 1)) << total << " " << lastUsed << " -> " << after;
      const int64_t plain = total - ((total - lastUsed - 1) / step) * step;
      adjusted += after != plain;
    }
  EXPECT_GT(adjusted, 0);  // the map pages did get in the way of some cuts
}
