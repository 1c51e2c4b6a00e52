// Table commands of the orb tool over the table layer.
#include "Tables.h"
#include "VaultSchema.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>

#include "access/ORBExpressionFilter.h"
#include "orb/ORBExcept.h"
#include "storage/ORBEnv.h"
#include "tables/ORBDatabaseData.h"
#include "tables/ORBDiskTableData.h"
#include "tables/ORBTableRules.h"
#include "tables/ORBTypes.h"

using namespace orb;

namespace orbtool {

namespace {

std::string TypeText(const TORBFieldDef& f) {
  std::string t = DeclaredTypeName(f.AdvancedFieldType);
  if (IsStringStorage(f.BaseFieldType) || f.BaseFieldType == stBytes || f.BaseFieldType == stVarBytes)
    t += "(" + std::to_string(f.Size) + ")";
  return t;
}

std::string IsoDate(int32_t day) {
  int y, m, d;
  DecodeDayNumber(day, &y, &m, &d);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

// A field's value as dump text; false for NULL.
bool CellText(TORBDiskTableData& t, TORBTableCursor& c, size_t i, std::string& out) {
  const TORBFieldDef& f = t.Fields()[i];
  if (FieldIsNull(c.Record.data(), i)) return false;
  if (IsBlobStorage(f.BaseFieldType)) {
    const std::vector<uint8_t> v = t.GetBlobValue(c, i);
    out.assign(v.begin(), v.end());
    return true;
  }
  const TORBVariant v = ReadFieldValue(t.Fields(), i, c.Record.data());
  if (f.BaseFieldType == stDate) out = IsoDate(v.AsDate());
  else out = v.AsString();
  return true;
}

// Sets a field from CSV text (dates in ISO form); empty text is NULL.
void SetCell(TORBDiskTableData& t, TORBTableCursor& c, size_t i, const std::string& text) {
  const TORBFieldDef& f = t.Fields()[i];
  if (text.empty()) {
    SetFieldNull(c.Record.data(), i, true);
    return;
  }
  if (IsBlobStorage(f.BaseFieldType)) {
    t.SetBlobValue(c, i, std::vector<uint8_t>(text.begin(), text.end()));
    return;
  }
  TORBVariant v;
  v.SetString(text);
  v.CastTo(f.BaseFieldType);
  if (v.DataType() != f.BaseFieldType)
    throw EORBException::Fmt(31170, "'%s' is not a valid value for field '%s'", text, f.Name);
  if (IsStringStorage(f.BaseFieldType) && static_cast<int32_t>(text.size()) > f.Size)
    throw EORBException::Fmt(31171, "'%s' is too long for field '%s' (%d characters at most)", text, f.Name, f.Size);
  std::memset(c.Record.data() + f.MemoryOffset, 0, static_cast<size_t>(f.MemoryDataSize));
  if (v.WriteToBuffer(c.Record.data() + f.MemoryOffset, f.MemoryDataSize)) SetFieldNull(c.Record.data(), i, false);
}

struct OpenTable {
  OpenTable(const std::string& file, const TORBPassword& pw, const std::string& name, bool readOnly)
      : db(file, pw, readOnly), t(db.GetTableData(name)) {
    t.OpenTable(c);
  }
  ~OpenTable() {
    if (t.IsOpen()) t.CloseTable(c);
  }
  TORBDiskDatabaseData db;
  TORBDiskTableData& t;
  TORBTableCursor c;
};

}  // namespace

void ListTables(const std::string& file, const TORBPassword& password) {
  TORBDiskDatabaseData db(file, password, true);
  for (const std::string& name : db.TableNames()) {
    TORBDiskTableData& t = db.GetTableData(name);
    TORBTableCursor c;
    t.OpenTable(c);
    std::cout << "Table " << t.Name() << ": " << t.RecordCount() << " records\n";
    for (const TORBFieldDef& f : t.Fields().Items()) std::cout << "  Field " << f.Name << " " << TypeText(f) << "\n";
    for (const TORBIndexDef& ix : t.Indexes().Items()) {
      std::cout << "  Index " << ix.Name << " (";
      for (size_t i = 0; i < ix.Columns.size(); ++i)
        std::cout << (i ? "; " : "") << ix.Columns[i].FieldName << (ix.Columns[i].Descending ? " DESC" : "")
                  << (ix.Columns[i].CaseInsensitive ? " NOCASE" : "");
      std::cout << ")" << (ix.Primary ? " primary" : ix.Unique ? " unique" : "") << "\n";
    }
    t.CloseTable(c);
  }
}

std::vector<std::string> CheckTables(const std::string& file, const TORBPassword& password) {
  TORBDiskDatabaseData db(file, password, true);
  std::vector<std::string> problems;
  for (const std::string& name : db.TableNames()) {
    TORBDiskTableData& t = db.GetTableData(name);
    TORBTableCursor c;
    try {
      t.OpenTable(c);
    } catch (const EORBException& e) {
      problems.push_back(name + ": cannot open: " + e.Message());
      continue;
    }
    for (std::string& p : t.Check(0)) problems.push_back(std::move(p));
    t.CloseTable(c);
  }
  return problems;
}

void Sample(const std::string& file, const TORBPassword& password, long records, unsigned seed) {
  bool exists = false, readOnly = false;
  int64_t size = 0;
  TORBEnv::Current()->Stat(file, &exists, &readOnly, &size);
  if (!exists) TORBDiskDatabaseData::CreateDatabase(file, password);
  TORBDiskDatabaseData db(file, password);
  TORBTableCursor c;
  if (db.TableExists("LC")) db.GetTableData("LC").DeleteTable(c, false);
  TORBFieldDefs fields;
  TORBIndexDefs indexes;
  orbvault::VaultSchema(fields, indexes);
  TORBDiskTableData& t = db.GetTableData("LC");
  t.CreateTable(0, fields, indexes, {});
  t.OpenTable(c);
  std::mt19937 rng(seed);
  static const char* services[] = {"Bank",  "Mail",    "Shop",   "Cloud", "Forum", "Router", "Phone",
                                   "Work VPN", "Tax office", "Library", "Streaming", "Airline", "Insurance"};
  static const char* users[] = {"jsmith", "anna.k", "admin", "m.berger", "lee", "sam_w", "root", "guest"};
  static const char* cats[] = {"Finance", "Mail", "Shopping", "Work", "Home", "Travel", "*Fixed", "Fixed*"};
  static const char* words[] = {"pin", "card", "question:", "backup", "codes", "renew", "support", "call"};
  const auto pick = [&](auto& list) { return std::string(list[rng() % (sizeof list / sizeof *list)]); };
  const auto password_ = [&] {
    static const char alphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789!#$%&*+-=?@";
    std::string p;
    const size_t n = 8 + rng() % 17;
    for (size_t i = 0; i < n; ++i) p += alphabet[rng() % (sizeof alphabet - 1)];
    return p;
  };
  const int32_t today = DayNumber(2026, 12, 1);
  c.InTransaction = true;
  for (long i = 0; i < records; ++i) {
    c.Record = t.NewRecord();
    const auto setText = [&](size_t f, const std::string& s) { SetFieldData(f, t.Fields(), c.Record.data(), s.c_str()); };
    const auto setDate = [&](size_t f, int32_t day) { SetFieldData(f, t.Fields(), c.Record.data(), &day); };
    setText(0, pick(services) + " " + std::to_string(i % 997));
    setText(1, pick(users) + std::to_string(rng() % 100));
    setText(2, password_());
    const int32_t set = today - static_cast<int32_t>(rng() % 400);
    setDate(3, set);
    if (rng() % 3 == 0) setDate(4, set + 30 + static_cast<int32_t>(rng() % 60));
    if (rng() % 2 == 0) setText(5, password_());
    if (rng() % 4 == 0) setText(6, password_());
    setDate(7, set + 90);
    std::string memo;
    const size_t n = rng() % 40;
    for (size_t w = 0; w < n; ++w) memo += pick(words) + (w % 9 == 8 ? "\n" : " ");
    if (!memo.empty()) t.SetBlobValue(c, 8, std::vector<uint8_t>(memo.begin(), memo.end()));
    setText(9, pick(cats));
    t.InsertRecord(c);
  }
  db.Commit(0);
  t.CloseTable(c);
  std::cout << "LC: " << records << " records\n";
}

std::string CsvRow(const std::vector<std::string>& cells, const std::vector<bool>& isNull) {
  std::string out;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i) out += ',';
    if (i < isNull.size() && isNull[i]) continue;
    const std::string& s = cells[i];
    if (s.find_first_of(",\"\r\n") == std::string::npos && !s.empty()) {
      out += s;
      continue;
    }
    out += '"';
    for (char ch : s) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    out += '"';
  }
  return out + "\r\n";
}

