// Damaged files: flipping bytes of a database's header region, page headers,
// map pages and system files ends in correct data or an engine error -- never
// a crash, a hang or a sanitizer report.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBCheck.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBSystemFiles.h"

using namespace orb;
using orbtest::ReadFile;
using orbtest::TempDir;
using orbtest::WriteFile;

namespace {

// Opens, loads the system files and runs both checks; answers how it ended.
std::string Exercise(const std::string& f, const std::string& pw) {
  try {
    TORBDiskPageManager pm;
    bool mu = false, rep = false, ro = false;
    pm.OpenDatabaseFile(f, TORBPassword{pw, 0}, mu, true, rep, ro);
    auto problems = CheckStorage(pm);
    auto more = CheckSystemFiles(pm);
    TORBSystemFiles sys(pm);
    sys.Open();
    return problems.empty() && more.empty() ? "clean" : "problems";
  } catch (const EORBException&) {
    return "error";
  }
}

}  // namespace

TEST(DamagedFile, FlippedBytesEndInDataOrAnError) {
  int saved = TORBLockRetry::Tries;
  TORBLockRetry::Tries = 2;
  TempDir dir;
  for (std::string pw : {"", "pw"}) {
    std::string f = dir.file("d.orb");
    {
      TORBDiskPageManager pm;
      pm.CreateDatabaseFile(f, TORBPassword{pw, 0});
      TORBSystemFiles sys(pm);
      sys.Create(40);
      sys.TableList.Add({"Accounts", 1, 2, 3, 4});
      sys.TableList.Save();
      pm.ApplyChanges(kSystemSession);
    }
    const auto good = ReadFile(f);
    ASSERT_EQ(Exercise(f, pw), "problems");  // the table entry points at system pages: reported, not fatal
    std::vector<size_t> positions;
    for (size_t i = 0; i < 380; ++i) positions.push_back(i);
    for (size_t page = 0; page < 6; ++page)
      for (size_t i = 0; i < 60; ++i) positions.push_back(380 + page * 4096 + i);
    int errors = 0;
    for (size_t at : positions) {
      for (uint8_t mask : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
        auto bad = good;
        bad[at] ^= mask;
        WriteFile(f, bad);
        const std::string outcome = Exercise(f, pw);
        errors += outcome != "clean";
      }
    }
    EXPECT_GT(errors, 0);
  }
  TORBLockRetry::Tries = saved;
}
