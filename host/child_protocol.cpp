#include "host/child_protocol.h"

#include <charconv>
#include <utility>

namespace corvale::host::child {

namespace {

constexpr std::string_view kHello = "corvale-ups-child ";

// One line's text: no control character (a newline would split it), and short enough that the
// whole line fits.
std::string Printable(const std::string& text, std::size_t room) {
  std::string clean;
  for (const char c : text) {
    if (clean.size() >= room) break;
    const auto byte = static_cast<unsigned char>(c);
    clean += byte < 0x20 || byte == 0x7f ? '?' : c;
  }
  return clean;
}

std::string Line(const std::string& head, const std::string& text) {
  // The head, a space, the text and the newline.
  return head + ' ' + Printable(text, kMaxLine - head.size() - 2) + '\n';
}

// The next word of `rest` (up to a space or the end), taken off it.
std::string_view Word(std::string_view& rest) {
  const auto space = rest.find(' ');
  const auto word = rest.substr(0, space);
  rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  return word;
}

std::optional<std::uint32_t> Number(std::string_view word, std::uint32_t most) {
  std::uint32_t value = 0;
  // One way to write each number: no sign, no leading zero.
  if (word.empty() || word.size() > 4 || (word.size() > 1 && word[0] == '0')) return std::nullopt;
  for (const char c : word) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::from_chars(word.data(), word.data() + word.size(), value);
  if (value > most) return std::nullopt;
  return value;
}

bool PrintableText(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return false;
  }
  return true;
}

}  // namespace

std::string HelloLine() {
  return std::string(kHello) + std::to_string(kVersion) + '\n';
}

bool IsHello(std::string_view line) {
  return line == std::string_view(HelloLine()).substr(0, HelloLine().size() - 1);
}

std::string PolledLine(const Observation& observation) {
  return Line("obs " + std::to_string(observation.polled) + ' ' +
                  std::to_string(observation.state) + ' ' + (observation.linkLost ? '1' : '0'),
              observation.statusText);
}

std::string LogText(Priority priority, const std::string& text) {
  return Line("log " + std::to_string(static_cast<int>(priority)), text);
}

std::string TurnOffAnswerLine(bool acknowledged) {
  return acknowledged ? "off 1\n" : "off 0\n";
}

std::optional<ChildMessage> ParseChildLine(std::string_view line) {
  if (line.size() >= kMaxLine || !PrintableText(line)) return std::nullopt;
  std::string_view rest = line;
  const auto kind = Word(rest);
  ChildMessage message;
  if (kind == "obs") {
    const auto polled = Number(Word(rest), 8);
    const auto state = Number(Word(rest), 4);
    const auto lost = Number(Word(rest), 1);
    const auto valid = [](std::optional<std::uint32_t> value, bool zero) {
      return value &&
             ((zero && *value == 0) || *value == 1 || *value == 2 || *value == 4 || *value == 8);
    };
    if (!valid(polled, false) || !valid(state, true) || state == 8u || !lost) return std::nullopt;
    message.polled = Polled{*polled, *state, *lost == 1, std::string(rest)};
  } else if (kind == "log") {
    const auto priority = Number(Word(rest), 6);
    if (!priority || *priority < 2) return std::nullopt;
    message.log = LogLine{static_cast<Priority>(*priority), std::string(rest)};
  } else if (kind == "off") {
    const auto acknowledged = Number(rest, 1);
    if (!acknowledged) return std::nullopt;
    message.turnOff = TurnOffAnswer{*acknowledged == 1};
  } else {
    return std::nullopt;
  }
  return message;
}

std::string TurnOffLine(std::uint32_t delay) {
  return "off " + std::to_string(delay) + '\n';
}

std::string StopLine() {
  return "stop\n";
}

std::optional<Order> ParseOrder(std::string_view line) {
  if (line == "stop") return Order{true, std::nullopt};
  std::string_view rest = line;
  if (Word(rest) != "off") return std::nullopt;
  const auto delay = Number(rest, 999);
  if (!delay) return std::nullopt;
  return Order{false, *delay};
}

bool LineSplitter::Add(std::string_view bytes) {
  if (overlong_) return false;
  for (const char c : bytes) {
    if (c == '\n') {
      lines_.push_back(std::move(pending_));
      pending_.clear();
    } else if (pending_.size() + 1 >= kMaxLine) {
      overlong_ = true;
      pending_.clear();
      return false;
    } else {
      pending_ += c;
    }
  }
  return true;
}

std::vector<std::string> LineSplitter::Take() {
  return std::exchange(lines_, {});
}

}  // namespace corvale::host::child
