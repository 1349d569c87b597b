// The registry stand-in on disk, as the host, the demo and the tests see it: a directory per key,
// a file per value, DWORDs as decimal text. The driver library reads and writes the same tree.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvale {

inline constexpr std::string_view kServiceKey = "System\\CurrentControlSet\\Services\\UPS";
inline constexpr std::string_view kStatusKey = "System\\CurrentControlSet\\Services\\UPS\\Status";
inline constexpr char kRegistryVariable[] = "CORVALE_UPS_REGISTRY";
inline constexpr char kDevicesVariable[] = "CORVALE_UPS_DEVICES";
inline constexpr char kDefaultRegistryRoot[] = "/var/lib/corvale-ups/registry";
inline constexpr char kDefaultDeviceDirectory[] = "/dev";

class RegistryTree {
 public:
  explicit RegistryTree(std::filesystem::path root) : root_(std::move(root)) {}

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path KeyDirectory(std::string_view key) const;

  // Creates the service and status keys (the Windows UPS service's installer does this there).
  void CreateServiceKeys() const;
  bool HasKey(std::string_view key) const;

  // Writes a value atomically, as the driver does. Throws std::filesystem::filesystem_error.
  void Write(std::string_view key, std::string_view name, std::string_view text) const;
  // The value's text without its trailing newline, or nothing when there is no such value.
  std::optional<std::string> Read(std::string_view key, std::string_view name) const;

 private:
  std::filesystem::path root_;
};

}  // namespace corvale
