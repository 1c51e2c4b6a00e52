// Table data operations common to every store. A record operation checks
// what can refuse it first (constraints, key conflicts), then changes pages;
// any failure after that puts back every page the operation touched and the
// in-memory counts (the variant decides how), so no half-done record, index
// entry or BLOB survives.
#include "tables/ORBTableData.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"
#include "storage/ORBPageManager.h"
#include "storage/ORBTempEngine.h"
#include "tables/ORBTypes.h"

namespace orb {

TORBTableData::TORBTableData(std::string name) : name_(std::move(name)) {}

TORBTableData::~TORBTableData() = default;

TORBTableRecordStore& TORBTableData::Records() {
  if (!records_) throw EORBException("Nil pointer occured", 20135);
  return *records_;
}

int64_t TORBTableData::RecordCount() const { return records_ ? records_->RecordCount() : 0; }
int32_t TORBTableData::ChangeCounter() const { return records_ ? records_->ChangeCounter() : 0; }

void TORBTableData::DefineTable(const TORBFieldDefs& fields, const TORBIndexDefs& indexes,
                                const TORBConstraintDefs& constraints) {
  meta_ = TORBTableMetaData{};
  meta_.Fields.Assign(fields);
  for (size_t i = 0; i < meta_.Fields.Count(); ++i) meta_.Fields[i].ObjectID = NewObjectID();
  meta_.Fields.ComputeOffsets();
  meta_.Indexes.Assign(indexes);
  for (size_t i = 0; i < meta_.Indexes.Count(); ++i) {
    meta_.Indexes[i].ObjectID = NewObjectID();
    meta_.Indexes[i].RootPageNo = -1;
    meta_.Indexes[i].Temporary = false;
  }
  meta_.Constraints.Assign(constraints);
  for (size_t i = 0; i < meta_.Constraints.Count(); ++i) {
    const uint8_t t = meta_.Constraints[i].ConstraintType;
    if (t != ctPrimary && t != ctUnique && t != ctNotNull && t != ctCheck)
      throw EORBException("Not implemented yet", 20129);
    meta_.Constraints[i].ObjectID = NewObjectID();
    // References by name are bound to the ids just given out.
    TORBConstraintDef& con = meta_.Constraints[i];
    if (t == ctNotNull || t == ctCheck) {
      const int f = meta_.Fields.IndexOfName(con.Object.Name);
      if (f < 0) throw EORBException::Fmt(30343, "Field '%s' not found", con.Object.Name);
      con.Object.ID = meta_.Fields[static_cast<size_t>(f)].ObjectID;
    } else {
      const int x = meta_.Indexes.IndexOfName(con.Object.Name);
      if (x < 0) throw EORBException("Index not found", 20018);
      con.Object.ID = meta_.Indexes[static_cast<size_t>(x)].ObjectID;
      for (TORBConstraintRef& col : con.Columns) {
        const int f = meta_.Fields.IndexOfName(col.Name);
        if (f >= 0) col.ID = meta_.Fields[static_cast<size_t>(f)].ObjectID;
      }
    }
  }
  // A unique or primary index brings its constraint.
  for (size_t i = 0; i < meta_.Indexes.Count(); ++i) {
    const TORBIndexDef& ix = meta_.Indexes[i];
    if (!ix.Unique && !ix.Primary) continue;
    bool covered = false;
    for (const TORBConstraintDef& c : meta_.Constraints.Items()) covered |= c.Object.ID == ix.ObjectID;
    if (covered) continue;
    TORBConstraintDef c;
    c.Name = IndexConstraintName(ix);
    c.ObjectID = NewObjectID();
    c.ConstraintType = ix.Primary ? ctPrimary : ctUnique;
    c.Object = {ix.Name, ix.ObjectID};
    for (const TORBIndexColumn& col : ix.Columns) {
      const int f = meta_.Fields.IndexOfName(col.FieldName);
      c.Columns.push_back({col.FieldName, f >= 0 ? meta_.Fields[static_cast<size_t>(f)].ObjectID : -1});
    }
    meta_.Constraints.Add(c);
  }
  NameConstraints(meta_.Constraints, name_);
}

void TORBTableData::CreateSharedManagers() {
  hasBlobs_ = false;
  for (const TORBFieldDef& f : meta_.Fields.Items()) hasBlobs_ |= IsBlobStorage(f.BaseFieldType);
  if (hasBlobs_) {
    blobIndex_ = std::make_unique<TORBBTreeBlobPageIndex>(BlobPages());
    blobs_ = std::make_unique<TORBDiskBlobManager>(BlobPages(), meta_.Fields, *blobIndex_);
    if (!meta_.BlobState.empty()) blobs_->ReadIndexRoot(meta_.BlobState);
  }
  MakeIndexObjects();
  fieldManager_ = std::make_unique<TORBFieldManager>(meta_.Fields);
}

void TORBTableData::DropManagers() {
  indexes_.clear();
  // Temporary index definitions go with their pages.
  for (size_t i = meta_.Indexes.Count(); i-- > 0;)
    if (meta_.Indexes[i].Temporary) meta_.Indexes.Delete(i);
  tempPages_.reset();
  blobs_.reset();
  blobIndex_.reset();
  fieldManager_.reset();
  records_.reset();
}

TORBTableState TORBTableData::CurrentState() const {
  TORBTableState s;
  s.AutoincLast = fieldManager_->LastValues();
  records_->WriteState(s);
  return s;
}

void TORBTableData::RestoreState(const TORBTableState& s) {
  records_->ReadState(s);
  fieldManager_->LastValues() = s.AutoincLast;
  fieldManager_->LastValues().resize(meta_.Fields.Count(), 0);
}

void TORBTableData::TouchAll() {
  records_->Touch();
  if (blobIndex_) blobIndex_->Tree().Touch();
  for (auto& ix : indexes_) ix->Tree().Touch();
}

void TORBTableData::CheckNotInTransaction(const TORBTableCursor& cursor, const char* operation) const {
  if (cursor.InTransaction && Transactional())
    throw EORBException::Fmt(20256, "Cannot perform '%s' operation on a database in transaction", operation);
}

void TORBTableData::StartChange(int32_t session, bool inTransaction) {
  if (tempPages_) tempPages_->BeginSavepoint(session);
  BeginChange(session, inTransaction);
}

void TORBTableData::CompleteChange(int32_t session, bool inTransaction, bool schema) {
  FinishChange(session, inTransaction, schema);
  // Temporary indexes are outside transactions: their pages take effect at once.
  if (tempPages_) tempPages_->ApplyChanges(session);
}

void TORBTableData::AbandonChange(int32_t session, bool inTransaction) {
  if (tempPages_) {
    tempPages_->RollbackSavepoint(session);
    tempPages_->ApplyChanges(session);
  }
  UndoChange(session, inTransaction);
}

void TORBTableData::CloseChange(int32_t session) {
  EndChange(session);
  if (tempPages_) tempPages_->ReleaseSavepoint(session);
}

template <class F, class U>
void TORBTableData::Atomically(TORBTableCursor& c, const TORBTableState& before, F&& change, U&& undoRecords) {
  StartChange(c.Session, c.InTransaction);
  try {
    change();
    CompleteChange(c.Session, c.InTransaction, false);
  } catch (...) {
    AbandonChange(c.Session, c.InTransaction);
    try {
      undoRecords();
    } catch (...) {
      // The first failure is the one to report.
    }
    RestoreState(before);
    TouchAll();
    throw;
  }
  CloseChange(c.Session);
  // Temporary indexes were kept in step with this change.
  for (size_t i = 0; i < meta_.Indexes.Count(); ++i)
    if (meta_.Indexes[i].Temporary) meta_.Indexes[i].ChangeStamp = ChangeCounter();
}

template <class F>
void TORBTableData::ChangeSchema(int32_t session, F&& change) {
  const TORBTableMetaData saved = meta_;
  StartChange(session, false);
  try {
    change();
    CompleteChange(session, false, true);
  } catch (...) {
    AbandonChange(session, false);
    meta_ = saved;
    MakeIndexObjects();
    TouchAll();
    throw;
  }
  CloseChange(session);
}

TORBPageManager& TORBTableData::PagesOf(const TORBIndexDef& def) {
  if (!def.Temporary) return IndexPages();
  // Temporary indexes never reach the table's own store.
  if (!tempPages_) tempPages_ = std::make_unique<TORBTemporaryPageManager>(false);
  return *tempPages_;
}

void TORBTableData::MakeIndexObjects() {
  indexes_.clear();
  for (size_t i = 0; i < meta_.Indexes.Count(); ++i)
    indexes_.push_back(
        std::make_unique<TORBBTreeRecordIndex>(PagesOf(meta_.Indexes[i]), meta_.Indexes[i], meta_.Fields, records_.get()));
}

void TORBTableData::AttachCursor(TORBTableCursor& cursor) {
  cursors_.push_back(&cursor);
  cursor.Record = NewRecord();
  cursor.Bof = cursor.Eof = true;
  cursor.Current = {};
}

bool TORBTableData::DetachCursor(TORBTableCursor& cursor) {
  auto it = std::find(cursors_.begin(), cursors_.end(), &cursor);
  if (it == cursors_.end()) return false;
  if (blobs_ && !cursor.Record.empty()) blobs_->ReleaseDescriptors(cursor.Record.data(), true);
  cursors_.erase(it);
  // A session's temporary indexes go with its last cursor.
  bool sessionLeft = false;
  for (TORBTableCursor* cur : cursors_) sessionLeft |= cur->Session == cursor.Session;
  if (!sessionLeft) DropTempIndexes(cursor.Session, false);
  return true;
}

std::vector<uint8_t> TORBTableData::NewRecord() const {
  std::vector<uint8_t> r(static_cast<size_t>(meta_.Fields.MemoryRecordSize()), 0);
  for (size_t i = 0; i < meta_.Fields.Count(); ++i) SetFieldNull(r.data(), i, true);
  ClearBlobFields(meta_.Fields, r.data());
  if (fieldManager_) fieldManager_->ApplyDefaultValues(r.data());
  return r;
}

std::vector<uint8_t> TORBTableData::StoredCurrent(TORBTableCursor& c) {
  std::vector<uint8_t> stored;
  if (!Records().ReadIndexedRecord(c.Session, c.Current, stored))
    throw EORBException::Fmt(20145, "Record not found. PageNo=%d, SlotNo=%d", c.Current.PageNo, c.Current.Slot);
  return stored;
}

void TORBTableData::CheckConstraintsFor(TORBTableCursor& c, const uint8_t* old, TORBRecordID self) {
  CheckConstraints(meta_.Constraints, meta_.Fields, c.Record.data(), true, [&](const TORBConstraintDef& con) {
    for (size_t i = 0; i < meta_.Indexes.Count(); ++i)
      if (meta_.Indexes[i].ObjectID == con.Object.ID)
        return indexes_[i]->KeyConflicts(c.Session, old, c.Record.data(), self);
    return false;
  });
}

// ---- record changes ---------------------------------------------------------

void TORBTableData::InsertRecord(TORBTableCursor& c) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OperationScope op(*this, c.Session);
  Records();
  const TORBTableState before = CurrentState();
  fieldManager_->SetAutoincValues(c.Sequences, c.Record.data());
  try {
    CheckConstraintsFor(c, nullptr, {});
  } catch (...) {
    RestoreState(before);
    throw;
  }
  const bool tracked = c.Bitmap && c.Bitmap->Active && !c.Bitmap->IsStale(ChangeCounter());
  TORBRecordID id;
  bool inserted = false;
  Atomically(
      c, before,
      [&] {
        if (blobs_) blobs_->WriteRecordBlobs(c.Session, c.Record.data());
        if (!records_->InsertRecord(c.Session, c.Record.data(), id))
          throw EORBException::Fmt(20163, "Error adding record: %s", records_->LastError());
        inserted = true;
        for (size_t i = 0; i < indexes_.size(); ++i) {
          if (BeforeIndexInsert) BeforeIndexInsert(i);
          indexes_[i]->InsertKey(c.Session, c.Record.data(), id);
          ++meta_.Indexes[i].ChangeStamp;
        }
      },
      [&] {
        if (inserted) records_->DeleteRecord(c.Session, id);
      });
  c.Current = id;
  c.Bof = c.Eof = false;
  TrackChange(c, tracked, id, true);
}

