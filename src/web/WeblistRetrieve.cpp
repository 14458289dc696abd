#include "web/WeblistRetrieve.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/Bytes.h"
#include "base/Format.h"
#include "config/ConfigFile.h"
#include "config/ConfigSections.h"
#include "web/countries.h"

namespace orlavonix {

TWeblistEntry DecodeWeblistEntry(std::span<const uint8_t, WeblistEntrySize> Bytes) {
  TByteReader R(Bytes.data(), Bytes.size());
  TWeblistEntry E;
  E.Flags = R.U16();
  E.Players = R.U16();
  E.MaxPlayers = R.U16();
  E.Country = R.U16();
  E.Address = R.U32();
  E.Port = R.U16();
  return E;
}

namespace {
template <size_t N> void CopyField(char (&Field)[N], std::string_view Text) {
  size_t Len = std::min(Text.size(), N - 1);
  std::memcpy(Field, Text.data(), Len);
  Field[Len] = 0;
}
} // namespace

const char* TWeblistItem::Field(int Id) const {
  switch (Id) {
  case 0:
    return Name;
  case 1:
    return ServerType;
  case 2:
    return Password;
  case 3:
    return Users;
  case 4:
    return Country;
  case 5:
    return Address;
  default:
    return nullptr;
  }
}

TWeblistItem MakeWeblistItem(const TWeblistEntry& E, std::string_view Name) {
  TWeblistItem I;
  CopyField(I.Name, Name.substr(0, std::min(Name.size(), Name.find('\0'))));
  CopyField(I.ServerType, (E.Flags & 2) ? "Clan" : "Public");
  CopyField(I.Password, (E.Flags & 1) ? "Yes" : "No");
  CopyField(I.Users, Format("%4d/%4d", E.Players, E.MaxPlayers));
  CopyField(I.Country, CountryName(E.Country));
  CopyField(I.Address, Format("%d.%d.%d.%d:%d", (E.Address >> 24) & 0xFF, (E.Address >> 16) & 0xFF,
                              (E.Address >> 8) & 0xFF, E.Address & 0xFF, E.Port));
  return I;
}

void TWeblistList::AddServer(const TWeblistEntry& Entry, std::string_view Name) {
  FItems.push_back(std::make_unique<TWeblistItem>(MakeWeblistItem(Entry, Name)));
}

const TWeblistItem* TWeblistList::GetItem(int Index) const {
  if (Index < 0 || Index >= Count())
    return nullptr;
  return FItems[static_cast<size_t>(Index)].get();
}

TWeblistReplyEnd ReadWeblistReply(const TReadExact& Read, TWeblistList& List,
                                  const std::function<bool()>& Stop) {
  uint8_t L = 0;
  Read(&L, 1);
  while (L >= 15 && L <= 45) {
    uint8_t Raw[WeblistEntrySize];
    Read(Raw, sizeof Raw);
    char Name[45 - WeblistEntrySize];
    size_t NameLen = L - WeblistEntrySize;
    Read(Name, NameLen);
    Name[NameLen - 1] = 0; // the name ends here whatever the last byte was
    List.AddServer(DecodeWeblistEntry(std::span<const uint8_t, WeblistEntrySize>(Raw)),
                   std::string_view(Name, strnlen(Name, NameLen)));
    if (Stop && Stop())
      return TWeblistReplyEnd::Stopped;
    Read(&L, 1);
  }
  return L == 0 ? TWeblistReplyEnd::EndMarker : TWeblistReplyEnd::BadLength;
}

namespace {
std::mutex GHostLock;
std::string GConfiguredHost;
std::string GCommandLineHost;
} // namespace

std::string ChooseWeblistHost(std::string_view CommandLine, std::string_view Environment,
                              std::string_view Configured) {
  for (std::string_view H : {CommandLine, Environment, Configured})
    if (!H.empty())
      return std::string(H);
  return DefaultWeblistHost;
}

void SetWeblistHostSetting(std::string Configured) {
  std::lock_guard<std::mutex> G(GHostLock);
  GConfiguredHost = std::move(Configured);
}

void SetWeblistHostOverride(std::string CommandLine) {
  std::lock_guard<std::mutex> G(GHostLock);
  GCommandLineHost = std::move(CommandLine);
}

std::string ReadWeblistHostSetting(TConfigFile& Config) {
  std::string Text;
  try {
    Text = ReadUpdateCheckText(Config);
  } catch (const std::exception&) {
    return {};
  }
  std::string Prefix = std::string(WeblistHostSettingName) + "=";
  size_t At = 0;
  while (At < Text.size()) {
    size_t End = Text.find_first_of("\r\n", At);
    std::string_view Line(Text.data() + At, (End == std::string::npos ? Text.size() : End) - At);
    if (Line.size() > Prefix.size() && SameTextAscii(Line.substr(0, Prefix.size()), Prefix))
      return std::string(Line.substr(Prefix.size()));
    if (End == std::string::npos)
      break;
    At = End + 1;
  }
  return {};
}

std::string WeblistHost() {
  const char* Env = std::getenv(WeblistHostVariable);
  std::lock_guard<std::mutex> G(GHostLock);
  return ChooseWeblistHost(GCommandLineHost, Env ? Env : "", GConfiguredHost);
}

TWeblistService DefaultWeblistService() {
  TWeblistService S;
  S.Host = WeblistHost();
  return S;
}

TWeblistThread::TWeblistThread(const TWeblistFilter& Filter, TWeblistService Service)
    : FFilter(Filter), FService(std::move(Service)), FList(std::make_unique<TWeblistList>()) {
  Start();
}

TWeblistThread::~TWeblistThread() {
  Cancel();
  WaitFor();
}

void TWeblistThread::Cancel() {
  FClient.Cancel();
  Terminate();
}

std::unique_ptr<TWeblistList> TWeblistThread::TakeList() {
  if (!Done() || !Success())
    return nullptr;
  return std::move(FList);
}

void TWeblistThread::Execute() {
  bool Ok = false;
  try {
    std::vector<uint8_t> Request = BuildWeblistRequest(FFilter);
    FClient.Connect(FService.Host, FService.Port, FService.ConnectTimeoutMs);
    for (auto Part : WeblistRequestParts(Request))
      FClient.WriteAll(Part, FService.ReadTimeoutMs);
    const int Timeout = FService.ReadTimeoutMs;
    TWeblistReplyEnd End = ReadWeblistReply(
        [this, Timeout](void* Buf, size_t N) { FClient.ReadExact(Buf, N, Timeout); }, *FList,
        [this] { return Terminated(); });
    Ok = End == TWeblistReplyEnd::EndMarker;
    FClient.Disconnect();
  } catch (const std::exception&) {
    Ok = false;
  }
  if (!Ok)
    FList.reset(); // a partial list is never handed out
  FSuccess.store(Ok, std::memory_order_relaxed);
  FDone.store(true, std::memory_order_release);
}

} // namespace orlavonix
