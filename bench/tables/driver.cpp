// The vault's LC table side by side on the engine, SQLite and SQLCipher:
// inserts in one transaction, inserts committed one by one, point lookups
// through the service index, a walk in service order, a five-term filter and
// deleting every other record in one transaction (Workload.h has the records
// and the answers). The engine runs here; each SQL peer runs as a process of
// its own (the two libraries export the same symbols) and reports its
// seconds and answers on stdout. Every engine's answers must equal those
// worked out from the records, so the figures are of correct work only.
// Settings:
// - the engine: AES-128 (cipher 0), 4 KiB pages, its default cache of 1000
//   pages (4000 KiB when memory allows), durable commits, index columns at
//   their default MaxIndexedSize of 20: a longer string keeps a prefix in
//   the key and the engine settles ties from the records, so walks and
//   lookups still go by whole values (checked below);
// - SQLite: 4 KiB pages, no encryption; SQLCipher: a key by PRAGMA key and
//   everything else at its defaults (its own page size and key derivation);
// - both SQL peers: cache_size of as many KiB as the engine's cache holds,
//   journal_mode=DELETE, synchronous=EXTRA (the engine's commit also syncs
//   the folder once the journal is gone), and their reads in one read
//   transaction per workload.
// Usage: tables [DIR]: files go to a fresh folder in DIR (default: the
// system's temporary folder) and are removed afterwards.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "VaultSchema.h"
#include "Workload.h"
#include "access/ORBTableRecordSource.h"
#include "expr/ORBExpression.h"
#include "orb/ORBExcept.h"
#include "tables/ORBDatabaseData.h"
#include "tables/ORBDiskRecordManager.h"
#include "tables/ORBDiskTableData.h"

extern char** environ;

using namespace orb;
using namespace tables;
using Clock = std::chrono::steady_clock;

namespace {

std::filesystem::path g_dir;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "tables: %s\n", what.c_str());
  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
  std::exit(1);
}

double Seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Result {
  double Seconds = 0;
  std::string Answer;
};
using Results = std::map<std::string, Result>;

// ---- the engine ----

enum { fService, fUserName, fPassword, fDateSet, fDateReset, fOldPassword, fNewPassword, fDateCycle, fDescription,
       fCat };
class OrbLC {
 public:
  explicit OrbLC(const std::string& file) {
    const TORBPassword password{"password", 0};
    TORBDiskDatabaseData::CreateDatabase(file, password);
    db_ = std::make_unique<TORBDiskDatabaseData>(file, password);
    TORBFieldDefs fields;
    TORBIndexDefs indexes;
    orbvault::VaultSchema(fields, indexes);
    t_ = &db_->GetTableData("LC");
    t_->CreateTable(c_.Session, fields, indexes, TORBConstraintDefs{});
    t_->OpenTable(c_);
    serviceIndex_ = t_->IndexNumber("ServiceI");
    if (serviceIndex_ < 0) Fail("orb: no ServiceI index");
  }
  ~OrbLC() {
    if (t_->IsOpen()) t_->CloseTable(c_);
  }

  int32_t CachePages() { return db_->PageManager().CacheCapacity(); }

