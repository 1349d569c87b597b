// The local channel between the commands on this machine (status, plan, drill, reload) and its own
// running service. Whoever answers is proven to be the service (root, the service's account, or
// the owner of the channel's folder when only it may write there) before a word of the answer is
// believed; no secret crosses it, and the service knows who asks. Portable declarations; one
// implementation per OS (posix/control_posix.cpp, windows/control_windows.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvale::host {

// Who asks the service: root, or the service's own account, may ask for more than its state.
struct ControlPeer {
  bool privileged = false;
  std::string name;  // "uid 1000", for the log
};

class ControlServer {
 public:
  virtual ~ControlServer() = default;
  // Ends every conversation; no handler runs once it has returned.
  virtual void Stop() = 0;
};

// One request line (without its newline) to its answer; may take a while (a drill), on a thread
// of the server's own.
using ControlHandler = std::function<std::string(const std::string& request, const ControlPeer&)>;

// Answers at `path` (a name only this service's account may hold); nothing, with `error` set,
// where it cannot (another service answers there, or this OS has no such channel yet).
std::unique_ptr<ControlServer> ServeControl(const std::string& path, ControlHandler handler,
                                            std::string* error);

// The bounds on an answer: a status or a drill's report is far smaller.
inline constexpr std::size_t kControlLineLimit = 64 * 1024;
inline constexpr std::size_t kControlAnswerLimit = 1024 * 1024;

// Where the service turns a caller away because too many ask at once, its answer (or, when even
// its queue is full, AskService's error) begins with these words: the service runs.
inline constexpr char kControlBusyAnswer[] = "ERR busy";
inline constexpr char kControlBusyError[] = "too many asking at once";

// Asks the service at `path` one request and reads its answer to the end, within `timeout` and
// the bounds above. Nothing, with `error` set, when nobody answers, the answer breaks a bound, or
// whoever answers is not the service (then nothing was sent).
std::optional<std::string> AskService(const std::string& path, const std::string& request,
                                      std::chrono::milliseconds timeout, std::string* error);

// Where the service answers unless its file says otherwise; empty where this OS has no channel.
std::string DefaultControlPath();

}  // namespace corvale::host
