/** @file
  Certificate store: the four slot variables "HttpsCertDev1" to
  "HttpsCertDev4" under gTolmVariableGuid, the volatile update flag "TolmPr",
  and the operations that read, enrol and delete a slot.

  A stored slot value is one EFI_SIGNATURE_LIST of type EFI_CERT_X509_GUID
  holding one signature: 28 bytes of list header, no signature header, the
  16-byte owner GUID, then the DER certificate at byte 44.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CERT_STORE_H_
#define CERT_STORE_H_

#include <Uefi.h>
#include "VexaMessages.h"

#define HTTPS_CERT_SLOT_FIRST  1
#define HTTPS_CERT_SLOT_LAST   4

///
/// Attributes of a certificate slot variable: NV | BS | time-based authenticated.
///
#define HTTPS_CERT_VARIABLE_ATTRIBUTES  (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | \
                                         EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS)

///
/// Name and attributes of the update flag variable, raised around every write
/// or delete of a slot.
///
#define HTTPS_CERT_UPDATE_FLAG_NAME        L"TolmPr"
#define HTTPS_CERT_UPDATE_FLAG_ATTRIBUTES  EFI_VARIABLE_BOOTSERVICE_ACCESS

///
/// Bytes in front of the certificate in a stored slot value: the list header
/// (28) and the signature owner (16).
///
#define HTTPS_CERT_STORED_PREFIX_SIZE  44

///
/// Length of the time-based authentication descriptor in front of every write.
///
#define HTTPS_CERT_AUTH_DESCRIPTOR_SIZE  40

#ifdef __cplusplus
extern "C" {
#endif

/**
  Returns the variable name of a certificate slot.

  @param[in] CertNum  Slot number.

  @return "HttpsCertDev1" .. "HttpsCertDev4" for 1..4 (static text), NULL for
          any other number (after a message).
**/
CONST CHAR16 *
TolmGetHttpDevCertStr (
  IN UINT8  CertNum
  );

/**
  Raises (one byte 0x01) or lowers (deletes) the "TolmPr" update flag. The
  variable service's status is dropped; a failed lower is tried once more.

  @param[in] Raise  TRUE to raise, FALSE to lower.
**/
VOID
SetHttpsCertUpdateFlag (
  IN BOOLEAN  Raise
  );

/**
  Reads the certificate of one slot.

  @param[in]  CertNum   Slot number.
  @param[out] Header    Receives the slot number and the certificate length.
  @param[out] CertData  Receives a pool copy of the DER bytes, owned by the
                        caller.

  @retval EFI_SUCCESS            The certificate was read.
  @retval EFI_INVALID_PARAMETER  NULL argument or no such slot.
  @retval EFI_NOT_FOUND          The slot is empty.
  @retval EFI_OUT_OF_RESOURCES   An allocation failed.
  @retval EFI_VOLUME_CORRUPTED   The stored value is too short to hold a
                                 certificate.
  @retval Others                 GetVariable's error.
**/
EFI_STATUS
GetHttpsDeviceCertAndSyncHeader (
  IN  UINT8                   CertNum,
  OUT HTTPS_CERT_SYNC_HEADER  *Header,
  OUT UINT8                   **CertData
  );

/**
  Appends one EFI_SIGNATURE_LIST holding one signature to a buffer of lists.

  @param[in]     X509Data       Signature data.
  @param[in]     X509DataSize   Its length.
  @param[in]     SignatureOwner Owner GUID or NULL (field left zero).
  @param[in]     SignatureType  List type.
  @param[in,out] SignatureList  Buffer of lists, NULL to start a new one.
  @param[in,out] SignatureListSize  Bytes used in the buffer.

  @retval EFI_SUCCESS            The list was appended.
  @retval EFI_INVALID_PARAMETER  X509Data is NULL.
  @retval EFI_OUT_OF_RESOURCES   No buffer; the caller's buffer and size are
                                 unchanged.
**/
EFI_STATUS
CreateSignatureList (
  IN     CONST UINT8     *X509Data,
  IN     UINTN           X509DataSize,
  IN     CONST EFI_GUID  *SignatureOwner OPTIONAL,
  IN     CONST EFI_GUID  *SignatureType,
  IN OUT UINT8           **SignatureList,
  IN OUT UINTN           *SignatureListSize
  );

/**
  Puts a 40-byte time-based authentication descriptor (no certificate data) in
  front of a pool buffer, replacing and freeing the caller's buffer.

  @param[in,out] DataSize  Size of the data; grows by 40.
  @param[in,out] Data      Pool buffer given up by the caller, or NULL.

  @retval EFI_SUCCESS            The new payload replaced the old buffer.
  @retval EFI_INVALID_PARAMETER  NULL pointer argument.
  @retval EFI_OUT_OF_RESOURCES   No memory; size and buffer unchanged.
  @retval Others                 GetTime's error; size and buffer unchanged.
**/
EFI_STATUS
CreateTimeBasedPayload (
  IN OUT UINTN  *DataSize,
  IN OUT UINT8  **Data
  );

/**
  Writes (data given) or deletes (data NULL) a time-based authenticated
  variable with attributes 0x23.

  @param[in] VariableName  Variable name.
  @param[in] VendorGuid    Vendor GUID.
  @param[in] Data          New value, or NULL to delete.
  @param[in] DataSize      Length of Data; ignored for a delete.

  @retval EFI_SUCCESS           Written, or deleted, or already absent.
  @retval EFI_OUT_OF_RESOURCES  No memory; nothing written.
  @retval Others                GetTime's or SetVariable's error.
**/
EFI_STATUS
TolmUpdateHttpsCert (
  IN CONST CHAR16    *VariableName,
  IN CONST EFI_GUID  *VendorGuid,
  IN CONST UINT8     *Data OPTIONAL,
  IN UINTN           DataSize
  );

/**
  Stores one DER certificate as the whole value of a slot variable under
  gTolmVariableGuid.

  @param[in] VariableName         Slot variable name.
  @param[in] X509Data             DER bytes; only read.
  @param[in] X509DataSize         Their length.
  @param[in] pSignatureOwnerGuid  Owner, or NULL for the default owner.

  @retval EFI_SUCCESS            The certificate is stored.
  @retval EFI_INVALID_PARAMETER  No data or size 0.
  @retval Others                 The failure of building or writing the value.
**/
EFI_STATUS
TolmEnrollX509toVariable (
  IN CONST CHAR16    *VariableName,
  IN CONST UINT8     *X509Data,
  IN UINTN           X509DataSize,
  IN CONST EFI_GUID  *pSignatureOwnerGuid OPTIONAL
  );

#ifdef __cplusplus
}
#endif

#endif
