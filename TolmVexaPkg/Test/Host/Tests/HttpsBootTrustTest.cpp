/** @file
  Host tests of HttpsBootTrustLib: which slot values become HTTPS boot's trust
  anchors ("TlsCaCertificate") and which are skipped, the order and attributes
  of the result, that no failure leaves a trust behind that was not derived
  from the slots, and that only certificates TLS takes count (a fake TLS
  service binding refusing chosen certificates).

  Slot values are built here byte by byte, independently of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <SimPlatform.h>

#include <Guid/TlsAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Library/HttpsBootTrustLib.h>
#include <Protocol/ServiceBinding.h>
#include <Protocol/Tls.h>
#include <Protocol/TlsConfig.h>

#include <set>

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
  void          (*Inject)() = nullptr;   ///< a fault of the platform while slot 2 is read
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
  { "certificate of the tag alone",            { kSlot, List ({ 0x30 }) },                                  "not one DER SEQUENCE"                           },
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
  { "the variable service fails",              { kSlot, kValid }, "GetVariable returned Device Error",
    [] { Sim::Variables ().FailGet ("HttpsCertDev2", EFI_DEVICE_ERROR); } },
  { "the value's read fails",                  { kSlot, kValid }, "second read returned Device Error",
    [] { Sim::Variables ().FailRead ("HttpsCertDev2", EFI_DEVICE_ERROR); } },
  { "no memory for the value",                 { kSlot, kValid }, "no memory for 348 bytes",
    [] { Sim::Pool ().FailNthAllocation (1); } },
};

TEST (HttpsBootTrust, HostileSlotValuesAreSkippedOthersStillCount)
{
  const Bytes  Slot4 = List (Der (0x1F0, 9));

  for (const HostileCase &Case : kHostile) {
    SCOPED_TRACE (Case.Name);
    PutSlot (2, Case.Value);
    PutSlot (4, { kSlot, Slot4 });
    if (Case.Inject != nullptr) {
      Case.Inject ();
    }

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
  Sim::AuthPolicy                      Policy  = Sim::AuthPolicy::Accepting;
  bool                                 NoClock = false;   ///< GetTime fails
  const char                           *Says   = nullptr; ///< a console line that must be there
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
  { "a one-byte stale trust is removed",     { { 1, { kSlot, kA } } },                                                               Entry { kStored, { 0x01 } }, 0, EFI_SUCCESS, Entry { kTrust, kA }                        },
  { "no slot: a stale non-volatile trust is removed", {},                                                                           Entry { kStored, kA }, 0,  EFI_NOT_FOUND, std::nullopt                                  },
  { "no well-formed slot: no trust",       { { 1, { kSlot, Patched (kA, 20, 1) } }, { 2, { 0x27, kB } } },                          Entry { kTrust, kA },  0,  EFI_NOT_FOUND, std::nullopt                                  },
  { "no slot, no trust: nothing to remove", {},                                                                                     std::nullopt,          0,  EFI_NOT_FOUND, std::nullopt                                  },
  { "a failed write removes the old trust", { { 1, { kSlot, kA } } },                                                               Entry { kTrust, kB },  1,  EFI_DEVICE_ERROR, std::nullopt                               },
  // A foreign authenticated "TlsCaCertificate" (as an operating system
  // creates one) goes with an authenticated delete where the variable
  // service takes it, with a delete of attributes 0 where it knows no
  // authentication; where neither is taken it stays, and the caller learns
  // that HTTPS boot's trust is not the slots' (EFI_ACCESS_DENIED).
  { "a foreign authenticated trust goes with an authenticated delete", { { 1, { kSlot, kA } } },                              Entry { 0x27, kB },    0,  EFI_SUCCESS,   Entry { kTrust, kA }, Sim::AuthPolicy::Accepting, false, "attributes 0x27, not written here, removed" },
  { "... with a delete of attributes 0 where authentication is unknown", { { 1, { kSlot, kA } } },                          Entry { 0x27, kB },    0,  EFI_SUCCESS,   Entry { kTrust, kA }, Sim::AuthPolicy::Unsupported },
  { "... with a delete of attributes 0 when there is no clock", { { 1, { kSlot, kA } } },                                  Entry { 0x23, kB },    0,  EFI_SUCCESS,   Entry { kTrust, kA }, Sim::AuthPolicy::Unsupported, true },
  { "no slot: a foreign authenticated trust is removed", {},                                                                    Entry { 0x27, kB },    0,  EFI_NOT_FOUND, std::nullopt,        Sim::AuthPolicy::Unsupported },
  { "an undeletable authenticated trust stays: access denied", { { 1, { kSlot, kA } } },                                    Entry { 0x27, kB },    0,  EFI_ACCESS_DENIED, Entry { 0x27, kB }, Sim::AuthPolicy::Refusing, false, "(attributes 0x27) cannot be deleted: Security Violation" },
  { "no clock, and a service that checks authentication: it stays", { { 1, { kSlot, kA } } },                               Entry { 0x27, kB },    0,  EFI_ACCESS_DENIED, Entry { 0x27, kB }, Sim::AuthPolicy::Accepting, true },
  { "an undeletable stale trust fails the call", { { 1, { kSlot, kA } } },                                                          Entry { 0x27, kB },    -1, EFI_ACCESS_DENIED, Entry { 0x27, kB }                         },
  { "no slot and an undeletable trust fails the call", {},                                                                         Entry { 0x27, kB },    -1, EFI_ACCESS_DENIED, Entry { 0x27, kB }                         },
  { "an unreadable trust fails the call", { { 1, { kSlot, kA } } },                                                                 Entry { kTrust, kB },  0,  EFI_ACCESS_DENIED, Entry { kTrust, kB }, Sim::AuthPolicy::Accepting, false, "cannot be read: Device Error" },
  { "a failed write whose old trust stays fails the call", { { 1, { kSlot, kA } } },                                                Entry { kTrust, kB },  -1, EFI_ACCESS_DENIED, Entry { kTrust, kB }, Sim::AuthPolicy::Accepting, false, "\"TlsCaCertificate\" not written: Device Error" },
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

    Sim::Variables ().SetPolicy (Case.Policy);
    if (Case.NoClock) {
      Sim::Variables ().FailGetTime (EFI_DEVICE_ERROR);
    }

    if ((Case.Says != nullptr) && (std::string (Case.Says).find ("cannot be read") != std::string::npos)) {
      Sim::Variables ().FailGet (kTrustName, EFI_DEVICE_ERROR);
    }

    EXPECT_EQ (TolmUpdateHttpsBootTrust (), Case.Result);
    if (Case.Says != nullptr) {
      EXPECT_FALSE (Sim::DebugLog ().Containing (Case.Says).empty ()) << Sim::DebugLog ().Dump ();
    }

    // The console names each slot that counts and the outcome.
    std::string  Outcome = "no slot holds a well-formed certificate: HTTPS boot trusts no server";
    if (Case.Result == EFI_SUCCESS) {
      Outcome = "\"TlsCaCertificate\" holds the lists of " + std::to_string (Case.Slots.size ()) + " slot(s), " +
                std::to_string (Case.After->Data.size ()) + " bytes";
      for (const auto &[Slot, Value] : Case.Slots) {
        std::string  Line = std::string ("slot ") + std::to_string (Slot) + " (" + kSlotNames[Slot - 1] + ") trusted, " +
                            std::to_string (Value.Value.size ()) + " bytes";
        EXPECT_EQ (Sim::DebugLog ().Containing (Line).size (), 1u) << Line << "\n" << Sim::DebugLog ().Dump ();
      }
    }

    if ((Case.Result == EFI_SUCCESS) || (Case.Result == EFI_NOT_FOUND)) {
      EXPECT_EQ (Sim::DebugLog ().Containing (Outcome).size (), 1u) << Outcome << "\n" << Sim::DebugLog ().Dump ();
    }

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
// Only what TLS takes counts: a fake TLS service binding whose children's
// SetData (CACertificate) refuses chosen certificates, as TlsDxe refuses
// what its X.509 parser does not take.
// ---------------------------------------------------------------------------

struct FakeTls {
  EFI_SERVICE_BINDING_PROTOCOL      Binding;
  EFI_TLS_CONFIGURATION_PROTOCOL    Configuration;
  std::set<Bytes>                   Refused;        ///< certificates SetData refuses
  EFI_STATUS                        CreateStatus = EFI_SUCCESS;
  std::vector<Bytes>                Probed;         ///< every certificate handed to SetData
  std::set<EFI_HANDLE>              Children;       ///< live children
  size_t                            Created = 0;
};

FakeTls  *gTls;

EFI_STATUS
EFIAPI
FakeCreateChild (
  IN EFI_SERVICE_BINDING_PROTOCOL  *This,
  IN OUT EFI_HANDLE                *ChildHandle
  )
{
  EXPECT_EQ (This, &gTls->Binding);
  if (gTls->CreateStatus != EFI_SUCCESS) {
    *ChildHandle = (EFI_HANDLE)&gTls->Created;   // left behind by a failing producer: no child
    return gTls->CreateStatus;
  }

  *ChildHandle = Sim::InstallProtocol (gEfiTlsConfigurationProtocolGuid, &gTls->Configuration);
  gTls->Children.insert (*ChildHandle);
  gTls->Created++;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FakeDestroyChild (
  IN EFI_SERVICE_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                    ChildHandle
  )
{
  EXPECT_EQ (This, &gTls->Binding);
  EXPECT_EQ (gTls->Children.erase (ChildHandle), 1u) << "DestroyChild of a handle that is no live child";
  Sim::UninstallProtocol (ChildHandle, gEfiTlsConfigurationProtocolGuid, &gTls->Configuration);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FakeSetData (
  IN EFI_TLS_CONFIGURATION_PROTOCOL  *This,
  IN EFI_TLS_CONFIG_DATA_TYPE        DataType,
  IN VOID                            *Data,
  IN UINTN                           DataSize
  )
{
  EXPECT_EQ (This, &gTls->Configuration);
  EXPECT_EQ (DataType, EfiTlsConfigDataTypeCACertificate);
  Bytes  Certificate ((const UINT8 *)Data, (const UINT8 *)Data + DataSize);

  gTls->Probed.push_back (Certificate);
  return (gTls->Refused.count (Certificate) != 0) ? EFI_ABORTED : EFI_SUCCESS;
}

struct ProbeCase {
  const char                *Name;
  std::map<int, SlotValue>  Slots;
  std::set<Bytes>           Refused;
  EFI_STATUS                CreateStatus;
  std::optional<Entry>      Before;          ///< "TlsCaCertificate" before the call
  Sim::AuthPolicy           Policy;
  EFI_STATUS                Result;
  std::optional<Bytes>      After;           ///< nullopt: absent afterwards
  std::vector<Bytes>        Probed;          ///< the certificates handed to TLS, in order
  const char                *Says;
};

const Bytes  kCertA = Der (0x80, 1);
const Bytes  kCertB = Der (0x7F, 2);
const Bytes  kCertC = Der (0x1234, 3);

const ProbeCase  kProbeCases[] = {
  { "a refused slot is skipped, the others count",    { { 1, { kSlot, kA } }, { 2, { kSlot, kB } }, { 3, { kSlot, kC } } }, { kCertB },
    EFI_SUCCESS, std::nullopt, Sim::AuthPolicy::Accepting, EFI_SUCCESS, Concat ({ kA, kC }), { kCertA, kCertB, kCertC },
    "slot 2 (HttpsCertDev2) skipped: TLS refuses its certificate (Aborted)" },
  { "an empty SEQUENCE is framed well: TLS decides", { { 1, { kSlot, List ({ 0x30, 0x00 }) } }, { 3, { kSlot, kC } } }, { { 0x30, 0x00 } },
    EFI_SUCCESS, std::nullopt, Sim::AuthPolicy::Accepting, EFI_SUCCESS, kC, { { 0x30, 0x00 }, kCertC },
    "slot 1 (HttpsCertDev1) skipped: TLS refuses its certificate" },
  { "a badly framed slot is never handed to TLS",     { { 1, { kSlot, Patched (kA, 20, 1) } }, { 4, { kSlot, kB } } }, {},
    EFI_SUCCESS, std::nullopt, Sim::AuthPolicy::Accepting, EFI_SUCCESS, kB, { kCertB }, "slot 4 (HttpsCertDev4) trusted" },
  { "every slot refused: the old trust goes",         { { 1, { kSlot, kA } }, { 3, { kSlot, kC } } }, { kCertA, kCertC },
    EFI_SUCCESS, Entry { kTrust, kB }, Sim::AuthPolicy::Accepting, EFI_NOT_FOUND, std::nullopt, { kCertA, kCertC },
    "no slot holds a certificate TLS takes: HTTPS boot trusts no server" },
  { "no TLS child: nothing is trusted",               { { 1, { kSlot, kA } } }, {},
    EFI_OUT_OF_RESOURCES, Entry { kTrust, kB }, Sim::AuthPolicy::Accepting, EFI_OUT_OF_RESOURCES, std::nullopt, {},
    "no TLS child to check the certificates with: Out of Resources" },
  // TlsDxe keeps what it took for the rest of the boot: nothing is probed
  // while a foreign trust stays and nothing may be written.
  { "a foreign trust that stays: nothing is probed",  { { 1, { kSlot, kA } } }, {},
    EFI_SUCCESS, Entry { 0x27, kB }, Sim::AuthPolicy::Refusing, EFI_ACCESS_DENIED, kB, {}, "cannot be deleted" },
};

TEST (HttpsBootTrust, OnlyCertificatesTlsTakesCountAndTheProbeChildGoes)
{
  for (const ProbeCase &Case : kProbeCases) {
    SCOPED_TRACE (Case.Name);
    FakeTls  Tls;

    Tls.Binding       = { FakeCreateChild, FakeDestroyChild };
    Tls.Configuration = { FakeSetData, nullptr };
    Tls.Refused       = Case.Refused;
    Tls.CreateStatus  = Case.CreateStatus;
    gTls              = &Tls;
    Sim::InstallProtocol (gEfiTlsServiceBindingProtocolGuid, &Tls.Binding);
    for (const auto &[Slot, Value] : Case.Slots) {
      PutSlot (Slot, Value);
    }

    if (Case.Before) {
      Sim::Variables ().Put (kTrustName, gEfiTlsCaCertificateGuid, Case.Before->Attributes, Case.Before->Data);
    }

    Sim::Variables ().SetPolicy (Case.Policy);
    EXPECT_EQ (TolmUpdateHttpsBootTrust (), Case.Result);
    auto  Trust = Sim::Variables ().Find (kTrustName, gEfiTlsCaCertificateGuid);
    EXPECT_EQ (Trust.has_value (), Case.After.has_value ());
    if (Trust && Case.After) {
      EXPECT_EQ (Trust->Data, *Case.After);
    }

    EXPECT_EQ (Tls.Probed, Case.Probed);
    EXPECT_TRUE (Tls.Children.empty ()) << "the probe child was not destroyed";
    EXPECT_LE (Tls.Created, 1u);
    EXPECT_FALSE (Sim::DebugLog ().Containing (Case.Says).empty ()) << Sim::DebugLog ().Dump ();
    gTls = nullptr;
    Sim::CheckAtEnd ();
    Sim::Reset ();
  }
}

TEST (HttpsBootTrust, WithoutATlsServiceTheFramingDecides)
{
  PutSlot (2, { kSlot, kB });
  EXPECT_EQ (TolmUpdateHttpsBootTrust (), EFI_SUCCESS);
  auto  Trust = Sim::Variables ().Find (kTrustName, gEfiTlsCaCertificateGuid);
  ASSERT_TRUE (Trust.has_value ());
  EXPECT_EQ (Trust->Data, kB);
  auto  Warned = Sim::DebugLog ().Containing ("no TLS service (Not Found): the certificates are checked for their framing only");
  ASSERT_EQ (Warned.size (), 1u) << Sim::DebugLog ().Dump ();
  EXPECT_EQ (Warned[0].Level, (UINTN)DEBUG_WARN);
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
