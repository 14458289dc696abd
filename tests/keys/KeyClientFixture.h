#pragma once
// A logged-in connection object without a socket (its packets come out as
// kind 30 records) behind the key bindings' adapter, with a small registry
// and helpers that feed captured sound and read the voice packets it sent.

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "keys/ClientKeyClient.h"
#include "protocol/ClientProtocol.h"
#include "protocol/ClientProtocolTypes.h"
#include "support/ClientHarness.h"

namespace orlavonix::test {

using namespace orlavonix::testing;

struct TSentVoice {
  uint8_t Flags;
  TBytes Rest; // target block (when whispering), then the payload
};

// Channels: 1 "Lobby" (top) with subchannels 2 "Sub" and 3 "Other Sub", and
// 4 "Far" (top). Players in registry order: the user (5, "me") in 2, 9
// "other" in 1 and 10 "third" in 3, both channel commanders, 11 "far" in 4.
class TKeyClientRig {
public:
  static constexpr uint32_t Me = TClientHarness::Me;
  static constexpr uint16_t Commander = 1u << pfChannelCommander;
  static constexpr uint16_t Codec = 8; // a Speex mode, packets from 1488 samples on

  TKeyClientRig() : Adapter(*H.Client) {}

  // Logs in; false when the login did not complete.
  bool Login() { return H.Login() == 0 && FinishLogin(); }
  // After the login reply: the server's lists and the end of the login.
  bool FinishLogin() {
    H.Send(6, ChannelList(
                  {ChannelWire(1, "Lobby", -1, 0, Codec), ChannelWire(2, "Sub", 1, 0, Codec),
                   ChannelWire(3, "Other Sub", 1, 0, Codec), ChannelWire(4, "Far", -1, 0, Codec)}));
    H.Send(7, PlayerList({PlayerWire(Me, 2, "me"), PlayerWire(9, 1, "other", 0, 0, Commander),
                          PlayerWire(10, 3, "third", 0, 0, Commander), PlayerWire(11, 4, "far")}));
    H.Send(8, LoginDone());
    return H.Log.WaitForKind(cb_initDone) && H.Client->State() == csConnected;
  }

  // Feeds Blocks capture blocks of 744 samples of a tone; returns how many
  // the transmit path took (it takes nothing while neither push-to-talk nor
  // whispering lets sound through).
  int Feed(int Blocks) {
    int Taken = 0;
    for (int B = 0; B < Blocks; ++B) {
      std::vector<float> Tone(744);
      for (size_t I = 0; I < Tone.size(); ++I)
        Tone[I] = static_cast<float>(
            8000.0 * std::sin(2 * 3.14159265358979 * 1000.0 * double(FFed + I) / 8000.0));
      FFed += Tone.size();
      float Level = -1;
      Taken += H.Client->snd_StoreSoundData(Tone.data(), int32_t(Tone.size()), Level) ? 1 : 0;
    }
    return Taken;
  }

  // The voice packets sent so far (kind 30 records of class 0xBEF2).
  std::vector<TSentVoice> Voice() const {
    std::vector<TSentVoice> Out;
    for (auto& B : SentPackets(H.Log))
      if (B.size() >= 16 && GetLE<uint16_t>(B.data()) == PacketClassClientVoice)
        Out.push_back({B[2], TBytes(B.begin() + 16, B.end())});
    return Out;
  }
  // Waits until Count voice packets were sent in all.
  bool WaitVoice(size_t Count) {
    return H.Log.WaitFor(
        [](const TRecord& R) {
          if (TEventLog::KindOf(R) != cb_SendPacket)
            return false;
          auto S = TEventLog::As<TcbSendPacket>(R);
          return S.Size >= 16 && GetLE<uint16_t>(S.Data) == PacketClassClientVoice;
        },
        Count, 5000);
  }

  TClientHarness H;
  TClientKeyClient Adapter;

private:
  size_t FFed = 0;
};

} // namespace orlavonix::test
