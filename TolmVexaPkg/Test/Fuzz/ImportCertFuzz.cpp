/** @file
  Fuzz target: GetImportCert against an arbitrary response for a given slot
  and size.

  Input (FuzzBed.h describes a frame):
    UINT8   CertNum     the slot asked for
    UINT16  CertSize    the length expected
    UINT8   Flags       bit 0: a NULL certificate buffer
                        bits 4-7: N > 0, the Nth pool allocation fails
    frame               the Vexa's answer

  Checked after every input: a NULL buffer sends nothing; otherwise exactly
  one well-formed request goes out; the result is EFI_SUCCESS exactly when
  the response carries the certificate for that slot and size inside what
  the transport handed over, and then the buffer holds those bytes; on every
  failure the result is EFI_INVALID_PARAMETER, the one message is that of the
  first test the response fails, and the buffer is untouched;
  the caller's buffer is never written beyond CertSize (AddressSanitizer);
  nothing leaked.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzBed.h"

#include "TolmVexaHttpsBootCertMgmtDxe.h"

#include <cstdlib>

using namespace Fuzz;

namespace {

constexpr UINT8  kUntouched = 0xEE;

/// One input (the layout is at the top of this file).
void
OneInput (
  Input  &In
  )
{

  UINT8           CertNum   = In.U8 ();
  UINT16          CertSize  = In.U16 ();
  UINT8           Flags     = In.U8 ();
  bool            NullBuffer = (Flags & 0x01) != 0;
  UINT8           FailAlloc = Flags >> 4;
  Sim::KivAnswer  Answer    = ReadAnswer (In);

  Sim::Vexa ().Queue (Answer);

  // Exactly CertSize bytes of the caller's, so a write past them is reported.
  UINT8  *Buffer = NullBuffer ? nullptr : static_cast<UINT8 *>(malloc (CertSize));
  if (Buffer != nullptr) {
    memset (Buffer, kUntouched, CertSize);
  }

  if (FailAlloc != 0) {
    Sim::Pool ().FailNthAllocation (FailAlloc);
  }

  EFI_STATUS  Status = GetImportCert (CertNum, CertSize, Buffer);

  Sim::Pool ().FailNthAllocation (0);

  const auto  &Requests = Sim::Vexa ().Requests ();
  if (NullBuffer) {
    FUZZ_CHECK (Status == EFI_INVALID_PARAMETER && Requests.empty (), "a NULL buffer must be refused before sending");
  } else {
    FUZZ_CHECK (Requests.size () == 1, "one request per call");
    FUZZ_CHECK (Requests[0].Command == 0x809D && Requests[0].Bytes == Bytes ({ 0xA2, 0, 2, 0, 0, 0, CertNum, 0 }), "a bad request");

    std::optional<Bytes>  Cert = OfferedCert (Answer, CertNum, CertSize);
    FUZZ_CHECK (Status == EFI_SUCCESS || Status == EFI_INVALID_PARAMETER, "an unexpected status");
    if (FailAlloc == 0) {
      FUZZ_CHECK ((Status == EFI_SUCCESS) == Cert.has_value (), "accepted a bad response or refused a good one");
    } else if (Status == EFI_SUCCESS) {
      FUZZ_CHECK (Cert.has_value (), "accepted a bad response");
    }

    // A refusal is told by exactly its one message; an accepted certificate by none.
    if (FailAlloc == 0) {
      std::string                      Refusal = CertRefusal (Answer, CertNum, CertSize);
      std::vector<Sim::DebugMessage>   Errors;
      for (const Sim::DebugMessage &M : Sim::DebugLog ().Messages) {
        if (M.Level == DEBUG_ERROR) {
          Errors.push_back (M);
        }
      }

      FUZZ_CHECK (Errors.size () == (Refusal.empty () ? 0u : 1u), "not exactly the refusal's message");
      if (!Refusal.empty ()) {
        const std::string  &Text = Errors[0].Text;
        FUZZ_CHECK (Text.rfind ("GetImportCert(", 0) == 0 && Text.size () >= Refusal.size () &&
                    Text.compare (Text.size () - Refusal.size (), Refusal.size (), Refusal) == 0,
                    "\"" + Text + "\" instead of \"" + Refusal + "\"");
      }
    }

    if (Status == EFI_SUCCESS) {
      FUZZ_CHECK (CertSize == 0 || memcmp (Buffer, Cert->data (), CertSize) == 0, "the certificate was not copied exactly");
    } else {
      for (size_t Index = 0; Index < CertSize; Index++) {
        FUZZ_CHECK (Buffer[Index] == kUntouched, "a refused response was copied");
      }
    }
  }

  free (Buffer);
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
