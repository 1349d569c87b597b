// Whether the service may trust and run what the configuration names: who else may change a file
// or folder, and the program a command runs, found as cmd.exe finds it.
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_os.h"
#include "host/utf8_path.h"
#include "host/windows/command_line.h"
#include "host/windows/file_access.h"
#include "host/windows/wide_text.h"

namespace corvale::host {

namespace {

namespace fs = std::filesystem;

struct LocalFreed {
  void operator()(void* memory) const { LocalFree(memory); }
};

using Sid = std::vector<BYTE>;

Sid WellKnown(WELL_KNOWN_SID_TYPE type) {
  Sid sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
  sid.resize(size);
  return sid;
}

Sid FromText(const wchar_t* text) {
  PSID converted = nullptr;
  if (!ConvertStringSidToSidW(text, &converted)) return {};
  const std::unique_ptr<void, LocalFreed> owned(converted);
  const auto* bytes = static_cast<const BYTE*>(converted);
  return Sid(bytes, bytes + GetLengthSid(converted));
}

// The account this process runs as: SYSTEM for the service, the administrator who runs a command.
Sid OwnAccount() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  Sid sid;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
    const PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    const auto* bytes = static_cast<const BYTE*>(user);
    sid.assign(bytes, bytes + GetLengthSid(user));
  }
  CloseHandle(token);
  return sid;
}

bool Matches(const void* sid, const Sid& known) {
  return !known.empty() && EqualSid(const_cast<void*>(sid), const_cast<BYTE*>(known.data()));
}

// SYSTEM, the Administrators, TrustedInstaller (which owns Windows' own files), this process's own
// account, and OWNER RIGHTS (what the owner, checked on its own, may do).
bool Trusted(const void* sid) {
  static const Sid kTrusted[] = {
      WellKnown(WinLocalSystemSid),
      WellKnown(WinBuiltinAdministratorsSid),
      FromText(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"),
      OwnAccount(),
      FromText(L"S-1-3-4"),
  };
  return std::any_of(std::begin(kTrusted), std::end(kTrusted),
                     [&](const Sid& known) { return Matches(sid, known); });
}

// CREATOR OWNER and CREATOR GROUP stand for whoever makes a file or folder there: that account
// takes their place, and who may make anything is checked by the entries of its own.
bool Creator(const void* sid) {
  static const Sid kCreators[] = {WellKnown(WinCreatorOwnerSid), WellKnown(WinCreatorGroupSid)};
  return std::any_of(std::begin(kCreators), std::end(kCreators),
                     [&](const Sid& known) { return Matches(sid, known); });
}

// "BUILTIN\Users", "PC\bob", or the SID itself when no name is known.
std::string AccountName(const void* sid) {
  wchar_t name[256], domain[256];
  DWORD nameSize = 256, domainSize = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, const_cast<void*>(sid), name, &nameSize, domain, &domainSize,
                        &use)) {
    return Utf8(domainSize > 0 && domain[0] != L'\0' ? std::wstring(domain) + L"\\" + name
                                                     : std::wstring(name));
  }
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(const_cast<void*>(sid), &text)) return "an unknown account";
  const std::unique_ptr<void, LocalFreed> owned(text);
  return Utf8(text);
}

// Rights that change a file or what a folder holds (writing, adding, removing, taking over), and
// the part of them that removes, renames or takes over what a folder above holds.
constexpr ACCESS_MASK kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                                 WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK kReplaces =
    FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
constexpr ACCESS_MASK kReads = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

