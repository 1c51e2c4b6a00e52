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
    }
  }
  return 0;
}
