#include "host/nut/nut_backend.h"

#include <algorithm>

namespace corvale::nut {

std::vector<User> UsersFrom(const std::vector<host::Config::User>& users) {
  std::vector<User> result;
  for (const auto& entry : users) {
    User user;
    user.name = entry.name;
    user.password = entry.password;
    user.upsmon = entry.upsmon == "primary"     ? User::Upsmon::kPrimary
                  : entry.upsmon == "secondary" ? User::Upsmon::kSecondary
                                                : User::Upsmon::kNone;
    for (const auto& action : entry.actions) {
      user.maySet = user.maySet || action == "SET";
      user.mayForceShutdown = user.mayForceShutdown || action == "FSD";
    }
    user.instcmds = entry.instcmds;
    result.push_back(std::move(user));
  }
  return result;
}

ServiceBackend::ServiceBackend(BackendOptions options, host::Logger& log)
    : options_(std::move(options)),
      log_(log),
      names_{options_.upsName},
      tls_(options_.tls),
      shutdownDelays_{options_.shutdownDelay},
      // Never the number of a drill before a restart: an agent answers each number once.
      drillsRun_(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count())),
      worker_([this] { Work(); }) {}

void ServiceBackend::Attach(host::Host& host) {
  host_ = &host;
  std::lock_guard lock(mutex_);
  names_.clear();
  shutdownDelays_.resize(1);
  for (const auto& unit : host.Units()) {
    names_.push_back(unit->Name());
    if (unit->Index() != 0) shutdownDelays_.push_back(unit->Options().turnOffDelay);
  }
}

void ServiceBackend::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (coordinator_.joinable()) coordinator_.join();
  std::thread driller;
  {
    std::lock_guard lock(mutex_);
    driller = std::move(driller_);
  }
  if (driller.joinable()) driller.join();
}

void ServiceBackend::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !work_.empty(); });
    if (stopping_) return;
    auto job = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

std::optional<Variables> ServiceBackend::CurrentVariables(const void* session,
                                                          std::size_t ups) const {
  const auto latest = host_ != nullptr && ups < host_->Units().size()
                          ? host_->Units()[ups]->Latest()
                          : std::nullopt;
  const bool current = latest && !latest->linkLost && latest->state != 0;
  bool forced = fsd_;
  std::uint32_t shutdownDelay = 0;
  {
    std::lock_guard lock(mutex_);
    forced = forced || upsFsdSince_.count(ups) != 0;
    // A stage's FSD is its UPS's, seen by the sessions logged in to it.
    const auto stage = stageSessions_.find(session);
    const auto login = logins_.find(session);
    forced = forced || (stage != stageSessions_.end() && !stage->second.released &&
                        login != logins_.end() && login->second.ups == ups);
    if (ups < shutdownDelays_.size()) shutdownDelay = shutdownDelays_[ups];
  }
  std::string status = forced ? "FSD" : "";
  if (latest && latest->state != 0) {
    const auto& flags = latest->flags;
    status += std::string(status.empty() ? "" : " ") + (latest->state == 1 ? "OL" : "OB");
    if (flags.lowBattery) status += " LB";
    if (flags.batteryFailed) status += " RB";
    if (flags.overload) status += " OVER";
  }
  if (!current) {
    // Nothing from a UPS that does not answer passes for current, but the secondaries must still
    // hear that this host is shutting down: FSD with the last known flags.
    if (!forced) return std::nullopt;
    return Variables{{"ups.status", status}};
  }
  const auto& flags = latest->flags;
  std::string alarm;
  for (const auto& [set, text] :
       {std::pair{flags.batteryFailed, "Battery failed."}, std::pair{flags.overload, "Overload."},
        std::pair{flags.systemFailed, "System failure."}}) {
    if (set) alarm += (alarm.empty() ? "" : " ") + std::string(text);
  }
  // "v1.0b  [ OnBatt ]": the version in front of the names.
  const std::string firmware = latest->statusText.substr(0, latest->statusText.find(' '));
  Variables variables = {
      {"device.mfr", "Corvale"},     {"device.model", "Smart UPS (serial)"},
      {"device.type", "ups"},        {"driver.name", "corvale-ups"},
      {"driver.version", "1.0.0.1"},
  };
  if (shutdownReady_) {
    // Beside the other driver.* names, in order.
    variables.insert(variables.begin() + 4,
                     {"driver.shutdown.ready", shutdownReady_() ? "1" : "0"});
  }
  if (!alarm.empty()) variables.emplace_back("ups.alarm", alarm);
  variables.emplace_back("ups.delay.shutdown", std::to_string(shutdownDelay));
  if (!firmware.empty()) variables.emplace_back("ups.firmware", firmware);
  variables.emplace_back("ups.mfr", "Corvale");
  variables.emplace_back("ups.model", "Smart UPS (serial)");
  variables.emplace_back("ups.status", status);
  return variables;
}

