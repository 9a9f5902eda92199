/** @file
  Host tests of the certificate store: slot names, the update flag, reading a
  slot, building the signature list and the time-based write descriptor, and
  enrolling and deleting certificates against the simulated variable service
  (accepting and refusing time-based authenticated writes).

  Expected bytes are written out here independently of the driver's own
  structures and GUID globals, so a wrong layout or a wrong GUID value in the
  package is caught too.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <SimPlatform.h>

#include <map>
#include <regex>

#include "TolmVexaHttpsBootCertMgmtDxe.h"

#include <Guid/TolmVariable.h>

namespace {

using Bytes = std::vector<UINT8>;

// {A5C059A1-94E4-4AA7-87B5-AB155C2BF072}, EFI_CERT_X509_GUID
const Bytes  kX509Guid = { 0xA1, 0x59, 0xC0, 0xA5, 0xE4, 0x94, 0xA7, 0x4A, 0x87, 0xB5, 0xAB, 0x15, 0x5C, 0x2B, 0xF0, 0x72 };
// {4AAFD29D-68DF-49EE-8AA9-347D375665A7}, EFI_CERT_TYPE_PKCS7_GUID
const Bytes  kPkcs7Guid = { 0x9D, 0xD2, 0xAF, 0x4A, 0xDF, 0x68, 0xEE, 0x49, 0x8A, 0xA9, 0x34, 0x7D, 0x37, 0x56, 0x65, 0xA7 };
// {F3F39104-7D8C-4FCE-80BC-40D040BE7AE4}, the default signature owner
const Bytes  kDefaultOwner = { 0x04, 0x91, 0xF3, 0xF3, 0x8C, 0x7D, 0xCE, 0x4F, 0x80, 0xBC, 0x40, 0xD0, 0x40, 0xBE, 0x7A, 0xE4 };
// {55E1FC65-A898-4214-A8A9-1AE839CD329A}, vendor GUID of the slots and the flag
const Bytes  kTolmVariableGuid = { 0x65, 0xFC, 0xE1, 0x55, 0x98, 0xA8, 0x14, 0x42, 0xA8, 0xA9, 0x1A, 0xE8, 0x39, 0xCD, 0x32, 0x9A };

constexpr UINT32  kSlotAttributes = 0x23;

const EFI_GUID  kSomeOwner = {
  0x01234567, 0x89AB, 0xCDEF, { 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF }
};

const CHAR16 *
W (
  const char16_t  *Text
  )
{
  return reinterpret_cast<const CHAR16 *>(Text);
}

Bytes
GuidBytes (
  const EFI_GUID  &Guid
  )
{
  const UINT8  *Raw = reinterpret_cast<const UINT8 *>(&Guid);

  return Bytes (Raw, Raw + sizeof (Guid));
}

Bytes
Slice (
  const Bytes  &Data,
  size_t       Offset,
  size_t       Length
  )
{
  return Bytes (Data.begin () + Offset, Data.begin () + Offset + Length);
}

UINT32
Le32At (
  const Bytes  &Data,
  size_t       Offset
  )
{
  return Data[Offset] | (Data[Offset + 1] << 8) | (Data[Offset + 2] << 16) | ((UINT32)Data[Offset + 3] << 24);
}

UINT16
Le16At (
  const Bytes  &Data,
  size_t       Offset
  )
{
  return (UINT16)(Data[Offset] | (Data[Offset + 1] << 8));
}

Bytes
Certificate (
  size_t  Size,
  UINT8   Seed = 3
  )
{
  Bytes  Der (Size);

  for (size_t Index = 0; Index < Size; Index++) {
    Der[Index] = (UINT8)(Index * 7 + Seed);
  }

  return Der;
}

/// A stored slot value as the driver writes it: list header, owner, DER.
Bytes
StoredValue (
  const Bytes  &Der,
  const Bytes  &Owner = kDefaultOwner
  )
{
  Bytes   Value = kX509Guid;
  UINT32  Sizes[] = { (UINT32)(44 + Der.size ()), 0, (UINT32)(16 + Der.size ()) };

  for (UINT32 Size : Sizes) {
    for (int Shift = 0; Shift < 32; Shift += 8) {
      Value.push_back ((UINT8)(Size >> Shift));
    }
  }

  Value.insert (Value.end (), Owner.begin (), Owner.end ());
  Value.insert (Value.end (), Der.begin (), Der.end ());
  return Value;
}

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

using Texts = std::vector<std::string>;

///
/// Checks the 40-byte descriptor at the start of a write payload: the time
/// of GetTime with its date and time kept and the rest cleared, then a
/// WIN_CERTIFICATE_UEFI_GUID without certificate data.
///
void
ExpectDescriptor (
  const Bytes  &Payload
  )
{
  const EFI_TIME  Time = Sim::VariableStore::DefaultTime ();

  ASSERT_GE (Payload.size (), 40u);
  EXPECT_EQ (Le16At (Payload, 0), Time.Year);
  EXPECT_EQ (Payload[2], Time.Month);
  EXPECT_EQ (Payload[3], Time.Day);
  EXPECT_EQ (Payload[4], Time.Hour);
  EXPECT_EQ (Payload[5], Time.Minute);
  EXPECT_EQ (Payload[6], Time.Second);
  EXPECT_EQ (Payload[7], 0) << "Pad1";
  EXPECT_EQ (Le32At (Payload, 8), 0u) << "Nanosecond";
  EXPECT_EQ (Le16At (Payload, 12), 0) << "TimeZone";
  EXPECT_EQ (Payload[14], 0) << "Daylight";
  EXPECT_EQ (Payload[15], 0) << "Pad2";
  EXPECT_EQ (Le32At (Payload, 16), 24u) << "dwLength";
  EXPECT_EQ (Le16At (Payload, 20), 0x0200) << "wRevision";
  EXPECT_EQ (Le16At (Payload, 22), 0x0EF1) << "wCertificateType";
  EXPECT_EQ (Slice (Payload, 24, 16), kPkcs7Guid) << "CertType";
}

EFI_ALLOCATE_POOL               mAllocatePool;
std::map<UINTN, size_t>         mLiveAtAllocation;   ///< size asked for -> pool blocks live then

EFI_STATUS
EFIAPI
AllocatePoolNoting (
  IN  EFI_MEMORY_TYPE  PoolType,
  IN  UINTN            Size,
  OUT VOID             **Buffer
  )
{
  mLiveAtAllocation[Size] = Sim::Pool ().LiveCount ();
  return mAllocatePool (PoolType, Size, Buffer);
}

// ===========================================================================
// Slot names and the update flag
// ===========================================================================

TEST (SlotNames, OneNamePerSlotAndNoneElsewhere) {
  const char  *Names[] = { "HttpsCertDev1", "HttpsCertDev2", "HttpsCertDev3", "HttpsCertDev4" };

  for (UINT8 Slot = 1; Slot <= 4; Slot++) {
    const CHAR16  *Name = TolmGetHttpDevCertStr (Slot);
    ASSERT_NE (Name, nullptr);
    EXPECT_EQ (Sim::Ascii (Name), Names[Slot - 1]);
    EXPECT_EQ (TolmGetHttpDevCertStr (Slot), Name) << "static text";
  }

  EXPECT_TRUE (Sim::DebugLog ().Messages.empty ());

  for (UINT8 Slot : { 0, 5, 255 }) {
    Sim::DebugLog ().Messages.clear ();
    EXPECT_EQ (TolmGetHttpDevCertStr (Slot), nullptr);
    EXPECT_EQ (
      MessagesAt (DEBUG_ERROR),
      Texts{ "TolmGetHttpDevCertStr: Recieved an unexpected HTTPS device number (" + std::to_string (Slot) + "). Returning NULL\n" }
      );
  }
}

TEST (UpdateFlag, RaisedIsOneVolatileByteLoweredIsAbsent) {
  SetHttpsCertUpdateFlag (TRUE);

  auto  Flag = Sim::Variables ().Find ("TolmPr", gTolmVariableGuid);
  ASSERT_TRUE (Flag.has_value ());
  EXPECT_EQ (Flag->Attributes, 0x2u);
  EXPECT_EQ (Flag->Data, Bytes{ 0x01 });
  ASSERT_EQ (Sim::Variables ().SetCalls ().size (), 1u);
  EXPECT_EQ (GuidBytes (Sim::Variables ().SetCalls ()[0].Guid), kTolmVariableGuid);

  // Raises are not counted: a second raise and one lower leave it absent.
  SetHttpsCertUpdateFlag (TRUE);
  SetHttpsCertUpdateFlag (FALSE);
  EXPECT_FALSE (Sim::Variables ().Has ("TolmPr", gTolmVariableGuid));

  auto  Lower = Sim::Variables ().SetCalls ().back ();
  EXPECT_EQ (Lower.Attributes, 0x2u);
  EXPECT_EQ (Lower.DataSizeIn, 0u);

  // Lowering an absent flag finds nothing to delete: done, in one write. A
  // lower the variable service fails is tried once more, a raise is not.
  const size_t  Writes = Sim::Variables ().SetCalls ().size ();
  SetHttpsCertUpdateFlag (FALSE);
  EXPECT_EQ (Sim::Variables ().SetCalls ().back ().Status, EFI_NOT_FOUND);
  EXPECT_EQ (Sim::Variables ().SetCalls ().size (), Writes + 1);
  Sim::Variables ().FailSet ("TolmPr", EFI_DEVICE_ERROR);
  SetHttpsCertUpdateFlag (FALSE);
  EXPECT_EQ (Sim::Variables ().SetCalls ().size (), Writes + 3);
  SetHttpsCertUpdateFlag (TRUE);
  EXPECT_EQ (Sim::Variables ().SetCalls ().size (), Writes + 4);
  EXPECT_FALSE (Sim::Variables ().Has ("TolmPr", gTolmVariableGuid));
  EXPECT_TRUE (Sim::Variables ().GetCalls ().empty ()) << "the flag is written, never read";
  EXPECT_TRUE (Sim::DebugLog ().Messages.empty ());
}

// ===========================================================================
// Reading a slot
// ===========================================================================

struct ReadCase {
  const char                 *Name;
  std::function<void ()>     Arrange;
  UINT8                      Slot;
  EFI_STATUS                 Expected;       ///< EFI_ABORTED: "any refusal but success and not-found"
  Texts                      Errors;          ///< exact DEBUG_ERROR messages (unlined)
  size_t                     GetCalls;
};

/// Test names and ctest listings show the case name, not the raw bytes.
void
PrintTo (
  const ReadCase  &Case,
  std::ostream  *Out
  )
{
  *Out << Case.Name;
}

void
PutSlot (
  UINT8        Slot,
  const Bytes  &Value
  )
{
  Sim::Variables ().Put ("HttpsCertDev" + std::to_string (Slot), gTolmVariableGuid, kSlotAttributes, Value);
}

std::vector<ReadCase>
ReadRefusals (
  )
{
  auto  Nothing  = [] {};
  auto  Unknown  = [](int Slot) {
                     return "TolmGetHttpDevCertStr: Recieved an unexpected HTTPS device number (" + std::to_string (Slot) +
                            "). Returning NULL\n";
                   };

  return {
    { "Slot0",             Nothing, 0, EFI_INVALID_PARAMETER, { Unknown (0) }, 0 },
    { "Slot5",             Nothing, 5, EFI_INVALID_PARAMETER, { Unknown (5) }, 0 },
    { "EmptySlot",         Nothing, 1, EFI_NOT_FOUND,         {},              1 },
    { "ZeroSizeValue",     [] { PutSlot (4, {}); }, 4, EFI_NOT_FOUND,
      { "GetHttpsDeviceCertAndSyncHeader(L): Variable for certificate of HTTP Dev #(4) found with 0-size.\n" }, 1 },
    { "GetVariableFails",  [] { PutSlot (2, StoredValue (Certificate (8))); Sim::Variables ().FailGet ("HttpsCertDev2", EFI_DEVICE_ERROR); },
      2, EFI_DEVICE_ERROR, {}, 1 },
    // Too short to hold a certificate: refused as a failed read, never as an
    // empty slot.
    { "OneByteValue",      [] { PutSlot (3, { 0x30 }); }, 3, EFI_ABORTED, {}, 1 },
    { "FortyThreeBytes",   [] { PutSlot (3, Slice (StoredValue ({}), 0, 43)); }, 3, EFI_ABORTED, {}, 2 },
    { "FortyFourBytes",    [] { PutSlot (3, StoredValue ({})); }, 3, EFI_ABORTED, {}, 2 },
  };
}

class ReadRefusal : public ::testing::TestWithParam<ReadCase> {};

TEST_P (ReadRefusal, LeavesTheOutputsAlone) {
  const ReadCase          &C = GetParam ();
  HTTPS_CERT_SYNC_HEADER  Header;
  UINT8                   *CertData;

  C.Arrange ();
  Header.CertNum  = 0xBEEF;
  Header.CertSize = 0xDEADBEEF;
  CertData        = (UINT8 *)(UINTN)0x5A5A;

  EFI_STATUS  Status = GetHttpsDeviceCertAndSyncHeader (C.Slot, &Header, &CertData);

  if (C.Expected == EFI_ABORTED) {
    EXPECT_NE (Status, EFI_SUCCESS);
    EXPECT_NE (Status, EFI_NOT_FOUND) << "a damaged value must not pass for an empty slot";
    EXPECT_NE (Status, EFI_OUT_OF_RESOURCES) << "no allocation of a wrapped length";
    ASSERT_EQ (MessagesAt (DEBUG_ERROR).size (), 1u) << Sim::DebugLog ().Dump ();
    EXPECT_NE (MessagesAt (DEBUG_ERROR)[0].find ("too short"), std::string::npos);
  } else {
    EXPECT_EQ (Status, C.Expected);
    EXPECT_EQ (MessagesAt (DEBUG_ERROR), C.Errors) << Sim::DebugLog ().Dump ();
  }

  EXPECT_EQ (Header.CertNum, 0xBEEF);
  EXPECT_EQ (Header.CertSize, 0xDEADBEEFu);
  EXPECT_EQ (CertData, (UINT8 *)(UINTN)0x5A5A);
  EXPECT_EQ (Sim::Variables ().GetCalls ().size (), C.GetCalls);
  EXPECT_TRUE (Sim::Variables ().SetCalls ().empty ());
}

INSTANTIATE_TEST_SUITE_P (
  Table,
  ReadRefusal,
  ::testing::ValuesIn (ReadRefusals ()),
  [](const ::testing::TestParamInfo<ReadCase> &Info) { return std::string (Info.param.Name); }
  );

TEST (SlotRead, NullOutputsAreRefusedBeforeAnythingElse) {
  HTTPS_CERT_SYNC_HEADER  Header;
  UINT8                   *CertData;

  PutSlot (1, StoredValue (Certificate (8)));
  for (UINT8 Slot : { 1, 9 }) {
    EXPECT_EQ (GetHttpsDeviceCertAndSyncHeader (Slot, nullptr, &CertData), EFI_INVALID_PARAMETER);
    EXPECT_EQ (GetHttpsDeviceCertAndSyncHeader (Slot, &Header, nullptr), EFI_INVALID_PARAMETER);
  }

  EXPECT_TRUE (Sim::Variables ().Calls ().empty ());
  EXPECT_TRUE (Sim::DebugLog ().Messages.empty ());
  EXPECT_EQ (Sim::Pool ().AllocationCount (), 0u);
}

TEST (SlotRead, WhateverFollowsByte44IsTheCertificate) {
  // 45 bytes: a one-byte certificate; the list fields are not interpreted.
  Bytes  Value (45, 0xFF);

  Value[44] = 0x30;
  PutSlot (3, Value);

  HTTPS_CERT_SYNC_HEADER  Header;
  UINT8                   *CertData = nullptr;

  ASSERT_EQ (GetHttpsDeviceCertAndSyncHeader (3, &Header, &CertData), EFI_SUCCESS);
  EXPECT_EQ (Header.CertNum, 3);
  EXPECT_EQ (Header.CertSize, 1u);
  ASSERT_NE (CertData, nullptr);
  EXPECT_EQ (Sim::Pool ().SizeOf (CertData), 1u);
  EXPECT_EQ (CertData[0], 0x30);
  FreePool (CertData);
}

// ===========================================================================
// Enrolment
// ===========================================================================

TEST (Enrol, ThousandBytesIntoSlot2AndBack) {
  const Bytes  Der      = Certificate (1000);
  Bytes        Caller   = Der;

  ASSERT_EQ (TolmEnrollX509toVariable (W (u"HttpsCertDev2"), Caller.data (), Caller.size (), nullptr), EFI_SUCCESS);
  EXPECT_EQ (Caller, Der) << "the caller's certificate is only read";

  // One write: the 40-byte descriptor, then the 1,044-byte list.
  ASSERT_EQ (Sim::Variables ().SetCalls ().size (), 1u);
  const Sim::VariableCall  Write = Sim::Variables ().SetCalls ()[0];
  EXPECT_EQ (Write.Name, "HttpsCertDev2");
  EXPECT_EQ (GuidBytes (Write.Guid), kTolmVariableGuid);
  EXPECT_EQ (Write.Attributes, kSlotAttributes);
  EXPECT_EQ (Write.DataSizeIn, 1084u);
  ASSERT_EQ (Write.Data.size (), 1084u);
  ExpectDescriptor (Write.Data);
  EXPECT_EQ (Slice (Write.Data, 40, 16), kX509Guid);
  EXPECT_EQ (Le32At (Write.Data, 56), 1044u) << "SignatureListSize";
  EXPECT_EQ (Le32At (Write.Data, 60), 0u) << "SignatureHeaderSize";
  EXPECT_EQ (Le32At (Write.Data, 64), 1016u) << "SignatureSize";
  EXPECT_EQ (Slice (Write.Data, 68, 16), kDefaultOwner);
  EXPECT_EQ (Slice (Write.Data, 84, 1000), Der);

  auto  Stored = Sim::Variables ().Find ("HttpsCertDev2", gTolmVariableGuid);
  ASSERT_TRUE (Stored.has_value ());
  EXPECT_EQ (Stored->Attributes, kSlotAttributes);
  EXPECT_EQ (Stored->Data, StoredValue (Der));

  // Messages: warning for the default owner, the summary, the list, the write.
  EXPECT_EQ (
    MessagesAt (DEBUG_WARN),
    Texts{ "TolmEnrollX509toVariable: pSignatureOwnerGuid is NULL. Assigning default GUID F3F39104-7D8C-4FCE-80BC-40D040BE7AE4.\n" }
    );
  EXPECT_EQ (MessagesAt (DEBUG_INFO), Texts{ "TolmUpdateHttpsCert: SetVariable returned (Success)\n" });
  Texts  Errors = MessagesAt (DEBUG_ERROR);
  ASSERT_EQ (Errors.size (), 2u) << Sim::DebugLog ().Dump ();
  EXPECT_TRUE (
    std::regex_match (
      Errors[0],
      std::regex (
        "TolmEnrollX509toVariable:\tVariable Name \\(HttpsCertDev2\\)\n   \tCert at \\([0-9A-Fa-f]+\\)\n"
        "   \tCert size \\(0x3E8\\)\n   \tSignaure owner \\(F3F39104-7D8C-4FCE-80BC-40D040BE7AE4\\)\n"
        )
      )
    ) << Errors[0];
  EXPECT_TRUE (std::regex_match (Errors[1], std::regex ("TolmEnrollX509toVariable: pSigList\\([0-9A-Fa-f]+\\) SigListSize\\(0x414\\)\n")))
    << Errors[1];

  // Reading slot 2 back: a 1-byte probe, one read of the reported size.
  Sim::DebugLog ().Messages.clear ();
  size_t                  CallsBefore = Sim::Variables ().Calls ().size ();
  HTTPS_CERT_SYNC_HEADER  Header;
  UINT8                   *CertData = nullptr;

  mAllocatePool     = gBS->AllocatePool;
  gBS->AllocatePool = AllocatePoolNoting;
  mLiveAtAllocation.clear ();
  ASSERT_EQ (GetHttpsDeviceCertAndSyncHeader (2, &Header, &CertData), EFI_SUCCESS);
  gBS->AllocatePool = mAllocatePool;
  ASSERT_EQ (mLiveAtAllocation.count (1044), 1u);
  EXPECT_EQ (mLiveAtAllocation[1044], 0u) << "whatever held the probe is released before the full-size buffer is asked for";
  EXPECT_EQ (Header.CertNum, 2);
  EXPECT_EQ (Header.CertSize, 1000u);
  ASSERT_NE (CertData, nullptr);
  EXPECT_EQ (Sim::Pool ().SizeOf (CertData), 1000u);
  EXPECT_EQ (Bytes (CertData, CertData + 1000), Der);
  FreePool (CertData);

  std::vector<Sim::VariableCall>  Reads (Sim::Variables ().Calls ().begin () + CallsBefore, Sim::Variables ().Calls ().end ());
  ASSERT_EQ (Reads.size (), 2u);
  EXPECT_EQ (Reads[0].Op, Sim::VariableCall::Get);
  EXPECT_EQ (Reads[0].DataSizeIn, 1u);
  EXPECT_EQ (Reads[0].Status, EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ (Reads[1].Op, Sim::VariableCall::Get);
  EXPECT_EQ (Reads[1].DataSizeIn, 1044u);
  EXPECT_EQ (Reads[1].Status, EFI_SUCCESS);
  EXPECT_EQ (
    MessagesAt (DEBUG_ERROR),
    Texts{ "GetHttpsDeviceCertAndSyncHeader(L): Variable for certificate of HTTP Dev #(2) is found.\n" }
    );
}

TEST (Enrol, OwnerGivenIsStoredAndDefaultIsAnnounced) {
  struct {
    const EFI_GUID    *Owner;
    Bytes             Stored;
    size_t            Warnings;
  } const  Cases[] = {
    { &kSomeOwner, GuidBytes (kSomeOwner), 0 },
    { nullptr,     kDefaultOwner,          1 },
  };

  for (const auto &C : Cases) {
    Sim::Reset ();
    ASSERT_EQ (TolmEnrollX509toVariable (W (u"HttpsCertDev1"), Certificate (20).data (), 20, C.Owner), EFI_SUCCESS);

    auto  Stored = Sim::Variables ().Find ("HttpsCertDev1", gTolmVariableGuid);
    ASSERT_TRUE (Stored.has_value ());
    EXPECT_EQ (Slice (Stored->Data, 28, 16), C.Stored);
    EXPECT_EQ (MessagesAt (DEBUG_WARN).size (), C.Warnings) << Sim::DebugLog ().Dump ();
    Sim::CheckAtEnd ();
  }
}

TEST (Enrol, ReenrolmentReplacesTheWholeValue) {
  ASSERT_EQ (TolmEnrollX509toVariable (W (u"HttpsCertDev4"), Certificate (300, 1).data (), 300, nullptr), EFI_SUCCESS);
  ASSERT_EQ (TolmEnrollX509toVariable (W (u"HttpsCertDev4"), Certificate (30, 2).data (), 30, nullptr), EFI_SUCCESS);

  EXPECT_EQ (Sim::Variables ().Find ("HttpsCertDev4", gTolmVariableGuid)->Data, StoredValue (Certificate (30, 2)));
}

TEST (Enrol, NoDataOrSizeZeroTouchesNothing) {
  const Bytes  Der = Certificate (10);

  struct {
    const UINT8    *Data;
    UINTN          Size;
  } const  Cases[] = {
    { nullptr,    10 },
    { Der.data (), 0 },
    { nullptr,    0  },
  };

  for (const auto &C : Cases) {
    Sim::DebugLog ().Messages.clear ();
    EXPECT_EQ (TolmEnrollX509toVariable (W (u"HttpsCertDev1"), C.Data, C.Size, nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ (
      MessagesAt (DEBUG_ERROR),
      Texts{ "TolmEnrollX509toVariable: X509Data/Size cannot be NULL/0. Exiting with (Invalid Parameter).\n" }
      );
    EXPECT_EQ (Sim::DebugLog ().Messages.size (), 1u);
  }

  EXPECT_TRUE (Sim::Variables ().Calls ().empty ());
  EXPECT_EQ (Sim::Variables ().GetTimeCalls (), 0u);
  EXPECT_EQ (Sim::Pool ().AllocationCount (), 0u);
}

// ===========================================================================
// Delete
// ===========================================================================

TEST (Delete, AbsentSlotIsOneProbeAndNoWrite) {
  EXPECT_EQ (TolmUpdateHttpsCert (W (u"HttpsCertDev3"), &gTolmVariableGuid, nullptr, 999), EFI_SUCCESS);

  ASSERT_EQ (Sim::Variables ().Calls ().size (), 1u);
  EXPECT_EQ (Sim::Variables ().Calls ()[0].Op, Sim::VariableCall::Get);
  EXPECT_EQ (Sim::Variables ().Calls ()[0].Name, "HttpsCertDev3");
  EXPECT_EQ (Sim::Variables ().Calls ()[0].DataSizeIn, 1u);
  EXPECT_EQ (Sim::Variables ().GetTimeCalls (), 0u);
  EXPECT_TRUE (Sim::DebugLog ().Messages.empty ());
}

TEST (Delete, PresentSlotIsOneFortyByteWrite) {
  // Also when the probe itself fails for another reason, the delete is written.
  for (bool ProbeFails : { false, true }) {
    Sim::Reset ();
    PutSlot (3, StoredValue (Certificate (64)));
    if (ProbeFails) {
      Sim::Variables ().FailGet ("HttpsCertDev3", EFI_DEVICE_ERROR);
    }

    EXPECT_EQ (TolmUpdateHttpsCert (W (u"HttpsCertDev3"), &gTolmVariableGuid, nullptr, 0), EFI_SUCCESS);

    ASSERT_EQ (Sim::Variables ().GetCalls ().size (), 1u);
    ASSERT_EQ (Sim::Variables ().SetCalls ().size (), 1u);
    const Sim::VariableCall  Write = Sim::Variables ().SetCalls ()[0];
    EXPECT_EQ (Write.Name, "HttpsCertDev3");
    EXPECT_EQ (GuidBytes (Write.Guid), kTolmVariableGuid);
    EXPECT_EQ (Write.Attributes, kSlotAttributes);
    EXPECT_EQ (Write.DataSizeIn, 40u);
    ExpectDescriptor (Write.Data);
    EXPECT_FALSE (Sim::Variables ().Has ("HttpsCertDev3", gTolmVariableGuid));
    EXPECT_EQ (MessagesAt (DEBUG_INFO), Texts{ "TolmUpdateHttpsCert: SetVariable returned (Success)\n" });

    if (!ProbeFails) {
      HTTPS_CERT_SYNC_HEADER  Header;
      UINT8                   *CertData;
      EXPECT_EQ (GetHttpsDeviceCertAndSyncHeader (3, &Header, &CertData), EFI_NOT_FOUND);
    }

    Sim::CheckAtEnd ();
  }
}

// ===========================================================================
// Refused writes: GetTime failure, the variable service's refusal
// ===========================================================================

enum class Op { Write, Enrol, Delete };

EFI_STATUS
RunStoreOperation (
  Op  Operation
  )
{
  static const Bytes  Der  = Certificate (100, 9);
  static const Bytes  List = StoredValue (Der);

  switch (Operation) {
    case Op::Write:
      return TolmUpdateHttpsCert (W (u"HttpsCertDev1"), &gTolmVariableGuid, List.data (), List.size ());
    case Op::Enrol:
      return TolmEnrollX509toVariable (W (u"HttpsCertDev1"), Der.data (), Der.size (), nullptr);
    case Op::Delete:
    default:
      return TolmUpdateHttpsCert (W (u"HttpsCertDev1"), &gTolmVariableGuid, nullptr, 0);
  }
}

struct RefusedCase {
  const char                *Name;
  Op                        Operation;
  std::function<void ()>    Arrange;
  EFI_STATUS                Expected;
  bool                      Written;       ///< SetVariable was reached
};

/// Test names and ctest listings show the case name, not the raw bytes.
void
PrintTo (
  const RefusedCase  &Case,
  std::ostream  *Out
  )
{
  *Out << Case.Name;
}

std::vector<RefusedCase>
RefusedCases (
  )
{
  auto  NoClock   = [] { Sim::Variables ().FailGetTime (EFI_DEVICE_ERROR); };
  auto  Refusing  = [] { Sim::Variables ().SetPolicy (Sim::AuthPolicy::Refusing); };
  auto  Protected = [] { Sim::Variables ().FailSet ("HttpsCertDev1", EFI_WRITE_PROTECTED); };

  return {
    { "GetTimeFailsWrite",       Op::Write,  NoClock,   EFI_DEVICE_ERROR,       false },
    { "GetTimeFailsEnrol",       Op::Enrol,  NoClock,   EFI_DEVICE_ERROR,       false },
    { "GetTimeFailsDelete",      Op::Delete, NoClock,   EFI_DEVICE_ERROR,       false },
    { "RefusingPolicyWrite",     Op::Write,  Refusing,  EFI_SECURITY_VIOLATION, true  },
    { "RefusingPolicyEnrol",     Op::Enrol,  Refusing,  EFI_SECURITY_VIOLATION, true  },
    { "RefusingPolicyDelete",    Op::Delete, Refusing,  EFI_SECURITY_VIOLATION, true  },
    { "WriteProtectedEnrol",     Op::Enrol,  Protected, EFI_WRITE_PROTECTED,    true  },
    { "WriteProtectedDelete",    Op::Delete, Protected, EFI_WRITE_PROTECTED,    true  },
  };
}

class RefusedWrite : public ::testing::TestWithParam<RefusedCase> {};

TEST_P (RefusedWrite, SurfacesTheStatusAndKeepsTheSlot) {
  const RefusedCase  &C       = GetParam ();
  const Bytes        Previous = StoredValue (Certificate (12, 0x40), GuidBytes (kSomeOwner));

  PutSlot (1, Previous);
  C.Arrange ();

  EXPECT_EQ (RunStoreOperation (C.Operation), C.Expected);

  auto  Slot = Sim::Variables ().Find ("HttpsCertDev1", gTolmVariableGuid);
  ASSERT_TRUE (Slot.has_value ());
  EXPECT_EQ (Slot->Data, Previous) << "the slot is as it was";
  EXPECT_EQ (Sim::Variables ().SetCalls ().size (), C.Written ? 1u : 0u);

  const std::string  Status = C.Expected == EFI_DEVICE_ERROR ? "Device Error"
                              : C.Expected == EFI_SECURITY_VIOLATION ? "Security Violation" : "Write Protected";
  Texts  Errors;
  Texts  Infos;
  if (C.Written) {
    Infos.push_back ("TolmUpdateHttpsCert: SetVariable returned (" + Status + ")\n");
  } else {
    Errors.push_back ("TolmUpdateHttpsCert: CreateTimeBasedPayload returned (" + Status + ")\n");
  }

  if (C.Operation == Op::Enrol) {
    Errors.push_back ("TolmEnrollX509toVariable: TolmUpdateHttpsCert returned (" + Status + ")\n");
  }

  EXPECT_EQ (MessagesAt (DEBUG_INFO), Infos);
  Texts  Seen = MessagesAt (DEBUG_ERROR);
  if (C.Operation == Op::Enrol) {
    ASSERT_EQ (Seen.size (), 2 + Errors.size ()) << Sim::DebugLog ().Dump ();
    Seen.erase (Seen.begin (), Seen.begin () + 2);     // the summary and the list lines
  }

  EXPECT_EQ (Seen, Errors) << Sim::DebugLog ().Dump ();
}

INSTANTIATE_TEST_SUITE_P (
  Table,
  RefusedWrite,
  ::testing::ValuesIn (RefusedCases ()),
  [](const ::testing::TestParamInfo<RefusedCase> &Info) { return std::string (Info.param.Name); }
  );

// ===========================================================================
// Signature list and descriptor building blocks
// ===========================================================================

TEST (SignatureList, NewListWithoutOwner) {
  const Bytes  Der  = Certificate (3);
  UINT8        *List = nullptr;
  UINTN        Size  = 0;

  ASSERT_EQ (CreateSignatureList (Der.data (), Der.size (), nullptr, &gEfiCertX509Guid, &List, &Size), EFI_SUCCESS);
  ASSERT_NE (List, nullptr);
  EXPECT_EQ (Size, 47u);
  EXPECT_EQ (Bytes (List, List + Size), StoredValue (Der, Bytes (16, 0))) << "owner all zero";
  FreePool (List);

  // A size of 0 gives the bare 44 bytes.
  List = nullptr;
  Size = 0;
  ASSERT_EQ (CreateSignatureList (Der.data (), 0, &kSomeOwner, &gEfiCertX509Guid, &List, &Size), EFI_SUCCESS);
  EXPECT_EQ (Bytes (List, List + Size), StoredValue ({}, GuidBytes (kSomeOwner)));
  FreePool (List);
}

TEST (SignatureList, AppendsAtTheCurrentSize) {
  const Bytes  First  = Certificate (1, 0x11);
  const Bytes  Second = Certificate (5, 0x22);
  UINT8        *List  = nullptr;
  UINTN        Size   = 0;

  ASSERT_EQ (CreateSignatureList (First.data (), First.size (), nullptr, &gEfiCertX509Guid, &List, &Size), EFI_SUCCESS);
  UINT8  *Old = List;
  ASSERT_EQ (Size, 45u);

  // s = 45: the second list starts at an odd offset.
  ASSERT_EQ (CreateSignatureList (Second.data (), Second.size (), &kSomeOwner, &gEfiCertX509Guid, &List, &Size), EFI_SUCCESS);
  EXPECT_EQ (Size, 45u + 44u + 5u);
  EXPECT_FALSE (Sim::Pool ().IsLive (Old)) << "the old buffer is released";
  EXPECT_EQ (Sim::Pool ().SizeOf (List), Size);

  Bytes  All (List, List + Size);
  EXPECT_EQ (Slice (All, 0, 45), StoredValue (First, Bytes (16, 0)));
  EXPECT_EQ (Slice (All, 45, 49), StoredValue (Second, GuidBytes (kSomeOwner)));
  FreePool (List);
}

TEST (SignatureList, RefusalsKeepTheCallersBuffer) {
  const Bytes  Der  = Certificate (4);
  UINT8        *List = nullptr;
  UINTN        Size  = 0;

  ASSERT_EQ (CreateSignatureList (Der.data (), Der.size (), nullptr, &gEfiCertX509Guid, &List, &Size), EFI_SUCCESS);
  UINT8        *Held   = List;
  const Bytes  Content (List, List + Size);

  // No data, type or outputs: refused before anything is allocated.
  EXPECT_EQ (CreateSignatureList (nullptr, 4, nullptr, &gEfiCertX509Guid, &List, &Size), EFI_INVALID_PARAMETER);
  EXPECT_EQ (CreateSignatureList (Der.data (), 4, nullptr, nullptr, &List, &Size), EFI_INVALID_PARAMETER);
  EXPECT_EQ (CreateSignatureList (Der.data (), 4, nullptr, &gEfiCertX509Guid, nullptr, &Size), EFI_INVALID_PARAMETER);
  EXPECT_EQ (CreateSignatureList (Der.data (), 4, nullptr, &gEfiCertX509Guid, &List, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ (List, Held);
  EXPECT_EQ (Size, 48u);

  // Sizes the list's 32-bit fields cannot hold, or that would wrap the
  // buffer's length: refused before anything is allocated or read.
  const uint64_t  Allocations = Sim::Pool ().AllocationCount ();
  EXPECT_EQ (CreateSignatureList (Der.data (), MAX_UINT32 - 43, nullptr, &gEfiCertX509Guid, &List, &Size), EFI_INVALID_PARAMETER);
  UINTN  HugeSize = MAX_UINTN - 40;   // 48 more bytes would wrap
  UINT8  *HugeList = List;
  EXPECT_EQ (CreateSignatureList (Der.data (), Der.size (), nullptr, &gEfiCertX509Guid, &HugeList, &HugeSize), EFI_INVALID_PARAMETER);
  EXPECT_EQ (HugeSize, MAX_UINTN - 40);
  EXPECT_EQ (List, Held);
  EXPECT_EQ (Size, 48u);
  EXPECT_EQ (Sim::Pool ().AllocationCount (), Allocations);

  // The largest sizes that neither overflow the fields nor wrap are not
  // refused as such: the pool cannot hand them out.
  EXPECT_EQ (CreateSignatureList (Der.data (), MAX_UINT32 - 44, nullptr, &gEfiCertX509Guid, &List, &Size), EFI_OUT_OF_RESOURCES);
  HugeSize = MAX_UINTN - 48;
  EXPECT_EQ (CreateSignatureList (Der.data (), Der.size (), nullptr, &gEfiCertX509Guid, &HugeList, &HugeSize), EFI_OUT_OF_RESOURCES);

  // Growth fails: buffer and size exactly as they were, nothing released.
  Sim::Pool ().FailNthAllocation (1);
  EXPECT_EQ (CreateSignatureList (Der.data (), Der.size (), nullptr, &gEfiCertX509Guid, &List, &Size), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (List, Held);
  EXPECT_EQ (Size, 48u);
  ASSERT_TRUE (Sim::Pool ().IsLive (Held));
  EXPECT_EQ (Bytes (List, List + Size), Content);
  FreePool (List);

  // A new list that cannot be allocated: still NULL and 0.
  List = nullptr;
  Size = 0;
  Sim::Pool ().FailNthAllocation (1);
  EXPECT_EQ (CreateSignatureList (Der.data (), Der.size (), nullptr, &gEfiCertX509Guid, &List, &Size), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (List, nullptr);
  EXPECT_EQ (Size, 0u);
}

TEST (TimeBasedPayload, FailuresLeaveSizeAndBufferAsTheyWere) {
  UINTN  Size = 1;
  UINT8  *Data = (UINT8 *)AllocateCopyPool (1, "a");

  ASSERT_NE (Data, nullptr);
  EXPECT_EQ (CreateTimeBasedPayload (nullptr, &Data), EFI_INVALID_PARAMETER);
  EXPECT_EQ (CreateTimeBasedPayload (&Size, nullptr), EFI_INVALID_PARAMETER);

  UINT8  *Held = Data;
  UINTN  HugeSize = MAX_UINTN - 39;   // 40 more bytes would wrap
  EXPECT_EQ (CreateTimeBasedPayload (&HugeSize, &Data), EFI_INVALID_PARAMETER);
  EXPECT_EQ (HugeSize, MAX_UINTN - 39);
  HugeSize = MAX_UINTN - 40;          // the largest that does not: no pool for it
  EXPECT_EQ (CreateTimeBasedPayload (&HugeSize, &Data), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (Data, Held);
  EXPECT_EQ (Sim::Variables ().GetTimeCalls (), 0u);

  Sim::Variables ().FailGetTime (EFI_UNSUPPORTED);
  EXPECT_EQ (CreateTimeBasedPayload (&Size, &Data), EFI_UNSUPPORTED);
  EXPECT_EQ (Data, Held);
  EXPECT_EQ (Size, 1u);
  Sim::Variables ().FailGetTime (EFI_SUCCESS);

  Sim::Pool ().FailNthAllocation (1);
  EXPECT_EQ (CreateTimeBasedPayload (&Size, &Data), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (Data, Held);
  EXPECT_EQ (Size, 1u);
  ASSERT_TRUE (Sim::Pool ().IsLive (Held));

  // Success: a new buffer, descriptor then the old bytes; the old one released.
  ASSERT_EQ (CreateTimeBasedPayload (&Size, &Data), EFI_SUCCESS);
  EXPECT_FALSE (Sim::Pool ().IsLive (Held));
  EXPECT_EQ (Size, 41u);
  Bytes  Payload (Data, Data + Size);
  ExpectDescriptor (Payload);
  EXPECT_EQ (Payload[40], 'a');
  FreePool (Data);

  // A size without data: that many zero bytes follow the descriptor.
  Data = nullptr;
  Size = 2;
  ASSERT_EQ (CreateTimeBasedPayload (&Size, &Data), EFI_SUCCESS);
  EXPECT_EQ (Bytes (Data + 40, Data + Size), Bytes (2, 0));
  FreePool (Data);
}

// ===========================================================================
// Allocation failures
// ===========================================================================

TEST (AllocationFailures, EnrolmentWritesAllOrNothing) {
  const Bytes  Previous = StoredValue (Certificate (12, 0x40));
  const Bytes  Der      = Certificate (100);

  uint64_t  Count = Sim::SweepAllocationFailures (
                      [&] { PutSlot (2, Previous); },
                      [&](uint64_t K) {
    EFI_STATUS  Status = TolmEnrollX509toVariable (W (u"HttpsCertDev2"), Der.data (), Der.size (), nullptr);
    auto        Slot   = Sim::Variables ().Find ("HttpsCertDev2", gTolmVariableGuid);
    ASSERT_TRUE (Slot.has_value ());
    if (K == 0) {
      EXPECT_EQ (Status, EFI_SUCCESS);
      EXPECT_EQ (Slot->Data, StoredValue (Der));
    } else {
      EXPECT_EQ (Status, EFI_OUT_OF_RESOURCES);
      EXPECT_EQ (Slot->Data, Previous) << "nothing partial written";
      EXPECT_TRUE (Sim::Variables ().SetCalls ().empty ());
      // The list is built first; every later failure is the write's.
      ASSERT_FALSE (MessagesAt (DEBUG_ERROR).empty ());
      EXPECT_EQ (
        MessagesAt (DEBUG_ERROR).back (),
        (K == 1) ? "TolmEnrollX509toVariable: CreateSignatureList returned (Out of Resources)\n"
                 : "TolmEnrollX509toVariable: TolmUpdateHttpsCert returned (Out of Resources)\n"
        );
    }
  }
                      );

  EXPECT_GE (Count, 3u) << "list, copy and payload";
}

TEST (AllocationFailures, DeleteWritesNothing) {
  const Bytes  Previous = StoredValue (Certificate (12, 0x40));

  uint64_t  Count = Sim::SweepAllocationFailures (
                      [&] { PutSlot (4, Previous); },
                      [&](uint64_t K) {
    EFI_STATUS  Status = TolmUpdateHttpsCert (W (u"HttpsCertDev4"), &gTolmVariableGuid, nullptr, 0);
    if (K == 0) {
      EXPECT_EQ (Status, EFI_SUCCESS);
      EXPECT_FALSE (Sim::Variables ().Has ("HttpsCertDev4", gTolmVariableGuid));
    } else {
      EXPECT_EQ (Status, EFI_OUT_OF_RESOURCES);
      EXPECT_EQ (Sim::Variables ().Find ("HttpsCertDev4", gTolmVariableGuid)->Data, Previous);
      EXPECT_EQ (MessagesAt (DEBUG_ERROR), Texts{ "TolmUpdateHttpsCert: CreateTimeBasedPayload returned (Out of Resources)\n" });
    }
  }
                      );

  EXPECT_EQ (Count, 1u);
}

TEST (AllocationFailures, SlotReadHandsOutNothing) {
  const Bytes  Der = Certificate (10);

  uint64_t  Count = Sim::SweepAllocationFailures (
                      [&] { PutSlot (3, StoredValue (Der)); },
                      [&](uint64_t K) {
    HTTPS_CERT_SYNC_HEADER  Header   = { 0xBEEF, 0xDEADBEEF };
    UINT8                   *CertData = (UINT8 *)(UINTN)0x5A5A;
    EFI_STATUS              Status    = GetHttpsDeviceCertAndSyncHeader (3, &Header, &CertData);
    if (K == 0) {
      ASSERT_EQ (Status, EFI_SUCCESS);
      EXPECT_EQ (Bytes (CertData, CertData + 10), Der);
      FreePool (CertData);
    } else {
      EXPECT_EQ (Status, EFI_OUT_OF_RESOURCES);
      EXPECT_EQ (CertData, (UINT8 *)(UINTN)0x5A5A);
      EXPECT_EQ (Header.CertNum, 0xBEEF);
      EXPECT_EQ (Header.CertSize, 0xDEADBEEFu);
    }
  }
                      );

  EXPECT_GE (Count, 2u) << "at least the full read and the certificate copy";
}

} // namespace
