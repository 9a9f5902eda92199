/** @file
  Host tests of HttpsBootTrustLib: which slot values become HTTPS boot's trust
  anchors ("TlsCaCertificate") and which are skipped, the order and attributes
  of the result, and that no failure leaves a trust behind that was not
  derived from the slots.

  Slot values are built here byte by byte, independently of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <SimPlatform.h>

#include <Guid/TlsAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Library/HttpsBootTrustLib.h>

namespace {

using Bytes = std::vector<UINT8>;

// {A5C059A1-94E4-4AA7-87B5-AB155C2BF072}, EFI_CERT_X509_GUID
const Bytes  kX509Guid = { 0xA1, 0x59, 0xC0, 0xA5, 0xE4, 0x94, 0xA7, 0x4A, 0x87, 0xB5, 0xAB, 0x15, 0x5C, 0x2B, 0xF0, 0x72 };
// {4AAFD29D-68DF-49EE-8AA9-347D375665A7}, EFI_CERT_TYPE_PKCS7_GUID: not a certificate list type here
const Bytes  kPkcs7Guid = { 0x9D, 0xD2, 0xAF, 0x4A, 0xDF, 0x68, 0xEE, 0x49, 0x8A, 0xA9, 0x34, 0x7D, 0x37, 0x56, 0x65, 0xA7 };
const Bytes  kOwner     = Bytes (16, 0x5A);

constexpr UINT32  kSlot   = 0x23;     // as the certificate driver stores a slot
constexpr UINT32  kTrust  = 0x02;     // volatile, boot-service access only
constexpr UINT32  kStored = 0x03;     // non-volatile, as TlsAuthConfigDxe writes "TlsCaCertificate"
constexpr size_t  kMaxValue = 44 + 0xFFFF;

const char *const  kSlotNames[] = { "HttpsCertDev1", "HttpsCertDev2", "HttpsCertDev3", "HttpsCertDev4" };
const std::string  kTrustName   = "TlsCaCertificate";

void
PutLe32 (
  Bytes   &Data,
  size_t  Offset,
  UINT32  Value
  )
{
  for (int Shift = 0; Shift < 32; Shift += 8) {
    Data[Offset++] = (UINT8)(Value >> Shift);
  }
}

/// A DER SEQUENCE of N content bytes, its length in the shortest form.
Bytes
Der (
  size_t  N,
  UINT8   Seed = 1
  )
{
  Bytes  Out = { 0x30 };

  if (N < 0x80) {
    Out.push_back ((UINT8)N);
  } else if (N <= 0xFF) {
    Out.insert (Out.end (), { 0x81, (UINT8)N });
  } else {
    Out.insert (Out.end (), { 0x82, (UINT8)(N >> 8), (UINT8)N });
  }

  for (size_t Index = 0; Index < N; Index++) {
    Out.push_back ((UINT8)(Index * 13 + Seed));
  }

  return Out;
}

/// One X.509 signature list holding Certificate, as a slot stores it.
Bytes
List (
  const Bytes  &Certificate
  )
{
  Bytes  Out = kX509Guid;

  Out.resize (28);
  PutLe32 (Out, 16, (UINT32)(44 + Certificate.size ()));
  PutLe32 (Out, 20, 0);
  PutLe32 (Out, 24, (UINT32)(16 + Certificate.size ()));
  Out.insert (Out.end (), kOwner.begin (), kOwner.end ());
  Out.insert (Out.end (), Certificate.begin (), Certificate.end ());
  return Out;
}

Bytes
Patched (
  Bytes   Value,
  size_t  Offset,
  UINT32  Field
  )
{
  PutLe32 (Value, Offset, Field);
  return Value;
}

Bytes
Concat (
  std::initializer_list<Bytes>  Parts
  )
{
  Bytes  Out;

  for (const Bytes &Part : Parts) {
    Out.insert (Out.end (), Part.begin (), Part.end ());
  }

  return Out;
}

struct SlotValue {
  UINT32    Attributes;
  Bytes     Value;
};

void
PutSlot (
  int               Slot,
  const SlotValue  &V
  )
{
  Sim::Variables ().Put (kSlotNames[Slot - 1], gTolmVariableGuid, V.Attributes, V.Value);
}

std::vector<std::string>
Skipped (
  )
{
  std::vector<std::string>  Out;

  for (const auto &Message : Sim::DebugLog ().Containing (") skipped: ")) {
    EXPECT_EQ (Message.Level, (UINTN)DEBUG_ERROR) << Message.Text;
    Out.push_back (Message.Text);
  }

  return Out;
}

// ---------------------------------------------------------------------------
// Hostile slot values: each sits in slot 2 beside a well-formed slot 4; it is
// skipped with a message naming slot 2 and its fault, and only slot 4 counts.
// ---------------------------------------------------------------------------

struct HostileCase {
  const char    *Name;
  SlotValue     Value;
  const char    *Fault;
};

const Bytes  kCert  = Der (300);
const Bytes  kValid = List (kCert);

const HostileCase  kHostile[] = {
  { "empty value",                             { kSlot, {} },                                              "empty value"                                    },
  { "one byte",                                { kSlot, { 0x30 } },                                        "too short"                                      },
  { "list without certificate bytes",          { kSlot, List ({}) },                                       "too short"                                      },
  { "PKCS7 signature type",                    { kSlot, Concat ({ kPkcs7Guid, Bytes (kValid.begin () + 16, kValid.end ()) }) }, "signature type is not X.509" },
  { "list size one beyond the value",          { kSlot, Patched (kValid, 16, (UINT32)kValid.size () + 1) }, "SignatureListSize is not the size of the value" },
  { "list size one short of the value",        { kSlot, Patched (kValid, 16, (UINT32)kValid.size () - 1) }, "SignatureListSize is not the size of the value" },
  { "list size 0xFFFFFFFF",                    { kSlot, Patched (kValid, 16, 0xFFFFFFFF) },                "SignatureListSize is not the size of the value" },
  { "two lists",                               { kSlot, Concat ({ kValid, kValid }) },                     "SignatureListSize is not the size of the value" },
  { "signature header",                        { kSlot, Patched (kValid, 20, 4) },                         "SignatureHeaderSize is not 0"                   },
  { "signature size one too large",            { kSlot, Patched (kValid, 24, (UINT32)kValid.size () - 27) }, "SignatureSize is not the rest"                },
  { "signature size of the owner alone",       { kSlot, Patched (kValid, 24, 16) },                        "SignatureSize is not the rest"                  },
  { "signature size 0xFFFFFFFF",               { kSlot, Patched (kValid, 24, 0xFFFFFFFF) },                "SignatureSize is not the rest"                  },
  { "certificate not a SEQUENCE",              { kSlot, List (Concat ({ { 0x31 }, Bytes (kCert.begin () + 1, kCert.end ()) })) }, "not one DER SEQUENCE" },
  { "byte after the SEQUENCE",                 { kSlot, List (Concat ({ kCert, { 0x00 } })) },             "not one DER SEQUENCE"                           },
  { "SEQUENCE one byte short",                 { kSlot, List (Bytes (kCert.begin (), kCert.end () - 1)) }, "not one DER SEQUENCE"                           },
  { "short-form length past the end",          { kSlot, List ({ 0x30, 0x7F, 0x01 }) },                      "not one DER SEQUENCE"                           },
  { "indefinite length",                       { kSlot, List ({ 0x30, 0x80, 0x01, 0x00, 0x00 }) },          "not one DER SEQUENCE"                           },
  { "length with a leading zero byte",         { kSlot, List (Concat ({ { 0x30, 0x82, 0x00, 0x80 }, Bytes (0x80, 7) })) }, "not one DER SEQUENCE" },
  { "long form for a short length",            { kSlot, List ({ 0x30, 0x81, 0x02, 0x05, 0x00 }) },          "not one DER SEQUENCE"                           },
  { "nine length bytes wrapping to the size",  { kSlot, List (Concat ({ { 0x30, 0x89, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x80 }, Bytes (0x80, 7) })) }, "not one DER SEQUENCE" },
  { "length bytes past the end",               { kSlot, List ({ 0x30, 0x84, 0x01, 0x00 }) },                "not one DER SEQUENCE"                           },
  { "length bytes 0xFFFFFFFF",                 { kSlot, List ({ 0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF }) },    "not one DER SEQUENCE"                           },
  { "runtime access (the OS could write it)",  { 0x27, kValid },                                           "attributes 0x27"                                },
  { "plain non-volatile variable",             { 0x07, kValid },                                           "attributes 0x7"                                 },
  { "larger than any certificate",             { kSlot, Bytes (kMaxValue + 1, 0x30) },                     "more than any certificate"                      },
};

TEST (HttpsBootTrust, HostileSlotValuesAreSkippedOthersStillCount)
{
  const Bytes  Slot4 = List (Der (0x1F0, 9));

  for (const HostileCase &Case : kHostile) {
    SCOPED_TRACE (Case.Name);
    PutSlot (2, Case.Value);
    PutSlot (4, { kSlot, Slot4 });

    EXPECT_EQ (TolmUpdateHttpsBootTrust (), EFI_SUCCESS);
    auto  Trust = Sim::Variables ().Find (kTrustName, gEfiTlsCaCertificateGuid);
    ASSERT_TRUE (Trust.has_value ());
    EXPECT_EQ (Trust->Attributes, kTrust);
    EXPECT_EQ (Trust->Data, Slot4);
    auto  Messages = Skipped ();
    ASSERT_EQ (Messages.size (), 1u) << Sim::DebugLog ().Dump ();
    EXPECT_THAT (Messages[0], ::testing::HasSubstr ("slot 2 (HttpsCertDev2) skipped: "));
    EXPECT_THAT (Messages[0], ::testing::HasSubstr (Case.Fault));

    Sim::CheckAtEnd ();
    Sim::Reset ();
  }
}

// ---------------------------------------------------------------------------
// What the trust becomes
// ---------------------------------------------------------------------------

struct TrustCase {
  const char                           *Name;
  std::map<int, SlotValue>             Slots;
  std::optional<Sim::VariableEntry>    Before;      ///< "TlsCaCertificate" before the call
  int                                  FailingSet;  ///< 0: none; N: the Nth SetVariable fails; -1: every one
  EFI_STATUS                           Result;
  std::optional<Sim::VariableEntry>    After;       ///< nullopt: absent afterwards
};

const Bytes  kA = List (Der (0x80, 1));
const Bytes  kB = List (Der (0x7F, 2));
const Bytes  kC = List (Der (0x1234, 3));
const Bytes  kD = List (Der (0xFFFF - 4, 4));     // the largest certificate a slot takes

using Entry = Sim::VariableEntry;

const TrustCase  kTrustCases[] = {
  { "slots 1 and 3, in slot order",        { { 3, { kSlot, kB } }, { 1, { kSlot, kA } } },                                         std::nullopt,          0,  EFI_SUCCESS,   Entry { kTrust, Concat ({ kA, kB }) }         },
  { "all four, the largest among them",    { { 4, { kSlot, kA } }, { 3, { kSlot, kD } }, { 2, { kSlot, kC } }, { 1, { kSlot, kB } } }, std::nullopt,    0,  EFI_SUCCESS,   Entry { kTrust, Concat ({ kB, kC, kD, kA }) } },
  { "slot 3 alone replaces an older trust", { { 3, { kSlot, kC } } },                                                               Entry { kTrust, kA },  0,  EFI_SUCCESS,   Entry { kTrust, kC }                          },
  { "a stale non-volatile trust is deleted first", { { 1, { kSlot, kA } } },                                                        Entry { kStored, kB }, 0,  EFI_SUCCESS,   Entry { kTrust, kA }                          },
  { "no slot: an older trust is removed",  {},                                                                                      Entry { kTrust, kA },  0,  EFI_NOT_FOUND, std::nullopt                                  },
  { "no slot: a stale non-volatile trust is removed", {},                                                                           Entry { kStored, kA }, 0,  EFI_NOT_FOUND, std::nullopt                                  },
  { "no well-formed slot: no trust",       { { 1, { kSlot, Patched (kA, 20, 1) } }, { 2, { 0x27, kB } } },                          Entry { kTrust, kA },  0,  EFI_NOT_FOUND, std::nullopt                                  },
  { "no slot, no trust: nothing to remove", {},                                                                                     std::nullopt,          0,  EFI_NOT_FOUND, std::nullopt                                  },
  { "a failed write removes the old trust", { { 1, { kSlot, kA } } },                                                               Entry { kTrust, kB },  1,  EFI_DEVICE_ERROR, std::nullopt                               },
  // An authenticated "TlsCaCertificate" cannot be deleted unsigned: the
  // caller learns that HTTPS boot's trust is not the slots'.
  { "an undeletable stale trust fails the call", { { 1, { kSlot, kA } } },                                                          Entry { 0x27, kB },    -1, EFI_DEVICE_ERROR, Entry { 0x27, kB }                         },
  { "no slot and an undeletable trust fails the call", {},                                                                         Entry { 0x27, kB },    -1, EFI_DEVICE_ERROR, Entry { 0x27, kB }                         },
};

TEST (HttpsBootTrust, TrustIsTheWellFormedSlotsInSlotOrderOrNothing)
{
  for (const TrustCase &Case : kTrustCases) {
    SCOPED_TRACE (Case.Name);
    for (const auto &[Slot, Value] : Case.Slots) {
      PutSlot (Slot, Value);
    }

    if (Case.Before) {
      Sim::Variables ().Put (kTrustName, gEfiTlsCaCertificateGuid, Case.Before->Attributes, Case.Before->Data);
    }

    if (Case.FailingSet > 0) {
      Sim::Variables ().FailNthSet ((uint64_t)Case.FailingSet, EFI_DEVICE_ERROR);
    } else if (Case.FailingSet < 0) {
      Sim::Variables ().FailSet (kTrustName, EFI_DEVICE_ERROR);
    }

    EXPECT_EQ (TolmUpdateHttpsBootTrust (), Case.Result);
    auto  Trust = Sim::Variables ().Find (kTrustName, gEfiTlsCaCertificateGuid);
    EXPECT_EQ (Trust.has_value (), Case.After.has_value ());
    if (Trust && Case.After) {
      EXPECT_EQ (Trust->Attributes, Case.After->Attributes);
      EXPECT_EQ (Trust->Data, Case.After->Data);
    }

    // The slots are only read.
    for (const auto &Call : Sim::Variables ().SetCalls ()) {
      EXPECT_EQ (Call.Name, kTrustName);
    }

    Sim::CheckAtEnd ();
    Sim::Reset ();
  }
}

// ---------------------------------------------------------------------------
// No allocation failure leaves a trust that was not derived from the slots
// ---------------------------------------------------------------------------

TEST (HttpsBootTrust, AllocationFailuresTrustAtMostTheSlotsInOrder)
{
  const std::vector<Bytes>  Slots = { kA, kB, kC };

  Sim::SweepAllocationFailures (
    [&] {
      for (size_t Index = 0; Index < Slots.size (); Index++) {
        PutSlot ((int)Index + 1, { kSlot, Slots[Index] });
      }

      Sim::Variables ().Put (kTrustName, gEfiTlsCaCertificateGuid, kTrust, List (Der (5, 0xEE)));
    },
    [&] (uint64_t Failing) {
      EFI_STATUS  Status = TolmUpdateHttpsBootTrust ();
      auto        Trust  = Sim::Variables ().Find (kTrustName, gEfiTlsCaCertificateGuid);

      if (Failing == 0) {
        EXPECT_EQ (Status, EFI_SUCCESS);
        ASSERT_TRUE (Trust.has_value ());
        EXPECT_EQ (Trust->Data, Concat ({ kA, kB, kC }));
        return;
      }

      // Either no trust at all, or an ordered selection of the slots: never
      // the stale value, never a slot out of order.
      if (!Trust) {
        EXPECT_TRUE (EFI_ERROR (Status));
        return;
      }

      EXPECT_EQ (Status, EFI_SUCCESS);
      Bytes  Rest = Trust->Data;
      for (const Bytes &Slot : Slots) {
        if ((Rest.size () >= Slot.size ()) && std::equal (Slot.begin (), Slot.end (), Rest.begin ())) {
          Rest.erase (Rest.begin (), Rest.begin () + Slot.size ());
        }
      }

      EXPECT_TRUE (Rest.empty ()) << "allocation " << Failing << ": trust is not an ordered selection of the slots";
    });
}

} // namespace
