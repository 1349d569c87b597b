// A rehearsal of the shutdown (a drill): every link of the chain that a power failure would pull
// checked now, with nothing shut down, no FSD set and nothing sent to the UPS. The report goes
// over NUT to `corvale-ups drill` as lines its own server and client share.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/status_board.h"

namespace corvale::host::plan {

struct Check {
  bool ok = false;
  std::string what;  // "the UPS answers"
  std::string mend;  // how to mend it, when not ok
  // What is wrong in a few words that name no path, command or address: what an agent tells its
  // primary.
  std::string brief;
  friend bool operator==(const Check&, const Check&) = default;
};

// What this machine itself needs to shut down (and, with the cable, to cut the power after):
// its UPS or server answers, root's helper answers (nothing: runs as root; no answer yet: not
// known), the shutdown command and hook can run, the flag's folder is trusted, the driver library
// is there. Reads files; writes and runs nothing.
struct ChainFacts {
  bool upsAnswers = false;
  std::optional<bool> helperAnswers;
  bool helperAsked = false;  // the service asks a root helper
};
std::vector<Check> ChainChecks(const Config& config, const std::string& path,
                               const ChainFacts& facts);

// An agent's answer to a drill, as it reports it to the primary: ready, or what is not.
struct AgentAnswer {
  std::string user, address;
  bool ready = false;
  std::string text;
};
// The other machines: every machine of every stage logged in, and each agent's own rehearsal.
std::vector<Check> MachineChecks(const PlanFacts& plan, const std::vector<AgentAnswer>& answers,
                                 const std::vector<std::string>& silent);

// "BEGIN DRILL ups", one "CHECK OK|FAIL \"what\" \"mend\"" per check, "END DRILL ups".
std::string ReportLines(const std::string& ups, const std::vector<Check>& checks);
// One CHECK line (without its newline), or nothing when it is not one.
std::optional<Check> ParseCheckLine(const std::string& line);

}  // namespace corvale::host::plan
