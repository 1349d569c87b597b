// `corvale-ups monitor`: the host core in the foreground, every event printed for a person or,
// with --json, for a script.
#include <memory>

#include "cli/commands.h"
#include "cli/events.h"
#include "host/host.h"
#include "host/host_os.h"

namespace corvale {

namespace {

// What a monitor prints for each of the host's events.
Event Printed(const host::UpsEvent& event, const Setup& setup) {
  switch (event.kind) {
    case host::EventKind::kOnline:
    case host::EventKind::kOnBattery:
    case host::EventKind::kLowBattery:
      return StateEvent(event.state, PublishedValues(setup));
    case host::EventKind::kCommunicationLost:
      return StateEvent(8, PublishedValues(setup));
    default:
      return Note(host::EventName(event.kind), event.message);
  }
}

}  // namespace

int RunMonitor(const Common& common, const MonitorOptions& options) {
  std::unique_ptr<DriverLibrary> driver;
  try {
    driver = std::make_unique<DriverLibrary>(common.library);
  } catch (const std::runtime_error& error) {
    return Fail(kExitNoLibrary, error.what());
  }
  if (auto problem = PrepareSetup(common.setup)) return Fail(kExitRegistry, *problem);

  host::Logger log(host::UnderServiceManager());
  host::HostOptions hostOptions;
  hostOptions.setup = common.setup;
  hostOptions.setup.port.reset();  // written once above; the host only starts the driver
  hostOptions.shutdownCommand = options.onLowBattery;
  hostOptions.turnOffAfterShutdown = options.turnOffDelay;
  // Its command need not shut the host down: once it has ended well, it is done, and it may take
  // as long as it takes.
  hostOptions.shutdownTiming.downWithin = std::chrono::seconds(0);
  hostOptions.shutdownCommandTimeout = std::chrono::milliseconds(0);
  hostOptions.logEvents = false;  // printed below, one line or JSON object each
  EventLog out(common.json);
  host::Host monitor(*driver, hostOptions, log);
  monitor.OnEvent([&](const host::UpsEvent& event) { out.Report(Printed(event, common.setup)); });
  monitor.Start();
  host::WaitForStopRequest();
  monitor.Stop();
  out.Report(Note("stop", "driver stopped"));
  return kExitOk;
}

}  // namespace corvale
