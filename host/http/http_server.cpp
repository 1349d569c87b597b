#include "host/http/http_server.h"

#include <array>
#include <asio.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "host/history.h"
#include "host/http/routes.h"
#include "host/listening.h"

namespace corvale::host::http {

namespace beast = boost::beast;
using asio::ip::tcp;

namespace {

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 431:
      return "Request Header Fields Too Large";
    default:
      return "Error";
  }
}

}  // namespace

struct HttpServer::State {
  State(StatusBoard& statusBoard, HttpOptions serving, Logger& logger)
      : board(statusBoard), options(std::move(serving)), log(logger) {}

  void Admit(tcp::socket socket);

  StatusBoard& board;
  HttpOptions options;
  Logger& log;
  // Open connections by remote address (its AddressGroup), the io thread's own. Counted down by
  // connections that the io's destruction ends: it goes after the io.
  std::map<std::string, std::size_t> byAddress;
  std::size_t connections = 0;  // all of them
  std::uint64_t requests = 0;   // the io thread's own
  asio::io_context io;
  std::list<ListenAddress> listeners;
  mutable std::mutex portsMutex;
  bool paused = false;  // accepting, out of descriptors
  std::thread thread;
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(HttpServer::State& server, tcp::socket socket, std::string group)
      : server_(server), socket_(std::move(socket)), deadline_(server.io), group_(group) {
    ++server_.connections;
    ++server_.byAddress[group_];
  }
  ~Connection() {
    --server_.connections;
    if (--server_.byAddress[group_] == 0) server_.byAddress.erase(group_);
  }

  void Begin() {
    NewRequest();
    Read();
  }

 private:
  void NewRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.options.maxHeaderBytes));
    parser_->body_limit(0);  // a GET has no body
    // The whole request, or the wait for the next one, must fit in the time.
    deadline_.expires_after(server_.options.requestTimeout);
    deadline_.async_wait([self = shared_from_this()](const std::error_code& cancelled) {
      if (!cancelled) self->Close();
    });
  }

  void Read() {
    socket_.async_read_some(
        asio::buffer(buffer_),
        [self = shared_from_this()](const std::error_code& error, std::size_t length) {
          if (error) return self->Close();
          self->pending_.append(self->buffer_.data(), length);
          self->Parse();
        });
  }

  void Parse() {
    beast::error_code error;
    const std::size_t used = parser_->put(boost::asio::buffer(pending_), error);
    pending_.erase(0, used);
    if (error == beast::http::error::need_more) {
      if (pending_.size() > server_.options.maxHeaderBytes) return Fail(431);
      return Read();
    }
    if (error == beast::http::error::header_limit) return Fail(431);
    if (error) return Fail(400);
    if (!parser_->is_done()) return Read();
    const auto& request = parser_->get();
    const auto method = request.method();
    const bool keepAlive =
        request.keep_alive() && ++served_ < server_.options.maxRequestsPerConnection;
    Reply reply;
    if (method != beast::http::verb::get && method != beast::http::verb::head) {
      reply = Text(405, "read-only: GET or HEAD");
    } else {
      auto snapshot = server_.board.Snapshot();
      snapshot.httpRequests = ++server_.requests;
      reply = Answer(std::string(request.target()), snapshot, server_.options.historyFile,
                     server_.options.version);
    }
    Send(reply, method == beast::http::verb::head, keepAlive);
  }

  void Fail(int status) { Send(Text(status, Reason(status)), false, false); }

  void Send(const Reply& reply, bool headOnly, bool keepAlive) {
    deadline_.cancel();
    out_ = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) +
           "\r\nContent-Type: " + reply.contentType +
           "\r\nContent-Length: " + std::to_string(reply.body.size()) +
           "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n" +
           (reply.status == 405 ? "Allow: GET, HEAD\r\n" : "") +
           "Connection: " + (keepAlive ? "keep-alive" : "close") + "\r\n\r\n";
    if (!headOnly) out_ += reply.body;
    // Writing, too, has its time: a client that does not read is dropped.
    deadline_.expires_after(server_.options.requestTimeout);
    deadline_.async_wait([self = shared_from_this()](const std::error_code& cancelled) {
      if (!cancelled) self->Close();
    });
    asio::async_write(
        socket_, asio::buffer(out_),
        [self = shared_from_this(), keepAlive](const std::error_code& error, std::size_t) {
          self->deadline_.cancel();
          if (error || !keepAlive) return self->Close();
          self->NewRequest();
          if (!self->pending_.empty()) return self->Parse();
          self->Read();
        });
  }

  void Close() {
    std::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    deadline_.cancel();
  }

  HttpServer::State& server_;
  tcp::socket socket_;
  asio::steady_timer deadline_;
  std::string group_;  // its remote address's AddressGroup
  std::array<char, 4096> buffer_;
  std::string pending_;
  std::string out_;
  std::optional<beast::http::request_parser<beast::http::empty_body>> parser_;
  std::size_t served_ = 0;
};

}  // namespace

void HttpServer::State::Admit(tcp::socket socket) {
  std::error_code unknown;
  const auto peer = socket.remote_endpoint(unknown).address();
  const std::string group = AddressGroup(peer);
  // One remote machine may not take every place (loopback is this machine's own). Looked up, not
  // indexed: a refused address must leave no entry behind.
  const auto held = byAddress.find(group);
  const std::size_t fromThere = held == byAddress.end() ? 0 : held->second;
  const bool room = connections < options.maxConnections &&
                    (LoopbackClient(peer) || fromThere < options.maxConnectionsPerAddress);
  if (!unknown && room) std::make_shared<Connection>(*this, std::move(socket), group)->Begin();
  // Beyond the bounds: closed as it goes out of scope.
}

HttpServer::HttpServer(StatusBoard& board, HttpOptions options, Logger& log)
    : state_(std::make_unique<State>(board, std::move(options), log)) {}

HttpServer::~HttpServer() {
  Stop();
}

bool HttpServer::Start(std::string* error) {
  if (!ReadListenList(state_->options.listen, state_->listeners, error)) return false;
  for (auto& listener : state_->listeners) {
    listener.Bind(state_->io, state_->log, "HTTP: ", state_->options.retryEvery, state_->portsMutex,
                  [this](tcp::acceptor& acceptor) {
                    AcceptClients(acceptor, state_->log, "HTTP clients", state_->paused,
                                  [this](tcp::socket socket) { state_->Admit(std::move(socket)); });
                  });
  }
  state_->thread = std::thread([this] { state_->io.run(); });
  return true;
}

void HttpServer::Stop() {
  if (!state_->thread.joinable()) return;
  state_->io.stop();
  state_->thread.join();
}

std::vector<unsigned short> HttpServer::Ports() const {
  std::lock_guard lock(state_->portsMutex);
  return ListeningPorts(state_->listeners);
}

}  // namespace corvale::host::http
