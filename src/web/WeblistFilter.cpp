#include "web/WeblistFilter.h"

#include <algorithm>
#include <cstring>

#include "base/Bytes.h"
#include "config/ConfigFile.h"

namespace orlavonix {

namespace {
constexpr size_t MaxNameChars = 15;
constexpr int32_t SpinMin = 1;
constexpr int32_t SpinMax = 9999;

int32_t GroupIndex(int32_t V) {
  return V >= 0 && V <= 2 ? V : 0;
}
} // namespace

std::string WeblistFilterName(const TWeblistFilter& Filter) {
  return std::string(Filter.Name, strnlen(Filter.Name, MaxNameChars));
}

void SetWeblistFilterName(TWeblistFilter& Filter, std::string_view Name) {
  std::memset(Filter.Name, 0, sizeof Filter.Name);
  std::memcpy(Filter.Name, Name.data(), std::min(Name.size(), MaxNameChars));
}

std::vector<uint8_t> BuildWeblistRequest(const TWeblistFilter& Filter) {
  std::string Name = WeblistFilterName(Filter);
  TByteWriter W;
  W.U8(static_cast<uint8_t>(11 + Name.size()))
      .U8(1)
      .U8(Filter.Country >= 1000 ? 1 : 0)
      .U16(Filter.Country)
      .U8(Filter.Password)
      .U8(Filter.UsersMode)
      .U16(Filter.UsersValue)
      .U8(Filter.ServerType)
      .U8(Filter.NameMode)
      .Terminated(Name);
  return std::move(W.Data());
}

std::array<std::span<const uint8_t>, 3> WeblistRequestParts(std::span<const uint8_t> Request) {
  size_t A = std::min<size_t>(1, Request.size());
  size_t B = std::min<size_t>(11, Request.size());
  return {Request.subspan(0, A), Request.subspan(A, B - A), Request.subspan(B)};
}

std::array<uint8_t, WeblistFilterSectionSize>
WriteWeblistFilterSection(const TWeblistFilterSettings& S) {
  TByteWriter W;
  W.I32(S.TypeIndex)
      .I32(S.PasswordIndex)
      .I32(S.NameMode)
      .ShortString(S.Contains, MaxNameChars)
      .ShortString(S.Starts, MaxNameChars)
      .I32(S.UsersMode)
      .I32(S.ContainingValue)
      .I32(S.MaxValue)
      .I32(S.Country);
  std::array<uint8_t, WeblistFilterSectionSize> Out{};
  std::memcpy(Out.data(), W.Data().data(), Out.size());
  return Out;
}

TWeblistFilterSettings ReadWeblistFilterSection(std::span<const uint8_t> Bytes) {
  TByteReader R(Bytes);
  TWeblistFilterSettings S;
  S.TypeIndex = GroupIndex(R.I32());
  S.PasswordIndex = GroupIndex(R.I32());
  int32_t NameMode = R.I32();
  S.Contains = R.ShortString(MaxNameChars);
  S.Starts = R.ShortString(MaxNameChars);
  int32_t UsersMode = R.I32();
  S.ContainingValue = std::clamp(R.I32(), SpinMin, SpinMax);
  S.MaxValue = std::clamp(R.I32(), SpinMin, SpinMax);
  int32_t Country = R.I32();
  S.NameMode = NameMode == 0 || NameMode == 1 ? NameMode : 2;
  S.UsersMode = UsersMode >= 0 && UsersMode <= 3 ? UsersMode : 4;
  S.Country = Country >= 0 && Country <= 0xFFFF ? Country : 0;
  return S;
}

bool LoadWeblistFilter(TConfigFile& Config, TWeblistFilterSettings& Settings) {
  TMemoryStream* S = Config.GetSection(WeblistFilterSectionName, false);
  if (!S) {
    Settings = TWeblistFilterSettings{};
    return false;
  }
  std::array<uint8_t, WeblistFilterSectionSize> Bytes;
  S->Seek(0);
  S->Read(Bytes.data(), Bytes.size());
  Settings = ReadWeblistFilterSection(Bytes);
  return true;
}

void SaveWeblistFilter(TConfigFile& Config, const TWeblistFilterSettings& Settings) {
  TMemoryStream* S = Config.GetSection(WeblistFilterSectionName, true);
  auto Bytes = WriteWeblistFilterSection(Settings);
  S->Seek(0);
  S->Write(Bytes.data(), Bytes.size());
}

TWeblistFilter BuildWeblistFilter(const TWeblistFilterSettings& S) {
  TWeblistFilter F;
  F.Country = S.Country >= 0 && S.Country <= 0xFFFF ? static_cast<uint16_t>(S.Country) : 0;
  F.Password = static_cast<uint8_t>(GroupIndex(S.PasswordIndex));
  F.UsersValue = 0;
  switch (S.UsersMode) {
  case 0:
    F.UsersMode = 0;
    break;
  case 1:
    F.UsersMode = 1;
    break;
  case 2:
    F.UsersMode = 2;
    F.UsersValue = static_cast<uint16_t>(std::clamp(S.ContainingValue, SpinMin, SpinMax));
    break;
  case 3:
    F.UsersMode = 3;
    F.UsersValue = static_cast<uint16_t>(std::clamp(S.MaxValue, SpinMin, SpinMax));
    break;
  default:
    F.UsersMode = 4;
  }
  F.ServerType = static_cast<uint8_t>(GroupIndex(S.TypeIndex));
  if (S.NameMode == 0) {
    F.NameMode = 0;
  } else if (S.NameMode == 1) {
    F.NameMode = 1;
    SetWeblistFilterName(F, S.Contains);
  } else {
    F.NameMode = 2;
    SetWeblistFilterName(F, S.Starts);
  }
  return F;
}

} // namespace orlavonix
