// Shared test helpers: scratch directories, whole-file reads and running the orb tool.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

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
// Runs the orb tool with the given arguments (no shell involved).
RunResult RunOrb(const std::vector<std::string>& args);

}  // namespace orbtest
