#include "host/nut/nut_client.h"

#include <asio.hpp>
#include <functional>
#include <sstream>

#include "host/lookup.h"

namespace corvale::nut {

namespace {

enum class Heard { kMore, kDone, kRefused };

// A server's lines are short; one that sends more without an end is cut off here, not buffered.
constexpr std::size_t kLongestLine = 64 * 1024;
// A whole answer too: a UPS's variables are a few kilobytes, and a server that keeps sending
// lines is cut off here rather than held in memory until the time is up.
constexpr std::size_t kLongestAnswer = 1024 * 1024;
// What of a refusal is repeated to the user.
constexpr std::size_t kRefusalShown = 200;

// Sends `request` to the server at `address` and hands each line of the answer to `hear` until it
// says done or refused, all within `timeout`. The error in words, or nothing when done.
std::optional<std::string> Converse(const std::string& address, const std::string& request,
                                    std::chrono::milliseconds timeout,
                                    const std::function<Heard(const std::string&)>& hear) {
  const auto colon = address.rfind(':');
  std::string host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  asio::streambuf input(kLongestLine);
  std::error_code failed = asio::error::timed_out;
  std::string refusal;
  std::size_t heard = 0;
  std::function<void()> readLine = [&] {
    asio::async_read_until(socket, input, '\n',
                           [&](const std::error_code& readFailed, std::size_t) {
                             if (readFailed) return void(failed = readFailed);
                             std::string line;
                             std::getline(std::istream(&input), line);
                             heard += line.size() + 1;
                             if (heard > kLongestAnswer) {
                               return void(failed = asio::error::message_size);
                             }
                             switch (hear(line)) {
                               case Heard::kDone:
                                 return void(failed = {});
                               case Heard::kRefused:
                                 refusal = line.substr(0, kRefusalShown);
                                 return void(failed = asio::error::access_denied);
                               case Heard::kMore:
                                 return readLine();
                             }
                           });
  };
  // Every step bounded by `timeout` as a whole, the lookup's share first: run the chain, then
  // whatever is left is cut off.
  const auto start = std::chrono::steady_clock::now();
  const auto found = corvale::host::LookUp(host, address.substr(colon + 1), timeout);
  if (found.error) {
    return "the NUT server at " + address + " did not answer: cannot find " + host + ": " +
           found.error.message();
  }
  asio::async_connect(socket, found.endpoints, [&](const std::error_code& connectFailed, auto) {
    if (connectFailed) return void(failed = connectFailed);
    asio::async_write(socket, asio::buffer(request),
                      [&](const std::error_code& writeFailed, std::size_t) {
                        if (writeFailed) return void(failed = writeFailed);
                        readLine();
                      });
  });
  io.run_for(timeout - std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start));
  if (!refusal.empty()) return "the NUT server at " + address + " answered " + refusal;
  if (failed == asio::error::not_found) {
    return "the NUT server at " + address + " sent a line of over " + std::to_string(kLongestLine) +
           " bytes";
  }
  if (failed == asio::error::message_size) {
    return "the NUT server at " + address + " sent an answer of over " +
           std::to_string(kLongestAnswer) + " bytes";
  }
  if (failed) return "the NUT server at " + address + " did not answer: " + failed.message();
  return std::nullopt;
}

}  // namespace

std::optional<Variables> QueryVariables(const std::string& address, const std::string& ups,
                                        std::chrono::milliseconds timeout, std::string* error,
                                        bool* refused) {
  Variables variables;
  bool stale = false, answeredError = false;
  const auto failed = Converse(address, "LIST VAR " + ups + "\n", timeout, [&](const auto& line) {
    if (line == "ERR DATA-STALE") return (stale = true, Heard::kDone);
    if (line.rfind("ERR ", 0) == 0) return (answeredError = true, Heard::kRefused);
    if (line.rfind("END LIST", 0) == 0) return Heard::kDone;
    if (line.rfind("VAR ", 0) == 0) {
      // Another UPS's variable is not this one's.
      if (auto words = SplitWords(line); words && words->size() == 4 && (*words)[1] == ups) {
        variables.emplace_back((*words)[2], (*words)[3]);
      }
    }
    return Heard::kMore;
  });
  if (refused) *refused = answeredError;
  if (failed) {
    *error = *failed;
    return std::nullopt;
  }
  if (stale) variables.clear();
  return variables;
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
