/** @file
  Controller messaging: the transport call into KIV_PROTOCOL and the byte
  layouts of the HTTPS-boot certificate messages exchanged with the Vexa.

  Every structure here is byte-packed and little-endian; multi-byte fields may
  stand at odd offsets. They are read and written as members of these packed
  structures (a response header is first copied into a local one), so the
  compiler emits byte-safe accesses; a field is never reached through a wider
  pointer cast onto a byte buffer.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef VEXA_MESSAGES_H_
#define VEXA_MESSAGES_H_

#include <Uefi.h>

//
// Transport command codes.
//
#define KIV_CMD_HTTPS_CERT_QUERY  0x809D       ///< pending list (0xA0), import certificate (0xA2)
#define KIV_CMD_HTTPS_CERT_SEND   0x009D       ///< sync message (0xA1)

//
// Sub-commands: byte 0 of every request and of the 0xA0/0xA2 responses.
//
#define HTTPS_CERT_SUBCMD_PENDING_LIST  0xA0
#define HTTPS_CERT_SUBCMD_SYNC          0xA1
#define HTTPS_CERT_SUBCMD_IMPORT_CERT   0xA2

//
// Pending-task record values.
//
#define HTTPS_CERT_TASK_TYPE  9
#define PENDING_OP_IMPORT     0xAA
#define PENDING_OP_DELETE     0xAB

#pragma pack(1)

///
/// One pending request of the Vexa, 6 bytes.
///
typedef struct {
  UINT8     TaskType;           ///< HTTPS_CERT_TASK_TYPE
  UINT8     CertNum;            ///< slot 1..4
  UINT8     Operation;          ///< PENDING_OP_IMPORT or PENDING_OP_DELETE
  UINT16    CertSize;           ///< DER length of the certificate to import (unaligned)
  UINT8     Reserved;
} PENDING_TASK_RECORD;

///
/// Per-certificate header of the sync message, 6 bytes.
///
typedef struct {
  UINT16    CertNum;            ///< slot 1..4, widened to 16 bits
  UINT32    CertSize;           ///< DER bytes that follow; 0 in the empty record
} HTTPS_CERT_SYNC_HEADER;

///
/// Header of the sync message, 8 bytes, followed by TotalSize payload bytes.
///
typedef struct {
  UINT8     SubCommand;         ///< HTTPS_CERT_SUBCMD_SYNC
  UINT8     Reserved;
  UINT32    TotalSize;          ///< payload length; the header is not counted
  UINT16    CertCount;          ///< number of records, at least 1
} HTTPS_BOOT_POLICY_HEADER;

///
/// Request of the pending-list exchange, 6 bytes: A0 00 00 00 00 00.
///
typedef struct {
  UINT8     SubCommand;
  UINT8     Reserved;
  UINT32    Reserved2;
} PENDING_LIST_REQUEST;

///
/// Response of the pending-list exchange: this header, then the list.
///
typedef struct {
  UINT8     SubCommand;         ///< must be HTTPS_CERT_SUBCMD_PENDING_LIST
  UINT8     Reserved;
  UINT32    PendingListSize;    ///< bytes of PENDING_TASK_RECORD entries that follow
} PENDING_LIST_RESPONSE_HEADER;

///
/// Request and response header of the import-certificate exchange, 8 bytes.
/// The request carries Size = 2 and Index = the slot; the response carries the
/// certificate length and slot, followed by the DER bytes.
///
typedef struct {
  UINT8     SubCommand;
  UINT8     Reserved;
  UINT32    Size;
  UINT16    Index;
} IMPORT_CERT_HEADER;

#pragma pack()

STATIC_ASSERT (sizeof (PENDING_TASK_RECORD) == 6, "PENDING_TASK_RECORD is 6 bytes");
STATIC_ASSERT (OFFSET_OF (PENDING_TASK_RECORD, TaskType) == 0, "TaskType at 0");
STATIC_ASSERT (OFFSET_OF (PENDING_TASK_RECORD, CertNum) == 1, "CertNum at 1");
STATIC_ASSERT (OFFSET_OF (PENDING_TASK_RECORD, Operation) == 2, "Operation at 2");
STATIC_ASSERT (OFFSET_OF (PENDING_TASK_RECORD, CertSize) == 3, "CertSize at 3");
STATIC_ASSERT (OFFSET_OF (PENDING_TASK_RECORD, Reserved) == 5, "Reserved at 5");

STATIC_ASSERT (sizeof (HTTPS_CERT_SYNC_HEADER) == 6, "HTTPS_CERT_SYNC_HEADER is 6 bytes");
STATIC_ASSERT (OFFSET_OF (HTTPS_CERT_SYNC_HEADER, CertNum) == 0, "CertNum at 0");
STATIC_ASSERT (OFFSET_OF (HTTPS_CERT_SYNC_HEADER, CertSize) == 2, "CertSize at 2");

STATIC_ASSERT (sizeof (HTTPS_BOOT_POLICY_HEADER) == 8, "HTTPS_BOOT_POLICY_HEADER is 8 bytes");
STATIC_ASSERT (OFFSET_OF (HTTPS_BOOT_POLICY_HEADER, SubCommand) == 0, "SubCommand at 0");
STATIC_ASSERT (OFFSET_OF (HTTPS_BOOT_POLICY_HEADER, Reserved) == 1, "Reserved at 1");
STATIC_ASSERT (OFFSET_OF (HTTPS_BOOT_POLICY_HEADER, TotalSize) == 2, "TotalSize at 2");
STATIC_ASSERT (OFFSET_OF (HTTPS_BOOT_POLICY_HEADER, CertCount) == 6, "CertCount at 6");

STATIC_ASSERT (sizeof (PENDING_LIST_REQUEST) == 6, "pending-list request is 6 bytes");
STATIC_ASSERT (OFFSET_OF (PENDING_LIST_REQUEST, SubCommand) == 0, "SubCommand at 0");
STATIC_ASSERT (OFFSET_OF (PENDING_LIST_REQUEST, Reserved) == 1, "Reserved at 1");
STATIC_ASSERT (OFFSET_OF (PENDING_LIST_REQUEST, Reserved2) == 2, "Reserved2 at 2");
STATIC_ASSERT (sizeof (PENDING_LIST_RESPONSE_HEADER) == 6, "pending-list response header is 6 bytes");
STATIC_ASSERT (OFFSET_OF (PENDING_LIST_RESPONSE_HEADER, SubCommand) == 0, "SubCommand at 0");
STATIC_ASSERT (OFFSET_OF (PENDING_LIST_RESPONSE_HEADER, Reserved) == 1, "Reserved at 1");
STATIC_ASSERT (OFFSET_OF (PENDING_LIST_RESPONSE_HEADER, PendingListSize) == 2, "PendingListSize at 2");

STATIC_ASSERT (sizeof (IMPORT_CERT_HEADER) == 8, "import-certificate header is 8 bytes");
STATIC_ASSERT (OFFSET_OF (IMPORT_CERT_HEADER, SubCommand) == 0, "SubCommand at 0");
STATIC_ASSERT (OFFSET_OF (IMPORT_CERT_HEADER, Reserved) == 1, "Reserved at 1");
STATIC_ASSERT (OFFSET_OF (IMPORT_CERT_HEADER, Size) == 2, "Size at 2");
STATIC_ASSERT (OFFSET_OF (IMPORT_CERT_HEADER, Index) == 6, "Index at 6");

#ifdef __cplusplus
extern "C" {
#endif

/**
  Sends one command to the Vexa through KIV_PROTOCOL, located afresh on every
  call, and times the exchange with the performance library.

  The response buffer, when one comes back, belongs to the caller, who releases
  it with FreePool on every path.

  @param[in]  Command             Command code.
  @param[out] ResponseBuffer      Receives the transport's response buffer.
  @param[out] ResponseBufferSize  Receives the response length.
  @param[in]  RequestBuffer       The request.
  @param[in]  RequestBufferSize   Request length.
  @param[out] ResponseStatus      Receives the controller's completion code.

  @retval EFI_NOT_FOUND  KIV_PROTOCOL is not installed; no output is written.
  @retval Others         The status of SendCommand, unchanged.
**/
EFI_STATUS
SendKivCommand (
  IN  UINT16  Command,
  OUT UINT8   **ResponseBuffer,
  OUT UINT32  *ResponseBufferSize,
  IN  UINT8   *RequestBuffer,
  IN  UINT32  RequestBufferSize,
  OUT UINT16  *ResponseStatus
  );