void TORBTableData::UpdateRecord(TORBTableCursor& c) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OperationScope op(*this, c.Session);
  if (!RecordsChangeable()) throw EORBException("Records of a temporary table cannot be changed", 31166);
  std::vector<uint8_t> old = StoredCurrent(c);
  CheckConstraintsFor(c, old.data(), c.Current);
  const TORBTableState before = CurrentState();
  const bool tracked = c.Bitmap && c.Bitmap->Active && !c.Bitmap->IsStale(ChangeCounter());
  bool updated = false;
  Atomically(
      c, before,
      [&] {
        for (auto& ix : indexes_) ix->UpdateKey(c.Session, old.data(), c.Record.data(), c.Current, 1);
        if (blobs_) {
          blobs_->AdoptStoredRefs(c.Session, c.Record.data(), old.data());
          blobs_->WriteRecordBlobs(c.Session, c.Record.data());
        }
        if (!records_->UpdateRecord(c.Session, c.Record.data(), c.Current))
          throw EORBException("Record not found", 20146);
        updated = true;
        for (size_t i = 0; i < indexes_.size(); ++i) {
          indexes_[i]->UpdateKey(c.Session, old.data(), c.Record.data(), c.Current, 0);
          ++meta_.Indexes[i].ChangeStamp;
        }
      },
      [&] {
        if (updated) records_->UpdateRecord(c.Session, old.data(), c.Current);
      });
  TrackChange(c, tracked, c.Current, true);
}

