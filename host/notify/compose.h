// What a notice says on the wire, the same whichever system sends it: the headers and body of a
// webhook's or ntfy's request, a mail's text, and a failure's reason made safe to show.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "host/notify/sender.h"

namespace corvale::host::notify {

struct HttpRequest {
  std::vector<std::string> headers;  // "Name: value", each on one line
  std::string body;
};

// The POST for a webhook or an ntfy topic; `secret` is the bearer token, if any.
HttpRequest ComposeHttp(const Config::Notify& entry, const std::string& secret,
                        const Notice& notice, const Extras& extras);

// The whole mail, headers and text, lines ending in CRLF, as it goes after DATA (before any
// dot-stuffing).
std::string ComposeMail(const Config::Notify& entry, const Notice& notice, const Extras& extras,
                        std::chrono::system_clock::time_point now);

// A header's value on one line: a name or message never adds a header or a mail command.
std::string OneLine(std::string text);

// The reason without the URL's key (its path and query may be one) or the secret: a receiver or
// a library that repeats them must not put them in the log.
Delivery Hidden(Delivery delivery, const Config::Notify& entry, const std::string& secret);

}  // namespace corvale::host::notify
