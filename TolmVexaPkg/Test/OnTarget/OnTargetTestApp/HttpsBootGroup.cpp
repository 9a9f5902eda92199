/** @file
  On-target test application: the HTTPS boot groups. The application plays
  the platform's boot policy: it loads the stand-ins, the certificate driver
  and the trust driver (TolmVexaHttpsBootTrust), arms the Vexa, calls
  HandlePendingTasks and SyncHttpsCertToVEXA, signals ReadyToBoot (on which
  the trust driver writes "TlsCaCertificate" from the slots), connects the
  network and boots a URI through HttpBootDxe: the HTTP boot handle's LoadFile
  with its device path ending in Uri(<URI>), then LoadImage and StartImage.

  Groups (the command line names one, then the URIs):
    https-slot1 GOOD ROGUE  the CA queued for slot 1: a server from another
                            CA is refused, the provisioned one accepted; then
                            the Vexa deletes slot 1 and the next policy pass
                            leaves no trust: refused (fail closed).
    https-slot3 GOOD ROGUE  a stale non-volatile "TlsCaCertificate" of another
                            CA, an unrelated certificate queued for slot 1,
                            the CA for slot 3, corrupt values in slots 2 and
                            4: the trust is exactly slots 1 and 3; the other
                            CA's server is refused, the provisioned one
                            accepted.
    https-demo GOOD         the main job's chapter: the Vexa's requests come
                            from the administrator's queue on the volume
                            (vexa-queue.bin, vexa-cert<N>.der); the boot image
                            shuts the machine down.

  The firmware's TLS keeps every CA certificate it was once given for the
  rest of the boot (TlsDxe adds them to one X.509 store), so an attempt that
  must be refused never follows an accepted one with a trust that would still
  hold: the slot 1 deletion leaves no "TlsCaCertificate" at all, which HttpDxe
  refuses before any handshake.

  Output, besides the case lines of the application:
    OT: HTTPS BEGIN <label> <uri>
    ... what HttpBootDxe prints ...
    OT: HTTPS LOADFILE <label> <status> <bytes>
    ... what the boot image prints ...
    OT: HTTPS END <label> LoadFile <status> <bytes> StartImage <status>
    @HEX trust.<label> ...     "TlsCaCertificate" after a policy pass

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Guid/FileInfo.h>
#include <Guid/ImageAuthentication.h>
#include <Guid/TlsAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Guid/WinCertificate.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/LoadFile.h>
#include <Protocol/SimpleFileSystem.h>

#include "../../../Feature/TolmVexaHttpsBootCertMgmtDxe/TolmVexaHttpsBootCertMgmtDxe.h"
#include "../../../Feature/TolmVexaHttpsBootCertMgmtDxe/PoolBuffer.h"
#include "../Include/OnTargetSim.h"
#include "HttpsBootGroup.h"

using TolmVexa::PoolBuffer;

namespace {

constexpr UINT32  SLOT_ATTRIBUTES  = 0x23;
constexpr UINT32  TRUST_ATTRIBUTES = EFI_VARIABLE_BOOTSERVICE_ACCESS;
// What EDK II's TlsAuthConfigDxe writes: a stale trust the component must replace.
constexpr UINT32  STALE_TRUST_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr UINTN   DESCRIPTOR_SIZE  = 40;
constexpr UINTN   LIST_HEADER_SIZE = 28;
constexpr UINTN   LIST_PREFIX      = 44;
constexpr UINT8   SLOT_COUNT       = 4;
constexpr UINTN   RECORD_SIZE      = 6;
constexpr UINT8   TASK_TYPE        = 9;
constexpr UINT8   OP_IMPORT        = 0xAA;
constexpr UINT8   OP_DELETE        = 0xAB;
constexpr UINTN   MAX_URI          = 128;
constexpr UINTN   MAX_TOKEN        = 160;

constexpr const wchar_t  *SLOT_NAMES[SLOT_COUNT] = {
  L"HttpsCertDev1", L"HttpsCertDev2", L"HttpsCertDev3", L"HttpsCertDev4"
};
constexpr const wchar_t  RETURN_OPTION[] = L"return";
constexpr const wchar_t  *COMMAND_FILE   = L"ontarget.cmd";
constexpr const wchar_t  *QUEUE_FILE     = L"vexa-queue.bin";

CHAR16 *
Wide (
  IN const wchar_t  *Text
  )
{
  return (CHAR16 *)Text;
}

// ---------------------------------------------------------------------------
// Cases
// ---------------------------------------------------------------------------

UINTN  *mPassed;
UINTN  *mFailed;

/**
  One named case; its verdict line is printed and counted when it leaves
  scope, in the format of the application's other groups.
**/
class Case {
public:
  explicit Case (
    IN CONST CHAR8  *Name
    )
    : mName (Name), mFailures (0)
  {
    AsciiPrint ("OT: CASE %a\r\n", Name);
  }

  ~Case (
    )
  {
    if (mFailures == 0) {
      (*mPassed)++;
      AsciiPrint ("OT: PASS %a\r\n", mName);
    } else {
      (*mFailed)++;
      AsciiPrint ("OT: FAIL %a\r\n", mName);
    }
  }

