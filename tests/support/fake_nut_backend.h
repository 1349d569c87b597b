// A NUT backend with fixed answers, for testing and fuzzing sessions without a UPS or a network.
#pragma once

#include <map>
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
  const std::string& UpsName() const override { return name; }
  std::string UpsDescription() const override { return "A \"quoted\" UPS"; }
  std::optional<nut::Variables> CurrentVariables() const override { return variables; }
  const nut::User* FindUser(std::string_view wanted) const override {
    for (const auto& user : users) {
      if (user.name == wanted) return &user;
    }
    return nullptr;
  }
  int NumLogins() const override { return static_cast<int>(logins.size()); }
  std::vector<std::string> LoggedInAddresses() const override {
    std::vector<std::string> addresses;
    for (const auto& [session, address] : logins) addresses.push_back(address);
    return addresses;
  }
  void Login(const void* session, const std::string& address) override {
    logins[session] = address;
  }
  void Logout(const void* session) override { logins.erase(session); }
  void ForceShutdown(const std::string& byUser) override { forcedBy.push_back(byUser); }
  std::string SetVariable(const std::string& variable, const std::string& value) override {
    if (value != "30") return "INVALID-VALUE";
    set.emplace_back(variable, value);
    return "";
  }
  void RunInstantCommand(const std::string& command, const std::string&,
                         std::function<void(std::string)> done) override {
    commands.push_back(command);
    done("OK\n");
  }
  bool TlsConfigured() const override { return tls; }

  std::string name = "ups1";
  std::optional<nut::Variables> variables =
      nut::Variables{{"ups.status", "OL"}, {"ups.delay.shutdown", "120"}};
  std::vector<nut::User> users;
  std::map<const void*, std::string> logins;
  std::vector<std::string> forcedBy;
  std::vector<std::pair<std::string, std::string>> set;
  std::vector<std::string> commands;
  bool tls = false;
};

}  // namespace corvale::testing