std::optional<User> ServiceBackend::FindUser(std::string_view name) const {
  std::lock_guard lock(mutex_);
  for (const auto& user : options_.users) {
    if (user.name == name) return user;
  }
  return std::nullopt;
}

void ServiceBackend::Reconfigure(std::vector<User> users, std::chrono::seconds hostsync, bool tls) {
  std::lock_guard lock(mutex_);
  options_.users = std::move(users);
  options_.hostsync = hostsync;
  tls_ = tls;
}

void ServiceBackend::KeepLoginsThrough(const std::function<void()>& restart,
                                       std::chrono::seconds grace) {
  {
    std::lock_guard lock(mutex_);
    ForgetExpiredCarried(std::chrono::steady_clock::now());
    carrying_ = grace;
  }
  restart();
  std::lock_guard lock(mutex_);
  carrying_.reset();
}

void ServiceBackend::ForgetExpiredCarried(std::chrono::steady_clock::time_point now) const {
  std::erase_if(carried_, [now](const auto& carried) { return carried.until <= now; });
}

std::size_t ServiceBackend::CountedLogins(std::chrono::steady_clock::time_point now) const {
  ForgetExpiredCarried(now);
  return logins_.size() + carried_.size();
}

int ServiceBackend::NumLogins() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(CountedLogins(std::chrono::steady_clock::now()));
}

int ServiceBackend::NumLogins(std::size_t ups) const {
  std::lock_guard lock(mutex_);
  ForgetExpiredCarried(std::chrono::steady_clock::now());
  const auto live = std::count_if(logins_.begin(), logins_.end(),
                                  [ups](const auto& login) { return login.second.ups == ups; });
  const auto carried = std::count_if(carried_.begin(), carried_.end(),
                                     [ups](const Carried& login) { return login.ups == ups; });
  return static_cast<int>(live + carried);
}

std::vector<std::string> ServiceBackend::LoggedInAddresses() const {
  std::lock_guard lock(mutex_);
  ForgetExpiredCarried(std::chrono::steady_clock::now());
  std::vector<std::string> addresses;
  for (const auto& [session, login] : logins_) addresses.push_back(login.address);
  for (const auto& carried : carried_) addresses.push_back(carried.address);
  return addresses;
}

std::vector<std::string> ServiceBackend::LoggedInAddresses(std::size_t ups) const {
  std::lock_guard lock(mutex_);
  ForgetExpiredCarried(std::chrono::steady_clock::now());
  std::vector<std::string> addresses;
  for (const auto& [session, login] : logins_) {
    if (login.ups == ups) addresses.push_back(login.address);
  }
  for (const auto& carried : carried_) {
    if (carried.ups == ups) addresses.push_back(carried.address);
  }
  return addresses;
}

std::map<std::string, std::vector<std::string>> ServiceBackend::LoggedInUsers(
    std::size_t ups) const {
  std::lock_guard lock(mutex_);
  std::map<std::string, std::vector<std::string>> users;
  for (const auto& [session, login] : logins_) {
    if (login.ups == ups) users[login.user].push_back(login.address);
  }
  return users;
}

void ServiceBackend::ForceShutdownOf(std::size_t ups, const std::vector<std::string>& users) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  powerBack_.erase(ups);
  for (const auto& user : users) {
    const auto since = forcedUsers_[ups].try_emplace(user, now).first->second;
    for (const auto& [session, login] : logins_) {
      if (login.user != user || login.ups != ups) continue;
      auto& stage = stageSessions_[session];
      if (stage.user.empty() || stage.released) stage = {user, since, false, ups};
    }
  }
}

void ServiceBackend::PowerIsBack(std::size_t ups) {
  std::lock_guard lock(mutex_);
  powerBack_.insert(ups);
  forcedUsers_.erase(ups);
}

void ServiceBackend::ReleaseStages(std::size_t ups) {
  std::vector<std::string> released;
  {
    std::lock_guard lock(mutex_);
    powerBack_.insert(ups);
    forcedUsers_.erase(ups);
    for (auto& [session, stage] : stageSessions_) {
      if (stage.released || stage.ups != ups) continue;
      stage.released = true;
      if (std::find(released.begin(), released.end(), stage.user) == released.end()) {
        released.push_back(stage.user);
      }
    }
  }
  const std::string on = names_.size() > 1 && ups < names_.size() ? " on " + names_[ups] : "";
  for (const auto& user : released) {
    log_.Log(host::Priority::kNotice, "forced shutdown (FSD) cleared for " + user + on +
                                          ": the power has held, and it is still logged in");
  }
}

