// Record bitmaps of filtered cursors: set/clear, search and counting by words.
#include "tables/ORBRecordBitmap.h"

#include <bit>

namespace orb {

void TORBRecordBitmap::Clear() {
  Active = false;
  bits_.Resize(0);
  ChangeCounter = -1;
}

void TORBRecordBitmap::Start(int64_t limit, int32_t changeCounter) {
  bits_.Resize(0);
  bits_.Resize(limit);
  Active = true;
  ChangeCounter = changeCounter;
}

void TORBRecordBitmap::Put(int64_t bit, bool v) {
  if (bit < 0) return;
  if (bit >= bits_.Size()) {
    if (!v) return;
    bits_.Resize(bit + 1);
  }
  bits_.Set(bit, v);
}

void TORBRecordBitmap::SetRecord(TORBRecordID id) {
  if (Indexed) Active = false;
  else Put(Ordinal(id), true);
}

void TORBRecordBitmap::ClearRecord(TORBRecordID id) {
  if (Indexed) Active = false;
  else Put(Ordinal(id), false);
}

void TORBRecordBitmap::SetPosition(int64_t position) { Put(position, true); }
void TORBRecordBitmap::ClearPosition(int64_t position) { Put(position, false); }

int64_t TORBRecordBitmap::FindNext(int64_t from, int direction) const {
  const auto& w = bits_.Words();
  const int64_t size = bits_.Size();
  if (direction >= 0) {
    int64_t i = from + 1;
    if (i < 0) i = 0;
    while (i < size) {
      const uint64_t word = w[static_cast<size_t>(i / 64)] >> (i % 64);
      if (word) {
        const int64_t bit = i + std::countr_zero(word);
        return bit < size ? bit : -1;
      }
      i = (i / 64 + 1) * 64;
    }
    return -1;
  }
  int64_t i = from - 1;
  if (i >= size) i = size - 1;
  while (i >= 0) {
    const uint64_t word = w[static_cast<size_t>(i / 64)] << (63 - i % 64);
    if (word) return i - std::countl_zero(word);
    i = (i / 64) * 64 - 1;
  }
  return -1;
}

int64_t TORBRecordBitmap::RecordCount() const {
  int64_t n = 0;
  for (uint64_t word : bits_.Words()) n += std::popcount(word);
  return n;
}

int64_t TORBRecordBitmap::RecNoOf(int64_t bit) const {
  if (!bits_.Get(bit)) return -1;
  const auto& w = bits_.Words();
  int64_t n = 0;
  for (int64_t i = 0; i < bit / 64; ++i) n += std::popcount(w[static_cast<size_t>(i)]);
  if (bit % 64) n += std::popcount(w[static_cast<size_t>(bit / 64)] & ((uint64_t{1} << (bit % 64)) - 1));
  return n + 1;
}

int64_t TORBRecordBitmap::BitOfRecNo(int64_t recNo) const {
  if (recNo < 1) return -1;
  const auto& w = bits_.Words();
  int64_t left = recNo;
  for (size_t i = 0; i < w.size(); ++i) {
    const int c = std::popcount(w[i]);
    if (left > c) {
      left -= c;
      continue;
    }
    uint64_t word = w[i];
    for (int64_t k = 1; k < left; ++k) word &= word - 1;
    const int64_t bit = static_cast<int64_t>(i) * 64 + std::countr_zero(word);
    return bit < bits_.Size() ? bit : -1;
  }
  return -1;
}

}  // namespace orb
