// Atomic commit: a crash or a failure at any write, flush or size change of a
// commit leaves the database exactly as before or exactly as after it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <csignal>

#include "TestSupport.h"
#include "orb/ORBExcept.h"
#include "storage/ORBCheck.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFaultEnv.h"
#include "storage/ORBFreeSpace.h"
#include "storage/ORBJournal.h"
#include "storage/ORBPage.h"

using namespace orb;
using orbtest::ReadFile;
using orbtest::TempDir;
using orbtest::WriteFile;

namespace {

const TORBPassword kPw{"pw", 0};
constexpr int kPages = 30;

uint32_t Tag(TORBPageManager& pm, int32_t no) {
  TORBPageHandle p(pm, pm.GetPage(0, no, false, ptAny));
  uint32_t t;
  std::memcpy(&t, p->Data(), 4);
  return t;
}

void SetTag(TORBPageManager& pm, int32_t no, uint32_t tag) {
  TORBPageHandle p(pm, pm.GetPage(0, no, false, ptAny));
  std::memcpy(p->Data(), &tag, 4);
  std::memset(p->Data() + 4, static_cast<int>(tag & 0xFF), p->DataSize() - 4);
  p->IsDirty = true;
}

void OpenRW(TORBDiskPageManager& pm, const std::string& f, bool* needsRepair = nullptr) {
  bool mu = false, rep = false, ro = false;
  pm.OpenDatabaseFile(f, kPw, mu, true, rep, ro);
  if (needsRepair) *needsRepair = rep;
}

// Pages 2..31 tagged 100 + i, committed.
std::vector<int32_t> MakeDatabase(const std::string& f) {
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(f, kPw);
  std::vector<int32_t> pages;
  for (int i = 0; i < kPages; ++i) {
    TORBPageHandle p(pm, pm.AddPage(0, ptTableRecord));
    pages.push_back(p->PageNo);
  }
  for (int i = 0; i < kPages; ++i) SetTag(pm, pages[i], 100 + i);
  pm.ApplyChanges(0);
  return pages;
}

enum class Scenario { ModifyAndShrink, ModifyAndGrow };

// The commit under test: rewrite ten pages and either free the last ten
// (the file shrinks) or add ten (the file grows). Added page numbers are
// returned through `added`.
void Mutate(TORBDiskPageManager& pm, const std::vector<int32_t>& pages, Scenario s, std::vector<int32_t>* added) {
  for (int i = 0; i < 10; ++i) SetTag(pm, pages[i], 1000 + i);
  if (s == Scenario::ModifyAndShrink) {
    for (int i = 20; i < kPages; ++i) pm.RemovePage(0, pages[i]);
  } else {
    for (int i = 0; i < 10; ++i) {
      TORBPageHandle p(pm, pm.AddPage(0, ptTableRecord));
      added->push_back(p->PageNo);
      uint32_t tag = 5000 + i;
      std::memcpy(p->Data(), &tag, 4);
    }
  }
}

// "before", "after", or what is wrong.
std::string Classify(const std::string& f, const std::vector<int32_t>& pages, Scenario s,
                     const std::vector<int32_t>& added) {
  TORBDiskPageManager pm;
  bool repair = false;
  OpenRW(pm, f, &repair);
  if (repair) return "needs repair";
  if (TORBJournal::IsHot(f, TORBEnv::Default())) return "journal left behind";
  auto problems = CheckStorage(pm);
  if (!problems.empty()) return "check: " + problems[0];
  int modified = 0;
  for (int i = 0; i < 10; ++i) {
    uint32_t t = Tag(pm, pages[i]);
    if (t == 1000u + i) ++modified;
    else if (t != 100u + i) return "page " + std::to_string(pages[i]) + " holds " + std::to_string(t);
  }
  for (int i = 10; i < 20; ++i)
    if (Tag(pm, pages[i]) != 100u + i) return "untouched page changed";
  bool after = modified == 10;
  if (modified != 0 && modified != 10) return "half the pages changed";
  auto& fs = pm.FreeSpace();
  if (s == Scenario::ModifyAndShrink) {
    for (int i = 20; i < kPages; ++i) {
      if (fs.IsPageUsed(pages[i]) == after) return "removed page in the wrong state";
      if (!after && Tag(pm, pages[i]) != 100u + i) return "removed page lost its data";
    }
  } else {
    for (int i = 0; i < 10; ++i)
      if (after && Tag(pm, added[i]) != 5000u + i) return "added page missing";
  }
  return after ? "after" : "before";
}

struct Outcome {
  bool crashed;
  bool reachedEnd;
};

// Runs the commit in a child process with the fault armed at call `n`.
Outcome RunChild(const std::string& f, const std::vector<int32_t>& pages, Scenario s, TORBFaultEnv::Mode mode,
                 int64_t n, std::vector<int32_t>* added) {
  int pipefd[2];
  EXPECT_EQ(pipe(pipefd), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(pipefd[0]);
    int code = 0;
    try {
      TORBFaultEnv env;
      TORBDiskPageManager pm(&env);
      OpenRW(pm, f);
      std::vector<int32_t> mine;
      Mutate(pm, pages, s, &mine);
      for (int32_t no : mine)
        if (write(pipefd[1], &no, sizeof no) != sizeof no) _exit(3);
      env.Arm(mode, n);
      try {
        pm.ApplyChanges(0);
      } catch (const EORBException&) {
        code = 1;  // a clean failure
      }
      if (env.Calls() <= n) code = 2;  // the fault point was never reached
    } catch (...) {
      code = 4;
    }
    _exit(code);
  }
  close(pipefd[1]);
  int32_t no;
  while (read(pipefd[0], &no, sizeof no) == sizeof no) added->push_back(no);
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  int code = WEXITSTATUS(status);
  EXPECT_NE(code, 4);
  return {code == TORBFaultEnv::kCrashExitCode, code == 2};
}

}  // namespace

