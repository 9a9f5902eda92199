/** @file
  Host tests of the controller messages: the pending-list (0xA0) and
  import-certificate (0xA2) exchanges against hostile responses, the sync
  send (0xA1), the request bytes on the wire, and the pending-record check.

  Every test runs on a fresh simulated platform; the pool's end-of-test leak
  check proves that each response buffer was released on every path.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <SimPlatform.h>

#include <regex>

#include "TolmVexaHttpsBootCertMgmtDxe.h"

namespace {

using Bytes = std::vector<UINT8>;

///
/// A message with its "Name(line): " prefix made line-independent.
///
std::string
Unlined (
  const std::string  &Text
  )
{
  static const std::regex  Prefix ("^([A-Za-z_0-9]+)\\([0-9]+\\): ");

  return std::regex_replace (Text, Prefix, "$1(L): ");
}

std::vector<std::string>
MessagesAt (
  UINTN  Level
  )
{
  std::vector<std::string>  Texts;

  for (const auto &M : Sim::DebugLog ().Messages) {
    if (M.Level == Level) {
      Texts.push_back (Unlined (M.Text));
    }
  }

  return Texts;
}

std::vector<std::string>
Expect (
  const char  *Text
  )
{
  return (Text == nullptr) ? std::vector<std::string>{} : std::vector<std::string>{ Text };
}

Bytes
Concat (
  Bytes        A,
  const Bytes  &B
  )
{
  A.insert (A.end (), B.begin (), B.end ());
  return A;
}

Bytes
Le32 (
  UINT32  Value
  )
{
  return { (UINT8)Value, (UINT8)(Value >> 8), (UINT8)(Value >> 16), (UINT8)(Value >> 24) };
}

Sim::KivAnswer
Raw (
  const Bytes  &Response,
  EFI_STATUS   Status = EFI_SUCCESS,
  UINT16       Completion = 0
  )
{
  Sim::KivAnswer  A;

  A.Status     = Status;
  A.Completion = Completion;
  A.Response   = Response;
  return A;
}

Sim::KivAnswer
NoBuffer (
  EFI_STATUS  Status
  )
{
  Sim::KivAnswer  A;

  A.Status   = Status;
  A.NoBuffer = true;
  return A;
}

/// A transport breaking its contract: success and a size, but no buffer.
Sim::KivAnswer
SizeWithoutBuffer (
  UINT32  Size
  )
{
  Sim::KivAnswer  A;

  A.NoBuffer     = true;
  A.SizeOverride = Size;
  return A;
}

// ===========================================================================
// GetPendingTaskList (0xA0)
// ===========================================================================

const Bytes  kTwoRecords = { 0x09, 0x01, 0xAA, 0x10, 0x00, 0x00, 0x09, 0x02, 0xAB, 0x00, 0x00, 0x00 };

struct PendingCase {
  const char        *Name;
  Sim::KivAnswer    Answer;
  const char        *Error;          ///< the one DEBUG_ERROR message, or nullptr
  UINT32            ListSize;       ///< *PendingListSize afterwards
  Bytes             List;           ///< the copy handed out (empty: NULL)
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

std::vector<PendingCase>
PendingCases (
  )
{
  const char  *StatusMsg = "GetPendingTaskList: error status returned from the KIV command.\n";
  const char  *ShortMsg  = "GetPendingTaskList: response buffer size too small.\n";
  const char  *CmdMsg    = "GetPendingTaskList: bad response command value.\n";
  const char  *ListMsg   = "GetPendingTaskList: pending list size too small.\n";
  Bytes       Good       = Concat ({ 0xA0, 0x00, 0x0C, 0x00, 0x00, 0x00 }, kTwoRecords);

  return {
    // Refusals: outputs 0 / NULL, exactly one error message.
    { "TransportErrorNoBuffer",    NoBuffer (EFI_DEVICE_ERROR),                  StatusMsg, 0, {} },
    { "TransportErrorWithBuffer",  Raw (Good, EFI_DEVICE_ERROR),                 StatusMsg, 0, {} },
    { "TransportWarning",          Raw (Good, EFI_WARN_BUFFER_TOO_SMALL),        nullptr,   12, kTwoRecords },
    { "CompletionC1",              Raw (Good, EFI_SUCCESS, 0xC1),                StatusMsg, 0, {} },
    { "CompletionAndError",        Raw (Good, EFI_TIMEOUT, 0xFF),                StatusMsg, 0, {} },
    { "EmptyResponse",             Raw ({}),                                     ShortMsg,  0, {} },
    { "FiveBytes",                 Raw ({ 0xA0, 0x00, 0x00, 0x00, 0x00 }),       ShortMsg,  0, {} },
    { "SizeWithoutBuffer",         SizeWithoutBuffer (18),                       ShortMsg,  0, {} },
    { "SubCommandA2",              Raw ({ 0xA2, 0x00, 0x00, 0x00, 0x00, 0x00 }), CmdMsg,    0, {} },
    { "SubCommandA1",              Raw (Concat ({ 0xA1, 0x00, 0x0C, 0x00, 0x00, 0x00 }, kTwoRecords)), CmdMsg, 0, {} },
    { "DeclaresOneInSixBytes",     Raw ({ 0xA0, 0x00, 0x01, 0x00, 0x00, 0x00 }), ListMsg,   0, {} },
    { "DeclaresOneMoreThanSent",   Raw (Concat ({ 0xA0, 0x00, 0x0D, 0x00, 0x00, 0x00 }, kTwoRecords)), ListMsg, 0, {} },
    { "Declares65536PlusTwelve",   Raw (Concat ({ 0xA0, 0x00, 0x0C, 0x00, 0x01, 0x00 }, kTwoRecords)), ListMsg, 0, {} },
    { "DeclaresMaxUint32",         Raw (Concat ({ 0xA0, 0x00, 0xFF, 0xFF, 0xFF, 0xFF }, kTwoRecords)), ListMsg, 0, {} },
    // Several faults at once: the first test in order decides the message.
    { "CompletionAndShort",        Raw ({ 0xA0 }, EFI_SUCCESS, 0xC1),            StatusMsg, 0, {} },
    { "ShortAndSubCommandA2",      Raw ({ 0xA2, 0x00, 0x00, 0x00, 0x00 }),       ShortMsg,  0, {} },
    { "SubCommandA2AndListTooLong", Raw ({ 0xA2, 0x00, 0xFF, 0x00, 0x00, 0x00 }), CmdMsg,   0, {} },
    // Accepted.
    { "EmptyList",                 Raw ({ 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00 }), nullptr,   0, {} },
    { "ReservedByteIgnored",       Raw (Concat ({ 0xA0, 0x5A, 0x0C, 0x00, 0x00, 0x00 }, kTwoRecords)), nullptr, 12, kTwoRecords },
    { "TwoRecords",                Raw (Good),                                   nullptr,   12, kTwoRecords },
    { "SevenInThirteen",           Raw ({ 0xA0, 0x00, 0x07, 0x00, 0x00, 0x00, 0x09, 0x03, 0xAA, 0x20, 0x01, 0x00, 0x77 }),
      nullptr, 7, { 0x09, 0x03, 0xAA, 0x20, 0x01, 0x00, 0x77 } },
    { "LongerThanDeclared",        Raw (Concat ({ 0xA0, 0x00, 0x06, 0x00, 0x00, 0x00 }, kTwoRecords)),
      nullptr, 6, { 0x09, 0x01, 0xAA, 0x10, 0x00, 0x00 } },
    { "ZeroDeclaredWithTrailer",   Raw (Concat ({ 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00 }, kTwoRecords)), nullptr, 0, {} },
  };
}

class PendingListResponses : public ::testing::TestWithParam<PendingCase> {};

TEST_P (PendingListResponses, YieldExactlyTheDeclaredCopyOrNothing) {
  const PendingCase  &C = GetParam ();
  UINT8              *List;
  UINT32             ListSize;

  Sim::Vexa ().Install ();
  Sim::Vexa ().Queue (C.Answer);

  List     = (UINT8 *)(UINTN)0x1234;      // preset garbage: both outputs must be written
  ListSize = 0xDEADBEEF;
  GetPendingTaskList (&List, &ListSize);

  EXPECT_EQ (ListSize, C.ListSize);
  if (C.List.empty ()) {
    EXPECT_EQ (List, nullptr);
  } else {
    ASSERT_NE (List, nullptr);
    EXPECT_EQ (Sim::Pool ().SizeOf (List), C.List.size ()) << "the copy holds exactly the declared bytes";
    EXPECT_EQ (Bytes (List, List + C.List.size ()), C.List);
    FreePool (List);
  }

  EXPECT_EQ (MessagesAt (DEBUG_ERROR), Expect (C.Error)) << Sim::DebugLog ().Dump ();
  ASSERT_EQ (Sim::Vexa ().Requests ().size (), 1u);
  EXPECT_TRUE (Sim::Pool ().Findings ().empty ());
}

INSTANTIATE_TEST_SUITE_P (
  Table,
  PendingListResponses,
  ::testing::ValuesIn (PendingCases ()),
  [](const ::testing::TestParamInfo<PendingCase> &Info) { return std::string (Info.param.Name); }
  );

TEST (PendingList, RequestIsSixBytesOfQueryCommand) {
  UINT8   *List;
  UINT32  ListSize;

  Sim::Vexa ().Install ();
  Sim::Vexa ().Queue (Raw ({ 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00 }, EFI_SUCCESS, 0));
  GetPendingTaskList (&List, &ListSize);

  ASSERT_EQ (Sim::Vexa ().Requests ().size (), 1u);
  EXPECT_EQ (Sim::Vexa ().Requests ()[0].Command, 0x809D);
  EXPECT_EQ (Sim::Vexa ().Requests ()[0].RequestSize, 6u);
  EXPECT_EQ (Sim::Vexa ().Requests ()[0].Bytes, (Bytes{ 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00 }));
}

TEST (PendingList, ProgressLinesCarryTheTransportValues) {
  UINT8   *List;
  UINT32  ListSize;

  Sim::Vexa ().Install ();
  Sim::Vexa ().Queue (Raw (Concat ({ 0xA0, 0x00, 0x0C, 0x00, 0x00, 0x00 }, kTwoRecords)));
  GetPendingTaskList (&List, &ListSize);
  FreePool (List);

  EXPECT_EQ (
    MessagesAt (DEBUG_INFO),
    (std::vector<std::string>{
    "GetPendingTaskList(L): IPMI command Status (Success) ResponseStatus(0x0) ResponseBufferSize (0x12)\n",
    "GetPendingTaskList: pending list size is 12.\n"
  })
    );
}

TEST (PendingList, TransportAbsentReadsAsZeroedValues) {
  UINT8   *List;
  UINT32  ListSize;

  // No KIV_PROTOCOL installed: the info line shows the preset 0 values.
  GetPendingTaskList (&List, &ListSize);

  EXPECT_EQ (ListSize, 0u);
  EXPECT_EQ (List, nullptr);
  EXPECT_EQ (
    MessagesAt (DEBUG_INFO),
    Expect ("GetPendingTaskList(L): IPMI command Status (Not Found) ResponseStatus(0x0) ResponseBufferSize (0x0)\n")
    );
  EXPECT_EQ (MessagesAt (DEBUG_ERROR), Expect ("GetPendingTaskList: error status returned from the KIV command.\n"));
}

TEST (PendingList, CopyAllocationFailureGivesSizeWithoutList) {
  UINT8   *List;
  UINT32  ListSize;

  Sim::Vexa ().Install ();
  Sim::Vexa ().Queue (Raw ({ 0xA0, 0x00, 0x07, 0x00, 0x00, 0x00, 0x09, 0x03, 0xAA, 0x20, 0x01, 0x00, 0x77 }));
  // Allocation 1 is the transport's response buffer, allocation 2 the copy.
  Sim::Pool ().FailNthAllocation (2);

  GetPendingTaskList (&List, &ListSize);

  EXPECT_EQ (ListSize, 7u);
  EXPECT_EQ (List, nullptr);
  EXPECT_EQ (Sim::Pool ().FailedAllocations (), 1u);
  EXPECT_TRUE (MessagesAt (DEBUG_ERROR).empty ()) << "nothing is printed for a failed copy";
}

// ===========================================================================
// GetImportCert (0xA2)
// ===========================================================================

constexpr UINT8   kSlot    = 2;
const Bytes       kDer     = { 0x30, 0x82, 0x01, 0x0A, 0x02 };
constexpr UINT16  kDerSize = 5;

Bytes
ImportHeader (
  UINT8   SubCommand,
  UINT32  Size,
  UINT8   IndexLow,
  UINT8   IndexHigh
  )
{
  return Concat (Concat ({ SubCommand, 0x00 }, Le32 (Size)), { IndexLow, IndexHigh });
}

struct ImportCase {
  const char        *Name;
  Sim::KivAnswer    Answer;
  const char        *Error;          ///< the one DEBUG_ERROR message, or nullptr on success
};

/// Test names and ctest listings show the case name, not the raw bytes.
void
PrintTo (
  const ImportCase  &Case,
  std::ostream  *Out
  )
{
  *Out << Case.Name;
}

std::vector<ImportCase>
ImportRefusals (
  )
{
  const Bytes  Good      = Concat (ImportHeader (0xA2, kDerSize, kSlot, 0), kDer);
  const char   *Failed   = "GetImportCert(L): Failed to get imported cert from Vexa.\n";
  const char   *BadSize  = "GetImportCert(L): Incorrect response buffer size.\n";
  const char   *BadSub   = "GetImportCert(L): Incorrect response subommand.\n";

  return {
    { "TransportErrorNoBuffer",   NoBuffer (EFI_DEVICE_ERROR),                  Failed },
    { "TransportErrorWithBuffer", Raw (Good, EFI_DEVICE_ERROR),                 Failed },
    { "CompletionC1",             Raw (Good, EFI_SUCCESS, 0xC1),                Failed },
    { "EmptyResponse",            Raw ({}),                                     BadSize },
    { "SizeWithoutBuffer",        SizeWithoutBuffer (8 + kDerSize),             BadSize },
    { "SevenBytes",               Raw ({ 0xA2, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02 }), BadSize },
    { "SubCommandA0",             Raw (Concat (ImportHeader (0xA0, kDerSize, kSlot, 0), kDer)), BadSub },
    { "Size65536PlusN",           Raw (Concat (ImportHeader (0xA2, 0x10000 + kDerSize, kSlot, 0), kDer)),
      "GetImportCert(L): Incorrect response size = 65541; while cert size is: 5\n" },
    { "SizeOneLess",              Raw (Concat (ImportHeader (0xA2, kDerSize - 1, kSlot, 0), kDer)),
      "GetImportCert(L): Incorrect response size = 4; while cert size is: 5\n" },
    { "SizeOneMore",              Raw (Concat (Concat (ImportHeader (0xA2, kDerSize + 1, kSlot, 0), kDer), { 0xEE })),
      "GetImportCert(L): Incorrect response size = 6; while cert size is: 5\n" },
    { "Index0x0102",              Raw (Concat (ImportHeader (0xA2, kDerSize, 0x02, 0x01), kDer)),
      "GetImportCert(L): Incrrect response index = 258.\n" },
    { "IndexOtherSlot",           Raw (Concat (ImportHeader (0xA2, kDerSize, 3, 0), kDer)),
      "GetImportCert(L): Incrrect response index = 3.\n" },
    { "CertificateOneByteShort",  Raw (Concat (ImportHeader (0xA2, kDerSize, kSlot, 0), Bytes (kDer.begin (), kDer.end () - 1))),
      BadSize },
    { "HeaderOnly",               Raw (ImportHeader (0xA2, kDerSize, kSlot, 0)), BadSize },
    // Several faults at once: the first test in order decides the message.
    { "CompletionAndShort",       Raw ({ 0xA2 }, EFI_SUCCESS, 0x01),            Failed },
    { "ShortAndSubCommandA0",     Raw ({ 0xA0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02 }), BadSize },
    { "SubCommandA0AndWrongSize", Raw (Concat (ImportHeader (0xA0, kDerSize + 1, kSlot, 0), kDer)), BadSub },
    { "WrongSizeAndIndex",        Raw (Concat (ImportHeader (0xA2, kDerSize + 1, 3, 0), kDer)),
      "GetImportCert(L): Incorrect response size = 6; while cert size is: 5\n" },
    { "WrongIndexAndShort",       Raw (ImportHeader (0xA2, kDerSize, 3, 0)),
      "GetImportCert(L): Incrrect response index = 3.\n" },
  };
}

class ImportCertRefusals : public ::testing::TestWithParam<ImportCase> {};

TEST_P (ImportCertRefusals, LeaveTheCallersBufferUntouched) {
  const ImportCase  &C = GetParam ();
  Bytes             Buffer (kDerSize + 4, 0xEE);

  Sim::Vexa ().Install ();
  Sim::Vexa ().Queue (C.Answer);

  EXPECT_EQ (GetImportCert (kSlot, kDerSize, Buffer.data ()), EFI_INVALID_PARAMETER);

  EXPECT_EQ (Buffer, Bytes (kDerSize + 4, 0xEE)) << "nothing is copied on a refusal";
  EXPECT_EQ (MessagesAt (DEBUG_ERROR), Expect (C.Error)) << Sim::DebugLog ().Dump ();
  EXPECT_EQ (Sim::Vexa ().Requests ().size (), 1u);
  EXPECT_TRUE (Sim::Pool ().Findings ().empty ());
}

INSTANTIATE_TEST_SUITE_P (
  Table,
  ImportCertRefusals,
  ::testing::ValuesIn (ImportRefusals ()),
  [](const ::testing::TestParamInfo<ImportCase> &Info) { return std::string (Info.param.Name); }
  );

TEST (ImportCert, CopiesExactlyTheCertificateBytes) {
  // Exact response, one with trailing bytes, and one whose reserved byte is set:
  // each copies CertSize bytes and not one more.
  const std::vector<Bytes>  Responses = {
    Concat (ImportHeader (0xA2, kDerSize, kSlot, 0), kDer),
    Concat (Concat (ImportHeader (0xA2, kDerSize, kSlot, 0), kDer), { 0x11, 0x22, 0x33 }),
    Concat ({ 0xA2, 0x7F, kDerSize, 0x00, 0x00, 0x00, kSlot, 0x00 }, kDer),
  };

  for (const Bytes &Response : Responses) {
    Sim::Reset ();
    Sim::Vexa ().Install ();
    Sim::Vexa ().Queue (Raw (Response));

    Bytes  Buffer (kDerSize + 4, 0xEE);

    EXPECT_EQ (GetImportCert (kSlot, kDerSize, Buffer.data ()), EFI_SUCCESS);
    EXPECT_EQ (Buffer, Concat (kDer, Bytes (4, 0xEE)));
    EXPECT_TRUE (MessagesAt (DEBUG_ERROR).empty ()) << Sim::DebugLog ().Dump ();
    EXPECT_EQ (
      MessagesAt (DEBUG_INFO),
      Expect (
        (std::string ("GetImportCert(L): IPMI Status(Success) ResponseStatus(0x0) ResponseBufferSize(0x")
         + (Response.size () == 13 ? "D" : "10") + ")\n").c_str ()
        )
      );
    Sim::CheckAtEnd ();
  }
}

TEST (ImportCert, RequestNamesTheSlotInByteSix) {
  for (UINT8 Slot : { 1, 2, 3, 4, 0xFF }) {
    Sim::Reset ();
    Sim::Vexa ().Install ();
    Sim::Vexa ().Queue (Raw (Concat (ImportHeader (0xA2, 1, Slot, 0), { 0x30 })));

    UINT8  Byte = 0;

    EXPECT_EQ (GetImportCert (Slot, 1, &Byte), EFI_SUCCESS);
    ASSERT_EQ (Sim::Vexa ().Requests ().size (), 1u);
    EXPECT_EQ (Sim::Vexa ().Requests ()[0].Command, 0x809D);
    EXPECT_EQ (Sim::Vexa ().Requests ()[0].RequestSize, 8u);
    EXPECT_EQ (Sim::Vexa ().Requests ()[0].Bytes, (Bytes{ 0xA2, 0x00, 0x02, 0x00, 0x00, 0x00, Slot, 0x00 }));
    Sim::CheckAtEnd ();
  }
}

TEST (ImportCert, NullBufferSendsNothing) {
  Sim::Vexa ().Install ();

  EXPECT_EQ (GetImportCert (kSlot, kDerSize, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE (Sim::Vexa ().Requests ().empty ());
  EXPECT_TRUE (Sim::DebugLog ().Messages.empty ());
}

TEST (ImportCert, TransportStatusIsNotPassedOn) {
  UINT8  Buffer[kDerSize];

  // Transport absent (EFI_NOT_FOUND) still answers EFI_INVALID_PARAMETER.
  EXPECT_EQ (GetImportCert (kSlot, kDerSize, Buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ (
    MessagesAt (DEBUG_INFO),
    Expect ("GetImportCert(L): IPMI Status(Not Found) ResponseStatus(0x0) ResponseBufferSize(0x0)\n")
    );
  EXPECT_EQ (MessagesAt (DEBUG_ERROR), Expect ("GetImportCert(L): Failed to get imported cert from Vexa.\n"));
}

// ===========================================================================
// SendHttpsBootPolicy (0xA1)
// ===========================================================================

/// The sync message of an empty store: one empty record for slot 1.
const Bytes  kEmptySyncMessage = { 0xA1, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00 };

struct SyncCase {
  const char        *Name;
  bool              Installed;
  Sim::KivAnswer    Answer;
  EFI_STATUS        Expected;
  const char        *Info;
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

class SyncSend : public ::testing::TestWithParam<SyncCase> {};

TEST_P (SyncSend, ReturnsTheTransportStatusAlone) {
  const SyncCase  &C      = GetParam ();
  Bytes           Message = kEmptySyncMessage;

  if (C.Installed) {
    Sim::Vexa ().Install ();
    Sim::Vexa ().Queue (C.Answer);
  }

  EXPECT_EQ (SendHttpsBootPolicy (Message.data (), (UINT32)Message.size ()), C.Expected);

  EXPECT_EQ (MessagesAt (DEBUG_INFO), Expect (C.Info));
  EXPECT_TRUE (MessagesAt (DEBUG_ERROR).empty ());
  if (C.Installed) {
    ASSERT_EQ (Sim::Vexa ().Requests ().size (), 1u);
    EXPECT_EQ (Sim::Vexa ().Requests ()[0].Command, 0x009D);
    EXPECT_EQ (Sim::Vexa ().Requests ()[0].RequestPointer, Message.data ()) << "sent in one call, from the caller's message";
    EXPECT_EQ (Sim::Vexa ().Requests ()[0].RequestSize, 14u);
    EXPECT_EQ (Sim::Vexa ().Requests ()[0].Bytes, Message);
  }

  EXPECT_EQ (Message, kEmptySyncMessage) << "the message stays as it was";
}

INSTANTIATE_TEST_SUITE_P (
  Table,
  SyncSend,
  ::testing::Values (
    SyncCase{ "Acknowledged", true, Raw ({ 0x00 }), EFI_SUCCESS,
              "SendHttpsBootPolicy(L): IPMI response: Status (Success) ResponseStatus(0x0) ResponseBufferSize(0x1)\n" },
    SyncCase{ "CompletionC1IsOnlyReported", true, Raw ({ 0xA1 }, EFI_SUCCESS, 0xC1), EFI_SUCCESS,
              "SendHttpsBootPolicy(L): IPMI response: Status (Success) ResponseStatus(0xC1) ResponseBufferSize(0x1)\n" },
    SyncCase{ "NoResponseBytes", true, NoBuffer (EFI_SUCCESS), EFI_SUCCESS,
              "SendHttpsBootPolicy(L): IPMI response: Status (Success) ResponseStatus(0x0) ResponseBufferSize(0x0)\n" },
    SyncCase{ "TransportErrorWithBuffer", true, Raw ({ 0x00, 0x01 }, EFI_DEVICE_ERROR, 0xC0), EFI_DEVICE_ERROR,
              "SendHttpsBootPolicy(L): IPMI response: Status (Device Error) ResponseStatus(0xC0) ResponseBufferSize(0x2)\n" },
    SyncCase{ "TransportTimeout", true, NoBuffer (EFI_TIMEOUT), EFI_TIMEOUT,
              "SendHttpsBootPolicy(L): IPMI response: Status (Time out) ResponseStatus(0x0) ResponseBufferSize(0x0)\n" },
    SyncCase{ "TransportAbsent", false, Raw ({}), EFI_NOT_FOUND,
              "SendHttpsBootPolicy(L): IPMI response: Status (Not Found) ResponseStatus(0x0) ResponseBufferSize(0x0)\n" }
    ),
  [](const ::testing::TestParamInfo<SyncCase> &Info) { return std::string (Info.param.Name); }
  );

// ===========================================================================
// Pending-task records
// ===========================================================================

TEST (PendingRecord, ValidityTable) {
  struct {
    Bytes         Record;
    EFI_STATUS    Expected;
  } const  Cases[] = {
    { { 0x09, 0x02, 0xAB, 0x00, 0x00, 0x00 }, EFI_SUCCESS           },
    { { 0x09, 0x01, 0xAA, 0x10, 0x00, 0x00 }, EFI_SUCCESS           },
    { { 0x09, 0x04, 0xAA, 0xFF, 0xFF, 0xFF }, EFI_SUCCESS           },  // CertSize, Reserved not examined
    { { 0x09, 0x00, 0xAA, 0x10, 0x00, 0x00 }, EFI_INVALID_PARAMETER },
    { { 0x09, 0x05, 0xAA, 0x10, 0x00, 0x00 }, EFI_INVALID_PARAMETER },
    { { 0x08, 0x01, 0xAA, 0x10, 0x00, 0x00 }, EFI_INVALID_PARAMETER },
    { { 0x09, 0x01, 0xAC, 0x10, 0x00, 0x00 }, EFI_INVALID_PARAMETER },
    { { 0x0A, 0x01, 0xAB, 0x00, 0x00, 0x00 }, EFI_INVALID_PARAMETER },
    { { 0x09, 0xFF, 0xAB, 0x00, 0x00, 0x00 }, EFI_INVALID_PARAMETER },
    { { 0x09, 0x01, 0x00, 0x00, 0x00, 0x00 }, EFI_INVALID_PARAMETER },
    { { 0x09, 0x03, 0xA9, 0x00, 0x00, 0x00 }, EFI_INVALID_PARAMETER },
  };

  for (const auto &C : Cases) {
    // At an odd offset, as records stand in a list copy.
    Bytes  Storage (1 + sizeof (PENDING_TASK_RECORD));

    memcpy (Storage.data () + 1, C.Record.data (), C.Record.size ());
    EXPECT_EQ (ValidatePendingTaskRecord ((const PENDING_TASK_RECORD *)(Storage.data () + 1)), C.Expected)
      << testing::PrintToString (C.Record);
  }

  EXPECT_TRUE (Sim::DebugLog ().Messages.empty ()) << "the record check prints nothing";
}

} // namespace
