/** @file
  HttpsBootTrustLib: makes the certificates held in the slots "HttpsCertDev1"
  to "HttpsCertDev4" (gTolmVariableGuid) the trust anchors of EDK II's HTTPS
  boot.

  EDK II's HttpDxe trusts the X.509 certificates of the EFI_SIGNATURE_LISTs in
  the variable "TlsCaCertificate" (gEfiTlsCaCertificateGuid) for every TLS
  session it opens. TolmUpdateHttpsBootTrust() derives that variable from the
  slots: the signature lists of the slots that hold a well-formed value, in
  slot order, and nothing else. With no such slot the variable is removed, so
  HTTPS boot trusts no server (fail closed).

  Call it after the slots are final for this boot, that is after
  HandlePendingTasks() of TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL, and before
  any HTTPS boot option is tried. The driver TolmVexaHttpsBootTrust calls it
  from every ReadyToBoot signal for platforms that prefer not to change their
  boot policy.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HTTPS_BOOT_TRUST_LIB_H_
#define HTTPS_BOOT_TRUST_LIB_H_

#include <Uefi.h>

///
/// Attributes of the "TlsCaCertificate" this library writes: boot-service
/// access only, volatile. The value is derived afresh at every boot and never
/// outlives one; the operating system can neither read nor change it.
///
#define HTTPS_BOOT_TRUST_ATTRIBUTES  EFI_VARIABLE_BOOTSERVICE_ACCESS

#ifdef __cplusplus
extern "C" {
#endif

/**
  Writes "TlsCaCertificate" (gEfiTlsCaCertificateGuid) as the concatenation of
  the signature lists of the slots 1 to 4 that hold a well-formed value, in
  slot order, with HTTPS_BOOT_TRUST_ATTRIBUTES. A variable of that name with
  other attributes (such as the non-volatile one TlsAuthConfigDxe writes) is
  deleted first.

  A slot value counts only when its attributes are those the certificate
  driver stores (0x23, no runtime access) and it is exactly one
  EFI_SIGNATURE_LIST of type EFI_CERT_X509_GUID with no signature header and
  one signature whose certificate is one DER SEQUENCE filling it. Any other
  value is skipped with a DEBUG_ERROR message naming the slot.

  Must be called during boot services at TPL_CALLBACK or lower.

  @retval EFI_SUCCESS           "TlsCaCertificate" holds the lists of one or
                                more slots.
  @retval EFI_NOT_FOUND         No slot holds a well-formed value; the variable
                                has been removed (or was absent).
  @retval EFI_OUT_OF_RESOURCES  The value could not be built; the variable has
                                been removed.
  @retval Others                The variable service refused the write or the
                                removal (for instance an authenticated
                                "TlsCaCertificate" that cannot be deleted
                                unsigned). Whatever stays behind was not
                                derived from the slots: the platform should not
                                offer HTTPS boot in this boot.
**/
EFI_STATUS
EFIAPI
TolmUpdateHttpsBootTrust (
  VOID
  );

#ifdef __cplusplus
}
#endif

#endif
