#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "base/Bytes.h"

namespace orlavonix {

// The event callback handed to the connection object: a record's first byte
// and its size. May be called on any thread; the record may be reused as soon
// as it returns.
using TClientCallback = std::function<bool(const void* Data, int32_t Size)>;

// Kinds that the user interface posts to itself through the same road as the
// connection's events.
enum TSelfPostedKind : int32_t {
  cb_ShowReconnect = 18,     // kind only
  cb_StartupParameters = 40, // kind only
  cb_RemoteDisconnect = 41,  // kind only
  cb_RemoteConnect = 42,     // kind + text: a server address or link
  cb_NextChannel = 44,       // kind only
  cb_PreviousChannel = 45,   // kind only
  cb_ConnectBookmark = 46,   // kind + text: a bookmark's label
};

#pragma pack(push, 1)
struct TKindOnlyRecord {
  int32_t Kind;
};
struct TKindTextRecord {
  int32_t Kind;
  uint8_t Text[256]; // string[255]

  std::string GetText() const { return GetShortString(Text, 255); }
};
#pragma pack(pop)
static_assert(sizeof(TKindOnlyRecord) == 4);
static_assert(sizeof(TKindTextRecord) == 260);

inline TKindOnlyRecord MakeKindOnlyRecord(int32_t Kind) {
  return TKindOnlyRecord{Kind};
}
// The text is cut to 255 characters.
inline TKindTextRecord MakeKindTextRecord(int32_t Kind, std::string_view Text) {
  TKindTextRecord R{};
  R.Kind = Kind;
  SetShortString(R.Text, 255, Text);
  return R;
}

} // namespace orlavonix
