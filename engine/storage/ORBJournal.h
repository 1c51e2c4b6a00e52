// TORBJournal: the rollback journal that makes a commit atomic. Before the
// first in-place write of any byte range of the database during a commit,
// the range's before-image is appended to "<database>-journal" and flushed.
// Deleting the journal (after the database is flushed) is the commit point;
// a journal found at open is played back, restoring the previous state.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "storage/ORBEnv.h"

namespace orb {

class TORBDatabaseFile;

// Told about every write and size change of a database file.
class TORBWriteGuard {
 public:
  virtual ~TORBWriteGuard() = default;
  virtual void BeforeWrite(int64_t position, int64_t count) = 0;
  virtual void BeforeResize(int64_t newSize) = 0;
};

class TORBJournal : public TORBWriteGuard {
 public:
  explicit TORBJournal(TORBDatabaseFile& db);
  ~TORBJournal() override;

  static std::string PathFor(const std::string& databaseFile) { return databaseFile + "-journal"; }

  // Whether durability (journal and flushes) is on; off only for benchmarks.
  bool Durable = true;

  bool Active() const { return active_; }
  // Starts journaling; the database's current size is what a rollback restores.
  void Begin();
  // Journals the before-images of all ranges with one flush.
  void Protect(const std::vector<std::pair<int64_t, int64_t>>& ranges);
  // Flushes the database and deletes the journal: the commit point.
  void Commit();
  // Plays the journal back into the database and deletes it. Answers false
  // (the journal stays) when that fails.
  bool Rollback();

  void BeforeWrite(int64_t position, int64_t count) override;
  void BeforeResize(int64_t newSize) override;

  // A valid journal beside `databaseFile`: plays it back into `db` (open for
  // writing). Answers whether there was one to play back. A torn or invalid
  // journal is deleted: the database was never touched under it.
  static bool Recover(TORBDatabaseFile& db, TORBEnv* env);
  // Whether a journal with a valid header exists beside the file.
  static bool IsHot(const std::string& databaseFile, TORBEnv* env);

 private:
  void OpenJournal();
  void CloseJournal(bool remove);
  void Append(const std::vector<std::pair<int64_t, int64_t>>& ranges);
  void Fail(const char* what, int err);

  TORBDatabaseFile& db_;
  TORBEnv* env_;
  std::string path_;
  int fd_ = -1;
  bool active_ = false;
  int64_t originalSize_ = 0;
  int64_t journalSize_ = 0;
  std::map<int64_t, int64_t> covered_;  // start -> end of journaled ranges
};

// Puts `source` (a finished file) in place of `target` without a moment in
// which neither exists: flush the source, drop any journal of the target,
// rename over it, flush the folder. Raises EORBException on failure, with the
// target untouched unless the rename itself happened.
void ReplaceFile(const std::string& source, const std::string& target, TORBEnv* env = nullptr);

}  // namespace orb
