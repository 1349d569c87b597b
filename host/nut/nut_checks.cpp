#include "host/nut/nut_checks.h"

#include "host/host_os.h"
#include "host/listening.h"
#include "host/nut/nut_server.h"

namespace corvale::nut {

namespace {

// Whether two listen addresses would take the same port: the same address, or a wildcard
// ("0.0.0.0", "[::]", "*") and any address of its family. A name (not a literal address) may
// resolve to either family, so it meets every wildcard and itself.
bool ListenAddressesOverlap(const std::string& first, const std::string& second) {
  std::string hosts[2], ports[2];
  if (!host::SplitListenAddress(first, &hosts[0], &ports[0]) ||
      !host::SplitListenAddress(second, &hosts[1], &ports[1]) || ports[0] != ports[1]) {
    return false;
  }
  enum Family { kAny, kV4, kV6 };
  struct Kind {
    Family family = kAny;
    bool wildcard = false;
    std::string address;  // as parsed, so that "::1" and "0:0::1" are one
  } kinds[2];
  for (int at = 0; at < 2; ++at) {
    if (hosts[at].empty()) {
      kinds[at] = {kAny, true, ""};
      continue;
    }
    std::error_code error;
    const auto address = asio::ip::make_address(hosts[at], error);
    if (error) {
      kinds[at] = {kAny, false, hosts[at]};
    } else {
      kinds[at] = {address.is_v4() ? kV4 : kV6, address.is_unspecified(), address.to_string()};
    }
  }
  const Kind& a = kinds[0];
  const Kind& b = kinds[1];
  if (a.address == b.address && a.family == b.family) return true;
  const bool familiesMeet = a.family == kAny || b.family == kAny || a.family == b.family;
  return familiesMeet && (a.wildcard || b.wildcard);
}

void CheckListenOverlaps(const host::Config& config, std::vector<std::string>& problems) {
  struct Named {
    const char* key;
    const std::string* address;
  };
  std::vector<Named> all;
  for (const auto& address : config.network.listen) all.push_back({"network.listen", &address});
  for (const auto& address : config.http.listen) all.push_back({"http.listen", &address});
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = i + 1; j < all.size(); ++j) {
      const auto& [firstKey, first] = all[i];
      const auto& [secondKey, second] = all[j];
      // The exact repeat within one list is the configuration's own problem, with its line.
      if (*first == *second && std::string(firstKey) == secondKey) continue;
      if (!ListenAddressesOverlap(*first, *second)) continue;
      const bool acrossServers = std::string(firstKey) != secondKey;
      problems.push_back(std::string(firstKey) + " \"" + *first + "\" and " + secondKey + " \"" +
                         *second + "\" take the same port" +
                         (acrossServers ? ": HTTP and NUT need ports of their own"
                                        : ": an address that covers every address of its family "
                                          "(0.0.0.0, [::]) cannot share a port with another"));
    }
  }
}

}  // namespace

void CheckSharingStart(const host::Config& config, host::StartChecks& checks) {
  CheckListenOverlaps(config, checks.problems);
  // Room beside the clients for the service's own files: the port, the registry, the flag,
  // hooks' pipes, the journal.
  constexpr std::size_t kOwnFiles = 64;
  if (const std::size_t limit = host::OpenFileLimit();
      config.network.maxClients + kOwnFiles > limit) {
    checks.problems.push_back("network.max_clients = " + std::to_string(config.network.maxClients) +
                              " does not fit in the limit of " + std::to_string(limit) +
                              " open files with room for the service's own; lower it (or raise "
                              "LimitNOFILE in the unit)");
  }
  if (!config.network.certificate.empty()) {
    // It may appear later (a certificate renewed at boot): the service waits for it.
    std::string why;
    if (!CheckTlsFiles(config.network.certificate, config.network.key, &why)) {
      checks.warnings.push_back("network.certificate and network.key: " + why +
                                "; the service shares the UPS only once they can be used");
    }
  }
}

}  // namespace corvale::nut
