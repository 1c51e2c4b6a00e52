// The tokenizer: one pass over a text into commands of tokens, with exact
// line and column numbers for every token and every error.
#include "expr/ORBLexer.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "orb/ORBExcept.h"

namespace orb {

namespace {

const char* const kReservedWords[kReservedWordCount] = {
    "ABSOLUTE", "ACTION", "ADD", "ALL", "ALLOCATE", "ALTER", "AND", "ANY", "ARE", "AS", "ASC", "ASSERTION",
    "AT", "AUTHORIZATION", "AVG", "BEGIN", "BETWEEN", "BIT", "BIT_LENGTH", "BOTH", "BY", "CASCADE",
    "CASCADED", "CASE", "CAST", "CATALOG", "CHAR", "CHARACTER", "CHAR_LENGTH", "CHARACTER_LENGTH", "CHECK",
    "CLOSE", "COALESCE", "COLLATE", "COLLATION", "COLUMN", "COMMIT", "CONNECT", "CONNECTION", "CONSTRAINT",
    "CONSTRAINTS", "CONTINUE", "CONVERT", "CORRESPONDING", "COUNT", "CREATE", "CROSS", "CURRENT",
    "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "CURRENT_USER", "CURSOR", "DATE", "DAY",
    "DEALLOCATE", "DEC", "DECIMAL", "DECLARE", "DEFAULT", "DEFERRABLE", "DEFERRED", "DELETE", "DESC",
    "DESCRIBE", "DESCRIPTOR", "DIAGNOSTICS", "DISCONNECT", "DISTINCT", "DOMAIN", "DOUBLE", "DROP", "ELSE",
    "END", "END-EXEC", "ESCAPE", "EXCEPT", "EXCEPTION", "EXEC", "EXECUTE", "EXISTS", "EXTERNAL", "EXTRACT",
    "FALSE", "FETCH", "FIRST", "FLOAT", "FOR", "FOREIGN", "FOUND", "FROM", "FULL", "GET", "GLOBAL", "GO",
    "GOTO", "GRANT", "GROUP", "HAVING", "HOUR", "IDENTITY", "IMMEDIATE", "IN", "INDICATOR", "INITIALLY",
    "INNER", "INPUT", "INSENSITIVE", "INSERT", "INT", "INTEGER", "INTERSECT", "INTERVAL", "INTO", "IS",
    "ISOLATION", "JOIN", "KEY", "LANGUAGE", "LAST", "LEADING", "LEFT", "LEVEL", "LIKE", "LOCAL", "LOWER",
    "MATCH", "MAX", "MEMORY", "MIN", "MINUS", "MINUTE", "MODULE", "MONTH", "NAMES", "NATIONAL", "NATURAL",
    "NCHAR", "NEXT", "NO", "NOT", "NULL", "NULLIF", "NUMERIC", "OCTET_LENGTH", "OF", "ON", "ONLY", "OPEN",
    "OPTION", "OR", "ORDER", "OUTER", "OUTPUT", "OVERLAPS", "PAD", "PARTIAL", "POSITION", "PRECISION",
    "PREPARE", "PRESERVE", "PRIMARY", "PRIOR", "PRIVILEGES", "PROCEDURE", "PUBLIC", "READ", "REAL",
    "REFERENCES", "RELATIVE", "RESTRICT", "REVOKE", "RIGHT", "ROLLBACK", "ROWS", "SCHEMA", "SCROLL",
    "SECOND", "SECTION", "SELECT", "SESSION", "SESSION_USER", "SET", "SIZE", "SMALLINT", "SOME", "SPACE",
    "SQL", "SQLCODE", "SQLERROR", "SQLSTATE", "SUBSTRING", "SUM", "SYSTEM_USER", "TABLE", "TEMPORARY",
    "THEN", "TIME", "TIMESTAMP", "TIMEZONE_HOUR", "TIMEZONE_MINUTE", "TO", "TOP", "TRAILING", "TRANSACTION",
    "TRANSLATE", "TRANSLATION", "TRIM", "TRUE", "UNION", "UNIQUE", "UNKNOWN", "UPDATE", "UPPER", "USAGE",
    "USER", "USING", "VALUE", "VALUES", "VARCHAR", "VARYING", "VIEW", "WHEN", "WHENEVER", "WHERE", "WITH",
    "WORK", "WRITE", "YEAR", "ZONE", "PASSWORD", "BLOBBLOCKSIZE", "BLOBCOMPRESSIONMODE",
    "BLOBCOMPRESSIONALGORITHM", "LASTAUTOINC", "MODIFY", "NEW", "INDEX", "NOCASE", "LTRIM", "RTRIM", "POS",
    "LENGTH", "SYSDATE", "NOW", "TODATE", "TOSTRING", "AUTOINDEXES", "NOAUTOINDEXES", "INCREMENT",
    "LASTVALUE", "MAXVALUE", "MINVALUE", "CYCLED", "NOMAXVALUE", "NOMINVALUE", "NOCYCLED", "INITIALVALUE",
    "STARTVALUE", "RENAME", "START", "FLUSH", "AUTOINC", "MIMETOBIN", "ROWNUM", "IF", "TRUNCATE", "ABS",
    "ACOS", "ASIN", "ATAN", "CEIL", "COS", "EXP", "FLOOR", "LOG", "POWER", "RAND", "ROUND", "SIGN", "SIN",
    "SQR", "SQRT", "HALFEVEN", "HALFPOS", "HALFNEG", "HALFDOWN", "HALFUP", "RNDNEG", "RNDPOS", "RNDDOWN",
    "RNDUP",
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// Characters that end a plain word.
bool EndsWord(char c) { return IsBlank(c) || std::strchr(";'\"[`(),.<>=/*|+-:?", c) != nullptr || c == '\0'; }

class Scanner {
 public:
  Scanner(std::string_view text, const TORBSQLParams* params, std::vector<TSQLCommand>& out)
      : s_(text), params_(params), out_(out) {}

  void Run() {
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == ';') {
        EndCommand();
        Step();
        continue;
      }
      if (IsBlank(c)) {
        Step();
        continue;
      }
      if (c == '-' && At(1) == '-') {
        while (i_ < s_.size() && s_[i_] != '\n') Step();
        continue;
      }
      if (c == '/' && At(1) == '*') {
        Step(2);
        while (i_ < s_.size() && !(s_[i_] == '*' && At(1) == '/')) Step();
        if (i_ < s_.size()) Step(2);
        continue;
      }
      Token();
    }
    EndCommand();
    if (!parens_.empty())
      throw EORBException::Fmt(31209, "Missing symbol ')' at line %d, column %d", parens_.back().first,
                               parens_.back().second);
  }

