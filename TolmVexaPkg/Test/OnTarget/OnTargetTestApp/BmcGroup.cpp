/** @file
  The BMC scenario group: one boot of a server whose Vexa is a real BMC
  process. The platform's stand-ins (platform information, the variable
  policy of the target platform), IpmiKcsDxe (IPMI_PROTOCOL over QEMU's KCS
  interface) and KivIpmiBlobDxe (KIV_PROTOCOL over it in blob sessions) are
  loaded, then the driver; in the platform
  build (the word "platform") the DXE dispatcher started all of them from
  the firmware volume and nothing is loaded. The application calls
  HandlePendingTasks and SyncHttpsCertToVEXA as a platform's boot policy
  does and reports what they did:

    OT: RESULT HandlePendingTasks TRUE|FALSE
    OT: RESULT SyncHttpsCertToVEXA <status>
    OT: KCS <service> us=.. messages=.. transactions=.. request_bytes=..
        response_bytes=.. payload=.. largest_request=.. largest_response=..
        recoveries=.. retries=.. transport_us=..
    @HEX bmc.slot<N> ...   (each slot's certificate afterwards)

  The host queued the BMC's requests before the boot and checks its state
  afterwards; the slots persist from boot to boot in the firmware's variable
  store, as on a server. A file slot<N>.der on the volume is the certificate
  slot N holds as the server was delivered: it is written before the driver
  starts, or in the platform build before its services run ("OT: PRESET
  slot<N> <size>").

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Guid/ImageAuthentication.h>
#include <Guid/TolmVariable.h>

#include "../../../Feature/TolmVexaHttpsBootCertMgmtDxe/TolmVexaHttpsBootCertMgmtDxe.h"
#include <Protocol/KivProtocol.h>

#include "../Include/IpmiKcsTest.h"
#include "../Include/OnTargetSim.h"
#include "BmcGroup.h"
#include "TestSupport.h"

namespace {

using namespace OnTarget;

/// The images of one BMC boot, in load order; the driver comes last.
constexpr const wchar_t  *STAND_INS[] = {
  L"PlatformInfoSim.efi", L"VariablePolicySim.efi", L"IpmiKcsDxe.efi", L"KivIpmiBlobDxe.efi"
};
constexpr const wchar_t  *DRIVER_FILE = L"TolmVexaHttpsBootCertMgmt.efi";

UINT64  mTscPerMicrosecond;

/// What went through KIV_PROTOCOL: counted by wrapping its SendCommand.
struct {
  KIV_SEND_COMMAND    Original;
  UINT64              Messages;
  UINT64              PayloadBytes;   ///< request and response message bytes
  UINT64              Ticks;
} mKiv;

EFI_STATUS
EFIAPI
CountedSendCommand (
  IN  KIV_PROTOCOL  *This,
  IN  UINT16        Command,
  IN  UINT8         *RequestBuffer,
  IN  UINT32        RequestBufferSize,
  OUT UINT8         **ResponseBuffer,
  OUT UINT32        *ResponseBufferSize,
  OUT UINT16        *ResponseStatus
  )
{
  EFI_STATUS  Status;
  UINT64      Start;

  Start  = AsmReadTsc ();
  Status = mKiv.Original (This, Command, RequestBuffer, RequestBufferSize, ResponseBuffer, ResponseBufferSize, ResponseStatus);
  mKiv.Ticks += AsmReadTsc () - Start;
  mKiv.Messages++;
  if (!EFI_ERROR (Status) && (*ResponseStatus == 0)) {
    mKiv.PayloadBytes += RequestBufferSize + *ResponseBufferSize;
  }

  return Status;
}

struct BmcBoot {
  EFI_HANDLE                               Volume;
  BOOLEAN                                  Dispatched;   // all of it from the firmware volume
  IPMI_KCS_TEST_PROTOCOL                   *Kcs;
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service;
};

/**
  Writes the certificate of each slot<N>.der on the volume into slot N, as
  the platform accepts a slot write: the server as it was delivered.
**/
VOID
PresetSlots (
  IN OUT TestCase    &Case,
  IN     EFI_HANDLE  Volume
  )
{
  UINT8              Slot;
  CHAR16             Name[16];
  Blob               Der;
  PoolBuffer<UINT8>  Value;
  EFI_STATUS         Status;

  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    UnicodeSPrint (Name, sizeof (Name), Wide (L"slot%d.der"), Slot);
    if (EFI_ERROR (ReadVolumeFile (Volume, Name, Der))) {
      continue;
    }

    Value.Reset (SlotValue (Der));
    if (!Expect (Case, Value.Get () != NULL, "no memory for slot %d", Slot)) {
      return;
    }

    Status = WriteUnsignedSlot (Wide (SLOT_NAMES[Slot - 1]), &gTolmVariableGuid, Value.Get (), LIST_PREFIX + Der.Size, 24);
    Expect (Case, !EFI_ERROR (Status), "preset of slot %d: %r", Slot, Status);
    AsciiPrint ("OT: PRESET slot%d %u\r\n", Slot, (UINT32)Der.Size);
  }
}

