// Shared test helpers: scratch directories, whole-file reads and running the orb tool.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "orb/ORBExcept.h"

namespace orbtest {

// A fresh directory removed (with its contents) when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

struct RunResult {
  int status;
  std::string out;
  std::string err;
};
// The native code of the engine error `f` raises; 0 when it raises none.
template <class F>
int32_t CodeOf(F f) {
  try {
    f();
  } catch (const orb::EORBException& e) {
    return e.NativeErrorCode();
  }
  return 0;
}

// The full message of the engine error `f` raises; empty when it raises none.
template <class F>
std::string MessageOf(F f) {
  try {
    f();
  } catch (const orb::EORBException& e) {
    return e.Message();
  }
  return "";
}

// Runs the orb tool with the given arguments (no shell involved).
RunResult RunOrb(const std::vector<std::string>& args);

}  // namespace orbtest
