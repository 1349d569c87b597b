// The Windows host glue in-process under Wine, where the service manager never sends PRESHUTDOWN
// or SHUTDOWN and InitiateSystemShutdownExW shuts nothing down.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tools/host/host_os.h"
#include "tools/host/windows/service_control.h"

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

}  // namespace
