/** @file
  KivIpmiBlobDxe, KIV_PROTOCOL over IpmiLib in OpenBMC's blob transfer,
  against a fake IPMI_PROTOCOL with the Vexa's real blob layer and core
  (VexaBmc/Source) behind it. One table of BMC behaviours: a payload damaged
  either way, a session the BMC does not know or another client touches, an
  expired session, a lost Write or Commit answer, a slow BMC against the
  message's deadline, a nested call, answers that break the contract; then
  the calls refused before anything is sent, and the CRC's check value.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include <Protocol/IpmiProtocol.h>
#include <Protocol/KivProtocol.h>

#include "VexaBlob.h"

extern "C" {
EFI_STATUS EFIAPI
KivIpmiBlobDxeEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

UINT16 EFIAPI
KivBlobCrc16 (
  IN CONST UINT8  *Data,
  IN UINTN        Size
  );
}

namespace {

using Bytes = std::vector<UINT8>;

constexpr UINT8  OEN[] = { 0xCF, 0xC2, 0x00 };

/// One transaction as the fake sees it: the request after the OEN, the
/// answer with it; a fault may change either, keep the request from the BMC
/// (Deliver) or lose the answer (Status).
struct Txn {
  unsigned      Index;        ///< of this sub-command in the message, from 0
  UINT8         Sub;
  Bytes         Request;
  Bytes         Answer;
  bool          Deliver = true;
  EFI_STATUS    Status  = EFI_SUCCESS;
};

using Fault = std::function<void (Txn &)>;

struct FakeBmc;
FakeBmc  *mBmc;

/// The BMC behind IPMI_PROTOCOL (one interface for the whole run: IpmiLib
/// keeps the pointer it located first).
struct FakeBmc {
  vexa::VexaCore       Core;
  vexa::VexaBlob       Blob;
  vexa::VexaBlob::Caller  Caller;
  Fault                Before, After;
  UINT64               Step = 0;                 ///< 100 ns units each answer takes
  std::vector<UINT8>   Subs;
  unsigned             Count[11] = {};

  FakeBmc (
    )
    : Blob (Core, [] { return std::int64_t (Sim::Clock ().Now / 10000); }, [] { return UINT16 (0x4711); })
  {
  }

  static EFI_STATUS EFIAPI
  Submit (
    IN     IPMI_PROTOCOL  *This,
    IN     UINT8          NetFunction,
    IN     UINT8          Command,
    IN     UINT8          *RequestData,
    IN     UINT32         RequestDataSize,
    OUT    UINT8          *ResponseData,
    IN OUT UINT32         *ResponseDataSize
    )
  {
    FakeBmc  &Bmc = *mBmc;

    EXPECT_EQ (NetFunction, 0x2E);
    EXPECT_EQ (Command, 0x80);
    EXPECT_LE (RequestDataSize, 255U);
    EXPECT_TRUE (RequestDataSize >= 4 && memcmp (RequestData, OEN, 3) == 0);
    Txn  T;
    T.Sub     = RequestData[3];
    T.Index   = (T.Sub < 11) ? Bmc.Count[T.Sub]++ : 0;
    T.Request.assign (RequestData + 3, RequestData + RequestDataSize);
    Bmc.Subs.push_back (T.Sub);
    if (Bmc.Before) {
      Bmc.Before (T);
    }

    if (T.Deliver) {
      Bytes  A = Bmc.Blob.Handle (Bmc.Caller, T.Request.data (), T.Request.size (), 36);
      T.Answer = { A[0], OEN[0], OEN[1], OEN[2] };
      T.Answer.insert (T.Answer.end (), A.begin () + 1, A.end ());
    }

    if (Bmc.After) {
      Bmc.After (T);
    }

    Sim::Clock ().Now += Bmc.Step;
    if (EFI_ERROR (T.Status)) {
      return T.Status;
    }

    EXPECT_LE (T.Answer.size (), *ResponseDataSize);
    std::copy (T.Answer.begin (), T.Answer.end (), ResponseData);
    *ResponseDataSize = static_cast<UINT32>(T.Answer.size ());
    return EFI_SUCCESS;
  }
};

Bytes
Der (
  size_t  Size
  )
{
  Bytes  B (Size);

  for (size_t I = 0; I < Size; I++) {
    B[I] = static_cast<UINT8>(0x30 + I * 7);
  }

  return B;
}

/// A fault on the Nth transaction of one sub-command (N < 0: every one).
Fault
On (
  UINT8                      Sub,
  int                        N,
  std::function<void (Txn &)>  Do
  )
{
  return [=] (Txn &T) {
           if ((T.Sub == Sub) && ((N < 0) || (T.Index == static_cast<unsigned>(N)))) {
             Do (T);
           }
         };
}

/// The answer's data replaced (its CRC made to fit).
void
SetData (
  Txn          &T,
  const Bytes  &Data
  )
{
  UINT16  Crc = KivBlobCrc16 (Data.data (), Data.size ());

  T.Answer = { 0, OEN[0], OEN[1], OEN[2], static_cast<UINT8>(Crc), static_cast<UINT8>(Crc >> 8) };
  T.Answer.insert (T.Answer.end (), Data.begin (), Data.end ());
}

Bytes
DataOf (
  const Txn  &T
  )
{
  return Bytes (T.Answer.begin () + 6, T.Answer.end ());
}

IPMI_PROTOCOL  mIpmi = { FakeBmc::Submit };
KIV_PROTOCOL   *mKiv;
EFI_STATUS     mNested;

/// Another client's Read, Write, Commit, Close and SessionStat on the
/// firmware's session (id 0x4711): each refused as unknown.
void
ForeignClient (
  Txn  &
  )
{
  const vexa::VexaBlob::Caller  Other { 15, 7 };

  for (Bytes R : { Bytes { 3, 0, 0, 0x11, 0x47, 0, 0, 0, 0, 0x10, 0, 0, 0 }, Bytes { 4, 0, 0, 0x11, 0x47, 0, 0, 0, 0, 0xA0 },
                   Bytes { 5, 0, 0, 0x11, 0x47, 0 }, Bytes { 6, 0, 0, 0x11, 0x47 }, Bytes { 9, 0, 0, 0x11, 0x47 } })
  {
    const UINT16  Crc = KivBlobCrc16 (R.data () + 3, R.size () - 3);
    R[1] = static_cast<UINT8>(Crc);
    R[2] = static_cast<UINT8>(Crc >> 8);
    EXPECT_EQ (mBmc->Blob.Handle (Other, R.data (), R.size (), 36), Bytes { vexa::kCcUnknownSession });
  }
}

/// The answer the BMC would give, made up without it.
Fault
Answer (
  Bytes  A
  )
{
  return [=] (Txn &T) {
           T.Deliver = false;
           T.Answer  = A;
         };
}

enum Message { Import1, Import5, Sync };

struct Case {
  const char    *Name;
  Message       Send;
  Fault         Before;
  Fault         After;
  EFI_STATUS    Status;
  UINT16        Completion  = 0;
  unsigned      Executions  = 1;      ///< times the Vexa executed the message
  size_t        Cert        = 100;    ///< certificate bytes: 108-byte response, 4 Reads
  UINT64        Step        = 0;
  UINT8         Channel     = 15;
  unsigned      Transactions = 0;     ///< 0: not checked
};

const EFI_STATUS  OK = EFI_SUCCESS, PROTOCOL = EFI_PROTOCOL_ERROR;

const Case  CASES[] = {
  { "import: Open, Write, Commit, SessionStat, 4 Reads, Close", Import1, nullptr, nullptr, OK, 0, 1, 100, 0, 15, 9 },
  { "sync of 596 bytes: 3 Writes, no Read", Sync, nullptr, nullptr, OK, 0, 1, 100, 0, 15, 7 },
  { "Vexa refuses the message: its code in ResponseStatus", Import5, nullptr, nullptr, OK, 0xC9, 0, 100, 0, 15, 5 },
  { "Write damaged on the way (0xC6): sent again", Sync, On (4, 1, [] (Txn &T) { T.Request.back () ^= 1; }), nullptr, OK, 0, 1, 100, 0, 15, 8 },
  { "Read answer damaged: read again", Import1, nullptr, On (3, 2, [] (Txn &T) { T.Answer.back () ^= 1; }), OK, 0, 1, 100, 0, 15, 10 },
  { "every Read answer damaged", Import1, nullptr, On (3, -1, [] (Txn &T) { T.Answer.back () ^= 1; }), EFI_CRC_ERROR, 0, 1, 100, 0, 15, 8 },
  { "SessionStat answer damaged: asked again", Import1, nullptr, On (9, 0, [] (Txn &T) { T.Answer[5] ^= 1; }), OK, 0, 1, 100, 0, 15, 10 },
  { "another client's Read, Write, Commit, Close on the session: refused, the message whole", Import1,
    On (3, 0, ForeignClient), nullptr, OK, 0, 1, 100, 0, 15, 9 },
  { "BMC no longer knows the session (0xCB)", Import1, On (9, 0, Answer ({ 0xCB, 0xCF, 0xC2, 0 })), nullptr, PROTOCOL },
  { "session expired between Commit and Read", Import1, On (3, 0, [] (Txn &) { Sim::Clock ().Now += 11ULL * 10000000; }), nullptr, PROTOCOL },
  { "Commit's answer lost: SessionStat says committed, executed once", Sync, nullptr, On (5, 0, [] (Txn &T) { T.Status = EFI_TIMEOUT; }), OK, 0, 1, 100, 0, 15, 7 },
  { "Commit lost on the way: not committed, committed by the second", Sync, On (5, 0, [] (Txn &T) { T.Deliver = false; T.Status = EFI_DEVICE_ERROR; }), nullptr, OK, 0, 1, 100, 0, 15, 9 },
  { "Write's answer lost: SessionStat says where to go on", Sync, nullptr, On (4, 1, [] (Txn &T) { T.Status = EFI_TIMEOUT; }), OK, 0, 1, 100, 0, 15, 8 },
  { "Write lost on the way: sent again from where the BMC stands", Sync, On (4, 1, [] (Txn &T) { T.Deliver = false; T.Status = EFI_TIMEOUT; }), nullptr, OK, 0, 1, 100, 0, 15, 9 },
  { "slow BMC: 2 s an answer, the deadline passes mid-Read, the session closed", Import1, nullptr, nullptr, EFI_TIMEOUT, 0, 1, 1000, 20000000 },
  { "nested call from a callback: refused at once", Import1,
    On (3, 0, [] (Txn &) {
      UINT8 *R = nullptr; UINT32 S = 0; UINT16 C = 0; UINT8 Q[6] = { 0xA0 };
      mNested = mKiv->SendCommand (mKiv, 0x809D, Q, 6, &R, &S, &C);
    }), nullptr, OK, 0, 1, 100, 0, 15, 9 },
  { "BMC not up (0xD2) through every try", Import1, On (2, -1, Answer ({ 0xD2 })), nullptr, EFI_NOT_READY, 0, 0, 100, 0, 15, 3 },
  { "BMC busy once (0xC0)", Import1, On (2, 0, Answer ({ 0xC0 })), nullptr, OK, 0, 1, 100, 0, 15, 10 },
  { "IPMI time-out (0xC3) through every try", Import1, On (2, -1, Answer ({ 0xC3 })), nullptr, EFI_TIMEOUT, 0, 0 },
  { "not the system interface: the gate (0xD4)", Import1, nullptr, nullptr, EFI_ACCESS_DENIED, 0, 0, 100, 0, 1, 1 },
  { "gate on a Write", Sync, On (4, 0, Answer ({ 0xD4 })), nullptr, EFI_ACCESS_DENIED, 0, 0 },
  { "gate on the Commit", Sync, On (5, 0, Answer ({ 0xD4 })), nullptr, EFI_ACCESS_DENIED, 0, 0 },
  { "Commit refused by the blob layer", Sync, On (5, 0, Answer ({ 0xD5 })), nullptr, PROTOCOL, 0, 0 },
  { "Write refused by the blob layer", Sync, On (4, 2, Answer ({ 0xC9 })), nullptr, PROTOCOL, 0, 0 },
  { "answer without the OEN", Import1, On (2, 0, Answer ({ 0, 0xCF })), nullptr, PROTOCOL, 0, 0 },
  { "answer with a foreign OEN", Import1, On (2, 0, Answer ({ 0, 0xCF, 0xC2, 1, 0x3F, 0x55, 0x11, 0x47 })), nullptr, PROTOCOL, 0, 0 },
  { "answer of a CRC and nothing", Sync, nullptr, On (4, 0, [] (Txn &T) { T.Answer.push_back (0x0F); T.Answer.push_back (0x1D); }), PROTOCOL, 0, 0 },
  { "empty answer", Import1, On (2, 0, Answer ({})), nullptr, PROTOCOL, 0, 0 },
  { "empty answer to a Write", Sync, nullptr, On (4, 1, [] (Txn &T) { T.Answer.clear (); }), PROTOCOL, 0, 0 },
  { "Open answers a 3-byte session", Import1, On (2, 0, [] (Txn &T) { T.Deliver = false; SetData (T, { 1, 2, 3 }); }), nullptr, PROTOCOL, 0, 0 },
  { "Read answer longer than asked", Import1, nullptr, On (3, 0, [] (Txn &T) { Bytes D = DataOf (T); D.push_back (0); SetData (T, D); }), PROTOCOL },
  { "last Read answer runs past the response", Import1, nullptr, On (3, 3, [] (Txn &T) { Bytes D = DataOf (T); D.resize (33, 0xEE); SetData (T, D); }), PROTOCOL },
  { "Read answer empty while bytes remain", Import1, nullptr, On (3, 1, [] (Txn &T) { T.Answer.resize (4); }), PROTOCOL },
  { "short Read answers are taken", Import1, nullptr, On (3, -1, [] (Txn &T) { Bytes D = DataOf (T); D.resize (D.size () > 1 ? D.size () - 1 : 1); SetData (T, D); }), OK },
  { "SessionStat: neither committed nor failed", Import1, nullptr, On (9, 0, [] (Txn &T) { Bytes D = DataOf (T); D[0] = 3; SetData (T, D); }), PROTOCOL },
  { "SessionStat: failed with completion code 0", Import1, nullptr, On (9, 0, [] (Txn &T) { Bytes D = DataOf (T); D[0] = 0x13; SetData (T, D); }), PROTOCOL },
  { "SessionStat: committed with a refusal's code", Import1, nullptr, On (9, 0, [] (Txn &T) { Bytes D = DataOf (T); D[7] = 0xC9; SetData (T, D); }), PROTOCOL },
  { "SessionStat: no metadata", Import1, nullptr, On (9, 0, [] (Txn &T) { Bytes D = DataOf (T); D[6] = 0; D.pop_back (); SetData (T, D); }), PROTOCOL },
  { "SessionStat: metadata length disagrees", Import1, nullptr, On (9, 0, [] (Txn &T) { Bytes D = DataOf (T); D[6] = 2; SetData (T, D); }), PROTOCOL },
  { "SessionStat: one metadata byte announced, none sent", Import1, nullptr, On (9, 0, [] (Txn &T) { Bytes D = DataOf (T); D.pop_back (); SetData (T, D); }), PROTOCOL },
  { "Commit answered 0xD2: sent again without asking", Sync, On (5, 0, Answer ({ 0xD2 })), nullptr, OK, 0, 1, 100, 0, 15, 8 },
  { "SessionStat: too short", Import1, nullptr, On (9, 0, [] (Txn &T) { SetData (T, { 0x0B, 0, 0, 0, 0, 0 }); }), PROTOCOL },
  { "SessionStat: too long", Import1, nullptr, On (9, 0, [] (Txn &T) { Bytes D = DataOf (T); D.push_back (0); SetData (T, D); }), PROTOCOL },
  { "SessionStat: response above the largest message", Import1, nullptr, On (9, 0, [] (Txn &T) { SetData (T, { 0x0B, 0, 0x1D, 0, 4, 0, 1, 0 }); }), PROTOCOL, 0, 1, 100, 0, 15, 5 },
  { "SessionStat after a lost Write: a size the Writes cannot explain", Sync, On (9, 0, [] (Txn &T) { T.Deliver = false; SetData (T, { 3, 0, 1, 0, 0, 0, 0 }); }),
    On (4, 1, [] (Txn &T) { T.Status = EFI_TIMEOUT; }), PROTOCOL, 0, 0 },
  { "SessionStat after a lost Write: committed", Sync, On (9, 0, [] (Txn &T) { T.Deliver = false; SetData (T, { 0x0B, 0, 0xE6, 1, 0, 0, 1, 0 }); }),
    On (4, 1, [] (Txn &T) { T.Status = EFI_TIMEOUT; }), PROTOCOL, 0, 0 },
  { "SessionStat after a lost Commit fails", Sync, On (9, -1, Answer ({ 0xD4 })),
    On (5, 0, [] (Txn &T) { T.Status = EFI_TIMEOUT; }), EFI_ACCESS_DENIED },
  { "deadline passes before the Commit", Sync, nullptr, On (4, 2, [] (Txn &) { Sim::Clock ().Now += 61ULL * 10000000; }), EFI_TIMEOUT, 0, 0 },
  { "SessionStat after a lost Write fails", Sync, On (9, -1, Answer ({ 0xD4 })),
    On (4, 0, [] (Txn &T) { T.Status = EFI_TIMEOUT; }), EFI_ACCESS_DENIED, 0, 0 },
  { "every Commit lost on the way", Sync, On (5, -1, [] (Txn &T) { T.Deliver = false; T.Status = EFI_TIMEOUT; }), nullptr, EFI_TIMEOUT, 0, 0, 100, 0, 15, 10 },
  { "every Write lost on the way", Sync, On (4, -1, [] (Txn &T) { T.Deliver = false; T.Status = EFI_DEVICE_ERROR; }), nullptr, EFI_DEVICE_ERROR, 0, 0 },
  { "the stack refuses for good", Import1, On (2, 0, [] (Txn &T) { T.Deliver = false; T.Status = EFI_UNSUPPORTED; }), nullptr, EFI_UNSUPPORTED, 0, 0, 100, 0, 15, 1 },
};

TEST (KivIpmiBlobDxe, BmcBehaviours) {
  for (const Case &C : CASES) {
    SCOPED_TRACE (C.Name);
    Sim::Reset ();
    FakeBmc  *Bmc = new FakeBmc ();
    mBmc = Bmc;
    Bmc->Before         = C.Before;
    Bmc->After          = C.After;
    Bmc->Step           = C.Step;
    Bmc->Caller.Channel = C.Channel;
    Bytes  Der1 = Der (C.Cert);
    ASSERT_EQ (Bmc->Core.QueueImport (1, Der1), "");
    Sim::InstallProtocol (gIpmiProtocolGuid, &mIpmi);
    ASSERT_EQ (KivIpmiBlobDxeEntryPoint (Sim::ImageHandle (), Sim::SystemTable ()), EFI_SUCCESS);
    ASSERT_EQ (gBS->LocateProtocol (&gKivProtocolGuid, nullptr, reinterpret_cast<void **>(&mKiv)), EFI_SUCCESS);

    Bytes  Request, Expected;
    UINT16 Command = 0x809D;
    if (C.Send == Sync) {
      Command = 0x009D;
      Request = { 0xA1, 0, 0x4C, 0x02, 0, 0, 1, 0, 1, 0, 0x46, 0x02, 0, 0 };
      Bytes  Cert = Der (582);
      Request.insert (Request.end (), Cert.begin (), Cert.end ());
    } else {
      Request = { 0xA2, 0, 2, 0, 0, 0, static_cast<UINT8>(C.Send == Import5 ? 5 : 1), 0 };
      Expected = { 0xA2, 0, static_cast<UINT8>(C.Cert), static_cast<UINT8>(C.Cert >> 8), 0, 0, 1, 0 };
      Expected.insert (Expected.end (), Der1.begin (), Der1.end ());
    }

    mNested = EFI_NOT_STARTED;
    UINT8       *Response  = reinterpret_cast<UINT8 *>(1);
    UINT32      Size       = 0xA5A5A5A5;
    UINT16      Completion = 0x5A5A;
    EFI_STATUS  Status     = mKiv->SendCommand (mKiv, Command, Request.data (), static_cast<UINT32>(Request.size ()), &Response, &Size, &Completion);

    EXPECT_EQ (Status, C.Status);
    const vexa::State  &State = Bmc->Core.Current ();
    EXPECT_EQ ((C.Send == Sync) ? State.Syncs : State.Requests[0].Fetched, C.Executions) << "executed exactly so often";
    if ((Status == EFI_SUCCESS) && (C.Completion == 0) && (C.Send != Sync)) {
      EXPECT_EQ (Bytes (Response, Response + Size), Expected);
      EXPECT_TRUE (Sim::Pool ().IsLive (Response)) << "a pool buffer the caller frees";
      gBS->FreePool (Response);
    } else {
      EXPECT_EQ (Response, nullptr);
      EXPECT_EQ (Size, 0U);
      EXPECT_EQ (Completion, (Status == EFI_SUCCESS) ? C.Completion : 0);
    }

    if ((Status == EFI_SUCCESS) && (C.Send == Sync)) {
      EXPECT_EQ (State.Slots[0].Der, Der (582)) << "the request reached the Vexa whole";
    }

    if (C.Transactions != 0) {
      EXPECT_EQ (Bmc->Subs.size (), C.Transactions);
    }

    if (Bmc->Count[5] != 0) {
      EXPECT_EQ (Bmc->Subs.back (), 6) << "the session closed at the end";
    }

    EXPECT_EQ (Bmc->Blob.Expire (), 0U) << "no session left at the BMC";
    if (std::string (C.Name).find ("nested") == 0) {
      EXPECT_EQ (mNested, EFI_ALREADY_STARTED);
    }

    Sim::CheckAtEnd ();
    delete Bmc;
  }
}

TEST (KivIpmiBlobDxe, RefusedBeforeAnythingIsSent) {
  FakeBmc  Bmc;
  Bytes    Request (6, 0);
  UINT8    *Response = nullptr;
  UINT32   Size = 0;
  UINT16   Completion = 0;

  mBmc = &Bmc;
  Sim::InstallProtocol (gIpmiProtocolGuid, &mIpmi);
  ASSERT_EQ (KivIpmiBlobDxeEntryPoint (Sim::ImageHandle (), Sim::SystemTable ()), EFI_SUCCESS);
  ASSERT_EQ (gBS->LocateProtocol (&gKivProtocolGuid, nullptr, reinterpret_cast<void **>(&mKiv)), EFI_SUCCESS);
  EXPECT_EQ (mKiv->SendCommand (mKiv, 0x409D, Request.data (), 6, &Response, &Size, &Completion), EFI_UNSUPPORTED);
  EXPECT_EQ (mKiv->SendCommand (mKiv, 0x809C, Request.data (), 6, &Response, &Size, &Completion), EFI_UNSUPPORTED);
  EXPECT_EQ (mKiv->SendCommand (mKiv, 0x009D, Request.data (), 8 + 4 * (6 + 65535) + 1, &Response, &Size, &Completion), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ (mKiv->SendCommand (mKiv, 0x009D, nullptr, 6, &Response, &Size, &Completion), EFI_INVALID_PARAMETER);
  EXPECT_EQ (mKiv->SendCommand (mKiv, 0x009D, Request.data (), 6, nullptr, &Size, &Completion), EFI_INVALID_PARAMETER);
  EXPECT_EQ (mKiv->SendCommand (mKiv, 0x009D, Request.data (), 6, &Response, nullptr, &Completion), EFI_INVALID_PARAMETER);
  EXPECT_EQ (mKiv->SendCommand (mKiv, 0x009D, Request.data (), 6, &Response, &Size, nullptr), EFI_INVALID_PARAMETER);
  Sim::Clock ().FailCreate = true;
  EXPECT_EQ (mKiv->SendCommand (mKiv, 0x809D, Request.data (), 6, &Response, &Size, &Completion), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE (Bmc.Subs.empty ());
  Sim::Clock ().FailCreate = false;
  EXPECT_EQ (mKiv->SendCommand (mKiv, 0x009D, nullptr, 0, &Response, &Size, &Completion), EFI_SUCCESS) << "an empty message";
  EXPECT_EQ (Completion, vexa::kCcBadLength);
  EXPECT_EQ (Bmc.Subs, Bytes ({ 2, 5, 9, 6 })) << "no Write";
  Bmc.Core.QueueImport (1, Der (10));
  Sim::Pool ().FailAllAllocations ();
  Bytes  Import = { 0xA2, 0, 2, 0, 0, 0, 1, 0 };
  EXPECT_EQ (mKiv->SendCommand (mKiv, 0x809D, Import.data (), 8, &Response, &Size, &Completion), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (Response, nullptr);
}

TEST (KivIpmiBlobDxe, CrcCheckValueBothSides) {
  const UINT8  Check[] = { '1', '2', '3', '4', '5', '6', '7', '8', '9' };

  EXPECT_EQ (KivBlobCrc16 (Check, sizeof (Check)), 0xE5CC);
  EXPECT_EQ (vexa::Crc16 (Check, sizeof (Check)), 0xE5CC);
  EXPECT_EQ (KivBlobCrc16 (Check, 0), 0x1D0F) << "no byte: the register after 16 zero bits";
}

} // namespace
