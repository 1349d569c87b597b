#include "protocol/status_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver_fixture.h"

namespace {

using Strings = std::vector<std::string>;

TEST(ComposeStatusText, ExactSpacing) {
  const struct {
    std::uint16_t status;
    const char* text;
  } cases[] = {
      {0x0000, "v1.0b  [ Normal ]"},
      {0x0400, "v1.0b  [ Normal ]"},  // CommFail is never named
      {0x0212, "v1.0b  [ Normal ]"},  // bits without names add nothing
      {0x0001, "v1.0b  [ OnBatt ]"},
      {0x0005, "v1.0b  [ OnBatt LowBatt ]"},
      {0x0044, "v1.0b  [ LowBatt BattFail ]"},
      {0x07FF, "v1.0b  [ OnBatt LowBatt Overload Silenced BattFail SysFail SysTest ]"},
  };
  for (const auto& c : cases) {
    char text[kStatusTextBufferSize];
    ComposeStatusText(c.status, text);
    EXPECT_STREQ(text, c.text) << "status 0x" << std::hex << c.status;
  }
}

TEST(ComposeStatusText, LongestTextIsSixtyEightCharacters) {
  char text[kStatusTextBufferSize];
  ComposeStatusText(0x03FF, text);
  EXPECT_EQ(std::strlen(text), 68u);
}

class PublishStatusTest : public DriverTest {};

TEST_F(PublishStatusTest, ValuesFollowTheBits) {
  const struct {
    std::uint16_t status;
    Strings published;
  } cases[] = {
      {0x0000, {"BatteryStatus=1", "BatteryCapacity=99", "FirmwareRev=v1.0b  [ Normal ]"}},
      {0x0005, {"BatteryStatus=1", "BatteryCapacity=10", "FirmwareRev=v1.0b  [ OnBatt LowBatt ]"}},
      {0x0044, {"BatteryStatus=2", "BatteryCapacity=1", "FirmwareRev=v1.0b  [ LowBatt BattFail ]"}},
      {0x0440, {"BatteryStatus=2", "BatteryCapacity=1", "FirmwareRev=v1.0b  [ BattFail ]"}},
  };
  for (const auto& c : cases) {
    os().calls.clear();
    PublishStatus(c.status);
    EXPECT_EQ(os().Published(), c.published) << "status 0x" << std::hex << c.status;
  }
  EXPECT_EQ(os().openKeys, 0);
}

TEST_F(PublishStatusTest, EachValueOpensWritesAndClosesTheStatusKey) {
  PublishStatus(0);
  const std::string open = std::string("RegistryOpenKey ") + fake::kStatusKey + " 0x20006";
  EXPECT_EQ(os().calls,
            (Strings{open, "RegistrySetDword BatteryStatus 1", "RegistryCloseKey", open,
                     "RegistrySetDword BatteryCapacity 99", "RegistryCloseKey", open,
                     "RegistrySetString FirmwareRev v1.0b  [ Normal ]", "RegistryCloseKey"}));
  EXPECT_EQ(os().Value(fake::kStatusKey, "BatteryCapacity"), "99");
}

TEST_F(PublishStatusTest, MissingStatusKeyPublishesNothingAndKeepsNothingOpen) {
  os().keys.erase(fake::kStatusKey);
  PublishStatus(0);
  EXPECT_TRUE(os().Published().empty());
  EXPECT_EQ(os().CallsStartingWith("RegistryOpenKey").size(), 3u) << "each value tries on its own";
  EXPECT_EQ(os().openKeys, 0);
}

TEST_F(PublishStatusTest, FailedWriteKeepsTheOldValueAndStillClosesTheKey) {
  PublishStatus(0);
  os().failingWrites.insert("BatteryCapacity");
  EXPECT_FALSE(WriteStatusDword("BatteryCapacity", 10));
  EXPECT_TRUE(WriteStatusDword("BatteryStatus", 2));
  EXPECT_EQ(os().Value(fake::kStatusKey, "BatteryCapacity"), "99");
  EXPECT_EQ(os().Value(fake::kStatusKey, "BatteryStatus"), "2");
  EXPECT_EQ(os().openKeys, 0);
}

TEST_F(PublishStatusTest, StringValueCarriesItsTerminatingNul) {
  ASSERT_TRUE(WriteStatusString("FirmwareRev", "v1.0b  [ Normal ]"));
  const auto& data = os().keys[fake::kStatusKey]["FirmwareRev"].data;
  EXPECT_EQ(data, std::string("v1.0b  [ Normal ]\0", 18));
}

}  // namespace
