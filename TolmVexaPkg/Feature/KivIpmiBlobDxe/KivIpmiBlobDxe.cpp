/** @file
  KIV_PROTOCOL over the platform's IPMI stack (IpmiLib, IPMI_PROTOCOL) in
  OpenBMC's IPMI blob transfer: NetFn 0x2E, command 0x80, OEN CF C2 00, a
  CRC-16 on every payload both ways (VexaBmc/IpmiProtocol.md).

  One SendCommand call is one KIV message and one blob session: Open the
  blob of the command code ("/vexa/kiv/009d" or "/vexa/kiv/809d", read and
  write), Write the request in pieces, Commit (the Vexa executes the
  message), SessionStat (committed or commit error, the response's length,
  the Vexa's completion code as metadata), Read the response in pieces,
  Close.

  - One message at a time: a call made while another runs (from an event
    callback) is refused at once with EFI_ALREADY_STARTED; the TPL is left
    alone.
  - A deadline for the whole message (PcdKivMessageDeadlineMs), retries
    included: past it the session is closed and the call returns
    EFI_TIMEOUT.
  - Retries live here, not in the IPMI producer: a transaction that failed
    on the interface, or was answered 0xC0 or 0xD2 (not up, busy: the Vexa
    never saw it), 0xC3 (time-out) or 0xC6 (its payload arrived damaged), or
    whose answer failed its CRC, is tried again, at most
    KIV_BLOB_ATTEMPTS times in a row, KIV_BLOB_PAUSE_US apart. Only this
    client knows what may be repeated: a Write or a Commit whose answer was
    lost is resolved by asking SessionStat (how many request bytes arrived;
    committed or not), never by executing the message again.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/IpmiLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PcdLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/KivProtocol.h>

#include "../TolmVexaHttpsBootCertMgmtDxe/PoolBuffer.h"

using TolmVexa::PoolBuffer;

namespace {

constexpr UINT8   NETFN_OEM_GROUP  = 0x2E;
constexpr UINT8   CMD_BLOB         = 0x80;
constexpr UINT8   OEN_OPENBMC[3]   = { 0xCF, 0xC2, 0x00 };
constexpr UINT32  OEN_SIZE         = sizeof (OEN_OPENBMC);
constexpr UINT32  CRC_SIZE         = 2;
constexpr UINT32  ANSWER_HEADER    = 1 + OEN_SIZE;           ///< completion code, OEN
constexpr UINT32  IPMI_ANSWER_ROOM = 256;                    ///< any IPMI response, completion code included
constexpr UINT32  IPMI_REQUEST_ROOM = 255;

enum BLOB_SUB : UINT8 {
  BlobOpen        = 2,
  BlobRead        = 3,
  BlobWrite       = 4,
  BlobCommit      = 5,
  BlobClose       = 6,
  BlobSessionStat = 9
};

constexpr UINT16  BLOB_OPEN_READ_WRITE = 0x0003;
constexpr UINT16  BLOB_COMMITTED       = 0x0008;
constexpr UINT16  BLOB_COMMIT_ERROR    = 0x0010;

//
// Completion codes: the IPMI stack's (the message never reached the Vexa),
// the blob layer's damaged payload, and its channel gate.
//
constexpr UINT8  CC_SUCCESS      = 0x00;
constexpr UINT8  CC_NODE_BUSY    = 0xC0;
constexpr UINT8  CC_TIMEOUT      = 0xC3;
constexpr UINT8  CC_BAD_CRC      = 0xC6;
constexpr UINT8  CC_INITIALIZING = 0xD2;
constexpr UINT8  CC_NOT_ALLOWED  = 0xD4;

constexpr UINT16  KIV_COMMAND_SEND  = 0x009D;
constexpr UINT16  KIV_COMMAND_QUERY = 0x809D;

///
/// Largest request or response message: a sync message of four largest
/// certificates, 8 + 4 * (6 + 65,535) bytes.
///
constexpr UINT32  KIV_MAX_MESSAGE = 8 + 4 * (6 + 65535);

constexpr UINTN   KIV_BLOB_ATTEMPTS = 3;
constexpr UINT32  KIV_BLOB_PAUSE_US = 20 * 1000;

#pragma pack(1)

struct BLOB_SESSION_STAT {
  UINT16    State;
  UINT32    Size;
  UINT8     MetadataLength;
  UINT8     CompletionCode;   ///< metadata: the Vexa's completion code of the message
};

struct BLOB_READ {
  UINT16    Session;
  UINT32    Offset;
  UINT32    Size;
};

struct BLOB_WRITE {
  UINT16    Session;
  UINT32    Offset;
};

#pragma pack()

static_assert (sizeof (BLOB_SESSION_STAT) == 8, "state, size, metadata length, one metadata byte");
static_assert (sizeof (BLOB_READ) == 10, "session, offset, size");
static_assert (sizeof (BLOB_WRITE) == 6, "session, offset");

/// Request bytes ahead of a Write's data: OEN, sub-command, CRC, session, offset.
constexpr UINT32  WRITE_OVERHEAD = OEN_SIZE + 1 + CRC_SIZE + sizeof (BLOB_WRITE);
static_assert (FixedPcdGet32 (PcdKivBlobWritePiece) >= 1, "a Write carries at least a byte");
static_assert (FixedPcdGet32 (PcdKivBlobWritePiece) <= IPMI_REQUEST_ROOM - WRITE_OVERHEAD, "a Write fits one IPMI request");
static_assert (FixedPcdGet32 (PcdKivBlobReadPiece) >= 1, "a Read asks for at least a byte");
static_assert (FixedPcdGet32 (PcdKivBlobReadPiece) <= IPMI_ANSWER_ROOM - ANSWER_HEADER - CRC_SIZE, "a Read fits one answer");

BOOLEAN  mBusy;

}  // namespace

extern "C" {

/**
  CRC-16 of the blob transfer: polynomial 0x1021, register 0xFFFF, the bits
  most significant first followed by 16 zero bits, no final XOR ("123456789"
  gives 0xE5CC). Starting the register at 0x1D0F without the zero bits is
  the same.

  @param[in] Data  The bytes.
  @param[in] Size  Their number.

  @return The CRC.
**/
UINT16
EFIAPI
KivBlobCrc16 (
  IN CONST UINT8  *Data,
  IN UINTN        Size
  )
{
  UINT16  Crc;
  UINTN   Index;
  UINTN   Bit;

  Crc = 0x1D0F;
  for (Index = 0; Index < Size; Index++) {
    Crc ^= (UINT16)(Data[Index] << 8);
    for (Bit = 0; Bit < 8; Bit++) {
      Crc = ((Crc & 0x8000) != 0) ? (UINT16)((Crc << 1) ^ 0x1021) : (UINT16)(Crc << 1);
    }
  }

  return Crc;
}

} // extern "C"