std::size_t ServiceBackend::StageSessionsLeft(std::size_t ups,
                                              const std::vector<std::string>& users) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(stageSessions_.begin(), stageSessions_.end(), [&](const auto& entry) {
        return entry.second.ups == ups &&
               std::find(users.begin(), users.end(), entry.second.user) != users.end();
      }));
}

std::vector<std::string> ServiceBackend::UsersForced() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> users;
  for (const auto& [session, stage] : stageSessions_) {
    if (!stage.released && std::find(users.begin(), users.end(), stage.user) == users.end()) {
      users.push_back(stage.user);
    }
  }
  for (const auto& [ups, forced] : forcedUsers_) {
    for (const auto& [user, since] : forced) {
      if (std::find(users.begin(), users.end(), user) == users.end()) users.push_back(user);
    }
  }
  return users;
}

void ServiceBackend::Login(const void* session, std::size_t ups, const std::string& address,
                           const std::string& user) {
  {
    std::lock_guard lock(mutex_);
    logins_[session] = {address, user, ups, false, false, std::nullopt};
    // A machine of a stage that went, back on its UPS while the power is still out: it goes
    // again. Once the power is back, a login never inherits the stage's FSD.
    if (const auto stages = forcedUsers_.find(ups);
        stages != forcedUsers_.end() && powerBack_.count(ups) == 0) {
      if (const auto forced = stages->second.find(user); forced != stages->second.end()) {
        stageSessions_[session] = {user, forced->second, false, ups};
      }
    }
    // The machine a restart of the server disconnected is back: it counts once.
    ForgetExpiredCarried(std::chrono::steady_clock::now());
    const auto carried = std::find_if(carried_.begin(), carried_.end(), [&](const Carried& entry) {
      return entry.address == address && entry.ups == ups;
    });
    if (carried != carried_.end()) carried_.erase(carried);
  }
  log_.Log(host::Priority::kInfo, "a client at " + address + " logged in to " +
                                      (ups < names_.size() ? names_[ups] : options_.upsName) +
                                      " as " + user);
}

void ServiceBackend::ShuttingDown(const void* session) {
  std::string address, user;
  {
    std::lock_guard lock(mutex_);
    const auto found = logins_.find(session);
    // Its first word counts: saying it again never moves the start.
    if (found == logins_.end() || found->second.shuttingDownSince) return;
    found->second.shuttingDownSince = std::chrono::steady_clock::now();
    address = found->second.address;
    user = found->second.user;
  }
  log_.Log(host::Priority::kInfo,
           "the machine at " + address + " (" + user + ") says its shutdown command has started");
}

void ServiceBackend::SaidLogout(const void* session) {
  std::lock_guard lock(mutex_);
  if (const auto found = logins_.find(session); found != logins_.end()) {
    found->second.saidLogout = true;
  }
}

void ServiceBackend::PeerClosed(const void* session) {
  std::lock_guard lock(mutex_);
  if (const auto found = logins_.find(session); found != logins_.end()) {
    found->second.peerClosed = true;
  }
}

void ServiceBackend::Logout(const void* session) {
  std::string address, user;
  std::optional<std::chrono::seconds> carrying;
  std::optional<double> downAfter;
  MachineGone gone;
  {
    std::lock_guard lock(mutex_);
    const auto found = logins_.find(session);
    if (found == logins_.end()) return;
    address = found->second.address;
    user = found->second.user;
    const LoggedIn ended = found->second;
    const std::size_t ups = ended.ups;
    logins_.erase(found);
    agents_.erase(session);
    carrying = carrying_;
    const auto now = std::chrono::steady_clock::now();
    if (carrying) carried_.push_back({address, ups, now + *carrying});
    // Its own stage's FSD, its UPS's, or everybody's: the first it saw.
    auto since = fsdSince_;
    if (const auto forced = upsFsdSince_.find(ups); forced != upsFsdSince_.end()) {
      since = since ? std::min(*since, forced->second) : forced->second;
    }
    if (const auto stage = stageSessions_.find(session); stage != stageSessions_.end()) {
      if (!stage->second.released) since = stage->second.since;
      stageSessions_.erase(stage);
    }
    if (!carrying && since) {
      downAfter = std::chrono::duration<double>(now - *since).count();
      gone = {address, user, *downAfter,
              ended.shuttingDownSince && ended.peerClosed && !ended.saidLogout, std::nullopt};
      if (ended.shuttingDownSince) {
        gone.commandStartedSeconds =
            std::chrono::duration<double>(*ended.shuttingDownSince - *since).count();
      }
    }
  }
  changed_.notify_all();
  if (downAfter && machineDown_) machineDown_(gone);
  if (carrying) {
    log_.Log(host::Priority::kInfo, "the client at " + address +
                                        " was disconnected by the server's restart; it counts as "
                                        "logged in until it logs in again, at most " +
                                        std::to_string(carrying->count()) + " s");
    return;
  }
  log_.Log(host::Priority::kInfo,
           "the client at " + address + " (" + user + ") " +
               (gone.toClose ? "logged out as its machine went down: its connection closed"
                             : "logged out"));
}

