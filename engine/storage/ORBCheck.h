// Integrity check of a database file's storage: every page readable (and its
// CRC right when encrypted), allocation maps agreeing with the pages, header
// counts agreeing with the maps and the file length.
#pragma once
#include <string>
#include <vector>

#include "orb/ORBPassword.h"

namespace orb {

class TORBDiskPageManager;

// One line per problem; empty when the file is sound. Reads only.
std::vector<std::string> CheckStorage(TORBDiskPageManager& pm);

}  // namespace orb
