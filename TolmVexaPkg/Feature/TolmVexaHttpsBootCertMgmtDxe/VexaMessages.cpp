/** @file
  Controller messaging: the transport call into KIV_PROTOCOL, and the
  pending-list (0xA0), import-certificate (0xA2) and sync (0xA1) exchanges.

  Every response buffer comes from the transport's pool allocation and is
  released here, on every path, by the operation that asked for it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TolmVexaHttpsBootCertMgmtDxe.h"

#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PerformanceLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/KivProtocol.h>

namespace {

constexpr CHAR8  KIV_PERF_TOKEN[]  = "KIV Multi Transaction Info";
constexpr CHAR8  KIV_PERF_MODULE[] = "KIV DXE";

/**
  Holds the response buffer of one exchange and releases it with the Boot
  Services FreePool when the exchange's operation returns.
**/
class KivResponse {
public:
  KivResponse (
    )
    : Buffer (nullptr), Size (0), Status (0)
  {
  }

  ~KivResponse (
    )
  {
    if (Buffer != nullptr) {
      gBS->FreePool (Buffer);
    }
  }

  KivResponse (const KivResponse &)            = delete;
  KivResponse &operator= (const KivResponse &) = delete;

  UINT8     *Buffer;
  UINT32    Size;
  UINT16    Status;
};

} // namespace

EFI_STATUS
SendKivCommand (
  IN  UINT16  Command,
  OUT UINT8   **ResponseBuffer,
  OUT UINT32  *ResponseBufferSize,
  IN  UINT8   *RequestBuffer,
  IN  UINT32  RequestBufferSize,
  OUT UINT16  *ResponseStatus
  )
{
  EFI_STATUS    Status;
  KIV_PROTOCOL  *Kiv;

  Kiv    = NULL;
  Status = gBS->LocateProtocol (&gKivProtocolGuid, NULL, (VOID **)&Kiv);
  if (EFI_ERROR (Status) || (Kiv == NULL)) {
    return EFI_NOT_FOUND;
  }

  PERF_START (NULL, KIV_PERF_TOKEN, KIV_PERF_MODULE, 0);
  Status = Kiv->SendCommand (
                  Kiv,
                  Command,
                  RequestBuffer,
                  RequestBufferSize,
                  ResponseBuffer,
                  ResponseBufferSize,
                  ResponseStatus
                  );
  PERF_END (NULL, KIV_PERF_TOKEN, KIV_PERF_MODULE, 0);

  return Status;
}

VOID
GetPendingTaskList (
  OUT UINT8   **PendingList,
  OUT UINT32  *PendingListSize
  )
{
  EFI_STATUS                    Status;
  PENDING_LIST_REQUEST          Request;
  KivResponse                   Response;
  PENDING_LIST_RESPONSE_HEADER  Header;
  UINT32                        ListSize;

  ZeroMem (&Request, sizeof (Request));
  Request.SubCommand = HTTPS_CERT_SUBCMD_PENDING_LIST;

  Status = SendKivCommand (
             KIV_CMD_HTTPS_CERT_QUERY,
             &Response.Buffer,
             &Response.Size,
             (UINT8 *)&Request,
             sizeof (Request),
             &Response.Status
             );
  DEBUG ((
    DEBUG_INFO,
    "%a(%d): IPMI command Status (%r) ResponseStatus(0x%x) ResponseBufferSize (0x%x)\n",
    __FUNCTION__,
    __LINE__,
    Status,
    Response.Status,
    Response.Size
    ));

  *PendingList     = NULL;
  *PendingListSize = 0;

  if (EFI_ERROR (Status) || (Response.Status != 0)) {
    DEBUG ((DEBUG_ERROR, "GetPendingTaskList: error status returned from the KIV command.\n"));
    return;
  }

  //
  // A transport that claims a size but hands out no buffer has, for us, sent
  // nothing to read.
  //
  if ((Response.Buffer == NULL) || (Response.Size < sizeof (PENDING_LIST_RESPONSE_HEADER))) {
    DEBUG ((DEBUG_ERROR, "GetPendingTaskList: response buffer size too small.\n"));
    return;
  }

  if (Response.Buffer[OFFSET_OF (PENDING_LIST_RESPONSE_HEADER, SubCommand)] != HTTPS_CERT_SUBCMD_PENDING_LIST) {
    DEBUG ((DEBUG_ERROR, "GetPendingTaskList: bad response command value.\n"));
    return;
  }

  //
  // The header is copied out of the response so that its 32-bit field at
  // offset 2 is read as a member of the packed structure, never through a
  // misaligned UINT32 pointer into the response.
  //
  CopyMem (&Header, Response.Buffer, sizeof (Header));
  ListSize = Header.PendingListSize;
  DEBUG ((DEBUG_INFO, "GetPendingTaskList: pending list size is %d.\n", ListSize));

  if (ListSize > Response.Size - sizeof (PENDING_LIST_RESPONSE_HEADER)) {
    DEBUG ((DEBUG_ERROR, "GetPendingTaskList: pending list size too small.\n"));
    return;
  }

  *PendingListSize = ListSize;
  if (ListSize != 0) {
    *PendingList = (UINT8 *)AllocateCopyPool (ListSize, Response.Buffer + sizeof (PENDING_LIST_RESPONSE_HEADER));
  }
}

