// The orb tool's table commands: listing and checking tables, generating a
// sample vault table, dumping a table as CSV and importing CSV rows.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "orb/ORBPassword.h"

namespace orbtool {

void ListTables(const std::string& file, const orb::TORBPassword& password);
std::vector<std::string> CheckTables(const std::string& file, const orb::TORBPassword& password);
void Sample(const std::string& file, const orb::TORBPassword& password, long records, unsigned seed);
void Dump(const std::string& file, const orb::TORBPassword& password, const std::string& table,
          const std::string& index, const std::string& filter, long limit);
long Import(const std::string& file, const orb::TORBPassword& password, const std::string& table,
            const std::string& csvFile);

// RFC 4180: one row per record, fields quoted when they need it.
std::string CsvRow(const std::vector<std::string>& cells, const std::vector<bool>& isNull);
// Splits CSV text into rows of cells; each row also gets the line it starts on.
std::vector<std::pair<long, std::vector<std::string>>> ParseCsv(const std::string& text);

}  // namespace orbtool
