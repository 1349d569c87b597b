#include "simulator/ups_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace corvale {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint16_t kOnBatt = 0x0001;
constexpr std::uint16_t kSilenced = 0x0020;
constexpr std::size_t kLongestLine = 64;  // a "frame" longer than this is noise: drop it
constexpr auto kRestartDelay = std::chrono::seconds(2);

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string ReplyWithFault(std::string reply, UpsPeer::Fault fault) {
  switch (fault) {
    case UpsPeer::Fault::kSilent:
      return {};
    case UpsPeer::Fault::kShort:
      reply.resize(11);
      break;
    case UpsPeer::Fault::kGarbled:
      reply[5] = '?';
      break;
    case UpsPeer::Fault::kLowerCase:
      for (char& c : reply) c = c == 'A' ? 'a' : c == 'B' ? 'b' : c;
      break;
    default:
      break;
  }
  return reply;
}

}  // namespace

std::optional<UpsCommand> ParseCommandFrame(const std::string& frame) {
  if (frame.size() != 13 || frame[0] != 'Z' || frame[12] != '\r') return std::nullopt;
  for (std::size_t i = 1; i <= 11; ++i) {
    if (frame[i] < 'A' || frame[i] > 'Z') return std::nullopt;
  }
  if (frame[1] > 'J') return std::nullopt;
  const std::size_t at = static_cast<std::size_t>(frame[1] - 'A' + 2);
  UpsCommand command;
  command.letter = frame[at];
  switch (command.letter) {
    case 'L':
    case 'B':
      return command;
    case 'S':
      if (at + 3 > 11) return std::nullopt;
      for (std::size_t i = at + 1; i <= at + 3; ++i) {
        if (frame[i] > 'J') return std::nullopt;
        command.delay = command.delay * 10 + static_cast<std::uint32_t>(frame[i] - 'A');
      }
      return command;
    default:
      return std::nullopt;
  }
}

std::string FormatReply(std::uint16_t bits) {
  std::string reply = "$";
  for (int bit = 0; bit < 10; ++bit) reply += (bits >> bit) & 1 ? 'B' : 'A';
  reply += '\r';
  return reply;
}

UpsPeer::UpsPeer() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) ThrowErrno("posix_openpt");
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    const int error = errno;
    close(master_);
    throw std::system_error(error, std::generic_category(), "pseudo-terminal set-up");
  }
  devicePath_ = name;
  slaveKeeper_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveKeeper_ < 0) ThrowErrno("open pseudo-terminal");
  termios raw;
  tcgetattr(slaveKeeper_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slaveKeeper_, TCSANOW, &raw);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno("pipe2");
  thread_ = std::thread([this] { Run(); });
}

UpsPeer::~UpsPeer() {
  Hangup();
  close(wakePipe_[0]);
  close(wakePipe_[1]);
}

void UpsPeer::Hangup() {
  {
    std::lock_guard lock(mutex_);
    if (hungUp_) return;
    hungUp_ = true;
  }
  const char wake = 1;
  [[maybe_unused]] auto ignored = write(wakePipe_[1], &wake, 1);
  if (thread_.joinable()) thread_.join();
  close(master_);
  close(slaveKeeper_);
}

void UpsPeer::SetStatus(std::uint16_t bits) {
  std::lock_guard lock(mutex_);
  bits &= 0x03FF;
  if ((bits & kOnBatt) && !(bits_ & kOnBatt)) silenced_ = false;  // the alarm sounds again
  bits_ = static_cast<std::uint16_t>(bits & ~kSilenced);
}

std::uint16_t UpsPeer::Status() {
  std::lock_guard lock(mutex_);
  return StatusLocked();
}

std::uint16_t UpsPeer::StatusLocked() const {
  return static_cast<std::uint16_t>(bits_ | (silenced_ ? kSilenced : 0));
}

void UpsPeer::SetFault(Fault fault, std::chrono::milliseconds lateBy) {
  std::lock_guard lock(mutex_);
  fault_ = fault;
  lateBy_ = lateBy;
}

void UpsPeer::SetRandomFaults(double probability, std::uint32_t seed) {
  std::lock_guard lock(mutex_);
  faultProbability_ = probability;
  faultSeed_ = seed != 0 ? seed : 1;
}

std::uint64_t UpsPeer::InjectedFaults() {
  std::lock_guard lock(mutex_);
  return injectedFaults_;
}

UpsPeer::Fault UpsPeer::CurrentFault() {
  std::lock_guard lock(mutex_);
  return fault_;
}

std::vector<UpsPeer::FrameRecord> UpsPeer::Frames() {
  std::lock_guard lock(mutex_);
  return frames_;
}