void ServiceBackend::ForceShutdown(std::size_t ups, const std::string& byUser) {
  // Which UPS, where there is more than one.
  const std::string which =
      names_.size() > 1 && ups < names_.size() ? " for " + names_[ups] : std::string();
  log_.Log(host::Priority::kWarning,
           "the primary " + byUser + " set forced shutdown (FSD)" + which);
  {
    // For this UPS's clients only; the host's own shutdown, if it follows, sets it for all.
    std::lock_guard lock(mutex_);
    upsFsdSince_.try_emplace(ups, std::chrono::steady_clock::now());
  }
  if (host_ != nullptr && ups < host_->Units().size()) {
    host_->ForceShutdown(*host_->Units()[ups],
                         "forced shutdown (FSD) by the primary " + byUser + which);
  }
}

bool ServiceBackend::ForcedShutdownSet() const {
  if (fsd_) return true;
  std::lock_guard lock(mutex_);
  return !upsFsdSince_.empty();
}

std::vector<std::string> ServiceBackend::UpsesForced() const {
  if (fsd_) return names_;
  std::lock_guard lock(mutex_);
  std::vector<std::string> forced;
  for (const auto& [ups, since] : upsFsdSince_) {
    if (ups < names_.size()) forced.push_back(names_[ups]);
  }
  return forced;
}

void ServiceBackend::CancelForcedShutdown() {
  {
    std::lock_guard lock(mutex_);
    fsdSince_.reset();
  }
  if (fsd_.exchange(false)) log_.Log(host::Priority::kWarning, "forced shutdown (FSD) cleared");
}

void ServiceBackend::MarkForcedShutdown() {
  std::lock_guard lock(mutex_);
  if (!fsdSince_) fsdSince_ = std::chrono::steady_clock::now();
  fsd_ = true;
}

void ServiceBackend::LoginRefused(const std::string& user, const std::string& address) {
  constexpr std::chrono::seconds kRefusalLogEvery{10};
  const auto now = std::chrono::steady_clock::now();
  int unlogged = 0;
  {
    std::lock_guard lock(mutex_);
    if (refusalLoggedAt_ != std::chrono::steady_clock::time_point{} &&
        now - refusalLoggedAt_ < kRefusalLogEvery) {
      ++refusalsUnlogged_;
      return;
    }
    refusalLoggedAt_ = now;
    unlogged = std::exchange(refusalsUnlogged_, 0);
  }
  log_.Log(host::Priority::kWarning,
           "refused a login as '" + user + "' from " + address + ": wrong user name or password" +
               (unlogged == 0 ? std::string()
                              : " (and " + std::to_string(unlogged) + " more refused before)"));
}

void ServiceBackend::CoordinateShutdown(std::function<void()> proceed) {
  MarkForcedShutdown();
  const int remote = NumLogins();
  if (remote == 0) return proceed();
  std::chrono::seconds hostsync;
  {
    std::lock_guard lock(mutex_);
    hostsync = options_.hostsync;
  }
  log_.Log(host::Priority::kWarning,
           "forced shutdown (FSD) set; waiting up to " + std::to_string(hostsync.count()) +
               " s for " + std::to_string(remote) +
               (remote == 1 ? " other machine to log out" : " other machines to log out"));
  // An earlier coordination, abandoned since, has called its `proceed` (the host asks again only
  // after that): its thread is ending.
  std::thread finished;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    finished = std::move(coordinator_);
  }
  if (finished.joinable()) finished.join();
  std::lock_guard lock(mutex_);
  coordinator_ = std::thread([this, hostsync, proceed = std::move(proceed)] {
    std::unique_lock wait(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + hostsync;
    // Woken by each logout, and when the next carried login stops counting.
    std::size_t left = 0;
    while (!stopping_ && (left = CountedLogins(std::chrono::steady_clock::now())) > 0 &&
           std::chrono::steady_clock::now() < deadline) {
      auto until = deadline;
      for (const auto& entry : carried_) until = std::min(until, entry.until);
      changed_.wait_until(wait, until);
    }
    const bool allGone = left == 0;
    if (stopping_) return;
    wait.unlock();
    log_.Log(host::Priority::kWarning,
             allGone ? std::string("the other machines have logged out")
                     : "hostsync time is up with " + std::to_string(left) + " still logged in");
    proceed();
  });
}

