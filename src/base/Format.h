#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace orlavonix {

// One argument of a formatted text: a whole number, a real number or a text.
class TVariant {
public:
  TVariant(const char* S) : FValue(std::string(S ? S : "")) {}
  TVariant(std::string S) : FValue(std::move(S)) {}
  TVariant(std::string_view S) : FValue(std::string(S)) {}
  TVariant(bool B) : FValue(int64_t(B ? 1 : 0)) {}
  TVariant(char C) : FValue(std::string(1, C)) {}
  template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                             !std::is_same_v<T, char>,
                                         int> = 0>
  TVariant(T V) {
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= 8)
      FValue = static_cast<uint64_t>(V);
    else
      FValue = static_cast<int64_t>(V);
  }
  template <typename T, std::enable_if_t<std::is_floating_point_v<T>, int> = 0>
  TVariant(T V) : FValue(static_cast<double>(V)) {}
  template <typename T, std::enable_if_t<std::is_enum_v<T>, int> = 0>
  TVariant(T V) : FValue(static_cast<int64_t>(V)) {}

  // The plain text form: decimal numbers, texts as they are.
  std::string ToText() const;
  bool IsText() const { return std::holds_alternative<std::string>(FValue); }
  bool IsReal() const { return std::holds_alternative<double>(FValue); }
  bool IsUnsigned() const { return std::holds_alternative<uint64_t>(FValue); }
  int64_t AsInt() const;
  double AsReal() const;
  const std::string& AsText() const;

private:
  std::variant<int64_t, uint64_t, double, std::string> FValue;
};

using TVariants = std::vector<TVariant>;

// printf-style formatting over checked arguments: %d %i %u %x %X %s %f %g %e %c %%
// with flags, width and precision. A conversion without an argument, or of a
// kind that does not fit its argument, prints the argument's plain text form
// instead of reading garbage.
std::string FormatV(std::string_view Fmt, const TVariants& Args);

template <typename... A> std::string Format(std::string_view Fmt, A&&... Args) {
  return FormatV(Fmt, TVariants{TVariant(std::forward<A>(Args))...});
}

// Replaces every "%1", then every "%2", ... with the arguments' text forms.
std::string FillPlaceholders(std::string_view Text, const TVariants& Args);

// A signed 32-bit decimal that uses the whole text ("+" or "-" allowed);
// nothing for any other text or a value out of range.
std::optional<int32_t> ParseInt32(std::string_view Text);

} // namespace orlavonix
