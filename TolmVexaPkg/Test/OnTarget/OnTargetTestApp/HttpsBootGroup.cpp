/** @file
  On-target test application: the HTTPS boot group, one boot of a server
  whose Vexa is a real BMC. The application plays the platform's boot policy:
  with the stand-ins, IpmiKcsDxe and KivIpmiBlobDxe (KIV over blobs over QEMU's KCS), the
  certificate driver and the trust driver (TolmVexaHttpsBootTrust) in place,
  it calls HandlePendingTasks and SyncHttpsCertToVEXA, signals ReadyToBoot (on
  which the trust driver writes "TlsCaCertificate" from the slots), connects
  the network and boots URIs through HttpBootDxe: the HTTP boot handle's
  LoadFile with its device path ending in Uri(<URI>), then LoadImage and
  StartImage. The host queued the BMC's requests before the boot and checks
  the rest: the trust's bytes, the consoles, the servers' TLS log and what the
  BMC learnt from the sync.

  Command line (ontarget.cmd on the volume: the application is the
  removable-media boot file, which OVMF starts before any network option):
    https [platform] try=LABEL,accepted|refused|final,URI ...
  - platform: the stand-ins, IpmiKcsDxe, KivIpmiBlobDxe, the driver and the trust driver were
    dispatched from the firmware volume; nothing is loaded. Otherwise they
    are loaded from the volume, in that order.
  - try: one HTTPS boot of URI, in command-line order. accepted: the boot
    image runs and returns (started with the load option "return"); refused:
    LoadFile fails and nothing runs; final: the boot image is started as a
    boot option is, and shuts the machine down.

  Files of the volume written before the policy pass, as a damaged store
  holds them:
    slot<N>.bin       the value of slot N, through the target's unsigned write
    stale-trust.bin   a non-volatile "TlsCaCertificate", as EDK II's TLS
                      configuration page stores one; in the platform build
                      the trust driver's variable policy (registered before
                      EndOfDxe) refuses it with Invalid Parameter, loaded
                      from the volume it comes too late to register one

  Output, besides the case lines:
    OT: PRESET slot<N>|stale-trust <bytes> <status>
    OT: RESULT HandlePendingTasks TRUE|FALSE
    OT: RESULT SyncHttpsCertToVEXA <status>
    OT: TRUST attributes 0x<attributes>, then @HEX trust ...; or OT: TRUST absent
    OT: HTTPS BEGIN <label> <uri>
    ... what HttpBootDxe prints ...
    OT: HTTPS LOADFILE <label> <status> <bytes>
    ... what the boot image prints ...
    OT: HTTPS END <label> LoadFile <status> <bytes> StartImage <status>

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Guid/TlsAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/LoadFile.h>

#include "../../../Feature/TolmVexaHttpsBootCertMgmtDxe/TolmVexaHttpsBootCertMgmtDxe.h"
#include "../Include/OnTargetSim.h"
#include "HttpsBootGroup.h"
#include "TestSupport.h"

namespace {

using namespace OnTarget;

// What EDK II's TlsAuthConfigDxe writes: a stale trust the component must replace.
constexpr UINT32  STALE_TRUST_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr UINTN   MAX_WORD               = 160;

/// The images of a boot from the volume, in load order.
constexpr const wchar_t  *IMAGES[] = {
  L"PlatformInfoSim.efi", L"VariablePolicySim.efi", L"IpmiKcsDxe.efi", L"KivIpmiBlobDxe.efi",
  L"TolmVexaHttpsBootCertMgmt.efi", L"TolmVexaHttpsBootTrust.efi"
};
constexpr const wchar_t  RETURN_OPTION[] = L"return";

struct HttpsEnv {
  EFI_HANDLE                               Volume   = NULL;
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service = NULL;
  EFI_LOAD_FILE_PROTOCOL                   *LoadFile = NULL;
  PoolBuffer<EFI_DEVICE_PATH_PROTOCOL>     HttpPath;
  BOOLEAN                                  Dispatched = FALSE;
};

// ---------------------------------------------------------------------------
// The platform
// ---------------------------------------------------------------------------

BOOLEAN
LoadImages (
  IN OUT TestCase  &Case,
  IN     HttpsEnv  &Env
  )
{
  EFI_STATUS                  Status;
  PLATFORM_INFO_SIM_PROTOCOL  *PlatformInfo;
  UINTN                       Index;

  for (Index = 0; Index < ARRAY_SIZE (IMAGES); Index++) {
    Status = StartVolumeImage (Env.Volume, Wide (IMAGES[Index]), NULL);
    if (!Expect (Case, !EFI_ERROR (Status), "%s: %r", Wide (IMAGES[Index]), Status)) {
      return FALSE;
    }

    if (Index == 0) {
      // Real hardware: the certificate driver starts only where IsSimics is 0.
      Status = gBS->LocateProtocol (&gPlatformInfoProtocolGuid, NULL, (VOID **)&PlatformInfo);
      if (!Expect (Case, !EFI_ERROR (Status), "platform information: %r", Status)) {
        return FALSE;
      }

      PlatformInfo->SetIsSimics (0);
    }
  }

  return TRUE;
}

/**
  Writes what the volume says the store holds before this boot: slot<N>.bin
  into slot N, stale-trust.bin as a non-volatile "TlsCaCertificate".
**/
VOID
WriteStore (
  IN OUT TestCase  &Case,
  IN     HttpsEnv  &Env
  )
{
  UINT8       Slot;
  CHAR16      Name[16];
  Blob        Value;
  EFI_STATUS  Status;

  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    UnicodeSPrint (Name, sizeof (Name), Wide (L"slot%d.bin"), Slot);
    if (!EFI_ERROR (ReadVolumeFile (Env.Volume, Name, Value))) {
      Status = WriteUnsignedSlot (Wide (SLOT_NAMES[Slot - 1]), &gTolmVariableGuid, Value.Data.Get (), Value.Size, 24);
      AsciiPrint ("OT: PRESET slot%d %u %r\r\n", Slot, (UINT32)Value.Size, Status);
      Expect (Case, !EFI_ERROR (Status), "slot %d not written: %r", Slot, Status);
    }
  }

  if (!EFI_ERROR (ReadVolumeFile (Env.Volume, Wide (L"stale-trust.bin"), Value))) {
    Status = gRT->SetVariable (Wide (EFI_TLS_CA_CERTIFICATE_VARIABLE), &gEfiTlsCaCertificateGuid, STALE_TRUST_ATTRIBUTES, Value.Size, Value.Data.Get ());
    AsciiPrint ("OT: PRESET stale-trust %u %r\r\n", (UINT32)Value.Size, Status);
    Expect (
      Case,
      Env.Dispatched ? (Status == EFI_INVALID_PARAMETER) : !EFI_ERROR (Status),
      "non-volatile \"TlsCaCertificate\" (variable policy %a): %r",
      Env.Dispatched ? "registered" : "not registered",
      Status
      );
  }
}

