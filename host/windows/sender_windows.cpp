// Delivery on Windows: webhooks and ntfy through WinHTTP (the machine's proxy settings and trusted
// roots, as every Windows service that posts), mail through our own SMTP over Schannel
// (mail_windows.cpp). WinHTTP runs asynchronously so that a stop ends a try at once: its request
// handle is closed, which is how WinHTTP's documentation ends a request under way.
#include <windows.h>
// After windows.h.
#include <winhttp.h>

#include <algorithm>
#include <mutex>

#include "host/notify/compose.h"
#include "host/notify/sender.h"
#include "host/windows/mail_windows.h"
#include "host/windows/wide_text.h"

namespace corvale::host::notify {

namespace {

constexpr DWORD kConnectMilliseconds = 5000;
constexpr DWORD kStepMilliseconds = 10000;
constexpr auto kTryTime = std::chrono::seconds(15);
constexpr std::size_t kMostReplyBytes = 64 * 1024;

class Internet {
 public:
  explicit Internet(HINTERNET handle = nullptr) : handle_(handle) {}
  ~Internet() {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
  }
  Internet(const Internet&) = delete;
  Internet& operator=(const Internet&) = delete;
  HINTERNET get() const { return handle_; }
  HINTERNET release() { return std::exchange(handle_, nullptr); }

