// The orb command-line tool: create and info, exit statuses and messages.
#include <gtest/gtest.h>

#include "TestSupport.h"

using orbtest::ReadFile;
using orbtest::RunOrb;
using orbtest::TempDir;

TEST(OrbTool, CreateAndInfo) {
  TempDir dir;
  std::string f = dir.file("v.orb");
  auto r = RunOrb({"create", f, "--password", "pw", "--cipher", "Twofish_256", "--page-size", "8192", "--extent", "4"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(f).size(), 380u + 6 * 8192);  // header region and the six pages of a new database
  r = RunOrb({"info", f, "--password", "pw"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* line : {"Signature: ORBITAL0DATABASE\n", "FileVersion: 5.13\n", "PageSize: 8192\n",
                           "ExtentPageCount: 4\n", "TotalPageCount: 6\n", "LastUsedPageNo: 4\n", "ChangeCounter: 1\n",
                           "FileState: 2\n", "Encrypted: yes\n", "Cipher: 6 Twofish_256\n", "SessionSlots: 500\n",
                           "Tables: 0\n", "Password: verified\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
  // Without a password the header still shows; it is not verified.
  r = RunOrb({"info", f});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("Password: verified"), std::string::npos);
  EXPECT_NE(r.out.find("Cipher: 6 Twofish_256"), std::string::npos);
}

TEST(OrbTool, PasswordFileAndCipherNumbers) {
  TempDir dir;
  std::string f = dir.file("v.orb"), pwFile = dir.file("pw.txt");
  orbtest::WriteFile(pwFile, {'s', 'e', 'c', '\n'});
  ASSERT_EQ(RunOrb({"create", f, "--password-file", pwFile, "--cipher", "3"}).status, 0);
  auto r = RunOrb({"info", f, "--password", "sec"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Cipher: 3 DES_Triple"), std::string::npos);
}

TEST(OrbTool, ErrorsAndUsage) {
  TempDir dir;
  std::string f = dir.file("v.orb");
  ASSERT_EQ(RunOrb({"create", f, "--password", "pw"}).status, 0);
  auto before = ReadFile(f);
  auto r = RunOrb({"info", f, "--password", "nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Cannot open database because incorrect password - Native error: 30445"), std::string::npos);
  EXPECT_EQ(ReadFile(f), before);
  EXPECT_EQ(RunOrb({"info", dir.file("missing.orb")}).status, 1);
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"frobnicate"}, {"create"}, {"create", f, "--cipher", "Enigma"}, {"create", f, "--page-size", "12"},
           {"info", f, "--bogus", "1"}}) {
    EXPECT_EQ(RunOrb(bad).status, 2) << bad[0];
  }
  r = RunOrb({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("create FILE"), std::string::npos);
}
