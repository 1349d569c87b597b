// One client's conversation in the NUT network protocol, line by line, with no I/O: what each
// request line gets back, which client may do what, and what the server must do next. The
// server around it (nut_server.h) only moves bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvale::nut {

// The longest request line NUT clients send or servers accept, newline included.
inline constexpr std::size_t kMaxLineLength = 512;

// Splits a request line into words: blanks separate them, "double quotes" group them, and a
// backslash takes the next character as it is. Nothing when a quote is left open.
std::optional<std::vector<std::string>> SplitWords(std::string_view line);
// `text` in double quotes, with quotes and backslashes escaped.
std::string Quote(std::string_view text);

struct User {
  std::string name;
  std::string password;
  enum class Upsmon { kNone, kSecondary, kPrimary } upsmon = Upsmon::kNone;
  bool maySet = false;
  bool mayForceShutdown = false;
  std::vector<std::string> instcmds;  // or "ALL"
};

// Compares in time that depends only on the lengths, never on where they differ.
bool SamePassword(std::string_view given, std::string_view expected);

using Variables = std::vector<std::pair<std::string, std::string>>;

// The rest of the service, as a session sees it: one or more UPSes, each named, that a session
// refers to by their place in UpsNames(). Called on the server's thread; must not block.
class Backend {
 public:
  virtual ~Backend() = default;
  // In order; never empty, never changing while a server serves.
  virtual const std::vector<std::string>& UpsNames() const = 0;
  // The place of the UPS called `name`, or nothing for a name not served.
  std::optional<std::size_t> FindUps(std::string_view name) const;
  virtual std::string UpsDescription(std::size_t ups) const = 0;
  // The variables of UPS `ups` in order, or nothing while the data is stale, as `session` sees
  // them: once logged in, its stage of the shutdown plan may have FSD set for it alone.
  virtual std::optional<Variables> CurrentVariables(const void* session, std::size_t ups) const = 0;
  // A copy: the users may change (a reload) while a session holds it.
  virtual std::optional<User> FindUser(std::string_view name) const = 0;
  virtual int NumLogins(std::size_t ups) const = 0;
  virtual std::vector<std::string> LoggedInAddresses(std::size_t ups) const = 0;
  virtual void Login(const void* session, std::size_t ups, const std::string& address,
                     const std::string& user) = 0;
  virtual void Logout(const void* session) = 0;
  // A user name and password that match no user (the password itself is never passed on).
  virtual void LoginRefused(const std::string& /*user*/, const std::string& /*address*/) {}
  virtual void ForceShutdown(std::size_t ups, const std::string& byUser) = 0;
  // An ERR code, or empty when the value was taken.
  virtual std::string SetVariable(std::size_t ups, const std::string& name,
                                  const std::string& value) = 0;
  // Runs the instant command elsewhere and calls `done` (on the server's thread) with the reply.
  virtual void RunInstantCommand(std::size_t ups, const std::string& command,
                                 const std::string& byUser,
                                 std::function<void(std::string reply)> done) = 0;
  virtual bool TlsConfigured() const = 0;
  // A rehearsal of the shutdown, asked for by `byUser`: its report (lines) later, through `done`.
  // False, calling nothing, while another one runs.
  virtual bool Drill(const std::string& /*byUser*/, std::function<void(std::string)> /*done*/) {
    return false;
  }
  // The rehearsal the logged-in agents are asked to make now (0: none); `session` asked.
  virtual std::uint64_t DrillAsked(const void* /*session*/) { return 0; }
  // A logged-in agent's answer to rehearsal `id`: whether its own shutdown is ready, and why not.
  virtual void DrillAnswered(const void* /*session*/, std::uint64_t /*id*/, bool /*ready*/,
                             const std::string& /*text*/) {}
  // A logged-in agent says its machine's shutdown command has started: its session now lasts
  // until the machine goes down, and its end is that machine's time to shut down.
  virtual void ShuttingDown(const void* /*session*/) {}
  // The logged-in client said LOGOUT (its session ends by its word, not as its machine goes down).
  virtual void SaidLogout(const void* /*session*/) {}
  // The logged-in client's side closed the connection; a session that ends without this was
  // ended by the server (its stop, or the client's silence).
  virtual void PeerClosed(const void* /*session*/) {}
};

class Session {
 public:
  Session(Backend& backend, std::string address)
      : backend_(backend), address_(std::move(address)) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  struct Result {
    std::string reply;      // lines, each ending in "\n"
    bool close = false;     // after the reply
    bool startTls = false;  // after the reply, before the next request
    bool pending = false;   // the reply comes later, through `later`
  };
  // Answers one request line (without its newline). `later` is kept for a pending reply.
  Result Handle(std::string_view line, std::function<void(std::string reply)> later = {});

  // True for the line that Handle would answer by starting TLS (when offered): whatever the client
  // sends behind it in the clear must not be read until that is settled.
  static bool AsksForTls(std::string_view line);
  // The handshake is done. What was said in the clear before it (user, password, login) is
  // forgotten, as RFC 3207 asks of SMTP: a man in the middle may have said it.
  void TlsStarted();
  // The client's side ended the connection (not this server: its stop, a silence too long).
  void PeerClosed() {
    if (loggedIn_) backend_.PeerClosed(this);
  }
  // Logged in with LOGIN: an upsmon whose place a full server must keep.
  bool LoggedIn() const { return loggedIn_; }

 private:
  Result Get(const std::vector<std::string>& words);
  Result List(const std::vector<std::string>& words);
  Result Drill(const std::vector<std::string>& words, std::function<void(std::string)> later);
  std::string CheckUser() const;  // an ERR reply, or empty when the user is known and right
  std::optional<User> Authenticated() const;
  // The UPS a request names, or nothing (the reply is UNKNOWN-UPS).
  std::optional<std::size_t> KnownUps(const std::string& name) const {
    return backend_.FindUps(name);
  }

  Backend& backend_;
  std::string address_;
  std::optional<std::string> username_;
  std::optional<std::string> password_;
  bool loggedIn_ = false;
  std::size_t loggedInUps_ = 0;  // the place of the UPS it logged in to
  std::string loggedInAs_;       // the user, while logged in
  bool tls_ = false;
};

}  // namespace corvale::nut
