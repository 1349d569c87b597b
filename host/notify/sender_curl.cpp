// Delivery with libcurl: HTTP(S) for webhooks and ntfy, SMTP with STARTTLS (or TLS on connect)
// for mail. Every try is bounded in time; certificates are checked.
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "host/events.h"
#include "host/lookup.h"
#include "host/notify/sender.h"

namespace corvale::host::notify {

namespace {

constexpr long kConnectSeconds = 5;
constexpr long kTrySeconds = 10;
constexpr std::size_t kMostReplyBytes = 64 * 1024;

void InitializeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Reply {
  std::string body;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* reply) {
  auto& body = static_cast<Reply*>(reply)->body;
  const std::size_t bytes = size * count;
  if (body.size() < kMostReplyBytes)
    body.append(data, std::min(bytes, kMostReplyBytes - body.size()));
  return bytes;
}

struct Upload {
  std::string text;
  std::size_t at = 0;
};

std::size_t Feed(char* into, std::size_t size, std::size_t count, void* upload) {
  auto& source = *static_cast<Upload*>(upload);
  const std::size_t bytes = std::min(size * count, source.text.size() - source.at);
  std::memcpy(into, source.text.data() + source.at, bytes);
  source.at += bytes;
  return bytes;
}

// The reason in words an admin can act on; libcurl's own text says which step failed.
std::string Reason(CURLcode code, const char* detail) {
  const std::string said = detail[0] != '\0' ? detail : curl_easy_strerror(code);
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "DNS: " + said;
    case CURLE_COULDNT_CONNECT:
      return "refused or unreachable: " + said;
    case CURLE_OPERATION_TIMEDOUT:
      return "timed out: " + said;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_USE_SSL_FAILED:
      return "TLS: " + said;
    case CURLE_LOGIN_DENIED:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UPLOAD_FAILED:
      return "the server: " + said;
    default:
      return said;
  }
}

const char* NtfyPriority(const Notice& notice) {
  if (notice.priority >= 5) return "urgent";
  if (notice.priority >= 4) return "high";
  return "default";
}

// "Wed, 09 Dec 2026 08:30:08 +0000", as mail's Date header wants it.
std::string MailDate(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss time{floor<seconds>(when - day)};
  char text[48];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d +0000",
                kDays[weekday{day}.c_encoding()], static_cast<unsigned>(date.day()),
                kMonths[static_cast<unsigned>(date.month()) - 1], static_cast<int>(date.year()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

// A header's value on one line: a name or message never adds a header or a mail command.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < ' ' || c == '\x7f') c = ' ';
  }
  return text;
}

int Progress(void* extras, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto& cancelled = static_cast<const Extras*>(extras)->cancelled;
  return cancelled && cancelled() ? 1 : 0;
}

// The receiver's addresses, looked up within the time a connection has and handed to libcurl:
// its own resolver would hold the try (and the service's stop) for as long as a silent DNS server
// makes the system's resolver wait. Nothing when there is nothing to look up (an address), or the
// URL is for libcurl to refuse; a failed delivery when the name is not found in time.
std::optional<Delivery> LookUpReceiver(CURL* curl, const std::string& url, const Extras& extras,
                                       curl_slist** pinned) {
  CURLU* parsed = curl_url();
  char* host = nullptr;
  char* port = nullptr;
  const bool split = parsed != nullptr &&
                     curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
                     curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
                     curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK;
  const std::string name = split ? host : "";
  const std::string service = split ? port : "";
  curl_free(host);
  curl_free(port);
  curl_url_cleanup(parsed);
  if (name.empty() || name.front() == '[') return std::nullopt;
  const auto found = LookUp(name, service, std::chrono::seconds(kConnectSeconds), extras.cancelled);
  if (found.error == asio::error::timed_out) {
    return Delivery{
        false, "DNS: no answer for " + name + " within " + std::to_string(kConnectSeconds) + " s"};
  }
  if (found.error || found.endpoints.empty()) {
    return Delivery{false, "DNS: cannot find " + name + ": " + found.error.message()};
  }
  std::string entry = name + ":" + service + ":";
  for (std::size_t at = 0; at < found.endpoints.size(); ++at) {
    const auto address = found.endpoints[at].address();
    entry += (at == 0 ? "" : ",") +
             (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string());
  }
  *pinned = curl_slist_append(nullptr, entry.c_str());
  curl_easy_setopt(curl, CURLOPT_RESOLVE, *pinned);
  return std::nullopt;
}

std::string Body(const Notice& notice, const Extras& extras) {
  std::string text = notice.message;
  if (!extras.late.empty()) text += " (" + extras.late + ")";
  if (extras.dropped != 0) {
    text +=
        " (" + std::to_string(extras.dropped) + " older notices were dropped: the outbox was full)";
  }
  return text;
}

}  // namespace

bool SendingAvailable(std::string*) {
  return true;
}

