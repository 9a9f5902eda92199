/** @file
  Synchronisation: the two published services.

  SyncHttpsCertToVEXA pushes the certificates of slots 1 to 4 to the Vexa in
  one message; HandlePendingTasks applies the Vexa's pending import and delete
  requests to the slots, with the update flag raised around every store write.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TolmVexaHttpsBootCertMgmtDxe.h"
#include "PoolBuffer.h"

#include <Guid/TolmVariable.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>

using TolmVexa::PoolBuffer;

namespace {

///
/// Slot that carries the one empty record when no certificate is stored.
///
constexpr UINT8  EMPTY_RECORD_SLOT = HTTPS_CERT_SLOT_FIRST;

/**
  Appends bytes to the end of the sync payload, growing it into a new buffer.

  @param[in,out] Payload      The payload; replaced by the grown buffer.
  @param[in,out] PayloadSize  Bytes in the payload; grows by Size.
  @param[in]     Bytes        What to append.
  @param[in]     Size         How many bytes.

  @retval TRUE   Appended.
  @retval FALSE  No memory (or the payload would outgrow its 32-bit size
                 field); the payload is unchanged.
**/
BOOLEAN
AppendToPayload (
  IN OUT PoolBuffer<UINT8>  &Payload,
  IN OUT UINT32             &PayloadSize,
  IN     CONST VOID         *Bytes,
  IN     UINT32             Size
  )
{
  UINT8  *Grown;

  if (Size > MAX_UINT32 - PayloadSize) {
    return FALSE;
  }

  Grown = (UINT8 *)AllocatePool ((UINTN)PayloadSize + Size);
  if (Grown == NULL) {
    return FALSE;
  }

  if (PayloadSize != 0) {
    CopyMem (Grown, Payload.Get (), PayloadSize);
  }

  CopyMem (Grown + PayloadSize, Bytes, Size);
  Payload.Reset (Grown);
  PayloadSize += Size;
  return TRUE;
}

} // namespace

