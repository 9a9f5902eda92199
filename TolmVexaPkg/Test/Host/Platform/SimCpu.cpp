/** @file
  The simulated CPU: port I/O routed to device models (the IoLib port
  functions), the breakpoint trap and dead loop recorded and resumed, and the
  few BaseLib processor functions host code may reach.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimInternal.h"

namespace Sim {

PortBus &
Ports (
  )
{
  static PortBus  Bus;

  return Bus;
}

CpuState &
Cpu (
  )
{
  static CpuState  State;

  return State;
}

void
PortBus::Map (
  UINT16      First,
  UINT16      Count,
  PortDevice  *Device
  )
{
  for (UINT32 Port = First; Port < static_cast<UINT32>(First) + Count && Port <= 0xFFFF; Port++) {
    mMap[static_cast<UINT16>(Port)] = Device;
  }
}

void
PortBus::Unmap (
  PortDevice  *Device
  )
{
  for (auto It = mMap.begin (); It != mMap.end ();) {
    if (It->second == Device) {
      It = mMap.erase (It);
    } else {
      ++It;
    }
  }
}

std::vector<UINT8>
PortBus::Written (
  UINT16  Port
  ) const
{
  std::vector<UINT8>  Bytes;

  for (const auto &Access : mLog) {
    if (Access.Write && (Access.Port == Port)) {
      Bytes.push_back (Access.Value);
    }
  }

  return Bytes;
}

UINT8
PortBus::Read8 (
  UINT16  Port
  )
{
  auto   It    = mMap.find (Port);
  UINT8  Value = (It == mMap.end ()) ? 0xFF : It->second->Read (Port);

  mLog.push_back ({ Port, false, Value });
  return Value;
}

void
PortBus::Write8 (
  UINT16  Port,
  UINT8   Value
  )
{
  mLog.push_back ({ Port, true, Value });
  auto  It = mMap.find (Port);
  if (It != mMap.end ()) {
    It->second->Write (Port, Value);
  }
}

void
PortBus::Clear (
  )
{
  mMap.clear ();
  mLog.clear ();
}

} // namespace Sim

namespace {

UINT64
ReadBytes (
  UINTN  Port,
  int    Width
  )
{
  UINT64  Value = 0;

  for (int Index = 0; Index < Width; Index++) {
    Value |= static_cast<UINT64>(Sim::Ports ().Read8 (static_cast<UINT16>(Port + Index))) << (8 * Index);
  }

  return Value;
}

void
WriteBytes (
  UINTN   Port,
  int     Width,
  UINT64  Value
  )
{
  for (int Index = 0; Index < Width; Index++) {
    Sim::Ports ().Write8 (static_cast<UINT16>(Port + Index), static_cast<UINT8>(Value >> (8 * Index)));
  }
}

} // namespace

extern "C" {

// --- IoLib: port I/O ----------------------------------------------------------

UINT8
EFIAPI
IoRead8 (
  IN UINTN  Port
  )
{
  return static_cast<UINT8>(ReadBytes (Port, 1));
}

UINT8
EFIAPI
IoWrite8 (
  IN UINTN  Port,
  IN UINT8  Value
  )
{
  WriteBytes (Port, 1, Value);
  return Value;
}

UINT16
EFIAPI
IoRead16 (
  IN UINTN  Port
  )
{
  return static_cast<UINT16>(ReadBytes (Port, 2));
}

UINT16
EFIAPI
IoWrite16 (
  IN UINTN   Port,
  IN UINT16  Value
  )
{
  WriteBytes (Port, 2, Value);
  return Value;
}

UINT32
EFIAPI
IoRead32 (
  IN UINTN  Port
  )
{
  return static_cast<UINT32>(ReadBytes (Port, 4));
}

UINT32
EFIAPI
IoWrite32 (
  IN UINTN   Port,
  IN UINT32  Value
  )
{
  WriteBytes (Port, 4, Value);
  return Value;
}

UINT64
EFIAPI
IoRead64 (
  IN UINTN  Port
  )
{
  ADD_FAILURE () << "64-bit port read at 0x" << std::hex << Port << ": x86 has no 64-bit port I/O";
  return ReadBytes (Port, 8);
}

UINT64
EFIAPI
IoWrite64 (
  IN UINTN   Port,
  IN UINT64  Value
  )
{
  ADD_FAILURE () << "64-bit port write at 0x" << std::hex << Port << ": x86 has no 64-bit port I/O";
  WriteBytes (Port, 8, Value);
  return Value;
}

VOID
EFIAPI
IoReadFifo8 (
  IN  UINTN  Port,
  IN  UINTN  Count,
  OUT VOID   *Buffer
  )
{
  for (UINTN Index = 0; Index < Count; Index++) {
    static_cast<UINT8 *>(Buffer)[Index] = IoRead8 (Port);
  }
}

VOID
EFIAPI
IoWriteFifo8 (
  IN UINTN  Port,
  IN UINTN  Count,
  IN VOID   *Buffer
  )
{
  for (UINTN Index = 0; Index < Count; Index++) {
    IoWrite8 (Port, static_cast<UINT8 *>(Buffer)[Index]);
  }
}

// --- IoLib: MMIO, as plain memory (a test passes the address of a buffer) -----

#define SIM_MMIO(Bits)                                          \
  UINT##Bits                                                    \
  EFIAPI                                                        \
  MmioRead##Bits (                                              \
    IN UINTN  Address                                           \
    )                                                           \
  {                                                             \
    return *reinterpret_cast<volatile UINT##Bits *>(Address);  \
  }                                                             \
                                                                \
  UINT##Bits                                                    \
  EFIAPI                                                        \
  MmioWrite##Bits (                                             \
    IN UINTN       Address,                                     \
    IN UINT##Bits  Value                                        \
    )                                                           \
  {                                                             \
    *reinterpret_cast<volatile UINT##Bits *>(Address) = Value; \
    return Value;                                               \
  }

SIM_MMIO (8)
SIM_MMIO (16)
SIM_MMIO (32)
SIM_MMIO (64)

// --- BaseLib processor functions ---------------------------------------------

VOID
EFIAPI
CpuBreakpoint (
  VOID
  )
{
  Sim::Cpu ().Breakpoints++;
  if (Sim::Cpu ().OnBreakpoint) {
    Sim::Cpu ().OnBreakpoint ();
  }
}

VOID
EFIAPI
CpuDeadLoop (
  VOID
  )
{
  // Firmware would spin here for a debugger; the host records and resumes.
  Sim::Cpu ().DeadLoops++;
}

VOID
EFIAPI
CpuPause (
  VOID
  )
{
}

UINT64
EFIAPI
AsmReadTsc (
  VOID
  )
{
  static UINT64  Tsc;

  return Tsc += 1000;
}

VOID
EFIAPI
EnableInterrupts (
  VOID
  )
{
}

VOID
EFIAPI
DisableInterrupts (
  VOID
  )
{
}

BOOLEAN
EFIAPI
GetInterruptState (
  VOID
  )
{
  return TRUE;
}

BOOLEAN
EFIAPI
SaveAndDisableInterrupts (
  VOID
  )
{
  return TRUE;
}

BOOLEAN
EFIAPI
SetInterruptState (
  IN BOOLEAN  InterruptState
  )
{
  return InterruptState;
}

VOID
EFIAPI
MemoryFence (
  VOID
  )
{
  __sync_synchronize ();
}

} // extern "C"
