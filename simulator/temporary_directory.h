// A private folder under the system's temporary directory (or under `parent`), removed with
// everything in it when the object goes away.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace corvale {

class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(const std::string& prefix = "corvale",
                              const std::filesystem::path& parent = {}) {
    const std::filesystem::path under =
        parent.empty() ? std::filesystem::temp_directory_path() : parent;
    std::filesystem::create_directories(under);
    std::string pattern = (under / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a temporary folder");
    }
    path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace corvale