void TORBTableData::DeleteRecord(TORBTableCursor& c) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OperationScope op(*this, c.Session);
  if (!RecordsChangeable()) throw EORBException("Records of a temporary table cannot be changed", 31166);
  std::vector<uint8_t> old = StoredCurrent(c);
  // Where the cursor stands afterwards: the next record, else the prior one.
  const TORBRecordID self = c.Current;
  TORBTableCursor probe;
  probe.Session = c.Session;
  probe.ActiveIndex = c.ActiveIndex;
  probe.Current = self;
  probe.Record = old;
  TORBRecordID neighbour;
  if (GetRecord(probe, nmNext) == grFound) {
    neighbour = probe.Current;
  } else {
    probe.Current = self;
    probe.Record = old;
    if (GetRecord(probe, nmPrior) == grFound) neighbour = probe.Current;
  }
  if (blobs_ && !probe.Record.empty()) blobs_->ReleaseDescriptors(probe.Record.data(), true);
  // The neighbour's bytes do not change with this delete: keep them rather than read them again.
  std::vector<uint8_t> neighbourRecord = neighbour.PageNo >= 0 ? std::move(probe.Record) : std::vector<uint8_t>{};
  const TORBTableState before = CurrentState();
  const bool tracked = c.Bitmap && c.Bitmap->Active && !c.Bitmap->IsStale(ChangeCounter());
  // The record goes last, so a failure before it leaves it where it was.
  Atomically(
      c, before,
      [&] {
        if (blobs_) {
          blobs_->ReleaseDescriptors(c.Record.data(), true);
          blobs_->DeleteRecordBlobs(c.Session, old.data());
        }
        for (size_t i = 0; i < indexes_.size(); ++i) {
          indexes_[i]->DeleteKey(c.Session, old.data(), self);
          ++meta_.Indexes[i].ChangeStamp;
        }
        if (!records_->DeleteRecord(c.Session, self)) throw EORBException("Record not found", 20146);
      },
      [] {});
  TrackChange(c, tracked, self, false);
  if (neighbour.PageNo >= 0) {
    c.Record = std::move(neighbourRecord);
    c.Current = neighbour;
    c.Bof = c.Eof = false;
    // A filtered cursor stands on the nearest record it sees.
    if (c.Filter && !Visible(c, neighbour) && GetRecord(c, nmNext) != grFound && GetRecord(c, nmPrior) != grFound) {
      c.Record = NewRecord();
      c.Current = {};
      c.Bof = true;
    }
  } else {
    c.Record = NewRecord();
    c.Current = {};
    c.Bof = true;
  }
}

// ---- navigation -------------------------------------------------------------

int TORBTableData::NavigatePhysical(TORBTableCursor& c, int mode, bool fromFirst, bool fromLast) {
  TORBNavigation n;
  n.Mode = mode;
  n.FromFirst = fromFirst;
  n.FromLast = fromLast;
  n.Current = c.Current;
  const int r = records_->GetRecord(c.Session, n);
  if (r == grFound) c.Current = n.Current;
  return r;
}

int TORBTableData::NavigateUnfiltered(TORBTableCursor& c, int mode, bool fromFirst, bool fromLast) {
  if (c.ActiveIndex < 0) return NavigatePhysical(c, mode, fromFirst, fromLast);
  TORBRecordID id = c.Current;
  const int r = indexes_[static_cast<size_t>(c.ActiveIndex)]->Navigate(c.Session, mode, fromFirst, fromLast, id,
                                                                       c.Record.data(), &c.Cache);
  if (r == grFound) c.Current = id;
  return r;
}

int TORBTableData::NavigateFiltered(TORBTableCursor& c, int mode, bool fromFirst, bool fromLast) {
  RefreshBitmap(c);
  const int direction = mode == nmNext ? 1 : -1;
  if (c.ActiveIndex < 0) {
    const int64_t from = fromFirst ? -1 : fromLast ? c.Bitmap->Bits().Size() : c.Bitmap->Ordinal(c.Current);
    const int64_t bit = c.Bitmap->FindNext(from, direction);
    if (bit < 0) return direction > 0 ? grEOF : grBOF;
    c.Current = c.Bitmap->IdOf(bit);
    return grFound;
  }
  // Index order: walk the index, stepping over records the bitmap leaves out.
  const TORBRecordID start = c.Current;
  const std::vector<uint8_t> startRecord = c.Record;
  int r = NavigateUnfiltered(c, mode, fromFirst, fromLast);
  while (r == grFound && !c.Bitmap->Get(c.Bitmap->Ordinal(c.Current))) {
    if (!records_->ReadIndexedRecord(c.Session, c.Current, c.Record)) break;
    r = NavigateUnfiltered(c, mode, false, false);
  }
  if (r != grFound) {
    c.Current = start;
    c.Record = startRecord;
  }
  return r;
}