  Results Run(const Workload& w) {
    Results out;
    c_.InTransaction = true;
    auto t0 = Clock::now();
    for (int i = 0; i < kTxnInserts; ++i) Insert(w.Records[i]);
    db_->Commit(c_.Session);
    out["insert_txn"] = {Seconds(t0), Answer(t_->RecordCount(), 0)};

    c_.InTransaction = false;
    t0 = Clock::now();
    for (int i = kTxnInserts; i < kRecords; ++i) Insert(w.Records[i]);
    out["insert_each"] = {Seconds(t0), Answer(t_->RecordCount(), 0)};

    int64_t rows = 0;
    uint64_t digest = 0;
    c_.ActiveIndex = serviceIndex_;
    t0 = Clock::now();
    for (int i : w.Lookups) {
      const std::string& key = w.Records[i].Service;
      TORBVariant v;
      v.SetString(key, stString);
      if (!t_->FindKey(c_, {v})) continue;
      for (; !c_.Eof && Str(fService) == key; t_->GetRecord(c_, nmNext), ++rows) digest += RowDigest(false);
    }
    out["lookup"] = {Seconds(t0), Answer(rows, digest)};

    rows = 0;
    digest = 0;
    t0 = Clock::now();
    for (t_->First(c_); !c_.Eof; t_->GetRecord(c_, nmNext), ++rows) {
      if (rows >= kRecords || Str(fService) != w.Expect.ServiceOrder[static_cast<size_t>(rows)])
        Fail("orb walk: row " + std::to_string(rows) + " out of service order");
      digest += RowDigest(true);
    }
    out["walk"] = {Seconds(t0), Answer(rows, digest)};

    rows = 0;
    digest = 0;
    c_.ActiveIndex = -1;
    t0 = Clock::now();
    {
      TORBTableRecordSource source(*t_, c_);
      TORBExpression filter;
      filter.ParseFilter(&source, kFilter, false, false);
      if (!filter.Root()) Fail("orb: the filter does not parse");
      for (t_->First(c_); !c_.Eof; t_->GetRecord(c_, nmNext))
        if (filter.GetBooleanValue()) {
          ++rows;
          digest += RowDigest(false);
        }
    }
    out["filter"] = {Seconds(t0), Answer(rows, digest)};

    // Physical order is insertion order here (nothing was deleted yet);
    // each record is checked to be the one the generator made i-th.
    c_.InTransaction = true;
    t0 = Clock::now();
    t_->First(c_);
    for (int i = 0; i < kRecords; ++i) {
      const Record& r = w.Records[i];
      if (c_.Eof || Str(fService) != r.Service || Str(fPassword) != r.Password)
        Fail("orb delete_half: record " + std::to_string(i) + " is not where insertion put it");
      if (DeletedByHalf(i))
        t_->DeleteRecord(c_);  // moves on to the next record
      else
        t_->GetRecord(c_, nmNext);
    }
    db_->Commit(c_.Session);
    const double s = Seconds(t0);
    c_.InTransaction = false;
    rows = 0;
    digest = 0;
    for (t_->First(c_); !c_.Eof; t_->GetRecord(c_, nmNext), ++rows) digest += RowDigest(true);
    const std::vector<std::string> problems = t_->Check(c_.Session);
    if (!problems.empty()) Fail("orb check after delete_half: " + problems.front());
    out["delete_half"] = {s, Answer(rows, digest)};
    return out;
  }

 private:
  void Insert(const Record& r) {
    c_.Record = t_->NewRecord();
    const auto& f = t_->Fields();
    uint8_t* b = c_.Record.data();
    auto text = [&](int field, const std::string& v) {
      if (!v.empty()) SetFieldData(static_cast<size_t>(field), f, b, v.c_str());
    };
    auto date = [&](int field, int32_t v) {
      if (v != kNoDate) SetFieldData(static_cast<size_t>(field), f, b, &v);
    };
    text(fService, r.Service);
    text(fUserName, r.UserName);
    text(fPassword, r.Password);
    date(fDateSet, r.DateSet);
    date(fDateReset, r.DateReset);
    text(fOldPassword, r.OldPassword);
    text(fNewPassword, r.NewPassword);
    date(fDateCycle, r.DateCycle);
    text(fCat, r.Cat);
    if (!r.Description.empty())
      t_->SetBlobValue(c_, fDescription, std::vector<uint8_t>(r.Description.begin(), r.Description.end()));
    t_->InsertRecord(c_);
  }

  std::string_view Str(int field) const {
    if (FieldIsNull(c_.Record.data(), static_cast<size_t>(field))) return {};
    return reinterpret_cast<const char*>(c_.Record.data() + t_->Fields()[static_cast<size_t>(field)].MemoryOffset);
  }
  int32_t Date(int field) const {
    if (FieldIsNull(c_.Record.data(), static_cast<size_t>(field))) return kNoDate;
    int32_t v;
    std::memcpy(&v, c_.Record.data() + t_->Fields()[static_cast<size_t>(field)].MemoryOffset, 4);
    return v;
  }
  uint64_t RowDigest(bool withMemo) {
    std::string memo;
    if (withMemo && !FieldIsNull(c_.Record.data(), fDescription)) {
      const std::vector<uint8_t> v = t_->GetBlobValue(c_, fDescription);
      memo.assign(v.begin(), v.end());
    }
    const std::string_view m = memo;
    return Digest(Str(fService), Str(fUserName), Str(fPassword), Date(fDateSet), Date(fDateReset),
                  Str(fOldPassword), Str(fNewPassword), Date(fDateCycle), Str(fCat), withMemo ? &m : nullptr);
  }

