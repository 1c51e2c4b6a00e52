// Memory and temporary records seen as a table's record store.
#include "tables/ORBTableRecordStore.h"

#include <cstring>

#include "storage/ORBMemEngine.h"
#include "tables/ORBBlobManager.h"
#include "tables/ORBTypes.h"

namespace orb {

TORBProcessRecordStore::TORBProcessRecordStore(std::unique_ptr<TORBRecordManager> records, const TORBFieldDefs& fields,
                                               int32_t recordSize)
    : records_(std::move(records)), fields_(fields), recordSize_(recordSize) {}

const uint8_t* TORBProcessRecordStore::Stored(const uint8_t* record) {
  // Descriptor handles belong to one buffer's life: never stored.
  scratch_.assign(record, record + recordSize_);
  for (const TORBFieldDef& f : fields_.Items())
    if (IsBlobStorage(f.BaseFieldType)) SetBlobHandle(scratch_.data(), f, 0);
  return scratch_.data();
}

bool TORBProcessRecordStore::InsertRecord(int32_t session, const uint8_t* record, TORBRecordID& id) {
  if (records_->InsertRecord(session, Stored(record), id)) return true;
  lastError_ = "the record store has no room for it";
  return false;
}

bool TORBProcessRecordStore::UpdateRecord(int32_t session, const uint8_t* record, TORBRecordID id) {
  return records_->UpdateRecord(session, Stored(record), id);
}

int TORBProcessRecordStore::GetRecord(int32_t session, TORBNavigation& request) {
  return records_->GetRecord(session, request);
}

bool TORBProcessRecordStore::ReadIndexedRecord(int32_t session, TORBRecordID id, std::vector<uint8_t>& record) {
  record.assign(static_cast<size_t>(recordSize_), 0);
  TORBNavigation n;
  n.Mode = nmCurrent;
  n.Current = id;
  n.Buffer = record.data();
  return records_->GetRecord(session, n) == grFound;
}

int64_t TORBProcessRecordStore::OrdinalLimit(int32_t) {
  if (auto* memory = dynamic_cast<TORBMemoryRecordManager*>(records_.get()))
    return memory->RecordCount() == 0 ? 0 : memory->HighestSlot() + 1;
  return records_->RecordCount();
}

}  // namespace orb
