// What a client controls on the HTTP endpoint once a request has been parsed: its target (path and
// query), answered from a fixed snapshot; and what a torn or tampered history file holds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/history.h"
#include "host/http/routes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  static const corvale::host::StatusSnapshot snapshot = [] {
    corvale::host::StatusSnapshot made;
    made.ups = "fuzz";
    made.recentEvents.push_back({{}, "online", "fuzz", 1, "the UPS runs on utility power", {}});
    return made;
  }();
  const auto reply = corvale::host::http::Answer(input, snapshot, "", "fuzz");
  if (reply.status != 200 && reply.status != 400 && reply.status != 404) __builtin_trap();
  if (const auto record = corvale::host::ParseHistoryLine(input)) {
    // A record read back is written as a line that reads back the same.
    const auto again = corvale::host::ParseHistoryLine(corvale::host::HistoryLine(*record));
    if (!again || again->event != record->event || again->message != record->message) {
      __builtin_trap();
    }
  }
  corvale::host::ParseTimestamp(input);
  return 0;
}