namespace {

/**
  The time one message may take, on a timer event of boot services.
**/
class Deadline {
public:
  Deadline (
    )
    : mEvent (NULL)
  {
  }

  ~Deadline (
    )
  {
    if (mEvent != NULL) {
      gBS->CloseEvent (mEvent);
    }
  }

  Deadline (const Deadline &)            = delete;
  Deadline &operator= (const Deadline &) = delete;

  EFI_STATUS
  Start (
    IN UINT32  Milliseconds
    )
  {
    EFI_STATUS  Status;

    Status = gBS->CreateEvent (EVT_TIMER, TPL_CALLBACK, NULL, NULL, &mEvent);
    if (EFI_ERROR (Status)) {
      mEvent = NULL;
      return EFI_OUT_OF_RESOURCES;
    }

    return gBS->SetTimer (mEvent, TimerRelative, MultU64x32 (Milliseconds, 10000));
  }

  BOOLEAN
  Passed (
    ) const
  {
    return gBS->CheckEvent (mEvent) == EFI_SUCCESS;
  }

private:
  EFI_EVENT  mEvent;
};

/**
  True for a failure another try may cure: a transport failure, a busy or
  initialising BMC, a damaged payload either way.
**/
BOOLEAN
IsTransient (
  IN EFI_STATUS  Status
  )
{
  return (Status == EFI_NOT_READY) || (Status == EFI_TIMEOUT) || (Status == EFI_DEVICE_ERROR) ||
         (Status == EFI_CRC_ERROR) || (Status == EFI_NOT_FOUND);
}

/**
  True when the answer says the BMC did not take the request at all (busy,
  not up, payload damaged): it can be sent again as it is.
**/
BOOLEAN
NotTaken (
  IN UINT8  Cc
  )
{
  return (Cc == CC_NODE_BUSY) || (Cc == CC_INITIALIZING) || (Cc == CC_BAD_CRC);
}

/**
  One KIV message as one blob session.
**/
class BlobMessage {
public:
  BlobMessage (
    IN CONST Deadline  &Limit
    )
    : mLimit (Limit), mSession (0), mOpen (FALSE)
  {
  }