namespace {

Delivery TrySending(const Config::Notify& entry, const std::string& secret, const Notice& notice,
                    const Extras& extras) {
  InitializeOnce();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return {false, "libcurl could not start"};
  char detail[CURL_ERROR_SIZE] = "";
  Reply reply;
  Upload upload;
  curl_slist* headers = nullptr;
  curl_slist* recipients = nullptr;
  const auto header = [&](const std::string& line) {
    headers = curl_slist_append(headers, OneLine(line).c_str());
  };
  curl_easy_setopt(curl, CURLOPT_URL, entry.url.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTrySeconds);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,smtp,smtps");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  if (!entry.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, entry.caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &extras);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  const std::string subject = OneLine(Subject(notice));
  const std::string text = Body(notice, extras);
  std::string body;
  if (entry.kind == Config::Notify::Kind::kSmtp) {
    // A login never goes without TLS, insecure or not: a server that offers no STARTTLS (or a
    // man in the middle who strips it) would read the password.
    const bool clearAllowed = entry.insecure && entry.user.empty();
    curl_easy_setopt(
        curl, CURLOPT_USE_SSL,
        clearAllowed ? static_cast<long>(CURLUSESSL_TRY) : static_cast<long>(CURLUSESSL_ALL));
    if (!entry.user.empty()) {
      curl_easy_setopt(curl, CURLOPT_USERNAME, entry.user.c_str());
      curl_easy_setopt(curl, CURLOPT_PASSWORD, secret.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, ("<" + entry.from + ">").c_str());
    std::string to;
    for (const auto& address : entry.to) {
      recipients = curl_slist_append(recipients, ("<" + address + ">").c_str());
      to += (to.empty() ? "" : ", ") + address;
    }
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    upload.text = "Date: " + MailDate(std::chrono::system_clock::now()) +
                  "\r\nMIME-Version: 1.0\r\nFrom: " + entry.from + "\r\nTo: " + to +
                  "\r\nSubject: " + subject + "\r\nMessage-ID: <" + OneLine(notice.id) +
                  "@corvale-ups>\r\nX-Corvale-Event: " + OneLine(notice.event) +
                  "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + subject + "\r\n\r\n" +
                  text + "\r\n\r\nSent by corvale-ups on " + extras.host + ".\r\n";
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, Feed);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  } else {
    header("X-Corvale-Notice-Id: " + notice.id);
    header("Idempotency-Key: " + notice.id);
    if (!secret.empty()) header("Authorization: Bearer " + secret);
    if (entry.kind == Config::Notify::Kind::kNtfy) {
      header("Title: " + subject);
      header(std::string("Priority: ") + NtfyPriority(notice));
      header("Tags: " + std::string(notice.priority >= 4 ? "warning," : "") +
             OneLine(notice.event));
      body = text;
      header("Content-Type: text/plain; charset=utf-8");
    } else {
      nlohmann::json json;
      if (entry.format == "text") {
        json = {{"text", subject + ": " + text}};
      } else {
        json = {{"id", notice.id},
                {"event", notice.event},
                {"ups", notice.ups},
                {"state", notice.state},
                {"message", text},
                {"subject", subject},
                {"time", UtcTimestamp(notice.time)},
                {"sequence", notice.sequence},
                {"host", extras.host},
                {"late", !extras.late.empty()}};
      }
      body = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      header("Content-Type: application/json");
    }
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  }
  curl_slist* pinned = nullptr;
  if (auto unfound = LookUpReceiver(curl, entry.url, extras, &pinned)) {
    curl_slist_free_all(headers);
    curl_slist_free_all(recipients);
    curl_easy_cleanup(curl);
    return *unfound;
  }
  const CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  // Seconds, from either form of the header (a date is counted from now); 0 when it is absent.
  curl_off_t retryAfter = 0;
  curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &retryAfter);
  curl_slist_free_all(headers);
  curl_slist_free_all(recipients);
  curl_slist_free_all(pinned);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK) return {false, Reason(code, detail)};
  if (entry.kind != Config::Notify::Kind::kSmtp && (status < 200 || status >= 300)) {
    std::string first = reply.body.substr(0, reply.body.find('\n'));
    if (first.size() > 200) first.resize(200);
    Delivery failed{false, "HTTP " + std::to_string(status) + (first.empty() ? "" : ": " + first)};
    // 408 (it timed out reading us) and 429 (too many) are the receiver's moment, not the notice.
    failed.refused = status >= 400 && status < 500 && status != 408 && status != 429;
    if (retryAfter > 0) {
      // Bounded here already: a year of seconds must not overflow what counts them.
      failed.retryAfter = std::chrono::seconds(std::min<curl_off_t>(retryAfter, 86400));
    }
    return failed;
  }
  return {true, ""};
}

}  // namespace

Delivery Send(const Config::Notify& entry, const std::string& secret, const Notice& notice,
              const Extras& extras) {
  Delivery delivery = TrySending(entry, secret, notice, extras);
  // The URL's path and query may be the key (a hook's, a topic): a receiver or libcurl that
  // repeats them must not put them in the log.
  const auto scheme = entry.url.find("://");
  const auto path =
      scheme == std::string::npos ? std::string::npos : entry.url.find_first_of("/?", scheme + 3);
  const std::string key = path == std::string::npos ? "" : entry.url.substr(path + 1);
  for (const std::string& hidden : {entry.url, key}) {
    if (hidden.size() < 4) continue;
    for (auto at = delivery.reason.find(hidden); at != std::string::npos;
         at = delivery.reason.find(hidden, at + 3)) {
      delivery.reason.replace(at, hidden.size(), "...");
    }
  }
  if (!secret.empty()) {
    for (auto at = delivery.reason.find(secret); at != std::string::npos;
         at = delivery.reason.find(secret, at + 3)) {
      delivery.reason.replace(at, secret.size(), "...");
    }
  }
  return delivery;
}

}  // namespace corvale::host::notify
