/** @file
  Stand-in for the platform's KIV_PROTOCOL transport with a simulated Vexa
  behind it.

  The Vexa answers the HTTPS-certificate exchanges from a scenario that the
  test application sets through VEXA_SIM_CONTROL_PROTOCOL: the pending list
  (sub-command 0xA0) and one certificate per number (sub-command 0xA2). Every
  request is recorded; every sync message (sub-command 0xA1) is also written to
  the console as marked hex lines "sync.<n>" for the host-side checker.
  Responses are allocated from pool, and the caller releases them, as the
  transport contract demands.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Protocol/KivProtocol.h>

#include "../Include/OnTargetSim.h"

namespace {

constexpr UINT16  CMD_HTTPS_CERT_QUERY = 0x809D;
constexpr UINT16  CMD_HTTPS_CERT_SEND  = 0x009D;
constexpr UINT8   SUBCMD_PENDING_LIST  = 0xA0;
constexpr UINT8   SUBCMD_SYNC          = 0xA1;
constexpr UINT8   SUBCMD_IMPORT_CERT   = 0xA2;

// Response headers, written byte by byte below: 0xA0 is sub-command,
// reserved, 32-bit list size; 0xA2 adds the 16-bit certificate number.
constexpr UINT32  LIST_RESPONSE_HEADER_SIZE   = 6;
constexpr UINT32  IMPORT_RESPONSE_HEADER_SIZE = 8;
constexpr UINT32  IMPORT_REQUEST_SIZE         = 8;

struct SimCertificate {
  UINT8     *Der;
  UINT32    Size;
};

struct SimRequest {
  UINT16    Command;
  UINT16    CompletionCode;
  UINT32    Size;
  UINT8     *Data;
};

UINT8           *mPendingList;
UINT32          mPendingListSize;
UINT16          mPendingListCompletionCode;
SimCertificate  mCertificates[VEXA_SIM_MAX_CERT_NUM];
SimRequest      mRequests[VEXA_SIM_MAX_REQUESTS];
UINTN           mRequestCount;
UINTN           mSyncCount;
UINT64          mTransportTicks;

VOID
PutUint16 (
  OUT UINT8   *Bytes,
  IN  UINT16  Value
  )
{
  Bytes[0] = (UINT8)Value;
  Bytes[1] = (UINT8)(Value >> 8);
}

VOID
PutUint32 (
  OUT UINT8   *Bytes,
  IN  UINT32  Value
  )
{
  PutUint16 (Bytes, (UINT16)Value);
  PutUint16 (Bytes + 2, (UINT16)(Value >> 16));
}

/**
  Builds a response: a pool buffer of HeaderSize + BodySize bytes, the header
  zeroed except for its sub-command byte, the body copied behind it.

  @return The buffer, or NULL when the pool is exhausted.
**/
UINT8 *
NewResponse (
  IN UINT8        SubCommand,
  IN UINT32       HeaderSize,
  IN CONST UINT8  *Body OPTIONAL,
  IN UINT32       BodySize
  )
{
  UINT8  *Response;

  Response = (UINT8 *)AllocateZeroPool (HeaderSize + BodySize);
  if (Response == NULL) {
    return NULL;
  }

  Response[0] = SubCommand;
  if (BodySize != 0) {
    CopyMem (Response + HeaderSize, Body, BodySize);
  }

  return Response;
}

/**
  Records one request (a copy of its bytes) and the completion code given.
**/
VOID
RecordRequest (
  IN UINT16       Command,
  IN CONST UINT8  *Request OPTIONAL,
  IN UINT32       Size,
  IN UINT16       CompletionCode
  )
{
  SimRequest  *Entry;

  if (mRequestCount < VEXA_SIM_MAX_REQUESTS) {
    Entry                 = &mRequests[mRequestCount];
    Entry->Command        = Command;
    Entry->CompletionCode = CompletionCode;
    Entry->Size           = Size;
    Entry->Data           = ((Request != NULL) && (Size != 0)) ? (UINT8 *)AllocateCopyPool (Size, Request) : NULL;
  }

  mRequestCount++;
}

