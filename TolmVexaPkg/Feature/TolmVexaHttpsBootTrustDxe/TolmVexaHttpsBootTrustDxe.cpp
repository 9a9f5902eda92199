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

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/DebugLib.h>
#include <Library/HttpsBootTrustLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>

namespace {

EFI_EVENT  mReadyToBootEvent;

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
  TolmUpdateHttpsBootTrust ();
}

} // namespace

extern "C" {

/**
  Registers the ReadyToBoot callback. The variable is not touched before the
  first signal: the slots are final only once the platform's policy has
  applied the Vexa's pending requests.

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

  Status = EfiCreateEventReadyToBootEx (TPL_CALLBACK, OnReadyToBoot, NULL, &mReadyToBootEvent);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: ReadyToBoot callback not registered: %r\n", __FUNCTION__, Status));
  }

  return Status;
}

} // extern "C"
