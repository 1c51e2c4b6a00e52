// B-tree indexes: a randomized volume run against an independent model,
// equal keys, long keys kept as prefixes, key searches, navigation, record
// numbers, page indexes and damaged pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>

#include "RecordFixture.h"
#include "orb/ORBExcept.h"
#include "storage/ORBCheck.h"
#include "storage/ORBPage.h"

using namespace orb;
using orbtest::Col;
using orbtest::Field;
using orbtest::RecordFixture;
using orbtest::TempDir;

namespace {

// Field numbers of the volume table.
enum { fID, fD, fS, fC1, fC2, fCI };

TORBFieldDefs VolumeFields() {
  TORBFieldDefs f;
  f.Add(Field("ID", orbtest::kInteger));
  f.Add(Field("D", orbtest::kDate));
  f.Add(Field("S", orbtest::kVarchar, 60));
  f.Add(Field("C1", orbtest::kInteger));
  f.Add(Field("C2", orbtest::kVarchar, 10));
  f.Add(Field("CI", orbtest::kVarchar, 12));
  return f;
}

struct Rec {
  std::optional<int32_t> ID, D, C1;
  std::optional<std::string> S, C2, CI;
};

int CmpInt(const std::optional<int32_t>& a, const std::optional<int32_t>& b) {
  if (!a || !b) return a ? 1 : b ? -1 : 0;
  return *a < *b ? -1 : *a > *b ? 1 : 0;
}

int CmpStr(const std::optional<std::string>& a, const std::optional<std::string>& b, bool ci = false) {
  if (!a || !b) return a ? 1 : b ? -1 : 0;
  return TORBCollation::Current().Compare(*a, *b, ci);
}

// The model's order of each index shape, written without the key code.
int ModelCompare(size_t index, const Rec& a, const Rec& b) {
  switch (index) {
    case 0: return CmpInt(a.ID, b.ID);
    case 1: return CmpInt(a.D, b.D);
    case 2: return CmpStr(a.S, b.S);
    case 3: {
      const int c = -CmpInt(a.C1, b.C1);
      return c != 0 ? c : -CmpStr(a.C2, b.C2);
    }
    default: return CmpStr(a.CI, b.CI, true);
  }
}

class Volume {
 public:
  explicit Volume(const std::string& file) : t(file, VolumeFields()) {
    t.AddIndex("ID", {Col("ID")}, true);
    t.AddIndex("D", {Col("D")});
    t.AddIndex("S", {Col("S")});
    t.AddIndex("DC", {Col("C1", true), Col("C2", true)});
    t.AddIndex("CI", {Col("CI", false, true)});
  }

  Rec Random() {
    Rec r;
    r.ID = nextId_++;
    auto maybe = [&]() { return rng_() % 10 != 0; };  // 10% NULLs
    if (maybe()) r.D = 45000 + static_cast<int32_t>(rng_() % 30);
    if (maybe()) {
      // Long shared prefixes: many values agree on the kept 20 bytes.
      std::string s = rng_() % 3 == 0 ? "account-for-service-" : "shared-";
      const int n = static_cast<int>(rng_() % 20);
      for (int i = 0; i < n; ++i) s += static_cast<char>('a' + rng_() % 26);
      if (rng_() % 50 == 0) s += "\xC3\xA9\xC3\xA9";  // a character across the cut now and then
      r.S = s;
    }
    if (maybe()) r.C1 = static_cast<int32_t>(rng_() % 200);
    if (maybe()) r.C2 = std::string(1, static_cast<char>('a' + rng_() % 5)) + std::to_string(rng_() % 7);
    if (maybe()) {
      std::string s = std::to_string(rng_() % 500);
      if (rng_() % 2) std::transform(s.begin(), s.end(), s.begin(), [](char) { return 'A'; });
      r.CI = (rng_() % 2 ? "abc" : "ABC") + s;
    }
    return r;
  }

  std::vector<uint8_t> Buffer(const Rec& r) const {
    std::vector<uint8_t> b = t.NewRecord();
    auto setInt = [&](size_t f, const std::optional<int32_t>& v) {
      if (v) t.SetInt(b, f, *v);
    };
    auto setStr = [&](size_t f, const std::optional<std::string>& v) {
      if (v) t.SetStr(b, f, *v);
    };
    setInt(fID, r.ID);
    setInt(fD, r.D);
    setStr(fS, r.S);
    setInt(fC1, r.C1);
    setStr(fC2, r.C2);
    setStr(fCI, r.CI);
    return b;
  }