bool TORBTableData::Visible(TORBTableCursor& c, TORBRecordID id) {
  if (!c.Filter) return true;
  RefreshBitmap(c);
  return c.Bitmap->Get(c.Bitmap->Ordinal(id));
}

void TORBTableData::RefreshBitmap(TORBTableCursor& c) {
  if (!c.Filter) return;
  if (c.Bitmap && c.Bitmap->Active && !c.Bitmap->IsStale(ChangeCounter())) return;
  auto bitmap = std::make_unique<TORBRecordBitmap>(records_->RecordsPerPage());
  bitmap->Start(records_->OrdinalLimit(c.Session), ChangeCounter());
  // The filter reads the cursor's buffer: lend it, then put it back.
  const std::vector<uint8_t> saved = c.Record;
  const TORBRecordID savedId = c.Current;
  const auto consider = [&](TORBRecordID id) {
    c.Current = id;
    if (c.Filter->Accepts()) bitmap->SetRecord(id);
  };
  try {
    bool scan = true;
    const std::vector<TORBRecordID> ids = Candidates(c, *c.Filter, &scan);
    if (scan) {
      ScanRecords(c.Session, c.Record, [&](TORBRecordID id) {
        consider(id);
        return true;
      });
    } else {
      for (const TORBRecordID& id : ids)
        if (records_->ReadIndexedRecord(c.Session, id, c.Record)) consider(id);
    }
  } catch (...) {
    c.Record = saved;
    c.Current = savedId;
    throw;
  }
  c.Record = saved;
  c.Current = savedId;
  c.Bitmap = std::move(bitmap);
}

void TORBTableData::TrackChange(TORBTableCursor& c, bool wasCurrent, TORBRecordID id, bool present) {
  if (!wasCurrent || !c.Bitmap) return;
  if (present && c.Filter->Accepts()) c.Bitmap->SetRecord(id);
  else c.Bitmap->ClearRecord(id);
  c.Bitmap->ChangeCounter = ChangeCounter();
}

int TORBTableData::GetRecord(TORBTableCursor& c, int mode) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::optional<OperationScope> op;
  try {
    op.emplace(*this, c.Session);
  } catch (const EORBException& e) {
    // Navigation reports a table it cannot read now as no record found.
    if (e.NativeErrorCode() == 20214) return grNotFound;
    throw;
  }
  Records();
  if (records_->RecordCount() == 0) return grEOF;
  if (mode == nmCurrent)
    return c.Current.PageNo >= 0 && Visible(c, c.Current) &&
                   records_->ReadIndexedRecord(c.Session, c.Current, c.Record)
               ? grFound
               : grNotFound;
  const bool fromFirst = c.Current.PageNo < 0 && mode == nmNext;
  const bool fromLast = c.Current.PageNo < 0 && mode == nmPrior;
  const int r = c.Filter ? NavigateFiltered(c, mode, fromFirst, fromLast) : NavigateUnfiltered(c, mode, fromFirst, fromLast);
  if (r == grFound) {
    if (blobs_) blobs_->ReleaseDescriptors(c.Record.data(), true);
    if (!records_->ReadIndexedRecord(c.Session, c.Current, c.Record))
      throw EORBException::Fmt(20145, "Record not found. PageNo=%d, SlotNo=%d", c.Current.PageNo, c.Current.Slot);
    c.Bof = c.Eof = false;
  } else if (r == grEOF) {
    c.Eof = true;
  } else if (r == grBOF) {
    c.Bof = true;
  }
  return r;
}

void TORBTableData::SetFilter(TORBTableCursor& c, TORBRecordFilter* filter) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  c.Filter = filter;
  c.Bitmap.reset();
  c.Current = {};
  c.Bof = c.Eof = true;
}

int64_t TORBTableData::CursorRecordCount(TORBTableCursor& c) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OperationScope op(*this, c.Session);
  if (!c.Filter) return RecordCount();
  RefreshBitmap(c);
  return c.Bitmap->RecordCount();
}

