#include <gtest/gtest.h>

#include <cryptopp/aes.h>
#include <cryptopp/blowfish.h>
#include <cryptopp/des.h>
#include <cryptopp/modes.h>
#include <cryptopp/ripemd.h>
#include <cryptopp/square.h>
#include <cryptopp/twofish.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orb/ORBExcept.h"
#include "storage/ORBCipher.h"

namespace orb {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kDataArea = 4096 - 40;

Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

template <class Hash>
Bytes Digest(const std::string& password) {
  Bytes d(Hash::DIGESTSIZE);
  Hash().CalculateDigest(d.data(), reinterpret_cast<const CryptoPP::byte*>(password.data()),
                         password.size());
  return d;
}

// A single block encryption built straight from the library's ECB mode.
struct RawCipher {
  size_t block;
  std::function<void(uint8_t*)> encrypt;  // in place, one block
};

template <class Algo>
RawCipher Ecb(size_t block, const Bytes& key) {
  auto e = std::make_shared<typename CryptoPP::ECB_Mode<Algo>::Encryption>(key.data(), key.size());
  return {block, [e, block](uint8_t* p) { e->ProcessData(p, p, block); }};
}

// Three DES passes over a 24-byte block with the second half of A exchanged
// with the first half of B between passes; K3 is always zero bytes.
RawCipher HandComposedTripleDes(const Bytes& digest) {
  const Bytes k1(digest.begin(), digest.begin() + 8);
  const Bytes k2(digest.begin() + 8, digest.begin() + 16);
  const Bytes k3(8, 0);
  auto e1 = std::make_shared<CryptoPP::ECB_Mode<CryptoPP::DES>::Encryption>(k1.data(), 8);
  auto d2 = std::make_shared<CryptoPP::ECB_Mode<CryptoPP::DES>::Decryption>(k2.data(), 8);
  auto e3 = std::make_shared<CryptoPP::ECB_Mode<CryptoPP::DES>::Encryption>(k3.data(), 8);
  return {24, [=](uint8_t* p) {
            e1->ProcessData(p, p, 24);
            std::swap_ranges(p + 4, p + 8, p + 8);
            d2->ProcessData(p, p, 24);
            std::swap_ranges(p + 4, p + 8, p + 8);
            e3->ProcessData(p, p, 24);
          }};
}

RawCipher MakeRaw(uint8_t id, const std::string& pw) {
  using namespace CryptoPP;
  switch (id) {
    case 0: return Ecb<AES>(16, Digest<RIPEMD128>(pw));
    case 1: return Ecb<AES>(16, Digest<RIPEMD256>(pw));
    case 2: {
      Bytes d = Digest<RIPEMD128>(pw);
      d.resize(8);
      return Ecb<DES>(8, d);
    }
    case 3: return HandComposedTripleDes(Digest<RIPEMD128>(pw));
    case 4: return Ecb<Blowfish>(8, Digest<RIPEMD256>(pw));
    case 5: return Ecb<Twofish>(16, Digest<RIPEMD128>(pw));
    case 6: return Ecb<Twofish>(16, Digest<RIPEMD256>(pw));
    case 7: return Ecb<Square>(16, Digest<RIPEMD128>(pw));
  }
  throw std::logic_error("no such cipher");
}

// The chaining written out plainly: C = E(P ^ F), F ^= C; a short tail is
// xored with E(F).
Bytes ReferenceEncrypt(const RawCipher& raw, Bytes data) {
  const size_t b = raw.block;
  Bytes f(b, 0xFF);
  size_t pos = 0;
  for (; data.size() - pos >= b; pos += b) {
    Bytes x(b);
    for (size_t i = 0; i < b; ++i) x[i] = data[pos + i] ^ f[i];
    raw.encrypt(x.data());
    for (size_t i = 0; i < b; ++i) {
      data[pos + i] = x[i];
      f[i] ^= x[i];
    }
  }
  if (pos < data.size()) {
    Bytes k = f;
    raw.encrypt(k.data());
    for (size_t i = pos; i < data.size(); ++i) data[i] ^= k[i - pos];
  }
  return data;
}

Bytes Encrypted(const TORBCipher& c, Bytes data) {
  EXPECT_TRUE(c.Encrypt(data.data(), data.size()));
  return data;
}

Bytes Decrypted(const TORBCipher& c, Bytes data) {
  EXPECT_TRUE(c.Decrypt(data.data(), data.size()));
  return data;
}

TEST(CipherTest, NamesAndIds) {
  const char* names[] = {"Rijndael_128", "Rijndael_256", "DES_Single", "DES_Triple",
                         "Blowfish",     "Twofish_128",  "Twofish_256", "Square"};
  const size_t blocks[] = {16, 16, 8, 24, 8, 16, 16, 16};
  for (uint8_t id = 0; id < kCipherCount; ++id) {
    EXPECT_STREQ(CipherName(id), names[id]);
    EXPECT_EQ(CipherIdByName(names[id]), id);
    EXPECT_TRUE(IsValidCipherId(id));
    EXPECT_EQ(TORBCipher(id, "x").BlockSize(), blocks[id]) << names[id];
  }
  EXPECT_EQ(CipherIdByName("rijndael_256"), 1);
  EXPECT_EQ(CipherIdByName("des_TRIPLE"), 3);
  EXPECT_EQ(CipherIdByName("Rijndael"), -1);
  EXPECT_EQ(CipherIdByName(""), -1);
  EXPECT_EQ(CipherName(8), nullptr);
  EXPECT_FALSE(IsValidCipherId(8));
  EXPECT_FALSE(IsValidCipherId(255));
}

TEST(CipherTest, UnknownIdIsRejected) {
  for (uint8_t id : {8, 255}) {
    try {
      TORBCipher c(id, "pw");
      ADD_FAILURE() << "constructed cipher " << int(id);
    } catch (const EORBException& e) {
      EXPECT_EQ(e.NativeErrorCode(), 20237);
      EXPECT_EQ(e.Text(), "Invalid database format");
    }
    const Bytes plain = RandomBytes(100, id);
    Bytes buf = plain;
    EXPECT_FALSE(EncryptPageData(id, buf.data(), buf.size(), {"pw", id}));
    EXPECT_FALSE(DecryptPageData(id, buf.data(), buf.size(), {"pw", id}));
    EXPECT_EQ(buf, plain);
  }
}

// Lengths around one block, across the 4080-byte bulk decryption chunk, and
// the default page data area.
std::vector<size_t> AwkwardLengths(size_t b) {
  return {0, 1, b - 1, b, b + 1, 3 * b + 5, 256, 1000, kDataArea, 4080, 4081, 9001};
}

TEST(CipherTest, EveryCipherRoundTripsAwkwardLengths) {
  for (uint8_t id = 0; id < kCipherCount; ++id) {
    const TORBCipher c(id, "correct horse");
    for (size_t len : AwkwardLengths(c.BlockSize())) {
      SCOPED_TRACE(testing::Message() << CipherName(id) << " len " << len);
      const Bytes plain = RandomBytes(len, unsigned(len * 8 + id));
      const Bytes enc = Encrypted(c, plain);
      if (len >= 8) {
        EXPECT_NE(enc, plain);
      }
      EXPECT_EQ(Decrypted(c, enc), plain);
    }
  }
}

TEST(CipherTest, EveryCipherMatchesReferenceChaining) {
  const std::string pw = "Tr0ub4dor&3";
  for (uint8_t id = 0; id < kCipherCount; ++id) {
    const RawCipher raw = MakeRaw(id, pw);
    const TORBCipher c(id, pw);
    for (size_t len : {size_t{1}, raw.block, raw.block + 3, kDataArea, size_t{9001}}) {
      SCOPED_TRACE(testing::Message() << CipherName(id) << " len " << len);
      const Bytes plain = RandomBytes(len, unsigned(len + 100 * id));
      const Bytes expected = ReferenceEncrypt(raw, plain);
      EXPECT_EQ(Encrypted(c, plain), expected);

      Bytes buf = plain;
      ASSERT_TRUE(EncryptPageData(id, buf.data(), buf.size(), {pw, id}));
      EXPECT_EQ(buf, expected);
      ASSERT_TRUE(DecryptPageData(id, buf.data(), buf.size(), {pw, id}));
      EXPECT_EQ(buf, plain);
    }
  }
}

TEST(CipherTest, EachCallStartsFromTheInitialVector) {
  const Bytes plain = RandomBytes(kDataArea, 7);
  for (uint8_t id = 0; id < kCipherCount; ++id) {
    SCOPED_TRACE(CipherName(id));
    const TORBCipher c(id, "pw");
    const Bytes first = Encrypted(c, plain);
    EXPECT_EQ(Encrypted(c, plain), first);
    EXPECT_EQ(Encrypted(TORBCipher(id, "pw"), plain), first);
  }
}

TEST(CipherTest, WrongPasswordGivesDifferentData) {
  const Bytes plain = RandomBytes(kDataArea, 3);
  for (uint8_t id = 0; id < kCipherCount; ++id) {
    SCOPED_TRACE(CipherName(id));
    const TORBCipher right(id, "secret");
    const TORBCipher wrong(id, "Secret");
    const Bytes enc = Encrypted(right, plain);
    EXPECT_NE(Encrypted(wrong, plain), enc);
    EXPECT_NE(Decrypted(wrong, enc), plain);
  }
}

TEST(CipherTest, SharedInstanceIsSafeAcrossThreads) {
  const Bytes plain = RandomBytes(kDataArea, 11);
  for (uint8_t id : {0, 3}) {
    const TORBCipher c(id, "threads");
    const Bytes expected = Encrypted(c, plain);
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 100; ++i) {
          Bytes buf = plain;
          if (!c.Encrypt(buf.data(), buf.size()) || buf != expected) ++failures[t];
          if (!c.Decrypt(buf.data(), buf.size()) || buf != plain) ++failures[t];
        }
      });
    }
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0) << CipherName(id);
  }
}

}  // namespace
}  // namespace orb