 private:
  char At(size_t ahead) const { return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0'; }

  // Columns count characters: continuation bytes and CR do not move them.
  void Step(size_t n = 1) {
    for (; n > 0 && i_ < s_.size(); --n, ++i_) {
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '\n') {
        ++line_;
        col_ = 1;
      } else if (c != '\r' && (c & 0xC0) != 0x80) {
        ++col_;
      }
    }
  }

  void EndCommand() {
    if (!cur_.Tokens.empty()) {
      cur_.EndLine = line_;
      cur_.EndColumn = col_;
      out_.push_back(std::move(cur_));
    }
    cur_ = TSQLCommand{};
  }

  TToken& Start(uint8_t type) {
    TToken t;
    t.TokenType = type;
    t.LineNum = line_;
    t.ColumnNum = col_;
    cur_.Tokens.push_back(std::move(t));
    return cur_.Tokens.back();
  }

  // Text up to the closing character; the closing character doubled stands
  // for itself, and with backslashEscapes a backslash takes the next one.
  std::string Quoted(char close, bool backslashEscapes, int32_t line, int32_t col) {
    Step();  // the opening character
    std::string text;
    for (;;) {
      if (i_ >= s_.size()) throw EORBException::Fmt(31211, "Unterminated string at line %d, column %d", line, col);
      const char c = s_[i_];
      if (backslashEscapes && c == '\\' && i_ + 1 < s_.size()) {
        text += s_[i_ + 1];
        Step(2);
      } else if (c == close) {
        if (At(1) == close) {
          text += close;
          Step(2);
        } else {
          Step();
          return text;
        }
      } else {
        text += c;
        Step();
      }
    }
  }