class AtomicCommit : public ::testing::TestWithParam<std::tuple<Scenario, TORBFaultEnv::Mode>> {};

TEST_P(AtomicCommit, EveryFaultPointLeavesBeforeOrAfter) {
  auto [scenario, mode] = GetParam();
  TempDir dir;
  std::string f = dir.file("a.orb");
  auto pages = MakeDatabase(f);
  const auto pristine = ReadFile(f);
  int befores = 0, afters = 0;
  for (int64_t n = 0;; ++n) {
    ASSERT_LT(n, 500) << "the commit never finished";
    WriteFile(f, pristine);
    std::vector<int32_t> added;
    Outcome o = RunChild(f, pages, scenario, mode, n, &added);
    std::string state = Classify(f, pages, scenario, added);
    ASSERT_TRUE(state == "before" || state == "after") << "fault at call " << n << ": " << state;
    (state == "before" ? befores : afters)++;
    if (o.reachedEnd) {
      EXPECT_EQ(state, "after");
      break;
    }
    if (mode == TORBFaultEnv::Mode::FailOnce || mode == TORBFaultEnv::Mode::FailFromNow) {
      EXPECT_FALSE(o.crashed);
    }
  }
  EXPECT_GT(befores, 3);
  EXPECT_GE(afters, 1);
}

static std::string ParamName(const ::testing::TestParamInfo<AtomicCommit::ParamType>& info) {
  static const char* const kModes[] = {"Off", "FailOnce", "FailFromNow", "Crash", "TornCrash"};
  return std::string(std::get<0>(info.param) == Scenario::ModifyAndShrink ? "Shrink" : "Grow") +
         kModes[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AtomicCommit,
    ::testing::Combine(::testing::Values(Scenario::ModifyAndShrink, Scenario::ModifyAndGrow),
                       ::testing::Values(TORBFaultEnv::Mode::Crash, TORBFaultEnv::Mode::TornCrash,
                                         TORBFaultEnv::Mode::FailOnce, TORBFaultEnv::Mode::FailFromNow)),
    ParamName);

TEST(Journal, ReadOnlyOpenRefusesAHotJournalAndAWriterRecoversIt) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  auto pages = MakeDatabase(f);
  std::vector<int32_t> added;
  // Crash in the middle of the commit's page writes.
  RunChild(f, pages, Scenario::ModifyAndShrink, TORBFaultEnv::Mode::Crash, 12, &added);
  ASSERT_TRUE(TORBJournal::IsHot(f, TORBEnv::Default()));
  TORBDiskPageManager ro;
  bool mu = false, rep = false, readOnly = true;
  try {
    ro.OpenDatabaseFile(f, kPw, mu, false, rep, readOnly);
    FAIL() << "opened";
  } catch (const EORBException& e) {
    EXPECT_EQ(e.NativeErrorCode(), 31071);
  }
  EXPECT_EQ(Classify(f, pages, Scenario::ModifyAndShrink, added), "before");
  EXPECT_FALSE(TORBJournal::IsHot(f, TORBEnv::Default()));
}

