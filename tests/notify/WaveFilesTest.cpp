// The WAV reader of the event sounds: what it refuses with which text, what it
// accepts, and that no cut of a valid file makes it read out of bounds.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/Exceptions.h"
#include "notify/EventSoundNames.h"
#include "notify/WaveBuilder.h"
#include "notify/WaveFiles.h"

namespace orlavonix {
namespace {

using test::MakeWave;
using test::TWaveSpec;

std::string Refusal(const TWaveSpec& S, int32_t Rate = 22050, int32_t Bits = 16) {
  try {
    ParseWave(MakeWave(S), Rate, Bits);
  } catch (const Exception& E) {
    return E.Message();
  }
  return "accepted";
}

TEST(WaveReader, RefusesWrongContainerLayoutAndFormatWithItsText) {
  auto With = [](auto Change) {
    TWaveSpec S;
    Change(S);
    return S;
  };
  struct Case {
    TWaveSpec Fields;
    std::string Text;
  } Cases[] = {
      {With([](TWaveSpec& S) { S.Riff = "RIFX"; }), "Not a RIFF file"},
      {With([](TWaveSpec& S) { S.Wave = "AVI "; }), "Not WAVE encoded file"},
      {With([](TWaveSpec& S) { S.FmtSize = 18; }), "illegal fmt header size"},
      {With([](TWaveSpec& S) { S.FmtSize = 40; }), "illegal fmt header size"},
      {With([](TWaveSpec& S) { S.Tag = 3; }), "Not PCM encoded file"},
      {With([](TWaveSpec& S) {
         S.Channels = 2;
         S.Align = 4;
       }),
       "Not a mono file"},
      {With([](TWaveSpec& S) { S.Rate = 44100; }), "Invalid Samplerate"},
      {With([](TWaveSpec& S) {
         S.Bits = 8;
         S.Align = 1;
       }),
       "Invalid Bits Pers Sample"},
      // Block alignment 2 lets another sample size through.
      {With([](TWaveSpec& S) { S.Bits = 8; }), "accepted"},
      {TWaveSpec{}, "accepted"},
  };
  for (auto& C : Cases)
    EXPECT_EQ(Refusal(C.Fields), C.Text);
  // The rate and size asked for are the caller's.
  EXPECT_EQ(Refusal(TWaveSpec{}, 44100), "Invalid Samplerate");
  EXPECT_EQ(Refusal(With([](TWaveSpec& S) { S.Align = 1; }), 22050, 8), "Invalid Bits Pers Sample");
}

TEST(WaveReader, SkipsOtherChunksAroundTheFormat) {
  TWaveSpec S;
  S.Before = {{"JUNK", std::vector<uint8_t>(28, 0)}};
  S.Between = {{"LIST", std::vector<uint8_t>{'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 4, 0, 0, 0,
                                             'a', 'b', 'c', 0}},
               {"fact", std::vector<uint8_t>(4, 1)}};
  TWaveSound W = ParseWave(MakeWave(S), 22050, 16);
  EXPECT_EQ(std::string(W.DataId.data(), 4), "data");
  EXPECT_EQ(W.Size, S.Samples.size() * 2);
  EXPECT_EQ(W.Samples, S.Samples);
}

TEST(WaveReader, DataCutShortKeepsWhatIsThere) {
  TWaveSpec S;
  S.Samples = {10, 20, 30, 40};
  S.DeclaredData = 100000;
  TWaveSound W = ParseWave(MakeWave(S), 22050, 16);
  EXPECT_EQ(W.Size, 8u);
  EXPECT_EQ(W.Samples, S.Samples);
}

TEST(WaveReader, EveryCutOfAValidFileFailsCleanlyOrKeepsAPrefix) {
  TWaveSpec S;
  S.Between = {{"LIST", std::vector<uint8_t>(10, 7)}};
  auto Full = MakeWave(S);
  const size_t DataStart = Full.size() - S.Samples.size() * 2;
  for (size_t Len = 0; Len <= Full.size(); ++Len) {
    std::vector<uint8_t> Cut(Full.begin(), Full.begin() + long(Len));
    if (Len < DataStart) {
      EXPECT_THROW(ParseWave(Cut, 22050, 16), Exception) << Len;
    } else {
      TWaveSound W = ParseWave(Cut, 22050, 16);
      EXPECT_EQ(W.Size, Len - DataStart) << Len;
      for (size_t I = 0; I < W.Size / 2; ++I)
        EXPECT_EQ(W.Samples[I], S.Samples[I]);
    }
  }
}

TEST(WaveReader, HugeChunkSizesAreNotFollowedOutOfTheData) {
  TWaveSpec S;
  S.Before = {{"JUNK", {}}};
  auto Bytes = MakeWave(S);
  PutLE<uint32_t>(Bytes.data() + 16, 0xFFFFFFF0u); // JUNK claims almost 4 GiB
  EXPECT_THROW(ParseWave(Bytes, 22050, 16), EReadError);
}

TEST(WaveReader, MissingFileNamesTheReason) {
  try {
    ReadWholeFile("/nonexistent/sound.wav");
    ADD_FAILURE();
  } catch (const Exception& E) {
    EXPECT_NE(E.Message().find("/nonexistent/sound.wav"), std::string::npos);
    EXPECT_NE(E.Message().find("No such file"), std::string::npos);
  }
}

TEST(DefaultSounds, EveryEventsDefaultFileLoadsAndIsAShortAudibleCue) {
  namespace fs = std::filesystem;
  size_t Files = 0;
  for (auto& Name : EventSoundNames) {
    fs::path Path = fs::path(ORLAVONIX_SOURCE_DIR) / "data/sounds" / Name.DefaultFile;
    SCOPED_TRACE(Path.string());
    TWaveSound W = ParseWave(ReadWholeFile(Path), 22050, 16);
    ++Files;
    double Seconds = W.Size / 2 / 22050.0;
    EXPECT_GT(Seconds, 0.1);
    EXPECT_LE(Seconds, 1.6);
    int Peak = 0;
    for (int16_t V : W.Samples)
      Peak = std::max(Peak, std::abs(int(V)));
    EXPECT_GT(Peak, 8000);
  }
  EXPECT_EQ(Files, 30u);
  size_t Shipped = 0;
  for ([[maybe_unused]] auto& E :
       fs::directory_iterator(fs::path(ORLAVONIX_SOURCE_DIR) / "data/sounds"))
    ++Shipped;
  EXPECT_EQ(Shipped, 30u);
}

} // namespace
} // namespace orlavonix
