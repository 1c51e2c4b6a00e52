// Text and date platform layer: ICU root collation, UTF-8 helpers, and the
// locale's short date and time formats.
#include "orb/ORBText.h"

#include <langinfo.h>
#include <locale.h>
#include <unicode/ucasemap.h>
#include <unicode/ucol.h>
#include <unicode/ucoleitr.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "orb/ORBExcept.h"

namespace orb {

namespace {

// ICU collators are not safe to share between threads: one per thread and strength.
// Strength: 0 tertiary (case counts), 1 secondary (case-insensitive), 2 primary.
UCollator* Collator(int strength) {
  struct Holder {
    UCollator* c[3] = {nullptr, nullptr, nullptr};
    ~Holder() {
      for (UCollator* x : c)
        if (x) ucol_close(x);
    }
  };
  thread_local Holder h;
  UCollator*& slot = h.c[strength];
  if (!slot) {
    UErrorCode st = U_ZERO_ERROR;
    slot = ucol_open("", &st);  // root locale: the same order on every machine
    if (U_FAILURE(st)) throw EORBException::Fmt(31090, "Cannot open collator: %s", u_errorName(st));
    ucol_setStrength(slot, strength == 0 ? UCOL_TERTIARY : strength == 1 ? UCOL_SECONDARY : UCOL_PRIMARY);
  }
  return slot;
}

int Sign(UCollationResult r) { return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0; }

class RootCollation : public TORBCollation {
 public:
  int Compare(std::string_view a, std::string_view b, bool ci) const override {
    UErrorCode st = U_ZERO_ERROR;
    UCollationResult r = ucol_strcollUTF8(Collator(ci ? 1 : 0), a.data(), static_cast<int32_t>(a.size()), b.data(),
                                          static_cast<int32_t>(b.size()), &st);
    if (U_FAILURE(st)) throw EORBException::Fmt(31091, "Unknown return code: %d", static_cast<int>(st));
    return Sign(r);
  }
  int CompareWide(std::u16string_view a, std::u16string_view b, bool ci) const override {
    return Sign(ucol_strcoll(Collator(ci ? 1 : 0), reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                             reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size())));
  }
  std::string Upper(std::string_view s) const override {
    std::string out;
    Map(s, true, out);
    return out;
  }
  std::string Lower(std::string_view s) const override {
    std::string out;
    Map(s, false, out);
    return out;
  }
  void MapCase(std::string_view s, bool upper, std::string& out) const override { Map(s, upper, out); }
  int CompareWithPrefix(std::string_view full, std::string_view prefix) const override {
    // U+FFFF has the highest primary weight of all: prefix + U+FFFF bounds
    // every string that starts with prefix from above.
    UErrorCode st = U_ZERO_ERROR;
    UCollator* c = Collator(2);
    if (ucol_strcollUTF8(c, full.data(), static_cast<int32_t>(full.size()), prefix.data(),
                         static_cast<int32_t>(prefix.size()), &st) == UCOL_LESS && U_SUCCESS(st))
      return -1;
    std::string bound(prefix);
    bound += "\xEF\xBF\xBF";
    st = U_ZERO_ERROR;
    if (ucol_strcollUTF8(c, full.data(), static_cast<int32_t>(full.size()), bound.data(),
                         static_cast<int32_t>(bound.size()), &st) == UCOL_GREATER && U_SUCCESS(st))
      return 1;
    return 2;
  }
  bool PrimaryWeights(std::string_view s, std::vector<uint32_t>& out) const override {
    out.clear();
    const std::u16string w = Utf8ToUtf16(s);
    UErrorCode st = U_ZERO_ERROR;
    UCollationElements* it = ucol_openElements(Collator(0), reinterpret_cast<const UChar*>(w.data()),
                                               static_cast<int32_t>(w.size()), &st);
    if (U_FAILURE(st)) return false;
    for (;;) {
      const int32_t ce = ucol_next(it, &st);
      if (U_FAILURE(st)) {
        ucol_closeElements(it);
        return false;
      }
      if (ce == UCOL_NULLORDER) break;
      const uint32_t primary = static_cast<uint32_t>(ucol_primaryOrder(ce)) & 0xFFFFu;
      // A continuation element carries the low half of a long primary.
      if ((ce & 0xC0) == 0xC0) {
        if (!out.empty()) out.back() |= primary;
      } else if (primary != 0) {
        out.push_back(primary << 16);
      }
    }
    ucol_closeElements(it);
    return true;
  }

