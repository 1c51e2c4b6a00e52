// The vault's LC table as the engine creates it: ten fields with the memo
// and six indexes. The orb tool's sample command and the tables benchmark
// both build it from here, so they can never drift apart.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "tables/ORBMetaData.h"

namespace orbvault {

inline orb::TORBFieldDef VaultField(const std::string& name, uint8_t declared, int32_t size = 0) {
  orb::TORBFieldDef f;
  f.Name = name;
  f.SetType(declared, size);
  return f;
}

inline void VaultSchema(orb::TORBFieldDefs& f, orb::TORBIndexDefs& ix) {
  constexpr uint8_t kVarchar = 2, kDate = 25, kMemo = 33;
  f.Add(VaultField("Service", kVarchar, 105));
  f.Add(VaultField("UserName", kVarchar, 105));
  f.Add(VaultField("Password", kVarchar, 45));
  f.Add(VaultField("DateSet", kDate));
  f.Add(VaultField("DateReset", kDate));
  f.Add(VaultField("OldPassword", kVarchar, 45));
  f.Add(VaultField("NewPassword", kVarchar, 45));
  f.Add(VaultField("DateCycle", kDate));
  f.Add(VaultField("Description", kMemo));
  f.Add(VaultField("CAT", kVarchar, 20));
  const auto col = [](const char* name, bool desc = false) { return orb::TORBIndexColumn{name, desc, false, 20}; };
  const auto index = [&](const std::string& name, std::vector<orb::TORBIndexColumn> cols) {
    orb::TORBIndexDef d;
    d.Name = name;
    d.Columns = std::move(cols);
    ix.Add(d);
  };
  index("ServiceI", {col("Service")});
  index("SetDate", {col("DateSet"), col("Service")});
  index("CycleDate", {col("DateCycle")});
  index("User", {col("UserName"), col("Service")});
  index("CAT", {col("CAT"), col("Service")});
  index("RSetDate", {col("DateSet", true), col("Service")});
}

}  // namespace orbvault
