// Runs tests/windows/dll_host.exe under Wine in the project's prefix, with COM1 mapped to a
// pseudo-terminal, and collects what it prints.
#pragma once

#include <stdlib.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/subprocess.h"

namespace corvale::testing {

// Why Wine cannot run the programs of the Windows build `build` here (32-bit code refused by the
// kernel, or the Wine that fits the build not installed), or nothing when it can. Asked once per
// test program.
inline std::optional<std::string> WhyWineCannotRun(const std::filesystem::path& source,
                                                   const std::filesystem::path& build) {
  static const std::optional<std::string> answer = [&]() -> std::optional<std::string> {
    Subprocess probe({(source / "cmake/wine-run.sh").string(), "--can-run",
                      (build / "CorvaleUPS.dll").string()});
    std::string reason = probe.ReadAll(std::chrono::seconds(30));
    if (probe.Wait(std::chrono::seconds(10)) == 0) return std::nullopt;
    while (!reason.empty() && reason.back() == '\n') reason.pop_back();
    if (reason.rfind("SKIPPED: ", 0) == 0) reason.erase(0, 9);
    return reason;
  }();
  return answer;
}

// In a fixture's SetUp: the test is reported skipped, with the reason, where Wine cannot start.
#define CORVALE_SKIP_WITHOUT_WINE(source, build)                                \
  do {                                                                          \
    if (const auto why = ::corvale::testing::WhyWineCannotRun(source, build)) { \
      GTEST_SKIP() << *why;                                                     \
    }                                                                           \
  } while (false)

// "win32" or "win64": the kind of a Windows program, from its PE header ("" for anything else).
inline std::string WindowsProgramKind(const std::filesystem::path& program) {
  std::ifstream in(program, std::ios::binary);
  unsigned char header[64] = {};
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return "";
  const unsigned offset = header[60] | header[61] << 8 | header[62] << 16 | header[63] << 24;
  unsigned char pe[6] = {};
  if (!in.seekg(offset) || !in.read(reinterpret_cast<char*>(pe), sizeof pe)) return "";
  if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0) return "";
  const unsigned machine = pe[4] | pe[5] << 8;
  return machine == 0x14c ? "win32" : machine == 0x8664 ? "win64" : "";
}

class WineHost {
 public:
  // `build` is the Windows build folder, `source` the project's.
  WineHost(std::filesystem::path build, std::filesystem::path source)
      : build_(std::filesystem::absolute(build)),
        source_(std::filesystem::absolute(source)),
        prefix_(build_ / "tests/wineprefix") {
    setenv("CORVALE_WINEPREFIX", prefix_.c_str(), 1);
    // For what is run without a program file of the build (`sc`, `reg`, `net`).
    setenv("CORVALE_WINE_ARCH", WindowsProgramKind(build_ / "CorvaleUPS.dll").c_str(), 1);
  }

  const std::filesystem::path& Build() const { return build_; }
  const std::filesystem::path& Source() const { return source_; }

  static std::string WindowsPath(const std::filesystem::path& path) {
    std::string text = "Z:" + std::filesystem::absolute(path).string();
    for (char& c : text) {
      if (c == '/') c = '\\';
    }
    return text;
  }
  std::string DllPath() const { return WindowsPath(build_ / "CorvaleUPS.dll"); }
  // The command that runs a Windows program in this prefix with the Wine that fits the build.
  std::string Wine() const { return "'" + (source_ / "cmake/wine-run.sh").string() + "'"; }

  // Makes Wine's COM1 the given device. Wine's mount manager rebuilds dosdevices/com1 from its
  // port key when the Wine server starts, and the link is what a running server uses: set both.
  void MapCom1(const std::string& device) { MapPort("COM1", device); }
  // The same for any COM port, e.g. COM10, which Windows opens only through \\.\COM10.
  void MapPort(const std::string& name, const std::string& device) {
    Run({"wine-port:" + name + ":" + device});
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto link = prefix_ / "dosdevices" / lower;
    std::filesystem::remove(link);
    std::filesystem::create_symlink(device, link);
  }
  void UnmapCom1() { std::filesystem::remove(prefix_ / "dosdevices/com1"); }

  // Runs the host program with `steps`; `onSync` is called for each "sync TAG" before it goes on.
  // Returns the lines it printed (sync lines left out) and its exit status.
  std::vector<std::string> Run(const std::vector<std::string>& steps,
                               const std::function<void(const std::string&)>& onSync = {},
                               int* exitStatus = nullptr) {
    std::vector<std::string> argv = {(source_ / "cmake/wine-run.sh").string(),
                                     (build_ / "tests/dll_host.exe").string()};
    argv.insert(argv.end(), steps.begin(), steps.end());
    Subprocess host(argv);
    std::vector<std::string> lines;
    while (auto line = host.ReadLine(std::chrono::seconds(120))) {
      if (line->rfind("sync ", 0) == 0) {
        if (onSync) onSync(line->substr(5));
        host.WriteLine("go");
        continue;
      }
      lines.push_back(*line);
    }
    const int status = host.Wait(std::chrono::seconds(10));
    if (exitStatus != nullptr) *exitStatus = status;
    return lines;
  }

 private:
  std::filesystem::path build_;
  std::filesystem::path source_;
  std::filesystem::path prefix_;
};

// "init 1 1530" -> {"init", "1", "1530"}
inline std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The `nth` line that starts with `verb`.
inline std::string FindLine(const std::vector<std::string>& lines, const std::string& verb,
                            int nth = 0) {
  for (const auto& line : lines) {
    if (line.rfind(verb + " ", 0) == 0 || line == verb) {
      if (nth-- == 0) return line;
    }
  }
  return "<no " + verb + " line>";
}

}  // namespace corvale::testing
