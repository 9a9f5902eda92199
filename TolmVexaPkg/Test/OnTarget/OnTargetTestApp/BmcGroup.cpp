/** @file
  The BMC scenario group: one boot of a server whose Vexa is a real BMC
  process. The platform's stand-ins (platform information, the variable
  policy of the target platform) and KivKcsDxe, the KIV_PROTOCOL transport
  over QEMU's KCS interface, are loaded, then the driver; in the platform
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
#include <Guid/FileInfo.h>
#include <Guid/ImageAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/SimpleFileSystem.h>

#include "../../../Feature/TolmVexaHttpsBootCertMgmtDxe/TolmVexaHttpsBootCertMgmtDxe.h"
#include "../../../Feature/TolmVexaHttpsBootCertMgmtDxe/PoolBuffer.h"
#include "../Include/KivKcsTest.h"
#include "../Include/OnTargetSim.h"
#include "BmcGroup.h"

using TolmVexa::PoolBuffer;

namespace {

constexpr UINT8   SLOT_COUNT  = 4;
constexpr UINTN   LIST_PREFIX = sizeof (EFI_SIGNATURE_LIST) + sizeof (EFI_GUID);   // before the DER bytes
constexpr UINT32  STORED_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;

static_assert (LIST_PREFIX == 44, "signature list header and owner of a slot value");

constexpr const wchar_t  *SLOT_NAMES[SLOT_COUNT] = {
  L"HttpsCertDev1", L"HttpsCertDev2", L"HttpsCertDev3", L"HttpsCertDev4"
};

/// The images of one BMC boot, in load order; the driver comes last.
constexpr const wchar_t  *STAND_INS[] = {
  L"PlatformInfoSim.efi", L"VariablePolicySim.efi", L"KivKcsDxe.efi"
};
constexpr const wchar_t  *DRIVER_FILE = L"TolmVexaHttpsBootCertMgmt.efi";

CONST CHAR16 *
Wide (
  IN const wchar_t  *Text
  )
{
  return (CONST CHAR16 *)Text;
}

UINTN   *mPassed;
UINTN   *mFailed;
UINT64  mTscPerMicrosecond;

/**
  One named case; the verdict is printed and counted when it leaves scope.
**/
class BmcCase {
public:
  explicit BmcCase (
    IN CONST CHAR8  *Name
    )
    : mName (Name), mFailures (0)
  {
    AsciiPrint ("OT: CASE %a\r\n", Name);
  }

  ~BmcCase (
    )
  {
    (*((mFailures == 0) ? mPassed : mFailed))++;
    AsciiPrint ("OT: %a %a\r\n", (mFailures == 0) ? "PASS" : "FAIL", mName);
  }

  BmcCase (const BmcCase &)            = delete;
  BmcCase &operator= (const BmcCase &) = delete;

  BOOLEAN
  EFIAPI
  Expect (
    IN BOOLEAN      Condition,
    IN CONST CHAR8  *Format,
    ...
    )
  {
    VA_LIST  Marker;
    CHAR8    Detail[160];

    if (!Condition) {
      VA_START (Marker, Format);
      AsciiVSPrint (Detail, sizeof (Detail), Format, Marker);
      VA_END (Marker);
      AsciiPrint ("OT:   ! %a: %a\r\n", mName, Detail);
      mFailures++;
    }

    return Condition;
  }

  BOOLEAN
  Failed (
    ) const
  {
    return mFailures != 0;
  }

private:
  CONST CHAR8  *mName;
  UINTN        mFailures;
};

struct BmcBoot {
  EFI_HANDLE                               Volume;
  BOOLEAN                                  Dispatched;   // all of it from the firmware volume
  KIV_KCS_TEST_PROTOCOL                    *Kcs;
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service;
};

