// Commands on Windows in-process under Wine: the shell that runs them, what they are given, how
// they are ended, and how the program they name is found and trusted.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "host/command_runner.h"
#include "host/host_os.h"
#include "host/log.h"
#include "host/windows/command_line.h"
#include "tests/support/captured_log.h"
#include "tests/windows/windows_test_support.h"

namespace {

using namespace corvale::host;
using namespace std::chrono_literals;
using corvale::testing::Count;
using corvale::testing::Messages;
using corvale::testing::ProcessesNamed;
using corvale::testing::WindowsFolder;

std::optional<ExitStatus> WaitForEnd(RunningCommand& command, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto ended = command.Poll()) return ended;
    std::this_thread::sleep_for(50ms);
  }
  return std::nullopt;
}

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(WindowsShell, TheSystemsOwnCmdAndUnderWow64TheNativeOne) {
  // A 32-bit service's System32 is SysWOW64: its hooks would run 32-bit tools and see the
  // registry's 32-bit view. The 64-bit build here is never under WOW64, so the choice is seen here.
  EXPECT_EQ(ShellPath(L"C:\\Windows", false), L"C:\\Windows\\System32\\cmd.exe");
  EXPECT_EQ(ShellPath(L"D:\\WINNT", true), L"D:\\WINNT\\Sysnative\\cmd.exe");
  EXPECT_EQ(ShellCommandLine(L"C:\\Windows\\System32\\cmd.exe",
                             L"\"C:\\My Scripts\\on event.cmd\" \"one two\" three"),
            L"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"\"C:\\My Scripts\\on event.cmd\" \"one "
            L"two\" three\"");
}

TEST(WindowsShell, ProgramsAreTakenFromTheCommandAsCmdReadsIt) {
  EXPECT_EQ(CommandProgram("shutdown /s /t 0").value_or("-"), "shutdown");
  EXPECT_EQ(CommandProgram("  @\"C:\\Program Files\\UPS\\notify.exe\" -q").value_or("-"),
            "C:\\Program Files\\UPS\\notify.exe");
  EXPECT_EQ(CommandProgram("C:\\Scripts\\down.cmd&echo done").value_or("-"),
            "C:\\Scripts\\down.cmd");
  EXPECT_FALSE(CommandProgram("%SystemRoot%\\System32\\shutdown.exe /s"))
      << "expanded when it runs: cmd.exe's to decide";
  EXPECT_FALSE(CommandProgram("\"unclosed"));
  EXPECT_FALSE(CommandProgram("   "));
  for (const char* builtin : {"echo", "ECHO.", "exit/b", "cd..", "pause", "start", "rem"}) {
    EXPECT_TRUE(CmdBuiltin(builtin)) << builtin;
  }
  for (const char* program : {"ping", "shutdown", "echoes", "C:\\echo.exe"}) {
    EXPECT_FALSE(CmdBuiltin(program)) << program;
  }
}

// Files that are there, by their names in lower case: Windows' names ignore case.
std::set<std::string> present;
bool Present(const std::string& path) {
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return present.count(lower) != 0;
}

TEST(WindowsShell, AProgramIsFoundAsCmdFindsIt) {
  present = {"c:\\windows\\system32\\shutdown.exe", "c:\\tools\\shutdown.cmd",
             "c:\\scripts\\down.cmd", "c:\\scripts\\odd.txt"};
  const std::vector<std::string> path = {"C:\\Windows\\system32", "C:\\Tools\\"};
  const std::vector<std::string> endings = {".COM", ".EXE", ".BAT", ".CMD"};
  EXPECT_EQ(FindProgram("shutdown", path, endings, Present).value_or("-"),
            "C:\\Windows\\system32\\shutdown.EXE")
      << "the first folder of PATH, with the first ending that is there";
  EXPECT_EQ(FindProgram("shutdown.cmd", path, endings, Present).value_or("-"),
            "C:\\Tools\\shutdown.cmd");
  EXPECT_EQ(FindProgram("C:\\Scripts\\down", path, endings, Present).value_or("-"),
            "C:\\Scripts\\down.CMD");
  EXPECT_EQ(FindProgram("C:\\Scripts\\odd.txt", path, endings, Present).value_or("-"),
            "C:\\Scripts\\odd.txt")
      << "a name with an ending is tried as written";
  EXPECT_FALSE(FindProgram("C:\\Scripts\\shutdwn.cmd", path, endings, Present)) << "a typo";
  EXPECT_FALSE(FindProgram("shutdwn", path, endings, Present));
}