/**
  Prints what the transport carried during one service call.
**/
VOID
ReportTransport (
  IN CONST BmcBoot  &Boot,
  IN CONST CHAR8    *Service,
  IN UINT64         Ticks
  )
{
  IPMI_KCS_COUNTERS  Counters;

  Boot.Kcs->GetCounters (Boot.Kcs, &Counters, TRUE);
  AsciiPrint (
    "OT: KCS %a us=%lu messages=%lu transactions=%lu request_bytes=%lu response_bytes=%lu payload=%lu"
    " largest_request=%u largest_response=%u recoveries=%lu retries=%lu transport_us=%lu\r\n",
    Service,
    Ticks / mTscPerMicrosecond,
    mKiv.Messages,
    Counters.Transactions,
    Counters.RequestBytes,
    Counters.ResponseBytes,
    mKiv.PayloadBytes,
    Counters.LargestRequest,
    Counters.LargestResponse,
    Counters.Recoveries,
    Counters.Unanswered,
    mKiv.Ticks / mTscPerMicrosecond
    );
  mKiv.Messages     = 0;
  mKiv.PayloadBytes = 0;
  mKiv.Ticks        = 0;
}

/**
  Loads the stand-ins and the driver, unless they were dispatched.

  @retval TRUE  The services can be called.
**/
BOOLEAN
SetUp (
  IN OUT BmcBoot  &Boot
  )
{
  TestCase      Case ("bmc set-up: stand-ins, IPMI over KCS, KIV over blobs, driver published");
  EFI_STATUS    Status;
  UINTN         Index;
  EFI_GUID      KcsTestGuid = IPMI_KCS_TEST_PROTOCOL_GUID;
  KIV_PROTOCOL  *Kiv;

  for (Index = 0; Index < ARRAY_SIZE (STAND_INS) && !Boot.Dispatched; Index++) {
    Status = StartVolumeImage (Boot.Volume, Wide (STAND_INS[Index]), NULL);
    if (!Expect (Case, !EFI_ERROR (Status), "%s: %r", Wide (STAND_INS[Index]), Status)) {
      return FALSE;
    }
  }

  Status = gBS->LocateProtocol (&KcsTestGuid, NULL, (VOID **)&Boot.Kcs);
  if (!Expect (Case, !EFI_ERROR (Status), "KCS counters: %r", Status)) {
    return FALSE;
  }

  Status = gBS->LocateProtocol (&gKivProtocolGuid, NULL, (VOID **)&Kiv);
  if (!Expect (Case, !EFI_ERROR (Status), "KIV_PROTOCOL: %r", Status)) {
    return FALSE;
  }

  if (Kiv->SendCommand != CountedSendCommand) {
    mKiv.Original    = Kiv->SendCommand;
    Kiv->SendCommand = CountedSendCommand;
  }

  PresetSlots (Case, Boot.Volume);

  if (!Boot.Dispatched) {
    Status = StartVolumeImage (Boot.Volume, Wide (DRIVER_FILE), NULL);
    if (!Expect (Case, Status == EFI_SUCCESS, "the driver returned %r", Status)) {
      return FALSE;
    }
  }

  Status = gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, NULL, (VOID **)&Boot.Service);
  Expect (Case, !EFI_ERROR (Status), "the driver's protocol: %r", Status);
  return !Case.Failed ();
}

/**
  The platform's boot policy: apply the BMC's requests, then report the
  slots back. Neither service may leave the update flag raised.
**/
VOID
RunServices (
  IN CONST BmcBoot  &Boot
  )
{
  UINT64      Start;
  BOOLEAN     Pending;
  EFI_STATUS  Status;

  {
    TestCase  Case ("bmc: HandlePendingTasks through the BMC");
    Boot.Kcs->GetCounters (Boot.Kcs, NULL, TRUE);
    Start   = AsmReadTsc ();
    Pending = Boot.Service->HandlePendingTasks ();
    ReportTransport (Boot, "HandlePendingTasks", AsmReadTsc () - Start);
    AsciiPrint ("OT: RESULT HandlePendingTasks %a\r\n", Pending ? "TRUE" : "FALSE");
    ExpectFlagLowered (Case);
  }

  DumpSlots ("bmc");
  {
    TestCase  Case ("bmc: SyncHttpsCertToVEXA through the BMC");
    Boot.Kcs->GetCounters (Boot.Kcs, NULL, TRUE);
    Start  = AsmReadTsc ();
    Status = Boot.Service->SyncHttpsCertToVEXA ();
    ReportTransport (Boot, "SyncHttpsCertToVEXA", AsmReadTsc () - Start);
    AsciiPrint ("OT: RESULT SyncHttpsCertToVEXA %r\r\n", Status);
    ExpectFlagLowered (Case);
  }
}

} // namespace

VOID
RunBmcGroup (
  IN     EFI_HANDLE    Volume,
  IN     BOOLEAN       Dispatched,
  IN     UINT64        TscPerMicrosecond
  )
{
  BmcBoot  Boot;

  mTscPerMicrosecond = TscPerMicrosecond;
  ZeroMem (&Boot, sizeof (Boot));
  Boot.Volume     = Volume;
  Boot.Dispatched = Dispatched;
  if (SetUp (Boot)) {
    RunServices (Boot);
  }
}
