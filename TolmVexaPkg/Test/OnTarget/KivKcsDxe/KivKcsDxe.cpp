/** @file
  KIV_PROTOCOL over IPMI: the platform's transport to the Vexa on the BMC's
  KCS system interface (QEMU's isa-ipmi-kcs at I/O 0xCA2/0xCA3).

  One SendCommand call is one message. Its 16-bit command code names the
  IPMI network function and command (bit 15: query, NetFn 0x32; clear: send,
  NetFn 0x30; bits 7:0: the command; bits 14:8 must be 0), and the message
  travels in the chunk protocol of VexaBmc/IpmiProtocol.md: PUT transactions
  carry the request in pieces, the one that completes it brings back the
  response length and its first piece, and GET transactions fetch the rest.
  Every offset and length the BMC answers with is checked before a byte is
  copied; the response is assembled in a pool buffer that becomes the
  caller's.

  The protocol is installed whether or not a KCS interface answers when the
  driver starts: the interface belongs to the BMC, which may be in reset
  (firmware update, watchdog) while the DXE phase dispatches and come back
  later in the boot. Each call looks at the interface afresh; without one it
  fails within microseconds (EFI_NO_RESPONSE), so a consumer such as the
  certificate driver reports a missing BMC at no cost to the boot.

  Next to KIV_PROTOCOL the driver installs a test-only interface
  (KIV_KCS_TEST_PROTOCOL) with counters of what it carried, for the
  on-target checks and the measurements.

  Test code of the on-target test bed (a platform stand-in); not part of the
  certificate driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/KivProtocol.h>

#include "../../../Feature/TolmVexaHttpsBootCertMgmtDxe/PoolBuffer.h"
#include "../Include/KivKcsTest.h"
#include "../IpmiKcsDxe/KcsInterface.h"

using TolmVexa::PoolBuffer;

namespace {

//
// Command codes onto IPMI.
//
constexpr UINT16  KIV_COMMAND_QUERY    = BIT15;   ///< set: a query, the Vexa answers with data
constexpr UINT16  KIV_COMMAND_RESERVED = 0x7F00;  ///< must be 0
constexpr UINT16  KIV_COMMAND_IPMI     = 0x00FF;  ///< the IPMI command byte
constexpr UINT8   NETFN_KIV_SEND       = 0x30;
constexpr UINT8   NETFN_KIV_QUERY      = 0x32;

///
/// Largest request or response message: a sync message of four largest
/// certificates, 8 + 4 * (6 + 65,535) bytes.
///
constexpr UINT32  KIV_MAX_MESSAGE = 8 + 4 * (6 + 65535);

//
// The chunk protocol. Byte 0 of each request is the operation.
//
constexpr UINT8  CHUNK_OP_PUT = 0x01;
constexpr UINT8  CHUNK_OP_GET = 0x02;

#pragma pack(1)

/// PUT: a piece of the request, firmware to Vexa; the piece follows.
struct PUT_HEADER {
  UINT8     Op;
  UINT32    Total;    ///< length of the whole request message
  UINT32    Offset;   ///< where this piece starts in it
};

/// GET: a piece of the response, Vexa to firmware.
struct GET_REQUEST {
  UINT8     Op;
  UINT32    Offset;   ///< where the wanted piece starts in the response
};

/// Answer to the PUT that completes a request; the first piece follows.
struct PUT_COMPLETION {
  UINT8     CompletionCode;
  UINT32    Length;   ///< length of the whole response message
};

#pragma pack()

static_assert (sizeof (PUT_HEADER) == 9, "PUT: Op, Total, Offset");
static_assert (sizeof (GET_REQUEST) == 5, "GET: Op, Offset");
static_assert (sizeof (PUT_COMPLETION) == 5, "completing PUT answer: completion code, Length");

/// Request bytes in a full PUT: as many as one IPMI request carries. The
/// pieces of the response are as large as the Vexa makes them.
constexpr UINT32  PUT_PIECE = Kcs::KCS_MAX_REQUEST_DATA - sizeof (PUT_HEADER);

//
// Completion codes that do not come from the Vexa's handling of the
// message: the BMC (or the link to it) could not take the request now.
//
constexpr UINT8  IPMI_CC_SUCCESS           = 0x00;
constexpr UINT8  IPMI_CC_NODE_BUSY         = 0xC0;
constexpr UINT8  IPMI_CC_TIMEOUT           = 0xC3;
constexpr UINT8  IPMI_CC_BMC_INITIALIZING  = 0xD2;

//
// Retries. A message whose PUT failed on the interface starts again from
// offset 0 (a PUT cannot be repeated: the Vexa has moved on); a GET is
// repeated by itself. Each is tried at most this many times.
//
constexpr UINTN   KIV_ATTEMPTS         = 3;
constexpr UINT32  KIV_BUSY_PAUSE_US    = 20 * 1000;

KIV_KCS_COUNTERS  mCounters;

/**
  True for a failure that another try may cure: an interface error after
  which the recovery left the interface idle, or a busy BMC.
**/
BOOLEAN
IsTransient (
  IN EFI_STATUS  Status
  )
{
  if (Status == EFI_NOT_READY) {
    return TRUE;
  }

  return ((Status == EFI_TIMEOUT) || (Status == EFI_DEVICE_ERROR)) && Kcs::IsIdle ();
}