TEST(Journal, TornOrForeignJournalsAreIgnored) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  auto pages = MakeDatabase(f);
  const auto pristine = ReadFile(f);
  // A journal whose header is torn, and one of garbage.
  for (std::vector<uint8_t> junk : {std::vector<uint8_t>{'O', 'R', 'B', 'J'}, std::vector<uint8_t>(5000, 0xAB)}) {
    WriteFile(TORBJournal::PathFor(f), junk);
    TORBDiskPageManager pm;
    OpenRW(pm, f);
    EXPECT_EQ(Tag(pm, pages[3]), 103u);
    pm.CloseDatabaseFile();
    EXPECT_EQ(ReadFile(f), pristine);
  }
  // Creating a database never plays back a journal left by an older file.
  std::vector<int32_t> added;
  RunChild(f, pages, Scenario::ModifyAndShrink, TORBFaultEnv::Mode::Crash, 12, &added);
  TORBDiskPageManager fresh;
  fresh.CreateDatabaseFile(f, kPw);
  fresh.CloseDatabaseFile();
  EXPECT_FALSE(TORBJournal::IsHot(f, TORBEnv::Default()));
  EXPECT_EQ(ReadFile(f).size(), 380u);
}

TEST(Journal, FullDiskDuringCommitKeepsThePreviousState) {
  TempDir dir;
  std::string f = dir.file("a.orb");
  auto pages = MakeDatabase(f);
  const auto pristine = ReadFile(f);
  pid_t pid = fork();
  if (pid == 0) {
    // No file may grow past 20000 bytes: the journal of this commit hits the
    // limit, as on a full disk.
    signal(SIGXFSZ, SIG_IGN);
    int code = 0;
    try {
      TORBDiskPageManager pm;
      OpenRW(pm, f);
      std::vector<int32_t> added;
      for (int i = 0; i < 10; ++i) SetTag(pm, pages[i], 1000 + i);
      for (int i = 0; i < 200; ++i) {
        TORBPageHandle p(pm, pm.AddPage(0, ptTableRecord));
      }
      struct rlimit lim{20000, RLIM_INFINITY};
      setrlimit(RLIMIT_FSIZE, &lim);
      try {
        pm.ApplyChanges(0);
        code = 2;
      } catch (const EORBException& e) {
        code = std::string(e.what()).find("File too large") != std::string::npos ? 1 : 3;
      }
    } catch (const EORBException& e) {
      // The allocation itself may already hit the limit.
      code = std::string(e.what()).find("File too large") != std::string::npos ? 1 : 3;
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "expected a clear 'File too large' engine error";
  std::vector<int32_t> none;
  EXPECT_EQ(Classify(f, pages, Scenario::ModifyAndGrow, none), "before");
  (void)pristine;
}

TEST(Journal, ReplaceFileKeepsOneOfTheTwoAtEveryStep) {
  TempDir dir;
  std::string target = dir.file("db.orb"), tmp = dir.file("db.orb.tmp");
  WriteFile(target, {'o', 'l', 'd'});
  WriteFile(TORBJournal::PathFor(target), {'j'});
  // Failing at each call in turn: the target is always the old or the new file.
  for (int64_t n = 0;; ++n) {
    WriteFile(tmp, {'n', 'e', 'w'});
    TORBFaultEnv env;
    env.Arm(TORBFaultEnv::Mode::FailOnce, n);
    bool done = true;
    try {
      ReplaceFile(tmp, target, &env);
    } catch (const EORBException& e) {
      done = false;
      EXPECT_EQ(e.NativeErrorCode(), 31073);
    }
    auto now = ReadFile(target);
    EXPECT_TRUE(now == std::vector<uint8_t>({'o', 'l', 'd'}) || now == std::vector<uint8_t>({'n', 'e', 'w'}));
    if (done && env.Calls() <= n) break;
    ASSERT_LT(n, 20);
  }
  EXPECT_EQ(ReadFile(target), std::vector<uint8_t>({'n', 'e', 'w'}));
  EXPECT_FALSE(TORBJournal::IsHot(target, TORBEnv::Default()));
}