  std::unique_ptr<TORBDiskDatabaseData> db_;
  TORBDiskTableData* t_ = nullptr;
  TORBTableCursor c_;
  int serviceIndex_ = -1;
};

// ---- the SQL peers ----

Results RunPeer(const char* name, const char* program, const std::string& file, int cacheKiB, std::string& info) {
  int fds[2];
  if (pipe(fds) != 0) Fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  const std::string cache = std::to_string(cacheKiB);
  char* argv[] = {const_cast<char*>(program), const_cast<char*>(file.c_str()), const_cast<char*>(cache.c_str()),
                  nullptr};
  pid_t pid;
  const int rc = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) Fail(std::string("cannot start ") + program + ": " + std::strerror(rc));
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail(std::string(name) + " peer failed");
  Results out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    std::string workload;
    in >> workload;
    if (workload == "info") {
      std::getline(in >> std::ws, info);
      continue;
    }
    Result r;
    in >> r.Seconds;
    std::getline(in >> std::ws, r.Answer);
    out[workload] = r;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path base = argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
  g_dir = base / ("orb-tables-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(g_dir);
  try {
    const Workload w = Generate();
    Results orb;
    int32_t cachePages = 0;
    {
      OrbLC lc((g_dir / "lc.orb").string());
      cachePages = lc.CachePages();
      orb = lc.Run(w);
    }
    const int cacheKiB = cachePages * 4;
    std::string sqliteInfo, cipherInfo;
    const Results sqlite =
        RunPeer("sqlite", ORB_TABLES_SQLITE_PEER, (g_dir / "lc.sqlite").string(), cacheKiB, sqliteInfo);
    const Results cipher =
        RunPeer("sqlcipher", ORB_TABLES_SQLCIPHER_PEER, (g_dir / "lc.sqlcipher").string(), cacheKiB, cipherInfo);
    auto mib = [&](const char* name) { return std::filesystem::file_size(g_dir / name) / (1024.0 * 1024.0); };

    std::printf("tables: LC, %d records (%d in one transaction, %d one by one), %d lookups\n", kRecords,
                kTxnInserts, kEachInserts, kLookups);
    std::printf("  orb: cipher 0 (AES-128), page_size 4096, cache %d pages (%d KiB), file %.1f MiB\n", cachePages,
                cacheKiB, mib("lc.orb"));
    std::printf("  sqlite: %s, file %.1f MiB\n", sqliteInfo.c_str(), mib("lc.sqlite"));
    std::printf("  sqlcipher: %s, file %.1f MiB\n", cipherInfo.c_str(), mib("lc.sqlcipher"));
    for (const char* workload : kWorkloads) {
      const Result& o = orb[workload];
      const Result& s = sqlite.at(workload);
      const Result& c = cipher.at(workload);
      const std::string expected = ExpectedAnswer(w, workload);
      for (const auto& [who, r] : {std::pair{"orb", &o}, std::pair{"sqlite", &s}, std::pair{"sqlcipher", &c}})
        if (r->Answer != expected)
          Fail(std::string(who) + " " + workload + ": answered " + r->Answer + ", expected " + expected);
      std::printf("%s: orb/sqlite=%.2f orb/sqlcipher=%.2f\n", workload, o.Seconds / s.Seconds,
                  o.Seconds / c.Seconds);
      std::printf("  seconds: orb %.3f  sqlite %.3f  sqlcipher %.3f  (all answered %s)\n", o.Seconds, s.Seconds,
                  c.Seconds, expected.c_str());
    }
    std::printf("checks: every answer equals the one worked out from the records; walks in service order; "
                "orb table check and sqlite integrity_check clean after delete_half\n");
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  std::filesystem::remove_all(g_dir);
  return 0;
}
