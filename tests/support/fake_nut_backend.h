// A NUT backend with fixed answers, for testing and fuzzing sessions without a UPS or a network.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/nut/nut_session.h"

namespace corvale::testing {

class FakeNutBackend : public nut::Backend {
 public:
  FakeNutBackend() {
    users = {{"admin", "s3cret", nut::User::Upsmon::kNone, true, false, {"shutdown.return"}},
             {"boss", "pw", nut::User::Upsmon::kPrimary, false, false, {}},
             {"mon", "pw", nut::User::Upsmon::kSecondary, false, false, {}}};
  }
  const std::vector<std::string>& UpsNames() const override { return names; }
  std::string UpsDescription(std::size_t ups) const override {
    return ups == 0 ? "A \"quoted\" UPS" : "UPS " + std::to_string(ups + 1);
  }
  std::optional<nut::Variables> CurrentVariables(const void*, std::size_t ups) const override {
    if (ups == 0) return variables;
    return nut::Variables{{"ups.status", "OB"}};
  }
  std::optional<nut::User> FindUser(std::string_view wanted) const override {
    for (const auto& user : users) {
      if (user.name == wanted) return user;
    }
    return std::nullopt;
  }
  // Every UPS's.
  virtual int NumLogins() const { return static_cast<int>(logins.size()); }
  int NumLogins(std::size_t ups) const override {
    return static_cast<int>(LoggedInAddresses(ups).size());
  }
  std::vector<std::string> LoggedInAddresses(std::size_t ups) const override {
    std::vector<std::string> addresses;
    for (const auto& [session, login] : logins) {
      if (login.second == ups) addresses.push_back(login.first);
    }
    return addresses;
  }
  void Login(const void* session, std::size_t ups, const std::string& address,
             const std::string&) override {
    logins[session] = {address, ups};
  }
  void Logout(const void* session) override { logins.erase(session); }
  void ForceShutdown(std::size_t ups, const std::string& byUser) override {
    forcedBy.push_back(ups == 0 ? byUser : byUser + "@" + names.at(ups));
  }
  std::string SetVariable(std::size_t, const std::string& variable,
                          const std::string& value) override {
    if (value != "30") return "INVALID-VALUE";
    set.emplace_back(variable, value);
    return "";
  }
  void RunInstantCommand(std::size_t, const std::string& command, const std::string&,
                         std::function<void(std::string)> done) override {
    if (holdCommands) {
      std::lock_guard lock(heldMutex);
      held.push_back(std::move(done));
      heldChanged.notify_all();
      return;
    }
    commands.push_back(command);
    done("OK\n");
  }
  // With `holdCommands`: the answer to the `number`th instant command (from 1), once it was asked
  // (waiting up to 5 s); nothing when it was not.
  std::function<void(std::string)> HeldCommand(std::size_t number) {
    std::unique_lock lock(heldMutex);
    heldChanged.wait_for(lock, std::chrono::seconds(5), [&] { return held.size() >= number; });
    return held.size() >= number ? held[number - 1] : nullptr;
  }
  std::size_t HeldCommands() {
    std::lock_guard lock(heldMutex);
    return held.size();
  }
  bool TlsConfigured() const override { return tls; }

  std::vector<std::string> names = {"ups1"};
  std::optional<nut::Variables> variables =
      nut::Variables{{"ups.status", "OL"}, {"ups.delay.shutdown", "120"}};
  std::vector<nut::User> users;
  std::map<const void*, std::pair<std::string, std::size_t>> logins;  // address, UPS
  std::vector<std::string> forcedBy;
  std::vector<std::pair<std::string, std::string>> set;
  std::vector<std::string> commands;
  bool tls = false;
  // Instant commands are answered only when a test says so (from its own thread).
  bool holdCommands = false;
  std::mutex heldMutex;
  std::condition_variable heldChanged;
  std::vector<std::function<void(std::string)>> held;
};

}  // namespace corvale::testing