  ~BlobMessage (
    )
  {
    UINT8   Answer[IPMI_ANSWER_ROOM];
    UINT32  Size;
    UINT8   Cc;

    if (mOpen) {
      Once (BlobClose, &mSession, sizeof (mSession), Answer, &Size, &Cc);
    }
  }

  BlobMessage (const BlobMessage &)            = delete;
  BlobMessage &operator= (const BlobMessage &) = delete;

  /**
    Runs the message.

    @param[out] Cc        The Vexa's completion code of the message.
    @param[out] Response  The response (pool) when Cc is 0 and it is not empty.
    @param[out] Length    Its length.
  **/
  EFI_STATUS
  Run (
    IN  UINT16             Command,
    IN  CONST UINT8        *Request,
    IN  UINT32             RequestSize,
    OUT UINT8              *Cc,
    OUT PoolBuffer<UINT8>  &Response,
    OUT UINT32             *Length
    )
  {
    EFI_STATUS         Status;
    BLOB_SESSION_STAT  Stat;

    Status = Open (Command);
    if (!EFI_ERROR (Status)) {
      Status = WriteAll (Request, RequestSize);
    }

    if (!EFI_ERROR (Status)) {
      Status = Commit (&Stat);
    }

    if (EFI_ERROR (Status)) {
      return Status;
    }

    //
    // Committed: completion code 0 in the metadata; commit error: the
    // Vexa's refusal. Anything else is not this contract.
    //
    if ((Stat.MetadataLength != 1) ||
        (((Stat.State & BLOB_COMMIT_ERROR) != 0) == (Stat.CompletionCode == CC_SUCCESS)))
    {
      return EFI_PROTOCOL_ERROR;
    }

    *Cc = Stat.CompletionCode;
    if ((*Cc != CC_SUCCESS) || (Stat.Size == 0)) {
      return EFI_SUCCESS;
    }

    if (Stat.Size > KIV_MAX_MESSAGE) {
      return EFI_PROTOCOL_ERROR;
    }

    Response.Reset ((UINT8 *)AllocatePool (Stat.Size));
    if (Response.Get () == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }

    *Length = Stat.Size;
    return ReadAll (Response.Get (), Stat.Size);
  }

private:
  /**
    One blob transaction, tried once.

    @param[out] Data      Receives the answer's data after its CRC, checked.
    @param[out] DataSize  Their number.
    @param[out] Cc        The answer's completion code.

    @retval EFI_SUCCESS         An answer: Cc tells which.
    @retval EFI_NOT_READY       0xC0 or 0xD2: busy or not up.
    @retval EFI_TIMEOUT         0xC3, or the deadline passed before the try.
    @retval EFI_CRC_ERROR       0xC6, or the answer's CRC does not match.
    @retval EFI_PROTOCOL_ERROR  The answer is not a blob answer.
    @retval Others              The IPMI stack's failure.
  **/
  EFI_STATUS
  Once (
    IN  UINT8        Sub,
    IN  CONST VOID   *Payload,
    IN  UINT32       PayloadSize,
    OUT UINT8        *Data,
    OUT UINT32       *DataSize,
    OUT UINT8        *Cc
    )
  {
    EFI_STATUS  Status;
    UINT8       Request[IPMI_REQUEST_ROOM];
    UINT8       Answer[IPMI_ANSWER_ROOM];
    UINT32      AnswerSize;
    UINT16      Crc;

    *DataSize = 0;
    *Cc       = CC_SUCCESS;
    CopyMem (Request, OEN_OPENBMC, OEN_SIZE);
    Request[OEN_SIZE] = Sub;
    Crc               = KivBlobCrc16 ((CONST UINT8 *)Payload, PayloadSize);
    CopyMem (Request + OEN_SIZE + 1, &Crc, CRC_SIZE);
    CopyMem (Request + OEN_SIZE + 1 + CRC_SIZE, Payload, PayloadSize);

    AnswerSize = sizeof (Answer);
    Status     = IpmiSubmitCommand (NETFN_OEM_GROUP, CMD_BLOB, Request, OEN_SIZE + 1 + CRC_SIZE + PayloadSize, Answer, &AnswerSize);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    if ((AnswerSize == 0) || (AnswerSize > sizeof (Answer))) {
      return EFI_PROTOCOL_ERROR;
    }

    *Cc = Answer[0];
    switch (*Cc) {
      case CC_NODE_BUSY:
      case CC_INITIALIZING:
        return EFI_NOT_READY;
      case CC_TIMEOUT:
        return EFI_TIMEOUT;
      case CC_BAD_CRC:
        return EFI_CRC_ERROR;
      case CC_SUCCESS:
        break;
      default:
        return EFI_SUCCESS;
    }

    if ((AnswerSize < ANSWER_HEADER) || (CompareMem (Answer + 1, OEN_OPENBMC, OEN_SIZE) != 0) ||
        ((AnswerSize > ANSWER_HEADER) && (AnswerSize <= ANSWER_HEADER + CRC_SIZE)))
    {
      return EFI_PROTOCOL_ERROR;
    }

    if (AnswerSize == ANSWER_HEADER) {
      return EFI_SUCCESS;
    }

    *DataSize = AnswerSize - ANSWER_HEADER - CRC_SIZE;
    CopyMem (&Crc, Answer + ANSWER_HEADER, CRC_SIZE);
    if (KivBlobCrc16 (Answer + ANSWER_HEADER + CRC_SIZE, *DataSize) != Crc) {
      *DataSize = 0;
      return EFI_CRC_ERROR;
    }

    CopyMem (Data, Answer + ANSWER_HEADER + CRC_SIZE, *DataSize);
    return EFI_SUCCESS;
  }

