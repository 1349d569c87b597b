// What the host needs of the operating system besides the driver: running commands in the
// background, waiting for a request to stop, and talking to the service manager. Portable
// declarations; one implementation per OS (posix/host_os_posix.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvale::host {

using Environment = std::vector<std::pair<std::string, std::string>>;

struct ExitStatus {
  bool signalled = false;
  int code = 0;  // the exit status, or the signal's number (0: ended where there are no signals)
  // "exit status 3", "killed by signal 9", "killed"
  std::string Describe() const;
};

class RunningCommand {
 public:
  virtual ~RunningCommand() = default;
  // How it ended, or nothing while it runs. Never blocks.
  virtual std::optional<ExitStatus> Poll() = 0;
  // Asks it and everything it started to end (SIGTERM); Windows has no such request and ends them.
  virtual void Terminate() = 0;
  // Ends it and everything it started.
  virtual void Kill() = 0;
};

// Starts `command` through the system's shell, with `extra` added to this process's environment,
// its input empty and its output on ours. Nothing, with `error` set, when it cannot start.
std::unique_ptr<RunningCommand> StartCommand(const std::string& command, const Environment& extra,
                                             std::string* error);

// This machine is going down and the service stops: the connection `socket` (a native socket,
// which the caller then closes without shutting it down) is kept open by a small process of its
// own until the system ends every process as its last step, or `atMost` has passed, so that the
// peer sees it close as the machine goes down rather than as the service stops. False, with
// `why`, where that cannot be (Windows: the connection ends with the service's process). The
// holder's process ID.
std::optional<std::int64_t> HoldConnectionToTheEnd(std::intptr_t socket,
                                                   std::chrono::seconds atMost, std::string* why);

// Makes SIGTERM and SIGINT (or their equivalents) requests to stop, and SIGHUP a request to
// read the configuration again. Call before any thread starts.
void CatchStopRequests();
// Blocks until a stop is requested (a reload request counts as one), or WakeStopWaiter is called.
void WaitForStopRequest();
void WakeStopWaiter();
// Blocks until the service is asked to stop (as WaitForStopRequest) or to read its configuration
// again (SIGHUP, `systemctl reload`; a Windows service's PARAMCHANGE).
enum class ServiceRequest { kStop, kReload };
ServiceRequest WaitForServiceRequest();

// True when a service manager started us and reads our standard error as its log.
bool UnderServiceManager();
// Writes one line to the service manager's log (the journal, the Windows Event Log) with a
// syslog priority (2 critical to 6 info) and its message ID (log.h; the journal has no use for it).
void WriteServiceLog(int priority, const std::string& message, int messageId);
// Tells the service manager "READY=1", "STOPPING=1" and so on; nothing without one.
void NotifyServiceManager(const std::string& state);

std::string DefaultConfigPath();
// True with the rights to shut the system down and write the flag (root, or a Windows service).
bool RunningAsAdministrator();
// A folder opened once, without following links, and worked on through that handle alone: names
// in it are never followed out of it. Root writes only in folders that only root may write.
class Folder {
 public:
  struct Entry {
    std::string name;
    bool regularFile = false;     // not a link, FIFO, folder or device
    std::chrono::seconds age{0};  // since it was last changed; negative when in the future
  };
  virtual ~Folder() = default;
  // Up to `limit` names, "." and ".." left out; the folder's order, not sorted.
  virtual std::vector<Entry> List(std::size_t limit) = 0;
  // Removes `name`, a folder with what it holds too (within bounds); true when this call
  // removed it, false when it was gone already or could not be removed.
  virtual bool Remove(const std::string& name) = 0;
  // Makes an empty file `name` that was not there before; false when it was, or on failure.
  virtual bool Create(const std::string& name, std::string* error) = 0;
  // Puts `contents` at `name` whole: written to a new file, then renamed over whatever was
  // there (a link, FIFO or file is replaced, never written through; an empty folder removed).
  // `secret`: only its owner may read it (it holds passwords).
  virtual bool Replace(const std::string& name, const std::string& contents, std::string* error,
                       bool secret = false) = 0;
  // Gives the regular file `from` the name `to` in one step, in place of whatever was there (a
  // link at `to` is replaced, never followed); false when `from` is missing or no regular file,
  // or on failure, with `error` set (left empty when `from` is missing).
  virtual bool Rename(const std::string& from, const std::string& to, std::string* error) = 0;
  // The contents of `name` when it is a regular file that only the administrator wrote (owned by
  // root, not a link, no other name) of at most `limit` bytes. Nothing otherwise, with `why` set
  // to the reason, or left empty when there is no such name.
  virtual std::optional<std::string> ReadOwnFile(const std::string& name, std::size_t limit,
                                                 std::string* why) = 0;
};
// Opens the folder `path`. `rootOnly`: it and every folder above it may be written by the
// administrator alone (as sshd's StrictModes; a sticky folder such as /tmp may be above it), else
// nothing with `why` saying who else may write it and how to fix it. `create`: the last folder is
// made (0755) when it is missing.
std::unique_ptr<Folder> OpenFolder(const std::string& path, bool rootOnly, bool create,
                                   std::string* why);
