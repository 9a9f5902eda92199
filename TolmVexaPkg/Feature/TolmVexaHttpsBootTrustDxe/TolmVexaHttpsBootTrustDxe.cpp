/** @file
  TolmVexaHttpsBootTrust: derives "TlsCaCertificate" from the certificate
  slots at every ReadyToBoot signal.

  Boot Device Selection signals ReadyToBoot before it loads each boot option,
  HTTP boot options included, so the trust anchors are in place before
  HttpBootDxe opens its first TLS session, and are derived again for every
  option tried. The callbacks of one event group at one task priority run in
  no defined order: a platform that applies HandlePendingTasks() in a
  ReadyToBoot callback of its own calls TolmUpdateHttpsBootTrust() itself,
  after it, instead of using this driver.

  Nobody else plants an anchor: at its entry point, before EndOfDxe locks the
  variable policy engine, the driver registers a policy by which
  "TlsCaCertificate" cannot be created non-volatile, runtime-accessible or
  authenticated. One planted before (by an earlier firmware, or by an
  operating system as an authenticated variable) is removed by the library;
  where the variable service keeps it, the library answers
  EFI_ACCESS_DENIED and this driver refuses every HTTPS boot for the rest of
  the boot: an EFI_HTTP_BOOT_CALLBACK_PROTOCOL on each HTTP boot handle (the
  handle carrying HttpBootDxe's LoadFile, where it looks the callback up)
  fails the boot's first HTTPS request, before a TLS session is opened.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Guid/TlsAuthentication.h>
#include <Library/DebugLib.h>
#include <Library/DevicePathLib.h>
#include <Library/HttpsBootTrustLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
extern "C" {
#include <Library/VariablePolicyHelperLib.h>     // a C library whose header declares no linkage
}
#include <Protocol/DevicePath.h>
#include <Protocol/Http.h>
#include <Protocol/HttpBootCallback.h>
#include <Protocol/LoadFile.h>
#include <Protocol/VariablePolicy.h>

namespace {

///
/// Attributes "TlsCaCertificate" may not be created with: it is derived
/// afresh at every boot, for boot services only, and never signed.
///
constexpr UINT32  TRUST_CANT_HAVE = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_RUNTIME_ACCESS |
                                    EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS |
                                    EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS;
static_assert (TRUST_CANT_HAVE == 0x35, "NV, RT and both authenticated-write attributes");
static_assert ((TRUST_CANT_HAVE & HTTPS_BOOT_TRUST_ATTRIBUTES) == 0, "the library's own trust stays writable");

constexpr CHAR8  DRIVER[] = "TolmVexaHttpsBootTrust";

EFI_EVENT  mReadyToBootEvent;
EFI_EVENT  mLoadFileEvent;
VOID       *mLoadFileRegistration;

/**
  Fails every HTTPS request of HTTP boot; lets everything else through.

  @retval EFI_ACCESS_DENIED  An HTTPS request: HttpBootDxe aborts the boot.
  @retval EFI_SUCCESS        Anything else.
**/
EFI_STATUS
EFIAPI
RefuseHttps (
  IN EFI_HTTP_BOOT_CALLBACK_PROTOCOL   *This,
  IN EFI_HTTP_BOOT_CALLBACK_DATA_TYPE  DataType,
  IN BOOLEAN                           Received,
  IN UINT32                            DataLength,
  IN VOID                              *Data   OPTIONAL
  )
{
  CONST EFI_HTTP_MESSAGE  *Message;
  CONST CHAR16            *Url;
  constexpr CHAR8         SCHEME[] = "https:";
  UINTN                   Index;

  Message = (CONST EFI_HTTP_MESSAGE *)Data;
  if ((DataType != HttpBootHttpRequest) || (Message == NULL) || (Message->Data.Request == NULL) ||
      (Message->Data.Request->Url == NULL))
  {
    return EFI_SUCCESS;
  }

  Url = Message->Data.Request->Url;
  for (Index = 0; Index < sizeof (SCHEME) - 1; Index++) {
    if ((Url[Index] | 0x20) != (CHAR16)SCHEME[Index]) {
      return EFI_SUCCESS;
    }
  }

  DEBUG ((DEBUG_ERROR, "%a: HTTPS boot to %s refused: a \"TlsCaCertificate\" not derived from the slots could not be removed, no server is trusted in this boot\n", DRIVER, Url));
  return EFI_ACCESS_DENIED;
}

EFI_HTTP_BOOT_CALLBACK_PROTOCOL  mRefusal = { RefuseHttps };

