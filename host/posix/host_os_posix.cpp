// Processes, stop signals and systemd notification on POSIX.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "host/host_os.h"

extern char** environ;

namespace corvale::host {

namespace {

class PosixCommand : public RunningCommand {
 public:
  explicit PosixCommand(pid_t pid) : pid_(pid) {}
  ~PosixCommand() override {
    // Reaped when it ends; one left running is left to finish on its own.
    if (!ended_) Poll();
  }
  std::optional<ExitStatus> Poll() override {
    if (ended_) return ended_;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
    ended_ = WIFSIGNALED(status) ? ExitStatus{true, WTERMSIG(status)}
                                 : ExitStatus{false, WEXITSTATUS(status)};
    return ended_;
  }
  // Its own process group: the shell and its children.
  void Terminate() override {
    if (!ended_) kill(-pid_, SIGTERM);
  }
  void Kill() override {
    if (!ended_) kill(-pid_, SIGKILL);
  }

 private:
  pid_t pid_;
  std::optional<ExitStatus> ended_;
};

}  // namespace

std::unique_ptr<RunningCommand> StartCommand(const std::string& command, const Environment& extra,
                                             std::string* error) {
  std::vector<std::string> entries;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    const auto name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [key, value] : extra) replaced = replaced || key == name;
    if (!replaced) entries.push_back(entry);
  }
  for (const auto& [key, value] : extra) entries.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // Nothing of ours beyond standard output and error: no listening socket, client connection or
  // serial port may outlive the service in a hook's background process.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A new process group, so that a hook that hangs can be ended with all it started; the stop
  // signals this process blocks are unblocked for the child.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  const std::string shellCommand = command;
  char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                  const_cast<char*>(shellCommand.c_str()), nullptr};
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    *error = std::strerror(failed);
    return nullptr;
  }
  return std::make_unique<PosixCommand>(pid);
}

namespace {
std::atomic<bool> woken{false};

sigset_t ServiceSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR1);  // the wake-up from WakeStopWaiter
  return signals;
}

}  // namespace

