// A plain TCP client on the loopback address, for servers under test: lines in, bytes out.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>

namespace corvale::testing {

// The next line of a byte stream kept in `buffer`, reading more with `readSome(bytes, size)` (the
// count read; 0 or less when the stream ended); "<closed>" when it ended before a newline.
template <typename ReadSome>
std::string NextLine(std::string& buffer, ReadSome readSome) {
  for (;;) {
    if (const auto newline = buffer.find('\n'); newline != std::string::npos) {
      std::string line = buffer.substr(0, newline);
      buffer.erase(0, newline + 1);
      return line;
    }
    char bytes[4096];
    const auto count = readSome(bytes, sizeof bytes);
    if (count <= 0) return "<closed>";
    buffer.append(bytes, static_cast<std::size_t>(count));
  }
}

class RawClient {
 public:
  // To `host` (an IPv4 address), by default this machine's loopback.
  explicit RawClient(int port, const std::string& host = "127.0.0.1")
      : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    // A refused connection shows as "<closed>" on the first read.
    connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    timeval wait = {5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  }
  ~RawClient() { close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  // The socket, for a protocol layered on it (TLS after STARTTLS); nothing may be buffered.
  int Fd() const { return fd_; }
  bool Buffered() const { return !buffer_.empty(); }
  bool Send(const std::string& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // The next line, or "<closed>" when the server closed the connection.
  std::string Line() {
    return NextLine(buffer_,
                    [this](char* bytes, std::size_t size) { return recv(fd_, bytes, size, 0); });
  }

  // Everything until the server closes the connection (or 5 s pass).
  std::string Rest() {
    char bytes[4096];
    for (ssize_t count; (count = recv(fd_, bytes, sizeof bytes, 0)) > 0;) {
      buffer_.append(bytes, static_cast<std::size_t>(count));
    }
    return std::exchange(buffer_, std::string());
  }

 private:
  int fd_;
  std::string buffer_;
};

}  // namespace corvale::testing
