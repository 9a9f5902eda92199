/** @file
  KivKcsDxe, the KIV_PROTOCOL transport over KCS, against a model of the
  BMC's side of the KCS interface at 0xCA2/0xCA3 (behaving as QEMU's
  isa-ipmi-kcs does) with a scripted Vexa behind it that speaks the chunk
  protocol of VexaBmc/IpmiProtocol.md through a 36-byte answer room, as
  ipmi_sim does. One table: well-formed exchanges, every answer that breaks
  the chunk protocol, BMC refusals, a busy and a silent BMC, interface
  errors and their recovery; beside it, no interface at all and no pool for
  the response.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include <Protocol/KivProtocol.h>

#include "../../OnTarget/Include/KivKcsTest.h"

extern "C" EFI_STATUS EFIAPI
KivKcsDxeEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

namespace {

using Bytes = std::vector<UINT8>;

constexpr UINT16  KCS_DATA    = 0xCA2;
constexpr UINT16  KCS_STATUS  = 0xCA3;
constexpr UINT32  MAX_MESSAGE = 8 + 4 * (6 + 65535);

UINT32
Le32 (
  const Bytes  &B,
  size_t       At
  )
{
  return B[At] | (B[At + 1] << 8) | (B[At + 2] << 16) | (static_cast<UINT32>(B[At + 3]) << 24);
}

void
PutLe32 (
  Bytes   &B,
  UINT32  Value
  )
{
  for (int Shift = 0; Shift < 32; Shift += 8) {
    B.push_back (static_cast<UINT8>(Value >> Shift));
  }
}

/// The BMC's side of KCS: every write is taken at once (IBF never stays set);
/// a complete request goes to Respond, whose empty answer leaves the
/// interface in the write state for good (a silent BMC).
class KcsBmc : public Sim::PortDevice {
public:
  std::function<Bytes(const Bytes &)>  Respond;
  int                                  ErrorAtByte = -1;   ///< this data byte (counted over the test) goes to the error state
  unsigned                             Requests    = 0;
  unsigned                             Aborts      = 0;

  UINT8
  Read (
    UINT16  Port
    ) override
  {
    if (Port == KCS_STATUS) {
      return static_cast<UINT8>((mState << 6) | (mCommand ? 0x08 : 0) | (mObf ? 0x01 : 0));
    }

    mObf = false;
    return mOut;
  }

  void
  Write (
    UINT16  Port,
    UINT8   Value
    ) override
  {
    mCommand = (Port == KCS_STATUS);
    if (mCommand) {
      if (Value == 0x60) {                        // GET_STATUS/ABORT
        Aborts++;
        mAborting = true;
        mState    = WRITE;
      } else if (Value == 0x61) {                 // WRITE_START
        mState    = WRITE;
        mWriteEnd = false;
        mIn.clear ();
      } else if ((Value == 0x62) && (mState == WRITE)) {
        mWriteEnd = true;
      } else {
        mState = ERROR;
      }

      return;
    }

    if (mAborting) {                              // the status byte, then the dummy byte
      mAborting = false;
      mOutMsg   = { 0x01 };
      mPos      = 0;
      mState    = READ;
      Next ();
    } else if (mState == WRITE) {
      if (mDataBytes++ == ErrorAtByte) {
        mState = ERROR;
        return;
      }

      mIn.push_back (Value);
      if (mWriteEnd) {
        Requests++;
        mOutMsg = Respond (mIn);
        mPos    = 0;
        if (!mOutMsg.empty ()) {
          mState = READ;
          Next ();
        }
      }
    } else if ((mState == READ) && (Value == 0x68)) {
      Next ();
    } else {
      mState = ERROR;
    }
  }

private:
  enum : UINT8 { IDLE = 0, READ = 1, WRITE = 2, ERROR = 3 };

  void
  Next (
    )
  {
    if (mPos < mOutMsg.size ()) {
      mOut = mOutMsg[mPos++];
    } else {
      mState = IDLE;
      mOut   = 0;
    }

    mObf = true;
  }

  UINT8   mState     = IDLE;
  bool    mObf       = false;
  bool    mCommand   = false;
  bool    mWriteEnd  = false;
  bool    mAborting  = false;
  int     mDataBytes = 0;
  UINT8   mOut       = 0;
  Bytes   mIn;
  Bytes   mOutMsg;
  size_t  mPos = 0;
};

/// The Vexa's chunk protocol, well behaved; Mutate may spoil the answer of
/// transaction N (the whole KCS response: NetFn/LUN, command, code, data).
struct ChunkVexa {
  std::function<Bytes(const Bytes &)>      Application;
  std::function<void(unsigned, Bytes &)>   Mutate;
  size_t                                   Room = 36;
  unsigned                                 Transactions = 0;
  unsigned                                 Puts = 0;
  Bytes                                    Message;
  Bytes                                    Response;

  Bytes
  operator() (
    const Bytes  &Request
    )
  {
    Bytes  Answer = { static_cast<UINT8>(Request[0] + 4), Request[1], 0x00 };
    Bytes  Data (Request.begin () + 2, Request.end ());

    if (Data[0] == 0x01) {
      Puts++;
      if (Le32 (Data, 5) == 0) {
        Message.clear ();
      }

      Message.insert (Message.end (), Data.begin () + 9, Data.end ());
      if (Message.size () == Le32 (Data, 1)) {
        Response = Application (Message);
        PutLe32 (Answer, static_cast<UINT32>(Response.size ()));
        Answer.insert (Answer.end (), Response.begin (), Response.begin () + std::min (Response.size (), Room - 5));
      }
    } else {
      const size_t  From = Le32 (Data, 1);
      Answer.insert (Answer.end (), Response.begin () + From, Response.begin () + std::min (Response.size (), From + Room - 1));
    }

    if (Mutate) {
      Mutate (Transactions, Answer);
    }

    Transactions++;
    return Answer;
  }
};

Bytes
Pattern (
  size_t  Size,
  UINT8   Seed
  )
{
  Bytes  B (Size);

  for (size_t I = 0; I < Size; I++) {
    B[I] = static_cast<UINT8>(Seed + I * 7);
  }

  return B;
}

struct Case {
  const char                               *Name;
  size_t                                   RequestSize;
  size_t                                   ResponseSize;
  std::function<void(unsigned, Bytes &)>   Mutate;
  EFI_STATUS                               Status;
  UINT16                                   Completion;       ///< when Status is EFI_SUCCESS
  unsigned                                 Transactions;     ///< KCS transactions completed
  unsigned                                 Retries;
  std::function<void(KcsBmc &)>            Fault = nullptr;
  UINT16                                   Command = 0x809D;
  unsigned                                 Puts = 0;         ///< PUTs the Vexa received (0: not checked)
};

/// Sets the Nth answer's completion code and drops its data.
std::function<void(unsigned, Bytes &)>
CodeAt (
  unsigned  N,
  UINT8     Code,
  bool      Always = false
  )
{
  return [=] (unsigned I, Bytes &A) {
           if ((I == N) || Always) {
             A.resize (3);
             A[2] = Code;
           }
         };
}

// A 600-byte request is 3 PUTs (246 + 246 + 108); a 100-byte response is
// the completing PUT's 31 bytes and two GETs of 35 and 34.
const Case  CASES[] = {
  { "request and response of many pieces",            600,  100,  nullptr,                                           EFI_SUCCESS,        0,    5,  0 },
  { "response ends on a piece boundary",              8,    101,  nullptr,                                           EFI_SUCCESS,        0,    3,  0 },
  { "empty request, empty response",                  0,    0,    nullptr,                                           EFI_SUCCESS,        0,    1,  0 },
  { "largest request: 1066 PUTs",                     MAX_MESSAGE, 0, nullptr,                                       EFI_SUCCESS,        0,    1066, 0 },
  { "Length above the largest message",               6,    10,   [] (unsigned, Bytes &A) { A[6] = 0x04; A.resize (7); }, EFI_PROTOCOL_ERROR, 0, 1, 0 },
  { "first piece longer than Length",                 6,    3,    [] (unsigned, Bytes &A) { A.push_back (0xEE); },   EFI_PROTOCOL_ERROR, 0,    1,  0 },
  { "completing answer without its Length",           6,    3,    [] (unsigned, Bytes &A) { A.resize (6); },         EFI_PROTOCOL_ERROR, 0,    1,  0 },
  { "unfinished PUT answered with data",              300,  3,    [] (unsigned I, Bytes &A) { if (I == 0) { A.push_back (0); } }, EFI_PROTOCOL_ERROR, 0, 1, 0 },
  { "GET answer without a byte while bytes remain",   6,    100,  [] (unsigned I, Bytes &A) { if (I == 1) { A.resize (3); } }, EFI_PROTOCOL_ERROR, 0, 2, 0 },
  { "GET answer with more bytes than remain",         6,    40,   [] (unsigned I, Bytes &A) { if (I == 1) { A.insert (A.end (), 4, 0xEE); } }, EFI_PROTOCOL_ERROR, 0, 2, 0 },
  { "answer names another NetFn",                     6,    3,    [] (unsigned, Bytes &A) { A[0] = 0xC4; },          EFI_PROTOCOL_ERROR, 0,    1,  0 },
  { "answer names another command",                   6,    3,    [] (unsigned, Bytes &A) { A[1] = 0x9E; },          EFI_PROTOCOL_ERROR, 0,    1,  0 },
  { "Vexa refuses the first PUT",                     600,  3,    CodeAt (0, 0xC9),                                  EFI_SUCCESS,        0xC9, 1,  0 },
  { "Vexa refuses a GET midway",                      6,    100,  CodeAt (2, 0xD5),                                  EFI_SUCCESS,        0xD5, 3,  0 },
  { "busy once, then served",                         6,    40,   CodeAt (0, 0xD2),                                  EFI_SUCCESS,        0,    3,  1 },
  { "BMC not up through every try",                   6,    3,    CodeAt (0, 0xD2, true),                            EFI_NOT_READY,      0,    3,  2 },
  { "IPMI time-out through every try",                6,    3,    CodeAt (0, 0xC3, true),                            EFI_TIMEOUT,        0,    3,  2 },
  { "interface error in a PUT: message again",        300,  3,    nullptr,                                           EFI_SUCCESS,        0,    2,  1,
    [] (KcsBmc &B) { B.ErrorAtByte = 100; }, 0x809D, 2 },
  { "interface error in a GET: that GET again",       6,    100,  nullptr,                                           EFI_SUCCESS,        0,    3,  1,
    [] (KcsBmc &B) { B.ErrorAtByte = 17 + 2; }, 0x809D, 1 },
  { "silent BMC: time limit on every try",            6,    3,    nullptr,                                           EFI_TIMEOUT,        0,    0,  2,
    [] (KcsBmc &B) { B.Respond = [] (const Bytes &) { return Bytes (); }; } },
  { "command code outside the mapping",               6,    3,    nullptr,                                           EFI_UNSUPPORTED,    0,    0,  0,
    nullptr, 0x409D },
  { "request above the largest message",              MAX_MESSAGE + 1, 0, nullptr,                                   EFI_BAD_BUFFER_SIZE, 0,   0,  0 },
};

TEST (KivKcsDxe, AnswersOfTheBmcTable) {
  EFI_GUID  CountersGuid = KIV_KCS_TEST_PROTOCOL_GUID;

  for (const Case &C : CASES) {
    SCOPED_TRACE (C.Name);
    KcsBmc     Bmc;
    ChunkVexa  Vexa;
    Bytes      Request  = Pattern (C.RequestSize, 0x11);
    Bytes      Expected = Pattern (C.ResponseSize, 0x5C);

    Vexa.Application = [&] (const Bytes &) { return Expected; };
    Vexa.Mutate      = C.Mutate;
    Bmc.Respond      = std::ref (Vexa);
    if (C.Fault) {
      C.Fault (Bmc);
    }

    Sim::Ports ().Map (KCS_DATA, 2, &Bmc);
    ASSERT_EQ (KivKcsDxeEntryPoint (Sim::ImageHandle (), Sim::SystemTable ()), EFI_SUCCESS);
    KIV_PROTOCOL           *Kiv      = nullptr;
    KIV_KCS_TEST_PROTOCOL  *Counters = nullptr;
    ASSERT_EQ (gBS->LocateProtocol (&gKivProtocolGuid, nullptr, reinterpret_cast<void **>(&Kiv)), EFI_SUCCESS);
    ASSERT_EQ (gBS->LocateProtocol (&CountersGuid, nullptr, reinterpret_cast<void **>(&Counters)), EFI_SUCCESS);
    Counters->GetCounters (Counters, nullptr, TRUE);

    UINT8       *Response  = reinterpret_cast<UINT8 *>(1);
    UINT32      Size       = 0xA5A5A5A5;
    UINT16      Completion = 0x5A5A;
    EFI_STATUS  Status     = Kiv->SendCommand (Kiv, C.Command, Request.data (), static_cast<UINT32>(Request.size ()), &Response, &Size, &Completion);

    KIV_KCS_COUNTERS  Got;
    Counters->GetCounters (Counters, &Got, TRUE);
    EXPECT_EQ (Status, C.Status);
    EXPECT_EQ (Got.Transactions, C.Transactions);
    EXPECT_EQ (Got.Retries, C.Retries);
    if ((Status == EFI_SUCCESS) && (C.Completion == 0)) {
      EXPECT_EQ (Completion, 0);
      EXPECT_EQ (Vexa.Message, Request) << "the request reached the Vexa whole";
      EXPECT_EQ (Bytes (Response, Response + Size), Expected);
      EXPECT_EQ (Response == nullptr, Expected.empty ());
      EXPECT_TRUE (Response == nullptr || Sim::Pool ().IsLive (Response)) << "a pool buffer the caller frees";
    } else {
      EXPECT_EQ (Completion, C.Completion);
      EXPECT_EQ (Response, nullptr);
      EXPECT_EQ (Size, 0U);
    }

    if (C.Status == EFI_UNSUPPORTED || C.Status == EFI_BAD_BUFFER_SIZE) {
      EXPECT_TRUE (Sim::Ports ().Log ().empty ()) << "refused before touching the interface";
    }

    if (Response != nullptr) {
      gBS->FreePool (Response);
    }

    EXPECT_EQ (Bmc.Aborts, Got.Recoveries);
    if (C.Puts != 0) {
      EXPECT_EQ (Vexa.Puts, C.Puts);
    }

    Sim::CheckAtEnd ();
    Sim::Reset ();
  }
}

TEST (KivKcsDxe, WithoutAnInterfaceItFailsAtOnce) {
  KIV_PROTOCOL  *Kiv = nullptr;
  Bytes         Request = Pattern (6, 0);
  UINT8         *Response = nullptr;
  UINT32        Size = 0;
  UINT16        Completion = 0;

  ASSERT_EQ (KivKcsDxeEntryPoint (Sim::ImageHandle (), Sim::SystemTable ()), EFI_SUCCESS) << "installed all the same";
  ASSERT_EQ (gBS->LocateProtocol (&gKivProtocolGuid, nullptr, reinterpret_cast<void **>(&Kiv)), EFI_SUCCESS);
  EXPECT_EQ (Kiv->SendCommand (Kiv, 0x809D, Request.data (), 6, &Response, &Size, &Completion), EFI_NO_RESPONSE);
  EXPECT_EQ (Response, nullptr);
  ASSERT_EQ (Sim::Ports ().Log ().size (), 1U) << "one look at the status register";
  EXPECT_FALSE (Sim::Ports ().Log ()[0].Write);
}

TEST (KivKcsDxe, NoPoolForTheResponse) {
  KcsBmc        Bmc;
  ChunkVexa     Vexa;
  KIV_PROTOCOL  *Kiv = nullptr;
  Bytes         Request = Pattern (6, 0);
  UINT8         *Response = nullptr;
  UINT32        Size = 0;
  UINT16        Completion = 0;

  Vexa.Application = [] (const Bytes &) { return Pattern (100, 1); };
  Bmc.Respond      = std::ref (Vexa);
  Sim::Ports ().Map (KCS_DATA, 2, &Bmc);
  ASSERT_EQ (KivKcsDxeEntryPoint (Sim::ImageHandle (), Sim::SystemTable ()), EFI_SUCCESS);
  ASSERT_EQ (gBS->LocateProtocol (&gKivProtocolGuid, nullptr, reinterpret_cast<void **>(&Kiv)), EFI_SUCCESS);
  Sim::Pool ().FailAllAllocations ();
  EXPECT_EQ (Kiv->SendCommand (Kiv, 0x809D, Request.data (), 6, &Response, &Size, &Completion), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (Response, nullptr);
}

} // namespace
