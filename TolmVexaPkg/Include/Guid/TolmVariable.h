/** @file
  Vendor GUID of the HTTPS-boot certificate slot variables ("HttpsCertDev1" to
  "HttpsCertDev4") and of the volatile update flag variable "TolmPr", and the
  default signature owner of a stored certificate.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_VARIABLE_GUID_H_
#define TOLM_VARIABLE_GUID_H_

#define TOLM_VARIABLE_GUID \
  { 0x55E1FC65, 0xA898, 0x4214, { 0xA8, 0xA9, 0x1A, 0xE8, 0x39, 0xCD, 0x32, 0x9A } }

#define HTTPS_CERT_DEFAULT_OWNER_GUID \
  { 0xF3F39104, 0x7D8C, 0x4FCE, { 0x80, 0xBC, 0x40, 0xD0, 0x40, 0xBE, 0x7A, 0xE4 } }

#ifdef __cplusplus
extern "C" {
#endif

extern EFI_GUID  gTolmVariableGuid;
extern EFI_GUID  gHttpsCertDefaultOwnerGuid;

#ifdef __cplusplus
}
#endif

#endif
