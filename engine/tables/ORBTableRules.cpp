// Autoincrement, defaults and constraint checking.
#include "tables/ORBTableRules.h"

#include <cstring>

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"

namespace orb {

void ReadFieldValue(const TORBFieldDefs& fields, size_t i, const uint8_t* record, TORBVariant& v) {
  const TORBFieldDef& f = fields[i];
  if (FieldIsNull(record, i) || IsBlobStorage(f.BaseFieldType)) {
    v.SetNull(f.BaseFieldType);
    return;
  }
  const uint8_t* p = record + f.MemoryOffset;
  if (IsWideStorage(f.BaseFieldType)) {
    std::u16string w(static_cast<size_t>(f.MemoryDataSize / 2), u'\0');
    std::memcpy(w.data(), p, w.size() * 2);
    w.resize(std::min(w.find(u'\0'), w.size()));
    v.SetWideString(w, f.BaseFieldType);
  } else if (IsStringStorage(f.BaseFieldType)) {
    const auto* text = reinterpret_cast<const char*>(p);
    v.SetString(std::string_view(text, strnlen(text, f.MemoryDataSize)), f.BaseFieldType);
  } else {
    v.SetBytes(p, static_cast<size_t>(f.MemoryDataSize), f.BaseFieldType);
  }
}

TORBVariant ReadFieldValue(const TORBFieldDefs& fields, size_t i, const uint8_t* record) {
  TORBVariant v;
  ReadFieldValue(fields, i, record, v);
  return v;
}

TORBFieldManager::TORBFieldManager(const TORBFieldDefs& fields) : fields_(fields), last_(fields.Count(), 0) {}

void TORBFieldManager::ResetAutoinc() {
  last_.assign(fields_.Count(), 0);
  for (size_t i = 0; i < fields_.Count(); ++i)
    if (IsAutoincDeclared(fields_[i].AdvancedFieldType)) last_[i] = fields_[i].AutoincInitialValue;
}

int64_t TORBFieldManager::GetNextAutoincValue(size_t i) {
  if (i >= fields_.Count()) throw EORBException::Fmt(30402, "Field #%d not found", i);
  if (i >= last_.size()) throw EORBException::Fmt(30403, "Field #%d not found", i);
  const TORBFieldDef& f = fields_[i];
  const int64_t step = f.AutoincIncrement != 0 ? f.AutoincIncrement : 1;
  // The effective bounds are the smaller of the field's and the type's.
  int64_t lo = INT64_MIN, hi = INT64_MAX;
  IntegerRange(f.BaseFieldType, &lo, &hi);
  if (f.AutoincMaxValue != 0 && f.AutoincMaxValue < hi) hi = f.AutoincMaxValue;
  int64_t next;
  const bool overflow = __builtin_add_overflow(last_[i], step, &next);
  if (overflow || next > hi || next < lo) {
    if (!f.AutoincCycled) throw EORBException::Fmt(20160, "Autoinc max value exceeded for field '%s'", f.Name);
    next = f.AutoincMinValue;
  }
  last_[i] = next;
  return next;
}

void TORBFieldManager::SetAutoincValues(TORBSessionSequences& session, uint8_t* record) {
  for (size_t i = 0; i < fields_.Count(); ++i) {
    const TORBFieldDef& f = fields_[i];
    if (!IsAutoincDeclared(f.AdvancedFieldType)) continue;
    if (FieldIsNull(record, i)) {
      const int64_t v = GetNextAutoincValue(i);
      session.Last[f.ObjectID] = v;
      std::memcpy(record + f.MemoryOffset, &v, static_cast<size_t>(f.MemoryDataSize));
      SetFieldNull(record, i, false);
    } else {
      const int64_t given = ReadFieldValue(fields_, i, record).AsLargeInt();
      if (given > last_[i]) {
        last_[i] = given;
        session.Last[f.ObjectID] = given;
      }
    }
  }
}

int64_t TORBFieldManager::GetLastAutoincValue(const TORBSessionSequences& session, size_t i, bool strict) const {
  if (i >= fields_.Count()) throw EORBException::Fmt(30402, "Field #%d not found", i);
  auto it = session.Last.find(fields_[i].ObjectID);
  if (it != session.Last.end()) return it->second;
  if (strict)
    throw EORBException::Fmt(30012, "No SequenceLastValue in session for sequence '%s'. Call GetNextVal first",
                             fields_[i].Name);
  return IsAutoincDeclared(fields_[i].AdvancedFieldType) ? last_[i] : 0;
}

void TORBFieldManager::ApplyDefaultValues(uint8_t* record, const Evaluator& evaluate) const {
  for (size_t i = 0; i < fields_.Count(); ++i) {
    const TORBFieldDef& f = fields_[i];
    if (f.DefaultValue.IsNull() || IsBlobStorage(f.BaseFieldType)) continue;
    TORBVariant v = f.DefaultValue;
    if (evaluate && IsStringStorage(v.DataType())) {
      TORBVariant result;
      if (evaluate(v.AsString(), result)) v = result;
    }
    v.CastTo(f.BaseFieldType);
    if (IsStringStorage(f.BaseFieldType) && !IsWideStorage(f.BaseFieldType)) {
      // Cut to the field at a character boundary.
      TORBVariant cut;
      cut.SetString(Utf8Truncate(v.AsString(), static_cast<size_t>(f.Size)), f.BaseFieldType);
      v = cut;
    }
    std::memset(record + f.MemoryOffset, 0, static_cast<size_t>(f.MemoryDataSize));
    if (v.WriteToBuffer(record + f.MemoryOffset, f.MemoryDataSize)) SetFieldNull(record, i, false);
  }
}

bool CheckConstraints(const TORBConstraintDefs& constraints, const TORBFieldDefs& fields, const uint8_t* record,
                      bool raise, const std::function<bool(const TORBConstraintDef&)>& hasDuplicate) {
  auto fail = [&](EORBException e) {
    if (raise) throw e;
    return false;
  };
  for (const TORBConstraintDef& c : constraints.Items()) {
    switch (c.ConstraintType) {
      case ctPrimary: case ctUnique: {
        if (c.ConstraintType == ctPrimary) {
          bool allNull = true;
          std::string names;
          for (const auto& col : c.Columns) {
            const int f = fields.IndexOfName(col.Name);
            allNull = allNull && (f < 0 || FieldIsNull(record, static_cast<size_t>(f)));
            names += (names.empty() ? "" : ",") + col.Name;
          }
          if (allNull)
            return fail(EORBException::Fmt(30330, "Constraint '%s' violated. Value in field '%s' cannot be null", c.Name,
                                           names));
        }
        if (hasDuplicate && hasDuplicate(c))
          return fail(c.ConstraintType == ctPrimary
                          ? EORBException::Fmt(30319, "Primary Key constraint '%s' violated. Duplicate found.", c.Name)
                          : EORBException::Fmt(30320, "Constraint unique '%s' violated. Duplicate found.", c.Name));
        break;
      }
      case ctNotNull: case ctCheck: {
        const int f = fields.IndexOfObjectID(c.Object.ID);
        if (f < 0) throw EORBException::Fmt(30024, "Field #%d not found", c.Object.ID);
        const TORBFieldDef& field = fields[static_cast<size_t>(f)];
        const bool isNull = FieldIsNull(record, static_cast<size_t>(f));
        if (c.ConstraintType == ctNotNull) {
          if (isNull)
            return fail(EORBException::Fmt(30026, "Constraint '%s' violated. Value in field '%s' cannot be null", c.Name,
                                           field.Name));
          break;
        }
        if (isNull) break;
        const TORBVariant v = ReadFieldValue(fields, static_cast<size_t>(f), record);
        if (!c.MinValue.IsNull() && v.Compare(c.MinValue, false) == crLess)
          return fail(EORBException::Fmt(30029, "Constraint '%s' violated. Value in field '%s' cannot be lower than '%s'",
                                         c.Name, field.Name, c.MinValue.AsString()));
        if (!c.MaxValue.IsNull() && v.Compare(c.MaxValue, false) == crGreater)
          return fail(EORBException::Fmt(30030,
                                         "Constraint '%s' violated. Value in field '%s' cannot be greater than '%s'",
                                         c.Name, field.Name, c.MaxValue.AsString()));
        break;
      }
      default:
        throw EORBException("Not implemented yet", 30036);
    }
  }
  return true;
}

}  // namespace orb