  Case (const Case &)            = delete;
  Case &operator= (const Case &) = delete;

  CONST CHAR8  *mName;
  UINTN        mFailures;
};

BOOLEAN
EFIAPI
Check (
  IN OUT Case         &C,
  IN     BOOLEAN      Condition,
  IN     CONST CHAR8  *Format,
  ...
  )
{
  VA_LIST  Marker;
  CHAR8    Detail[160];

  if (!Condition) {
    VA_START (Marker, Format);
    AsciiVSPrint (Detail, sizeof (Detail), Format, Marker);
    VA_END (Marker);
    AsciiPrint ("OT:   ! %a: %a\r\n", C.mName, Detail);
    C.mFailures++;
  }

  return Condition;
}

// ---------------------------------------------------------------------------
// Files and images of the volume
// ---------------------------------------------------------------------------

struct Blob {
  PoolBuffer<UINT8>    Data;
  UINTN                Size = 0;
};

EFI_STATUS
ReadVolumeFile (
  IN  EFI_HANDLE    Volume,
  IN  CONST CHAR16  *Name,
  OUT Blob          &File
  )
{
  EFI_STATUS                       Status;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *FileSystem;
  EFI_FILE_PROTOCOL                *Root;
  EFI_FILE_PROTOCOL                *Handle;
  UINTN                            InfoSize;
  PoolBuffer<EFI_FILE_INFO>        Info;

  Status = gBS->HandleProtocol (Volume, &gEfiSimpleFileSystemProtocolGuid, (VOID **)&FileSystem);
  if (!EFI_ERROR (Status)) {
    Status = FileSystem->OpenVolume (FileSystem, &Root);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = Root->Open (Root, &Handle, (CHAR16 *)Name, EFI_FILE_MODE_READ, 0);
  Root->Close (Root);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  InfoSize = SIZE_OF_EFI_FILE_INFO + 512;
  Info.Reset ((EFI_FILE_INFO *)AllocateZeroPool (InfoSize));
  Status = (Info.Get () == NULL) ? EFI_OUT_OF_RESOURCES : Handle->GetInfo (Handle, &gEfiFileInfoGuid, &InfoSize, Info.Get ());
  if (!EFI_ERROR (Status)) {
    File.Size = (UINTN)Info.Get ()->FileSize;
    File.Data.Reset ((UINT8 *)AllocatePool (MAX (File.Size, (UINTN)1)));
    Status = (File.Data.Get () == NULL) ? EFI_OUT_OF_RESOURCES : Handle->Read (Handle, &File.Size, File.Data.Get ());
  }

  Handle->Close (Handle);
  return Status;
}

EFI_STATUS
StartVolumeImage (
  IN EFI_HANDLE    Volume,
  IN CONST CHAR16  *Name
  )
{
  EFI_STATUS                Status;
  EFI_HANDLE                Image;
  PoolBuffer<EFI_DEVICE_PATH_PROTOCOL>  Path (FileDevicePath (Volume, Name));

  if (Path.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Image  = NULL;
  Status = gBS->LoadImage (FALSE, gImageHandle, Path.Get (), NULL, 0, &Image);
  return EFI_ERROR (Status) ? Status : gBS->StartImage (Image, NULL, NULL);
}

// ---------------------------------------------------------------------------
// Slot values and "TlsCaCertificate"
// ---------------------------------------------------------------------------

/**
  The value the certificate driver stores for Der: one X.509 signature list,
  no signature header, the default owner, then the DER bytes. Appended to Out.
**/
BOOLEAN
AppendSignatureList (
  IN OUT Blob        &Out,
  IN     CONST Blob  &Der
  )
{
  UINT8  *Grown;
  UINT8  *List;

  Grown = (UINT8 *)AllocateZeroPool (Out.Size + LIST_PREFIX + Der.Size);
  if (Grown == NULL) {
    return FALSE;
  }

  if (Out.Size != 0) {
    CopyMem (Grown, Out.Data.Get (), Out.Size);
  }

  List = Grown + Out.Size;
  CopyMem (List, &gEfiCertX509Guid, sizeof (EFI_GUID));
  WriteUnaligned32 ((UINT32 *)(List + 16), (UINT32)(LIST_PREFIX + Der.Size));
  WriteUnaligned32 ((UINT32 *)(List + 20), 0);
  WriteUnaligned32 ((UINT32 *)(List + 24), (UINT32)(sizeof (EFI_GUID) + Der.Size));
  CopyMem (List + LIST_HEADER_SIZE, &gHttpsCertDefaultOwnerGuid, sizeof (EFI_GUID));
  CopyMem (List + LIST_PREFIX, Der.Data.Get (), Der.Size);
  Out.Data.Reset (Grown);
  Out.Size += LIST_PREFIX + Der.Size;
  return TRUE;
}

/**
  Writes Value into a slot as a corrupt store would hold it, through the
  stand-in variable policy: a 40-byte time-based descriptor without
  certificate data, then the value.
**/
EFI_STATUS
WriteSlotValue (
  IN UINT8        Slot,
  IN CONST UINT8  *Value,
  IN UINTN        Size
  )
{
  EFI_STATUS                     Status;
  PoolBuffer<UINT8>              Payload ((UINT8 *)AllocateZeroPool (DESCRIPTOR_SIZE + Size));
  EFI_VARIABLE_AUTHENTICATION_2  *Descriptor;

  if (Payload.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Descriptor = (EFI_VARIABLE_AUTHENTICATION_2 *)Payload.Get ();
  Status     = gRT->GetTime (&Descriptor->TimeStamp, NULL);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Descriptor->TimeStamp.Pad1                = 0;
  Descriptor->TimeStamp.Nanosecond          = 0;
  Descriptor->TimeStamp.TimeZone            = 0;
  Descriptor->TimeStamp.Daylight            = 0;
  Descriptor->TimeStamp.Pad2                = 0;
  Descriptor->AuthInfo.Hdr.dwLength         = OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData);
  Descriptor->AuthInfo.Hdr.wRevision        = 0x0200;
  Descriptor->AuthInfo.Hdr.wCertificateType = WIN_CERT_TYPE_EFI_GUID;
  CopyGuid (&Descriptor->AuthInfo.CertType, &gEfiCertPkcs7Guid);
  CopyMem (Payload.Get () + DESCRIPTOR_SIZE, Value, Size);
  return gRT->SetVariable (Wide (SLOT_NAMES[Slot - 1]), &gTolmVariableGuid, SLOT_ATTRIBUTES, DESCRIPTOR_SIZE + Size, Payload.Get ());
}

EFI_STATUS
ReadVariable (
  IN  CONST CHAR16  *Name,
  IN  EFI_GUID      *Vendor,
  OUT Blob          &Value,
  OUT UINT32        &Attributes
  )
{
  EFI_STATUS  Status;

  Value.Size = 0;
  Status     = gRT->GetVariable ((CHAR16 *)Name, Vendor, &Attributes, &Value.Size, NULL);
  if (Status != EFI_BUFFER_TOO_SMALL) {
    return Status;
  }

  Value.Data.Reset ((UINT8 *)AllocatePool (Value.Size));
  if (Value.Data.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  return gRT->GetVariable ((CHAR16 *)Name, Vendor, &Attributes, &Value.Size, Value.Data.Get ());
}

/**
  Expects "TlsCaCertificate" to be exactly Expected with the trust
  attributes, or absent when Expected is NULL; dumps it for the host.
**/
VOID
ExpectTrust (
  IN OUT Case         &C,
  IN     CONST CHAR8  *Label,
  IN     CONST Blob   *Expected OPTIONAL
  )
{
  EFI_STATUS  Status;
  Blob        Value;
  UINT32      Attributes;
  CHAR8       Tag[32];

  Attributes = 0;
  Status     = ReadVariable (Wide (EFI_TLS_CA_CERTIFICATE_VARIABLE), &gEfiTlsCaCertificateGuid, Value, Attributes);
  if (Expected == NULL) {
    Check (C, Status == EFI_NOT_FOUND, "\"TlsCaCertificate\" present (%r, %u bytes, attributes 0x%x)", Status, (UINT32)Value.Size, Attributes);
    AsciiPrint ("OT: TRUST %a absent\r\n", Label);
    return;
  }

  if (!Check (C, Status == EFI_SUCCESS, "\"TlsCaCertificate\": %r", Status)) {
    return;
  }

  AsciiSPrint (Tag, sizeof (Tag), "trust.%a", Label);
  OnTarget::HexDump (Tag, Value.Data.Get (), Value.Size);
  Check (C, Attributes == TRUST_ATTRIBUTES, "\"TlsCaCertificate\" attributes 0x%x, expected 0x%x", Attributes, TRUST_ATTRIBUTES);
  Check (
    C,
    Value.Size == Expected->Size && CompareMem (Value.Data.Get (), Expected->Data.Get (), Value.Size) == 0,
    "\"TlsCaCertificate\" is %u bytes, not the %u bytes of the expected signature lists",
    (UINT32)Value.Size,
    (UINT32)Expected->Size
    );
}

// ---------------------------------------------------------------------------
// The platform: stand-ins, drivers, Vexa
// ---------------------------------------------------------------------------

struct HttpsEnv {
  EFI_HANDLE                               Volume;
  VEXA_SIM_CONTROL_PROTOCOL                *Vexa;
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service;
  EFI_LOAD_FILE_PROTOCOL                   *LoadFile;
  PoolBuffer<EFI_DEVICE_PATH_PROTOCOL>     HttpPath;
  CHAR8                                    GoodUri[MAX_URI];
  CHAR8                                    RogueUri[MAX_URI];
  Blob                                     Ca;
  Blob                                     Unrelated;
  Blob                                     OtherCa;
};

EFI_GUID  mVexaControlGuid = VEXA_SIM_CONTROL_PROTOCOL_GUID;

BOOLEAN
LoadImages (
  IN OUT Case      &C,
  IN OUT HttpsEnv  &Env
  )
{
  //
  // The Vexa behind KIV_PROTOCOL is the stand-in inside the firmware; with
  // the BMC, its KCS transport takes VexaKivSim's place here and the demo's
  // queue lives in the BMC, not on the volume.
  //
  constexpr const wchar_t  *IMAGES[] = {
    L"PlatformInfoSim.efi", L"VexaKivSim.efi", L"VariablePolicySim.efi",
    L"TolmVexaHttpsBootCertMgmt.efi", L"TolmVexaHttpsBootTrust.efi"
  };
  EFI_STATUS                  Status;
  PLATFORM_INFO_SIM_PROTOCOL  *PlatformInfo;
  UINTN                       Index;

  for (Index = 0; Index < ARRAY_SIZE (IMAGES); Index++) {
    Status = StartVolumeImage (Env.Volume, Wide (IMAGES[Index]));
    if (!Check (C, !EFI_ERROR (Status), "%s: %r", Wide (IMAGES[Index]), Status)) {
      return FALSE;
    }

    if (Index == 0) {
      // Real hardware: the certificate driver starts only where IsSimics is 0.
      Status = gBS->LocateProtocol (&gPlatformInfoProtocolGuid, NULL, (VOID **)&PlatformInfo);
      if (!Check (C, !EFI_ERROR (Status), "platform information: %r", Status)) {
        return FALSE;
      }

      PlatformInfo->SetIsSimics (0);
    }
  }

  Status = gBS->LocateProtocol (&mVexaControlGuid, NULL, (VOID **)&Env.Vexa);
  Check (C, !EFI_ERROR (Status), "Vexa control: %r", Status);
  Status = gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, NULL, (VOID **)&Env.Service);
  Check (C, !EFI_ERROR (Status), "certificate service: %r", Status);
  return C.mFailures == 0;
}

BOOLEAN
ReadCertificate (
  IN OUT Case          &C,
  IN     HttpsEnv      &Env,
  IN     const wchar_t *Name,
  OUT    Blob          &Der
  )
{
  EFI_STATUS  Status;

  Status = ReadVolumeFile (Env.Volume, Wide (Name), Der);
  return Check (C, !EFI_ERROR (Status) && Der.Size != 0 && Der.Size <= MAX_UINT16, "%s: %r", Wide (Name), Status);
}

struct Request {
  UINT8         Slot;
  UINT8         Operation;
  CONST Blob    *Cert;      // imports
};

/**
  One pass of the platform's boot policy, as in every boot: the Vexa holds
  Requests; HandlePendingTasks applies them, SyncHttpsCertToVEXA reports the
  slots back, and ReadyToBoot makes the trust driver derive
  "TlsCaCertificate" from the slots.
**/
VOID
PolicyPass (
  IN OUT Case           &C,
  IN     HttpsEnv       &Env,
  IN     CONST CHAR8    *Label,
  IN     CONST Request  *Requests,
  IN     UINTN          Count
  )
{
  UINT8       List[SLOT_COUNT * RECORD_SIZE];
  UINTN       Index;
  UINT8       *Record;
  BOOLEAN     Pending;
  EFI_STATUS  Status;

  ASSERT (Count <= SLOT_COUNT);
  for (Index = 0; Index < Count; Index++) {
    Record    = List + Index * RECORD_SIZE;
    Record[0] = TASK_TYPE;
    Record[1] = Requests[Index].Slot;
    Record[2] = Requests[Index].Operation;
    WriteUnaligned16 ((UINT16 *)(Record + 3), (UINT16)((Requests[Index].Cert != NULL) ? Requests[Index].Cert->Size : 0));
    Record[5] = 0;
    if (Requests[Index].Cert != NULL) {
      Env.Vexa->SetCertificate (Env.Vexa, Requests[Index].Slot, Requests[Index].Cert->Data.Get (), (UINT32)Requests[Index].Cert->Size);
    }
  }

  Env.Vexa->SetPendingList (Env.Vexa, List, (UINT32)(Count * RECORD_SIZE), VEXA_SIM_CC_OK);
  Pending = Env.Service->HandlePendingTasks ();
  Status  = Env.Service->SyncHttpsCertToVEXA ();
  AsciiPrint ("OT: POLICY %a HandlePendingTasks %a SyncHttpsCertToVEXA %r\r\n", Label, Pending ? "TRUE" : "FALSE", Status);
  Check (C, Pending == (Count != 0), "HandlePendingTasks returned %a", Pending ? "TRUE" : "FALSE");
  Check (C, Status == EFI_SUCCESS, "SyncHttpsCertToVEXA returned %r", Status);
  EfiSignalEventReadyToBoot ();
}

// ---------------------------------------------------------------------------
// HTTPS boot through HttpBootDxe
// ---------------------------------------------------------------------------

BOOLEAN
IsUriNode (
  IN EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  return DevicePathType (Node) == MESSAGING_DEVICE_PATH && DevicePathSubType (Node) == MSG_URI_DP;
}

/**
  Connects every controller, so that HttpBootDxe makes its children, and finds
  the IPv4 HTTP boot child: the LoadFile handle whose device path ends in
  IPv4(...)/Uri().
**/
BOOLEAN
FindHttpBoot (
  IN OUT Case      &C,
  IN OUT HttpsEnv  &Env
  )
{
  EFI_HANDLE                *Handles;
  UINTN                     Count;
  UINTN                     Index;
  EFI_DEVICE_PATH_PROTOCOL  *Path;
  EFI_DEVICE_PATH_PROTOCOL  *Node;
  EFI_DEVICE_PATH_PROTOCOL  *Previous;

  Handles = NULL;
  if (!EFI_ERROR (gBS->LocateHandleBuffer (AllHandles, NULL, NULL, &Count, &Handles))) {
    for (Index = 0; Index < Count; Index++) {
      gBS->ConnectController (Handles[Index], NULL, NULL, TRUE);
    }

    FreePool (Handles);
  }

  Handles = NULL;
  Count   = 0;
  gBS->LocateHandleBuffer (ByProtocol, &gEfiLoadFileProtocolGuid, NULL, &Count, &Handles);
  PoolBuffer<EFI_HANDLE>  HandlesGuard (Handles);
  for (Index = 0; Index < Count; Index++) {
    if (EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiDevicePathProtocolGuid, (VOID **)&Path))) {
      continue;
    }

    Previous = NULL;
    for (Node = Path; !IsDevicePathEnd (Node) && !IsUriNode (Node); Node = NextDevicePathNode (Node)) {
      Previous = Node;
    }

    if (IsDevicePathEnd (Node) || (Previous == NULL) || (DevicePathSubType (Previous) != MSG_IPv4_DP)) {
      continue;
    }

    Env.HttpPath.Reset (DuplicateDevicePath (Path));
    gBS->HandleProtocol (Handles[Index], &gEfiLoadFileProtocolGuid, (VOID **)&Env.LoadFile);
    return Check (C, Env.HttpPath.Get () != NULL, "no memory");
  }

  return Check (C, FALSE, "no IPv4 HTTP boot handle among %u LoadFile handles", (UINT32)Count);
}

