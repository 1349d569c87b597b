// The local channel on POSIX: a Unix socket, its peer proven by the kernel (SO_PEERCRED).
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "host/control.h"

namespace corvale::host {

namespace {

using Clock = std::chrono::steady_clock;

// Beside the conversations under way a caller is turned away: a local user cannot make the
// service hold more. No user holds every slot, and root and the service's account have slots of
// their own, which nobody else can take: any user may block only itself.
constexpr std::ptrdiff_t kMostConversations = 4;
constexpr std::ptrdiff_t kMostConversationsPerUser = 2;
constexpr std::ptrdiff_t kPrivilegedConversations = 2;
constexpr std::size_t kLongestRequest = 256;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int Get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool AddressOf(const std::string& path, sockaddr_un& address, std::string* error) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    *error = "the local channel's path \"" + path + "\" is empty or too long for a socket";
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::optional<uid_t> PeerUid(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return std::nullopt;
  return credentials.uid;
}

// Waits until `fd` is ready for `events` or `deadline` passes.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd waiting{fd, events, 0};
    const int ready = poll(&waiting, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool WriteAll(int fd, const std::string& text, Clock::time_point deadline) {
  std::size_t written = 0;
  while (written < text.size()) {
    if (!WaitFor(fd, POLLOUT, deadline)) return false;
    const auto sent = send(fd, text.data() + written, text.size() - written, MSG_NOSIGNAL);
    if (sent < 0 && errno != EINTR && errno != EAGAIN) return false;
    if (sent > 0) written += static_cast<std::size_t>(sent);
  }
  return true;
}

// Never blocks: a listener whose queue is full answers EAGAIN at once, and `busy` says so.
Descriptor Connect(const sockaddr_un& address, bool* busy = nullptr) {
  Descriptor fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.Get() < 0 ||
      connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (busy != nullptr) *busy = errno == EAGAIN;
    return Descriptor();
  }
  return fd;
}

class PosixControlServer : public ControlServer {
 public:
  PosixControlServer(Descriptor listening, std::string path, ControlHandler handler)
      : listening_(std::move(listening)), path_(std::move(path)), handler_(std::move(handler)) {
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) == 0) {
      wakeRead_ = Descriptor(wake[0]);
      wakeWrite_ = Descriptor(wake[1]);
    }
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~PosixControlServer() override { Stop(); }