 private:
  HINTERNET handle_;
};

// What WinHTTP's callbacks (on its own threads) and the sending thread share for one request.
struct Exchange {
  Exchange()
      : completed(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
        closed(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Exchange() {
    CloseHandle(completed);
    CloseHandle(closed);
  }
  void Complete(DWORD what, DWORD code, DWORD count) {
    {
      std::lock_guard lock(mutex);
      status = what;
      error = code;
      bytes = count;
    }
    SetEvent(completed);
  }
  HANDLE completed;
  HANDLE closed;  // the request handle is gone: no callback comes after this
  std::mutex mutex;
  DWORD status = 0;
  DWORD error = 0;
  DWORD bytes = 0;
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, void* information,
                       DWORD length) {
  auto* exchange = reinterpret_cast<Exchange*>(context);
  if (exchange == nullptr) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      exchange->Complete(status, 0, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      exchange->Complete(status, 0, length);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      exchange->Complete(status, static_cast<WINHTTP_ASYNC_RESULT*>(information)->dwError, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      SetEvent(exchange->closed);
      break;
    default:
      break;
  }
}

// The reason in words an admin can act on, as the Linux sender words it.
std::string Reason(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "DNS: the receiver's name cannot be found";
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "refused or unreachable: cannot connect to the receiver";
    case ERROR_WINHTTP_TIMEOUT:
      return "timed out: the receiver did not answer in time";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return "TLS: the receiver's certificate is not trusted by this machine, or the handshake "
             "failed (WinHTTP error " +
             std::to_string(code) + ")";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return "the server: its answer is not HTTP";
    case ERROR_CANCELLED:
      return "cancelled: the service is stopping";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
    case ERROR_WINHTTP_INVALID_URL:
      return "the URL cannot be used";
    default:
      return "WinHTTP error " + std::to_string(code);
  }
}

// Seconds from a Retry-After value: a number, or an HTTP date counted from now.
std::optional<std::chrono::seconds> RetryAfter(const std::wstring& value) {
  if (value.empty()) return std::nullopt;
  if (std::all_of(value.begin(), value.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
    const auto seconds = std::min(std::stoull(value.substr(0, 12)), 86400ULL);
    return std::chrono::seconds(seconds);
  }
  SYSTEMTIME when = {};
  FILETIME then = {}, now = {};
  if (!WinHttpTimeToSystemTime(value.c_str(), &when) || !SystemTimeToFileTime(&when, &then)) {
    return std::nullopt;
  }
  GetSystemTimeAsFileTime(&now);
  const auto ticks = [](FILETIME time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  if (ticks(then) <= ticks(now)) return std::nullopt;
  return std::chrono::seconds(std::min((ticks(then) - ticks(now)) / 10000000ULL, 86400ULL));
}

class Request {
 public:
  Request(const Extras& extras)
      : extras_(extras), deadline_(std::chrono::steady_clock::now() + kTryTime) {}
  ~Request() { Close(); }

  // Waits for the step begun by a call that returned TRUE; the completion's status, or 0 when the
  // try was cancelled or ran out of time (the handle is closed then).
  DWORD Wait() {
    for (;;) {
      if (WaitForSingleObject(exchange_->completed, 100) == WAIT_OBJECT_0) {
        std::lock_guard lock(exchange_->mutex);
        error_ = exchange_->error;
        bytes_ = exchange_->bytes;
        return exchange_->status;
      }
      const bool cancelled = extras_.cancelled && extras_.cancelled();
      if (cancelled || std::chrono::steady_clock::now() > deadline_) {
        error_ = cancelled ? ERROR_CANCELLED : ERROR_WINHTTP_TIMEOUT;
        Close();
        return 0;
      }
    }
  }

  bool Open(HINTERNET connection, const std::wstring& path, bool secure) {
    handle_ = WinHttpOpenRequest(connection, L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
    if (handle_ == nullptr) return false;
    auto context = reinterpret_cast<DWORD_PTR>(exchange_);
    WinHttpSetOption(handle_, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
    WinHttpSetStatusCallback(handle_, OnStatus,
                             WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                             0);
    // A redirect would take the notice (and the token) elsewhere; the machine's logon never goes.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(handle_, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    DWORD high = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    WinHttpSetOption(handle_, WINHTTP_OPTION_AUTOLOGON_POLICY, &high, sizeof high);
    return true;
  }

  HINTERNET Handle() const { return handle_; }
  DWORD Error() const { return error_; }
  DWORD Bytes() const { return bytes_; }

 private:
  void Close() {
    if (handle_ == nullptr) return;
    WinHttpCloseHandle(std::exchange(handle_, nullptr));
    // Its callbacks may still come, on WinHTTP's threads, until this one: only then is the
    // exchange free to go. One that never came leaves it behind rather than freed under a
    // callback.
    if (WaitForSingleObject(exchange_->closed, 30000) == WAIT_OBJECT_0) {
      delete exchange_;
    }
    exchange_ = nullptr;
  }

  const Extras& extras_;
  std::chrono::steady_clock::time_point deadline_;
  Exchange* exchange_ = new Exchange;
  HINTERNET handle_ = nullptr;
  DWORD error_ = 0;
  DWORD bytes_ = 0;
};

Delivery Post(const Config::Notify& entry, const HttpRequest& composed, const Extras& extras) {
  std::wstring url = Wide(entry.url);
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
      static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return {false, "the URL cannot be used"};
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path += std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

  Internet session(WinHttpOpen(L"corvale-ups", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (session.get() == nullptr)
    return {false, "WinHTTP could not start: " + ErrorText(GetLastError())};
  WinHttpSetTimeouts(session.get(), kConnectMilliseconds, kConnectMilliseconds, kStepMilliseconds,
                     kStepMilliseconds);
  Internet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (connection.get() == nullptr) return {false, Reason(GetLastError())};
  Request request(extras);
  if (!request.Open(connection.get(), path, secure)) return {false, Reason(GetLastError())};

  std::wstring headers;
  for (const auto& line : composed.headers) headers += Wide(line) + L"\r\n";
  const auto body = const_cast<char*>(composed.body.data());
  const auto size = static_cast<DWORD>(composed.body.size());
  if (!WinHttpSendRequest(request.Handle(), headers.c_str(), static_cast<DWORD>(-1L), body, size,
                          size, 0)) {
    return {false, Reason(GetLastError())};
  }
  if (request.Wait() != WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE) {
    return {false, Reason(request.Error())};
  }
  if (!WinHttpReceiveResponse(request.Handle(), nullptr)) return {false, Reason(GetLastError())};
  if (request.Wait() != WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE) {
    return {false, Reason(request.Error())};
  }
  DWORD status = 0;
  DWORD length = sizeof status;
  if (!WinHttpQueryHeaders(request.Handle(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &length,
                           WINHTTP_NO_HEADER_INDEX)) {
    return {false, "the server: no HTTP status"};
  }
  if (status >= 200 && status < 300) return {true, ""};
  wchar_t retryAfter[64] = L"";
  length = sizeof retryAfter;
  if (!WinHttpQueryHeaders(request.Handle(), WINHTTP_QUERY_RETRY_AFTER,
                           WINHTTP_HEADER_NAME_BY_INDEX, retryAfter, &length,
                           WINHTTP_NO_HEADER_INDEX)) {
    retryAfter[0] = L'\0';
  }
  // The reply's first line says why; the rest is not read.
  std::string reply;
  char chunk[4096];
  while (reply.size() < kMostReplyBytes && reply.find('\n') == std::string::npos) {
    if (!WinHttpReadData(request.Handle(), chunk, sizeof chunk, nullptr) ||
        request.Wait() != WINHTTP_CALLBACK_STATUS_READ_COMPLETE || request.Bytes() == 0) {
      break;
    }
    reply.append(chunk, std::min<DWORD>(request.Bytes(), sizeof chunk));
  }
  std::string first = reply.substr(0, reply.find('\n'));
  if (!first.empty() && first.back() == '\r') first.pop_back();
  if (first.size() > 200) first.resize(200);
  Delivery failed{false, "HTTP " + std::to_string(status) + (first.empty() ? "" : ": " + first)};
  // 408 (it timed out reading us) and 429 (too many) are the receiver's moment, not the notice.
  failed.refused = status >= 400 && status < 500 && status != 408 && status != 429;
  failed.retryAfter = RetryAfter(retryAfter);
  return failed;
}

}  // namespace

std::optional<std::string> EntryLimit(const Config::Notify& entry) {
  if (entry.kind == Config::Notify::Kind::kSmtp || entry.caFile.empty()) return std::nullopt;
  // WinHTTP has no trust of its own: a CA of the entry's alone would need its check after the
  // request (and its token) had gone.
  return "ca_file is not used on Windows for a webhook or ntfy: WinHTTP trusts the machine's "
         "roots; import the CA into them (certutil -addstore Root " +
         entry.caFile + ") so that its receiver is trusted";
}

bool SendingAvailable(std::string*) {
  return true;
}

Delivery Send(const Config::Notify& entry, const std::string& secret, const Notice& notice,
              const Extras& extras) {
  if (entry.kind == Config::Notify::Kind::kSmtp) {
    return Hidden(SendMail(entry, secret, notice, extras), entry, secret);
  }
  return Hidden(Post(entry, ComposeHttp(entry, secret, notice, extras), extras), entry, secret);
}

}  // namespace corvale::host::notify