  /**
    One blob transaction that may be repeated as it is: tried until it is
    answered, fails for good, or has failed KIV_BLOB_ATTEMPTS times in a
    row, never past the deadline. A completion code other than 0 is
    EFI_PROTOCOL_ERROR (EFI_ACCESS_DENIED for the Vexa's channel gate).
  **/
  EFI_STATUS
  Call (
    IN  UINT8        Sub,
    IN  CONST VOID   *Payload,
    IN  UINT32       PayloadSize,
    OUT UINT8        *Data,
    OUT UINT32       *DataSize
    )
  {
    EFI_STATUS  Status;
    UINT8       Cc;
    UINTN       Failures;

    for (Failures = 0; ; ) {
      if (mLimit.Passed ()) {
        return EFI_TIMEOUT;
      }

      Status = Once (Sub, Payload, PayloadSize, Data, DataSize, &Cc);
      if (!EFI_ERROR (Status)) {
        if (Cc == CC_SUCCESS) {
          return EFI_SUCCESS;
        }

        return (Cc == CC_NOT_ALLOWED) ? EFI_ACCESS_DENIED : EFI_PROTOCOL_ERROR;
      }

      if (!IsTransient (Status) || (++Failures >= KIV_BLOB_ATTEMPTS)) {
        return Status;
      }

      gBS->Stall (KIV_BLOB_PAUSE_US);
    }
  }