TEST(WindowsCommands, RunThroughCmdWithTheirEnvironment) {
  std::string error;
  auto command = StartCommand("exit %CORVALE_UPS_STATE%", {{"CORVALE_UPS_STATE", "4"}}, &error);
  ASSERT_TRUE(command) << error;
  const auto ended = WaitForEnd(*command, 30s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, 4);
}

TEST(WindowsCommands, QuotesAndNamesBeyondAsciiArriveAsWritten) {
  const WindowsFolder folder(L"corvale-quotes");
  // A hook in a folder named "Störung", with a space, given arguments in quotes of their own, and
  // the UPS's name beyond ASCII in its environment.
  const auto script = folder.Write("Störung mit Leerzeichen/hook.cmd",
                                   "@echo [%~1][%~2][%CORVALE_UPS_NAME%]> \"%~3\"\r\n");
  const auto output = folder.Path() / L"said.txt";
  const std::string command = "\"" + corvale::host::Utf8FromPath(script) +
                              "\" \"one two\" three \"" + corvale::host::Utf8FromPath(output) +
                              "\"";
  std::string error;
  auto running = StartCommand(command, {{"CORVALE_UPS_NAME", "Büro-USV"}}, &error);
  ASSERT_TRUE(running) << error;
  const auto ended = WaitForEnd(*running, 30s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, 0) << "9009: cmd.exe did not find the script";
  const std::string said = ReadAll(output);
  EXPECT_EQ(said.substr(0, 16), "[one two][three]") << said;
  // cmd.exe writes in the console's code page: the name's letters beyond ASCII are its own.
  EXPECT_NE(said.find("][B"), std::string::npos) << said;
  EXPECT_NE(said.find("ro-USV]"), std::string::npos) << said;
}

TEST(WindowsCommands, APauseOrAPromptEndsAtOnceInsteadOfWaitingForAKeyNobodySees) {
  std::string error;
  for (const char* waiting : {"pause", "set /p answer=Go on? "}) {
    auto command = StartCommand(waiting, {}, &error);
    ASSERT_TRUE(command) << error;
    const auto ended = WaitForEnd(*command, 15s);
    EXPECT_TRUE(ended) << waiting << " waits on its input";
    if (!ended) command->Kill();
  }
}

TEST(WindowsCommands, AHungCommandIsEndedWithEverythingItStarted) {
  const int before = ProcessesNamed(L"ping.exe");
  std::string error;
  // cmd.exe, and under it the program that hangs.
  auto command = StartCommand("ping -n 100000 127.0.0.1 >NUL", {}, &error);
  ASSERT_TRUE(command) << error;
  for (int tries = 0; tries < 100 && ProcessesNamed(L"ping.exe") == before; ++tries) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(ProcessesNamed(L"ping.exe"), before + 1);
  command->Kill();
  const auto ended = WaitForEnd(*command, 10s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->Describe(), "killed");
  for (int tries = 0; tries < 100 && ProcessesNamed(L"ping.exe") != before; ++tries) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(ProcessesNamed(L"ping.exe"), before) << "the program under cmd.exe still runs";
}

