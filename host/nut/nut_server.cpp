#include "host/nut/nut_server.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <deque>
#include <list>
#include <mutex>
#include <set>
#include <string_view>

#include "host/listening.h"
#include "host/nut/nut_transport.h"

namespace corvale::nut {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
// Replies a client has not read yet; a client that stops reading is dropped past this.
constexpr std::size_t kMostQueuedOutput = 64 * 1024;
// Requests read ahead of their replies; reading stops past this until they are answered.
constexpr std::size_t kMostQueuedLines = 16;
// How long accepting pauses when the process is out of file descriptors.

class Connection;

}  // namespace

// One configured address: its sockets once bound, and the retry while it cannot be.
// Where replies that come later (an instant command, a drill) are posted: they may come after
// the server has stopped, from another thread, and then go nowhere.
struct LaterPoster {
  std::mutex mutex;
  asio::io_context* io = nullptr;  // none once the server has stopped
  template <typename Handler>
  void Post(Handler handler) {
    std::lock_guard lock(mutex);
    if (io != nullptr) asio::post(*io, std::move(handler));
  }
};

struct Server::State {
  State(Backend& served, ServerOptions chosen, host::Logger& logger)
      : backend(served), options(std::move(chosen)), log(logger) {
    poster->io = &io;
  }
  // Destroyed bottom up: connections still queued in `io` go before what they use, and the
  // sockets and timers before `io`.
  Backend& backend;
  ServerOptions options;
  host::Logger& log;
  TlsContextPointer tls;
  bool tlsFailing = false;
  // Why handshakes failed, each logged once: a client cannot fill the log by failing again.
  std::set<std::string> handshakeFailures;
  // The io thread's own: the open connections, for the bounds and for eviction.
  std::list<Connection*> connections;
  std::size_t clients = 0;
  std::atomic<std::size_t> open{0};  // the same count, for readers on other threads
  bool paused = false;
  mutable std::mutex portsMutex;  // Ports() is asked from other threads
  asio::io_context io;
  std::list<host::ListenAddress> listeners;
  asio::steady_timer pause{io};
  std::shared_ptr<LaterPoster> poster = std::make_shared<LaterPoster>();

