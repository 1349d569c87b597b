// What the commands on this machine ask the running service over its local channel, and the
// drill: this machine's shutdown chain checked, and the report of the other machines' answers.
#include <algorithm>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/running_service.h"
#include "host/http/reports.h"

namespace corvale {

using Stage = host::ShutdownSequence::Stage;

std::string Service::Answer(const std::string& request, const host::ControlPeer& peer) {
  if (request == "STATUS") {
    return host::http::StatusJson(board_->Snapshot(), CORVALE_UPS_VERSION) + "\n";
  }
  if (request == "SUPPLIES") return SuppliesJson() + "\n";
  if (!peer.privileged) {
    return "ERR only root or the service's own account may ask for " + request.substr(0, 16) + "\n";
  }
  if (request == "PLAN") {
    return host::http::StatusJson(board_->Snapshot(), CORVALE_UPS_VERSION, true) + "\n";
  }
  if (request == "RELOAD") {
    std::lock_guard lock(reloadMutex_);
    if (stopping_) return "ERR the service is stopping\n";
    host::NotifyServiceManager("RELOADING=1");
    const auto outcome = Reload();
    host::NotifyServiceManager("READY=1");
    return (outcome.applied ? "OK " : "ERR ") + outcome.said + "\n";
  }
  if (request == "DRILL") {
    if (!backend_) return "ERR this machine is an agent: run the drill on its primary\n";
    auto promise = std::make_shared<std::promise<std::string>>();
    auto report = promise->get_future();
    if (!backend_->Drill(peer.name + " on this machine",
                         [promise](std::string lines) { promise->set_value(std::move(lines)); })) {
      return "ERR a drill is under way, or the last one was moments ago: try again shortly\n";
    }
    while (report.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
      if (stopping_) return "ERR the service is stopping\n";
    }
    return report.get();
  }
  return "ERR unknown request\n";
}

std::string Service::SuppliesJson() const {
  const auto facts = host_->Supplies();
  nlohmann::json upses = nlohmann::json::array();
  std::uint32_t total = 0;
  for (const auto& unit : facts.units) {
    total += unit.supplies;
    upses.push_back({{"name", unit.name},
                     {"supplies", unit.supplies},
                     {"known", unit.known},
                     {"feeds", unit.feeds},
                     {"power", unit.power},
                     {"why", unit.why}});
  }
  return nlohmann::json{{"upses", std::move(upses)},
                        {"fed", facts.fed},
                        {"total", total},
                        {"minimum", facts.minimum},
                        {"shutting_down", host_->ShutdownStage() != Stage::kIdle}}
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<host::plan::Check> Service::CheckChain() const {
  const auto latest = host_->Latest();
  host::plan::ChainFacts facts;
  facts.upsAnswers = latest && !latest->linkLost && latest->polled != 8;
  facts.helperAsked = requests_ != nullptr;
  if (requests_) facts.helperAnswers = requests_->Answered();
  return host::plan::ChainChecks(*Current(), path_, facts);
}

std::string Service::DrillReport(const std::string& byUser,
                                 const std::vector<nut::ServiceBackend::DrillAnswer>& answers,
                                 const std::vector<std::string>& silent) {
  RaiseDrill("a rehearsal of the shutdown asked for by " + byUser + ": nothing is shut down");
  auto checks = CheckChain();
  std::vector<host::plan::AgentAnswer> agents;
  for (const auto& answer : answers) {
    agents.push_back({answer.user, answer.address, answer.ready, answer.text});
  }
  const auto others = host::plan::MachineChecks(PlanFacts(), agents, silent);
  checks.insert(checks.end(), others.begin(), others.end());
  const auto failed =
      std::count_if(checks.begin(), checks.end(), [](const auto& check) { return !check.ok; });
  log_.Log(failed == 0 ? host::Priority::kNotice : host::Priority::kWarning,
           "drill: " + (failed == 0 ? std::string("every machine is ready to shut down")
                                    : std::to_string(failed) + " of " +
                                          std::to_string(checks.size()) + " checks failed"));
  return host::plan::ReportLines(upsName_, checks);
}

host::agent::FollowerOptions::Rehearsal Service::Rehearse() {
  RaiseDrill("a rehearsal of the shutdown asked for by the NUT server: nothing is shut down");
  // The primary hears ready, or what to mend in words that name no path: the rest stays here.
  host::agent::FollowerOptions::Rehearsal rehearsal{true, ""};
  std::string here;
  for (const auto& check : CheckChain()) {
    if (check.ok) continue;
    rehearsal.text += (rehearsal.ready ? "" : "; ") + check.brief;
    here += (rehearsal.ready ? "" : "; ") + check.what + " (" + check.mend + ")";
    rehearsal.ready = false;
  }
  if (rehearsal.ready) rehearsal.text = "every link of its shutdown checked";
  log_.Log(
      rehearsal.ready ? host::Priority::kNotice : host::Priority::kWarning,
      "drill: " + std::string(rehearsal.ready ? "ready: " + rehearsal.text : "not ready: " + here));
  return rehearsal;
}

void Service::RaiseDrill(const std::string& message) {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(drillMutex_);
    if (drillRaisedAt_ && now - *drillRaisedAt_ < kDrillEventEvery) return;
    drillRaisedAt_ = now;
  }
  host_->Raise(host::EventKind::kDrill, message);
}

}  // namespace corvale
