// Byte store of every simulated PCI function.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/sim/config_space.h"

#include <gtest/gtest.h>

namespace sim {

uint8_t* ConfigSpace::AddFunction(PciLocation Where) {
  auto& bytes = Functions_[Where];
  if (bytes.empty()) bytes.assign(kFunctionSize, 0);
  return bytes.data();
}

void ConfigSpace::RemoveFunction(PciLocation Where) { Functions_.erase(Where); }

bool ConfigSpace::Exists(PciLocation Where) const { return Functions_.count(Where) != 0; }

uint8_t* ConfigSpace::Bytes(PciLocation Where) {
  auto it = Functions_.find(Where);
  return it == Functions_.end() ? nullptr : it->second.data();
}

static bool InRange(uint16_t Register, int Width) {
  if (Width != 1 && Width != 2 && Width != 4) {
    ADD_FAILURE() << "configuration access of width " << Width;
    return false;
  }
  if (size_t(Register) + size_t(Width) > ConfigSpace::kFunctionSize) {
    ADD_FAILURE() << "configuration access past the function at register 0x" << std::hex
                  << Register;
    return false;
  }
  return true;
}

uint32_t ConfigSpace::Read(PciLocation Where, uint16_t Register, int Width) const {
  uint32_t all_ones = Width == 4 ? 0xFFFFFFFFu : ((1u << (8 * Width)) - 1);
  if (!InRange(Register, Width)) return all_ones;
  auto it = Functions_.find(Where);
  if (it == Functions_.end()) return all_ones;
  uint32_t value = 0;
  for (int i = 0; i < Width; ++i) value |= uint32_t(it->second[Register + i]) << (8 * i);
  return value;
}

void ConfigSpace::Write(PciLocation Where, uint16_t Register, int Width, uint32_t Value) {
  if (!InRange(Register, Width)) return;
  auto it = Functions_.find(Where);
  if (it == Functions_.end()) return;
  for (int i = 0; i < Width; ++i) it->second[Register + i] = uint8_t(Value >> (8 * i));
  if (OnWrite) OnWrite(Where, Register, Width, Value);
}

void ConfigSpace::Set8(PciLocation Where, uint16_t Register, uint8_t Value) {
  AddFunction(Where)[Register] = Value;
}
void ConfigSpace::Set16(PciLocation Where, uint16_t Register, uint16_t Value) {
  uint8_t* b = AddFunction(Where);
  b[Register] = uint8_t(Value);
  b[Register + 1] = uint8_t(Value >> 8);
}
void ConfigSpace::Set32(PciLocation Where, uint16_t Register, uint32_t Value) {
  uint8_t* b = AddFunction(Where);
  for (int i = 0; i < 4; ++i) b[Register + i] = uint8_t(Value >> (8 * i));
}
uint8_t ConfigSpace::Get8(PciLocation Where, uint16_t Register) const {
  return uint8_t(Read(Where, Register, 1));
}
uint16_t ConfigSpace::Get16(PciLocation Where, uint16_t Register) const {
  return uint16_t(Read(Where, Register, 2));
}
uint32_t ConfigSpace::Get32(PciLocation Where, uint16_t Register) const {
  return Read(Where, Register, 4);
}

}  // namespace sim
