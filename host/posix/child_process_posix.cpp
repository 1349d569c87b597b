// A UPS's driver process on POSIX: spawned with two pipes as its standard input and output and
// every other descriptor closed; on Linux it dies with the service (PR_SET_PDEATHSIG), and
// everywhere it ends when its input does.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

#include "host/child_process.h"

extern char** environ;

namespace corvale::host {

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

class PosixChild final : public ChildProcess {
 public:
  PosixChild(pid_t pid, int input, int output) : pid_(pid), input_(input), output_(output) {}
  ~PosixChild() override {
    input_.Close();
    if (!ended_) {
      Kill();
      Wait(std::chrono::seconds(5));
    }
  }

  ReadResult Read(char* buffer, std::size_t size, std::chrono::milliseconds wait,
                  std::size_t* got) override {
    pollfd ready{output_.get(), POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(wait.count()));
    if (polled == 0 || (polled < 0 && errno == EINTR)) return ReadResult::kNothingYet;
    if (polled < 0) return ReadResult::kEnded;
    const ssize_t count = read(output_.get(), buffer, size);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return ReadResult::kNothingYet;
    if (count <= 0) return ReadResult::kEnded;
    *got = static_cast<std::size_t>(count);
    return ReadResult::kData;
  }

  bool Write(const std::string& text) override {
    std::size_t done = 0;
    while (done < text.size()) {
      // MSG_NOSIGNAL is for sockets; SIGPIPE is ignored by the service, and a child that stopped
      // reading is only EPIPE here.
      const ssize_t count = write(input_.get(), text.data() + done, text.size() - done);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) return false;
      done += static_cast<std::size_t>(count);
    }
    return true;
  }

  void Kill() override {
    if (!ended_) kill(pid_, SIGKILL);
  }

  std::optional<ExitStatus> Wait(std::chrono::milliseconds wait) override {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (!ended_) {
      int status = 0;
      const pid_t reaped = waitpid(pid_, &status, WNOHANG);
      if (reaped == pid_) {
        ended_ = WIFSIGNALED(status) ? ExitStatus{true, WTERMSIG(status)}
                                     : ExitStatus{false, WEXITSTATUS(status)};
        break;
      }
      if (reaped < 0 && errno != EINTR) {
        ended_ = ExitStatus{true, 0};  // not ours to wait for any more
        break;
      }
      if (std::chrono::steady_clock::now() >= until) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ended_;
  }

  long Id() const override { return static_cast<long>(pid_); }

 private:
  pid_t pid_;
  Descriptor input_;   // its standard input, our end
  Descriptor output_;  // its standard output, our end
  std::optional<ExitStatus> ended_;
};

#ifdef __linux__
// Killed when the thread that started us ends: the service's poll thread of this UPS, which stops
// us before it ends. False when the service died before we asked.
bool DieWithParent() {
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  return getppid() == parent;
}
#else
// Elsewhere the end of our input (the service's end of the pipe closes with it) ends us.
bool DieWithParent() {
  return true;
}
#endif

}  // namespace

std::unique_ptr<ChildProcess> StartChild(const std::string& program,
                                         const std::vector<std::string>& arguments,
                                         std::string* error) {
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  Descriptor childIn(toChild[0]), ourIn(toChild[1]);
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  Descriptor ourOut(fromChild[0]), childOut(fromChild[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, childIn.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, childOut.get(), 1);
  // Nothing else of ours: no listening socket, client connection or other UPS's port.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The stop signals the service blocks for its own waiter reach the child as usual.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::vector<std::string> words = arguments;
  words.insert(words.begin(), program);
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int failed =
      posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    *error = "cannot start " + program + ": " + std::strerror(failed);
    return nullptr;
  }
  return std::make_unique<PosixChild>(pid, ourIn.release(), ourOut.release());
}

std::string ThisProgram() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.string();
}

bool BecomeChild(std::string* why) {
  struct stat input {
  }, output{};
  if (fstat(0, &input) != 0 || fstat(1, &output) != 0 || !S_ISFIFO(input.st_mode) ||
      !S_ISFIFO(output.st_mode)) {
    *why = "this command is started by the service, with pipes for its input and output";
    return false;
  }
  if (!DieWithParent()) {
    *why = "the service is gone";
    return false;
  }
  signal(SIGPIPE, SIG_IGN);
  return true;
}

bool IsolateRegistry(const std::string&, const std::string& folder, std::string* why) {
  if (folder.empty() || mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST) return true;
  *why = "cannot make the registry folder " + folder + ": " + std::strerror(errno);
  return false;
}

std::size_t ReadInput(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t count = read(0, buffer, size);
    if (count < 0 && errno == EINTR) continue;
    return count > 0 ? static_cast<std::size_t>(count) : 0;
  }
}

bool WriteOutput(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t count = write(1, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace corvale::host
