// The Windows host glue in-process under Wine, where the service manager never sends PRESHUTDOWN
// or SHUTDOWN and InitiateSystemShutdownExW shuts nothing down.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/control.h"
#include "host/events.h"
#include "host/host_os.h"
#include "host/log.h"
#include "host/windows/file_access.h"
#include "host/windows/service_control.h"

namespace {

using namespace corvale::host;

TEST(WindowsServiceControl, PreshutdownAndShutdownCutThePowerThenStop) {
  for (const DWORD control :
       {DWORD{SERVICE_CONTROL_PRESHUTDOWN}, DWORD{SERVICE_CONTROL_SHUTDOWN}}) {
    int powerCuts = 0;
    OnSystemShutdown([&] { ++powerCuts; });
    std::atomic<bool> stopped{false};
    std::thread waiter([&] {
      WaitForStopRequest();
      stopped = true;
    });
    EXPECT_EQ(HandleServiceControl(control), DWORD{NO_ERROR});
    waiter.join();  // returns only because the control woke it
    EXPECT_TRUE(stopped);
    EXPECT_EQ(powerCuts, 1) << control;
  }
}

TEST(WindowsServiceControl, StopStopsWithoutCuttingThePower) {
  int powerCuts = 0;
  OnSystemShutdown([&] { ++powerCuts; });
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_STOP), DWORD{NO_ERROR});
  WaitForStopRequest();
  EXPECT_EQ(powerCuts, 0);
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_PAUSE), DWORD{ERROR_CALL_NOT_IMPLEMENTED});
}

TEST(WindowsServiceControl, ParamchangeAsksForAReloadAndStopStillStops) {
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_PARAMCHANGE), DWORD{NO_ERROR});
  EXPECT_EQ(WaitForServiceRequest(), ServiceRequest::kReload);
  EXPECT_EQ(HandleServiceControl(SERVICE_CONTROL_STOP), DWORD{NO_ERROR});
  EXPECT_EQ(WaitForServiceRequest(), ServiceRequest::kStop);
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

TEST(WindowsSystemShutdown, TheSystemCallIsMadeWithItsPrivilege) {
  std::string error;
  EXPECT_TRUE(ShutDownSystem("test: power failure", &error)) << error;
}

TEST(WindowsCommands, HooksRunThroughCmdWithTheirEnvironment) {
  std::string error;
  auto command = StartCommand("exit %CORVALE_UPS_STATE%", {{"CORVALE_UPS_STATE", "4"}}, &error);
  ASSERT_TRUE(command) << error;
  std::optional<ExitStatus> ended;
  for (int i = 0; i < 300 && !(ended = command->Poll()); ++i) Sleep(100);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, 4);
}

// An access list in memory: `entries` of (allowed?, group, rights), in order.
struct Entry {
  bool allowed;
  WELL_KNOWN_SID_TYPE who;
  ACCESS_MASK rights;
};
std::vector<BYTE> Acl(const std::vector<Entry>& entries) {
  std::vector<BYTE> memory(1024);
  auto* acl = reinterpret_cast<ACL*>(memory.data());
  InitializeAcl(acl, static_cast<DWORD>(memory.size()), ACL_REVISION);
  for (const auto& entry : entries) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    CreateWellKnownSid(entry.who, nullptr, sid, &size);
    if (entry.allowed) {
      AddAccessAllowedAce(acl, ACL_REVISION, entry.rights, sid);
    } else {
      AddAccessDeniedAce(acl, ACL_REVISION, entry.rights, sid);
    }
  }
  return memory;
}

TEST(WindowsFiles, PasswordsReadableByOtherUsersAreNoticed) {
  const struct {
    const char* name;
    std::vector<Entry> entries;
    bool readable;
  } cases[] = {
      {"administrators and SYSTEM only",
       {{true, WinBuiltinAdministratorsSid, GENERIC_ALL}, {true, WinLocalSystemSid, GENERIC_ALL}},
       false},
      {"users may read",
       {{true, WinBuiltinAdministratorsSid, GENERIC_ALL},
        {true, WinBuiltinUsersSid, FILE_GENERIC_READ}},
       true},
      {"everyone may read", {{true, WinWorldSid, GENERIC_READ}}, true},
      {"users may only list", {{true, WinBuiltinUsersSid, FILE_READ_ATTRIBUTES}}, false},
      {"denied before allowed",
       {{false, WinWorldSid, FILE_READ_DATA}, {true, WinWorldSid, FILE_GENERIC_READ}},
       false},
  };
  for (const auto& c : cases) {
    const auto acl = Acl(c.entries);
    EXPECT_EQ(AclLetsOthersRead(reinterpret_cast<const ACL*>(acl.data())), c.readable) << c.name;
  }
  EXPECT_TRUE(AclLetsOthersRead(nullptr)) << "no list at all";
}

TEST(WindowsFiles, AConfigurationOtherUsersMayChangeIsNoticed) {
  const struct {
    const char* name;
    std::vector<Entry> entries;
    bool writable;
  } cases[] = {
      {"administrators and SYSTEM only",
       {{true, WinBuiltinAdministratorsSid, GENERIC_ALL}, {true, WinLocalSystemSid, GENERIC_ALL}},
       false},
      {"users may read only", {{true, WinBuiltinUsersSid, FILE_GENERIC_READ}}, false},
      {"users may append", {{true, WinBuiltinUsersSid, FILE_APPEND_DATA}}, true},
      {"everyone may do anything", {{true, WinWorldSid, GENERIC_ALL}}, true},
      {"authenticated users may change the access list",
       {{true, WinAuthenticatedUserSid, WRITE_DAC}},
       true},
  };
  for (const auto& c : cases) {
    const auto acl = Acl(c.entries);
    EXPECT_EQ(AclLetsOthersWrite(reinterpret_cast<const ACL*>(acl.data())), c.writable) << c.name;
  }
}

// Event Viewer shows an event's text from the program's message table, by the ID the service
// reports: each ID the service uses must be in corvale-ups.exe, with the event's name.
TEST(WindowsEventLog, EveryMessageIdHasItsTextInTheProgram) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string program = self;
  program = program.substr(0, program.rfind('\\')) + "\\..\\cli\\corvale-ups.exe";
  HMODULE messages = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(messages, nullptr) << program;
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

}  // namespace
