/** @file
  The driver's DebugLib: leveled messages to two sinks, the platform
  debug-output interface and the dual-UART serial console, and assertion
  reports to the serial console followed by a breakpoint trap.

  Each sink has its own filter: the interface's level mask, asked afresh for
  every message, and the module's debug print error level. A message is
  formatted at most once, and only when a sink takes it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <PiDxe.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/DebugPrintErrorLevelLib.h>
#include <Library/PcdLib.h>
#include <Library/PrintLib.h>
#include <Library/SerialPortLib.h>

#include "DebugLibInternal.h"

namespace {

///
/// Selector of the debug-output interface's level mask that this library
/// reads.
///
constexpr UINT8  DEBUG_OUTPUT_LEVEL_MASK_SELECTOR = 0;

/**
  Runs one message through both sinks.

  @param[in] ErrorLevel  The message's level.
  @param[in] Format      Writes the text into a buffer of
                         TOLM_DEBUG_MESSAGE_BUFFER_SIZE bytes and returns the
                         number of characters written. Called at most once.
**/
template<typename FORMATTER>
VOID
DebugRouteMessage (
  IN UINTN      ErrorLevel,
  IN FORMATTER  &&Format
  )
{
  CHAR8                           Buffer[TOLM_DEBUG_MESSAGE_BUFFER_SIZE];
  BOOLEAN                         Formatted;
  UINTN                           Length;
  PLATFORM_DEBUG_OUTPUT_PROTOCOL  *DebugOutput;

  Formatted   = FALSE;
  DebugOutput = mTolmDebugLib.DebugOutput;
  if ((DebugOutput != NULL) &&
      ((ErrorLevel & (UINTN)DebugOutput->GetLevelMask (DEBUG_OUTPUT_LEVEL_MASK_SELECTOR)) != 0))
  {
    Length = Format (Buffer);
    DebugOutput->Write (Buffer, Length);
    Formatted = TRUE;
  }

  if ((ErrorLevel & GetDebugPrintErrorLevel ()) == 0) {
    return;
  }

  if (!Formatted) {
    Format (Buffer);
  }

  SerialPortWrite ((UINT8 *)Buffer, AsciiStrLen (Buffer));
}

/**
  Checks a message's format string; a NULL one is reported as an assertion.
  When the trap handler resumes there is nothing to print.

  @param[in] Format  The format string.

  @retval TRUE  The format can be used.
**/
BOOLEAN
IsFormatUsable (
  IN CONST CHAR8  *Format
  )
{
  if (Format != NULL) {
    return TRUE;
  }

  if (DebugAssertEnabled ()) {
    DebugAssert (__FILE__, __LINE__, "Format != ((void *) 0)");
  }

  return FALSE;
}

} // namespace

/**
  Prints a debug message to the sinks whose filters accept ErrorLevel.

  @param[in] ErrorLevel  The message's level.
  @param[in] Format      BasePrintLib format string.
  @param[in] ...         Its arguments.
**/
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
  DebugVPrint (ErrorLevel, Format, Marker);
  VA_END (Marker);
}

/**
  Prints a debug message, arguments as a VA_LIST, to the sinks whose filters
  accept ErrorLevel. Text beyond 255 characters is cut in both sinks.

  @param[in] ErrorLevel  The message's level.
  @param[in] Format      BasePrintLib format string.
  @param[in] VaListMarker  Its arguments.
**/
VOID
EFIAPI
DebugVPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  IN  VA_LIST      VaListMarker
  )
{
  if (!IsFormatUsable (Format)) {
    return;
  }

  DebugRouteMessage (
    ErrorLevel,
    [&](CHAR8 *Buffer) -> UINTN {
      return AsciiVSPrint (Buffer, TOLM_DEBUG_MESSAGE_BUFFER_SIZE, Format, VaListMarker);
    }
    );
}

/**
  Prints a debug message, arguments as a BASE_LIST, to the sinks whose filters
  accept ErrorLevel.

  @param[in] ErrorLevel      The message's level.
  @param[in] Format          BasePrintLib format string.
  @param[in] BaseListMarker  Its arguments.
**/
VOID
EFIAPI
DebugBPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  IN  BASE_LIST    BaseListMarker
  )
{
  if (!IsFormatUsable (Format)) {
    return;
  }

  DebugRouteMessage (
    ErrorLevel,
    [&](CHAR8 *Buffer) -> UINTN {
      return AsciiBSPrint (Buffer, TOLM_DEBUG_MESSAGE_BUFFER_SIZE, Format, BaseListMarker);
    }
    );
}

/**
  Reports a failed assertion on the serial console, whatever the level and
  whatever the debug-output interface would accept, then raises a breakpoint
  trap. Returns if the trap handler resumes.

  @param[in] FileName     Source file of the assertion.
  @param[in] LineNumber   Its line.
  @param[in] Description  The condition's text.
**/
VOID
EFIAPI
DebugAssert (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  )
{
  CHAR8  Buffer[TOLM_DEBUG_MESSAGE_BUFFER_SIZE];

  AsciiSPrint (
    Buffer,
    sizeof (Buffer),
    "ASSERT [%a] %a(%d): %a\n",
    gEfiCallerBaseName,
    FileName,
    (UINT32)LineNumber,
    Description
    );
  SerialPortWrite ((UINT8 *)Buffer, AsciiStrLen (Buffer));

  if ((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_ASSERT_BREAKPOINT_ENABLED) != 0) {
    CpuBreakpoint ();
  } else if ((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_ASSERT_DEADLOOP_ENABLED) != 0) {
    CpuDeadLoop ();
  }
}

/**
  Fills Buffer with the build's clear-memory value.

  @param[out] Buffer  The memory to fill.
  @param[in]  Length  Its size in bytes.

  @return Buffer.
**/
VOID *
EFIAPI
DebugClearMemory (
  OUT VOID  *Buffer,
  IN UINTN  Length
  )
{
  if (Buffer == NULL) {
    if (DebugAssertEnabled ()) {
      DebugAssert (__FILE__, __LINE__, "Buffer != ((void *) 0)");
    }

    return Buffer;
  }

  return SetMem (Buffer, Length, PcdGet8 (PcdDebugClearMemoryValue));
}

/**
  @retval TRUE  Assertions are evaluated (PcdDebugPropertyMask bit 0x01).
**/
BOOLEAN
EFIAPI
DebugAssertEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_ASSERT_ENABLED) != 0);
}

/**
  @retval TRUE  Debug messages are produced (PcdDebugPropertyMask bit 0x02).
**/
BOOLEAN
EFIAPI
DebugPrintEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_PRINT_ENABLED) != 0);
}

/**
  @retval TRUE  DEBUG_CODE blocks run (PcdDebugPropertyMask bit 0x04).
**/
BOOLEAN
EFIAPI
DebugCodeEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_CODE_ENABLED) != 0);
}

/**
  @retval TRUE  DEBUG_CLEAR_MEMORY fills memory (PcdDebugPropertyMask bit 0x08).
**/
BOOLEAN
EFIAPI
DebugClearMemoryEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_CLEAR_MEMORY_ENABLED) != 0);
}

/**
  The call-site filter, fixed when the image is built.

  @param[in] ErrorLevel  A message level.

  @retval TRUE  The level shares a bit with PcdFixedDebugPrintErrorLevel.
**/
BOOLEAN
EFIAPI
DebugPrintLevelEnabled (
  IN  CONST UINTN  ErrorLevel
  )
{
  return (BOOLEAN)((ErrorLevel & PcdGet32 (PcdFixedDebugPrintErrorLevel)) != 0);
}
