// Files and folders of the process harness: a temporary folder that cleans up after
// itself, and whole-file reads and writes. Used by the end-to-end tests and the load
// generator; any thread may call these.
#pragma once

#include <string>
#include <string_view>

namespace harness {

// A new folder under the system's temporary folder, removed with everything in it
// when the object goes (unless Keep() was called). Path() is empty when it could not
// be made.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "pelthollow");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Leaves the folder in place when the object goes.
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

// A whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// The last `bytes` bytes of a file (all of it when shorter); empty when unreadable.
std::string Tail(const std::string& path, std::size_t bytes);

// Replaces the file's content with `bytes` (mode 0600 when it is made). Does nothing
// when the file cannot be opened.
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace harness
