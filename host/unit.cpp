#include "host/unit.h"

namespace corvale::host {

Unit::Unit(std::size_t index, UnitOptions options, const SourceMaker& makeSource,
           std::function<void(Unit&, const Observation&)> observed)
    : index_(index),
      options_(std::move(options)),
      observed_(std::move(observed)),
      source_(makeSource([this](const Observation& o) { observed_(*this, o); })) {
  if (!options_.whereToLook.empty()) deriver_.SetWhereToLook(options_.whereToLook);
  if (!options_.sourceName.empty()) deriver_.SetSourceName(options_.sourceName);
}

Unit::~Unit() {
  Stop();
}

std::uint32_t Unit::State() const {
  const auto latest = source_->Latest();
  return latest ? latest->polled : 8u;
}

void Unit::Start() {
  poller_ = std::thread([this] { source_->Run(); });
}

void Unit::Stop() {
  source_->Stop();
  if (poller_.joinable()) poller_.join();
}

std::vector<UpsEvent> Unit::Derive(const Observation& observation) {
  auto events = deriver_.Next(observation);
  for (auto& event : events) event.ups = options_.name;
  return events;
}

}  // namespace corvale::host
