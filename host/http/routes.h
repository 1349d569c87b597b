// What the HTTP endpoint answers, path by path, without a socket: tested and fuzzed on its own.
#pragma once

#include <string>

#include "host/status_board.h"

namespace corvale::host::http {

struct Reply {
  int status = 200;
  std::string contentType;
  std::string body;
};

// What GET (or HEAD) of `target` gets; /api/v1/events reads `historyFile` (empty: the recent
// events of the snapshot).
Reply Answer(const std::string& target, const StatusSnapshot& snapshot,
             const std::string& historyFile, const std::string& version);
// A short text reply, for errors.
Reply Text(int status, const std::string& text);

// The status page: one self-contained HTML file.
extern const char* const kStatusPage;

}  // namespace corvale::host::http
