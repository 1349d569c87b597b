// A log written to a temporary file (host::Logger's second argument), read back by tests.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>

namespace corvale::testing {

inline std::string Logged(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

// The log's lines without their time stamps.
inline std::string Messages(std::FILE* file) {
  std::istringstream lines(Logged(file));
  std::string messages;
  for (std::string line; std::getline(lines, line);) {
    messages += line.substr(line.find("corvale-ups: ") + 13) + "\n";
  }
  return messages;
}

// How often `what` stands in `text`.
inline std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

}  // namespace corvale::testing
