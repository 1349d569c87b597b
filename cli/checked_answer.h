// What the running service says over its local channel, held to the form it gives before a word
// of it is read or shown: whoever took the service's account may answer anything.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace corvale {

// Text from the service or another machine as a terminal may show it: control bytes (C0, DEL,
// C1) and broken UTF-8 become "?", so no answer can move the cursor or retitle root's terminal.
std::string Printable(const std::string& text);

// Whether each field the commands read has the type the service gives it (absent fields are
// fine where the service may leave them out).
bool WellFormedPlan(const nlohmann::json& plan);
bool WellFormedStatus(const nlohmann::json& status);

// The service's SUPPLIES answer: each UPS's part in the machine's supplies.
bool WellFormedSupplies(const nlohmann::json& supplies);
// What the machine would do now, from a well-formed SUPPLIES answer: "would run on: 1 of 2
// supplies fed, needs 1", and the like. Its names shown as text.
std::string WhatTheMachineWouldDo(const nlohmann::json& supplies);

inline constexpr char kMalformedAnswer[] = "the service's answer is malformed";

}  // namespace corvale
