/** @file
  Synchronisation: the two published services and their helpers.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CERT_SYNC_H_
#define CERT_SYNC_H_

#include <Uefi.h>
#include "VexaMessages.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
  Fetches the Vexa's pending requests, validates each record (reporting only),
  then applies the records in list order.

  @retval TRUE   The controller reported a non-zero pending list size.
  @retval FALSE  No pending data, or the pending-list exchange failed.
**/
BOOLEAN
EFIAPI
HandlePendingTasks (
  VOID
  );

/**
  Applies one import request: fetches the certificate from the Vexa and
  enrols it into its slot, with the update flag raised around the write.

  @param[in] Record  The pending-task record.

  @retval EFI_SUCCESS  The certificate was fetched and stored.
  @retval Others       The first failure.
**/
EFI_STATUS
HandlePendingImport (
  IN CONST PENDING_TASK_RECORD  *Record
  );

/**
  Applies one delete request, with the update flag raised around the delete.

  @param[in] Record  The pending-task record.

  @retval EFI_NOT_FOUND  The record names no slot.
  @retval Others         The status of the delete.
**/
EFI_STATUS
HandlePendingDelete (
  IN CONST PENDING_TASK_RECORD  *Record
  );

/**
  Sends the certificates of slots 1 to 4 to the Vexa in one sync message.

  @return The send's status, EFI_OUT_OF_RESOURCES when the message could not be
          built, or the failure of making the empty record.
**/
EFI_STATUS
EFIAPI
SyncHttpsCertToVEXA (
  VOID
  );

/**
  Makes the empty sync record of a slot.

  @param[in]  CertNum   Slot number.
  @param[out] Header    Receives the slot number and a length of 0.
  @param[out] CertData  Receives NULL.

  @retval EFI_SUCCESS            The record was made.
  @retval EFI_INVALID_PARAMETER  Header or CertData is NULL.
**/
EFI_STATUS
GetEmptyHttpsDeviceCertAndSyncHeader (
  IN  UINT8                   CertNum,
  OUT HTTPS_CERT_SYNC_HEADER  *Header,
  OUT UINT8                   **CertData
  );

#ifdef __cplusplus
}
#endif

#endif
