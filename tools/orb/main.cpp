// orb: the engine's command-line tool (create, inspect and check database files).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "orb/ORBExcept.h"
#include "storage/ORBCheck.h"
#include "storage/ORBCipher.h"
#include "storage/ORBDiskPageManager.h"

using namespace orb;

namespace {

const char* kUsage =
    "usage: orb COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  create FILE [--password P | --password-file F] [--cipher ID|NAME]\n"
    "              [--page-size N] [--extent N]\n"
    "      Create a new database file (encrypted when a password is given).\n"
    "  info FILE [--password P | --password-file F]\n"
    "      Print the header fields; with a password, also verify it.\n"
    "  check FILE [--password P | --password-file F]\n"
    "      Read every page and check the allocation maps and header counts;\n"
    "      prints one line per problem, or ok. Exit 1 when a problem is found.\n"
    "  help\n"
    "      Show this text.\n"
    "\n"
    "Ciphers: 0 Rijndael_128 (default), 1 Rijndael_256, 2 DES_Single, 3 DES_Triple,\n"
    "         4 Blowfish, 5 Twofish_128, 6 Twofish_256, 7 Square.\n"
    "Exit status: 0 success, 1 engine error, 2 usage error.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Args {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
};

Args Parse(int argc, char** argv, const std::vector<std::string>& valued) {
  Args a;
  a.command = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string s = argv[i];
    if (s.rfind("--", 0) == 0) {
      bool known = false;
      for (const auto& v : valued) known |= v == s;
      if (!known) throw UsageError("unknown option " + s);
      if (i + 1 >= argc) throw UsageError("option " + s + " needs a value");
      a.options[s] = argv[++i];
    } else {
      a.positional.push_back(s);
    }
  }
  return a;
}

long ParseNumber(const std::string& s, const char* what, long lo, long hi) {
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end || v < lo || v > hi)
    throw UsageError(std::string("invalid ") + what + ": " + s);
  return v;
}

TORBPassword PasswordFrom(const Args& a) {
  TORBPassword pw;
  auto p = a.options.find("--password");
  auto f = a.options.find("--password-file");
  if (p != a.options.end() && f != a.options.end()) throw UsageError("give --password or --password-file, not both");
  if (p != a.options.end()) pw.Password = p->second;
  if (f != a.options.end()) {
    std::ifstream in(f->second, std::ios::binary);
    if (!in) throw UsageError("cannot read password file " + f->second);
    std::stringstream ss;
    ss << in.rdbuf();
    pw.Password = ss.str();
    while (!pw.Password.empty() && (pw.Password.back() == '\n' || pw.Password.back() == '\r')) pw.Password.pop_back();
  }
  auto c = a.options.find("--cipher");
  if (c != a.options.end()) {
    int id = CipherIdByName(c->second);
    if (id < 0) id = static_cast<int>(ParseNumber(c->second, "cipher", 0, kCipherCount - 1));
    pw.CipherID = static_cast<uint8_t>(id);
  }
  return pw;
}

const std::string& OneFile(const Args& a) {
  if (a.positional.size() != 1) throw UsageError(a.command + " takes one FILE");
  return a.positional[0];
}

int Create(const Args& a) {
  const std::string& file = OneFile(a);
  TORBPassword pw = PasswordFrom(a);
  long pageSize = kDefaultPageSize, extent = kDefaultExtentPageCount;
  if (a.options.count("--page-size")) pageSize = ParseNumber(a.options.at("--page-size"), "page size", kMinPageSize, 65535);
  if (a.options.count("--extent")) extent = ParseNumber(a.options.at("--extent"), "extent", 1, 65535);
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(file, pw, static_cast<uint16_t>(extent), static_cast<uint16_t>(pageSize));
  pm.CloseDatabaseFile();
  std::cout << "created " << file << (pw.Password.empty() ? "" : " (encrypted, cipher ") 
            << (pw.Password.empty() ? "" : CipherName(pw.CipherID)) << (pw.Password.empty() ? "" : ")") << "\n";
  return 0;
}

