// Whether the service's account may use what the configuration names, checked before it is
// needed: the programs it runs, the files it reads and writes.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <set>
#include <vector>

#include "host/host_os.h"

namespace corvale::host {

namespace {

// The shell's own words: nothing on the disk to check.
bool ShellBuiltin(const std::string& word) {
  static const std::set<std::string> kBuiltins = {
      ".",     ":",     "[",    "alias",  "break", "cd",   "command", "continue", "echo",
      "eval",  "exec",  "exit", "export", "false", "if",   "printf",  "read",     "return",
      "set",   "shift", "test", "times",  "trap",  "true", "type",    "ulimit",   "umask",
      "unset", "wait",  "for",  "while",  "until", "case", "{",       "(",        "!"};
  return kBuiltins.count(word) != 0;
}

// The first word of a command as the shell would run it, past VAR=value assignments; nothing
// when quoting, expansion or redirection make it the shell's to decide.
std::optional<std::string> ProgramWord(const std::string& command) {
  std::size_t at = 0;
  while (true) {
    at = command.find_first_not_of(" \t", at);
    if (at == std::string::npos) return std::nullopt;
    const std::size_t end = std::min(command.find_first_of(" \t;&|<>", at), command.size());
    std::string word = command.substr(at, end - at);
    if (word.empty() || word.find_first_of("'\"\\$`*?~") != std::string::npos) {
      return std::nullopt;
    }
    const auto equals = word.find('=');
    if (equals != std::string::npos && equals > 0 && word.find('/') > equals) {
      at = end;  // an assignment for the command that follows
      continue;
    }
    return word;
  }
}

// The user the command runs as: its uid and every group it is in.
struct Runner {
  uid_t uid = 0;
  std::vector<gid_t> groups;
  std::string name;
};

// `user`, or where there is no such account (a copy not installed), whoever runs this.
std::optional<Runner> FindRunner(const std::string& user) {
  if (user.empty()) return Runner{0, {0}, "root"};
  const passwd* entry = getpwnam(user.c_str());
  if (entry == nullptr) entry = getpwuid(geteuid());
  if (entry == nullptr) return std::nullopt;
  Runner runner{entry->pw_uid, {}, entry->pw_name};
  const gid_t primary = entry->pw_gid;  // before another look-up reuses the entry
  int count = 64;
  runner.groups.resize(static_cast<std::size_t>(count));
  if (getgrouplist(runner.name.c_str(), primary, runner.groups.data(), &count) < 0) {
    runner.groups.resize(static_cast<std::size_t>(count));
    getgrouplist(runner.name.c_str(), primary, runner.groups.data(), &count);
  }
  runner.groups.resize(static_cast<std::size_t>(count));
  return runner;
}

// Whether `runner` may do `what` (read 4, write 2, execute 1) with what `status` describes.
bool May(const Runner& runner, const struct stat& status, unsigned what = 1) {
  const unsigned owner = what << 6, group = what << 3, other = what;
  if (runner.uid == 0) {
    // Root reads and writes anything, and executes what anyone may.
    return what != 1 || (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  }
  if (status.st_uid == runner.uid) return (status.st_mode & owner) == owner;
  for (const gid_t member : runner.groups) {
    if (member == status.st_gid) return (status.st_mode & group) == group;
  }
  return (status.st_mode & other) == other;
}

// The first folder on the way to `path` that `runner` may not pass through.
std::optional<std::filesystem::path> ClosedFolder(const Runner& runner,
                                                  const std::filesystem::path& path) {
  for (auto folder = path.parent_path(); !folder.empty() && folder != folder.root_path();
       folder = folder.parent_path()) {
    struct stat status {};
    if (stat(folder.c_str(), &status) == 0 && !May(runner, status)) return folder;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> CommandProblem(const std::string& command, const std::string& user) {
  const auto word = ProgramWord(command);
  if (!word || ShellBuiltin(*word)) return std::nullopt;
  std::filesystem::path program = *word;
  if (word->find('/') == std::string::npos) {
    // The search path systemd gives its services.
    constexpr const char* kSearchPath[] = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                           "/usr/bin",        "/sbin",          "/bin"};
    program.clear();
    for (const char* folder : kSearchPath) {
      const auto candidate = std::filesystem::path(folder) / *word;
      if (access(candidate.c_str(), F_OK) == 0) {
        program = candidate;
        break;
      }
    }
    if (program.empty()) {
      return "there is no program \"" + *word +
             "\" in /usr/local/sbin, /usr/local/bin, /usr/sbin, /usr/bin, /sbin or /bin; give its "
             "full path";
    }
  } else if (!program.is_absolute()) {
    return "\"" + *word + "\" is a relative path: give the program's full path";
  }
  struct stat status {};
  if (stat(program.c_str(), &status) != 0) {
    if (errno != EACCES) return "there is no program " + program.string();
    // Behind a folder this process may not enter: root may (the service's own check of the
    // shutdown command, which root's helper runs), anybody else may not.
    if (user.empty()) return std::nullopt;
    const auto runner = FindRunner(user);
    const auto closed = runner ? ClosedFolder(*runner, program) : std::nullopt;
    return program.string() + " may not be run by " + (runner ? runner->name : user) +
           (closed
                ? ": it may not enter " + closed->string() + " (chmod o+x " + closed->string() + ")"
                : ": permission denied");
  }
  if (!S_ISREG(status.st_mode)) return program.string() + " is not a program (not a file)";
  const auto runner = FindRunner(user);
  if (!runner) return std::nullopt;
  if ((status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
    return program.string() + " is not a program (no one may execute it; if it is a script, " +
           "chmod 755 " + program.string() + ")";
  }
  if (!May(*runner, status)) {
    return program.string() + " may not be run by " + runner->name +
           ", who runs this command: let it execute the file (chmod o+x " + program.string() + ")";
  }
  if (const auto closed = ClosedFolder(*runner, program)) {
    return program.string() + " may not be run by " + runner->name + ": it may not enter " +
           closed->string() + " (chmod o+x " + closed->string() + ")";
  }
  return std::nullopt;
}

std::optional<std::string> AccessProblem(const std::string& path, const std::string& user,
                                         bool writing) {
  const auto runner = FindRunner(user);
  if (!runner || runner->uid == 0) return std::nullopt;
  const std::filesystem::path file = std::filesystem::absolute(path);
  if (const auto closed = ClosedFolder(*runner, file)) {
    return runner->name + " may not enter " + closed->string() + " on the way to " + path;
  }
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) {
    if (!writing) return std::nullopt;  // whoever reads it says it is missing
    // It will be created: the folder must let the user write.
    struct stat folder {};
    if (stat(file.parent_path().c_str(), &folder) == 0 && !May(*runner, folder, 3)) {
      return runner->name + " may not create " + path + " in " + file.parent_path().string() +
             ": chown " + runner->name + ": " + file.parent_path().string();
    }
    return std::nullopt;
  }
  if (May(*runner, status, writing ? 2 : 4)) return std::nullopt;
  const group* owner = getgrgid(status.st_gid);
  const passwd* who = getpwuid(status.st_uid);
  const std::string owners = std::string(who != nullptr ? who->pw_name : "?") + ":" +
                             (owner != nullptr ? owner->gr_name : "?");
  if (writing) {
    return runner->name + " may not write " + path + " (owned by " + owners +
           "; was the service run by hand as root?): chown " + runner->name + ": " + path;
  }
  return runner->name + " may not read " + path + " (owned by " + owners +
         "): let root write it and the service read it: chown root:" + runner->name + " " + path +
         " && chmod 640 " + path;
}

std::optional<std::string> PortAccessProblem(const std::string& device, const std::string& user) {
  const passwd* self = user.empty() ? getpwuid(geteuid()) : nullptr;
  const auto runner = FindRunner(self != nullptr ? std::string(self->pw_name) : user);
  struct stat status {};
  if (!runner || runner->uid == 0 || stat(device.c_str(), &status) != 0) return std::nullopt;
  if (May(*runner, status, 6)) return std::nullopt;
  const group* owner = getgrgid(status.st_gid);
  const std::string groupName =
      owner != nullptr ? owner->gr_name : "gid " + std::to_string(status.st_gid);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  const std::string prefix =
      runner->name + " may not open " + device + " (group " + groupName + ", mode " + mode + "): ";
  const bool groupMay = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  // Groups that reach what root runs or reads (its files, the disks, the journal, containers):
  // joining one would hand the network-facing account far more than a serial port.
  static const std::set<std::string> kPrivileged = {
      "root",  "sudo", "wheel", "adm",    "admin", "disk",    "shadow",
      "staff", "kmem", "sys",   "docker", "lxd",   "libvirt", "systemd-journal"};
  const std::string udev =
      "give the port to the dialout group with a udev rule (GROUP=\"dialout\", "
      "MODE=\"0660\"; for a test, chgrp dialout " +
      device + " && chmod 0660 " + device + ")";
  if (status.st_gid == 0 || kPrivileged.count(groupName) != 0) {
    return prefix +
           "the device belongs to a privileged group, which the service's account must "
           "never join; " +
           udev;
  }
  if (!groupMay) {
    return prefix + "its mode shuts its group out, so joining the group would not help; " + udev;
  }
  return prefix + "add " + runner->name + " to the group " + groupName + ": sudo usermod -aG " +
         groupName + " " + runner->name + ", then restart the service";
}

std::string ServiceAccount() {
  return "corvale-ups";  // User= of the unit
}

}  // namespace corvale::host
