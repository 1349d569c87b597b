// The POSIX back end on its own: mode texts, the registry stand-in, and Windows read time-outs on
// a real pseudo-terminal.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/support/line_fixture.h"

// The modem-line calls the back end makes, seen on their way to the C library: a pseudo-terminal
// has no modem lines to look at afterwards.
namespace {
std::mutex modemCallsLock;
std::vector<std::pair<unsigned long, int>> modemCalls;  // TIOCMBIS/TIOCMBIC and the line bits
}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (request == TIOCMBIS || request == TIOCMBIC) {
    std::lock_guard lock(modemCallsLock);
    modemCalls.emplace_back(request, *static_cast<int*>(argument));
  }
  using Ioctl = int (*)(int, unsigned long, ...);
  static const auto next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
  return next(fd, request, argument);
}

namespace {

using corvale::testing::ElapsedMs;
using corvale::testing::Line;
using namespace std::chrono_literals;

TEST(PosixSerialSettings, ModeTextsAreReadAsBuildCommDcbReadsThem) {
  for (const char* good : {"1200,N,8,1", "1200,n,8,1", "9600,E,7,2", "300,O,5,1", "1200,M,8,1",
                           "1200,S,8,1", "1200,N,8,1,x", "115200,N,8,1,p"}) {
    SerialSettings settings = {};
    EXPECT_TRUE(SerialBuildSettings(good, &settings)) << good;
    EXPECT_EQ(settings.dtrControl, 1) << good;
  }
  for (const char* bad : {"", "1200", "1200,N,8", "1200,Q,8,1", "1200,N,9,1", "1200,N,4,1",
                          "1200,N,8,1.5", "1201,N,8,1", "1200,N,8,1,", "1200,N,8,1,z",
                          "1200,N,8,1 ", "abc,N,8,1", "-1200,N,8,1", "1200,,8,1"}) {
    SerialSettings settings = {};
    EXPECT_FALSE(SerialBuildSettings(bad, &settings)) << '"' << bad << '"';
  }
}

class PosixRegistryTest : public ::testing::Test {
 protected:
  Line line;
  RegistryKey Open(const char* path, RegistryAccess access) {
    RegistryKey key = -1;
    EXPECT_TRUE(RegistryOpenKey(path, access, &key)) << path;
    return key;
  }
};

TEST_F(PosixRegistryTest, KeysAreOpenedNeverCreated) {
  RegistryKey key;
  EXPECT_FALSE(RegistryOpenKey("System\\CurrentControlSet\\Services\\Nope", kRegistryQuery, &key));
  EXPECT_FALSE(
      std::filesystem::exists(line.registry.Root() / "System/CurrentControlSet/Services/Nope"));
  // A key beside the root that exists and may be opened: only the climb out keeps it out.
  std::filesystem::create_directories(line.directory.Path() / "outside");
  EXPECT_FALSE(RegistryOpenKey("System\\..\\..\\outside", kRegistryQuery, &key));
  EXPECT_FALSE(RegistryOpenKey("..\\outside", kRegistryQuery, &key));
  EXPECT_FALSE(RegistryOpenKey("\\System", kRegistryQuery, &key));
  ASSERT_TRUE(RegistryOpenKey("System\\CurrentControlSet", kRegistryQuery, &key));
  RegistryCloseKey(key);
}

TEST_F(PosixRegistryTest, QueryGivesTheTextWithItsNulAndRefusesWhatDoesNotFit) {
  const struct {
    const char* file;    // exact file content
    std::uint32_t size;  // buffer size
    bool ok;
    std::uint32_t dataSize;
  } cases[] = {
      {"COM1\n", 8, true, 5},      {"COM1", 8, true, 5},
      {"ttyUSB0\n", 8, true, 8},   {"ttyUSB0", 8, true, 8},
      {"ttyUSB10\n", 8, false, 0}, {"ttyUSB10", 8, false, 0},
      {"COM1\n\n", 8, true, 6},    {"", 8, true, 1},
  };
  const auto keyDir = line.registry.KeyDirectory(corvale::kServiceKey);
  for (const auto& c : cases) {
    {
      std::FILE* f = std::fopen((keyDir / "Port").c_str(), "wb");
      std::fputs(c.file, f);
      std::fclose(f);
    }
    const RegistryKey key = Open("System\\CurrentControlSet\\Services\\UPS", kRegistryQuery);
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    std::uint32_t size = c.size;
    EXPECT_EQ(RegistryQueryValue(key, "Port", buffer, &size), c.ok) << '"' << c.file << '"';
    if (c.ok) {
      EXPECT_EQ(size, c.dataSize) << '"' << c.file << '"';
      EXPECT_EQ(buffer[size - 1], '\0');
    }
    RegistryCloseKey(key);
  }
}

TEST_F(PosixRegistryTest, ValuesAreWrittenAsTextAtomically) {
  const RegistryKey key = Open("System\\CurrentControlSet\\Services\\UPS\\Status", kRegistryWrite);
  EXPECT_TRUE(RegistrySetDword(key, "BatteryCapacity", 99));
  EXPECT_TRUE(RegistrySetDword(key, "Big", 4294967295u));
  EXPECT_TRUE(RegistrySetString(key, "FirmwareRev", "v1.0b  [ Normal ]"));
  EXPECT_TRUE(RegistrySetDword(key, "BatteryCapacity", 10));
  EXPECT_FALSE(RegistrySetDword(key, "../escape", 1));
  EXPECT_FALSE(RegistrySetDword(key, ".hidden", 1));
  RegistryCloseKey(key);
  const auto dir = line.registry.KeyDirectory(corvale::kStatusKey);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"BatteryCapacity", "Big", "FirmwareRev"}))
      << "no temporary files left behind";
  std::ifstream in(dir / "BatteryCapacity");
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "10\n");
  EXPECT_EQ(line.Status("Big"), "4294967295");
  EXPECT_EQ(line.Status("FirmwareRev"), "v1.0b  [ Normal ]");
}

