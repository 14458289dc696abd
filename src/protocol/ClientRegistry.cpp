#include "protocol/ClientRegistry.h"

#include <algorithm>
#include <cstring>

#include "base/Bytes.h"
#include "protocol/ClientProtocolTypes.h"

namespace orlavonix {

namespace {
template <size_t N> std::string FieldText(const char (&Field)[N]) {
  const void* Z = std::memchr(Field, 0, N);
  size_t Len = Z ? static_cast<size_t>(static_cast<const char*>(Z) - Field) : N;
  return std::string(Field, Len);
}

// Length of a terminated text within Limit bytes, with its zero; 0 if none.
size_t TerminatedLength(const uint8_t* P, size_t Limit) {
  const void* Z = std::memchr(P, 0, Limit);
  return Z ? static_cast<size_t>(static_cast<const uint8_t*>(Z) - P) + 1 : 0;
}

template <typename Item> void EraseItem(std::vector<std::unique_ptr<Item>>& Items, const Item* P) {
  // Searches from the newest, where recent additions are.
  for (size_t I = Items.size(); I > 0; --I)
    if (Items[I - 1].get() == P) {
      Items.erase(Items.begin() + static_cast<std::ptrdiff_t>(I - 1));
      return;
    }
}
} // namespace

bool ReadChannelRecord(const uint8_t* Source, size_t Available, TChannelRecord& Record,
                       size_t& Used) {
  Used = 0;
  if (Available < 16)
    return false;
  size_t Pos = 16;
  size_t NameLen = TerminatedLength(Source + Pos, std::min<size_t>(Available - Pos, 31));
  if (!NameLen)
    return false;
  Pos += NameLen;
  size_t TopicLen = TerminatedLength(Source + Pos, std::min<size_t>(Available - Pos, 257));
  if (!TopicLen)
    return false;
  Pos += TopicLen;
  size_t DescLen = TerminatedLength(Source + Pos, std::min<size_t>(Available - Pos, 4097));
  if (!DescLen)
    return false;
  std::memset(&Record, 0, sizeof Record);
  std::memcpy(&Record.Info, Source, 16);
  std::memcpy(Record.Info.Name, Source + 16, NameLen);
  std::memcpy(Record.Info.Topic, Source + 16 + NameLen, TopicLen);
  std::memcpy(Record.Info.Description, Source + 16 + NameLen + TopicLen, DescLen);
  Used = 16 + NameLen + TopicLen + DescLen;
  return true;
}

std::string ChannelName(const TChannelInfo& C) {
  return FieldText(C.Name);
}
std::string ChannelTopic(const TChannelInfo& C) {
  return FieldText(C.Topic);
}
std::string ChannelDescription(const TChannelInfo& C) {
  return FieldText(C.Description);
}
std::string PlayerNick(const TPlayerRecord& P) {
  return GetShortString(P.Nick, 29);
}
std::string PlayerVoiceRequest(const TPlayerRecord& P) {
  return GetShortString(P.VoiceRequest, 29);
}

TPlayerRecord PlayerFromEntry(const TPlayerEntry& E) {
  TPlayerRecord R;
  std::memset(&R, 0, sizeof R);
  std::memcpy(&R, &E, sizeof E);
  return R;
}

// ---------------------------------------------------------------------------

TChannelRecord* TChannels::Find(uint32_t Id) const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  auto It = FIndex.find(Id);
  return It == FIndex.end() ? nullptr : It->second;
}

bool TChannels::Add(const TChannelRecord& Record) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  if (TChannelRecord* Old = Find(Record.Info.Id)) {
    *Old = Record;
    return true;
  }
  if (FItems.size() >= MaxChannels)
    return false;
  FItems.push_back(std::make_unique<TChannelRecord>(Record));
  FIndex[Record.Info.Id] = FItems.back().get();
  return true;
}

bool TChannels::Get(uint32_t Id, TChannelRecord& Record) const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  const TChannelRecord* C = Find(Id);
  if (!C)
    return false;
  Record = *C;
  return true;
}

bool TChannels::Exists(uint32_t Id) const {
  return Find(Id) != nullptr;
}

void TChannels::Update(const TChannelRecord& Record) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  if (TChannelRecord* C = Find(Record.Info.Id))
    *C = Record;
}

void TChannels::Delete(uint32_t Id) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  TChannelRecord* C = Find(Id);
  if (!C)
    return;
  FIndex.erase(Id);
  EraseItem(FItems, C);
}