int UpsPeer::InvalidFrames() {
  std::lock_guard lock(mutex_);
  return invalidFrames_;
}

std::vector<std::uint32_t> UpsPeer::TurnOffDelays() {
  std::lock_guard lock(mutex_);
  return turnOffDelays_;
}

void UpsPeer::OnFrame(
    std::function<void(const FrameRecord&, const std::optional<UpsCommand>&)> callback) {
  std::lock_guard lock(mutex_);
  onFrame_ = std::move(callback);
}

void UpsPeer::OnOutputChange(std::function<void(bool on)> callback) {
  std::lock_guard lock(mutex_);
  onOutputChange_ = std::move(callback);
}

void UpsPeer::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t count = write(master_, bytes.data() + sent, bytes.size() - sent);
    if (count > 0) {
      sent += static_cast<std::size_t>(count);
    } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    }
  }
}

void UpsPeer::CheckTurnOffCountdown() {
  std::function<void(bool)> notify;
  bool nowOn = false;
  {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    if (turnOffAt_ && now >= *turnOffAt_) {
      turnOffAt_.reset();
      outputOn_ = false;
      offSince_ = now;
      notify = onOutputChange_;
      nowOn = false;
    } else if (!outputOn_ && !(bits_ & kOnBatt) && now - offSince_ >= kRestartDelay) {
      outputOn_ = true;
      notify = onOutputChange_;
      nowOn = true;
    }
  }
  if (notify) notify(nowOn);
}

void UpsPeer::HandleFrame(const std::string& frame) {
  const auto command = ParseCommandFrame(frame);
  FrameRecord record{Clock::now(), frame, command.has_value(), {}};
  std::function<void(const FrameRecord&, const std::optional<UpsCommand>&)> notify;
  bool late = false;
  std::chrono::milliseconds lateBy;
  {
    std::lock_guard lock(mutex_);
    if (fault_ == Fault::kUnplugged) return;  // the frame never reached the UPS
    if (!command) ++invalidFrames_;
    if (command && outputOn_) {
      if (command->letter == 'B') silenced_ = true;
      if (command->letter == 'S') {
        turnOffDelays_.push_back(command->delay);
        turnOffAt_ = record.when + std::chrono::seconds(command->delay);
      }
      Fault fault = fault_;
      if (faultProbability_ > 0) {
        // xorshift32: cheap, and the same faults on every run with the same seed.
        faultSeed_ ^= faultSeed_ << 13;
        faultSeed_ ^= faultSeed_ >> 17;
        faultSeed_ ^= faultSeed_ << 5;
        if (faultSeed_ % 1000000 < faultProbability_ * 1000000) {
          static constexpr Fault kRandomFaults[] = {Fault::kSilent, Fault::kGarbled, Fault::kShort,
                                                    Fault::kLowerCase};
          fault = kRandomFaults[(faultSeed_ >> 8) % 4];
          ++injectedFaults_;
        }
      }
      record.reply = ReplyWithFault(FormatReply(StatusLocked()), fault);
    }
    late = fault_ == Fault::kLate;
    lateBy = lateBy_;
    frames_.push_back(record);
    notify = onFrame_;
  }
  if (notify) notify(record, command);
  if (record.reply.empty()) return;
  if (late) {
    pending_.push_back({record.when + lateBy, record.reply});
  } else {
    Send(record.reply);
  }
}

void UpsPeer::Run() {
  std::string line;
  for (;;) {
    int waitMs = 50;  // the turn-off countdown is checked at this pace
    const auto now = Clock::now();
    for (const auto& [due, bytes] : pending_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
      waitMs = std::max(0, std::min<int>(waitMs, static_cast<int>(left)));
    }
    pollfd fds[2] = {{master_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    const int ready = poll(fds, 2, waitMs);
    if (ready < 0 && errno != EINTR) return;
    if (fds[1].revents) return;  // asked to stop

    for (auto it = pending_.begin(); it != pending_.end();) {
      if (Clock::now() >= it->first) {
        Send(it->second);
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
    CheckTurnOffCountdown();

    if (ready > 0 && (fds[0].revents & POLLIN)) {
      char bytes[256];
      const ssize_t count = read(master_, bytes, sizeof bytes);
      for (ssize_t i = 0; i < count; ++i) {
        line += bytes[i];
        if (bytes[i] == '\r') {
          HandleFrame(line);
          line.clear();
        } else if (line.size() > kLongestLine) {
          HandleFrame(line);  // recorded as invalid
          line.clear();
        }
      }
    } else if (ready > 0 && (fds[0].revents & POLLHUP)) {
      // Nobody has the slave open; cannot happen while slaveKeeper_ is, but do not spin.
      usleep(10000);
    }
  }
}

}  // namespace corvale