// Allowed and denied entries share their layout: the mask, then the SID.
struct Entry {
  BYTE type;
  BYTE flags;
  ACCESS_MASK mask;
  const void* sid;
};
std::vector<Entry> Entries(const ACL* dacl) {
  std::vector<Entry> entries;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* found = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), index, &found)) break;
    const auto* header = static_cast<const ACE_HEADER*>(found);
    const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(found);
    entries.push_back({header->AceType, header->AceFlags, entry->Mask, &entry->SidStart});
  }
  return entries;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(separator, start), text.size());
    std::string part = text.substr(start, end - start);
    part.erase(std::remove(part.begin(), part.end(), '"'), part.end());
    if (!part.empty()) parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Variable(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD length = GetEnvironmentVariableW(name, value, sizeof value / sizeof value[0]);
  return length > 0 && length < sizeof value / sizeof value[0] ? Utf8(value) : std::string();
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// "C:\..." or "\\server\share\...": cmd.exe would take anything else from its current folder.
bool Absolute(const std::string& path) {
  return (path.size() > 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
          (path[2] == '\\' || path[2] == '/')) ||
         path.rfind("\\\\", 0) == 0;
}

}  // namespace

std::optional<std::string> WhoElseMayChange(const SID* owner, const ACL* dacl, Guard guard) {
  if (owner != nullptr && !Trusted(owner)) return "it is owned by " + AccountName(owner);
  if (dacl == nullptr) return std::string("it has no access list: everybody may change it");
  for (const Entry& entry : Entries(dacl)) {
    const bool inheritOnly = (entry.flags & INHERIT_ONLY_ACE) != 0;
    // An entry only for what is made inside applies to nothing a folder above already holds.
    if (guard == Guard::kAbove && inheritOnly) continue;
    if (entry.type == ACCESS_DENIED_ACE_TYPE) {
      // Denials only take rights away, but none is in a folder an administrator made for the
      // service: one that locks the service out of its own files was put there by somebody.
      if (guard == Guard::kWhole) {
        return "it has an entry denying " + AccountName(entry.sid) +
               " access, which no folder or file of the service's has";
      }
      continue;
    }
    if (entry.type != ACCESS_ALLOWED_ACE_TYPE) {
      if (guard == Guard::kAbove) continue;
      return "it has an access entry of a kind (" + std::to_string(entry.type) +
             ") that nothing here can judge";
    }
    if (Creator(entry.sid) || Trusted(entry.sid)) continue;
    if ((entry.mask & (guard == Guard::kWhole ? kChanges : kReplaces)) == 0) continue;
    if (guard == Guard::kAbove) {
      return AccountName(entry.sid) + " may remove, rename or take over what it holds";
    }
    return AccountName(entry.sid) +
           (inheritOnly ? " may change whatever is made in it" : " may change it");
  }
  return std::nullopt;
}

bool AclLetsOthersRead(const ACL* dacl) {
  if (dacl == nullptr) return true;
  const auto entries = Entries(dacl);
  for (std::size_t at = 0; at < entries.size(); ++at) {
    const Entry& entry = entries[at];
    if (entry.type != ACCESS_ALLOWED_ACE_TYPE || (entry.flags & INHERIT_ONLY_ACE) != 0 ||
        (entry.mask & kReads) == 0 || Trusted(entry.sid) || Creator(entry.sid)) {
      continue;
    }
    // Denied to the same account before: Windows stops at the denial.
    const bool deniedBefore =
        std::any_of(entries.begin(), entries.begin() + at, [&](const Entry& e) {
          return e.type == ACCESS_DENIED_ACE_TYPE && (e.flags & INHERIT_ONLY_ACE) == 0 &&
                 (e.mask & entry.mask & kReads) != 0 &&
                 EqualSid(const_cast<void*>(e.sid), const_cast<void*>(entry.sid));
        });
    if (!deniedBefore) return true;
  }
  return false;
}

std::optional<std::string> OthersMayChange(const fs::path& path, Guard guard, bool* missing) {
  if (missing != nullptr) *missing = false;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD result = GetNamedSecurityInfoW(path.wstring().c_str(), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                             &owner, nullptr, &dacl, nullptr, &descriptor);
  if (result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND) {
    if (missing != nullptr) *missing = true;
    return std::nullopt;
  }
  if (result != ERROR_SUCCESS) {
    return "who may change it cannot be read: " + ErrorText(result) + " (run as an administrator)";
  }
  const std::unique_ptr<void, LocalFreed> owned(descriptor);
  return WhoElseMayChange(static_cast<const SID*>(owner), dacl, guard);
}

