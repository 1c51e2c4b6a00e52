// BLOB storage: values through streams and raw data, small and large page
// formats, freeing, descriptors, damaged pages, and a disk database.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "TestSupport.h"
#include "orb/ORBExcept.h"
#include "storage/ORBCheck.h"
#include "storage/ORBCompression.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBFreeSpace.h"
#include "storage/ORBMemEngine.h"
#include "storage/ORBPage.h"
#include "tables/ORBBlobManager.h"
#include "tables/ORBBTreePageIndex.h"

using namespace orb;
using orbtest::CodeOf;
using orbtest::TempDir;

namespace {

constexpr int32_t S = 0;  // session

// Memory pages with the disk page header, so page chains can be linked.
class HeaderedMemoryPages : public TORBMemoryPageManager {
 public:
  HeaderedMemoryPages() { SetGeometry(4096, kPageHeaderSize); }
};

TORBFieldDefs MakeFields(uint8_t algorithm, uint8_t mode, int32_t blockSize) {
  TORBFieldDefs fields;
  auto add = [&](const char* name, uint8_t declared) {
    TORBFieldDef f;
    f.Name = name;
    f.SetType(declared);
    f.BlobCompressionAlgorithm = algorithm;
    f.BlobCompressionMode = mode;
    f.BlobBlockSize = blockSize;
    fields.Add(f);
  };
  add("Id", 7);
  add("Data", 31);  // BLOB
  add("Memo", 33);  // MEMO
  fields.ComputeOffsets();
  return fields;
}

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
  // Words from a small vocabulary: compressible, but not trivially.
  std::mt19937 rng(seed);
  static const char* words[] = {"vault ", "secret ", "pass", "word", "\x01\x02", "zz", "Q", "\n"};
  std::vector<uint8_t> v;
  v.reserve(n);
  while (v.size() < n) {
    const char* w = words[rng() % 8];
    for (; *w && v.size() < n; ++w) v.push_back(static_cast<uint8_t>(*w ^ (rng() % 3 == 0 ? rng() : 0)));
  }
  return v;
}

// A table's worth of record buffers over a page manager, with the manager
// under test and its BLOB page index.
struct Table {
  Table(TORBPageManager& pm, uint8_t algorithm = caNone, uint8_t mode = 0, int32_t blockSize = 102400)
      : pm(pm), fields(MakeFields(algorithm, mode, blockSize)), index(pm), blobs(pm, fields, index) {
    blobs.CreateIndex(S);
    BasePages = pm.GetTotalPageCount();  // the index root
  }
  int32_t BasePages = 0;

  uint8_t* NewRecord() {
    records.emplace_back(static_cast<size_t>(fields.MemoryRecordSize()), 0);
    uint8_t* r = records.back().data();
    ClearBlobFields(fields, r);
    SetFieldNull(r, 1, true);
    SetFieldNull(r, 2, true);
    return r;
  }

  void Put(uint8_t* record, size_t field, const std::vector<uint8_t>& value) {
    auto s = blobs.OpenBlobStream(S, record, field, false);
    EXPECT_EQ(s->Write(value.data(), static_cast<int64_t>(value.size())), static_cast<int64_t>(value.size()));
    blobs.StoreBlobStream(record, *s);
    blobs.WriteRecordBlobs(S, record);
  }

  std::vector<uint8_t> Get(uint8_t* record, size_t field) {
    auto s = blobs.OpenBlobStream(S, record, field, true);
    std::vector<uint8_t> v(static_cast<size_t>(s->GetSize()));
    EXPECT_EQ(s->Read(v.data(), static_cast<int64_t>(v.size())), static_cast<int64_t>(v.size()));
    blobs.ReleaseDescriptor(record, field, false);
    return v;
  }

  TORBBlobRef Ref(const uint8_t* record, size_t field) const { return BlobRefOf(record, fields[field]); }

  TORBRecordWalk Walk() {
    return [this](int32_t, const TORBRecordVisitor& visit) {
      for (auto& r : records) visit(r.data());
    };
  }

