#include "host/agent/follower.h"

#include <algorithm>
#include <array>
#include <asio/co_spawn.hpp>
#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "host/agent/follower_tls.h"
#include "host/host_os.h"
#include "host/lookup.h"
#include "host/nut/nut_session.h"

namespace corvale::host::agent {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

struct Address {
  std::string host;
  std::string port;
};

Address SplitAddress(const std::string& server) {
  constexpr const char* kNutPort = "3493";
  if (!server.empty() && server.front() == '[') {
    const auto close = server.find(']');
    if (close != std::string::npos) {
      Address address{server.substr(1, close - 1), kNutPort};
      if (server.size() > close + 2 && server[close + 1] == ':') {
        address.port = server.substr(close + 2);
      }
      return address;
    }
  }
  const auto colon = server.rfind(':');
  // A name, or an IPv6 address without brackets (and so without a port).
  if (colon == std::string::npos || server.find(':') != colon) return {server, kNutPort};
  return {server.substr(0, colon), server.substr(colon + 1)};
}

// A command's word: as it is, or quoted when it holds blanks, quotes or backslashes.
std::string Word(const std::string& text) {
  if (!text.empty() && text.find_first_of(" \t\"\\") == std::string::npos) return text;
  return nut::Quote(text);
}

// A line from the server as the log may show it: short, and printable.
std::string Shown(const std::string& line) {
  std::string shown;
  for (const char c : line.substr(0, 80)) shown += c >= ' ' && c <= '~' ? c : '?';
  return line.size() > 80 ? shown + "..." : shown;
}

std::string InSeconds(std::chrono::milliseconds time) {
  const auto tenths = time.count() / 100;
  return std::to_string(tenths / 10) + (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") +
         " s";
}

}  // namespace

struct Follower::State {
  State(FollowerOptions chosen, Logger& logger, Report reporting)
      : options(std::move(chosen)),
        address(SplitAddress(options.server)),
        log(logger),
        report(std::move(reporting)),
        random(std::random_device{}()) {
    // Zero would spin: reading, or reconnecting, without a pause.
    options.pollEvery = std::max(options.pollEvery, std::chrono::milliseconds(1));
    options.firstBackoff = std::max(options.firstBackoff, std::chrono::milliseconds(1));
    options.longestBackoff = std::max(options.longestBackoff, options.firstBackoff);
  }

  asio::awaitable<void> Run();
  asio::awaitable<std::string> Connection();
  asio::awaitable<bool> StartTls(std::string& why);
  asio::awaitable<bool> LogIn(std::string& why);
  asio::awaitable<std::string> Poll();
  asio::awaitable<std::optional<std::string>> Ask(const std::string& command, std::string& why);
  asio::awaitable<std::optional<std::string>> ReadLine(std::string& why);
  asio::awaitable<std::optional<std::string>> ReadLineUntimed(std::string& why);

  void Arm();
  void Disarm();
  std::string Failed(const std::error_code& failed, const std::string& doing) const;
  void CloseSocket();
  void Reached(const std::string& status);
  void Tell(Reading reading) {
    if (report) report(reading);
  }
  std::string Names() const { return options.ups + " at " + options.server; }

