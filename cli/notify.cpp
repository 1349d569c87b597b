// `corvale-ups notify --test [NAME]`: a test notice through each [[notify]] entry (or one), sent
// now from this command, with what became of it.
#include <cstdio>

#include "cli/commands.h"
#include "host/config.h"
#include "host/host_os.h"
#include "host/notify/notifier.h"

namespace corvale {

int RunNotifyTest(const std::string& configPath, const std::string& name) {
  const auto loaded = host::LoadConfig(configPath);
  for (const auto& problem : loaded.problems) Fail(0, host::Describe(configPath, problem));
  if (!loaded.problems.empty()) return kExitUsage;
  const auto& config = loaded.config;
  if (std::string why; !config.notify.empty() && !host::notify::SendingAvailable(&why)) {
    return Fail(kExitUsage, why);
  }
  int tried = 0, delivered = 0;
  for (const auto& entry : config.notify) {
    if (!name.empty() && entry.name != name) continue;
    ++tried;
    std::string why;
    const auto secret = host::notify::ReadSecret(entry, &why);
    host::notify::Delivery delivery{false, why};
    if (secret) {
      const host::notify::Notice notice{host::notify::NewNoticeId(),
                                        entry.name,
                                        "test",
                                        config.ups().name,
                                        0,
                                        "a test notice from corvale-ups notify --test: this "
                                        "receiver works",
                                        std::chrono::system_clock::now(),
                                        0,
                                        3};
      host::notify::Extras extras;
      extras.host = host::MachineName();
      delivery = host::notify::Send(entry, *secret, notice, extras);
    }
    if (delivery.delivered) ++delivered;
    std::printf("%s: %s\n", entry.name.c_str(),
                delivery.delivered ? "delivered" : ("not delivered: " + delivery.reason).c_str());
  }
  if (tried == 0) {
    return Fail(kExitUsage, name.empty() ? configPath + " has no [[notify]] entry"
                                         : "there is no [[notify]] entry named " + name);
  }
  return delivered == tried ? kExitOk : kExitFailure;
}

}  // namespace corvale