  std::map<int32_t, int32_t> IndexPages() {
    std::map<int32_t, int32_t> pages;
    index.ForEach(S, [&](int32_t page, int32_t used) {
      pages[page] = used;
      return true;
    });
    return pages;
  }

  // Every indexed page counts exactly the bytes its entries take.
  void ExpectIndexMatchesPages() {
    for (auto [pageNo, used] : IndexPages()) {
      TORBPageHandle page(pm, pm.GetPage(S, pageNo, true, ptTableBlob));
      EXPECT_EQ(TORBSharedBlobPage(page->Data(), page->DataSize(), pageNo).UsedBytes(), used) << pageNo;
    }
  }

  TORBPageManager& pm;
  TORBFieldDefs fields;
  TORBBTreeBlobPageIndex index;
  TORBDiskBlobManager blobs;
  std::vector<std::vector<uint8_t>> records;
};

// Stores `v` uncompressed in the record's BLOB field.
void SetRaw(Table& t, uint8_t* record, const std::vector<uint8_t>& v) {
  TORBBlobSizes sizes;
  sizes.UncompressedSize = static_cast<int64_t>(v.size());
  t.blobs.SetBlobData(record, 1, v.data(), static_cast<int64_t>(v.size()), sizes);
  t.blobs.WriteRecordBlobs(S, record);
}

}  // namespace

TEST(BlobManager, RandomValuesRoundTripWithEachCompression) {
  struct Case {
    uint8_t algorithm, mode;
    int32_t blockSize;
  } cases[] = {{caNone, 0, 102400}, {caZlib, 6, 65536}, {caBzip, 9, 102400}, {caPPM, 4, 50000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.algorithm});
    HeaderedMemoryPages pm;
    Table t(pm, c.algorithm, c.mode, c.blockSize);
    std::mt19937 rng(c.algorithm + 7);
    std::vector<std::vector<uint8_t>> values;
    for (size_t size : {size_t{0}, size_t{1}, size_t{4031}, size_t{4032}, size_t{300000}}) values.push_back(Bytes(size, rng()));
    for (int i = 0; i < 12; ++i) values.push_back(Bytes(rng() % (i % 3 == 0 ? 200000 : 3000), rng()));
    for (auto& v : values) {
      uint8_t* r = t.NewRecord();
      t.Put(r, 1, v);
      t.Put(r, 2, Bytes(v.size() % 500, 1));
      EXPECT_EQ(FieldIsNull(r, 1), v.empty());
    }
    pm.ApplyChanges(S);
    for (size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(t.Get(t.records[i].data(), 1), values[i]) << i;
      ASSERT_EQ(t.Get(t.records[i].data(), 2), Bytes(values[i].size() % 500, 1)) << i;
    }
    EXPECT_EQ(t.blobs.DescriptorCount(), 0u);
    t.ExpectIndexMatchesPages();

    for (auto& r : t.records) t.blobs.DeleteRecordBlobs(S, r.data());
    pm.ApplyChanges(S);
    EXPECT_TRUE(t.IndexPages().empty());
    EXPECT_EQ(pm.GetTotalPageCount(), t.BasePages) << "every BLOB page is freed";
  }
}

