// B-tree index work side by side with SQLite, for an integer key and a
// 40-character string key (kept as the default 20-byte prefix): 100,000
// inserts of records plus index entries in one transaction, a point lookup of
// every key in random order reading its record, and a walk of the whole index
// in order reading every record. Every result is checked while it is timed,
// so the figures are of correct work only.
// Settings: both files unencrypted with 4 KiB pages; SQLite's cache is set
// to the engine's default page count so both read with the same memory;
// the engine journals its commit durably, SQLite runs its defaults
// (journal_mode=DELETE, synchronous=FULL, read back and required below).
// SQLite reads each batch in one read transaction: in autocommit every
// statement would take and drop the file lock and recheck the header, a cost
// the engine's single-user reads do not pay.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "orb/ORBExcept.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBSystemFiles.h"
#include "tables/ORBBTreeRecordIndex.h"
#include "tables/ORBDiskRecordManager.h"
#include "tables/ORBVariant.h"

using namespace orb;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kKeys = 100000;
constexpr int kStringKeyLength = 40;
constexpr uint32_t kSeed = 20240611;
constexpr uint8_t kDeclaredVarchar = 2, kDeclaredInteger = 7;

std::filesystem::path g_dir;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "btree: %s\n", what.c_str());
  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
  std::exit(1);
}

double Seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Distinct keys; record i holds key i and value i. Strings use [0-9a-z]
// only, where the engine's collation and SQLite's BINARY agree on order.
struct Keys {
  bool Text = false;
  std::vector<int32_t> Ints;
  std::vector<std::string> Strs;
  std::vector<int> Lookups;  // a random permutation of the records
  std::vector<int> Sorted;   // records in key order

  static Keys Make(bool text, std::mt19937& rng) {
    Keys k;
    k.Text = text;
    if (text) {
      static const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
      std::unordered_set<std::string> seen;
      while (k.Strs.size() < kKeys) {
        std::string s(kStringKeyLength, ' ');
        for (char& c : s) c = kAlphabet[rng() % 36];
        if (seen.insert(s).second) k.Strs.push_back(s);
      }
    } else {
      std::unordered_set<int32_t> seen;
      while (k.Ints.size() < kKeys) {
        const auto v = static_cast<int32_t>(rng());
        if (seen.insert(v).second) k.Ints.push_back(v);
      }
    }
    k.Lookups.resize(kKeys);
    std::iota(k.Lookups.begin(), k.Lookups.end(), 0);
    std::shuffle(k.Lookups.begin(), k.Lookups.end(), rng);
    k.Sorted.resize(kKeys);
    std::iota(k.Sorted.begin(), k.Sorted.end(), 0);
    std::sort(k.Sorted.begin(), k.Sorted.end(),
              [&](int a, int b) { return text ? k.Strs[a] < k.Strs[b] : k.Ints[a] < k.Ints[b]; });
    return k;
  }
};

struct Figures {
  double Insert = 0, Lookup = 0, Walk = 0;
  double FileMiB = 0;
  int32_t CachePages = 0;
};

double FileMiB(const std::string& file) { return std::filesystem::file_size(file) / (1024.0 * 1024.0); }

// ---- the engine ----

TORBFieldDef Field(std::string name, uint8_t declared, int32_t size) {
  TORBFieldDef f;
  f.Name = std::move(name);
  f.SetType(declared, size);
  return f;
}

class OrbTable {
 public:
  OrbTable(const std::string& file, const Keys& keys) : keys_(keys) {
    fields_.Add(
        Field(std::string("K"), keys.Text ? kDeclaredVarchar : kDeclaredInteger, keys.Text ? kStringKeyLength : 0));
    fields_.Add(Field(std::string("V"), kDeclaredInteger, 0));
    fields_.ComputeOffsets();
    if (keys.Text && fields_[0].MemoryDataSize <= kStringKeyLength) Fail("no room for the string terminator");

    pm_.CreateDatabaseFile(file, TORBPassword{"", 0});
    TORBSystemFiles(pm_).Create();
    records_ = std::make_unique<TORBDiskRecordManager>(pm_, fields_, 1);
    records_->InitLayout(fields_.MemoryRecordSize(), fields_.RecordSize(), static_cast<int32_t>(fields_.Count()));
    records_->CreatePageIndex(0);
    def_.Name = std::string("K");
    def_.Columns = {TORBIndexColumn{"K"}};
    index_ = std::make_unique<TORBBTreeRecordIndex>(pm_, def_, fields_, records_.get());
    index_->Create(0);
    Commit();
  }
  ~OrbTable() {
    index_.reset();
    records_.reset();
    pm_.CloseDatabaseFile();
  }

  int32_t CachePages() const { return pm_.CacheCapacity(); }

  double Insert() {
    std::vector<uint8_t> r(static_cast<size_t>(fields_.MemoryRecordSize()));
    const auto t0 = Clock::now();
    for (int i = 0; i < kKeys; ++i) {
      Fill(r, i);
      TORBRecordID id;
      if (!records_->InsertRecord(0, r.data(), id)) Fail("insert: " + records_->LastError());
      index_->InsertKey(0, r.data(), id);
    }
    Commit();
    return Seconds(t0);
  }

