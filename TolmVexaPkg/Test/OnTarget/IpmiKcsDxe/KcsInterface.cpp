/** @file
  Polled KCS system interface: the write, read and error-exit phases of
  IPMI v2.0's KCS state machine (section 9.15), each wait on the status register
  bounded by a counted stall.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/IoLib.h>
#include <Library/UefiBootServicesTableLib.h>

#include "KcsInterface.h"

namespace Kcs {

Counters  gCounters;

namespace {

/// What a wait waits for.
enum WaitFor : UINT8 {
  WaitInputTaken,      ///< IBF clear: the BMC took the last byte or control code
  WaitOutputReady,     ///< OBF set: a byte waits in data out
  WaitBmcDone          ///< IBF clear and the write state left: the BMC answered
};

UINT8
ReadStatus (
  VOID
  )
{
  return IoRead8 (R_KCS_STATUS);
}

KcsState
StateOf (
  IN UINT8  Status
  )
{
  return static_cast<KcsState>((Status & B_KCS_STATUS_STATE) >> N_KCS_STATUS_STATE);
}

/**
  Polls the status register until the condition holds or the time limit
  passes.

  @param[in]  Condition  What to wait for.
  @param[in]  LimitUs    Time limit in microseconds.
  @param[out] Status     The status register as last read.

  @retval EFI_SUCCESS      The condition holds.
  @retval EFI_NO_RESPONSE  The status register reads 0xFF.
  @retval EFI_TIMEOUT      The limit passed.
**/
EFI_STATUS
WaitStatus (
  IN  WaitFor  Condition,
  IN  UINT32   LimitUs,
  OUT UINT8    *Status
  )
{
  UINT32   Waited;
  BOOLEAN  Holds;

  for (Waited = 0; ; Waited += KCS_POLL_INTERVAL_US) {
    *Status = ReadStatus ();
    if (*Status == KCS_STATUS_ABSENT) {
      return EFI_NO_RESPONSE;
    }

    switch (Condition) {
      case WaitInputTaken:
        Holds = (*Status & B_KCS_STATUS_IBF) == 0;
        break;
      case WaitOutputReady:
        Holds = (*Status & B_KCS_STATUS_OBF) != 0;
        break;
      default:
        Holds = ((*Status & B_KCS_STATUS_IBF) == 0) && (StateOf (*Status) != KcsStateWrite);
        break;
    }

    if (Holds) {
      return EFI_SUCCESS;
    }

    if (Waited >= LimitUs) {
      return EFI_TIMEOUT;
    }

    gBS->Stall (KCS_POLL_INTERVAL_US);
  }
}

/**
  Drops a byte left in data out, so that OBF tells about the next one.
**/
VOID
ClearOutput (
  IN UINT8  Status
  )
{
  if ((Status & B_KCS_STATUS_OBF) != 0) {
    IoRead8 (R_KCS_DATA);
  }
}

/**
  Waits until the BMC took the last write and checks that the interface is
  in the state the protocol expects next.

  @retval EFI_SUCCESS       Taken, and in Expected.
  @retval EFI_DEVICE_ERROR  Taken, but in another state.
  @retval Others            See WaitStatus.
**/
EFI_STATUS
WaitTaken (
  IN  KcsState  Expected,
  OUT UINT8     *Status
  )
{
  EFI_STATUS  Result;

  Result = WaitStatus (WaitInputTaken, KCS_BYTE_TIMEOUT_US, Status);
  if (EFI_ERROR (Result)) {
    return Result;
  }

  return (StateOf (*Status) == Expected) ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}

/**
  One step of the write phase: Byte to Register, then wait until the BMC
  took it and stays in the write state.
**/
EFI_STATUS
WriteStep (
  IN UINTN  Register,
  IN UINT8  Byte
  )
{
  EFI_STATUS  Result;
  UINT8       Status;

  IoWrite8 (Register, Byte);
  Result = WaitTaken (KcsStateWrite, &Status);
  if (!EFI_ERROR (Result)) {
    ClearOutput (Status);
  }

  return Result;
}