  void Insert() {
    Rec r = Random();
    const TORBRecordID id = t.Insert(Buffer(r));
    model_[id.Number()] = r;
  }

  int64_t PickLive() {
    auto it = model_.lower_bound(static_cast<int64_t>(rng_() % (model_.rbegin()->first + 1)));
    if (it == model_.end()) it = model_.begin();
    return it->first;
  }

  void Delete() {
    const int64_t key = PickLive();
    t.Delete(TORBRecordID::FromNumber(key));
    model_.erase(key);
  }

  void Update() {
    const int64_t key = PickLive();
    Rec r = Random();
    if (rng_() % 2) r.ID = model_[key].ID;  // keep some keys unchanged
    t.Update(TORBRecordID::FromNumber(key), Buffer(r));
    model_[key] = r;
  }

  void Check(const char* phase) {
    SCOPED_TRACE(phase);
    ASSERT_EQ(t.Records().RecordCount(), static_cast<int64_t>(model_.size()));
    t.Records().CheckPages(0);
    for (size_t i = 0; i < t.IndexCount(); ++i) {
      SCOPED_TRACE("index " + std::to_string(i));
      std::vector<int64_t> want;
      for (const auto& [k, r] : model_) want.push_back(k);
      std::stable_sort(want.begin(), want.end(), [&](int64_t a, int64_t b) {
        const int c = ModelCompare(i, model_.at(a), model_.at(b));
        return c != 0 ? c < 0 : TORBRecordID::FromNumber(a).PageNo < TORBRecordID::FromNumber(b).PageNo ||
                                    (TORBRecordID::FromNumber(a).PageNo == TORBRecordID::FromNumber(b).PageNo &&
                                     TORBRecordID::FromNumber(a).Slot < TORBRecordID::FromNumber(b).Slot);
      });
      std::vector<int64_t> got;
      TORBBTree& tree = t.Index(i).Tree();
      TORBKeyPath p = tree.First(0);
      std::vector<uint8_t> e;
      for (bool more = TORBBTree::AtEntry(p); more; more = tree.Next(0, p)) {
        tree.ReadEntry(0, p, e);
        got.push_back(ReadRecordID(e.data() + tree.KeySize()).Number());
      }
      ASSERT_EQ(got, want);
      EXPECT_NO_THROW(t.Index(i).CheckIntegrity(0, static_cast<int64_t>(model_.size())));
    }
  }

  RecordFixture t;
  std::map<int64_t, Rec> model_;

 private:
  std::mt19937 rng_{20261211};
  int32_t nextId_ = 1;
};

TEST(BTreeVolume, RandomOperationsMatchTheModelBeforeAndAfterReopening) {
  TempDir dir;
  Volume v(dir.file("volume.orb"));
  for (int i = 0; i < 100000; ++i) v.Insert();
  v.Check("inserts");
  v.t.Reopen();
  v.Check("inserts, reopened");
  for (int i = 0; i < 50000; ++i) v.Delete();
  v.Check("deletes");
  for (int i = 0; i < 20000; ++i) v.Update();
  v.Check("updates");
  v.t.Reopen();
  v.Check("updates, reopened");
  const int32_t roots[] = {v.t.Index(0).Def().RootPageNo, v.t.Index(2).Def().RootPageNo};
  while (!v.model_.empty()) v.Delete();
  v.Check("emptied");
  EXPECT_EQ(v.t.Index(0).Def().RootPageNo, roots[0]);
  EXPECT_EQ(v.t.Index(2).Def().RootPageNo, roots[1]);
  v.t.Commit();
  int64_t leaked = -1;
  EXPECT_EQ(CheckStorage(v.t.Pm(), &leaked), std::vector<std::string>{});
}

TORBFieldDefs OneInt() {
  TORBFieldDefs f;
  f.Add(Field("K", orbtest::kInteger));
  f.Add(Field("V", orbtest::kInteger));
  return f;
}

TEST(BTreeEqualKeys, ThousandEqualKeysDeleteInAnyOrderAndSpaceIsReused) {
  TempDir dir;
  RecordFixture t(dir.file("eq.orb"), OneInt());
  TORBBTreeRecordIndex& ix = t.AddIndex("K", {Col("K")});
  std::mt19937 rng(7);
  int64_t pagesAfterFirstRound = 0;
  for (int round = 0; round < 3; ++round) {
    std::vector<TORBRecordID> ids;
    auto r = t.NewRecord();
    t.SetInt(r, 0, 42);
    for (int i = 0; i < 1000; ++i) {
      t.SetInt(r, 1, i);
      ids.push_back(t.Insert(r));
    }
    // Equal keys sit in RecordID order.
    std::vector<int64_t> got;
    TORBKeyPath p = ix.Tree().First(0);
    std::vector<uint8_t> e;
    for (bool more = TORBBTree::AtEntry(p); more; more = ix.Tree().Next(0, p)) {
      ix.Tree().ReadEntry(0, p, e);
      got.push_back(ReadRecordID(e.data() + ix.Tree().KeySize()).Number());
    }
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end(), [](int64_t a, int64_t b) {
      return CompareRecordIDs(TORBRecordID::FromNumber(a), TORBRecordID::FromNumber(b)) < 0;
    }));
    std::shuffle(ids.begin(), ids.end(), rng);
    for (const TORBRecordID& id : ids) ASSERT_NO_FATAL_FAILURE(t.Delete(id));
    EXPECT_EQ(ix.EntryCount(0), 0);
    EXPECT_EQ(ix.Tree().Depth(0), 1);
    t.Commit();
    if (round == 0) pagesAfterFirstRound = t.Pm().GetTotalPageCount();
  }
  EXPECT_EQ(t.Pm().GetTotalPageCount(), pagesAfterFirstRound);
  EXPECT_EQ(CheckStorage(t.Pm()), std::vector<std::string>{});
}

