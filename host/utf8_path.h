// Paths as the configuration file and the command line give them: UTF-8 text. A plain
// std::string handed to std::filesystem or a file stream is read in the system's narrow code page,
// which on Windows is not UTF-8 ("Störung" would name another folder); these say which it is.
#pragma once

#include <filesystem>
#include <string>

namespace corvale::host {

inline std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace corvale::host
