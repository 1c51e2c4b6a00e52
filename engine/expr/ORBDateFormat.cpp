// Date patterns: splitting a pattern into tokens, writing a date-time with
// it and reading one back.
#include "expr/ORBDateFormat.h"

#include <cctype>
#include <cstdio>

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"
#include "tables/ORBVariant.h"

namespace orb {

namespace {

enum Code {
  fYYYY, fYY, fYEAR, fQ, fMONTH, fMON, fMM, fM, fRM, fDDD, fDD, fDAY, fDY, fDW, fD,
  fHH12, fHH24, fHH, fH12, fH24, fH, fNN, fN, fSS, fS, fAMPM, kCodeCount
};
const char* const kWords[kCodeCount] = {"YYYY", "YY",   "YEAR", "Q",  "MONTH", "MON", "MM", "M",  "RM",
                                        "DDD",  "DD",   "DAY",  "DY", "DW",    "D",   "HH12", "HH24", "HH",
                                        "H12",  "H24",  "H",    "NN", "N",     "SS",  "S",  "AMPM"};
const char* const kMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                 "July",    "August",   "September", "October", "November", "December"};
const char* const kDays[7] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
const char* const kRoman[12] = {"I", "II", "III", "IV", "V", "VI", "VII", "VIII", "IX", "X", "XI", "XII"};

bool IsTimeCode(int c) { return c >= fHH12; }

std::string Pad2(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d", v);
  return b;
}

// 0-based day of the week, Monday first; day 1 (0001-01-01) was a Monday.
int WeekDay(int32_t n) { return static_cast<int>(((n - 1) % 7 + 7) % 7); }

}  // namespace

TORBDateFormat::TORBDateFormat(std::string_view p) {
  size_t i = 0;
  auto literal = [&](std::string_view text) {
    if (!items_.empty() && items_.back().Code < 0) items_.back().Text += text;
    else items_.push_back({-1, std::string(text)});
  };
  while (i < p.size()) {
    if (p[i] == '\'' || p[i] == '"') {
      const size_t close = p.find(p[i], i + 1);
      const size_t end = close == std::string_view::npos ? p.size() : close;
      literal(p.substr(i + 1, end - i - 1));
      i = end == p.size() ? end : end + 1;
      continue;
    }
    int best = -1;
    size_t bestLen = 0;
    for (int c = 0; c < kCodeCount; ++c) {
      const std::string_view w = kWords[c];
      if (w.size() <= bestLen || i + w.size() > p.size()) continue;
      bool same = true;
      for (size_t k = 0; k < w.size() && same; ++k)
        same = std::toupper(static_cast<unsigned char>(p[i + k])) == w[k];
      if (same) {
        best = c;
        bestLen = w.size();
      }
    }
    if (best < 0) {
      literal(p.substr(i, 1));
      ++i;
    } else {
      items_.push_back({best, std::string(p.substr(i, bestLen))});
      i += bestLen;
    }
  }
}

bool TORBDateFormat::HasDateTokens() const {
  for (const Item& it : items_)
    if (it.Code >= 0 && !IsTimeCode(it.Code)) return true;
  return false;
}

bool TORBDateFormat::HasTimeTokens() const {
  for (const Item& it : items_)
    if (it.Code >= 0 && IsTimeCode(it.Code)) return true;
  return false;
}

int32_t TORBDateFormat::MaxLength() const {
  int32_t n = 0;
  for (const Item& it : items_) {
    switch (it.Code) {
      case -1: n += static_cast<int32_t>(Utf8Length(it.Text)); break;
      case fYYYY: case fYEAR: case fRM: n += 4; break;
      case fQ: n += 1; break;
      case fMONTH: n += 9; break;
      case fMON: case fDDD: case fDY: n += 3; break;
      case fDAY: n += 12; break;
      default: n += 2;
    }
  }
  return n;
}