 private:
  static void Map(std::string_view s, bool upper, std::string& out) {
    // Plain ASCII (most filter values) needs no case map, and the root
    // locale maps it exactly so. Filters map a field on every record, so
    // both loops are written to run a word or a vector at a time.
    if (IsAscii(s)) {
      out.assign(s);
      const char from = upper ? 'a' : 'A';
      for (char& ch : out) ch = static_cast<char>(ch ^ ((static_cast<unsigned char>(ch - from) < 26) << 5));
      return;
    }
    out.assign(s);
    // Case maps are not safe to share between threads: one per thread.
    struct Holder {
      UCaseMap* map = nullptr;
      ~Holder() {
        if (map) ucasemap_close(map);
      }
    };
    thread_local Holder h;
    UErrorCode st = U_ZERO_ERROR;
    if (!h.map) h.map = ucasemap_open("", 0, &st);
    if (!h.map || U_FAILURE(st)) return;
    std::string mapped(s.size() + 16, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
      st = U_ZERO_ERROR;
      int32_t n = upper ? ucasemap_utf8ToUpper(h.map, mapped.data(), static_cast<int32_t>(mapped.size()), s.data(),
                                               static_cast<int32_t>(s.size()), &st)
                        : ucasemap_utf8ToLower(h.map, mapped.data(), static_cast<int32_t>(mapped.size()), s.data(),
                                               static_cast<int32_t>(s.size()), &st);
      if (st == U_BUFFER_OVERFLOW_ERROR) {
        mapped.resize(static_cast<size_t>(n) + 1);
        continue;
      }
      if (U_FAILURE(st)) return;
      mapped.resize(static_cast<size_t>(n));
      out = std::move(mapped);
      return;
    }
  }
};

std::atomic<const TORBCollation*> g_collation{nullptr};
std::atomic<const TORBDateFormats*> g_formats{nullptr};

// "%d.%m.%Y" -> pattern of d/m/y and the separator.
bool FromStrftime(const char* fmt, bool date, std::string* pattern, char* sep) {
  std::string p;
  char s = 0;
  for (const char* c = fmt; *c; ++c) {
    if (*c == '%') {
      ++c;
      if (!*c) return false;
      switch (*c) {
        case 'd': case 'e': if (!date) return false; p += "dd"; break;
        case 'm': if (!date) return false; p += "mm"; break;
        case 'y': case 'Y': if (!date) return false; p += "yyyy"; break;
        case 'H': case 'I': case 'k': if (date) return false; p += "hh"; break;
        case 'M': if (date) return false; p += "nn"; break;
        case 'S': if (date) return false; p += "ss"; break;
        case 'p': case 'P': break;  // AM/PM marks are not kept: 24-hour times
        default: return false;
      }
    } else if (*c == ' ' && !date) {
      break;  // " %p"
    } else {
      if (s && s != *c) return false;
      s = *c;
    }
  }
  if (!s) return false;
  const size_t groups = date ? 3 : 3;
  size_t count = 0;
  for (size_t i = 0; i < p.size(); i += 2) {
    ++count;
    while (i + 2 < p.size() && p[i + 2] == p[i]) i += 2;
  }
  if (count != groups) return false;
  *pattern = p;
  *sep = s;
  return true;
}

// Splits "12/31/2024" into numeric groups; false on anything else.
bool Groups(std::string_view text, char sep, int n, int* out, int* digits) {
  int g = 0;
  size_t i = 0;
  while (g < n) {
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    int v = 0, d = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      if (++d > 4) return false;
      v = v * 10 + (text[i] - '0');
      ++i;
    }
    out[g] = v;
    digits[g] = d;
    ++g;
    if (g < n) {
      if (i >= text.size() || text[i] != sep) return false;
      ++i;
    }
  }
  return i == text.size();
}

// The order of the fields in a pattern: for "ddmmyyyy" {'d','m','y'}.
std::string Order(const std::string& pattern) {
  std::string o;
  for (char c : pattern)
    if (o.empty() || o.back() != c) o += c;
  return o;
}

}  // namespace

int TORBCollation::CompareWithPrefix(std::string_view full, std::string_view prefix) const {
  std::vector<uint32_t> wx, wp;
  if (!PrimaryWeights(full, wx) || !PrimaryWeights(prefix, wp)) return 2;
  const size_t n = std::min(wx.size(), wp.size());
  for (size_t i = 0; i < n; ++i)
    if (wx[i] != wp[i]) return wx[i] < wp[i] ? -1 : 1;
  return wx.size() < wp.size() ? -1 : 2;
}