/**
  The HTTP boot child's device path with its empty Uri() replaced by
  Uri(<Uri>).
**/
EFI_DEVICE_PATH_PROTOCOL *
UriDevicePath (
  IN CONST HttpsEnv  &Env,
  IN CONST CHAR8     *Uri
  )
{
  EFI_DEVICE_PATH_PROTOCOL  *Node;
  UINTN                     Length;

  PoolBuffer<EFI_DEVICE_PATH_PROTOCOL>  Prefix (DuplicateDevicePath (Env.HttpPath.Get ()));
  if (Prefix.Get () == NULL) {
    return NULL;
  }

  for (Node = Prefix.Get (); !IsUriNode (Node); Node = NextDevicePathNode (Node)) {
  }

  SetDevicePathEndNode (Node);
  Length = AsciiStrLen (Uri);
  PoolBuffer<EFI_DEVICE_PATH_PROTOCOL>  UriNode (CreateDeviceNode (MESSAGING_DEVICE_PATH, MSG_URI_DP, (UINT16)(sizeof (EFI_DEVICE_PATH_PROTOCOL) + Length)));
  if (UriNode.Get () == NULL) {
    return NULL;
  }

  // The URI follows the 4-byte node header, without a terminating NUL.
  CopyMem ((UINT8 *)UriNode.Get () + sizeof (EFI_DEVICE_PATH_PROTOCOL), Uri, Length);
  return AppendDevicePathNode (Prefix.Get (), UriNode.Get ());
}

