// A Win32 handle closed when it goes, and the job object that keeps what the service starts from
// outliving it.
#pragma once

#include <windows.h>

#include <utility>

namespace corvale::host {

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  HANDLE release() { return std::exchange(handle_, nullptr); }
  void Close() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = nullptr;
  }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// A job whose processes all end when its last handle closes, even when the service crashes.
// Empty when it cannot be made; `failedStep` then names the step, and GetLastError says why.
inline HANDLE KillOnCloseJob(const char** failedStep) {
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) {
    *failedStep = "cannot make a job object for it";
    return nullptr;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    const DWORD code = GetLastError();
    CloseHandle(job);
    SetLastError(code);
    *failedStep = "cannot set up its job object";
    return nullptr;
  }
  return job;
}

}  // namespace corvale::host