/**
  Puts the refusal on Handle when it is an HTTP boot handle (its device path
  has a Uri node), in place of any callback already there.
**/
VOID
GuardHandle (
  IN EFI_HANDLE  Handle
  )
{
  EFI_STATUS                Status;
  EFI_DEVICE_PATH_PROTOCOL  *Node;
  VOID                      *Existing;

  Status = gBS->HandleProtocol (Handle, &gEfiDevicePathProtocolGuid, (VOID **)&Node);
  if (EFI_ERROR (Status)) {
    return;
  }

  while (!IsDevicePathEnd (Node) &&
         !((DevicePathType (Node) == MESSAGING_DEVICE_PATH) && (DevicePathSubType (Node) == MSG_URI_DP)))
  {
    Node = NextDevicePathNode (Node);
  }

  if (IsDevicePathEnd (Node)) {
    return;
  }

  Status = gBS->HandleProtocol (Handle, &gEfiHttpBootCallbackProtocolGuid, &Existing);
  if (EFI_ERROR (Status)) {
    Status = gBS->InstallProtocolInterface (&Handle, &gEfiHttpBootCallbackProtocolGuid, EFI_NATIVE_INTERFACE, &mRefusal);
  } else if (Existing != &mRefusal) {
    Status = gBS->ReinstallProtocolInterface (Handle, &gEfiHttpBootCallbackProtocolGuid, Existing, &mRefusal);
  }

  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: HTTP boot handle %p not guarded: %r\n", DRIVER, Handle, Status));
  }
}

/**
  Guards each HTTP boot handle that appears after the refusal was armed.
**/
VOID
EFIAPI
OnLoadFile (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  EFI_HANDLE  Handle;
  UINTN       Size;

  for ( ; ;) {
    Size = sizeof (Handle);
    if (EFI_ERROR (gBS->LocateHandle (ByRegisterNotify, NULL, mLoadFileRegistration, &Size, &Handle))) {
      return;
    }

    GuardHandle (Handle);
  }
}

/**
  Refuses every HTTPS boot for the rest of this boot: guards the HTTP boot
  handles there are and every one that comes.
**/
VOID
RefuseHttpsBoot (
  VOID
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  *Handles;
  UINTN       Count;
  UINTN       Index;

  if (mLoadFileEvent != NULL) {
    return;
  }

  DEBUG ((DEBUG_ERROR, "%a: a \"TlsCaCertificate\" not derived from the slots cannot be removed: every HTTPS boot of this boot fails closed\n", DRIVER));
  Status = gBS->CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnLoadFile, NULL, &mLoadFileEvent);
  if (!EFI_ERROR (Status)) {
    Status = gBS->RegisterProtocolNotify (&gEfiLoadFileProtocolGuid, mLoadFileEvent, &mLoadFileRegistration);
  }

  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: HTTP boot handles created from now on are not guarded: %r\n", DRIVER, Status));
  }

  Handles = NULL;
  if (!EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiLoadFileProtocolGuid, NULL, &Count, &Handles))) {
    for (Index = 0; Index < Count; Index++) {
      GuardHandle (Handles[Index]);
    }

    FreePool (Handles);
  }
}

/**
  Re-derives the trust anchors of HTTPS boot from the slots.

  @param[in] Event    The ReadyToBoot event.
  @param[in] Context  Not used.
**/
VOID
EFIAPI
OnReadyToBoot (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  if (TolmUpdateHttpsBootTrust () == EFI_ACCESS_DENIED) {
    RefuseHttpsBoot ();
  }
}

/**
  Registers the variable policy of "TlsCaCertificate". Without it (no policy
  protocol, or a refusal) the trust is still derived at every ReadyToBoot
  and a foreign value still removed or refused: the driver goes on.
**/
VOID
ProtectTrust (
  VOID
  )
{
  EFI_STATUS                      Status;
  EDKII_VARIABLE_POLICY_PROTOCOL  *Policy;

  Status = gBS->LocateProtocol (&gEdkiiVariablePolicyProtocolGuid, NULL, (VOID **)&Policy);
  if (!EFI_ERROR (Status)) {
    Status = RegisterBasicVariablePolicy (
               Policy,
               &gEfiTlsCaCertificateGuid,
               (CONST CHAR16 *)EFI_TLS_CA_CERTIFICATE_VARIABLE,
               VARIABLE_POLICY_NO_MIN_SIZE,
               VARIABLE_POLICY_NO_MAX_SIZE,
               VARIABLE_POLICY_NO_MUST_ATTR,
               TRUST_CANT_HAVE,
               VARIABLE_POLICY_TYPE_NO_LOCK
               );
  }

  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: \"TlsCaCertificate\" not protected by a variable policy: %r\n", DRIVER, Status));
  } else {
    DEBUG ((DEBUG_INFO, "%a: \"TlsCaCertificate\" cannot be created with attributes 0x%x\n", DRIVER, TRUST_CANT_HAVE));
  }
}

} // namespace

extern "C" {

/**
  Registers the variable policy of "TlsCaCertificate" and the ReadyToBoot
  callback. The variable is not touched before the first signal: the slots
  are final only once the platform's policy has applied the Vexa's pending
  requests.

  @param[in] ImageHandle  The driver's image.
  @param[in] SystemTable  The system table.

  @retval EFI_SUCCESS  The callback is registered.
  @retval Others       The event could not be created; the driver unloads.
**/
EFI_STATUS
EFIAPI
HttpsBootTrustEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;

  ProtectTrust ();
  Status = EfiCreateEventReadyToBootEx (TPL_CALLBACK, OnReadyToBoot, NULL, &mReadyToBootEvent);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: ReadyToBoot callback not registered: %r\n", __FUNCTION__, Status));
  }

  return Status;
}

} // extern "C"
