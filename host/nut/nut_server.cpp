#include "host/nut/nut_server.h"

#include <array>
#include <atomic>
#include <deque>

#include "host/nut/nut_transport.h"

namespace corvale::nut {

namespace {

using asio::ip::tcp;
// Replies a client has not read yet; a client that stops reading is dropped past this.
constexpr std::size_t kMostQueuedOutput = 64 * 1024;
// Requests that arrived while an instant command runs.
constexpr std::size_t kMostQueuedLines = 16;

}  // namespace

struct Server::State {
  State(Backend& served, ServerOptions chosen, host::Logger& logger)
      : backend(served), options(std::move(chosen)), log(logger) {}
  // Destroyed bottom up: connections still queued in `io` go before what they use.
  Backend& backend;
  ServerOptions options;
  host::Logger& log;
  std::atomic<std::size_t> clients{0};
  TlsContextPointer tls;
  asio::io_context io;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  void Accept(tcp::acceptor& acceptor);
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, Server::State& server, const std::string& address)
      : socket_(std::move(socket)),
        server_(server),
        timer_(socket_.get_executor()),
        session_(server.backend, address),
        transport_(std::make_unique<PlainTransport>(socket_)) {}
  ~Connection() { --server_.clients; }

  void Start() {
    ResetIdleTimer();
    Read();
  }

 private:
  void ResetIdleTimer() {
    timer_.expires_after(server_.options.idleTimeout);
    timer_.async_wait([self = shared_from_this()](const std::error_code& cancelled) {
      if (!cancelled) self->Close();
    });
  }

  void Read() {
    if (closed_ || reading_ || upgrading_ || upgradeAfterWrite_) return;  // TLS reads next
    reading_ = true;
    transport_->Read(asio::buffer(input_),
                     [self = shared_from_this()](const std::error_code& failed, std::size_t count) {
                       self->reading_ = false;
                       if (failed) return self->Close();
                       self->Take(count);
                     });
  }

  // Splits what arrived into lines; a line too long is answered and skipped to its end.
  void Take(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const char c = input_[i];
      if (c == '\n') {
        if (tooLong_) {
          Send("ERR TOO-LONG\n");
        } else if (lines_.size() >= kMostQueuedLines) {
          return Close();
        } else {
          lines_.push_back(std::move(line_));
        }
        line_.clear();
        tooLong_ = false;
      } else if (line_.size() + 1 >= kMaxLineLength) {
        tooLong_ = true;
        line_.clear();
      } else if (!tooLong_) {
        line_ += c;
      }
    }
    Process();
    Read();
  }

  void Process() {
    while (!busy_ && !closed_ && !upgrading_ && !lines_.empty()) {
      const std::string line = std::move(lines_.front());
      lines_.pop_front();
      ResetIdleTimer();
      std::weak_ptr<Connection> weak = shared_from_this();
      auto later = [weak, &io = server_.io](std::string reply) {
        asio::post(io, [weak, reply = std::move(reply)] {
          if (auto self = weak.lock()) {
            self->busy_ = false;
            self->Send(reply);
            self->Process();
            self->Read();
          }
        });
      };
      const Session::Result result = session_.Handle(line, later);
      busy_ = result.pending;
      Send(result.reply);
      if (result.close) closeAfterWrite_ = true;
      if (result.startTls) upgradeAfterWrite_ = true;
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
                      });
  }

  void Upgrade() {
    upgradeAfterWrite_ = false;
    upgrading_ = true;
    StartTls(socket_, *server_.tls, [self = shared_from_this()](std::unique_ptr<Transport> tls) {
      self->upgrading_ = false;
      if (!tls) return self->Close();
      self->transport_ = std::move(tls);
      self->session_.TlsStarted();
      self->Process();
      self->Read();
    });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    std::error_code ignored;
    timer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  tcp::socket socket_;
  Server::State& server_;
  asio::steady_timer timer_;
  Session session_;
  std::unique_ptr<Transport> transport_;
  std::array<char, 1024> input_{};
  std::string line_;
  bool tooLong_ = false;
  std::deque<std::string> lines_;
  std::deque<std::string> output_;
  std::size_t queuedBytes_ = 0;
  bool reading_ = false, writing_ = false, busy_ = false, closed_ = false;
  bool closeAfterWrite_ = false, upgradeAfterWrite_ = false, upgrading_ = false;
};

// "127.0.0.1:3493", "[::1]:3493", "localhost:3493" as host and port.
bool SplitAddress(const std::string& text, std::string* host, std::string* port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = text.substr(0, colon);
  *port = text.substr(colon + 1);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  return true;
}

}  // namespace

void Server::State::Accept(tcp::acceptor& acceptor) {
  acceptor.async_accept([this, &acceptor](const std::error_code& failed, tcp::socket socket) {
    if (failed == asio::error::operation_aborted) return;
    if (!failed) {
      std::error_code ignored;
      const auto peer = socket.remote_endpoint(ignored);
      if (clients >= options.maxClients) {
        socket.close(ignored);  // full: the client sees the connection closed at once
      } else {
        ++clients;
        std::make_shared<Connection>(std::move(socket), *this, peer.address().to_string())->Start();
      }
    }
    Accept(acceptor);
  });
}

Server::Server(Backend& backend, ServerOptions options, host::Logger& log)
    : state_(std::make_unique<State>(backend, std::move(options), log)) {}

Server::~Server() {
  Stop();
}

bool Server::Start(std::string* error) {
  if (!state_->options.certificate.empty()) {
    state_->tls = LoadTlsContext(state_->options.certificate, state_->options.key, error);
    if (!state_->tls) return false;
  }
  for (const auto& address : state_->options.listen) {
    std::string host, port;
    std::error_code failed;
    if (!SplitAddress(address, &host, &port)) {
      *error = "cannot listen on \"" + address + "\": give it as address:port";
      return false;
    }
    tcp::resolver resolver(state_->io);
    const auto endpoints = resolver.resolve(host, port, tcp::resolver::passive, failed);
    for (const auto& entry : endpoints) {
      if (failed) break;
      auto acceptor = std::make_unique<tcp::acceptor>(state_->io);
      acceptor->open(entry.endpoint().protocol(), failed);
      if (!failed) acceptor->set_option(tcp::acceptor::reuse_address(true), failed);
      if (!failed) acceptor->bind(entry.endpoint(), failed);
      if (!failed) acceptor->listen(asio::socket_base::max_listen_connections, failed);
      if (!failed) state_->acceptors.push_back(std::move(acceptor));
    }
    if (failed) {
      *error = "cannot listen on " + address + ": " + failed.message();
      return false;
    }
  }
  for (auto& acceptor : state_->acceptors) state_->Accept(*acceptor);
  thread_ = std::thread([this] { state_->io.run(); });
  return true;
}

void Server::Stop() {
  if (!thread_.joinable()) return;
  state_->io.stop();
  thread_.join();
}

std::vector<unsigned short> Server::Ports() const {
  std::vector<unsigned short> ports;
  for (const auto& acceptor : state_->acceptors) {
    std::error_code ignored;
    ports.push_back(acceptor->local_endpoint(ignored).port());
  }
  return ports;
}

bool CheckTlsFiles(const std::string& certificate, const std::string& key, std::string* error) {
  return LoadTlsContext(certificate, key, error) != nullptr;
}

}  // namespace corvale::nut
