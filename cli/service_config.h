// What the service and root's commands share of the configuration file: loading it with every
// problem told, the checks before a start, and what the flag for kill-power says.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/driver_library.h"
#include "host/log.h"

namespace corvale {

// Tells a problem on standard error, or with `log` to the service manager's log (the Event Log
// has no standard error to read) with `messageId`.
void Explain(host::Logger* log, host::Priority priority, const std::string& text,
             int messageId = host::message_id::kStartFailed);
// The configuration, or nothing after every problem was told.
std::optional<host::Config> LoadOrExplain(const std::string& path, host::Logger* log = nullptr,
                                          int messageId = host::message_id::kStartFailed);
// Every check the service makes before it starts: its problems told, and true when none.
bool StartChecksPass(const host::Config& config, const std::string& path,
                     host::Logger* log = nullptr, int messageId = host::message_id::kStartFailed);

Setup SetupFrom(const host::Config& config);
// The driver's setup for one UPS on this machine's cable; none for one followed on a server.
Setup SetupFrom(const host::Config& config, const host::Config::Ups& ups);
// What kill-power needs, written into the flag when the shutdown is decided.
// What the flag tells kill-power: the one UPS, or where `units` has bits, each UPS of the file
// they name (in its order) that feeds this machine; empty when they name none.
std::string KillPowerText(const host::Config& config, std::uint64_t units = 0);
// The bits for the UPSes `units` (their indices), as KillPowerText and the root helper take them.
std::uint64_t UnitBits(const std::vector<std::size_t>& units);

}  // namespace corvale