TEST_F(PosixRegistryTest, AValueThatCannotBeReplacedLeavesNoTemporaryFile) {
  // A folder in the value's place: the temporary file is written, then cannot be renamed over it.
  const auto dir = line.registry.KeyDirectory(corvale::kStatusKey);
  std::filesystem::create_directories(dir / "FirmwareRev" / "inside");
  const RegistryKey key = Open("System\\CurrentControlSet\\Services\\UPS\\Status", kRegistryWrite);
  EXPECT_FALSE(RegistrySetString(key, "FirmwareRev", "v1.0b  [ Normal ]"));
  RegistryCloseKey(key);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename());
  }
  EXPECT_EQ(names, std::vector<std::string>{"FirmwareRev"});
}

class PosixSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = SerialOpen("COM1");
    ASSERT_NE(port, kInvalidSerialHandle);
    SerialSettings settings = {};
    ASSERT_TRUE(SerialBuildSettings("1200,N,8,1", &settings));
    ASSERT_TRUE(SerialApplySettings(port, &settings)) << "a pseudo-terminal has no modem lines";
    SerialSetReadTimeouts(port, 100, 1000);
    line.peer->SetFault(corvale::UpsPeer::Fault::kSilent);
  }
  void TearDown() override { SerialClose(port); }

  Line line;
  SerialHandle port = kInvalidSerialHandle;
};

TEST_F(PosixSerialTest, OpenIsExclusiveAndStaysInsideTheDeviceDirectory) {
  EXPECT_EQ(SerialOpen("COM1"), kInvalidSerialHandle) << "no sharing";
  // A free, working device one level up: only the climb out of the directory keeps it out.
  corvale::UpsPeer outside;
  std::filesystem::create_symlink(outside.DevicePath(), line.directory.Path() / "UP");
  std::filesystem::create_symlink(outside.DevicePath(), line.Devices() / "UP");
  EXPECT_EQ(SerialOpen("../UP"), kInvalidSerialHandle);
  EXPECT_EQ(SerialOpen(outside.DevicePath().c_str()), kInvalidSerialHandle);
  EXPECT_EQ(SerialOpen(""), kInvalidSerialHandle);
  const SerialHandle inside = SerialOpen("UP");
  EXPECT_NE(inside, kInvalidSerialHandle) << "the same device by its contained name";
  SerialClose(inside);
}

