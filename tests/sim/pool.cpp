// Pool accounting: blocks with guard bytes, poisoned when freed, and the readable regions.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <cstring>
#include <sstream>

#include "tests/sim/firmware_internal.h"

namespace sim {
namespace {
// Bytes after every pool block; a write past the block's end changes them.
constexpr size_t kGuardBytes = 16;
constexpr uint8_t kGuardByte = 0xE7;
constexpr uint8_t kFreshByte = 0xAF;  // new pool memory is not zeroed on real firmware
constexpr uint8_t kFreedByte = 0xDF;
}  // namespace

void* PoolAccounting::AllocateInternal(size_t Size, const char* Origin) {
  PoolState& fw = State_;
  PoolEntry entry;
  entry.Storage = std::make_unique<uint8_t[]>(Size + kGuardBytes);
  std::memset(entry.Storage.get(), kFreshByte, Size);
  std::memset(entry.Storage.get() + Size, kGuardByte, kGuardBytes);
  entry.Block.Pointer = entry.Storage.get();
  entry.Block.Size = Size;
  entry.Block.Serial = ++fw.Allocations;
  entry.Block.Origin = Origin;
  void* pointer = entry.Block.Pointer;
  fw.Pool.emplace(reinterpret_cast<uintptr_t>(pointer), std::move(entry));
  return pointer;
}

PoolEntry* PoolState::FindPool(const void* Pointer) {
  auto it = Pool.find(reinterpret_cast<uintptr_t>(Pointer));
  return it == Pool.end() ? nullptr : &it->second;
}

bool PoolState::FreeBlock(void* Pointer, const char* Who) {
  PoolEntry* entry = FindPool(Pointer);
  if (entry == nullptr) {
    ADD_FAILURE() << Who << " of a pointer the pool never handed out";
    return false;
  }
  if (!entry->Live) {
    ADD_FAILURE() << Who << " of pool block #" << entry->Block.Serial << " (" << entry->Block.Origin
                  << "), which was already freed";
    return false;
  }
  const uint8_t* guard = entry->Storage.get() + entry->Block.Size;
  for (size_t i = 0; i < kGuardBytes; ++i)
    if (guard[i] != kGuardByte) {
      ADD_FAILURE() << "a write past the end of the " << entry->Block.Size << "-byte pool block #"
                    << entry->Block.Serial;
      break;
    }
  std::memset(entry->Storage.get(), kFreedByte, entry->Block.Size);
  entry->Live = false;
  ++Frees;
  return true;
}

size_t PoolAccounting::LiveAllocations() const {
  size_t count = 0;
  for (const auto& [address, entry] : State_.Pool) count += entry.Live;
  return count;
}

size_t PoolAccounting::LiveBytes() const {
  size_t bytes = 0;
  for (const auto& [address, entry] : State_.Pool)
    if (entry.Live) bytes += entry.Block.Size;
  return bytes;
}

uint64_t PoolAccounting::AllocationCount() const { return State_.Allocations; }
uint64_t PoolAccounting::FreeCount() const { return State_.Frees; }

bool PoolAccounting::IsLive(const void* Pointer) const {
  const PoolEntry* entry = State_.FindPool(Pointer);
  return entry != nullptr && entry->Live;
}

std::vector<PoolBlock> PoolAccounting::LiveBlocks() const {
  std::vector<PoolBlock> out;
  for (const auto& [address, entry] : State_.Pool)
    if (entry.Live) out.push_back(entry.Block);
  return out;
}

std::string PoolAccounting::DescribeLiveBlocks() const {
  std::ostringstream text;
  for (const auto& block : LiveBlocks())
    text << "#" << block.Serial << " " << block.Size << " bytes from " << block.Origin << "\n";
  return text.str();
}

void PoolAccounting::DeclareReadable(const void* Pointer, size_t Size) {
  State_.Readable.emplace_back(static_cast<const uint8_t*>(Pointer), Size);
}

std::optional<size_t> PoolAccounting::ReadableBytesAt(const void* Pointer) const {
  auto p = reinterpret_cast<uintptr_t>(Pointer);
  auto& pool = State_.Pool;
  auto it = pool.upper_bound(p);
  if (it != pool.begin()) {
    --it;
    const PoolEntry& entry = it->second;
    if (p >= it->first && p < it->first + entry.Block.Size) {
      if (!entry.Live) {
        ADD_FAILURE() << "a read from pool block #" << entry.Block.Serial << " ("
                      << entry.Block.Origin << ") after it was freed";
        return 0;
      }
      return it->first + entry.Block.Size - p;
    }
  }
  for (const auto& [start, size] : State_.Readable) {
    auto s = reinterpret_cast<uintptr_t>(start);
    if (p >= s && p < s + size) return s + size - p;
  }
  return std::nullopt;
}

void PoolAccounting::CheckPoolAtTeardown() const {
  // Freed blocks had their guard checked when they were freed; their bytes must still be
  // the poison written then.
  for (auto& [address, entry] : State_.Pool) {
    const uint8_t* bytes = entry.Storage.get();
    if (entry.Live) {
      for (size_t i = 0; i < kGuardBytes; ++i)
        if (bytes[entry.Block.Size + i] != kGuardByte) {
          ADD_FAILURE() << "a write past the end of the " << entry.Block.Size
                        << "-byte pool block #" << entry.Block.Serial << " (" << entry.Block.Origin
                        << ")";
          break;
        }
      continue;
    }
    for (size_t i = 0; i < entry.Block.Size; ++i)
      if (bytes[i] != kFreedByte) {
        ADD_FAILURE() << "a write to pool block #" << entry.Block.Serial << " ("
                      << entry.Block.Origin << ") after it was freed";
        break;
      }
  }
}

}  // namespace sim
