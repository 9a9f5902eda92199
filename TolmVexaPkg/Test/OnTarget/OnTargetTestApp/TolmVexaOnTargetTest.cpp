/** @file
  On-target test application: loads the TolmVexaHttpsBootCertMgmt driver image
  from its own FAT volume next to the stand-in platform drivers, runs the
  scenarios of one group against the real firmware, and checks the slot
  variables, the "TolmPr" flag, the variable writes and the Vexa's traffic.

  Command line (from startup.nsh, or from ontarget.cmd on the volume when
  started as the removable-media boot file without the shell):
    TolmVexaOnTargetTest.efi main|refusal|platform [nodiag] [quiet]
    TolmVexaOnTargetTest.efi bmc [platform]     (BmcGroup.cpp)
    TolmVexaOnTargetTest.efi https [platform] try=...   (HttpsBootGroup.cpp)

  - main:    decline without platform information, decline on IsSimics,
             publication, then the pending-task and sync scenarios with the
             variable-policy layer in front of OVMF's variable service.
  - refusal: both services without any KIV_PROTOCOL, then the pending-task
             scenario against OVMF's own variable policy, which refuses the
             driver's unsigned writes.
  - platform: the platform build, where the DXE dispatcher has started the
             driver and the stand-ins from the firmware volume: publication
             (the image found by its protocol). With bmc or https, that
             group against the dispatched modules, loading nothing.
  - nodiag:  the driver is built without its own debug library, so no
             EFI_DEBUG_MASK_PROTOCOL is expected on its image handle.
  - quiet:   debug level 0 in CMOS, so the driver's console stays silent
             (for measurements).

  Output: "OT: CASE <case>" as a case begins, then one "OT: PASS <case>" or
  "OT: FAIL <case>" line, with "OT:   ! <detail>" lines before a failure, "OT: PERF" lines with the time of
  each service call, marked hex lines (@HEX) of the slots, and the closing
  line "N passed, N failed". The application then shuts the machine down.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Guid/DebugMask.h>
#include <Guid/ImageAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Library/IoLib.h>
#include <Protocol/LoadedImage.h>

#include "../../../Feature/TolmVexaHttpsBootCertMgmtDxe/TolmVexaHttpsBootCertMgmtDxe.h"
#include "../Include/OnTargetSim.h"
#include "BmcGroup.h"
#include "HttpsBootGroup.h"
#include "TestSupport.h"

namespace {

using namespace OnTarget;

constexpr UINT32  FLAG_ATTRIBUTES = 0x02;

// Wire bytes of the Vexa messages, spelt out here on purpose (not taken from
// the driver's structures) so that a layout slip in the driver shows.
constexpr UINT8   PENDING_LIST_REQUEST[] = { 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00 };
constexpr UINT8   EMPTY_SYNC_MESSAGE[]   = {
  0xA1, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00,
  0x01, 0x00, 0x00, 0x00, 0x00, 0x00
};
constexpr UINT16  CMD_QUERY = 0x809D;
constexpr UINT16  CMD_SEND  = 0x009D;

constexpr const wchar_t  *DRIVER_FILE = L"TolmVexaHttpsBootCertMgmt.efi";

// ---------------------------------------------------------------------------
// Environment
// ---------------------------------------------------------------------------

struct Environment {
  EFI_HANDLE                               Volume            = NULL;
  BOOLEAN                                  Dispatched        = FALSE;  // driver and stand-ins from the firmware volume
  BOOLEAN                                  ExpectDebugMask   = FALSE;
  UINT32                                   DebugLevel        = 0;
  UINT64                                   TscPerMicrosecond = 1;
  Blob                                     Cert[SLOT_COUNT + 1];       // by slot number; 0 unused
  VEXA_SIM_CONTROL_PROTOCOL                *Vexa         = NULL;
  VARIABLE_POLICY_SIM_PROTOCOL             *Policy       = NULL;       // NULL without the layer
  PLATFORM_INFO_SIM_PROTOCOL               *PlatformInfo = NULL;
  EFI_HANDLE                               DriverImage   = NULL;
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service      = NULL;
};

EFI_GUID  mVexaControlGuid   = VEXA_SIM_CONTROL_PROTOCOL_GUID;
EFI_GUID  mPolicyControlGuid = VARIABLE_POLICY_SIM_PROTOCOL_GUID;

/**
  Ticks of the time-stamp counter per microsecond, measured against the
  firmware's Stall.
**/
UINT64
CalibrateTsc (
  VOID
  )
{
  UINT64  Start;
  UINT64  Ticks;

  Start = AsmReadTsc ();
  gBS->Stall (20000);
  Ticks = AsmReadTsc () - Start;
  return MAX (Ticks / 20000, (UINT64)1);
}

/**
  The handle of the loaded image whose code holds Address, or NULL.
**/
EFI_HANDLE
ImageHolding (
  IN UINTN  Address
  )
{
  EFI_HANDLE                 *Handles;
  UINTN                      Count;
  UINTN                      Index;
  EFI_LOADED_IMAGE_PROTOCOL  *Loaded;
  EFI_HANDLE                 Found;

  Handles = NULL;
  Count   = 0;
  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiLoadedImageProtocolGuid, NULL, &Count, &Handles))) {
    return NULL;
  }

  PoolBuffer<EFI_HANDLE>  HandlesGuard (Handles);
  Found = NULL;
  for (Index = 0; Index < Count; Index++) {
    if (!EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiLoadedImageProtocolGuid, (VOID **)&Loaded)) &&
        (Address >= (UINTN)Loaded->ImageBase) && (Address - (UINTN)Loaded->ImageBase < Loaded->ImageSize))
    {
      Found = Handles[Index];
    }
  }

  return Found;
}

