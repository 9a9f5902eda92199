/** @file
  Stand-in for the target platform's variable policy.

  The target platform's variable service accepts a time-based authenticated
  write (attributes 0x23) whose EFI_VARIABLE_AUTHENTICATION_2 descriptor
  carries no certificate data, for the certificate variables under
  gTolmVariableGuid; OVMF refuses exactly these writes. This layer sits in
  front of OVMF's GetVariable and SetVariable and gives the target's
  behaviour for gTolmVariableGuid:

  - a 0x23 write whose 40-byte descriptor is well formed (dwLength 24,
    wRevision 0x0200, type 0x0EF1, PKCS7 GUID, time stamp with Pad1,
    Nanosecond, TimeZone, Daylight and Pad2 all 0) stores what follows the
    descriptor, replacing the whole value, or deletes the variable when
    nothing follows (EFI_NOT_FOUND when there is nothing to delete);
  - a 0x23 write with a malformed descriptor is refused with
    EFI_SECURITY_VIOLATION;
  - GetVariable returns a stored value with attributes 0x23;
  - everything else (other attributes, such as the volatile "TolmPr" flag,
    and every other vendor GUID) goes to OVMF unchanged.

  The values are kept in OVMF's own non-volatile store, as plain
  non-volatile boot-service variables (attributes 0x03) under the same name
  and GUID, so that the slots survive a reboot as on the target platform:
  a boot that keeps the machine's variable store (the BMC scenarios) finds
  them again. OVMF's limit on a variable's size applies (about 33 KB).

  A variable service that checks the creator's signature of an
  authenticated variable (secure boot's, without physical presence; OVMF
  assumes physical presence and takes an unsigned authenticated delete) is
  played when the store holds "TolmSimSignedTrust" (gTolmVariableGuid,
  planted offline): then no write of an authenticated "TlsCaCertificate"
  gets through, a delete neither (EFI_SECURITY_VIOLATION).

  Every SetVariable under gTolmVariableGuid is logged for the test application
  (VARIABLE_POLICY_SIM_PROTOCOL). The image stays resident and never unhooks.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Guid/ImageAuthentication.h>
#include <Guid/TlsAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Guid/WinCertificate.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

#include "../Include/OnTargetSim.h"

namespace {

constexpr UINT32  AUTHENTICATED_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                             EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS;
constexpr UINT32  STORED_ATTRIBUTES        = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr UINTN   DESCRIPTOR_SIZE    = OFFSET_OF (EFI_VARIABLE_AUTHENTICATION_2, AuthInfo) +
                                       OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData);

static_assert (AUTHENTICATED_ATTRIBUTES == 0x23, "certificate variable attributes");
static_assert (DESCRIPTOR_SIZE == 40, "descriptor without certificate data");

EFI_GET_VARIABLE           mOriginalGetVariable;
EFI_SET_VARIABLE           mOriginalSetVariable;
VARIABLE_POLICY_SIM_WRITE  mLog[VARIABLE_POLICY_SIM_MAX_WRITES];
UINTN                      mLogCount;

/**
  TRUE when Data starts with the descriptor the target platform accepts
  without certificate data.
**/
BOOLEAN
IsUnsignedDescriptor (
  IN CONST VOID  *Data,
  IN UINTN       DataSize
  )
{
  EFI_VARIABLE_AUTHENTICATION_2  Descriptor;

  if ((Data == NULL) || (DataSize < DESCRIPTOR_SIZE)) {
    return FALSE;
  }

  //
  // Copied out: the caller's buffer need not be aligned.
  //
  CopyMem (&Descriptor, Data, DESCRIPTOR_SIZE);
  return Descriptor.TimeStamp.Pad1 == 0 &&
         Descriptor.TimeStamp.Nanosecond == 0 &&
         Descriptor.TimeStamp.TimeZone == 0 &&
         Descriptor.TimeStamp.Daylight == 0 &&
         Descriptor.TimeStamp.Pad2 == 0 &&
         Descriptor.AuthInfo.Hdr.dwLength == OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData) &&
         Descriptor.AuthInfo.Hdr.wRevision == 0x0200 &&
         Descriptor.AuthInfo.Hdr.wCertificateType == WIN_CERT_TYPE_EFI_GUID &&
         CompareGuid (&Descriptor.AuthInfo.CertType, &gEfiCertPkcs7Guid);
}

VOID
LogWrite (
  IN CONST CHAR16  *Name,
  IN UINT32        Attributes,
  IN UINTN         DataSize,
  IN CONST VOID    *Data,
  IN EFI_STATUS    Status
  )
{
  VARIABLE_POLICY_SIM_WRITE  *Entry;

  if (mLogCount < VARIABLE_POLICY_SIM_MAX_WRITES) {
    Entry = &mLog[mLogCount];
    ZeroMem (Entry, sizeof (*Entry));
    if (Name != NULL) {
      StrnCpyS (Entry->Name, VARIABLE_POLICY_SIM_NAME_CHARS, Name, VARIABLE_POLICY_SIM_NAME_CHARS - 1);
    }

    Entry->Attributes = Attributes;
    Entry->DataSize   = DataSize;
    Entry->FirstByte  = ((Data != NULL) && (DataSize != 0)) ? *(CONST UINT8 *)Data : 0;
    Entry->Status     = Status;
  }

  mLogCount++;
}