std::vector<TORBRecordID> TORBTableData::Candidates(TORBTableCursor& c, const TORBRecordFilter& filter, bool* scan,
                                                    int* indexUsed) {
  *scan = true;
  if (indexUsed) *indexUsed = -1;
  const std::vector<TORBFieldCondition> conditions = filter.IndexConditions();
  if (conditions.empty()) return {};
  const double pageData = IndexPages().PageDataSize, recordSize = records_->RecordSize();
  const int64_t count = records_->RecordCount();
  // A scan reads half the table on average before it can stop.
  double bestCost = std::ceil(static_cast<double>(count) / 2) * (c.ActiveIndex < 0 ? recordSize / pageData : 1.0);
  struct Range {
    int Index = -1, LowKind = 0, HighKind = 0;
    std::vector<uint8_t> Low, High;
  } best;
  const auto mirror = [](int kind) {
    switch (kind) {
      case ckLess: return static_cast<int>(ckGreater);
      case ckGreater: return static_cast<int>(ckLess);
      case ckLessOrEqual: return static_cast<int>(ckGreaterOrEqual);
      case ckGreaterOrEqual: return static_cast<int>(ckLessOrEqual);
      default: return kind;
    }
  };
  for (size_t i = 0; i < indexes_.size(); ++i) {
    const TORBIndexDef& def = meta_.Indexes[i];
    // Another session's temporary index may not be up to date for this one.
    if (def.Columns.empty() || (def.Temporary && def.OwnerSessionID != c.Session)) continue;
    const TORBIndexColumn& first = def.Columns[0];
    const int fieldNo = meta_.Fields.IndexOfName(first.FieldName);
    const TORBRecordKeyRef& keys = indexes_[i]->KeyRef();
    Range r;
    r.Index = static_cast<int>(i);
    for (const TORBFieldCondition& cond : conditions) {
      // A range must hold every answer: a case-sensitive order cannot serve
      // a case-insensitive condition.
      if (cond.FieldNo != fieldNo || (cond.CaseInsensitive && !first.CaseInsensitive)) continue;
      std::vector<uint8_t> key;
      try {
        key = keys.FullKeyFromValues({cond.Value});
      } catch (const EORBException&) {
        continue;
      }
      const int kind = first.Descending ? mirror(cond.Kind) : cond.Kind;
      const bool exclusive = kind == ckLess || kind == ckGreater;
      if (kind == ckEqual || kind == ckGreater || kind == ckGreaterOrEqual) {
        const int cmp = r.LowKind ? keys.CompareFull(key.data(), r.Low.data(), 1) : 1;
        if (cmp > 0 || (cmp == 0 && exclusive)) {
          r.Low = key;
          r.LowKind = kind == ckEqual ? static_cast<int>(ckGreaterOrEqual) : kind;
        }
      }
      if (kind == ckEqual || kind == ckLess || kind == ckLessOrEqual) {
        const int cmp = r.HighKind ? keys.CompareFull(key.data(), r.High.data(), 1) : -1;
        if (cmp < 0 || (cmp == 0 && exclusive)) {
          r.High = key;
          r.HighKind = kind == ckEqual ? static_cast<int>(ckLessOrEqual) : kind;
        }
      }
    }
    if (!r.LowKind && !r.HighKind) continue;
    if (r.LowKind && r.HighKind) {
      const int cmp = keys.CompareFull(r.Low.data(), r.High.data(), 1);
      if (cmp > 0 || (cmp == 0 && (r.LowKind == ckGreater || r.HighKind == ckLess))) {
        *scan = false;  // the conditions exclude each other
        if (indexUsed) *indexUsed = r.Index;
        return {};
      }
    }
    const int64_t estimate = indexes_[i]->EstimateRange(c.Session, r.LowKind, r.LowKind ? r.Low.data() : nullptr,
                                                        r.HighKind, r.HighKind ? r.High.data() : nullptr, 1, count);
    const double entryPages = estimate * (keys.KeySize() + 6.0) / pageData;
    double cost = entryPages + estimate * recordSize / pageData;
    if (static_cast<int>(i) != c.ActiveIndex) cost += entryPages;
    if (cost < bestCost) {
      bestCost = cost;
      best = std::move(r);
    }
  }
  if (best.Index < 0) return {};
  *scan = false;
  if (indexUsed) *indexUsed = best.Index;
  TORBBTreeRecordIndex& ix = *indexes_[static_cast<size_t>(best.Index)];
  std::vector<TORBRecordID> ids;
  TORBKeyPath p = best.LowKind ? ix.FindKey(c.Session, best.LowKind, best.Low.data(), 1, -1, true) : ix.Tree().First(c.Session);
  std::vector<uint8_t> record;
  for (bool more = TORBBTree::AtEntry(p); more; more = ix.Tree().Next(c.Session, p)) {
    const TORBRecordID id = ix.RecordIDAtPath(c.Session, p);
    if (best.HighKind) {
      if (!records_->ReadIndexedRecord(c.Session, id, record)) throw EORBException("Cannot retreive record for index", 20253);
      const int cmp = ix.KeyRef().CompareFull(ix.KeyRef().FullKey(record.data()).data(), best.High.data(), 1);
      if (cmp > 0 || (cmp == 0 && best.HighKind == ckLess)) break;
    }
    ids.push_back(id);
  }
  return ids;
}

bool TORBTableData::Locate(TORBTableCursor& c, TORBRecordFilter& condition) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OperationScope op(*this, c.Session);
  Records();
  RefreshBitmap(c);  // before the scan below borrows the cursor's buffer
  const std::vector<uint8_t> saved = c.Record;
  const TORBRecordID savedId = c.Current;
  bool scan = true;
  const std::vector<TORBRecordID> ids = Candidates(c, condition, &scan);
  const auto accept = [&](TORBRecordID id) {
    c.Current = id;
    return condition.Accepts() && Visible(c, id);
  };
  if (scan) {
    bool found = false;
    ScanRecords(c.Session, c.Record, [&](TORBRecordID id) { return !(found = accept(id)); });
    if (found) {
      c.Bof = c.Eof = false;
      return true;
    }
  } else {
    for (const TORBRecordID& id : ids)
      if (records_->ReadIndexedRecord(c.Session, id, c.Record) && accept(id)) {
        c.Bof = c.Eof = false;
        return true;
      }
  }
  c.Record = saved;
  c.Current = savedId;
  return false;
}

void TORBTableData::First(TORBTableCursor& c) {
  c.Current = {};
  if (GetRecord(c, nmNext) != grFound) c.Bof = c.Eof = true;
}

void TORBTableData::Last(TORBTableCursor& c) {
  c.Current = {};
  if (GetRecord(c, nmPrior) != grFound) c.Bof = c.Eof = true;
}

bool TORBTableData::SettleVisible(TORBTableCursor& c, TORBBTreeRecordIndex& ix, TORBKeyPath p,
                                  const std::function<bool(const uint8_t* record)>& stillMatches) {
  std::vector<uint8_t> record;
  // The entry the search found matches by construction; later ones are tested.
  for (bool more = TORBBTree::AtEntry(p), first = true; more; more = ix.Tree().Next(c.Session, p), first = false) {
    const TORBRecordID id = ix.RecordIDAtPath(c.Session, p);
    if (!records_->ReadIndexedRecord(c.Session, id, record)) throw EORBException("Cannot retreive record for index", 20253);
    if (!first && !stillMatches(record.data())) return false;
    if (!Visible(c, id)) continue;
    // The record just read becomes the cursor's: no second read.
    if (blobs_) blobs_->ReleaseDescriptors(c.Record.data(), true);
    c.Record = std::move(record);
    c.Current = id;
    c.Bof = c.Eof = false;
    return true;
  }
  return false;
}

bool TORBTableData::FindKey(TORBTableCursor& c, const std::vector<TORBVariant>& values) {
  return FindRecordByCondition(c, ckEqual, values, false);
}

