// A temporary registry root and device directory with a UPS peer linked in as COM1: everything
// the native driver needs to run for real, without touching the machine's own configuration.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "host/posix/registry_tree.h"
#include "simulator/temporary_directory.h"
#include "simulator/ups_peer.h"

namespace corvale::testing {

using corvale::TemporaryDirectory;

class Line {
 public:
  Line() : registry(directory.Path() / "registry") {
    std::filesystem::create_directories(Devices());
    registry.CreateServiceKeys();
    registry.Write(kServiceKey, "Port", "COM1");
    std::filesystem::create_symlink(peer->DevicePath(), Devices() / "COM1");
    setenv(kRegistryVariable, registry.Root().c_str(), 1);
    setenv(kDevicesVariable, Devices().c_str(), 1);
  }

  std::filesystem::path Devices() const { return directory.Path() / "devices"; }
  std::string Status(const char* name) const {
    return registry.Read(kStatusKey, name).value_or("<none>");
  }

  TemporaryDirectory directory{"corvale-test"};
  RegistryTree registry;
  std::unique_ptr<UpsPeer> peer = std::make_unique<UpsPeer>();
};

// Milliseconds that `body` took.
template <typename Body>
long long ElapsedMs(Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace corvale::testing