/**
  Write phase: WRITE_START, every byte but the last, WRITE_END, the last
  byte.
**/
EFI_STATUS
WriteRequest (
  IN CONST UINT8  *Bytes,
  IN UINT32       Size
  )
{
  EFI_STATUS  Result;
  UINT8       Status;
  UINT32      Index;

  Result = WaitStatus (WaitInputTaken, KCS_BYTE_TIMEOUT_US, &Status);
  if (EFI_ERROR (Result)) {
    return Result;
  }

  ClearOutput (Status);
  Result = WriteStep (R_KCS_COMMAND, KCS_CC_WRITE_START);
  for (Index = 0; !EFI_ERROR (Result) && (Index + 1 < Size); Index++) {
    Result = WriteStep (R_KCS_DATA, Bytes[Index]);
  }

  if (!EFI_ERROR (Result)) {
    Result = WriteStep (R_KCS_COMMAND, KCS_CC_WRITE_END);
  }

  if (EFI_ERROR (Result)) {
    return Result;
  }

  IoWrite8 (R_KCS_DATA, Bytes[Size - 1]);
  return EFI_SUCCESS;
}

/**
  Read phase: each response byte is read when OBF says it is there and
  acknowledged with READ, until the BMC goes idle and puts out the dummy
  byte. Bytes beyond Capacity are read and counted, not stored, so that the
  interface still ends idle.

  @param[out] Bytes     Receives the response.
  @param[in]  Capacity  Room in Bytes.
  @param[out] Size      Receives the number of bytes the BMC sent.
**/
EFI_STATUS
ReadResponse (
  OUT UINT8   *Bytes,
  IN  UINT32  Capacity,
  OUT UINT32  *Size
  )
{
  EFI_STATUS  Result;
  UINT8       Status;
  UINT8       Byte;

  *Size = 0;

  //
  // The BMC works on the request: the interface stays in the write state
  // (or keeps IBF set) until the response is ready.
  //
  Result = WaitStatus (WaitBmcDone, KCS_RESPONSE_TIMEOUT_US, &Status);
  if (EFI_ERROR (Result)) {
    return Result;
  }

  for ( ; ; ) {
    switch (StateOf (Status)) {
      case KcsStateRead:
        Result = WaitStatus (WaitOutputReady, KCS_BYTE_TIMEOUT_US, &Status);
        if (EFI_ERROR (Result)) {
          return Result;
        }

        if (*Size >= KCS_RESPONSE_BYTE_LIMIT) {
          return EFI_DEVICE_ERROR;
        }

        Byte = IoRead8 (R_KCS_DATA);
        if (*Size < Capacity) {
          Bytes[*Size] = Byte;
        }

        (*Size)++;
        IoWrite8 (R_KCS_DATA, KCS_CC_READ);
        Result = WaitStatus (WaitInputTaken, KCS_BYTE_TIMEOUT_US, &Status);
        if (EFI_ERROR (Result)) {
          return Result;
        }

        break;

      case KcsStateIdle:
        Result = WaitStatus (WaitOutputReady, KCS_BYTE_TIMEOUT_US, &Status);
        if (EFI_ERROR (Result)) {
          return Result;
        }

        IoRead8 (R_KCS_DATA);
        return EFI_SUCCESS;

      default:
        return EFI_DEVICE_ERROR;
    }
  }
}