/**
  One pass of the platform's boot policy: HandlePendingTasks applies the
  BMC's requests, SyncHttpsCertToVEXA reports the slots back, and ReadyToBoot
  makes the trust driver derive "TlsCaCertificate" from the slots, which is
  then handed to the host.
**/
VOID
PolicyPass (
  IN OUT TestCase  &Case,
  IN     HttpsEnv  &Env
  )
{
  BOOLEAN     Pending;
  EFI_STATUS  Status;
  Blob        Trust;
  UINT32      Attributes;

  Pending = Env.Service->HandlePendingTasks ();
  AsciiPrint ("OT: RESULT HandlePendingTasks %a\r\n", Pending ? "TRUE" : "FALSE");
  Status = Env.Service->SyncHttpsCertToVEXA ();
  AsciiPrint ("OT: RESULT SyncHttpsCertToVEXA %r\r\n", Status);
  Expect (Case, Status == EFI_SUCCESS, "SyncHttpsCertToVEXA returned %r", Status);
  EfiSignalEventReadyToBoot ();

  Attributes = 0;
  Status     = ReadVariable (Wide (EFI_TLS_CA_CERTIFICATE_VARIABLE), &gEfiTlsCaCertificateGuid, Trust, &Attributes);
  if (Status == EFI_NOT_FOUND) {
    AsciiPrint ("OT: TRUST absent\r\n");
  } else if (Expect (Case, Status == EFI_SUCCESS, "\"TlsCaCertificate\": %r", Status)) {
    AsciiPrint ("OT: TRUST attributes 0x%x\r\n", Attributes);
    HexDump ("trust", Trust.Data.Get (), Trust.Size);
  }
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
  IN OUT TestCase  &Case,
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
    return Expect (Case, Env.HttpPath.Get () != NULL, "no memory");
  }

  return Expect (Case, FALSE, "no IPv4 HTTP boot handle among %u LoadFile handles", (UINT32)Count);
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

  @param[in]  ReturnAfter  Start the boot image with the load option
                           "return", so that it comes back instead of
                           shutting down.
  @param[out] Started      TRUE when the boot image was started and returned
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

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