/**
  Fetches the Vexa's pending-request list.

  On return: size 0 and NULL (no list); or size > 0 and a pool copy of exactly
  that many bytes owned by the caller; or size > 0 and NULL when the copy could
  not be allocated.

  @param[out] PendingList      Receives the copy of the list.
  @param[out] PendingListSize  Receives the declared list length.
**/
VOID
GetPendingTaskList (
  OUT UINT8   **PendingList,
  OUT UINT32  *PendingListSize
  );

/**
  Fetches the DER bytes of one certificate the Vexa wants imported.

  @param[in]  CertNum     Slot number requested.
  @param[in]  CertSize    Expected certificate length.
  @param[out] CertBuffer  Caller's buffer of at least CertSize bytes.

  @retval EFI_SUCCESS            CertSize bytes were copied to CertBuffer.
  @retval EFI_INVALID_PARAMETER  Any failure, the transport's included.
**/
EFI_STATUS
GetImportCert (
  IN  UINT8   CertNum,
  IN  UINT16  CertSize,
  OUT UINT8   *CertBuffer
  );

/**
  Sends a complete sync message to the Vexa.

  @param[in] Message      The message: header and payload.
  @param[in] MessageSize  Its length in bytes.

  @return The transport's status; the controller's completion code is only
          reported.
**/
EFI_STATUS
SendHttpsBootPolicy (
  IN UINT8   *Message,
  IN UINT32  MessageSize
  );

/**
  @retval TRUE  CertNum names a slot (1 to 4).
**/
BOOLEAN
IsValidPendingCertNum (
  IN UINT8  CertNum
  );

/**
  @retval TRUE  Operation is PENDING_OP_IMPORT or PENDING_OP_DELETE.
**/
BOOLEAN
IsValidPendingOperation (
  IN UINT8  Operation
  );

/**
  Checks one pending-task record; prints nothing.

  @retval EFI_SUCCESS            TaskType, CertNum and Operation are valid.
  @retval EFI_INVALID_PARAMETER  Otherwise.
**/
EFI_STATUS
ValidatePendingTaskRecord (
  IN CONST PENDING_TASK_RECORD  *Record
  );

#ifdef __cplusplus
}
#endif

#endif
