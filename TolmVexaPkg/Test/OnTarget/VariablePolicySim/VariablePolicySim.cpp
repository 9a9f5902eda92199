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

  Every SetVariable under gTolmVariableGuid is logged for the test application
  (VARIABLE_POLICY_SIM_PROTOCOL). The image stays resident and never unhooks.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Guid/ImageAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Guid/WinCertificate.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

#include "../Include/OnTargetSim.h"

namespace {

constexpr UINT32  AUTHENTICATED_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                             EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS;
constexpr UINTN   DESCRIPTOR_SIZE    = OFFSET_OF (EFI_VARIABLE_AUTHENTICATION_2, AuthInfo) +
                                       OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData);
constexpr UINTN   MAX_STORED_VARIABLES = 8;

static_assert (AUTHENTICATED_ATTRIBUTES == 0x23, "certificate variable attributes");
static_assert (DESCRIPTOR_SIZE == 40, "descriptor without certificate data");

struct StoredVariable {
  CHAR16    Name[VARIABLE_POLICY_SIM_NAME_CHARS];
  UINT8     *Data;
  UINTN     Size;
};

EFI_GET_VARIABLE           mOriginalGetVariable;
EFI_SET_VARIABLE           mOriginalSetVariable;
StoredVariable             mStore[MAX_STORED_VARIABLES];
VARIABLE_POLICY_SIM_WRITE  mLog[VARIABLE_POLICY_SIM_MAX_WRITES];
UINTN                      mLogCount;

BOOLEAN
FitsName (
  IN CONST CHAR16  *Name
  )
{
  return StrnLenS (Name, VARIABLE_POLICY_SIM_NAME_CHARS) < VARIABLE_POLICY_SIM_NAME_CHARS;
}

StoredVariable *
FindStored (
  IN CONST CHAR16  *Name
  )
{
  UINTN  Index;

  for (Index = 0; Index < MAX_STORED_VARIABLES; Index++) {
    if ((mStore[Index].Data != NULL) && (StrCmp (mStore[Index].Name, Name) == 0)) {
      return &mStore[Index];
    }
  }

  return NULL;
}

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

/**
  Applies an accepted authenticated write to the layer's store.
**/
EFI_STATUS
StoreAuthenticatedWrite (
  IN CONST CHAR16  *Name,
  IN CONST UINT8   *Value,
  IN UINTN         ValueSize
  )
{
  StoredVariable  *Variable;
  UINT8           *Copy;
  UINTN           Index;

  Variable = FindStored (Name);
  if (ValueSize == 0) {
    if (Variable == NULL) {
      return EFI_NOT_FOUND;
    }

    FreePool (Variable->Data);
    ZeroMem (Variable, sizeof (*Variable));
    return EFI_SUCCESS;
  }

  if (!FitsName (Name)) {
    return EFI_OUT_OF_RESOURCES;
  }

  Copy = (UINT8 *)AllocateCopyPool (ValueSize, Value);
  if (Copy == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  if (Variable == NULL) {
    for (Index = 0; (Index < MAX_STORED_VARIABLES) && (Variable == NULL); Index++) {
      if (mStore[Index].Data == NULL) {
        Variable = &mStore[Index];
        StrCpyS (Variable->Name, VARIABLE_POLICY_SIM_NAME_CHARS, Name);
      }
    }

    if (Variable == NULL) {
      FreePool (Copy);
      return EFI_OUT_OF_RESOURCES;
    }
  } else {
    FreePool (Variable->Data);
  }

  Variable->Data = Copy;
  Variable->Size = ValueSize;
  return EFI_SUCCESS;
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

  if ((VariableName == NULL) || (VendorGuid == NULL) || !CompareGuid (VendorGuid, &gTolmVariableGuid)) {
    return mOriginalSetVariable (VariableName, VendorGuid, Attributes, DataSize, Data);
  }

  if (Attributes != AUTHENTICATED_ATTRIBUTES) {
    Status = mOriginalSetVariable (VariableName, VendorGuid, Attributes, DataSize, Data);
  } else if (!IsUnsignedDescriptor (Data, DataSize)) {
    Status = EFI_SECURITY_VIOLATION;
  } else {
    Status = StoreAuthenticatedWrite (VariableName, (CONST UINT8 *)Data + DESCRIPTOR_SIZE, DataSize - DESCRIPTOR_SIZE);
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
  StoredVariable  *Variable;

  if ((VariableName == NULL) || (VendorGuid == NULL) || !CompareGuid (VendorGuid, &gTolmVariableGuid)) {
    return mOriginalGetVariable (VariableName, VendorGuid, Attributes, DataSize, Data);
  }

  Variable = FindStored (VariableName);
  if (Variable == NULL) {
    return mOriginalGetVariable (VariableName, VendorGuid, Attributes, DataSize, Data);
  }

  if (DataSize == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (Attributes != NULL) {
    *Attributes = AUTHENTICATED_ATTRIBUTES;
  }

  if (*DataSize < Variable->Size) {
    *DataSize = Variable->Size;
    return EFI_BUFFER_TOO_SMALL;
  }

  if (Data == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  CopyMem (Data, Variable->Data, Variable->Size);
  *DataSize = Variable->Size;
  return EFI_SUCCESS;
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
