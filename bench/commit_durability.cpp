// Commits per second with and without durability (journal + flushes), side by
// side with SQLite doing the same work (rewrite 4 blocks of 4000 bytes per
// transaction) with synchronous=FULL and with synchronous=OFF.
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "storage/ORBDiskPageManager.h"
#include "storage/ORBPage.h"

using namespace orb;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPagesPerCommit = 4;
constexpr int kBlock = 4000;

double OrbCommitsPerSecond(const std::string& file, bool durable, int commits) {
  std::filesystem::remove(file);
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(file, TORBPassword{"bench", 0});
  pm.Journal().Durable = durable;
  std::vector<int32_t> pages;
  for (int i = 0; i < 64; ++i) {
    TORBPageHandle p(pm, pm.AddPage(0, ptTableRecord));
    pages.push_back(p->PageNo);
  }
  pm.ApplyChanges(0);
  auto t0 = Clock::now();
  for (int c = 0; c < commits; ++c) {
    for (int k = 0; k < kPagesPerCommit; ++k) {
      TORBPageHandle p(pm, pm.GetPage(0, pages[(c * kPagesPerCommit + k) % pages.size()], false, ptAny));
      std::memset(p->Data(), c & 0xFF, kBlock);
      p->IsDirty = true;
    }
    pm.ApplyChanges(0);
  }
  return commits / std::chrono::duration<double>(Clock::now() - t0).count();
}

void Exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", err);
    std::exit(1);
  }
}

double SqliteCommitsPerSecond(const std::string& file, bool durable, int commits) {
  std::filesystem::remove(file);
  sqlite3* db;
  sqlite3_open(file.c_str(), &db);
  Exec(db, "PRAGMA page_size=4096; PRAGMA journal_mode=DELETE;");
  Exec(db, durable ? "PRAGMA synchronous=FULL;" : "PRAGMA synchronous=OFF;");
  Exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB)");
  sqlite3_stmt* ins;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, zeroblob(4000))", -1, &ins, nullptr);
  Exec(db, "BEGIN");
  for (int i = 0; i < 64; ++i) {
    sqlite3_bind_int(ins, 1, i);
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  Exec(db, "COMMIT");
  sqlite3_finalize(ins);
  sqlite3_stmt* upd;
  sqlite3_prepare_v2(db, "UPDATE t SET v=? WHERE id=?", -1, &upd, nullptr);
  std::vector<unsigned char> blob(kBlock);
  auto t0 = Clock::now();
  for (int c = 0; c < commits; ++c) {
    std::memset(blob.data(), c & 0xFF, blob.size());
    Exec(db, "BEGIN");
    for (int k = 0; k < kPagesPerCommit; ++k) {
      sqlite3_bind_blob(upd, 1, blob.data(), kBlock, SQLITE_STATIC);
      sqlite3_bind_int(upd, 2, (c * kPagesPerCommit + k) % 64);
      sqlite3_step(upd);
      sqlite3_reset(upd);
    }
    Exec(db, "COMMIT");
  }
  double r = commits / std::chrono::duration<double>(Clock::now() - t0).count();
  sqlite3_finalize(upd);
  sqlite3_close(db);
  return r;
}

}  // namespace

int main() {
  auto dir = std::filesystem::temp_directory_path() / ("orb-commit-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string orbFile = (dir / "c.orb").string(), sqlFile = (dir / "c.sqlite").string();
  const int durableCommits = 300, fastCommits = 5000;
  double orbDurable = OrbCommitsPerSecond(orbFile, true, durableCommits);
  double orbFast = OrbCommitsPerSecond(orbFile, false, fastCommits);
  double sqlDurable = SqliteCommitsPerSecond(sqlFile, true, durableCommits);
  double sqlFast = SqliteCommitsPerSecond(sqlFile, false, fastCommits);
  std::printf("commits/s durable:    orb %.0f, sqlite(FULL) %.0f, ratio %.2f\n", orbDurable, sqlDurable,
              orbDurable / sqlDurable);
  std::printf("commits/s no flushes: orb %.0f, sqlite(OFF) %.0f, ratio %.2f\n", orbFast, sqlFast, orbFast / sqlFast);
  std::printf("durability costs orb %.2f ms per commit, sqlite %.2f ms\n", 1000 / orbDurable - 1000 / orbFast,
              1000 / sqlDurable - 1000 / sqlFast);
  std::filesystem::remove_all(dir);
  return 0;
}