/**
  Copies the Index-th blank-separated word of Line into Word (CHAR8).

  @retval TRUE  There is such a word and it fits.
**/
BOOLEAN
GetWord (
  IN  CONST CHAR16  *Line,
  IN  UINTN         Index,
  OUT CHAR8         (&Word)[MAX_WORD]
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

  if (Length >= MAX_WORD) {
    return FALSE;
  }

  for (UINTN Char = 0; Char < Length; Char++) {
    Word[Char] = (CHAR8)Line[Char];
  }

  Word[Length] = '\0';
  return TRUE;
}

/**
  Splits "try=LABEL,VERDICT,URI" in place into its three parts.

  @retval FALSE  Word is not a try.
**/
BOOLEAN
ParseTry (
  IN OUT CHAR8  *Word,
  OUT    CHAR8  **Label,
  OUT    CHAR8  **Verdict,
  OUT    CHAR8  **Uri
  )
{
  CHAR8  *Comma;
  CHAR8  **Parts[] = { Verdict, Uri };

  if (AsciiStrnCmp (Word, "try=", 4) != 0) {
    return FALSE;
  }

  *Label = Word + 4;
  for (CHAR8 **Part : Parts) {
    Comma = AsciiStrStr (Word, ",");
    if (Comma == NULL) {
      return FALSE;
    }

    *Comma = '\0';
    Word   = Comma + 1;
    *Part  = Word;
  }

  return TRUE;
}

} // namespace

namespace OnTarget {

BOOLEAN
IsHttpsBootGroup (
  IN CONST CHAR16  *Options
  )
{
  return HasWord (Options, Wide (L"https"));
}

VOID
RunHttpsBootGroup (
  IN EFI_HANDLE    Volume,
  IN CONST CHAR16  *Options,
  IN BOOLEAN       Dispatched
  )
{
  HttpsEnv    Env;
  EFI_STATUS  Status;
  UINTN       Index;
  CHAR8       Word[MAX_WORD];
  CHAR8       Name[MAX_WORD + 32];
  CHAR8       *Label;
  CHAR8       *Verdict;
  CHAR8       *Uri;
  BOOLEAN     Started;

  Env.Volume     = Volume;
  Env.Dispatched = Dispatched;
  {
    TestCase  Case ("https: the platform's boot policy applies the BMC's requests and derives the trust");

    if (!Dispatched && !LoadImages (Case, Env)) {
      return;
    }

    Status = gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, NULL, (VOID **)&Env.Service);
    if (!Expect (Case, !EFI_ERROR (Status), "certificate service: %r", Status)) {
      return;
    }

    WriteStore (Case, Env);
    PolicyPass (Case, Env);
    if (!FindHttpBoot (Case, Env)) {
      return;
    }
  }

  for (Index = 0; GetWord (Options, Index, Word); Index++) {
    if (!ParseTry (Word, &Label, &Verdict, &Uri)) {
      continue;
    }

    if (AsciiStrCmp (Verdict, "final") == 0) {
      HttpsBoot (Env, Label, Uri, FALSE, Started);
      continue;
    }

    AsciiSPrint (Name, sizeof (Name), "https %a: %a", Label, Verdict);
    TestCase  Case (Name);
    Status = HttpsBoot (Env, Label, Uri, TRUE, Started);
    if (AsciiStrCmp (Verdict, "accepted") == 0) {
      Expect (Case, Status == EFI_SUCCESS, "LoadFile %r", Status);
      Expect (Case, Started, "the boot image did not run and return");
    } else {
      Expect (Case, AsciiStrCmp (Verdict, "refused") == 0, "no verdict \"%a\"", Verdict);
      Expect (Case, EFI_ERROR (Status), "LoadFile succeeded");
      Expect (Case, !Started, "the boot image ran");
    }
  }
}

} // namespace OnTarget
