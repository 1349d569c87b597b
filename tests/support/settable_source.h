// A UPS source whose readings a test sets: one observation every 20 ms, as a poll loop makes them,
// so that a host can be built with several UPSes and no serial port.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "host/supervisor.h"

namespace corvale::testing {

class SettableSource : public host::UpsSource {
 public:
  explicit SettableSource(Listener listener) : listener_(std::move(listener)) {}
  void Run() override {
    while (!stopping_) {
      host::Observation observation;
      {
        std::lock_guard lock(mutex_);
        observation = next_;
        observation.when = host::Clock::now();
        latest_ = observation;
        ++polls_;
      }
      listener_(observation);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void Stop() override { stopping_ = true; }
  std::optional<host::Observation> Latest() const override {
    std::lock_guard lock(mutex_);
    return latest_;
  }
  // A UPS that has gone silent: an order waits until `Release`, and that one goes unanswered.
  std::optional<bool> TurnOff(std::uint32_t delay) override {
    std::unique_lock lock(mutex_);
    if (silent_) {
      released_.wait(lock, [this] { return !silent_; });
      return false;
    }
    turnedOff_ = delay;
    return true;
  }
  void Silence() {
    std::lock_guard lock(mutex_);
    silent_ = true;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      silent_ = false;
    }
    released_.notify_all();
  }
  // 1 online, 2 on battery, 4 low battery.
  void Set(std::uint32_t state) {
    std::lock_guard lock(mutex_);
    next_.polled = state;
    next_.state = state;
    next_.flags.onBattery = state != 1;
    next_.flags.lowBattery = state == 4;
    next_.statusText = "v1.0b  [ " + std::string(state == 1 ? "OnLine" : "OnBatt") + " ]";
  }
  int Polls() const {
    std::lock_guard lock(mutex_);
    return polls_;
  }
  // The delay the UPS was ordered off with, if it was.
  std::optional<std::uint32_t> TurnedOff() const {
    std::lock_guard lock(mutex_);
    return turnedOff_;
  }

 private:
  Listener listener_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  host::Observation next_;
  std::optional<host::Observation> latest_;
  int polls_ = 0;
  std::optional<std::uint32_t> turnedOff_;
  bool silent_ = false;
  std::condition_variable released_;
};

}  // namespace corvale::testing