  void Stop() override {
    if (stopping_.exchange(true)) return;
    if (wakeWrite_.Get() >= 0) {
      [[maybe_unused]] const auto written = write(wakeWrite_.Get(), "x", 1);
    }
    shutdown(listening_.Get(), SHUT_RDWR);  // wakes the acceptor even without its pipe
    if (acceptor_.joinable()) acceptor_.join();
    std::list<Conversation> ended;
    {
      std::lock_guard lock(mutex_);
      for (auto& conversation : conversations_) shutdown(conversation.fd.Get(), SHUT_RDWR);
      ended.splice(ended.end(), conversations_);
    }
    for (auto& conversation : ended) conversation.thread.join();
    // Only the name this server bound: another service's socket is never taken away.
    struct stat status {};
    if (lstat(path_.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
        status.st_ino == bound_.st_ino && status.st_dev == bound_.st_dev) {
      unlink(path_.c_str());
    }
  }

  void Remember(const struct stat& bound) { bound_ = bound; }

 private:
  struct Conversation {
    Descriptor fd;  // closed once its thread has been joined
    std::thread thread;
    std::atomic<bool> done{false};
    std::optional<uid_t> uid;
    bool privileged = false;
  };

  void Accept() {
    for (;;) {
      pollfd waiting[2] = {{listening_.Get(), POLLIN, 0}, {wakeRead_.Get(), POLLIN, 0}};
      if (poll(waiting, 2, -1) < 0 && errno != EINTR) return;
      if (stopping_) return;
      if ((waiting[0].revents & POLLIN) == 0) continue;
      Descriptor client(accept4(listening_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (client.Get() < 0) continue;
      std::lock_guard lock(mutex_);
      std::erase_if(conversations_, [](Conversation& conversation) {
        if (!conversation.done) return false;
        conversation.thread.join();
        return true;
      });
      const auto uid = PeerUid(client.Get());
      const bool privileged = uid && (*uid == 0 || *uid == geteuid());
      const auto unprivileged =
          std::count_if(conversations_.begin(), conversations_.end(),
                        [](const Conversation& conversation) { return !conversation.privileged; });
      const auto ofThisUser =
          std::count_if(conversations_.begin(), conversations_.end(),
                        [&](const Conversation& conversation) { return conversation.uid == uid; });
      const bool full =
          std::ssize(conversations_) >= kMostConversations + kPrivilegedConversations ||
          (!privileged &&
           (unprivileged >= kMostConversations || ofThisUser >= kMostConversationsPerUser));
      if (full) {
        WriteAll(client.Get(), std::string(kControlBusyAnswer) + ": too many at once\n",
                 Clock::now() + std::chrono::milliseconds(100));
        continue;
      }
      auto& conversation = conversations_.emplace_back();
      conversation.uid = uid;
      conversation.privileged = privileged;
      conversation.fd = std::move(client);
      conversation.thread = std::thread([this, &conversation] {
        Converse(conversation.fd.Get());
        conversation.done = true;
      });
    }
  }

  void Converse(int fd) {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    std::string request;
    char chunk[kLongestRequest];
    while (request.find('\n') == std::string::npos) {
      if (request.size() > kLongestRequest || !WaitFor(fd, POLLIN, deadline)) {
        return void(shutdown(fd, SHUT_RDWR));
      }
      const auto got = recv(fd, chunk, sizeof chunk, 0);
      if (got <= 0) return void(shutdown(fd, SHUT_RDWR));
      request.append(chunk, static_cast<std::size_t>(got));
    }
    request.resize(request.find('\n'));
    const auto uid = PeerUid(fd);
    ControlPeer peer;
    peer.privileged = uid && (*uid == 0 || *uid == geteuid());
    peer.name = uid ? "uid " + std::to_string(*uid) : "an unknown user";
    const std::string answer = handler_(request, peer);
    WriteAll(fd, answer, Clock::now() + std::chrono::seconds(5));
    shutdown(fd, SHUT_RDWR);  // the end of the answer; the descriptor closes once joined
  }

  Descriptor listening_;
  std::string path_;
  ControlHandler handler_;
  struct stat bound_ {};
  Descriptor wakeRead_, wakeWrite_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::list<Conversation> conversations_;
};

// Who may be believed at `path`: root, the service's account, and the owner of the folder the
// socket is in when nobody else may write there (and so put a name of their own in its place).
bool Trusted(uid_t uid, const std::string& path) {
  if (uid == 0) return true;
  if (const passwd* service = getpwnam("corvale-ups");
      service != nullptr && service->pw_uid == uid) {
    return true;
  }
  struct stat folder {};
  const std::string parent = std::filesystem::path(path).parent_path().string();
  return lstat(parent.empty() ? "." : parent.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode) &&
         folder.st_uid == uid && (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::unique_ptr<ControlServer> ServeControl(const std::string& path, ControlHandler handler,
                                            std::string* error) {
  sockaddr_un address;
  if (!AddressOf(path, address, error)) return nullptr;
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      *error = path + " is there and is not a socket: remove it for the local channel";
      return nullptr;
    }
    bool busy = false;
    if (Connect(address, &busy).Get() >= 0 || busy) {
      *error = "another process answers at " + path + " (another copy of the service?)";
      return nullptr;
    }
    unlink(path.c_str());  // left by a run that ended without cleaning up
  }
  Descriptor listening(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listening.Get() < 0 ||
      bind(listening.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = "cannot make the socket " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  // Any user may ask for the state; the peer's credentials decide what else it may ask.
  struct stat bound {};
  if (chmod(path.c_str(), 0666) != 0 || lstat(path.c_str(), &bound) != 0 ||
      listen(listening.Get(), 16) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    unlink(path.c_str());
    return nullptr;
  }
  auto server =
      std::make_unique<PosixControlServer>(std::move(listening), path, std::move(handler));
  server->Remember(bound);
  return server;
}

std::optional<std::string> AskService(const std::string& path, const std::string& request,
                                      std::chrono::milliseconds timeout, std::string* error) {
  sockaddr_un address;
  if (!AddressOf(path, address, error)) return std::nullopt;
  bool busy = false;
  const Descriptor fd = Connect(address, &busy);
  if (fd.Get() < 0) {
    *error = "the service does not answer at " + path + ": " +
             (busy ? std::string(kControlBusyError) : std::strerror(errno));
    return std::nullopt;
  }
  const auto uid = PeerUid(fd.Get());
  if (!uid || !Trusted(*uid, path)) {
    *error = "the process answering at " + path + " runs as " +
             (uid ? "uid " + std::to_string(*uid) : std::string("an unknown user")) +
             ", not as the service: it was told nothing";
    return std::nullopt;
  }
  const auto deadline = Clock::now() + timeout;
  if (!WriteAll(fd.Get(), request + "\n", deadline)) {
    // Turned away at once, the caller may find the busy line and a closed socket.
    char said[128];
    const auto got = recv(fd.Get(), said, sizeof said, MSG_DONTWAIT);
    if (const std::string line(said, got > 0 ? static_cast<std::size_t>(got) : 0);
        line.starts_with(kControlBusyAnswer) && line.find('\n') != std::string::npos) {
      return line;
    }
    *error = "the service at " + path + " does not take the request";
    return std::nullopt;
  }
  std::string answer;
  std::size_t lineStart = 0;
  char chunk[4096];
  for (;;) {
    if (!WaitFor(fd.Get(), POLLIN, deadline)) {
      *error = "the service at " + path + " did not answer in time";
      return std::nullopt;
    }
    const auto got = recv(fd.Get(), chunk, sizeof chunk, 0);
    if (got == 0) return answer;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      // Turned away before its request was read, the caller sees the line, then a reset.
      if (errno == ECONNRESET && answer.starts_with(kControlBusyAnswer) &&
          answer.find('\n') != std::string::npos) {
        return answer;
      }
      *error = "reading the service's answer: " + std::string(std::strerror(errno));
      return std::nullopt;
    }
    answer.append(chunk, static_cast<std::size_t>(got));
    bool tooLong = answer.size() > kControlAnswerLimit;
    for (auto at = answer.find('\n', lineStart); !tooLong && at != std::string::npos;
         at = answer.find('\n', lineStart)) {
      tooLong = at - lineStart > kControlLineLimit;
      lineStart = at + 1;
    }
    if (tooLong || answer.size() - lineStart > kControlLineLimit) {
      *error = "the answer at " + path + " is longer than any the service gives: not read on";
      return std::nullopt;
    }
  }
}

std::string DefaultControlPath() {
  return "/run/corvale-ups/control";
}

}  // namespace corvale::host