std::vector<std::pair<long, std::vector<std::string>>> ParseCsv(const std::string& text) {
  std::vector<std::pair<long, std::vector<std::string>>> rows;
  std::vector<std::string> row;
  std::string cell;
  long line = 1, rowLine = 1;
  bool quoted = false, any = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (quoted) {
      if (ch == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          cell += '"';
          ++i;
        } else {
          quoted = false;
        }
      } else {
        if (ch == '\n') ++line;
        cell += ch;
      }
      continue;
    }
    if (ch == '"' && cell.empty()) {
      quoted = any = true;
    } else if (ch == ',') {
      row.push_back(std::move(cell));
      cell.clear();
      any = true;
    } else if (ch == '\n' || ch == '\r') {
      if (ch == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      if (any || !cell.empty()) {
        row.push_back(std::move(cell));
        rows.emplace_back(rowLine, std::move(row));
      }
      row.clear();
      cell.clear();
      any = false;
      rowLine = ++line;
    } else {
      cell += ch;
      any = true;
    }
  }
  if (quoted) throw EORBException::Fmt(31172, "CSV line %d: unterminated quoted field", rowLine);
  if (any || !cell.empty()) {
    row.push_back(std::move(cell));
    rows.emplace_back(rowLine, std::move(row));
  }
  return rows;
}

