#include "host/nut/nut_client.h"

#include <asio.hpp>
#include <sstream>

namespace corvale::nut {

std::optional<Variables> QueryVariables(const std::string& address, const std::string& ups,
                                        std::chrono::milliseconds timeout, std::string* error) {
  const auto colon = address.rfind(':');
  std::string host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  asio::streambuf input;
  std::error_code failed = asio::error::timed_out;
  Variables variables;
  bool stale = false;
  const std::string request = "LIST VAR " + ups + "\n";
  asio::ip::tcp::resolver resolver(io);
  // Every step bounded by `timeout` as a whole: run the chain, then whatever is left is cut off.
  std::function<void()> readLine = [&] {
    asio::async_read_until(socket, input, '\n',
                           [&](const std::error_code& readFailed, std::size_t) {
                             if (readFailed) return void(failed = readFailed);
                             std::string line;
                             std::getline(std::istream(&input), line);
                             if (line == "ERR DATA-STALE") return void((stale = true, failed = {}));
                             if (line.rfind("ERR ", 0) == 0)
                               return void(failed = asio::error::access_denied);
                             if (line.rfind("END LIST", 0) == 0) return void(failed = {});
                             if (line.rfind("VAR ", 0) == 0) {
                               if (auto words = SplitWords(line); words && words->size() == 4) {
                                 variables.emplace_back((*words)[2], (*words)[3]);
                               }
                             }
                             readLine();
                           });
  };
  resolver.async_resolve(
      host, address.substr(colon + 1), [&](const std::error_code& resolveFailed, auto endpoints) {
        if (resolveFailed) return void(failed = resolveFailed);
        asio::async_connect(socket, endpoints, [&](const std::error_code& connectFailed, auto) {
          if (connectFailed) return void(failed = connectFailed);
          asio::async_write(socket, asio::buffer(request),
                            [&](const std::error_code& writeFailed, std::size_t) {
                              if (writeFailed) return void(failed = writeFailed);
                              readLine();
                            });
        });
      });
  io.run_for(timeout);
  if (failed) {
    *error = "the service at " + address + " did not answer: " + failed.message();
    return std::nullopt;
  }
  if (stale) variables.clear();
  return variables;
}

std::optional<std::vector<std::string>> AskForDrill(const std::string& address,
                                                    const std::string& ups, const std::string& user,
                                                    const std::string& password,
                                                    std::chrono::milliseconds timeout,
                                                    std::string* error) {
  const auto colon = address.rfind(':');
  std::string host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  asio::streambuf input;
  std::error_code failed = asio::error::timed_out;
  std::string refusal;
  std::vector<std::string> lines;
  // Each is answered "OK" but the last, whose report ends with "END DRILL".
  const std::string request =
      "USERNAME " + Quote(user) + "\nPASSWORD " + Quote(password) + "\nDRILL " + Quote(ups) + "\n";
  int oksDue = 2;
  std::function<void()> readLine = [&] {
    asio::async_read_until(socket, input, '\n',
                           [&](const std::error_code& readFailed, std::size_t) {
                             if (readFailed) return void(failed = readFailed);
                             std::string line;
                             std::getline(std::istream(&input), line);
                             if (line.rfind("ERR ", 0) == 0) {
                               refusal = line;
                               return void(failed = asio::error::access_denied);
                             }
                             if (oksDue > 0) {
                               --oksDue;
                             } else {
                               lines.push_back(line);
                               if (line.rfind("END DRILL", 0) == 0) return void(failed = {});
                             }
                             readLine();
                           });
  };
  asio::ip::tcp::resolver resolver(io);
  resolver.async_resolve(
      host, address.substr(colon + 1), [&](const std::error_code& resolveFailed, auto endpoints) {
        if (resolveFailed) return void(failed = resolveFailed);
        asio::async_connect(socket, endpoints, [&](const std::error_code& connectFailed, auto) {
          if (connectFailed) return void(failed = connectFailed);
          asio::async_write(socket, asio::buffer(request),
                            [&](const std::error_code& writeFailed, std::size_t) {
                              if (writeFailed) return void(failed = writeFailed);
                              readLine();
                            });
        });
      });
  io.run_for(timeout);
  if (!refusal.empty()) {
    *error = "the service at " + address + " refused: " + refusal;
    return std::nullopt;
  }
  if (failed) {
    *error = "the service at " + address + " did not answer: " + failed.message();
    return std::nullopt;
  }
  return lines;
}

std::uint32_t StateFromStatus(const std::string& status) {
  std::istringstream words(status);
  bool onBattery = false, low = false, online = false;
  for (std::string word; words >> word;) {
    onBattery = onBattery || word == "OB";
    low = low || word == "LB";
    online = online || word == "OL";
  }
  if (onBattery) return low ? 4 : 2;
  return online ? 1 : 8;
}

}  // namespace corvale::nut
