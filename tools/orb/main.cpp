// orb: the engine's command-line tool (create, inspect and check database files).
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Tables.h"
#include "orb/ORBExcept.h"
#include "storage/ORBCheck.h"
#include "storage/ORBCipher.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFreeSpace.h"
#include "storage/ORBJournal.h"
#include "storage/ORBPage.h"
#include "storage/ORBSystemFiles.h"

using namespace orb;

namespace {

const char* kUsage =
    "usage: orb COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  create FILE [--password P | --password-file F] [--cipher ID|NAME]\n"
    "              [--page-size N] [--extent N] [--max-connections N]\n"
    "      Create a new database file (encrypted when a password is given).\n"
    "  info FILE [--password P | --password-file F]\n"
    "      Print the header fields; with a password, also verify it.\n"
    "  check FILE [--password P | --password-file F]\n"
    "      Read every page and check the allocation maps and header counts;\n"
    "      prints one line per problem, or ok. Exit 1 when a problem is found.\n"
    "  sample FILE [--password P] [--cipher ID|NAME] --records N [--seed S]\n"
    "              (re)creates the vault table LC filled with generated records\n"
    "  dump FILE TABLE [--password P] [--index NAME] [--filter TEXT] [--limit N]\n"
    "              the table's rows as CSV, in index order, restricted by a filter\n"
    "  import FILE TABLE --csv F [--password P]\n"
    "              appends the rows of a CSV file (header row of field names) in one transaction\n"
    "  torture FILE --commits N --pages K [--password P] [--seed S]\n"
    "      Create K data pages (if the file is absent), then run N commits, each\n"
    "      rewriting every page with content derived from the commit number.\n"
    "  torture FILE --verify [--password P]\n"
    "      Recover an unfinished commit, then check that every page carries the\n"
    "      same commit number and the storage check passes.\n"
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
  long maxConnections = kDefaultMaxConnections;
  if (a.options.count("--max-connections"))
    maxConnections = ParseNumber(a.options.at("--max-connections"), "connection count", 1, 100000);
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(file, pw, static_cast<uint16_t>(extent), static_cast<uint16_t>(pageSize));
  TORBSystemFiles system(pm);
  system.Create(static_cast<int32_t>(maxConnections));
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
  if (pm.IsOpen()) {
    std::cout << "HeaderBase: " << pm.HeaderBase() << "\n";
    if (h.TotalPageCount > kSystemDirectoryPageNo) {
      TORBSystemFiles system(pm);
      system.Open();
      for (const auto& [id, page] : system.Directory.Entries())
        std::cout << "SystemDirectory: entry " << static_cast<int>(id) << " at page " << page << "\n";
      std::cout << "SessionSlots: " << system.Sessions.SlotCount() << "\n";
      std::cout << "Tables: " << system.TableList.Entries().size() << "\n";
      for (const auto& t : system.TableList.Entries())
        std::cout << "Table: " << t.Name << " (id " << t.TableID << ")\n";
    }
  }
  if (pm.IsOpen() && h.TotalPageCount > kSystemDirectoryPageNo) {
    pm.CloseDatabaseFile();
    orbtool::ListTables(file, pw);
  }
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
  if (problems.empty()) problems = CheckSystemFiles(pm);
  if (problems.empty()) {
    pm.CloseDatabaseFile();
    problems = orbtool::CheckTables(file, pw);
  }
  for (const auto& p : problems) std::cout << p << "\n";
  if (leaked) std::cout << leaked << " pages allocated by an interrupted transaction are unused\n";
  if (problems.empty()) std::cout << "ok\n";
  return problems.empty() ? 0 : 1;
}

// Torture pages: data[0..3] commit number, [4..7] page number, [8..11]
// seed, then bytes that follow from all three.
void FillTorturePage(uint8_t* data, uint32_t size, uint32_t commit, int32_t pageNo, uint32_t seed) {
  PutLE(data, commit);
  PutLE(data + 4, pageNo);
  PutLE(data + 8, seed);
  uint32_t x = seed ^ (commit * 2654435761u) ^ (static_cast<uint32_t>(pageNo) * 40503u) ^ 0x9E3779B9u;
  for (uint32_t i = 12; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    data[i] = static_cast<uint8_t>(x);
  }
}

// The data pages of a torture file: every used page that is not a map page
// and was written.
std::vector<int32_t> TorturePages(TORBDiskPageManager& pm) {
  std::vector<int32_t> pages;
  auto& fs = pm.FreeSpace();
  for (int32_t n = 0; n < pm.Header().TotalPageCount; ++n) {
    if (fs.IsMapPage(n) || !fs.IsPageUsed(n)) continue;
    uint8_t head[kPageHeaderSize] = {};
    if (pm.File().ReadBuffer(head, pm.PageOffset(n), kPageHeaderSize) && std::memcmp(head, "ORBP", 4) == 0 &&
        PageHeader::Type(head) == ptTableRecord)
      pages.push_back(n);
  }
  return pages;
}

