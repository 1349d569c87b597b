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
// it cannot be reached in `timeout` or does not know the UPS. Stale data gives an empty list.
std::optional<Variables> QueryVariables(const std::string& address, const std::string& ups,
                                        std::chrono::milliseconds timeout, std::string* error);

// Logs in at `address` as `user` and asks the service for a drill of UPS `ups`; its report's
// lines (BEGIN to END). Nothing, with `error` set, when it refuses or does not answer in `timeout`.
std::optional<std::vector<std::string>> AskForDrill(const std::string& address,
                                                    const std::string& ups, const std::string& user,
                                                    const std::string& password,
                                                    std::chrono::milliseconds timeout,
                                                    std::string* error);

// The driver's state (1, 2, 4, 8) for a NUT "ups.status".
std::uint32_t StateFromStatus(const std::string& status);

}  // namespace corvale::nut
