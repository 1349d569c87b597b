// Who besides the administrators may change a file or folder, by its owner and access list. The
// service runs as the system's own account and runs, loads and reads what the configuration names:
// it trusts only what SYSTEM, the Administrators, TrustedInstaller and its own account alone may
// change. The evaluation is apart from the files so that tests can hand it access lists of their
// own: Wine keeps none, and makes them up from the Unix mode.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

namespace corvale::host {

// How much of a file or folder nobody else may touch.
enum class Guard {
  // The file or folder itself: nobody else may change it, add to it (a folder), or be handed
  // rights to what is made in it; a deny entry means it is not as an administrator made it.
  kWhole,
  // A folder above one: nobody else may take it over, or remove or rename what it holds (creating
  // something new beside it is harmless, as in C:\ or ProgramData).
  kAbove,
};

// Why `owner` and `dacl` (null: no list at all, open to everybody) let another account change
// what they guard, in words ("it is owned by PC\bob", "BUILTIN\Users may change it"); nothing
// when only the trusted accounts may.
std::optional<std::string> WhoElseMayChange(const SID* owner, const ACL* dacl, Guard guard);

// True when an account other than the trusted ones may read under `dacl` (null: no list, open
// to all). Entries count in order, as Windows checks them: a denial before an allowance wins.
bool AclLetsOthersRead(const ACL* dacl);

// Why another account may change `path` as `guard` says; nothing when nobody may, or when there
// is no such file or folder (`missing` then set).
std::optional<std::string> OthersMayChange(const std::filesystem::path& path, Guard guard,
                                           bool* missing = nullptr);

// Why a program or library at `file` may be changed by another account: the file, the folder that
// holds it (where another program or DLL could be put beside it), every folder above.
std::optional<std::string> UntrustedProgramFile(const std::filesystem::path& file);

// The access list that the service's own folders get: SYSTEM and the Administrators may do
// anything, Users may read; nothing inherited. In SDDL.
inline constexpr wchar_t kDataFolderSecurity[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// What an administrator types to make a folder (or a file) so, by the accounts' SIDs, which every
// language of Windows knows.
std::string FolderFix(const std::string& folder);
std::string FileFix(const std::string& file);

}  // namespace corvale::host
