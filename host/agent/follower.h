// A NUT client that follows one UPS on a server for a machine without the serial cable: it logs in
// as a secondary (so that the server's primary waits for this machine before cutting the power),
// reads "ups.status" every `pollEvery` and reports what it got, and after any trouble reconnects
// and logs in again. Standard protocol commands only, so any NUT server will do.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/log.h"

namespace corvale::host::agent {

struct FollowerOptions {
  std::string server;  // "host:port", "[v6]:port" or "host" (3493)
  std::string ups;
  std::string user;  // empty: read without logging in
  std::string password;
  std::chrono::milliseconds pollEvery{1000};
  // Every reply, and every connection attempt, within this.
  std::chrono::milliseconds replyTimeout{5000};
  // Reconnecting waits this long, doubling up to `longestBackoff`, plus a random part.
  std::chrono::milliseconds firstBackoff{1000};
  std::chrono::milliseconds longestBackoff{30000};
  // STARTTLS is asked for with a CA file, a pinned fingerprint or `requireTls` (alone, it checks
  // against the system's CAs); once asked for, a refusal is never followed by a password in clear.
  bool requireTls = false;
  std::string caFile;       // PEM: the server's certificate must chain to it and name the host
  std::string fingerprint;  // "AA:BB:..": the SHA-256 of the server's own certificate
  // A rehearsal of the shutdown that this project's NUT server asks its logged-in agents for:
  // whether this machine's own shutdown is ready, and what is not. None: never asked. Called on
  // the follower's thread; must not block.
  struct Rehearsal {
    bool ready = false;
    std::string text;
  };
  std::function<Rehearsal()> rehearse;
};

// One try at reading the status: reached with its words, or not (unreachable, or stale data).
struct Reading {
  bool reached = false;
  std::string status;
  std::string reason;  // why not reached
};

class Follower {
 public:
  // `report` is called on the follower's own thread, once per reading.
  using Report = std::function<void(const Reading&)>;
  Follower(FollowerOptions options, Logger& log, Report report);
  ~Follower();
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

  void Start();
  // Says LOGOUT and closes, and connects no more; for when this machine's own shutdown has begun,
  // never before (the primary waits for logged-in secondaries). Waits for that up to `within`
  // (zero: returns at once); true once the server has answered the LOGOUT (not when there was no
  // connection to say it on).
  bool LogOut(std::chrono::milliseconds within = std::chrono::milliseconds(0));
  // This machine's shutdown command has started: the server hears so (this project's server
  // then takes the end of this session for the machine going down; a standard one answers an
  // error, which changes nothing), on this connection and on any later one. From any thread.
  void SayShuttingDown();
  // The system stops the service as this machine goes down, after SayShuttingDown: no LOGOUT.
  // The connection is handed to a process of its own that holds it until the system ends every
  // process, at most `atMost`, so that the server sees it close as the machine goes down. Where it
  // cannot be held (Windows, or no connection now) it logs out as LogOut does. Connects no more.
  // Waits up to `within`.
  struct Hold {
    enum class How { kHeld, kLoggedOut, kNeither } how = How::kNeither;
    std::int64_t holder = 0;  // its process ID, when held
    std::string why;          // why not held
  };
  Hold HoldToTheEnd(std::chrono::milliseconds within, std::chrono::seconds atMost);
  // The machine woke from sleep: the connection it had may be dead without a word, and its login
  // gone on the server. Closes it, and connects and logs in again at once, whatever the backoff.
  // From any thread; nothing once LogOut was called.
  void Reconnect();
  // Ends the follower within a second; from any thread, the report included (there it only asks,
  // and a later Stop or the destructor waits). No report runs once it has returned.
  void Stop();

  struct State;  // in follower.cpp

 private:
  std::unique_ptr<State> state_;
};

}  // namespace corvale::host::agent