TEST(BlobManager, SmallLargeThresholdAndLargeLayouts) {
  const int32_t D = 4056;
  struct Case {
    int64_t size;
    bool small;
  } cases[] = {
      {0, true},
      {4031, true},            // 4031 + 24 < 4056
      {4032, false},           // smallest large value
      {(D - 32) + 2 * D, false},      // fills head and two data pages: the list gets a fresh page
      {(D - 32) + D + (D - 2), false},  // two bytes left: the list starts there and straddles onto a fresh page
      {300000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    HeaderedMemoryPages pm;
    ASSERT_EQ(pm.PageDataSize, D);
    Table t(pm);
    const auto v = Bytes(static_cast<size_t>(c.size), 3);
    TORBBlobData data;
    data.UncompressedSize = c.size;
    data.Bytes = v;
    TORBBlobRef ref = t.blobs.StoreValue(S, data);
    EXPECT_EQ(ref.BlobID != kLargeBlobID, c.small);
    EXPECT_EQ(t.blobs.ReadValue(S, ref).Bytes, v);
    if (!c.small) {
      TORBBlobPages pages(pm);
      const TORBLargeBlob b = pages.ReadLargeHead(S, ref.PageNo);
      EXPECT_EQ(b.Pages.size(), static_cast<size_t>(LargeBlobPageCount(c.size, D)));
      const int64_t lastEnd = (c.size - (D - 32)) % D;
      if (lastEnd == 0) {
        EXPECT_EQ(b.Locator.ListOffset, 0);
        EXPECT_EQ(std::count(b.Pages.begin(), b.Pages.end(), b.Locator.ListPageNo), 0) << "list on a fresh page";
      } else {
        EXPECT_EQ(b.Locator.ListPageNo, b.Pages.back());
        EXPECT_EQ(b.Locator.ListOffset, lastEnd);
      }
    }
    pm.ApplyChanges(S);
    t.blobs.FreeValue(S, ref);
    EXPECT_FALSE(ref.IsStored());
    pm.ApplyChanges(S);
    EXPECT_EQ(pm.GetTotalPageCount(), t.BasePages);
    EXPECT_TRUE(t.IndexPages().empty());
  }
}

TEST(BlobManager, DeletingFirstSmallValueMovesTheSecondDown) {
  HeaderedMemoryPages pm;
  Table t(pm);
  uint8_t* a = t.NewRecord();
  uint8_t* b = t.NewRecord();
  SetRaw(t, a, Bytes(100, 1));
  SetRaw(t, b, Bytes(200, 2));
  const TORBBlobRef refA = t.Ref(a, 1), refB = t.Ref(b, 1);
  ASSERT_EQ(refA.PageNo, refB.PageNo);
  ASSERT_NE(refA.BlobID, refB.BlobID);

  t.blobs.DeleteRecordBlobs(S, a);
  EXPECT_FALSE(t.Ref(a, 1).IsStored());
  EXPECT_EQ(t.Ref(b, 1).BlobID, refB.BlobID);
  TORBPageHandle page(pm, pm.GetPage(S, refB.PageNo, true, ptTableBlob));
  TORBSharedBlobPage shared(page->Data(), page->DataSize(), refB.PageNo);
  ASSERT_EQ(shared.Entries().size(), 1u);
  EXPECT_EQ(shared.Entries()[0].Offset, 2u);
  EXPECT_EQ(shared.Entries()[0].Header.BlobID, refB.BlobID);
  page.Release();
  EXPECT_EQ(t.IndexPages().at(refB.PageNo), 222);
  EXPECT_EQ(t.Get(b, 1), Bytes(200, 2));
}

TEST(BlobManager, NewIdsSkipMinusOneAnd255) {
  // A page large enough to hold any number of empty entries.
  auto idAfter = [](const std::vector<int16_t>& ids) {
    std::vector<uint8_t> data(2 + ids.size() * kBlobHeaderSize + 64);
    PutLE<uint16_t>(data.data(), static_cast<uint16_t>(ids.size()));
    for (size_t i = 0; i < ids.size(); ++i) {
      TORBBlobHeader h;
      h.BlobID = ids[i];
      h.Write(&data[2 + i * kBlobHeaderSize]);
    }
    return TORBSharedBlobPage(data.data(), static_cast<uint32_t>(data.size()), 1).NewBlobID();
  };
  std::vector<int16_t> upTo254, allValid;
  for (int16_t i = 0; i < 255; ++i) upTo254.push_back(i);
  for (int i = -32768; i < 32768; ++i)
    if (i != -1 && i != 255) allValid.push_back(static_cast<int16_t>(i));
  EXPECT_EQ(idAfter({0, 1, 2}), 3);
  EXPECT_EQ(idAfter({2, 3}), 4);  // from the count upwards, not from 0
  EXPECT_EQ(idAfter(upTo254), 256);
  // From the count (65533 = -3) upwards: -2 is taken, -1 never given, then 0…
  std::vector<int16_t> but7 = allValid;
  but7.erase(std::find(but7.begin(), but7.end(), 7));
  EXPECT_EQ(idAfter(but7), 7);
  EXPECT_EQ(CodeOf([&] { idAfter(allValid); }), 20172);
}

TEST(BlobManager, AmbiguousIdReadsAndFreesBothKinds) {
  HeaderedMemoryPages pm;
  Table t(pm);
  const auto large = Bytes(9000, 4), small = Bytes(300, 5);
  TORBBlobData data;
  data.Bytes = large;
  data.UncompressedSize = 9000;
  TORBBlobRef refLarge = t.blobs.StoreValue(S, data);
  ASSERT_EQ(refLarge.BlobID, kLargeBlobID);
  refLarge.BlobID = kAmbiguousBlobID;

  // A shared page whose only entry carries id 255, as older files have.
  int32_t smallPage;
  {
    TORBPageHandle page(pm, pm.AddPage(S, ptTableBlob));
    smallPage = page->PageNo;
    PutLE<uint16_t>(page->Data(), 1);
    TORBBlobHeader h;
    h.BlobID = kAmbiguousBlobID;
    h.StoredSize = 300;
    h.UncompressedSize = 300;
    h.Write(page->Data() + 2);
    std::copy(small.begin(), small.end(), page->Data() + 2 + kBlobHeaderSize);
  }
  t.index.AddOrIncrease(S, smallPage, 322);
  TORBBlobRef refSmall{smallPage, kAmbiguousBlobID};

  EXPECT_EQ(t.blobs.ReadValue(S, refLarge).Bytes, large);
  EXPECT_EQ(t.blobs.ReadValue(S, refSmall).Bytes, small);
  t.blobs.FreeValue(S, refLarge);
  t.blobs.FreeValue(S, refSmall);
  pm.ApplyChanges(S);
  EXPECT_EQ(pm.GetTotalPageCount(), t.BasePages);
  EXPECT_TRUE(t.IndexPages().empty());
}

TEST(BlobManager, DamagedPagesRaise) {
  const int32_t D = 4056;
  // One field of one page overwritten: which page, where in its buffer
  // (header included), how wide, with what.
  struct Poke {
    int32_t page;
    size_t offset;
    int width;
    int64_t value;
  };
  const size_t H = kPageHeaderSize, next = PageHeader::kNextPageNo, type = PageHeader::kType;
  struct Damage {
    const char* what;
    int64_t size;  // of the stored value
    std::function<Poke(int32_t head, const TORBLargeBlob* b)> poke;
    int32_t code;
  } damages[] = {
      {"BlobCount beyond the page", 100, [&](int32_t p, auto) { return Poke{p, H, 2, 0x7FFF}; }, kErrBlobSharedPage},
      {"entry size past the page end", 100, [&](int32_t p, auto) { return Poke{p, H + 2 + 6, 8, 4050}; },
       kErrBlobSharedPage},
      {"negative entry size", 100, [&](int32_t p, auto) { return Poke{p, H + 2 + 6, 8, -5}; }, kErrBlobSharedPage},
      {"huge stored size", 20000, [&](int32_t p, auto) { return Poke{p, H + 6, 8, int64_t{1} << 50}; },
       kErrBlobLargeHead},
      {"list count not matching the size", 20000, [&](int32_t p, auto) { return Poke{p, H + 22 + 6, 4, 1000000}; },
       kErrBlobLargeHead},
      {"list offset past the page", 20000, [&](int32_t p, auto) { return Poke{p, H + 22 + 4, 2, 5000}; },
       kErrBlobLargeHead},
      {"list chain loops", (D - 32) + D + (D - 2),
       [&](int32_t, auto b) { return Poke{b->ListPages[0], next, 4, b->ListPages[0]}; }, kErrBlobPageList},
      {"list chain ends early", (D - 32) + D + (D - 2),
       [&](int32_t, auto b) { return Poke{b->ListPages[0], next, 4, -1}; }, kErrBlobPageList},
      {"list names a page twice", 20000,  // third entry := second
       [&](int32_t, auto b) { return Poke{b->Locator.ListPageNo, H + b->Locator.ListOffset + 8, 4, b->Pages[1]}; },
       kErrBlobPageList},
      {"list names a page of another kind", 20000,
       [&](int32_t, auto b) { return Poke{b->Pages[2], type, 2, ptTableRecord}; }, kErrBlobPage},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    HeaderedMemoryPages pm;
    Table t(pm);
    uint8_t* r = t.NewRecord();
    SetRaw(t, r, Bytes(static_cast<size_t>(d.size), 6));
    TORBBlobRef ref = t.Ref(r, 1);
    std::unique_ptr<TORBLargeBlob> large;
    if (ref.BlobID == kLargeBlobID) large = std::make_unique<TORBLargeBlob>(TORBBlobPages(pm).ReadLargeHead(S, ref.PageNo));
    const Poke poke = d.poke(ref.PageNo, large.get());
    {
      TORBPageHandle page(pm, pm.GetPage(S, poke.page, true, ptAny));
      std::memcpy(page->PageBuffer + poke.offset, &poke.value, static_cast<size_t>(poke.width));
      page->IsDirty = true;
    }
    EXPECT_EQ(CodeOf([&] { t.blobs.ReadValue(S, ref); }), d.code);
    EXPECT_EQ(CodeOf([&] { t.blobs.FreeValue(S, ref); }), d.code);
    EXPECT_TRUE(ref.IsStored());
    EXPECT_TRUE(pm.SessionPages(S)->RemovedPages.empty()) << "nothing is freed from a damaged value";
    EXPECT_EQ(CodeOf([&] { t.Get(r, 1); }), d.code);
    EXPECT_EQ(t.blobs.DescriptorCount(), 0u);
  }
  // A reference to a page that is not a BLOB page.
  HeaderedMemoryPages pm;
  Table t(pm);
  TORBPageHandle(pm, pm.AddPage(S, ptTableRecord)).Release();
  EXPECT_EQ(CodeOf([&] { t.blobs.ReadValue(S, TORBBlobRef{0, 0}); }), kErrBlobPage);
}

TEST(BlobManager, StreamsDescriptorsAndNulls) {
  HeaderedMemoryPages pm;
  Table t(pm, caZlib, 1, 1000);
  uint8_t* r = t.NewRecord();
  const auto v = Bytes(5000, 8);
  t.Put(r, 2, v);
  ASSERT_FALSE(FieldIsNull(r, 2));

  // Keep mode: append through the compressed stream, then cut to a block
  // boundary (the scratch stream keeps bytes past the last block).
  {
    auto s = t.blobs.OpenBlobStream(S, r, 2, true);
    s->Seek(0, soEnd);
    s->Write(v.data(), 500);
    s->SetSize(2000);
    t.blobs.StoreBlobStream(r, *s);
    const TORBBlobData d = t.blobs.GetBlobData(S, r, 2);
    EXPECT_EQ(d.UncompressedSize, 2000);
    EXPECT_EQ(d.CompressedSize, 2);
    t.blobs.WriteRecordBlobs(S, r);
  }
  EXPECT_EQ(t.Get(r, 2), std::vector<uint8_t>(v.begin(), v.begin() + 2000));

  // Opened to read and not written: nothing changes.
  const TORBBlobRef before = t.Ref(r, 2);
  {
    auto s = t.blobs.OpenBlobStream(S, r, 2, true);
    t.blobs.StoreBlobStream(r, *s);
    ASSERT_NE(t.blobs.Descriptor(r, 2), nullptr);
    EXPECT_FALSE(t.blobs.Descriptor(r, 2)->Modified);
    t.blobs.WriteRecordBlobs(S, r);
    EXPECT_EQ(t.Ref(r, 2).PageNo, before.PageNo);
    EXPECT_EQ(t.Ref(r, 2).BlobID, before.BlobID);
    EXPECT_EQ(CodeOf([&] { t.blobs.CheckReleased(); }), 20150);
    t.blobs.ReleaseDescriptors(r, false);
  }

  // Raw copy into another record keeps compression sizes.
  uint8_t* copy = t.NewRecord();
  const TORBBlobData raw = t.blobs.GetBlobData(S, r, 2);
  t.blobs.ReleaseDescriptors(r, false);
  t.blobs.SetBlobData(copy, 2, raw.Bytes.data(), static_cast<int64_t>(raw.Bytes.size()), raw);
  t.blobs.WriteRecordBlobs(S, copy);
  EXPECT_EQ(t.Get(copy, 2), t.Get(r, 2));

  // A modified descriptor survives an unforced release, and a handle not in
  // the list counts as none.
  const auto other = Bytes(10, 9);
  t.blobs.SetBlobData(r, 2, other.data(), 10, TORBBlobSizes{0, 10});
  t.blobs.ReleaseDescriptor(r, 2, false);
  ASSERT_NE(t.blobs.Descriptor(r, 2), nullptr);
  t.blobs.ReleaseDescriptor(r, 2, true);
  EXPECT_EQ(t.blobs.DescriptorCount(), 0u);
  SetBlobHandle(r, t.fields[2], 12345);
  EXPECT_EQ(t.blobs.Descriptor(r, 2), nullptr);
  EXPECT_EQ(t.Get(r, 2), std::vector<uint8_t>(v.begin(), v.begin() + 2000));

  // An empty stream written into the MEMO nulls it and frees the old value.
  t.Put(r, 2, {});
  EXPECT_TRUE(FieldIsNull(r, 2));
  EXPECT_FALSE(t.Ref(r, 2).IsStored());
  auto s = t.blobs.OpenBlobStream(S, r, 2, true);
  EXPECT_EQ(s->GetSize(), 0);
  EXPECT_EQ(t.blobs.GetBlobData(S, r, 2).Bytes.size(), 0u);
  t.blobs.DeleteRecordBlobs(S, copy);
  pm.ApplyChanges(S);
  EXPECT_EQ(pm.GetTotalPageCount(), t.BasePages);

  // No stream over a field whose block size is 0.
  t.fields[1].BlobBlockSize = 0;
  EXPECT_EQ(CodeOf([&] { t.blobs.OpenBlobStream(S, t.NewRecord(), 1, false); }), 20149);
  HeaderedMemoryPages pm2;
  EXPECT_EQ(CodeOf([&] { Table again(pm2, caNone, 0, 0); }), 10421);
}

TEST(BlobManager, RecordComparisonIgnoresDescriptorHandles) {
  const TORBFieldDefs fields = MakeFields(caNone, 0, 102400);
  const size_t n = static_cast<size_t>(fields.MemoryRecordSize());
  std::vector<uint8_t> a(n, 0);
  ClearBlobFields(fields, a.data());
  PutLE<int32_t>(&a[static_cast<size_t>(fields[0].MemoryOffset)], 42);
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> change;
    size_t length;
    bool equal;
  } cases[] = {
      {"same", [](auto&) {}, n, true},
      {"other handle", [&](auto& b) { SetBlobHandle(b.data(), fields[1], 7); }, n, true},
      {"both handles", [&](auto& b) { SetBlobHandle(b.data(), fields[1], 7), SetBlobHandle(b.data(), fields[2], 9); }, n, true},
      {"other reference", [&](auto& b) { SetBlobRef(b.data(), fields[2], {5, 0}); }, n, false},
      {"other value", [&](auto& b) { b[static_cast<size_t>(fields[0].MemoryOffset)] = 1; }, n, false},
      {"other null flag", [&](auto& b) { SetFieldNull(b.data(), 1, true); }, n, false},
      {"difference past the length", [&](auto& b) { SetBlobRef(b.data(), fields[2], {5, 0}); },
       static_cast<size_t>(fields[2].MemoryOffset), true},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> b = a;
    c.change(b);
    EXPECT_EQ(RecordBuffersEqual(fields, a.data(), b.data(), c.length), c.equal) << c.what;
  }
}