/**
  Boots Uri as Boot Device Selection boots an HTTP boot option: LoadFile for
  the size, LoadFile for the image, LoadImage from the buffer, StartImage.

  @param[in] ReturnAfter  Start the boot image with the load option "return",
                          so that it comes back instead of shutting down.
  @param[out] Started     TRUE when the boot image was started and returned
                          EFI_SUCCESS.

  @return The status of LoadFile: what HttpBootDxe (and TLS under it) made of
          the server.
**/
EFI_STATUS
HttpsBoot (
  IN  HttpsEnv     &Env,
  IN  CONST CHAR8  *Label,
  IN  CONST CHAR8  *Uri,
  IN  BOOLEAN      ReturnAfter,
  OUT BOOLEAN      &Started
  )
{
  EFI_STATUS                 Status;
  EFI_STATUS                 StartStatus;
  UINTN                      Size;
  EFI_HANDLE                 Image;
  EFI_LOADED_IMAGE_PROTOCOL  *Loaded;
  PoolBuffer<UINT8>          Buffer;

  Started     = FALSE;
  StartStatus = EFI_NOT_STARTED;
  Size        = 0;
  AsciiPrint ("OT: HTTPS BEGIN %a %a\r\n", Label, Uri);
  PoolBuffer<EFI_DEVICE_PATH_PROTOCOL>  Path (UriDevicePath (Env, Uri));
  if (Path.Get () == NULL) {
    Status = EFI_OUT_OF_RESOURCES;
  } else {
    Status = Env.LoadFile->LoadFile (Env.LoadFile, Path.Get (), TRUE, &Size, NULL);
  }

  if (Status == EFI_BUFFER_TOO_SMALL) {
    Buffer.Reset ((UINT8 *)AllocatePool (Size));
    Status = (Buffer.Get () == NULL) ? EFI_OUT_OF_RESOURCES : Env.LoadFile->LoadFile (Env.LoadFile, Path.Get (), TRUE, &Size, Buffer.Get ());
  }

  // HttpBootDxe leaves its progress line open.
  AsciiPrint ("\r\nOT: HTTPS LOADFILE %a %r %u\r\n", Label, Status, (UINT32)Size);
  if (!EFI_ERROR (Status)) {
    Image       = NULL;
    StartStatus = gBS->LoadImage (FALSE, gImageHandle, Path.Get (), Buffer.Get (), Size, &Image);
    if (!EFI_ERROR (StartStatus)) {
      if (ReturnAfter && !EFI_ERROR (gBS->HandleProtocol (Image, &gEfiLoadedImageProtocolGuid, (VOID **)&Loaded))) {
        Loaded->LoadOptions     = (VOID *)RETURN_OPTION;
        Loaded->LoadOptionsSize = sizeof (RETURN_OPTION);
      }

      StartStatus = gBS->StartImage (Image, NULL, NULL);
      Started     = (StartStatus == EFI_SUCCESS);
    }
  }

  AsciiPrint ("OT: HTTPS END %a LoadFile %r %u StartImage %r\r\n", Label, Status, (UINT32)Size, StartStatus);
  return Status;
}

