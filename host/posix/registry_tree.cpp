#include "host/posix/registry_tree.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace corvale {

namespace fs = std::filesystem;

fs::path RegistryTree::KeyDirectory(std::string_view key) const {
  std::string relative(key);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  return root_ / relative;
}

void RegistryTree::CreateServiceKeys() const {
  fs::create_directories(KeyDirectory(kStatusKey));
}

bool RegistryTree::HasKey(std::string_view key) const {
  return fs::is_directory(KeyDirectory(key));
}

void RegistryTree::Write(std::string_view key, std::string_view name, std::string_view text) const {
  const fs::path directory = KeyDirectory(key);
  const fs::path temporary =
      directory / ("." + std::string(name) + ".tool." + std::to_string(getpid()));
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text << '\n';
    out.close();
    if (!out) {
      throw fs::filesystem_error("cannot write registry value", temporary,
                                 std::make_error_code(std::errc::io_error));
    }
  }
  fs::rename(temporary, directory / name);
}

std::optional<std::string> RegistryTree::Read(std::string_view key, std::string_view name) const {
  std::ifstream in(KeyDirectory(key) / name, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  std::string value = text.str();
  if (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

}  // namespace corvale
