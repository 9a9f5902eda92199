/** @file
  Stand-in for the platform-information protocol: a record whose IsSimics
  byte is 0 (real hardware) until the test application sets it through the
  interface's first entry, which the driver never calls.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/PlatformInfo.h>

#include "../Include/OnTargetSim.h"

namespace {

PLATFORM_INFO  mPlatformInfo;

VOID
EFIAPI
SimSetIsSimics (
  IN UINT8  IsSimics
  )
{
  mPlatformInfo.IsSimics = IsSimics;
}

EFI_STATUS
EFIAPI
SimGetPlatformInfo (
  OUT PLATFORM_INFO  **PlatformInfo
  )
{
  if (PlatformInfo == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *PlatformInfo = &mPlatformInfo;
  return EFI_SUCCESS;
}

PLATFORM_INFO_SIM_PROTOCOL  mPlatformInfoProtocol = {
  SimSetIsSimics,
  SimGetPlatformInfo
};

} // namespace

extern "C" {

/**
  Installs the stand-in platform-information protocol on a new handle; the
  image stays resident.

  @param[in] ImageHandle  This image.
  @param[in] SystemTable  The system table.

  @return The status of the installation.
**/
EFI_STATUS
EFIAPI
PlatformInfoSimEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_HANDLE  Handle;

  Handle = NULL;
  return gBS->InstallMultipleProtocolInterfaces (&Handle, &gPlatformInfoProtocolGuid, &mPlatformInfoProtocol, NULL);
}

} // extern "C"
