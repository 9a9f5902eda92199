/** @file
  Stand-in for the platform-information protocol: a record whose IsSimics
  byte is 0 (real hardware) until the test application sets it through the
  interface's first entry, which the driver never calls.

  Dispatched from the firmware volume of the platform build, it also plays
  the platform's setup defaults: the driver's debug level in CMOS is set to
  the test level when CMOS holds none, before the protocol the driver's
  dispatch waits for is installed. Loaded by the test application, it leaves
  CMOS to the application.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/LoadedImage.h>
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

/**
  Tells whether the DXE dispatcher started this image from a firmware volume:
  its file path is a firmware-file node.
**/
BOOLEAN
DispatchedFromFirmwareVolume (
  IN EFI_HANDLE  ImageHandle
  )
{
  EFI_LOADED_IMAGE_PROTOCOL  *Loaded;

  if (EFI_ERROR (gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&Loaded)) ||
      (Loaded->FilePath == NULL))
  {
    return FALSE;
  }

  return Loaded->FilePath->Type == MEDIA_DEVICE_PATH && Loaded->FilePath->SubType == MEDIA_PIWG_FW_FILE_DP;
}

} // namespace

extern "C" {

/**
  Installs the stand-in platform-information protocol on a new handle, after
  the debug-level default when dispatched from a firmware volume; the image
  stays resident.

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

  if (DispatchedFromFirmwareVolume (ImageHandle) && (OnTarget::ReadCmosDebugLevel () == 0)) {
    OnTarget::WriteCmosDebugLevel (OnTarget::DRIVER_DEBUG_LEVEL);
  }

  Handle = NULL;
  return gBS->InstallMultipleProtocolInterfaces (&Handle, &gPlatformInfoProtocolGuid, &mPlatformInfoProtocol, NULL);
}

} // extern "C"
