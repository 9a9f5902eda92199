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

  Power cut (test-only; for the fault campaign). When QEMU's fw_cfg carries
  the file "opt/org.tolm/power-cut" holding "before:K" or "after:K" (K
  decimal, 1 to 999; one trailing line end is allowed), the layer counts
  the SetVariable calls on the slot variables "HttpsCertDev1" to
  "HttpsCertDev4" under gTolmVariableGuid (any attributes, refused ones too)
  from its own start, and at the K-th one cuts the power:
    before  the write never reaches the variable store;
    after   right after the variable store's SetVariable returned (or the
            layer refused the write).
  It prints one line on COM1,
    VariablePolicySim: power cut before slot write K (HttpsCertDevN)
    VariablePolicySim: power cut after slot write K (HttpsCertDevN)
  then writes 0x30 + N (before) or 0x38 + N (after), N the slot 1 to 4, to
  QEMU's isa-debug-exit device at I/O port 0xF4, so QEMU exits with status
  (value << 1) | 1: 99 to 105 before, 115 to 121 after. Without that device
  the layer stops in a dead loop, so the write never goes on. fw_cfg is read
  once, at the entry point, through its legacy I/O ports; no file, another
  value or a machine without fw_cfg leaves the layer as described above.

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
#include <Library/IoLib.h>
#include <Library/PrintLib.h>
#include <Library/SerialPortLib.h>
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

//
// QEMU's fw_cfg, legacy I/O interface: a 16-bit selector, then the selected
// item's bytes one at a time from the data port. The file directory is a
// big-endian count, then one big-endian entry per file.
//
constexpr UINT16  FW_CFG_PORT_SELECTOR   = 0x510;
constexpr UINT16  FW_CFG_PORT_DATA       = 0x511;
constexpr UINT16  FW_CFG_SIGNATURE       = 0x0000;
constexpr UINT16  FW_CFG_FILE_DIR        = 0x0019;
constexpr UINTN   FW_CFG_MAX_FILE_PATH   = 56;
constexpr UINT32  FW_CFG_MAX_FILES       = 0x1000;

#pragma pack (1)
typedef struct {
  UINT32    Size;                         ///< big-endian
  UINT16    Select;                       ///< big-endian
  UINT16    Reserved;
  CHAR8     Name[FW_CFG_MAX_FILE_PATH];
} FW_CFG_FILE;
#pragma pack ()

static_assert (sizeof (FW_CFG_FILE) == 64, "fw_cfg directory entry");

constexpr CHAR8   POWER_CUT_FILE[]       = "opt/org.tolm/power-cut";
constexpr UINTN   POWER_CUT_MAX_VALUE    = 16;
constexpr UINT32  POWER_CUT_MAX_WRITE    = 999;

///
/// QEMU's isa-debug-exit device (iobase 0xf4): QEMU exits with (value << 1) | 1.
///
constexpr UINT16  DEBUG_EXIT_PORT        = 0xF4;
constexpr UINT8   DEBUG_EXIT_BEFORE_BASE = 0x30;
constexpr UINT8   DEBUG_EXIT_AFTER_BASE  = 0x38;

constexpr UINTN   SLOT_COUNT             = 4;
constexpr wchar_t SLOT_PREFIX[]          = L"HttpsCertDev";

enum class PowerCut : UINT8 {
  None,
  Before,
  After
};

EFI_GET_VARIABLE           mOriginalGetVariable;
EFI_SET_VARIABLE           mOriginalSetVariable;
VARIABLE_POLICY_SIM_WRITE  mLog[VARIABLE_POLICY_SIM_MAX_WRITES];
UINTN                      mLogCount;
PowerCut                   mPowerCut;
UINT32                     mPowerCutWrite;
UINT32                     mSlotWrites;

VOID
FwCfgSelect (
  IN UINT16  Item
  )
{
  IoWrite16 (FW_CFG_PORT_SELECTOR, Item);
}

VOID
FwCfgRead (
  IN  UINTN  Size,
  OUT VOID   *Buffer
  )
{
  UINT8  *Bytes;
  UINTN  Index;

  Bytes = (UINT8 *)Buffer;
  for (Index = 0; Index < Size; Index++) {
    Bytes[Index] = IoRead8 (FW_CFG_PORT_DATA);
  }
}

/**
  Reads the power-cut file from fw_cfg.

  @param[out] Value  The file's bytes, NUL-terminated.

  @retval TRUE   fw_cfg is there and holds the file, no longer than the buffer.
  @retval FALSE  Otherwise.
**/
BOOLEAN
ReadPowerCutFile (
  OUT CHAR8  (&Value)[POWER_CUT_MAX_VALUE + 1]
  )
{
  CHAR8        Signature[4];
  UINT32       Files;
  UINT32       Index;
  FW_CFG_FILE  Entry;
  UINT32       Size;

  FwCfgSelect (FW_CFG_SIGNATURE);
  FwCfgRead (sizeof (Signature), Signature);
  if (CompareMem (Signature, "QEMU", sizeof (Signature)) != 0) {
    return FALSE;
  }

  FwCfgSelect (FW_CFG_FILE_DIR);
  FwCfgRead (sizeof (Files), &Files);
  Files = SwapBytes32 (Files);
  if (Files > FW_CFG_MAX_FILES) {
    return FALSE;
  }

  for (Index = 0; Index < Files; Index++) {
    FwCfgRead (sizeof (Entry), &Entry);
    Entry.Name[FW_CFG_MAX_FILE_PATH - 1] = '\0';
    if (AsciiStrCmp (Entry.Name, POWER_CUT_FILE) != 0) {
      continue;
    }

    Size = SwapBytes32 (Entry.Size);
    if (Size > POWER_CUT_MAX_VALUE) {
      return FALSE;
    }

    ZeroMem (Value, sizeof (Value));
    FwCfgSelect (SwapBytes16 (Entry.Select));
    FwCfgRead (Size, Value);
    return TRUE;
  }

  return FALSE;
}

