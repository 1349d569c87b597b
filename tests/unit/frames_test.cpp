#include "protocol/frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct ReplyCase {
  const char* name;
  std::string bytes;
  bool valid;
  std::uint16_t bits;
};

class DecodeReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(DecodeReplyTest, ValidatesAndDecodes) {
  const ReplyCase& c = GetParam();
  std::uint16_t bits = 0xBEEF;
  const bool valid = DecodeReply(reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                                 static_cast<std::uint32_t>(c.bytes.size()), &bits);
  EXPECT_EQ(valid, c.valid);
  if (c.valid) {
    EXPECT_EQ(bits, c.bits);
  } else {
    EXPECT_EQ(bits, 0xBEEF) << "an invalid reply must leave the bits alone";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, DecodeReplyTest,
    ::testing::Values(ReplyCase{"AllA", "$AAAAAAAAAA\r", true, 0x0000},
                      ReplyCase{"OnBatt", "$BAAAAAAAAA\r", true, 0x0001},
                      ReplyCase{"OnBattLowBatt", "$BABAAAAAAA\r", true, 0x0005},
                      ReplyCase{"AllB", "$BBBBBBBBBB\r", true, 0x03FF},
                      ReplyCase{"LastBitOnly", "$AAAAAAAAAB\r", true, 0x0200},
                      ReplyCase{"ElevenBytes", "$AAAAAAAAA\r", false, 0},
                      ReplyCase{"ThirteenBytes", "$AAAAAAAAAAA\r", false, 0},
                      ReplyCase{"Empty", "", false, 0},
                      ReplyCase{"NoDollar", "#AAAAAAAAAA\r", false, 0},
                      ReplyCase{"LetterC", "$AAAACAAAAA\r", false, 0},
                      ReplyCase{"AInsteadOfCr", "$AAAAAAAAAAA", false, 0},
                      ReplyCase{"LineFeedEnd", "$AAAAAAAAAA\n", false, 0},
                      ReplyCase{"LowerCaseA", "$aAAAAAAAAA\r", false, 0},
                      ReplyCase{"LowerCaseB", "$AAAAAAAAAb\r", false, 0},
                      ReplyCase{"NulInside", std::string("$AAAA\0AAAAA\r", 12), false, 0},
                      ReplyCase{"CrEarly", "$AAAAAAAAA\r\r", false, 0}),
    [](const auto& param) { return param.param.name; });

TEST(DeriveHostState, FirstMatchWins) {
  const struct {
    std::uint16_t status;
    std::uint16_t state;
  } cases[] = {
      {0x0000, 1}, {0x0001, 2}, {0x0005, 4}, {0x0004, 1},  // LowBatt ignored on utility power
      {0x0400, 8}, {0x0404, 8}, {0x0405, 8}, {0x03FF, 4}, {0x03FE, 1}, {0x0041, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DeriveHostState(c.status), c.state) << "status 0x" << std::hex << c.status;
  }
}

TEST(StatusBitNames, NamesBitsAndLeavesThreeUnnamed) {
  const char* const expected[] = {"OnBatt",   nullptr,    "LowBatt", "Overload", nullptr,
                                  "Silenced", "BattFail", "SysFail", "SysTest",  nullptr};
  for (int bit = 0; bit < 10; ++bit) {
    if (expected[bit] == nullptr) {
      EXPECT_EQ(StatusBitNames[bit], nullptr) << "bit " << bit;
    } else {
      EXPECT_STREQ(StatusBitNames[bit], expected[bit]) << "bit " << bit;
    }
  }
}

// A random source that replays a fixed list of draws.
std::vector<std::uint16_t> draws;
std::size_t nextDraw = 0;
std::uint16_t ReplayDraws() {
  return draws[nextDraw++ % draws.size()];
}

std::string PollFrameFor(std::vector<std::uint16_t> values) {
  draws = std::move(values);
  nextDraw = 0;
  SetPollRandomSource(ReplayDraws);
  std::uint8_t frame[kCommandFrameSize];
  BuildPollFrame(frame);
  SetPollRandomSource(nullptr);
  return std::string(reinterpret_cast<char*>(frame), sizeof frame);
}

TEST(BuildPollFrame, EveryDrawAMultipleOfTen) {
  EXPECT_EQ(PollFrameFor({0, 10, 32760, 20, 30, 40, 50, 60, 70, 80, 90}), "ZALAAAAAAAAA\r");
  EXPECT_EQ(nextDraw, 11u) << "one draw per offset 1 to 11";
}

TEST(BuildPollFrame, SelectorPlacesTheCommandLetter) {
  // The first draw picks the selector; the other draws are all 7 ("H"), so "L" stands out.
  for (std::uint16_t selector = 0; selector < 10; ++selector) {
    std::vector<std::uint16_t> values(11, 7);
    values[0] = static_cast<std::uint16_t>(selector + 30);
    const std::string frame = PollFrameFor(values);
    ASSERT_EQ(frame.size(), 13u);
    EXPECT_EQ(frame[0], 'Z');
    EXPECT_EQ(frame[1], 'A' + selector);
    EXPECT_EQ(frame[12], '\r');
    for (std::size_t offset = 2; offset <= 11; ++offset) {
      const char expected = offset == selector + 2u ? 'L' : 'H';
      EXPECT_EQ(frame[offset], expected) << "selector " << frame[1] << " offset " << offset;
    }
  }
}

TEST(BuildPollFrame, SelectorJPutsLAtOffsetEleven) {
  EXPECT_EQ(PollFrameFor({9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}), "ZJBCDEFGHIJL\r");
}

TEST(BuildPollFrame, BuiltInSourceVariesAndStaysInRange) {
  std::string first;
  bool varied = false;
  for (int i = 0; i < 50; ++i) {
    std::uint8_t frame[kCommandFrameSize];
    BuildPollFrame(frame);
    const std::string text(reinterpret_cast<char*>(frame), sizeof frame);
    ASSERT_EQ(text[0], 'Z');
    ASSERT_EQ(text[12], '\r');
    ASSERT_GE(text[1], 'A');
    ASSERT_LE(text[1], 'J');
    ASSERT_EQ(text[text[1] - 0x3F], 'L');
    for (int offset = 2; offset <= 11; ++offset) {
      ASSERT_TRUE((text[offset] >= 'A' && text[offset] <= 'J') || text[offset] == 'L');
    }
    if (i == 0) first = text;
    varied = varied || text != first;
  }
  EXPECT_TRUE(varied);
}

TEST(BuildTurnOffFrame, DelayBecomesThreeLetters) {
  const struct {
    std::uint32_t delay;
    const char* frame;
  } cases[] = {
      {120, "ZBASBCAWLPGE\r"}, {0, "ZBASAAAWLPGE\r"},  {999, "ZBASJJJWLPGE\r"},
      {7, "ZBASAAHWLPGE\r"},   {50, "ZBASAFAWLPGE\r"},
  };
  for (const auto& c : cases) {
    char frame[kTurnOffFrameBufferSize];
    std::memset(frame, 0x7F, sizeof frame);
    ASSERT_TRUE(BuildTurnOffFrame(c.delay, frame)) << c.delay;
    EXPECT_STREQ(frame, c.frame) << c.delay;
    EXPECT_EQ(std::strlen(frame), 13u);
  }
}

TEST(BuildTurnOffFrame, RefusesDelaysThreeDigitsCannotCarry) {
  for (std::uint32_t delay : {1000u, 1191u, 65535u, 0xFFFFFFFFu}) {
    char frame[kTurnOffFrameBufferSize] = "unchanged";
    EXPECT_FALSE(BuildTurnOffFrame(delay, frame)) << delay;
    EXPECT_STREQ(frame, "") << delay;
  }
}

}  // namespace
