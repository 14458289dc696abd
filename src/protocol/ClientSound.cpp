// The sound side of TClient: opening the codec libraries, storing received
// voice, mixing for the output device and the transmit path.
#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "protocol/ClientProtocol.h"
#include "protocol/ClientProtocolTypes.h"
#include "protocol/logdebug.h"
#include "voice/HawkVoice.h"
#include "voice/PlayerSoundData.h"
#include "voice/SoundUtils.h"
#include "voice/libspeex.h"

namespace orlavonix {

struct TClient::TSoundState {
  bool FInputMuted = false;
  bool FOutputMuted = false;
  bool FCodecUnsupported = false;
  int32_t FSCodec = 0;
  TTalkingList FTalking;
  std::array<float, 8192> FSendBuffer{};
  int32_t FSendCount = 0;
  std::array<float, 8192> FLoopbackBuffer{};
  int32_t FLoopbackCount = 0;
  bool FLoopback = false;
  int32_t FLoopbackCodec = 3;
  int32_t FCurrentCodec = 0;
  int32_t FLoopbackCodecOK = -1;
  hvdi_enc_state* FHawkEncoder = nullptr;
  hvdi_enc_state* FHawkLoopbackEncoder = nullptr;
  hvdi_dec_state* FHawkLoopbackDecoder = nullptr;
  TSpeexCodec FSpeexEncoder;
  TSpeexCodec FSpeexLoopbackEncoder;
  TSpeexCodec FSpeexLoopbackDecoder;
  float FVolume = 1.0f;
  TVox FVox{300};
  TVoiceNormalizer FNormalizer;
  bool FPushToTalk = false;
  bool FPushToTalkPressed = false;
  std::vector<uint8_t> FWhisperTargets; // empty: none
  bool FWhispering = false;
  int32_t FSpeakNr = 0;
  TVoiceMixer FMixer;
  std::array<int16_t, 8192> FPcm{};
  std::array<float, 8192> FDecoded{};
};

void TClient::TSoundStateDeleter::operator()(TSoundState* State) const { delete State; }

namespace {
// Both libraries are process-wide; every TClient of the process shares them
// and the last one closes them.
std::mutex GLibraryLock;
int GLibraryUsers = 0;
} // namespace

void TClient::OpenCodecLibraries() {
  {
    std::lock_guard G(GLibraryLock);
    if (GLibraryUsers == 0) {
      int32_t R = LoadHawkVoice();
      if (R < 0)
        throw Exception(HawkVoiceErrorText(R));
      HawkVoice.hvdiHint(1, 0);
      R = LoadSpeex();
      if (R < 0) {
        // Leave nothing half open, so that a later attempt can succeed.
        UnloadHawkVoice();
        throw Exception(SpeexErrorText(R));
      }
    }
    ++GLibraryUsers;
  }
  FSnd.reset(new TSoundState());
  auto& S = *FSnd;
  S.FHawkEncoder = HawkVoice.hvdiNewEncState();
  S.FHawkLoopbackEncoder = HawkVoice.hvdiNewEncState();
  S.FHawkLoopbackDecoder = HawkVoice.hvdiNewDecState();
  zqSpeexInitEncoder(S.FSpeexEncoder);
  zqSpeexInitEncoder(S.FSpeexLoopbackEncoder);
  zqSpeexInitDecoder(S.FSpeexLoopbackDecoder);
  snd_SetLoopbackCodec(3);
}

void TClient::CloseCodecLibraries() {
  if (!FSnd)
    return;
  std::lock_guard L(FSoundLock);
  auto& S = *FSnd;
  std::lock_guard G(GLibraryLock);
  const bool Last = --GLibraryUsers == 0;
  HawkVoice.hvdiDeleteEncState(S.FHawkEncoder);
  HawkVoice.hvdiDeleteEncState(S.FHawkLoopbackEncoder);
  HawkVoice.hvdiDeleteDecState(S.FHawkLoopbackDecoder);
  S.FHawkEncoder = S.FHawkLoopbackEncoder = nullptr;
  S.FHawkLoopbackDecoder = nullptr;
  if (Last)
    UnloadHawkVoice();
  zqSpeexDoneEncoder(S.FSpeexEncoder);
  zqSpeexDoneEncoder(S.FSpeexLoopbackEncoder);
  zqSpeexDoneDecoder(S.FSpeexLoopbackDecoder);
  if (Last)
    UnloadSpeex();
  FSnd.reset();
}

// ---------------------------------------------------------------------------
// Received voice

bool TClient::VoiceOutputWanted(uint8_t) {
  std::lock_guard L(FSoundLock);
  return FSnd && !FSnd->FOutputMuted && !FSnd->FCodecUnsupported;
}

bool TClient::StoreVoice(TPlayerItem& Player, std::span<const uint8_t> Payload, uint8_t Codec,
                         uint16_t PacketNr, uint16_t SpeakNr) {
  if (!Player.SoundData)
    Player.SoundData = std::make_shared<TPlayerSoundData>(4096);
  auto* Buffer = static_cast<TPlayerSoundData*>(Player.SoundData.get());
  TServerVoiceHeader H{};
  H.Magic = PacketClassServerVoice;
  H.Codec = Codec;
  H.PlayerId = FPlayerId;
  H.SpeakNr = SpeakNr;
  H.SenderId = Player.Record.Id;
  H.PacketNr = PacketNr;
  auto P = std::make_unique<TPacket>();
  P->WriteBuffer(&H, sizeof(H));
  if (!Payload.empty())
    P->WriteBuffer(Payload.data(), static_cast<int32_t>(Payload.size()));
  return Buffer->StorePacket(std::move(P));
}

void TClient::ClearReceiveBuffers() {
  std::lock_guard PL(FPlayers.Mutex());
  FPlayers.ForEachReverse([](TPlayerItem& I) {
    if (I.SoundData)
      static_cast<TPlayerSoundData*>(I.SoundData.get())->Clear();
  });
}

// ---------------------------------------------------------------------------
// Talking list

void TClient::StartTalking(uint32_t Id) {
  if (FSnd->FTalking.Start(Id)) {
    TcbSpeakStartStop R{cb_SpeakStartStop, Id, 1};
    Raise(R);
  }
}

void TClient::StopTalking(uint32_t Id) {
  if (FSnd->FTalking.Stop(Id)) {
    TcbSpeakStartStop R{cb_SpeakStartStop, Id, 0};
    Raise(R);
  }
}

bool TClient::IsTalking(uint32_t Id) {
  std::lock_guard L(FSoundLock);
  return FSnd->FTalking.IsTalking(Id);
}

void TClient::snd_GetSpeakers(std::string& Text) {
  std::lock_guard L(FSoundLock);
  Text = FSnd->FTalking.Text();
}

// ---------------------------------------------------------------------------
// Mixing

bool TClient::snd_GetSoundData(float* Buffer, int32_t Count) {
  std::lock_guard L(FSoundLock);
  auto& S = *FSnd;
  if ((!S.FLoopback && State() != csConnected) || S.FOutputMuted || S.FCodecUnsupported) {
    ClearReceiveBuffers();
    S.FLoopbackCount = 0;
    return false;
  }
  if (Count <= 0)
    return false;
  if (S.FLoopback) {
    int32_t K = std::min(Count, S.FLoopbackCount);
    for (int32_t I = 0; I < K; ++I)
      Buffer[I] = S.FLoopbackBuffer[static_cast<size_t>(I)] * S.FVolume;
    std::fill(Buffer + K, Buffer + Count, 0.0f);
    std::memmove(S.FLoopbackBuffer.data(), S.FLoopbackBuffer.data() + K,
                 static_cast<size_t>(S.FLoopbackCount - K) * sizeof(float));
    S.FLoopbackCount -= K;
    return K > 0;
  }
  {
    std::lock_guard PL(FPlayers.Mutex());
    S.FMixer.Begin(std::min(Count, TPlayerSoundData::RingSize));
    FPlayers.ForEachReverse([&](TPlayerItem& I) {
      if (!I.SoundData)
        return;
      const uint32_t Id = I.Record.Id;
      if (S.FMixer.Collect(*static_cast<TPlayerSoundData*>(I.SoundData.get()), Id) &&
          !S.FTalking.IsTalking(Id))
        StartTalking(Id);
    });
  }
  const uint32_t Own = FPlayerId;
  for (int32_t I = S.FTalking.Count(); I-- > 0;) {
    if (I >= S.FTalking.Count())
      continue;
    const uint32_t Id = S.FTalking.At(I);
    if (Id != Own && !S.FMixer.Contains(Id))
      StopTalking(Id);
  }
  const bool Any = S.FMixer.Mix(Buffer, S.FVolume);
  std::lock_guard PL(FPlayers.Mutex());
  FPlayers.ForEachReverse([](TPlayerItem& I) {
    if (I.SoundData)
      static_cast<TPlayerSoundData*>(I.SoundData.get())->DataUsed();
  });
  return Any;
}

void TClient::snd_SetVolume(float Gain) {
  std::lock_guard L(FSoundLock);
  FSnd->FVolume = Gain;
}

// ---------------------------------------------------------------------------
// Codec configuration

bool TClient::sndi_SetCodec(int32_t Codec, hvdi_enc_state* HawkEncoder, TSpeexCodec& SpeexEncoder) {
  std::lock_guard L(FSoundLock);
  if (Codec >= 0 && Codec <= 3) {
    HawkVoice.hvdiEncStateSetCodec(HawkEncoder, static_cast<uint8_t>(Codecs[Codec].Setting));
    return true;
  }
  if (IsSpeexCodec(Codec)) {
    zqSpeexSetMode(SpeexEncoder, Codec - 5);
    return true;
  }
  LogFmt(lkWarning, "TClient.sndi_SetCodec", "invalid codec %1", Codec);
  return false;
}

void TClient::SetTransmitCodec(uint16_t Codec) {
  FTransmitCodec = Codec;
  std::lock_guard L(FSoundLock);
  FSnd->FSCodec = Codec;
  sndi_ChangeCodec(Codec);
}

void TClient::sndi_ChangeCodec(int32_t Codec) {
  std::lock_guard L(FSoundLock);
  auto& S = *FSnd;
  S.FCurrentCodec = Codec;
  S.FCodecUnsupported = !sndi_SetCodec(Codec, S.FHawkEncoder, S.FSpeexEncoder);
  sndi_UpdateFlags();
  if (S.FCodecUnsupported) {
    TcbError E{cb_Error, -105, 0, 0, 0};
    Raise(E);
    for (int32_t I = S.FTalking.Count(); I-- > 0;)
      if (I < S.FTalking.Count())
        StopTalking(S.FTalking.At(I));
  }
}

bool TClient::sndi_UpdateFlags() {
  std::lock_guard L(FSoundLock);
  auto& S = *FSnd;
  const uint16_t In = Bit(pfInputMuted), Out = Bit(pfOutputMuted);
  uint16_t Old = FPlayerFlags, Word = Old;
  if (S.FCodecUnsupported) {
    Word = static_cast<uint16_t>(Word | In | Out);
  } else {
    Word = static_cast<uint16_t>(S.FInputMuted ? (Word | In) : (Word & ~In));
    Word = static_cast<uint16_t>(S.FOutputMuted ? (Word | Out) : (Word & ~Out));
  }
  if (Word == Old)
    return false;
  FPlayerFlags = Word;
  if (State() == csConnected)
    PlayerSetFlags(Word);
  return true;
}

// ---------------------------------------------------------------------------
// Switches of the user interface

void TClient::snd_SetInputMuted(bool Muted) {
  std::lock_guard L(FSoundLock);
  FSnd->FInputMuted = Muted;
  FSnd->FSendCount = 0;
  if (Muted)
    FSnd->FVox.Reset();
  sndi_UpdateFlags();
}

void TClient::snd_SetOutputMuted(bool Muted) {
  std::lock_guard L(FSoundLock);
  auto& S = *FSnd;
  S.FOutputMuted = Muted;
  S.FLoopbackCount = 0;
  if (Muted)
    for (int32_t I = S.FTalking.Count(); I-- > 0;)
      if (I < S.FTalking.Count())
        StopTalking(S.FTalking.At(I));
  sndi_UpdateFlags();
}

void TClient::snd_MuteBoth() {
  std::lock_guard L(FSoundLock);
  auto& S = *FSnd;
  S.FInputMuted = S.FOutputMuted = true;
  S.FSendCount = 0;
  S.FLoopbackCount = 0;
  S.FVox.Reset();
  sndi_UpdateFlags();
}

void TClient::snd_SetPushToTalk(bool Enabled) {
  std::lock_guard L(FSoundLock);
  FSnd->FPushToTalk = Enabled;
}

void TClient::snd_SetPushToTalkPressed(bool Pressed) {
  std::lock_guard L(FSoundLock);
  FSnd->FPushToTalkPressed = Pressed;
  if (Pressed)
    FSnd->FVox.Reset();
}

void TClient::snd_SetVoxLevel(int32_t Level) {
  std::lock_guard L(FSoundLock);
  FSnd->FVox.SetLevel(Level);
}

void TClient::snd_SetWhisper(std::vector<uint8_t> Targets, bool Whispering) {
  std::lock_guard L(FSoundLock);
  // A block must hold the entries its count announces; a short one is no block.
  if (!Targets.empty() && Targets.size() < size_t(1 + 5 * Targets[0]))
    Targets.clear();
  if (!Targets.empty())
    Targets.resize(size_t(1 + 5 * Targets[0]));
  FSnd->FWhisperTargets = std::move(Targets);
  FSnd->FWhispering = Whispering;
}

void TClient::snd_SetLoopback(bool Enabled) {
  std::lock_guard L(FSoundLock);
  auto& S = *FSnd;
  if (Enabled == S.FLoopback)
    return;
  S.FLoopback = Enabled;
  if (!Enabled)
    S.FLoopbackCount = 0;
  StopTalking(FPlayerId);
  ClearReceiveBuffers();
}

void TClient::snd_SetLoopbackCodec(int32_t Codec) {
  if (Codec < 0 || Codec > 12)
    throw Exception("illegal loopback codec");
  std::lock_guard L(FSoundLock);
  auto& S = *FSnd;
  S.FLoopbackCodec = Codec;
  S.FLoopbackCodecOK =
      sndi_SetCodec(Codec, S.FHawkLoopbackEncoder, S.FSpeexLoopbackEncoder) ? Codec : -1;
}

bool TClient::InputMuted() {
  std::lock_guard L(FSoundLock);
  return FSnd->FInputMuted;
}
bool TClient::OutputMuted() {
  std::lock_guard L(FSoundLock);
  return FSnd->FOutputMuted;
}
bool TClient::CodecUnsupported() {
  std::lock_guard L(FSoundLock);
  return FSnd->FCodecUnsupported;
}
int32_t TClient::SpeakNr() {
  std::lock_guard L(FSoundLock);
  return FSnd->FSpeakNr;
}
int32_t TClient::CurrentCodec() {
  std::lock_guard L(FSoundLock);
  return FSnd->FCurrentCodec;
}

// ---------------------------------------------------------------------------
// Transmit path

bool TClient::ChannelHasFlags(int32_t ChannelId, uint16_t Flags) {
  if (ChannelId < 0)
    return false;
  std::lock_guard CL(FChannels.Mutex());
  const TChannelRecord* C = FChannels.Find(static_cast<uint32_t>(ChannelId));
  if (C && C->Info.ParentId != -1)
    C = FChannels.Find(static_cast<uint32_t>(C->Info.ParentId));
  return C && (C->Info.Flags & Flags) == Flags;
}

void TClient::AppendSendBlock(const float* Samples, int32_t Count, float& Level) {
  auto& S = *FSnd;
  const int32_t K = std::clamp(Count, 0, 8192 - S.FSendCount);
  float* Dest = S.FSendBuffer.data() + S.FSendCount;
  std::copy(Samples, Samples + K, Dest);
  Level = S.FNormalizer.Process(Dest, K);
  S.FSendCount += K;
}

int32_t TClient::EncodeBlock(int32_t Codec, hvdi_enc_state* Hawk, TSpeexCodec& Speex,
                             uint8_t* Out) {
  auto& S = *FSnd;
  const int32_t N = GetSendSamples(Codec);
  if (IsSpeexCodec(Codec)) {
    int32_t Length = 1024;
    zqSpeexEncode(Speex, N, S.FSendBuffer.data(), Length, Out);
    return Length;
  }
  FloatsToSmallInts(S.FSendBuffer.data(), S.FPcm.data(), N);
  return std::max(0, HawkVoice.hvdiPacketEncode(Out, N, S.FPcm.data(), 1024, nullptr, Hawk));
}

void TClient::LoopbackStep(int32_t N) {
  auto& S = *FSnd;
  if (N <= 0 || S.FLoopbackCodecOK < 0)
    return;
  const int32_t Codec = S.FLoopbackCodecOK;
  uint8_t Payload[1024];
  while (S.FSendCount >= N) {
    int32_t Length = EncodeBlock(Codec, S.FHawkLoopbackEncoder, S.FSpeexLoopbackEncoder, Payload);
    const int32_t Room = 8192 - S.FLoopbackCount;
    float* Dest = S.FLoopbackBuffer.data() + S.FLoopbackCount;
    int32_t Got = 0;
    if (IsSpeexCodec(Codec)) {
      Got = 4096;
      zqSpeexDecode(S.FSpeexLoopbackDecoder, Payload, Length, S.FDecoded.data(), Got);
      Got = std::min(Got, Room);
      std::copy(S.FDecoded.data(), S.FDecoded.data() + Got, Dest);
    } else {
      Got = std::max(0, HawkVoice.hvdiPacketDecode(Payload, Length, S.FPcm.data(), Room, nullptr,
                                                   S.FHawkLoopbackDecoder));
      SmallIntsToFloats(S.FPcm.data(), Dest, Got);
    }
    S.FLoopbackCount += Got;
    std::memmove(S.FSendBuffer.data(), S.FSendBuffer.data() + N,
                 static_cast<size_t>(S.FSendCount - N) * sizeof(float));
    S.FSendCount -= N;
  }
}

bool TClient::snd_StoreSoundData(float* Samples, int32_t Count, float& Level) {
  Level = 0.0f;
  std::lock_guard L(FSoundLock);
  if (!FSnd)
    return false;
  auto& S = *FSnd;
  const uint32_t Own = FPlayerId;
  const uint16_t Flags = FPlayerFlags;
  const bool Refused =
      S.FInputMuted || S.FCodecUnsupported || HasFlag(Flags, pfInputMuted) ||
      HasFlag(Flags, pfOutputMuted) || HasFlag(Flags, pfAway) ||
      (ChannelHasFlags(FChannelId, Bit(cfModerated)) && (FChannelPrivileges & 0x1F) == 0 &&
       !HasFlag(FPlayerPrivileges, ppServerAdmin));
  if (Refused) {
    StopTalking(Own);
    return false;
  }

  if (S.FLoopback) {
    const int32_t N = GetSendSamples(S.FLoopbackCodec);
    LoopbackStep(N);
    const bool Taken = S.FPushToTalk ? S.FPushToTalkPressed : S.FVox.Check(Samples, Count);
    if (Taken && N > 0) {
      StartTalking(Own);
      float Ignored;
      AppendSendBlock(Samples, Count, Ignored);
      LoopbackStep(N);
    } else {
      StopTalking(Own);
    }
    return false;
  }

  std::lock_guard B(FBufferLock);
  if (State() != csConnected || !FBuffer || FBuffer->Closing())
    return false;
  const int32_t N = GetSendSamples(S.FSCodec);
  const bool Whispering = S.FWhispering && !S.FWhisperTargets.empty();
  const bool Taken =
      Whispering || (S.FPushToTalk ? S.FPushToTalkPressed : S.FVox.Check(Samples, Count));
  if (!Taken || N <= 0) {
    if (S.FTalking.IsTalking(Own)) {
      StopTalking(Own);
      S.FSpeakNr = (S.FSpeakNr + 1) % 65536;
    }
    return false;
  }
  StartTalking(Own);
  AppendSendBlock(Samples, Count, Level);
  TClientVoiceHeader H{};
  H.Magic = PacketClassClientVoice;
  H.Flags = Whispering ? 1 : 0;
  H.Codec = static_cast<uint8_t>(S.FCurrentCodec);
  H.PlayerId = Own;
  H.SpeakNr = static_cast<uint16_t>(S.FSpeakNr);
  if (S.FSCodec != S.FCurrentCodec)
    LogDebug("TClient.snd_StoreSoundData", "FSCodec <> FCurrentCodec");
  uint8_t Payload[1024];
  while (S.FSendCount >= N) {
    auto P = std::make_unique<TPacket>();
    P->WriteBuffer(&H, sizeof(H));
    if (Whispering)
      P->WriteBuffer(S.FWhisperTargets.data(), static_cast<int32_t>(S.FWhisperTargets.size()));
    int32_t Length = EncodeBlock(S.FCurrentCodec, S.FHawkEncoder, S.FSpeexEncoder, Payload);
    P->WriteBuffer(Payload, Length);
    try {
      FBuffer->SendPacket(std::move(P));
    } catch (const std::exception& E) {
      LogException("TClient.snd_StoreSoundData", E);
    }
    std::memmove(S.FSendBuffer.data(), S.FSendBuffer.data() + N,
                 static_cast<size_t>(S.FSendCount - N) * sizeof(float));
    S.FSendCount -= N;
  }
  return true;
}

void TClient::ResetTransmitPath() {
  std::lock_guard L(FSoundLock);
  if (!FSnd)
    return;
  FSnd->FTalking.Clear();
  FSnd->FSendCount = 0;
  FSnd->FLoopbackCount = 0;
  FSnd->FWhisperTargets.clear();
  FSnd->FWhispering = false;
}

} // namespace orlavonix