bool TORBTableData::FindRecordByCondition(TORBTableCursor& c, int kind, const std::vector<TORBVariant>& values,
                                          bool partial) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OperationScope op(*this, c.Session);
  Records();
  if (c.ActiveIndex < 0) throw EORBException("Index not found", 20018);
  if (kind < ckEqual || kind > ckGreaterOrEqual)
    throw EORBException::Fmt(10382, "Invalid condition number = %d, count = %d", kind, 5);
  TORBBTreeRecordIndex& ix = *indexes_[static_cast<size_t>(c.ActiveIndex)];
  const std::vector<uint8_t> key = ix.KeyRef().FullKeyFromValues(values);
  const int columns = static_cast<int>(values.size());
  int partialChars = -1;
  if (partial && !values.empty() && !values.back().IsNull())
    partialChars = static_cast<int>(Utf8Length(values.back().AsString()));
  RefreshBitmap(c);
  const TORBKeyPath p = ix.FindKey(c.Session, kind, key.data(), columns, partialChars, true);
  // Walking on in index order, a record still answers while its key compares
  // the asked way (for = and the two "less" kinds the run ends).
  return SettleVisible(c, ix, p, [&](const uint8_t* record) {
    if (kind == ckGreater || kind == ckGreaterOrEqual) return true;
    const int cmp = ix.KeyRef().CompareFull(ix.KeyRef().FullKey(record).data(), key.data(), columns, partialChars);
    return kind == ckEqual ? cmp == 0 : kind == ckLess ? cmp < 0 : cmp <= 0;
  });
}

int64_t TORBTableData::GetRecNo(TORBTableCursor& c) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OperationScope op(*this, c.Session);
  if (c.Bof || c.Eof || RecordCount() == 0) return -1;
  if (c.Filter) {
    RefreshBitmap(c);
    if (c.ActiveIndex < 0) return c.Bitmap->RecNoOf(c.Bitmap->Ordinal(c.Current));
    // Index order: count the visible entries before the record.
    TORBBTreeRecordIndex& ix = *indexes_[static_cast<size_t>(c.ActiveIndex)];
    int64_t n = 0;
    TORBKeyPath p = ix.Tree().First(c.Session);
    for (bool more = TORBBTree::AtEntry(p); more; more = ix.Tree().Next(c.Session, p)) {
      const TORBRecordID id = ix.RecordIDAtPath(c.Session, p);
      if (!c.Bitmap->Get(c.Bitmap->Ordinal(id))) continue;
      ++n;
      if (id == c.Current) return n;
    }
    return -1;
  }
  if (c.ActiveIndex >= 0)
    return indexes_[static_cast<size_t>(c.ActiveIndex)]->RecNoOf(c.Session, c.Current, c.Record.data());
  return records_->RecNoByRecordID(c.Session, c.Current);
}

void TORBTableData::SetRecNo(TORBTableCursor& c, int64_t recNo) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OperationScope op(*this, c.Session);
  const int64_t visible = CursorRecordCount(c);
  if (visible == 0) return;
  const int64_t n = std::clamp<int64_t>(recNo, 1, visible);
  if (c.Filter && c.ActiveIndex < 0) {
    c.Current = c.Bitmap->IdOf(c.Bitmap->BitOfRecNo(n));
  } else if (c.Filter) {
    TORBBTreeRecordIndex& ix = *indexes_[static_cast<size_t>(c.ActiveIndex)];
    int64_t k = 0;
    TORBKeyPath p = ix.Tree().First(c.Session);
    for (bool more = TORBBTree::AtEntry(p); more; more = ix.Tree().Next(c.Session, p)) {
      const TORBRecordID id = ix.RecordIDAtPath(c.Session, p);
      if (c.Bitmap->Get(c.Bitmap->Ordinal(id)) && ++k == n) {
        c.Current = id;
        break;
      }
    }
  } else {
    c.Current = c.ActiveIndex >= 0 ? indexes_[static_cast<size_t>(c.ActiveIndex)]->RecordIDAt(c.Session, n)
                                   : records_->RecordIDByRecNo(c.Session, n);
  }
  GetRecord(c, nmCurrent);
  c.Bof = c.Eof = false;
}

int64_t TORBTableData::GetLastAutoincValue(const TORBTableCursor& c, size_t field, bool strict) const {
  if (!fieldManager_) throw EORBException("Nil pointer occured", 20138);
  return fieldManager_->GetLastAutoincValue(c.Sequences, field, strict);
}

int TORBTableData::IndexNumber(const std::string& name) const { return meta_.Indexes.IndexOfName(name); }

void TORBTableData::ScanRecords(int32_t session, std::vector<uint8_t>& buffer,
                                const std::function<bool(TORBRecordID)>& fn) {
  buffer.resize(static_cast<size_t>(meta_.Fields.MemoryRecordSize()));
  TORBNavigation n;
  n.FromFirst = true;
  n.Buffer = buffer.data();
  while (records_->GetRecord(session, n) == grFound) {
    n.FromFirst = false;
    if (!fn(n.Current)) return;
  }
}

TORBRecordWalk TORBTableData::Walk() {
  return [this](int32_t session, const TORBRecordVisitor& visit) {
    std::vector<uint8_t> r;
    ScanRecords(session, r, [&](TORBRecordID id) {
      if (visit(r.data())) records_->UpdateRecord(session, r.data(), id);
      return true;
    });
  };
}

// ---- table-level changes ----------------------------------------------------

void TORBTableData::EmptyTable(TORBTableCursor& c) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OperationScope op(*this, c.Session);
  Records();
  // Its commit would make the transaction's earlier changes durable.
  CheckNotInTransaction(c, "EmptyTable");
  const TORBTableState before = CurrentState();
  StartChange(c.Session, false);
  try {
    for (auto& ix : indexes_) ix->Empty(c.Session);
    if (blobs_) blobs_->FreeAll(c.Session, Walk());
    records_->EmptyAll(c.Session);  // last: a store outside pages cannot put records back
    CompleteChange(c.Session, false, false);
  } catch (...) {
    AbandonChange(c.Session, false);
    RestoreState(before);
    TouchAll();
    throw;
  }
  CloseChange(c.Session);
  for (size_t i = 0; i < meta_.Indexes.Count(); ++i)
    if (meta_.Indexes[i].Temporary) meta_.Indexes[i].ChangeStamp = ChangeCounter();
  for (TORBTableCursor* cur : cursors_) {
    cur->Current = {};
    cur->Bof = cur->Eof = true;
  }
}