EFI_STATUS
GetEmptyHttpsDeviceCertAndSyncHeader (
  IN  UINT8                   CertNum,
  OUT HTTPS_CERT_SYNC_HEADER  *Header,
  OUT UINT8                   **CertData
  )
{
  if ((Header == NULL) || (CertData == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  Header->CertNum  = CertNum;
  Header->CertSize = 0;
  *CertData        = NULL;

  DEBUG ((DEBUG_INFO, "%a(%d): Empty certificate of HTTP Dev #(%d) is created.\n", __FUNCTION__, __LINE__, CertNum));
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SyncHttpsCertToVEXA (
  VOID
  )
{
  EFI_STATUS                            Status;
  PoolBuffer<HTTPS_BOOT_POLICY_HEADER>  PolicyHeader;
  PoolBuffer<UINT8>                     Payload;
  PoolBuffer<UINT8>                     Message;
  HTTPS_CERT_SYNC_HEADER                RecordHeader;
  UINT32                                TotalSize;
  UINT16                                CertCount;
  UINT8                                 CertNum;

  PolicyHeader.Reset ((HTTPS_BOOT_POLICY_HEADER *)AllocateZeroPool (sizeof (HTTPS_BOOT_POLICY_HEADER)));
  if (PolicyHeader.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  PolicyHeader.Get ()->SubCommand = HTTPS_CERT_SUBCMD_SYNC;
  PolicyHeader.Get ()->Reserved   = 0;
  TotalSize                       = 0;
  CertCount                       = 0;

  for (CertNum = HTTPS_CERT_SLOT_FIRST; CertNum <= HTTPS_CERT_SLOT_LAST; CertNum++) {
    UINT8  *Certificate;

    Certificate = NULL;
    Status      = GetHttpsDeviceCertAndSyncHeader (CertNum, &RecordHeader, &Certificate);
    PoolBuffer<UINT8>  CertData (Certificate);

    if (Status == EFI_NOT_FOUND) {
      DEBUG ((
        DEBUG_ERROR,
        "%a(%d): Cert of HTTP dev (%d) does NOT exist. No need to sync cert of this device to Vexa.\n",
        __FUNCTION__,
        __LINE__,
        CertNum
        ));
      continue;
    }

    if (EFI_ERROR (Status) || (CertData.Get () == NULL)) {
      DEBUG ((
        DEBUG_ERROR,
        "%a(%d): Failed to get cert (0x%x) of HTTP dev (%d) to sync to Vexa (%r).\n",
        __FUNCTION__,
        __LINE__,
        (UINT32)(UINTN)CertData.Get (),
        CertNum,
        Status
        ));
      continue;
    }

    DEBUG ((DEBUG_ERROR, "%a(%d): Found cert of HTTPS dev (%d). Try to sync it to Vexa.\n", __FUNCTION__, __LINE__, CertNum));

    if (!AppendToPayload (Payload, TotalSize, &RecordHeader, sizeof (RecordHeader)) ||
        !AppendToPayload (Payload, TotalSize, CertData.Get (), RecordHeader.CertSize))
    {
      DEBUG ((
        DEBUG_ERROR,
        "%a(%d): Failed to allocate for cert of HTTP dev (%d). Cannot sync it to Vexa.\n",
        __FUNCTION__,
        __LINE__,
        CertNum
        ));
      return EFI_OUT_OF_RESOURCES;
    }

    CertCount++;
  }

  if (CertCount == 0) {
    UINT8  *NoCertificate;

    NoCertificate = NULL;
    Status        = GetEmptyHttpsDeviceCertAndSyncHeader (EMPTY_RECORD_SLOT, &RecordHeader, &NoCertificate);
    if (EFI_ERROR (Status)) {
      DEBUG ((
        DEBUG_ERROR,
        "%a(%d): Failed to get EMPTY cert of HTTP dev (%d) to sync to Vexa (%r).\n",
        __FUNCTION__,
        __LINE__,
        EMPTY_RECORD_SLOT,
        Status
        ));
      return Status;
    }

    DEBUG ((DEBUG_ERROR, "%a(%d): Create empty cert of HTTP dev (%d). Try to sync it to Vexa.\n", __FUNCTION__, __LINE__, EMPTY_RECORD_SLOT));

    if (!AppendToPayload (Payload, TotalSize, &RecordHeader, sizeof (RecordHeader))) {
      DEBUG ((
        DEBUG_ERROR,
        "%a(%d): Failed to allocate for EMPTY cert of HTTP dev (%d). Cannot sync it to Vexa.\n",
        __FUNCTION__,
        __LINE__,
        EMPTY_RECORD_SLOT
        ));
      return EFI_OUT_OF_RESOURCES;
    }

    CertCount = 1;
  }

  DEBUG ((DEBUG_ERROR, "%a(%d): Total cert to sync to Vexa = (%d)\n", __FUNCTION__, __LINE__, CertCount));

  if (TotalSize > MAX_UINT32 - sizeof (HTTPS_BOOT_POLICY_HEADER)) {
    return EFI_OUT_OF_RESOURCES;
  }

  PolicyHeader.Get ()->TotalSize = TotalSize;
  PolicyHeader.Get ()->CertCount = CertCount;

  Message.Reset ((UINT8 *)AllocatePool (sizeof (HTTPS_BOOT_POLICY_HEADER) + TotalSize));
  if (Message.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  CopyMem (Message.Get (), PolicyHeader.Get (), sizeof (HTTPS_BOOT_POLICY_HEADER));
  CopyMem (Message.Get () + sizeof (HTTPS_BOOT_POLICY_HEADER), Payload.Get (), TotalSize);

  Status = SendHttpsBootPolicy (Message.Get (), (UINT32)(sizeof (HTTPS_BOOT_POLICY_HEADER) + TotalSize));
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a(%d): Failed to sync Https certs to Vexa: (%r).\n", __FUNCTION__, __LINE__, Status));
  }

  return Status;
}

EFI_STATUS
HandlePendingImport (
  IN CONST PENDING_TASK_RECORD  *Record
  )
{
  EFI_STATUS         Status;
  UINT8              CertNum;
  UINT16             CertSize;
  CONST CHAR16       *VariableName;
  PoolBuffer<UINT8>  Certificate;

  CertNum  = Record->CertNum;
  CertSize = Record->CertSize;

  VariableName = TolmGetHttpDevCertStr (CertNum);
  if (VariableName == NULL) {
    DEBUG ((DEBUG_ERROR, "%a: Failed to get string of cert #(%d).\n", __FUNCTION__, CertNum));
    return EFI_NOT_FOUND;
  }

  Certificate.Reset ((UINT8 *)AllocatePool (CertSize));
  if (Certificate.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = GetImportCert (CertNum, CertSize, Certificate.Get ());
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a(%d): Get Certificate %d failed!\n", __FUNCTION__, __LINE__, CertNum));
    return Status;
  }

  SetHttpsCertUpdateFlag (TRUE);
  Status = TolmEnrollX509toVariable (VariableName, Certificate.Get (), CertSize, NULL);
  SetHttpsCertUpdateFlag (FALSE);

  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a(%d): Fail to store Certificate %d into flash: %r!\n", __FUNCTION__, __LINE__, CertNum, Status));
  }

  return Status;
}

EFI_STATUS
HandlePendingDelete (
  IN CONST PENDING_TASK_RECORD  *Record
  )
{
  EFI_STATUS    Status;
  UINT8         CertNum;
  CONST CHAR16  *VariableName;

  CertNum      = Record->CertNum;
  VariableName = TolmGetHttpDevCertStr (CertNum);
  if (VariableName == NULL) {
    DEBUG ((DEBUG_ERROR, "HandlePendingDelete: Get Certificate %d String failed!\n", CertNum));
    return EFI_NOT_FOUND;
  }

  DEBUG ((DEBUG_INFO, "%a(%d): Trying to delete CertNum(%d) triggered by Vexa request\n", __FUNCTION__, __LINE__, CertNum));

  SetHttpsCertUpdateFlag (TRUE);
  Status = TolmUpdateHttpsCert (VariableName, &gTolmVariableGuid, NULL, 0);
  SetHttpsCertUpdateFlag (FALSE);

  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "HandlePendingDelete: Failed to clear Cerficate %d in flash by Vexa request. (%r)\n", CertNum, Status));
  }

  return Status;
}

