/** @file
  Shared by the fuzz targets (see FuzzBed.h).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzBed.h"

#include <cstdio>
#include <cstdlib>

namespace Fuzz {

namespace {

///
/// Turns every GoogleTest failure the simulated platform raises, inside or
/// outside a test, into an abort.
///
class AbortOnFailure : public ::testing::EmptyTestEventListener {
public:
  void
  OnTestPartResult (
    const ::testing::TestPartResult  &Result
    ) override
  {
    if (Result.failed ()) {
      Fail (std::string (Result.file_name () != nullptr ? Result.file_name () : "?") + ":" +
            std::to_string (Result.line_number ()) + ": " + Result.summary ());
    }
  }
};

constexpr EFI_STATUS  kTransportStatus[] = { EFI_SUCCESS, EFI_DEVICE_ERROR, EFI_TIMEOUT, EFI_BUFFER_TOO_SMALL };

/// The platform's power-on state for one input (see RunInput).
void
BeginInput (
  )
{
  static bool  Listening = false;

  if (!Listening) {
    ::testing::UnitTest::GetInstance ()->listeners ().Append (new AbortOnFailure);
    Listening = true;
  }

  Sim::Reset ();
  Sim::PlatformInfo ().Install ();
  Sim::Vexa ().Install ();
  Sim::Vexa ().UnscriptedIsFailure = false;
}

/// The checks after one input (see RunInput).
void
EndInput (
  )
{
  FUZZ_CHECK (Sim::DebugLog ().Asserts.empty () && Sim::Cpu ().Breakpoints == 0 && Sim::Cpu ().DeadLoops == 0, "an assertion was raised");
  FUZZ_CHECK (!Sim::Variables ().Has ("TolmPr", gTolmVariableGuid), "the update flag was left raised");
  Sim::CheckAtEnd ();
}

} // namespace

UINT8
Input::U8 (
  )
{
  return (mOffset < mSize) ? mData[mOffset++] : 0;
}

UINT16
Input::U16 (
  )
{
  UINT16  Low = U8 ();

  return (UINT16)(Low | (U8 () << 8));
}

UINT32
Input::U32 (
  )
{
  UINT32  Low = U16 ();

  return Low | ((UINT32)U16 () << 16);
}

Bytes
Input::Take (
  size_t  Length
  )
{
  size_t  Left = (mOffset < mSize) ? mSize - mOffset : 0;

  if (Length > Left) {
    Length = Left;
  }

  Bytes  Out (mData + mOffset, mData + mOffset + Length);

  mOffset += Length;
  return Out;
}

Sim::KivAnswer
ReadAnswer (
  Input  &In
  )
{
  Sim::KivAnswer  Answer;
  UINT8           Flags  = In.U8 ();
  UINT16          Length = In.U16 ();

  Answer.Status = kTransportStatus[Flags & 0x03];
  if ((Flags & 0x04) != 0) {
    Answer.Completion = In.U16 ();
  }

  Answer.NoBuffer     = (Flags & 0x08) != 0;
  Answer.StoreNothing = (Flags & 0x20) != 0;
  std::optional<UINT32>  Size;
  if ((Flags & 0x10) != 0) {
    Size = In.U32 ();
  }

  Answer.Response = In.Take (Length);
  if (Size.has_value ()) {
    Answer.SizeOverride = Answer.NoBuffer ? *Size : (UINT32)(*Size % ((UINT64)Answer.Response.size () + 1));
  }

  return Answer;
}

void
Fail (
  const std::string  &Why
  )
{
  fprintf (stderr, "\n==== fuzz check failed: %s\n", Why.c_str ());
  if (!Sim::DebugLog ().Messages.empty () || !Sim::DebugLog ().Asserts.empty ()) {
    fprintf (stderr, "---- the driver's messages:\n%s", Sim::DebugLog ().Dump ().c_str ());
  }

  fflush (stderr);
  abort ();
}

int
RunInput (
  const uint8_t  *Data,
  size_t         Size,
  void           (*Body)(Input &In)
  )
{
  Input  In (Data, Size);

  BeginInput ();
  Body (In);
  EndInput ();
  return 0;
}

} // namespace Fuzz