std::optional<std::int64_t> HoldConnectionToTheEnd(std::intptr_t socket,
                                                   std::chrono::seconds atMost, std::string* why) {
  const int held = static_cast<int>(socket);
  if (held < 0) {
    *why = "there is no connection to hold";
    return std::nullopt;
  }
  const pid_t holder = fork();
  if (holder < 0) {
    *why = std::string("cannot start the process that holds it: ") + std::strerror(errno);
    return std::nullopt;
  }
  if (holder > 0) {
    // Reaped by nobody: it outlives this process, and the system's last step ends it.
    return holder;
  }
  // The child of a process with threads: only calls that are safe after fork from here on. It
  // keeps the one connection and nothing else of the service's (its local channel least of all),
  // and ends on the first signal that asks it to, or when its time is up.
  for (int fd = 3; fd < 65536; ++fd) {
    if (fd != held) close(fd);
  }
  // Nothing to say, and no reason to keep the journal's stream or a terminal.
  if (const int nothing = open("/dev/null", O_RDWR); nothing >= 0) {
    for (int fd = 0; fd < 3; ++fd) {
      if (fd != held) dup2(nothing, fd);
    }
    if (nothing > 2 && nothing != held) close(nothing);
  }
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  for (const int number : {SIGTERM, SIGINT, SIGHUP, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE}) {
    sigaction(number, &plain, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  alarm(static_cast<unsigned>(std::max<std::chrono::seconds::rep>(1, atMost.count())));
  for (;;) pause();
}

void CatchStopRequests() {
  const sigset_t signals = ServiceSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

ServiceRequest WaitForServiceRequest() {
  const sigset_t signals = ServiceSignals();
  int received = 0;
  while (!woken && sigwait(&signals, &received) == 0 && !woken) {
    if (received == SIGHUP) return ServiceRequest::kReload;
    if (received != SIGUSR1) break;
  }
  return ServiceRequest::kStop;
}

void WaitForStopRequest() {
  // Outside the service a hang-up is the terminal going away: a stop.
  WaitForServiceRequest();
}

void WakeStopWaiter() {
  woken = true;
  kill(getpid(), SIGUSR1);
}

bool UnderServiceManager() {
  return std::getenv("JOURNAL_STREAM") != nullptr || std::getenv("INVOCATION_ID") != nullptr;
}

void WriteServiceLog(int priority, const std::string& message, int) {
  std::fprintf(stderr, "<%d>%s\n", priority, message.c_str());
  std::fflush(stderr);
}

void NotifyServiceManager(const std::string& state) {
  const char* socketPath = std::getenv("NOTIFY_SOCKET");
  if (socketPath == nullptr || socketPath[0] == '\0') return;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(socketPath);
  if (length >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, socketPath, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  std::string message = state;
  // systemd tells a reload's end from an older READY=1 by the time it began.
  if (state == "RELOADING=1") {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    message += "\nMONOTONIC_USEC=" +
               std::to_string(static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
  }
  sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
  close(fd);
}

bool ServiceRunning(const std::string&) {
  return false;
}

std::string DefaultConfigPath() {
  return "/etc/corvale-ups/corvale-ups.toml";
}

bool RunningAsAdministrator() {
  return geteuid() == 0;
}

std::optional<std::string> InstalledHelperProblem() {
  if (access("/run/systemd/system", F_OK) != 0) return std::nullopt;
  std::string error;
  const auto asked =
      StartCommand("systemctl is-active --quiet corvale-ups-shutdown.path 2>/dev/null", {}, &error);
  if (!asked) return std::nullopt;
  for (int waited = 0; waited < 100; ++waited) {
    if (const auto status = asked->Poll()) {
      if (!status->signalled && status->code == 0) return std::nullopt;
      return "the root helper's corvale-ups-shutdown.path is not active: the service could not "
             "shut this host down. Mend it: systemctl reset-failed corvale-ups-shutdown.service "
             "corvale-ups-shutdown.path; systemctl start corvale-ups-shutdown.path";
    }
    usleep(20000);
  }
  asked->Kill();
  return std::nullopt;
}

std::string DefaultRequestFolder() {
  return "/run/corvale-ups/requests";
}

std::string DefaultResultFolder() {
  return "/run/corvale-ups-helper";  // root's: the service may read, not write
}

std::string DefaultShutdownCommand() {
  return "systemctl poweroff";
}

std::string DefaultFlagFile() {
  return "/run/corvale-ups-helper/killpower";  // root's alone, as kill-power trusts it
}

namespace {

// Writes all of `data` unless the file refuses it; how much was written (errno says why not).
std::size_t WriteWhole(int fd, const std::string& data) {
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t now = write(fd, data.data() + written, data.size() - written);
    if (now < 0 && errno == EINTR) continue;
    if (now <= 0) break;
    written += static_cast<std::size_t>(now);
  }
  return written;
}

// What stands at a name instead of a regular file, in words.
std::string NotARegularFile(const std::string& path, mode_t mode) {
  const char* what = S_ISLNK(mode)    ? "a symbolic link"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISDIR(mode)  ? "a folder"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "a device";
  return path + " is " + what + ", not a regular file";
}

// `path` opened for appending: a regular file, made owner and group only when missing, never
// through a link and never waiting on a FIFO. -1 with `error` set otherwise.
int OpenForAppending(const std::string& path, bool* created, std::string* error) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  // Made here, or already there: only a new name needs its folder synced.
  int fd = open(path.c_str(), kFlags);
  *created = false;
  if (fd < 0 && errno == ENOENT) {
    fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0640);
    *created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = open(path.c_str(), kFlags);
  }
  struct stat status {};
  if (fd < 0) {
    // A link is refused with ELOOP, a FIFO without a reader with ENXIO: say what is there.
    *error = lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)
                 ? NotARegularFile(path, status.st_mode)
                 : std::strerror(errno);
    return -1;
  }
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = NotARegularFile(path, status.st_mode);
    close(fd);
    return -1;
  }
  return fd;
}

bool Append(const std::string& path, const std::string& data, bool sync, std::string* error) {
  bool created = false;
  const int fd = OpenForAppending(path, &created, error);
  if (fd < 0) return false;
  const std::size_t written = WriteWhole(fd, data);
  const bool whole = written == data.size();
  if (!whole) *error = std::strerror(errno);
  // A torn line is skipped when read, but must not glue itself to the next one.
  if (!whole && written > 0 && write(fd, "\n", 1) < 0) {
  }
  const bool synced = whole && (!sync || fsync(fd) == 0);
  if (whole && !synced) *error = std::strerror(errno);
  close(fd);
  return synced && (!sync || !created || SyncFolderOf(path, error));
}

class PosixReadableFile : public ReadableFile {
 public:
  explicit PosixReadableFile(int fd) : fd_(fd) {}
  ~PosixReadableFile() override { close(fd_); }
  std::uint64_t Size() override {
    struct stat status;
    return fstat(fd_, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
  }
  std::size_t ReadAt(std::uint64_t offset, char* into, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      const ssize_t now = pread(fd_, into + done, count - done, static_cast<off_t>(offset + done));
      if (now < 0 && errno == EINTR) continue;
      if (now <= 0) break;
      done += static_cast<std::size_t>(now);
    }
    return done;
  }

 private:
  int fd_;
};

}  // namespace

