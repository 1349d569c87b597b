// The Windows host glue in-process under Wine, where the service manager never sends SHUTDOWN and
// InitiateSystemShutdownExW shuts nothing down. A spy between this program and the system holds
// the calls to what Windows documents, which Wine does not check (tests/windows/win32_spy.h).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "host/control.h"
#include "host/events.h"
#include "host/host.h"
#include "host/host_os.h"
#include "host/listening.h"
#include "host/log.h"
#include "host/windows/service_control.h"
#include "tests/support/captured_log.h"
#include "tests/windows/win32_spy.h"
#include "tests/windows/windows_test_support.h"

namespace {

using namespace corvale::host;
using namespace std::chrono_literals;
namespace spy = corvale::testing::spy;
using corvale::testing::Count;
using corvale::testing::Messages;
using corvale::testing::WindowsFolder;

// Every test here runs with the spy in place.
class Spied : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::string missing;
    static const bool installed = spy::Install(&missing);
    ASSERT_TRUE(installed) << "not imported by name: " << missing;
    spy::Reset();
  }
};

using WindowsServiceControl = Spied;

TEST_F(WindowsServiceControl, ShutdownCutsThePowerThenStopsAndPreshutdownIsNotTheMoment) {
  // The UPS's countdown starts at SHUTDOWN, after the pre-shutdown phase in which other services
  // still save virtual machines or install updates.
  EXPECT_NE(AcceptedControls() & SERVICE_ACCEPT_SHUTDOWN, 0u);
  EXPECT_EQ(AcceptedControls() & SERVICE_ACCEPT_PRESHUTDOWN, 0u)
      << "a service that accepts PRESHUTDOWN holds Windows' shutdown until it stops, and then "
         "never hears SHUTDOWN";
  int powerCuts = 0;
  OnSystemShutdown([&] { ++powerCuts; });
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_PRESHUTDOWN), DWORD{ERROR_CALL_NOT_IMPLEMENTED});
  EXPECT_EQ(powerCuts, 0);
  std::atomic<bool> stopped{false};
  std::thread waiter([&] {
    WaitForStopRequest();
    stopped = true;
  });
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_SHUTDOWN), DWORD{NO_ERROR});
  waiter.join();  // returns only because the control woke it
  EXPECT_TRUE(stopped);
  EXPECT_EQ(powerCuts, 1);
}

TEST_F(WindowsServiceControl, StopStopsWithoutCuttingThePower) {
  int powerCuts = 0;
  OnSystemShutdown([&] { ++powerCuts; });
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_STOP), DWORD{NO_ERROR});
  WaitForStopRequest();
  EXPECT_EQ(powerCuts, 0);
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_PAUSE), DWORD{ERROR_CALL_NOT_IMPLEMENTED});
}

TEST_F(WindowsServiceControl, ParamchangeAsksForAReloadAndStopStillStops) {
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_PARAMCHANGE), DWORD{NO_ERROR});
  EXPECT_EQ(WaitForServiceRequest(), ServiceRequest::kReload);
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_STOP), DWORD{NO_ERROR});
  EXPECT_EQ(WaitForServiceRequest(), ServiceRequest::kStop);
}

TEST_F(WindowsServiceControl, WakingFromSleepAsksTheAgentToLogInAgainAndNothingElseDoes) {
  // No program may send a service POWEREVENT (ControlService refuses it): the handler is called
  // as the service manager calls it.
  EXPECT_NE(AcceptedControls() & SERVICE_ACCEPT_POWEREVENT, 0u) << "else Windows never tells it";
  int wakings = 0;
  OnResumeFromSleep([&] { ++wakings; });
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND), DWORD{NO_ERROR});
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE),
            DWORD{NO_ERROR});
  EXPECT_EQ(wakings, 0) << "going to sleep, or a change of power source, is not a waking";
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC),
            DWORD{NO_ERROR});
  EXPECT_EQ(wakings, 1);
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND),
            DWORD{NO_ERROR});
  EXPECT_EQ(wakings, 2) << "either may come first; the follower counts close ones as one";
  OnResumeFromSleep(nullptr);  // as the service does before its follower goes
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC),
            DWORD{NO_ERROR});
  EXPECT_EQ(wakings, 2);
}

