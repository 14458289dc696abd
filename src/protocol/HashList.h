#pragma once

#include <cstdint>
#include <vector>

#include "base/Exceptions.h"

namespace orlavonix {

ORLAVONIX_DECLARE_EXCEPTION(EHashList, Exception);

// A fixed number of buckets (a power of two) keyed by 32-bit integers. The
// table does not own the data it points to.
class THashList {
public:
  explicit THashList(int32_t Size);
  ~THashList();
  THashList(const THashList&) = delete;
  THashList& operator=(const THashList&) = delete;

  void Add(int32_t Key, void* Data);
  void Remove(int32_t Key);
  void* Find(int32_t Key) const;
  int32_t BucketOf(int32_t Key) const { return Key & FMask; }
  int32_t Size() const { return FSize; }

private:
  struct TNode {
    int32_t Key;
    void* Data;
    TNode* Next;
    TNode* Prev;
  };
  TNode* FindNode(int32_t Key) const;

  std::vector<TNode*> FBuckets;
  int32_t FSize;
  int32_t FMask;
};

} // namespace orlavonix
