// Block-compressed streams and the plain memory, file and temporary streams.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "TestSupport.h"
#include "orb/ORBExcept.h"
#include "storage/ORBCompressedStream.h"
#include "storage/ORBCompression.h"
#include "storage/ORBStreams.h"

using namespace orb;
using orbtest::CodeOf;
using orbtest::MessageOf;

namespace {

std::vector<uint8_t> Text(size_t n, uint32_t seed = 42) {
  static const char* words[] = {"vault ", "password ", "service ", "the ", "record ", "changed ", "on ", "account ",
                                "mail ", "bank ", "and ", "is ", "due ", "for ", "a ", "renewal. "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  while (out.size() < n) {
    const char* w = words[rng() % 16];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(n);
  return out;
}

std::vector<uint8_t> Random(size_t n, uint32_t seed = 7) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> ReadAll(TORBStream& s) {
  std::vector<uint8_t> v(static_cast<size_t>(s.GetSize()));
  s.Seek(0, soBeginning);
  EXPECT_EQ(s.Read(v.data(), static_cast<int64_t>(v.size())), static_cast<int64_t>(v.size()));
  return v;
}

std::vector<int32_t> BlockSizes(const TORBCompressedBLOBStream& s) {
  std::vector<int32_t> sizes;
  for (const auto& b : s.Blocks()) sizes.push_back(b.UncompressedSize);
  return sizes;
}

// A memory stream whose writes or size changes can be made to fail.
class FailingStream : public TORBMemoryStream {
 public:
  int64_t Write(const void* buffer, int64_t count) override {
    if (failWritesAfter >= 0 && writes++ >= failWritesAfter) return 0;
    return TORBMemoryStream::Write(buffer, count);
  }
  void SetSize(int64_t size) override {
    if (!ignoreSetSize) TORBMemoryStream::SetSize(size);
  }
  int failWritesAfter = -1;
  int writes = 0;
  bool ignoreSetSize = false;
};

}  // namespace

TEST(CompressedStream, BlocksFollowTheBlockSize) {
  const auto data = Text(250000);
  struct Case {
    int32_t blockSize;
    std::vector<int32_t> blocks;
  } cases[] = {{0, {250000}}, {102400, {102400, 102400, 45200}}};
  for (const auto& c : cases) {
    TORBMemoryStream base;
    TORBCompressedStreamInfo info;
    info.Algorithm = caZlib;
    info.Mode = 1;
    info.BlockSize = c.blockSize;
    TORBCompressedBLOBStream s(base, false, true, info);
    EXPECT_EQ(s.Write(data.data(), static_cast<int64_t>(data.size())), 250000);
    EXPECT_EQ(BlockSizes(s), c.blocks);
    // Each header says its length, and the blocks lie end to end.
    int64_t at = 0;
    for (const auto& b : s.Blocks()) {
      EXPECT_EQ(b.Offset, at);
      EXPECT_EQ(b.BlockLength, b.CompressedSize + 20);
      at += b.BlockLength;
    }
    EXPECT_EQ(base.GetSize(), at);
    EXPECT_EQ(s.CompressedSize() + 20 * static_cast<int64_t>(c.blocks.size()), at);
    EXPECT_NEAR(s.CompressionRate(), (1.0 - static_cast<double>(s.CompressedSize()) / 250000) * 100, 1e-9);
    EXPECT_GT(s.CompressionRate(), 50.0);
    // Reopened from what its owner stores.
    const TORBCompressedStreamInfo stored = s.Info();
    EXPECT_EQ(stored.BlockCount, static_cast<int64_t>(c.blocks.size()));
    EXPECT_EQ(stored.UncompressedSize, 250000);
    TORBCompressedBLOBStream again(base, false, false, stored);
    EXPECT_EQ(again.GetSize(), 250000);
    EXPECT_EQ(ReadAll(again), data);
  }
}

TEST(CompressedStream, EveryAlgorithmStoresAndReadsBack) {
  const auto text = Text(300000, 5);
  const auto noise = Random(70000, 6);
  for (uint8_t alg : {caNone, caZlib, caBzip, caPPM}) {
    TORBMemoryStream base;
    TORBCompressedBLOBStream s(base, false, true, {65536, 0, 0, 0, alg, 5});
    s.Write(text.data(), 100000);
    s.Write(noise.data(), 70000);  // incompressible blocks too
    s.Write(text.data() + 100000, 200000);
    EXPECT_EQ(s.GetSize(), 370000);
    if (alg == caNone) {
      EXPECT_EQ(s.CompressionRate(), 0.0);
    }
    TORBCompressedBLOBStream again(base, false, false, s.Info());
    auto all = ReadAll(again);
    ASSERT_EQ(all.size(), 370000u) << int(alg);
    EXPECT_TRUE(std::equal(noise.begin(), noise.end(), all.begin() + 100000)) << int(alg);
    EXPECT_TRUE(std::equal(text.begin() + 100000, text.end(), all.begin() + 170000)) << int(alg);
  }
}

TEST(CompressedStream, ReadsSpanBlocksAndReuseTheLastExpandedOne) {
  const auto data = Text(250000);
  TORBMemoryStream base;
  TORBCompressedBLOBStream s(base, false, true, {102400, 0, 0, 0, caBzip, 3});
  s.Write(data.data(), 250000);
  TORBCompressedBLOBStream r(base, false, false, s.Info());
  uint8_t buf[10];
  r.Seek(102395, soBeginning);
  ASSERT_EQ(r.Read(buf, 10), 10);  // five bytes of block 0, five of block 1
  EXPECT_EQ(0, std::memcmp(buf, &data[102395], 10));
  EXPECT_EQ(r.Expansions(), 2);
  // Small pieces one after another: block 1 is not expanded again.
  r.Seek(110000, soBeginning);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(r.Read(buf, 7), 7);
  EXPECT_EQ(0, std::memcmp(buf, &data[110000 + 999 * 7], 7));
  EXPECT_EQ(r.Expansions(), 2);
  r.Seek(249995, soBeginning);
  EXPECT_EQ(r.Read(buf, 10), 5);  // stops at the end
  EXPECT_EQ(r.Expansions(), 3);
  EXPECT_EQ(r.Read(buf, 10), 0);
  r.Seek(900000, soBeginning);
  EXPECT_EQ(r.Read(buf, 10), 0);
  EXPECT_EQ(r.Position(), 900000);
}

TEST(CompressedStream, WritesAppendAtTheEndOfTheBlocks) {
  const auto data = Random(300000);
  TORBMemoryStream base;
  base.Write("prefix--", 8);  // the value starts inside a larger stream
  TORBCompressedBLOBStream s(base, false, true, {65536, 0, 0, 8, caZlib, 6});
  ASSERT_EQ(s.Write(data.data(), 131072), 131072);  // two whole blocks
  uint8_t buf[16];
  auto readEarly = [&] {  // moves the base stream's position back into block 0
    s.Seek(10, soBeginning);
    ASSERT_EQ(s.Read(buf, 16), 16);
    EXPECT_LT(base.Position(), base.GetSize());
  };
  readEarly();
  // A write below the size takes nothing and changes nothing.
  const auto before = std::vector<uint8_t>(base.Data(), base.Data() + base.GetSize());
  EXPECT_EQ(s.Write(data.data(), 5), 0);
  EXPECT_EQ(s.GetSize(), 131072);
  EXPECT_EQ(std::vector<uint8_t>(base.Data(), base.Data() + base.GetSize()), before);
  // A new block goes behind the last one, wherever the base stream stands.
  s.Seek(0, soEnd);
  ASSERT_EQ(s.Write(data.data() + 131072, 100), 100);
  EXPECT_EQ(s.Blocks()[2].Offset, 8 + s.Blocks()[0].BlockLength + s.Blocks()[1].BlockLength);
  s.Seek(131072 + 50, soBeginning);
  ASSERT_EQ(s.Read(buf, 16), 16);  // the partial last block is now the kept one
  // It is filled up in place, then new blocks follow; reads see the new bytes.
  s.Seek(0, soEnd);
  ASSERT_EQ(s.Write(data.data() + 131172, 168828), 168828);
  EXPECT_EQ(BlockSizes(s), (std::vector<int32_t>{65536, 65536, 65536, 65536, 37856}));
  s.Seek(131072 + 150, soBeginning);
  ASSERT_EQ(s.Read(buf, 16), 16);
  EXPECT_EQ(0, std::memcmp(buf, &data[131072 + 150], 16));
  TORBCompressedBLOBStream again(base, false, false, s.Info());
  EXPECT_EQ(ReadAll(again), data);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(base.Data()), 8), "prefix--");
  // Writing beyond the end fills the gap with zeros first.
  again.Seek(300010, soBeginning);
  EXPECT_EQ(again.Write("x", 1), 1);
  auto all = ReadAll(again);
  ASSERT_EQ(all.size(), 300011u);
  EXPECT_EQ(all[300005], 0);
  EXPECT_EQ(all[300010], 'x');
}

