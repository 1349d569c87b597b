// A UPS on a pseudo-terminal: the far end of the serial line, for tests, the simulator and demos.
//
// It reads 13-byte command frames, checks each one exactly, and answers polls, silence and
// turn-off commands with its status bits, the way the real UPS does. Faults can be switched on to
// test what the driver makes of a bad line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvale {

// What a valid command frame asks for.
struct UpsCommand {
  char letter = 0;          // 'L' poll, 'B' silence, 'S' turn off
  std::uint32_t delay = 0;  // seconds, for 'S'
};

// Checks a frame as the UPS does: 13 bytes, "Z", selector "A".."J", upper-case letters, a known
// command letter at the selected offset, delay letters "A".."J" for a turn-off, CR last.
std::optional<UpsCommand> ParseCommandFrame(const std::string& frame);

// "$", ten letters A/B (B = bit set), CR.
std::string FormatReply(std::uint16_t bits);

class UpsPeer {
 public:
  enum class Fault {
    kNone,
    kSilent,     // reads commands, answers nothing
    kLate,       // answers after `lateBy`
    kShort,      // answers with the first 11 bytes only
    kGarbled,    // answers with a byte out of the alphabet
    kLowerCase,  // answers "a"/"b" instead of "A"/"B"
    kUnplugged,  // the cable is out: commands are lost, nothing comes back
  };

  struct FrameRecord {
    std::chrono::steady_clock::time_point when;
    std::string bytes;
    bool valid;
    std::string reply;  // what the UPS sent back (after any fault), empty for nothing
  };

  // Opens a pseudo-terminal pair and starts answering. Throws std::system_error on failure.
  UpsPeer();
  ~UpsPeer();
  UpsPeer(const UpsPeer&) = delete;
  UpsPeer& operator=(const UpsPeer&) = delete;

  // The device the driver opens, e.g. /dev/pts/3.
  const std::string& DevicePath() const { return devicePath_; }

  // Status bits the UPS reports (bits 0 to 9). Silenced is the UPS's own: a "B" command sets it,
  // and the alarm re-arms (Silenced clears) whenever the UPS goes on battery.
  void SetStatus(std::uint16_t bits);
  std::uint16_t Status();  // as the next reply will report it

  void SetFault(Fault fault, std::chrono::milliseconds lateBy = std::chrono::milliseconds(1500));

  // Spoils each reply with this probability (silent, garbled, short or lower case, at random),
  // reproducibly from `seed`; 0 turns it off. InjectedFaults() counts the spoilt replies.
  void SetRandomFaults(double probability, std::uint32_t seed);
  std::uint64_t InjectedFaults();
  Fault CurrentFault();

  // Everything received, valid or not, in order.
  std::vector<FrameRecord> Frames();
  int InvalidFrames();
  std::vector<std::uint32_t> TurnOffDelays();

  // Called (on the peer's thread) for each frame received and each change of the output.
  void OnFrame(std::function<void(const FrameRecord&, const std::optional<UpsCommand>&)> callback);
  void OnOutputChange(std::function<void(bool on)> callback);

  // Puts raw bytes on the line towards the driver, as noise would.
  void SendRaw(const std::string& bytes) { Send(bytes); }

  // Removes the device: closes the master side, as a USB adapter pulled out.
  void Hangup();

 private:
  void Run();
  void HandleFrame(const std::string& frame);
  void Send(const std::string& bytes);
  void CheckTurnOffCountdown();
  std::uint16_t StatusLocked() const;

  int master_ = -1;
  int slaveKeeper_ = -1;  // keeps the slave side alive while the driver has it closed
  int wakePipe_[2] = {-1, -1};
  std::string devicePath_;
  std::thread thread_;

  std::mutex mutex_;
  std::uint16_t bits_ = 0;
  bool silenced_ = false;
  // The output goes off when a turn-off's delay runs out, and on again once utility power is
  // back; while it is off the UPS answers nothing (its host has no power).
  bool outputOn_ = true;
  std::optional<std::chrono::steady_clock::time_point> turnOffAt_;
  std::chrono::steady_clock::time_point offSince_;
  // Replies held back by the late fault: when each is due, and its bytes. Peer thread only.
  std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> pending_;
  Fault fault_ = Fault::kNone;
  std::chrono::milliseconds lateBy_{1500};
  std::vector<FrameRecord> frames_;
  int invalidFrames_ = 0;
  std::vector<std::uint32_t> turnOffDelays_;
  std::function<void(const FrameRecord&, const std::optional<UpsCommand>&)> onFrame_;
  std::function<void(bool)> onOutputChange_;
  bool hungUp_ = false;
  double faultProbability_ = 0;
  std::uint32_t faultSeed_ = 1;
  std::uint64_t injectedFaults_ = 0;
};

}  // namespace corvale