UINTN
CountHandles (
  IN EFI_GUID  *Protocol
  )
{
  EFI_HANDLE  *Handles;
  UINTN       Count;

  Handles = NULL;
  Count   = 0;
  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, Protocol, NULL, &Count, &Handles))) {
    return 0;
  }

  FreePool (Handles);
  return Count;
}

// ---------------------------------------------------------------------------
// Slots and expected bytes
// ---------------------------------------------------------------------------

/**
  Expects slot Slot to hold exactly Cert (or to be absent when Cert is NULL).
**/
VOID
ExpectSlot (
  IN OUT TestCase    &Case,
  IN     UINT8       Slot,
  IN     CONST Blob  *Cert OPTIONAL
  )
{
  EFI_STATUS         Status;
  Blob               Value;
  UINT32             Attributes;
  PoolBuffer<UINT8>  Expected;

  Attributes = 0;
  Status     = ReadVariable (Wide (SLOT_NAMES[Slot - 1]), &gTolmVariableGuid, Value, &Attributes);
  if (Cert == NULL) {
    Expect (Case, Status == EFI_NOT_FOUND, "slot %d: expected absent, GetVariable gave %r (%u bytes)", Slot, Status, (UINT32)Value.Size);
    return;
  }

  if (!Expect (Case, Status == EFI_SUCCESS, "slot %d: GetVariable gave %r", Slot, Status)) {
    return;
  }

  Expected.Reset (SlotValue (*Cert));
  Expect (Case, Attributes == SLOT_ATTRIBUTES, "slot %d: attributes 0x%x", Slot, Attributes);
  if (Expect (Case, Value.Size == LIST_PREFIX + Cert->Size, "slot %d: %u bytes, expected %u", Slot, (UINT32)Value.Size, (UINT32)(LIST_PREFIX + Cert->Size))) {
    Expect (
      Case,
      (Expected.Get () != NULL) && (CompareMem (Value.Data.Get (), Expected.Get (), Value.Size) == 0),
      "slot %d: value is not the signature list of the certificate",
      Slot
      );
  }
}

/**
  The sync message for the given slots, in slot order: 8-byte header, then a
  6-byte record header and the DER bytes of each.
**/
UINT8 *
ExpectedSyncMessage (
  IN  CONST Environment  &Env,
  IN  CONST UINT8        *Slots,
  IN  UINTN              SlotCount,
  OUT UINTN              *Size
  )
{
  UINTN  Total;
  UINTN  Index;
  UINT8  *Message;
  UINT8  *Cursor;

  Total = 0;
  for (Index = 0; Index < SlotCount; Index++) {
    Total += 6 + Env.Cert[Slots[Index]].Size;
  }

  Message = (UINT8 *)AllocateZeroPool (8 + Total);
  if (Message == NULL) {
    return NULL;
  }

  Message[0] = 0xA1;
  WriteUnaligned32 ((UINT32 *)(Message + 2), (UINT32)Total);
  WriteUnaligned16 ((UINT16 *)(Message + 6), (UINT16)SlotCount);
  Cursor = Message + 8;
  for (Index = 0; Index < SlotCount; Index++) {
    WriteUnaligned16 ((UINT16 *)Cursor, Slots[Index]);
    WriteUnaligned32 ((UINT32 *)(Cursor + 2), (UINT32)Env.Cert[Slots[Index]].Size);
    CopyMem (Cursor + 6, Env.Cert[Slots[Index]].Data.Get (), Env.Cert[Slots[Index]].Size);
    Cursor += 6 + Env.Cert[Slots[Index]].Size;
  }

  *Size = 8 + Total;
  return Message;
}

// ---------------------------------------------------------------------------
// Vexa traffic and variable writes
// ---------------------------------------------------------------------------

struct ExpectedRequest {
  UINT16         Command;
  CONST UINT8    *Data;
  UINTN          Size;
};

VOID
ExpectTraffic (
  IN OUT TestCase               &Case,
  IN     CONST Environment      &Env,
  IN     CONST ExpectedRequest  *Requests,
  IN     UINTN                  Count
  )
{
  UINTN             Index;
  VEXA_SIM_REQUEST  Got;

  Expect (
    Case,
    Env.Vexa->GetRequestCount (Env.Vexa) == Count,
    "the Vexa got %u requests, expected %u",
    (UINT32)Env.Vexa->GetRequestCount (Env.Vexa),
    (UINT32)Count
    );
  for (Index = 0; Index < Count; Index++) {
    if (!Expect (Case, !EFI_ERROR (Env.Vexa->GetRequest (Env.Vexa, Index, &Got)), "request %u missing", (UINT32)(Index + 1))) {
      continue;
    }

    Expect (
      Case,
      Got.Command == Requests[Index].Command && Got.Size == Requests[Index].Size &&
      (Got.Size == 0 || CompareMem (Got.Data, Requests[Index].Data, Got.Size) == 0),
      "request %u: command 0x%04x, %u bytes, first 0x%02x; expected 0x%04x, %u bytes",
      (UINT32)(Index + 1),
      Got.Command,
      Got.Size,
      (Got.Size != 0) ? Got.Data[0] : 0,
      Requests[Index].Command,
      (UINT32)Requests[Index].Size
      );
  }
}