/**
  Boots Uri and expects the firmware to accept the server and run the boot
  image, or to refuse it without running anything.
**/
VOID
ExpectBoot (
  IN OUT Case         &C,
  IN     HttpsEnv     &Env,
  IN     CONST CHAR8  *Label,
  IN     CONST CHAR8  *Uri,
  IN     BOOLEAN      Accepted
  )
{
  EFI_STATUS  Status;
  BOOLEAN     Started;

  Status = HttpsBoot (Env, Label, Uri, TRUE, Started);
  if (Accepted) {
    Check (C, Status == EFI_SUCCESS, "HTTPS boot of %a: LoadFile %r", Uri, Status);
    Check (C, Started, "the boot image did not run and return");
  } else {
    Check (C, EFI_ERROR (Status), "HTTPS boot of %a was not refused", Uri);
    Check (C, !Started, "the boot image ran");
  }
}

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

/**
  Copies the Index-th blank-separated token of Line into Token (CHAR8).

  @retval TRUE  There is such a token and it fits.
**/
BOOLEAN
GetToken (
  IN  CONST CHAR16  *Line,
  IN  UINTN         Index,
  OUT CHAR8         *Token,
  IN  UINTN         TokenSize
  )
{
  UINTN  Length;

  for ( ; ; Index--) {
    while (*Line == ' ') {
      Line++;
    }

    for (Length = 0; Line[Length] != ' ' && Line[Length] != '\0'; Length++) {
    }

    if (Length == 0) {
      return FALSE;
    }

    if (Index == 0) {
      break;
    }

    Line += Length;
  }

  if (Length >= TokenSize) {
    return FALSE;
  }

  for (UINTN Char = 0; Char < Length; Char++) {
    Token[Char] = (CHAR8)Line[Char];
  }

  Token[Length] = '\0';
  return TRUE;
}

