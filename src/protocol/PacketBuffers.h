#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/Exceptions.h"
#include "protocol/Packets.h"

namespace orlavonix {

ORLAVONIX_DECLARE_EXCEPTION(EFIFOList, Exception);

// The growable ring both FIFO lists are made of. Grows by GrowBy entries up to
// MaxItems, keeping queue order.
template <typename T> class TRing {
public:
  TRing(int32_t StartItems, int32_t GrowBy, int32_t MaxItems);

  int32_t Count() const { return FCount; }
  int32_t Capacity() const { return FCapacity; }
  bool Empty() const { return FCount == 0; }
  void Push(T Item);
  T Pop();
  // Entry I counted from the oldest (0) to the newest (Count-1).
  const T& At(int32_t I) const { return FItems[static_cast<size_t>((FReadPos + I) % FCapacity)]; }
  bool Full() const { return FCount == FCapacity; }

private:
  void Grow();

  std::vector<T> FItems;
  int32_t FCapacity;
  int32_t FGrowBy;
  int32_t FMaxItems;
  int32_t FCount = 0;
  int32_t FWritePos = 0;
  int32_t FReadPos = 0;
};

// First-in-first-out queue of packets; owns what it holds.
class TFIFOList {
public:
  TFIFOList(int32_t StartItems, int32_t GrowBy, int32_t MaxItems)
      : FRing(StartItems, GrowBy, MaxItems) {}

  void Add(TPacketPtr Packet);
  TPacketPtr Get();
  // The player id of the oldest packet (the sender for server voice); false
  // when empty, and the result is whether the id is not 0.
  bool PeekPlayerId(uint32_t& Id) const;
  int32_t Count() const { return FRing.Count(); }
  int32_t TotalBytes() const { return FTotalBytes; }
  int32_t Capacity() const { return FRing.Capacity(); }

private:
  TRing<TPacketPtr> FRing;
  int32_t FTotalBytes = 0;
};

// The same ring of player ids.
class TFIFOList_Playerid {
public:
  TFIFOList_Playerid(int32_t StartItems, int32_t GrowBy, int32_t MaxItems)
      : FRing(StartItems, GrowBy, MaxItems) {}

  void AddUnique(uint32_t Id);
  bool Get(uint32_t& Id);
  int32_t Count() const { return FRing.Count(); }
  int32_t Capacity() const { return FRing.Capacity(); }

private:
  TRing<uint32_t> FRing;
};

} // namespace orlavonix
