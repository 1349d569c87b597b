// The command line read the same way on every OS: help and version exit 0, a mistake exits 2.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>

#include "host/driver_library.h"

namespace corvale {

// Nothing when the command line was read; else the exit code, after CLI11 printed why.
inline std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitOk : kExitUsage;
  }
  return std::nullopt;
}

}  // namespace corvale
