// Arbitrary datagrams into the packet buffer's receive side, with the send
// and event sides drained after each one. Input: records of a 16-bit length,
// a control byte and that many bytes.
#include <cstdint>
#include <cstring>

#include "base/Bytes.h"
#include "protocol/PacketBuffers.h"

using namespace orlavonix;

namespace {
constexpr uint32_t Me = 7;
constexpr uint32_t Conn = 99;

void Drain(TCustomPacketBuffer& Buf) {
  for (int I = 0; I < 4096; ++I) {
    TPacketPtr P = Buf.TryGetPacketToSend();
    if (!P)
      break;
    // What goes on the wire is a whole packet of one class within the size.
    if (!P->IsValid() || P->Size() > 560)
      __builtin_trap();
  }
  for (int I = 0; I < 8192; ++I) {
    int32_t Kind;
    uint32_t Id;
    TPacketPtr P;
    Buf.TryGetEvent(Kind, Id, P);
    if (Kind == bekNone || Kind == bekConnectionTimedOut)
      break;
    if (Kind == bekPacketReceived && !P->IsCommand() && !P->IsServerVoice())
      __builtin_trap();
  }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TManualClock Clock;
  TCustomPacketBuffer Buf(pboClient | pboResend | pboKeepAlive, &Clock);
  Buf.AddConnection(Me, Conn, "127.0.0.1", 1, 1, "");
  Buf.SetCaptureLoginReply(true);
  TByteReader R(Data, Size);
  while (R.Remaining() >= 3) {
    size_t Len = R.U16() % 1200;
    const uint8_t Control = R.U8();
    Len = std::min(Len, R.Remaining());
    auto Bytes = R.Take(Len);
    auto P = std::make_unique<TPacket>();
    if (Len)
      P->WriteBuffer(Bytes.data(), static_cast<int32_t>(Len));
    P->SetPosition(0);
    // Most inputs should reach the connection: aim them at it and seal them.
    if ((Control & 1) && P->Size() >= 12) {
      PutLE<uint32_t>(P->Memory() + 4, Conn);
      PutLE<uint32_t>(P->Memory() + 8, Me);
    }
    if ((Control & 2) && (P->IsCommand() || P->IsMaintenance()))
      P->SetCrc();
    try {
      if (Control & 0x80) {
        if (P->Size() >= 12)
          PutLE<uint32_t>(P->Memory() + 8, Me);
        Buf.SendPacket(std::move(P));
      } else {
        Buf.ReceivePacket(std::move(P));
      }
    } catch (const Exception&) {
    }
    if (Control & 4)
      Clock.AdvanceMs(((Control >> 3) & 0xF) * 150.0);
    Drain(Buf);
  }
  Buf.TakeLoginReply();
  return 0;
}