struct ExpectedWrite {
  const wchar_t    *Name;
  UINT32           Attributes;
  UINTN            DataSize;
  EFI_STATUS       Status;
};

/**
  Expects the variable-policy layer's log to hold exactly these writes.
**/
VOID
ExpectWrites (
  IN OUT TestCase             &Case,
  IN     CONST Environment    &Env,
  IN     CONST ExpectedWrite  *Writes,
  IN     UINTN                Count
  )
{
  UINTN                      Index;
  VARIABLE_POLICY_SIM_WRITE  Got;

  Expect (
    Case,
    Env.Policy->GetWriteCount (Env.Policy) == Count,
    "%u variable writes, expected %u",
    (UINT32)Env.Policy->GetWriteCount (Env.Policy),
    (UINT32)Count
    );
  for (Index = 0; Index < Count; Index++) {
    if (!Expect (Case, !EFI_ERROR (Env.Policy->GetWrite (Env.Policy, Index, &Got)), "write %u missing", (UINT32)(Index + 1))) {
      continue;
    }

    Expect (
      Case,
      StrCmp (Got.Name, Wide (Writes[Index].Name)) == 0 && Got.Attributes == Writes[Index].Attributes &&
      Got.DataSize == Writes[Index].DataSize && Got.Status == Writes[Index].Status &&
      (Got.DataSize != 1 || Got.FirstByte == 0x01),
      "write %u: %s 0x%x %u bytes (%r); expected %s 0x%x %u bytes (%r)",
      (UINT32)(Index + 1),
      Got.Name,
      Got.Attributes,
      (UINT32)Got.DataSize,
      Got.Status,
      Wide (Writes[Index].Name),
      Writes[Index].Attributes,
      (UINT32)Writes[Index].DataSize,
      Writes[Index].Status
      );
  }
}

// ---------------------------------------------------------------------------
// Timed service calls
// ---------------------------------------------------------------------------

/**
  Prints the time of one service call: in all, in the transport (the
  simulated Vexa, its console output included) and in the driver itself.
  The Vexa's transport time is cleared by ArmVexa before each timed call.
**/
VOID
ReportTime (
  IN CONST CHAR8        *Service,
  IN CONST CHAR8        *Label,
  IN CONST Environment  &Env,
  IN UINT64             Ticks
  )
{
  UINT64  Transport;

  Transport = (Env.Vexa != NULL) ? MIN (Env.Vexa->GetTransportTicks (Env.Vexa), Ticks) : 0;
  AsciiPrint (
    "OT: PERF %a %a us=%lu transport_us=%lu driver_us=%lu\r\n",
    Service,
    Label,
    Ticks / Env.TscPerMicrosecond,
    Transport / Env.TscPerMicrosecond,
    (Ticks - Transport) / Env.TscPerMicrosecond
    );
}

BOOLEAN
TimedHandlePendingTasks (
  IN CONST Environment  &Env,
  IN CONST CHAR8        *Label
  )
{
  UINT64   Start;
  UINT64   Ticks;
  BOOLEAN  Result;

  Start  = AsmReadTsc ();
  Result = Env.Service->HandlePendingTasks ();
  Ticks  = AsmReadTsc () - Start;
  ReportTime ("HandlePendingTasks", Label, Env, Ticks);
  return Result;
}

EFI_STATUS
TimedSync (
  IN CONST Environment  &Env,
  IN CONST CHAR8        *Label
  )
{
  UINT64      Start;
  UINT64      Ticks;
  EFI_STATUS  Status;

  Start  = AsmReadTsc ();
  Status = Env.Service->SyncHttpsCertToVEXA ();
  Ticks  = AsmReadTsc () - Start;
  ReportTime ("SyncHttpsCertToVEXA", Label, Env, Ticks);
  return Status;
}

/**
  Sets the Vexa's pending list and certificates and forgets earlier traffic
  and variable writes.
**/
VOID
ArmVexa (
  IN CONST Environment  &Env,
  IN CONST UINT8        *List,
  IN UINT32             ListSize,
  IN UINT16             CompletionCode
  )
{
  UINT8  Slot;

  Env.Vexa->SetPendingList (Env.Vexa, List, ListSize, CompletionCode);
  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    Env.Vexa->SetCertificate (Env.Vexa, Slot, Env.Cert[Slot].Data.Get (), (UINT32)Env.Cert[Slot].Size);
  }

  Env.Vexa->ClearTraffic (Env.Vexa);
  if (Env.Policy != NULL) {
    Env.Policy->ClearLog (Env.Policy);
  }
}

VOID
PutRecord (
  OUT UINT8   *Record,
  IN  UINT8   TaskType,
  IN  UINT8   CertNum,
  IN  UINT8   Operation,
  IN  UINT16  CertSize
  )
{
  Record[0] = TaskType;
  Record[1] = CertNum;
  Record[2] = Operation;
  Record[3] = (UINT8)CertSize;
  Record[4] = (UINT8)(CertSize >> 8);
  Record[5] = 0;
}

VOID
ImportRequest (
  OUT UINT8  Request[8],
  IN  UINT8  CertNum
  )
{
  ZeroMem (Request, 8);
  Request[0] = 0xA2;
  Request[2] = 0x02;
  Request[6] = CertNum;
}

// ---------------------------------------------------------------------------
// Scenarios
// ---------------------------------------------------------------------------

