#include "protocol/HashList.h"

#include "base/Format.h"

namespace orlavonix {

THashList::THashList(int32_t Size) : FSize(Size), FMask(Size - 1) {
  if (Size <= 0)
    throw EHashList(Format("%d is not a positive number", Size));
  if ((Size & (Size - 1)) != 0)
    throw EHashList(Format("%d is not a power of 2", Size));
  FBuckets.assign(static_cast<size_t>(Size), nullptr);
}

THashList::~THashList() {
  for (TNode* N : FBuckets)
    while (N) {
      TNode* Next = N->Next;
      delete N;
      N = Next;
    }
}

THashList::TNode* THashList::FindNode(int32_t Key) const {
  for (TNode* N = FBuckets[static_cast<size_t>(Key & FMask)]; N; N = N->Next)
    if (N->Key == Key)
      return N;
  return nullptr;
}

void THashList::Add(int32_t Key, void* Data) {
  if (FindNode(Key))
    throw EHashList(Format("Item nr %d already exists", Key));
  TNode*& Head = FBuckets[static_cast<size_t>(Key & FMask)];
  auto* N = new TNode{Key, Data, Head, nullptr};
  if (Head)
    Head->Prev = N;
  Head = N;
}

void THashList::Remove(int32_t Key) {
  TNode* N = FindNode(Key);
  if (!N)
    throw EHashList(Format("Item nr %d does not exist", Key));
  if (N->Prev)
    N->Prev->Next = N->Next;
  else
    FBuckets[static_cast<size_t>(Key & FMask)] = N->Next;
  if (N->Next)
    N->Next->Prev = N->Prev;
  delete N;
}

void* THashList::Find(int32_t Key) const {
  TNode* N = FindNode(Key);
  return N ? N->Data : nullptr;
}

} // namespace orlavonix