  FollowerOptions options;
  Address address;
  Logger& log;
  Report report;
  std::mt19937 random;
  // Destroyed bottom up: what the connection uses before the io_context it runs on.
  asio::io_context io;
  // The server's name, looked up on a worker of its own: a silent DNS server holds neither a
  // poll's time nor the stop. A late answer is dropped by its number.
  std::unique_ptr<PendingLookup> lookup;
  asio::steady_timer lookupWait{io};
  std::optional<LookupResult> found;
  unsigned lookups = 0;
  tcp::socket socket{io};
  std::unique_ptr<Channel> channel;
  std::string pending;  // read beyond the last line, never more than a line's worth
  // Every step is bounded: the watchdog closes the socket when the step has not ended in time.
  asio::steady_timer watchdog{io};
  unsigned armed = 0;
  bool timedOut = false;
  asio::steady_timer pause{io};
  bool loggingOut = false;
  // The shutdown command has started: said on each connection once. At the stop the connection
  // is held rather than logged out of (`heldAway` once a holder has it: never shut down here).
  std::atomic<bool> shuttingDown{false};
  bool saidShuttingDown = false;
  bool holding = false, heldAway = false;
  std::int64_t holder = 0;
  std::chrono::seconds holdAtMost{0};
  std::string holdProblem;  // why it could not be held
  // Reconnect was asked for: the next try goes at once, without a word of the connection it
  // closed. Asks close together count as one (Windows sends two power events on waking).
  bool reconnectNow = false;
  std::optional<Clock::time_point> lastReconnect;
  std::atomic<bool> loggedOut{false};  // the server answered LOGOUT
  bool everReached = false, reachedThisTime = false, down = false;
  bool saidAgain = false;  // "again" said since "cannot follow"
  // Whether this connection's server may ask for rehearsals (a standard one answers an error), and
  // the last one made: each is made once.
  bool asksRehearsals = false;
  std::string lastRehearsal = "0";
  std::optional<Clock::time_point> lastRehearsedAt;
  asio::awaitable<std::optional<std::string>> Rehearse(std::string& why);
  std::thread thread;
  std::mutex joining;
  std::promise<void> endedPromise;
  std::shared_future<void> ended = endedPromise.get_future().share();
};

void Follower::State::Arm() {
  timedOut = false;
  const unsigned generation = ++armed;
  watchdog.expires_after(options.replyTimeout);
  watchdog.async_wait([this, generation](const std::error_code& cancelled) {
    // A step that ended as the time ran out has re-armed or disarmed by now.
    if (cancelled || generation != armed) return;
    timedOut = true;
    CloseSocket();
  });
}

void Follower::State::Disarm() {
  ++armed;
  watchdog.cancel();
}

std::string Follower::State::Failed(const std::error_code& failed, const std::string& doing) const {
  if (timedOut) return doing + ": no answer within " + InSeconds(options.replyTimeout);
  if (failed == asio::error::eof) return doing + ": the server closed the connection";
  return doing + ": " + failed.message();
}

void Follower::State::CloseSocket() {
  std::error_code ignored;
  lookupWait.cancel();
  // A connection a holder has: this copy goes without a word, the holder's stays open.
  if (!heldAway) socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

void Follower::State::Reached(const std::string& status) {
  if (down && !saidAgain) {
    log.Log(Priority::kNotice, "following " + Names() + " again");
    saidAgain = true;
  } else if (!everReached) {
    log.Log(Priority::kInfo, "following " + Names());
  }
  everReached = reachedThisTime = true;
  Tell({true, status, ""});
}

asio::awaitable<std::optional<std::string>> Follower::State::ReadLine(std::string& why) {
  // The whole line within the time, however slowly a server drips it.
  Arm();
  auto line = co_await ReadLineUntimed(why);
  Disarm();
  co_return line;
}

asio::awaitable<std::optional<std::string>> Follower::State::ReadLineUntimed(std::string& why) {
  std::array<char, nut::kMaxLineLength> chunk;
  for (;;) {
    const auto newline = pending.find('\n');
    if (newline != std::string::npos && newline < nut::kMaxLineLength) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      co_return line;
    }
    if (pending.size() >= nut::kMaxLineLength) {
      why = "the server sent a line longer than " + std::to_string(nut::kMaxLineLength) + " bytes";
      co_return std::nullopt;
    }
    const auto [failed, count] = co_await channel->ReadSome(asio::buffer(chunk));
    if (failed) {
      why = Failed(failed, "reading the server's reply");
      co_return std::nullopt;
    }
    pending.append(chunk.data(), count);
  }
}

asio::awaitable<std::optional<std::string>> Follower::State::Ask(const std::string& command,
                                                                 std::string& why) {
  const std::string line = command + "\n";
  Arm();
  const auto [failed, count] = co_await channel->Write(asio::buffer(line));
  Disarm();
  if (failed) {
    // The command's first word only: never a password in the log.
    why = Failed(failed, "sending " + command.substr(0, command.find(' ')));
    co_return std::nullopt;
  }
  co_return co_await ReadLine(why);
}

asio::awaitable<bool> Follower::State::StartTls(std::string& why) {
  const bool wanted = options.requireTls || !options.caFile.empty() || !options.fingerprint.empty();
  if (!wanted) co_return true;
  if (std::string missing; !ClientTlsAvailable(&missing)) {
    why = missing;
    co_return false;
  }
  // Named, not temporaries: GCC 12 destroys some temporaries of a co_await expression twice.
  const std::string startTls = "STARTTLS";
  const auto reply = co_await Ask(startTls, why);
  if (!reply) co_return false;
  // Once TLS is asked for, a refusal is never a reason to go on in clear: a man in the middle
  // could refuse for the server and read the password.
  if (reply->rfind("ERR ", 0) == 0) {
    why = "the server does not offer TLS (" + Shown(*reply) +
          "), and the password is never sent in clear";
    co_return false;
  }
  if (*reply != "OK STARTTLS") {
    why = "the server answered STARTTLS with \"" + Shown(*reply) + "\"";
    co_return false;
  }
  // Bytes behind the answer, before the handshake, would pass for what came through TLS.
  if (!pending.empty()) {
    why = "the server sent more in clear behind its answer to STARTTLS";
    co_return false;
  }
  const TlsTrust trust{address.host, options.caFile, options.fingerprint};
  Arm();
  auto started = co_await StartClientTls(socket, trust);
  Disarm();
  if (!started.channel) {
    why = timedOut
              ? "TLS with " + address.host + ": no answer within " + InSeconds(options.replyTimeout)
              : started.error;
    co_return false;
  }
  channel = std::move(started.channel);
  co_return true;
}

asio::awaitable<bool> Follower::State::LogIn(std::string& why) {
  if (options.user.empty()) co_return true;
  for (const auto* text : {&options.user, &options.password, &options.ups}) {
    if (text->find_first_of("\r\n") != std::string::npos) {
      why = "the user, password or UPS name holds a line break";
      co_return false;
    }
  }
  // As a secondary: the primary counts this login and waits for it before cutting the power.
  const std::string commands[] = {"USERNAME " + Word(options.user),
                                  "PASSWORD " + Word(options.password),
                                  "LOGIN " + Word(options.ups)};
  for (const auto& command : commands) {
    const auto reply = co_await Ask(command, why);
    if (!reply) co_return false;
    if (*reply != "OK") {
      why = "the server answered " + command.substr(0, command.find(' ')) + " with \"" +
            Shown(*reply) + "\"";
      co_return false;
    }
  }
  co_return true;
}

// Asks the server whether a rehearsal is under way and, for a new one, answers with this machine's.
// Nothing when the connection failed.
asio::awaitable<std::optional<std::string>> Follower::State::Rehearse(std::string& why) {
  const std::string ask = "GET VAR " + Word(options.ups) + " corvale.drill";
  const auto reply = co_await Ask(ask, why);
  if (!reply) co_return std::nullopt;
  const auto words = nut::SplitWords(*reply);
  if (!words || words->size() != 4 || (*words)[0] != "VAR") {
    asksRehearsals = false;  // not this project's server: never asked again on this connection
    co_return "";
  }
  const std::string& id = (*words)[3];
  if (id == "0" || id == lastRehearsal || id.find_first_not_of("0123456789") != std::string::npos) {
    co_return "";
  }
  // A server that asks at every poll is answered now and then: the new number waits, and the
  // primary waits longer than this for the answers.
  constexpr auto kRehearsalGap = std::chrono::seconds(10);
  if (lastRehearsedAt && Clock::now() - *lastRehearsedAt < kRehearsalGap) co_return "";
  lastRehearsal = id;
  lastRehearsedAt = Clock::now();
  auto rehearsal = options.rehearse();
  for (char& c : rehearsal.text) {
    if (static_cast<unsigned char>(c) < ' ' || c == '\x7f') c = ' ';  // one line
  }
  const std::string head =
      "DRILL " + Word(options.ups) + " ANSWER " + id + (rehearsal.ready ? " 1 " : " 0 ");
  // The whole line within what a server takes: the text cut short where it would not fit.
  std::string quoted = nut::Quote(rehearsal.text);
  constexpr std::size_t kRoom = nut::kMaxLineLength - 2;
  while (head.size() + quoted.size() > kRoom && !rehearsal.text.empty()) {
    rehearsal.text.resize(rehearsal.text.size() > 40 ? rehearsal.text.size() - 20 : 0);
    quoted = nut::Quote(rehearsal.text + "...");
  }
  const std::string answer = head + quoted;
  const auto answered = co_await Ask(answer, why);
  if (answered && *answered != "OK") {
    log.Log(Priority::kWarning,
            "the server did not take this machine's drill answer: \"" + Shown(*answered) + "\"");
  }
  co_return answered;
}

asio::awaitable<std::string> Follower::State::Poll() {
  asksRehearsals = options.rehearse && !options.user.empty();
  const std::string command = "GET VAR " + Word(options.ups) + " ups.status";
  for (;;) {
    std::string why;
    if (loggingOut && holding) {
      if (const auto id = HoldConnectionToTheEnd(static_cast<std::intptr_t>(socket.native_handle()),
                                                 holdAtMost, &holdProblem)) {
        holder = *id;
        heldAway = true;
        co_return "";
      }
    }
    if (loggingOut) {
      // Whatever the answer, or none in time: the connection ends here.
      const std::string logout = "LOGOUT";
      loggedOut = co_await Ask(logout, why) ? true : false;
      co_return "";
    }
    if (shuttingDown && !saidShuttingDown && !options.user.empty()) {
      saidShuttingDown = true;
      const std::string saying = "SHUTTING-DOWN " + Word(options.ups);
      const auto said = co_await Ask(saying, why);
      if (!said) co_return why;
      if (*said != "OK") {
        log.Log(Priority::kInfo,
                "the server did not take this machine's word that its shutdown has started (\"" +
                    Shown(*said) + "\"): it measures this machine to its logout");
      }
    }
    const auto asked = Clock::now();
    const auto reply = co_await Ask(command, why);
    if (!reply) co_return why;
    if (*reply == "ERR DATA-STALE") {
      // The server is there; its UPS data is not. The connection stays.
      Tell({false, "", "the server's data is stale"});
    } else {
      const auto words = nut::SplitWords(*reply);
      if (!words || words->size() != 4 || (*words)[0] != "VAR" || (*words)[1] != options.ups ||
          (*words)[2] != "ups.status") {
        co_return "the server answered GET VAR with \"" + Shown(*reply) + "\"";
      }
      Reached((*words)[3]);
      if (asksRehearsals && !co_await Rehearse(why)) co_return why;
    }
    if (loggingOut) continue;
    pause.expires_at(asked + options.pollEvery);
    co_await pause.async_wait(kAwaitTuple);  // LogOut cuts it short
  }
}

asio::awaitable<std::string> Follower::State::Connection() {
  Arm();
  found.reset();
  lookupWait.expires_at(asio::steady_timer::time_point::max());
  lookup = std::make_unique<PendingLookup>(io.get_executor(), address.host, address.port,
                                           [this, generation = ++lookups](LookupResult result) {
                                             if (generation != lookups) return;
                                             found = std::move(result);
                                             lookupWait.cancel();
                                           });
  co_await lookupWait.async_wait(kAwaitTuple);
  lookup.reset();  // a late one ends on its own
  Disarm();
  if (!found) co_return Failed(asio::error::timed_out, "cannot find " + address.host);
  if (found->error) co_return Failed(found->error, "cannot find " + address.host);
  const auto endpoints = std::move(found->endpoints);
  Arm();
  const auto [connectFailed, endpoint] =
      co_await asio::async_connect(socket, endpoints, kAwaitTuple);
  Disarm();
  if (connectFailed) co_return Failed(connectFailed, "cannot connect to " + options.server);
  channel = std::make_unique<PlainChannel>(socket);
  saidShuttingDown = false;
  std::string why;
  if (!co_await StartTls(why) || !co_await LogIn(why)) co_return why;
  co_return co_await Poll();
}

asio::awaitable<void> Follower::State::Run() {
  auto backoff = options.firstBackoff;
  while (!loggingOut) {
    reachedThisTime = false;
    const auto connected = Clock::now();
    const std::string why = co_await Connection();
    CloseSocket();
    channel.reset();
    pending.clear();
    if (loggingOut) break;
    if (reconnectNow) {
      reconnectNow = false;
      log.Log(Priority::kInfo,
              "the machine woke from sleep: logging in to " + options.server + " again");
      backoff = options.firstBackoff;
      continue;
    }
    // Only a connection that held a while counts as recovered: one the server drops after each
    // reply is retried ever more slowly, and logged once.
    const bool held = reachedThisTime && Clock::now() - connected >= options.longestBackoff;
    if (held) backoff = options.firstBackoff;
    if (held) down = false;
    // Not even reached after "again" was said: gone, and worth a line of its own.
    if (saidAgain && !reachedThisTime) down = false;
    if (!down) {
      log.Log(Priority::kWarning, "cannot follow " + Names() + ": " + why + "; reconnecting");
      down = true;
      saidAgain = false;
    }
    Tell({false, "", why});
    // A random part on top, so that many machines that lost the server at one instant do not
    // all come back at one instant.
    std::uniform_int_distribution<long long> spread(0, backoff.count() / 2);
    const auto until = Clock::now() + backoff + std::chrono::milliseconds(spread(random));
    while (!loggingOut && !reconnectNow && Clock::now() < until) {
      pause.expires_at(std::min(until, Clock::now() + options.pollEvery));
      co_await pause.async_wait(kAwaitTuple);
      // Meanwhile the readings go on, for a policy that counts the time.
      if (!loggingOut && !reconnectNow && Clock::now() < until) Tell({false, "", why});
    }
    if (reconnectNow) {
      reconnectNow = false;
      backoff = options.firstBackoff;
      continue;
    }
    backoff = std::min(backoff * 2, options.longestBackoff);
  }
}

Follower::Follower(FollowerOptions options, Logger& log, Report report)
    : state_(std::make_unique<State>(std::move(options), log, std::move(report))) {}

Follower::~Follower() {
  Stop();
}

void Follower::Start() {
  std::lock_guard lock(state_->joining);
  if (state_->thread.joinable()) return;
  asio::co_spawn(state_->io, state_->Run(), [state = state_.get()](const std::exception_ptr&) {
    state->endedPromise.set_value();
  });
  state_->thread = std::thread([state = state_.get()] { state->io.run(); });
}

void Follower::Reconnect() {
  asio::post(state_->io, [state = state_.get()] {
    constexpr auto kOneWaking = std::chrono::seconds(5);
    const auto now = Clock::now();
    if (state->loggingOut || (state->lastReconnect && now - *state->lastReconnect < kOneWaking)) {
      return;
    }
    state->lastReconnect = now;
    state->reconnectNow = true;
    state->CloseSocket();
    state->pause.cancel();
  });
}

void Follower::SayShuttingDown() {
  state_->shuttingDown = true;
  asio::post(state_->io, [state = state_.get()] { state->pause.cancel(); });
}

Follower::Hold Follower::HoldToTheEnd(std::chrono::milliseconds within,
                                      std::chrono::seconds atMost) {
  asio::post(state_->io, [state = state_.get(), atMost] {
    state->holding = true;
    state->holdAtMost = atMost;
    state->loggingOut = true;
    state->pause.cancel();
    state->lookupWait.cancel();
  });
  {
    std::lock_guard lock(state_->joining);
    if (!state_->thread.joinable()) return {Hold::How::kNeither, 0, "not started"};
  }
  if (state_->ended.wait_for(within) != std::future_status::ready) {
    return {Hold::How::kNeither, 0, "no answer in time"};
  }
  // The follower's thread has ended: what it left is read without a race.
  if (state_->heldAway) return {Hold::How::kHeld, state_->holder, {}};
  const std::string why = state_->holdProblem.empty() ? "not connected" : state_->holdProblem;
  return {state_->loggedOut ? Hold::How::kLoggedOut : Hold::How::kNeither, 0, why};
}

bool Follower::LogOut(std::chrono::milliseconds within) {
  asio::post(state_->io, [state = state_.get()] {
    state->loggingOut = true;
    state->pause.cancel();
    state->lookupWait.cancel();
  });
  {
    std::lock_guard lock(state_->joining);
    if (!state_->thread.joinable()) return false;
  }
  state_->ended.wait_for(within);
  return state_->loggedOut;
}

void Follower::Stop() {
  state_->io.stop();
  // From a report the thread cannot wait for itself; it ends once the report returns.
  if (state_->io.get_executor().running_in_this_thread()) return;
  std::lock_guard lock(state_->joining);
  if (state_->thread.joinable()) state_->thread.join();
}

}  // namespace corvale::host::agent