std::optional<std::string> UntrustedProgramFile(const fs::path& file) {
  const fs::path absolute = file.is_absolute() ? file : fs::absolute(file);
  if (auto problem = OthersMayChange(absolute, Guard::kWhole)) {
    return Utf8FromPath(absolute) + ": " + *problem + "; the service, which runs it as SYSTEM, " +
           "would run what they put there. Let only the administrators change it: " +
           FileFix(Utf8FromPath(absolute));
  }
  // Its folder, whole: a program or DLL put beside it would be run or loaded with it.
  const fs::path folder = absolute.parent_path();
  if (auto problem = OthersMayChange(folder, Guard::kWhole)) {
    return Utf8FromPath(folder) + ", which holds " + Utf8FromPath(absolute) + ": " + *problem +
           ". Let only the administrators change it: " + FolderFix(Utf8FromPath(folder));
  }
  for (fs::path above = folder.parent_path(); above != above.parent_path();
       above = above.parent_path()) {
    if (auto problem = OthersMayChange(above, Guard::kAbove)) {
      return Utf8FromPath(above) + ", above " + Utf8FromPath(absolute) + ": " + *problem;
    }
  }
  if (auto problem = OthersMayChange(folder.root_path(), Guard::kAbove)) {
    return Utf8FromPath(folder.root_path()) + ", above " + Utf8FromPath(absolute) + ": " + *problem;
  }
  return std::nullopt;
}

std::string FolderFix(const std::string& folder) {
  return "icacls \"" + folder + "\" /setowner *S-1-5-32-544 && icacls \"" + folder +
         "\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F "
         "*S-1-5-32-545:(OI)(CI)RX";
}

std::string FileFix(const std::string& file) {
  return "icacls \"" + file + "\" /setowner *S-1-5-32-544 && icacls \"" + file +
         "\" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F *S-1-5-32-545:RX";
}

std::wstring ShellPath(const std::wstring& windowsFolder, bool underWow64) {
  return windowsFolder + (underWow64 ? L"\\Sysnative\\cmd.exe" : L"\\System32\\cmd.exe");
}

std::wstring ShellCommandLine(const std::wstring& shell, const std::wstring& command) {
  return L"\"" + shell + L"\" /d /s /c \"" + command + L"\"";
}

bool CmdBuiltin(const std::string& word) {
  static const char* const kBuiltins[] = {
      "assoc",    "break",  "call",  "cd",   "chdir",    "cls",    "color",  "copy",   "date",
      "del",      "dir",    "dpath", "echo", "endlocal", "erase",  "exit",   "for",    "ftype",
      "goto",     "if",     "keys",  "md",   "mkdir",    "mklink", "move",   "path",   "pause",
      "popd",     "prompt", "pushd", "rd",   "rem",      "ren",    "rename", "rmdir",  "set",
      "setlocal", "shift",  "start", "time", "title",    "type",   "ver",    "verify", "vol"};
  // cmd.exe also reads "echo." or "cd.." as its own words.
  const std::string name = Lower(word.substr(0, word.find_first_of(".,;=/+[]:(")));
  return std::any_of(std::begin(kBuiltins), std::end(kBuiltins),
                     [&](const char* builtin) { return name == builtin; });
}

std::optional<std::string> CommandProgram(const std::string& command) {
  std::size_t at = command.find_first_not_of(" \t@(");
  if (at == std::string::npos) return std::nullopt;
  std::string word;
  if (command[at] == '"') {
    const std::size_t end = command.find('"', at + 1);
    if (end == std::string::npos) return std::nullopt;
    word = command.substr(at + 1, end - at - 1);
  } else {
    const std::size_t end = std::min(command.find_first_of(" \t&|<>()", at), command.size());
    word = command.substr(at, end - at);
  }
  // Expanded or escaped when it runs: cmd.exe's to decide.
  if (word.empty() || word.find_first_of("%!^") != std::string::npos) return std::nullopt;
  return word;
}

