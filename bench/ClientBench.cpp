// Login against the bundled test server at scale, and registry lookups at that
// size.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "protocol/ClientProtocol.h"
#include "protocol/ClientProtocolTypes.h"
#include "support/ClientHarness.h"
#include "support/TestServerProcess.h"

using namespace orlavonix;
using namespace orlavonix::testing;

namespace {
constexpr int Channels = 600;
constexpr int Players = 5000;

long ResidentKb() {
  std::ifstream In("/proc/self/status");
  std::string Line;
  while (std::getline(In, Line))
    if (Line.rfind("VmRSS:", 0) == 0)
      return std::atol(Line.c_str() + 6);
  return -1;
}

TTestServerProcess& LargeServer() {
  static TTestServerProcess* S = [] {
    auto* P = new TTestServerProcess(
        {}, R"({"generate": {"channels": 600, "players": 5000}, "server": {"max_users": 6000}})");
    if (!P->Start(60000)) {
      std::fprintf(stderr, "test server: %s\n", P->Error().c_str());
      std::exit(1);
    }
    return P;
  }();
  return *S;
}
} // namespace

// Wall time from Connect to the end of the login (kind 9), and the resident
// memory of the process afterwards.
static void BM_LoginLargeServer(benchmark::State& State) {
  TTestServerProcess& S = LargeServer();
  long Before = ResidentKb();
  long After = 0;
  size_t ChannelCount = 0, PlayerCount = 0;
  for (auto _ : State) {
    TEventLog Log;
    TClient C(Log.Callback(), coResend | coKeepAlive | coDoTransport | coClientDoesLogin);
    std::string Err;
    auto Start = std::chrono::steady_clock::now();
    if (C.Connect("127.0.0.1", S.UdpPort(), "bench", "", "", "", "", "", true, false, 0, Err) !=
            0 ||
        !Log.WaitForKind(cb_initDone, 1, 120000)) {
      State.SkipWithError("login failed");
      break;
    }
    auto Took = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    State.SetIterationTime(Took);
    ChannelCount = C.ListChannels().size();
    PlayerCount = C.ListPlayers().size();
    Log.Clear(); // the records are the test's, not the client's
    After = ResidentKb();
    C.Disconnect();
  }
  State.counters["channels"] = static_cast<double>(ChannelCount);
  State.counters["players"] = static_cast<double>(PlayerCount);
  State.counters["rss_before_kb"] = static_cast<double>(Before);
  State.counters["rss_after_kb"] = static_cast<double>(After);
}
BENCHMARK(BM_LoginLargeServer)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

namespace {
struct TFilledRegistry {
  TChannels Ch;
  TPlayers Pl;
  TFilledRegistry() {
    for (int I = 0; I < Channels; ++I) {
      TChannelRecord R{};
      R.Info.Id = static_cast<uint32_t>(I + 1);
      R.Info.ParentId = I % 10 == 9 ? I : -1; // every tenth a sub-channel
      R.Info.Flags = Bit(cfHierarchical);
      SetField(R.Info.Name, "Room " + std::to_string(I + 1));
      Ch.Add(R);
    }
    for (int I = 0; I < Players; ++I) {
      TPlayerRecord P{};
      P.Id = static_cast<uint32_t>(I + 100);
      P.ChannelId = static_cast<uint32_t>(I % Channels + 1);
      SetShortString(P.Nick, 29, "Bot" + std::to_string(I));
      Pl.Add(P);
    }
  }
};
TFilledRegistry& Registry() {
  static TFilledRegistry R;
  return R;
}
} // namespace

static void BM_RegistryPlayerGet(benchmark::State& State) {
  auto& R = Registry();
  uint32_t Id = 100;
  TPlayerRecord P;
  for (auto _ : State) {
    benchmark::DoNotOptimize(R.Pl.Get(Id, P));
    Id = Id == 100 + Players - 1 ? 100 : Id + 1;
  }
}
BENCHMARK(BM_RegistryPlayerGet);

static void BM_RegistryGetNick(benchmark::State& State) {
  auto& R = Registry();
  uint32_t Id = 100;
  for (auto _ : State) {
    benchmark::DoNotOptimize(R.Pl.GetNick(Id));
    Id = Id == 100 + Players - 1 ? 100 : Id + 1;
  }
}
BENCHMARK(BM_RegistryGetNick);

static void BM_RegistryChannelGet(benchmark::State& State) {
  auto& R = Registry();
  uint32_t Id = 1;
  TChannelRecord C;
  for (auto _ : State) {
    benchmark::DoNotOptimize(R.Ch.Get(Id, C));
    Id = Id == Channels ? 1 : Id + 1;
  }
}
BENCHMARK(BM_RegistryChannelGet);

static void BM_RegistrySameFamily(benchmark::State& State) {
  auto& R = Registry();
  uint32_t Id = 1;
  for (auto _ : State) {
    benchmark::DoNotOptimize(R.Ch.SameFamily(Id, Id % Channels + 1));
    Id = Id == Channels ? 1 : Id + 1;
  }
}
BENCHMARK(BM_RegistrySameFamily);

static void BM_RegistryFindChannelByName(benchmark::State& State) {
  auto& R = Registry();
  int I = 0;
  uint32_t Id;
  for (auto _ : State) {
    benchmark::DoNotOptimize(R.Ch.FindByName("Room " + std::to_string(I % Channels + 1),
                                             I % 10 == 9 ? I % Channels : -1, Id));
    ++I;
  }
}
BENCHMARK(BM_RegistryFindChannelByName);

static void BM_RegistryListPlayers(benchmark::State& State) {
  auto& R = Registry();
  for (auto _ : State)
    benchmark::DoNotOptimize(R.Pl.List());
}
BENCHMARK(BM_RegistryListPlayers)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