TEST(WindowsCommands, HooksStillRunningWhenTheServiceStopsAreEndedWithIt) {
  std::FILE* file = std::tmpfile();
  const int before = ProcessesNamed(L"ping.exe");
  {
    Logger log(false, file);
    CommandRunner hooks(log, {16});
    ASSERT_TRUE(hooks.Start("event command", "ping -n 100000 127.0.0.1 >NUL", {}, 120s));
    for (int tries = 0; tries < 100 && ProcessesNamed(L"ping.exe") == before; ++tries) {
      std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(ProcessesNamed(L"ping.exe"), before + 1);
    hooks.StopWatching();
    EXPECT_EQ(ProcessesNamed(L"ping.exe"), before);
  }
  EXPECT_EQ(Count(Messages(file), "the event command still ran as the service stopped: ended it"),
            1u)
      << Messages(file);
  std::fclose(file);
}

TEST(WindowsPrograms, AMistypedOrMissingProgramIsFoundOutBeforeItIsNeeded) {
  const WindowsFolder folder(L"corvale-programs");
  const auto script = folder.Write("Störung/shutdown-all.cmd", "@exit 0\r\n");
  const std::string typo = "\"" + folder.Utf8() + "\\Störung\\shutdwn-all.cmd\"";
  const auto problem = CommandProblem(typo, "");
  ASSERT_TRUE(problem) << "cmd.exe would exit 9009 when the battery runs low";
  EXPECT_NE(problem->find("there is no program"), std::string::npos) << *problem;
  EXPECT_FALSE(CommandProblem("\"" + corvale::host::Utf8FromPath(script) + "\" /now", ""));
  EXPECT_FALSE(CommandProblem("ping -n 1 127.0.0.1", "")) << "found on PATH with PATHEXT";
  const auto bare = CommandProblem("pnig -n 1 127.0.0.1", "");
  ASSERT_TRUE(bare);
  EXPECT_NE(bare->find("in the folders of PATH"), std::string::npos) << *bare;
  EXPECT_FALSE(CommandProblem("exit /b 0", "")) << "cmd.exe's own";
  const auto relative = CommandProblem("Scripts\\down.cmd", "");
  ASSERT_TRUE(relative);
  EXPECT_NE(relative->find("full path"), std::string::npos);
}

TEST(WindowsPrograms, AProgramOthersMayChangeIsRefused) {
  // C:\Scripts inherits "Authenticated Users: Modify" from C:\: whoever changes the script
  // chooses what SYSTEM runs.
  const WindowsFolder folder(L"corvale-scripts");
  const auto script = folder.Write("down.cmd", "@exit 0\r\n");
  const std::string command = "\"" + corvale::host::Utf8FromPath(script) + "\"";
  EXPECT_FALSE(CommandProblem(command, ""));
  ASSERT_TRUE(corvale::testing::LetEveryoneChange(folder.Path()));
  const auto problem = CommandProblem(command, "");
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("Everyone may change it"), std::string::npos) << *problem;
  EXPECT_NE(problem->find("icacls"), std::string::npos) << "and how to mend it: " << *problem;
}

TEST(WindowsPrograms, AScriptNamedAmongTheArgumentsIsHeldToTheSameRule) {
  // cmd.exe's own words and other programs run a script named after them, as SYSTEM too.
  const WindowsFolder folder(L"corvale-script-arguments");
  const std::string script = corvale::host::Utf8FromPath(folder.Write("down.cmd", "@exit 0\r\n"));
  const std::vector<std::string> commands = {
      "call " + script,
      "call \"" + script + "\" /now",
      "cmd /c " + script,
      "start \"\" " + script,
      "ping -File " + script,
      "ping -File:" + script,
      "ping -n 1 127.0.0.1 & " + script,
  };
  for (const auto& command : commands) EXPECT_FALSE(CommandProblem(command, "")) << command;
  ASSERT_TRUE(corvale::testing::LetEveryoneChange(folder.Path()));
  for (const auto& command : commands) {
    const auto problem = CommandProblem(command, "");
    ASSERT_TRUE(problem) << command;
    EXPECT_NE(problem->find("Everyone may change it"), std::string::npos) << *problem;
  }
  EXPECT_FALSE(CommandProblem("ping -n 1 127.0.0.1 >" + script, "")) << "written, never run";
  EXPECT_FALSE(CommandProblem("echo %TEMP%\\x.cmd", "")) << "cmd.exe's to expand";
}

}  // namespace