/**
  Runs Once until it succeeds, fails for good, or has had KIV_ATTEMPTS tries,
  pausing between tries.

  @return The status of the last try.
**/
template<typename TRY>
EFI_STATUS
Retried (
  IN TRY  Once
  )
{
  EFI_STATUS  Status;
  UINTN       Attempt;

  for (Attempt = 1; ; Attempt++) {
    Status = Once ();
    if (!EFI_ERROR (Status) || (Attempt == KIV_ATTEMPTS) || !IsTransient (Status)) {
      return Status;
    }

    mCounters.Retries++;
    gBS->Stall (KIV_BUSY_PAUSE_US);
  }
}

/**
  One transaction of the chunk protocol.

  @param[in]  NetFn         Network function.
  @param[in]  Command       IPMI command.
  @param[in]  Request       Request data.
  @param[in]  RequestSize   Its length.
  @param[out] Response      Receives the response data, completion code first
                            (Kcs::KCS_MAX_RESPONSE_DATA bytes of room).
  @param[out] ResponseSize  Receives their number.

  @retval EFI_SUCCESS      The response is in; its completion code is 0 or
                           one of the Vexa's own.
  @retval EFI_NOT_READY    The BMC answered 0xC0 or 0xD2: busy, or not up.
  @retval EFI_TIMEOUT      The BMC answered 0xC3, or the interface timed out.
  @retval Others           See Kcs::Transact.
**/
EFI_STATUS
ChunkTransact (
  IN  UINT8        NetFn,
  IN  UINT8        Command,
  IN  CONST UINT8  *Request,
  IN  UINT32       RequestSize,
  OUT UINT8        *Response,
  OUT UINT32       *ResponseSize
  )
{
  EFI_STATUS  Status;

  Status = Kcs::Transact (NetFn, Command, Request, RequestSize, Response, ResponseSize);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  switch (Response[0]) {
    case IPMI_CC_NODE_BUSY:
    case IPMI_CC_BMC_INITIALIZING:
      return EFI_NOT_READY;
    case IPMI_CC_TIMEOUT:
      return EFI_TIMEOUT;
    default:
      return EFI_SUCCESS;
  }
}

/**
  One message exchanged in full: the request in PUTs, the response in the
  completing answer and GETs.
**/
class Exchange {
public:
  Exchange (
    IN UINT8        NetFn,
    IN UINT8        Command,
    IN CONST UINT8  *Request,
    IN UINT32       RequestSize
    )
    : mNetFn (NetFn), mCommand (Command), mRequest (Request), mRequestSize (RequestSize),
    mLength (0), mReceived (0), mCompletionCode (IPMI_CC_SUCCESS)
  {
  }

