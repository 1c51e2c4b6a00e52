// Field values of a table cursor's record for expressions.
#include "access/ORBTableRecordSource.h"

#include <cstring>

#include "orb/ORBText.h"
#include "tables/ORBTableRules.h"
#include "tables/ORBTypes.h"

namespace orb {

int32_t TORBTableRecordSource::FindField(std::string_view name) const {
  return table_.Fields().IndexOfName(std::string(name));
}

std::string TORBTableRecordSource::FieldName(int32_t field) const {
  return table_.Fields()[static_cast<size_t>(field)].Name;
}

uint8_t TORBTableRecordSource::FieldType(int32_t field) const {
  return table_.Fields()[static_cast<size_t>(field)].BaseFieldType;
}

int32_t TORBTableRecordSource::FieldSize(int32_t field) const {
  return table_.Fields()[static_cast<size_t>(field)].Size;
}

void TORBTableRecordSource::ReadField(int32_t field, TORBVariant& value) const {
  const auto f = static_cast<size_t>(field);
  const TORBFieldDef& def = table_.Fields()[f];
  if (!IsBlobStorage(def.BaseFieldType)) {
    ReadFieldValue(table_.Fields(), f, cursor_.Record.data(), value);
    return;
  }
  if (FieldIsNull(cursor_.Record.data(), f)) {
    value.SetNull(def.BaseFieldType == stBlob ? stBlob : stMemo);
    return;
  }
  const std::vector<uint8_t> bytes = table_.GetBlobValue(cursor_, f);
  if (def.BaseFieldType == stBlob) {
    value.SetBytes(bytes.data(), bytes.size(), stBlob);
  } else if (def.BaseFieldType == stWideMemo) {
    std::u16string w(bytes.size() / 2, u'\0');
    std::memcpy(w.data(), bytes.data(), w.size() * 2);
    value.SetString(Utf16ToUtf8(w), stMemo);
  } else {
    value.SetString(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), stMemo);
  }
}

}  // namespace orb