int TortureVerify(const std::string& file, const TORBPassword& pw) {
  TORBDiskPageManager pm;
  bool multiUser = false, needsRepair = false, readOnly = false;
  pm.OpenDatabaseFile(file, pw, multiUser, true, needsRepair, readOnly);
  int bad = 0;
  if (needsRepair) {
    std::cout << "database needs repair\n";
    ++bad;
  }
  std::vector<std::string> problems = CheckStorage(pm);
  if (problems.empty()) problems = CheckSystemFiles(pm);
  for (const auto& p : problems) {
    std::cout << p << "\n";
    ++bad;
  }
  std::vector<int32_t> pages = TorturePages(pm);
  int64_t commit = -1;
  std::vector<uint8_t> expect(pm.PageDataSize);
  for (int32_t no : pages) {
    TORBPageHandle page(pm, pm.GetPage(0, no, false, ptAny));
    const uint32_t c = GetLE<uint32_t>(page->Data());
    if (commit < 0) commit = c;
    FillTorturePage(expect.data(), pm.PageDataSize, c, no, GetLE<uint32_t>(page->Data() + 8));
    if (c != commit || std::memcmp(expect.data(), page->Data(), pm.PageDataSize) != 0) {
      std::cout << "page " << no << " holds commit " << c << ", expected " << commit << "\n";
      ++bad;
    }
  }
  std::cout << "commit " << commit << " on " << pages.size() << " pages" << (bad ? "" : ", ok") << "\n";
  return bad ? 1 : 0;
}

int Torture(const Args& a) {
  const std::string& file = OneFile(a);
  TORBPassword pw = PasswordFrom(a);
  if (a.options.count("--verify")) return TortureVerify(file, pw);
  if (!a.options.count("--commits") || !a.options.count("--pages")) throw UsageError("torture needs --commits and --pages, or --verify");
  const long commits = ParseNumber(a.options.at("--commits"), "commit count", 0, 2000000000L);
  const long pageCount = ParseNumber(a.options.at("--pages"), "page count", 1, 1000000L);
  const uint32_t seed = a.options.count("--seed") ? static_cast<uint32_t>(ParseNumber(a.options.at("--seed"), "seed", 0, 0x7FFFFFFF)) : 1;
  TORBDiskPageManager pm;
  std::vector<int32_t> pages;
  uint32_t commit = 0;
  if (access(file.c_str(), F_OK) != 0) {
    pm.CreateDatabaseFile(file, pw);
    TORBSystemFiles(pm).Create();
    for (long i = 0; i < pageCount; ++i) {
      TORBPageHandle p(pm, pm.AddPage(0, ptTableRecord));
      FillTorturePage(p->Data(), pm.PageDataSize, 0, p->PageNo, seed);
      pages.push_back(p->PageNo);
    }
    pm.ApplyChanges(0);
    std::cout << "commit 0" << std::endl;
  } else {
    bool multiUser = false, needsRepair = false, readOnly = false;
    pm.OpenDatabaseFile(file, pw, multiUser, true, needsRepair, readOnly);
    pages = TorturePages(pm);
    if (!pages.empty()) {
      TORBPageHandle p(pm, pm.GetPage(0, pages[0], false, ptAny));
      commit = GetLE<uint32_t>(p->Data());
    }
  }
  for (long i = 0; i < commits; ++i) {
    ++commit;
    for (int32_t no : pages) {
      TORBPageHandle p(pm, pm.GetPage(0, no, false, ptAny));
      FillTorturePage(p->Data(), pm.PageDataSize, commit, no, seed);
      p->IsDirty = true;
    }
    pm.ApplyChanges(0);
    std::cout << "commit " << commit << std::endl;
  }
  return 0;
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
    if (cmd == "create") return Create(Parse(argc, argv, {"--password", "--password-file", "--cipher", "--page-size", "--extent", "--max-connections"}));
    if (cmd == "torture") {
      // --verify takes no value: give it one so the parser stays simple.
      std::vector<char*> args(argv, argv + argc);
      std::string yes = "1";
      for (size_t i = 0; i < args.size(); ++i)
        if (std::string(args[i]) == "--verify") args.insert(args.begin() + static_cast<long>(i) + 1, yes.data()), ++i;
      return Torture(Parse(static_cast<int>(args.size()), args.data(),
                           {"--password", "--password-file", "--commits", "--pages", "--seed", "--verify"}));
    }
    if (cmd == "check") return Check(Parse(argc, argv, {"--password", "--password-file"}));
    if (cmd == "info") return Info(Parse(argc, argv, {"--password", "--password-file"}));
    if (cmd == "sample") {
      const Args a = Parse(argc, argv, {"--password", "--password-file", "--cipher", "--records", "--seed"});
      if (!a.options.count("--records")) throw UsageError("sample needs --records N");
      orbtool::Sample(OneFile(a), PasswordFrom(a), ParseNumber(a.options.at("--records"), "record count", 0, 100000000L),
                      a.options.count("--seed")
                          ? static_cast<unsigned>(ParseNumber(a.options.at("--seed"), "seed", 0, 0x7FFFFFFF))
                          : 1u);
      return 0;
    }
    if (cmd == "dump" || cmd == "import") {
      const Args a = Parse(argc, argv, {"--password", "--password-file", "--index", "--filter", "--limit", "--csv"});
      if (a.positional.size() != 2) throw UsageError(cmd + " needs FILE and TABLE");
      const auto opt = [&](const char* name) { return a.options.count(name) ? a.options.at(name) : std::string(); };
      if (cmd == "dump") {
        const long limit = a.options.count("--limit") ? ParseNumber(opt("--limit"), "limit", 0, 2000000000L) : -1;
        orbtool::Dump(a.positional[0], PasswordFrom(a), a.positional[1], opt("--index"), opt("--filter"), limit);
        return 0;
      }
      if (opt("--csv").empty()) throw UsageError("import needs --csv F");
      const long n = orbtool::Import(a.positional[0], PasswordFrom(a), a.positional[1], opt("--csv"));
      std::cout << n << " rows imported\n";
      return 0;
    }
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
