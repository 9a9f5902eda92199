/** @file
  End-to-end scenarios of SyncHttpsCertToVEXA, called through the published
  protocol: what lies in the four slots and how the Vexa and the variable
  service behave, against the whole outcome of one call (the result, every
  byte the Vexa received, every message with its level, the store untouched,
  the update flag never used, every buffer released).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ServiceScenario.h"

using namespace Scenario;

namespace {

struct SyncCase {
  const char                  *Name;
  std::function<void ()>      Arrange;     ///< slots, failures, the Vexa's answers
  EFI_STATUS                  Result;
  std::vector<Request>        Sent;
  Messages                    Says;        ///< the service's own messages
};

/// Test names and ctest listings show the case name, not the raw bytes.
void
PrintTo (
  const SyncCase  &Case,
  std::ostream  *Out
  )
{
  *Out << Case.Name;
}

const Bytes  kCert310 = Cert (310, 0x11);
const Bytes  kCert400 = Cert (400, 0x22);
const Bytes  kCertA   = Cert (100, 0x31);
const Bytes  kCertB   = Cert (200, 0x42);
const Bytes  kCertC   = Cert (300, 0x53);
const Bytes  kCertD   = Cert (1500, 0x64);

///
/// The one message of an empty store: a single empty record for slot 1.
///
const Request  kEmptyStoreMessage = {
  0x009D, { 0xA1, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00 }
};

Messages
EmptyStoreTail (
  )
{
  return EmptyRecordMade () + SyncTotal (1);
}

Sim::KivAnswer
TransportFailure (
  EFI_STATUS  Status,
  Bytes       Response = {}
  )
{
  Sim::KivAnswer  A;

  A.Status   = Status;
  A.Response = Response;
  A.NoBuffer = Response.empty ();
  return A;
}

std::vector<SyncCase>
SyncCases (
  )
{
  return {
    {
      "NothingStored",
      [] { Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ()); },
      EFI_SUCCESS,
      { kEmptyStoreMessage },
      SlotAbsent (1) + SlotAbsent (2) + SlotAbsent (3) + SlotAbsent (4) + EmptyStoreTail ()
    },
    {
      "Slots1And3",
      [] {
        PutCert (1, kCert310);
        PutCert (3, kCert400);
        Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ());
      },
      EFI_SUCCESS,
      // TotalSize 722 = 6 + 310 + 6 + 400; 730 bytes in all.
      { { 0x009D, Cat ({ { 0xA1, 0x00, 0xD2, 0x02, 0x00, 0x00, 0x02, 0x00 },
                         { 0x01, 0x00, 0x36, 0x01, 0x00, 0x00 }, kCert310,
                         { 0x03, 0x00, 0x90, 0x01, 0x00, 0x00 }, kCert400 }) } },
      SlotFound (1) + SlotAbsent (2) + SlotFound (3) + SlotAbsent (4) + SyncTotal (2)
    },
    {
      "AllFourInSlotOrder",
      [] {
        PutCert (4, kCertD);
        PutCert (2, kCertB);
        PutCert (3, kCertC);
        PutCert (1, kCertA);
        Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ());
      },
      EFI_SUCCESS,
      // TotalSize = 24 + 100 + 200 + 300 + 1500 = 2124 (0x84C).
      { { 0x009D, Cat ({ { 0xA1, 0x00, 0x4C, 0x08, 0x00, 0x00, 0x04, 0x00 },
                         SyncRecord (1, kCertA), SyncRecord (2, kCertB), SyncRecord (3, kCertC), SyncRecord (4, kCertD) }) } },
      SlotFound (1) + SlotFound (2) + SlotFound (3) + SlotFound (4) + SyncTotal (4)
    },
    {
      "Slot2ReadFailsBetweenGoodSlots",
      [] {
        PutCert (1, kCertA);
        PutCert (2, kCertB);
        PutCert (3, kCertC);
        PutCert (4, kCertD);
        Sim::Variables ().FailGet ("HttpsCertDev2", EFI_DEVICE_ERROR);
        Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ());
      },
      EFI_SUCCESS,
      { SyncRequest ({ SyncRecord (1, kCertA), SyncRecord (3, kCertC), SyncRecord (4, kCertD) }) },
      SlotFound (1) + SlotReadFailed (2, "Device Error") + SlotFound (3) + SlotFound (4) + SyncTotal (3)
    },
    {
      "OnlySlot1HeldAndSlot2Fails",
      [] {
        PutCert (1, kCertA);
        Sim::Variables ().FailGet ("HttpsCertDev2", EFI_DEVICE_ERROR);
        Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ());
      },
      EFI_SUCCESS,
      { SyncRequest ({ SyncRecord (1, kCertA) }) },
      SlotFound (1) + SlotReadFailed (2, "Device Error") + SlotAbsent (3) + SlotAbsent (4) + SyncTotal (1)
    },
    {
      "EveryReadFails",
      [] {
        PutCert (1, kCertA);
        PutCert (3, kCertC);
        Sim::Variables ().FailGet ("HttpsCertDev1", EFI_DEVICE_ERROR);
        Sim::Variables ().FailGet ("HttpsCertDev2", EFI_SECURITY_VIOLATION);
        Sim::Variables ().FailGet ("HttpsCertDev3", EFI_ACCESS_DENIED);
        Sim::Variables ().FailGet ("HttpsCertDev4", EFI_OUT_OF_RESOURCES);
        Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ());
      },
      EFI_SUCCESS,
      { kEmptyStoreMessage },
      SlotReadFailed (1, "Device Error") + SlotReadFailed (2, "Security Violation") + SlotReadFailed (3, "Access Denied") +
      SlotReadFailed (4, "Out of Resources") + EmptyStoreTail ()
    },
    {
      "VexaAnswersNonZeroCompletionCode",
      [] {
        PutCert (4, kCertB);
        Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck (0xC1));
      },
      EFI_SUCCESS,
      { SyncRequest ({ SyncRecord (4, kCertB) }) },
      SlotAbsent (1) + SlotAbsent (2) + SlotAbsent (3) + SlotFound (4) + SyncTotal (1)
    },
    {
      "TransportFails",
      [] {
        PutCert (2, kCertB);
        Sim::Vexa ().Answer (0xA1, TransportFailure (EFI_DEVICE_ERROR));
      },
      EFI_DEVICE_ERROR,
      { SyncRequest ({ SyncRecord (2, kCertB) }) },
      SlotAbsent (1) + SlotFound (2) + SlotAbsent (3) + SlotAbsent (4) + SyncTotal (1) + SyncSendFailed ("Device Error")
    },
    {
      // The transport fails but still hands back a response: it is released.
      "TransportFailsWithResponse",
      [] { Sim::Vexa ().Answer (0xA1, TransportFailure (EFI_TIMEOUT, { 0xA1, 0x00, 0x00 })); },
      EFI_TIMEOUT,
      { kEmptyStoreMessage },
      SlotAbsent (1) + SlotAbsent (2) + SlotAbsent (3) + SlotAbsent (4) + EmptyStoreTail () +
      SyncSendFailed ("Time out")
    },
    {
      "TransportNotInstalled",
      [] {
        PutCert (1, kCertA);
        Sim::Vexa ().Uninstall ();
      },
      EFI_NOT_FOUND,
      {},
      SlotFound (1) + SlotAbsent (2) + SlotAbsent (3) + SlotAbsent (4) + SyncTotal (1) + SyncSendFailed ("Not Found")
    },
    {
      // A variable of size 0 reads as empty.
      "ZeroSizeValueIsAnEmptySlot",
      [] {
        PutSlotValue (3, {});
        Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ());
      },
      EFI_SUCCESS,
      { kEmptyStoreMessage },
      SlotAbsent (1) + SlotAbsent (2) + SlotAbsent (3) + SlotAbsent (4) + EmptyStoreTail ()
    },
  };
}

class SyncScenario : public ::testing::TestWithParam<SyncCase> {};

TEST_P (SyncScenario, WholeOutcome) {
  const SyncCase                           &C       = GetParam ();
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service = Publish ();

  ASSERT_NE (Service, nullptr);
  C.Arrange ();
  SlotState  Before = Slots ();

  EXPECT_EQ (Service->SyncHttpsCertToVEXA (), C.Result);

  EXPECT_EQ (Requests (), C.Sent);
  EXPECT_EQ (LogOf ("SyncHttpsCertToVEXA"), C.Says) << Sim::DebugLog ().Dump ();
  EXPECT_EQ (WriteTrace (), "") << "the sync service writes nothing";
  EXPECT_EQ (Slots (), Before);
  EXPECT_FALSE (FlagPresent ());
  EXPECT_TRUE (Sim::Pool ().Findings ().empty ());
  EXPECT_EQ (Sim::Pool ().LiveCount (), 0u) << "every buffer of the call is released";
}

INSTANTIATE_TEST_SUITE_P (
  Table,
  SyncScenario,
  ::testing::ValuesIn (SyncCases ()),
  [](const ::testing::TestParamInfo<SyncCase> &Info) { return std::string (Info.param.Name); }
  );

// ===========================================================================
// A stored value too short to hold a certificate
// ===========================================================================

Bytes
Prefix (
  const Bytes  &Value,
  size_t       Length
  )
{
  return Bytes (Value.begin (), Value.begin () + Length);
}

class SyncShortValue : public ::testing::TestWithParam<size_t> {};

TEST_P (SyncShortValue, IsAFailedReadAndIsNotSent) {
  const size_t                             Length  = GetParam ();
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service = Publish ();

  ASSERT_NE (Service, nullptr);
  // Slot 1 holds a certificate; slot 2 holds only (part of) a list header.
  PutCert (1, kCertA);
  PutSlotValue (2, Prefix (StoredValue (kCertA), Length));
  Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ());

  EXPECT_EQ (Service->SyncHttpsCertToVEXA (), EFI_SUCCESS);

  EXPECT_EQ (Requests (), std::vector<Request>{ SyncRequest ({ SyncRecord (1, kCertA) }) });
  EXPECT_EQ (
    LogOf ("SyncHttpsCertToVEXA"),
    SlotFound (1) + SlotReadFailed (2, "Volume Corrupt") + SlotAbsent (3) + SlotAbsent (4) + SyncTotal (1)
    ) << Sim::DebugLog ().Dump ();
  EXPECT_EQ (WriteTrace (), "");
  EXPECT_EQ (Sim::Pool ().LiveCount (), 0u);
}

INSTANTIATE_TEST_SUITE_P (Lengths, SyncShortValue, ::testing::Values (1, 28, 43, 44));

// ===========================================================================
// Each call reads the store afresh
// ===========================================================================

TEST (SyncService, EachCallSendsTheStoreAsItIsThen) {
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service = Publish ();

  ASSERT_NE (Service, nullptr);
  Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ());

  EXPECT_EQ (Service->SyncHttpsCertToVEXA (), EFI_SUCCESS);
  PutCert (2, kCertB);
  EXPECT_EQ (Service->SyncHttpsCertToVEXA (), EFI_SUCCESS);
  Sim::Variables ().Remove (SlotName (2), gTolmVariableGuid);
  EXPECT_EQ (Service->SyncHttpsCertToVEXA (), EFI_SUCCESS);

  EXPECT_EQ (Requests (), (std::vector<Request>{ kEmptyStoreMessage, SyncRequest ({ SyncRecord (2, kCertB) }), kEmptyStoreMessage }));
  EXPECT_EQ (Sim::Pool ().LiveCount (), 0u);
}

// ===========================================================================
// GetEmptyHttpsDeviceCertAndSyncHeader
// ===========================================================================

TEST (EmptySyncRecord, NullArgumentsAreRefusedWithoutATrace) {
  HTTPS_CERT_SYNC_HEADER  Header;
  UINT8                   Marker  = 0;
  UINT8                   *Data   = &Marker;

  SetMem (&Header, sizeof (Header), 0x5A);
  EXPECT_EQ (GetEmptyHttpsDeviceCertAndSyncHeader (3, nullptr, &Data), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Data, &Marker) << "CertData untouched";
  EXPECT_EQ (GetEmptyHttpsDeviceCertAndSyncHeader (3, &Header, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Bytes ((UINT8 *)&Header, (UINT8 *)&Header + sizeof (Header)), Bytes (6, 0x5A)) << "header untouched";
  EXPECT_EQ (GetEmptyHttpsDeviceCertAndSyncHeader (3, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE (Log ().empty ()) << Sim::DebugLog ().Dump ();
}

TEST (EmptySyncRecord, Slot3GivesItsEmptyRecordAndNoData) {
  HTTPS_CERT_SYNC_HEADER  Header;
  UINT8                   Marker = 0;
  UINT8                   *Data  = &Marker;

  SetMem (&Header, sizeof (Header), 0x5A);
  EXPECT_EQ (GetEmptyHttpsDeviceCertAndSyncHeader (3, &Header, &Data), EFI_SUCCESS);
  EXPECT_EQ (Bytes ((UINT8 *)&Header, (UINT8 *)&Header + sizeof (Header)), (Bytes { 0x03, 0x00, 0x00, 0x00, 0x00, 0x00 }));
  EXPECT_EQ (Data, nullptr);
  EXPECT_EQ (Log (), (Messages { { INFO, "GetEmptyHttpsDeviceCertAndSyncHeader(L): Empty certificate of HTTP Dev #(3) is created.\n" } }));
  EXPECT_EQ (Sim::Pool ().AllocationCount (), 0u);
}

} // namespace
