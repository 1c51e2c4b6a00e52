// The records and workloads of the tables benchmark, shared by the driver
// (the engine) and the SQL peers so all three do the same work, plus what a
// correct run must answer, worked out from the records in plain C++.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tables {

constexpr int kTxnInserts = 100000;
constexpr int kEachInserts = 2000;
constexpr int kRecords = kTxnInserts + kEachInserts;
constexpr int kLookups = 10000;
constexpr int kServices = 40000;  // distinct; most hold several accounts
constexpr uint32_t kSeed = 20240917;
constexpr int32_t kNoDate = INT32_MIN;

// OR-ed so that a record that matches none evaluates all five terms. Words
// only, no '_', and ASCII data: SQL's UPPER and the engine's agree.
constexpr const char* kFilter =
    "UPPER(Service) LIKE '%INSURANCE%' OR UPPER(UserName) LIKE '%ADMIN%' OR "
    "UPPER(Description) LIKE '%RECOVERY CODE%' OR UPPER(CAT) LIKE '%BANK%' OR UPPER(Password) LIKE '%QZ%'";

// One LC row. Empty text stands for NULL: the engine stores an empty string
// as NULL, so the SQL peers bind NULL for it too.
struct Record {
  std::string Service, UserName, Password, OldPassword, NewPassword, Description, Cat;
  int32_t DateSet = kNoDate, DateReset = kNoDate, DateCycle = kNoDate;  // day numbers, 0001-01-01 = 1
};

// An order-free digest of the rows read, so a read workload's answer can be
// compared between engines and with the records.
inline uint64_t Fnv(uint64_t h, std::string_view s) {
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return (h ^ 0xFF) * 1099511628211ull;
}
inline uint64_t Digest(std::string_view service, std::string_view user, std::string_view password,
                       int32_t dateSet, int32_t dateReset, std::string_view oldPassword,
                       std::string_view newPassword, int32_t dateCycle, std::string_view cat,
                       const std::string_view* memo) {
  uint64_t h = 1469598103934665603ull;
  for (std::string_view s : {service, user, password, oldPassword, newPassword, cat}) h = Fnv(h, s);
  for (int32_t d : {dateSet, dateReset, dateCycle}) h = Fnv(h, std::to_string(d));
  if (memo) h = Fnv(h, *memo);
  return h;
}
inline uint64_t Digest(const Record& r, bool withMemo) {
  const std::string_view memo = r.Description;
  return Digest(r.Service, r.UserName, r.Password, r.DateSet, r.DateReset, r.OldPassword, r.NewPassword,
                r.DateCycle, r.Cat, withMemo ? &memo : nullptr);
}

inline std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}
inline bool MatchesFilter(const Record& r) {
  auto has = [](const std::string& v, const char* what) { return Upper(v).find(what) != std::string::npos; };
  return has(r.Service, "INSURANCE") || has(r.UserName, "ADMIN") || has(r.Description, "RECOVERY CODE") ||
         has(r.Cat, "BANK") || has(r.Password, "QZ");
}

// Record i is the i-th inserted: the SQL rowid i + 1, the engine's i-th in
// physical order.
inline bool DeletedByHalf(int i) { return i % 2 == 1; }

// What the read workloads must answer; every engine prints these figures.
struct Expected {
  int64_t LookupRows = 0;
  uint64_t LookupDigest = 0;
  uint64_t AllDigest = 0;  // every record, memo included
  int64_t FilterRows = 0;
  uint64_t FilterDigest = 0;
  int64_t KeptRows = 0;
  uint64_t KeptDigest = 0;  // what delete_half leaves
  std::vector<std::string> ServiceOrder;
};

struct Workload {
  std::vector<Record> Records;
  std::vector<int> Lookups;  // records whose service is looked up
  Expected Expect;
};

inline std::string Pick(std::mt19937& rng, const std::vector<const char*>& from) {
  return from[rng() % from.size()];
}

