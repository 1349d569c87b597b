// What each notification entry has done, for the page, /metrics and the JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvale::host::notify {

struct NotifyFacts {
  std::string name;
  std::uint64_t sent = 0, failed = 0;
  std::uint64_t refused = 0;  // notices given up because the receiver refused each try
  std::size_t queued = 0;
  std::optional<double> oldestQueuedSeconds;
  std::string problem;  // the last try's reason, while notices wait
};

}  // namespace corvale::host::notify
