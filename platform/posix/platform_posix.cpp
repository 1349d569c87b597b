// The POSIX back end: a termios serial port with Windows read time-out semantics, and a directory
// tree standing in for the local-machine registry.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {

constexpr char kDefaultDeviceDirectory[] = "/dev";
constexpr char kDefaultRegistryRoot[] = "/var/lib/corvale-ups/registry";
constexpr int kWriteTimeoutMs = 2000;
constexpr int kPathSize = 1024;

// ---------------------------------------------------------------- paths

const char* EnvironmentOr(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

// A relative name may not climb out of its directory or be absolute.
bool IsContainedName(const char* name) {
  if (name[0] == '\0' || name[0] == '/') return false;
  const char* component = name;
  for (;;) {
    const char* end = std::strchr(component, '/');
    const std::size_t length =
        end ? static_cast<std::size_t>(end - component) : std::strlen(component);
    if (length == 0 || (length == 2 && component[0] == '.' && component[1] == '.')) return false;
    if (end == nullptr) return true;
    component = end + 1;
  }
}

// Joins `directory` and `name` into `out`; false when it does not fit.
bool JoinPath(const char* directory, const char* name, char (&out)[kPathSize]) {
  const int length = std::snprintf(out, kPathSize, "%s/%s", directory, name);
  return length > 0 && length < kPathSize;
}

std::int64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// ---------------------------------------------------------------- serial line settings

struct LineParameters {
  speed_t speed;
  tcflag_t characterSize;
  char parity;  // 'N', 'E', 'O', 'M' or 'S'
  bool twoStopBits;
  char flowControl;  // 0, 'x' (XON/XOFF) or 'p' (hardware)
};
static_assert(sizeof(LineParameters) <= sizeof(SerialSettings::native));

bool SpeedFor(unsigned long baud, speed_t* speed) {
  static constexpr struct {
    unsigned long baud;
    speed_t speed;
  } kSpeeds[] = {{110, B110},     {300, B300},     {600, B600},      {1200, B1200},
                 {2400, B2400},   {4800, B4800},   {9600, B9600},    {19200, B19200},
                 {38400, B38400}, {57600, B57600}, {115200, B115200}};
  for (const auto& entry : kSpeeds) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

// Reads the classic "baud,parity,data,stop[,x|p]" mode text, as BuildCommDCB does.
bool ParseMode(const char* mode, LineParameters* line) {
  char* end = nullptr;
  errno = 0;
  const unsigned long baud = std::strtoul(mode, &end, 10);
  if (errno != 0 || end == mode || *end != ',' || !SpeedFor(baud, &line->speed)) return false;
  const char* field = end + 1;

  const char parity = static_cast<char>(field[0] & ~0x20);
  if (std::strchr("NEOMS", parity) == nullptr || parity == '\0' || field[1] != ',') return false;
  line->parity = parity;
  field += 2;

  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (field[0] < '5' || field[0] > '8' || field[1] != ',') return false;
  line->characterSize = kSizes[field[0] - '5'];
  field += 2;

  if (field[0] == '1') {
    line->twoStopBits = false;
  } else if (field[0] == '2') {
    line->twoStopBits = true;
  } else {
    return false;  // 1.5 stop bits: termios cannot do them
  }
  field += 1;

  line->flowControl = 0;
  if (field[0] == ',' && (field[1] == 'x' || field[1] == 'p') && field[2] == '\0') {
    line->flowControl = field[1];
    field += 2;
  }
  return field[0] == '\0';
}

// Raises or drops one modem control line. A device without modem lines (a pseudo-terminal) is
// accepted as it is; any other refusal is a failure.
bool SetModemLine(int fd, int line, bool raised) {
  if (ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

// ---------------------------------------------------------------- read time-outs per port

struct ReadTimeouts {
  int fd;
  std::uint32_t intervalMs;
  std::uint32_t totalMs;
};
ReadTimeouts timeoutTable[8] = {{-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0},
                                {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}};
pthread_mutex_t timeoutTableLock = PTHREAD_MUTEX_INITIALIZER;

ReadTimeouts LookUpTimeouts(int fd) {
  ReadTimeouts found = {fd, 0, 0};
  pthread_mutex_lock(&timeoutTableLock);
  for (const auto& entry : timeoutTable) {
    if (entry.fd == fd) found = entry;
  }
  pthread_mutex_unlock(&timeoutTableLock);
  return found;
}

// Stores time-outs for `fd`, or forgets them when both are zero (the port's defaults).
void StoreTimeouts(int fd, std::uint32_t intervalMs, std::uint32_t totalMs) {
  pthread_mutex_lock(&timeoutTableLock);
  ReadTimeouts* slot = nullptr;
  for (auto& entry : timeoutTable) {
    if (entry.fd == fd || (slot == nullptr && entry.fd == -1)) slot = &entry;
    if (entry.fd == fd) break;
  }
  if (slot != nullptr) {
    *slot = (intervalMs == 0 && totalMs == 0) ? ReadTimeouts{-1, 0, 0}
                                              : ReadTimeouts{fd, intervalMs, totalMs};
  }
  pthread_mutex_unlock(&timeoutTableLock);
}

// VTIME, in tenths of a second, for a read that may wait `totalMs` for its first byte.
cc_t FirstByteTimer(std::uint32_t totalMs) {
  if (totalMs == 0) return 0;
  return static_cast<cc_t>(totalMs >= 25500 ? 255 : (totalMs + 99) / 100);
}

// A read that returned nothing at once may mean the device is gone rather than quiet.
bool HungUp(int fd) {
  pollfd check = {fd, POLLIN, 0};
  return poll(&check, 1, 0) > 0 && (check.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// ---------------------------------------------------------------- registry values

bool IsValueName(const char* name) {
  return name[0] != '\0' && name[0] != '.' && std::strchr(name, '/') == nullptr;
}

bool WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// Writes the value to a temporary file and renames it into place, so that a reader or a power cut
// sees either the old value or the new one, never half of either.
bool WriteValueFile(RegistryKey key, const char* name, const char* text) {
  if (!IsValueName(name)) return false;
  static std::uint32_t sequence = 0;
  char temporary[256];
  const int length =
      std::snprintf(temporary, sizeof temporary, ".%s.%ld.%u", name, static_cast<long>(getpid()),
                    __atomic_add_fetch(&sequence, 1, __ATOMIC_RELAXED));
  if (length <= 0 || length >= static_cast<int>(sizeof temporary)) return false;
  const int dirfd = static_cast<int>(key);
  const int fd = openat(dirfd, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written =
      WriteAll(fd, text, std::strlen(text)) && WriteAll(fd, "\n", 1) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (written && closed && renameat(dirfd, temporary, dirfd, name) == 0) return true;
  unlinkat(dirfd, temporary, 0);
  return false;
}

}  // namespace

// ================================================================ serial port

SerialHandle SerialOpen(const char* name) {
  char path[kPathSize];
  if (!IsContainedName(name) ||
      !JoinPath(EnvironmentOr("CORVALE_UPS_DEVICES", kDefaultDeviceDirectory), name, path)) {
    errno = ENOENT;
    return kInvalidSerialHandle;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidSerialHandle;
  // No sharing: TIOCEXCL keeps other (unprivileged) openers out, and the advisory lock makes a
  // second opener that asks, privileged or not, fail the way a shared Windows port does.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    errno = error == EWOULDBLOCK ? EBUSY : error;
    return kInvalidSerialHandle;
  }
  ioctl(fd, TIOCEXCL);
  // Opened without blocking so as not to wait for carrier; from here on reads block, bounded by
  // the line discipline's timer (see SerialRead).
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  StoreTimeouts(fd, 0, 0);
  return fd;
}

bool SerialBuildSettings(const char* mode, SerialSettings* settings) {
  LineParameters line = {};
  if (!ParseMode(mode, &line)) return false;
  std::memcpy(settings->native, &line, sizeof line);
  settings->dtrControl = 1;
  settings->rtsControl = line.flowControl == 'p' ? 0 : 1;
  return true;
}

bool SerialApplySettings(SerialHandle port, const SerialSettings* settings) {
  const int fd = static_cast<int>(port);
  LineParameters line;
  std::memcpy(&line, settings->native, sizeof line);
  termios attributes;
  if (tcgetattr(fd, &attributes) != 0) return false;
  cfmakeraw(&attributes);
  attributes.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  attributes.c_cflag |= CLOCAL | CREAD | line.characterSize;
  if (line.parity != 'N') attributes.c_cflag |= PARENB;
  if (line.parity == 'O' || line.parity == 'M') attributes.c_cflag |= PARODD;
  if (line.parity == 'M' || line.parity == 'S') attributes.c_cflag |= CMSPAR;
  if (line.twoStopBits) attributes.c_cflag |= CSTOPB;
  if (line.flowControl == 'p') attributes.c_cflag |= CRTSCTS;
  attributes.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (line.flowControl == 'x') attributes.c_iflag |= IXON | IXOFF;
  attributes.c_cc[VMIN] = 0;
  attributes.c_cc[VTIME] = FirstByteTimer(LookUpTimeouts(fd).totalMs);
  if (cfsetispeed(&attributes, line.speed) != 0 || cfsetospeed(&attributes, line.speed) != 0 ||
      tcsetattr(fd, TCSANOW, &attributes) != 0) {
    return false;
  }
  return SetModemLine(fd, TIOCM_DTR, settings->dtrControl != 0) &&
         SetModemLine(fd, TIOCM_RTS, settings->rtsControl != 0);
}

void SerialSetReadTimeouts(SerialHandle port, std::uint32_t intervalMs, std::uint32_t totalMs) {
  const int fd = static_cast<int>(port);
  StoreTimeouts(fd, intervalMs, totalMs);
  termios attributes;
  if (tcgetattr(fd, &attributes) == 0) {
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = FirstByteTimer(totalMs);
    tcsetattr(fd, TCSANOW, &attributes);
  }
}

bool SerialWrite(SerialHandle port, const std::uint8_t* data, std::uint32_t count) {
  const int fd = static_cast<int>(port);
  const std::int64_t deadline = NowMs() + kWriteTimeoutMs;
  while (count > 0) {
    const ssize_t written = write(fd, data, count);
    if (written > 0) {
      data += written;
      count -= static_cast<std::uint32_t>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) return false;
    const std::int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd waitFor = {fd, POLLOUT, 0};
    if (poll(&waitFor, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
  }
  return true;
}

bool SerialRead(SerialHandle port, std::uint8_t* buffer, std::uint32_t capacity,
                std::uint32_t* received) {
  const int fd = static_cast<int>(port);
  const ReadTimeouts timeouts = LookUpTimeouts(fd);
  const bool bounded = timeouts.totalMs != 0;
  const std::int64_t deadline = NowMs() + timeouts.totalMs;
  *received = 0;
  if (bounded) {
    // The first read waits in the line discipline (VTIME holds the total time-out) and returns
    // as soon as anything is there: a reply that arrives whole costs this one call.
    for (;;) {
      const ssize_t count = read(fd, buffer, capacity);
      if (count > 0) {
        *received = static_cast<std::uint32_t>(count);
        break;
      }
      if (count == 0) return !HungUp(fd);  // the time-out, unless the device went away
      if (errno == EAGAIN) break;
      if (errno != EINTR) return false;
    }
  }
  // The rest of a reply that came in pieces: 100 ms of silence between bytes ends the read.
  while (*received < capacity) {
    int waitMs = -1;
    if (bounded) {
      const std::int64_t left = deadline - NowMs();
      if (left <= 0) break;
      waitMs = static_cast<int>(left);
    }
    if (*received > 0 && timeouts.intervalMs != 0 &&
        (waitMs < 0 || waitMs > static_cast<int>(timeouts.intervalMs))) {
      waitMs = static_cast<int>(timeouts.intervalMs);
    }
    pollfd waitFor = {fd, POLLIN, 0};
    const int ready = poll(&waitFor, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (ready == 0) break;  // a time-out: what arrived so far is the result
    if (waitFor.revents & (POLLERR | POLLNVAL)) return false;
    const ssize_t count = read(fd, buffer + *received, capacity - *received);
    if (count > 0) {
      *received += static_cast<std::uint32_t>(count);
    } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
      return false;  // hung up, or the device went away
    }
  }
  return true;
}

std::uint32_t SerialClose(SerialHandle port) {
  const int fd = static_cast<int>(port);
  StoreTimeouts(fd, 0, 0);
  ioctl(fd, TIOCNXCL);  // leave the device open to others again
  return close(fd) == 0 ? 1 : 0;
}

// ================================================================ registry stand-in

bool RegistryOpenKey(const char* path, RegistryAccess access, RegistryKey* key) {
  char relative[kPathSize];
  const int length = std::snprintf(relative, sizeof relative, "%s", path);
  if (length <= 0 || length >= kPathSize) return false;
  for (char* c = relative; *c != '\0'; ++c) {
    if (*c == '\\') *c = '/';
  }
  char directory[kPathSize];
  if (!IsContainedName(relative) ||
      !JoinPath(EnvironmentOr("CORVALE_UPS_REGISTRY", kDefaultRegistryRoot), relative, directory)) {
    return false;
  }
  const int mode = access == kRegistryWrite ? (W_OK | X_OK) : (R_OK | X_OK);
  if (::access(directory, mode) != 0) return false;
  const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  *key = fd;
  return true;
}

bool RegistryQueryValue(RegistryKey key, const char* name, void* buffer, std::uint32_t* size) {
  if (!IsValueName(name)) return false;
  const int fd = openat(static_cast<int>(key), name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat status;
  bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_size <= static_cast<off_t>(*size);
  std::size_t length = 0;
  char* bytes = static_cast<char*>(buffer);
  while (ok && length < static_cast<std::size_t>(status.st_size)) {
    const ssize_t count =
        read(fd, bytes + length, static_cast<std::size_t>(status.st_size) - length);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;  // the file shrank meanwhile: take what is there
    length += static_cast<std::size_t>(count);
  }
  close(fd);
  if (!ok) return false;
  // The value is the text without the one newline `echo` leaves, plus its terminating NUL.
  if (length > 0 && bytes[length - 1] == '\n') --length;
  if (length + 1 > *size) {
    *size = static_cast<std::uint32_t>(length + 1);
    return false;
  }
  bytes[length] = '\0';
  *size = static_cast<std::uint32_t>(length + 1);
  return true;
}

bool RegistrySetDword(RegistryKey key, const char* name, std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value));
  return WriteValueFile(key, name, text);
}

bool RegistrySetString(RegistryKey key, const char* name, const char* text) {
  return WriteValueFile(key, name, text);
}

void RegistryCloseKey(RegistryKey key) {
  close(static_cast<int>(key));
}

// ================================================================ process services

void PlatformSleep(std::uint32_t milliseconds) {
  timespec remaining = {static_cast<time_t>(milliseconds / 1000),
                        static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void PlatformAttach(void* /*instance*/) {}

namespace {
pthread_mutex_t exchangeLock = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

void ExchangeLockAcquire() {
  pthread_mutex_lock(&exchangeLock);
}
void ExchangeLockRelease() {
  pthread_mutex_unlock(&exchangeLock);
}
