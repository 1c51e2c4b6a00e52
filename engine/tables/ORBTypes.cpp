// The type name table and its lookups.
#include "tables/ORBTypes.h"

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"

namespace orb {

namespace {

const TORBTypeRow kRows[] = {
    {"CHAR", 1, 1, "ftFixedChar"},
    {"FIXEDCHAR", 1, 1, "ftFixedChar"},
    {"STRING", 2, 3, "ftString"},
    {"VARCHAR", 2, 3, "ftString"},
    {"VARCHAR2", 2, 3, "ftString"},
    {"WIDECHAR", 3, 2, "ftWideString"},
    {"FIXEDWIDECHAR", 3, 2, "ftWideString"},
    {"WIDESTRING", 4, 4, "ftWideString"},
    {"WIDEVARCHAR", 4, 4, "ftWideString"},
    {"SMALLINT", 6, 6, "ftSmallint"},
    {"SIGNEDINT16", 6, 6, "ftSmallint"},
    {"SHORTINT", 5, 5, "ftSmallint"},
    {"SIGNEDINT8", 5, 5, "ftSmallint"},
    {"INTEGER", 7, 7, "ftInteger"},
    {"SIGNEDINT32", 7, 7, "ftInteger"},
    {"LARGEINT", 8, 8, "ftLargeint"},
    {"INT64", 8, 8, "ftLargeint"},
    {"SIGNEDINT64", 8, 8, "ftLargeint"},
    {"WORD", 10, 10, "ftWord"},
    {"UNSIGNEDINT16", 10, 10, "ftWord"},
    {"BYTE", 9, 9, "ftWord"},
    {"UNSIGNEDINT8", 9, 9, "ftWord"},
    {"CARDINAL", 11, 11, "ftLargeint"},
    {"UNSIGNEDINT32", 11, 11, "ftLargeint"},
    {"AUTOINC", 12, 7, "ftAutoInc"},
    {"AUTOINCSHORTINT", 13, 5, "ftAutoInc"},
    {"AUTOINCSMALLINT", 14, 6, "ftAutoInc"},
    {"AUTOINCINTEGER", 15, 7, "ftAutoInc"},
    {"AUTOINCLARGEINT", 16, 8, "ftLargeint"},
    {"AUTOINCBYTE", 17, 9, "ftAutoInc"},
    {"AUTOINCWORD", 18, 10, "ftAutoInc"},
    {"AUTOINCCARDINAL", 19, 11, "ftAutoInc"},
    {"FLOAT", 21, 13, "ftFloat"},
    {"FLOAT", 21, 13, "ftBCD"},
    {"SINGLE", 20, 12, "ftFloat"},
    {"DOUBLE", 21, 13, "ftFloat"},
    {"EXTENDED", 22, 14, "ftFloat"},
    {"LOGICAL", 23, 21, "ftBoolean"},
    {"BOOLEAN", 23, 21, "ftBoolean"},
    {"BOOL", 23, 21, "ftBoolean"},
    {"BIT", 23, 21, "ftBoolean"},
    {"CURRENCY", 24, 22, "ftCurrency"},
    {"MONEY", 24, 22, "ftCurrency"},
    {"DATE", 25, 15, "ftDate"},
    {"TIME", 26, 16, "ftTime"},
    {"DATETIME", 27, 17, "ftDateTime"},
    {"TIMESTAMP", 28, 17, "ftTimeStamp"},
    {"BYTES", 29, 23, "ftBytes"},
    {"VARBYTES", 30, 24, "ftVarBytes"},
    {"BLOB", 31, 18, "ftBlob"},
    {"BLOB", 31, 18, "ftParadoxOle"},
    {"BLOB", 31, 18, "ftTypedBinary"},
    {"BLOB", 31, 18, "ftDBaseOle"},
    {"BLOB", 31, 18, "ftOraBlob"},
    {"BLOB", 31, 18, "ftOraClob"},
    {"GRAPHIC", 32, 18, "ftGraphic"},
    {"MEMO", 33, 19, "ftMemo"},
    {"CLOB", 33, 19, "ftMemo"},
    {"FORMATTEDMEMO", 34, 19, "ftFmtMemo"},
    {"WIDEMEMO", 35, 20, "ftBlob"},
    {"WIDECLOB", 35, 20, "ftMemo"},
    {"GUID", 36, 1, "ftGuid"},
};
static_assert(sizeof kRows / sizeof *kRows == 62, "the type table has 62 rows");

template <class Pred>
const TORBTypeRow* First(Pred p) {
  for (const TORBTypeRow& r : kRows)
    if (p(r)) return &r;
  return nullptr;
}

}  // namespace

const TORBTypeRow* TypeRows(size_t* count) {
  *count = sizeof kRows / sizeof *kRows;
  return kRows;
}

std::string DeclaredTypeName(uint8_t declared) {
  const TORBTypeRow* r = First([&](const TORBTypeRow& x) { return x.Declared == declared; });
  return r ? r->Name : "Unknown";
}

uint8_t StorageOfDeclared(uint8_t declared) {
  const TORBTypeRow* r = First([&](const TORBTypeRow& x) { return x.Declared == declared; });
  return r ? r->Storage : 0;
}

uint8_t StorageOfDeclaredStrict(uint8_t declared) {
  const uint8_t s = StorageOfDeclared(declared);
  if (!s) throw EORBException::Fmt(30289, "Unknown DataType: '%s'", std::to_string(declared));
  return s;
}

std::string FieldKindOfDeclared(uint8_t declared) {
  const TORBTypeRow* r = First([&](const TORBTypeRow& x) { return x.Declared == declared; });
  return r ? r->FieldKind : "";
}

uint8_t DeclaredOfStorage(uint8_t storage) {
  const TORBTypeRow* r = First([&](const TORBTypeRow& x) { return x.Storage == storage; });
  return r ? r->Declared : 0;
}

std::string StorageTypeName(uint8_t storage) {
  const TORBTypeRow* r = First([&](const TORBTypeRow& x) { return x.Storage == storage; });
  return r ? r->Name : "Unknown";
}

uint8_t DeclaredByName(std::string_view name) {
  const std::string up = TORBCollation::Current().Upper(name);
  const TORBTypeRow* r = First([&](const TORBTypeRow& x) { return up == x.Name; });
  return r ? r->Declared : 0;
}

int32_t MemoryDataSize(uint8_t storage, int32_t size) {
  switch (storage) {
    case stChar: case stString: case stBytes: case stVarBytes: return size + 1;
    case stWideChar: case stWideString: return (size + 1) * 2;
    case stShortInt: case stByte: return 1;
    case stSmallInt: case stWord: case stLogical: return 2;
    case stInteger: case stCardinal: case stSingle: case stDate: case stTime: return 4;
    case stLargeInt: case stFloat: case stDateTime: case stCurrency: return 8;
    case stExtended: case stBlob: case stMemo: case stWideMemo: return 10;
    default: throw EORBException::Fmt(30050, "Unknown DataType: '%s'", std::to_string(storage));
  }
}

bool IntegerRange(uint8_t t, int64_t* lo, int64_t* hi) {
  switch (t) {
    case stShortInt: *lo = -128; *hi = 127; return true;
    case stSmallInt: *lo = -32768; *hi = 32767; return true;
    case stInteger: *lo = INT32_MIN; *hi = INT32_MAX; return true;
    case stLargeInt: *lo = INT64_MIN; *hi = INT64_MAX; return true;
    case stByte: *lo = 0; *hi = 255; return true;
    case stWord: *lo = 0; *hi = 65535; return true;
    case stCardinal: *lo = 0; *hi = 4294967295LL; return true;
    default: return false;
  }
}

int32_t RecordDataSize(uint8_t storage, int32_t size) {
  return IsBlobStorage(storage) ? 6 : MemoryDataSize(storage, size);
}

}  // namespace orb