TEST(BlobManager, DiskDatabaseFreesEveryBlobPage) {
  TempDir dir;
  const std::string file = dir.file("b.orb");
  auto usedPages = [](TORBDiskPageManager& pm) {
    std::set<int32_t> used;
    for (int32_t p = 0; p < pm.GetTotalPageCount(); ++p)
      if (pm.FreeSpace().IsPageUsed(p)) used.insert(p);
    return used;
  };
  auto expectSound = [](TORBDiskPageManager& pm) {
    int64_t leaked = -1;
    EXPECT_EQ(CheckStorage(pm, &leaked), std::vector<std::string>{});
    EXPECT_EQ(leaked, 0);
  };

  for (bool freeAll : {false, true}) {
    SCOPED_TRACE(freeAll ? "FreeAll" : "DeleteRecordBlobs");
    TORBDiskPageManager pm;
    pm.CreateDatabaseFile(file, TORBPassword{"pw", 0});
    Table t(pm, caZlib, 3, 30000);
    pm.ApplyChanges(S);
    const std::set<int32_t> before = usedPages(pm);
    std::mt19937 rng(11);
    std::vector<std::vector<uint8_t>> values;
    for (int i = 0; i < 30; ++i) {
      values.push_back(Bytes(rng() % (i % 4 == 0 ? 120000 : 2500) + 1, rng()));
      uint8_t* r = t.NewRecord();
      t.Put(r, 1, values.back());
      t.Put(r, 2, Bytes(i * 37, 2));
    }
    pm.ApplyChanges(S);
    ASSERT_GT(usedPages(pm).size(), before.size());
    expectSound(pm);
    for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(t.Get(t.records[i].data(), 1), values[i]) << i;

    if (freeAll) {
      t.blobs.FreeAll(S, t.Walk());
    } else {
      for (auto& r : t.records) t.blobs.DeleteRecordBlobs(S, r.data());
    }
    pm.ApplyChanges(S);
    EXPECT_TRUE(t.IndexPages().empty());
    EXPECT_EQ(usedPages(pm), before);
    expectSound(pm);
    for (auto& r : t.records) EXPECT_FALSE(t.Ref(r.data(), 1).IsStored());
    pm.CloseDatabaseFile();
    std::remove(file.c_str());
  }
}