TEST(CompressedStream, GrowAndShrink) {
  const auto data = Text(200000);
  TORBMemoryStream base;
  TORBCompressedBLOBStream s(base, false, true, {50000, 0, 0, 0, caPPM, 2});
  s.Write(data.data(), 200000);
  uint8_t buf[8];
  s.Seek(130000, soBeginning);
  s.Read(buf, 8);                  // block 2 is now the kept one
  s.SetSize(123456);               // cuts block 2 in the middle
  EXPECT_EQ(BlockSizes(s), (std::vector<int32_t>{50000, 50000, 23456}));
  EXPECT_EQ(s.Position(), 123456);  // moved back inside
  EXPECT_EQ(base.GetSize(), s.Blocks()[2].Offset + s.Blocks()[2].BlockLength);
  s.Seek(123450, soBeginning);
  ASSERT_EQ(s.Read(buf, 8), 6);    // the cut block is read, not the one kept before
  EXPECT_EQ(0, std::memcmp(buf, &data[123450], 6));
  s.SetSize(100000);               // a block boundary: the base keeps its bytes
  EXPECT_EQ(s.Blocks().size(), 2u);
  s.SetSize(160100);               // grows with zeros
  EXPECT_EQ(BlockSizes(s), (std::vector<int32_t>{50000, 50000, 50000, 10100}));
  TORBCompressedBLOBStream again(base, false, false, s.Info());
  auto all = ReadAll(again);
  ASSERT_EQ(all.size(), 160100u);
  EXPECT_TRUE(std::equal(all.begin(), all.begin() + 100000, data.begin()));
  EXPECT_TRUE(std::all_of(all.begin() + 100000, all.end(), [](uint8_t b) { return b == 0; }));
  again.SetSize(0);
  EXPECT_EQ(again.Info().BlockCount, 0);
  EXPECT_EQ(again.CompressionRate(), 0.0);
}