/**
  Finds the group token and the URIs after it.

  @return The group's name in Group, or FALSE when no HTTPS group is named.
**/
BOOLEAN
ParseCommandLine (
  IN  CONST CHAR16  *Options,
  OUT CHAR8         (&Group)[MAX_TOKEN],
  OUT HttpsEnv      *Env OPTIONAL
  )
{
  UINTN  Index;
  CHAR8  Token[MAX_TOKEN];

  for (Index = 0; GetToken (Options, Index, Group, sizeof (Group)); Index++) {
    if ((AsciiStrCmp (Group, "https-slot1") == 0) || (AsciiStrCmp (Group, "https-slot3") == 0) ||
        (AsciiStrCmp (Group, "https-demo") == 0))
    {
      if (Env != NULL) {
        if (GetToken (Options, Index + 1, Token, sizeof (Token))) {
          AsciiStrnCpyS (Env->GoodUri, MAX_URI, Token, MAX_URI - 1);
        }

        if (GetToken (Options, Index + 2, Token, sizeof (Token))) {
          AsciiStrnCpyS (Env->RogueUri, MAX_URI, Token, MAX_URI - 1);
        }
      }

      return TRUE;
    }
  }

  return FALSE;
}

// ---------------------------------------------------------------------------
// Groups
// ---------------------------------------------------------------------------

BOOLEAN
SetUp (
  IN OUT HttpsEnv     &Env,
  IN     CONST CHAR8  *Group
  )
{
  Case     C ("https set-up: stand-ins, certificate driver, trust driver, network");
  BOOLEAN  Demo;

  Demo = (AsciiStrCmp (Group, "https-demo") == 0);

  Check (C, AsciiStrnCmp (Env.GoodUri, "https://", 8) == 0, "no server URI on the command line");
  Check (C, Demo || AsciiStrnCmp (Env.RogueUri, "https://", 8) == 0, "no URI of the other CA's server");
  if (!Demo && (!ReadCertificate (C, Env, L"ca.der", Env.Ca) || !ReadCertificate (C, Env, L"other-ca.der", Env.OtherCa) ||
                !ReadCertificate (C, Env, L"unrelated.der", Env.Unrelated)))
  {
    return FALSE;
  }

  return C.mFailures == 0 && LoadImages (C, Env) && FindHttpBoot (C, Env);
}