void TORBTableData::RenameField(int32_t session, const std::string& oldName, const std::string& newName) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Records();
  TORBFieldDef* f = meta_.Fields.FindByName(oldName);
  if (!f) throw EORBException::Fmt(30343, "Field '%s' not found", oldName);
  if (meta_.Fields.FindByName(newName) && !SameName(oldName, newName))
    throw EORBException::Fmt(30344, "Cannot rename field '%s'. Field '%s' already exists", oldName, newName);
  ChangeSchema(session, [&] {
    f->Name = newName;
    for (size_t i = 0; i < meta_.Indexes.Count(); ++i)
      for (TORBIndexColumn& col : meta_.Indexes[i].Columns)
        if (SameName(col.FieldName, oldName)) col.FieldName = newName;
  });
}

void TORBTableData::BuildIndex(int32_t session, TORBBTreeRecordIndex& index) {
  const bool unique = index.Def().Unique || index.Def().Primary;
  index.Create(session, [&](const std::function<void(const uint8_t*, TORBRecordID)>& insert) {
    std::vector<uint8_t> r;
    ScanRecords(session, r, [&](TORBRecordID id) {
      if (unique && index.KeyConflicts(session, nullptr, r.data(), id))
        throw EORBException::Fmt(30320, "Constraint unique '%s' violated. Duplicate found.", IndexConstraintName(index.Def()));
      insert(r.data(), id);
      return true;
    });
  });
}

void TORBTableData::AddIndex(const TORBIndexDef& def, TORBTableCursor& c) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Records();
  CheckNotInTransaction(c, "AddIndex");
  ChangeSchema(c.Session, [&] {
    TORBIndexDef copy = def;
    copy.ObjectID = NewObjectID();
    copy.RootPageNo = -1;
    copy.Temporary = false;
    meta_.Indexes.Add(copy);
    TORBIndexDefs check;
    check.Assign(meta_.Indexes);  // refuses a repeated name
    if (copy.Unique || copy.Primary) {
      TORBConstraintDef con;
      con.Name = IndexConstraintName(copy);
      con.ObjectID = NewObjectID();
      con.ConstraintType = copy.Primary ? ctPrimary : ctUnique;
      con.Object = {copy.Name, copy.ObjectID};
      meta_.Constraints.Add(con);
    }
    MakeIndexObjects();
    BuildIndex(c.Session, *indexes_.back());
  });
}

void TORBTableData::DeleteIndex(int32_t objectID, TORBTableCursor& c) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Records();
  const int i = meta_.Indexes.IndexOfObjectID(objectID);
  if (i < 0) throw EORBException::Fmt(10324, "Cannot find index by ID = %d", objectID);
  if (meta_.Indexes[static_cast<size_t>(i)].Temporary) {
    // Never stored: its pages go back to the temporary store, nothing else changes.
    indexes_[static_cast<size_t>(i)]->Drop(c.Session);
    tempPages_->ApplyChanges(c.Session);
    meta_.Indexes.Delete(static_cast<size_t>(i));
    MakeIndexObjects();
  } else {
    CheckNotInTransaction(c, "DeleteIndex");
    ChangeSchema(c.Session, [&] {
      for (size_t k = meta_.Constraints.Count(); k-- > 0;)
        if (meta_.Constraints[k].Object.ID == objectID) meta_.Constraints.Delete(k);
      indexes_[static_cast<size_t>(i)]->Drop(c.Session);
      meta_.Indexes.Delete(static_cast<size_t>(i));
      MakeIndexObjects();
    });
  }
  for (TORBTableCursor* cur : cursors_)
    if (cur->ActiveIndex == i) cur->ActiveIndex = -1;
    else if (cur->ActiveIndex > i) --cur->ActiveIndex;
}

// ---- temporary indexes ------------------------------------------------------

std::pair<int, bool> TORBTableData::GetTempIndex(TORBTableCursor& c, const std::vector<std::string>& fields,
                                                 const std::vector<bool>& descending,
                                                 const std::vector<bool>& caseInsensitive) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OperationScope op(*this, c.Session);
  Records();
  if (fields.empty()) throw EORBException("Index error: invalid params", 20078);
  std::vector<std::string> directions, cases;
  for (size_t k = 0; k < fields.size(); ++k) {
    directions.push_back(k < descending.size() && descending[k] ? "DESC" : "ASC");
    cases.push_back(k < caseInsensitive.size() && caseInsensitive[k] ? "NO_CASE" : "CASE");
  }
  const int32_t found = meta_.Indexes.FindIndexByFields(fields, directions, cases, meta_.Fields, c.Session);
  if (found >= 0) {
    RefreshSessionIndexes(c.Session);
    return {meta_.Indexes.IndexOfObjectID(found), false};
  }
  TORBIndexDef def;
  def.Name = TemporaryIndexName(meta_.Indexes);
  def.ObjectID = NewObjectID();
  def.Temporary = true;
  def.OwnerSessionID = c.Session;
  for (size_t k = 0; k < fields.size(); ++k) {
    if (meta_.Fields.IndexOfName(fields[k]) < 0) throw EORBException::Fmt(30343, "Field '%s' not found", fields[k]);
    TORBIndexColumn col;
    col.FieldName = fields[k];
    col.Descending = directions[k] == "DESC";
    col.CaseInsensitive = cases[k] == "NO_CASE";
    def.Columns.push_back(col);
  }
  meta_.Indexes.Add(def);
  const size_t at = meta_.Indexes.Count() - 1;
  try {
    MakeIndexObjects();
    BuildIndex(c.Session, *indexes_[at]);
    tempPages_->ApplyChanges(c.Session);
  } catch (...) {
    if (tempPages_) tempPages_->CancelChanges(c.Session);
    meta_.Indexes.Delete(at);
    MakeIndexObjects();
    throw;
  }
  meta_.Indexes[at].ChangeStamp = ChangeCounter();
  return {static_cast<int>(at), true};
}

void TORBTableData::RefreshSessionIndexes(int32_t session) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (records_) SyncTempIndexes(session, false);
}

