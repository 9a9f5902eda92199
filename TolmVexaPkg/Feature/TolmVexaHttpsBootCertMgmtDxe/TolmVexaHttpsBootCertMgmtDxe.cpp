/** @file
  Driver entry and service publication: the support-level gate and the
  installation of TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL on a handle of its own.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TolmVexaHttpsBootCertMgmtDxe.h"

#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/PlatformInfo.h>

///
/// The one published instance. Its members are filled by the module entry
/// immediately before installation; it is never uninstalled.
///
TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  mHttpsBootCertMgmtProtocol;

/**
  Returns the management controller support level of the platform.

  The driver runs only on real hardware, which the platform-information
  protocol tells apart from a Simics simulation. A provider that cannot hand
  out its record is treated like an absent one: the driver declines.

  @retval 8  Real hardware.
  @retval 0  No platform information, no record, or a Simics simulation.
**/
UINT8
GetBmcSupportLevel (
  VOID
  )
{
  EFI_STATUS              Status;
  PLATFORM_INFO_PROTOCOL  *PlatformInfoProtocol;
  PLATFORM_INFO           *PlatformInfo;

  PlatformInfoProtocol = NULL;
  Status               = gBS->LocateProtocol (&gPlatformInfoProtocolGuid, NULL, (VOID **)&PlatformInfoProtocol);
  if (EFI_ERROR (Status) || (PlatformInfoProtocol == NULL)) {
    return 0;
  }

  PlatformInfo = NULL;
  Status       = PlatformInfoProtocol->GetPlatformInfo (&PlatformInfo);
  if (EFI_ERROR (Status) || (PlatformInfo == NULL)) {
    return 0;
  }

  if (PlatformInfo->IsSimics != 0) {
    DEBUG ((DEBUG_ERROR, "[%a] Simics BmcType = Unknown.\n", __FUNCTION__));
    return 0;
  }

  DEBUG ((DEBUG_INFO, "[%a]: BmcType=%d\n", __FUNCTION__, BMC_SUPPORT_LEVEL_VEXA));
  return BMC_SUPPORT_LEVEL_VEXA;
}

/**
  Module entry: checks the support level and publishes the protocol on a new
  handle.

  @param[in] ImageHandle  The driver's image handle.
  @param[in] SystemTable  The EFI system table.

  @retval EFI_SUCCESS      The protocol is published.
  @retval EFI_UNSUPPORTED  The platform is not one this driver serves.
  @retval Others           The installation failed.
**/
EFI_STATUS
EFIAPI
HttpsBootCertMgmtEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_HANDLE  Handle;

  ASSERT_PROTOCOL_ALREADY_INSTALLED (NULL, &gTolmVexaHttpsBootCertMgmtProtocolGuid);

  if (GetBmcSupportLevel () != BMC_SUPPORT_LEVEL_VEXA) {
    return EFI_UNSUPPORTED;
  }

  mHttpsBootCertMgmtProtocol.HandlePendingTasks  = HandlePendingTasks;
  mHttpsBootCertMgmtProtocol.SyncHttpsCertToVEXA = SyncHttpsCertToVEXA;

  Handle = NULL;
  return gBS->InstallMultipleProtocolInterfaces (
                &Handle,
                &gTolmVexaHttpsBootCertMgmtProtocolGuid,
                &mHttpsBootCertMgmtProtocol,
                NULL
                );
}
