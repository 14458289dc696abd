#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orlavonix {

// What the picture fetch needs from a response head, gathered line by line
// as the lines arrive. A new status line (after an interim or redirect
// response) starts over, so only the final response counts.
class THttpHeaderState {
public:
  // One raw header line as received, with or without its line break.
  void AddLine(std::string_view Line);

  // The status code of the last status line, or 0 when none was valid.
  int StatusCode() const { return FStatus; }
  // The announced length: none when absent, malformed or announced twice
  // with different values.
  std::optional<int64_t> ContentLength() const;
  const std::string& ContentType() const { return FContentType; }
  // True once the blank line that ends the head has been seen.
  bool Complete() const { return FComplete; }

private:
  int FStatus = 0;
  std::optional<int64_t> FLength;
  bool FLengthInvalid = false;
  std::string FContentType;
  bool FComplete = false;
};

// The value of a Content-Length field: decimal digits only, no sign, at most
// 18 digits. None otherwise.
std::optional<int64_t> ParseContentLength(std::string_view Value);

// The picture extension for a content type (".jpg" or ".png"), compared
// without regard to letter case. Empty for any other type.
std::string ImageExtensionForType(std::string_view ContentType);

} // namespace orlavonix
