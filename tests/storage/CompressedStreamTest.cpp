// Buffer compression, plain streams and block-compressed streams.
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

namespace {

std::vector<uint8_t> Text(size_t n) {
  static const char* words[] = {"vault ", "password ", "service ", "the ", "record ", "changed ", "on ", "account ",
                                "mail ", "bank ", "and ", "is ", "due ", "for ", "a ", "renewal. "};
  std::mt19937 rng(42);
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

}  // namespace

TEST(Compression, NamesAndRoundTrips) {
  EXPECT_EQ(CompressionAlgorithmByName("zlib"), caZlib);
  EXPECT_EQ(CompressionAlgorithmByName("Bzip"), caBzip);
  EXPECT_EQ(CompressionAlgorithmByName("PPM"), caPPM);
  for (const char* unknown : {"LZMA", "", "NONE", "zlib2"}) EXPECT_EQ(CompressionAlgorithmByName(unknown), caNone);
  std::vector<uint8_t> out, back;
  EXPECT_FALSE(CompressBuffer(caNone, 1, Text(10).data(), 10, out));
  EXPECT_FALSE(CompressBuffer(caZlib, 1, nullptr, 0, out));
  for (uint8_t alg : {caZlib, caBzip}) {
    for (uint8_t mode = 1; mode <= 9; ++mode) {
      for (size_t n : {size_t{1}, size_t{4095}, size_t{100000}}) {
        for (const auto& input : {Text(n), Random(n)}) {
          ASSERT_TRUE(CompressBuffer(alg, mode, input.data(), input.size(), out)) << int(alg) << " " << int(mode);
          ASSERT_TRUE(DecompressBuffer(alg, out.data(), out.size(), input.size(), back));
          ASSERT_EQ(back, input);
        }
      }
    }
  }
}

TEST(Compression, DamagedInputIsRefusedNotTrusted) {
  const auto input = Text(50000);
  for (uint8_t alg : {caZlib, caBzip}) {
    std::vector<uint8_t> packed, back;
    ASSERT_TRUE(CompressBuffer(alg, 6, input.data(), input.size(), packed));
    std::mt19937 rng(3);
    for (int i = 0; i < 200; ++i) {
      auto bad = packed;
      switch (i % 3) {
        case 0: bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255); break;
        case 1: bad.resize(rng() % bad.size()); break;
        default: bad = Random(1 + rng() % 2000, static_cast<uint32_t>(i)); break;
      }
      if (bad.empty()) continue;
      if (DecompressBuffer(alg, bad.data(), bad.size(), input.size(), back)) {
        EXPECT_LE(back.size(), input.size() + 1);
      }
    }
    // Never more than asked for, whatever the stream says.
    EXPECT_FALSE(DecompressBuffer(alg, packed.data(), packed.size(), 1000, back));
  }
}

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
    std::vector<int32_t> sizes;
    for (const auto& b : s.Blocks()) sizes.push_back(b.UncompressedSize);
    EXPECT_EQ(sizes, c.blocks);
    EXPECT_GT(s.CompressionRate(), 50.0);
    // Reopened from what its owner stores.
    TORBCompressedBLOBStream again(base, false, false, s.Info());
    EXPECT_EQ(again.GetSize(), 250000);
    EXPECT_EQ(ReadAll(again), data);
  }
}

TEST(CompressedStream, ReadsAcrossBlocksAndKeepsTheLastBlock) {
  const auto data = Text(250000);
  TORBMemoryStream base;
  TORBCompressedStreamInfo info{102400, 0, 0, 0, caBzip, 3};
  TORBCompressedBLOBStream s(base, false, true, info);
  s.Write(data.data(), 250000);
  uint8_t buf[10];
  s.Seek(102395, soBeginning);
  ASSERT_EQ(s.Read(buf, 10), 10);
  EXPECT_EQ(0, std::memcmp(buf, &data[102395], 10));
  const int64_t before = s.Expansions();
  s.Seek(110000, soBeginning);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(s.Read(buf, 7), 7);  // small pieces of one block
  EXPECT_EQ(s.Expansions(), before);  // block 1 was already expanded
  s.Seek(0, soEnd);
  EXPECT_EQ(s.Read(buf, 10), 0);
}

