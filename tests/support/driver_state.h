// What the driver support library keeps between calls in a host test binary, cleared whenever a
// simulated firmware is built or torn down: the saved table pointers (whose boot services a
// DEBUG line would otherwise call into an earlier test's freed firmware) and the HII
// registration. Every test source that runs support code includes this header; the inline
// variable registers the clearing once per binary.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/driver_context.h"
#include "support/string_packages.h"
#include "tests/sim/firmware.h"

namespace support_state {

inline void Clear() {
  gDriverContext = {};
  gHii = nullptr;
  gHiiHandle = 0;
  gHiiPacksRegistered = FALSE;
  gHiiNewPackCalls = 0;
}

inline const bool kCleared = sim::AddStateReset(Clear);

}  // namespace support_state
