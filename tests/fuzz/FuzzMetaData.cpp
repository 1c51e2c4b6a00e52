// Fuzz target: a table's metadata and state files from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "orb/ORBExcept.h"
#include "tables/ORBMetaData.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orb::TORBTableMetaData m;
  try {
    m.Load(data, size);
    // What loads must save and load again to the same definitions.
    auto bytes = m.Save();
    orb::TORBTableMetaData again;
    again.Load(bytes.data(), bytes.size());
    if (again.Save() != bytes) abort();
  } catch (const orb::EORBException&) {
  }
  orb::TORBTableState s;
  try {
    s.Load(data, size);
  } catch (const orb::EORBException&) {
  }
  return 0;
}
