// How a configured command becomes a process on Windows, reachable for tests: which cmd.exe runs
// it, the line it is given, and how the program it names is found.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvale::host {

// cmd.exe in the system's own folder under `windowsFolder`. A 32-bit service under WOW64 sees
// SysWOW64 as System32; Sysnative reaches the real one, so that its commands run 64-bit (64-bit
// tools, the registry's own view, PROCESSOR_ARCHITECTURE as the machine's).
std::wstring ShellPath(const std::wstring& windowsFolder, bool underWow64);

// The line that has `shell` run `command` exactly as written: /d skips the AutoRun commands of the
// registry, and with /s /c cmd takes what lies between the first and the last quote verbatim, so
// that a command with quotes of its own keeps them.
std::wstring ShellCommandLine(const std::wstring& shell, const std::wstring& command);

// The first word of a command as cmd.exe would run it (quotes taken off), or nothing when cmd
// decides at run time (a variable, an escape) or there is no word.
std::optional<std::string> CommandProgram(const std::string& command);

// True for the words cmd.exe runs itself (echo, exit, ...): there is no program to find.
bool CmdBuiltin(const std::string& word);

// The file cmd.exe would run for `word`, as it looks: a path as given (or with each ending of
// `extensions` added when it has none it knows); a bare name in each folder of `searchPath`, with
// the endings of `extensions`. `exists` tells whether a file is there. Nothing when none is.
std::optional<std::string> FindProgram(const std::string& word,
                                       const std::vector<std::string>& searchPath,
                                       const std::vector<std::string>& extensions,
                                       bool (*exists)(const std::string& path));

}  // namespace corvale::host
