// A small NUT client, for `corvale-ups status` to ask a running service instead of the port it
// holds.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "host/nut/nut_session.h"

namespace corvale::nut {

// The UPS's variables from the server at `address` ("host:port"); nothing, with `error` set, when
// it cannot be reached in `timeout` or answers an error (then `refused` is set, and its words are
// in `error` as it sent them: filter them before a terminal shows them). Stale data gives an
// empty list.
std::optional<Variables> QueryVariables(const std::string& address, const std::string& ups,
                                        std::chrono::milliseconds timeout, std::string* error,
                                        bool* refused = nullptr);

// The driver's state (1, 2, 4, 8) for a NUT "ups.status".
std::uint32_t StateFromStatus(const std::string& status);

}  // namespace corvale::nut