  double Lookup() {
    std::vector<uint8_t> entry, r;
    const auto t0 = Clock::now();
    for (int i : keys_.Lookups) {
      TORBVariant v;
      if (keys_.Text)
        v.SetString(keys_.Strs[i], stString);
      else
        v.SetInteger(keys_.Ints[i], stInteger);
      const std::vector<uint8_t> full = index_->KeyRef().FullKeyFromValues({v});
      const TORBKeyPath p = index_->FindKey(0, ckEqual, full.data(), 1, -1, true);
      if (!TORBBTree::AtEntry(p)) Fail("lookup: key of record " + std::to_string(i) + " not found");
      index_->Tree().ReadEntry(0, p, entry);
      if (!records_->ReadIndexedRecord(0, ReadRecordID(entry.data() + index_->Tree().KeySize()), r))
        Fail("lookup: record unreadable");
      if (ValueOf(r) != i || !KeyIs(r, i)) Fail("lookup: found another record for key " + std::to_string(i));
    }
    return Seconds(t0);
  }

  double Walk() {
    std::vector<uint8_t> entry, r;
    TORBBTree& tree = index_->Tree();
    size_t n = 0;
    const auto t0 = Clock::now();
    TORBKeyPath p = tree.First(0);
    for (bool more = TORBBTree::AtEntry(p); more; more = tree.Next(0, p), ++n) {
      tree.ReadEntry(0, p, entry);
      if (!records_->ReadIndexedRecord(0, ReadRecordID(entry.data() + tree.KeySize()), r))
        Fail("walk: record unreadable");
      if (n >= keys_.Sorted.size() || ValueOf(r) != keys_.Sorted[n] || !KeyIs(r, keys_.Sorted[n]))
        Fail("walk: entry " + std::to_string(n) + " out of order");
    }
    const double s = Seconds(t0);
    if (n != keys_.Sorted.size()) Fail("walk: " + std::to_string(n) + " entries");
    return s;
  }

 private:
  void Commit() {
    TORBTableState state;
    records_->WriteState(state);
    pm_.ApplyChanges(0);
  }
  void Fill(std::vector<uint8_t>& r, int i) const {
    std::fill(r.begin(), r.end(), 0);  // null flags clear, string tails zero
    uint8_t* k = r.data() + fields_[0].MemoryOffset;
    if (keys_.Text)
      std::memcpy(k, keys_.Strs[i].data(), kStringKeyLength);
    else
      std::memcpy(k, &keys_.Ints[i], 4);
    std::memcpy(r.data() + fields_[1].MemoryOffset, &i, 4);
  }
  int32_t ValueOf(const std::vector<uint8_t>& r) const {
    if (FieldIsNull(r.data(), 1)) return -1;
    int32_t v;
    std::memcpy(&v, r.data() + fields_[1].MemoryOffset, 4);
    return v;
  }
  bool KeyIs(const std::vector<uint8_t>& r, int i) const {
    if (FieldIsNull(r.data(), 0)) return false;
    const uint8_t* k = r.data() + fields_[0].MemoryOffset;
    if (keys_.Text) return std::memcmp(k, keys_.Strs[i].data(), kStringKeyLength) == 0 && k[kStringKeyLength] == 0;
    return std::memcmp(k, &keys_.Ints[i], 4) == 0;
  }

  const Keys& keys_;
  TORBFieldDefs fields_;
  TORBDiskPageManager pm_;
  std::unique_ptr<TORBDiskRecordManager> records_;
  TORBIndexDef def_;
  std::unique_ptr<TORBBTreeRecordIndex> index_;
};

Figures RunOrb(const std::string& file, const Keys& keys) {
  Figures f;
  {
    OrbTable t(file, keys);
    f.CachePages = t.CachePages();
    f.Insert = t.Insert();
    f.Lookup = t.Lookup();
    f.Walk = t.Walk();
  }
  f.FileMiB = FileMiB(file);
  return f;
}

// ---- SQLite ----

void Exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) Fail("sqlite: " + std::string(err));
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) Fail("sqlite: " + std::string(sqlite3_errmsg(db)));
  return st;
}

// Refuses a plan that does not use the key index or that sorts on its own.
void RequireIndexPlan(sqlite3* db, const std::string& query) {
  sqlite3_stmt* st = Prepare(db, ("EXPLAIN QUERY PLAN " + query).c_str());
  std::string plan;
  while (sqlite3_step(st) == SQLITE_ROW)
    plan += reinterpret_cast<const char*>(sqlite3_column_text(st, 3)) + std::string("; ");
  sqlite3_finalize(st);
  if (plan.find("INDEX t_k") == std::string::npos || plan.find("TEMP B-TREE") != std::string::npos)
    Fail("sqlite plan for '" + query + "': " + plan);
}