// Without a channel whose other end it can prove, a command is told so and sends nothing.
TEST(WindowsLocalChannel, NoneYetAndEverySideSaysSo) {
  EXPECT_EQ(corvale::host::DefaultControlPath(), "");
  std::string why;
  EXPECT_EQ(
      corvale::host::ServeControl(
          "x", [](const std::string&, const corvale::host::ControlPeer&) { return ""; }, &why),
      nullptr);
  EXPECT_NE(why.find("no local channel"), std::string::npos) << why;
  why.clear();
  EXPECT_FALSE(corvale::host::AskService("x", "STATUS", std::chrono::seconds(1), &why));
  EXPECT_NE(why.find("no local channel"), std::string::npos) << why;
}

TEST_F(WindowsServiceControl, RemovingWaitsForAStartAndAStopUnderWay) {
  // Started a moment ago: a stop is refused until it runs; its stop then takes a while.
  spy::FakeService(4, 3);
  std::string error;
  bool wasRegistered = false;
  EXPECT_TRUE(RemoveService("CorvaleUPS", &error, &wasRegistered)) << error;
  EXPECT_TRUE(wasRegistered);
  const auto calls = spy::ServiceCalls();
  std::string said;
  for (const auto& call : calls) said += call + "; ";
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "delete STOPPED") << said;
  EXPECT_EQ(Count(said, "stop START_PENDING"), 0u) << "not asked to stop while it starts: " << said;
  EXPECT_EQ(Count(said, "stop RUNNING"), 1u) << said;
}

using WindowsSystemShutdown = Spied;

TEST_F(WindowsSystemShutdown, APlannedPowerShutdownWithItsPrivilegeAndTheNameAsWritten) {
  std::string error, notice;
  EXPECT_TRUE(ShutDownSystem("Büro-USV: power failure", &error, &notice)) << error;
  EXPECT_EQ(notice, "");
  const auto calls = spy::ShutdownCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].message, L"B\u00fcro-USV: power failure") << "UTF-8, not byte by byte";
  EXPECT_EQ(calls[0].timeout, 0u);
  EXPECT_TRUE(calls[0].force);
  EXPECT_FALSE(calls[0].reboot);
  EXPECT_EQ(calls[0].reason & SHTDN_REASON_FLAG_PLANNED, DWORD{SHTDN_REASON_FLAG_PLANNED});
  EXPECT_EQ(calls[0].reason & 0xFF0000, DWORD{SHTDN_REASON_MAJOR_POWER});
}

TEST_F(WindowsSystemShutdown, ACountdownUnderWayGivesWayToAShutdownNow) {
  // `shutdown /r /t 3600`, or an installer's restart: every other shutdown is refused (1190).
  spy::ScheduleShutdown();
  std::string error, notice;
  EXPECT_TRUE(ShutDownSystem("ups: power failure", &error, &notice)) << error;
  EXPECT_FALSE(spy::ShutdownScheduled()) << "the countdown was aborted";
  EXPECT_EQ(spy::ShutdownCalls().size(), 1u);
  EXPECT_NE(notice.find("already counting down"), std::string::npos) << notice;
}

using WindowsEventLog = Spied;

TEST_F(WindowsEventLog, TextsReachTheEventLogAsWritten) {
  WriteServiceLog(6, "Büro-USV: online", message_id::kFirstEvent);
  const auto events = spy::LoggedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].wide) << "ReportEventA reads the text in the system's code page";
  EXPECT_EQ(events[0].text, "Büro-USV: online");
  EXPECT_EQ(events[0].id, DWORD(message_id::kFirstEvent));
  EXPECT_EQ(events[0].type, WORD{EVENTLOG_INFORMATION_TYPE});
}

