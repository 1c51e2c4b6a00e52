// The engine's allocator: counting, limit, guards.
#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "orb/ORBExcept.h"
#include "storage/ORBMemory.h"

using namespace orb;
using orbtest::CodeOf;

namespace {
}  // namespace

TEST(MemoryManager, CountsLimitsAndZeroFills) {
  auto& mm = TORBMemoryManager::Instance();
  const int64_t base = mm.Allocated();
  auto* p = static_cast<uint8_t*>(mm.GetMem(1000, true));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(p[i], 0);
  EXPECT_EQ(mm.Allocated(), base + 1000);
  p = static_cast<uint8_t*>(mm.ReallocMem(p, 3000));
  EXPECT_EQ(mm.Allocated(), base + 3000);
  EXPECT_EQ(p[999], 0);  // kept across the resize

  mm.SetLimit(base + 4000);
  try {
    mm.GetMem(2000);
    FAIL();
  } catch (const EORBException& e) {
    EXPECT_EQ(e.NativeErrorCode(), 30004);
    EXPECT_NE(e.Message().find("Memory limit exceeded (Limit = "), std::string::npos);
  }
  EXPECT_EQ(mm.Allocated(), base + 3000);  // the refused request is not counted
  EXPECT_LE(mm.AvailableMemory(), base + 4000);
  mm.SetLimit(0);
  EXPECT_GT(mm.AvailableMemory(), 0);
  mm.FreeMem(p);
  EXPECT_EQ(mm.Allocated(), base);
  EXPECT_EQ(CodeOf([&] { mm.GetMem(0); }), 30286);
}

TEST(MemoryManager, GuardsCatchOverrunsAndBadPointers) {
  auto& mm = TORBMemoryManager::Instance();
  auto* p = static_cast<uint8_t*>(mm.GetMem(64));
  p[64] ^= 0xFF;  // one byte past the end
  EXPECT_EQ(CodeOf([&] { mm.FreeMem(p); }), 30137);
  p[64] ^= 0xFF;
  mm.FreeMem(p);
  alignas(16) uint8_t local[64] = {};
  try {
    mm.FreeMem(local + 16);
    FAIL();
  } catch (const EORBException& e) {
    EXPECT_EQ(e.Text(), "Invalid pointer");
  }
}

TEST(MemoryManager, SystemAvailableMemoryIsSane) {
  int64_t m = SystemAvailableMemory();
  EXPECT_GT(m, 0);
  EXPECT_LT(m, int64_t{1} << 50);
}
