// The orb tool's table commands: sample, info, check, dump and import.
#include <gtest/gtest.h>

#include "TestSupport.h"

using orbtest::RunOrb;
using orbtest::TempDir;

namespace {

size_t Lines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

TEST(TableTool, SampleInfoCheckDumpAndImport) {
  TempDir dir;
  const std::string f = dir.file("v.orb");
  ASSERT_EQ(RunOrb({"sample", f, "--password", "pw", "--records", "500", "--seed", "3"}).status, 0);
  const auto info = RunOrb({"info", f, "--password", "pw"});
  EXPECT_NE(info.out.find("Table LC: 500 records"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Index RSetDate (DateSet DESC; Service)"), std::string::npos);
  EXPECT_EQ(RunOrb({"check", f, "--password", "pw"}).out, "ok\n");

  // Service order, a header row, NULL as an empty cell, ISO dates.
  const auto dump = RunOrb({"dump", f, "LC", "--password", "pw", "--index", "ServiceI", "--limit", "5"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  EXPECT_EQ(dump.out.rfind("Service,UserName,Password,DateSet,DateReset,", 0), 0u);
  EXPECT_NE(dump.out.find(",2026-"), std::string::npos);
  // A filter in the engine's language, case-sensitive.
  const auto mail = RunOrb({"dump", f, "LC", "--password", "pw", "--filter", "[CAT] = 'Mail'"});
  const auto lower = RunOrb({"dump", f, "LC", "--password", "pw", "--filter", "[CAT] = 'mail'"});
  EXPECT_GT(Lines(mail.out), 1u);
  EXPECT_EQ(Lines(lower.out), 1u);

  // Import appends in one transaction; a bad row (named by its line) changes nothing.
  orbtest::WriteFile(dir.file("rows.csv"), std::vector<uint8_t>(mail.out.begin(), mail.out.end()));
  const auto ok = RunOrb({"import", f, "LC", "--csv", dir.file("rows.csv"), "--password", "pw"});
  ASSERT_EQ(ok.status, 0) << ok.err;
  const std::string bad = "service,DATESET\r\n\"a, b\",2026-01-02\r\nx,2026-02-30\r\n";
  orbtest::WriteFile(dir.file("bad.csv"), std::vector<uint8_t>(bad.begin(), bad.end()));
  const auto refused = RunOrb({"import", f, "LC", "--csv", dir.file("bad.csv"), "--password", "pw"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("CSV line 3:"), std::string::npos) << refused.err;
  const auto after = RunOrb({"info", f, "--password", "pw"});
  const long imported = std::stol(ok.out);  // "N rows imported"
  EXPECT_GT(imported, 0);
  EXPECT_NE(after.out.find("Table LC: " + std::to_string(500 + imported) + " records"), std::string::npos) << after.out;
  EXPECT_EQ(RunOrb({"check", f, "--password", "pw"}).out, "ok\n");
}

}  // namespace
