// Message formatting: printf-like directives over type-checked arguments.
#include "orb/ORBFormat.h"

#include <cinttypes>
#include <cstdio>

namespace orb {

namespace {

bool IsConversion(char c) {
  switch (c) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 's':
    case 'f': case 'e': case 'g': case 'c':
      return true;
    default:
      return false;
  }
}

std::string Printf(const std::string& spec, auto value) {
  char small[128];
  int n = std::snprintf(small, sizeof small, spec.c_str(), value);
  if (n < 0) throw EORBFormatError("formatting failed");
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), spec.c_str(), value);
  big.resize(n);
  return big;
}

}  // namespace

std::string ORBFormatArgs(std::string_view fmt, std::span<const TORBFmtArg> args) {
  std::string out;
  out.reserve(fmt.size() + 32);
  size_t next = 0;
  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Parse %[flags][width][.precision]conv; anything else is a literal '%'.
    size_t j = i + 1;
    std::string flags;
    while (j < fmt.size() && (fmt[j] == '-' || fmt[j] == '+' || fmt[j] == ' ' || fmt[j] == '0')) flags += fmt[j++];
    std::string width;
    while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9' && width.size() < 4) width += fmt[j++];
    std::string prec;
    bool hasPrec = false;
    if (j < fmt.size() && fmt[j] == '.') {
      hasPrec = true;
      ++j;
      while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9' && prec.size() < 4) prec += fmt[j++];
    }
    if (j >= fmt.size() || !IsConversion(fmt[j])) {
      out += '%';
      continue;
    }
    char conv = fmt[j];
    if (next >= args.size()) throw EORBFormatError("missing argument");
    const TORBFmtArg& a = args[next++];
    std::string spec = "%" + flags + width + (hasPrec ? "." + prec : std::string());
    switch (conv) {
      case 'd': case 'i': case 'u':
        if (a.kind() != TORBFmtArg::Kind::Int) throw EORBFormatError("integer expected");
        if (a.isUnsigned64() || conv == 'u')
          out += Printf(spec + PRIu64, static_cast<uint64_t>(a.asInt()));
        else
          out += Printf(spec + PRId64, a.asInt());
        break;
      case 'x': case 'X': {
        if (a.kind() != TORBFmtArg::Kind::Int) throw EORBFormatError("integer expected");
        int64_t v = a.asInt();
        uint64_t u = (v < 0 && v >= INT32_MIN && !a.isUnsigned64()) ? static_cast<uint32_t>(v) : static_cast<uint64_t>(v);
        out += Printf(spec + (conv == 'x' ? PRIx64 : PRIX64), u);
        break;
      }
      case 'f': case 'e': case 'g': {
        double v;
        if (a.kind() == TORBFmtArg::Kind::Real) v = a.asReal();
        else if (a.kind() == TORBFmtArg::Kind::Int) v = static_cast<double>(a.asInt());
        else throw EORBFormatError("number expected");
        out += Printf(spec + conv, v);
        break;
      }
      case 's':
        if (a.kind() != TORBFmtArg::Kind::Str) throw EORBFormatError("string expected");
{
        // Done by hand: the text may hold NUL bytes (raw file contents).
        std::string_view v = a.asStr();
        if (hasPrec) v = v.substr(0, prec.empty() ? 0 : std::stoul(prec));
        size_t w = width.empty() ? 0 : std::stoul(width);
        std::string pad(w > v.size() ? w - v.size() : 0, ' ');
        bool left = flags.find('-') != std::string::npos;
        if (!left) out += pad;
        out += v;
        if (left) out += pad;
        break;
      }
      case 'c':
        if (a.kind() == TORBFmtArg::Kind::Str && a.asStr().size() == 1) out += a.asStr();
        else if (a.kind() == TORBFmtArg::Kind::Int) out += static_cast<char>(a.asInt());
        else throw EORBFormatError("character expected");
        break;
    }
    i = j;
  }
  return out;
}

}  // namespace orb
