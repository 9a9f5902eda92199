/** @file
  End-to-end scenarios of HandlePendingTasks, called through the published
  protocol: the Vexa's pending list and certificate answers, the slots before,
  and the variable service's policy, against the whole outcome of one call
  (the result, the slots afterwards, every variable write in order with the
  update flag around it, every byte the Vexa received, every message of the
  service itself with its level, every buffer released).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ServiceScenario.h"

using namespace Scenario;

namespace {

const Bytes  kCert900 = Cert (900, 0x71);
const Bytes  kCert400 = Cert (400, 0x22);
const Bytes  kCert310 = Cert (310, 0x11);
const Bytes  kOldCert = Cert (120, 0x93);

/// A 0xA0 answer: A0 00, the declared size (default: the bytes given), the bytes.
Sim::KivAnswer
List (
  const Bytes            &Records,
  std::optional<UINT32>  Declared = std::nullopt,
  UINT16                 Completion = 0
  )
{
  Sim::KivAnswer  A;

  A.Completion = Completion;
  A.Response   = Cat ({ { 0xA0, 0x00 }, Le32 (Declared.value_or ((UINT32)Records.size ())), Records });
  return A;
}

/// A delete that the variable service carried out, as the service reports it.
Messages
Deleted (
  unsigned  Slot
  )
{
  return DeleteTried (Slot) + DeleteReturned ("Success");
}

struct PendingCase {
  const char                  *Name;
  std::function<void ()>      Arrange;      ///< slots, the Vexa's answers, the policy
  BOOLEAN                     Result;
  std::string                 Writes;       ///< WriteTrace () afterwards
  std::function<SlotState ()> After;        ///< the slots afterwards
  std::vector<Request>        Sent;
  Messages                    Says;         ///< the service's own messages
};

/// Test names and ctest listings show the case name, not the raw bytes.
void
PrintTo (
  const PendingCase  &Case,
  std::ostream  *Out
  )
{
  *Out << Case.Name;
}

SlotState
Unchanged (
  )
{
  return { StoredValue (kOldCert), StoredValue (kCert400), std::nullopt, std::nullopt };
}

/// Slot 1 and slot 2 hold certificates before every case (unless it says otherwise).
void
StoreBefore (
  )
{
  PutCert (1, kOldCert);
  PutCert (2, kCert400);
}

const Messages  kUnknown = { { ERR, "HandlePendingTasks(L): Unknown request from Vexa\n" } };

std::vector<PendingCase>
PendingCases (
  )
{
  return {
    {
      "EmptyList",
      [] { StoreBefore (); Sim::Vexa ().Answer (0xA0, List ({})); },
      FALSE, "", Unchanged,
      { kPendingListRequest },
      {}
    },
    {
      "NonZeroCompletionCode",
      [] { StoreBefore (); Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x01, 0xAB, 0x00, 0x00, 0x00 }, std::nullopt, 0xC1)); },
      FALSE, "", Unchanged,
      { kPendingListRequest },
      {}
    },
    {
      "ListExchangeFails",
      [] {
        StoreBefore ();
        Sim::KivAnswer  Failure;
        Failure.Status   = EFI_DEVICE_ERROR;
        Failure.NoBuffer = true;
        Sim::Vexa ().Answer (0xA0, Failure);
      },
      FALSE, "", Unchanged,
      { kPendingListRequest },
      {}
    },
    {
      // Four bytes: no whole record (they would delete slot 1 if read as one).
      "FourBytesHoldNoRecord",
      [] { StoreBefore (); Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x01, 0xAB, 0x00 })); },
      TRUE, "", Unchanged,
      { kPendingListRequest },
      {}
    },
    {
      "ThirteenBytesTwoRecordsAndAStrayByte",
      [] {
        StoreBefore ();
        Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x02, 0xAB, 0x00, 0x00, 0x00, 0x09, 0x04, 0xAA, 0x36, 0x01, 0x00, 0xAB }));
        Sim::Vexa ().AnswerImportCert (4, Sim::VexaFake::ImportCert (4, kCert310));
      },
      TRUE, "+D2-+W4-",
      [] { return SlotState { StoredValue (kOldCert), std::nullopt, std::nullopt, StoredValue (kCert310) }; },
      { kPendingListRequest, ImportCertRequest (4) },
      FirstOperation (0xAB) + Deleted (2) + ImportReturned ("Success")
    },
    {
      "Import900BytesIntoSlot1",
      [] {
        Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x01, 0xAA, 0x84, 0x03, 0x00 }));
        Sim::Vexa ().AnswerImportCert (1, Sim::VexaFake::ImportCert (1, kCert900));
      },
      TRUE, "+W1-",
      [] { return SlotState { StoredValue (kCert900), std::nullopt, std::nullopt, std::nullopt }; },
      { kPendingListRequest, { 0x809D, { 0xA2, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00 } } },
      FirstOperation (0xAA) + ImportReturned ("Success")
    },
    {
      "ImportReplacesAHeldCertificate",
      [] {
        StoreBefore ();
        Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x01, 0xAA, 0x84, 0x03, 0x00 }));
        Sim::Vexa ().AnswerImportCert (1, Sim::VexaFake::ImportCert (1, kCert900));
      },
      TRUE, "+W1-",
      [] { return SlotState { StoredValue (kCert900), StoredValue (kCert400), std::nullopt, std::nullopt }; },
      { kPendingListRequest, ImportCertRequest (1) },
      FirstOperation (0xAA) + ImportReturned ("Success")
    },
    {
      // The delete of an absent variable writes nothing but is still bracketed.
      "DeleteOfEmptySlot2",
      [] { PutCert (1, kOldCert); Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x02, 0xAB, 0x00, 0x00, 0x00 })); },
      TRUE, "+-",
      [] { return SlotState { StoredValue (kOldCert), std::nullopt, std::nullopt, std::nullopt }; },
      { kPendingListRequest },
      FirstOperation (0xAB) + Deleted (2)
    },
    {
      "DeleteOfSlot7",
      [] { StoreBefore (); Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x07, 0xAB, 0x00, 0x00, 0x00 })); },
      TRUE, "", Unchanged,
      { kPendingListRequest },
      RecordInvalid (1) + FirstOperation (0xAB) + Messages { { ERR, "HandlePendingDelete: Get Certificate 7 String failed!\n" } } +
      DeleteReturned ("Not Found")
    },
    {
      "ImportIntoSlot5",
      [] { StoreBefore (); Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x05, 0xAA, 0x10, 0x00, 0x00 })); },
      TRUE, "", Unchanged,
      { kPendingListRequest },
      RecordInvalid (1) + FirstOperation (0xAA) + Messages { { ERR, "HandlePendingImport: Failed to get string of cert #(5).\n" } } +
      ImportReturned ("Not Found")
    },
    {
      "UnknownOperationAC",
      [] { StoreBefore (); Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x01, 0xAC, 0x00, 0x00, 0x00 })); },
      TRUE, "", Unchanged,
      { kPendingListRequest },
      RecordInvalid (1) + FirstOperation (0xAC) + kUnknown
    },
    {
      // A skipped record does not end the pass: the next one is applied.
      "UnknownOperationThenDelete",
      [] {
        StoreBefore ();
        Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x09, 0x02, 0xAB, 0x00, 0x00, 0x00 }));
      },
      TRUE, "+D2-",
      [] { return SlotState { StoredValue (kOldCert), std::nullopt, std::nullopt, std::nullopt }; },
      { kPendingListRequest },
      RecordInvalid (1) + FirstOperation (0x00) + kUnknown + Deleted (2)
    },
    {
      "WrongTaskTypeIsStillApplied",
      [] { StoreBefore (); Sim::Vexa ().Answer (0xA0, List ({ 0x05, 0x01, 0xAB, 0x00, 0x00, 0x00 })); },
      TRUE, "+D1-",
      [] { return SlotState { std::nullopt, StoredValue (kCert400), std::nullopt, std::nullopt }; },
      { kPendingListRequest },
      RecordInvalid (1) + FirstOperation (0xAB) + Deleted (1)
    },
    {
      // Only the second record is invalid; it is reported by its position.
      "InvalidRecordReportedByPosition",
      [] {
        StoreBefore ();
        Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x01, 0xAB, 0x00, 0x00, 0x00, 0x08, 0x02, 0xAB, 0x00, 0x00, 0x00 }));
      },
      TRUE, "+D1-+D2-",
      [] { return SlotState { std::nullopt, std::nullopt, std::nullopt, std::nullopt }; },
      { kPendingListRequest },
      RecordInvalid (2) + FirstOperation (0xAB) + Deleted (1) + Deleted (2)
    },
    {
      "CertificateAnswerWithWrongIndex",
      [] {
        StoreBefore ();
        Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x02, 0xAA, 0x36, 0x01, 0x00 }));
        Sim::Vexa ().AnswerImportCert (2, Sim::VexaFake::ImportCert (3, kCert310));
      },
      TRUE, "", Unchanged,
      { kPendingListRequest, ImportCertRequest (2) },
      FirstOperation (0xAA) + Messages { { ERR, "HandlePendingImport(L): Get Certificate 2 failed!\n" } } +
      ImportReturned ("Invalid Parameter")
    },
    {
      // The Vexa delivers an empty certificate; the enrolment refuses it.
      "CertSizeZero",
      [] {
        StoreBefore ();
        Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x01, 0xAA, 0x00, 0x00, 0x00 }));
        Sim::Vexa ().AnswerImportCert (1, Sim::VexaFake::ImportCert (1, {}));
      },
      TRUE, "+-", Unchanged,
      { kPendingListRequest, ImportCertRequest (1) },
      FirstOperation (0xAA) + Messages { { ERR, "HandlePendingImport(L): Fail to store Certificate 1 into flash: Invalid Parameter!\n" } } +
      ImportReturned ("Invalid Parameter")
    },
    {
      "ImportThenDeleteOfSlot3",
      [] {
        StoreBefore ();
        Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x03, 0xAA, 0x84, 0x03, 0x00, 0x09, 0x03, 0xAB, 0x00, 0x00, 0x00 }));
        Sim::Vexa ().AnswerImportCert (3, Sim::VexaFake::ImportCert (3, kCert900));
      },
      TRUE, "+W3-+D3-", Unchanged,
      { kPendingListRequest, ImportCertRequest (3) },
      FirstOperation (0xAA) + ImportReturned ("Success") + Deleted (3)
    },
    {
      "TwoImportsIntoOneSlotSecondWins",
      [] {
        StoreBefore ();
        Sim::Vexa ().Queue (List ({ 0x09, 0x02, 0xAA, 0x84, 0x03, 0x00, 0x09, 0x02, 0xAA, 0x36, 0x01, 0x00 }));
        Sim::Vexa ().Queue (Sim::VexaFake::ImportCert (2, kCert900));
        Sim::Vexa ().Queue (Sim::VexaFake::ImportCert (2, kCert310));
      },
      TRUE, "+W2-+W2-",
      [] { return SlotState { StoredValue (kOldCert), StoredValue (kCert310), std::nullopt, std::nullopt }; },
      { kPendingListRequest, ImportCertRequest (2), ImportCertRequest (2) },
      FirstOperation (0xAA) + ImportReturned ("Success") + ImportReturned ("Success")
    },
    {
      // A variable service that refuses unsigned authenticated writes (OVMF):
      // both requests reach the store, fail there, and the flag still drops.
      "RefusingVariablePolicy",
      [] {
        StoreBefore ();
        Sim::Variables ().SetPolicy (Sim::AuthPolicy::Refusing);
        Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x01, 0xAA, 0x84, 0x03, 0x00, 0x09, 0x02, 0xAB, 0x00, 0x00, 0x00 }));
        Sim::Vexa ().AnswerImportCert (1, Sim::VexaFake::ImportCert (1, kCert900));
      },
      TRUE, "+W1-+D2-", Unchanged,
      { kPendingListRequest, ImportCertRequest (1) },
      FirstOperation (0xAA) +
      Messages { { ERR, "HandlePendingImport(L): Fail to store Certificate 1 into flash: Security Violation!\n" } } +
      ImportReturned ("Security Violation") + DeleteTried (2) +
      Messages { { ERR, "HandlePendingDelete: Failed to clear Cerficate 2 in flash by Vexa request. (Security Violation)\n" } } +
      DeleteReturned ("Security Violation")
    },
  };
}

class PendingScenario : public ::testing::TestWithParam<PendingCase> {};

TEST_P (PendingScenario, WholeOutcome) {
  const PendingCase                        &C       = GetParam ();
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service = Publish ();

  ASSERT_NE (Service, nullptr);
  C.Arrange ();

  EXPECT_EQ (Service->HandlePendingTasks (), C.Result);

  EXPECT_EQ (Slots (), C.After ()) << Describe (Slots ());
  EXPECT_EQ (WriteTrace (), C.Writes);
  EXPECT_FALSE (FlagPresent ()) << "the update flag is lowered after every write";
  EXPECT_EQ (Requests (), C.Sent);
  EXPECT_EQ (LogOf ("HandlePending"), C.Says) << Sim::DebugLog ().Dump ();
  EXPECT_TRUE (Sim::Pool ().Findings ().empty ());
  EXPECT_EQ (Sim::Pool ().LiveCount (), 0u) << "every buffer of the call is released";
}

INSTANTIATE_TEST_SUITE_P (
  Table,
  PendingScenario,
  ::testing::ValuesIn (PendingCases ()),
  [](const ::testing::TestParamInfo<PendingCase> &Info) { return std::string (Info.param.Name); }
  );

// ===========================================================================
// What reaches the variable service around one import
// ===========================================================================

TEST (PendingImport, WritesTheDescriptorAndListBetweenRaiseAndLower) {
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service = Publish ();

  ASSERT_NE (Service, nullptr);
  Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x01, 0xAA, 0x84, 0x03, 0x00 }));
  Sim::Vexa ().AnswerImportCert (1, Sim::VexaFake::ImportCert (1, kCert900));

  EXPECT_TRUE (Service->HandlePendingTasks ());

  std::vector<Sim::VariableCall>  Sets = Sim::Variables ().SetCalls ();
  ASSERT_EQ (Sets.size (), 3u);
  // Raise: "TolmPr", volatile boot-service variable, one byte 0x01.
  EXPECT_EQ (Sets[0].Name, "TolmPr");
  EXPECT_EQ (Sets[0].Attributes, 0x2u);
  EXPECT_EQ (Sets[0].Data, Bytes { 0x01 });
  // The write: 0x23, 84 + 900 bytes, the list after the 40-byte descriptor.
  EXPECT_EQ (Sets[1].Name, "HttpsCertDev1");
  EXPECT_TRUE (CompareGuid (&Sets[1].Guid, &gTolmVariableGuid));
  EXPECT_EQ (Sets[1].Attributes, 0x23u);
  EXPECT_EQ (Sets[1].DataSizeIn, 984u);
  EXPECT_EQ (WrittenValue (0), StoredValue (kCert900));
  EXPECT_EQ (Sets[1].Status, EFI_SUCCESS);
  // Lower: size 0.
  EXPECT_EQ (Sets[2].Name, "TolmPr");
  EXPECT_EQ (Sets[2].Attributes, 0x2u);
  EXPECT_EQ (Sets[2].DataSizeIn, 0u);
}

// ===========================================================================
// A failed raise or lower does not stop the write it brackets
// ===========================================================================

TEST (PendingImport, FlagFailureDoesNotStopTheWrite) {
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service = Publish ();

  ASSERT_NE (Service, nullptr);
  Sim::Variables ().FailSet ("TolmPr", EFI_WRITE_PROTECTED);
  Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x04, 0xAA, 0x36, 0x01, 0x00 }));
  Sim::Vexa ().AnswerImportCert (4, Sim::VexaFake::ImportCert (4, kCert310));

  EXPECT_TRUE (Service->HandlePendingTasks ());
  EXPECT_EQ (Slots (), (SlotState { std::nullopt, std::nullopt, std::nullopt, StoredValue (kCert310) }));
  // The failed lower is tried once more.
  EXPECT_EQ (WriteTrace (), "+W4--");
  EXPECT_EQ (LogOf ("HandlePending"), FirstOperation (0xAA) + ImportReturned ("Success")) << Sim::DebugLog ().Dump ();
}

// A lower the variable service fails once must not leave the flag raised for
// the rest of the boot.
TEST (PendingImport, AFailedLowerIsTriedAgainAndTheFlagEndsLowered) {
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Service = Publish ();

  ASSERT_NE (Service, nullptr);
  Sim::Vexa ().Answer (0xA0, List ({ 0x09, 0x04, 0xAA, 0x36, 0x01, 0x00, 0x09, 0x04, 0xAB, 0x00, 0x00, 0x00 }));
  Sim::Vexa ().AnswerImportCert (4, Sim::VexaFake::ImportCert (4, kCert310));
  Sim::Variables ().FailNthSet (3, EFI_DEVICE_ERROR);   // raise, write, lower

  EXPECT_TRUE (Service->HandlePendingTasks ());
  EXPECT_EQ (WriteTrace (), "+W4--+D4-");
  EXPECT_FALSE (FlagPresent ());
  EXPECT_EQ (Slots (), SlotState {});
}

} // namespace
