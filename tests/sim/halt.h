// How a host test gets control back from a driver's halt loop: the host definition of
// hw::HaltStep counts passes and, after a set number of them, throws HaltReached.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <stdexcept>

namespace sim {

// Thrown out of a halt loop once it has made the configured number of passes.
struct HaltReached : std::runtime_error {
  explicit HaltReached(uint64_t Passes)
      : std::runtime_error("the driver reached its halt loop"), Passes(Passes) {}
  uint64_t Passes;
};

constexpr uint64_t kDefaultHaltPasses = 4;

// Passes made since the last reset (every sim::Firmware resets the count and the limit).
uint64_t HaltPasses();
// Number of passes after which the next pass throws; at least 1.
void SetHaltPassLimit(uint64_t Passes);
void ResetHalt();
// One pass of a halt loop (hw::HaltStep): counted, and the pass at the limit throws HaltReached.
void CountHaltPass();

}  // namespace sim
