// What the in-process Windows tests share: a folder of their own, files in it, and what another
// account could do to them.
#pragma once

#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "host/utf8_path.h"

namespace corvale::testing {

// A new folder under the temporary folder, removed with what it holds.
class WindowsFolder {
 public:
  explicit WindowsFolder(const std::wstring& name = L"corvale") {
    wchar_t temporary[MAX_PATH];
    GetTempPathW(MAX_PATH, temporary);
    path_ =
        std::filesystem::path(temporary) /
        (name + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++count_));
    std::filesystem::create_directories(path_);
  }
  ~WindowsFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  WindowsFolder(const WindowsFolder&) = delete;
  WindowsFolder& operator=(const WindowsFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string Utf8() const { return host::Utf8FromPath(path_); }
  // `text` in the file `name` (UTF-8 name), made with the folders it needs.
  std::filesystem::path Write(const std::string& name, const std::string& text) const {
    const auto file = path_ / host::PathFromUtf8(name);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

 private:
  std::filesystem::path path_;
  static inline int count_ = 0;
};

// Gives Everyone every right on `path`, as a careless administrator or another account that owns
// it could. (Wine keeps no access list, but turns this one into the Unix mode 0777.)
inline bool LetEveryoneChange(const std::filesystem::path& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor,
          nullptr)) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const DWORD result =
      SetNamedSecurityInfoW(const_cast<wchar_t*>(path.wstring().c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  return result == ERROR_SUCCESS;
}

// How many processes run the program `name` ("PING.EXE"), told by its file name.
inline int ProcessesNamed(const std::wstring& name) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (bool more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, name.c_str()) == 0) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace corvale::testing