bool AppendDurably(const std::string& path, const std::string& data, std::string* error) {
  return Append(path, data, true, error);
}

bool AppendToFile(const std::string& path, const std::string& data, std::string* error) {
  return Append(path, data, false, error);
}

std::unique_ptr<ReadableFile> OpenRegularFile(const std::string& path, std::string* why) {
  why->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat status {};
  if (fd < 0) {
    if (errno == ENOENT) return nullptr;
    *why = lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)
               ? NotARegularFile(path, status.st_mode)
               : "cannot read " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    *why = NotARegularFile(path, status.st_mode);
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixReadableFile>(fd);
}

bool SyncFolderOf(const std::string& path, std::string* error) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open its folder: " + std::string(std::strerror(errno));
    return false;
  }
  const bool synced = fsync(fd) == 0;
  if (!synced) *error = "cannot sync its folder: " + std::string(std::strerror(errno));
  close(fd);
  return synced;
}

std::string DefaultHistoryFile() {
  return "/var/lib/corvale-ups/history.jsonl";
}

std::vector<std::string> SerialSetupWarnings(const std::string& devices,
                                             const std::string& registry, const std::string& port) {
  namespace fs = std::filesystem;
  std::vector<std::string> warnings;
  std::error_code error;
  if (!fs::is_directory(devices, error)) {
    warnings.push_back("ups.devices: there is no folder " + devices);
  } else if (!fs::exists(fs::path(devices) / port, error)) {
    warnings.push_back("ups.port: there is no " + (fs::path(devices) / port).string() +
                       " yet; the service waits for it (a USB adapter may appear later)");
  }
  if (!fs::is_directory(registry, error)) {
    // The service waits for it and says so; it does not make it (the package does, at its place).
    warnings.push_back("ups.registry: there is no folder " + registry +
                       "; the service waits until there is one: sudo install -d -o corvale-ups -g "
                       "corvale-ups " +
                       registry);
  }
  return warnings;
}

const char* PortRule() {
  return "a device inside ups.devices in 1 to 7 characters (such as \"ttyUSB0\")";
}

std::size_t OpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  return limit.rlim_max == RLIM_INFINITY ? std::size_t{1} << 20 : limit.rlim_max;
}

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::vector<std::string> ServiceWritableFolders() {
  return {"/var/lib/corvale-ups", "/run/corvale-ups"};  // ReadWritePaths= of the unit
}

int RunAsService(const std::string&, const std::function<int()>& body) {
  return body();  // systemd runs the program as it is
}

void OnSystemShutdown(std::function<void()>) {}

