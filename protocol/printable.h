// Serial bytes as readable text: the carriage return as "\r", other control and non-ASCII bytes
// as "\xNN". Used wherever frames are logged or compared: by the scripted back end, the
// simulator and the tests. Never compiled into the driver itself.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace corvale {

inline std::string Printable(std::string_view bytes) {
  std::string text;
  for (const unsigned char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      text += hex;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

}  // namespace corvale