TORBFieldDefs LongString() {
  TORBFieldDefs f;
  f.Add(Field("S", orbtest::kVarchar, 40));
  f.Add(Field("W", orbtest::kWideString, 40));
  return f;
}

TEST(BTreeLongKeys, PrefixesNeverDecideEqualityOrUniqueness) {
  TempDir dir;
  RecordFixture t(dir.file("long.orb"), LongString());
  TORBBTreeRecordIndex& s = t.AddIndex("S", {Col("S")}, true);
  TORBBTreeRecordIndex& w = t.AddIndex("W", {Col("W")});
  const std::string shared = "abcdefghijklmnopqrstuvwxy";  // 25 characters
  auto rec = [&](const std::string& v) {
    auto r = t.NewRecord();
    t.SetStr(r, 0, v);
    return r;
  };
  const auto a = rec(shared + "ZZZZZ"), b = rec(shared + "AAAAA");
  t.Insert(a);
  // Distinct values: no conflict, though their kept 20 bytes are equal.
  EXPECT_FALSE(s.KeyConflicts(0, nullptr, b.data(), {}));
  const TORBRecordID idB = t.Insert(b);
  EXPECT_TRUE(s.KeyConflicts(0, nullptr, rec(shared + "AAAAA").data(), {}));
  EXPECT_FALSE(s.KeyConflicts(0, b.data(), b.data(), idB));
  // Order by full values.
  EXPECT_EQ(s.RecNoOf(0, idB, b.data()), 1);
  // An update that changes only bytes past the prefix moves the key.
  auto c = rec(shared + "ZZZZZZ");
  t.Update(idB, c);
  EXPECT_EQ(s.RecNoOf(0, idB, c.data()), 2);
  s.CheckIntegrity(0, 2);

  // A prefix that ends inside a two-byte character, in narrow and wide form.
  std::vector<TORBRecordID> ids;
  const std::string e2 = "\xC3\xA9";  // é
  const std::vector<std::string> values = {"0123456789012345678" + e2 + "b", "0123456789012345678" + e2 + "a",
                                           "0123456789012345678e", "0123456789012345678" + e2};
  for (const std::string& v : values) {
    auto r = rec("x" + v);
    orb::SetFieldNull(r.data(), 1, false);
    const std::u16string u = Utf8ToUtf16(v);
    std::memcpy(r.data() + t.Fields()[1].MemoryOffset, u.data(), u.size() * 2);
    ids.push_back(t.Insert(r));
  }
  s.CheckIntegrity(0, 6);
  w.CheckIntegrity(0, 6);
  std::vector<std::string> sorted = values;
  std::sort(sorted.begin(), sorted.end(),
            [](const std::string& x, const std::string& y) { return TORBCollation::Current().Compare(x, y, false) < 0; });
  for (size_t i = 0; i < values.size(); ++i) {
    std::vector<uint8_t> r;
    ASSERT_TRUE(t.Records().ReadIndexedRecord(0, ids[i], r));
    const auto pos = std::find(sorted.begin(), sorted.end(), values[i]) - sorted.begin();
    EXPECT_EQ(w.RecNoOf(0, ids[i], r.data()), 2 + pos + 1) << i;  // after the two NULL wide values
  }
}

