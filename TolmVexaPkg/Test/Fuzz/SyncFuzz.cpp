/** @file
  Fuzz target: SyncHttpsCertToVEXA over arbitrary stored slot values and
  read failures.

  Input (FuzzBed.h describes a frame), for each of slots 1 to 4:
    UINT8   Mode        bits 0-1: 0 no variable, 1 a stored value,
                                  2 every read fails, 3 a stored value and
                                  every read fails
                        bits 2-3: the read failure: EFI_DEVICE_ERROR,
                                  EFI_NOT_FOUND, EFI_BUFFER_TOO_SMALL,
                                  EFI_SECURITY_VIOLATION
    UINT16  Length      (stored value only) its length
    bytes               (stored value only) the value: any length, 0 to 44
                        bytes included
  then:
    UINT8   FailAlloc   N > 0: the Nth pool allocation fails
    frame               the answer to the sync message

  Checked after every input: the store is not written; at most one message
  goes out, and it is well-formed: header, records in increasing slot order,
  each carrying exactly the bytes after the 44-byte prefix of its slot's
  value, or the one empty record for slot 1 when no slot yields a
  certificate; without an allocation failure it is exactly the message the
  store calls for and the result is the transport's status; nothing leaked.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzBed.h"

#include "TolmVexaHttpsBootCertMgmtDxe.h"

#include <algorithm>

using namespace Fuzz;

namespace {

constexpr unsigned    kSlots          = 4;
constexpr size_t      kPrefix         = 44;
constexpr EFI_STATUS  kReadFailures[] = { EFI_DEVICE_ERROR, EFI_NOT_FOUND, EFI_BUFFER_TOO_SMALL, EFI_SECURITY_VIOLATION };

/// The certificate a slot yields: the bytes after the prefix of a readable value longer than it.
std::optional<Bytes>
Yield (
  const std::optional<Bytes>  &Value,
  bool                        ReadFails
  )
{
  if (ReadFails || !Value.has_value () || (Value->size () <= kPrefix)) {
    return std::nullopt;
  }

  return Bytes (Value->begin () + kPrefix, Value->end ());
}

void
PutLe (
  Bytes   &Out,
  UINT64  Value,
  int     Count
  )
{
  for (int Index = 0; Index < Count; Index++) {
    Out.push_back ((UINT8)(Value >> (8 * Index)));
  }
}

/// One input (the layout is at the top of this file).
void
OneInput (
  Input  &In
  )
{

  std::optional<Bytes>  Yields[kSlots + 1];
  for (unsigned Slot = 1; Slot <= kSlots; Slot++) {
    UINT8                 Mode = In.U8 ();
    std::optional<Bytes>  Value;

    if ((Mode & 0x01) != 0) {
      Value = In.Take (In.U16 ());
      Sim::Variables ().Put (SlotName (Slot), gTolmVariableGuid, 0x23, *Value);
    }

    if ((Mode & 0x02) != 0) {
      Sim::Variables ().FailGet (SlotName (Slot), kReadFailures[(Mode >> 2) & 0x03]);
    }

    Yields[Slot] = Yield (Value, (Mode & 0x02) != 0);
  }

  UINT8           FailAlloc = In.U8 ();
  Sim::KivAnswer  Answer    = ReadAnswer (In);
  Sim::Vexa ().Queue (Answer);

  if (FailAlloc != 0) {
    Sim::Pool ().FailNthAllocation (FailAlloc);
  }

  EFI_STATUS  Status = SyncHttpsCertToVEXA ();

  Sim::Pool ().FailNthAllocation (0);

  FUZZ_CHECK (Sim::Variables ().SetCalls ().empty (), "the sync wrote to the store");

  const auto  &Requests = Sim::Vexa ().Requests ();
  FUZZ_CHECK (Requests.size () <= 1, "more than one message");
  if (Requests.empty ()) {
    FUZZ_CHECK (FailAlloc != 0 && Status == EFI_OUT_OF_RESOURCES, "no message without running out of memory");
    return;
  }

  FUZZ_CHECK (Status == Answer.Status || (FailAlloc != 0 && Status == EFI_OUT_OF_RESOURCES), "the result is not the transport's");

  // The message: header, then records in increasing slot order.
  const Sim::KivRequest  &Request = Requests[0];
  const Bytes            &Message = Request.Bytes;
  FUZZ_CHECK (Request.Command == 0x009D && Message.size () == Request.RequestSize, "a bad sync request");
  FUZZ_CHECK (Message.size () >= 8 + 6 && Message[0] == 0xA1 && Message[1] == 0, "a bad message header");
  FUZZ_CHECK (Le32At (Message, 2) == Message.size () - 8, "TotalSize does not match the message");

  UINT16    Count    = Le16At (Message, 6);
  size_t    At       = 8;
  unsigned  LastSlot = 0;
  UINT16    Seen     = 0;
  while (At < Message.size ()) {
    FUZZ_CHECK (At + 6 <= Message.size (), "a cut record header");
    UINT16  Slot     = Le16At (Message, At);
    UINT32  CertSize = Le32At (Message, At + 2);
    FUZZ_CHECK (Slot > LastSlot && Slot <= kSlots, "records out of slot order");
    FUZZ_CHECK (CertSize <= Message.size () - At - 6, "a record longer than the message");
    Bytes  Cert (Message.begin () + At + 6, Message.begin () + At + 6 + CertSize);
    if (CertSize == 0) {
      FUZZ_CHECK (Slot == 1 && Count == 1 && Message.size () == 14, "an empty record other than the lone one for slot 1");
      for (unsigned Other = 1; Other <= kSlots; Other++) {
        FUZZ_CHECK (FailAlloc != 0 || !Yields[Other].has_value (), "the empty record although a slot holds a certificate");
      }
    } else {
      FUZZ_CHECK (Yields[Slot].has_value () && Cert == *Yields[Slot], "a record that is not its slot's certificate");
    }

    LastSlot = Slot;
    Seen++;
    At += 6 + CertSize;
  }

  FUZZ_CHECK (Seen == Count && Count >= 1, "CertCount does not match the records");

  if (FailAlloc == 0) {
    Bytes  Payload;
    for (unsigned Slot = 1; Slot <= kSlots; Slot++) {
      if (Yields[Slot].has_value ()) {
        PutLe (Payload, Slot, 2);
        PutLe (Payload, Yields[Slot]->size (), 4);
        Payload.insert (Payload.end (), Yields[Slot]->begin (), Yields[Slot]->end ());
      }
    }

    FUZZ_CHECK (Payload.empty () || Count == std::count_if (std::begin (Yields), std::end (Yields), [](const auto &Y) { return Y.has_value (); }), "a slot's certificate is missing");
    if (!Payload.empty ()) {
      FUZZ_CHECK (Bytes (Message.begin () + 8, Message.end ()) == Payload, "the message is not the one the store calls for");
    }
  }
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
