// Integrity check of a database file's storage: every page readable (and its
// CRC right when encrypted), allocation maps agreeing with the pages, header
// counts agreeing with the maps and the file length.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "orb/ORBPassword.h"

namespace orb {

class TORBDiskPageManager;

// One line per problem; empty when the file is sound. Reads only. Pages
// marked used that were never written (left by a transaction that was
// interrupted before its commit) are not problems: they are counted in
// `leakedPages` when given.
std::vector<std::string> CheckStorage(TORBDiskPageManager& pm, int64_t* leakedPages = nullptr);

// Walks the system directory, the table list and every internal file chain
// it names (loops, wrong page types, pages marked free, chains shorter than
// their stored size). One line per problem.
std::vector<std::string> CheckSystemFiles(TORBDiskPageManager& pm);

}  // namespace orb