  void Token() {
    const char c = s_[i_];
    const int32_t line = line_, col = col_;
    switch (c) {
      case '\'': case '"': {
        TToken& t = Start(ttString);
        t.Text = Quoted(c, false, line, col);
        return;
      }
      case '[': {
        TToken& t = Start(ttBracketedName);
        t.Text = Quoted(']', false, line, col);
        return;
      }
      case '`': {
        TToken& t = Start(ttWord);
        t.Text = Quoted('`', true, line, col);
        return;
      }
      case '(':
        parens_.emplace_back(line, col);
        Start(ttLeftParen).Text = "(";
        Step();
        return;
      case ')':
        if (parens_.empty())
          throw EORBException::Fmt(31210, "Unexpected symbol ')' found at line %d, column %d", line, col);
        parens_.pop_back();
        Start(ttRightParen).Text = ")";
        Step();
        return;
      case ',':
        Start(ttComma).Text = ",";
        Step();
        return;
      default: break;
    }
    if (IsDigit(c) || (c == '.' && IsDigit(At(1)))) return Number();
    if (c == '.') {
      Start(ttDot).Text = ".";
      Step();
      return;
    }
    if (c == ':' && (At(1) == '\'' || At(1) == '"' || At(1) == '[')) {
      TToken& t = Start(ttParameter);
      Step();
      t.Text = Quoted(At(0) == '[' ? ']' : At(0), false, line, col);
      NamedParam(t);
      return;
    }
    if (std::strchr("<>=/*|", c)) {
      const char n = At(1);
      const bool pair = (c == '<' && (n == '=' || n == '>')) || (c == '>' && n == '=') || (c == '|' && n == '|');
      TToken& t = Start(ttWord);
      t.Text = std::string(s_.substr(i_, pair ? 2 : 1));
      Step(pair ? 2 : 1);
      return;
    }
    if (c == '+' || c == '-') {
      Start(ttWord).Text = std::string(1, c);
      Step();
      return;
    }
    // A word; ':' and '?' may only lead one.
    const size_t begin = i_;
    Step();
    while (i_ < s_.size() && !EndsWord(s_[i_])) Step();
    TToken& t = Start(ttWord);
    t.LineNum = line;
    t.ColumnNum = col;
    t.Text = std::string(s_.substr(begin, i_ - begin));
    if (c == ':') {
      t.Text.erase(0, 1);
      t.TokenType = ttParameter;
      NamedParam(t);
    } else if (c == '?') {
      t.TokenType = ttParameter;
      t.Text = "Param" + std::to_string(++positional_);
      if (!params_ || static_cast<size_t>(positional_) > params_->Count())
        throw EORBException::Fmt(31213, "Value for parameter '%s' not found", t.Text);
      t.ParamValue = (*params_)[static_cast<size_t>(positional_ - 1)].Value;
    } else {
      const int16_t rw = FindReservedWord(t.Text);
      if (rw != rwNone) {
        t.TokenType = ttReservedWord;
        t.ReservedWord = rw;
      }
    }
  }

  void NamedParam(TToken& t) {
    const TORBSQLParam* p = params_ ? params_->Find(t.Text) : nullptr;
    if (!p) throw EORBException::Fmt(31213, "Value for parameter '%s' not found", t.Text);
    t.ParamValue = p->Value;
  }