/**
  Parses "before:K" or "after:K", K decimal 1 to 999; one trailing line end
  ("\n" or "\r\n") is allowed, and the value ends at its first NUL.

  @param[in]  Value  The file's bytes, NUL-terminated.
  @param[out] Cut    When the power goes.
  @param[out] Write  K.

  @retval TRUE   Well formed.
  @retval FALSE  Anything else; Cut and Write are untouched.
**/
BOOLEAN
ParsePowerCut (
  IN  CONST CHAR8  *Value,
  OUT PowerCut     *Cut,
  OUT UINT32       *Write
  )
{
  PowerCut     When;
  CONST CHAR8  *Digits;
  UINT32       Number;
  UINTN        Count;

  if (AsciiStrnCmp (Value, "before:", 7) == 0) {
    When   = PowerCut::Before;
    Digits = Value + 7;
  } else if (AsciiStrnCmp (Value, "after:", 6) == 0) {
    When   = PowerCut::After;
    Digits = Value + 6;
  } else {
    return FALSE;
  }

  Number = 0;
  for (Count = 0; Digits[Count] >= '0' && Digits[Count] <= '9'; Count++) {
    if (Count == 3) {
      return FALSE;
    }

    Number = Number * 10 + (UINT32)(Digits[Count] - '0');
  }

  Digits += Count;
  if (Digits[0] == '\r') {
    Digits++;
  }

  if (Digits[0] == '\n') {
    Digits++;
  }

  if ((Count == 0) || (Digits[0] != '\0') || (Number < 1) || (Number > POWER_CUT_MAX_WRITE)) {
    return FALSE;
  }

  *Cut   = When;
  *Write = Number;
  return TRUE;
}

/**
  The slot 1 to 4 a variable name under gTolmVariableGuid names, or 0.
**/
UINTN
SlotOf (
  IN CONST CHAR16  *VariableName
  )
{
  constexpr UINTN  PREFIX_CHARS = sizeof (SLOT_PREFIX) / sizeof (SLOT_PREFIX[0]) - 1;

  if ((StrnCmp (VariableName, (CONST CHAR16 *)SLOT_PREFIX, PREFIX_CHARS) != 0) ||
      (VariableName[PREFIX_CHARS] < L'1') || (VariableName[PREFIX_CHARS] > L'0' + SLOT_COUNT) ||
      (VariableName[PREFIX_CHARS + 1] != L'\0'))
  {
    return 0;
  }

  return VariableName[PREFIX_CHARS] - L'0';
}

/**
  Cuts the power at the configured slot write: one line on COM1, then QEMU's
  isa-debug-exit device; a dead loop when QEMU goes on.
**/
VOID
CutPower (
  IN UINTN  Slot
  )
{
  CHAR8  Line[96];
  UINTN  Length;

  Length = AsciiSPrint (
             Line,
             sizeof (Line),
             "VariablePolicySim: power cut %a slot write %u (HttpsCertDev%u)\r\n",
             mPowerCut == PowerCut::Before ? "before" : "after",
             mPowerCutWrite,
             (UINT32)Slot
             );
  SerialPortWrite ((UINT8 *)Line, Length);
  IoWrite8 (
    DEBUG_EXIT_PORT,
    (UINT8)((mPowerCut == PowerCut::Before ? DEBUG_EXIT_BEFORE_BASE : DEBUG_EXIT_AFTER_BASE) + Slot)
    );
  CpuDeadLoop ();
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
  UINTN       Slot;
  BOOLEAN     Cut;

  if (IsSignedTrust (VariableName, VendorGuid)) {
    return EFI_SECURITY_VIOLATION;
  }

  if ((VariableName == NULL) || (VendorGuid == NULL) || !CompareGuid (VendorGuid, &gTolmVariableGuid)) {
    return mOriginalSetVariable (VariableName, VendorGuid, Attributes, DataSize, Data);
  }

  Slot = SlotOf (VariableName);
  Cut  = FALSE;
  if ((Slot != 0) && (mPowerCut != PowerCut::None) && (mSlotWrites < mPowerCutWrite)) {
    mSlotWrites++;
    Cut = (mSlotWrites == mPowerCutWrite);
  }

  if (Cut && (mPowerCut == PowerCut::Before)) {
    CutPower (Slot);
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

  if (Cut) {
    CutPower (Slot);
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
  CHAR8       PowerCutValue[POWER_CUT_MAX_VALUE + 1];
  BOOLEAN     Found;

  //
  // fw_cfg's selector is shared with the platform's own readers: no event
  // runs between the selection and the last byte read.
  //
  OldTpl = gBS->RaiseTPL (TPL_HIGH_LEVEL);
  Found  = ReadPowerCutFile (PowerCutValue);
  gBS->RestoreTPL (OldTpl);
  if (Found) {
    ParsePowerCut (PowerCutValue, &mPowerCut, &mPowerCutWrite);
  }

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
