// Host side of the seam's halt loop: each pass is counted, and the pass after the limit hands
// control back to the test by throwing.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/sim/halt.h"

namespace sim {
namespace {
uint64_t gPasses = 0;
uint64_t gLimit = kDefaultHaltPasses;
}  // namespace

uint64_t HaltPasses() { return gPasses; }

void SetHaltPassLimit(uint64_t Passes) { gLimit = Passes == 0 ? 1 : Passes; }

void ResetHalt() {
  gPasses = 0;
  gLimit = kDefaultHaltPasses;
}

void CountHaltPass() {
  ++gPasses;
  if (gPasses >= gLimit) throw HaltReached(gPasses);
}

}  // namespace sim