  void Number() {
    const int32_t line = line_, col = col_;
    const size_t begin = i_;
    bool isFloat = false, exponent = false;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (IsDigit(c)) {
        Step();
      } else if (c == '.' && !isFloat) {
        isFloat = true;
        Step();
      } else if ((c == 'E' || c == 'e') && !exponent) {
        isFloat = exponent = true;
        Step();
        if (At(0) == '+' || At(0) == '-') Step();
        if (!IsDigit(At(0))) break;  // "1E" alone: reported below
      } else {
        break;
      }
    }
    size_t end = i_;
    const bool badExponent = exponent && !IsDigit(s_[end - 1]);
    if (badExponent || (i_ < s_.size() && !EndsWord(s_[i_]))) {
      while (end < s_.size() && !EndsWord(s_[end])) ++end;
      throw EORBException::Fmt(31212, "Invalid numeric symbol '%s' at line %d, column %d",
                               std::string(s_.substr(begin, end - begin)), line, col);
    }
    TToken& t = Start(isFloat ? ttFloat : ttInteger);
    t.LineNum = line;
    t.ColumnNum = col;
    t.Text = std::string(s_.substr(begin, i_ - begin));
  }

  std::string_view s_;
  const TORBSQLParams* params_;
  std::vector<TSQLCommand>& out_;
  TSQLCommand cur_;
  size_t i_ = 0;
  int32_t line_ = 1, col_ = 1;
  int positional_ = 0;
  std::vector<std::pair<int32_t, int32_t>> parens_;
};

}  // namespace

const char* ReservedWordText(int16_t code) {
  return code >= 0 && code < kReservedWordCount ? kReservedWords[code] : "";
}

int16_t FindReservedWord(std::string_view word) {
  for (int16_t i = 0; i < kReservedWordCount; ++i)
    if (EqualsNoCase(word, kReservedWords[i])) return i;
  return rwNone;
}

const TORBSQLParam* TORBSQLParams::Find(std::string_view name) const {
  for (const TORBSQLParam& p : items_)
    if (EqualsNoCase(p.Name, name)) return &p;
  return nullptr;
}

TORBLexer::TORBLexer(std::string_view text, const TORBSQLParams* params) : text_(text) {
  Scanner(text_, params, commands_).Run();
}

bool TORBLexer::NextCommand() {
  if (command_ < static_cast<int32_t>(commands_.size())) ++command_;
  const TSQLCommand* c = Cmd();
  if (!c) return false;
  end_.LineNum = c->EndLine;
  end_.ColumnNum = c->EndColumn;
  return true;
}

const TSQLCommand* TORBLexer::Cmd() const {
  return command_ >= 0 && command_ < static_cast<int32_t>(commands_.size()) ? &commands_[static_cast<size_t>(command_)]
                                                                           : nullptr;
}

TSQLCommand* TORBLexer::Cmd() { return const_cast<TSQLCommand*>(std::as_const(*this).Cmd()); }

const TToken& TORBLexer::Peek(int32_t ahead) const {
  const TSQLCommand* c = Cmd();
  if (!c) return end_;
  const int64_t i = static_cast<int64_t>(c->Current) + ahead;
  return i >= 0 && i < c->Count() ? c->Tokens[static_cast<size_t>(i)] : end_;
}

const TToken& TORBLexer::Current() const { return Peek(0); }

bool TORBLexer::AtEnd() const { return Current().TokenType == ttNone; }

void TORBLexer::Advance() {
  TSQLCommand* c = Cmd();
  if (c && c->Current < c->Count()) ++c->Current;
}

bool TORBLexer::GetCurrentToken(TToken& token) const {
  token = Current();
  return !AtEnd();
}

bool TORBLexer::GetNextToken(TToken& token) {
  Advance();
  return GetCurrentToken(token);
}

bool TORBLexer::PeekNextToken(TToken& token) const {
  token = Peek(1);
  return token.TokenType != ttNone;
}

int32_t TORBLexer::GetPosition() const {
  const TSQLCommand* c = Cmd();
  return c ? c->Current : 0;
}

void TORBLexer::SetPosition(int32_t index) {
  TSQLCommand* c = Cmd();
  if (c) c->Current = std::clamp(index, 0, c->Count());
}

}  // namespace orb