/**
  The simulated Vexa: answers one request.

  @param[in]  Command         Transport command code.
  @param[in]  Request         Request bytes.
  @param[in]  RequestSize     Their number.
  @param[out] Response        Receives the pool response (or NULL).
  @param[out] ResponseSize    Receives its length.
  @param[out] CompletionCode  Receives the Vexa's completion code.
**/
VOID
VexaAnswer (
  IN  UINT16       Command,
  IN  CONST UINT8  *Request,
  IN  UINT32       RequestSize,
  OUT UINT8        **Response,
  OUT UINT32       *ResponseSize,
  OUT UINT16       *CompletionCode
  )
{
  UINT8           SubCommand;
  UINT16          CertNum;
  SimCertificate  *Certificate;
  CHAR8           Tag[16];

  *Response       = NULL;
  *ResponseSize   = 0;
  *CompletionCode = VEXA_SIM_CC_INVALID_COMMAND;
  SubCommand      = (RequestSize != 0) ? Request[0] : 0;

  if ((Command == CMD_HTTPS_CERT_QUERY) && (SubCommand == SUBCMD_PENDING_LIST)) {
    *Response = NewResponse (SubCommand, LIST_RESPONSE_HEADER_SIZE, mPendingList, mPendingListSize);
    if (*Response != NULL) {
      PutUint32 (*Response + 2, mPendingListSize);
      *ResponseSize = LIST_RESPONSE_HEADER_SIZE + mPendingListSize;
    }

    *CompletionCode = mPendingListCompletionCode;
    return;
  }

  if ((Command == CMD_HTTPS_CERT_QUERY) && (SubCommand == SUBCMD_IMPORT_CERT)) {
    if (RequestSize < IMPORT_REQUEST_SIZE) {
      *CompletionCode = VEXA_SIM_CC_INVALID_DATA;
      return;
    }

    CertNum = (UINT16)(Request[6] | (Request[7] << 8));
    if ((CertNum >= VEXA_SIM_MAX_CERT_NUM) || (mCertificates[CertNum].Der == NULL)) {
      *CompletionCode = VEXA_SIM_CC_DATA_NOT_PRESENT;
      return;
    }

    Certificate = &mCertificates[CertNum];
    *Response   = NewResponse (SubCommand, IMPORT_RESPONSE_HEADER_SIZE, Certificate->Der, Certificate->Size);
    if (*Response != NULL) {
      PutUint32 (*Response + 2, Certificate->Size);
      PutUint16 (*Response + 6, CertNum);
      *ResponseSize = IMPORT_RESPONSE_HEADER_SIZE + Certificate->Size;
    }

    *CompletionCode = VEXA_SIM_CC_OK;
    return;
  }

  if ((Command == CMD_HTTPS_CERT_SEND) && (SubCommand == SUBCMD_SYNC)) {
    mSyncCount++;
    AsciiSPrint (Tag, sizeof (Tag), "sync.%u", (UINT32)mSyncCount);
    OnTarget::HexDump (Tag, Request, RequestSize);
    *Response = NewResponse (SubCommand, 1, NULL, 0);
    if (*Response != NULL) {
      *ResponseSize = 1;
    }

    *CompletionCode = VEXA_SIM_CC_OK;
    return;
  }
}

