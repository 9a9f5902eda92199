/** @file
  On-target test bed: one console line that tells the host what HTTPS boot
  trusts at the end of a boot, so that a host-side check can compare
  "TlsCaCertificate" with the slots without reading the variable store:

    TRUST-DIGEST: TlsCaCertificate absent
    TRUST-DIGEST: TlsCaCertificate attributes 0x%08x size %u crc32 %08x

  in C printf notation (attributes and crc32 as eight lower-case hex
  digits): size is the byte count of the variable's value and crc32 the
  firmware's CRC-32 of the whole value (the standard CRC-32, as zlib computes
  it). The test applications that end an unattended boot print it. A module
  that includes this header uses UefiLib, MemoryAllocationLib,
  UefiBootServicesTableLib and UefiRuntimeServicesTableLib, and consumes
  gEfiTlsCaCertificateGuid (NetworkPkg.dec).

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TRUST_DIGEST_H_
#define TRUST_DIGEST_H_

#include <Uefi.h>
#include <Guid/TlsAuthentication.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

/**
  Eight lower-case hex digits of Value (PrintLib's %x prints upper case).

  @param[in]  Value  The number.
  @param[out] Text   The digits, NUL-terminated.
**/
static inline
VOID
TrustDigestHex (
  IN  UINT32  Value,
  OUT CHAR8   Text[9]
  )
{
  UINTN  Index;

  for (Index = 0; Index < 8; Index++) {
    Text[Index] = "0123456789abcdef"[(Value >> (28 - 4 * Index)) & 0xF];
  }

  Text[8] = '\0';
}

/**
  Prints the TRUST-DIGEST line of "TlsCaCertificate" on the console. A
  variable that is there but cannot be read is reported as
  "TRUST-DIGEST: TlsCaCertificate unreadable (<status>)", which no check
  takes for a digest.
**/
static inline
VOID
TrustDigestPrint (
  VOID
  )
{
  EFI_STATUS  Status;
  UINT32      Attributes;
  UINTN       Size;
  VOID        *Value;
  UINT32      Crc;
  CHAR8       AttributesText[9];
  CHAR8       CrcText[9];

  Attributes = 0;
  Size       = 0;
  Status     = gRT->GetVariable ((CHAR16 *)EFI_TLS_CA_CERTIFICATE_VARIABLE, &gEfiTlsCaCertificateGuid, NULL, &Size, NULL);
  if (Status == EFI_NOT_FOUND) {
    AsciiPrint ("TRUST-DIGEST: TlsCaCertificate absent\r\n");
    return;
  }

  Value = NULL;
  Crc   = 0;
  if (Status == EFI_BUFFER_TOO_SMALL) {
    Value  = AllocatePool (Size);
    Status = (Value == NULL) ? EFI_OUT_OF_RESOURCES :
             gRT->GetVariable ((CHAR16 *)EFI_TLS_CA_CERTIFICATE_VARIABLE, &gEfiTlsCaCertificateGuid, &Attributes, &Size, Value);
    if (!EFI_ERROR (Status)) {
      Status = gBS->CalculateCrc32 (Value, Size, &Crc);
    }
  } else if (!EFI_ERROR (Status)) {
    //
    // A variable is never empty: a success with no buffer is not a reading.
    //
    Status = EFI_DEVICE_ERROR;
  }

  if (EFI_ERROR (Status)) {
    AsciiPrint ("TRUST-DIGEST: TlsCaCertificate unreadable (%r)\r\n", Status);
  } else {
    TrustDigestHex (Attributes, AttributesText);
    TrustDigestHex (Crc, CrcText);
    AsciiPrint ("TRUST-DIGEST: TlsCaCertificate attributes 0x%a size %u crc32 %a\r\n", AttributesText, (UINT32)Size, CrcText);
  }

  if (Value != NULL) {
    FreePool (Value);
  }
}

#endif
