/** @file
  Shared pieces of the end-to-end scenarios of the two published services
  (SyncServiceTest.cpp, PendingTasksTest.cpp, ResourceFaultTest.cpp): the
  driver published through its entry point and reached through its protocol,
  certificates and stored slot values, and the whole-outcome views a scenario
  asserts on (slots, variable writes with the update flag, Vexa requests,
  messages).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_SERVICE_SCENARIO_H_
#define TOLM_SERVICE_SCENARIO_H_

#include <SimPlatform.h>

#include <array>
#include <regex>
#include <sstream>

#include "TolmVexaHttpsBootCertMgmtDxe.h"

namespace Scenario {

using Bytes = std::vector<UINT8>;

constexpr UINTN  ERR  = DEBUG_ERROR;
constexpr UINTN  INFO = DEBUG_INFO;
constexpr UINTN  WARN = DEBUG_WARN;

constexpr UINT32  SLOT_ATTRIBUTES = 0x23;
constexpr size_t  SLOT_COUNT      = 4;

// ===========================================================================
// Bytes
// ===========================================================================

inline Bytes
Le16 (
  UINT16  Value
  )
{
  return { (UINT8)Value, (UINT8)(Value >> 8) };
}

inline Bytes
Le32 (
  UINT32  Value
  )
{
  return { (UINT8)Value, (UINT8)(Value >> 8), (UINT8)(Value >> 16), (UINT8)(Value >> 24) };
}

inline Bytes
Cat (
  std::initializer_list<Bytes>  Parts
  )
{
  Bytes  All;

  for (const Bytes &Part : Parts) {
    All.insert (All.end (), Part.begin (), Part.end ());
  }

  return All;
}

inline Bytes
GuidBytes (
  const EFI_GUID  &Guid
  )
{
  const UINT8  *Raw = reinterpret_cast<const UINT8 *>(&Guid);

  return Bytes (Raw, Raw + sizeof (Guid));
}

///
/// A DER-looking certificate of Length bytes (SEQUENCE header, then a pattern
/// that differs with Seed, so two certificates of one length differ).
///
inline Bytes
Cert (
  size_t  Length,
  UINT8   Seed
  )
{
  Bytes  Der (Length);

  for (size_t Index = 0; Index < Length; Index++) {
    Der[Index] = (UINT8)(Seed + Index * 7);
  }

  if (Length >= 4) {
    Der[0] = 0x30;
    Der[1] = 0x82;
    Der[2] = (UINT8)((Length - 4) >> 8);
    Der[3] = (UINT8)(Length - 4);
  }

  return Der;
}

///
/// The value a slot holds for an enrolled certificate: one EFI_SIGNATURE_LIST
/// of type X.509 with the default owner, the DER bytes at offset 44.
///
inline Bytes
StoredValue (
  const Bytes  &Der
  )
{
  return Cat ({
    GuidBytes (gEfiCertX509Guid),
    Le32 ((UINT32)(44 + Der.size ())),
    Le32 (0),
    Le32 ((UINT32)(16 + Der.size ())),
    GuidBytes (gHttpsCertDefaultOwnerGuid),
    Der
  });
}

// ===========================================================================
// The store
// ===========================================================================

inline std::string
SlotName (
  unsigned  Slot
  )
{
  return "HttpsCertDev" + std::to_string (Slot);
}

/// Puts Value into a slot directly (no call recorded).
inline void
PutSlotValue (
  unsigned     Slot,
  const Bytes  &Value
  )
{
  Sim::Variables ().Put (SlotName (Slot), gTolmVariableGuid, SLOT_ATTRIBUTES, Value);
}

/// Puts an enrolled certificate into a slot directly.
inline void
PutCert (
  unsigned     Slot,
  const Bytes  &Der
  )
{
  PutSlotValue (Slot, StoredValue (Der));
}

/// Slot values 1..4 (nullopt: no variable).
using SlotState = std::array<std::optional<Bytes>, SLOT_COUNT>;

inline SlotState
Slots (
  )
{
  SlotState  State;

  for (unsigned Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    auto  Entry = Sim::Variables ().Find (SlotName (Slot), gTolmVariableGuid);
    if (Entry.has_value ()) {
      EXPECT_EQ (Entry->Attributes, SLOT_ATTRIBUTES) << SlotName (Slot);
      State[Slot - 1] = Entry->Data;
    }
  }

  return State;
}

inline std::string
Describe (
  const SlotState  &State
  )
{
  std::ostringstream  Out;

  for (unsigned Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    Out << " slot" << Slot << "=";
    if (State[Slot - 1].has_value ()) {
      Out << State[Slot - 1]->size () << "B";
    } else {
      Out << "empty";
    }
  }

  return Out.str ();
}

///
/// The variable writes of the call, one token each, in order:
///   "+"  the update flag raised ("TolmPr", 0x2, one byte 0x01)
///   "-"  the update flag lowered ("TolmPr", 0x2, size 0)
///   "W<n>" a certificate written to slot n (0x23, 40-byte descriptor + value)
///   "D<n>" a delete of slot n (0x23, the 40-byte descriptor alone)
///   "?<name>" anything else.
///
inline std::string
WriteTrace (
  )
{
  std::string  Trace;

  for (const auto &Call : Sim::Variables ().SetCalls ()) {
    bool  Ours = CompareGuid (&Call.Guid, &gTolmVariableGuid);
    if (Ours && (Call.Name == "TolmPr") && (Call.Attributes == EFI_VARIABLE_BOOTSERVICE_ACCESS) &&
        (Call.DataSizeIn == 1) && (Call.Data == Bytes { 0x01 }))
    {
      Trace += "+";
    } else if (Ours && (Call.Name == "TolmPr") && (Call.Attributes == EFI_VARIABLE_BOOTSERVICE_ACCESS) &&
               (Call.DataSizeIn == 0))
    {
      Trace += "-";
    } else if (Ours && (Call.Name.rfind ("HttpsCertDev", 0) == 0) && (Call.Attributes == SLOT_ATTRIBUTES) &&
               (Call.DataSizeIn >= 40))
    {
      Trace += ((Call.DataSizeIn == 40) ? "D" : "W") + Call.Name.substr (12);
    } else {
      Trace += "?" + Call.Name;
    }
  }

  return Trace;
}

/// The value written by the Nth slot write of the call (descriptor stripped).
inline Bytes
WrittenValue (
  size_t  Nth
  )
{
  size_t  Seen = 0;

  for (const auto &Call : Sim::Variables ().SetCalls ()) {
    if ((Call.Name.rfind ("HttpsCertDev", 0) == 0) && (Call.Data.size () > 40)) {
      if (Seen++ == Nth) {
        return Bytes (Call.Data.begin () + 40, Call.Data.end ());
      }
    }
  }

  ADD_FAILURE () << "no slot write #" << Nth;
  return {};
}

/// TRUE when the update flag variable exists now.
inline bool
FlagPresent (
  )
{
  return Sim::Variables ().Has ("TolmPr", gTolmVariableGuid);
}

// ===========================================================================
// The Vexa
// ===========================================================================

struct Request {
  UINT16    Command;
  Bytes     Data;

  bool
  operator== (
    const Request  &Other
    ) const
  {
    return (Command == Other.Command) && (Data == Other.Data);
  }
};

inline std::ostream &
operator<< (
  std::ostream   &Out,
  const Request  &R
  )
{
  char  Hex[4];

  Out << "[0x" << std::hex << R.Command << std::dec << ", " << R.Data.size () << " bytes:";
  for (size_t Index = 0; Index < R.Data.size () && Index < 24; Index++) {
    snprintf (Hex, sizeof (Hex), " %02X", R.Data[Index]);
    Out << Hex;
  }

  return Out << (R.Data.size () > 24 ? " ...]" : "]");
}

/// Every request the Vexa received, in order.
inline std::vector<Request>
Requests (
  )
{
  std::vector<Request>  All;

  for (const auto &R : Sim::Vexa ().Requests ()) {
    All.push_back ({ R.Command, R.Bytes });
  }

  return All;
}

inline const Request  kPendingListRequest = { 0x809D, { 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00 } };

inline Request
ImportCertRequest (
  UINT8  Slot
  )
{
  return { 0x809D, { 0xA2, 0x00, 0x02, 0x00, 0x00, 0x00, Slot, 0x00 } };
}

/// A sync message record: slot (16 bits), length (32 bits), DER bytes.
inline Bytes
SyncRecord (
  UINT16       Slot,
  const Bytes  &Der
  )
{
  return Cat ({ Le16 (Slot), Le32 ((UINT32)Der.size ()), Der });
}

/// The sync message (0x009D) carrying the given records.
inline Request
SyncRequest (
  const std::vector<Bytes>  &Records
  )
{
  Bytes  Payload;

  for (const Bytes &Record : Records) {
    Payload.insert (Payload.end (), Record.begin (), Record.end ());
  }

  return { 0x009D, Cat ({ { 0xA1, 0x00 }, Le32 ((UINT32)Payload.size ()), Le16 ((UINT16)Records.size ()), Payload }) };
}

// ===========================================================================
// Messages
// ===========================================================================

struct Message {
  UINTN          Level;
  std::string    Text;

  bool
  operator== (
    const Message  &Other
    ) const
  {
    return (Level == Other.Level) && (Text == Other.Text);
  }
};

inline std::ostream &
operator<< (
  std::ostream   &Out,
  const Message  &M
  )
{
  const char  *Level = (M.Level == ERR) ? "ERROR" : (M.Level == INFO) ? "INFO" : (M.Level == WARN) ? "WARN" : "?";

  return Out << "\n    " << Level << " \"" << M.Text << "\"";
}

using Messages = std::vector<Message>;

///
/// The recorded messages, made independent of source lines: "Name(123): "
/// becomes "Name(L): ".
///
inline Messages
Log (
  )
{
  static const std::regex  Line ("^([A-Za-z_0-9]+)\\([0-9]+\\): ");
  Messages                 All;

  for (const auto &M : Sim::DebugLog ().Messages) {
    All.push_back ({ M.Level, std::regex_replace (M.Text, Line, "$1(L): ") });
  }

  return All;
}

///
/// The messages of one service: those its own operations print, whose text
/// begins with their name (Prefix). What the layers below print is asserted
/// where those layers are tested, so a message added there breaks no
/// scenario of the services.
///
inline Messages
LogOf (
  const std::string  &Prefix
  )
{
  Messages  Own;

  for (const Message &M : Log ()) {
    if (M.Text.rfind (Prefix, 0) == 0) {
      Own.push_back (M);
    }
  }

  return Own;
}

inline Messages
operator+ (
  Messages        A,
  const Messages  &B
  )
{
  A.insert (A.end (), B.begin (), B.end ());
  return A;
}

inline std::string
Hex (
  UINT64  Value
  )
{
  std::ostringstream  Out;

  Out << std::uppercase << std::hex << Value;
  return Out.str ();
}

// --- Messages of the sync service --------------------------------------------

inline Messages
SlotAbsent (
  unsigned  Slot
  )
{
  return {
    { ERR, "SyncHttpsCertToVEXA(L): Cert of HTTP dev (" + std::to_string (Slot) +
      ") does NOT exist. No need to sync cert of this device to Vexa.\n" }
  };
}

inline Messages
SlotFound (
  unsigned  Slot
  )
{
  return { { ERR, "SyncHttpsCertToVEXA(L): Found cert of HTTPS dev (" + std::to_string (Slot) + "). Try to sync it to Vexa.\n" } };
}

/// The sync service's failed-read message (StatusText: the %r rendering).
inline Messages
SlotReadFailed (
  unsigned           Slot,
  const std::string  &StatusText
  )
{
  return {
    { ERR, "SyncHttpsCertToVEXA(L): Failed to get cert (0x0) of HTTP dev (" + std::to_string (Slot) +
      ") to sync to Vexa (" + StatusText + ").\n" }
  };
}

inline Messages
EmptyRecordMade (
  )
{
  return { { ERR, "SyncHttpsCertToVEXA(L): Create empty cert of HTTP dev (1). Try to sync it to Vexa.\n" } };
}

inline Messages
SyncTotal (
  unsigned  Count
  )
{
  return { { ERR, "SyncHttpsCertToVEXA(L): Total cert to sync to Vexa = (" + std::to_string (Count) + ")\n" } };
}

inline Messages
SyncSendFailed (
  const std::string  &StatusText
  )
{
  return { { ERR, "SyncHttpsCertToVEXA(L): Failed to sync Https certs to Vexa: (" + StatusText + ").\n" } };
}

// --- Messages of the pending service, and the exchanges it starts ------------

inline Messages
ListFetched (
  UINT32  ResponseSize,
  UINT32  ListSize
  )
{
  return {
    { INFO, "GetPendingTaskList(L): IPMI command Status (Success) ResponseStatus(0x0) ResponseBufferSize (0x" + Hex (ResponseSize) + ")\n" },
    { INFO, "GetPendingTaskList: pending list size is " + std::to_string (ListSize) + ".\n" }
  };
}

inline Messages
RecordInvalid (
  unsigned  Position
  )
{
  return { { ERR, "HandlePendingTasks: Validate Pending Task " + std::to_string (Position) + "th record failed!\n" } };
}

inline Messages
FirstOperation (
  UINT8  Operation
  )
{
  return { { INFO, "HandlePendingTasks(L): pRecord->Operation(0x" + Hex (Operation) + ")\n" } };
}

inline Messages
CertFetched (
  UINT32  ResponseSize
  )
{
  return { { INFO, "GetImportCert(L): IPMI Status(Success) ResponseStatus(0x0) ResponseBufferSize(0x" + Hex (ResponseSize) + ")\n" } };
}

inline Messages
ImportReturned (
  const std::string  &StatusText
  )
{
  return { { INFO, "HandlePendingTasks(L): HandlePendingImport returned (" + StatusText + ")\n" } };
}

inline Messages
DeleteTried (
  unsigned  Slot
  )
{
  return { { INFO, "HandlePendingDelete(L): Trying to delete CertNum(" + std::to_string (Slot) + ") triggered by Vexa request\n" } };
}

inline Messages
DeleteReturned (
  const std::string  &StatusText
  )
{
  return { { ERR, "HandlePendingTasks(L): HandlePendingDelete returned (" + StatusText + ")\n" } };
}

// ===========================================================================
// The published protocol
// ===========================================================================

///
/// Publishes the driver as the dispatcher would on a Vexa platform (platform
/// information present, not a simulation; the Vexa's transport installed),
/// locates the protocol as another component would, and forgets the messages
/// of the start-up.
///
inline TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL *
Publish (
  )
{
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Protocol;

  Sim::PlatformInfo ().Install ();
  Sim::PlatformInfo ().SetIsSimics (false);
  Sim::Vexa ().Install ();
  EXPECT_EQ (HttpsBootCertMgmtEntryPoint (Sim::ImageHandle (), Sim::SystemTable ()), EFI_SUCCESS);

  Protocol = nullptr;
  EXPECT_EQ (gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, nullptr, (VOID **)&Protocol), EFI_SUCCESS);
  EXPECT_NE (Protocol, nullptr);
  Sim::DebugLog ().Messages.clear ();
  return Protocol;
}

} // namespace Scenario

#endif
