// The HTTP endpoint of a running service (on the simulator): /metrics requests per second and p99
// latency with 1 and 32 clients, the service's resident size with and without the endpoint, and
// what one history record costs (queued, and written to the disk). Prints "name value".
#include <algorithm>
#include <asio.hpp>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "bench/resident.h"
#include "host/history.h"
#include "tests/support/free_port.h"
#include "tests/support/line_fixture.h"
#include "tests/support/subprocess.h"

namespace {

using corvale::bench::ResidentKiB;
using corvale::testing::FreePort;

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// A service on the simulator; `http` empty for none.
struct Service {
  Service(corvale::testing::Line& line, const std::string& tool, const std::string& http)
      : config(line.directory.Path() / ("bench-" + std::to_string(FreePort()) + ".toml")) {
    std::ofstream(config) << "[ups]\nname = \"bench\"\nport = \"COM1\"\ndevices = \""
                          << line.Devices().string() << "\"\nregistry = \""
                          << line.registry.Root().string()
                          << "\"\n[events]\nhistory = \"\"\n[network]\nlisten = []\n[http]\n"
                          << "listen = [" << (http.empty() ? "" : "\"" + http + "\"") << "]\n";
    process = std::make_unique<corvale::testing::Subprocess>(std::vector<std::string>{
        "/bin/sh", "-c", "exec \"$0\" service --config \"$1\" 2>&1", tool, config.string()});
    while (auto said = process->ReadLine(std::chrono::seconds(10))) {
      if (said->find("bench: online") != std::string::npos) break;
    }
    pid = corvale::testing::Subprocess({"pgrep", "-n", "-f", config.string()})
              .ReadLine(std::chrono::seconds(5))
              .value_or("0");
  }
  std::filesystem::path config;
  std::unique_ptr<corvale::testing::Subprocess> process;
  std::string pid;
};

// One client asking for /metrics again and again on a kept-alive connection (a new one when the
// server closes it), until `end`; the latency of each request in microseconds.
void Ask(int port, Clock::time_point end, std::vector<double>& latencies) {
  asio::io_context io;
  const tcp::endpoint server(asio::ip::make_address("127.0.0.1"),
                             static_cast<unsigned short>(port));
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n";
  std::unique_ptr<tcp::socket> socket;
  asio::streambuf buffer;
  while (Clock::now() < end) {
    if (!socket) {
      socket = std::make_unique<tcp::socket>(io);
      socket->connect(server);
      buffer.consume(buffer.size());
    }
    const auto sent = Clock::now();
    std::error_code failed;
    asio::write(*socket, asio::buffer(request), failed);
    const std::size_t head = failed ? 0 : asio::read_until(*socket, buffer, "\r\n\r\n", failed);
    if (failed) {
      socket.reset();
      continue;
    }
    std::string headers(asio::buffers_begin(buffer.data()),
                        asio::buffers_begin(buffer.data()) + static_cast<std::ptrdiff_t>(head));
    buffer.consume(head);
    const auto at = headers.find("Content-Length: ");
    const std::size_t length = at == std::string::npos ? 0 : std::stoul(headers.substr(at + 16));
    if (buffer.size() < length)
      asio::read(*socket, buffer, asio::transfer_exactly(length - buffer.size()), failed);
    buffer.consume(length);
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    if (failed || headers.find("Connection: close") != std::string::npos) socket.reset();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: http_bench CORVALE_UPS [SECONDS]\n");
    return 2;
  }
  const auto duration = std::chrono::seconds(argc > 2 ? std::atoi(argv[2]) : 2);
  corvale::testing::Line line;
  {
    Service without(line, argv[1], "");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("http_rss_without_kib %ld\n", ResidentKiB(std::stoi(without.pid)));
  }
  const int port = FreePort();
  Service with(line, argv[1], "127.0.0.1:" + std::to_string(port));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::printf("http_rss_with_kib %ld\n", ResidentKiB(std::stoi(with.pid)));
  for (const int clients : {1, 32}) {
    std::vector<std::vector<double>> each(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto end = start + duration;
    for (auto& latencies : each) threads.emplace_back([&] { Ask(port, end, latencies); });
    for (auto& thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (const auto& latencies : each) all.insert(all.end(), latencies.begin(), latencies.end());
    std::sort(all.begin(), all.end());
    std::printf("http_rps_%d %.0f\nhttp_p99_us_%d %.0f\n", clients,
                static_cast<double>(all.size()) / seconds, clients,
                all.empty() ? 0.0 : all[all.size() * 99 / 100]);
  }
  std::printf("http_rss_after_load_kib %ld\n", ResidentKiB(std::stoi(with.pid)));

  // The history: what the caller pays (a queued line), and what the disk pays (written, synced).
  corvale::host::Logger log(false, stderr);
  const std::string file = (line.directory.Path() / "history.jsonl").string();
  constexpr int kRecords = 200;
  corvale::host::HistoryWriter writer(file, log);
  const corvale::host::HistoryRecord record{std::chrono::system_clock::now(),
                                            "on-battery",
                                            "bench",
                                            2,
                                            "power failure: the UPS runs on battery",
                                            {}};
  double queued = 0;
  const auto written = Clock::now();
  for (int i = 0; i < kRecords; ++i) {
    const auto before = Clock::now();
    writer.Append(record);
    queued += std::chrono::duration<double, std::micro>(Clock::now() - before).count();
    writer.Flush();
  }
  const double total = std::chrono::duration<double, std::micro>(Clock::now() - written).count();
  std::printf("history_append_us %.1f\nhistory_written_us %.0f\n", queued / kRecords,
              total / kRecords);
  return 0;
}