/**
  Error exit: GET_STATUS/ABORT, then the status byte and the dummy byte are
  read, leaving the interface idle.

  @retval EFI_SUCCESS  The interface is idle again.
  @retval Others       It did not follow: a time limit passed or a state was
                       not the one the protocol prescribes.
**/
EFI_STATUS
Recover (
  VOID
  )
{
  EFI_STATUS  Result;
  UINT8       Status;

  gCounters.Recoveries++;
  Result = WaitStatus (WaitInputTaken, KCS_BYTE_TIMEOUT_US, &Status);
  if (EFI_ERROR (Result)) {
    return Result;
  }

  IoWrite8 (R_KCS_COMMAND, KCS_CC_GET_STATUS_ABORT);
  Result = WaitStatus (WaitInputTaken, KCS_BYTE_TIMEOUT_US, &Status);
  if (EFI_ERROR (Result)) {
    return Result;
  }

  ClearOutput (Status);
  IoWrite8 (R_KCS_DATA, 0x00);
  Result = WaitTaken (KcsStateRead, &Status);
  if (EFI_ERROR (Result)) {
    return Result;
  }

  Result = WaitStatus (WaitOutputReady, KCS_BYTE_TIMEOUT_US, &Status);
  if (EFI_ERROR (Result)) {
    return Result;
  }

  IoRead8 (R_KCS_DATA);   // the error status code; its value changes nothing here
  IoWrite8 (R_KCS_DATA, KCS_CC_READ);
  Result = WaitTaken (KcsStateIdle, &Status);
  if (EFI_ERROR (Result)) {
    return Result;
  }

  Result = WaitStatus (WaitOutputReady, KCS_BYTE_TIMEOUT_US, &Status);
  if (EFI_ERROR (Result)) {
    return Result;
  }

  IoRead8 (R_KCS_DATA);
  return EFI_SUCCESS;
}

} // namespace

BOOLEAN
IsIdle (
  VOID
  )
{
  UINT8  Status;

  Status = ReadStatus ();
  return (Status != KCS_STATUS_ABSENT) && ((Status & B_KCS_STATUS_IBF) == 0) && (StateOf (Status) == KcsStateIdle);
}

EFI_STATUS
Transact (
  IN  UINT8        NetFn,
  IN  UINT8        Command,
  IN  CONST UINT8  *Data OPTIONAL,
  IN  UINT32       DataSize,
  OUT UINT8        *Response,
  OUT UINT32       *ResponseSize
  )
{
  EFI_STATUS  Result;
  UINT8       Request[KCS_REQUEST_HEADER + KCS_MAX_REQUEST_DATA];
  UINT8       Raw[KCS_RESPONSE_HEADER + KCS_MAX_RESPONSE_DATA];
  UINT32      RawSize;

  if ((Response == NULL) || (ResponseSize == NULL) || (DataSize > KCS_MAX_REQUEST_DATA) ||
      ((Data == NULL) && (DataSize != 0)))
  {
    return EFI_INVALID_PARAMETER;
  }

  *ResponseSize = 0;
  Request[0]    = (UINT8)(NetFn << 2);
  Request[1]    = Command;
  if (DataSize != 0) {
    CopyMem (Request + KCS_REQUEST_HEADER, Data, DataSize);
  }

  Result = WriteRequest (Request, KCS_REQUEST_HEADER + DataSize);
  if (!EFI_ERROR (Result)) {
    Result = ReadResponse (Raw, sizeof (Raw), &RawSize);
  }

  if (Result == EFI_NO_RESPONSE) {
    return Result;
  }

  if (EFI_ERROR (Result)) {
    Recover ();
    return Result;
  }

  gCounters.Transactions++;
  gCounters.RequestBytes  += KCS_REQUEST_HEADER + DataSize;
  gCounters.ResponseBytes += RawSize;
  gCounters.LargestRequest = MAX (gCounters.LargestRequest, DataSize);
  if (RawSize > KCS_RESPONSE_HEADER) {
    gCounters.LargestResponse = MAX (gCounters.LargestResponse, RawSize - KCS_RESPONSE_HEADER);
  }

  //
  // The response names the request's NetFn + 1 (LUN 0) and its command, and
  // carries at least the completion code.
  //
  if ((RawSize < KCS_RESPONSE_HEADER + 1) || (RawSize > sizeof (Raw)) ||
      (Raw[0] != (UINT8)((NetFn + 1) << 2)) || (Raw[1] != Command))
  {
    return EFI_PROTOCOL_ERROR;
  }

  *ResponseSize = RawSize - KCS_RESPONSE_HEADER;
  CopyMem (Response, Raw + KCS_RESPONSE_HEADER, *ResponseSize);

  return EFI_SUCCESS;
}

} // namespace Kcs
