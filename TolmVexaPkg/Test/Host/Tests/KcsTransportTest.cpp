/** @file
  IpmiKcsDxe, IPMI_PROTOCOL over KCS, against a model of the BMC's side of
  the KCS interface at 0xCA2/0xCA3 (behaving as QEMU's isa-ipmi-kcs does).
  One table of transactions: well-formed ones, completion codes passed
  through, answers to another request, interface errors and a silent BMC
  with their recovery, a response larger than the caller's room, a request
  too long; beside it, no interface at all.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include <Protocol/IpmiProtocol.h>

#include "../../OnTarget/Include/IpmiKcsTest.h"

extern "C" EFI_STATUS EFIAPI
IpmiKcsDxeEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

namespace {

using Bytes = std::vector<UINT8>;

constexpr UINT16  KCS_DATA    = 0xCA2;
constexpr UINT16  KCS_STATUS  = 0xCA3;

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

/// The BMC's answer to a request (NetFn/LUN, command, data): NetFn + 1, the
/// command, completion code 0 and Size data bytes; Mutate may spoil it.
struct Case {
  const char                       *Name;
  size_t                           RequestSize;
  size_t                           AnswerSize;
  std::function<void(Bytes &)>     Mutate;
  EFI_STATUS                       Status;
  UINT64                           Unanswered;
  std::function<void(KcsBmc &)>    Fault = nullptr;
  UINT32                           Room  = 64;
};

const Case  CASES[] = {
  { "request and response",                        12,  8,  nullptr,                                   EFI_SUCCESS,          0 },
  { "255-byte request, 39-byte answer",            255, 38, nullptr,                                   EFI_SUCCESS,          0 },
  { "empty request",                               0,   0,  nullptr,                                   EFI_SUCCESS,          0 },
  { "0xD2 passes through",                         4,   0,  [] (Bytes &A) { A[2] = 0xD2; },            EFI_SUCCESS,          1 },
  { "0xC0 passes through",                         4,   0,  [] (Bytes &A) { A[2] = 0xC0; },            EFI_SUCCESS,          1 },
  { "0xC3 passes through",                         4,   0,  [] (Bytes &A) { A[2] = 0xC3; },            EFI_SUCCESS,          1 },
  { "the Vexa's own code passes through",          4,   0,  [] (Bytes &A) { A[2] = 0xCB; },            EFI_SUCCESS,          0 },
  { "answer names another NetFn",                  4,   3,  [] (Bytes &A) { A[0] = 0xC4; },            EFI_DEVICE_ERROR,     1 },
  { "answer names another command",                4,   3,  [] (Bytes &A) { A[1] = 0x81; },            EFI_DEVICE_ERROR,     1 },
  { "answer without a completion code",            4,   0,  [] (Bytes &A) { A.resize (2); },           EFI_DEVICE_ERROR,     1 },
  { "response larger than the caller's room",      4,   40, nullptr,                                   EFI_OUT_OF_RESOURCES, 0, nullptr, 20 },
  { "interface error in the request: recovered",   30,  3,  nullptr,                                   EFI_DEVICE_ERROR,     1,
    [] (KcsBmc &B) { B.ErrorAtByte = 10; } },
  { "silent BMC: time limit, recovered",           4,   3,  nullptr,                                   EFI_TIMEOUT,          1,
    [] (KcsBmc &B) { B.Respond = [] (const Bytes &) { return Bytes (); }; } },
  { "request too long",                            256, 3,  nullptr,                                   EFI_INVALID_PARAMETER, 0 },
};

TEST (IpmiKcsDxe, TransactionsOfTheBmcTable) {
  EFI_GUID  CountersGuid = IPMI_KCS_TEST_PROTOCOL_GUID;

  for (const Case &C : CASES) {
    SCOPED_TRACE (C.Name);
    KcsBmc  Bmc;
    Bytes   Request = Pattern (C.RequestSize, 0x11);
    Bytes   Answer;
    Bytes   Seen;

    Bmc.Respond = [&] (const Bytes &In) {
                    Seen   = In;
                    Answer = { static_cast<UINT8>(In[0] + 4), In[1], 0x00 };
                    Bytes  Data = Pattern (C.AnswerSize, 0x5C);
                    Answer.insert (Answer.end (), Data.begin (), Data.end ());
                    if (C.Mutate) {
                      C.Mutate (Answer);
                    }

                    return Answer;
                  };
    if (C.Fault) {
      C.Fault (Bmc);
    }

    Sim::Ports ().Map (KCS_DATA, 2, &Bmc);
    ASSERT_EQ (IpmiKcsDxeEntryPoint (Sim::ImageHandle (), Sim::SystemTable ()), EFI_SUCCESS);
    IPMI_PROTOCOL           *Ipmi     = nullptr;
    IPMI_KCS_TEST_PROTOCOL  *Counters = nullptr;
    ASSERT_EQ (gBS->LocateProtocol (&gIpmiProtocolGuid, nullptr, reinterpret_cast<void **>(&Ipmi)), EFI_SUCCESS);
    ASSERT_EQ (gBS->LocateProtocol (&CountersGuid, nullptr, reinterpret_cast<void **>(&Counters)), EFI_SUCCESS);
    Counters->GetCounters (Counters, nullptr, TRUE);

    UINT8       Response[300];
    UINT32      Size   = C.Room;
    EFI_STATUS  Status = Ipmi->IpmiSubmitCommand (Ipmi, 0x2E, 0x80, Request.data (), static_cast<UINT32>(Request.size ()), Response, &Size);

    IPMI_KCS_COUNTERS  Got;
    Counters->GetCounters (Counters, &Got, TRUE);
    EXPECT_EQ (Status, C.Status);
    EXPECT_EQ (Got.Unanswered, C.Unanswered);
    EXPECT_EQ (Bmc.Aborts, Got.Recoveries);
    if (Status == EFI_SUCCESS) {
      EXPECT_EQ (Bytes (Seen.begin (), Seen.begin () + 2), Bytes ({ 0x2E << 2, 0x80 })) << "NetFn/LUN and command";
      EXPECT_EQ (Bytes (Seen.begin () + 2, Seen.end ()), Request) << "the request reached the BMC whole";
      EXPECT_EQ (Bytes (Response, Response + Size), Bytes (Answer.begin () + 2, Answer.end ())) << "from the completion code on";
      EXPECT_EQ (Got.Transactions, 1U);
    } else if (Status == EFI_OUT_OF_RESOURCES) {
      EXPECT_EQ (Size, Answer.size () - 2) << "the room needed";
    }

    if (C.Status == EFI_INVALID_PARAMETER) {
      EXPECT_TRUE (Sim::Ports ().Log ().empty ()) << "refused before touching the interface";
    }

    if ((C.Fault != nullptr) && (Status != EFI_SUCCESS)) {
      Bmc.ErrorAtByte = -1;
      Bmc.Respond     = [] (const Bytes &In) { return Bytes { static_cast<UINT8>(In[0] + 4), In[1], 0x00 }; };
      Size            = C.Room;
      EXPECT_EQ (Ipmi->IpmiSubmitCommand (Ipmi, 0x2E, 0x80, Request.data (), 4, Response, &Size), EFI_SUCCESS) << "idle again";
    }

    Sim::CheckAtEnd ();
    Sim::Reset ();
  }
}

TEST (IpmiKcsDxe, WithoutAnInterfaceItFailsAtOnce) {
  IPMI_PROTOCOL  *Ipmi = nullptr;
  UINT8          Request[4] = { 0 };
  UINT8          Response[16];
  UINT32         Size = sizeof (Response);

  ASSERT_EQ (IpmiKcsDxeEntryPoint (Sim::ImageHandle (), Sim::SystemTable ()), EFI_SUCCESS) << "installed all the same";
  ASSERT_EQ (gBS->LocateProtocol (&gIpmiProtocolGuid, nullptr, reinterpret_cast<void **>(&Ipmi)), EFI_SUCCESS);
  EXPECT_EQ (Ipmi->IpmiSubmitCommand (Ipmi, 0x2E, 0x80, Request, 4, Response, &Size), EFI_UNSUPPORTED);
  ASSERT_EQ (Sim::Ports ().Log ().size (), 1U) << "one look at the status register";
  EXPECT_FALSE (Sim::Ports ().Log ()[0].Write);
  EXPECT_EQ (Ipmi->IpmiSubmitCommand (Ipmi, 0x2E, 0x80, Request, 4, nullptr, &Size), EFI_INVALID_PARAMETER);
}

} // namespace
