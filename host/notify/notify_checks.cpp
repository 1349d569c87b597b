#include "host/notify/notify_checks.h"

#include <fstream>

#include "host/host_os.h"
#include "host/notify/sender.h"
#include "host/utf8_path.h"

namespace corvale::host::notify {

void CheckNotifyStart(const Config& config, const CheckedFile& file, StartChecks& checks) {
  if (config.notify.empty()) return;
  // A notice that cannot go is worth a warning, never a UPS left unwatched: notices wait in the
  // outbox meanwhile.
  if (std::string why; !SendingAvailable(&why)) {
    checks.warnings.push_back("[[notify]]: " + why + "; notices wait in the outbox until then");
  }
  for (const auto& entry : config.notify) {
    if (auto limit = EntryLimit(entry)) {
      checks.warnings.push_back("notify \"" + entry.name + "\": " + *limit);
    }
  }
  for (const auto& entry : config.notify) {
    // A secret in a file of its own is held to the rule of one in the configuration.
    for (const auto* secret : {&entry.tokenFile, &entry.passwordFile}) {
      if (secret->empty()) continue;
      if (auto exposed = ExposedSecretFile(*secret)) {
        checks.problems.push_back("notify \"" + entry.name + "\": " + *exposed);
      }
    }
    if (entry.kind == Config::Notify::Kind::kSmtp && entry.insecure && !entry.user.empty()) {
      checks.warnings.push_back(
          "notify \"" + entry.name +
          "\": insecure = true never sends the mail password without TLS: a server that offers "
          "no STARTTLS gets no login, and so no mail; insecure only lets a mail without a login "
          "go in clear");
    }
    for (const auto* read : {&entry.tokenFile, &entry.passwordFile, &entry.caFile}) {
      if (read->empty()) continue;
      // As the service's account will meet it, whoever runs this check.
      const std::string account = file.installed ? ServiceAccount() : std::string();
      std::optional<std::string> problem;
      if (!account.empty()) {
        problem = AccessProblem(*read, account, false);
      } else if (std::ifstream in(PathFromUtf8(*read)); !in) {
        problem = "cannot read " + *read;
      }
      if (problem) checks.warnings.push_back("notify \"" + entry.name + "\": " + *problem);
    }
  }
  if (config.events.history.empty()) {
    checks.warnings.push_back(
        "[[notify]] without events.history: the outbox is kept beside the history, so notices "
        "waiting for a receiver are lost if the service stops");
  }
}

}  // namespace corvale::host::notify