EFI_STATUS
GetImportCert (
  IN  UINT8   CertNum,
  IN  UINT16  CertSize,
  OUT UINT8   *CertBuffer
  )
{
  EFI_STATUS          Status;
  IMPORT_CERT_HEADER  Request;
  KivResponse         Response;
  IMPORT_CERT_HEADER  Header;

  if (CertBuffer == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  ZeroMem (&Request, sizeof (Request));
  Request.SubCommand = HTTPS_CERT_SUBCMD_IMPORT_CERT;
  Request.Size       = 2;
  Request.Index      = CertNum;

  Status = SendKivCommand (
             KIV_CMD_HTTPS_CERT_QUERY,
             &Response.Buffer,
             &Response.Size,
             (UINT8 *)&Request,
             sizeof (Request),
             &Response.Status
             );
  DEBUG ((
    DEBUG_INFO,
    "%a(%d): IPMI Status(%r) ResponseStatus(0x%x) ResponseBufferSize(0x%x)\n",
    __FUNCTION__,
    __LINE__,
    Status,
    Response.Status,
    Response.Size
    ));

  if (EFI_ERROR (Status) || (Response.Status != 0)) {
    DEBUG ((DEBUG_ERROR, "%a(%d): Failed to get imported cert from Vexa.\n", __FUNCTION__, __LINE__));
    return EFI_INVALID_PARAMETER;
  }

  if ((Response.Buffer == NULL) || (Response.Size < sizeof (IMPORT_CERT_HEADER))) {
    DEBUG ((DEBUG_ERROR, "%a(%d): Incorrect response buffer size.\n", __FUNCTION__, __LINE__));
    return EFI_INVALID_PARAMETER;
  }

  if (Response.Buffer[OFFSET_OF (IMPORT_CERT_HEADER, SubCommand)] != HTTPS_CERT_SUBCMD_IMPORT_CERT) {
    DEBUG ((DEBUG_ERROR, "%a(%d): Incorrect response subommand.\n", __FUNCTION__, __LINE__));
    return EFI_INVALID_PARAMETER;
  }

  //
  // Size (offset 2) and Index (offset 6) are read as members of a packed copy
  // of the header, never through misaligned pointers into the response.
  //
  CopyMem (&Header, Response.Buffer, sizeof (Header));
  if (Header.Size != CertSize) {
    DEBUG ((
      DEBUG_ERROR,
      "%a(%d): Incorrect response size = %d; while cert size is: %d\n",
      __FUNCTION__,
      __LINE__,
      Header.Size,
      CertSize
      ));
    return EFI_INVALID_PARAMETER;
  }

  if (Header.Index != CertNum) {
    DEBUG ((DEBUG_ERROR, "%a(%d): Incrrect response index = %d.\n", __FUNCTION__, __LINE__, Header.Index));
    return EFI_INVALID_PARAMETER;
  }

  //
  // Compared in 64 bits: the header and the certificate must lie wholly
  // inside the response whatever the sizes.
  //
  if ((UINT64)Response.Size < (UINT64)sizeof (IMPORT_CERT_HEADER) + CertSize) {
    DEBUG ((DEBUG_ERROR, "%a(%d): Incorrect response buffer size.\n", __FUNCTION__, __LINE__));
    return EFI_INVALID_PARAMETER;
  }

  CopyMem (CertBuffer, Response.Buffer + sizeof (IMPORT_CERT_HEADER), CertSize);
  return EFI_SUCCESS;
}

EFI_STATUS
SendHttpsBootPolicy (
  IN UINT8   *Message,
  IN UINT32  MessageSize
  )
{
  EFI_STATUS   Status;
  KivResponse  Response;

  Status = SendKivCommand (
             KIV_CMD_HTTPS_CERT_SEND,
             &Response.Buffer,
             &Response.Size,
             Message,
             MessageSize,
             &Response.Status
             );
  DEBUG ((
    DEBUG_INFO,
    "%a(%d): IPMI response: Status (%r) ResponseStatus(0x%x) ResponseBufferSize(0x%x)\n",
    __FUNCTION__,
    __LINE__,
    Status,
    Response.Status,
    Response.Size
    ));

  return Status;
}

BOOLEAN
IsValidPendingCertNum (
  IN UINT8  CertNum
  )
{
  return (BOOLEAN)((CertNum >= 1) && (CertNum <= 4));
}

BOOLEAN
IsValidPendingOperation (
  IN UINT8  Operation
  )
{
  return (BOOLEAN)((Operation == PENDING_OP_IMPORT) || (Operation == PENDING_OP_DELETE));
}

EFI_STATUS
ValidatePendingTaskRecord (
  IN CONST PENDING_TASK_RECORD  *Record
  )
{
  if (Record->TaskType != HTTPS_CERT_TASK_TYPE) {
    return EFI_INVALID_PARAMETER;
  }

  if (!IsValidPendingCertNum (Record->CertNum)) {
    return EFI_INVALID_PARAMETER;
  }

  if (!IsValidPendingOperation (Record->Operation)) {
    return EFI_INVALID_PARAMETER;
  }

  return EFI_SUCCESS;
}
