#include "host/windows/mail_windows.h"

#include <asio.hpp>
#include <cctype>
#include <optional>

#include "host/lookup.h"
#include "host/notify/compose.h"
#include "host/windows/schannel_session.h"
#include "host/windows/wide_text.h"

namespace corvale::host::notify {

namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

constexpr auto kLookupTime = 5s;
constexpr auto kTryTime = 15s;
constexpr std::size_t kMostLineBytes = 4096;
constexpr std::size_t kMostReplyLines = 64;
using tls::kMostPendingBytes;
struct Target {
  std::string host;
  std::string port;
  bool tlsFromStart = false;  // smtps://
};

// smtp://host[:port] (25 unless said) or smtps://host[:port] (465); "[v6]" for an IPv6 address.
std::optional<Target> ParseMailUrl(const std::string& url) {
  Target target;
  std::string rest;
  if (url.rfind("smtp://", 0) == 0) {
    rest = url.substr(7);
    target.port = "25";
  } else if (url.rfind("smtps://", 0) == 0) {
    rest = url.substr(8);
    target.port = "465";
    target.tlsFromStart = true;
  } else {
    return std::nullopt;
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos) return std::nullopt;
    target.host = rest.substr(1, close - 1);
    rest.erase(0, close + 1);
  } else {
    target.host = rest.substr(0, rest.find(':'));
    rest.erase(0, target.host.size());
  }
  if (!rest.empty()) {
    if (rest.front() != ':' || rest.size() == 1) return std::nullopt;
    target.port = rest.substr(1);
  }
  if (target.host.empty()) return std::nullopt;
  return target;
}

std::string Base64(const std::string& bytes) {
  DWORD size = 0;
  const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
  const auto length = static_cast<DWORD>(bytes.size());
  constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  if (!CryptBinaryToStringA(data, length, kFlags, nullptr, &size)) return "";
  std::string text(size, '\0');
  if (!CryptBinaryToStringA(data, length, kFlags, text.data(), &size)) return "";
  text.resize(size);
  return text;
}

// A line from the server as a reason may show it: short, and printable.
std::string Shown(const std::string& line) {
  std::string shown;
  for (const char c : line.substr(0, 200)) shown += c >= ' ' && c <= '~' ? c : '?';
  return shown;
}

// The mail as DATA carries it: every line ends in CRLF, a line that starts with a dot gets
// another, and a lone dot ends it.
std::string DataBlock(const std::string& mail) {
  std::string block;
  std::size_t at = 0;
  while (at < mail.size()) {
    auto end = mail.find('\n', at);
    if (end == std::string::npos) end = mail.size();
    std::string line = mail.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '.') block += '.';
    block += line + "\r\n";
    at = end + 1;
  }
  return block + ".\r\n";
}

// The connection to the mail server: plain, then TLS. Every step is bounded by the try's
// deadline and ends when the service stops.
class Link {
 public:
  explicit Link(const Extras& extras)
      : extras_(extras), deadline_(std::chrono::steady_clock::now() + kTryTime) {}

  std::optional<std::string> Connect(const Target& target) {
    const auto found = LookUp(target.host, target.port, kLookupTime, extras_.cancelled);
    if (found.error == asio::error::timed_out) {
      return "DNS: no answer for " + target.host + " within " +
             std::to_string(kLookupTime.count()) + " s";
    }
    if (found.error || found.endpoints.empty()) {
      return "DNS: cannot find " + target.host + ": " + found.error.message();
    }
    const auto [failed, ignored] = Await([&](auto done) {
      asio::async_connect(
          socket_, found.endpoints,
          [done](const std::error_code& error, const tcp::endpoint&) { done(error, 0); });
    });
    if (failed) return Broken("refused or unreachable: cannot connect to " + target.host, failed);
    return std::nullopt;
  }

  // TLS on the connection, the server's certificate checked before anything goes through it.
  std::optional<std::string> StartTls(const std::string& host, const std::string& caFile) {
    if (!plain_.empty()) return "TLS: the mail server sent more in clear before TLS began";
    std::string error;
    auto credentials = tls::Credentials::ForClient(&error);
    if (!credentials) return "TLS: " + error;
    auto session = std::make_unique<tls::Session>(credentials, host);
    std::string outgoing;
    for (;;) {
      const auto step = session->Handshake(incoming_, outgoing);
      if (!outgoing.empty()) {
        if (auto failed = WriteRaw(outgoing)) return "TLS: " + *failed;
        outgoing.clear();
      }
      if (step == tls::Session::Step::kDone) break;
      if (step == tls::Session::Step::kFailed) return "TLS: " + session->Error();
      if (incoming_.size() > kMostPendingBytes) return "TLS: the server's handshake is too long";
      if (auto failed = ReadRaw(incoming_)) return "TLS: " + *failed;
    }
    const auto certificate = session->PeerCertificate();
    if (auto problem = tls::ServerCertificateProblem(certificate.get(), host, caFile)) {
      return "TLS: the certificate of " + host + " is not trusted: " + *problem;
    }
    tls_ = std::move(session);
    return std::nullopt;
  }

