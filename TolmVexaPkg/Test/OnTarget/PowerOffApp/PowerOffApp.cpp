/** @file
  The last entry of the unattended platform's boot order: when every boot
  option before it failed, it prints one marker line and powers the machine
  off, instead of OVMF going on to PXE and HTTP boot on every NIC and then
  waiting in the shell.

  Lines, the trust digest first (../Include/TrustDigest.h):
    TRUST-DIGEST: TlsCaCertificate absent | attributes ... size ... crc32 ...
    POWER-OFF-APP: no boot option before me booted, powering off

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

#include "../Include/TrustDigest.h"

extern "C" {

/**
  Prints the trust digest and the marker line and powers the machine off.

  @param[in] ImageHandle  This image.
  @param[in] SystemTable  The system table.

  @retval EFI_DEVICE_ERROR  The machine did not power off.
**/
EFI_STATUS
EFIAPI
PowerOffAppMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  TrustDigestPrint ();
  AsciiPrint ("POWER-OFF-APP: no boot option before me booted, powering off\r\n");
  gRT->ResetSystem (EfiResetShutdown, EFI_SUCCESS, 0, NULL);
  return EFI_DEVICE_ERROR;
}

} // extern "C"