  void ServeAll();
  bool LoadTls();
  void HandshakeFailed(const std::string& address, const std::string& why);
  void Admit(tcp::socket socket);
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, Server::State& server, std::string address, std::string group)
      : socket_(std::move(socket)),
        server_(server),
        timer_(socket_.get_executor()),
        address_(std::move(address)),
        group_(std::move(group)),
        session_(server.backend, address_),
        transport_(std::make_unique<PlainTransport>(socket_)) {
    ++server_.clients;
    ++server_.open;
    place_ = server_.connections.insert(server_.connections.end(), this);
  }
  ~Connection() {
    server_.connections.erase(place_);
    --server_.open;
    if (!closed_) --server_.clients;
  }

  void Start() {
    ResetIdleTimer();
    Read();
  }

  const std::string& Group() const { return group_; }
  bool Open() const { return !closed_; }
  // A place a full server may take back: not an upsmon logged in, and quiet the longest.
  bool Evictable() const { return !closed_ && !session_.LoggedIn(); }
  Clock::time_point LastHeard() const { return lastHeard_; }

  void Close() {
    if (closed_) return;
    closed_ = true;
    --server_.clients;
    std::error_code ignored;
    timer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

 private:
  struct Request {
    std::string line;
    bool tooLong = false;
    bool startsTls = false;
  };

  void ResetIdleTimer() {
    lastHeard_ = Clock::now();
    timer_.expires_after(server_.options.idleTimeout);
    timer_.async_wait([self = shared_from_this()](const std::error_code& cancelled) {
      if (!cancelled) self->Close();
    });
  }

  void Read() {
    // TLS reads next, or may: no plaintext read may be outstanding when the handshake begins (it
    // would take the client's first TLS bytes, or pass plaintext off as sent through TLS). Or
    // enough is waiting for its replies.
    if (closed_ || reading_ || upgrading_ || upgradeAfterWrite_ || tlsAsked_) return;
    if (requests_.size() >= kMostQueuedLines || queuedBytes_ >= kMostQueuedOutput / 2) return;
    reading_ = true;
    transport_->Read(asio::buffer(input_),
                     [self = shared_from_this()](const std::error_code& failed, std::size_t count) {
                       self->reading_ = false;
                       if (failed) {
                         // Not one this server closed: the client's side ended it.
                         if (!self->closed_) self->session_.PeerClosed();
                         return self->Close();
                       }
                       self->Take(count);
                     });
  }

  // Splits what arrived into requests, in order; a line too long is one too, answered with an
  // error in its turn.
  void Take(std::size_t count) {
    Split(std::string_view(input_.data(), count));
    Process();
    Read();
  }

  // Parsing stops at a STARTTLS line: the bytes behind it wait, unread as requests, until its
  // answer says whether they came before a handshake (then they are dropped) or not.
  void Split(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\n') {
        const bool startsTls = !tooLong_ && Session::AsksForTls(line_);
        requests_.push_back({tooLong_ ? std::string() : std::move(line_), tooLong_, startsTls});
        line_.clear();
        tooLong_ = false;
        if (startsTls) {
          tlsAsked_ = true;
          heldBack_.assign(bytes.substr(i + 1));
          return;
        }
      } else if (line_.size() + 1 >= kMaxLineLength) {
        tooLong_ = true;
        line_.clear();
      } else if (!tooLong_) {
        line_ += c;
      }
    }
  }

  void Process() {
    while (!busy_ && !closed_ && !upgrading_ && !upgradeAfterWrite_ && !requests_.empty()) {
      Request request = std::move(requests_.front());
      requests_.pop_front();
      ResetIdleTimer();
      if (request.tooLong) {
        Send("ERR TOO-LONG\n");
        continue;
      }
      std::weak_ptr<Connection> weak = shared_from_this();
      auto later = [weak, poster = server_.poster](std::string reply) {
        poster->Post([weak, reply = std::move(reply)] {
          if (auto self = weak.lock()) {
            self->busy_ = false;
            self->Send(reply);
            self->Process();
            self->Read();
          }
        });
      };
      const Session::Result result = session_.Handle(request.line, later);
      busy_ = result.pending;
      Send(result.reply);
      if (result.close) closeAfterWrite_ = true;
      if (request.startsTls) {
        tlsAsked_ = false;
        std::string behind = std::move(heldBack_);
        heldBack_.clear();
        // Refused: what followed is an ordinary request or more.
        if (!result.startTls) Split(behind);
      }
      if (result.startTls) {
        // Nothing sent in the clear after STARTTLS may pass for what came through TLS.
        upgradeAfterWrite_ = true;
        requests_.clear();
        line_.clear();
        tooLong_ = false;
      }
      if (result.close || result.startTls) break;
    }
  }

  void Send(const std::string& text) {
    if (text.empty() || closed_) return;
    queuedBytes_ += text.size();
    if (queuedBytes_ > kMostQueuedOutput) return Close();  // it does not read its replies
    output_.push_back(text);
    Write();
  }

  void Write() {
    if (writing_ || closed_) return;
    if (output_.empty()) {
      if (closeAfterWrite_) return Close();
      if (upgradeAfterWrite_) Upgrade();
      return;
    }
    writing_ = true;
    transport_->Write(asio::buffer(output_.front()),
                      [self = shared_from_this()](const std::error_code& failed, std::size_t) {
                        self->writing_ = false;
                        if (failed) return self->Close();
                        self->queuedBytes_ -= self->output_.front().size();
                        self->output_.pop_front();
                        self->Write();
                        self->Process();
                        self->Read();
                      });
  }

  void Upgrade() {
    upgradeAfterWrite_ = false;
    if (reading_) return Close();  // cannot happen: Read() waits for the answer to STARTTLS
    upgrading_ = true;
    StartTls(
        socket_, *server_.tls,
        [self = shared_from_this()](std::unique_ptr<Transport> tls, const std::string& failure) {
          self->upgrading_ = false;
          if (!tls) {
            self->server_.HandshakeFailed(self->address_, failure);
            return self->Close();
          }
          self->transport_ = std::move(tls);
          self->session_.TlsStarted();
          self->Process();
          self->Read();
        });
  }

  tcp::socket socket_;
  Server::State& server_;
  asio::steady_timer timer_;
  std::string address_;
  std::string group_;  // host::AddressGroup of the address: what the per-address cap counts
  Session session_;
  std::unique_ptr<Transport> transport_;
  std::list<Connection*>::iterator place_;
  Clock::time_point lastHeard_ = Clock::now();
  std::array<char, 1024> input_{};
  std::string line_;
  bool tooLong_ = false;
  std::deque<Request> requests_;
  // A STARTTLS line is queued: reading waits, and what came behind it is held back here.
  bool tlsAsked_ = false;
  std::string heldBack_;
  std::deque<std::string> output_;
  std::size_t queuedBytes_ = 0;
  bool reading_ = false, writing_ = false, busy_ = false, closed_ = false;
  bool closeAfterWrite_ = false, upgradeAfterWrite_ = false, upgrading_ = false;
};

}  // namespace