  EFI_STATUS
  Open (
    IN UINT16  Command
    )
  {
    EFI_STATUS  Status;
    UINT8       Payload[2 + 15];
    UINT8       Data[IPMI_ANSWER_ROOM];
    UINT32      Size;
    UINT16      Flags;

    Flags = BLOB_OPEN_READ_WRITE;
    CopyMem (Payload, &Flags, sizeof (Flags));
    CopyMem (Payload + 2, (Command == KIV_COMMAND_SEND) ? "/vexa/kiv/009d" : "/vexa/kiv/809d", 15);
    Status = Call (BlobOpen, Payload, sizeof (Payload), Data, &Size);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    if (Size != sizeof (mSession)) {
      return EFI_PROTOCOL_ERROR;
    }

    CopyMem (&mSession, Data, sizeof (mSession));
    mOpen = TRUE;
    return EFI_SUCCESS;
  }

  /**
    The session's state; Stat->CompletionCode is 0 unless the metadata
    carries one.
  **/
  EFI_STATUS
  SessionStat (
    OUT BLOB_SESSION_STAT  *Stat
    )
  {
    EFI_STATUS  Status;
    UINT8       Data[IPMI_ANSWER_ROOM];
    UINT32      Size;

    Status = Call (BlobSessionStat, &mSession, sizeof (mSession), Data, &Size);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    ZeroMem (Stat, sizeof (*Stat));
    if ((Size < OFFSET_OF (BLOB_SESSION_STAT, CompletionCode)) || (Size > sizeof (*Stat))) {
      return EFI_PROTOCOL_ERROR;
    }

    CopyMem (Stat, Data, Size);
    if (Stat->MetadataLength != Size - OFFSET_OF (BLOB_SESSION_STAT, CompletionCode)) {
      return EFI_PROTOCOL_ERROR;
    }

    return EFI_SUCCESS;
  }

  /**
    The request in Writes. A Write whose answer was lost may have arrived:
    the session's size says where to go on.
  **/
  EFI_STATUS
  WriteAll (
    IN CONST UINT8  *Request,
    IN UINT32       RequestSize
    )
  {
    EFI_STATUS         Status;
    UINT8              Payload[sizeof (BLOB_WRITE) + FixedPcdGet32 (PcdKivBlobWritePiece)];
    UINT8              Data[IPMI_ANSWER_ROOM];
    UINT32             Size;
    UINT32             Piece;
    UINT8              Cc;
    BLOB_WRITE         Header;
    BLOB_SESSION_STAT  Stat;
    UINTN              Failures;

    Header.Session = mSession;
    Header.Offset  = 0;
    Failures       = 0;
    while (Header.Offset < RequestSize) {
      if (mLimit.Passed ()) {
        return EFI_TIMEOUT;
      }

      Piece = MIN (RequestSize - Header.Offset, FixedPcdGet32 (PcdKivBlobWritePiece));
      CopyMem (Payload, &Header, sizeof (Header));
      CopyMem (Payload + sizeof (Header), Request + Header.Offset, Piece);
      Status = Once (BlobWrite, Payload, sizeof (Header) + Piece, Data, &Size, &Cc);
      if (!EFI_ERROR (Status) && (Cc == CC_SUCCESS)) {
        Failures       = 0;
        Header.Offset += Piece;
        continue;
      }

      if (!EFI_ERROR (Status)) {
        return (Cc == CC_NOT_ALLOWED) ? EFI_ACCESS_DENIED : EFI_PROTOCOL_ERROR;
      }

      if (!IsTransient (Status) || (++Failures >= KIV_BLOB_ATTEMPTS)) {
        return Status;
      }

      gBS->Stall (KIV_BLOB_PAUSE_US);
      if (NotTaken (Cc)) {
        continue;
      }

      Status = SessionStat (&Stat);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      if ((Stat.State & (BLOB_COMMITTED | BLOB_COMMIT_ERROR)) != 0 ||
          ((Stat.Size != Header.Offset) && (Stat.Size != Header.Offset + Piece)))
      {
        return EFI_PROTOCOL_ERROR;
      }

      Header.Offset = Stat.Size;
    }

    return EFI_SUCCESS;
  }

