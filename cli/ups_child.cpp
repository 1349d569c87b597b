// `corvale-ups ups-child`: one UPS's driver in a process of its own, started by the service for
// each UPS on a machine with several (the driver keeps one UPS's state per process). It polls the
// UPS as the service would and says what it sees in short lines on its standard output; it takes
// the turn-off order and the stop on its standard input, and ends when that input does.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "cli/commands.h"
#include "host/child_process.h"
#include "host/child_protocol.h"
#include "host/supervisor.h"

namespace corvale {

namespace {

namespace child = host::child;

// One line at a time on the output, from the poll loop, the log and the order taker.
class Output {
 public:
  void Say(const std::string& line) {
    std::lock_guard lock(mutex_);
    host::WriteOutput(line);
  }

 private:
  std::mutex mutex_;
};

// The first line of the input: the service's greeting, or nothing.
bool Greeted(child::LineSplitter& splitter, std::vector<std::string>& early) {
  char buffer[child::kMaxLine];
  for (;;) {
    const std::size_t got = host::ReadInput(buffer, sizeof buffer);
    if (got == 0 || !splitter.Add(std::string_view(buffer, got))) return false;
    early = splitter.Take();
    if (early.empty()) continue;
    const bool hello = child::IsHello(early.front());
    early.erase(early.begin());
    return hello;
  }
}

}  // namespace

int RunUpsChild(const Common& common, const std::string& name, bool systemRegistry) {
  std::string why;
  if (!host::BecomeChild(&why)) {
    std::fprintf(stderr, "corvale-ups ups-child: %s\n", why.c_str());
    return kExitUsage;
  }
  child::LineSplitter input;
  std::vector<std::string> orders;
  if (!Greeted(input, orders)) {
    std::fprintf(stderr, "corvale-ups ups-child: the service did not greet this process\n");
    return kExitUsage;
  }
  Output output;
  host::Logger log([&output](host::Priority priority, const std::string& message) {
    output.Say(child::LogText(priority, message));
  });
  if (!systemRegistry && !host::IsolateRegistry(name, common.setup.registry, &why)) {
    log.Log(host::Priority::kCritical, "cannot keep this UPS's registry apart: " + why);
    return kExitRegistry;
  }
  std::unique_ptr<DriverLibrary> driver;
  try {
    driver = std::make_unique<DriverLibrary>(common.library);
  } catch (const std::runtime_error& error) {
    log.Log(host::Priority::kError, error.what());
    return kExitNoLibrary;
  }
  output.Say(child::HelloLine());
  host::Supervisor supervisor(*driver, common.setup, log, [&output](const host::Observation& seen) {
    output.Say(child::PolledLine(seen));
  });
  // The orders, on a thread of their own: the poll loop may be in an exchange with the UPS.
  std::thread taker([&] {
    const auto obey = [&](const std::string& line) {
      const auto order = child::ParseOrder(line);
      if (!order || order->stop) return false;
      output.Say(
          child::TurnOffAnswerLine(supervisor.TurnOff(*order->turnOffDelay).value_or(false)));
      return true;
    };
    bool going = true;
    for (const auto& line : orders) going = going && obey(line);
    char buffer[child::kMaxLine];
    while (going) {
      const std::size_t got = host::ReadInput(buffer, sizeof buffer);
      going = got > 0 && input.Add(std::string_view(buffer, got));
      for (const auto& line : input.Take()) going = going && obey(line);
    }
    // Stopped, or the service is gone: the poll loop ends within its exchange, or we end anyway.
    supervisor.Stop();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::_Exit(kExitOk);
  });
  taker.detach();
  supervisor.Run();
  // The order taker may still wait on the input: nothing here may outlive the driver.
  std::fflush(nullptr);
  std::_Exit(kExitOk);
}

}  // namespace corvale