TEST(BTreeLongKeys, KeyTooLargeForAThirdOfAPageIsRefused) {
  TempDir dir;
  TORBFieldDefs f;
  f.Add(Field("S", orbtest::kVarchar, 2000));
  RecordFixture t(dir.file("big.orb"), f);
  EXPECT_EQ(orbtest::MessageOf([&] { t.AddIndex("S", {Col("S", false, false, 2000)}); }),
            "Index error: invalid params - Native error: 20078");
  EXPECT_NO_THROW(t.AddIndex("S20", {Col("S")}));
}

class BTreeSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    t = std::make_unique<RecordFixture>(dir.file("s.orb"), OneInt());
    ix = &t->AddIndex("K", {Col("K")});
    // Keys 10, 20, 20, 30, ... 100 and a NULL.
    for (int k = 10; k <= 100; k += 10) {
      auto r = t->NewRecord();
      t->SetInt(r, 0, k);
      ids.push_back(t->Insert(r));
      if (k == 20) ids.push_back(t->Insert(r));
    }
    ids.push_back(t->Insert(t->NewRecord()));
  }
  // The key at a path, or -1 for none / NULL.
  int KeyAt(const TORBKeyPath& p) {
    if (!TORBBTree::AtEntry(p)) return -1;
    std::vector<uint8_t> r;
    EXPECT_TRUE(t->Records().ReadIndexedRecord(0, ix->RecordIDAtPath(0, p), r));
    if (FieldIsNull(r.data(), 0)) return 0;
    int32_t v;
    std::memcpy(&v, r.data() + t->Fields()[0].MemoryOffset, 4);
    return v;
  }
  TempDir dir;
  std::unique_ptr<RecordFixture> t;
  TORBBTreeRecordIndex* ix = nullptr;
  std::vector<TORBRecordID> ids;
};

TEST_F(BTreeSearch, FindKeyByComparisonKind) {
  struct Case {
    int Kind, Key;
    bool FromFirst;
    int Want;
  } cases[] = {
      {ckEqual, 20, true, 20},  {ckEqual, 25, true, -1},        {ckEqual, 20, false, 20},
      {ckLess, 20, true, 0},    {ckLess, 20, false, 10},        {ckLess, -5, false, 0},
      {ckLessOrEqual, 25, false, 20}, {ckGreater, 20, true, 30}, {ckGreater, 100, true, -1},
      {ckGreaterOrEqual, 25, true, 30}, {ckGreater, 5, false, 100}, {ckGreaterOrEqual, 101, false, -1},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> key = ix->KeyRef().FullKeyFromValues({[&] {
      TORBVariant v;
      v.SetInteger(c.Key, stInteger);
      return v;
    }()});
    EXPECT_EQ(KeyAt(ix->FindKey(0, c.Kind, key.data(), 1, -1, c.FromFirst)), c.Want)
        << "kind " << c.Kind << " key " << c.Key << " first " << c.FromFirst;
  }
  // The two entries of 20 are distinct paths: first and last differ.
  std::vector<uint8_t> k20 = ix->KeyRef().FullKeyFromValues({[] {
    TORBVariant v;
    v.SetInteger(20, stInteger);
    return v;
  }()});
  EXPECT_NE(TORBKeyPath::Compare(ix->FindKey(0, ckEqual, k20.data(), 1, -1, true),
                                 ix->FindKey(0, ckEqual, k20.data(), 1, -1, false)),
            0);
  EXPECT_GT(ix->EstimateRange(0, ckGreaterOrEqual, k20.data(), ckLessOrEqual, nullptr, 1, 12), 0);
}

