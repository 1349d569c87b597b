// A small HTTP client, for the command line to read a running service's own JSON.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace corvale::host::http {

// The body of GET `target` at `address` ("host:port"), when it answers 200 within `timeout`;
// otherwise nothing, with `error` set.
std::optional<std::string> FetchBody(const std::string& address, const std::string& target,
                                     std::chrono::milliseconds timeout, std::string* error);

}  // namespace corvale::host::http
