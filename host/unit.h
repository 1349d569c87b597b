// One watched UPS: where its observations come from (its serial port, or a NUT server for an
// agent), the events they make, and its own poll thread, so that a slow or silent UPS never holds
// up another. The host holds a list of them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/events.h"
#include "host/supervisor.h"

namespace corvale::host {

struct UnitOptions {
  std::string name = "corvale";
  // How many of this machine's power supplies it feeds; 0: watched only, never a reason to shut
  // down and never turned off.
  std::uint32_t supplies = 1;
  std::chrono::seconds onBatteryLimit{0};  // on battery this long: it no longer counts as feeding
  std::uint32_t turnOffDelay = 120;
  // What to check when it never answers; empty: its serial cable.
  std::string whereToLook;
  // What its state is read from, in words; empty: "the UPS".
  std::string sourceName;
};

class Unit {
 public:
  using SourceMaker = std::function<std::unique_ptr<UpsSource>(UpsSource::Listener)>;
  // The `index`th UPS of its host; `observed` hears each observation on the unit's own thread.
  Unit(std::size_t index, UnitOptions options, const SourceMaker& makeSource,
       std::function<void(Unit&, const Observation&)> observed);
  ~Unit();  // stops and joins
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  std::size_t Index() const { return index_; }
  const UnitOptions& Options() const { return options_; }
  const std::string& Name() const { return options_.name; }
  UpsSource& Source() { return *source_; }
  const UpsSource& Source() const { return *source_; }
  std::optional<Observation> Latest() const { return source_->Latest(); }
  // The state for an event raised now: the last poll's, 8 before the first.
  std::uint32_t State() const;

  void Start();  // its poll loop on a thread of its own
  void Stop();   // within the exchange in progress

  // The events an observation makes; on the unit's thread only.
  std::vector<UpsEvent> Derive(const Observation& observation);

 private:
  std::size_t index_;
  UnitOptions options_;
  EventDeriver deriver_;
  std::function<void(Unit&, const Observation&)> observed_;
  std::unique_ptr<UpsSource> source_;
  std::thread poller_;
};

}  // namespace corvale::host