/**
  Starts the driver on a platform where it must decline: the image returns
  EFI_UNSUPPORTED and nothing of it stays in the handle database.
**/
VOID
ScenarioDecline (
  IN CONST Environment  &Env,
  IN CONST CHAR8        *Name
  )
{
  TestCase    Case (Name);
  EFI_STATUS  Status;
  EFI_HANDLE  Image;
  UINTN       MasksBefore;

  MasksBefore = CountHandles (&gEfiDebugMaskProtocolGuid);
  Env.Vexa->ClearTraffic (Env.Vexa);
  Status = StartVolumeImage (Env.Volume, Wide (DRIVER_FILE), &Image);
  EFI_LOADED_IMAGE_PROTOCOL  *Loaded;

  Expect (Case, Status == EFI_UNSUPPORTED, "the image returned %r", Status);
  Expect (
    Case,
    (Image == NULL) || EFI_ERROR (gBS->HandleProtocol (Image, &gEfiLoadedImageProtocolGuid, (VOID **)&Loaded)),
    "the declined image is still loaded"
    );
  Expect (Case, CountHandles (&gTolmVexaHttpsBootCertMgmtProtocolGuid) == 0, "the protocol is in the handle database");
  Expect (
    Case,
    CountHandles (&gEfiDebugMaskProtocolGuid) == MasksBefore,
    "debug-mask instances %u, before %u",
    (UINT32)CountHandles (&gEfiDebugMaskProtocolGuid),
    (UINT32)MasksBefore
    );
  Expect (Case, Env.Vexa->GetRequestCount (Env.Vexa) == 0, "the declining driver talked to the Vexa");
}

/**
  Starts the driver on real hardware: the protocol is published on a handle of
  its own, its members lie in the driver's image, and the debug-mask protocol
  sits on the image handle.

  @retval TRUE  The services can be called.
**/
BOOLEAN
ScenarioPublication (
  IN OUT Environment  &Env
  )
{
  TestCase                   Case ("publication: protocol on its own handle, debug mask on the image");
  EFI_STATUS                 Status;
  EFI_HANDLE                 *Handles;
  UINTN                      Count;
  EFI_GUID                   **Protocols;
  UINTN                      ProtocolCount;
  EFI_LOADED_IMAGE_PROTOCOL  *Loaded;
  EFI_DEBUG_MASK_PROTOCOL    *Mask;
  UINTN                      Level;
  UINTN                      Base;
  UINTN                      End;

  Env.Service = NULL;
  if (!Env.Dispatched) {
    Status = StartVolumeImage (Env.Volume, Wide (DRIVER_FILE), &Env.DriverImage);
    if (!Expect (Case, Status == EFI_SUCCESS, "the image returned %r", Status)) {
      return FALSE;
    }
  }

  Handles = NULL;
  Count   = 0;
  gBS->LocateHandleBuffer (ByProtocol, &gTolmVexaHttpsBootCertMgmtProtocolGuid, NULL, &Count, &Handles);
  PoolBuffer<EFI_HANDLE>  HandlesGuard (Handles);
  if (!Expect (Case, Count == 1, "%u handles carry the protocol", (UINT32)Count)) {
    return FALSE;
  }

  if (Env.Dispatched) {
    gBS->HandleProtocol (Handles[0], &gTolmVexaHttpsBootCertMgmtProtocolGuid, (VOID **)&Env.Service);
    Env.DriverImage = (Env.Service != NULL) ? ImageHolding ((UINTN)Env.Service->HandlePendingTasks) : NULL;
    if (!Expect (Case, Env.DriverImage != NULL, "no loaded image holds the dispatched driver's services")) {
      return FALSE;
    }
  }

  Expect (Case, Handles[0] != Env.DriverImage, "the protocol is on the image handle");
  Protocols     = NULL;
  ProtocolCount = 0;
  if (!EFI_ERROR (gBS->ProtocolsPerHandle (Handles[0], &Protocols, &ProtocolCount))) {
    FreePool (Protocols);
  }

  Expect (Case, ProtocolCount == 1, "the protocol's handle carries %u protocols", (UINT32)ProtocolCount);

  gBS->HandleProtocol (Handles[0], &gTolmVexaHttpsBootCertMgmtProtocolGuid, (VOID **)&Env.Service);
  Status = gBS->HandleProtocol (Env.DriverImage, &gEfiLoadedImageProtocolGuid, (VOID **)&Loaded);
  if (Expect (Case, !EFI_ERROR (Status) && Env.Service != NULL, "no loaded image or interface (%r)", Status)) {
    Base = (UINTN)Loaded->ImageBase;
    End  = Base + (UINTN)Loaded->ImageSize;
    Expect (
      Case,
      (UINTN)Env.Service->HandlePendingTasks >= Base && (UINTN)Env.Service->HandlePendingTasks < End &&
      (UINTN)Env.Service->SyncHttpsCertToVEXA >= Base && (UINTN)Env.Service->SyncHttpsCertToVEXA < End &&
      (UINTN)Env.Service->HandlePendingTasks != (UINTN)Env.Service->SyncHttpsCertToVEXA,
      "the members do not point at two functions of the driver image"
      );
    if (Env.Dispatched) {
      Expect (
        Case,
        (Loaded->FilePath != NULL) && (DevicePathType (Loaded->FilePath) == MEDIA_DEVICE_PATH) &&
        (DevicePathSubType (Loaded->FilePath) == MEDIA_PIWG_FW_FILE_DP),
        "the driver image was not started from a firmware volume"
        );
    }
  }

  if (Env.ExpectDebugMask) {
    Mask   = NULL;
    Status = gBS->HandleProtocol (Env.DriverImage, &gEfiDebugMaskProtocolGuid, (VOID **)&Mask);
    if (Expect (Case, !EFI_ERROR (Status), "no debug-mask protocol on the image handle (%r)", Status)) {
      Expect (Case, Mask->Revision == EFI_DEBUG_MASK_REVISION, "debug-mask revision 0x%lx", (UINT64)Mask->Revision);
      Level  = 0;
      Status = Mask->GetDebugMask (Mask, &Level);
      Expect (
        Case,
        Status == EFI_SUCCESS && Level == Env.DebugLevel,
        "debug mask %r 0x%lx, expected the CMOS level 0x%x",
        Status,
        (UINT64)Level,
        Env.DebugLevel
        );
    }
  } else {
    AsciiPrint ("OT: NOTE debug-mask check skipped (driver built without its own debug library)\r\n");
  }

  return Env.Service != NULL && !Case.Failed ();
}

