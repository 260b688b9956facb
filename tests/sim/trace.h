// One ordered record of everything the code under test did to the simulated firmware and
// platform: service calls, console calls, port, window, configuration and register accesses.
// Tests assert final state everywhere and the exact order where the hardware pins it.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class TraceKind {
  Service,      // a boot service or protocol call; Name is the service, Status its result
  Console,      // a ConOut/ConIn call; Name is the member, Value/Address its arguments, Text
  PortRead,     // Route says direct or CPU I/O protocol
  PortWrite,
  WindowRead,   // memory-mapped configuration window, Address is the physical address
  WindowWrite,
  ConfigRead,   // configuration access through a protocol (root bridge or PCI I/O)
  ConfigWrite,
  IoRead,       // controller I/O register access through PCI I/O or the root bridge
  IoWrite,
};

enum class PortRoute { None, Direct, CpuIo };

struct TraceEntry {
  TraceKind Kind = TraceKind::Service;
  std::string Name;
  PortRoute Route = PortRoute::None;
  uint64_t Address = 0;
  uint32_t Width = 0;  // bytes
  uint64_t Value = 0;
  uint64_t Status = 0;
  std::u16string Text;
};

class Trace {
 public:
  void Add(TraceEntry Entry) { Entries_.push_back(std::move(Entry)); }
  const std::vector<TraceEntry>& Entries() const { return Entries_; }
  std::vector<TraceEntry> Of(TraceKind Kind) const {
    std::vector<TraceEntry> out;
    for (const auto& e : Entries_)
      if (e.Kind == Kind) out.push_back(e);
    return out;
  }
  void Clear() { Entries_.clear(); }

 private:
  std::vector<TraceEntry> Entries_;
};

// The trace of the running test; the fixtures clear it in SetUp.
Trace& GlobalTrace();

}  // namespace sim
