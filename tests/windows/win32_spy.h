// Holds this test program's own Win32 calls to what Windows documents, where Wine does not: its
// import slots for a few calls are pointed at stand-ins that check the preconditions, answer as
// Windows would, and note what they were given. Only for the tests: nothing here is linked into
// the service.
//   InitiateSystemShutdownExW  needs the shutdown privilege enabled; while a countdown is under way
//                              (as `shutdown /r /t 3600` leaves one) fails with 1190
//                              (ERROR_SHUTDOWN_IS_SCHEDULED); otherwise noted, and nothing is shut
//                              down
//   AbortSystemShutdownW       needs the privilege; ends the countdown, or fails with 1116 when
//                              there is none
//   bind                       a second socket with SO_REUSEADDR may bind the port another one
//                              listens on, unless that one holds it with SO_EXCLUSIVEADDRUSE
//   ReportEventW, ReportEventA noted, texts as UTF-8, instead of written to Wine's log
//   AssignProcessToJobObject   fails with ERROR_ACCESS_DENIED once RefuseJobs is called, as on
//                              Windows 7 for a program already in a job that allows no other
//   the service manager's calls, once FakeService is called: a service that starts, then stops,
//                              over a few queries each; ControlService refuses a stop while it is
//                              starting (ERROR_SERVICE_CANNOT_ACCEPT_CTRL), and DeleteService
//                              notes the state it found
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace corvale::testing::spy {

// Points this program's import slots at the stand-ins; `missing` names the calls this program
// does not import (and so never makes). True once in place.
bool Install(std::string* missing);

struct ShutdownCall {
  std::wstring message;
  DWORD timeout;
  bool force;
  bool reboot;
  DWORD reason;
};
void ScheduleShutdown();  // a countdown under way, as another program left it
bool ShutdownScheduled();
std::vector<ShutdownCall> ShutdownCalls();

struct LoggedEvent {
  bool wide;  // ReportEventW, not ReportEventA
  WORD type;
  DWORD id;
  std::string text;  // UTF-8
};
std::vector<LoggedEvent> LoggedEvents();

// From now on the service manager has one service, which reports START_PENDING for
// `startingQueries` queries, then runs; a stop makes it STOP_PENDING for `stoppingQueries`
// queries, then STOPPED.
void FakeService(int startingQueries, int stoppingQueries);
// The states the fake service was in when each call was made: "query START_PENDING",
// "stop RUNNING", "delete STOPPED", ...
std::vector<std::string> ServiceCalls();

// From now on no process may be put in a job object.
void RefuseJobs();

// Forgets what was noted, any countdown, the fake service and refused jobs.
void Reset();

}  // namespace corvale::testing::spy
