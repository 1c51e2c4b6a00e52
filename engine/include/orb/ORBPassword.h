// The database password: key material text and cipher setting.
#pragma once
#include <cstdint>
#include <string>

namespace orb {

struct TORBPassword {
  std::string Password;  // bytes are the key material; empty = not encrypted
  uint8_t CipherID = 0;  // 0..7

  bool operator==(const TORBPassword&) const = default;
};

}  // namespace orb