void Dump(const std::string& file, const TORBPassword& password, const std::string& table, const std::string& index,
          const std::string& filter, long limit) {
  OpenTable o(file, password, table, true);
  if (!index.empty()) {
    o.c.ActiveIndex = o.t.IndexNumber(index);
    if (o.c.ActiveIndex < 0) throw EORBException::Fmt(20018, "Index '%s' not found", index);
  }
  // The cursor's filter: the planner serves it from an index where that is cheaper.
  std::unique_ptr<TORBExpressionFilter> condition;
  if (!filter.empty()) {
    condition = std::make_unique<TORBExpressionFilter>(o.t, o.c, filter);
    o.t.SetFilter(o.c, condition.get());
  }
  const size_t n = o.t.Fields().Count();
  std::vector<std::string> cells(n);
  std::vector<bool> nulls(n, false);
  for (size_t i = 0; i < n; ++i) cells[i] = o.t.Fields()[i].Name;
  std::cout << CsvRow(cells, nulls);
  long written = 0;
  for (o.t.First(o.c); !o.c.Eof && (limit < 0 || written < limit); o.t.GetRecord(o.c, nmNext)) {
    for (size_t i = 0; i < n; ++i) nulls[i] = !CellText(o.t, o.c, i, cells[i]);
    std::cout << CsvRow(cells, nulls);
    ++written;
  }
}

long Import(const std::string& file, const TORBPassword& password, const std::string& table,
            const std::string& csvFile) {
  std::ifstream in(csvFile, std::ios::binary);
  if (!in) throw EORBException::Fmt(31173, "Cannot read '%s'", csvFile);
  std::stringstream ss;
  ss << in.rdbuf();
  const auto rows = ParseCsv(ss.str());
  if (rows.empty()) throw EORBException::Fmt(31174, "'%s' has no header row", csvFile);
  OpenTable o(file, password, table, false);
  std::vector<int> columns;
  for (const std::string& name : rows[0].second) {
    const int f = o.t.Fields().IndexOfName(name);
    if (f < 0) throw EORBException::Fmt(30343, "Field '%s' not found", name);
    columns.push_back(f);
  }
  // One transaction: a bad row leaves the table as it was (nothing is committed).
  o.c.InTransaction = true;
  for (size_t r = 1; r < rows.size(); ++r) {
    const auto& [line, cells] = rows[r];
    try {
      if (cells.size() != columns.size())
        throw EORBException::Fmt(31175, "%d fields, the header names %d", cells.size(), columns.size());
      o.c.Record = o.t.NewRecord();
      for (size_t k = 0; k < cells.size(); ++k) SetCell(o.t, o.c, static_cast<size_t>(columns[k]), cells[k]);
      o.t.InsertRecord(o.c);
    } catch (const EORBException& e) {
      throw EORBException::Fmt(31176, "CSV line %d: %s", line, e.Text());
    }
  }
  o.db.Commit(o.c.Session);
  return static_cast<long>(rows.size()) - 1;
}

}  // namespace orbtool
