// Fuzz target: opening a database file made of arbitrary bytes and walking
// everything it claims to hold.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBCheck.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBSystemFiles.h"
#include "tables/ORBDatabaseData.h"
#include "tables/ORBDiskTableData.h"
#include "tables/ORBTypes.h"

namespace {

// Every table it lists: each order, every record, every BLOB value, the check.
void WalkTables(const std::string& path, const char* password) {
  orb::TORBDiskDatabaseData db(path, orb::TORBPassword{password, 0}, true);
  for (const std::string& name : db.TableNames()) {
    orb::TORBDiskTableData& t = db.GetTableData(name);
    orb::TORBTableCursor c;
    t.OpenTable(c);
    struct Closer {
      orb::TORBDiskTableData& t;
      orb::TORBTableCursor& c;
      ~Closer() { t.CloseTable(c); }
    } closer{t, c};
    for (int index = -1; index < static_cast<int>(t.Indexes().Count()); ++index) {
      c.ActiveIndex = index;
      c.Current = {};
      for (int r = t.GetRecord(c, orb::nmNext), n = 0; r == orb::grFound && n < 10000; r = t.GetRecord(c, orb::nmNext), ++n)
        for (size_t f = 0; f < t.Fields().Count(); ++f)
          if (orb::IsBlobStorage(t.Fields()[f].BaseFieldType)) t.GetBlobValue(c, f);
    }
    t.Check(0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    orb::TORBLockRetry::Tries = 1;
    char tmpl[] = "/tmp/orbfuzz-XXXXXX";
    int fd = mkstemp(tmpl);
    close(fd);
    return std::string(tmpl);
  }();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
  unlink(orb::TORBJournal::PathFor(path).c_str());
  for (const char* password : {"", "pw"}) {
    try {
      orb::TORBDiskPageManager pm;
      bool multiUser = false, needsRepair = false, readOnly = false;
      pm.OpenDatabaseFile(path, orb::TORBPassword{password, 0}, multiUser, true, needsRepair, readOnly);
      orb::CheckStorage(pm);
      orb::CheckSystemFiles(pm);
      orb::TORBSystemFiles sys(pm);
      sys.Open();
    } catch (const orb::EORBException&) {
      continue;
    }
    try {
      WalkTables(path, password);
    } catch (const orb::EORBException&) {
    }
  }
  return 0;
}
