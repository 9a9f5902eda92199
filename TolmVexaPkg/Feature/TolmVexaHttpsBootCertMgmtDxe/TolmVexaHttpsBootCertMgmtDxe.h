/** @file
  TolmVexaHttpsBootCertMgmt: keeps the HTTPS-boot certificates of the four
  certificate slots ("HttpsCertDev1" to "HttpsCertDev4") in step with the Vexa
  management controller.

  This is the driver's chief header: the protocol it publishes, its GUID, and
  the frame operations. The subsystem headers below declare the rest.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_DXE_H_
#define TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_DXE_H_

#include <Uefi.h>

#define TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL_GUID \
  { 0xF06D6347, 0x6482, 0x4C05, { 0x78, 0xA0, 0x8E, 0x0C, 0x00, 0xC9, 0xB5, 0x81 } }

/**
  Fetches the Vexa's pending certificate requests and applies each to the
  certificate slots, in list order.

  @retval TRUE   The controller reported a non-empty pending list.
  @retval FALSE  The controller reported no pending data, or the exchange failed.
**/
typedef
BOOLEAN
(EFIAPI *TOLM_HANDLE_PENDING_TASKS)(
  VOID
  );

/**
  Sends every certificate stored in slots 1 to 4 to the Vexa in one message;
  one empty record for slot 1 when no slot holds a certificate.

  @retval EFI_SUCCESS           The transport delivered the message.
  @retval EFI_OUT_OF_RESOURCES  The message could not be built; nothing was sent.
  @retval Others                The transport's failure.
**/
typedef
EFI_STATUS
(EFIAPI *TOLM_SYNC_HTTPS_CERT_TO_VEXA)(
  VOID
  );

///
/// The published interface: exactly two function pointers, no revision and no
/// interface argument.
///
typedef struct {
  TOLM_HANDLE_PENDING_TASKS       HandlePendingTasks;
  TOLM_SYNC_HTTPS_CERT_TO_VEXA    SyncHttpsCertToVEXA;
} TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL;

STATIC_ASSERT (sizeof (TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL) == 2 * sizeof (VOID *), "exactly two members");
STATIC_ASSERT (OFFSET_OF (TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL, SyncHttpsCertToVEXA) == sizeof (VOID *), "member order");

#ifdef __cplusplus
extern "C" {
#endif

extern EFI_GUID  gTolmVexaHttpsBootCertMgmtProtocolGuid;

///
/// Support level at which the driver runs (real hardware).
///
#define BMC_SUPPORT_LEVEL_VEXA  8

/**
  Returns the management controller support level of the platform.

  @retval 8  Real hardware with the platform-information protocol present.
  @retval 0  Anything else; the driver declines.
**/
UINT8
GetBmcSupportLevel (
  VOID
  );

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
  );

#ifdef __cplusplus
}
#endif

#include "VexaMessages.h"
#include "CertStore.h"
#include "CertSync.h"

#endif