  Exchange (const Exchange &)            = delete;
  Exchange &operator= (const Exchange &) = delete;

  /**
    Sends the request and collects the response.

    @retval EFI_SUCCESS           Done: CompletionCode() is 0 and the response
                                  is held, or the Vexa refused the message
                                  with a non-zero completion code.
    @retval EFI_PROTOCOL_ERROR    An answer broke the chunk protocol.
    @retval EFI_OUT_OF_RESOURCES  No pool for the response.
    @retval Others                See ChunkTransact.
  **/
  EFI_STATUS
  Run (
    VOID
    )
  {
    EFI_STATUS  Status;

    mResponse.Reset (nullptr);
    mLength         = 0;
    mReceived       = 0;
    mCompletionCode = IPMI_CC_SUCCESS;
    Status          = Put ();
    if (EFI_ERROR (Status) || (mCompletionCode != IPMI_CC_SUCCESS)) {
      return Status;
    }

    return Get ();
  }

  UINT8
  CompletionCode (
    VOID
    ) const
  {
    return mCompletionCode;
  }

  UINT32
  Length (
    VOID
    ) const
  {
    return mLength;
  }

  /// Hands the response buffer (NULL when empty or refused) to the caller.
  UINT8 *
  TakeResponse (
    VOID
    )
  {
    return mResponse.Release ();
  }

private:
  /**
    The request in PUTs of PUT_PIECE bytes; takes in the completing answer:
    the response length and its first piece.
  **/
  EFI_STATUS
  Put (
    VOID
    )
  {
    EFI_STATUS      Status;
    UINT8           Chunk[Kcs::KCS_MAX_REQUEST_DATA];
    UINT8           Answer[Kcs::KCS_MAX_RESPONSE_DATA];
    UINT32          AnswerSize;
    UINT32          Offset;
    UINT32          Piece;
    PUT_HEADER      Header;
    PUT_COMPLETION  Completion;

    Offset = 0;
    do {
      Piece         = MIN (mRequestSize - Offset, PUT_PIECE);
      Header.Op     = CHUNK_OP_PUT;
      Header.Total  = mRequestSize;
      Header.Offset = Offset;
      CopyMem (Chunk, &Header, sizeof (Header));
      if (Piece != 0) {
        CopyMem (Chunk + sizeof (Header), mRequest + Offset, Piece);
      }

      Status = ChunkTransact (mNetFn, mCommand, Chunk, sizeof (Header) + Piece, Answer, &AnswerSize);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      if (Answer[0] != IPMI_CC_SUCCESS) {
        mCompletionCode = Answer[0];
        return EFI_SUCCESS;
      }

      mCounters.PayloadBytes += Piece;
      Offset                 += Piece;
      if ((Offset < mRequestSize) && (AnswerSize != 1)) {
        return EFI_PROTOCOL_ERROR;
      }
    } while (Offset < mRequestSize);

    //
    // The completing answer: the response length, then as much of the
    // response as fits, never more than there is.
    //
    if (AnswerSize < sizeof (Completion)) {
      return EFI_PROTOCOL_ERROR;
    }

    CopyMem (&Completion, Answer, sizeof (Completion));
    Piece = AnswerSize - sizeof (Completion);
    if ((Completion.Length > KIV_MAX_MESSAGE) || (Piece > Completion.Length)) {
      return EFI_PROTOCOL_ERROR;
    }

    mLength = Completion.Length;
    if (mLength == 0) {
      return EFI_SUCCESS;
    }

    mResponse.Reset ((UINT8 *)AllocatePool (mLength));
    if (mResponse.Get () == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }

    CopyMem (mResponse.Get (), Answer + sizeof (Completion), Piece);
    mReceived               = Piece;
    mCounters.PayloadBytes += Piece;
    return EFI_SUCCESS;
  }