TEST(CompressedStream, AppendOnlyWritesAtTheEndOfTheBlocks) {
  const auto data = Random(300000);
  TORBMemoryStream base;
  base.Write("prefix--", 8);  // the value starts inside a larger stream
  TORBCompressedStreamInfo info{65536, 0, 0, 8, caZlib, 6};
  TORBCompressedBLOBStream s(base, false, true, info);
  s.Write(data.data(), 100001);
  uint8_t buf[16];
  s.Seek(10, soBeginning);
  s.Read(buf, 16);  // moves the base stream's position
  EXPECT_EQ(s.Write(data.data(), 5), 0);  // below the size: refused
  s.Seek(0, soEnd);
  s.Write(data.data() + 100001, 199999);
  TORBCompressedBLOBStream again(base, false, false, s.Info());
  EXPECT_EQ(ReadAll(again), data);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(base.Data()), 8), "prefix--");
  // A gap is filled with zeros.
  again.Seek(300010, soBeginning);
  again.Write("x", 1);
  auto all = ReadAll(again);
  EXPECT_EQ(all.size(), 300011u);
  EXPECT_EQ(all[300005], 0);
  EXPECT_EQ(all[300010], 'x');
}

TEST(CompressedStream, GrowAndShrink) {
  const auto data = Text(200000);
  TORBMemoryStream base;
  TORBCompressedStreamInfo info{50000, 0, 0, 0, caZlib, 9};
  TORBCompressedBLOBStream s(base, false, true, info);
  s.Write(data.data(), 200000);
  s.SetSize(123456);  // cuts block 2 in the middle
  EXPECT_EQ(s.Blocks().size(), 3u);
  s.SetSize(100000);  // a block boundary
  EXPECT_EQ(s.Blocks().size(), 2u);
  s.SetSize(100100);
  TORBCompressedBLOBStream again(base, false, false, s.Info());
  auto all = ReadAll(again);
  ASSERT_EQ(all.size(), 100100u);
  EXPECT_TRUE(std::equal(all.begin(), all.begin() + 100000, data.begin()));
  EXPECT_TRUE(std::all_of(all.begin() + 100000, all.end(), [](uint8_t b) { return b == 0; }));
}

TEST(CompressedStream, DamageIsReported) {
  const auto data = Text(250000);
  TORBMemoryStream base;
  TORBCompressedStreamInfo info{102400, 0, 0, 0, caZlib, 5};
  TORBCompressedBLOBStream s(base, false, true, info);
  s.Write(data.data(), 250000);
  const auto stored = s.Info();
  const auto blocks = s.Blocks();
  std::vector<uint8_t> buf(1000);
  for (int64_t at : {int64_t{25}, int64_t{200}, blocks[1].CompressedSize / int64_t{2}}) {
    TORBMemoryStream copy;
    copy.Write(base.Data(), base.GetSize());
    copy.Data()[blocks[1].Offset + 20 + at] ^= 0x5A;
    TORBCompressedBLOBStream damaged(copy, false, false, stored);
    damaged.Seek(102400, soBeginning);
    int32_t code = CodeOf([&] { damaged.Read(buf.data(), 1000); });
    EXPECT_TRUE(code == 10087 || code == 10088 || code == 10089) << code;
  }
  // More blocks claimed than present.
  auto claimed = stored;
  claimed.BlockCount = 5;
  EXPECT_EQ(CodeOf([&] { TORBCompressedBLOBStream(base, false, false, claimed); }), 10082);
  TORBCompressedBLOBStream tolerant(base, true, false, claimed);
  EXPECT_EQ(tolerant.Info().BlockCount, 3);
  EXPECT_EQ(ReadAll(tolerant), data);
  // Uncompressed values must fit the base stream.
  TORBCompressedStreamInfo plain{0, 0, 999999999, 0, caNone, 0};
  EXPECT_EQ(CodeOf([&] { TORBCompressedBLOBStream(base, false, false, plain); }), 10081);
}

TEST(Streams, TemporaryStreamMovesToAFileAndKeepsItsPosition) {
  TORBTemporaryStream s(false), memOnly(true);
  const auto chunk = Random(600000);
  for (TORBTemporaryStream* t : {&s, &memOnly}) {
    t->Write(chunk.data(), 600000);
    EXPECT_FALSE(t->OnFile());
    t->Seek(1000, soBeginning);
    t->Seek(0, soEnd);
    t->Write(chunk.data(), 600000);  // passes 1,048,576
    EXPECT_EQ(t->Position(), 1200000);
    EXPECT_EQ(t->GetSize(), 1200000);
  }
  EXPECT_TRUE(s.OnFile());
  EXPECT_FALSE(memOnly.OnFile());
  uint8_t buf[4];
  s.Seek(600000 + 10, soBeginning);
  s.Read(buf, 4);
  EXPECT_EQ(0, std::memcmp(buf, &chunk[10], 4));
  EXPECT_EQ(CodeOf([&] { s.SetPositionChecked(-5, 10128); }), 10128);
  EXPECT_EQ(CodeOf([&] { s.ReadExactly(buf, 4, 10369); }), 0);
  s.Seek(0, soEnd);
  EXPECT_EQ(CodeOf([&] { s.ReadExactly(buf, 4, 10369); }), 10369);
}
