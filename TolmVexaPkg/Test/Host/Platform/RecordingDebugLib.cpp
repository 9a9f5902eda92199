/** @file
  A DebugLib instance for host tests of the driver's logic: every DebugPrint is
  formatted with the real BasePrintLib and recorded with its level in
  Sim::DebugLog(); every DebugAssert is recorded (file, line, description) and
  then traps through CpuBreakpoint, which the simulated CPU records and resumes.

  Line ends are recorded as the format wrote them ("\n", where BasePrintLib
  produces "\r\n"). Messages are recorded whatever the run-time debug level: the recorder shows
  what the module asked to print. The Debug*Enabled answers follow
  PcdDebugPropertyMask and PcdFixedDebugPrintErrorLevel, as in firmware.

  The driver's own DebugLib has its own tests; link this one instead of it
  (tolm_add_host_test's default DEBUG_LIB).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

namespace {

constexpr UINTN  RECORD_LENGTH = 1024;

/// BasePrintLib turns "\n" into "\r\n"; the record keeps the text as the
/// format wrote it.
void
Keep (
  UINTN        ErrorLevel,
  CONST CHAR8  *Text
  )
{
  std::string  Line (Text);

  for (size_t At = Line.find ("\r\n"); At != std::string::npos; At = Line.find ("\r\n", At)) {
    Line.erase (At, 1);
  }

  Sim::DebugLog ().Messages.push_back ({ ErrorLevel, Line });
}

void
Record (
  UINTN        ErrorLevel,
  CONST CHAR8  *Format,
  VA_LIST      Marker
  )
{
  CHAR8  Buffer[RECORD_LENGTH];

  AsciiVSPrint (Buffer, sizeof (Buffer), Format, Marker);
  Keep (ErrorLevel, Buffer);
}

} // namespace

extern "C" {

VOID
EFIAPI
DebugPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  Record (ErrorLevel, Format, Marker);
  VA_END (Marker);
}

VOID
EFIAPI
DebugVPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  IN  VA_LIST      VaListMarker
  )
{
  Record (ErrorLevel, Format, VaListMarker);
}

VOID
EFIAPI
DebugBPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  IN  BASE_LIST    BaseListMarker
  )
{
  CHAR8  Buffer[RECORD_LENGTH];

  AsciiBSPrint (Buffer, sizeof (Buffer), Format, BaseListMarker);
  Keep (ErrorLevel, Buffer);
}

VOID
EFIAPI
DebugAssert (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  )
{
  Sim::DebugLog ().Asserts.push_back ({ FileName != nullptr ? FileName : "", LineNumber, Description != nullptr ? Description : "" });
  if ((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_ASSERT_BREAKPOINT_ENABLED) != 0) {
    CpuBreakpoint ();
  } else if ((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_ASSERT_DEADLOOP_ENABLED) != 0) {
    CpuDeadLoop ();
  }
}

VOID *
EFIAPI
DebugClearMemory (
  OUT VOID  *Buffer,
  IN UINTN  Length
  )
{
  return SetMem (Buffer, Length, PcdGet8 (PcdDebugClearMemoryValue));
}

BOOLEAN
EFIAPI
DebugAssertEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_ASSERT_ENABLED) != 0);
}

BOOLEAN
EFIAPI
DebugPrintEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_PRINT_ENABLED) != 0);
}

BOOLEAN
EFIAPI
DebugCodeEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_CODE_ENABLED) != 0);
}

BOOLEAN
EFIAPI
DebugClearMemoryEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_CLEAR_MEMORY_ENABLED) != 0);
}

BOOLEAN
EFIAPI
DebugPrintLevelEnabled (
  IN  CONST UINTN  ErrorLevel
  )
{
  return (BOOLEAN)((ErrorLevel & PcdGet32 (PcdFixedDebugPrintErrorLevel)) != 0);
}

} // extern "C"
