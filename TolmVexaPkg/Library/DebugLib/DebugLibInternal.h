/** @file
  State and set-up entry points shared by the files of the driver's debug
  library.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_VEXA_DEBUG_LIB_INTERNAL_H_
#define TOLM_VEXA_DEBUG_LIB_INTERNAL_H_

#include <PiDxe.h>
#include <Protocol/PlatformDebugOutput.h>

///
/// One message, formatted: at most 255 characters and the terminating NUL.
///
#define TOLM_DEBUG_MESSAGE_BUFFER_SIZE  256

//
// CMOS bytes 0x7A..0x7D hold the debug print error level, little-endian.
//
#define R_CMOS_INDEX                 0x70
#define R_CMOS_DATA                  0x71
#define CMOS_DEBUG_ERROR_LEVEL_BYTE0  0x7A

///
/// Module state of the library; all zero when the image is loaded.
///
typedef struct {
  ///
  /// The platform debug-output sink, or NULL when none was found at start-up.
  ///
  PLATFORM_DEBUG_OUTPUT_PROTOCOL    *DebugOutput;
  ///
  /// Saved by the error-level constructor; NULL before it has run.
  ///
  EFI_SYSTEM_TABLE                  *SystemTable;
  ///
  /// The debug print error level that filters the serial console.
  ///
  UINT32                            ErrorLevel;
  ///
  /// Once TRUE the level is only returned, no longer looked for.
  ///
  BOOLEAN                           ErrorLevelSettled;
} TOLM_DEBUG_LIB_STATE;

extern TOLM_DEBUG_LIB_STATE  mTolmDebugLib;

#ifdef __cplusplus
extern "C" {
#endif

//
// Library set-up, in the order the image's start-up runs it: debug output,
// error level, an empty step, serial console. The destructor runs only when
// the image's entry point fails.
//

/**
  Locates the platform debug-output sink through the system table's own Boot
  Services (the image's gBS is not set yet). A missing sink is not an error.

  @retval EFI_SUCCESS  Always.
**/
EFI_STATUS
EFIAPI
TolmDebugLibOutputConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

/**
  Determines the first debug print error level (build setting, level HOB or
  CMOS) and installs EFI_DEBUG_MASK_PROTOCOL on the image handle.

  @return The status of the protocol installation.
**/
EFI_STATUS
EFIAPI
TolmDebugLibErrorLevelConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

/**
  Placeholder step between the error level and the console.

  @retval EFI_SUCCESS  Always.
**/
EFI_STATUS
EFIAPI
TolmDebugLibNullConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

/**
  Initialises the serial console.

  @return The status of SerialPortInitialize.
**/
EFI_STATUS
EFIAPI
TolmDebugLibConsoleConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

/**
  Removes EFI_DEBUG_MASK_PROTOCOL from the image handle.

  @return The status of the removal.
**/
EFI_STATUS
EFIAPI
TolmDebugLibDestructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

#ifdef __cplusplus
}
#endif

#endif