BOOLEAN
EFIAPI
HandlePendingTasks (
  VOID
  )
{
  UINT8                      *List;
  UINT32                     ListSize;
  UINTN                      RecordCount;
  UINTN                      Index;
  CONST PENDING_TASK_RECORD  *Records;
  EFI_STATUS                 Status;

  List     = NULL;
  ListSize = 0;
  GetPendingTaskList (&List, &ListSize);
  PoolBuffer<UINT8>  ListGuard (List);

  if (ListSize == 0) {
    return FALSE;
  }

  //
  // A trailing part shorter than a record is ignored. Without a copy of the
  // list (it could not be allocated) nothing is processed.
  //
  RecordCount = ListSize / sizeof (PENDING_TASK_RECORD);
  Records     = (CONST PENDING_TASK_RECORD *)ListGuard.Get ();
  if (Records == NULL) {
    return TRUE;
  }

  for (Index = 0; Index < RecordCount; Index++) {
    if (EFI_ERROR (ValidatePendingTaskRecord (&Records[Index]))) {
      DEBUG ((DEBUG_ERROR, "HandlePendingTasks: Validate Pending Task %dth record failed!\n", (UINT32)(Index + 1)));
    }
  }

  if (RecordCount > 0) {
    DEBUG ((DEBUG_INFO, "%a(%d): pRecord->Operation(0x%x)\n", __FUNCTION__, __LINE__, Records[0].Operation));
  }

  for (Index = 0; Index < RecordCount; Index++) {
    switch (Records[Index].Operation) {
      case PENDING_OP_IMPORT:
        Status = HandlePendingImport (&Records[Index]);
        DEBUG ((DEBUG_INFO, "%a(%d): HandlePendingImport returned (%r)\n", __FUNCTION__, __LINE__, Status));
        break;

      case PENDING_OP_DELETE:
        Status = HandlePendingDelete (&Records[Index]);
        DEBUG ((DEBUG_ERROR, "%a(%d): HandlePendingDelete returned (%r)\n", __FUNCTION__, __LINE__, Status));
        break;

      default:
        DEBUG ((DEBUG_ERROR, "%a(%d): Unknown request from Vexa\n", __FUNCTION__, __LINE__));
        break;
    }
  }

  return TRUE;
}
