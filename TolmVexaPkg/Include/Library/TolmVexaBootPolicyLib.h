/** @file
  TolmVexaBootPolicyLib: the calls a platform's boot manager makes so that
  HTTPS boot trusts what the Vexa provisioned, in the one order that is
  right, with one console line per step.

  Call TolmVexaBootPolicyApply() from the platform's boot manager after the
  console is connected and before Boot Device Selection tries any boot option,
  that is in PlatformBootManagerAfterConsole(). It

    1. locates TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL (the certificate
       driver's services);
    2. calls HandlePendingTasks(): the Vexa's queued imports and deletes are
       applied to the slots "HttpsCertDev1".."HttpsCertDev4";
    3. calls SyncHttpsCertToVEXA(): the Vexa learns what the slots now hold;
    4. calls TolmUpdateHttpsBootTrust() (HttpsBootTrustLib): "TlsCaCertificate"
       becomes exactly the slots' certificates.

  Each step writes one line on the console (ConOut) and in the debug log:

    TolmVexaBootPolicy: <step> <result> (<microseconds> us)

  When the certificate driver is not there (it declines on a platform that is
  a Simics simulation, or the platform did not include it), steps 2 and 3 are
  skipped with a line saying so, and step 4 still runs: the slots are written
  by the certificate driver alone, so what they hold is what the Vexa last
  provisioned, and deriving the trust from them keeps HTTPS boot trusting
  exactly the slots (no anchor left behind by an earlier boot or another
  tool survives).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_VEXA_BOOT_POLICY_LIB_H_
#define TOLM_VEXA_BOOT_POLICY_LIB_H_

#include <Uefi.h>

///
/// The prefix of every console line of this library.
///
#define TOLM_VEXA_BOOT_POLICY_PREFIX  "TolmVexaBootPolicy: "

#ifdef __cplusplus
extern "C" {
#endif

/**
  Applies the Vexa's pending requests, reports the slots back to it and
  derives the trust anchors of HTTPS boot from the slots, in that order, each
  step named on the console with its result.

  Must be called during boot services at TPL_APPLICATION, after the console is
  connected and before any boot option is tried.

  @retval EFI_SUCCESS    "TlsCaCertificate" holds the certificates of one or
                         more slots.
  @retval EFI_NOT_FOUND  No slot holds a well-formed certificate: HTTPS boot
                         trusts no server in this boot.
  @retval Others         TolmUpdateHttpsBootTrust() could not bring
                         "TlsCaCertificate" into that state: the platform
                         should not offer HTTPS boot in this boot.
**/
EFI_STATUS
EFIAPI
TolmVexaBootPolicyApply (
  VOID
  );

#ifdef __cplusplus
}
#endif

#endif