  /**
    The rest of the response in GETs, each where the last piece ended; a GET
    that fails on the interface is asked again.
  **/
  EFI_STATUS
  Get (
    VOID
    )
  {
    EFI_STATUS   Status;
    UINT8        Answer[Kcs::KCS_MAX_RESPONSE_DATA];
    UINT32       AnswerSize;
    UINT32       Piece;
    GET_REQUEST  Request;

    while (mReceived < mLength) {
      Request.Op     = CHUNK_OP_GET;
      Request.Offset = mReceived;
      Status         = Retried ([&]() {
                         return ChunkTransact (mNetFn, mCommand, (CONST UINT8 *)&Request, sizeof (Request), Answer, &AnswerSize);
                       });
      if (EFI_ERROR (Status)) {
        return Status;
      }

      if (Answer[0] != IPMI_CC_SUCCESS) {
        mResponse.Reset (nullptr);
        mCompletionCode = Answer[0];
        return EFI_SUCCESS;
      }

      Piece = AnswerSize - 1;
      if ((Piece == 0) || (Piece > mLength - mReceived)) {
        return EFI_PROTOCOL_ERROR;
      }

      CopyMem (mResponse.Get () + mReceived, Answer + 1, Piece);
      mReceived              += Piece;
      mCounters.PayloadBytes += Piece;
    }

    return EFI_SUCCESS;
  }

  UINT8              mNetFn;
  UINT8              mCommand;
  CONST UINT8        *mRequest;
  UINT32             mRequestSize;
  PoolBuffer<UINT8>  mResponse;
  UINT32             mLength;
  UINT32             mReceived;
  UINT8              mCompletionCode;
};

/**
  KIV_PROTOCOL.SendCommand: one message to the Vexa and its response.

  @param[in]  This                The interface.
  @param[in]  Command             Command code: bit 15 query (NetFn 0x32) or
                                  send (NetFn 0x30), bits 7:0 the IPMI
                                  command, bits 14:8 zero.
  @param[in]  RequestBuffer       The request message; not changed. May be
                                  NULL when RequestBufferSize is 0.
  @param[in]  RequestBufferSize   Its length, at most 262,172 bytes.
  @param[out] ResponseBuffer      Receives the response message in a pool
                                  buffer that becomes the caller's (release
                                  with FreePool), or NULL when the response is
                                  empty, refused or the call failed.
  @param[out] ResponseBufferSize  Receives its length (0 with NULL).
  @param[out] ResponseStatus      Receives the Vexa's completion code: 0, or
                                  the code with which it refused the message.

  @retval EFI_SUCCESS            The message was exchanged, or refused by the
                                 Vexa with the completion code in
                                 ResponseStatus.
  @retval EFI_INVALID_PARAMETER  An out pointer is NULL, or RequestBuffer is
                                 NULL with a non-zero size.
  @retval EFI_UNSUPPORTED        Bits 14:8 of Command are not 0: no IPMI
                                 mapping; nothing was sent.
  @retval EFI_BAD_BUFFER_SIZE    The request is longer than 262,172 bytes;
                                 nothing was sent.
  @retval EFI_NO_RESPONSE        No KCS interface answers at 0xCA2/0xCA3.
  @retval EFI_NOT_READY          The BMC stayed busy or not up (completion
                                 code 0xC0 or 0xD2) through every attempt.
  @retval EFI_TIMEOUT            The BMC did not take a byte or did not
                                 answer within the interface's time limits
                                 (or answered 0xC3) through every attempt.
  @retval EFI_DEVICE_ERROR       The interface went to its error state or a
                                 state the KCS protocol does not allow,
                                 through every attempt or with no recovery.
  @retval EFI_PROTOCOL_ERROR     An answer broke the chunk protocol: wrong
                                 NetFn or command, a missing or oversized
                                 response length, a piece longer than what
                                 remains, an empty piece while bytes remain.
  @retval EFI_OUT_OF_RESOURCES   No pool for the response.
**/
EFI_STATUS
EFIAPI
KcsSendCommand (
  IN  KIV_PROTOCOL  *This,
  IN  UINT16        Command,
  IN  UINT8         *RequestBuffer,
  IN  UINT32        RequestBufferSize,
  OUT UINT8         **ResponseBuffer,
  OUT UINT32        *ResponseBufferSize,
  OUT UINT16        *ResponseStatus
  )
{
  EFI_STATUS  Status;
  UINT64      Start;

  if ((ResponseBuffer == NULL) || (ResponseBufferSize == NULL) || (ResponseStatus == NULL) ||
      ((RequestBuffer == NULL) && (RequestBufferSize != 0)))
  {
    return EFI_INVALID_PARAMETER;
  }

  *ResponseBuffer     = NULL;
  *ResponseBufferSize = 0;
  *ResponseStatus     = 0;
  if ((Command & KIV_COMMAND_RESERVED) != 0) {
    return EFI_UNSUPPORTED;
  }

  if (RequestBufferSize > KIV_MAX_MESSAGE) {
    return EFI_BAD_BUFFER_SIZE;
  }

  Start = AsmReadTsc ();
  mCounters.Messages++;
  Exchange  Message (
              ((Command & KIV_COMMAND_QUERY) != 0) ? NETFN_KIV_QUERY : NETFN_KIV_SEND,
              (UINT8)(Command & KIV_COMMAND_IPMI),
              RequestBuffer,
              RequestBufferSize
              );

  Status = Retried ([&]() { return Message.Run (); });
  if (!EFI_ERROR (Status)) {
    *ResponseStatus = Message.CompletionCode ();
    if (Message.CompletionCode () == IPMI_CC_SUCCESS) {
      *ResponseBufferSize = Message.Length ();
      *ResponseBuffer     = Message.TakeResponse ();
    }
  }

  mCounters.Ticks += AsmReadTsc () - Start;
  return Status;
}

