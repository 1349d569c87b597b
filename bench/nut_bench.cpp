// The NUT server of a running service (on the simulator) under load: requests per second and
// p99 latency with 1, 64 and 512 clients connected, next to a bare loopback echo server driven
// the same way, and the service's memory per connection. Prints "name value".
#include <algorithm>
#include <asio.hpp>
#include <cstdio>
#include <fstream>
#include <thread>

#include "bench/resident.h"
#include "tests/support/free_port.h"
#include "tests/support/line_fixture.h"
#include "tests/support/subprocess.h"

namespace {

using corvale::bench::ResidentKiB;
using corvale::testing::FreePort;

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

struct Load {
  double requestsPerSecond;
  double p99Microseconds;
};

// `clients` connections each sending `request` and waiting for its one-line reply, for `duration`.
Load Drive(int port, int clients, const std::string& request, std::chrono::milliseconds duration) {
  asio::io_context io;
  struct Client {
    explicit Client(asio::io_context& context) : socket(context) {}
    tcp::socket socket;
    asio::streambuf reply;
    Clock::time_point sent;
  };
  std::vector<std::unique_ptr<Client>> all;
  std::vector<double> latencies;
  const Clock::time_point end = Clock::now() + duration;
  std::function<void(Client&)> ask = [&](Client& client) {
    if (Clock::now() >= end) return;
    client.sent = Clock::now();
    asio::async_write(
        client.socket, asio::buffer(request), [&](std::error_code failed, std::size_t) {
          if (failed) return;
          asio::async_read_until(
              client.socket, client.reply, '\n', [&](std::error_code readFailed, std::size_t size) {
                if (readFailed) return;
                client.reply.consume(size);
                latencies.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - client.sent).count());
                ask(client);
              });
        });
  };
  const tcp::endpoint server(asio::ip::make_address("127.0.0.1"),
                             static_cast<unsigned short>(port));
  for (int i = 0; i < clients; ++i) {
    all.push_back(std::make_unique<Client>(io));
    all.back()->socket.connect(server);
  }
  const Clock::time_point start = Clock::now();
  for (auto& client : all) ask(*client);
  io.run();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(latencies.begin(), latencies.end());
  return {static_cast<double>(latencies.size()) / seconds,
          latencies.empty() ? 0 : latencies[latencies.size() * 99 / 100]};
}

// A bare echo server: the floor for a request and its reply on loopback.
class EchoServer {
 public:
  EchoServer() : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~EchoServer() {
    io_.stop();
    thread_.join();
  }
  int Port() const { return acceptor_.local_endpoint().port(); }

 private:
  struct Session : std::enable_shared_from_this<Session> {
    explicit Session(tcp::socket s) : socket(std::move(s)) {}
    void Read() {
      socket.async_read_some(asio::buffer(data), [self = shared_from_this()](std::error_code failed,
                                                                             std::size_t count) {
        if (failed) return;
        asio::async_write(self->socket, asio::buffer(self->data, count),
                          [self](std::error_code writeFailed, std::size_t) {
                            if (!writeFailed) self->Read();
                          });
      });
    }
    tcp::socket socket;
    char data[1024];
  };
  void Accept() {
    acceptor_.async_accept([this](std::error_code failed, tcp::socket socket) {
      if (!failed) std::make_shared<Session>(std::move(socket))->Read();
      Accept();
    });
  }
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: nut_bench CORVALE_UPS [SECONDS]\n");
    return 2;
  }
  const auto duration = std::chrono::milliseconds(argc > 2 ? std::atoi(argv[2]) * 1000 : 2000);
  corvale::testing::Line line;
  const int port = FreePort();
  const auto config = line.directory.Path() / "bench.toml";
  std::ofstream(config)
      << "[ups]\nname = \"bench\"\nport = \"COM1\"\ndevices = \"" << line.Devices().string()
      << "\"\nregistry = \"" << line.registry.Root().string()
      << "\"\n[network]\nlisten = [\"127.0.0.1:" << port
      << "\"]\nmax_clients = 600\n[events]\nhistory = \"\"\n[http]\nlisten = []\n";
  corvale::testing::Subprocess service(
      {"/bin/sh", "-c", "exec \"$0\" service --config \"$1\" 2>&1", argv[1], config.string()});
  while (auto said = service.ReadLine(std::chrono::seconds(10))) {
    if (said->find("bench: online") != std::string::npos) break;
  }
  const std::string request = "GET VAR bench ups.status\n";
  const tcp::endpoint server(asio::ip::make_address("127.0.0.1"),
                             static_cast<unsigned short>(port));

  // Memory first, before any load has grown the heap: 512 idle connections against none.
  {
    const std::string pid = corvale::testing::Subprocess({"pgrep", "-n", "-f", config.string()})
                                .ReadLine(std::chrono::seconds(5))
                                .value_or("0");
    const long before = ResidentKiB(std::stoi(pid));
    asio::io_context io;
    std::vector<tcp::socket> idle;
    for (int i = 0; i < 512; ++i) {
      idle.emplace_back(io);
      idle.back().connect(server);
      asio::write(idle.back(), asio::buffer(request));
      asio::streambuf reply;
      asio::read_until(idle.back(), reply, '\n');
    }
    std::printf("nut_bytes_per_connection %.0f\n",
                1024.0 * static_cast<double>(ResidentKiB(std::stoi(pid)) - before) / 512);
  }

  EchoServer echo;
  for (int clients : {1, 64, 512}) {
    const Load bare = Drive(echo.Port(), clients, request, duration);
    const Load nut = Drive(port, clients, request, duration);
    std::printf("nut_rps_%d %.0f\nnut_p99_us_%d %.0f\necho_rps_%d %.0f\necho_p99_us_%d %.0f\n",
                clients, nut.requestsPerSecond, clients, nut.p99Microseconds, clients,
                bare.requestsPerSecond, clients, bare.p99Microseconds);
    std::printf("nut_ratio_%d %.2f\n", clients, nut.requestsPerSecond / bare.requestsPerSecond);
  }
  return 0;
}
