/** @file
  The debug print error level of the driver's DebugLib and its set-up: where
  the level comes from (build setting, a GUID HOB, four CMOS bytes), when it
  settles, EFI_DEBUG_MASK_PROTOCOL on the image handle, and the library's
  constructors and destructor.

  The level never comes from a UEFI variable. Every Boot Services call here
  goes through the system table handed to the constructors: they run before
  the image's gBS is set.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <PiDxe.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/DebugPrintErrorLevelLib.h>
#include <Library/IoLib.h>
#include <Library/PcdLib.h>
#include <Library/SerialPortLib.h>

extern "C" {
#include <Guid/DebugMask.h>
#include <Guid/HobList.h>
}

#include "DebugLibInternal.h"

TOLM_DEBUG_LIB_STATE  mTolmDebugLib;

namespace {

/**
  Returns the current level, zero-extended. Never starts the level search.

  @param[in]  This              Not examined.
  @param[out] CurrentDebugMask  Receives the level.

  @retval EFI_SUCCESS            The level is stored.
  @retval EFI_INVALID_PARAMETER  CurrentDebugMask is NULL.
**/
EFI_STATUS
EFIAPI
GetDebugMask (
  IN EFI_DEBUG_MASK_PROTOCOL  *This,
  IN OUT UINTN                *CurrentDebugMask
  )
{
  if (CurrentDebugMask == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *CurrentDebugMask = mTolmDebugLib.ErrorLevel;
  return EFI_SUCCESS;
}

/**
  Replaces the current level with the low 32 bits of NewDebugMask. Whether
  the level has settled does not change.

  @param[in] This          Not examined.
  @param[in] NewDebugMask  The new level.

  @retval EFI_SUCCESS  Always.
**/
EFI_STATUS
EFIAPI
SetDebugMask (
  IN EFI_DEBUG_MASK_PROTOCOL  *This,
  IN UINTN                    NewDebugMask
  )
{
  mTolmDebugLib.ErrorLevel = (UINT32)NewDebugMask;
  return EFI_SUCCESS;
}

EFI_DEBUG_MASK_PROTOCOL  mTolmDebugMaskProtocol = {
  EFI_DEBUG_MASK_REVISION,
  GetDebugMask,
  SetDebugMask
};

static_assert (EFI_DEBUG_MASK_REVISION == 0x10000, "debug mask protocol revision");

constexpr UINTN  HOB_GUID_NAME_OFFSET = OFFSET_OF (EFI_HOB_GUID_TYPE, Name);
constexpr UINTN  HOB_GUID_DATA_OFFSET = sizeof (EFI_HOB_GUID_TYPE);

static_assert (HOB_GUID_NAME_OFFSET == 8, "GUID HOB name follows the 8-byte generic header");
static_assert (HOB_GUID_DATA_OFFSET == 24, "GUID HOB data follows the name");

/**
  Reads the little-endian level from CMOS bytes 0x7A to 0x7D, in that order.
**/
UINT32
ReadCmosErrorLevel (
  VOID
  )
{
  UINT32  Level;
  UINT8   Offset;

  Level = 0;
  for (Offset = 0; Offset < sizeof (Level); Offset++) {
    IoWrite8 (R_CMOS_INDEX, (UINT8)(CMOS_DEBUG_ERROR_LEVEL_BYTE0 + Offset));
    Level |= (UINT32)IoRead8 (R_CMOS_DATA) << (8 * Offset);
  }

  return Level;
}

/**
  Looks for the level HOB: the first GUID extension HOB named
  gEfiGenericVariableGuid in the HOB list of the configuration table. Its
  first four data bytes are the level; the data size is not examined.

  @param[in]  SystemTable  The system table handed to the constructor.
  @param[out] Level        Receives the level when a HOB was found.

  @retval TRUE   Found.
  @retval FALSE  No HOB list, or no such HOB in it.
**/
BOOLEAN
FindErrorLevelHob (
  IN  CONST EFI_SYSTEM_TABLE  *SystemTable,
  OUT UINT32                  *Level
  )
{
  CONST UINT8  *Hob;
  UINTN        Index;

  Hob = NULL;
  for (Index = 0; Index < SystemTable->NumberOfTableEntries; Index++) {
    if (CompareGuid (&SystemTable->ConfigurationTable[Index].VendorGuid, &gEfiHobListGuid)) {
      Hob = (CONST UINT8 *)SystemTable->ConfigurationTable[Index].VendorTable;
      break;
    }
  }

  if (Hob == NULL) {
    return FALSE;
  }

  for ( ; ;) {
    CONST EFI_HOB_GENERIC_HEADER  *Header = (CONST EFI_HOB_GENERIC_HEADER *)Hob;

    if (Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return FALSE;
    }

    if ((Header->HobType == EFI_HOB_TYPE_GUID_EXTENSION) &&
        CompareGuid ((CONST GUID *)(Hob + HOB_GUID_NAME_OFFSET), &gEfiGenericVariableGuid))
    {
      *Level = ReadUnaligned32 ((CONST UINT32 *)(Hob + HOB_GUID_DATA_OFFSET));
      return TRUE;
    }

    if (Header->HobLength == 0) {
      //
      // A corrupt list would hold the walk here for ever.
      //
      return FALSE;
    }

    Hob += Header->HobLength;
  }
}

} // namespace

