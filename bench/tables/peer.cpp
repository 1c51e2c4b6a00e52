// One SQL peer of the tables benchmark, built twice: against SQLite, and
// against SQLCipher (ORB_PEER_SQLCIPHER) with a key set by PRAGMA key and its
// cipher settings left at their defaults. The two libraries export the same
// symbols, so each build runs as a process of its own, started by the driver.
// Usage: peer FILE CACHE_KIB. Prints "<workload> <seconds> <answer>" lines
// (answers as Workload.h words them) and exits non-zero on any wrong answer.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "Workload.h"

using Clock = std::chrono::steady_clock;
using namespace tables;

namespace {

sqlite3* g_db = nullptr;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "tables peer: %s\n", what.c_str());
  std::exit(1);
}

double Seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void Exec(const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(g_db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) Fail(sql + ": " + err);
}

sqlite3_stmt* Prepare(const std::string& sql) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(g_db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    Fail(sql + ": " + sqlite3_errmsg(g_db));
  return st;
}

std::string One(const std::string& sql) {
  sqlite3_stmt* st = Prepare(sql);
  std::string v;
  if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
    v = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  sqlite3_finalize(st);
  return v;
}

// Refuses a plan that does not read through the index or sorts on its own.
void RequireIndexPlan(const std::string& query, const std::string& index) {
  sqlite3_stmt* st = Prepare("EXPLAIN QUERY PLAN " + query);
  std::string plan;
  while (sqlite3_step(st) == SQLITE_ROW) plan += reinterpret_cast<const char*>(sqlite3_column_text(st, 3)) + std::string("; ");
  sqlite3_finalize(st);
  if (plan.find("INDEX " + index) == std::string::npos || plan.find("TEMP B-TREE") != std::string::npos)
    Fail("plan for '" + query + "': " + plan);
}

void BindText(sqlite3_stmt* st, int col, const std::string& v) {
  if (v.empty())
    sqlite3_bind_null(st, col);
  else
    sqlite3_bind_text(st, col, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
}
void BindDate(sqlite3_stmt* st, int col, int32_t v) {
  if (v == kNoDate)
    sqlite3_bind_null(st, col);
  else
    sqlite3_bind_int(st, col, v);
}

std::string_view Text(sqlite3_stmt* st, int col) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
  return p ? std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(st, col))) : std::string_view();
}
int32_t Date(sqlite3_stmt* st, int col) {
  return sqlite3_column_type(st, col) == SQLITE_NULL ? kNoDate : sqlite3_column_int(st, col);
}

// Columns 0..9 in table order: the memo (8) is read only when asked.
uint64_t RowDigest(sqlite3_stmt* st, bool withMemo) {
  const std::string_view memo = withMemo ? Text(st, 8) : std::string_view();
  return Digest(Text(st, 0), Text(st, 1), Text(st, 2), Date(st, 3), Date(st, 4), Text(st, 5), Text(st, 6),
                Date(st, 7), Text(st, 9), withMemo ? &memo : nullptr);
}

void Insert(sqlite3_stmt* st, const Record& r) {
  BindText(st, 1, r.Service);
  BindText(st, 2, r.UserName);
  BindText(st, 3, r.Password);
  BindDate(st, 4, r.DateSet);
  BindDate(st, 5, r.DateReset);
  BindText(st, 6, r.OldPassword);
  BindText(st, 7, r.NewPassword);
  BindDate(st, 8, r.DateCycle);
  BindText(st, 9, r.Description);
  BindText(st, 10, r.Cat);
  if (sqlite3_step(st) != SQLITE_DONE) Fail(std::string("insert: ") + sqlite3_errmsg(g_db));
  sqlite3_reset(st);
}

const char* kColumns = "Service, UserName, Password, DateSet, DateReset, OldPassword, NewPassword, DateCycle, "
                       "Description, CAT";