void TORBTableData::SyncTempIndexes(int32_t session, bool all) {
  for (size_t i = 0; i < meta_.Indexes.Count(); ++i) {
    TORBIndexDef& def = meta_.Indexes[i];
    if (!def.Temporary || (!all && def.OwnerSessionID != session) || def.ChangeStamp == ChangeCounter()) continue;
    // Behind the table (a rolled-back transaction, another process): fill it
    // again from the records; a failure leaves it as it was, still behind.
    const int32_t owner = def.OwnerSessionID;
    TORBBTreeRecordIndex& ix = *indexes_[i];
    tempPages_->BeginSavepoint(owner);
    try {
      ix.Empty(owner);
      std::vector<uint8_t> r;
      ScanRecords(owner, r, [&](TORBRecordID id) {
        ix.InsertKey(owner, r.data(), id);
        return true;
      });
      tempPages_->ApplyChanges(owner);
    } catch (...) {
      tempPages_->RollbackSavepoint(owner);
      tempPages_->ApplyChanges(owner);
      tempPages_->ReleaseSavepoint(owner);
      throw;
    }
    tempPages_->ReleaseSavepoint(owner);
    def.ChangeStamp = ChangeCounter();
  }
}

void TORBTableData::DropTempIndexes(int32_t session, bool all) {
  bool dropped = false;
  for (size_t i = meta_.Indexes.Count(); i-- > 0;) {
    const TORBIndexDef& def = meta_.Indexes[i];
    if (!def.Temporary || (!all && def.OwnerSessionID != session)) continue;
    try {
      indexes_[i]->Drop(def.OwnerSessionID);
      tempPages_->ApplyChanges(def.OwnerSessionID);
    } catch (...) {
      // The temporary store goes with the table anyway.
    }
    meta_.Indexes.Delete(i);
    for (TORBTableCursor* cur : cursors_)
      if (cur->ActiveIndex == static_cast<int>(i)) cur->ActiveIndex = -1;
      else if (cur->ActiveIndex > static_cast<int>(i)) --cur->ActiveIndex;
    dropped = true;
  }
  if (dropped) MakeIndexObjects();
}

// ---- BLOBs and check --------------------------------------------------------

void TORBTableData::SetBlobValue(TORBTableCursor& c, size_t field, const std::vector<uint8_t>& value) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!blobs_) throw EORBException("Nil pointer occured", 20136);
  auto s = blobs_->OpenBlobStream(c.Session, c.Record.data(), field, false);
  if (!value.empty() && s->Write(value.data(), static_cast<int64_t>(value.size())) != static_cast<int64_t>(value.size()))
    throw EORBException("Cannot write BLOB field value", 20164);
  blobs_->StoreBlobStream(c.Record.data(), *s);
}

std::vector<uint8_t> TORBTableData::GetBlobValue(TORBTableCursor& c, size_t field) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!blobs_) throw EORBException("Nil pointer occured", 20137);
  std::vector<uint8_t> plain;
  if (blobs_->ReadPlainValue(c.Session, c.Record.data(), field, plain)) return plain;
  auto s = blobs_->OpenBlobStream(c.Session, c.Record.data(), field, true);
  std::vector<uint8_t> v(static_cast<size_t>(s->GetSize()));
  if (!v.empty()) s->Read(v.data(), static_cast<int64_t>(v.size()));
  blobs_->ReleaseDescriptor(c.Record.data(), field, false);
  return v;
}

std::vector<std::string> TORBTableData::Check(int32_t session) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::vector<std::string> problems;
  auto guard = [&](const std::string& what, const std::function<void()>& f) {
    try {
      f();
    } catch (const EORBException& e) {
      problems.push_back(name_ + ": " + what + ": " + e.what());
    }
  };
  Records();
  guard("record pages", [&] { records_->CheckPages(session); });
  for (size_t i = 0; i < indexes_.size(); ++i) {
    const TORBIndexDef& def = meta_.Indexes[i];
    // A temporary index that fell behind is rebuilt before use, not damaged.
    if (def.Temporary && def.ChangeStamp != ChangeCounter()) continue;
    guard("index " + def.Name, [&] { indexes_[i]->CheckIntegrity(session, records_->RecordCount()); });
  }
  std::map<int32_t, int64_t> sharedUse;  // bytes referenced per shared BLOB page
  guard("records", [&] {
    std::vector<uint8_t> r;
    int64_t seen = 0;
    ScanRecords(session, r, [&](TORBRecordID id) {
      if (++seen > records_->RecordCount()) throw EORBException("More records than the table counts", 31160);
      for (size_t i = 0; i < indexes_.size(); ++i) {
        const TORBIndexDef& def = meta_.Indexes[i];
        if (def.Temporary && def.ChangeStamp != ChangeCounter()) continue;
        if (indexes_[i]->PathOf(session, r.data(), id).Empty())
          throw EORBException::Fmt(31161, "Record PageNo=%d SlotNo=%d has no entry in index '%s'", id.PageNo, id.Slot,
                                   def.Name);
      }
      if (!blobs_) return true;
      for (size_t f = 0; f < meta_.Fields.Count(); ++f) {
        if (!IsBlobStorage(meta_.Fields[f].BaseFieldType) || FieldIsNull(r.data(), f)) continue;
        const TORBBlobRef ref = BlobRefOf(r.data(), meta_.Fields[f]);
        if (!ref.IsStored()) continue;
        const TORBBlobData v = blobs_->ReadValue(session, ref);
        if (ref.BlobID != -1) sharedUse[ref.PageNo] += static_cast<int64_t>(v.Bytes.size()) + 22;
      }
      return true;
    });
    if (seen != records_->RecordCount())
      throw EORBException::Fmt(31162, "The table counts %d records, its pages hold %d", records_->RecordCount(), seen);
  });
  if (blobIndex_)
    guard("BLOB pages", [&] {
      blobIndex_->ForEach(session, [&](int32_t page, int32_t used) {
        auto it = sharedUse.find(page);
        if (it == sharedUse.end())
          throw EORBException::Fmt(31163, "BLOB page %d is referenced by no record", page);
        if (it->second != used)
          throw EORBException::Fmt(31164, "BLOB page %d: records reference %d bytes, the page index says %d", page,
                                   it->second, used);
        sharedUse.erase(it);
        return true;
      });
      if (!sharedUse.empty())
        throw EORBException::Fmt(31165, "BLOB page %d is not in the BLOB page index", sharedUse.begin()->first);
    });
  return problems;
}

}  // namespace orb
