// The service's state in the forms the HTTP endpoint serves: the Prometheus text exposition
// format and JSON. Pure functions of a snapshot, so that they are tested without a server.
#pragma once

#include <string>
#include <vector>

#include "host/driver_library.h"
#include "host/history.h"
#include "host/status_board.h"

namespace corvale::host::http {

// "text/plain; version=0.0.4" for Prometheus.
std::string Metrics(const StatusSnapshot& snapshot, const std::string& version);
// GET /api/v1/status. `names`: with the plan's NUT users and wake-up addresses, for root's
// commands on this machine alone; the network never sees them.
std::string StatusJson(const StatusSnapshot& snapshot, const std::string& version,
                       bool names = false);
// GET /api/v1/events: the records as a JSON array, oldest first.
std::string EventsJson(const std::vector<HistoryRecord>& records);

}  // namespace corvale::host::http