TEST_F(PosixSerialTest, LineSettingsReachTheDevice) {
  // Every speed the table knows; a pseudo-terminal keeps speed and stop bits but forces 8N1, so
  // character size and parity are left to the mode-text test above.
  const struct {
    const char* mode;
    speed_t speed;
    bool twoStopBits;
  } cases[] = {
      {"110,N,8,1", B110, false},       {"300,N,8,1", B300, false},
      {"600,N,8,2", B600, true},        {"1200,N,8,1", B1200, false},
      {"2400,N,8,1", B2400, false},     {"4800,N,8,1", B4800, false},
      {"9600,N,8,1", B9600, false},     {"19200,N,8,1", B19200, false},
      {"38400,N,8,1", B38400, false},   {"57600,N,8,1", B57600, false},
      {"115200,N,8,1", B115200, false},
  };
  const int fd = static_cast<int>(port);
  for (const auto& c : cases) {
    SerialSettings settings = {};
    ASSERT_TRUE(SerialBuildSettings(c.mode, &settings)) << c.mode;
    ASSERT_TRUE(SerialApplySettings(port, &settings)) << c.mode;
    termios attributes;
    ASSERT_EQ(tcgetattr(fd, &attributes), 0);
    EXPECT_EQ(cfgetospeed(&attributes), c.speed) << c.mode;
    EXPECT_EQ(cfgetispeed(&attributes), c.speed) << c.mode;
    EXPECT_EQ(attributes.c_cflag & (CSIZE | PARENB | CRTSCTS), tcflag_t{CS8}) << c.mode;
    EXPECT_EQ((attributes.c_cflag & CSTOPB) != 0, c.twoStopBits) << c.mode;
  }
}

TEST_F(PosixSerialTest, ControlLinesAreRaisedAndDroppedAsAsked) {
  const struct {
    std::uint8_t dtr, rts;
    std::vector<std::pair<unsigned long, int>> calls;
  } cases[] = {
      {1, 1, {{TIOCMBIS, TIOCM_DTR}, {TIOCMBIS, TIOCM_RTS}}},
      {1, 0, {{TIOCMBIS, TIOCM_DTR}, {TIOCMBIC, TIOCM_RTS}}},
      {0, 1, {{TIOCMBIC, TIOCM_DTR}, {TIOCMBIS, TIOCM_RTS}}},
  };
  for (const auto& c : cases) {
    SerialSettings settings = {};
    ASSERT_TRUE(SerialBuildSettings("1200,N,8,1", &settings));
    settings.dtrControl = c.dtr;
    settings.rtsControl = c.rts;
    {
      std::lock_guard lock(modemCallsLock);
      modemCalls.clear();
    }
    ASSERT_TRUE(SerialApplySettings(port, &settings));
    std::lock_guard lock(modemCallsLock);
    EXPECT_EQ(modemCalls, c.calls) << "dtr=" << int{c.dtr} << " rts=" << int{c.rts};
  }
}

TEST_F(PosixSerialTest, ReadOfNothingEndsAfterTheTotalTimeout) {
  std::uint8_t buffer[12];
  std::uint32_t received = 99;
  bool ok = false;
  const auto took = ElapsedMs([&] { ok = SerialRead(port, buffer, 12, &received); });
  EXPECT_TRUE(ok);
  EXPECT_EQ(received, 0u);
  EXPECT_GE(took, 990);
  EXPECT_LT(took, 1300);
}

TEST_F(PosixSerialTest, ReadEndsAtFullCountOrAfterSilenceBetweenBytes) {
  line.peer->SetFault(corvale::UpsPeer::Fault::kNone);
  const std::string poll = "ZCADLIOPERJD\r";
  ASSERT_TRUE(SerialWrite(port, reinterpret_cast<const std::uint8_t*>(poll.data()), 13));
  std::uint8_t buffer[12];
  std::uint32_t received = 0;
  auto took = ElapsedMs([&] { ASSERT_TRUE(SerialRead(port, buffer, 12, &received)); });
  EXPECT_EQ(received, 12u);
  EXPECT_LT(took, 200) << "a full reply ends the read at once";
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 12), "$AAAAAAAAAA\r");

  line.peer->SetFault(corvale::UpsPeer::Fault::kShort);
  ASSERT_TRUE(SerialWrite(port, reinterpret_cast<const std::uint8_t*>(poll.data()), 13));
  took = ElapsedMs([&] { ASSERT_TRUE(SerialRead(port, buffer, 12, &received)); });
  EXPECT_EQ(received, 11u);
  EXPECT_GE(took, 100);
  EXPECT_LT(took, 400) << "100 ms of silence after a byte ends the read";
}

TEST_F(PosixSerialTest, ReadOnARemovedDeviceFailsAtOnce) {
  line.peer->Hangup();
  std::uint8_t buffer[12];
  std::uint32_t received = 0;
  bool ok = true;
  const auto took = ElapsedMs([&] { ok = SerialRead(port, buffer, 12, &received); });
  EXPECT_FALSE(ok);
  EXPECT_LT(took, 200);
}

}  // namespace
