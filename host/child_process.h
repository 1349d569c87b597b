// A UPS's driver process as the service starts and talks to it: this program again, with only the
// two pipes of its standard input and output handed on, and ended with the service. Portable
// declarations; one implementation per OS (posix/child_process_posix.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/host_os.h"

namespace corvale::host {

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;  // kills it if it still runs, and reaps it
  enum class ReadResult { kData, kNothingYet, kEnded };
  // Up to `size` bytes of its output, waiting at most `wait` for some.
  virtual ReadResult Read(char* buffer, std::size_t size, std::chrono::milliseconds wait,
                          std::size_t* got) = 0;
  // Writes all of `text` to its input; false when it no longer reads it.
  virtual bool Write(const std::string& text) = 0;
  virtual void Kill() = 0;
  // How it ended, waiting at most `wait`; nothing while it runs.
  virtual std::optional<ExitStatus> Wait(std::chrono::milliseconds wait) = 0;
  virtual long Id() const = 0;
};

// Starts `program` with `arguments`, its input and output pipes of ours, its error output ours,
// nothing else of ours handed on. Nothing, with `error` set, when it cannot start.
std::unique_ptr<ChildProcess> StartChild(const std::string& program,
                                         const std::vector<std::string>& arguments,
                                         std::string* error);
// This program's own file, to start again as a child.
std::string ThisProgram();

// In the child: whether its standard input and output are pipes (as the service makes them), and
// the process set to end with the service (Linux: when its parent dies). False with `why`.
bool BecomeChild(std::string* why);
// In the child: the driver finds its configuration and leaves its status where no other UPS's
// driver does. POSIX: the registry folder `folder` the service named for this UPS (made here the
// first time, never a folder above it); Windows: HKEY_LOCAL_MACHINE redirected to a key of the
// UPS `name`'s own for this whole process. False with `why`.
bool IsolateRegistry(const std::string& name, const std::string& folder, std::string* why);
// Reads standard input: up to `size` bytes, 0 at its end.
std::size_t ReadInput(char* buffer, std::size_t size);
// Writes `text` whole to standard output; false once nobody reads it.
bool WriteOutput(const std::string& text);

}  // namespace corvale::host