TEST(CompressedStream, DamageIsReported) {
  const auto data = Text(250000);
  for (uint8_t alg : {caZlib, caBzip, caPPM}) {
    TORBMemoryStream base;
    TORBCompressedBLOBStream s(base, false, true, {102400, 0, 0, 0, alg, 5});
    s.Write(data.data(), 250000);
    const auto stored = s.Info();
    const auto blocks = s.Blocks();
    std::vector<uint8_t> buf(1000);
    for (int64_t at : {int64_t{5}, int64_t{200}, blocks[1].CompressedSize / int64_t{2}, blocks[1].CompressedSize - int64_t{8}}) {
      TORBMemoryStream copy;
      copy.Write(base.Data(), base.GetSize());
      copy.Data()[blocks[1].Offset + 20 + at] ^= 0x5A;
      TORBCompressedBLOBStream damaged(copy, false, false, stored);
      ASSERT_EQ(damaged.Read(buf.data(), 1000), 1000);  // block 0 is sound
      damaged.Seek(102400, soBeginning);
      const int32_t code = CodeOf([&] { damaged.Read(buf.data(), 1000); });
      EXPECT_TRUE(code == 10087 || code == 10088 || code == 10089) << int(alg) << " at " << at << ": " << code;
    }
    // A header whose CRC does not match its bytes.
    TORBMemoryStream copy;
    copy.Write(base.Data(), base.GetSize());
    copy.Data()[blocks[2].Offset + 8] ^= 1;
    TORBCompressedBLOBStream badCrc(copy, false, false, stored);
    badCrc.Seek(204800, soBeginning);
    EXPECT_EQ(CodeOf([&] { badCrc.Read(buf.data(), 10); }), 10089);
  }
}

