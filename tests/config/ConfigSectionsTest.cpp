#include <functional>
#include <gtest/gtest.h>

#include "ConfigTestSupport.h"
#include "config/ConfigSections.h"

using namespace orlavonix;
using namespace orlavonix::test;

namespace {

// A store loaded from the given sections; the file name is never used.
struct StoreWith : TConfigFile {
  explicit StoreWith(const std::vector<TRawSection>& Sections)
      : TConfigFile("/nonexistent/Orlavonix.Conf") {
    LoadFromImage(Scrambled(PlainImage(Sections)));
  }
};

std::vector<uint8_t> MainFormTail(const std::string& Nick, int32_t Debug, uint8_t Maximised) {
  TByteWriter W;
  W.U8(1).ShortString(Nick, 29).I32(Debug);
  W.I32(11).I32(22).I32(333).I32(444).I32(55).I32(66).U8(Maximised);
  return W.Data();
}

TEST(MainFormSection, ReadsCurrentLayoutUnderAnyLetterCase) {
  auto Data = MainFormTail("Ann", 3, 0);
  Data.insert(Data.begin(), 1); // platform option
  auto C = StoreWith({{"mainform linux v2.0 beta 6", Data}});
  auto M = ReadMainFormSettings(C);
  ASSERT_TRUE(M);
  EXPECT_TRUE(M->PlatformOption);
  EXPECT_TRUE(M->BlockWhispersDefault);
  EXPECT_EQ(M->DefaultNickname, "Ann");
  EXPECT_EQ(M->DebugLevel, 3);
  EXPECT_EQ(M->Top, 11);
  EXPECT_EQ(M->Left, 22);
  EXPECT_EQ(M->Height, 333);
  EXPECT_EQ(M->Width, 444);
  EXPECT_EQ(M->TreeAreaHeight, 55);
  EXPECT_EQ(M->TreeWidth, 66);
  EXPECT_FALSE(M->Maximised);
}

TEST(MainFormSection, FallsBackToBeta4AndWritesBeta6NextToIt) {
  auto Beta4 = MainFormTail("Bob", 1, 1);
  auto C = StoreWith({{"MainForm Linux V2.0 beta 4", Beta4}});
  auto M = ReadMainFormSettings(C);
  ASSERT_TRUE(M);
  EXPECT_FALSE(M->PlatformOption);
  EXPECT_EQ(M->DefaultNickname, "Bob");
  EXPECT_EQ(M->DebugLevel, 1);
  EXPECT_EQ(M->TreeWidth, 66);
  EXPECT_TRUE(M->Maximised) << "a non-zero stored byte opens maximised";

  WriteMainFormSettings(C, *M);
  EXPECT_EQ(C.Names(),
            (std::vector<std::string>{"MainForm Linux V2.0 beta 4", "MainForm Linux V2.0 beta 6"}));
  EXPECT_EQ(C.GetSection(SectionMainFormBeta4, false)->Bytes(), Beta4) << "old section untouched";
  auto* New = C.GetSection(SectionMainForm, false);
  ASSERT_EQ(New->Size(), 61u);
  EXPECT_EQ(New->Bytes().back(), 0) << "the maximised byte is written as 0";
  auto Again = ReadMainFormSettings(C);
  ASSERT_TRUE(Again);
  EXPECT_EQ(Again->DefaultNickname, "Bob");
  EXPECT_EQ(Again->Width, 444);
  EXPECT_FALSE(Again->Maximised);
}

TEST(MainFormSection, MissingGivesNothing) {
  auto C = StoreWith({});
  EXPECT_FALSE(ReadMainFormSettings(C));
  EXPECT_EQ(TMainFormSettings{}.DebugLevel, 2);
}

TEST(SoundDevicesSection, Beta1WithLongNamesConvertsToBeta2) {
  const std::string In(99, 'i'), Out(99, 'o');
  TByteWriter W;
  W.I32(2048).I32(1).I32(0).ShortString(In, 99).ShortString(Out, 99);
  ASSERT_EQ(W.Size(), 212u);
  auto C = StoreWith({{"SoundDevicesLinux V2.0 beta 1", W.Data()}});
  auto D = ReadSoundDeviceSettings(C);
  ASSERT_TRUE(D);
  EXPECT_EQ(D->BufferSize, 2048);
  EXPECT_EQ(D->InputKind, 1);
  EXPECT_EQ(D->OutputKind, 0);
  EXPECT_FALSE(D->OpenFlag);
  EXPECT_EQ(D->InputDevice, In);
  EXPECT_EQ(D->OutputDevice, Out);

  D->OpenFlag = true;
  WriteSoundDeviceSettings(C, *D);
  auto* New = C.GetSection(SectionSoundDevices, false);
  ASSERT_EQ(New->Size(), 216u);
  EXPECT_EQ(New->Bytes()[12], 0) << "the open flag is written as 0";
  auto Again = ReadSoundDeviceSettings(C);
  ASSERT_TRUE(Again);
  EXPECT_EQ(Again->InputDevice, In);
  EXPECT_EQ(Again->OutputDevice, Out);
  EXPECT_EQ(Again->BufferSize, 2048);
}

TEST(SoundDevicesSection, MissingGivesNothingAndTheDefaultsAreTheDevice) {
  auto C = StoreWith({});
  EXPECT_FALSE(ReadSoundDeviceSettings(C));
  TSoundDeviceSettings D;
  EXPECT_EQ(D.BufferSize, 4096);
  EXPECT_EQ(D.InputDevice, "/dev/dsp");
  EXPECT_EQ(D.OutputDevice, "/dev/dsp");
}

TEST(EventSoundsSection, RoundTripAndTheWriterEmptiesFirst) {
  auto C = StoreWith({{"Sounds V2.0 beta 3", std::vector<uint8_t>(9000, 0x41)}});
  TEventSoundSettings E;
  E.Disabled = true;
  E.Volume = 7;
  for (int I = 0; I < EventSoundCount; ++I)
    E.Files[I] = "/snd/" + std::to_string(I + 1) + ".wav";
  E.Files[29] = std::string(300, 'x'); // cut to 255
  WriteEventSoundSettings(C, E);
  EXPECT_EQ(C.GetSection(SectionSounds, false)->Size(), 1u + 4u + 30u * 256u);
  auto R = ReadEventSoundSettings(C);
  ASSERT_TRUE(R);
  EXPECT_TRUE(R->Disabled);
  EXPECT_EQ(R->Volume, 7);
  EXPECT_EQ(R->Files[0], "/snd/1.wav");
  EXPECT_EQ(R->Files[28], "/snd/29.wav");
  EXPECT_EQ(R->Files[29], std::string(255, 'x'));
}

TEST(Sections, OtherWritersOverwriteWithoutShortening) {
  auto C = StoreWith({{"Bandwidth V2.0 beta 1", {1, 1, 1, 1, 2, 2, 2, 2, 9, 9}}});
  WriteBandwidthSettings(C, {64, 128});
  auto* S = C.GetSection(SectionBandwidth, false);
  EXPECT_EQ(S->Bytes(), (std::vector<uint8_t>{64, 0, 0, 0, 128, 0, 0, 0, 9, 9}));
  auto B = ReadBandwidthSettings(C);
  ASSERT_TRUE(B);
  EXPECT_EQ(B->Upload, 64);
  EXPECT_EQ(B->Download, 128);
}

TEST(Sections, RoundTripsThroughTheFileImage) {
  TConfigFile C("/nonexistent/Orlavonix.Conf");
  WriteVolumeSettings(C, {15, true, 33});
  WriteRecordingDir(C, "/home/u/rec");
  WriteUpdateCheckText(C, "KnownLastVersion=2.0.32.61\r\nOther=1");
  TConnectInfo Q;
  Q.Clear();
  Q.SetServerAddress("voice.example:9000");
  Q.SetNickname("Ann");
  Q.AutoReconnect = 1;
  WriteQuickConnect(C, Q);

  TConfigFile L("/nonexistent/Orlavonix.Conf");
  L.LoadFromImage(C.SaveToImage());
  auto V = ReadVolumeSettings(L);
  ASSERT_TRUE(V);
  EXPECT_EQ(V->OutputVolume, 15);
  EXPECT_TRUE(V->PushToTalk);
  EXPECT_EQ(V->ActivationLevel, 33);
  EXPECT_EQ(ReadRecordingDir(L), "/home/u/rec");
  EXPECT_EQ(ReadUpdateCheckText(L), "KnownLastVersion=2.0.32.61\r\nOther=1");
  auto RQ = ReadQuickConnect(L);
  EXPECT_EQ(std::memcmp(&RQ, &Q, sizeof Q), 0);
}

TEST(Sections, MissingSectionsGiveTheirEmptyValues) {
  auto C = StoreWith({});
  EXPECT_FALSE(ReadEventSoundSettings(C));
  EXPECT_FALSE(ReadBandwidthSettings(C));
  EXPECT_FALSE(ReadVolumeSettings(C));
  EXPECT_FALSE(ReadRecordingDir(C));
  EXPECT_EQ(ReadUpdateCheckText(C), "");
  auto Q = ReadQuickConnect(C);
  EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&Q),
                                 reinterpret_cast<uint8_t*>(&Q) + sizeof Q),
            std::vector<uint8_t>(695, 0));
  EXPECT_EQ(C.Count(), 0u) << "readers never create sections";
}