// Why root may not write in the folder `path` (see OpenFolder); nothing when it may, or when the
// folder does not exist yet but what would hold it may be trusted.
std::optional<std::string> UntrustedFolder(const std::string& path);
// Why the service may not trust its own file at `path` (the history, with the outbox beside it):
// on Windows, where it runs as the system's account in a folder of the administrators', another
// account could have made, forged or locked it, or may change the folder. Nothing on POSIX,
// where the service's own account keeps its state in a folder of its own.
std::optional<std::string> UntrustedStateFile(const std::string& path);
// Makes the folder of the configuration and the service's files the administrators' own (on
// Windows %ProgramData%\Corvale, made or taken back, with an access list of its own); true where
// there is nothing to do (POSIX: the package makes its folders).
bool PrepareDataFolder(std::string* error);
// Writes a new file (never one that exists) that only the system and the administrators may
// read or change (POSIX: its owner alone): a configuration that holds a password.
bool WriteSecretFile(const std::string& path, const std::string& text, std::string* error);
// Why the installed root helper would not answer the service now (its systemd path unit is not
// active), with how to mend it; nothing where it would, or where nobody can tell.
std::optional<std::string> InstalledHelperProblem();
// Where an unprivileged service leaves its requests, and where the root helper answers.
std::string DefaultRequestFolder();
std::string DefaultResultFolder();
// What shuts this system down, and where the flag for the power cut after it lives.
std::string DefaultShutdownCommand();
std::string DefaultFlagFile();

// Runs `body` as the system service `name` when the service manager started this program (it
// then hears the stop and shutdown requests), and plainly otherwise. Its exit code.
int RunAsService(const std::string& name, const std::function<int()>& body);
// Called when the system is shutting down, before the stop request (Windows: SHUTDOWN, the last
// notice a service gets, after the pre-shutdown phase); never on POSIX, where the shutdown hook
// runs kill-power instead.
void OnSystemShutdown(std::function<void()> action);
// Called when the machine has woken from sleep or hibernation (Windows: the service's power
// event), on the service manager's thread; an empty action ends the calls, and once it has
// returned none is under way. Never on POSIX.
void OnResumeFromSleep(std::function<void()> action);
// Shuts the system down now without a command; false with `error` set where there is no such
// call. A shutdown already counting down (scheduled by an administrator or an installer, which
// would come too late or be cancelled) is aborted first, and `notice` says so.
bool ShutDownSystem(const std::string& reason, std::string* error, std::string* notice = nullptr);
// Why the shell command `command` cannot start its program as `user` (empty: the administrator):
// no such program, not a program, or that user may not run it. Nothing when it can, or when the
// shell decides (a builtin; quoting or expansion in the first word).
std::optional<std::string> CommandProblem(const std::string& command, const std::string& user);
// The account the installed service runs as, and so its hooks.
std::string ServiceAccount();
// Why `user` may not read (or write, creating it when missing) the file at `path`, with the fix;
// nothing when it may, or when there is no such account here.
std::optional<std::string> AccessProblem(const std::string& path, const std::string& user,
                                         bool writing);
