// Delivery with libcurl: HTTP(S) for webhooks and ntfy, SMTP with STARTTLS (or TLS on connect)
// for mail. Every try is bounded in time; certificates are checked.
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "host/host_os.h"
#include "host/lookup.h"
#include "host/notify/compose.h"
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

}  // namespace

std::optional<std::string> EntryLimit(const Config::Notify&) {
  return std::nullopt;
}

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
  HttpRequest request;
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
    for (const auto& address : entry.to) {
      recipients = api->slistAppend(recipients, ("<" + address + ">").c_str());
    }
    api->setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    upload.text = ComposeMail(entry, notice, extras, std::chrono::system_clock::now());
    api->setopt(curl, CURLOPT_READFUNCTION, Feed);
    api->setopt(curl, CURLOPT_READDATA, &upload);
    api->setopt(curl, CURLOPT_UPLOAD, 1L);
  } else {
    request = ComposeHttp(entry, secret, notice, extras);
    for (const auto& line : request.headers) headers = api->slistAppend(headers, line.c_str());
    api->setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
    api->setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
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
  return Hidden(TrySending(entry, secret, notice, extras), entry, secret);
}

}  // namespace corvale::host::notify
