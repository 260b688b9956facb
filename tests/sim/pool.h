// The simulated firmware's pool: every block handed out, with guard bytes behind it, freed
// blocks kept (poisoned) until the firmware goes so that a double free or a use after free is
// told apart from a reused address, and the regions the code under test declares readable.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/uefi.h"

namespace sim {

struct PoolBlock {
  void* Pointer = nullptr;
  size_t Size = 0;
  EFI_MEMORY_TYPE Type = EfiBootServicesData;
  uint64_t Serial = 0;  // 1 for the first allocation of this firmware
  std::string Origin;   // "AllocatePool", "LocateHandleBuffer", ...
};

struct PoolEntry {
  std::unique_ptr<uint8_t[]> Storage;  // Size bytes, then the guard bytes
  PoolBlock Block;
  bool Live = true;
};

struct PoolState {
  std::map<uintptr_t, PoolEntry> Pool;
  uint64_t Allocations = 0;
  uint64_t Frees = 0;
  std::vector<std::pair<const uint8_t*, size_t>> Readable;

  PoolEntry* FindPool(const void* Pointer);
  // Releases a pool block; false (and a test failure) for an unknown or freed pointer.
  bool FreeBlock(void* Pointer, const char* Who);
};

class PoolAccounting {
 public:
  size_t LiveAllocations() const;
  size_t LiveBytes() const;
  uint64_t AllocationCount() const;  // every successful allocation so far
  uint64_t FreeCount() const;
  bool IsLive(const void* Pointer) const;
  std::vector<PoolBlock> LiveBlocks() const;
  std::string DescribeLiveBlocks() const;
  // Pool memory handed out by the firmware itself (e.g. a handle buffer); counted as live.
  void* AllocateInternal(size_t Size, const char* Origin);
  // Marks bytes the code under test owns (e.g. a static pack list) so that walks over them
  // are bounded exactly; pool blocks are known anyway.
  void DeclareReadable(const void* Pointer, size_t Size);
  // Readable bytes from Pointer to the end of its live pool block or declared region; nullopt
  // when the pointer is in neither. Reading from a freed block fails the test.
  std::optional<size_t> ReadableBytesAt(const void* Pointer) const;

 protected:
  explicit PoolAccounting(PoolState& State) : State_(State) {}
  // Fails the test for a write past a live block's end or into a freed block.
  void CheckPoolAtTeardown() const;

 private:
  PoolState& State_;
};

}  // namespace sim
