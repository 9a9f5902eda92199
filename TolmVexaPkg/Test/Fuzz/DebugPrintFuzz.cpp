/** @file
  Fuzz target: the driver's DebugLib print path (both sinks, the 255-character
  cut, the dual-UART console) with the driver's own format strings, arbitrary
  arguments (strings shorter and far longer than a message), arbitrary message
  levels, console levels and debug-output masks.

  Input:
    UINT8   Setup       bit 0: the platform debug-output interface is installed
    UINT32  Mask        what the interface's GetLevelMask answers
    UINT32  CmosLevel   the console level the CMOS holds
  then up to four messages, each:
    UINT64  Level       the message's level (bits above 31 included)
    UINT8   Format      index into the driver's formats (modulo their count)
    the arguments its conversions take, in order:
      %a  UINT16 length (modulo 600) and that many bytes
      %s  UINT16 length (modulo 300) and that many CHAR16
      %d %x  UINT32     %r %p  UINT64     %g  16 bytes

  Checked for every message: it reaches the interface exactly when the mask
  takes its level and the console exactly when the console level does, as the
  text (at most 255 characters) that BasePrintLib makes of it; COM1 and
  COM2 carry the same bytes; no read or write outside a buffer
  (AddressSanitizer); no assertion; nothing leaked.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzBed.h"

#include "DiagnosticsBench.h"

#include <string>

using namespace Fuzz;

namespace {

///
/// The driver's formats, one for each way its messages take arguments
/// (a: ASCII string, d/x: 32-bit, r: EFI_STATUS, p: pointer, g: GUID,
/// s: CHAR16 string).
///
struct DriverFormat {
  const char  *Signature;
  const char  *Text;
};

constexpr DriverFormat  kFormats[] = {
  { "",      "GetPendingTaskList: bad response command value.\n"                                                   },
  { "a",     "[%a] Simics BmcType = Unknown.\n"                                                                    },
  { "ad",    "%a(%d): Failed to get imported cert from Vexa.\n"                                                    },
  { "add",   "%a(%d): Cert of HTTP dev (%d) does NOT exist. No need to sync cert of this device to Vexa.\n"        },
  { "addd",  "%a(%d): Incorrect response size = %d; while cert size is: %d\n"                                      },
  { "addr",  "%a(%d): Fail to store Certificate %d into flash: %r!\n"                                              },
  { "adr",   "%a(%d): Failed to sync Https certs to Vexa: (%r).\n"                                                 },
  { "adrxx", "%a(%d): IPMI Status(%r) ResponseStatus(0x%x) ResponseBufferSize(0x%x)\n"                             },
  { "adx",   "%a(%d): pRecord->Operation(0x%x)\n"                                                                  },
  { "adxdr", "%a(%d): Failed to get cert (0x%x) of HTTP dev (%d) to sync to Vexa (%r).\n"                          },
  { "ag",    "%a: pSignatureOwnerGuid is NULL. Assigning default GUID %g.\n"                                       },
  { "apx",   "%a: pSigList(%p) SigListSize(0x%x)\n"                                                                },
  { "ar",    "%a: CreateSignatureList returned (%r)\n"                                                             },
  { "aspxg", "%a:\tVariable Name (%s)\n   \tCert at (%p)\n   \tCert size (0x%x)\n   \tSignaure owner (%g)\n"     },
  { "d",     "GetPendingTaskList: pending list size is %d.\n"                                                      },
  { "dr",    "HandlePendingDelete: Failed to clear Cerficate %d in flash by Vexa request. (%r)\n"                  },
};

constexpr size_t  kMessages = 4;

///
/// One argument, held so that a pointer to it outlives the call. Passed as the
/// type its conversion reads.
///
struct Argument {
  std::string       Ascii;
  std::u16string    Wide;
  EFI_GUID          Guid;
  UINT64            Value = 0;
};

Argument
ReadArgument (
  Input  &In,
  char   Conversion
  )
{
  Argument  A;

  switch (Conversion) {
    case 'a':
    {
      Bytes  Raw = In.Take (In.U16 () % 600);
      A.Ascii.assign (Raw.begin (), Raw.end ());
      break;
    }
    case 's':
    {
      size_t  Length = In.U16 () % 300;
      for (size_t Index = 0; Index < Length && !In.AtEnd (); Index++) {
        A.Wide.push_back ((char16_t)In.U16 ());
      }

      break;
    }
    case 'g':
    {
      Bytes  Raw = In.Take (sizeof (EFI_GUID));
      Raw.resize (sizeof (EFI_GUID), 0);
      memcpy (&A.Guid, Raw.data (), sizeof (EFI_GUID));
      break;
    }
    case 'd':
    case 'x':
      A.Value = In.U32 ();
      break;
    default:
      A.Value = In.U32 () | ((UINT64)In.U32 () << 32);
      break;
  }

  return A;
}

///
/// Calls Print (DebugPrint or AsciiSPrint bound to a buffer) with the format's
/// arguments as the driver passes them.
///
template<typename PRINT>
void
CallWith (
  const DriverFormat     &F,
  std::vector<Argument>  &Args,
  PRINT                  &&Print
  )
{
  auto  A = [&Args](size_t Index) { return Args[Index].Ascii.c_str (); };
  auto  D = [&Args](size_t Index) { return (UINT32)Args[Index].Value; };
  auto  R = [&Args](size_t Index) { return (EFI_STATUS)Args[Index].Value; };
  auto  P = [&Args](size_t Index) { return (VOID *)(UINTN)Args[Index].Value; };
  auto  G = [&Args](size_t Index) { return &Args[Index].Guid; };
  auto  S = [&Args](size_t Index) { return (CONST CHAR16 *)Args[Index].Wide.c_str (); };
  const std::string  Sig = F.Signature;

  if (Sig == "") {
    Print (F.Text);
  } else if (Sig == "a") {
    Print (F.Text, A (0));
  } else if (Sig == "ad") {
    Print (F.Text, A (0), D (1));
  } else if (Sig == "add") {
    Print (F.Text, A (0), D (1), D (2));
  } else if (Sig == "addd") {
    Print (F.Text, A (0), D (1), D (2), D (3));
  } else if (Sig == "addr") {
    Print (F.Text, A (0), D (1), D (2), R (3));
  } else if (Sig == "adr") {
    Print (F.Text, A (0), D (1), R (2));
  } else if (Sig == "adrxx") {
    Print (F.Text, A (0), D (1), R (2), D (3), D (4));
  } else if (Sig == "adx") {
    Print (F.Text, A (0), D (1), D (2));
  } else if (Sig == "adxdr") {
    Print (F.Text, A (0), D (1), D (2), D (3), R (4));
  } else if (Sig == "ag") {
    Print (F.Text, A (0), G (1));
  } else if (Sig == "apx") {
    Print (F.Text, A (0), P (1), D (2));
  } else if (Sig == "ar") {
    Print (F.Text, A (0), R (1));
  } else if (Sig == "aspxg") {
    Print (F.Text, A (0), S (1), P (2), D (3), G (4));
  } else if (Sig == "d") {
    Print (F.Text, D (0));
  } else if (Sig == "dr") {
    Print (F.Text, D (0), R (1));
  } else {
    Fail (std::string ("no call for the signature ") + F.Signature);
  }
}

/// One input (the layout is at the top of this file).
void
OneInput (
  Input  &In
  )
{
  Diag::Bench  Bench;
  UINT8        Setup     = In.U8 ();
  UINT32       Mask      = In.U32 ();
  UINT32       CmosLevel = In.U32 ();
  bool         Interface = (Setup & 0x01) != 0;

  if (Interface) {
    Sim::DebugOutput ().Mask = Mask;
    Sim::DebugOutput ().Install ();
  }

  FUZZ_CHECK (Bench.RunOutputConstructor () == EFI_SUCCESS, "the output constructor failed");
  Bench.SetCmosLevel (CmosLevel);
  FUZZ_CHECK (Bench.RunErrorLevelConstructor () == EFI_SUCCESS, "the error-level constructor failed");

  for (size_t Message = 0; Message < kMessages && !In.AtEnd (); Message++) {
    UINTN               Level = In.U32 () | ((UINT64)In.U32 () << 32);
    const DriverFormat  &F    = kFormats[In.U8 () % (sizeof (kFormats) / sizeof (kFormats[0]))];

    std::vector<Argument>  Args;
    for (const char *Conversion = F.Signature; *Conversion != '\0'; Conversion++) {
      Args.push_back (ReadArgument (In, *Conversion));
    }

    //
    // The interface gets the character count the formatting returns, the
    // console the text up to its first NUL: they differ only when a CHAR16
    // argument holds a character whose low byte is 0.
    //
    CHAR8  Expected[TOLM_DEBUG_MESSAGE_BUFFER_SIZE];
    UINTN  Count = 0;
    CallWith (F, Args, [&Expected, &Count](auto... Arguments) { Count = AsciiSPrint (Expected, sizeof (Expected), Arguments...); });
    FUZZ_CHECK (Count <= 255, "a message longer than 255 characters");
    const std::string  Written (Expected, Count);
    const std::string  Text = Expected;

    size_t  WritesBefore  = Sim::DebugOutput ().Writes.size ();
    size_t  ConsoleBefore = Bench.Uart1.Transmitted.size ();
    bool    ToInterface   = Interface && ((Level & Mask) != 0);
    bool    ToConsole     = (Level & GetDebugPrintErrorLevel ()) != 0;

    CallWith (F, Args, [Level](auto... Arguments) { DebugPrint (Level, Arguments...); });

    const auto  &Writes = Sim::DebugOutput ().Writes;
    FUZZ_CHECK (Writes.size () == WritesBefore + (ToInterface ? 1 : 0), "the interface's filter was not followed");
    if (ToInterface) {
      FUZZ_CHECK (Writes.back () == Written, "the interface got \"" + Writes.back () + "\" for \"" + Written + "\"");
    }

    std::string  Console (Bench.Uart1.Transmitted.begin () + ConsoleBefore, Bench.Uart1.Transmitted.end ());
    FUZZ_CHECK (Console == (ToConsole ? Text : std::string ()), "the console got \"" + Console + "\" for \"" + Text + "\"");
    FUZZ_CHECK (Bench.Uart1.Transmitted == Bench.Uart2.Transmitted, "COM1 and COM2 differ");
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