/**
  Returns the debug print error level that filters the serial console.

  Before the error-level constructor has run this is the build setting (0).
  Afterwards the level is looked for until it settles: settling waits for a
  query made at TPL_CALLBACK or below, and reads CMOS (once in the image's
  life) when neither the build setting nor a HOB gave a level.

  @return The level.
**/
UINT32
EFIAPI
GetDebugPrintErrorLevel (
  VOID
  )
{
  EFI_BOOT_SERVICES  *BootServices;
  EFI_TPL            CallerTpl;

  if (mTolmDebugLib.SystemTable == NULL) {
    return PcdGet32 (PcdDebugPrintErrorLevel);
  }

  if (mTolmDebugLib.ErrorLevelSettled) {
    return mTolmDebugLib.ErrorLevel;
  }

  BootServices = mTolmDebugLib.SystemTable->BootServices;
  CallerTpl    = BootServices->RaiseTPL (TPL_HIGH_LEVEL);
  BootServices->RestoreTPL (CallerTpl);
  if (CallerTpl > TPL_CALLBACK) {
    return mTolmDebugLib.ErrorLevel;
  }

  mTolmDebugLib.ErrorLevelSettled = TRUE;
  if (mTolmDebugLib.ErrorLevel == 0) {
    mTolmDebugLib.ErrorLevel = ReadCmosErrorLevel ();
  }

  return mTolmDebugLib.ErrorLevel;
}

/**
  Replaces the debug print error level, as EFI_DEBUG_MASK_PROTOCOL's
  SetDebugMask does.

  @param[in] ErrorLevel  The new level.

  @retval TRUE  Always.
**/
BOOLEAN
EFIAPI
SetDebugPrintErrorLevel (
  UINT32  ErrorLevel
  )
{
  mTolmDebugLib.ErrorLevel = ErrorLevel;
  return TRUE;
}

EFI_STATUS
EFIAPI
TolmDebugLibOutputConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;

  Status = SystemTable->BootServices->LocateProtocol (
                                        &gPlatformDebugOutputProtocolGuid,
                                        NULL,
                                        (VOID **)&mTolmDebugLib.DebugOutput
                                        );
  if (EFI_ERROR (Status)) {
    mTolmDebugLib.DebugOutput = NULL;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
TolmDebugLibErrorLevelConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  UINT32      HobLevel;

  mTolmDebugLib.ErrorLevel = PcdGet32 (PcdDebugPrintErrorLevel);
  if (mTolmDebugLib.ErrorLevel != 0) {
    mTolmDebugLib.ErrorLevelSettled = TRUE;
  } else if (FindErrorLevelHob (SystemTable, &HobLevel)) {
    mTolmDebugLib.ErrorLevel        = HobLevel;
    mTolmDebugLib.ErrorLevelSettled = TRUE;
  }

  mTolmDebugLib.SystemTable = SystemTable;

  Status = SystemTable->BootServices->InstallMultipleProtocolInterfaces (
                                        &ImageHandle,
                                        &gEfiDebugMaskProtocolGuid,
                                        &mTolmDebugMaskProtocol,
                                        (VOID *)NULL
                                        );

  //
  // At the start-up priority this settles the level.
  //
  GetDebugPrintErrorLevel ();

  return Status;
}

EFI_STATUS
EFIAPI
TolmDebugLibNullConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
TolmDebugLibConsoleConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  return SerialPortInitialize ();
}

EFI_STATUS
EFIAPI
TolmDebugLibDestructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  return SystemTable->BootServices->UninstallMultipleProtocolInterfaces (
                                      ImageHandle,
                                      &gEfiDebugMaskProtocolGuid,
                                      &mTolmDebugMaskProtocol,
                                      (VOID *)NULL
                                      );
}
