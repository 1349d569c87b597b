// The lines a UPS's driver process (`corvale-ups ups-child`, one per UPS on the machine with the
// cables) and the service exchange over its standard input and output. Each line is short and
// bounded; anything else is a fault of the process that sent it.
//
//   both, first:        corvale-ups-child <version>
//   child to service:   obs <polled> <state> <link lost 0|1> <status text>
//                       log <priority 2-6> <text>
//                       off <acknowledged 0|1>
//   service to child:   off <delay 0-999>
//                       stop
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/log.h"
#include "host/supervisor.h"

namespace corvale::host::child {

inline constexpr int kVersion = 1;
// Every line, its newline included, is at most this long.
inline constexpr std::size_t kMaxLine = 512;

std::string HelloLine();
bool IsHello(std::string_view line);

// What the child says.
struct Polled {
  std::uint32_t polled = 8;
  std::uint32_t state = 0;
  bool linkLost = false;
  std::string statusText;
};
struct LogLine {
  Priority priority = Priority::kInfo;
  std::string text;
};
struct TurnOffAnswer {
  bool acknowledged = false;
};
struct ChildMessage {
  std::optional<Polled> polled;
  std::optional<LogLine> log;
  std::optional<TurnOffAnswer> turnOff;
};

std::string PolledLine(const Observation& observation);
std::string LogText(Priority priority, const std::string& text);
std::string TurnOffAnswerLine(bool acknowledged);
// Nothing for a line that is not one of the above (without its newline).
std::optional<ChildMessage> ParseChildLine(std::string_view line);

// What the service says.
struct Order {
  bool stop = false;
  std::optional<std::uint32_t> turnOffDelay;
};
std::string TurnOffLine(std::uint32_t delay);
std::string StopLine();
std::optional<Order> ParseOrder(std::string_view line);

// Cuts a byte stream into lines of at most kMaxLine bytes.
class LineSplitter {
 public:
  // Takes more bytes; false once a line is too long (the stream is then at fault for good).
  bool Add(std::string_view bytes);
  // The complete lines so far, without their newlines.
  std::vector<std::string> Take();

 private:
  std::string pending_;
  std::vector<std::string> lines_;
  bool overlong_ = false;
};

}  // namespace corvale::host::child
