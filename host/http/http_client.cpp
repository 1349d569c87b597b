#include "host/http/http_client.h"

#include <asio.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "host/lookup.h"

namespace corvale::host::http {

std::optional<std::string> FetchBody(const std::string& address, const std::string& target,
                                     std::chrono::milliseconds timeout, std::string* error) {
  const auto colon = address.rfind(':');
  std::string host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  const std::string request =
      "GET " + target + " HTTP/1.1\r\nHost: " + address + "\r\nConnection: close\r\n\r\n";
  std::string received;
  std::array<char, 4096> chunk{};
  constexpr std::size_t kMostBytes = 4 << 20;  // a status is a few kilobytes
  std::error_code failed = asio::error::timed_out;
  std::function<void()> read = [&] {
    socket.async_read_some(asio::buffer(chunk),
                           [&](const std::error_code& readFailed, std::size_t count) {
                             received.append(chunk.data(), count);
                             if (readFailed == asio::error::eof) return void(failed = {});
                             if (readFailed) return void(failed = readFailed);
                             if (received.size() > kMostBytes)
                               return void(failed = asio::error::message_size);
                             read();
                           });
  };
  // The lookup within the time too: a silent DNS server must not stretch it.
  const auto start = std::chrono::steady_clock::now();
  const auto found = LookUp(host, address.substr(colon + 1), timeout);
  if (found.error) {
    *error = "the service's HTTP endpoint at " + address + " did not answer: cannot find " + host +
             ": " + found.error.message();
    return std::nullopt;
  }
  asio::async_connect(socket, found.endpoints, [&](const std::error_code& connectFailed, auto) {
    if (connectFailed) return void(failed = connectFailed);
    asio::async_write(socket, asio::buffer(request),
                      [&](const std::error_code& writeFailed, std::size_t) {
                        if (writeFailed) return void(failed = writeFailed);
                        read();
                      });
  });
  io.run_for(timeout - std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start));
  if (failed) {
    *error = "the service's HTTP endpoint at " + address + " did not answer: " + failed.message();
    return std::nullopt;
  }
  boost::beast::http::response_parser<boost::beast::http::string_body> parser;
  parser.eager(true);
  parser.body_limit(kMostBytes);
  boost::system::error_code parseFailed;
  parser.put(boost::asio::buffer(received), parseFailed);
  if (!parseFailed && !parser.is_done()) parser.put_eof(parseFailed);
  if (parseFailed || !parser.is_done()) {
    *error = "the answer from " + address + " is not HTTP";
    return std::nullopt;
  }
  if (parser.get().result_int() != 200) {
    *error = address + " answered " + std::to_string(parser.get().result_int());
    return std::nullopt;
  }
  return parser.get().body();
}

}  // namespace corvale::host::http