bool WriteSecretFile(const std::string& path, const std::string& text, std::string* error) {
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (file < 0) {
    *error = "cannot make " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool whole = write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                     fsync(file) == 0;
  if (!whole) *error = "cannot write " + path + ": " + std::strerror(errno);
  close(file);
  return whole;
}

void OnResumeFromSleep(std::function<void()>) {}

bool ShutDownSystem(const std::string&, std::string* error, std::string*) {
  // systemd powers off in order (units stopped, file systems unmounted, then the shutdown hooks)
  // on this signal to PID 1, with no D-Bus or polkit in the way.
  if (access("/run/systemd/system", F_OK) == 0) {
    if (kill(1, SIGRTMIN + 4) == 0) return true;
    *error = std::string("cannot ask systemd to power off: ") + std::strerror(errno);
    return false;
  }
  *error = "the system was not booted with systemd: set shutdown.command (e.g. shutdown -h now)";
  return false;
}

bool InstallService(const std::string&, const std::string&, std::string* error) {
  *error = "install the package instead: the systemd unit comes with it";
  return false;
}

bool RemoveService(const std::string&, std::string* error, bool*) {
  *error = "remove the package instead";
  return false;
}

namespace {

namespace fs = std::filesystem;

// The installed service's account and group: network-facing, so never trusted with what root acts
// on, whatever they are called in the examples.
constexpr const char* kServiceAccount = "corvale-ups";

std::string GroupName(gid_t gid) {
  const group* found = getgrgid(gid);
  return found != nullptr
             ? "the group " + std::string(found->gr_name) + " (gid " + std::to_string(gid) + ")"
             : "the group with gid " + std::to_string(gid);
}

// Who besides root may write (or, for `reading`, read) what `status` describes, and the command
// that stops them; nothing when nobody. This process's own user is trusted like root unless it is
// the service's account (a user running the service by hand owns its file); only root's group may
// write, while the service's group and this process's may read (the service reads passwords).
struct Others {
  std::string who, fix;
};
std::optional<Others> OthersWho(const std::string& path, const struct stat& status, bool reading) {
  const passwd* service = getpwnam(kServiceAccount);
  const bool selfTrusted = service == nullptr || service->pw_uid != geteuid();
  std::string who, fix, bits;
  const auto add = [&who](const std::string& whom) { who += (who.empty() ? "" : " and ") + whom; };
  if (status.st_uid != 0 && !(status.st_uid == geteuid() && selfTrusted)) {
    const passwd* owner = getpwuid(status.st_uid);
    add("its owner " + (owner != nullptr ? std::string(owner->pw_name) + " " : std::string()) +
        "(uid " + std::to_string(status.st_uid) + ")");
    fix = "chown root " + path;
  }
  // In a sticky folder only an entry's owner may rename or remove it: the others may add names
  // but never replace what lies below.
  const bool sticky = !reading && S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0;
  const group* serviceGroup = getgrnam(kServiceAccount);
  const bool readingGroup =
      reading && (status.st_gid == getegid() ||
                  (serviceGroup != nullptr && status.st_gid == serviceGroup->gr_gid));
  if (!sticky && (status.st_mode & (reading ? S_IRGRP : S_IWGRP)) != 0 && status.st_gid != 0 &&
      !readingGroup) {
    add(GroupName(status.st_gid));
    bits += 'g';
  }
  if (!sticky && (status.st_mode & (reading ? S_IROTH : S_IWOTH)) != 0) {
    add("every user");
    bits += 'o';
  }
  if (who.empty()) return std::nullopt;
  if (!bits.empty()) fix += (fix.empty() ? "" : " && ") + ("chmod " + bits + "-w " + path);
  return Others{who, fix};
}

// Who besides root may write in a folder that root writes in (the flag's, the results'): the
// service's account and group are no more trusted than anybody else. Empty when nobody.
std::string WritersBesidesRoot(const struct stat& status) {
  if (status.st_uid != 0) {
    const passwd* owner = getpwuid(status.st_uid);
    return "its owner " + (owner != nullptr ? std::string(owner->pw_name) + " " : std::string()) +
           "(uid " + std::to_string(status.st_uid) + ")";
  }
  if ((status.st_mode & S_IWOTH) != 0) return "every user";
  if ((status.st_mode & S_IWGRP) != 0 && status.st_gid != 0) return GroupName(status.st_gid);
  return {};
}

// Every folder whose writers could replace `path`, from its own up to the root: as named and as it
// resolves (whoever may write a link's folder may point it elsewhere).
std::vector<std::string> FoldersAbove(const std::string& path) {
  std::vector<fs::path> starts = {fs::absolute(path).lexically_normal()};
  std::error_code error;
  if (auto real = fs::canonical(path, error); !error) starts.push_back(std::move(real));
  std::vector<std::string> folders;
  for (const auto& start : starts) {
    for (fs::path folder = start.parent_path();; folder = folder.parent_path()) {
      if (std::find(folders.begin(), folders.end(), folder.string()) == folders.end()) {
        folders.push_back(folder.string());
      }
      if (folder == folder.parent_path()) break;
    }
  }
  return folders;
}

// A sticky folder of root's (/tmp) lets others add names but not replace root's.
bool RootsStickyFolder(const struct stat& status) {
  return S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0 && status.st_uid == 0;
}

// One file descriptor, closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A name that stays inside its folder.
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The folder `path`, opened from "/" down one folder at a time without following links, each
// checked before the next is opened. Invalid with `why` set, or with `why` empty and `missing`
// true when a folder on the way does not exist.
Descriptor OpenRootsFolder(const std::string& path, bool create, std::string* why, bool* missing) {
  namespace fs = std::filesystem;
  *missing = false;
  const fs::path normal = fs::absolute(path).lexically_normal();
  std::vector<std::string> names;
  for (const auto& part : normal.relative_path()) {
    if (part.empty()) continue;
    if (!PlainName(part.string())) {
      *why = path + " must name a folder without \"..\"";
      return Descriptor();
    }
    names.push_back(part.string());
  }
  Descriptor folder(open("/", kFolderFlags));
  std::string here = "/";
  for (std::size_t index = 0;; ++index) {
    if (!folder.Valid()) {
      *why = "cannot open " + here + ": " + std::strerror(errno);
      return Descriptor();
    }
    struct stat status;
    if (fstat(folder.Get(), &status) != 0) {
      *why = "cannot look at " + here + ": " + std::strerror(errno);
      return Descriptor();
    }
    const bool last = index == names.size();
    if (!(RootsStickyFolder(status) && !last)) {
      if (const auto who = WritersBesidesRoot(status); !who.empty()) {
        *why = "the folder " + here + " may be written by " + who +
               ", who could make root write elsewhere. Let only root write it: chown root " + here +
               " && chmod go-w " + here;
        return Descriptor();
      }
    }
    if (last) return folder;
    const std::string& name = names[index];
    here = (fs::path(here) / name).string();
    Descriptor next(openat(folder.Get(), name.c_str(), kFolderFlags));
    if (!next.Valid() && errno == ENOENT && create && index + 1 == names.size()) {
      if (mkdirat(folder.Get(), name.c_str(), 0755) == 0 || errno == EEXIST) {
        next = Descriptor(openat(folder.Get(), name.c_str(), kFolderFlags));
      }
    }
    if (!next.Valid() && errno == ENOENT) {
      *missing = true;
      return Descriptor();
    }
    if (!next.Valid() && (errno == ELOOP || errno == ENOTDIR)) {
      *why = here + " is a link or not a folder; root writes only in real folders";
      return Descriptor();
    }
    folder = std::move(next);
  }
}

class PosixFolder : public Folder {
 public:
  explicit PosixFolder(Descriptor folder) : folder_(std::move(folder)) {}

  std::vector<Entry> List(std::size_t limit) override {
    std::vector<Entry> entries;
    DIR* listing = fdopendir(dup(folder_.Get()));
    if (listing == nullptr) return entries;
    rewinddir(listing);
    const auto now = std::chrono::system_clock::now();
    while (entries.size() < limit) {
      const dirent* entry = readdir(listing);
      if (entry == nullptr) break;
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat status;
      Entry found{name, false, std::chrono::seconds(0)};
      if (fstatat(folder_.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        found.regularFile = S_ISREG(status.st_mode);
        found.age = std::chrono::duration_cast<std::chrono::seconds>(
            now - std::chrono::system_clock::from_time_t(status.st_mtime));
      }
      entries.push_back(std::move(found));
    }
    closedir(listing);
    return entries;
  }

  bool Remove(const std::string& name) override {
    if (!PlainName(name)) return false;
    if (unlinkat(folder_.Get(), name.c_str(), 0) == 0) return true;
    if (errno != EISDIR && errno != EPERM) return false;
    std::size_t budget = kRemovalBudget;
    return RemoveTree(folder_.Get(), name, 0, &budget);
  }

  bool Create(const std::string& name, std::string* error) override {
    if (!PlainName(name)) {
      *error = "not a plain name: " + name;
      return false;
    }
    const Descriptor file(openat(folder_.Get(), name.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file.Valid()) *error = std::strerror(errno);
    return file.Valid();
  }

  bool Replace(const std::string& name, const std::string& contents, std::string* error,
               bool secret) override {
    if (!PlainName(name)) {
      *error = "not a plain name: " + name;
      return false;
    }
    const std::string temporary = "." + name + "." + std::to_string(getpid()) + ".tmp";
    Remove(temporary);  // left by a write that was cut short
    {
      const Descriptor file(openat(folder_.Get(), temporary.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   secret ? 0600 : 0644));
      if (!file.Valid()) {
        *error = std::strerror(errno);
        return false;
      }
      const std::size_t written = WriteWhole(file.Get(), contents);
      if (written != contents.size() || fsync(file.Get()) != 0) {
        *error = std::strerror(errno);
        unlinkat(folder_.Get(), temporary.c_str(), 0);
        return false;
      }
    }
    bool renamed = renameat(folder_.Get(), temporary.c_str(), folder_.Get(), name.c_str()) == 0;
    if (!renamed && (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST)) {
      // A folder in the way: removed (it is in root's own folder), never written into.
      Remove(name);
      renamed = renameat(folder_.Get(), temporary.c_str(), folder_.Get(), name.c_str()) == 0;
    }
    if (!renamed) {
      *error = std::strerror(errno);
      unlinkat(folder_.Get(), temporary.c_str(), 0);
      return false;
    }
    fsync(folder_.Get());
    return true;
  }

  bool Rename(const std::string& from, const std::string& to, std::string* error) override {
    error->clear();
    if (!PlainName(from) || !PlainName(to)) {
      *error = "not a plain name: " + (PlainName(from) ? to : from);
      return false;
    }
    struct stat status;
    if (fstatat(folder_.Get(), from.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) *error = std::strerror(errno);
      return false;
    }
    if (!S_ISREG(status.st_mode)) {
      *error = from + " is not a regular file";
      return false;
    }
    bool renamed = renameat(folder_.Get(), from.c_str(), folder_.Get(), to.c_str()) == 0;
    if (!renamed && (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST)) {
      Remove(to);  // a folder in the way, in root's own folder
      renamed = renameat(folder_.Get(), from.c_str(), folder_.Get(), to.c_str()) == 0;
    }
    if (!renamed) {
      *error = std::strerror(errno);
      return false;
    }
    fsync(folder_.Get());
    return true;
  }

  std::optional<std::string> ReadOwnFile(const std::string& name, std::size_t limit,
                                         std::string* why) override {
    why->clear();
    struct stat before;
    if (!PlainName(name)) {
      *why = "not a plain name";
      return std::nullopt;
    }
    if (fstatat(folder_.Get(), name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) *why = std::strerror(errno);
      return std::nullopt;
    }
    if (!S_ISREG(before.st_mode)) {
      *why = S_ISLNK(before.st_mode) ? "it is a link" : "it is not a regular file";
      return std::nullopt;
    }
    const Descriptor file(openat(folder_.Get(), name.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status;
    if (!file.Valid() || fstat(file.Get(), &status) != 0) {
      *why = std::strerror(errno);
      return std::nullopt;
    }
    if (!S_ISREG(status.st_mode) || status.st_ino != before.st_ino) {
      *why = "it is not a regular file";
    } else if (status.st_uid != 0) {
      *why = "root did not write it (owner uid " + std::to_string(status.st_uid) + ")";
    } else if (status.st_nlink != 1) {
      *why = "it has other names (hard links)";
    } else if (static_cast<std::size_t>(status.st_size) > limit) {
      *why = "it is larger than " + std::to_string(limit) + " bytes";
    }
    if (!why->empty()) return std::nullopt;
    std::string contents(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (done < contents.size()) {
      const ssize_t now = read(file.Get(), contents.data() + done, contents.size() - done);
      if (now < 0 && errno == EINTR) continue;
      if (now <= 0) break;
      done += static_cast<std::size_t>(now);
    }
    contents.resize(done);
    return contents;
  }

 private:
  // What one removal may go through: a folder planted with a million names costs a bounded time.
  static constexpr std::size_t kRemovalBudget = 100000;
  static constexpr int kRemovalDepth = 16;

  // Empties and removes the folder `name` inside `parent`, through descriptors only: what is
  // moved away meanwhile is left where it went.
  static bool RemoveTree(int parent, const std::string& name, int depth, std::size_t* budget) {
    Descriptor folder(openat(parent, name.c_str(), kFolderFlags));
    if (!folder.Valid()) return false;
    DIR* listing = fdopendir(dup(folder.Get()));
    if (listing == nullptr) return false;
    std::vector<std::string> inside;
    while (*budget > 0) {
      const dirent* entry = readdir(listing);
      if (entry == nullptr) break;
      const std::string child = entry->d_name;
      if (child == "." || child == "..") continue;
      --*budget;
      inside.push_back(child);
    }
    closedir(listing);
    for (const auto& child : inside) {
      if (unlinkat(folder.Get(), child.c_str(), 0) == 0) continue;
      if ((errno == EISDIR || errno == EPERM) && depth < kRemovalDepth) {
        RemoveTree(folder.Get(), child, depth + 1, budget);
      }
    }
    return unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
  }

  Descriptor folder_;
};

}  // namespace

std::unique_ptr<Folder> OpenFolder(const std::string& path, bool rootOnly, bool create,
                                   std::string* why) {
  if (rootOnly) {
    bool missing = false;
    Descriptor folder = OpenRootsFolder(path, create, why, &missing);
    if (missing) *why = "there is no folder " + path;
    if (!folder.Valid()) return nullptr;
    return std::make_unique<PosixFolder>(std::move(folder));
  }
  std::error_code ignored;
  if (create) std::filesystem::create_directories(path, ignored);
  Descriptor folder(open(path.c_str(), kFolderFlags));
  if (!folder.Valid()) {
    *why = "cannot open the folder " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<PosixFolder>(std::move(folder));
}

std::optional<std::string> UntrustedFolder(const std::string& path) {
  std::string why;
  bool missing = false;
  if (OpenRootsFolder(path, false, &why, &missing).Valid() || missing) return std::nullopt;
  return why;
}

std::optional<std::string> UntrustedStateFile(const std::string&) {
  return std::nullopt;  // the service's account owns its state folder; root acts on none of it
}

bool PrepareDataFolder(std::string*) {
  return true;  // the package makes the folders, with their owners and modes
}

std::optional<std::string> UntrustedConfig(const std::string& path, bool passwords) {
  struct stat file;
  if (stat(path.c_str(), &file) != 0) return std::nullopt;  // unread; the loader says so
  if (const auto others = OthersWho(path, file, false)) {
    return path + " may be written by " + others->who +
           ", who would choose the commands the service runs. Let only root write it: " +
           others->fix;
  }
  for (const auto& folder : FoldersAbove(path)) {
    struct stat status;
    if (stat(folder.c_str(), &status) != 0) continue;
    if (const auto others = OthersWho(folder, status, false)) {
      return "the folder " + folder + " may be written by " + others->who +
             ", who could replace the configuration. Let only root write it: " + others->fix;
    }
  }
  if (passwords) {
    if (const auto others = OthersWho(path, file, true)) {
      return path + " holds passwords and " + others->who +
             " may read it. Let only root and the service read it: chown root:corvale-ups " + path +
             " && chmod 640 " + path;
    }
  }
  return std::nullopt;
}

std::optional<std::string> ExposedSecretFile(const std::string& path) {
  struct stat file;
  if (stat(path.c_str(), &file) != 0) return std::nullopt;  // unread; said elsewhere
  if (const auto others = OthersWho(path, file, true)) {
    return path + " holds a secret and " + others->who +
           " may read it. Let only root and the service read it: chown root:corvale-ups " + path +
           " && chmod 640 " + path;
  }
  return std::nullopt;
}

namespace {

class PosixLibrary : public SharedLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  void* Find(const char* symbol) override { return dlsym(handle_, symbol); }

 private:
  void* handle_;  // kept open: what it started (threads, handlers) may outlive any one user
};

}  // namespace

std::unique_ptr<SharedLibrary> LoadSharedLibrary(const std::string& name, std::string* error) {
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : "cannot load " + name;
    return nullptr;
  }
  return std::make_unique<PosixLibrary>(handle);
}

std::string MachineName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "this machine";
  return name;
}

}  // namespace corvale::host