/**
  The CA queued for slot 1 is the one trust anchor: the other CA's server is
  refused, the provisioned one accepted. Then the Vexa deletes slot 1 and the
  next pass of the policy leaves HTTPS boot trusting nothing.
**/
VOID
RunSlot1 (
  IN OUT HttpsEnv  &Env
  )
{
  Blob  Expected;

  {
    Case           C ("https slot 1: the CA queued at the Vexa becomes the only trust anchor");
    CONST Request  Import[] = {
      { 1, OP_IMPORT, &Env.Ca }
    };

    Check (C, AppendSignatureList (Expected, Env.Ca), "no memory");
    ExpectTrust (C, "boot", NULL);
    PolicyPass (C, Env, "import-slot1", Import, ARRAY_SIZE (Import));
    ExpectTrust (C, "import-slot1", &Expected);
  }

  {
    Case  C ("https slot 1: a server certificate from another CA is refused, the image never runs");
    ExpectBoot (C, Env, "other-ca", Env.RogueUri, FALSE);
  }

  {
    Case  C ("https slot 1: the provisioned CA's server is accepted, the boot image runs");
    ExpectBoot (C, Env, "provisioned", Env.GoodUri, TRUE);
  }

  {
    Case           C ("https slot 1: after the Vexa deletes slot 1 the next boot is refused (fail closed)");
    CONST Request  Delete[] = {
      { 1, OP_DELETE, NULL }
    };

    PolicyPass (C, Env, "delete-slot1", Delete, ARRAY_SIZE (Delete));
    ExpectTrust (C, "delete-slot1", NULL);
    ExpectBoot (C, Env, "deleted", Env.GoodUri, FALSE);
  }
}

/**
  Every slot counts, in slot order, and only well-formed ones: an unrelated
  certificate in slot 1, the CA in slot 3 alone, corrupt values in slots 2
  and 4, and a stale non-volatile trust of another CA to be replaced.
**/
VOID
RunSlot3 (
  IN OUT HttpsEnv  &Env
  )
{
  Blob           Expected;
  Blob           Stale;
  Blob           Corrupt;
  EFI_STATUS     Status;
  UINT8          *List;
  CONST Request  Imports[] = {
    { 1, OP_IMPORT, &Env.Unrelated },
    { 3, OP_IMPORT, &Env.Ca        },
  };

  {
    Case  C ("https slot 3: corrupt slots 2 and 4 skipped, stale trust replaced, lists of slots 1 and 3 trusted");

    Check (C, AppendSignatureList (Expected, Env.Unrelated) && AppendSignatureList (Expected, Env.Ca), "no memory");
    Check (C, AppendSignatureList (Stale, Env.OtherCa), "no memory");
    Status = gRT->SetVariable (Wide (EFI_TLS_CA_CERTIFICATE_VARIABLE), &gEfiTlsCaCertificateGuid, STALE_TRUST_ATTRIBUTES, Stale.Size, Stale.Data.Get ());
    Check (C, Status == EFI_SUCCESS, "stale \"TlsCaCertificate\" not written: %r", Status);

    //
    // Slot 2: the CA's list claiming 16 bytes more than the value holds (so
    // that HttpDxe would refuse every anchor if it were copied). Slot 4: a
    // well-framed list whose certificate carries one byte after its DER
    // SEQUENCE.
    //
    if (Check (C, AppendSignatureList (Corrupt, Env.Ca), "no memory")) {
      List = Corrupt.Data.Get ();
      WriteUnaligned32 ((UINT32 *)(List + 16), (UINT32)(Corrupt.Size + 16));
      Status = WriteSlotValue (2, List, Corrupt.Size);
      Check (C, Status == EFI_SUCCESS, "slot 2 not written: %r", Status);
    }

    Corrupt.Data.Reset (NULL);
    Corrupt.Size = 0;
    if (Check (C, AppendSignatureList (Corrupt, Env.Unrelated), "no memory")) {
      PoolBuffer<UINT8>  Longer ((UINT8 *)AllocateZeroPool (Corrupt.Size + 1));
      if (Check (C, Longer.Get () != NULL, "no memory")) {
        CopyMem (Longer.Get (), Corrupt.Data.Get (), Corrupt.Size);
        WriteUnaligned32 ((UINT32 *)(Longer.Get () + 16), (UINT32)(Corrupt.Size + 1));
        WriteUnaligned32 ((UINT32 *)(Longer.Get () + 24), (UINT32)(Corrupt.Size + 1 - LIST_HEADER_SIZE));
        Status = WriteSlotValue (4, Longer.Get (), Corrupt.Size + 1);
        Check (C, Status == EFI_SUCCESS, "slot 4 not written: %r", Status);
      }
    }

    PolicyPass (C, Env, "slots-1-3", Imports, ARRAY_SIZE (Imports));
    ExpectTrust (C, "slots-1-3", &Expected);
  }

  {
    Case  C ("https slot 3: the other CA (stale trust before) is refused");
    ExpectBoot (C, Env, "other-ca", Env.RogueUri, FALSE);
  }

  {
    Case  C ("https slot 3: the CA in slot 3 alone is accepted, the boot image runs");
    ExpectBoot (C, Env, "provisioned", Env.GoodUri, TRUE);
  }
}