void Server::State::HandshakeFailed(const std::string& address, const std::string& why) {
  constexpr std::size_t kMostReasons = 8;
  if (handshakeFailures.size() >= kMostReasons || !handshakeFailures.insert(why).second) return;
  log.Log(host::Priority::kWarning,
          "a TLS handshake with " + address + " failed: " + why + " (logged once for each reason)");
}

bool Server::State::LoadTls() {
  if (options.certificate.empty() || tls) return true;
  std::string error;
  tls = LoadTlsContext(options.certificate, options.key, &error);
  if (!tls && !tlsFailing) {
    log.Log(host::Priority::kError,
            "not sharing the UPS on the network until STARTTLS can be "
            "offered: " +
                error + "; trying again every " +
                std::to_string(
                    std::chrono::duration_cast<std::chrono::seconds>(options.retryEvery).count()) +
                " s");
  } else if (tls && tlsFailing) {
    log.Log(host::Priority::kNotice, "the certificate can be used now");
  }
  tlsFailing = !tls;
  return tls != nullptr;
}

void Server::State::ServeAll() {
  if (!LoadTls()) {
    pause.expires_after(options.retryEvery);
    pause.async_wait([this](const std::error_code& cancelled) {
      if (!cancelled) ServeAll();
    });
    return;
  }
  for (auto& listener : listeners) {
    listener.Bind(io, log, "", options.retryEvery, portsMutex, [this](tcp::acceptor& acceptor) {
      host::AcceptClients(acceptor, log, "NUT clients", paused,
                          [this](tcp::socket socket) { Admit(std::move(socket)); });
    });
  }
}

void Server::State::Admit(tcp::socket socket) {
  std::error_code ignored;
  const auto peer = socket.remote_endpoint(ignored).address();
  const std::string group = host::AddressGroup(peer);
  if (!host::LoopbackClient(peer)) {
    std::size_t same = 0;
    for (const Connection* connection : connections) {
      if (connection->Open() && connection->Group() == group) ++same;
    }
    if (same >= options.maxClientsPerAddress) return socket.close(ignored);
  }
  if (clients >= options.maxClients) {
    // Full: the longest-quiet connection that has not logged in gives up its place, so that
    // idle squatters cannot keep a rebooted upsmon out.
    Connection* victim = nullptr;
    for (Connection* connection : connections) {
      if (connection->Evictable() && (!victim || connection->LastHeard() < victim->LastHeard())) {
        victim = connection;
      }
    }
    if (victim == nullptr) return socket.close(ignored);  // the client sees it closed at once
    victim->Close();
  }
  std::make_shared<Connection>(std::move(socket), *this, peer.to_string(), group)->Start();
}

Server::Server(Backend& backend, ServerOptions options, host::Logger& log)
    : state_(std::make_unique<State>(backend, std::move(options), log)) {}

Server::~Server() {
  Stop();
}

bool Server::Start(std::string* error) {
  if (!host::ReadListenList(state_->options.listen, state_->listeners, error)) return false;
  state_->ServeAll();
  thread_ = std::thread([this] {
    auto work = asio::make_work_guard(state_->io);
    state_->io.run();
  });
  return true;
}

void Server::Stop() {
  {
    std::lock_guard lock(state_->poster->mutex);
    state_->poster->io = nullptr;
  }
  if (!thread_.joinable()) return;
  state_->io.stop();
  thread_.join();
}

std::size_t Server::Connections() const {
  return state_->open;
}

std::vector<unsigned short> Server::Ports() const {
  std::lock_guard lock(state_->portsMutex);
  return host::ListeningPorts(state_->listeners);
}

bool CheckTlsFiles(const std::string& certificate, const std::string& key, std::string* error) {
  return LoadTlsContext(certificate, key, error) != nullptr;
}

}  // namespace corvale::nut