EFI_STATUS
StartVolumeImage (
  IN EFI_HANDLE    Volume,
  IN CONST CHAR16  *Name
  )
{
  EFI_STATUS                Status;
  EFI_DEVICE_PATH_PROTOCOL  *Path;
  EFI_HANDLE                Image;

  Path = FileDevicePath (Volume, Name);
  if (Path == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Image  = NULL;
  Status = gBS->LoadImage (FALSE, gImageHandle, Path, NULL, 0, &Image);
  FreePool (Path);
  return EFI_ERROR (Status) ? Status : gBS->StartImage (Image, NULL, NULL);
}

/**
  Reads a variable under gTolmVariableGuid into a pool buffer.
**/
EFI_STATUS
ReadTolmVariable (
  IN  CONST CHAR16       *Name,
  OUT PoolBuffer<UINT8>  &Value,
  OUT UINTN              *Size
  )
{
  EFI_STATUS  Status;

  *Size  = 0;
  Status = gRT->GetVariable ((CHAR16 *)Name, &gTolmVariableGuid, NULL, Size, NULL);
  if (Status != EFI_BUFFER_TOO_SMALL) {
    return Status;
  }

  Value.Reset ((UINT8 *)AllocatePool (*Size));
  if (Value.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  return gRT->GetVariable ((CHAR16 *)Name, &gTolmVariableGuid, NULL, Size, Value.Get ());
}

/**
  Reads a whole file of the volume's root into a pool buffer.

  @retval EFI_NOT_FOUND  No such file.
**/
EFI_STATUS
ReadVolumeFile (
  IN  EFI_HANDLE         Volume,
  IN  CONST CHAR16       *Name,
  OUT PoolBuffer<UINT8>  &Data,
  OUT UINTN              *Size
  )
{
  EFI_STATUS                       Status;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *FileSystem;
  EFI_FILE_PROTOCOL                *Root;
  EFI_FILE_PROTOCOL                *File;
  PoolBuffer<EFI_FILE_INFO>        Info;
  UINTN                            InfoSize;

  Status = gBS->HandleProtocol (Volume, &gEfiSimpleFileSystemProtocolGuid, (VOID **)&FileSystem);
  if (!EFI_ERROR (Status)) {
    Status = FileSystem->OpenVolume (FileSystem, &Root);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = Root->Open (Root, &File, (CHAR16 *)Name, EFI_FILE_MODE_READ, 0);
  Root->Close (Root);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  InfoSize = SIZE_OF_EFI_FILE_INFO + 512;
  Info.Reset ((EFI_FILE_INFO *)AllocateZeroPool (InfoSize));
  Status = (Info.Get () == NULL) ? EFI_OUT_OF_RESOURCES : File->GetInfo (File, &gEfiFileInfoGuid, &InfoSize, Info.Get ());
  if (!EFI_ERROR (Status)) {
    *Size = (UINTN)Info.Get ()->FileSize;
    Data.Reset ((UINT8 *)AllocatePool (MAX (*Size, (UINTN)1)));
    Status = (Data.Get () == NULL) ? EFI_OUT_OF_RESOURCES : File->Read (File, Size, Data.Get ());
  }

  File->Close (File);
  return Status;
}

/**
  Writes the certificate of each slot<N>.der on the volume into slot N, as
  the platform's store keeps a slot value (the variable-policy stand-in keeps
  them as plain non-volatile variables): the server as it was delivered.
**/
VOID
PresetSlots (
  IN OUT BmcCase  &Case,
  IN     EFI_HANDLE  Volume
  )
{
  UINT8               Slot;
  CHAR16              Name[16];
  PoolBuffer<UINT8>   Der;
  UINTN               Size;
  PoolBuffer<UINT8>   Value;
  EFI_SIGNATURE_LIST  *List;
  EFI_SIGNATURE_DATA  *Signature;
  EFI_STATUS          Status;

  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    UnicodeSPrint (Name, sizeof (Name), Wide (L"slot%d.der"), Slot);
    if (EFI_ERROR (ReadVolumeFile (Volume, Name, Der, &Size))) {
      continue;
    }

    Value.Reset ((UINT8 *)AllocateZeroPool (LIST_PREFIX + Size));
    if (!Case.Expect (Value.Get () != NULL, "no memory for slot %d", Slot)) {
      return;
    }

    List = (EFI_SIGNATURE_LIST *)Value.Get ();
    CopyGuid (&List->SignatureType, &gEfiCertX509Guid);
    List->SignatureListSize = (UINT32)(LIST_PREFIX + Size);
    List->SignatureSize     = (UINT32)(sizeof (EFI_GUID) + Size);
    Signature               = (EFI_SIGNATURE_DATA *)(List + 1);
    CopyGuid (&Signature->SignatureOwner, &gHttpsCertDefaultOwnerGuid);
    CopyMem (Signature->SignatureData, Der.Get (), Size);
    Status = gRT->SetVariable (
                    (CHAR16 *)SLOT_NAMES[Slot - 1],
                    &gTolmVariableGuid,
                    STORED_ATTRIBUTES,
                    LIST_PREFIX + Size,
                    Value.Get ()
                    );
    Case.Expect (!EFI_ERROR (Status), "preset of slot %d: %r", Slot, Status);
    AsciiPrint ("OT: PRESET slot%d %u\r\n", Slot, (UINT32)Size);
  }
}

/**
  The DER bytes of each slot as "@HEX bmc.slot<N>" lines, or "OT: SLOT
  bmc.slot<N> absent".
**/
VOID
DumpSlots (
  VOID
  )
{
  UINT8              Slot;
  UINTN              Size;
  PoolBuffer<UINT8>  Value;
  CHAR8              Tag[16];

  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    AsciiSPrint (Tag, sizeof (Tag), "bmc.slot%d", Slot);
    if (EFI_ERROR (ReadTolmVariable (Wide (SLOT_NAMES[Slot - 1]), Value, &Size))) {
      AsciiPrint ("OT: SLOT %a absent\r\n", Tag);
    } else if (Size < LIST_PREFIX) {
      AsciiPrint ("OT: SLOT %a short %u\r\n", Tag, (UINT32)Size);
    } else {
      OnTarget::HexDump (Tag, Value.Get () + LIST_PREFIX, Size - LIST_PREFIX);
    }
  }
}

VOID
ExpectFlagLowered (
  IN OUT BmcCase  &Case
  )
{
  PoolBuffer<UINT8>  Value;
  UINTN              Size;
  EFI_STATUS         Status;

  Status = ReadTolmVariable (Wide (L"TolmPr"), Value, &Size);
  Case.Expect (Status == EFI_NOT_FOUND, "\"TolmPr\" still present (%r)", Status);
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
  KIV_KCS_COUNTERS  Counters;

  Boot.Kcs->GetCounters (Boot.Kcs, &Counters, TRUE);
  AsciiPrint (
    "OT: KCS %a us=%lu messages=%lu transactions=%lu request_bytes=%lu response_bytes=%lu payload=%lu"
    " largest_request=%u largest_response=%u recoveries=%lu retries=%lu transport_us=%lu\r\n",
    Service,
    Ticks / mTscPerMicrosecond,
    Counters.Messages,
    Counters.Transactions,
    Counters.RequestBytes,
    Counters.ResponseBytes,
    Counters.PayloadBytes,
    Counters.LargestRequest,
    Counters.LargestResponse,
    Counters.Recoveries,
    Counters.Retries,
    Counters.Ticks / mTscPerMicrosecond
    );
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
  BmcCase     Case ("bmc set-up: stand-ins, KCS transport, driver published");
  EFI_STATUS  Status;
  UINTN       Index;
  EFI_GUID    KcsTestGuid = KIV_KCS_TEST_PROTOCOL_GUID;

  for (Index = 0; Index < ARRAY_SIZE (STAND_INS) && !Boot.Dispatched; Index++) {
    Status = StartVolumeImage (Boot.Volume, Wide (STAND_INS[Index]));
    if (!Case.Expect (!EFI_ERROR (Status), "%s: %r", Wide (STAND_INS[Index]), Status)) {
      return FALSE;
    }
  }

  Status = gBS->LocateProtocol (&KcsTestGuid, NULL, (VOID **)&Boot.Kcs);
  if (!Case.Expect (!EFI_ERROR (Status), "KCS transport counters: %r", Status)) {
    return FALSE;
  }

  PresetSlots (Case, Boot.Volume);

  if (!Boot.Dispatched) {
    Status = StartVolumeImage (Boot.Volume, Wide (DRIVER_FILE));
    if (!Case.Expect (Status == EFI_SUCCESS, "the driver returned %r", Status)) {
      return FALSE;
    }
  }

  Status = gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, NULL, (VOID **)&Boot.Service);
  Case.Expect (!EFI_ERROR (Status), "the driver's protocol: %r", Status);
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
    BmcCase  Case ("bmc: HandlePendingTasks through the BMC");
    Boot.Kcs->GetCounters (Boot.Kcs, NULL, TRUE);
    Start   = AsmReadTsc ();
    Pending = Boot.Service->HandlePendingTasks ();
    ReportTransport (Boot, "HandlePendingTasks", AsmReadTsc () - Start);
    AsciiPrint ("OT: RESULT HandlePendingTasks %a\r\n", Pending ? "TRUE" : "FALSE");
    ExpectFlagLowered (Case);
  }

  DumpSlots ();
  {
    BmcCase  Case ("bmc: SyncHttpsCertToVEXA through the BMC");
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
  IN     CONST CHAR16  *Options,
  IN     BOOLEAN       Dispatched,
  IN     UINT64        TscPerMicrosecond,
  IN OUT UINTN         *Passed,
  IN OUT UINTN         *Failed
  )
{
  BmcBoot  Boot;

  mPassed            = Passed;
  mFailed            = Failed;
  mTscPerMicrosecond = TscPerMicrosecond;
  ZeroMem (&Boot, sizeof (Boot));
  Boot.Volume     = Volume;
  Boot.Dispatched = Dispatched;
  if (SetUp (Boot)) {
    RunServices (Boot);
  }
}
