// The host backend of the hardware seam (support/hw_seam.h), a target of its own that the driver
// host libraries link: the direct port route and the configuration window into the live
// simulated platform, and the halt loop's pass that hands control back to the test.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "support/hw_seam.h"
#include "tests/sim/halt.h"
#include "tests/sim/platform.h"

namespace hw {

namespace {
UINT32 DirectIn(UINT16 Port, int Width) {
  sim::CheckPairPort(Port, Width, "direct");
  sim::Platform* platform = sim::Live("direct port read");
  uint32_t value = platform ? platform->PortRead(Port, Width) : sim::AllOnes(Width);
  sim::TracePort(sim::TraceKind::PortRead, sim::PortRoute::Direct, Port, Width, value);
  return value;
}
VOID DirectOut(UINT16 Port, int Width, UINT32 Value) {
  sim::CheckPairPort(Port, Width, "direct");
  sim::TracePort(sim::TraceKind::PortWrite, sim::PortRoute::Direct, Port, Width, Value);
  if (sim::Platform* platform = sim::Live("direct port write"))
    platform->PortWrite(Port, Width, Value);
}
}  // namespace

UINT8 PortIn8(UINT16 Port) { return static_cast<UINT8>(DirectIn(Port, 1)); }
UINT16 PortIn16(UINT16 Port) { return static_cast<UINT16>(DirectIn(Port, 2)); }
UINT32 PortIn32(UINT16 Port) { return DirectIn(Port, 4); }
VOID PortOut8(UINT16 Port, UINT8 Value) { DirectOut(Port, 1, Value); }
VOID PortOut16(UINT16 Port, UINT16 Value) { DirectOut(Port, 2, Value); }
VOID PortOut32(UINT16 Port, UINT32 Value) { DirectOut(Port, 4, Value); }

UINT8 WindowRead8(UINTN Address) {
  sim::Platform* platform = sim::Live("window read");
  return platform ? platform->WindowRead8(Address) : 0xFF;
}
VOID WindowWrite8(UINTN Address, UINT8 Value) {
  if (sim::Platform* platform = sim::Live("window write")) platform->WindowWrite8(Address, Value);
}

// Nothing traced, so that every trace stays as the image makes it.
UINTN DisableInterrupts() {
  UINTN flags = sim::InterruptsEnabled() ? RFLAGS_INTERRUPT_ENABLE : 0;
  sim::SetInterruptsEnabled(false);
  return flags;
}
VOID RestoreInterrupts(UINTN Flags) {
  sim::SetInterruptsEnabled((Flags & RFLAGS_INTERRUPT_ENABLE) != 0);
}

VOID HaltStep() { sim::CountHaltPass(); }

}  // namespace hw