void Bind(sqlite3_stmt* st, int col, const Keys& keys, int i) {
  if (keys.Text)
    sqlite3_bind_text(st, col, keys.Strs[i].data(), kStringKeyLength, SQLITE_STATIC);
  else
    sqlite3_bind_int(st, col, keys.Ints[i]);
}

bool RowIs(sqlite3_stmt* st, const Keys& keys, int i) {
  if (sqlite3_column_int(st, 1) != i) return false;
  if (!keys.Text) return sqlite3_column_type(st, 0) == SQLITE_INTEGER && sqlite3_column_int(st, 0) == keys.Ints[i];
  const auto* k = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  return k && sqlite3_column_bytes(st, 0) == kStringKeyLength &&
         std::memcmp(k, keys.Strs[i].data(), kStringKeyLength) == 0;
}

Figures RunSqlite(const std::string& file, const Keys& keys, int32_t cachePages) {
  Figures f;
  f.CachePages = cachePages;
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) Fail("sqlite: cannot open " + file);
  sqlite3_stmt* sync = Prepare(db, "PRAGMA synchronous");
  if (sqlite3_step(sync) != SQLITE_ROW || sqlite3_column_int(sync, 0) != 2) Fail("sqlite: synchronous is not FULL");
  sqlite3_finalize(sync);
  Exec(db, "PRAGMA cache_size=" + std::to_string(cachePages));
  Exec(db, std::string("CREATE TABLE t(k ") + (keys.Text ? "TEXT" : "INTEGER") + ", v INTEGER)");
  Exec(db, "CREATE INDEX t_k ON t(k)");
  const char* kLookup = "SELECT k, v FROM t WHERE k = ?";
  const char* kWalk = "SELECT k, v FROM t ORDER BY k";
  RequireIndexPlan(db, kLookup);
  RequireIndexPlan(db, kWalk);

  sqlite3_stmt* ins = Prepare(db, "INSERT INTO t(k, v) VALUES(?, ?)");
  auto t0 = Clock::now();
  Exec(db, "BEGIN");
  for (int i = 0; i < kKeys; ++i) {
    Bind(ins, 1, keys, i);
    sqlite3_bind_int(ins, 2, i);
    if (sqlite3_step(ins) != SQLITE_DONE) Fail("sqlite insert: " + std::string(sqlite3_errmsg(db)));
    sqlite3_reset(ins);
  }
  Exec(db, "COMMIT");
  f.Insert = Seconds(t0);
  sqlite3_finalize(ins);

  sqlite3_stmt* sel = Prepare(db, kLookup);
  t0 = Clock::now();
  Exec(db, "BEGIN");
  for (int i : keys.Lookups) {
    Bind(sel, 1, keys, i);
    if (sqlite3_step(sel) != SQLITE_ROW || !RowIs(sel, keys, i)) Fail("sqlite lookup: key " + std::to_string(i));
    if (sqlite3_step(sel) != SQLITE_DONE) Fail("sqlite lookup: key " + std::to_string(i) + " twice");
    sqlite3_reset(sel);
  }
  Exec(db, "COMMIT");
  f.Lookup = Seconds(t0);
  sqlite3_finalize(sel);

  sqlite3_stmt* walk = Prepare(db, kWalk);
  size_t n = 0;
  t0 = Clock::now();
  Exec(db, "BEGIN");
  for (; sqlite3_step(walk) == SQLITE_ROW; ++n)
    if (n >= keys.Sorted.size() || !RowIs(walk, keys, keys.Sorted[n]))
      Fail("sqlite walk: row " + std::to_string(n) + " out of order");
  sqlite3_finalize(walk);
  Exec(db, "COMMIT");
  f.Walk = Seconds(t0);
  if (n != keys.Sorted.size()) Fail("sqlite walk: " + std::to_string(n) + " rows");
  sqlite3_close(db);
  f.FileMiB = FileMiB(file);
  return f;
}

void Print(const char* workload, const char* kind, double orb, double sqlite) {
  std::printf("%s_%s: orb %.3f s, sqlite %.3f s, ratio %.2f\n", workload, kind, orb, sqlite, orb / sqlite);
}

}  // namespace

int main() {
  g_dir = std::filesystem::temp_directory_path() / ("orb-btree-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(g_dir);
  std::mt19937 rng(kSeed);
  try {
    for (const bool text : {false, true}) {
      const Keys keys = Keys::Make(text, rng);
      const char* kind = text ? "str" : "int";
      const Figures orb = RunOrb((g_dir / (std::string(kind) + ".orb")).string(), keys);
      const Figures sql = RunSqlite((g_dir / (std::string(kind) + ".sqlite")).string(), keys, orb.CachePages);
      Print("insert", kind, orb.Insert, sql.Insert);
      Print("lookup", kind, orb.Lookup, sql.Lookup);
      Print("walk", kind, orb.Walk, sql.Walk);
      std::printf("file_%s: orb %.1f MiB, sqlite %.1f MiB (caches of %d pages)\n", kind, orb.FileMiB, sql.FileMiB,
                  orb.CachePages);
    }
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  std::filesystem::remove_all(g_dir);
  return 0;
}