  /**
    Commit, then the session's state. A Commit whose answer was lost is
    sent again only when the state says it was not committed.
  **/
  EFI_STATUS
  Commit (
    OUT BLOB_SESSION_STAT  *Stat
    )
  {
    EFI_STATUS  Status;
    UINT8       Payload[sizeof (mSession) + 1];
    UINT8       Data[IPMI_ANSWER_ROOM];
    UINT32      Size;
    UINT8       Cc;
    UINTN       Failures;

    CopyMem (Payload, &mSession, sizeof (mSession));
    Payload[sizeof (mSession)] = 0;        // no commit data
    for (Failures = 0; ; ) {
      if (mLimit.Passed ()) {
        return EFI_TIMEOUT;
      }

      Status = Once (BlobCommit, Payload, sizeof (Payload), Data, &Size, &Cc);
      if (!EFI_ERROR (Status)) {
        if (Cc != CC_SUCCESS) {
          return (Cc == CC_NOT_ALLOWED) ? EFI_ACCESS_DENIED : EFI_PROTOCOL_ERROR;
        }

        break;
      }

      if (!IsTransient (Status) || (++Failures >= KIV_BLOB_ATTEMPTS)) {
        return Status;
      }

      gBS->Stall (KIV_BLOB_PAUSE_US);
      if (NotTaken (Cc)) {
        continue;
      }

      Status = SessionStat (Stat);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      if ((Stat->State & (BLOB_COMMITTED | BLOB_COMMIT_ERROR)) != 0) {
        return EFI_SUCCESS;
      }
    }

    Status = SessionStat (Stat);
    if (!EFI_ERROR (Status) && ((Stat->State & (BLOB_COMMITTED | BLOB_COMMIT_ERROR)) == 0)) {
      return EFI_PROTOCOL_ERROR;
    }

    return Status;
  }

  /**
    The response in Reads, each where the last one ended; a short piece is
    taken, an empty or oversized one is not.
  **/
  EFI_STATUS
  ReadAll (
    OUT UINT8   *Response,
    IN  UINT32  Length
    )
  {
    EFI_STATUS  Status;
    UINT8       Data[IPMI_ANSWER_ROOM];
    UINT32      Size;
    BLOB_READ   Read;

    Read.Session = mSession;
    Read.Offset  = 0;
    while (Read.Offset < Length) {
      Read.Size = MIN (Length - Read.Offset, FixedPcdGet32 (PcdKivBlobReadPiece));
      Status    = Call (BlobRead, &Read, sizeof (Read), Data, &Size);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      if ((Size == 0) || (Size > Read.Size)) {
        return EFI_PROTOCOL_ERROR;
      }

      CopyMem (Response + Read.Offset, Data, Size);
      Read.Offset += Size;
    }

    return EFI_SUCCESS;
  }

