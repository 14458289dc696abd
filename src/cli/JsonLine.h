#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orlavonix {

// Builds one JSON object on one line. Texts from the network are 8-bit:
// valid UTF-8 passes as it is, anything else is read as Latin-1.
class TJsonLine {
public:
  TJsonLine& Add(std::string_view Name, int64_t Value);
  TJsonLine& Add(std::string_view Name, std::string_view Text);
  TJsonLine& Add(std::string_view Name, const char* Text) {
    return Add(Name, std::string_view(Text));
  }
  TJsonLine& AddBool(std::string_view Name, bool Value);
  // A value that is already JSON (an array or object built elsewhere).
  TJsonLine& AddRaw(std::string_view Name, std::string_view Json);
  std::string Str() const { return FBody + "}"; }

  static std::string Quote(std::string_view Text);

private:
  void Key(std::string_view Name);
  std::string FBody = "{";
};

} // namespace orlavonix
