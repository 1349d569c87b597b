// What the network servers (NUT, HTTP) share about listening and accepting.
#pragma once

#include <asio.hpp>
#include <cerrno>
#include <string>

namespace corvale::host {

// "127.0.0.1:3493", "[::1]:3493", "localhost:3493" as host and port; "*" is every address.
inline bool SplitListenAddress(const std::string& text, std::string* host, std::string* port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = text.substr(0, colon);
  *port = text.substr(colon + 1);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  if (*host == "*") *host = "";  // every address, of both families
  return true;
}

// An accept that failed for want of descriptors or memory: worth a pause, not a stop. By the
// native values, which asio's enumerators carry on every OS.
inline bool OutOfDescriptors(const std::error_code& error) {
  const int code = error.value();
  return error && (code == asio::error::no_descriptors || code == asio::error::no_buffer_space ||
                   code == asio::error::no_memory || code == ENFILE);
}

}  // namespace corvale::host