std::optional<std::string> FindProgram(const std::string& word,
                                       const std::vector<std::string>& searchPath,
                                       const std::vector<std::string>& extensions,
                                       bool (*exists)(const std::string& path)) {
  const std::size_t name = word.find_last_of("\\/:");
  const bool path = name != std::string::npos;
  const bool hasExtension = word.find('.', path ? name : 0) != std::string::npos;
  std::vector<std::string> names;
  if (hasExtension) names.push_back(word);
  for (const auto& extension : extensions) names.push_back(word + extension);
  std::vector<std::string> folders = path ? std::vector<std::string>{""} : searchPath;
  for (const auto& folder : folders) {
    for (const auto& candidate : names) {
      std::string full = candidate;
      if (!folder.empty()) {
        full = folder + (folder.back() == '\\' || folder.back() == '/' ? "" : "\\") + candidate;
      }
      if (exists(full)) return full;
    }
  }
  return std::nullopt;
}

namespace {

// The words of a command after its first, unquoted: any may name a script that is run ("call X",
// "cmd /c X", "start X", "powershell -File X", "a & X"). A word after a redirection is written
// or read, never run: left out.
std::vector<std::string> ArgumentWords(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, started = false, first = true, redirected = false;
  const auto end = [&] {
    if (started && !first && !redirected) words.push_back(word);
    if (started) first = redirected = false;
    word.clear();
    started = false;
  };
  for (const char c : command) {
    if (c == '"') {
      quoted = !quoted;
      started = true;
    } else if (!quoted && std::string_view(" \t&|()<>").find(c) != std::string_view::npos) {
      end();
      redirected = redirected || c == '<' || c == '>';
    } else {
      word += c;
      started = true;
    }
  }
  end();
  return words;
}

// A script named among the arguments is run by SYSTEM as surely as the program itself.
std::optional<std::string> ArgumentProblem(const std::string& command) {
  for (std::string word : ArgumentWords(command)) {
    if (word.find_first_of("%!^") != std::string::npos) continue;  // cmd.exe's to expand
    if (word.starts_with('/') || word.starts_with('-')) {
      // An option ("/c", "-File"), or one with its value ("-File:C:\x.ps1").
      const std::size_t colon = word.find(':');
      if (colon == std::string::npos) continue;
      word = word.substr(colon + 1);
    }
    // A full path, there or not (whoever may write its folder may put it there), or a file
    // named from the current folder.
    if (word.empty() || (!Absolute(word) && !IsFile(word))) continue;
    if (auto problem = UntrustedProgramFile(PathFromUtf8(word))) return problem;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> CommandProblem(const std::string& command, const std::string&) {
  const auto word = CommandProgram(command);
  if (!word) return std::nullopt;
  if (auto problem = ArgumentProblem(command)) return problem;
  if (CmdBuiltin(*word)) return std::nullopt;
  const bool path = word->find_first_of("\\/:") != std::string::npos;
  if (path && !Absolute(*word)) {
    return "\"" + *word + "\" is a relative path: give the program's full path";
  }
  std::vector<std::string> extensions = Split(Variable(L"PATHEXT"), ';');
  if (extensions.empty()) extensions = {".COM", ".EXE", ".BAT", ".CMD"};
  const auto found = FindProgram(
      *word, path ? std::vector<std::string>{} : Split(Variable(L"PATH"), ';'), extensions, IsFile);
  if (!found) {
    std::string endings;
    for (const auto& extension : extensions) endings += (endings.empty() ? "" : " ") + extension;
    if (path)
      return "there is no program " + *word + " (nor with an ending of PATHEXT: " + endings + ")";
    return "there is no program \"" + *word +
           "\" in the folders of PATH with an ending of PATHEXT (" + endings +
           "); give its full path";
  }
  return UntrustedProgramFile(PathFromUtf8(*found));
}

// The service runs as LocalSystem, which reads and writes what the administrators may.
std::optional<std::string> AccessProblem(const std::string&, const std::string&, bool) {
  return std::nullopt;
}

std::optional<std::string> PortAccessProblem(const std::string&, const std::string&) {
  return std::nullopt;
}

std::string ServiceAccount() {
  return "";  // LocalSystem
}

}  // namespace corvale::host
