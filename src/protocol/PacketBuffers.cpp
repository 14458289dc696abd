#include "protocol/PacketBuffers.h"

#include <new>

#include "base/Bytes.h"
#include "base/Format.h"

namespace orlavonix {

template <typename T>
TRing<T>::TRing(int32_t StartItems, int32_t GrowBy, int32_t MaxItems)
    : FCapacity(StartItems), FGrowBy(GrowBy), FMaxItems(MaxItems) {
  if (MaxItems < StartItems)
    throw EFIFOList("StartItems if more than MaxItems");
  if (MaxItems > 100000)
    throw EFIFOList(Format("%d Items is to much. A FifoList can contain 100.000 items", MaxItems));
  if (GrowBy > 10000)
    throw EFIFOList(
        Format("%d Items is to much. A FifoList can grow with 10.000 items at a time max", GrowBy));
  if (StartItems < 0 || GrowBy < 0 || MaxItems < 0)
    throw EFIFOList("Negative parameter is not allowed");
  try {
    FItems.resize(static_cast<size_t>(StartItems));
  } catch (const std::bad_alloc&) {
    throw EFIFOList("Can't allocate needed memory");
  }
}

template <typename T> void TRing<T>::Grow() {
  if (FCapacity >= FMaxItems || FGrowBy == 0)
    throw EFIFOList(
        Format("TFIFOList max items reached( %d, %d, %d)", FCapacity, FGrowBy, FMaxItems));
  int32_t NewCapacity = std::min(FCapacity + FGrowBy, FMaxItems);
  std::vector<T> Items;
  try {
    Items.resize(static_cast<size_t>(NewCapacity));
  } catch (const std::bad_alloc&) {
    throw EFIFOList("Can't allocate needed memory");
  }
  for (int32_t I = 0; I < FCount; ++I)
    Items[static_cast<size_t>(I)] =
        std::move(FItems[static_cast<size_t>((FReadPos + I) % FCapacity)]);
  FItems = std::move(Items);
  FReadPos = 0;
  FWritePos = FCapacity;
  FCapacity = NewCapacity;
}

template <typename T> void TRing<T>::Push(T Item) {
  if (FCount == FCapacity)
    Grow();
  FItems[static_cast<size_t>(FWritePos)] = std::move(Item);
  FWritePos = (FWritePos + 1) % FCapacity;
  ++FCount;
}

template <typename T> T TRing<T>::Pop() {
  T Item = std::move(FItems[static_cast<size_t>(FReadPos)]);
  FItems[static_cast<size_t>(FReadPos)] = T();
  FReadPos = (FReadPos + 1) % FCapacity;
  --FCount;
  return Item;
}

template class TRing<TPacketPtr>;
template class TRing<uint32_t>;

void TFIFOList::Add(TPacketPtr Packet) {
  if (!Packet)
    return;
  int32_t Bytes = Packet->Size();
  FRing.Push(std::move(Packet));
  FTotalBytes += Bytes;
}

TPacketPtr TFIFOList::Get() {
  if (FRing.Empty())
    return nullptr;
  TPacketPtr P = FRing.Pop();
  FTotalBytes -= P->Size();
  return P;
}

bool TFIFOList::PeekPlayerId(uint32_t& Id) const {
  if (FRing.Empty())
    return false;
  const TPacket& P = *FRing.At(0);
  if (P.IsServerVoice())
    Id = P.ServerVoiceHeader()->SenderId;
  else
    Id = P.GetPlayerId();
  return Id != 0;
}

void TFIFOList_Playerid::AddUnique(uint32_t Id) {
  // A full ring is not scanned: the value is appended after growing.
  if (!FRing.Full())
    for (int32_t I = FRing.Count() - 1; I >= 0; --I)
      if (FRing.At(I) == Id)
        return;
  FRing.Push(Id);
}

bool TFIFOList_Playerid::Get(uint32_t& Id) {
  if (FRing.Empty())
    return false;
  Id = FRing.Pop();
  return true;
}

} // namespace orlavonix
