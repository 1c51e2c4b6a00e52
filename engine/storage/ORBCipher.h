// Page encryption: the eight cipher settings, key derivation and the chaining
// mode of the file format (not CBC: F = C xor F, and a tail that is always
// xored with E(F)).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "orb/ORBPassword.h"

namespace orb {

constexpr int kCipherCount = 8;

// "Rijndael_128" .. "Square"; nullptr for an id above 7.
const char* CipherName(uint8_t cipherId);
// Case-insensitive lookup of a setting's name; -1 when unknown.
int CipherIdByName(std::string_view name);
bool IsValidCipherId(unsigned cipherId);

// One cipher setting with its key schedule set up once. Every Encrypt and
// Decrypt call starts from the initial vector, so calls are independent.
// Const operations are safe to call from several threads.
class TORBCipher {
 public:
  // Throws EORBException "Invalid database format" (20237) for an id above 7.
  TORBCipher(uint8_t cipherId, std::string_view password);
  ~TORBCipher();
  TORBCipher(const TORBCipher&) = delete;
  TORBCipher& operator=(const TORBCipher&) = delete;

  uint8_t Id() const { return id_; }
  size_t BlockSize() const;

  // Transform `len` bytes in place. Never throws: a failure answers false.
  bool Encrypt(uint8_t* buf, size_t len) const;
  bool Decrypt(uint8_t* buf, size_t len) const;

 private:
  struct Impl;
  uint8_t id_;
  std::unique_ptr<Impl> impl_;
};

// Independent one-shot transforms (key derived for the call). False on any
// failure, including an unknown cipher id.
bool EncryptPageData(uint8_t cipherId, uint8_t* buf, size_t len, const TORBPassword& password);
bool DecryptPageData(uint8_t cipherId, uint8_t* buf, size_t len, const TORBPassword& password);

}  // namespace orb