/**
  The variable-policy layer itself: it must store the accepted unsigned
  writes and refuse malformed ones, or the scenarios prove nothing. Leaves
  slot 2 holding certificate 2.
**/
VOID
ScenarioPolicyLayer (
  IN CONST Environment  &Env
  )
{
  TestCase           Case ("stand-in variable policy stores unsigned writes, refuses malformed ones");
  EFI_STATUS         Status;
  PoolBuffer<UINT8>  Value;
  EFI_GUID           Stranger = VEXA_SIM_CONTROL_PROTOCOL_GUID;

  Value.Reset (SlotValue (Env.Cert[2]));
  if (!Expect (Case, Value.Get () != NULL, "no memory")) {
    return;
  }

  Status = WriteUnsignedSlot (Wide (SLOT_NAMES[1]), &gTolmVariableGuid, Value.Get (), LIST_PREFIX + Env.Cert[2].Size, 24);
  Expect (Case, Status == EFI_SUCCESS, "well-formed write of slot 2: %r", Status);
  Status = WriteUnsignedSlot (Wide (SLOT_NAMES[1]), &gTolmVariableGuid, Value.Get (), 10, 25);
  Expect (Case, Status == EFI_SECURITY_VIOLATION, "write with dwLength 25: %r", Status);
  Status = WriteUnsignedSlot (Wide (SLOT_NAMES[3]), &gTolmVariableGuid, NULL, 0, 24);
  Expect (Case, Status == EFI_NOT_FOUND, "delete of absent slot 4: %r", Status);
  Status = WriteUnsignedSlot (Wide (SLOT_NAMES[1]), &Stranger, Value.Get (), 10, 24);
  Expect (Case, Status != EFI_SUCCESS, "unsigned write under another vendor GUID was accepted");
  ExpectSlot (Case, 2, &Env.Cert[2]);
  ExpectSlot (Case, 4, NULL);
}

/**
  The default scenario: imports into slots 1 and 3, a delete of slot 2 (which
  holds a certificate), one invalid record (slot 5), applied in list order
  with the update flag raised around each store write.
**/
VOID
ScenarioDefaultPending (
  IN CONST Environment  &Env
  )
{
  TestCase  Case ("pending tasks: import 1, delete 2, invalid record, import 3");
  UINT8     List[4 * 6];
  UINT8     Import1[8];
  UINT8     Import3[8];
  BOOLEAN   Result;

  PutRecord (List, 9, 1, 0xAA, (UINT16)Env.Cert[1].Size);
  PutRecord (List + 6, 9, 2, 0xAB, 0);
  PutRecord (List + 12, 9, 5, 0xAA, 0x10);
  PutRecord (List + 18, 9, 3, 0xAA, (UINT16)Env.Cert[3].Size);
  ArmVexa (Env, List, sizeof (List), VEXA_SIM_CC_OK);
  OnTarget::HexDump ("default.pending", List, sizeof (List));

  Result = TimedHandlePendingTasks (Env, "default");
  AsciiPrint ("OT: RESULT HandlePendingTasks default %a\r\n", Result ? "TRUE" : "FALSE");
  Expect (Case, Result == TRUE, "HandlePendingTasks returned FALSE");

  ExpectSlot (Case, 1, &Env.Cert[1]);
  ExpectSlot (Case, 2, NULL);
  ExpectSlot (Case, 3, &Env.Cert[3]);
  ExpectSlot (Case, 4, NULL);
  ExpectFlagLowered (Case);

  ImportRequest (Import1, 1);
  ImportRequest (Import3, 3);
  CONST ExpectedRequest  Traffic[] = {
    { CMD_QUERY, PENDING_LIST_REQUEST, sizeof (PENDING_LIST_REQUEST) },
    { CMD_QUERY, Import1,              sizeof (Import1)              },
    { CMD_QUERY, Import3,              sizeof (Import3)              },
  };
  ExpectTraffic (Case, Env, Traffic, ARRAY_SIZE (Traffic));

  CONST ExpectedWrite  Writes[] = {
    { FLAG_NAME,     FLAG_ATTRIBUTES, 1,                                          EFI_SUCCESS },
    { SLOT_NAMES[0], SLOT_ATTRIBUTES, DESCRIPTOR_SIZE + LIST_PREFIX + Env.Cert[1].Size, EFI_SUCCESS },
    { FLAG_NAME,     FLAG_ATTRIBUTES, 0,                                          EFI_SUCCESS },
    { FLAG_NAME,     FLAG_ATTRIBUTES, 1,                                          EFI_SUCCESS },
    { SLOT_NAMES[1], SLOT_ATTRIBUTES, DESCRIPTOR_SIZE,                            EFI_SUCCESS },
    { FLAG_NAME,     FLAG_ATTRIBUTES, 0,                                          EFI_SUCCESS },
    { FLAG_NAME,     FLAG_ATTRIBUTES, 1,                                          EFI_SUCCESS },
    { SLOT_NAMES[2], SLOT_ATTRIBUTES, DESCRIPTOR_SIZE + LIST_PREFIX + Env.Cert[3].Size, EFI_SUCCESS },
    { FLAG_NAME,     FLAG_ATTRIBUTES, 0,                                          EFI_SUCCESS },
  };
  ExpectWrites (Case, Env, Writes, ARRAY_SIZE (Writes));
}

