// Cost of a shared-cache hit: GetPage + PutPage of a cached page, against a
// bare hash-map lookup of the same keys for scale.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <unordered_map>
#include <vector>

#include "storage/ORBDiskPageManager.h"
#include "storage/ORBPage.h"

using namespace orb;

int main() {
  auto dir = std::filesystem::temp_directory_path() / ("orb-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string file = (dir / "cache.orb").string();
  std::vector<int32_t> pages;
  {
    TORBDiskPageManager pm;
    pm.CreateDatabaseFile(file, TORBPassword{"bench", 0});
    for (int i = 0; i < 1000; ++i) {
      TORBPage* p = pm.AddPage(0, ptTableRecord);
      pages.push_back(p->PageNo);
      pm.PutPage(p);
    }
    pm.ApplyChanges(0);
  }
  TORBDiskPageManager pm;
  bool mu = false, rep = false, ro = false;
  pm.OpenDatabaseFile(file, TORBPassword{"bench", 0}, mu, true, rep, ro);
  pm.SetCacheCapacity(1000);
  for (int32_t no : pages) pm.PutPage(pm.GetPage(0, no, true, ptAny));  // warm: every page cached

  std::mt19937 rng(7);
  std::vector<int32_t> order(4'000'000);
  for (auto& o : order) o = pages[rng() % pages.size()];

  auto t0 = std::chrono::steady_clock::now();
  uint64_t sink = 0;
  for (int32_t no : order) {
    TORBPage* p = pm.GetPage(0, no, true, ptAny);
    sink += p->PageBuffer[40];
    pm.PutPage(p);
  }
  auto t1 = std::chrono::steady_clock::now();
  std::unordered_map<int32_t, TORBPage*> plain;
  for (int32_t no : pages) plain[no] = nullptr;
  for (int32_t no : order) sink += plain.find(no) != plain.end();
  auto t2 = std::chrono::steady_clock::now();

  double hitNs = std::chrono::duration<double, std::nano>(t1 - t0).count() / order.size();
  double mapNs = std::chrono::duration<double, std::nano>(t2 - t1).count() / order.size();
  std::printf("page cache hit (GetPage+PutPage): %.1f ns; bare hash lookup: %.1f ns; ratio %.1f (sink %llu)\n", hitNs,
              mapNs, hitNs / mapNs, static_cast<unsigned long long>(sink % 10));
  pm.CloseDatabaseFile();
  std::filesystem::remove_all(dir);
  return 0;
}
