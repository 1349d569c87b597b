// corvale-ups.exe: the UPS monitor service for CorvaleUPS.dll on today's Windows.
#include "cli/commands.h"

// The command line as Windows keeps it, in UTF-16, for a path beyond the system's code page
// ("C:\Störung\corvale-ups.toml"); the host takes UTF-8.
int wmain(int argc, wchar_t** argv) {
  return corvale::RunWindowsCommandLine(argc, argv);
}