TEST_F(BTreeSearch, NavigationRecordNumbersAndThePositionCache) {
  TORBIndexPositionCache cache;
  TORBRecordID id;
  std::vector<int> seen;
  std::vector<uint8_t> r;
  int res = ix->Navigate(0, nmNext, true, false, id, nullptr, &cache);
  while (res == grFound) {
    ASSERT_TRUE(t->Records().ReadIndexedRecord(0, id, r));
    seen.push_back(FieldIsNull(r.data(), 0) ? 0 : GetLE<int32_t>(r.data() + t->Fields()[0].MemoryOffset));
    EXPECT_EQ(ix->RecordIDAt(0, static_cast<int64_t>(seen.size())), id);
    EXPECT_EQ(ix->RecNoOf(0, id, r.data()), static_cast<int64_t>(seen.size()));
    res = ix->Navigate(0, nmNext, false, false, id, r.data(), &cache);
  }
  EXPECT_EQ(res, grEOF);
  EXPECT_EQ(seen, (std::vector<int>{0, 10, 20, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
  EXPECT_EQ(orbtest::CodeOf([&] { ix->RecordIDAt(0, 13); }), 20075);
  EXPECT_EQ(orbtest::CodeOf([&] { ix->Navigate(0, nmCurrent, false, false, id, r.data(), &cache); }), 20053);

  // A change invalidates the cached path: navigation re-finds the record.
  TORBRecordID at = ids[3];  // key 30
  ASSERT_TRUE(t->Records().ReadIndexedRecord(0, at, r));
  ASSERT_EQ(ix->Navigate(0, nmPrior, false, false, at, r.data(), &cache), grFound);  // 20 (second)
  auto k25 = t->NewRecord();
  t->SetInt(k25, 0, 25);
  t->Insert(k25);
  ASSERT_TRUE(t->Records().ReadIndexedRecord(0, at, r));
  ASSERT_EQ(ix->Navigate(0, nmNext, false, false, at, r.data(), &cache), grFound);
  ASSERT_TRUE(t->Records().ReadIndexedRecord(0, at, r));
  EXPECT_EQ(GetLE<int32_t>(r.data() + t->Fields()[0].MemoryOffset), 25);
  // A record no longer in the index.
  const TORBRecordID gone = ids[0];
  ASSERT_TRUE(t->Records().ReadIndexedRecord(0, gone, r));
  ix->DeleteKey(0, r.data(), gone);
  TORBRecordID g = gone;
  EXPECT_EQ(ix->Navigate(0, nmNext, false, false, g, r.data(), &cache), grNotFound);
  EXPECT_EQ(orbtest::MessageOf([&] { ix->DeleteKey(0, r.data(), gone); }),
            "Index error: cannot delete entry. Entry not found - Native error: 20027");
}

TEST(BTreeDescending, NullsFirstAscendingLastDescendingAndCaseInsensitiveNeighbours) {
  TempDir dir;
  TORBFieldDefs f;
  f.Add(Field("S", orbtest::kVarchar, 10));
  RecordFixture t(dir.file("d.orb"), f);
  TORBBTreeRecordIndex& asc = t.AddIndex("A", {Col("S")});
  TORBBTreeRecordIndex& desc = t.AddIndex("D", {Col("S", true)});
  TORBBTreeRecordIndex& ci = t.AddIndex("C", {Col("S", false, true)});
  for (const char* v : {"abd", "ABC", "", "abc", "Abe"}) {
    auto r = t.NewRecord();
    if (*v) t.SetStr(r, 0, v);
    t.Insert(r);
  }
  auto order = [&](TORBBTreeRecordIndex& ix) {
    std::string out;
    TORBRecordID id;
    std::vector<uint8_t> r;
    for (int res = ix.Navigate(0, nmNext, true, false, id, nullptr, nullptr); res == grFound;
         res = ix.Navigate(0, nmNext, false, false, id, r.data(), nullptr)) {
      EXPECT_TRUE(t.Records().ReadIndexedRecord(0, id, r));
      out += FieldIsNull(r.data(), 0) ? std::string("-") : std::string(reinterpret_cast<char*>(r.data() + 1));
      out += ' ';
    }
    return out;
  };
  EXPECT_EQ(order(asc), "- abc ABC abd Abe ");
  EXPECT_EQ(order(desc), "Abe abd ABC abc - ");
  // Equal ignoring case: in RecordID (here insertion) order.
  EXPECT_EQ(order(ci), "- ABC abc abd Abe ");
}

TEST(BTreePageIndex, CountsRoomSearchAndRemoval) {
  TempDir dir;
  RecordFixture t(dir.file("p.orb"), OneInt());
  TORBBTreeRecordPageIndex ix(t.Pm(), 40);
  ix.CreateRoot(0);
  const int32_t root = ix.RootPageNo();
  for (int32_t p = 5000; p > 0; --p) ix.AddOrIncrease(0, p, 40);
  EXPECT_EQ(ix.FindPageWithRoom(0, 1), -1);
  ix.DecreaseOrSet(0, 2500, 1, -1);
  EXPECT_EQ(ix.GetValue(0, 2500), 39);
  // Only the last and first leaves are searched.
  EXPECT_EQ(ix.FindPageWithRoom(0, 1), -1);
  ix.DecreaseOrSet(0, 4999, 1, -1);
  EXPECT_EQ(ix.FindPageWithRoom(0, 1), 4999);
  EXPECT_EQ(orbtest::CodeOf([&] { ix.AddOrIncrease(0, 1, 1); }), 20106);
  EXPECT_EQ(orbtest::CodeOf([&] { ix.DecreaseOrSet(0, 6000, 1, -1); }), 20111);
  EXPECT_EQ(ix.NextPage(0, 2500), 2501);
  EXPECT_EQ(ix.PriorPage(0, 1), -1);
  for (int32_t p = 1; p <= 5000; p += 2) ix.DecreaseOrSet(0, p, 0, 0);
  EXPECT_EQ(ix.GetValue(0, 3), -1);
  EXPECT_EQ(ix.NextPage(0, 3), 4);
  EXPECT_EQ(ix.PageCounts(0).Pages.size(), 2500u);
  ix.CheckIntegrity(0);
  for (int32_t p = 2; p <= 5000; p += 2) ix.DecreaseOrSet(0, p, 0, 0);
  EXPECT_EQ(ix.RootPageNo(), root);
  EXPECT_EQ(ix.Tree().Depth(0), 1);
  ix.CheckIntegrity(0);
}

TEST(BTreeDamage, DamagedIndexPagesRaiseInsteadOfReadingOutOfBounds) {
  TempDir dir;
  RecordFixture t(dir.file("dmg.orb"), OneInt());
  TORBBTreeRecordIndex& ix = t.AddIndex("K", {Col("K")});
  for (int i = 0; i < 2000; ++i) {
    auto r = t.NewRecord();
    t.SetInt(r, 0, i);
    t.Insert(r);
  }
  t.Commit();
  struct Damage {
    uint32_t Offset;
    std::vector<uint8_t> Bytes;
  } cases[] = {
      {BTreeHeader::kEntryCount, {0xFF, 0xFF}},        // more entries than fit
      {BTreeHeader::kKeySize, {0x99, 0x00}},           // another key size
      {BTreeHeader::kIsLeaf, {0x07}},                  // not a flag
  };
  const int32_t root = ix.Def().RootPageNo;
  for (const Damage& d : cases) {
    std::vector<uint8_t> saved(d.Bytes.size());
    {
      TORBPageHandle p(t.Pm(), t.Pm().GetPage(0, root, true, ptTableIndex));
      std::memcpy(saved.data(), p->Data() + d.Offset, saved.size());
      std::memcpy(p->Data() + d.Offset, d.Bytes.data(), d.Bytes.size());
    }
    EXPECT_EQ(orbtest::CodeOf([&] { ix.Tree().First(0); }), 31131);
    EXPECT_EQ(orbtest::CodeOf([&] { ix.CheckIntegrity(0); }), 31131);
    TORBPageHandle p(t.Pm(), t.Pm().GetPage(0, root, true, ptTableIndex));
    std::memcpy(p->Data() + d.Offset, saved.data(), saved.size());
  }
  // A child pointer that loops back to the root.
  {
    TORBPageHandle p(t.Pm(), t.Pm().GetPage(0, root, true, ptTableIndex));
    ASSERT_EQ(p->Data()[BTreeHeader::kIsLeaf], 0);
    PutLE<int32_t>(p->Data() + BTreeHeader::kSize + ix.Tree().KeySize(), root);
  }
  EXPECT_EQ(orbtest::CodeOf([&] { ix.CheckIntegrity(0); }), 20028);
  EXPECT_THROW(ix.Tree().First(0), EORBException);
  t.Pm().CancelChanges(0);
}

}  // namespace