/**
  TRUE when the write is one of an authenticated "TlsCaCertificate" that a
  signature-checking variable service refuses unsigned (see above).
**/
BOOLEAN
IsSignedTrust (
  IN CONST CHAR16    *VariableName,
  IN CONST EFI_GUID  *VendorGuid
  )
{
  UINT32  Attributes;
  UINTN   Size;

  if ((VariableName == NULL) || (VendorGuid == NULL) || !CompareGuid (VendorGuid, &gEfiTlsCaCertificateGuid) ||
      (StrCmp (VariableName, (CONST CHAR16 *)EFI_TLS_CA_CERTIFICATE_VARIABLE) != 0))
  {
    return FALSE;
  }

  Size = 0;
  if (mOriginalGetVariable ((CHAR16 *)L"TolmSimSignedTrust", &gTolmVariableGuid, NULL, &Size, NULL) == EFI_NOT_FOUND) {
    return FALSE;
  }

  Size       = 0;
  Attributes = 0;
  mOriginalGetVariable ((CHAR16 *)VariableName, (EFI_GUID *)VendorGuid, &Attributes, &Size, NULL);
  return (Attributes & EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS) != 0;
}

EFI_STATUS
EFIAPI
PolicySetVariable (
  IN CHAR16    *VariableName,
  IN EFI_GUID  *VendorGuid,
  IN UINT32    Attributes,
  IN UINTN     DataSize,
  IN VOID      *Data
  )
{
  EFI_STATUS  Status;

  if (IsSignedTrust (VariableName, VendorGuid)) {
    return EFI_SECURITY_VIOLATION;
  }

  if ((VariableName == NULL) || (VendorGuid == NULL) || !CompareGuid (VendorGuid, &gTolmVariableGuid)) {
    return mOriginalSetVariable (VariableName, VendorGuid, Attributes, DataSize, Data);
  }

  if (Attributes != AUTHENTICATED_ATTRIBUTES) {
    Status = mOriginalSetVariable (VariableName, VendorGuid, Attributes, DataSize, Data);
  } else if (!IsUnsignedDescriptor (Data, DataSize)) {
    Status = EFI_SECURITY_VIOLATION;
  } else {
    //
    // The whole value is replaced, or the variable deleted when nothing
    // follows the descriptor.
    //
    Status = mOriginalSetVariable (
               VariableName,
               VendorGuid,
               STORED_ATTRIBUTES,
               DataSize - DESCRIPTOR_SIZE,
               (UINT8 *)Data + DESCRIPTOR_SIZE
               );
  }

  LogWrite (VariableName, Attributes, DataSize, Data, Status);
  return Status;
}

EFI_STATUS
EFIAPI
PolicyGetVariable (
  IN     CHAR16    *VariableName,
  IN     EFI_GUID  *VendorGuid,
  OUT    UINT32    *Attributes OPTIONAL,
  IN OUT UINTN     *DataSize,
  OUT    VOID      *Data OPTIONAL
  )
{
  EFI_STATUS  Status;
  UINT32      Stored;

  Stored = 0;
  Status = mOriginalGetVariable (VariableName, VendorGuid, &Stored, DataSize, Data);
  if ((VariableName != NULL) && (VendorGuid != NULL) && CompareGuid (VendorGuid, &gTolmVariableGuid) &&
      (Stored == STORED_ATTRIBUTES))
  {
    Stored = AUTHENTICATED_ATTRIBUTES;
  }

  if ((Attributes != NULL) && ((Status == EFI_SUCCESS) || (Status == EFI_BUFFER_TOO_SMALL))) {
    *Attributes = Stored;
  }

  return Status;
}

VOID
EFIAPI
SimClearLog (
  IN VARIABLE_POLICY_SIM_PROTOCOL  *This
  )
{
  ZeroMem (mLog, sizeof (mLog));
  mLogCount = 0;
}

UINTN
EFIAPI
SimGetWriteCount (
  IN VARIABLE_POLICY_SIM_PROTOCOL  *This
  )
{
  return mLogCount;
}

EFI_STATUS
EFIAPI
SimGetWrite (
  IN  VARIABLE_POLICY_SIM_PROTOCOL  *This,
  IN  UINTN                         Index,
  OUT VARIABLE_POLICY_SIM_WRITE     *Write
  )
{
  if ((Write == NULL) || (Index >= MIN (mLogCount, (UINTN)VARIABLE_POLICY_SIM_MAX_WRITES))) {
    return EFI_NOT_FOUND;
  }

  CopyMem (Write, &mLog[Index], sizeof (*Write));
  return EFI_SUCCESS;
}

VARIABLE_POLICY_SIM_PROTOCOL  mControl = {
  SimClearLog,
  SimGetWriteCount,
  SimGetWrite
};

EFI_GUID  mControlGuid = VARIABLE_POLICY_SIM_PROTOCOL_GUID;

} // namespace

extern "C" {

/**
  Puts the layer in front of the firmware's GetVariable and SetVariable and
  publishes its write log. The image stays resident, so the hooked entries
  never point into freed memory.

  @param[in] ImageHandle  This image.
  @param[in] SystemTable  The system table.

  @retval EFI_SUCCESS  The layer is in place.
  @retval Others       The log interface could not be installed; nothing is hooked.
**/
EFI_STATUS
EFIAPI
VariablePolicySimEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  Handle;
  EFI_TPL     OldTpl;

  Handle = NULL;
  Status = gBS->InstallMultipleProtocolInterfaces (&Handle, &mControlGuid, &mControl, NULL);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  OldTpl                = gBS->RaiseTPL (TPL_HIGH_LEVEL);
  mOriginalGetVariable  = gRT->GetVariable;
  mOriginalSetVariable  = gRT->SetVariable;
  gRT->GetVariable      = PolicyGetVariable;
  gRT->SetVariable      = PolicySetVariable;
  gRT->Hdr.CRC32        = 0;
  gBS->CalculateCrc32 (gRT, gRT->Hdr.HeaderSize, &gRT->Hdr.CRC32);
  gBS->RestoreTPL (OldTpl);
  return EFI_SUCCESS;
}

} // extern "C"
