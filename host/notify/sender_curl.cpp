// Delivery with libcurl: HTTP(S) for webhooks and ntfy, SMTP with STARTTLS (or TLS on connect)
// for mail. Every try is bounded in time; certificates are checked.
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>

#include "host/events.h"
#include "host/host_os.h"
#include "host/lookup.h"
#include "host/notify/sender.h"

namespace corvale::host::notify {

namespace {

constexpr long kConnectSeconds = 5;
constexpr long kTrySeconds = 10;
constexpr std::size_t kMostReplyBytes = 64 * 1024;

// libcurl, loaded with the first notice or check: a machine without [[notify]] (an agent, most
// primaries) never maps it, nor the two dozen libraries it brings, some 4 MiB resident.
struct Api {
  decltype(&curl_global_init) globalInit;
  decltype(&curl_easy_init) init;
  decltype(&curl_easy_setopt) setopt;
  decltype(&curl_easy_perform) perform;
  decltype(&curl_easy_getinfo) getinfo;
  decltype(&curl_easy_cleanup) cleanup;
  decltype(&curl_easy_strerror) strerror;
  decltype(&curl_slist_append) slistAppend;
  decltype(&curl_slist_free_all) slistFree;
  decltype(&curl_url) url;
  decltype(&curl_url_set) urlSet;
  decltype(&curl_url_get) urlGet;
  decltype(&curl_url_cleanup) urlCleanup;
  decltype(&curl_free) free;
};

const Api* api = nullptr;  // set once, by Load

bool Load(std::string* why) {
  static std::once_flag once;
  static Api loaded;
  static std::string failure;
  std::call_once(once, [] {
    std::string error;
    static std::unique_ptr<SharedLibrary> library = LoadSharedLibrary("libcurl.so.4", &error);
    if (!library) {
      failure = "libcurl is not installed (" + error + "): apt install libcurl4";
      return;
    }
    bool complete = true;
    const auto find = [&](const char* name, auto& out) {
      void* symbol = library->Find(name);
      complete = complete && symbol != nullptr;
      out = reinterpret_cast<std::remove_reference_t<decltype(out)>>(symbol);
    };
    find("curl_global_init", loaded.globalInit);
    find("curl_easy_init", loaded.init);
    find("curl_easy_setopt", loaded.setopt);
    find("curl_easy_perform", loaded.perform);
    find("curl_easy_getinfo", loaded.getinfo);
    find("curl_easy_cleanup", loaded.cleanup);
    find("curl_easy_strerror", loaded.strerror);
    find("curl_slist_append", loaded.slistAppend);
    find("curl_slist_free_all", loaded.slistFree);
    find("curl_url", loaded.url);
    find("curl_url_set", loaded.urlSet);
    find("curl_url_get", loaded.urlGet);
    find("curl_url_cleanup", loaded.urlCleanup);
    find("curl_free", loaded.free);
    if (!complete) {
      failure = "the installed libcurl is too old: 7.85 or later is needed";
      return;
    }
    loaded.globalInit(CURL_GLOBAL_DEFAULT);
    api = &loaded;
  });
  if (api == nullptr && why != nullptr) *why = failure;
  return api != nullptr;
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
  const std::string said = detail[0] != '\0' ? detail : api->strerror(code);
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
  CURLU* parsed = api->url();
  char* host = nullptr;
  char* port = nullptr;
  const bool split = parsed != nullptr &&
                     api->urlSet(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
                     api->urlGet(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
                     api->urlGet(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK;
  const std::string name = split ? host : "";
  const std::string service = split ? port : "";
  api->free(host);
  api->free(port);
  api->urlCleanup(parsed);
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
  *pinned = api->slistAppend(nullptr, entry.c_str());
  api->setopt(curl, CURLOPT_RESOLVE, *pinned);
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

bool SendingAvailable(std::string* why) {
  return Load(why);
}

namespace {

Delivery TrySending(const Config::Notify& entry, const std::string& secret, const Notice& notice,
                    const Extras& extras) {
  if (std::string why; !Load(&why)) return {false, why};
  CURL* curl = api->init();
  if (curl == nullptr) return {false, "libcurl could not start"};
  char detail[CURL_ERROR_SIZE] = "";
  Reply reply;
  Upload upload;
  curl_slist* headers = nullptr;
  curl_slist* recipients = nullptr;
  const auto header = [&](const std::string& line) {
    headers = api->slistAppend(headers, OneLine(line).c_str());
  };
  api->setopt(curl, CURLOPT_URL, entry.url.c_str());
  api->setopt(curl, CURLOPT_ERRORBUFFER, detail);
  api->setopt(curl, CURLOPT_NOSIGNAL, 1L);
  api->setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  api->setopt(curl, CURLOPT_TIMEOUT, kTrySeconds);
  api->setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  api->setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  api->setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,smtp,smtps");
  api->setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  if (!entry.caFile.empty()) api->setopt(curl, CURLOPT_CAINFO, entry.caFile.c_str());
  api->setopt(curl, CURLOPT_NOPROGRESS, 0L);
  api->setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
  api->setopt(curl, CURLOPT_XFERINFODATA, &extras);
  api->setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  api->setopt(curl, CURLOPT_WRITEDATA, &reply);
  const std::string subject = OneLine(Subject(notice));
  const std::string text = Body(notice, extras);
  std::string body;
  if (entry.kind == Config::Notify::Kind::kSmtp) {
    // A login never goes without TLS, insecure or not: a server that offers no STARTTLS (or a
    // man in the middle who strips it) would read the password.
    const bool clearAllowed = entry.insecure && entry.user.empty();
    api->setopt(
        curl, CURLOPT_USE_SSL,
        clearAllowed ? static_cast<long>(CURLUSESSL_TRY) : static_cast<long>(CURLUSESSL_ALL));
    if (!entry.user.empty()) {
      api->setopt(curl, CURLOPT_USERNAME, entry.user.c_str());
      api->setopt(curl, CURLOPT_PASSWORD, secret.c_str());
    }
    api->setopt(curl, CURLOPT_MAIL_FROM, ("<" + entry.from + ">").c_str());
    std::string to;
    for (const auto& address : entry.to) {
      recipients = api->slistAppend(recipients, ("<" + address + ">").c_str());
      to += (to.empty() ? "" : ", ") + address;
    }
    api->setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    upload.text = "Date: " + MailDate(std::chrono::system_clock::now()) +
                  "\r\nMIME-Version: 1.0\r\nFrom: " + entry.from + "\r\nTo: " + to +
                  "\r\nSubject: " + subject + "\r\nMessage-ID: <" + OneLine(notice.id) +
                  "@corvale-ups>\r\nX-Corvale-Event: " + OneLine(notice.event) +
                  "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + subject + "\r\n\r\n" +
                  text + "\r\n\r\nSent by corvale-ups on " + extras.host + ".\r\n";
    api->setopt(curl, CURLOPT_READFUNCTION, Feed);
    api->setopt(curl, CURLOPT_READDATA, &upload);
    api->setopt(curl, CURLOPT_UPLOAD, 1L);
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
    api->setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    api->setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    api->setopt(curl, CURLOPT_HTTPHEADER, headers);
  }
  curl_slist* pinned = nullptr;
  if (auto unfound = LookUpReceiver(curl, entry.url, extras, &pinned)) {
    api->slistFree(headers);
    api->slistFree(recipients);
    api->cleanup(curl);
    return *unfound;
  }
  const CURLcode code = api->perform(curl);
  long status = 0;
  api->getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  // Seconds, from either form of the header (a date is counted from now); 0 when it is absent.
  curl_off_t retryAfter = 0;
  api->getinfo(curl, CURLINFO_RETRY_AFTER, &retryAfter);
  api->slistFree(headers);
  api->slistFree(recipients);
  api->slistFree(pinned);
  api->cleanup(curl);
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
