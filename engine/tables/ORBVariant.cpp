// Typed values: conversions, common types, comparison and arithmetic.
#include "tables/ORBVariant.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"

namespace orb {

namespace {

enum Kind { kNone, kStr, kWide, kInt, kFlt, kDate, kTime, kDT, kLog, kBin };

Kind KindOf(uint8_t t) {
  switch (t) {
    case stChar: case stString: case stMemo: return kStr;
    case stWideChar: case stWideString: case stWideMemo: return kWide;
    case stShortInt: case stSmallInt: case stInteger: case stLargeInt: case stByte: case stWord: case stCardinal:
      return kInt;
    case stSingle: case stFloat: case stExtended: case stCurrency: return kFlt;
    case stDate: return kDate;
    case stTime: return kTime;
    case stDateTime: return kDT;
    case stLogical: return kLog;
    case stBlob: case stBytes: case stVarBytes: return kBin;
    default: return kNone;
  }
}

bool IsText(Kind k) { return k == kStr || k == kWide; }
bool IsNumber(Kind k) { return k == kInt || k == kFlt; }
bool IsDateKind(Kind k) { return k == kDate || k == kTime || k == kDT; }

std::string Name(uint8_t t) { return StorageTypeName(t); }

[[noreturn]] void CannotCast(uint8_t from, uint8_t to) {
  throw EORBException::Fmt(31100, "Cannot cast from '%s' to '%s'", Name(from), Name(to));
}


int SignedRank(uint8_t t) { return t == stShortInt ? 1 : t == stSmallInt ? 2 : t == stInteger ? 3 : 4; }
int UnsignedRank(uint8_t t) { return t == stByte ? 1 : t == stWord ? 2 : 3; }
bool IsUnsigned(uint8_t t) { return t == stByte || t == stWord || t == stCardinal; }

uint8_t IntCommon(uint8_t a, uint8_t b) {
  if (a == b) return a;
  const bool ua = IsUnsigned(a), ub = IsUnsigned(b);
  if (!ua && !ub) return SignedRank(a) >= SignedRank(b) ? a : b;
  if (ua && ub) return UnsignedRank(a) >= UnsignedRank(b) ? a : b;
  const uint8_t u = ua ? a : b, s = ua ? b : a;
  if (u == stCardinal || s == stLargeInt) return stLargeInt;
  if (u == stWord) return stInteger;
  return SignedRank(s) <= 2 ? stSmallInt : s;  // BYTE with SHORTINT or SMALLINT
}

int FloatRank(uint8_t t) { return t == stSingle ? 1 : t == stFloat ? 2 : t == stExtended ? 3 : 0; }

// Strict "YYYY-MM-DD[ HH:MM:SS]": exact digit counts, one separator each.
bool ParseIsoDateTime(std::string_view s, bool withTime, int* y, int* mo, int* d, int* h, int* mi, int* se) {
  const int widths[] = {4, 2, 2, 2, 2, 2};
  const int groups = withTime ? 6 : 3;
  int values[6] = {0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (int g = 0; g < groups; ++g) {
    if (g > 0) {
      if (i >= s.size() || std::isdigit(static_cast<unsigned char>(s[i]))) return false;
      ++i;
    }
    for (int k = 0; k < widths[g]; ++k, ++i) {
      if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
      values[g] = values[g] * 10 + (s[i] - '0');
    }
  }
  if (i != s.size()) return false;
  *y = values[0]; *mo = values[1]; *d = values[2]; *h = values[3]; *mi = values[4]; *se = values[5];
  return IsValidDate(*y, *mo, *d) && *h < 24 && *mi < 60 && *se < 60;
}

int32_t Ms(int h, int m, int s) { return ((h * 60 + m) * 60 + s) * 1000; }

// Text to (day, ms) for a date type; false when no form fits.
bool ParseDateText(std::string_view s, uint8_t type, bool wide, int32_t* day, int32_t* ms) {
  const TORBDateFormats& f = TORBDateFormats::Current();
  int y, mo, d, h = 0, mi = 0, se = 0;
  *day = 0;
  *ms = 0;
  if (type == stTime) {
    if (!wide && ParseIsoDateTime(std::string("2000-01-01 ") + std::string(s), true, &y, &mo, &d, &h, &mi, &se)) {
      *ms = Ms(h, mi, se);
      return true;
    }
    if (!f.ParseTime(s, &h, &mi, &se)) return false;
    *ms = Ms(h, mi, se);
    return true;
  }
  if (!wide) {
    if (ParseIsoDateTime(s, true, &y, &mo, &d, &h, &mi, &se) || ParseIsoDateTime(s, false, &y, &mo, &d, &h, &mi, &se)) {
      *day = DayNumber(y, mo, d);
      if (type == stDateTime) *ms = Ms(h, mi, se);
      return true;
    }
  }
  // The locale's forms: "date" or "date time".
  const size_t space = s.find(' ');
  std::string_view datePart = space == std::string_view::npos ? s : s.substr(0, space);
  if (!f.ParseDate(datePart, &y, &mo, &d)) return false;
  *day = DayNumber(y, mo, d);
  if (space != std::string_view::npos) {
    if (type != stDateTime || !f.ParseTime(s.substr(space + 1), &h, &mi, &se)) return false;
    *ms = Ms(h, mi, se);
  }
  return true;
}

// Bytes of a value of a fixed-width type; -1 for strings and byte arrays.
int FixedWidth(uint8_t t) {
  switch (KindOf(t)) {
    case kInt: case kFlt: case kDate: case kTime: case kDT: case kLog: return MemoryDataSize(t, 0);
    default: return -1;
  }
}

template <class T>
T Get(const std::vector<uint8_t>& d) {
  T v{};
  std::memcpy(&v, d.data(), std::min(sizeof v, d.size()));
  return v;
}

}  // namespace

int32_t DayNumber(int year, int month, int day) {
  // Days before the year, then before the month, then the day.
  static const int cum[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const int y = year - 1;
  int32_t n = y * 365 + y / 4 - y / 100 + y / 400 + cum[month - 1] + day;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (leap && month > 2) ++n;
  return n;
}

void DecodeDayNumber(int32_t n, int* year, int* month, int* day) {
  // Day numbers outside 0001-01-01 .. 9999-12-31 come only from damaged data.
  if (n < 1 || n > 3652059) throw EORBException::Fmt(31103, "'%d' is not a valid date", n);
  int y = static_cast<int>((n - 1) / 365.2425) + 1;
  while (y > 1 && DayNumber(y, 1, 1) > n) --y;
  while (DayNumber(y + 1, 1, 1) <= n) ++y;
  int m = 1;
  while (m < 12 && DayNumber(y, m + 1, 1) <= n) ++m;
  *year = y;
  *month = m;
  *day = n - DayNumber(y, m, 1) + 1;
}

void TORBVariant::SetNull(uint8_t type) {
  type_ = type;
  null_ = true;
  data_.clear();
}

void TORBVariant::SetInteger(int64_t v, uint8_t type) {
  int64_t lo, hi;
  if (!IntegerRange(type, &lo, &hi)) CannotCast(stLargeInt, type);
  if (v < lo || v > hi)
    throw EORBException::Fmt(31114, "Value %d out of range for type '%s'", v, Name(type));
  type_ = type;
  null_ = false;
  const size_t size = static_cast<size_t>(MemoryDataSize(type, 0));
  data_.assign(size, 0);
  std::memcpy(data_.data(), &v, size);  // little-endian: the low bytes
}

void TORBVariant::SetFloat(long double v, uint8_t type) {
  type_ = type;
  null_ = false;
  switch (type) {
    case stSingle: {
      float f = static_cast<float>(v);
      data_.assign(4, 0);
      std::memcpy(data_.data(), &f, 4);
      break;
    }
    case stFloat: case stCurrency: {
      double d = static_cast<double>(v);
      data_.assign(8, 0);
      std::memcpy(data_.data(), &d, 8);
      break;
    }
    case stExtended:
      data_.assign(10, 0);
      std::memcpy(data_.data(), &v, 10);  // the 80-bit value of x86
      break;
    default:
      CannotCast(stFloat, type);
  }
}

void TORBVariant::SetString(std::string_view s, uint8_t type) {
  type_ = type;
  null_ = false;
  data_.assign(s.begin(), s.end());
  data_.push_back(0);
}

void TORBVariant::SetWideString(std::u16string_view s, uint8_t type) {
  type_ = type;
  null_ = false;
  data_.assign((s.size() + 1) * 2, 0);
  std::memcpy(data_.data(), s.data(), s.size() * 2);
}

void TORBVariant::SetBoolean(bool v) {
  type_ = stLogical;
  null_ = false;
  const int16_t x = v ? -1 : 0;
  data_.assign(2, 0);
  std::memcpy(data_.data(), &x, 2);
}

void TORBVariant::SetDate(int32_t day) {
  type_ = stDate;
  null_ = false;
  data_.assign(4, 0);
  std::memcpy(data_.data(), &day, 4);
}

void TORBVariant::SetTime(int32_t ms) {
  type_ = stTime;
  null_ = false;
  data_.assign(4, 0);
  std::memcpy(data_.data(), &ms, 4);
}

void TORBVariant::SetDateTime(int32_t day, int32_t ms) {
  type_ = stDateTime;
  null_ = false;
  data_.assign(8, 0);
  std::memcpy(data_.data(), &day, 4);
  std::memcpy(data_.data() + 4, &ms, 4);
}

void TORBVariant::SetBytes(const void* bytes, size_t size, uint8_t type) {
  // A value of a fixed-width type is exactly that wide: every reader relies on it.
  const int width = FixedWidth(type);
  if (width >= 0 && size != static_cast<size_t>(width))
    throw EORBException::Fmt(31113, "Invalid value of %d bytes for type '%s'", size, Name(type));
  type_ = type;
  null_ = false;
  data_.assign(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
  if (data_.empty()) null_ = true;
}

static void CheckNotNull(const TORBVariant& v) {
  if (v.IsNull()) throw EORBException("Value is Null", 31105);
}

int64_t TORBVariant::AsLargeInt() const {
  CheckNotNull(*this);
  switch (KindOf(type_)) {
    case kInt: {
      switch (type_) {
        case stShortInt: return Get<int8_t>(data_);
        case stSmallInt: return Get<int16_t>(data_);
        case stInteger: return Get<int32_t>(data_);
        case stLargeInt: return Get<int64_t>(data_);
        case stByte: return Get<uint8_t>(data_);
        case stWord: return Get<uint16_t>(data_);
        default: return Get<uint32_t>(data_);
      }
    }
    case kFlt: {
      const long double v = AsExtended();
      if (!(v >= -9.2233720368547758e18L && v < 9.2233720368547758e18L))
        throw EORBException::Fmt(31114, "Value %s out of range for type '%s'", AsString(), Name(stLargeInt));
      return static_cast<int64_t>(v);
    }
    case kLog: return Get<int16_t>(data_) != 0 ? 1 : 0;
    case kDate: return static_cast<int64_t>(Get<int32_t>(data_)) - kDateTimeEpochDay;
    case kTime: return 0;
    case kDT: return static_cast<int64_t>(Get<int32_t>(data_)) - kDateTimeEpochDay;
    case kStr: case kWide: {
      const std::string s = AsString();
      if (s.empty()) throw EORBException::Fmt(31101, "'%s' is not a valid integer value", s);
      char* end = nullptr;
      errno = 0;
      const long long v = std::strtoll(s.c_str(), &end, 10);
      if (*end || errno == ERANGE || std::isspace(static_cast<unsigned char>(s[0])))
        throw EORBException::Fmt(31101, "'%s' is not a valid integer value", s);
      return v;
    }
    default: CannotCast(type_, stLargeInt);
  }
}

long double TORBVariant::AsExtended() const {
  CheckNotNull(*this);
  switch (type_) {
    case stSingle: return Get<float>(data_);
    case stFloat: case stCurrency: return Get<double>(data_);
    case stExtended: {
      long double v = 0;
      std::memcpy(&v, data_.data(), 10);
      return v;
    }
    default: break;
  }
  switch (KindOf(type_)) {
    case kInt: case kLog: return static_cast<long double>(AsLargeInt());
    case kDate: case kTime: case kDT: return AsDateTimeValue();
    case kStr: case kWide: {
      const std::string s = AsString();
      char* end = nullptr;
      const long double v = s.empty() || std::isspace(static_cast<unsigned char>(s[0])) ? 0 : std::strtold(s.c_str(), &end);
      if (s.empty() || !end || *end || !std::isfinite(v))
        throw EORBException::Fmt(31102, "'%s' is not a valid floating point value", s);
      return v;
    }
    default: CannotCast(type_, stExtended);
  }
}

long double TORBVariant::AsDateTimeValue() const {
  CheckNotNull(*this);
  switch (type_) {
    case stDate: return static_cast<int64_t>(Get<int32_t>(data_)) - kDateTimeEpochDay;
    case stTime: return Get<int32_t>(data_) / 86400000.0L;
    case stDateTime: {
      int32_t day, ms;
      std::memcpy(&day, data_.data(), 4);
      std::memcpy(&ms, data_.data() + 4, 4);
      return (static_cast<int64_t>(day) - kDateTimeEpochDay) + ms / 86400000.0L;
    }
    default: {
      TORBVariant c = *this;
      c.CastTo(stDateTime);
      return c.AsDateTimeValue();
    }
  }
}

int32_t TORBVariant::AsDate() const {
  TORBVariant c = *this;
  c.CastTo(stDate);
  return Get<int32_t>(c.data_);
}

int32_t TORBVariant::AsTime() const {
  TORBVariant c = *this;
  c.CastTo(stTime);
  return Get<int32_t>(c.data_);
}

bool TORBVariant::AsBoolean() const {
  CheckNotNull(*this);
  switch (KindOf(type_)) {
    case kLog: return Get<int16_t>(data_) != 0;
    case kStr: case kWide: {
      const std::string up = TORBCollation::Current().Upper(AsString());
      return up == "1" || up == "TRUE";
    }
    case kInt: return AsLargeInt() != 0;
    case kFlt: return AsExtended() != 0;
    default: CannotCast(type_, stLogical);
  }
}

bool TORBVariant::ViewString(std::string_view& out) const {
  if (IsNull() || KindOf(type_) != kStr) return false;
  const auto* p = reinterpret_cast<const char*>(data_.data());
  out = std::string_view(p, strnlen(p, data_.size()));
  return true;
}

std::string TORBVariant::AsString() const {
  CheckNotNull(*this);
  char buf[64];
  switch (KindOf(type_)) {
    case kStr: return std::string(reinterpret_cast<const char*>(data_.data()), strnlen(reinterpret_cast<const char*>(data_.data()), data_.size()));
    case kWide: {
      std::u16string w = AsWideString();
      return Utf16ToUtf8(w);
    }
    case kInt: return std::to_string(AsLargeInt());
    case kFlt:
      if (type_ == stCurrency) std::snprintf(buf, sizeof buf, "%.4f", Get<double>(data_));
      else if (type_ == stSingle) std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(Get<float>(data_)));
      else if (type_ == stFloat) std::snprintf(buf, sizeof buf, "%.15g", Get<double>(data_));
      else std::snprintf(buf, sizeof buf, "%.18Lg", AsExtended());
      return buf;
    case kLog: return AsBoolean() ? "True" : "False";
    case kDate: case kDT: {
      int y, m, d;
      DecodeDayNumber(Get<int32_t>(data_), &y, &m, &d);
      std::string out = TORBDateFormats::Current().FormatDate(y, m, d);
      if (type_ == stDateTime) {
        int32_t ms;
        std::memcpy(&ms, data_.data() + 4, 4);
        out += ' ' + TORBDateFormats::Current().FormatTime(ms / 3600000, ms / 60000 % 60, ms / 1000 % 60);
      }
      return out;
    }
    case kTime: {
      const int32_t ms = Get<int32_t>(data_);
      return TORBDateFormats::Current().FormatTime(ms / 3600000, ms / 60000 % 60, ms / 1000 % 60);
    }
    default: CannotCast(type_, stString);
  }
}

std::u16string TORBVariant::AsWideString() const {
  CheckNotNull(*this);
  if (KindOf(type_) == kWide) {
    std::u16string w(data_.size() / 2, u'\0');
    std::memcpy(w.data(), data_.data(), w.size() * 2);
    const size_t end = w.find(u'\0');
    if (end != std::u16string::npos) w.resize(end);
    return w;
  }
  return Utf8ToUtf16(AsString());
}

std::vector<uint8_t> TORBVariant::AsBytes() const {
  CheckNotNull(*this);
  return data_;
}

void TORBVariant::CastTo(uint8_t type) {
  if (type == type_) return;
  if (IsNull()) {
    SetNull(type);
    return;
  }
  const Kind from = KindOf(type_), to = KindOf(type);
  TORBVariant r;
  switch (to) {
    case kStr: r.SetString(AsString(), type); break;
    case kWide: r.SetWideString(AsWideString(), type); break;
    case kInt:
      if (from == kBin || from == kTime) CannotCast(type_, type);
      r.SetInteger(AsLargeInt(), type);
      break;
    case kFlt:
      if (from == kBin) CannotCast(type_, type);
      r.SetFloat(AsExtended(), type);
      break;
    case kLog:
      if (from == kBin || IsDateKind(from)) CannotCast(type_, type);
      r.SetBoolean(AsBoolean());
      break;
    case kDate: case kTime: case kDT: {
      int32_t day = 0, ms = 0;
      if (IsText(from)) {
        const std::string s = AsString();
        if (!ParseDateText(s, type, from == kWide, &day, &ms))
          throw EORBException::Fmt(to == kTime ? 31104 : 31103,
                                   to == kTime ? "'%s' is not a valid time" : "'%s' is not a valid date", s);
      } else if (IsNumber(from) || IsDateKind(from)) {
        const long double v = from == kDate   ? static_cast<long double>(static_cast<int64_t>(Get<int32_t>(data_)) - kDateTimeEpochDay)
                              : from == kDT   ? AsDateTimeValue()
                              : from == kTime ? AsDateTimeValue()
                                              : AsExtended();
        if (!(v > -693594.0L && v < 2958466.0L)) CannotCast(type_, type);
        const long double whole = std::floor(v);
        day = static_cast<int32_t>(whole) + kDateTimeEpochDay;
        ms = static_cast<int32_t>(std::llround((v - whole) * 86400000.0L));
        if (ms >= 86400000) ms = 86399999;
        if (from == kTime) day = 0;
      } else {
        CannotCast(type_, type);
      }
      if (to == kDate) r.SetDate(day);
      else if (to == kTime) r.SetTime(ms);
      else r.SetDateTime(day, ms);
      break;
    }
    case kBin:
      if (from != kBin && !IsText(from)) CannotCast(type_, type);
      if (IsText(from)) {
        const std::string text = AsString();
        r.SetBytes(text.data(), text.size(), type);
      } else {
        r.SetBytes(data_.data(), data_.size(), type);
      }
      break;
    default:
      CannotCast(type_, type);
  }
  *this = std::move(r);
}

uint8_t TORBVariant::CommonType(const TORBVariant& a, const TORBVariant& b, bool forComparison) {
  const uint8_t ta = a.type_, tb = b.type_;
  const Kind ka = KindOf(ta), kb = KindOf(tb);
  if (ka == kBin || kb == kBin || ka == kNone || kb == kNone) return 0;
  auto asString = [](uint8_t t) -> uint8_t { return t == stMemo ? stChar : t == stWideMemo ? stWideChar : t; };
  if (IsText(ka) && IsText(kb)) {
    const uint8_t x = asString(ta), y = asString(tb);
    if (ka == kWide || kb == kWide) {
      const bool bothChar = (x == stChar || x == stWideChar) && (y == stChar || y == stWideChar);
      return bothChar ? stWideChar : stWideString;
    }
    return (x == stString || y == stString) ? stString : stChar;
  }
  if (IsText(ka) || IsText(kb)) {
    const uint8_t s = IsText(ka) ? asString(ta) : asString(tb);
    const Kind other = IsText(ka) ? kb : ka;
    const uint8_t ot = IsText(ka) ? tb : ta;
    if (IsDateKind(other)) return forComparison ? ot : s;
    return s;
  }
  if (ka == kLog && kb == kLog) return stLogical;
  if (ka == kLog) return IsNumber(kb) ? tb : 0;
  if (kb == kLog) return IsNumber(ka) ? ta : 0;
  if (IsDateKind(ka) || IsDateKind(kb)) {
    if (IsDateKind(ka) && IsDateKind(kb)) return ta == tb ? ta : stDateTime;
    return IsDateKind(ka) ? ta : tb;  // a date with a number
  }
  // Numbers.
  if (ta == stCurrency || tb == stCurrency) {
    const uint8_t other = ta == stCurrency ? tb : ta;
    return FloatRank(other) ? other : stCurrency;
  }
  if (FloatRank(ta) || FloatRank(tb)) return FloatRank(ta) >= FloatRank(tb) ? ta : tb;
  return IntCommon(ta, tb);
}

int TORBVariant::Compare(const TORBVariant& b, bool sqlNulls, int prefixLength, bool caseInsensitive) const {
  const bool an = IsNull(), bn = b.IsNull();
  if (an || bn) {
    const int code = an && bn ? crBothNull : an ? crLeftNull : crRightNull;
    if (sqlNulls) return code;
    return code == crBothNull ? crEqual : code == crLeftNull ? crLess : crGreater;
  }
  const uint8_t t = CommonType(*this, b, true);
  if (!t)
    throw EORBException::Fmt(31106, "Cannot compare Incompatible DataTypes: '%s' and '%s'", Name(type_), Name(b.type_));
  TORBVariant x = *this, y = b;
  x.CastTo(t);
  y.CastTo(t);
  auto sign = [](auto p, auto q) { return p < q ? crLess : q < p ? crGreater : crEqual; };
  switch (KindOf(t)) {
    case kStr: case kWide: {
      std::string sx = x.AsString(), sy = y.AsString();
      if (prefixLength >= 0) {
        auto cut = [&](std::string& s) {
          size_t chars = 0, i = 0;
          while (i < s.size() && chars < static_cast<size_t>(prefixLength)) {
            ++i;
            while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
            ++chars;
          }
          s.resize(i);
        };
        cut(sx);
        cut(sy);
      }
      const int c = TORBCollation::Current().Compare(sx, sy, caseInsensitive);
      return c < 0 ? crLess : c > 0 ? crGreater : crEqual;
    }
    case kInt: return sign(x.AsLargeInt(), y.AsLargeInt());
    case kFlt: return sign(x.AsExtended(), y.AsExtended());
    case kLog: return sign(x.AsBoolean(), y.AsBoolean());
    case kDate: case kTime: return sign(Get<int32_t>(x.data_), Get<int32_t>(y.data_));
    case kDT: {
      const int c = sign(Get<int32_t>(x.data_), Get<int32_t>(y.data_));
      if (c != crEqual) return c;
      int32_t mx, my;
      std::memcpy(&mx, x.data_.data() + 4, 4);
      std::memcpy(&my, y.data_.data() + 4, 4);
      return sign(mx, my);
    }
    default: throw EORBException::Fmt(31107, "Unknown DataType: '%s'", Name(t));
  }
}

void TORBVariant::Arith(const TORBVariant& b, char op) {
  const char opText[2] = {op, 0};
  if (IsNull() || b.IsNull()) {
    SetNull(type_);
    return;
  }
  const uint8_t t = CommonType(*this, b, false);
  const Kind k = KindOf(t);
  if (!t || !(IsNumber(k) || k == kLog) || (op == '+' && false))
    throw EORBException::Fmt(31108, "Not numeric argument in numeric operator '%s'", opText);
  TORBVariant x = *this, y = b;
  x.CastTo(t);
  y.CastTo(t);
  if (k == kInt || k == kLog) {
    const int64_t p = x.AsLargeInt(), q = y.AsLargeInt();
    int64_t r = 0;
    bool overflow = false;
    switch (op) {
      case '+': overflow = __builtin_add_overflow(p, q, &r); break;
      case '-': overflow = __builtin_sub_overflow(p, q, &r); break;
      case '*': overflow = __builtin_mul_overflow(p, q, &r); break;
      default:
        if (q == 0) throw EORBException("Division error: Division by zero", 31109);
        if (p == INT64_MIN && q == -1) throw EORBException("Division error: Integer overflow", 31109);
        r = p / q;
    }
    int64_t lo, hi;
    const uint8_t rt = k == kLog ? stLargeInt : t;
    IntegerRange(rt, &lo, &hi);
    if (overflow || r < lo || r > hi)
      throw EORBException::Fmt(31112, "Arithmetic overflow in operator '%s' for type '%s'", opText, Name(rt));
    SetInteger(r, rt);
    return;
  }
  const long double p = x.AsExtended(), q = y.AsExtended();
  long double r;
  switch (op) {
    case '+': r = p + q; break;
    case '-': r = p - q; break;
    case '*': r = p * q; break;
    default:
      if (q == 0) throw EORBException("Division error: Division by zero", 31109);
      r = p / q;
  }
  if (!std::isfinite(r)) throw EORBException::Fmt(31112, "Arithmetic overflow in operator '%s' for type '%s'", opText, Name(t));
  SetFloat(r, t);
}

void TORBVariant::Add(const TORBVariant& b) {
  const Kind ka = KindOf(type_);
  if (b.IsNull()) {
    if (!IsText(ka)) SetNull(type_);
    return;
  }
  if (IsNull()) {
    if (IsText(ka) || ka == kNone) *this = b;
    return;
  }
  const uint8_t t = CommonType(*this, b, false);
  const Kind k = KindOf(t);
  if (IsText(k)) {
    TORBVariant y = b;
    y.CastTo(t);
    CastTo(t);
    if (k == kWide) SetWideString(AsWideString() + y.AsWideString(), t);
    else SetString(AsString() + y.AsString(), t == stChar ? stString : t);
    return;
  }
  if (IsDateKind(k)) {
    // Date arithmetic: a number of days (with fractions) moves the date.
    const TORBVariant& date = IsDateKind(KindOf(type_)) ? *this : b;
    const TORBVariant& amount = IsDateKind(KindOf(type_)) ? b : *this;
    if (IsDateKind(KindOf(amount.type_)) && amount.type_ != stTime)
      throw EORBException::Fmt(31108, "Not numeric argument in numeric operator '%s'", "+");
    const long double v = date.AsDateTimeValue() + amount.AsDateTimeValue();
    TORBVariant r;
    r.SetFloat(v, stExtended);
    r.CastTo(t);
    *this = std::move(r);
    return;
  }
  Arith(b, '+');
}

void TORBVariant::Subtract(const TORBVariant& b) {
  if (IsDateKind(KindOf(type_)) && !b.IsNull() && !IsNull()) {
    if (IsDateKind(KindOf(b.type_)) && b.type_ != stTime) {
      SetFloat(AsDateTimeValue() - b.AsDateTimeValue(), stFloat);  // days between
      return;
    }
    TORBVariant negative = b;
    negative.Negate();
    Add(negative);
    return;
  }
  Arith(b, '-');
}

void TORBVariant::Multiply(const TORBVariant& b) { Arith(b, '*'); }
void TORBVariant::Divide(const TORBVariant& b) { Arith(b, '/'); }

void TORBVariant::Negate() {
  if (IsNull()) return;
  const Kind k = KindOf(type_);
  if (k == kInt) {
    const int64_t v = AsLargeInt();
    if (v == INT64_MIN) throw EORBException::Fmt(31112, "Arithmetic overflow in operator '%s' for type '%s'", "-", Name(type_));
    const uint8_t t = IsUnsigned(type_) ? (type_ == stCardinal ? stLargeInt : stInteger) : type_;
    SetInteger(-v, t);
  } else if (k == kFlt) {
    SetFloat(-AsExtended(), type_);
  } else if (k == kTime || k == kDate || k == kDT) {
    SetFloat(-AsDateTimeValue(), stFloat);
  } else {
    throw EORBException::Fmt(31110, "Cannot invert value with not numeric type '%s'", Name(type_));
  }
}

void TORBVariant::SaveToStream(std::vector<uint8_t>& out) const {
  out.push_back(type_);
  out.push_back(IsNull() ? 255 : 0);
  if (IsNull()) return;
  const int32_t size = DataSize();
  const auto* p = reinterpret_cast<const uint8_t*>(&size);
  out.insert(out.end(), p, p + 4);
  out.insert(out.end(), data_.begin(), data_.end());
}

size_t TORBVariant::LoadFromStream(const uint8_t* in, size_t size) {
  auto damaged = [] { return EORBException("Invalid variant stream: the value is damaged", 31113); };
  if (size < 2) throw damaged();
  const uint8_t type = in[0];
  if (type > stVarBytes) throw damaged();
  if (in[1] != 0) {
    SetNull(type);
    return 2;
  }
  if (size < 6) throw damaged();
  int32_t n;
  std::memcpy(&n, in + 2, 4);
  if (n < 0 || static_cast<size_t>(n) > size - 6) throw damaged();
  const int width = FixedWidth(type);
  if (n > 0 && width >= 0 && n != width) throw damaged();
  if (n > 0 && IsDateTimeStorage(type)) {
    int32_t first, second = 0;
    std::memcpy(&first, in + 6, 4);
    if (type == stDateTime) std::memcpy(&second, in + 10, 4);
    const bool ok = type == stTime ? first >= 0 && first < 86400000
                                   : first >= 1 && first <= 3652059 && second >= 0 && second < 86400000;
    if (!ok) throw damaged();
  }
  type_ = type;
  null_ = false;
  data_.assign(in + 6, in + 6 + n);
  if (data_.empty()) null_ = true;
  return 6 + static_cast<size_t>(n);
}

bool TORBVariant::WriteToBuffer(uint8_t* buffer, int32_t size) const {
  if (IsNull()) return false;
  if (KindOf(type_) == kStr && data_.size() <= 1) return false;  // an empty string is stored as NULL
  if (DataSize() > size) throw EORBException("Buffer size exceeded", 31111);
  std::memcpy(buffer, data_.data(), data_.size());
  return true;
}

}  // namespace orb