/**
  The main job's chapter: the Vexa holds what the administrator queued (on
  the volume: vexa-queue.bin, the pending list, and vexa-cert<N>.der for each
  import); one policy pass; then the HTTPS boot, whose image shuts the
  machine down.
**/
VOID
RunDemo (
  IN OUT HttpsEnv  &Env
  )
{
  EFI_STATUS  Status;
  Blob        Queue;
  Blob        Certs[SLOT_COUNT + 1];
  UINTN       Offset;
  UINT8       Slot;
  CHAR16      Name[24];
  BOOLEAN     Pending;
  BOOLEAN     Started;

  {
    Case  C ("https demo: the Vexa holds the administrator's queue; policy pass");

    Status = ReadVolumeFile (Env.Volume, Wide (QUEUE_FILE), Queue);
    Check (C, !EFI_ERROR (Status) && Queue.Size <= MAX_UINT16, "%s: %r", Wide (QUEUE_FILE), Status);
    for (Offset = 0; !EFI_ERROR (Status) && Offset + RECORD_SIZE <= Queue.Size; Offset += RECORD_SIZE) {
      Slot = Queue.Data.Get ()[Offset + 1];
      if ((Queue.Data.Get ()[Offset + 2] != OP_IMPORT) || (Slot == 0) || (Slot > SLOT_COUNT)) {
        continue;
      }

      UnicodeSPrint (Name, sizeof (Name), Wide (L"vexa-cert%d.der"), Slot);
      if (ReadCertificate (C, Env, (const wchar_t *)Name, Certs[Slot])) {
        Env.Vexa->SetCertificate (Env.Vexa, Slot, Certs[Slot].Data.Get (), (UINT32)Certs[Slot].Size);
      }
    }

    Env.Vexa->SetPendingList (Env.Vexa, Queue.Data.Get (), (UINT32)Queue.Size, VEXA_SIM_CC_OK);
    Pending = Env.Service->HandlePendingTasks ();
    Status  = Env.Service->SyncHttpsCertToVEXA ();
    AsciiPrint ("OT: POLICY demo HandlePendingTasks %a SyncHttpsCertToVEXA %r\r\n", Pending ? "TRUE" : "FALSE", Status);
    EfiSignalEventReadyToBoot ();
    {
      Blob    Trust;
      UINT32  Attributes;

      if (!EFI_ERROR (ReadVariable (Wide (EFI_TLS_CA_CERTIFICATE_VARIABLE), &gEfiTlsCaCertificateGuid, Trust, Attributes))) {
        OnTarget::HexDump ("trust.demo", Trust.Data.Get (), Trust.Size);
      } else {
        AsciiPrint ("OT: TRUST demo absent\r\n");
      }
    }
  }

  HttpsBoot (Env, "demo", Env.GoodUri, FALSE, Started);
}

} // namespace

namespace OnTarget {

CHAR16 *
ReadCommandFile (
  IN EFI_HANDLE  Volume
  )
{
  Blob    File;
  CHAR16  *Line;
  UINTN   Index;

  if (EFI_ERROR (ReadVolumeFile (Volume, Wide (COMMAND_FILE), File)) || (File.Size > 1024)) {
    return NULL;
  }

  Line = (CHAR16 *)AllocateZeroPool ((File.Size + 1) * sizeof (CHAR16));
  for (Index = 0; (Line != NULL) && (Index < File.Size); Index++) {
    Line[Index] = (File.Data.Get ()[Index] < ' ') ? ' ' : File.Data.Get ()[Index];
  }

  return Line;
}

BOOLEAN
IsHttpsBootGroup (
  IN CONST CHAR16  *Options
  )
{
  CHAR8  Group[MAX_TOKEN];

  return ParseCommandLine (Options, Group, NULL);
}

VOID
RunHttpsBootGroup (
  IN     EFI_HANDLE    Volume,
  IN     CONST CHAR16  *Options,
  IN OUT UINTN         *Passed,
  IN OUT UINTN         *Failed
  )
{
  HttpsEnv  Env;
  CHAR8     Group[MAX_TOKEN];

  mPassed    = Passed;
  mFailed    = Failed;
  Env.Volume = Volume;
  Env.Vexa   = NULL;
  Env.Service  = NULL;
  Env.LoadFile = NULL;
  ZeroMem (Env.GoodUri, sizeof (Env.GoodUri));
  ZeroMem (Env.RogueUri, sizeof (Env.RogueUri));
  if (!ParseCommandLine (Options, Group, &Env) || !SetUp (Env, Group)) {
    return;
  }

  if (AsciiStrCmp (Group, "https-slot1") == 0) {
    RunSlot1 (Env);
  } else if (AsciiStrCmp (Group, "https-slot3") == 0) {
    RunSlot3 (Env);
  } else {
    RunDemo (Env);
  }
}

} // namespace OnTarget