TEST(CompressedStream, OpeningChecksTheStoredSizes) {
  const auto data = Text(250000);
  TORBMemoryStream base;
  TORBCompressedBLOBStream s(base, false, true, {102400, 0, 0, 0, caZlib, 5});
  s.Write(data.data(), 250000);
  // More blocks claimed than present.
  auto claimed = s.Info();
  claimed.BlockCount = 5;
  EXPECT_EQ(MessageOf([&] { TORBCompressedBLOBStream(base, false, false, claimed); }).rfind(
                "Stream size = " + std::to_string(base.GetSize()) + " too small. Should be at least = ", 0),
            0u);
  EXPECT_EQ(CodeOf([&] { TORBCompressedBLOBStream(base, false, false, claimed); }), 10082);
  TORBCompressedBLOBStream tolerant(base, true, false, claimed);
  EXPECT_EQ(tolerant.Info().BlockCount, 3);
  EXPECT_EQ(ReadAll(tolerant), data);
  // A block that runs past the end of the base stream.
  TORBMemoryStream cut;
  cut.Write(base.Data(), base.GetSize() - 10);
  EXPECT_EQ(CodeOf([&] { TORBCompressedBLOBStream(cut, false, false, s.Info()); }), 10083);
  TORBCompressedBLOBStream tolerantCut(cut, true, false, s.Info());
  EXPECT_EQ(tolerantCut.GetSize(), 204800);
  // A start offset that cannot be reached.
  EXPECT_EQ(CodeOf([&] { TORBCompressedBLOBStream(base, false, false, {0, 0, 0, -1, caZlib, 5}); }), 10103);
  // Uncompressed values must fit the base stream unless tolerated.
  const TORBCompressedStreamInfo plain{0, 0, 999999999, 0, caNone, 0};
  EXPECT_EQ(CodeOf([&] { TORBCompressedBLOBStream(base, false, false, plain); }), 10081);
  TORBCompressedBLOBStream tolerantPlain(base, true, false, plain);
  EXPECT_EQ(tolerantPlain.GetSize(), base.GetSize());
}

TEST(CompressedStream, FailingBaseStreamRaisesTheRightCodes) {
  const auto data = Text(30000);
  {
    FailingStream base;
    base.failWritesAfter = 0;  // the header of the first block
    TORBCompressedBLOBStream s(base, false, true, {10000, 0, 0, 0, caZlib, 1});
    EXPECT_EQ(CodeOf([&] { s.Write(data.data(), 30000); }), 10100);
  }
  {
    FailingStream base;
    base.failWritesAfter = 1;  // the data of the first block
    TORBCompressedBLOBStream s(base, false, true, {10000, 0, 0, 0, caZlib, 1});
    EXPECT_EQ(MessageOf([&] { s.Write(data.data(), 30000); }).rfind("Cannot write to stream. Position = 20, ", 0), 0u);
  }
  {
    FailingStream base;
    TORBCompressedBLOBStream s(base, false, true, {10000, 0, 0, 0, caZlib, 1});
    s.Write(data.data(), 30000);
    base.ignoreSetSize = true;  // the cut does not take
    EXPECT_EQ(CodeOf([&] { s.SetSize(15000); }), 10093);
    base.ignoreSetSize = false;
    base.failWritesAfter = base.writes;  // the rewritten block's header
    EXPECT_EQ(MessageOf([&] { s.SetSize(15000); }), "Error writing to stream - Native error: 10095");
  }
}

