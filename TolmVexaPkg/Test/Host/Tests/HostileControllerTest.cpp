/** @file
  A hostile Vexa: every exchange answered with random and boundary values
  (list and certificate lengths around the real ones, 0, 0xFFFFFFFF and
  65536 + n, truncated and over-long responses, wrong sub-commands and indices,
  non-zero completion codes, transport errors with and without a buffer,
  answers the transport never stores). The host bed runs under AddressSanitizer
  with the pool's guards poisoned, so a byte read outside what the Vexa sent
  ends the run; after each case the pool must be empty, the update flag gone,
  and every slot either as it was or holding exactly the certificate the Vexa
  offered for it.

  Deterministic: fixed seeds, a fixed number of cases per service. A failing
  case is named by its seed and number in the trace.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ServiceScenario.h"
#include "VexaContract.h"

#include <random>

using namespace Scenario;
using namespace VexaContract;

namespace {

constexpr UINT32  kSeed = 0x7E5A11CE;

///
/// Random choices from std::mt19937, whose sequence the C++ standard fixes
/// (the standard distributions are not portable, so none is used).
///
class Dice {
public:
  explicit Dice (
    UINT32  Seed
    ) : mEngine (Seed) {}

  /// A value in [0, Count) (0 when Count is 0).
  UINT32
  Below (
    UINT32  Count
    ) { return (Count == 0) ? 0 : (UINT32)(mEngine () % Count); }

  /// A value in [Low, High].
  UINT32
  Between (
    UINT32  Low,
    UINT32  High
    ) { return Low + Below (High - Low + 1); }

  /// TRUE with a probability of Percent %.
  bool
  Percent (
    UINT32  Chance
    ) { return Below (100) < Chance; }

  UINT8
  Byte (
    ) { return (UINT8)mEngine (); }

  Bytes
  Noise (
    size_t  Length
    )
  {
    Bytes  Out (Length);

    for (UINT8 &B : Out) {
      B = Byte ();
    }

    return Out;
  }

private:
  std::mt19937  mEngine;
};

// ===========================================================================
// Hostile answers
// ===========================================================================

///
/// Spoils a well-formed answer in one of the ways a controller or transport
/// can (or leaves it alone, most of the time). HeaderSize is 6 for 0xA0 and 8
/// for 0xA2. The transport never reports more bytes than it hands over.
///
void
Spoil (
  Dice            &D,
  Sim::KivAnswer  &A,
  size_t          HeaderSize
  )
{
  static constexpr EFI_STATUS  kErrors[] = { EFI_DEVICE_ERROR, EFI_TIMEOUT, EFI_NOT_READY, EFI_BUFFER_TOO_SMALL };

  switch (D.Below (20)) {
    case 0:   // the controller's completion code
      A.Completion = (UINT16)D.Between (1, 0xFFFF);
      break;
    case 1:   // a transport error that still hands over a buffer
      A.Status = kErrors[D.Below (4)];
      break;
    case 2:   // a transport error without a buffer
      A.Status   = kErrors[D.Below (4)];
      A.NoBuffer = true;
      if (D.Percent (50)) {
        A.SizeOverride = D.Below (0x10000);
      }

      break;
    case 3:   // success, a size, but no buffer
      A.NoBuffer     = true;
      A.SizeOverride = D.Percent (50) ? (UINT32)A.Response.size () : D.Between (1, 64);
      break;
    case 4:   // the transport stores nothing at all
      A.StoreNothing = true;
      A.Status       = D.Percent (50) ? EFI_SUCCESS : kErrors[D.Below (4)];
      break;
    case 5:   // a wrong sub-command
      if (!A.Response.empty ()) {
        A.Response[0] = (UINT8)(A.Response[0] ^ (UINT8)D.Between (1, 0xFF));
      }

      break;
    case 6:   // the response cut short, in the bytes handed over
      A.Response.resize (D.Below ((UINT32)A.Response.size ()));
      break;
    case 7:   // the response cut short, in the size reported
      A.SizeOverride = D.Below ((UINT32)A.Response.size ());
      break;
    case 8:   // cut inside the header
      A.Response.resize (D.Below ((UINT32)HeaderSize));
      break;
    case 9:   // trailing bytes after what was declared
      {
        Bytes  Tail = D.Noise (D.Between (1, 16));
        A.Response.insert (A.Response.end (), Tail.begin (), Tail.end ());
      }
      break;
    default:
      break;
  }
}

/// A declared length around the real one, or a boundary value.
UINT32
DeclaredAround (
  Dice    &D,
  UINT32  Real
  )
{
  switch (D.Below (12)) {
    case 0:  return Real - 1;   // 0xFFFFFFFF for an empty body
    case 1:  return Real + 1;
    case 2:  return 0;
    case 3:  return 0xFFFFFFFF;
    case 4:  return 0x10000 + Real;
    case 5:  return Le32At (D.Noise (4), 0);
    default: return Real;
  }
}

/// A slot number: mostly 1 to 4, sometimes 0, 5, 0xFF or anything.
UINT8
SomeSlot (
  Dice  &D
  )
{
  static constexpr UINT8  kBad[] = { 0, 5, 7, 0xFF };

  if (D.Percent (85)) {
    return (UINT8)D.Between (1, 4);
  }

  return D.Percent (50) ? kBad[D.Below (4)] : D.Byte ();
}

///
/// The certificate the Vexa holds for one slot and its (possibly spoiled)
/// answer to the import request for that slot.
///
struct Offer {
  UINT16            Declared;   ///< the CertSize a record should carry to match
  Sim::KivAnswer    Answer;
};

Offer
MakeOffer (
  Dice   &D,
  UINT8  Slot
  )
{
  UINT32  Length = D.Percent (3) ? 65535 : (D.Percent (3) ? 0 : D.Between (1, 700));
  Bytes   Der    = Cert (Length, D.Byte ());
  UINT32  Size   = D.Percent (80) ? Length : DeclaredAround (D, Length);
  UINT16  Index  = D.Percent (90) ? Slot : (D.Percent (50) ? (UINT16)(Slot | 0x100) : (UINT16)D.Between (0, 0xFFFF));
  Offer   O;

  O.Answer   = Sim::VexaFake::ImportCert (Index, Der, Size);
  O.Declared = (UINT16)Size;
  Spoil (D, O.Answer, 8);
  return O;
}

/// A CertSize for an import record: mostly the one the offer declares.
UINT16
SomeCertSize (
  Dice          &D,
  const Offer   &O
  )
{
  switch (D.Below (10)) {
    case 0:  return (UINT16)(O.Declared + 1);
    case 1:  return (UINT16)(O.Declared - 1);
    case 2:  return 0;
    case 3:  return (UINT16)D.Below (0x10000);
    default: return O.Declared;
  }
}

/// A 0xA0 answer around Body: its declared size near the real one, then spoiled.
Sim::KivAnswer
HostileList (
  Dice         &D,
  const Bytes  &Body
  )
{
  Sim::KivAnswer  A;

  // (Braced lists evaluate left to right, so the draws keep their order.)
  A.Response = Cat ({ { 0xA0, D.Byte () }, Le32 (DeclaredAround (D, (UINT32)Body.size ())), Body });
  Spoil (D, A, 6);
  return A;
}

///
/// Pending-list bytes, 0 to 64 of them: records mostly valid and mostly
/// matching what the Vexa offers, so that imports and deletes do happen.
///
Bytes
HostileRecords (
  Dice                        &D,
  const std::array<Offer, 4>  &Offers
  )
{
  UINT32  Length = D.Below (65);
  Bytes   Body;

  while (Body.size () < Length) {
    UINT8   TaskType  = D.Percent (85) ? 9 : D.Byte ();
    UINT8   CertNum   = SomeSlot (D);
    UINT8   Operation = D.Percent (50) ? 0xAA : (D.Percent (80) ? 0xAB : D.Byte ());
    UINT16  CertSize  = ((CertNum >= 1) && (CertNum <= 4)) ? SomeCertSize (D, Offers[CertNum - 1]) : (UINT16)D.Below (0x10000);

    Body.insert (Body.end (), { TaskType, CertNum, Operation, (UINT8)CertSize, (UINT8)(CertSize >> 8), D.Byte () });
  }

  Body.resize (Length);
  return Body;
}

/// A slot value before a call: absent or an enrolled certificate.
std::optional<Bytes>
SomeStoredValue (
  Dice  &D
  )
{
  if (D.Percent (40)) {
    return std::nullopt;
  }

  UINT32  Length = D.Between (1, 600);

  return StoredValue (Cert (Length, D.Byte ()));
}

/// Checks shared by every case: nothing asserted, the update flag gone.
void
ExpectCleanEnd (
  )
{
  EXPECT_TRUE (Sim::DebugLog ().Asserts.empty ()) << Sim::DebugLog ().Dump ();
  EXPECT_FALSE (FlagPresent ());
}

// ===========================================================================
// GetPendingTaskList: the copy is exactly what the controller declared
// ===========================================================================

TEST (HostileController, PendingListExchange) {
  Dice    D (kSeed);
  size_t  Accepted = 0;

  for (UINT32 Case = 0; Case < 1000 && !HasFailure (); Case++) {
    SCOPED_TRACE ("seed " + std::to_string (kSeed) + ", case " + std::to_string (Case));
    Sim::CheckAtEnd ();
    Sim::Reset ();
    Sim::Vexa ().Install ();

    Sim::KivAnswer  A = HostileList (D, D.Noise (D.Below (65)));
    Sim::Vexa ().Answer (0xA0, A);
    UINT8   *List = (UINT8 *)(UINTN)0x1;
    UINT32  Size  = 0xDEADBEEF;
    GetPendingTaskList (&List, &Size);

    std::optional<Bytes>  Expected = AcceptedList (A);
    if (!Expected.has_value ()) {
      EXPECT_EQ (Size, 0u);
      EXPECT_EQ (List, nullptr);
    } else {
      ASSERT_EQ (Size, Expected->size ());
      ASSERT_NE (List, nullptr);
      EXPECT_EQ (Sim::Pool ().SizeOf (List), Size);
      EXPECT_EQ (Bytes (List, List + Size), *Expected);
      FreePool (List);
      Accepted++;
    }

    ExpectCleanEnd ();
  }

  EXPECT_GT (Accepted, 200u) << "too few lists accepted to mean much";
}

// ===========================================================================
// GetImportCert: success exactly when the whole certificate lies in the
// response; never a byte outside the caller's buffer written
// ===========================================================================

TEST (HostileController, ImportCertExchange) {
  Dice    D (kSeed + 1);
  size_t  Fetched = 0;

  for (UINT32 Case = 0; Case < 1000 && !HasFailure (); Case++) {
    SCOPED_TRACE ("seed " + std::to_string (kSeed + 1) + ", case " + std::to_string (Case));
    Sim::CheckAtEnd ();
    Sim::Reset ();
    Sim::Vexa ().Install ();

    UINT8   Slot     = SomeSlot (D);
    Offer   O        = MakeOffer (D, Slot);
    UINT16  CertSize = SomeCertSize (D, O);
    Sim::Vexa ().Queue (O.Answer);

    // A pool buffer of exactly CertSize bytes: a write past it hits the poisoned guard.
    UINT8       *Buffer = (UINT8 *)AllocatePool (CertSize);
    ASSERT_NE (Buffer, nullptr);
    EFI_STATUS  Status = GetImportCert (Slot, CertSize, Buffer);

    std::optional<Bytes>  Expected = OfferedCert (O.Answer, Slot, CertSize);
    if (Expected.has_value ()) {
      EXPECT_EQ (Status, EFI_SUCCESS);
      EXPECT_EQ (Bytes (Buffer, Buffer + CertSize), *Expected);
      Fetched++;
    } else {
      EXPECT_EQ (Status, EFI_INVALID_PARAMETER);
    }

    FreePool (Buffer);
    ASSERT_EQ (Sim::Vexa ().Requests ().size (), 1u);
    EXPECT_EQ (Sim::Vexa ().Requests ()[0].Bytes, Cat ({ { 0xA2, 0x00, 0x02, 0x00, 0x00, 0x00, Slot, 0x00 } }));
    ExpectCleanEnd ();
  }

  EXPECT_GT (Fetched, 200u) << "too few certificates fetched to mean much";
}

// ===========================================================================
// HandlePendingTasks through the protocol: FALSE exactly when the list
// exchange yields nothing; every slot as it was, deleted, or holding exactly
// the certificate offered for it, as the records in list order leave it
// ===========================================================================

TEST (HostileController, HandlePendingTasks) {
  Dice  D (kSeed + 2);
  // How far the hostile lists reached: a generator that never gets a list
  // accepted, a certificate stored or a slot deleted proves little.
  size_t  Accepted = 0, Stored = 0, Deleted = 0;

  for (UINT32 Case = 0; Case < 1500 && !HasFailure (); Case++) {
    SCOPED_TRACE ("seed " + std::to_string (kSeed + 2) + ", case " + std::to_string (Case));
    Sim::CheckAtEnd ();
    Sim::Reset ();
    TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service = Publish ();
    ASSERT_NE (Service, nullptr);

    SlotState             Before;
    std::array<Offer, 4>  Offers;
    for (UINT8 Slot = 1; Slot <= 4; Slot++) {
      Before[Slot - 1] = SomeStoredValue (D);
      if (Before[Slot - 1].has_value ()) {
        PutSlotValue (Slot, *Before[Slot - 1]);
      }

      Offers[Slot - 1] = MakeOffer (D, Slot);
      Sim::Vexa ().AnswerImportCert (Slot, Offers[Slot - 1].Answer);
    }

    bool  Refusing = D.Percent (5);
    if (Refusing) {
      Sim::Variables ().SetPolicy (Sim::AuthPolicy::Refusing);
    }

    Sim::KivAnswer  A = HostileList (D, HostileRecords (D, Offers));
    Sim::Vexa ().Answer (0xA0, A);

    BOOLEAN  Result = Service->HandlePendingTasks ();

    // What the whole records of the accepted list, applied in order, leave.
    std::optional<Bytes>  List     = AcceptedList (A);
    SlotState             Expected = Before;
    for (size_t At = 0; List.has_value () && !Refusing && At + 6 <= List->size (); At += 6) {
      const UINT8  *R       = List->data () + At;
      UINT8        CertNum  = R[1];
      UINT16       CertSize = (UINT16)(R[3] | (R[4] << 8));
      if ((CertNum < 1) || (CertNum > 4)) {
        continue;
      }

      if (R[2] == 0xAB) {
        Expected[CertNum - 1] = std::nullopt;
      } else if ((R[2] == 0xAA) && (CertSize != 0)) {
        std::optional<Bytes>  Der = OfferedCert (Offers[CertNum - 1].Answer, CertNum, CertSize);
        if (Der.has_value ()) {
          Expected[CertNum - 1] = StoredValue (*Der);
        }
      }
    }

    EXPECT_EQ (Result, List.has_value () ? TRUE : FALSE);
    SlotState  After = Slots ();
    for (size_t Slot = 0; Slot < SLOT_COUNT; Slot++) {
      // A written slot holds one whole list: 44 + n bytes, n as declared inside it.
      if (After[Slot].has_value () && (After[Slot] != Before[Slot])) {
        ASSERT_GE (After[Slot]->size (), 44u);
        EXPECT_EQ (Le32At (*After[Slot], 16), After[Slot]->size ());
      }
    }

    EXPECT_EQ (After, Expected) << "records: " << (List.has_value () ? List->size () : 0) << " bytes";
    Accepted += List.has_value () ? 1 : 0;
    for (size_t Slot = 0; Slot < SLOT_COUNT; Slot++) {
      Stored  += (After[Slot].has_value () && (After[Slot] != Before[Slot])) ? 1 : 0;
      Deleted += (!After[Slot].has_value () && Before[Slot].has_value ()) ? 1 : 0;
    }

    EXPECT_TRUE (std::regex_match (WriteTrace (), std::regex ("(\\+([WD][1-4])?-)*"))) << WriteTrace ();
    if (!List.has_value ()) {
      EXPECT_EQ (Sim::Vexa ().Requests ().size (), 1u);
      EXPECT_EQ (WriteTrace (), "");
    }

    ExpectCleanEnd ();
  }

  EXPECT_GT (Accepted, 300u);
  EXPECT_GT (Stored, 100u);
  EXPECT_GT (Deleted, 100u);
}

// ===========================================================================
// SyncHttpsCertToVEXA through the protocol: the transport's status comes
// back whatever the controller answers; the store is untouched
// ===========================================================================

TEST (HostileController, SyncHttpsCertToVEXA) {
  Dice  D (kSeed + 3);

  for (UINT32 Case = 0; Case < 500 && !HasFailure (); Case++) {
    SCOPED_TRACE ("seed " + std::to_string (kSeed + 3) + ", case " + std::to_string (Case));
    Sim::CheckAtEnd ();
    Sim::Reset ();
    TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service = Publish ();
    ASSERT_NE (Service, nullptr);

    SlotState  Before;
    for (UINT8 Slot = 1; Slot <= 4; Slot++) {
      Before[Slot - 1] = SomeStoredValue (D);
      if (Before[Slot - 1].has_value ()) {
        PutSlotValue (Slot, *Before[Slot - 1]);
      }
    }

    Sim::KivAnswer  A;
    A.Completion = D.Percent (50) ? 0 : (UINT16)D.Below (0x10000);
    A.Response   = D.Noise (D.Below (17));
    Spoil (D, A, 0);
    Sim::Vexa ().Answer (0xA1, A);

    EXPECT_EQ (Service->SyncHttpsCertToVEXA (), A.Status);
    ASSERT_EQ (Sim::Vexa ().Requests ().size (), 1u);
    EXPECT_EQ (Sim::Vexa ().Requests ()[0].Command, 0x009D);
    EXPECT_EQ (Slots (), Before);
    EXPECT_EQ (WriteTrace (), "");
    ExpectCleanEnd ();
  }
}

}  // namespace
