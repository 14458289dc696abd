#include <benchmark/benchmark.h>

#include <vector>

#include "base/Bytes.h"
#include "protocol/PacketBuffers.h"
#include "protocol/Packets.h"
#include "protocol/crc.h"

using namespace orlavonix;

static void BM_Crc32_560(benchmark::State& State) {
  std::vector<uint8_t> Data(560);
  for (size_t I = 0; I < Data.size(); ++I)
    Data[I] = static_cast<uint8_t>(I * 31);
  for (auto _ : State)
    benchmark::DoNotOptimize(Crc32(Data.data(), Data.size()));
  State.SetBytesProcessed(int64_t(State.iterations()) * 560);
}
BENCHMARK(BM_Crc32_560);

static void BM_PacketSetCheckCrc_560(benchmark::State& State) {
  std::vector<uint8_t> Data(560, 0x11);
  PutLE<uint16_t>(Data.data(), PacketClassCommand);
  TPacket P(Data.data(), 560);
  for (auto _ : State) {
    P.SetCrc();
    benchmark::DoNotOptimize(P.CheckCrc());
  }
}
BENCHMARK(BM_PacketSetCheckCrc_560);

static void BM_FIFOAddGet(benchmark::State& State) {
  TFIFOList L(256, 256, 4096);
  std::vector<uint8_t> Data(64, 0);
  PutLE<uint16_t>(Data.data(), PacketClassCommand);
  std::vector<TPacketPtr> Pool;
  for (int I = 0; I < 64; ++I)
    Pool.push_back(std::make_unique<TPacket>(Data.data(), 64));
  for (auto _ : State) {
    for (auto& P : Pool)
      L.Add(std::move(P));
    for (auto& P : Pool)
      P = L.Get();
  }
  State.SetItemsProcessed(int64_t(State.iterations()) * 64);
}
BENCHMARK(BM_FIFOAddGet);

BENCHMARK_MAIN();
