/** @file
  HttpsBootTrustLib: makes the certificates held in the slots "HttpsCertDev1"
  to "HttpsCertDev4" (gTolmVariableGuid) the trust anchors of EDK II's HTTPS
  boot.

  EDK II's HttpDxe trusts the X.509 certificates of the EFI_SIGNATURE_LISTs in
  the variable "TlsCaCertificate" (gEfiTlsCaCertificateGuid) for every TLS
  session it opens. TolmUpdateHttpsBootTrust() derives that variable from the
  slots: the signature lists of the slots that hold a well-formed value whose
  certificate TLS takes, in slot order, and nothing else. With no such slot
  the variable is removed, so HTTPS boot trusts no server (fail closed).

  Call it after the slots are final for this boot, that is after
  HandlePendingTasks() of TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL, and before
  any HTTPS boot option is tried. The driver TolmVexaHttpsBootTrust calls it
  from every ReadyToBoot signal for platforms that prefer not to change their
  boot policy.

  The driver also keeps anyone else from planting an anchor: at its entry
  point it registers a variable policy by which "TlsCaCertificate" cannot be
  created non-volatile, runtime-accessible or authenticated, and it refuses
  every HTTPS boot of a boot in which a foreign "TlsCaCertificate" cannot be
  removed (EFI_ACCESS_DENIED below). A platform that calls this library
  without the driver registers that policy itself before EndOfDxe (the
  policy engine locks then) and acts on EFI_ACCESS_DENIED.

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
  driver stores (0x23, no runtime access), it is exactly one
  EFI_SIGNATURE_LIST of type EFI_CERT_X509_GUID with no signature header and
  one signature whose certificate is one DER SEQUENCE filling it, and TLS
  takes the certificate: the slots about to be written are handed, as the
  last step, to SetData (EfiTlsConfigDataTypeCACertificate) of a child of
  the TLS service binding, the check HttpDxe makes of every entry. Any other
  value is skipped with a DEBUG_ERROR message naming the slot. TlsDxe keeps a
  certificate it took for the rest of the boot, whichever child it came
  through. Without a TLS service binding (no HTTPS boot possible) the
  framing check alone decides.

  A "TlsCaCertificate" with attributes other than
  HTTPS_BOOT_TRUST_ATTRIBUTES is removed: an authenticated one with an
  authenticated delete (the current time, no signature), and whatever that
  cannot remove with a delete of attributes 0, which a variable service
  without authenticated variables takes.

  Must be called during boot services at TPL_CALLBACK or lower.

  @retval EFI_SUCCESS           "TlsCaCertificate" holds the lists of one or
                                more slots.
  @retval EFI_NOT_FOUND         No slot holds a well-formed value; the variable
                                has been removed (or was absent).
  @retval EFI_NOT_FOUND         Also: TLS refused every slot's certificate.
  @retval EFI_OUT_OF_RESOURCES  The value could not be built; the variable has
                                been removed.
  @retval EFI_ACCESS_DENIED     A "TlsCaCertificate" not derived from the slots
                                (for instance an authenticated one its creator
                                signs for) cannot be removed and stays: HTTPS
                                boot must not be offered in this boot.
  @retval Others                No TLS child could be made, or the variable
                                service refused the write; the variable has
                                been removed.
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