EFI_STATUS
EFIAPI
KcsUnused (
  VOID
  )
{
  return EFI_UNSUPPORTED;
}

VOID
EFIAPI
TestGetCounters (
  IN  KIV_KCS_TEST_PROTOCOL  *This,
  OUT KIV_KCS_COUNTERS       *Counters OPTIONAL,
  IN  BOOLEAN                Clear
  )
{
  if (Counters != NULL) {
    CopyMem (Counters, &mCounters, sizeof (*Counters));
    Counters->Transactions    = Kcs::gCounters.Transactions;
    Counters->RequestBytes    = Kcs::gCounters.RequestBytes;
    Counters->ResponseBytes   = Kcs::gCounters.ResponseBytes;
    Counters->Recoveries      = Kcs::gCounters.Recoveries;
    Counters->LargestRequest  = Kcs::gCounters.LargestRequest;
    Counters->LargestResponse = Kcs::gCounters.LargestResponse;
  }

  if (Clear) {
    ZeroMem (&mCounters, sizeof (mCounters));
    ZeroMem (&Kcs::gCounters, sizeof (Kcs::gCounters));
  }
}

KIV_PROTOCOL  mKiv = {
  {
    (KIV_RESERVED_FUNCTION)KcsUnused, (KIV_RESERVED_FUNCTION)KcsUnused, (KIV_RESERVED_FUNCTION)KcsUnused,
    (KIV_RESERVED_FUNCTION)KcsUnused, (KIV_RESERVED_FUNCTION)KcsUnused, (KIV_RESERVED_FUNCTION)KcsUnused,
  },
  KcsSendCommand
};

KIV_KCS_TEST_PROTOCOL  mTest = {
  TestGetCounters
};

EFI_GUID  mTestGuid = KIV_KCS_TEST_PROTOCOL_GUID;

} // namespace

extern "C" {

/**
  Installs KIV_PROTOCOL and the test-only interface on a new handle. The
  image stays resident until boot services end.

  @param[in] ImageHandle  This image.
  @param[in] SystemTable  The system table.

  @return The status of the installation.
**/
EFI_STATUS
EFIAPI
KivKcsDxeEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_HANDLE  Handle;

  Handle = NULL;
  return gBS->InstallMultipleProtocolInterfaces (&Handle, &gKivProtocolGuid, &mKiv, &mTestGuid, &mTest, NULL);
}

} // extern "C"