int Info(const Args& a) {
  const std::string& file = OneFile(a);
  TORBPassword pw = PasswordFrom(a);
  const bool withPassword = a.options.count("--password") || a.options.count("--password-file");
  TORBDiskPageManager pm;
  bool multiUser = false, needsRepair = false, readOnly = true;
  bool verified = false;
  if (withPassword) {
    pm.OpenDatabaseFile(file, pw, multiUser, false, needsRepair, readOnly);
    verified = pm.IsEncrypted();
  } else {
    // Without a password an encrypted file still shows its header.
    try {
      pm.OpenDatabaseFile(file, pw, multiUser, false, needsRepair, readOnly);
    } catch (const EORBException& e) {
      if (e.NativeErrorCode() != 30445) throw;
      TORBDatabaseFile f;
      f.OpenFile(file, TORBDatabaseFile::amReadOnly, TORBDatabaseFile::smShareReadWrite);
      int64_t base = 0;
      if (!f.FindHeader(&base)) base = 0;
      uint8_t buf[kHeaderSize];
      f.ReadBufferOrRaise(buf, 10464, base, kHeaderSize);
      pm.Header().Decode(buf);
      uint8_t block[kVerifierSize];
      f.ReadBufferOrRaise(block, 30439, base + pm.Header().HeaderSize, kVerifierSize);
      TORBPasswordVerifier v;
      v.Decode(block);
      pw.CipherID = v.CipherID;
      needsRepair = pm.Header().FileState != kFileStateConsistent || pm.Header().FileVersion < 2.99;
      f.CloseFile();
    }
  }
  const TORBFileHeader& h = pm.Header();
  const uint8_t cipher = pm.IsOpen() ? pm.Password().CipherID : pw.CipherID;
  char version[32];
  std::snprintf(version, sizeof version, "%.2f", h.FileVersion);
  std::cout << "Signature: " << std::string(h.Signature, 16) << "\n"
            << "FileVersion: " << version << "\n"
            << "PageSize: " << h.PageSize << "\n"
            << "ExtentPageCount: " << h.ExtentPageCount << "\n"
            << "TotalPageCount: " << h.TotalPageCount << "\n"
            << "LastUsedPageNo: " << h.LastUsedPageNo << "\n"
            << "ChangeCounter: " << h.ChangeCounter << "\n"
            << "FileState: " << static_cast<int>(h.FileState) << "\n"
            << "Encrypted: " << (h.Encrypted ? "yes" : "no") << "\n";
  if (h.Encrypted) {
    const char* name = CipherName(cipher);
    std::cout << "Cipher: " << static_cast<int>(cipher) << " " << (name ? name : "unknown") << "\n";
  } else {
    std::cout << "Cipher: none\n";
  }
  if (pm.IsOpen()) std::cout << "HeaderBase: " << pm.HeaderBase() << "\n";
  if (needsRepair) std::cout << "NeedsRepair: yes\n";
  if (verified) std::cout << "Password: verified\n";
  return 0;
}

int Check(const Args& a) {
  const std::string& file = OneFile(a);
  TORBPassword pw = PasswordFrom(a);
  TORBDiskPageManager pm;
  bool multiUser = false, needsRepair = false, readOnly = true;
  pm.OpenDatabaseFile(file, pw, multiUser, false, needsRepair, readOnly);
  int64_t leaked = 0;
  std::vector<std::string> problems = CheckStorage(pm, &leaked);
  for (const auto& p : problems) std::cout << p << "\n";
  if (leaked) std::cout << leaked << " pages allocated by an interrupted transaction are unused\n";
  if (problems.empty()) std::cout << "ok\n";
  return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::cout << kUsage;
    return 0;
  }
  try {
    if (cmd == "create") return Create(Parse(argc, argv, {"--password", "--password-file", "--cipher", "--page-size", "--extent"}));
    if (cmd == "check") return Check(Parse(argc, argv, {"--password", "--password-file"}));
    if (cmd == "info") return Info(Parse(argc, argv, {"--password", "--password-file"}));
    throw UsageError("unknown command " + cmd);
  } catch (const UsageError& e) {
    std::cerr << "orb: " << e.what() << "\n\n" << kUsage;
    return 2;
  } catch (const EORBException& e) {
    std::cerr << "orb: " << e.Message() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "orb: " << e.what() << "\n";
    return 1;
  }
}
