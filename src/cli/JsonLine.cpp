#include "cli/JsonLine.h"

#include <cstdio>

namespace orlavonix {

namespace {
// Length of a valid UTF-8 sequence at P, or 0.
size_t Utf8Length(std::string_view S, size_t P) {
  auto B = [&](size_t I) { return static_cast<uint8_t>(S[I]); };
  uint8_t C = B(P);
  size_t N = C < 0x80             ? 1
             : (C & 0xE0) == 0xC0 ? 2
             : (C & 0xF0) == 0xE0 ? 3
             : (C & 0xF8) == 0xF0 ? 4
                                  : 0;
  if (N == 0 || P + N > S.size() || (N == 2 && C < 0xC2))
    return 0;
  for (size_t I = 1; I < N; ++I)
    if ((B(P + I) & 0xC0) != 0x80)
      return 0;
  return N;
}
} // namespace

std::string TJsonLine::Quote(std::string_view Text) {
  bool Utf8 = true;
  for (size_t P = 0; P < Text.size();) {
    size_t N = Utf8Length(Text, P);
    if (N == 0) {
      Utf8 = false;
      break;
    }
    P += N;
  }
  std::string Out = "\"";
  for (char Ch : Text) {
    auto C = static_cast<uint8_t>(Ch);
    switch (C) {
    case '"':
      Out += "\\\"";
      break;
    case '\\':
      Out += "\\\\";
      break;
    case '\n':
      Out += "\\n";
      break;
    case '\r':
      Out += "\\r";
      break;
    case '\t':
      Out += "\\t";
      break;
    default:
      if (C < 0x20 || C == 0x7F) {
        char Buf[8];
        std::snprintf(Buf, sizeof Buf, "\\u%04x", C);
        Out += Buf;
      } else if (C >= 0x80 && !Utf8) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
      } else {
        Out += Ch;
      }
    }
  }
  return Out + "\"";
}

void TJsonLine::Key(std::string_view Name) {
  if (FBody.size() > 1)
    FBody += ',';
  FBody += Quote(Name);
  FBody += ':';
}

TJsonLine& TJsonLine::Add(std::string_view Name, int64_t Value) {
  Key(Name);
  FBody += std::to_string(Value);
  return *this;
}

TJsonLine& TJsonLine::Add(std::string_view Name, std::string_view Text) {
  Key(Name);
  FBody += Quote(Text);
  return *this;
}

TJsonLine& TJsonLine::AddBool(std::string_view Name, bool Value) {
  Key(Name);
  FBody += Value ? "true" : "false";
  return *this;
}

TJsonLine& TJsonLine::AddRaw(std::string_view Name, std::string_view Json) {
  Key(Name);
  FBody += Json;
  return *this;
}

} // namespace orlavonix