// Event Viewer shows an event's text from the program's message table, by the ID the service
// reports: each ID the service uses must be in corvale-ups.exe, with the event's name.
TEST(WindowsEventLogTable, EveryMessageIdHasItsTextInTheProgram) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const auto program =
      std::filesystem::path(self).parent_path().parent_path() / L"cli" / L"corvale-ups.exe";
  HMODULE messages = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(messages, nullptr) << program.string();
  const auto text = [&](int id) {
    char buffer[512] = "";
    const char* inserts[] = {"INSERTED"};
    FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages,
                   static_cast<DWORD>(id), 0, buffer, sizeof buffer,
                   reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
    return std::string(buffer);
  };
  for (int kind = 0; kind <= static_cast<int>(kLastEventKind); ++kind) {
    const std::string said = text(message_id::kFirstEvent + kind);
    EXPECT_NE(said.find(std::string("(") + EventName(static_cast<EventKind>(kind)) + ")"),
              std::string::npos)
        << kind << ": " << said;
    EXPECT_NE(said.find("INSERTED"), std::string::npos) << said;
  }
  EXPECT_NE(text(message_id::kStartFailed).find("cannot start: INSERTED"), std::string::npos);
  for (const Priority priority : {Priority::kCritical, Priority::kError, Priority::kWarning,
                                  Priority::kNotice, Priority::kInfo}) {
    EXPECT_EQ(text(message_id::ForPriority(priority)), "INSERTED");
  }
  EXPECT_EQ(text(message_id::kFirstEvent + static_cast<int>(kLastEventKind) + 1), "")
      << "no kinds beyond the last";
  FreeLibrary(messages);
}

using WindowsJobs = Spied;

TEST_F(WindowsJobs, ACommandThatCannotBePutInAJobDoesNotRun) {
  // Not a step of it may run where it could not be ended if it hung.
  spy::RefuseJobs();
  const int before = corvale::testing::ProcessesNamed(L"ping.exe");
  std::string error;
  EXPECT_FALSE(StartCommand("ping -n 100000 127.0.0.1 >NUL", {}, &error));
  EXPECT_NE(error.find("job object of its own"), std::string::npos) << error;
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(corvale::testing::ProcessesNamed(L"ping.exe"), before);
}

using WindowsListening = Spied;

TEST_F(WindowsListening, NoOtherProgramMayBindBesideTheServersPort) {
  // On Windows a socket with SO_REUSEADDR may bind a port another one listens on, and take its
  // clients over; the NUT and HTTP servers hold theirs alone.
  asio::io_context io;
  std::error_code failed;
  auto acceptors = OpenAcceptors(io, "127.0.0.1:0", failed);
  ASSERT_FALSE(failed) << failed.message();
  ASSERT_EQ(acceptors.size(), 1u);
  const unsigned short port = acceptors[0]->local_endpoint().port();
  const SOCKET intruder = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const BOOL reuse = TRUE;
  ::setsockopt(intruder, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof reuse);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(intruder, reinterpret_cast<const sockaddr*>(&address), sizeof address),
            SOCKET_ERROR)
      << "another program took the port over";
  EXPECT_EQ(::WSAGetLastError(), WSAEACCES);
  ::closesocket(intruder);
}

// Observations a test chooses, one every 50 ms, as the poll loop would make them.
class ChosenSource : public UpsSource {
 public:
  explicit ChosenSource(Listener listener) : listener_(std::move(listener)) {}
  void Run() override {
    while (!stopping_) {
      Observation observation;
      {
        std::lock_guard lock(mutex_);
        observation = next_;
        observation.when = Clock::now();
        latest_ = observation;
      }
      listener_(observation);
      std::this_thread::sleep_for(50ms);
    }
  }
  void Stop() override { stopping_ = true; }
  std::optional<Observation> Latest() const override {
    std::lock_guard lock(mutex_);
    return latest_;
  }
  void Set(std::uint32_t state) {
    std::lock_guard lock(mutex_);
    next_.polled = state;
    next_.state = state;
    next_.flags.onBattery = state != 1;
    next_.flags.lowBattery = state == 4;
  }

 private:
  Listener listener_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  Observation next_;
  std::optional<Observation> latest_;
};

class WindowsShutdownPath : public Spied {
 protected:
  WindowsShutdownPath() : file(std::tmpfile()), log(false, file) {}
  ~WindowsShutdownPath() override { std::fclose(file); }

