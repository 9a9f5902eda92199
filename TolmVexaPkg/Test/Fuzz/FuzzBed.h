/** @file
  Shared by the fuzz targets: the input reader, the Vexa's answers taken from
  the input, and the simulated platform reset before every input and checked
  after it.

  An input is read front to back; past its end every read gives zeros, so any
  byte string is a valid input and a short one simply ends in zeros.

  A Vexa answer in an input (one "frame"):

    UINT8   Flags      bits 0-1  the transport's status: 0 EFI_SUCCESS,
                                 1 EFI_DEVICE_ERROR, 2 EFI_TIMEOUT,
                                 3 EFI_BUFFER_TOO_SMALL
                       bit 2     a completion code follows
                       bit 3     the transport stores NULL instead of a buffer
                       bit 4     a response size follows
                       bit 5     the transport stores nothing at all
    UINT16  Length     response bytes in this frame
    [UINT16 Completion]
    [UINT32 Size]      the size the transport reports; with a buffer it is
                       never more than the buffer holds (the transport's
                       contract), so it is taken modulo Length + 1
    Length bytes       the response

  Every failed check and every GoogleTest failure raised by the simulated
  platform (leak, double free, foreign pointer, TPL rule, ...) prints its
  reason and aborts, so libFuzzer keeps the input as a crash.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_FUZZ_BED_H_
#define TOLM_FUZZ_BED_H_

#include <SimPlatform.h>
#include <ServiceScenario.h>
#include <VexaContract.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Fuzz {

using Bytes = std::vector<UINT8>;
using namespace VexaContract;

class Input {
public:
  Input (
    const uint8_t  *Data,
    size_t         Size
    ) : mData (Data), mSize (Size) {}

  UINT8
  U8 (
    );

  /// Little-endian.
  UINT16
  U16 (
    );

  /// Little-endian.
  UINT32
  U32 (
    );

  /// Up to Length bytes (fewer when the input ends first).
  Bytes
  Take (
    size_t  Length
    );

  bool
  AtEnd (
    ) const { return mOffset >= mSize; }

private:
  const uint8_t  *mData;
  size_t         mSize;
  size_t         mOffset = 0;
};

/// Reads one Vexa answer frame.
Sim::KivAnswer
ReadAnswer (
  Input  &In
  );

/// Prints the reason and aborts.
[[noreturn]] void
Fail (
  const std::string  &Why
  );

#define FUZZ_CHECK(Condition, Why) \
  do { \
    if (!(Condition)) { \
      ::Fuzz::Fail (std::string (__FILE__ ":") + std::to_string (__LINE__) + ": " #Condition ": " + (Why)); \
    } \
  } while (0)

///
/// Runs one input. Before Body: the platform in its power-on state, with the
/// platform information, the Vexa (whose unscripted requests answer
/// EFI_DEVICE_ERROR) and the time-based write policy of the target platform.
/// After it: no live or overrun pool block, no firmware rule broken, no
/// assertion raised, the TPL back at TPL_APPLICATION, the update flag absent.
/// Returns 0 for libFuzzer.
///
int
RunInput (
  const uint8_t  *Data,
  size_t         Size,
  void           (*Body)(Input &In)
  );

// The slots' names and the value a slot holds for an enrolled certificate,
// as the service scenarios know them.
using Scenario::SlotName;
using Scenario::StoredValue;

} // namespace Fuzz

#endif