// Every reader accepts a section of exactly its layout size and raises an
// error naming the section when it is one byte shorter.
TEST(Sections, ShortSectionsRaiseAnErrorNamingTheSection) {
  struct TCase {
    const char* Name;
    size_t Size;
    std::function<void(TConfigFile&)> Read;
  };
  const std::vector<TCase> Cases = {
      {"MainForm Linux V2.0 beta 6", 61, [](TConfigFile& C) { ReadMainFormSettings(C); }},
      {"MainForm Linux V2.0 beta 4", 60, [](TConfigFile& C) { ReadMainFormSettings(C); }},
      {"SoundDevicesLinux V2.0 beta 2", 216, [](TConfigFile& C) { ReadSoundDeviceSettings(C); }},
      {"SoundDevicesLinux V2.0 beta 1", 212, [](TConfigFile& C) { ReadSoundDeviceSettings(C); }},
      {"Sounds V2.0 beta 3", 7685, [](TConfigFile& C) { ReadEventSoundSettings(C); }},
      {"Bandwidth V2.0 beta 1", 8, [](TConfigFile& C) { ReadBandwidthSettings(C); }},
      {"QuickConnect V2.0 beta 1", 695, [](TConfigFile& C) { ReadQuickConnect(C); }},
      {"Volumes V2.0 beta 1", 9, [](TConfigFile& C) { ReadVolumeSettings(C); }},
      {"Recording V2.0 beta 1", 256, [](TConfigFile& C) { ReadRecordingDir(C); }},
      {"UpdateCheck V2.0 beta 1", 4, [](TConfigFile& C) { ReadUpdateCheckText(C); }},
  };
  for (const auto& T : Cases) {
    SCOPED_TRACE(T.Name);
    auto Exact = StoreWith({{T.Name, std::vector<uint8_t>(T.Size, 0)}});
    EXPECT_NO_THROW(T.Read(Exact));
    auto Short = StoreWith({{T.Name, std::vector<uint8_t>(T.Size - 1, 0)}});
    try {
      T.Read(Short);
      ADD_FAILURE() << "no error for a short section";
    } catch (const EConfigReadError& E) {
      EXPECT_NE(std::string(E.what()).find(T.Name), std::string::npos) << E.what();
    }
  }
}

TEST(Sections, UpdateTextLengthMustFitTheSection) {
  for (int32_t Len : {-1, 6, 0x7FFFFFFF}) {
    SCOPED_TRACE(Len);
    TByteWriter W;
    W.I32(Len).Bytes("abcde", 5);
    auto C = StoreWith({{"UpdateCheck V2.0 beta 1", W.Data()}});
    EXPECT_THROW(ReadUpdateCheckText(C), EConfigReadError);
  }
}

} // namespace