bool ServiceBackend::Drill(const std::string& byUser, std::function<void(std::string)> done) {
  std::thread finished;
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || !drillReport_ || drillId_ != 0) return false;
    finished = std::move(driller_);
    drillId_ = ++drillsRun_;
    drillAnswers_.clear();
  }
  if (finished.joinable()) finished.join();  // the one before has sent its report
  log_.Log(host::Priority::kNotice, "a rehearsal of the shutdown, asked for by " + byUser +
                                        ": nothing is shut down, no FSD is set");
  std::lock_guard lock(mutex_);
  driller_ = std::thread([this, byUser, done = std::move(done)] {
    std::unique_lock wait(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + drillWait_;
    // Each agent asks at its next poll (every second or so); upsmon never does, and is not waited
    // for.
    const auto allAnswered = [this] {
      return std::all_of(agents_.begin(), agents_.end(),
                         [&](auto& agent) { return drillAnswers_.count(agent.first) != 0; });
    };
    while (!stopping_ && std::chrono::steady_clock::now() < deadline && !allAnswered()) {
      changed_.wait_until(wait, deadline);
    }
    std::vector<DrillAnswer> answers;
    std::vector<std::string> silent;
    for (const auto& [session, answer] : drillAnswers_) answers.push_back(answer);
    for (const auto& [session, user] : agents_) {
      if (!drillAnswers_.count(session)) silent.push_back(user);
    }
    drillId_ = 0;
    drillAnswers_.clear();
    if (stopping_) return;
    wait.unlock();
    done(drillReport_(byUser, answers, silent));
  });
  return true;
}

std::uint64_t ServiceBackend::DrillAsked(const void* session) {
  std::lock_guard lock(mutex_);
  // Only this project's agents ask: they are the sessions a rehearsal waits for.
  if (const auto login = logins_.find(session); login != logins_.end()) {
    agents_.try_emplace(session, login->second.user);
  }
  return drillId_;
}

void ServiceBackend::DrillAnswered(const void* session, std::uint64_t id, bool ready,
                                   const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    const auto login = logins_.find(session);
    if (id == 0 || id != drillId_ || login == logins_.end()) return;
    agents_.try_emplace(session, login->second.user);
    // One answer per session, and only a line's worth of words from it.
    drillAnswers_.try_emplace(session, DrillAnswer{login->second.user, login->second.address, ready,
                                                   text.substr(0, 300)});
  }
  changed_.notify_all();
}

std::string ServiceBackend::SetVariable(std::size_t ups, const std::string& name,
                                        const std::string& value) {
  if (name != "ups.delay.shutdown") return "VAR-NOT-SUPPORTED";
  if (value.empty() || value.size() > 3 ||
      value.find_first_not_of("0123456789") != std::string::npos) {
    return "INVALID-VALUE";
  }
  {
    std::lock_guard lock(mutex_);
    if (ups >= shutdownDelays_.size()) return "UNKNOWN-UPS";
    shutdownDelays_[ups] = static_cast<std::uint32_t>(std::stoul(value));
  }
  log_.Log(host::Priority::kNotice, "ups.delay.shutdown of " + names_[ups] + " set to " + value);
  return "";
}

void ServiceBackend::RunInstantCommand(std::size_t ups, const std::string& command,
                                       const std::string& byUser,
                                       std::function<void(std::string)> done) {
  std::lock_guard lock(mutex_);
  const std::uint32_t delay = ups < shutdownDelays_.size() ? shutdownDelays_[ups] : 0;
  work_.push_back([this, ups, delay, command, byUser, done = std::move(done)] {
    const bool acknowledged =
        host_ != nullptr && ups < host_->Units().size() &&
        host_->OrderTurnOff(*host_->Units()[ups], delay,
                            "for the instant command " + command + " from " + byUser);
    done(acknowledged ? "OK\n" : "ERR INSTCMD-FAILED\n");
  });
  changed_.notify_all();
}

}  // namespace corvale::nut