const TORBCollation& TORBCollation::Current() {
  static RootCollation root;
  const TORBCollation* c = g_collation.load(std::memory_order_acquire);
  return c ? *c : root;
}

void TORBCollation::SetCurrent(const TORBCollation* c) { g_collation.store(c, std::memory_order_release); }

bool IsAscii(std::string_view s) {
  size_t i = 0;
  for (uint64_t word; i + 8 <= s.size(); i += 8) {
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080u) return false;
  }
  for (; i < s.size(); ++i)
    if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
  return true;
}

size_t Utf8Length(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

std::string_view Utf8Truncate(std::string_view s, size_t maxBytes) {
  if (s.size() <= maxBytes) return s;
  size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return s.substr(0, cut);
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out(s.size(), u'\0');
  int32_t n = 0;
  UErrorCode st = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &n, s.data(),
                       static_cast<int32_t>(s.size()), 0xFFFD, nullptr, &st);
  out.resize(U_SUCCESS(st) ? static_cast<size_t>(n) : 0);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out(s.size() * 3, '\0');
  int32_t n = 0;
  UErrorCode st = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &n, reinterpret_cast<const UChar*>(s.data()),
                     static_cast<int32_t>(s.size()), 0xFFFD, nullptr, &st);
  out.resize(U_SUCCESS(st) ? static_cast<size_t>(n) : 0);
  return out;
}

bool IsValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

TORBDateFormats TORBDateFormats::FromLocale() {
  TORBDateFormats f;
  locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
  if (!loc) loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (!loc) return f;
  std::string p;
  char sep;
  if (FromStrftime(nl_langinfo_l(D_FMT, loc), true, &p, &sep)) {
    f.DatePattern = p;
    f.DateSeparator = sep;
  }
  if (FromStrftime(nl_langinfo_l(T_FMT, loc), false, &p, &sep)) {
    f.TimePattern = p;
    f.TimeSeparator = sep;
  }
  freelocale(loc);
  return f;
}

const TORBDateFormats& TORBDateFormats::Current() {
  static const TORBDateFormats fromLocale = FromLocale();
  const TORBDateFormats* f = g_formats.load(std::memory_order_acquire);
  return f ? *f : fromLocale;
}

void TORBDateFormats::SetCurrent(const TORBDateFormats* f) { g_formats.store(f, std::memory_order_release); }

std::string TORBDateFormats::FormatDate(int year, int month, int day) const {
  std::string out;
  for (char c : Order(DatePattern)) {
    if (!out.empty()) out += DateSeparator;
    char buf[8];
    std::snprintf(buf, sizeof buf, c == 'y' ? "%04d" : "%02d", c == 'y' ? year : c == 'm' ? month : day);
    out += buf;
  }
  return out;
}

bool TORBDateFormats::ParseDate(std::string_view text, int* year, int* month, int* day) const {
  int v[3], d[3];
  if (!Groups(text, DateSeparator, 3, v, d)) return false;
  const std::string order = Order(DatePattern);
  if (order.size() != 3) return false;
  int y = 0, m = 0, dd = 0;
  for (int i = 0; i < 3; ++i) {
    if (order[static_cast<size_t>(i)] == 'y') {
      y = v[i];
      if (d[i] <= 2) y += y < 50 ? 2000 : 1900;  // a two-digit year widens around 1950
    } else if (order[static_cast<size_t>(i)] == 'm') {
      m = v[i];
    } else {
      dd = v[i];
    }
  }
  if (!IsValidDate(y, m, dd)) return false;
  *year = y;
  *month = m;
  *day = dd;
  return true;
}

std::string TORBDateFormats::FormatTime(int hour, int minute, int second) const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d%c%02d%c%02d", hour, TimeSeparator, minute, TimeSeparator, second);
  return buf;
}

bool TORBDateFormats::ParseTime(std::string_view text, int* hour, int* minute, int* second) const {
  int v[3] = {0, 0, 0}, d[3];
  if (!Groups(text, TimeSeparator, 3, v, d) && !Groups(text, TimeSeparator, 2, v, d)) return false;
  if (v[0] > 23 || v[1] > 59 || v[2] > 59) return false;
  *hour = v[0];
  *minute = v[1];
  *second = v[2];
  return true;
}

}  // namespace orb
