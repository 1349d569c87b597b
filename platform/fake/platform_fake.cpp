#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/fake/fake_platform.h"
#include "platform/platform.h"
#include "protocol/printable.h"

namespace fake {

namespace {
using Lock = std::lock_guard<std::recursive_mutex>;
}  // namespace

Platform& Fake() {
  static Platform platform;
  return platform;
}

std::string ReplyFor(std::uint16_t replyBits) {
  std::string reply = "$";
  for (int bit = 0; bit < 10; ++bit) reply += (replyBits & (1u << bit)) ? 'B' : 'A';
  reply += '\r';
  return reply;
}

void Platform::Reset() {
  Lock lock(mutex);
  openFails = buildSettingsFails = writeFails = false;
  applySettingsFailsAtCall = -1;
  scriptedReads.clear();
  lineInput.clear();
  ups = nullptr;
  keys.clear();
  keys[kServiceKey]["Port"] = RegistryValue{std::string("COM1\0", 5), false};
  keys[kStatusKey];
  failingOpens.clear();
  failingWrites.clear();
  calls.clear();
  recordCalls = true;
  nowMs = 0;
  openPorts = openKeys = closedHandleUses = 0;
  onSleep = nullptr;
  livePorts.clear();
  closedPorts.clear();
  liveKeys.clear();
  applyCalls = 0;
}

std::vector<std::string> Platform::CallsStartingWith(const std::string& prefix) {
  Lock lock(mutex);
  std::vector<std::string> found;
  for (const auto& call : calls) {
    if (call.rfind(prefix, 0) == 0) found.push_back(call);
  }
  return found;
}

std::vector<std::string> Platform::FramesWritten() {
  std::vector<std::string> frames;
  for (const auto& call : CallsStartingWith("SerialWrite ")) frames.push_back(call.substr(12));
  return frames;
}

std::vector<std::uint32_t> Platform::Sleeps() {
  std::vector<std::uint32_t> sleeps;
  for (const auto& call : CallsStartingWith("Sleep ")) {
    sleeps.push_back(static_cast<std::uint32_t>(std::stoul(call.substr(6))));
  }
  return sleeps;
}

std::vector<std::string> Platform::Published() {
  std::vector<std::string> published;
  for (const auto& call : CallsStartingWith("RegistrySet")) {
    // "RegistrySetDword Name value" -> "Name=value"
    const auto nameStart = call.find(' ') + 1;
    const auto nameEnd = call.find(' ', nameStart);
    published.push_back(call.substr(nameStart, nameEnd - nameStart) + "=" +
                        call.substr(nameEnd + 1));
  }
  return published;
}

void Platform::SetPort(const std::string& data) {
  Lock lock(mutex);
  keys[kServiceKey]["Port"] = RegistryValue{data, false};
}

std::string Platform::Value(const std::string& keyPath, const std::string& name) {
  Lock lock(mutex);
  auto key = keys.find(keyPath);
  if (key == keys.end()) return "<no key>";
  auto value = key->second.find(name);
  if (value == key->second.end()) return "<no value>";
  if (value->second.isDword) {
    std::uint32_t number;
    std::memcpy(&number, value->second.data.data(), 4);
    return std::to_string(number);
  }
  std::string text = value->second.data;
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

namespace {

void Record(const std::string& call) {
  if (Fake().recordCalls) Fake().calls.push_back(call);
}

// True when `port` is open; counts any use of a closed or unknown handle.
bool CheckPort(SerialHandle port) {
  Platform& p = Fake();
  if (p.livePorts.count(port)) return true;
  ++p.closedHandleUses;
  return false;
}

}  // namespace

}  // namespace fake

using fake::Fake;

SerialHandle SerialOpen(const char* name) {
  fake::Lock lock(Fake().mutex);
  fake::Record(std::string("SerialOpen ") + name);
  if (Fake().openFails) return kInvalidSerialHandle;
  const SerialHandle port = Fake().nextHandle++;
  Fake().livePorts.insert(port);
  ++Fake().openPorts;
  return port;
}

bool SerialBuildSettings(const char* mode, SerialSettings* settings) {
  fake::Lock lock(Fake().mutex);
  fake::Record(std::string("SerialBuildSettings ") + mode);
  if (Fake().buildSettingsFails) return false;
  // Like BuildCommDCB: both control lines enabled, the rest of the block the back end's own.
  settings->dtrControl = 1;
  settings->rtsControl = 1;
  std::memset(settings->native, 0xA5, sizeof settings->native);
  return true;
}

bool SerialApplySettings(SerialHandle port, const SerialSettings* settings) {
  fake::Lock lock(Fake().mutex);
  fake::Record("SerialApplySettings dtr=" + std::to_string(settings->dtrControl) +
               " rts=" + std::to_string(settings->rtsControl));
  if (!fake::CheckPort(port)) return false;
  return Fake().applyCalls++ != Fake().applySettingsFailsAtCall;
}

void SerialSetReadTimeouts(SerialHandle port, std::uint32_t intervalMs, std::uint32_t totalMs) {
  fake::Lock lock(Fake().mutex);
  fake::Record("SerialSetReadTimeouts " + std::to_string(intervalMs) + " " +
               std::to_string(totalMs));
  fake::CheckPort(port);
}

bool SerialWrite(SerialHandle port, const std::uint8_t* data, std::uint32_t count) {
  std::function<std::optional<std::string>(const std::string&)> ups;
  const std::string frame(reinterpret_cast<const char*>(data), count);
  {
    fake::Lock lock(Fake().mutex);
    fake::Record("SerialWrite " + corvale::Printable(frame));
    if (!fake::CheckPort(port) || Fake().writeFails) return false;
    ups = Fake().ups;
  }
  if (ups) {
    if (auto reply = ups(frame)) {
      fake::Lock lock(Fake().mutex);
      Fake().lineInput += *reply;
    }
  }
  return true;
}

bool SerialRead(SerialHandle port, std::uint8_t* buffer, std::uint32_t capacity,
                std::uint32_t* received) {
  fake::Lock lock(Fake().mutex);
  fake::Platform& p = Fake();
  fake::Record("SerialRead " + std::to_string(capacity));
  *received = 0;
  if (!fake::CheckPort(port)) return false;
  if (!p.scriptedReads.empty()) {
    fake::ReadResult result = p.scriptedReads.front();
    p.scriptedReads.pop_front();
    p.nowMs += result.elapsedMs;
    if (!result.ok) return false;
    const auto count = std::min<std::size_t>(capacity, result.bytes.size());
    std::memcpy(buffer, result.bytes.data(), count);
    *received = static_cast<std::uint32_t>(count);
    return true;
  }
  const auto count = std::min<std::size_t>(capacity, p.lineInput.size());
  std::memcpy(buffer, p.lineInput.data(), count);
  p.lineInput.erase(0, count);
  *received = static_cast<std::uint32_t>(count);
  // A short read ends by the time-outs: 100 ms of silence after a byte, 1000 ms in all.
  if (count < capacity) p.nowMs += count == 0 ? 1000 : 100;
  return true;
}

std::uint32_t SerialClose(SerialHandle port) {
  fake::Lock lock(Fake().mutex);
  fake::Record("SerialClose");
  if (!fake::CheckPort(port)) return 0;
  Fake().livePorts.erase(port);
  Fake().closedPorts.insert(port);
  --Fake().openPorts;
  return 1;
}

bool RegistryOpenKey(const char* path, RegistryAccess access, RegistryKey* key) {
  fake::Lock lock(Fake().mutex);
  fake::Platform& p = Fake();
  char accessText[16];
  std::snprintf(accessText, sizeof accessText, "0x%X", static_cast<unsigned>(access));
  fake::Record(std::string("RegistryOpenKey ") + path + " " + accessText);
  if (!p.keys.count(path) || p.failingOpens.count(path)) return false;
  *key = p.nextHandle++;
  p.liveKeys[*key] = path;
  ++p.openKeys;
  return true;
}

bool RegistryQueryValue(RegistryKey key, const char* name, void* buffer, std::uint32_t* size) {
  fake::Lock lock(Fake().mutex);
  fake::Platform& p = Fake();
  fake::Record(std::string("RegistryQueryValue ") + name);
  auto open = p.liveKeys.find(key);
  if (open == p.liveKeys.end()) return false;
  auto& values = p.keys[open->second];
  auto value = values.find(name);
  if (value == values.end()) return false;
  const std::string& data = value->second.data;
  if (data.size() > *size) {
    *size = static_cast<std::uint32_t>(data.size());
    return false;
  }
  std::memcpy(buffer, data.data(), data.size());
  *size = static_cast<std::uint32_t>(data.size());
  return true;
}

namespace {
bool SetValue(RegistryKey key, const char* name, fake::RegistryValue value) {
  fake::Platform& p = Fake();
  auto open = p.liveKeys.find(key);
  if (open == p.liveKeys.end() || p.failingWrites.count(name)) return false;
  p.keys[open->second][name] = std::move(value);
  return true;
}
}  // namespace

bool RegistrySetDword(RegistryKey key, const char* name, std::uint32_t value) {
  fake::Lock lock(Fake().mutex);
  fake::Record(std::string("RegistrySetDword ") + name + " " + std::to_string(value));
  std::string data(4, '\0');
  std::memcpy(data.data(), &value, 4);
  return SetValue(key, name, fake::RegistryValue{data, true});
}

bool RegistrySetString(RegistryKey key, const char* name, const char* text) {
  fake::Lock lock(Fake().mutex);
  fake::Record(std::string("RegistrySetString ") + name + " " + text);
  return SetValue(key, name, fake::RegistryValue{std::string(text, std::strlen(text) + 1), false});
}

void RegistryCloseKey(RegistryKey key) {
  fake::Lock lock(Fake().mutex);
  fake::Record("RegistryCloseKey");
  if (Fake().liveKeys.erase(key)) --Fake().openKeys;
}

void PlatformSleep(std::uint32_t milliseconds) {
  std::function<void(std::uint32_t)> onSleep;
  {
    fake::Lock lock(Fake().mutex);
    fake::Record("Sleep " + std::to_string(milliseconds));
    Fake().nowMs += milliseconds;
    onSleep = Fake().onSleep;
  }
  if (onSleep) onSleep(milliseconds);
}

void PlatformAttach(void* /*instance*/) {
  fake::Lock lock(Fake().mutex);
  fake::Record("PlatformAttach");
}

namespace {
std::mutex exchangeLock;
}  // namespace

void ExchangeLockAcquire() {
  exchangeLock.lock();
}
void ExchangeLockRelease() {
  exchangeLock.unlock();
}
