// One try at delivering a notice to one receiver: a webhook, an ntfy topic or a mail server.
// Linux sends with libcurl, Windows with WinHTTP and Schannel; notices wait in the outbox where
// a build cannot send.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "host/config.h"
#include "host/notify/outbox.h"

namespace corvale::host::notify {

// What a notice says beyond its message: how late it goes, notices dropped before it.
struct Extras {
  std::string host;  // this machine's name
  std::string late;  // "sent 6 min late: ..." or empty
  std::size_t dropped = 0;
  std::function<bool()> cancelled;  // polled during the try: true ends it (the service stops)
};

struct Delivery {
  bool delivered = false;
  std::string reason;  // why not: DNS, refused, TLS, an HTTP status and the body's first line, an
                       // SMTP reply; never a secret
  // The receiver refused this notice itself (an HTTP 4xx but 408 and 429): trying it again soon
  // would not mend that, while the others may well go.
  bool refused = false;
  // How long the receiver asked to be left alone (Retry-After, in seconds or as a date); nothing
  // when it did not say.
  std::optional<std::chrono::seconds> retryAfter = {};
};

// Whether this build can send at all; why not otherwise.
bool SendingAvailable(std::string* why);

// What this system's sender does otherwise than the entry asks, in words for check-config;
// nothing when it does all of it.
std::optional<std::string> EntryLimit(const Config::Notify& entry);

// `secret`: the entry's token or password, read from the file or the configuration.
Delivery Send(const Config::Notify& entry, const std::string& secret, const Notice& notice,
              const Extras& extras);

// The secret of an entry: its token or password, from the file it names or the configuration;
// nothing, with `error` set, when the file cannot be read.
std::optional<std::string> ReadSecret(const Config::Notify& entry, std::string* error);

// The words a notice shows: "rack1: on battery since 14:02 (UTC)".
std::string Subject(const Notice& notice);

}  // namespace corvale::host::notify
