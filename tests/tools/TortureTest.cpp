// Killing `orb torture` at random moments never leaves a database that
// `orb torture --verify` rejects.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "TestSupport.h"

using orbtest::RunOrb;
using orbtest::TempDir;

namespace {

// Starts the tool with stdout on a pipe; answers the pid and the read end.
pid_t Spawn(const std::vector<std::string>& args, int* out) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<std::string> copy = args;
    std::string tool = ORB_TOOL_PATH;
    std::vector<char*> argv{tool.data()};
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  *out = fds[0];
  return pid;
}

}  // namespace

TEST(Torture, SigkillAtRandomMomentsNeverBreaksTheDatabase) {
  TempDir dir;
  std::string f = dir.file("t.orb");
  std::mt19937 rng(20261210);
  int killedMidRun = 0;
  for (int round = 0; round < 25; ++round) {
    int out = -1;
    pid_t pid = Spawn({"torture", f, "--commits", "100000", "--pages", "24", "--password", "pw", "--seed", "7"}, &out);
    ASSERT_GT(pid, 0);
    // Wait for the first finished commit of this run, then strike at random.
    char c;
    std::string line;
    while (read(out, &c, 1) == 1 && c != '\n') line += c;
    ASSERT_EQ(line.rfind("commit ", 0), 0u) << line;
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 60000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out);
    if (WIFSIGNALED(status)) ++killedMidRun;
    auto v = RunOrb({"torture", f, "--verify", "--password", "pw"});
    ASSERT_EQ(v.status, 0) << "round " << round << ":\n" << v.out << v.err;
    EXPECT_NE(v.out.find(", ok"), std::string::npos) << v.out;
  }
  EXPECT_GT(killedMidRun, 20);
}

TEST(Torture, VerifyRejectsADamagedPage) {
  TempDir dir;
  std::string f = dir.file("t.orb");
  ASSERT_EQ(RunOrb({"torture", f, "--commits", "2", "--pages", "5"}).status, 0);
  auto b = orbtest::ReadFile(f);
  b[380 + 5 * 4096 + 40 + 2000] ^= 0x10;  // the first data page after the system files
  orbtest::WriteFile(f, b);
  auto v = RunOrb({"torture", f, "--verify"});
  EXPECT_EQ(v.status, 1);
  EXPECT_NE(v.out.find("page 5 holds commit 2"), std::string::npos) << v.out;
}
