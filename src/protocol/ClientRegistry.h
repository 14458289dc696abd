#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orlavonix {

#pragma pack(push, 1)
// The part of a channel record that events carry.
struct TChannelInfo {
  uint32_t Id;
  uint16_t Flags;
  uint16_t Codec;
  int32_t ParentId;
  uint16_t Order;
  uint16_t MaxUsers;
  char Name[31];
  char Topic[257];
  char Description[4097];
  uint8_t Unused[3];
};

// A channel as the registry keeps it.
struct TChannelRecord {
  TChannelInfo Info;
  uint8_t Password[30]; // string[29]: the password this client gave
  uint8_t Unused[2];
};

// A player as the server sends it.
struct TPlayerEntry {
  uint32_t Id;
  uint32_t ChannelId;
  uint16_t ChannelPrivileges;
  uint16_t PlayerPrivileges;
  uint16_t Flags;
  uint8_t Nick[30]; // string[29]
};

// A player as the registry keeps it.
struct TPlayerRecord {
  uint32_t Id;
  uint32_t ChannelId;
  uint16_t ChannelPrivileges;
  uint16_t PlayerPrivileges;
  uint16_t Flags;
  uint8_t Nick[30];         // string[29]
  uint8_t VoiceRequest[30]; // string[29]
  uint8_t Muted;
};
#pragma pack(pop)

static_assert(sizeof(TChannelInfo) == 4404);
static_assert(offsetof(TChannelInfo, ParentId) == 8);
static_assert(offsetof(TChannelInfo, Order) == 12);
static_assert(offsetof(TChannelInfo, MaxUsers) == 14);
static_assert(offsetof(TChannelInfo, Name) == 16);
static_assert(offsetof(TChannelInfo, Topic) == 47);
static_assert(offsetof(TChannelInfo, Description) == 304);
static_assert(sizeof(TChannelRecord) == 4436);
static_assert(offsetof(TChannelRecord, Password) == 4404);
static_assert(sizeof(TPlayerEntry) == 44);
static_assert(offsetof(TPlayerEntry, Nick) == 14);
static_assert(sizeof(TPlayerRecord) == 75);
static_assert(offsetof(TPlayerRecord, VoiceRequest) == 44);
static_assert(offsetof(TPlayerRecord, Muted) == 74);

constexpr int32_t NoParent = -1;

// Reads one channel record of a packet: Available counts from the record's
// start to the packet's end. On success Used is the number of bytes taken.
bool ReadChannelRecord(const uint8_t* Source, size_t Available, TChannelRecord& Record,
                       size_t& Used);

// Texts of records, read within their fields.
std::string ChannelName(const TChannelInfo& C);
std::string ChannelTopic(const TChannelInfo& C);
std::string ChannelDescription(const TChannelInfo& C);
std::string PlayerNick(const TPlayerRecord& P);
std::string PlayerVoiceRequest(const TPlayerRecord& P);
// Copies a text into a char field, cut so that its zero fits.
template <size_t N> void SetField(char (&Field)[N], std::string_view Text) {
  size_t Len = Text.size() < N - 1 ? Text.size() : N - 1;
  for (size_t I = 0; I < N; ++I)
    Field[I] = I < Len ? Text[I] : '\0';
}
TPlayerRecord PlayerFromEntry(const TPlayerEntry& E);

// The channels the client knows. Every operation locks the list; callers that
// need several steps to be atomic hold Mutex() around them.
class TChannels {
public:
  // More would only be a hostile server trying to exhaust memory.
  static constexpr size_t MaxChannels = 16384;

  std::recursive_mutex& Mutex() const { return FLock; }

  // Adds, or replaces a record with the same id; false when full.
  bool Add(const TChannelRecord& Record);
  bool Get(uint32_t Id, TChannelRecord& Record) const;
  bool Exists(uint32_t Id) const;
  void Update(const TChannelRecord& Record);
  void Delete(uint32_t Id);
  std::string GetName(uint32_t Id) const;
  void SetPassword(uint32_t Id, std::string_view Password);
  bool SameFamily(uint32_t A, uint32_t B) const;
  // The id of the channel with this name under this parent, or false.
  bool FindByName(std::string_view Name, int32_t ParentId, uint32_t& Id) const;
  std::vector<TChannelRecord> List() const;
  // Visits every channel in registry order under the list lock, without
  // copying the records (each carries kilobytes of texts).
  template <typename F> void ForEach(F&& Fn) const {
    std::lock_guard<std::recursive_mutex> G(FLock);
    for (const auto& C : FItems)
      Fn(static_cast<const TChannelRecord&>(*C));
  }
  size_t Count() const;
  void Clear();
  // The record itself, for changes under Mutex(); nullptr if absent.
  TChannelRecord* Find(uint32_t Id) const;

private:
  // The top-level channel of a channel, or nullptr; stops on loops.
  const TChannelRecord* TopLevel(const TChannelRecord* C) const;

  mutable std::recursive_mutex FLock;
  std::vector<std::unique_ptr<TChannelRecord>> FItems;
  std::unordered_map<uint32_t, TChannelRecord*> FIndex;
};

// One player with what the client keeps beside the record.
struct TPlayerItem {
  TPlayerRecord Record;
  // The player's receive buffer, owned here, created by the voice side on the
  // first voice packet of the player.
  std::shared_ptr<void> SoundData;
};

class TPlayers {
public:
  static constexpr size_t MaxPlayers = 65536;

  std::recursive_mutex& Mutex() const { return FLock; }

  bool Add(const TPlayerRecord& Record);
  bool Get(uint32_t Id, TPlayerRecord& Record) const;
  bool Exists(uint32_t Id) const;
  // Keeps the stored receive buffer.
  void Update(const TPlayerRecord& Record);
  void Remove(uint32_t Id);
  std::string GetNick(uint32_t Id) const;
  std::vector<TPlayerRecord> List() const;
  size_t Count() const;
  void Clear();
  TPlayerItem* Find(uint32_t Id) const;
  // Visits every player, last to first; call under Mutex().
  template <typename F> void ForEachReverse(F&& Fn) const {
    for (size_t I = FItems.size(); I-- > 0;)
      Fn(*FItems[I]);
  }

private:
  mutable std::recursive_mutex FLock;
  std::vector<std::unique_ptr<TPlayerItem>> FItems;
  std::unordered_map<uint32_t, TPlayerItem*> FIndex;
};

} // namespace orlavonix
