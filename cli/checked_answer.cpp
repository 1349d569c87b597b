#include "cli/checked_answer.h"

namespace corvale {

std::string Printable(const std::string& text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7f) {
      shown += text[i++];
      continue;
    }
    std::size_t length = byte >= 0xf0 && byte < 0xf5 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc2 ? 2 : 0;
    if (byte >= 0xf5) length = 0;
    bool whole = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) {
      whole = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
    }
    // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
    if (whole && byte == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) whole = false;
    if (!whole) {
      shown += '?';
      ++i;
      continue;
    }
    shown += text.substr(i, length);
    i += length;
  }
  return shown;
}

namespace {

using Json = nlohmann::json;

// `key` absent, or of the kind `is` accepts.
template <typename Is>
bool Optional(const Json& object, const char* key, Is is) {
  const auto found = object.find(key);
  return found == object.end() || is(*found);
}

bool String(const Json& value) {
  return value.is_string();
}
bool Boolean(const Json& value) {
  return value.is_boolean();
}
bool NumberOrNull(const Json& value) {
  return value.is_number() || value.is_null();
}
bool StringOrNull(const Json& value) {
  return value.is_string() || value.is_null();
}
bool Strings(const Json& value) {
  if (!value.is_array()) return false;
  for (const auto& entry : value) {
    if (!entry.is_string()) return false;
  }
  return true;
}
template <typename Is>
bool ArrayOf(const Json& value, Is is) {
  if (!value.is_array()) return false;
  for (const auto& entry : value) {
    if (!is(entry)) return false;
  }
  return true;
}

bool Machine(const Json& machine) {
  return machine.is_object() && Optional(machine, "user", String) &&
         Optional(machine, "logged_in", Boolean) && Optional(machine, "addresses", Strings) &&
         Optional(machine, "last_shutdown_seconds", NumberOrNull) &&
         Optional(machine, "shutdown_measured_to", StringOrNull);
}

bool Machines(const Json& value) {
  return ArrayOf(value, Machine);
}

bool Stage(const Json& stage) {
  return stage.is_object() && Optional(stage, "name", String) && Optional(stage, "when", String) &&
         Optional(stage, "after_seconds", NumberOrNull) && Optional(stage, "gone", Boolean) &&
         Optional(stage, "machines", Machines) && Optional(stage, "wake", Strings) &&
         Optional(stage, "woken", [](const Json& value) { return value.is_number_unsigned(); }) &&
         Optional(stage, "ups", String);
}

// A UPS's part of the plan, or of the status: its name, and its battery against its stages.
bool UpsEntry(const Json& ups) {
  return ups.is_object() && Optional(ups, "ups", String) && Optional(ups, "name", String) &&
         Optional(ups, "needs_seconds", NumberOrNull) && Optional(ups, "battery_weak", Boolean) &&
         Optional(ups, "battery_seconds_to_low", NumberOrNull);
}

bool UpsEntries(const Json& value) {
  return ArrayOf(value, UpsEntry);
}

}  // namespace

bool WellFormedPlan(const Json& plan) {
  return plan.is_object() &&
         Optional(plan, "stages", [](const Json& value) { return ArrayOf(value, Stage); }) &&
         Optional(plan, "with_this_machine", Machines) &&
         Optional(plan, "needs_seconds", NumberOrNull) && Optional(plan, "battery_weak", Boolean) &&
         Optional(plan, "upses", UpsEntries);
}

bool WellFormedSupplies(const Json& supplies) {
  const auto count = [](const Json& value) { return value.is_number_unsigned(); };
  const auto ups = [&](const Json& value) {
    return value.is_object() && value.contains("name") && value["name"].is_string() &&
           value.contains("supplies") && count(value["supplies"]) && value.contains("known") &&
           value["known"].is_boolean() && value.contains("feeds") && value["feeds"].is_boolean() &&
           Optional(value, "power", Boolean) && Optional(value, "why", String);
  };
  return supplies.is_object() && supplies.contains("upses") && ArrayOf(supplies["upses"], ups) &&
         supplies.contains("fed") && count(supplies["fed"]) && supplies.contains("total") &&
         count(supplies["total"]) && supplies.contains("minimum") && count(supplies["minimum"]) &&
         Optional(supplies, "shutting_down", Boolean);
}

std::string WhatTheMachineWouldDo(const Json& supplies) {
  std::uint64_t unheard = 0;
  std::string powerOut;
  for (const auto& ups : supplies["upses"]) {
    const auto count = ups["supplies"].get<std::uint64_t>();
    const bool known = ups["known"].get<bool>(), feeds = ups["feeds"].get<bool>();
    if (!known) unheard += count;
    if (known && !feeds && count > 0 && ups.value("power", false)) {
      powerOut += "; " + Printable(ups["name"].get<std::string>());
    }
  }
  const auto fed = supplies["fed"].get<std::uint64_t>();
  const auto total = supplies["total"].get<std::uint64_t>();
  const auto minimum = supplies["minimum"].get<std::uint64_t>();
  const std::string counted = std::to_string(fed) + " of " + std::to_string(total) +
                              " supplies fed, needs " + std::to_string(minimum);
  if (supplies.value("shutting_down", false)) return "shutting down (" + counted + ")";
  if (minimum == 0) return "would run on: it only watches";
  if (fed >= minimum) return "would run on: " + counted;
  if (fed + unheard >= minimum) return "would run on while it waits to hear every UPS: " + counted;
  if (!powerOut.empty()) {
    return "would shut down now: " + counted + " (out for the power: " + powerOut.substr(2) + ")";
  }
  return "would run on below its minimum (" + counted +
         "): no UPS is out for the power's sake, and one only unreachable or off never shuts it "
         "down alone";
}

bool WellFormedStatus(const Json& status) {
  const auto shutdown = [](const Json& value) {
    return value.is_object() && Optional(value, "pending", Boolean) &&
           Optional(value, "waits_for", String) && Optional(value, "ready", Boolean);
  };
  const auto state = [](const Json& value) { return value.is_number_unsigned(); };
  const auto flags = [](const Json& value) {
    if (!value.is_object()) return false;
    for (const auto& flag : value) {
      if (!flag.is_boolean()) return false;
    }
    return true;
  };
  const auto ups = [&](const Json& value) {
    return value.is_object() && Optional(value, "name", String) &&
           Optional(value, "state", state) && Optional(value, "flags", flags) &&
           Optional(value, "on_battery_seconds", NumberOrNull);
  };
  return status.is_object() && Optional(status, "state", state) &&
         Optional(status, "upses", [&](const Json& value) { return ArrayOf(value, ups); }) &&
         Optional(status, "shutdown", shutdown) &&
         Optional(status, "nut",
                  [](const Json& value) {
                    return value.is_object() && Optional(value, "fsd", Boolean);
                  }) &&
         Optional(status, "agent",
                  [](const Json& value) {
                    return value.is_object() && Optional(value, "connected", Boolean);
                  }) &&
         Optional(status, "battery_seconds_to_low", NumberOrNull) &&
         Optional(status, "upses", UpsEntries) && Optional(status, "plan", WellFormedPlan);
}

}  // namespace corvale
