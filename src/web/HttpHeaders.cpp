#include "web/HttpHeaders.h"

#include <cctype>

namespace orlavonix {

namespace {
std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t'))
    S.remove_prefix(1);
  while (!S.empty() &&
         (S.back() == ' ' || S.back() == '\t' || S.back() == '\r' || S.back() == '\n'))
    S.remove_suffix(1);
  return S;
}

bool EqualNoCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size())
    return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (std::toupper(static_cast<unsigned char>(A[I])) !=
        std::toupper(static_cast<unsigned char>(B[I])))
      return false;
  return true;
}
} // namespace

std::optional<int64_t> ParseContentLength(std::string_view Value) {
  Value = Trim(Value);
  if (Value.empty() || Value.size() > 18)
    return std::nullopt;
  int64_t N = 0;
  for (char C : Value) {
    if (C < '0' || C > '9')
      return std::nullopt;
    N = N * 10 + (C - '0');
  }
  return N;
}

void THttpHeaderState::AddLine(std::string_view Line) {
  std::string_view L = Trim(Line);
  if (L.starts_with("HTTP/")) {
    *this = THttpHeaderState();
    size_t Sp = L.find(' ');
    if (Sp != std::string_view::npos && L.size() >= Sp + 4) {
      std::string_view Code = L.substr(Sp + 1, 3);
      bool Digits = true;
      for (char C : Code)
        Digits = Digits && C >= '0' && C <= '9';
      bool Ends = L.size() == Sp + 4 || L[Sp + 4] == ' ';
      if (Digits && Ends)
        FStatus = (Code[0] - '0') * 100 + (Code[1] - '0') * 10 + (Code[2] - '0');
    }
    return;
  }
  if (L.empty()) {
    FComplete = true;
    return;
  }
  size_t Colon = L.find(':');
  if (Colon == std::string_view::npos)
    return;
  std::string_view Name = Trim(L.substr(0, Colon));
  std::string_view Value = Trim(L.substr(Colon + 1));
  if (EqualNoCase(Name, "Content-Length")) {
    auto N = ParseContentLength(Value);
    if (!N || (FLength && *FLength != *N))
      FLengthInvalid = true;
    else
      FLength = N;
  } else if (EqualNoCase(Name, "Content-Type")) {
    FContentType = std::string(Value);
  }
}

std::optional<int64_t> THttpHeaderState::ContentLength() const {
  if (FLengthInvalid)
    return std::nullopt;
  return FLength;
}

std::string ImageExtensionForType(std::string_view ContentType) {
  std::string_view T = Trim(ContentType);
  if (EqualNoCase(T, "IMAGE/JPEG") || EqualNoCase(T, "IMAGE/JPG"))
    return ".jpg";
  if (EqualNoCase(T, "IMAGE/PNG"))
    return ".png";
  return {};
}

} // namespace orlavonix