TEST(BlobManager, DiskValuesSurviveReopenAndRewritesReuseSpace) {
  TempDir dir;
  const std::string file = dir.file("r.orb");
  const TORBFieldDefs fields = MakeFields(caPPM, 2, 102400);
  std::vector<uint8_t> record;
  int32_t indexRoot = -1;
  {
    TORBDiskPageManager pm;
    pm.CreateDatabaseFile(file, TORBPassword{"", 0});
    Table t(pm, caPPM, 2, 102400);
    uint8_t* r = t.NewRecord();
    int32_t pagesAfterWarmUp = 0;
    for (int i = 0; i < 60; ++i) {
      t.Put(r, 1, Bytes(20000 + (i % 7) * 3000, i));
      t.Put(r, 2, Bytes(300 + i % 5, i));
      pm.ApplyChanges(S);
      // The size cycles with the value sizes; after a warm-up it never exceeds
      // what the first rounds reached.
      if (i < 20) pagesAfterWarmUp = std::max(pagesAfterWarmUp, pm.GetTotalPageCount());
      else EXPECT_LE(pm.GetTotalPageCount(), pagesAfterWarmUp) << i;
    }
    record = t.records[0];
    indexRoot = t.index.RootPageNo();
    pm.CloseDatabaseFile();
  }
  TORBDiskPageManager pm;
  bool mu = false, rep = false, ro = false;
  pm.OpenDatabaseFile(file, TORBPassword{"", 0}, mu, true, rep, ro);
  TORBBTreeBlobPageIndex index(pm);
  index.SetRoot(indexRoot);
  TORBDiskBlobManager blobs(pm, fields, index);
  for (size_t field : {size_t{1}, size_t{2}}) {
    auto s = blobs.OpenBlobStream(S, record.data(), field, true);
    std::vector<uint8_t> v(static_cast<size_t>(s->GetSize()));
    s->Read(v.data(), static_cast<int64_t>(v.size()));
    EXPECT_EQ(v, field == 1 ? Bytes(20000 + (59 % 7) * 3000, 59) : Bytes(300 + 59 % 5, 59));
  }
  blobs.ReleaseDescriptors(record.data(), true);
}
