// The type table: first-match lookups in every direction, sizes, families.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "tables/ORBTypes.h"

using namespace orb;
using orbtest::CodeOf;

TEST(Types, FirstMatchLookups) {
  size_t n = 0;
  TypeRows(&n);
  EXPECT_EQ(n, 62u);
  // Storage to declared and to name take the first row with that storage id.
  struct Storage {
    uint8_t storage, declared;
    const char* name;
  } storages[] = {{7, 7, "INTEGER"}, {13, 21, "FLOAT"}, {17, 27, "DATETIME"}, {18, 31, "BLOB"},
                  {19, 33, "MEMO"},  {1, 1, "CHAR"},    {20, 35, "WIDEMEMO"}, {21, 23, "LOGICAL"}};
  for (const auto& s : storages) {
    EXPECT_EQ(DeclaredOfStorage(s.storage), s.declared) << int(s.storage);
    EXPECT_EQ(StorageTypeName(s.storage), s.name);
  }
  // Declared to storage, name and field kind take the first row with that id.
  struct Declared {
    uint8_t declared, storage;
    const char *name, *kind;
  } declared[] = {{21, 13, "FLOAT", "ftFloat"}, {31, 18, "BLOB", "ftBlob"},   {12, 7, "AUTOINC", "ftAutoInc"},
                  {16, 8, "AUTOINCLARGEINT", "ftLargeint"}, {35, 20, "WIDEMEMO", "ftBlob"},
                  {36, 1, "GUID", "ftGuid"}, {9, 9, "BYTE", "ftWord"}};
  for (const auto& d : declared) {
    EXPECT_EQ(StorageOfDeclared(d.declared), d.storage) << int(d.declared);
    EXPECT_EQ(DeclaredTypeName(d.declared), d.name);
    EXPECT_EQ(FieldKindOfDeclared(d.declared), d.kind);
  }
  EXPECT_EQ(DeclaredTypeName(99), "Unknown");
  EXPECT_EQ(CodeOf([] { StorageOfDeclaredStrict(37); }), 30289);
  // Names, any case, every alias.
  for (auto [name, id] : std::vector<std::pair<const char*, uint8_t>>{
           {"varchar2", 2}, {"Int64", 8}, {"bit", 23}, {"money", 24}, {"clob", 33}, {"WIDECLOB", 35},
           {"timestamp", 28}, {"double", 21}, {"nosuch", 0}})
    EXPECT_EQ(DeclaredByName(name), id) << name;
}

TEST(Types, ValueSizes) {
  struct Case {
    uint8_t storage;
    int32_t size, memory, record;
  } cases[] = {{stChar, 10, 11, 11},      {stWideString, 10, 22, 22}, {stMemo, 0, 10, 6},     {stBlob, 0, 10, 6},
               {stExtended, 0, 10, 10},   {stDateTime, 0, 8, 8},      {stLogical, 0, 2, 2},    {stBytes, 16, 17, 17},
               {stCurrency, 0, 8, 8},     {stShortInt, 0, 1, 1},      {stCardinal, 0, 4, 4}};
  for (const auto& c : cases) {
    EXPECT_EQ(MemoryDataSize(c.storage, c.size), c.memory) << int(c.storage);
    EXPECT_EQ(RecordDataSize(c.storage, c.size), c.record) << int(c.storage);
  }
  EXPECT_EQ(CodeOf([] { MemoryDataSize(25, 0); }), 30050);
  EXPECT_TRUE(IsComparableDeclared(28) && IsComparableDeclared(33) && !IsComparableDeclared(31) &&
              !IsComparableDeclared(36));
}
