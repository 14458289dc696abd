#include "config/ServerLink.h"

#include <cerrno>
#include <climits>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Format.h"

namespace orlavonix {

namespace {

constexpr std::string_view LinkScheme = "orlavonix://";
constexpr size_t LinkTextMax = 1024;

char UpperAscii(char C) {
  return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C;
}

bool SameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size())
    return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (UpperAscii(A[I]) != UpperAscii(B[I]))
      return false;
  return true;
}

bool IsDirectory(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9')
    return C - '0';
  if (C >= 'a' && C <= 'f')
    return C - 'a' + 10;
  if (C >= 'A' && C <= 'F')
    return C - 'A' + 10;
  return -1;
}

// "%" and two hexadecimal digits stand for that byte; anything else,
// including "+" and a lone "%", stays as it is.
std::string DecodePercent(std::string_view S) {
  std::string Out;
  Out.reserve(S.size());
  for (size_t I = 0; I < S.size(); ++I) {
    if (S[I] == '%' && I + 2 < S.size()) {
      int Hi = HexDigit(S[I + 1]), Lo = HexDigit(S[I + 2]);
      if (Hi >= 0 && Lo >= 0) {
        Out.push_back(static_cast<char>(Hi * 16 + Lo));
        I += 2;
        continue;
      }
    }
    Out.push_back(S[I]);
  }
  return Out;
}

} // namespace

std::string UserDataDirIn(const std::optional<std::string>& Home) {
  const std::string Fallback = "/tmp/";
  if (!Home || Home->empty() || !IsDirectory(*Home))
    return Fallback;
  std::string Dir = *Home + "/.orlavonix2";
  if (!IsDirectory(Dir)) {
    if (::mkdir(Dir.c_str(), 0777) != 0 && !(errno == EEXIST && IsDirectory(Dir)))
      return Fallback;
  }
  return Dir + "/";
}

std::string UserDataDir() {
  long Hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> Buf(Hint > 0 ? static_cast<size_t>(Hint) : 16384);
  struct passwd Pw {};
  struct passwd* Found = nullptr;
  while (::getpwuid_r(::getuid(), &Pw, Buf.data(), Buf.size(), &Found) == ERANGE &&
         Buf.size() < (1u << 20))
    Buf.resize(Buf.size() * 2);
  if (!Found || !Found->pw_dir)
    return UserDataDirIn(std::nullopt);
  return UserDataDirIn(std::string(Found->pw_dir));
}

std::string HostOfAddress(std::string_view Address) {
  return std::string(Address.substr(0, Address.find(':')));
}

int32_t PortOfAddress(std::string_view Address) {
  auto Colon = Address.find(':');
  if (Colon == std::string_view::npos)
    return DefaultServerPort;
  std::string_view PortText = Address.substr(Colon + 1, 255);
  auto V = ParseInt32(PortText);
  // A port beyond 16 bits would silently wrap at connect time.
  if (!V || *V < 0 || *V > 65535)
    throw EConvertError(Format("%s has an invalid port (%s)", Address, PortText));
  return static_cast<int32_t>(*V);
}

bool HasOption(const std::vector<std::string>& Args, char Letter, std::string_view Word) {
  const std::string Short = std::string("-") + Letter;
  const std::string Long = std::string("--") + std::string(Word);
  for (const auto& A : Args) {
    if (A.empty() || A[0] != '-')
      break;
    if (SameText(A, Short) || SameText(A, Long))
      return true;
  }
  return false;
}

std::string GetServerParameter(const std::vector<std::string>& Args) {
  size_t I = 0;
  while (I < Args.size() && !Args[I].empty() && Args[I][0] == '-')
    ++I;
  std::string Link;
  for (size_t J = I; J < Args.size(); ++J) {
    if (J > I)
      Link += ' ';
    Link += Args[J];
  }
  return Link;
}

bool ParseServerLink(std::string_view Link, TConnectInfo& Info, std::string_view DefaultNickname) {
  Info.Clear();
  std::string Text(Link);
  if (Text.size() >= LinkScheme.size() && SameText(Text.substr(0, LinkScheme.size()), LinkScheme))
    Text = Text.substr(LinkScheme.size(), LinkTextMax);

  size_t Q = Text.find('?');
  size_t S = Text.find('/');
  if (S != std::string::npos && (Q == std::string::npos || S < Q)) {
    Text[S] = '?';
    Q = S;
  }
  Info.SetServerAddress(std::string_view(Text).substr(0, std::min(Q, Text.size())));

  std::string R = Q == std::string::npos ? std::string() : Text.substr(Q, LinkTextMax);
  std::string U = R;
  for (auto& C : U)
    C = UpperAscii(C);

  auto Value = [&](std::string_view Key) {
    std::string Needle = "?" + std::string(Key) + "=";
    size_t At = U.find(Needle);
    if (At == std::string::npos)
      return std::string();
    size_t From = At + Needle.size();
    size_t To = R.find('?', From);
    return DecodePercent(
        std::string_view(R).substr(From, To == std::string::npos ? To : To - From));
  };

  std::string Nick = Value("NICKNAME");
  Info.SetNickname(Nick.empty() ? DefaultNickname : std::string_view(Nick));
  std::string Login = Value("LOGINNAME");
  Info.SetLoginName(Login);
  Info.SetPassword(Value("PASSWORD"));
  Info.SetChannel(Value("CHANNEL"));
  Info.SetSubChannel(Value("SUBCHANNEL"));
  Info.SetChannelPassword(Value("CHANNELPASSWORD"));
  Info.Anonymous = Login.empty() ? 1 : 0;
  Info.AllowServerNickname = 1;
  Info.AutoReconnect = 1;
  return true;
}

} // namespace orlavonix