// Why `user` may not open the serial device at `path`, with a fix that never has the account join
// a privileged group (root's, the disks', sudo's); nothing when it may, or with no such account.
// `user` empty: whoever runs this.
std::optional<std::string> PortAccessProblem(const std::string& path, const std::string& user);
// Registers and removes the system service that runs `service --config FILE`, on Windows. An
// existing service is brought up to date, keeping its start type (one disabled stays disabled).
// Removing stops it first, waiting for a start or stop under way; `wasRegistered` is false when
// there was nothing to remove.
bool InstallService(const std::string& name, const std::string& configPath, std::string* error);
bool RemoveService(const std::string& name, std::string* error, bool* wasRegistered = nullptr);
// True when the system service `name` runs (Windows); never where the service manager is systemd,
// as commands by hand there work on a registry of their own.
bool ServiceRunning(const std::string& name);

// What may keep the driver from its port or registry now but may come right later (a USB adapter
// not plugged in yet, a registry folder the service creates), in this system's words.
std::vector<std::string> SerialSetupWarnings(const std::string& devices,
                                             const std::string& registry, const std::string& port);
// What ups.port names here, with an example: "a device inside ups.devices ... (such as
// "ttyUSB0")", "a COM port ... (such as "COM3")".
const char* PortRule();

// Appends `data` to the file at `path` (created when missing, readable by the owner and group
// alone) and waits until it is on the disk, with the file's name in its folder when this created
// it; false with `error` set when any of that fails. Only a regular file is written: never through
// a link at `path`, never into a FIFO or a device (the service's account owns these folders).
bool AppendDurably(const std::string& path, const std::string& data, std::string* error);
// The same without waiting for the disk.
bool AppendToFile(const std::string& path, const std::string& data, std::string* error);
// A regular file open for reading.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  virtual std::uint64_t Size() = 0;
  // Up to `count` bytes from `offset`; fewer only at the end or when reading fails.
  virtual std::size_t ReadAt(std::uint64_t offset, char* into, std::size_t count) = 0;
};
// Opens the file at `path` for reading when it is a regular file: never through a link at `path`,
// never waiting on a FIFO or a device. Nothing otherwise, with `why` saying what is there instead,
// or left empty when nothing is.
std::unique_ptr<ReadableFile> OpenRegularFile(const std::string& path, std::string* why);
// Waits until the folder holding `path` has its entries on the disk (a file made, renamed or
// removed there); false with `error` set when that fails.
bool SyncFolderOf(const std::string& path, std::string* error);
// A system library loaded when first needed, so that a machine whose role never uses it (an agent,
// a service without notifications) neither maps it nor what it needs in turn. Never unloaded.
class SharedLibrary {
 public:
  virtual ~SharedLibrary() = default;
  // The address of `symbol`, or nullptr.
  virtual void* Find(const char* symbol) = 0;
};
// Nothing, with `error` set, when it cannot be loaded.
std::unique_ptr<SharedLibrary> LoadSharedLibrary(const std::string& name, std::string* error);
// This machine's name, as notices name it.
std::string MachineName();
// Where the power-event history lives: the service's state folder.
std::string DefaultHistoryFile();

// The most files this process may open once RaiseOpenFileLimit has run (the hard limit).
std::size_t OpenFileLimit();
// Raises the soft limit on open files to the hard one, for the most NUT clients.
void RaiseOpenFileLimit();

// The folders the installed service may write (its sandbox); empty where it may write anywhere.
std::vector<std::string> ServiceWritableFolders();

// Why the configuration file at `path` cannot be trusted, in the manner of sshd's StrictModes:
// anyone but the administrators may write it or a folder above it, and so choose the commands
// root runs (the service's own account and group are no exception); or it holds passwords
// (`passwords`) that others may read. Nothing when it can be trusted. The reason says how to
// fix it.
std::optional<std::string> UntrustedConfig(const std::string& path, bool passwords);
// Why the file at `path`, which holds a secret (a token, a password), may be read by others than
// the administrators and the service, as the configuration file may not when it holds one, with
// the fix; nothing when it may not, or when there is no such file.
std::optional<std::string> ExposedSecretFile(const std::string& path);

}  // namespace corvale::host