  bool Secure() const { return tls_ != nullptr; }

  std::optional<std::string> Write(const std::string& text) {
    if (!tls_) return WriteRaw(text);
    std::string records;
    if (!tls_->Encrypt(text.data(), text.size(), records)) return "TLS: " + tls_->Error();
    return WriteRaw(records);
  }

  // One line without its CRLF, or nothing with `why` set.
  std::optional<std::string> ReadLine(std::string& why) {
    for (;;) {
      if (const auto newline = plain_.find('\n'); newline != std::string::npos) {
        std::string line = plain_.substr(0, newline);
        plain_.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      if (plain_.size() > kMostLineBytes) {
        why = "the server: a line longer than " + std::to_string(kMostLineBytes) + " bytes";
        return std::nullopt;
      }
      if (tls_) {
        const auto read = tls_->Decrypt(incoming_, plain_);
        if (read == tls::Session::Read::kData) continue;
        if (read == tls::Session::Read::kClosed) {
          why = "the server: it closed the connection";
          return std::nullopt;
        }
        if (read == tls::Session::Read::kFailed || incoming_.size() > kMostPendingBytes) {
          why = "TLS: " + tls_->Error();
          return std::nullopt;
        }
      }
      if (auto failed = ReadRaw(tls_ ? incoming_ : plain_)) {
        why = *failed;
        return std::nullopt;
      }
    }
  }

 private:
  template <typename Begin>
  std::pair<std::error_code, std::size_t> Await(Begin begin) {
    std::optional<std::pair<std::error_code, std::size_t>> result;
    begin([&result](const std::error_code& error, std::size_t count) {
      result.emplace(error, count);
    });
    io_.restart();
    while (!result) {
      if (!closed_) {
        cancelled_ = extras_.cancelled && extras_.cancelled();
        if (cancelled_ || std::chrono::steady_clock::now() > deadline_) {
          std::error_code ignored;
          socket_.close(ignored);  // the step ends at once, with an error
          closed_ = true;
        }
      }
      io_.run_one_for(100ms);
    }
    return *result;
  }

  std::string Broken(const std::string& doing, const std::error_code& failed) const {
    if (cancelled_) return "cancelled: the service is stopping";
    if (closed_)
      return "timed out: the mail server did not finish within " +
             std::to_string(kTryTime.count()) + " s";
    if (failed == asio::error::eof) return doing + ": the server closed the connection";
    return doing + ": " + failed.message();
  }

  std::optional<std::string> WriteRaw(const std::string& bytes) {
    const auto [failed, ignored] =
        Await([&](auto done) { asio::async_write(socket_, asio::buffer(bytes), done); });
    if (failed) return Broken("the server", failed);
    return std::nullopt;
  }

  std::optional<std::string> ReadRaw(std::string& into) {
    char chunk[8192];
    const auto [failed, count] =
        Await([&](auto done) { socket_.async_read_some(asio::buffer(chunk), done); });
    if (failed) return Broken("the server", failed);
    into.append(chunk, count);
    return std::nullopt;
  }

  const Extras& extras_;
  std::chrono::steady_clock::time_point deadline_;
  asio::io_context io_;
  tcp::socket socket_{io_};
  std::unique_ptr<tls::Session> tls_;
  std::string incoming_;  // records not yet decrypted
  std::string plain_;     // the server's words not yet read
  bool closed_ = false, cancelled_ = false;
};

struct Reply {
  int code = 0;
  std::vector<std::string> lines;  // without the code
  std::string First() const { return lines.empty() ? "" : lines.front(); }
};

std::optional<Reply> ReadReply(Link& link, std::string& why) {
  Reply reply;
  for (;;) {
    const auto line = link.ReadLine(why);
    if (!line) return std::nullopt;
    if (line->size() < 3 || !std::isdigit(static_cast<unsigned char>((*line)[0])) ||
        reply.lines.size() >= kMostReplyLines) {
      why = "the server: not an SMTP reply: \"" + Shown(*line) + "\"";
      return std::nullopt;
    }
    reply.code = std::stoi(line->substr(0, 3));
    reply.lines.push_back(line->size() > 4 ? line->substr(4) : "");
    if (line->size() == 3 || (*line)[3] != '-') return reply;
  }
}

class Dialogue {
 public:
  Dialogue(Link& link) : link_(link) {}
  // Sends `command` and reads the reply; nothing, with the reason, unless its code is one of
  // `expected`. `shown`: how the command may appear in a reason (never a secret).
  std::optional<Reply> Ask(const std::string& command, std::initializer_list<int> expected,
                           const std::string& shown) {
    if (auto failed = link_.Write(command + "\r\n")) {
      why = *failed;
      return std::nullopt;
    }
    return Expect(expected, shown);
  }
  std::optional<Reply> Expect(std::initializer_list<int> expected, const std::string& shown) {
    auto reply = ReadReply(link_, why);
    if (!reply) return std::nullopt;
    for (const int code : expected) {
      if (reply->code == code) return reply;
    }
    why = "the server answered " + shown + " with " + std::to_string(reply->code) + " " +
          Shown(reply->First());
    return std::nullopt;
  }
  std::string why;

