// The PCI configuration-space model behind every simulated route: the root-bridge protocol,
// configuration mechanism #1 (0xCF8/0xCFC), the memory-mapped configuration window and the
// PCI I/O protocol instances all read and write these same bytes.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <tuple>
#include <vector>

namespace sim {

struct PciLocation {
  uint8_t Bus = 0;
  uint8_t Device = 0;
  uint8_t Function = 0;
  auto operator<=>(const PciLocation&) const = default;
};

class ConfigSpace {
 public:
  static constexpr size_t kFunctionSize = 4096;

  // Adds a function with all 4096 bytes zero (or returns the existing one).
  uint8_t* AddFunction(PciLocation Where);
  void RemoveFunction(PciLocation Where);
  bool Exists(PciLocation Where) const;
  // The bytes of an existing function, null when it does not exist.
  uint8_t* Bytes(PciLocation Where);

  // Little-endian accesses of 1, 2 or 4 bytes. A function that does not exist reads all ones
  // and ignores writes, as on a real bus. Accesses past the 4 KiB of a function fail the test.
  uint32_t Read(PciLocation Where, uint16_t Register, int Width) const;
  void Write(PciLocation Where, uint16_t Register, int Width, uint32_t Value);

  // Convenience setters used by fixtures to lay out a function (they do not go to the trace).
  void Set8(PciLocation Where, uint16_t Register, uint8_t Value);
  void Set16(PciLocation Where, uint16_t Register, uint16_t Value);
  void Set32(PciLocation Where, uint16_t Register, uint32_t Value);
  uint8_t Get8(PciLocation Where, uint16_t Register) const;
  uint16_t Get16(PciLocation Where, uint16_t Register) const;
  uint32_t Get32(PciLocation Where, uint16_t Register) const;

  // Optional hook called after every write that reached an existing function (for device
  // models that react to a write, e.g. read-only bits).
  std::function<void(PciLocation, uint16_t Register, int Width, uint32_t Value)> OnWrite;

  void Clear() { Functions_.clear(); }

 private:
  std::map<PciLocation, std::vector<uint8_t>> Functions_;
};

}  // namespace sim