TEST(Streams, MemoryStreamGrowsToTwiceTheNeed) {
  TORBMemoryStream s;
  s.Write("abc", 3);
  EXPECT_EQ(s.Capacity(), 6);
  s.Seek(10, soBeginning);  // writing past the end fills the gap with zeros
  s.Write("z", 1);
  EXPECT_EQ(s.Capacity(), 22);
  EXPECT_EQ(ReadAll(s), (std::vector<uint8_t>{'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 'z'}));
  uint8_t buf[8];
  s.Seek(8, soBeginning);
  EXPECT_EQ(s.Read(buf, 8), 3);  // fewer at the end
  s.SetSize(2);
  EXPECT_EQ(s.Position(), 2);
  EXPECT_EQ(s.Seek(-1, soBeginning), 2);  // refused
}

TEST(Streams, HelpersRaiseWithTheCallersCode) {
  TORBMemoryStream s;
  s.Write("0123456789", 10);
  s.Seek(6, soBeginning);
  uint8_t buf[8];
  EXPECT_EQ(MessageOf([&] { s.ReadExactly(buf, 8, 10369); }),
            "Cannot read from stream. Position = 6, Stream size = 10, Block size = 8, Bytes Read = 4 - Native error: 10369");
  EXPECT_EQ(MessageOf([&] { s.SetPositionChecked(-5, 10128); }),
            "Cannot set stream position to -5. Position = 10, Size = 10 - Native error: 10128");
  FailingStream f;
  f.failWritesAfter = 0;
  EXPECT_EQ(MessageOf([&] { f.WriteExactly("abc", 3, 10362); }),
            "Cannot write to stream. Position = 0, Stream size = 0, Block size = 3, Bytes Write = 0 - Native error: 10362");
  s.Seek(2, soBeginning);
  EXPECT_EQ(CodeOf([&] { s.ReadExactly(buf, 8, 10369); }), 0);
  EXPECT_EQ(0, std::memcmp(buf, "23456789", 8));
}

TEST(Streams, FileStreamCreatesOpensAndReportsFailures) {
  orbtest::TempDir dir;
  const std::string name = dir.file("value.bin");
  {
    TORBFileStream f(name, TORBFileStream::fmCreate);
    f.WriteExactly("hello", 5, 1);
  }
  {
    TORBFileStream f(name, TORBFileStream::fmOpenRead);
    EXPECT_EQ(ReadAll(f), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
  }
  {
    TORBFileStream temp(name, TORBFileStream::fmCreate, true);  // deleted when closed
  }
  EXPECT_EQ(CodeOf([&] { TORBFileStream f(name, TORBFileStream::fmOpenReadWrite); }), 10105);
  EXPECT_EQ(MessageOf([&] { TORBFileStream f(dir.file("no/such/dir"), TORBFileStream::fmCreate); }),
            "Cannot create file. FileName = " + dir.file("no/such/dir") + " - Native error: 10104");
}

TEST(Streams, TemporaryStreamMovesToAFileAndKeepsItsPosition) {
  TORBTemporaryStream s(false), memOnly(true);
  const auto chunk = Random(600000);
  for (TORBTemporaryStream* t : {&s, &memOnly}) {
    t->Write(chunk.data(), 600000);
    t->Seek(0, soEnd);
    t->Write(chunk.data(), 448576);  // exactly 1,048,576: still memory
    EXPECT_FALSE(t->OnFile());
    t->Seek(1048570, soBeginning);
    t->Write("0123456789", 10);  // would pass 1,048,576
    EXPECT_EQ(t->Position(), 1048580);
    EXPECT_EQ(t->GetSize(), 1048580);
  }
  EXPECT_TRUE(s.OnFile());
  EXPECT_FALSE(memOnly.OnFile());
  for (TORBTemporaryStream* t : {&s, &memOnly}) {
    uint8_t buf[10];
    t->Seek(600000 + 10, soBeginning);
    ASSERT_EQ(t->Read(buf, 4), 4);
    EXPECT_EQ(0, std::memcmp(buf, &chunk[10], 4));
    t->Seek(1048570, soBeginning);
    ASSERT_EQ(t->Read(buf, 10), 10);
    EXPECT_EQ(0, std::memcmp(buf, "0123456789", 10));
  }
  // Growing by size alone moves to a file as well.
  TORBTemporaryStream grown(false);
  grown.Write("abc", 3);
  grown.SetSize(2 << 20);
  EXPECT_TRUE(grown.OnFile());
  EXPECT_EQ(grown.Position(), 3);
  EXPECT_EQ(grown.GetSize(), 2 << 20);
}