 private:
  Link& link_;
};

bool Offers(const Reply& hello, const std::string& word, std::string* rest = nullptr) {
  for (const auto& line : hello.lines) {
    std::string upper;
    for (const char c : line)
      upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == word || upper.rfind(word + " ", 0) == 0) {
      if (rest != nullptr) *rest = upper.size() > word.size() ? upper.substr(word.size() + 1) : "";
      return true;
    }
  }
  return false;
}

std::string HelloName(const std::string& host) {
  std::string name;
  for (const char c : host) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.') name += c;
  }
  return name.empty() ? "localhost" : name;
}

}  // namespace

Delivery SendMail(const Config::Notify& entry, const std::string& secret, const Notice& notice,
                  const Extras& extras) {
  const auto target = ParseMailUrl(entry.url);
  if (!target)
    return {false, "the URL cannot be used: smtp://server[:port] or smtps://server[:port]"};
  Link link(extras);
  if (auto failed = link.Connect(*target)) return {false, *failed};
  if (target->tlsFromStart) {
    if (auto failed = link.StartTls(target->host, entry.caFile)) return {false, *failed};
  }
  Dialogue talk(link);
  const auto fail = [&] { return Delivery{false, talk.why}; };
  if (!talk.Expect({220}, "the connection")) return fail();
  const std::string ehlo = "EHLO " + HelloName(extras.host);
  auto hello = talk.Ask(ehlo, {250}, "EHLO");
  if (!hello) return fail();
  if (!link.Secure()) {
    // A login never goes without TLS, insecure or not: a server that offers no STARTTLS (or a man
    // in the middle who strips it) would read the password.
    const bool clearAllowed = entry.insecure && entry.user.empty();
    if (Offers(*hello, "STARTTLS")) {
      if (!talk.Ask("STARTTLS", {220}, "STARTTLS")) return fail();
      if (auto failed = link.StartTls(target->host, entry.caFile)) return {false, *failed};
      // What the server said before TLS counts for nothing.
      hello = talk.Ask(ehlo, {250}, "EHLO");
      if (!hello) return fail();
    } else if (!clearAllowed) {
      return {false,
              "TLS: the mail server offers no STARTTLS" +
                  std::string(entry.user.empty() ? "" : ", and the password never goes in clear")};
    }
  }
  if (!entry.user.empty()) {
    std::string methods;
    Offers(*hello, "AUTH", &methods);
    if (methods.find("PLAIN") != std::string::npos) {
      if (!talk.Ask("AUTH PLAIN " + Base64(std::string(1, '\0') + entry.user + '\0' + secret),
                    {235}, "AUTH PLAIN")) {
        return fail();
      }
    } else if (methods.find("LOGIN") != std::string::npos) {
      if (!talk.Ask("AUTH LOGIN", {334}, "AUTH LOGIN") ||
          !talk.Ask(Base64(entry.user), {334}, "the user name") ||
          !talk.Ask(Base64(secret), {235}, "the password")) {
        return fail();
      }
    } else {
      return {false, "the server: it offers no login this service can use (PLAIN or LOGIN)"};
    }
  }
  for (const auto* text : {&entry.from}) {
    if (text->find_first_of("\r\n<>") != std::string::npos)
      return {false, "the address cannot be used"};
  }
  if (!talk.Ask("MAIL FROM:<" + entry.from + ">", {250}, "MAIL FROM")) return fail();
  for (const auto& address : entry.to) {
    if (address.find_first_of("\r\n<>") != std::string::npos) {
      return {false, "the address cannot be used"};
    }
    if (!talk.Ask("RCPT TO:<" + address + ">", {250, 251}, "RCPT TO")) return fail();
  }
  if (!talk.Ask("DATA", {354}, "DATA")) return fail();
  const std::string mail = ComposeMail(entry, notice, extras, std::chrono::system_clock::now());
  if (auto failed = link.Write(DataBlock(mail))) return {false, *failed};
  if (!talk.Expect({250}, "the mail")) return fail();
  talk.Ask("QUIT", {221}, "QUIT");  // delivered already, whatever it answers
  return {true, ""};
}

}  // namespace corvale::host::notify