inline Workload Generate() {
  static const std::vector<const char*> kNames = {
      "Acme",     "Atlas",   "Bank",    "Beacon",  "Bright",   "Cloud",    "Coast",    "Credit",  "Delta",
      "Energy",   "Express", "Federal", "First",   "Forum",    "Garden",   "Global",   "Harbor",  "Health",
      "Home",     "Insurance", "Island", "Kite",   "Library",  "Lumen",    "Mail",     "Market",  "Metro",
      "Mutual",   "National", "North",  "Nova",    "Office",   "Pacific",  "Pay",      "Pension", "Phone",
      "Pioneer",  "Prime",   "Quarry",  "River",   "Savings",  "School",   "Shop",     "Silver",  "Stream",
      "Summit",   "Tax",     "Ticket",  "Travel",  "Union",    "Valley",   "Vault",    "Wallet",  "Water",
      "Wiki",     "Zenith"};
  static const std::vector<const char*> kFirst = {"anna", "ben", "carla", "dmitri", "eve", "farid", "grace",
                                                  "hugo", "ines", "jon", "kim", "lea", "mo", "nils", "olga",
                                                  "pat", "quinn", "rosa", "sam", "tara", "admin", "root"};
  static const std::vector<const char*> kDomains = {"", "", "@mail.example", "@work.example", "@home.example"};
  static const std::vector<const char*> kCats = {"Work",    "Personal", "Banking", "Email",    "Shopping",
                                                 "Social",  "Games",    "Travel",  "*Static",  "Utilities",
                                                 "Bank*",   ""};
  static const std::vector<const char*> kWords = {
      "account", "opened", "for", "the", "family", "shared", "with", "support", "ticket", "number", "security",
      "question", "answer", "is", "my", "first", "pet", "pin", "changed", "after", "breach", "notice", "old",
      "phone", "two", "factor", "enabled", "backup", "email", "renewal", "due", "in", "spring", "recovery",
      "code", "kept", "offline", "contract", "monthly", "fee", "cancel", "before", "trial", "ends"};
  static const char kPasswordChars[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!#$%&*+-=?@^";

  std::mt19937 rng(kSeed);
  Workload w;
  // Capitalised words, digits and single spaces only: on these the engine's
  // collation and SQL's BINARY order agree, so one sorted list checks both.
  std::vector<std::string> services;
  std::unordered_set<std::string> seen;
  while (services.size() < kServices) {
    std::string s = Pick(rng, kNames);
    for (int words = static_cast<int>(rng() % 3); words > 0; --words) s.append(" ").append(Pick(rng, kNames));
    if (rng() % 2) s.append(" ").append(std::to_string(rng() % 1000));
    if (seen.insert(s).second) services.push_back(std::move(s));
  }
  auto password = [&](int minLen, int maxLen) {
    std::string p(static_cast<size_t>(minLen + static_cast<int>(rng() % (maxLen - minLen + 1))), ' ');
    for (char& c : p) c = kPasswordChars[rng() % (sizeof kPasswordChars - 1)];
    return p;
  };
  w.Records.resize(kRecords);
  for (Record& r : w.Records) {
    r.Service = services[rng() % services.size()];
    r.UserName = Pick(rng, kFirst) + (rng() % 2 ? std::to_string(rng() % 10000) : "") + Pick(rng, kDomains);
    r.Password = password(8, 32);
    r.DateSet = 735600 + static_cast<int32_t>(rng() % 3650);  // 2015 to 2024
    if (rng() % 10 < 7) r.DateReset = r.DateSet + 30 + static_cast<int32_t>(rng() % 335);
    if (rng() % 2) r.OldPassword = password(8, 32);
    if (rng() % 5 == 0) r.NewPassword = password(8, 32);
    r.DateCycle = r.DateSet + 90;
    r.Cat = Pick(rng, kCats);
    // 0 to 400 bytes, a fifth of them empty.
    if (rng() % 5) {
      const size_t length = 1 + rng() % 400;
      while (r.Description.size() < length) {
        if (!r.Description.empty()) r.Description += rng() % 12 ? " " : ". ";
        r.Description += Pick(rng, kWords);
      }
      r.Description.resize(length);
      while (!r.Description.empty() && r.Description.back() == ' ') r.Description.pop_back();
    }
  }
  w.Lookups.resize(kLookups);
  for (int& i : w.Lookups) i = static_cast<int>(rng() % kRecords);

  Expected& e = w.Expect;
  std::unordered_map<std::string, std::pair<int64_t, uint64_t>> byService;
  for (int i = 0; i < kRecords; ++i) {
    const Record& r = w.Records[i];
    auto& [rows, digest] = byService[r.Service];
    ++rows;
    digest += Digest(r, false);
    e.AllDigest += Digest(r, true);
    if (MatchesFilter(r)) {
      ++e.FilterRows;
      e.FilterDigest += Digest(r, false);
    }
    if (!DeletedByHalf(i)) {
      ++e.KeptRows;
      e.KeptDigest += Digest(r, true);
    }
    e.ServiceOrder.push_back(r.Service);
  }
  std::sort(e.ServiceOrder.begin(), e.ServiceOrder.end());
  for (int i : w.Lookups) {
    e.LookupRows += byService[w.Records[i].Service].first;
    e.LookupDigest += byService[w.Records[i].Service].second;
  }
  return w;
}

// The answer line of a workload: the same text from every engine.
inline std::string Answer(int64_t rows, uint64_t digest) {
  char b[64];
  std::snprintf(b, sizeof b, "rows=%lld digest=%016llx", static_cast<long long>(rows),
                static_cast<unsigned long long>(digest));
  return b;
}

inline const char* const kWorkloads[] = {"insert_txn", "insert_each", "lookup", "walk", "filter", "delete_half"};

// What each workload must answer. The inserts answer the row count after them.
inline std::string ExpectedAnswer(const Workload& w, std::string_view workload) {
  const Expected& e = w.Expect;
  if (workload == "insert_txn") return Answer(kTxnInserts, 0);
  if (workload == "insert_each") return Answer(kRecords, 0);
  if (workload == "lookup") return Answer(e.LookupRows, e.LookupDigest);
  if (workload == "walk") return Answer(kRecords, e.AllDigest);
  if (workload == "filter") return Answer(e.FilterRows, e.FilterDigest);
  if (workload == "delete_half") return Answer(e.KeptRows, e.KeptDigest);
  std::abort();
}

}  // namespace tables