std::string TORBDateFormat::Format(int32_t dayNumber, int32_t ms) const {
  int y, m, d;
  DecodeDayNumber(dayNumber, &y, &m, &d);
  const int hour = ms / 3600000, minute = ms / 60000 % 60, second = ms / 1000 % 60;
  const int hour12 = hour % 12 == 0 ? 12 : hour % 12;
  std::string out;
  for (const Item& it : items_) {
    switch (it.Code) {
      case -1: out += it.Text; break;
      case fYYYY: case fYEAR: {
        char b[16];
        std::snprintf(b, sizeof b, "%04d", y);
        out += b;
        break;
      }
      case fYY: out += Pad2(y % 100); break;
      case fQ: out += std::to_string((m - 1) / 3 + 1); break;
      case fMONTH: out += kMonths[m - 1]; break;
      case fMON: out += std::string(kMonths[m - 1], 3); break;
      case fMM: out += Pad2(m); break;
      case fM: out += std::to_string(m); break;
      case fRM: out += kRoman[m - 1]; break;
      case fDDD: out += std::string(kDays[WeekDay(dayNumber)], 3); break;
      case fDAY: out += kDays[WeekDay(dayNumber)]; break;
      case fDD: out += Pad2(d); break;
      case fD: out += std::to_string(d); break;
      case fDY: out += std::to_string(dayNumber - DayNumber(y, 1, 1) + 1); break;
      case fDW: out += std::to_string(WeekDay(dayNumber) + 1); break;
      case fHH12: case fHH: out += Pad2(hour12); break;
      case fH12: case fH: out += std::to_string(hour12); break;
      case fHH24: out += Pad2(hour); break;
      case fH24: out += std::to_string(hour); break;
      case fNN: out += Pad2(minute); break;
      case fN: out += std::to_string(minute); break;
      case fSS: out += Pad2(second); break;
      case fS: out += std::to_string(second); break;
      case fAMPM: out += hour >= 12 ? "PM" : "AM"; break;
      default: break;
    }
  }
  return out;
}

void TORBDateFormat::Parse(std::string_view text, int32_t* dayNumber, int32_t* ms) const {
  auto invalid = [&] { return EORBException::Fmt(31103, "'%s' is not a valid date", std::string(text)); };
  size_t pos = 0;
  auto digits = [&](size_t count) {
    int v = 0;
    for (size_t k = 0; k < count; ++k, ++pos) {
      if (pos >= text.size() || !std::isdigit(static_cast<unsigned char>(text[pos]))) throw invalid();
      v = v * 10 + (text[pos] - '0');
    }
    return v;
  };
  // One digit when the next character is not a digit, else two.
  auto oneOrTwo = [&] {
    const bool two = pos + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[pos + 1]));
    return digits(two ? 2 : 1);
  };
  auto skipChars = [&](size_t chars) {
    for (size_t k = 0; k < chars; ++k) {
      if (pos >= text.size()) throw invalid();
      ++pos;
      while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
    }
  };
  int year = -1, month = -1, day = -1, hour = 0, minute = 0, second = 0;
  int ampm = 0;  // 1 AM, 2 PM
  for (const Item& it : items_) {
    switch (it.Code) {
      case fYYYY: case fYEAR: year = digits(4); break;
      case fYY: {
        const int v = digits(2);
        year = v < 30 ? 2000 + v : 1900 + v;
        break;
      }
      case fQ: {
        const int q = digits(1);
        if (q < 1 || q > 4) throw invalid();
        month = 3 * (q - 1) + 1;
        break;
      }
      case fMM: month = digits(2); break;
      case fM: month = oneOrTwo(); break;
      case fDD: day = digits(2); break;
      case fD: day = oneOrTwo(); break;
      case fHH24: hour = digits(2); break;
      case fHH12: case fHH: case fH24: hour = oneOrTwo(); break;
      case fNN: minute = digits(2); break;
      case fN: minute = oneOrTwo(); break;
      case fSS: second = digits(2); break;
      case fS: second = oneOrTwo(); break;
      case fAMPM: {
        if (pos + 2 > text.size()) throw invalid();
        const std::string w = {static_cast<char>(std::toupper(static_cast<unsigned char>(text[pos]))),
                               static_cast<char>(std::toupper(static_cast<unsigned char>(text[pos + 1])))};
        if (w != "AM" && w != "PM")
          throw EORBException::Fmt(31237, "AM/PM word expected, but '%s' found", std::string(text.substr(pos, 2)));
        ampm = w == "PM" ? 2 : 1;
        pos += 2;
        break;
      }
      default: skipChars(Utf8Length(it.Text)); break;  // literals and name tokens
    }
  }
  if (pos != text.size()) throw invalid();
  // A 12-hour clock: 12 AM is midnight, 12 PM noon.
  if (ampm == 2 && hour < 12) hour += 12;
  if (ampm == 1 && hour == 12) hour = 0;
  if (hour > 23 || minute > 59 || second > 59) throw invalid();
  if (year < 0 || month < 0 || day < 0) {
    *dayNumber = kDateTimeEpochDay;
  } else {
    if (!IsValidDate(year, month, day)) throw invalid();
    *dayNumber = DayNumber(year, month, day);
  }
  *ms = ((hour * 60 + minute) * 60 + second) * 1000;
}

}  // namespace orb