std::string TChannels::GetName(uint32_t Id) const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  const TChannelRecord* C = Find(Id);
  return C ? ChannelName(C->Info).substr(0, 29) : std::string();
}

const TChannelRecord* TChannels::TopLevel(const TChannelRecord* C) const {
  // A hostile server can send parents that form a loop.
  for (size_t Steps = 0; C && Steps <= FItems.size(); ++Steps) {
    if (C->Info.ParentId == NoParent)
      return C;
    C = Find(static_cast<uint32_t>(C->Info.ParentId));
  }
  return nullptr;
}

void TChannels::SetPassword(uint32_t Id, std::string_view Password) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  if (auto* Top = const_cast<TChannelRecord*>(TopLevel(Find(Id))))
    SetShortString(Top->Password, 29, Password);
}

bool TChannels::SameFamily(uint32_t A, uint32_t B) const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  const TChannelRecord* CA = Find(A);
  const TChannelRecord* CB = Find(B);
  if (!CA || !CB)
    return false;
  auto Related = [](const TChannelRecord* C) {
    return HasFlag(C->Info.Flags, cfHierarchical) || C->Info.ParentId != NoParent;
  };
  if (!Related(CA) || !Related(CB))
    return false;
  const TChannelRecord* Top = TopLevel(CB);
  if (!Top)
    return false;
  return Top == CA || (CA->Info.ParentId != NoParent &&
                       static_cast<uint32_t>(CA->Info.ParentId) == Top->Info.Id);
}

bool TChannels::FindByName(std::string_view Name, int32_t ParentId, uint32_t& Id) const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  for (size_t I = FItems.size(); I > 0; --I) {
    const TChannelInfo& C = FItems[I - 1]->Info;
    if (C.ParentId == ParentId && ChannelName(C) == Name) {
      Id = C.Id;
      return true;
    }
  }
  return false;
}

std::vector<TChannelRecord> TChannels::List() const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  std::vector<TChannelRecord> Out;
  Out.reserve(FItems.size());
  for (const auto& C : FItems)
    Out.push_back(*C);
  return Out;
}

size_t TChannels::Count() const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  return FItems.size();
}

void TChannels::Clear() {
  std::lock_guard<std::recursive_mutex> G(FLock);
  FIndex.clear();
  FItems.clear();
}

// ---------------------------------------------------------------------------

TPlayerItem* TPlayers::Find(uint32_t Id) const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  auto It = FIndex.find(Id);
  return It == FIndex.end() ? nullptr : It->second;
}

bool TPlayers::Add(const TPlayerRecord& Record) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  if (TPlayerItem* Old = Find(Record.Id)) {
    Old->Record = Record;
    return true;
  }
  if (FItems.size() >= MaxPlayers)
    return false;
  auto Item = std::make_unique<TPlayerItem>();
  Item->Record = Record;
  FIndex[Record.Id] = Item.get();
  FItems.push_back(std::move(Item));
  return true;
}

bool TPlayers::Get(uint32_t Id, TPlayerRecord& Record) const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  const TPlayerItem* P = Find(Id);
  if (!P)
    return false;
  Record = P->Record;
  return true;
}

bool TPlayers::Exists(uint32_t Id) const {
  return Find(Id) != nullptr;
}

void TPlayers::Update(const TPlayerRecord& Record) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  if (TPlayerItem* P = Find(Record.Id))
    P->Record = Record;
}

void TPlayers::Remove(uint32_t Id) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  TPlayerItem* P = Find(Id);
  if (!P)
    return;
  FIndex.erase(Id);
  EraseItem(FItems, P);
}

std::string TPlayers::GetNick(uint32_t Id) const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  const TPlayerItem* P = Find(Id);
  return P ? PlayerNick(P->Record) : std::string();
}

std::vector<TPlayerRecord> TPlayers::List() const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  std::vector<TPlayerRecord> Out;
  Out.reserve(FItems.size());
  for (const auto& P : FItems)
    Out.push_back(P->Record);
  return Out;
}

size_t TPlayers::Count() const {
  std::lock_guard<std::recursive_mutex> G(FLock);
  return FItems.size();
}

void TPlayers::Clear() {
  std::lock_guard<std::recursive_mutex> G(FLock);
  FIndex.clear();
  FItems.clear();
}

} // namespace orlavonix
