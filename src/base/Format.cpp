#include "base/Format.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace orlavonix {

std::string TVariant::ToText() const {
  if (auto* S = std::get_if<std::string>(&FValue))
    return *S;
  if (auto* I = std::get_if<int64_t>(&FValue))
    return std::to_string(*I);
  if (auto* U = std::get_if<uint64_t>(&FValue))
    return std::to_string(*U);
  char Buf[64];
  std::snprintf(Buf, sizeof Buf, "%g", std::get<double>(FValue));
  return Buf;
}

int64_t TVariant::AsInt() const {
  if (auto* I = std::get_if<int64_t>(&FValue))
    return *I;
  if (auto* U = std::get_if<uint64_t>(&FValue))
    return static_cast<int64_t>(*U);
  if (auto* D = std::get_if<double>(&FValue))
    return static_cast<int64_t>(*D);
  return 0;
}

double TVariant::AsReal() const {
  if (auto* D = std::get_if<double>(&FValue))
    return *D;
  if (auto* U = std::get_if<uint64_t>(&FValue))
    return static_cast<double>(*U);
  return static_cast<double>(AsInt());
}

const std::string& TVariant::AsText() const {
  static const std::string Empty;
  auto* S = std::get_if<std::string>(&FValue);
  return S ? *S : Empty;
}

std::string FormatV(std::string_view Fmt, const TVariants& Args) {
  std::string Out;
  size_t Next = 0;
  for (size_t I = 0; I < Fmt.size(); ++I) {
    char C = Fmt[I];
    if (C != '%') {
      Out += C;
      continue;
    }
    if (I + 1 < Fmt.size() && Fmt[I + 1] == '%') {
      Out += '%';
      ++I;
      continue;
    }
    // Rebuild the directive (flags, width, precision) for snprintf.
    std::string Directive = "%";
    size_t J = I + 1;
    while (J < Fmt.size() && std::strchr("-+ 0#", Fmt[J]) && Fmt[J] != '\0')
      Directive += Fmt[J++];
    int Digits = 0;
    while (J < Fmt.size() && std::isdigit(static_cast<unsigned char>(Fmt[J])) && Digits < 3) {
      Directive += Fmt[J++];
      ++Digits;
    }
    if (J < Fmt.size() && Fmt[J] == '.') {
      Directive += Fmt[J++];
      Digits = 0;
      while (J < Fmt.size() && std::isdigit(static_cast<unsigned char>(Fmt[J])) && Digits < 3) {
        Directive += Fmt[J++];
        ++Digits;
      }
    }
    if (J >= Fmt.size()) {
      Out.append(Fmt.substr(I));
      break;
    }
    char Conv = Fmt[J];
    if (!std::strchr("diuxXsfgecp", Conv)) {
      // Not a conversion we know: keep the text as written.
      Out.append(Fmt.substr(I, J - I + 1));
      I = J;
      continue;
    }
    I = J;
    if (Next >= Args.size())
      continue; // no argument left: print nothing for it
    const TVariant& A = Args[Next++];
    char Buf[512];
    int N = 0;
    switch (Conv) {
    case 'd':
    case 'i':
      if (A.IsText())
        Out += A.AsText();
      else {
        N = std::snprintf(Buf, sizeof Buf, (Directive + PRId64).c_str(), A.AsInt());
        Out.append(Buf, std::min<size_t>(N, sizeof Buf - 1));
      }
      break;
    case 'u':
    case 'x':
    case 'X': {
      if (A.IsText()) {
        Out += A.AsText();
        break;
      }
      const char* L = Conv == 'u' ? PRIu64 : Conv == 'x' ? PRIx64 : PRIX64;
      uint64_t V = static_cast<uint64_t>(A.AsInt());
      N = std::snprintf(Buf, sizeof Buf, (Directive + L).c_str(), V);
      Out.append(Buf, std::min<size_t>(N, sizeof Buf - 1));
      break;
    }
    case 'f':
    case 'g':
    case 'e':
      if (A.IsText())
        Out += A.AsText();
      else {
        N = std::snprintf(Buf, sizeof Buf, (Directive + Conv).c_str(), A.AsReal());
        Out.append(Buf, std::min<size_t>(N, sizeof Buf - 1));
      }
      break;
    case 'c':
      Out += A.IsText() ? A.AsText() : std::string(1, static_cast<char>(A.AsInt()));
      break;
    default: { // s, p
      std::string T = A.ToText();
      // Width and left alignment still apply to texts.
      int Width = 0;
      bool Left = false;
      for (char F : Directive.substr(1)) {
        if (F == '-')
          Left = true;
        else if (std::isdigit(static_cast<unsigned char>(F)))
          Width = Width * 10 + (F - '0');
        else if (F == '.')
          break;
      }
      if (static_cast<int>(T.size()) < Width) {
        std::string Pad(Width - T.size(), ' ');
        T = Left ? T + Pad : Pad + T;
      }
      Out += T;
    }
    }
  }
  return Out;
}

std::string FillPlaceholders(std::string_view Text, const TVariants& Args) {
  std::string S(Text);
  for (size_t I = 0; I < Args.size(); ++I) {
    std::string Key = "%" + std::to_string(I + 1);
    std::string Value = Args[I].ToText();
    size_t Pos = 0;
    while ((Pos = S.find(Key, Pos)) != std::string::npos) {
      S.replace(Pos, Key.size(), Value);
      Pos += Value.size();
    }
  }
  return S;
}

std::optional<int32_t> ParseInt32(std::string_view Text) {
  size_t I = 0;
  bool Negative = false;
  if (I < Text.size() && (Text[I] == '+' || Text[I] == '-')) {
    Negative = Text[I] == '-';
    ++I;
  }
  if (I >= Text.size())
    return std::nullopt;
  int64_t V = 0;
  for (; I < Text.size(); ++I) {
    if (Text[I] < '0' || Text[I] > '9')
      return std::nullopt;
    V = V * 10 + (Text[I] - '0');
    if (V > int64_t(INT32_MAX) + 1)
      return std::nullopt;
  }
  V = Negative ? -V : V;
  if (V > INT32_MAX)
    return std::nullopt;
  return static_cast<int32_t>(V);
}

} // namespace orlavonix