  std::unique_ptr<Host> MakeHost(HostOptions options) {
    options.logEvents = true;
    options.systemCall = ShutDownSystem;
    options.flagFile = folder.Utf8() + "\\killpower";
    auto host = std::make_unique<Host>(
        [this](UpsSource::Listener listener) {
          auto made = std::make_unique<ChosenSource>(std::move(listener));
          source = made.get();
          return made;
        },
        options, log);
    host->OnEvent([this](const UpsEvent& event) {
      std::lock_guard lock(eventsMutex);
      events.push_back(EventName(event.kind));
    });
    source->Set(1);
    return host;
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(eventsMutex);
    return events;
  }
  bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  }

  std::FILE* file;
  Logger log;
  WindowsFolder folder{L"corvale-shutdown"};
  ChosenSource* source = nullptr;
  std::mutex eventsMutex;
  std::vector<std::string> events;
};

TEST_F(WindowsShutdownPath, AHungShutdownCommandIsEndedTriedAgainThenGivesWayToTheSystemsCall) {
  HostOptions options;
  options.shutdownCommand = "ping -n 100000 127.0.0.1";
  options.shutdownCommandTimeout = 1s;
  options.shutdownTiming = {2s, 2, 300s};
  const int pingsBefore = corvale::testing::ProcessesNamed(L"ping.exe");
  auto host = MakeHost(options);
  host->Start();
  source->Set(4);
  ASSERT_TRUE(WaitFor([] { return !spy::ShutdownCalls().empty(); }, 30s)) << Messages(file);
  // The second try's lines may still be on their way to the log when the system's call is made.
  WaitFor([this] { return Count(Messages(file), "was killed") >= 2; }, 10s);
  const auto said = Messages(file);
  EXPECT_EQ(Count(said, "the shutdown command still runs after its time"), 2u) << said;
  EXPECT_EQ(Count(said,
                  "the host did NOT shut down: the shutdown command 'ping -n 100000 "
                  "127.0.0.1' was killed"),
            2u)
      << said;
  EXPECT_EQ(Count(said, "using the system's own shutdown call instead"), 1u) << said;
  host.reset();
  const auto raised = Events();
  EXPECT_EQ(std::count(raised.begin(), raised.end(), "shutdown-failed"), 2);
  EXPECT_EQ(corvale::testing::ProcessesNamed(L"ping.exe"), pingsBefore) << "ended with its job";
}

TEST_F(WindowsShutdownPath, OneThatSaidYesButDidNotPowerOffIsTriedAgainThenAbandonedWithItsFlag) {
  // `shutdown /s /t 600` cancelled since by `shutdown /a`, or a harmless test command.
  HostOptions options;
  options.shutdownCommand = "exit 0";
  options.shutdownTiming = {1s, 5, 1s};
  auto host = MakeHost(options);
  host->Start();
  source->Set(4);
  const auto flag = folder.Path() / L"killpower";
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(flag); }, 10s));
  ASSERT_TRUE(WaitFor(
      [&] { return Count(Messages(file), "the host did NOT shut down: it still runs") >= 1; }, 10s))
      << Messages(file);
  source->Set(1);  // the power is back, and stays
  ASSERT_TRUE(WaitFor([&] { return host->ShutdownStage() == ShutdownSequence::Stage::kIdle; }, 20s))
      << Messages(file);
  EXPECT_FALSE(std::filesystem::exists(flag)) << "no power cut may follow at a later shutdown";
  const auto raised = Events();
  EXPECT_NE(std::find(raised.begin(), raised.end(), "shutdown-abandoned"), raised.end());
}

TEST_F(WindowsShutdownPath, APendingCountdownIsAbortedForTheShutdownNowAndLogged) {
  HostOptions options;  // no command: the system's own call
  spy::ScheduleShutdown();
  auto host = MakeHost(options);
  host->Start();
  source->Set(4);
  ASSERT_TRUE(WaitFor([] { return !spy::ShutdownCalls().empty(); }, 10s)) << Messages(file);
  EXPECT_EQ(Count(Messages(file), "aborted it to shut down now"), 1u) << Messages(file);
  EXPECT_EQ(host->ShutdownStage(), ShutdownSequence::Stage::kStarted);
}

}  // namespace
