// The text and date platform layer: UTF-8 strings, one fixed collation for
// every machine, and the short date and time formats. Tests can pin both.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orb {

// Collation and case mapping. The default is the root-locale collator, never
// taken from the environment, so an index sorts the same everywhere.
class TORBCollation {
 public:
  virtual ~TORBCollation() = default;
  // <0, 0, >0. Case-insensitive compares at secondary strength (accents
  // still count, case does not).
  virtual int Compare(std::string_view a, std::string_view b, bool caseInsensitive) const = 0;
  virtual int CompareWide(std::u16string_view a, std::u16string_view b, bool caseInsensitive) const = 0;
  virtual std::string Upper(std::string_view s) const = 0;
  virtual std::string Lower(std::string_view s) const = 0;
  // Upper or Lower into `out`, whose storage a caller mapping every record
  // keeps reusing.
  virtual void MapCase(std::string_view s, bool upper, std::string& out) const { out = upper ? Upper(s) : Lower(s); }
  // The primary weights of s in order (case and accents do not count at this
  // level). A collation that cannot tell returns false; callers then treat
  // prefixes as undecided.
  virtual bool PrimaryWeights(std::string_view, std::vector<uint32_t>&) const { return false; }
  // How `full` compares with every string that starts with `prefix`, judged
  // at the primary level: -1 below them all, 1 above them all, 2 when it
  // depends on what follows the prefix.
  virtual int CompareWithPrefix(std::string_view full, std::string_view prefix) const;

  static const TORBCollation& Current();
  static void SetCurrent(const TORBCollation* c);  // nullptr restores the default
};

// UTF-8 helpers: sizes count bytes, lengths count characters.
size_t Utf8Length(std::string_view s);
// No byte of s is 0x80 or above.
bool IsAscii(std::string_view s);
// The longest prefix of at most maxBytes that does not split a character.
std::string_view Utf8Truncate(std::string_view s, size_t maxBytes);
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);

// Short date and time formats: patterns of d, m, y (dd/mm/yyyy …) and h, n, s
// with one separator character. A two-digit year in the locale's pattern is
// widened to four digits, so what Format writes, Parse reads back.
struct TORBDateFormats {
  std::string DatePattern = "yyyy-mm-dd";  // order of day, month, year
  char DateSeparator = '-';
  std::string TimePattern = "hh:nn:ss";
  char TimeSeparator = ':';

  // From the process environment's locale (LC_TIME), read once.
  static TORBDateFormats FromLocale();
  static const TORBDateFormats& Current();
  static void SetCurrent(const TORBDateFormats* f);  // nullptr restores the locale's

  std::string FormatDate(int year, int month, int day) const;
  bool ParseDate(std::string_view text, int* year, int* month, int* day) const;
  std::string FormatTime(int hour, int minute, int second) const;
  bool ParseTime(std::string_view text, int* hour, int* minute, int* second) const;
};

bool IsValidDate(int year, int month, int day);

}  // namespace orb