/**
  A sync sends exactly the expected message for the given slots.
**/
VOID
ScenarioSync (
  IN CONST Environment  &Env,
  IN CONST CHAR8        *Name,
  IN CONST CHAR8        *Label,
  IN CONST UINT8        *Slots,
  IN UINTN              SlotCount
  )
{
  TestCase           Case (Name);
  EFI_STATUS         Status;
  UINTN              Size;
  PoolBuffer<UINT8>  Message;

  if (SlotCount == 0) {
    Message.Reset ((UINT8 *)AllocateCopyPool (sizeof (EMPTY_SYNC_MESSAGE), EMPTY_SYNC_MESSAGE));
    Size = sizeof (EMPTY_SYNC_MESSAGE);
  } else {
    Message.Reset (ExpectedSyncMessage (Env, Slots, SlotCount, &Size));
  }

  ArmVexa (Env, NULL, 0, VEXA_SIM_CC_OK);
  Status = TimedSync (Env, Label);
  Expect (Case, Status == EFI_SUCCESS, "SyncHttpsCertToVEXA returned %r", Status);

  CONST ExpectedRequest  Traffic[] = {
    { CMD_SEND, Message.Get (), Size },
  };
  ExpectTraffic (Case, Env, Traffic, ARRAY_SIZE (Traffic));
  if (Env.Policy != NULL) {
    ExpectWrites (Case, Env, NULL, 0);
  }
}

/**
  Pending-list exchanges that yield no work: an empty list, and a list the
  Vexa answers with a failure completion code. Both give FALSE and leave the
  store alone.
**/
VOID
ScenarioNothingPending (
  IN CONST Environment  &Env
  )
{
  TestCase  Case ("pending tasks: empty list and refused list change nothing");
  UINT8     List[6];

  ArmVexa (Env, NULL, 0, VEXA_SIM_CC_OK);
  Expect (Case, TimedHandlePendingTasks (Env, "empty") == FALSE, "empty list: TRUE");

  PutRecord (List, 9, 1, 0xAB, 0);
  ArmVexa (Env, List, sizeof (List), VEXA_SIM_CC_INVALID_COMMAND);
  Expect (Case, TimedHandlePendingTasks (Env, "refused") == FALSE, "list with completion code 0xC1: TRUE");

  CONST ExpectedRequest  Traffic[] = {
    { CMD_QUERY, PENDING_LIST_REQUEST, sizeof (PENDING_LIST_REQUEST) },
  };
  ExpectTraffic (Case, Env, Traffic, ARRAY_SIZE (Traffic));
  ExpectWrites (Case, Env, NULL, 0);
  ExpectSlot (Case, 1, &Env.Cert[1]);
  ExpectSlot (Case, 3, &Env.Cert[3]);
}

/**
  Deletes of slots 1 and 3 empty the store.
**/
VOID
ScenarioDeleteAll (
  IN CONST Environment  &Env
  )
{
  TestCase  Case ("pending tasks: delete 1 and 3 empties the store");
  UINT8     List[2 * 6];
  UINT8     Slot;

  PutRecord (List, 9, 1, 0xAB, 0);
  PutRecord (List + 6, 9, 3, 0xAB, 0);
  ArmVexa (Env, List, sizeof (List), VEXA_SIM_CC_OK);
  Expect (Case, TimedHandlePendingTasks (Env, "delete-all") == TRUE, "HandlePendingTasks returned FALSE");
  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    ExpectSlot (Case, Slot, NULL);
  }

  ExpectFlagLowered (Case);
}

/**
  Against OVMF's own variable policy: the unsigned writes are refused, the
  slots stay as they were and the flag ends lowered.
**/
VOID
ScenarioRefusal (
  IN CONST Environment  &Env
  )
{
  TestCase    Case ("refusal: OVMF's variable policy refuses, slots unchanged, flag lowered");
  UINT8       List[3 * 6];
  UINT8       Import1[8];
  UINT8       Import3[8];
  UINT8       Slot;
  EFI_STATUS  Status;

  //
  // First make sure this is the policy under test: OVMF itself refuses the
  // unsigned write the driver makes. The status is the firmware's own
  // (Security Violation in OVMF 2022.11, Invalid Parameter in 2025.02); the
  // host checks that the driver reports exactly this one.
  //
  Status = WriteUnsignedSlot (Wide (SLOT_NAMES[3]), &gTolmVariableGuid, Env.Cert[1].Data.Get (), Env.Cert[1].Size, 24);
  Expect (
    Case,
    Status == EFI_SECURITY_VIOLATION || Status == EFI_INVALID_PARAMETER,
    "OVMF answered an unsigned write with %r",
    Status
    );
  AsciiPrint ("OT: REFUSAL %r\r\n", Status);
  ExpectSlot (Case, 4, NULL);

  PutRecord (List, 9, 1, 0xAA, (UINT16)Env.Cert[1].Size);
  PutRecord (List + 6, 9, 2, 0xAB, 0);
  PutRecord (List + 12, 9, 3, 0xAA, (UINT16)Env.Cert[3].Size);
  ArmVexa (Env, List, sizeof (List), VEXA_SIM_CC_OK);
  Expect (Case, TimedHandlePendingTasks (Env, "refusal") == TRUE, "HandlePendingTasks returned FALSE");
  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    ExpectSlot (Case, Slot, NULL);
  }

  ExpectFlagLowered (Case);
  ImportRequest (Import1, 1);
  ImportRequest (Import3, 3);
  CONST ExpectedRequest  Traffic[] = {
    { CMD_QUERY, PENDING_LIST_REQUEST, sizeof (PENDING_LIST_REQUEST) },
    { CMD_QUERY, Import1,              sizeof (Import1)              },
    { CMD_QUERY, Import3,              sizeof (Import3)              },
  };
  ExpectTraffic (Case, Env, Traffic, ARRAY_SIZE (Traffic));
}

