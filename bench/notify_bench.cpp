// Notifications: 100 notices queued while the receiver is down, delivered after it returns; the
// outbox's syncs per notice (counted by strace around this program) and the resident size they
// cost (libcurl, loaded where [[notify]] is set, apart). Prints "name value" lines for
// bench/run.sh.
#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "bench/resident.h"
#include "host/notify/notifier.h"
#include "simulator/temporary_directory.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A plain HTTP receiver that answers 200 to every request and counts them.
class Receiver {
 public:
  // Made before the measure starts, listening only from Listen on.
  Receiver() : work_(asio::make_work_guard(io_)) {
    thread_ = std::thread([this] { io_.run(); });
  }
  void Listen(unsigned short port) {
    asio::post(io_, [this, port] {
      acceptor_.open(asio::ip::tcp::v4());
      acceptor_.set_option(asio::socket_base::reuse_address(true));
      acceptor_.bind({asio::ip::make_address("127.0.0.1"), port});
      acceptor_.listen();
      Accept();
    });
  }
  ~Receiver() {
    io_.stop();
    thread_.join();
  }
  int Count() const { return count_; }

 private:
  void Accept() {
    acceptor_.async_accept([this](std::error_code failed, asio::ip::tcp::socket socket) {
      if (!failed) Serve(std::make_shared<asio::ip::tcp::socket>(std::move(socket)));
      Accept();
    });
  }
  void Serve(std::shared_ptr<asio::ip::tcp::socket> socket) {
    auto buffer = std::make_shared<std::string>();
    asio::async_read_until(
        *socket, asio::dynamic_buffer(*buffer), "\r\n\r\n",
        [this, socket, buffer](std::error_code failed, std::size_t head) {
          if (failed) return;
          const auto at = buffer->find("Content-Length: ");
          const std::size_t length =
              at == std::string::npos ? 0 : std::stoul(buffer->substr(at + 16));
          const std::size_t missing =
              head + length > buffer->size() ? head + length - buffer->size() : 0;
          asio::async_read(
              *socket, asio::dynamic_buffer(*buffer), asio::transfer_exactly(missing),
              [this, socket, buffer](std::error_code, std::size_t) {
                ++count_;
                static const std::string reply =
                    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
                asio::async_write(*socket, asio::buffer(reply),
                                  [socket](std::error_code, std::size_t) {});
              });
        });
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  asio::ip::tcp::acceptor acceptor_{io_};
  std::atomic<int> count_{0};
  std::thread thread_;
};

unsigned short FreePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

}  // namespace

int main(int argc, char** argv) {
  const int notices = argc > 1 ? std::atoi(argv[1]) : 100;
  corvale::TemporaryDirectory folder;
  const unsigned short port = FreePort();
  corvale::host::Config::Notify entry;
  entry.name = "bench";
  entry.url = "http://127.0.0.1:" + std::to_string(port) + "/";
  entry.events = {"drill"};
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  Receiver receiver;
  // libcurl and what it needs, mapped and initialised only where [[notify]] is set: apart.
  const long unloaded = corvale::bench::ResidentKiB(getpid());
  std::string why;
  if (!corvale::host::notify::SendingAvailable(&why)) {
    std::fprintf(stderr, "notify_bench: %s\n", why.c_str());
    return 1;
  }
  const long before = corvale::bench::ResidentKiB(getpid());
  std::printf("notify_library_kib %ld\n", before - unloaded);
  corvale::host::notify::NotifierOptions options;
  options.outbox = (folder.Path() / "outbox.jsonl").string();
  options.host = "bench";
  corvale::host::notify::Notifier notifier({entry}, "ups", options, log, nullptr);
  for (int i = 0; i < notices; ++i) {
    notifier.OnEvent({corvale::host::EventKind::kDrill, 1, "a notice"},
                     std::chrono::system_clock::now());
  }
  std::this_thread::sleep_for(8s);  // the receiver is down: every try is refused
  const auto back = Clock::now();
  receiver.Listen(port);
  while (receiver.Count() < notices && Clock::now() - back < 60s) {
    std::this_thread::sleep_for(5ms);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - back).count();
  std::this_thread::sleep_for(200ms);
  std::printf("notify_notices %d\nnotify_delivered %d\n", notices, receiver.Count());
  std::printf("notify_all_delivered_s %.2f\n", seconds);
  // What the notifier costs beyond the library: its thread, the outbox, the tries.
  std::printf("notify_rss_delta_kib %ld\n", corvale::bench::ResidentKiB(getpid()) - before);
  std::fclose(sink);
}
