/** @file
  The boot image of the HTTPS boot scenarios. It proves it ran with one marker
  line on the console, naming the device path it was loaded from (the URI of
  the HTTPS download), then shuts the machine down. Started with the load
  option "return", it returns EFI_SUCCESS instead, so that a test can go on.

  Marker lines, with the trust digest after the first (../Include/TrustDigest.h):
    HTTPS-BOOT-IMAGE: running, loaded from <device path>
    TRUST-DIGEST: TlsCaCertificate absent | attributes ... size ... crc32 ...
    HTTPS-BOOT-IMAGE: returning | shutting down

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/LoadedImage.h>

#include "../Include/TrustDigest.h"

namespace {

///
/// The load option that makes the image return instead of shutting down.
///
constexpr const wchar_t  RETURN_OPTION[] = L"return";

} // namespace

extern "C" {

/**
  Prints the marker line and shuts down, or returns when asked to.

  @param[in] ImageHandle  This image.
  @param[in] SystemTable  The system table.

  @retval EFI_SUCCESS  Started with the load option "return".
**/
EFI_STATUS
EFIAPI
HttpsBootImageMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_LOADED_IMAGE_PROTOCOL  *Self;
  EFI_DEVICE_PATH_PROTOCOL   *Path;
  CHAR16                     *PathText;
  BOOLEAN                    Return;

  Path = NULL;
  gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageDevicePathProtocolGuid, (VOID **)&Path);
  PathText = (Path != NULL) ? ConvertDevicePathToText (Path, FALSE, FALSE) : NULL;
  if (PathText != NULL) {
    AsciiPrint ("HTTPS-BOOT-IMAGE: running, loaded from %s\r\n", PathText);
    FreePool (PathText);
  } else {
    AsciiPrint ("HTTPS-BOOT-IMAGE: running, loaded from (unknown)\r\n");
  }

  TrustDigestPrint ();

  Return = FALSE;
  if (!EFI_ERROR (gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&Self)) &&
      (Self->LoadOptions != NULL) && (Self->LoadOptionsSize >= sizeof (RETURN_OPTION)))
  {
    Return = (CompareMem (Self->LoadOptions, RETURN_OPTION, sizeof (RETURN_OPTION)) == 0);
  }

  if (Return) {
    AsciiPrint ("HTTPS-BOOT-IMAGE: returning\r\n");
    return EFI_SUCCESS;
  }

  AsciiPrint ("HTTPS-BOOT-IMAGE: shutting down\r\n");
  gRT->ResetSystem (EfiResetShutdown, EFI_SUCCESS, 0, NULL);
  return EFI_SUCCESS;
}

} // extern "C"