/**
  Without KIV_PROTOCOL in the system: the pending-list exchange fails, so
  nothing is pending, and the sync fails with the transport's EFI_NOT_FOUND.
**/
VOID
ScenarioNoTransport (
  IN CONST Environment  &Env
  )
{
  TestCase    Case ("no transport: nothing pending, sync fails with Not Found");
  EFI_STATUS  Status;
  UINT8       Slot;

  Expect (Case, TimedHandlePendingTasks (Env, "no-transport") == FALSE, "HandlePendingTasks returned TRUE");
  Status = TimedSync (Env, "no-transport");
  Expect (Case, Status == EFI_NOT_FOUND, "SyncHttpsCertToVEXA returned %r", Status);
  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    ExpectSlot (Case, Slot, NULL);
  }

  ExpectFlagLowered (Case);
}

// ---------------------------------------------------------------------------
// Set-up
// ---------------------------------------------------------------------------

BOOLEAN
LoadVexa (
  IN OUT TestCase     &Case,
  IN OUT Environment  &Env,
  IN     BOOLEAN      WithPolicyLayer
  );

/**
  Loads the scenario certificates and, if asked, the simulated Vexa and the
  variable-policy layer.
**/
BOOLEAN
SetUp (
  IN OUT TestCase     &Case,
  IN OUT Environment  &Env,
  IN     BOOLEAN      WithVexa,
  IN     BOOLEAN      WithPolicyLayer
  )
{
  EFI_STATUS  Status;
  UINT8       Slot;
  CHAR16      Name[16];

  for (Slot = 1; Slot <= 3; Slot++) {
    UnicodeSPrint (Name, sizeof (Name), Wide (L"cert%d.der"), Slot);
    Status = ReadVolumeFile (Env.Volume, Name, Env.Cert[Slot]);
    if (!Expect (Case, !EFI_ERROR (Status) && Env.Cert[Slot].Size != 0 && Env.Cert[Slot].Size <= MAX_UINT16, "%s: %r", Name, Status)) {
      return FALSE;
    }

    AsciiPrint ("OT: CERT %d %u bytes\r\n", Slot, (UINT32)Env.Cert[Slot].Size);
  }

  return !WithVexa || LoadVexa (Case, Env, WithPolicyLayer);
}

/**
  Loads the simulated Vexa (KIV_PROTOCOL) and, if asked, the variable-policy
  layer.
**/
BOOLEAN
LoadVexa (
  IN OUT TestCase     &Case,
  IN OUT Environment  &Env,
  IN     BOOLEAN      WithPolicyLayer
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  Image;

  Status = StartVolumeImage (Env.Volume, Wide (L"VexaKivSim.efi"), &Image);
  if (!Expect (Case, !EFI_ERROR (Status), "VexaKivSim.efi: %r", Status)) {
    return FALSE;
  }

  Status = gBS->LocateProtocol (&mVexaControlGuid, NULL, (VOID **)&Env.Vexa);
  if (!Expect (Case, !EFI_ERROR (Status), "Vexa control: %r", Status)) {
    return FALSE;
  }

  Env.Policy = NULL;
  if (WithPolicyLayer) {
    Status = StartVolumeImage (Env.Volume, Wide (L"VariablePolicySim.efi"), &Image);
    if (!Expect (Case, !EFI_ERROR (Status), "VariablePolicySim.efi: %r", Status)) {
      return FALSE;
    }

    Status = gBS->LocateProtocol (&mPolicyControlGuid, NULL, (VOID **)&Env.Policy);
    if (!Expect (Case, !EFI_ERROR (Status), "policy log: %r", Status)) {
      return FALSE;
    }
  }

  return TRUE;
}

BOOLEAN
LoadPlatformInfo (
  IN OUT TestCase     &Case,
  IN OUT Environment  &Env,
  IN     UINT8        IsSimics
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  Image;

  Status = StartVolumeImage (Env.Volume, Wide (L"PlatformInfoSim.efi"), &Image);
  if (!Expect (Case, !EFI_ERROR (Status), "PlatformInfoSim.efi: %r", Status)) {
    return FALSE;
  }

  Status = gBS->LocateProtocol (&gPlatformInfoProtocolGuid, NULL, (VOID **)&Env.PlatformInfo);
  if (!Expect (Case, !EFI_ERROR (Status), "platform information: %r", Status)) {
    return FALSE;
  }

  Env.PlatformInfo->SetIsSimics (IsSimics);
  return TRUE;
}

