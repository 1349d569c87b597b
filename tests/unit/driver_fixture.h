// Puts the driver's module state and the fake OS back to "library just loaded" before each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "driver/module_state.h"
#include "platform/fake/fake_platform.h"
#include "protocol/frames.h"

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Fake().Reset();
    PortHandle = kInvalidSerialHandle;
    LinkStatus = 0;
    HostState = 0;
    CancelRequested = 0;
    SetPollRandomSource(nullptr);
  }
  void TearDown() override { SetPollRandomSource(nullptr); }

  fake::Platform& os() { return fake::Fake(); }

  // An open port, as UPSInit leaves it, without running UPSInit.
  void OpenPortDirectly() {
    PortHandle = SerialOpen("COM1");
    os().calls.clear();
  }

  // A UPS on the line that answers every command with `bits` (and sets Silenced on "B").
  void UpsAnswers(std::uint16_t* bits) {
    os().ups = [bits](const std::string& frame) -> std::optional<std::string> {
      const char command = frame[static_cast<unsigned char>(frame[1]) - 0x3F];
      if (command == 'B') *bits |= kSilenced;
      return fake::ReplyFor(*bits);
    };
  }
};