void Report(const Workload& w, const char* workload, double seconds, const std::string& answer) {
  if (answer != ExpectedAnswer(w, workload))
    Fail(std::string(workload) + ": answered " + answer + ", expected " + ExpectedAnswer(w, workload));
  std::printf("%s %.6f %s\n", workload, seconds, answer.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) Fail("usage: peer FILE CACHE_KIB");
  const Workload w = Generate();
  if (sqlite3_open(argv[1], &g_db) != SQLITE_OK) Fail(std::string("cannot open ") + argv[1]);
#ifdef ORB_PEER_SQLCIPHER
  Exec("PRAGMA key = 'password'");
  if (One("PRAGMA cipher_version").empty()) Fail("this build is not SQLCipher");
#endif
  // EXTRA, not FULL: a commit here ends by syncing the folder after the
  // journal is deleted, as the engine's does; FULL leaves that last step out
  // and so a commit that power loss can still undo.
  Exec("PRAGMA journal_mode=DELETE");
  Exec("PRAGMA synchronous=EXTRA");
  Exec("PRAGMA cache_size=-" + std::string(argv[2]));
  if (One("PRAGMA journal_mode") != "delete" || One("PRAGMA synchronous") != "3")
    Fail("journal_mode/synchronous not set");
  Exec("CREATE TABLE LC(Service VARCHAR(105), UserName VARCHAR(105), Password VARCHAR(45), DateSet DATE, "
       "DateReset DATE, OldPassword VARCHAR(45), NewPassword VARCHAR(45), DateCycle DATE, Description TEXT, "
       "CAT VARCHAR(20))");
  Exec("CREATE INDEX ServiceI ON LC(Service)");
  Exec("CREATE INDEX SetDate ON LC(DateSet, Service)");
  Exec("CREATE INDEX CycleDate ON LC(DateCycle)");
  Exec("CREATE INDEX User ON LC(UserName, Service)");
  Exec("CREATE INDEX CAT ON LC(CAT, Service)");
  Exec("CREATE INDEX RSetDate ON LC(DateSet DESC, Service)");
  const std::string lookupSql = std::string("SELECT ") + kColumns + " FROM LC WHERE Service = ?";
  const std::string walkSql = std::string("SELECT ") + kColumns + " FROM LC ORDER BY Service";
  std::string info = "sqlite " + One("SELECT sqlite_version()") + ", page_size " + One("PRAGMA page_size") +
                     ", cache_size " + One("PRAGMA cache_size");
#ifdef ORB_PEER_SQLCIPHER
  info += ", cipher " + One("PRAGMA cipher") + " " + One("PRAGMA cipher_version") + ", kdf_iter " +
          One("PRAGMA kdf_iter");
#endif
  std::printf("info %s\n", info.c_str());
  RequireIndexPlan(lookupSql, "ServiceI");
  RequireIndexPlan(walkSql, "ServiceI");

  sqlite3_stmt* ins = Prepare("INSERT INTO LC(" + std::string(kColumns) + ") VALUES(?,?,?,?,?,?,?,?,?,?)");
  auto t0 = Clock::now();
  Exec("BEGIN");
  for (int i = 0; i < kTxnInserts; ++i) Insert(ins, w.Records[i]);
  Exec("COMMIT");
  double s = Seconds(t0);
  Report(w, "insert_txn", s, Answer(std::stoll(One("SELECT count(*) FROM LC")), 0));

  t0 = Clock::now();
  for (int i = kTxnInserts; i < kRecords; ++i) Insert(ins, w.Records[i]);
  s = Seconds(t0);
  sqlite3_finalize(ins);
  Report(w, "insert_each", s, Answer(std::stoll(One("SELECT count(*) FROM LC")), 0));

  // Reads run in one read transaction each: in autocommit every statement
  // would take and drop the file lock and recheck the header, a cost the
  // engine's single-user reads do not pay.
  sqlite3_stmt* sel = Prepare(lookupSql);
  int64_t rows = 0;
  uint64_t digest = 0;
  t0 = Clock::now();
  Exec("BEGIN");
  for (int i : w.Lookups) {
    const std::string& key = w.Records[i].Service;
    sqlite3_bind_text(sel, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    for (; sqlite3_step(sel) == SQLITE_ROW; ++rows) digest += RowDigest(sel, false);
    sqlite3_reset(sel);
  }
  Exec("COMMIT");
  s = Seconds(t0);
  sqlite3_finalize(sel);
  Report(w, "lookup", s, Answer(rows, digest));

  sqlite3_stmt* walk = Prepare(walkSql);
  rows = 0;
  digest = 0;
  t0 = Clock::now();
  Exec("BEGIN");
  for (; sqlite3_step(walk) == SQLITE_ROW; ++rows) {
    if (rows >= kRecords || Text(walk, 0) != w.Expect.ServiceOrder[static_cast<size_t>(rows)])
      Fail("walk: row " + std::to_string(rows) + " out of service order");
    digest += RowDigest(walk, true);
  }
  Exec("COMMIT");
  s = Seconds(t0);
  sqlite3_finalize(walk);
  Report(w, "walk", s, Answer(rows, digest));

  sqlite3_stmt* filter = Prepare(std::string("SELECT ") + kColumns + " FROM LC WHERE " + kFilter);
  rows = 0;
  digest = 0;
  t0 = Clock::now();
  Exec("BEGIN");
  for (; sqlite3_step(filter) == SQLITE_ROW; ++rows) digest += RowDigest(filter, false);
  Exec("COMMIT");
  s = Seconds(t0);
  sqlite3_finalize(filter);
  Report(w, "filter", s, Answer(rows, digest));

  // Rowid i + 1 holds record i: an even rowid is a record DeletedByHalf.
  t0 = Clock::now();
  Exec("BEGIN");
  Exec("DELETE FROM LC WHERE rowid % 2 = 0");
  Exec("COMMIT");
  s = Seconds(t0);
  sqlite3_stmt* kept = Prepare(std::string("SELECT ") + kColumns + " FROM LC");
  rows = 0;
  digest = 0;
  for (; sqlite3_step(kept) == SQLITE_ROW; ++rows) digest += RowDigest(kept, true);
  sqlite3_finalize(kept);
  if (One("PRAGMA integrity_check") != "ok") Fail("integrity_check after delete_half");
  Report(w, "delete_half", s, Answer(rows, digest));
  sqlite3_close(g_db);
  return 0;
}