VOID
RunMainGroup (
  IN OUT Environment  &Env
  )
{
  constexpr UINT8  SYNC_SLOTS[] = { 1, 3 };

  {
    TestCase  Case ("set-up: stand-ins and certificates");
    if (!SetUp (Case, Env, TRUE, TRUE)) {
      return;
    }
  }

  ScenarioDecline (Env, "decline: no platform information");
  {
    TestCase  Case ("set-up: platform information with IsSimics 1");
    if (!LoadPlatformInfo (Case, Env, 1)) {
      return;
    }
  }

  ScenarioDecline (Env, "decline: IsSimics");
  Env.PlatformInfo->SetIsSimics (0);
  if (!ScenarioPublication (Env)) {
    return;
  }

  ScenarioPolicyLayer (Env);
  ScenarioDefaultPending (Env);
  DumpSlots ("default");
  ScenarioSync (Env, "sync: slots 1 and 3 in one message", "default", SYNC_SLOTS, ARRAY_SIZE (SYNC_SLOTS));
  ScenarioNothingPending (Env);
  ScenarioDeleteAll (Env);
  ScenarioSync (Env, "sync: empty store sends one empty record", "empty", NULL, 0);
}

VOID
RunRefusalGroup (
  IN OUT Environment  &Env
  )
{
  {
    TestCase  Case ("set-up: certificates and platform information, no transport yet");
    if (!SetUp (Case, Env, FALSE, FALSE) || !LoadPlatformInfo (Case, Env, 0)) {
      return;
    }
  }

  if (!ScenarioPublication (Env)) {
    return;
  }

  ScenarioNoTransport (Env);
  {
    TestCase  Case ("set-up: simulated Vexa (no policy layer)");
    if (!LoadVexa (Case, Env, FALSE)) {
      return;
    }
  }

  ScenarioRefusal (Env);
  DumpSlots ("refusal");
  ScenarioSync (Env, "sync after refusal: one empty record", "refusal", NULL, 0);
}

/**
  The platform build: the dispatcher has started the driver and the
  stand-ins from the firmware volume. Its transport is the BMC's (KivIpmiBlobDxe over IpmiKcsDxe),
  so the services are the BMC group's to run.

  @retval TRUE  The dispatched driver is published as it must be.
**/
BOOLEAN
RunPlatformGroup (
  IN OUT Environment  &Env
  )
{
  return ScenarioPublication (Env);
}

} // namespace

extern "C" {

/**
  Runs the scenario group named on the command line, prints the closing
  "N passed, N failed" line and shuts the machine down: the stand-ins it
  loaded stay in memory, and the run is over.

  @param[in] ImageHandle  This application.
  @param[in] SystemTable  The system table.

  @return Does not return unless the shutdown fails.
**/
EFI_STATUS
EFIAPI
OnTargetTestMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS                 Status;
  EFI_LOADED_IMAGE_PROTOCOL  *Self;
  CONST CHAR16               *Options;
  CHAR16                     *CommandFile;
  Environment                Env;

  Options = Wide (L"");
  Status  = gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&Self);
  if (EFI_ERROR (Status)) {
    AsciiPrint ("OT: FAIL no loaded image (%r)\r\n0 passed, 1 failed\r\n", Status);
    return Status;
  }

  if ((Self->LoadOptions != NULL) && (Self->LoadOptionsSize >= sizeof (CHAR16))) {
    Options = (CONST CHAR16 *)Self->LoadOptions;
  } else if ((CommandFile = OnTarget::ReadCommandFile (Self->DeviceHandle)) != NULL) {
    Options = CommandFile;
  }

  Env.Volume          = Self->DeviceHandle;
  Env.ExpectDebugMask = !HasWord (Options, Wide (L"nodiag"));
  Env.TscPerMicrosecond = CalibrateTsc ();
  Env.DebugLevel      = HasWord (Options, Wide (L"quiet")) ? 0 : DRIVER_DEBUG_LEVEL;
  Env.Dispatched      = HasWord (Options, Wide (L"platform"));
  if (!Env.Dispatched) {
    OnTarget::WriteCmosDebugLevel (Env.DebugLevel);
  }

  AsciiPrint ("OT: START %s (tsc %lu/us)\r\n", Options, Env.TscPerMicrosecond);

  if (HasWord (Options, Wide (L"bmc"))) {
    if (!Env.Dispatched || RunPlatformGroup (Env)) {
      RunBmcGroup (Env.Volume, Env.Dispatched, Env.TscPerMicrosecond);
    }
  } else if (Env.Dispatched && !OnTarget::IsHttpsBootGroup (Options)) {
    RunPlatformGroup (Env);
  } else if (HasWord (Options, Wide (L"refusal"))) {
    RunRefusalGroup (Env);
  } else if (HasWord (Options, Wide (L"main"))) {
    RunMainGroup (Env);
  } else if (OnTarget::IsHttpsBootGroup (Options)) {
    OnTarget::RunHttpsBootGroup (Env.Volume, Options, Env.Dispatched);
  } else {
    TestCase  Case ("command line names a group (main, refusal, platform, bmc or https)");
    Expect (Case, FALSE, "no group in \"%s\"", Options);
  }

  AsciiPrint ("%u passed, %u failed\r\n", (UINT32)mPassed, (UINT32)mFailed);
  gRT->ResetSystem (EfiResetShutdown, EFI_SUCCESS, 0, NULL);
  return EFI_SUCCESS;
}

} // extern "C"