/**
  KIV_PROTOCOL.SendCommand of the stand-in transport.
**/
EFI_STATUS
EFIAPI
SimSendCommand (
  IN  KIV_PROTOCOL  *This,
  IN  UINT16        Command,
  IN  UINT8         *RequestBuffer,
  IN  UINT32        RequestBufferSize,
  OUT UINT8         **ResponseBuffer,
  OUT UINT32        *ResponseBufferSize,
  OUT UINT16        *ResponseStatus
  )
{
  if ((ResponseBuffer == NULL) || (ResponseBufferSize == NULL) || (ResponseStatus == NULL) ||
      ((RequestBuffer == NULL) && (RequestBufferSize != 0)))
  {
    RecordRequest (Command, NULL, 0, VEXA_SIM_CC_INVALID_DATA);
    return EFI_INVALID_PARAMETER;
  }

  UINT64  Start;

  Start = AsmReadTsc ();
  VexaAnswer (Command, RequestBuffer, RequestBufferSize, ResponseBuffer, ResponseBufferSize, ResponseStatus);
  RecordRequest (Command, RequestBuffer, RequestBufferSize, *ResponseStatus);
  mTransportTicks += AsmReadTsc () - Start;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimUnused (
  VOID
  )
{
  return EFI_UNSUPPORTED;
}

EFI_STATUS
EFIAPI
SimSetPendingList (
  IN VEXA_SIM_CONTROL_PROTOCOL  *This,
  IN CONST UINT8                *List OPTIONAL,
  IN UINT32                     Size,
  IN UINT16                     CompletionCode
  )
{
  UINT8  *Copy;

  if ((List == NULL) && (Size != 0)) {
    return EFI_INVALID_PARAMETER;
  }

  Copy = NULL;
  if (Size != 0) {
    Copy = (UINT8 *)AllocateCopyPool (Size, List);
    if (Copy == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }
  }

  if (mPendingList != NULL) {
    FreePool (mPendingList);
  }

  mPendingList               = Copy;
  mPendingListSize           = Size;
  mPendingListCompletionCode = CompletionCode;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimSetCertificate (
  IN VEXA_SIM_CONTROL_PROTOCOL  *This,
  IN UINT8                      CertNum,
  IN CONST UINT8                *Der OPTIONAL,
  IN UINT32                     Size
  )
{
  UINT8  *Copy;

  if ((CertNum >= VEXA_SIM_MAX_CERT_NUM) || ((Der != NULL) && (Size == 0))) {
    return EFI_INVALID_PARAMETER;
  }

  Copy = NULL;
  if (Der != NULL) {
    Copy = (UINT8 *)AllocateCopyPool (Size, Der);
    if (Copy == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }
  }

  if (mCertificates[CertNum].Der != NULL) {
    FreePool (mCertificates[CertNum].Der);
  }

  mCertificates[CertNum].Der  = Copy;
  mCertificates[CertNum].Size = (Copy != NULL) ? Size : 0;
  return EFI_SUCCESS;
}

VOID
EFIAPI
SimClearTraffic (
  IN VEXA_SIM_CONTROL_PROTOCOL  *This
  )
{
  UINTN  Index;

  for (Index = 0; Index < MIN (mRequestCount, (UINTN)VEXA_SIM_MAX_REQUESTS); Index++) {
    if (mRequests[Index].Data != NULL) {
      FreePool (mRequests[Index].Data);
    }
  }

  ZeroMem (mRequests, sizeof (mRequests));
  mRequestCount   = 0;
  mTransportTicks = 0;
}

UINT64
EFIAPI
SimGetTransportTicks (
  IN VEXA_SIM_CONTROL_PROTOCOL  *This
  )
{
  return mTransportTicks;
}

UINTN
EFIAPI
SimGetRequestCount (
  IN VEXA_SIM_CONTROL_PROTOCOL  *This
  )
{
  return mRequestCount;
}

EFI_STATUS
EFIAPI
SimGetRequest (
  IN  VEXA_SIM_CONTROL_PROTOCOL  *This,
  IN  UINTN                      Index,
  OUT VEXA_SIM_REQUEST           *Request
  )
{
  if ((Request == NULL) || (Index >= MIN (mRequestCount, (UINTN)VEXA_SIM_MAX_REQUESTS))) {
    return EFI_NOT_FOUND;
  }

  Request->Command        = mRequests[Index].Command;
  Request->CompletionCode = mRequests[Index].CompletionCode;
  Request->Size           = mRequests[Index].Size;
  Request->Data           = mRequests[Index].Data;
  return EFI_SUCCESS;
}

KIV_PROTOCOL  mKiv = {
  {
    (KIV_RESERVED_FUNCTION)SimUnused, (KIV_RESERVED_FUNCTION)SimUnused, (KIV_RESERVED_FUNCTION)SimUnused,
    (KIV_RESERVED_FUNCTION)SimUnused, (KIV_RESERVED_FUNCTION)SimUnused, (KIV_RESERVED_FUNCTION)SimUnused,
  },
  SimSendCommand
};

VEXA_SIM_CONTROL_PROTOCOL  mControl = {
  SimSetPendingList,
  SimSetCertificate,
  SimClearTraffic,
  SimGetRequestCount,
  SimGetRequest,
  SimGetTransportTicks
};

EFI_GUID  mControlGuid = VEXA_SIM_CONTROL_PROTOCOL_GUID;

} // namespace

extern "C" {

/**
  Installs KIV_PROTOCOL and the Vexa's control interface on a new handle.
  The image stays resident: both interfaces live in it until boot services end.

  @param[in] ImageHandle  This image.
  @param[in] SystemTable  The system table.

  @return The status of the installation.
**/
EFI_STATUS
EFIAPI
VexaKivSimEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_HANDLE  Handle;

  Handle = NULL;
  return gBS->InstallMultipleProtocolInterfaces (
                &Handle,
                &gKivProtocolGuid,
                &mKiv,
                &mControlGuid,
                &mControl,
                NULL
                );
}

} // extern "C"
