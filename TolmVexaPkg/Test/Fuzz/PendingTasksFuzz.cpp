/** @file
  Fuzz target: HandlePendingTasks with the whole Vexa side taken from the
  input.

  Input (FuzzBed.h describes a frame):
    UINT8  Store      bits 0-3: slots 1-4 hold a certificate beforehand
                      bit 4:    the variable service refuses time-based writes
                      bit 5:    GetTime fails
    UINT8  FailSet    N > 0: the Nth SetVariable answers EFI_DEVICE_ERROR
    UINT8  FailAlloc  N > 0: the Nth pool allocation fails (the transport's
                      response buffers included)
    frame             the answer to the pending-list request
    frame ...         the answers to the certificate requests, in order

  Checked after every input: the result agrees with the list the Vexa sent,
  and a refused list is told by its one message;
  the first request is the pending-list request and every later one asks for
  the certificate of an import record of that list; every slot is unchanged,
  deleted by a delete record, or holds exactly a certificate the Vexa sent
  for it in a response the driver had to accept; every store write is
  bracketed by the update flag; nothing leaked; no assertion.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzBed.h"

#include "TolmVexaHttpsBootCertMgmtDxe.h"

using namespace Fuzz;

namespace {

constexpr unsigned  kSlots = 4;

/// A DER-looking certificate, different for every slot.
Bytes
HeldCert (
  unsigned  Slot
  )
{
  Bytes  Der (200 + 17 * Slot);

  for (size_t Index = 0; Index < Der.size (); Index++) {
    Der[Index] = (UINT8)(Slot * 31 + Index);
  }

  Der[0] = 0x30;
  return Der;
}

struct Record {
  UINT8     CertNum;
  UINT8     Operation;
  UINT16    CertSize;
};

std::vector<Record>
Records (
  const Bytes  &List
  )
{
  std::vector<Record>  Out;

  for (size_t At = 0; At + 6 <= List.size (); At += 6) {
    Out.push_back ({ List[At + 1], List[At + 2], Le16At (List, At + 3) });
  }

  return Out;
}

/// One input (the layout is at the top of this file).
void
OneInput (
  Input  &In
  )
{

  UINT8  Store     = In.U8 ();
  UINT8  FailSet   = In.U8 ();
  UINT8  FailAlloc = In.U8 ();

  std::optional<Bytes>  Before[kSlots + 1];
  for (unsigned Slot = 1; Slot <= kSlots; Slot++) {
    if ((Store & (1u << (Slot - 1))) != 0) {
      Sim::Variables ().Put (SlotName (Slot), gTolmVariableGuid, 0x23, StoredValue (HeldCert (Slot)));
      Before[Slot] = StoredValue (HeldCert (Slot));
    }
  }

  if ((Store & 0x10) != 0) {
    Sim::Variables ().SetPolicy (Sim::AuthPolicy::Refusing);
  }

  if ((Store & 0x20) != 0) {
    Sim::Variables ().FailGetTime (EFI_DEVICE_ERROR);
  }

  if (FailSet != 0) {
    Sim::Variables ().FailNthSet (FailSet, EFI_DEVICE_ERROR);
  }

  // Every request takes the next answer of the input.
  std::vector<Sim::KivAnswer>  Answers;
  Sim::Vexa ().OnRequest = [&In, &Answers](const Sim::KivRequest &) {
                             Answers.push_back (ReadAnswer (In));
                             Sim::Vexa ().Queue (Answers.back ());
                           };

  if (FailAlloc != 0) {
    Sim::Pool ().FailNthAllocation (FailAlloc);
  }

  BOOLEAN  Result = HandlePendingTasks ();

  Sim::Pool ().FailNthAllocation (0);

  // --- The requests and the result ------------------------------------------
  const auto  &Requests = Sim::Vexa ().Requests ();
  FUZZ_CHECK (!Requests.empty (), "the pending list was never asked for");
  FUZZ_CHECK (Requests[0].Command == 0x809D && Requests[0].Bytes == Bytes ({ 0xA0, 0, 0, 0, 0, 0 }), "a bad pending-list request");

  const Bytes                List    = AcceptedList (Answers[0]).value_or (Bytes ());
  const std::vector<Record>  Records = ::Records (List);
  if (FailAlloc == 0) {
    FUZZ_CHECK ((Result != FALSE) == !List.empty (), "the result disagrees with the list");
  } else if (Result) {
    FUZZ_CHECK (!List.empty (), "TRUE without a list");
  }

  // A refused list is told by exactly its one message.
  if (FailAlloc == 0) {
    std::string  Refusal = ListRefusal (Answers[0]);
    size_t       Told    = 0;
    for (const Sim::DebugMessage &M : Sim::DebugLog ().Messages) {
      if ((M.Level == DEBUG_ERROR) && (M.Text.rfind ("GetPendingTaskList: ", 0) == 0)) {
        FUZZ_CHECK (M.Text == Refusal, "\"" + M.Text + "\" instead of \"" + Refusal + "\"");
        Told++;
      }
    }

    FUZZ_CHECK (Told == (Refusal.empty () ? 0u : 1u), "not exactly the refusal's message");
  }

  size_t  Imports = 0;
  for (const Record &R : Records) {
    Imports += (R.Operation == 0xAA) && (R.CertNum >= 1) && (R.CertNum <= kSlots);
  }

  FUZZ_CHECK (Requests.size () - 1 <= Imports, "more certificate requests than import records");

  // The certificates the driver had to accept, per slot.
  std::vector<Bytes>  Offered[kSlots + 1];
  for (size_t Index = 1; Index < Requests.size (); Index++) {
    const Sim::KivRequest  &Request = Requests[Index];
    FUZZ_CHECK (Request.Command == 0x809D && Request.Bytes.size () == 8, "a bad certificate request");
    UINT8  Slot = Request.Bytes[6];
    FUZZ_CHECK (Request.Bytes == Bytes ({ 0xA2, 0, 2, 0, 0, 0, Slot, 0 }) && Slot >= 1 && Slot <= kSlots, "a bad certificate request");

    for (const Record &R : Records) {
      if ((R.Operation != 0xAA) || (R.CertNum != Slot)) {
        continue;
      }

      // An empty certificate is never enrolled.
      std::optional<Bytes>  Der = OfferedCert (Answers[Index], Slot, R.CertSize);
      if (Der.has_value () && !Der->empty ()) {
        Offered[Slot].push_back (*Der);
      }
    }
  }

  // --- The slots ---------------------------------------------------------------
  for (unsigned Slot = 1; Slot <= kSlots; Slot++) {
    std::optional<Sim::VariableEntry>  After = Sim::Variables ().Find (SlotName (Slot), gTolmVariableGuid);

    if (!After.has_value ()) {
      bool  Deleted = !Before[Slot].has_value ();
      for (const Record &R : Records) {
        Deleted |= (R.Operation == 0xAB) && (R.CertNum == Slot);
      }

      FUZZ_CHECK (Deleted, SlotName (Slot) + " vanished without a delete request");
      continue;
    }

    FUZZ_CHECK (After->Attributes == 0x23, SlotName (Slot) + " has other attributes");
    if (Before[Slot].has_value () && (After->Data == *Before[Slot])) {
      continue;
    }

    bool  Sent = false;
    for (const Bytes &Der : Offered[Slot]) {
      Sent |= (After->Data == StoredValue (Der));
    }

    FUZZ_CHECK (Sent, SlotName (Slot) + " holds a value the Vexa never sent for it");
  }

  // --- The update flag around every store write ------------------------------
  const std::vector<Sim::VariableCall>  Sets = Sim::Variables ().SetCalls ();
  for (size_t Index = 0; Index < Sets.size (); Index++) {
    if (Sets[Index].Name == "TolmPr") {
      continue;
    }

    FUZZ_CHECK (Index > 0 && Sets[Index - 1].Name == "TolmPr" && Sets[Index - 1].DataSizeIn == 1, "a store write without the flag raised before it");
    FUZZ_CHECK (Index + 1 < Sets.size () && Sets[Index + 1].Name == "TolmPr" && Sets[Index + 1].DataSizeIn == 0, "a store write without the flag lowered after it");
  }

  Sim::Vexa ().OnRequest = nullptr;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  return RunInput (Data, Size, OneInput);
}
