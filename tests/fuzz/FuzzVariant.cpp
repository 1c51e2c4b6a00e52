// Fuzz target: the variant stream form and the operations on what it yields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "orb/ORBExcept.h"
#include "tables/ORBVariant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orb::TORBVariant a, b;
  size_t used = 0;
  try {
    used = a.LoadFromStream(data, size);
    if (used > size) abort();
    used += b.LoadFromStream(data + used, size - used);
    if (used > size) abort();
  } catch (const orb::EORBException&) {
    return 0;
  }
  // Saving what was loaded gives the same bytes back.
  std::vector<uint8_t> again;
  a.SaveToStream(again);
  b.SaveToStream(again);
  if (again.size() != used && !a.IsNull() && !b.IsNull()) abort();
  for (auto op : {0, 1, 2, 3, 4, 5}) {
    orb::TORBVariant x = a;
    try {
      switch (op) {
        case 0: x.Compare(b, op & 1); break;
        case 1: x.Add(b); break;
        case 2: x.Multiply(b); break;
        case 3: x.Divide(b); break;
        case 4: x.CastTo(static_cast<uint8_t>(1 + (size % 24))); break;
        default: x.AsString(); break;
      }
    } catch (const orb::EORBException&) {
    }
  }
  return 0;
}
