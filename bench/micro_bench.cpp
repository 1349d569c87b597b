// The driver's own work per operation, on the fake OS: frames, decoding, the status text, and a
// whole exchange (with and without publishing).
#include <benchmark/benchmark.h>

#include "driver/module_state.h"
#include "platform/fake/fake_platform.h"
#include "protocol/exchange.h"
#include "protocol/frames.h"
#include "protocol/status_report.h"

namespace {

void BuildPoll(benchmark::State& state) {
  std::uint8_t frame[kCommandFrameSize];
  for (auto _ : state) {
    BuildPollFrame(frame);
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BuildPoll);

void BuildTurnOff(benchmark::State& state) {
  char frame[kTurnOffFrameBufferSize];
  std::uint32_t delay = 0;
  for (auto _ : state) {
    BuildTurnOffFrame(delay++ % 1000, frame);
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BuildTurnOff);

void DecodeValidReply(benchmark::State& state) {
  const std::uint8_t reply[] = "$BABAABAAAA\r";
  std::uint16_t bits = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DecodeReply(reply, kReplyFrameSize, &bits));
    benchmark::DoNotOptimize(bits);
  }
}
BENCHMARK(DecodeValidReply);

void ComposeLongestStatusText(benchmark::State& state) {
  char text[kStatusTextBufferSize];
  for (auto _ : state) {
    ComposeStatusText(0x03FF, text);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(ComposeLongestStatusText);

void SetUpFake(std::uint16_t* bits) {
  fake::Platform& os = fake::Fake();
  os.Reset();
  os.recordCalls = false;
  PortHandle = SerialOpen("COM1");
  LinkStatus = 0;
  os.ups = [bits](const std::string&) -> std::optional<std::string> {
    return fake::ReplyFor(*bits);
  };
}

// A poll whose reply is unchanged: frame, write, read, decode; nothing to publish.
void ExchangeUnchanged(benchmark::State& state) {
  std::uint16_t bits = kSilenced;
  SetUpFake(&bits);
  for (auto _ : state) benchmark::DoNotOptimize(ExchangeStatus(nullptr));
}
BENCHMARK(ExchangeUnchanged);

// Every reply changes the status, so every exchange also publishes three values.
void ExchangeAndPublish(benchmark::State& state) {
  std::uint16_t bits = kSilenced;
  SetUpFake(&bits);
  for (auto _ : state) {
    bits ^= kOnBatt;
    benchmark::DoNotOptimize(ExchangeStatus(nullptr));
  }
}
BENCHMARK(ExchangeAndPublish);

}  // namespace

BENCHMARK_MAIN();