  CONST Deadline  &mLimit;
  UINT16          mSession;
  BOOLEAN         mOpen;
};

/**
  KIV_PROTOCOL.SendCommand: one message to the Vexa and its response.

  @param[in]  This                The interface.
  @param[in]  Command             0x009D (send) or 0x809D (query).
  @param[in]  RequestBuffer       The request message; not changed. May be
                                  NULL when RequestBufferSize is 0.
  @param[in]  RequestBufferSize   Its length, at most 262,172 bytes.
  @param[out] ResponseBuffer      Receives the response in a pool buffer that
                                  becomes the caller's, or NULL when it is
                                  empty, refused or the call failed.
  @param[out] ResponseBufferSize  Receives its length (0 with NULL).
  @param[out] ResponseStatus      Receives the Vexa's completion code of the
                                  message: 0, or the code it refused it with.

  @retval EFI_SUCCESS            Exchanged, or refused by the Vexa with the
                                 code in ResponseStatus.
  @retval EFI_INVALID_PARAMETER  An out pointer is NULL, or RequestBuffer is
                                 NULL with a non-zero size.
  @retval EFI_UNSUPPORTED        Command is not one of the two; nothing sent.
  @retval EFI_BAD_BUFFER_SIZE    The request is too long; nothing sent.
  @retval EFI_ALREADY_STARTED    Another message is under way (a call from an
                                 event callback); nothing sent.
  @retval EFI_TIMEOUT            The message's deadline passed (its session
                                 closed), or the stack timed out every try.
  @retval EFI_ACCESS_DENIED      The BMC refused this channel (0xD4).
  @retval EFI_PROTOCOL_ERROR     A blob answer broke the contract, or the
                                 blob layer refused a transaction.
  @retval EFI_CRC_ERROR          Answers or requests damaged on every try.
  @retval EFI_OUT_OF_RESOURCES   No pool for the response, or no timer.
  @retval Others                 The IPMI stack's failure on every try.
**/
EFI_STATUS
EFIAPI
BlobSendCommand (
  IN  KIV_PROTOCOL  *This,
  IN  UINT16        Command,
  IN  UINT8         *RequestBuffer,
  IN  UINT32        RequestBufferSize,
  OUT UINT8         **ResponseBuffer,
  OUT UINT32        *ResponseBufferSize,
  OUT UINT16        *ResponseStatus
  )
{
  EFI_STATUS         Status;
  UINT8              Cc;
  UINT32             Length;
  PoolBuffer<UINT8>  Response;

  if ((ResponseBuffer == NULL) || (ResponseBufferSize == NULL) || (ResponseStatus == NULL) ||
      ((RequestBuffer == NULL) && (RequestBufferSize != 0)))
  {
    return EFI_INVALID_PARAMETER;
  }

  *ResponseBuffer     = NULL;
  *ResponseBufferSize = 0;
  *ResponseStatus     = 0;
  if ((Command != KIV_COMMAND_SEND) && (Command != KIV_COMMAND_QUERY)) {
    return EFI_UNSUPPORTED;
  }

  if (RequestBufferSize > KIV_MAX_MESSAGE) {
    return EFI_BAD_BUFFER_SIZE;
  }

  if (mBusy) {
    return EFI_ALREADY_STARTED;
  }

  mBusy  = TRUE;
  Cc     = CC_SUCCESS;
  Length = 0;
  {
    Deadline  Limit;

    Status = Limit.Start (FixedPcdGet32 (PcdKivMessageDeadlineMs));
    if (!EFI_ERROR (Status)) {
      BlobMessage  Message (Limit);

      Status = Message.Run (Command, RequestBuffer, RequestBufferSize, &Cc, Response, &Length);
    }
  }

  mBusy = FALSE;
  if (EFI_ERROR (Status)) {
    return Status;
  }

  *ResponseStatus = Cc;
  if ((Cc == CC_SUCCESS) && (Length != 0)) {
    *ResponseBufferSize = Length;
    *ResponseBuffer     = Response.Release ();
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
BlobUnused (
  VOID
  )
{
  return EFI_UNSUPPORTED;
}

KIV_PROTOCOL  mKiv = {
  {
    (KIV_RESERVED_FUNCTION)BlobUnused, (KIV_RESERVED_FUNCTION)BlobUnused, (KIV_RESERVED_FUNCTION)BlobUnused,
    (KIV_RESERVED_FUNCTION)BlobUnused, (KIV_RESERVED_FUNCTION)BlobUnused, (KIV_RESERVED_FUNCTION)BlobUnused,
  },
  BlobSendCommand
};

} // namespace

extern "C" {

/**
  Installs KIV_PROTOCOL on a new handle; dispatched once the platform's
  IPMI_PROTOCOL is there ([Depex]).

  @param[in] ImageHandle  This image.
  @param[in] SystemTable  The system table.

  @return The status of the installation.
**/
EFI_STATUS
EFIAPI
KivIpmiBlobDxeEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_HANDLE  Handle;

  Handle = NULL;
  return gBS->InstallMultipleProtocolInterfaces (&Handle, &gKivProtocolGuid, &mKiv, NULL);
}

} // extern "C"
