/** @file
  The driver's own DebugLib on the simulated platform and the UART/CMOS
  models: where the level comes from and when it settles, the debug-mask
  protocol, the two sinks with their own filters, the 255-character cut,
  assertion reports and the load-time state.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DiagnosticsBench.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

uint64_t  mFormatCalls = 0;

} // namespace

//
// Every AsciiVSPrint the debug library makes passes through here (the
// executable links with --wrap=AsciiVSPrint): "formatted at most once" is
// counted, not assumed.
//
extern "C" {
UINTN
EFIAPI
__real_AsciiVSPrint (
  OUT CHAR8        *StartOfBuffer,
  IN  UINTN        BufferSize,
  IN  CONST CHAR8  *FormatString,
  IN  VA_LIST      Marker
  );

UINTN
EFIAPI
__wrap_AsciiVSPrint (
  OUT CHAR8        *StartOfBuffer,
  IN  UINTN        BufferSize,
  IN  CONST CHAR8  *FormatString,
  IN  VA_LIST      Marker
  )
{
  mFormatCalls++;
  return __real_AsciiVSPrint (StartOfBuffer, BufferSize, FormatString, Marker);
}
}

namespace {

const EFI_GUID  OtherGuid = {
  0x0B1E5F0D, 0x4F2A, 0x4C11, { 0x9A, 0x3E, 0x55, 0x6B, 0x70, 0x81, 0x92, 0xA3 }
};

std::vector<UINT8>
LevelBytes (
  UINT32  Level
  )
{
  return { static_cast<UINT8>(Level), static_cast<UINT8>(Level >> 8), static_cast<UINT8>(Level >> 16),
           static_cast<UINT8>(Level >> 24) };
}

UINTN
CurrentMask (
  Diag::Bench  &Bench
  )
{
  UINTN  Mask = 0xDEAD;

  EXPECT_NE (nullptr, Bench.DebugMask ());
  if (Bench.DebugMask () != nullptr) {
    EXPECT_EQ (EFI_SUCCESS, Bench.DebugMask ()->GetDebugMask (Bench.DebugMask (), &Mask));
  }

  return Mask;
}

// --- Where the level comes from ---------------------------------------------

TEST (DebugLibErrorLevel, LevelHobWinsAndCmosIsNeverRead) {
  // The HOB list as the first configuration table and behind another one.
  for (bool ListFirst : { true, false }) {
    SCOPED_TRACE (ListFirst ? "HOB list first" : "HOB list second");
    Sim::Reset ();
    Diag::Bench   Bench;
    Diag::HobList Hobs;
    UINT64        Unrelated = 0;

    Bench.SetCmosLevel (0xFFFFFFFF);
    if (!ListFirst) {
      ASSERT_EQ (EFI_SUCCESS, gBS->InstallConfigurationTable (const_cast<EFI_GUID *>(&OtherGuid), &Unrelated));
    }

    Hobs.AddOtherHob ();
    Hobs.AddGuidHob (OtherGuid, LevelBytes (0x40));
    Hobs.AddGuidHob (gEfiGenericVariableGuid, { 0x02, 0x00, 0x00, 0x80 });
    Hobs.AddGuidHob (gEfiGenericVariableGuid, LevelBytes (0x40));     // only the first counts
    Hobs.Publish ();

    EXPECT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());

    EXPECT_EQ (0x80000002u, GetDebugPrintErrorLevel ());
    EXPECT_EQ (0x80000002u, CurrentMask (Bench));
    EXPECT_TRUE (mTolmDebugLib.ErrorLevelSettled);
    EXPECT_EQ (0u, Bench.CmosAccesses ());
    // Settled by the HOB: the priority probe is never needed.
    EXPECT_THAT (Sim::Tpl ().Calls, IsEmpty ());
  }
}

TEST (DebugLibErrorLevel, CmosGivesTheLevelOnceWhenNothingElseDoes) {
  Diag::Bench   Bench;
  Diag::HobList Hobs;

  Bench.Cmos.Bytes[0x7A] = 0x40;
  Bench.Cmos.Bytes[0x7D] = 0x80;
  Hobs.AddGuidHob (OtherGuid, LevelBytes (0xFFFFFFFF));    // a HOB list without a level HOB
  Hobs.Publish ();

  EXPECT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());

  EXPECT_EQ (0x80000040u, CurrentMask (Bench));
  EXPECT_THAT (Bench.Cmos.DataReads, ElementsAre (0x7A, 0x7B, 0x7C, 0x7D));

  // Silenced at run time: the level is not looked for again.
  EXPECT_EQ (EFI_SUCCESS, Bench.DebugMask ()->SetDebugMask (Bench.DebugMask (), 0));
  DebugPrint (DEBUG_ERROR, "silent\n");
  EXPECT_EQ (0u, GetDebugPrintErrorLevel ());
  EXPECT_EQ (4u, Bench.Cmos.DataReads.size ());
  EXPECT_EQ ("", Bench.Console (Bench.Uart1));
}

TEST (DebugLibErrorLevel, NoHobListAndZeroCmosLeaveTheConsoleSilent) {
  Diag::Bench  Bench;

  ASSERT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());

  EXPECT_EQ (0u, CurrentMask (Bench));
  EXPECT_TRUE (mTolmDebugLib.ErrorLevelSettled);
  DebugPrint (DEBUG_ERROR, "lost\n");
  DebugPrint (DEBUG_INFO, "lost\n");
  EXPECT_EQ ("", Bench.Console (Bench.Uart1));
  EXPECT_EQ (4u, Bench.Cmos.DataReads.size ());
}

TEST (DebugLibErrorLevel, TheWalkEndsAtTheEndHobOrAZeroLengthOne) {
  // A level HOB behind either is not part of the list; without the guard a
  // zero-length HOB would hold the walk for ever.
  for (bool ZeroLength : { true, false }) {
    SCOPED_TRACE (ZeroLength ? "zero-length HOB" : "end HOB");
    Sim::Reset ();
    Diag::Bench   Bench;
    Diag::HobList Hobs;
    Bench.SetCmosLevel (0x80000000);
    Hobs.AddOtherHob ();
    if (ZeroLength) {
      Hobs.AddZeroLengthHob ();
    } else {
      Hobs.AddEndHob ();
    }

    Hobs.AddGuidHob (gEfiGenericVariableGuid, LevelBytes (0x2));
    Hobs.Publish ();

    EXPECT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());
    EXPECT_EQ (0x80000000u, CurrentMask (Bench));
    EXPECT_EQ (4u, Bench.Cmos.DataReads.size ());
  }
}

TEST (DebugLibErrorLevel, SettlesOnlyAtOrBelowTplCallback) {
  struct {
    EFI_TPL    ConstructorTpl;
    bool       Settles;
  } const  Cases[] = {
    { TPL_APPLICATION, true  },
    { TPL_CALLBACK,    true  },
    { TPL_NOTIFY,      false },
    { TPL_HIGH_LEVEL,  false },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (::testing::Message () << "constructor at TPL " << C.ConstructorTpl);
    Sim::Reset ();
    Diag::Bench  Bench;
    Bench.SetCmosLevel (0x80000040);

    EFI_TPL  Old = gBS->RaiseTPL (C.ConstructorTpl);
    EXPECT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());
    EXPECT_EQ (C.Settles, mTolmDebugLib.ErrorLevelSettled);
    EXPECT_EQ (C.Settles ? 4u : 0u, Bench.Cmos.DataReads.size ());

    // A message at the raised priority: filtered with the current level.
    DebugPrint (DEBUG_ERROR, "raised\n");
    gBS->RestoreTPL (Old);
    EXPECT_EQ (C.Settles ? "raised\r\n" : "", Bench.Console (Bench.Uart1));

    // A later query at TPL_CALLBACK settles it, reading CMOS once.
    Old = gBS->RaiseTPL (TPL_CALLBACK);
    DebugPrint (DEBUG_ERROR, "lowered\n");
    gBS->RestoreTPL (Old);
    EXPECT_TRUE (mTolmDebugLib.ErrorLevelSettled);
    EXPECT_EQ (4u, Bench.Cmos.DataReads.size ());
    EXPECT_EQ (0x80000040u, CurrentMask (Bench));
    EXPECT_EQ (C.Settles ? "raised\r\nlowered\r\n" : "lowered\r\n", Bench.Console (Bench.Uart2));
  }
}

TEST (DebugLibErrorLevel, UefiVariableEfiDebugHasNoEffect) {
  Diag::Bench  Bench;

  Sim::Variables ().Put ("EFIDebug", gEfiGenericVariableGuid, 0x07, LevelBytes (0xFFFFFFFF));
  Bench.SetCmosLevel (0x2);

  ASSERT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());
  EXPECT_EQ (0x2u, CurrentMask (Bench));
  EXPECT_THAT (Sim::Variables ().Calls (), IsEmpty ());
}

// --- EFI_DEBUG_MASK_PROTOCOL ---------------------------------------------------

TEST (DebugMaskProtocol, ReadsAndReplacesTheLowThirtyTwoBits) {
  Diag::Bench  Bench;

  // Constructor at TPL_NOTIFY: installed, level not yet settled.
  EFI_TPL  Old = gBS->RaiseTPL (TPL_NOTIFY);
  ASSERT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());
  gBS->RestoreTPL (Old);

  EFI_DEBUG_MASK_PROTOCOL  *Mask = Bench.DebugMask ();
  ASSERT_NE (nullptr, Mask);
  EXPECT_EQ (0x10000, Mask->Revision);
  EXPECT_EQ (EFI_INVALID_PARAMETER, Mask->GetDebugMask (Mask, nullptr));
  EXPECT_EQ (0u, CurrentMask (Bench));
  EXPECT_EQ (0u, Bench.CmosAccesses ()) << "GetDebugMask must not start the level search";

  EXPECT_EQ (EFI_SUCCESS, Mask->SetDebugMask (nullptr, (1ULL << 32) | 0x40));
  EXPECT_EQ (0x40u, CurrentMask (Bench));
  Old = gBS->RaiseTPL (TPL_NOTIFY);
  EXPECT_EQ (0x40u, GetDebugPrintErrorLevel ()) << "above TPL_CALLBACK: the current level";
  gBS->RestoreTPL (Old);
  EXPECT_FALSE (mTolmDebugLib.ErrorLevelSettled) << "SetDebugMask leaves the settled flag alone";

  // The first query at a low priority settles it; CMOS is not read, the level
  // is no longer 0.
  EXPECT_EQ (0x40u, GetDebugPrintErrorLevel ());
  EXPECT_TRUE (mTolmDebugLib.ErrorLevelSettled);
  EXPECT_EQ (0u, Bench.CmosAccesses ());

  // The library class's own setter replaces it the same way.
  EXPECT_TRUE (SetDebugPrintErrorLevel (DEBUG_ERROR));
  EXPECT_EQ ((UINTN)DEBUG_ERROR, CurrentMask (Bench));
}

TEST (DebugMaskProtocol, FailedInstallationIsReturnedAndTheLevelStillSetUp) {
  Diag::Bench              Bench;
  EFI_DEBUG_MASK_PROTOCOL  Foreign = {};

  Sim::InstallProtocol (gEfiDebugMaskProtocolGuid, &Foreign, Sim::ImageHandle ());
  Bench.SetCmosLevel (0x80000000);

  EXPECT_TRUE (EFI_ERROR (Bench.RunErrorLevelConstructor ()));
  EXPECT_EQ (0x80000000u, GetDebugPrintErrorLevel ());
  EXPECT_EQ (&Foreign, Bench.DebugMask ());
  Sim::UninstallProtocol (Sim::ImageHandle (), gEfiDebugMaskProtocolGuid, &Foreign);
}

TEST (DebugMaskProtocol, DestructorRemovesItFromTheImageHandle) {
  Diag::Bench  Bench;

  ASSERT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());
  ASSERT_NE (nullptr, Bench.DebugMask ());

  EXPECT_EQ (EFI_SUCCESS, TolmDebugLibDestructor (Sim::ImageHandle (), Sim::SystemTable ()));
  EXPECT_EQ (nullptr, Bench.DebugMask ());
  EXPECT_TRUE (Sim::IsHandle (Sim::ImageHandle ()));

  // A second removal has nothing to remove.
  EXPECT_TRUE (EFI_ERROR (TolmDebugLibDestructor (Sim::ImageHandle (), Sim::SystemTable ())));
}

// --- The two sinks --------------------------------------------------------------

TEST (DebugLibPrint, EachSinkFiltersByItsOwnMaskAndTextIsFormattedAtMostOnce) {
  struct {
    const char    *Case;
    UINT32        InterfaceMask;       // 0 with Installed false: no interface
    bool          Installed;
    UINT32        Level;
    UINTN         MessageLevel;
    bool          ToInterface;
    bool          ToConsole;
  } const  Cases[] = {
    { "INFO: interface only",    0x40,       true,  0x80000000, DEBUG_INFO,  true,  false },
    { "ERROR: console only",     0x40,       true,  0x80000000, DEBUG_ERROR, false, true  },
    { "both accept",             0xFFFFFFFF, true,  0x80000040, DEBUG_ERROR, true,  true  },
    { "neither accepts",         0x40,       true,  0x80000000, DEBUG_WARN,  false, false },
    { "no interface",            0,          false, 0x80000040, DEBUG_INFO,  false, true  },
    { "bits above 31 never match", 0xFFFFFFFF, true, 0xFFFFFFFF, 1ULL << 32, false, false },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.Case);
    Sim::Reset ();
    Diag::Bench  Bench;
    if (C.Installed) {
      Sim::DebugOutput ().Mask = C.InterfaceMask;
      Sim::DebugOutput ().Install ();
    }

    ASSERT_EQ (EFI_SUCCESS, Bench.RunOutputConstructor ());
    Bench.SetCmosLevel (C.Level);
    ASSERT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());
    mFormatCalls = 0;

    DebugPrint (C.MessageLevel, "%a(%d): slot %d\n", "HandlePendingImport", 120, 3);

    // BasePrintLib writes every "\n" as "\r\n".
    const std::string  Text = "HandlePendingImport(120): slot 3\r\n";
    EXPECT_EQ (C.ToInterface ? std::vector<std::string>{ Text } : std::vector<std::string>{ }, Sim::DebugOutput ().Writes);
    EXPECT_EQ (C.ToConsole ? Text : "", Bench.Console (Bench.Uart1));
    EXPECT_EQ (C.ToConsole ? Text : "", Bench.Console (Bench.Uart2));
    EXPECT_EQ ((C.ToInterface || C.ToConsole) ? 1u : 0u, mFormatCalls);
  }

  // The call sites' own filter: only the low 32 bits of a level can match.
  EXPECT_TRUE (DebugPrintLevelEnabled (DEBUG_INIT));
  EXPECT_FALSE (DebugPrintLevelEnabled (1ULL << 32));
}

TEST (DebugLibPrint, InterfaceMaskIsAskedAfreshForEveryMessage) {
  Diag::Bench  Bench;

  Sim::DebugOutput ().Mask = 0x40;
  Sim::DebugOutput ().Install ();
  ASSERT_EQ (EFI_SUCCESS, Bench.RunOutputConstructor ());

  DebugPrint (DEBUG_INFO, "one\n");
  Sim::DebugOutput ().Mask = 0;
  DebugPrint (DEBUG_INFO, "two\n");
  Sim::DebugOutput ().Mask = 0x40;
  DebugPrint (DEBUG_INFO, "three\n");

  EXPECT_THAT (Sim::DebugOutput ().Writes, ElementsAre ("one\r\n", "three\r\n"));
  EXPECT_THAT (Sim::DebugOutput ().Selectors, ElementsAre (0, 0, 0));
}

TEST (DebugLibPrint, LongMessageReachesBothSinksCutAt255) {
  Diag::Bench  Bench;
  std::string  Long (300, 'x');

  for (size_t Index = 0; Index < Long.size (); Index++) {
    Long[Index] = static_cast<char>('a' + Index % 26);
  }

  Sim::DebugOutput ().Install ();
  ASSERT_EQ (EFI_SUCCESS, Bench.RunOutputConstructor ());
  Bench.SetCmosLevel (0xFFFFFFFF);
  ASSERT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());

  DebugPrint (DEBUG_ERROR, "%a\n", Long.c_str ());

  const std::string  Cut = Long.substr (0, 255);
  EXPECT_THAT (Sim::DebugOutput ().Writes, ElementsAre (Cut));
  EXPECT_EQ (Cut, Bench.Console (Bench.Uart1));
  EXPECT_EQ (Cut, Bench.Console (Bench.Uart2));
}

TEST (DebugLibPrint, BaseListVariantRoutesLikeTheOthers) {
  Diag::Bench  Bench;
  UINT64       Arguments[2];

  Bench.SetCmosLevel (DEBUG_ERROR);
  ASSERT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());

  // BASE_LIST: each argument in its own UINTN-sized slot.
  const char  *Name = "SyncHttpsCertToVEXA";
  memcpy (&Arguments[0], &Name, sizeof (Name));
  Arguments[1] = 2;
  DebugBPrint (DEBUG_ERROR, "%a: %d certificates\n", reinterpret_cast<BASE_LIST>(Arguments));
  DebugBPrint (DEBUG_INFO, "%a: filtered\n", reinterpret_cast<BASE_LIST>(Arguments));

  EXPECT_EQ ("SyncHttpsCertToVEXA: 2 certificates\r\n", Bench.Console (Bench.Uart1));
}

// --- Assertions and the load-time state ----------------------------------------

TEST (DebugLibAssert, ReportGoesToTheConsoleOnlyWhateverTheLevelThenTraps) {
  Diag::Bench  Bench;

  Sim::DebugOutput ().Install ();
  ASSERT_EQ (EFI_SUCCESS, Bench.RunOutputConstructor ());
  ASSERT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());     // level 0
  uint64_t  ConsoleBytesAtTrap = 0;
  Sim::Cpu ().OnBreakpoint = [&] () {
                               ConsoleBytesAtTrap = Bench.Uart1.Transmitted.size ();
                             };

  DebugAssert ("CertStore.cpp", 211, "CertNum <= 4");

  const std::string  Line = "ASSERT [TolmVexaHttpsBootCertMgmt] CertStore.cpp(211): CertNum <= 4\r\n";
  EXPECT_EQ (Line, Bench.Console (Bench.Uart1));
  EXPECT_EQ (Line, Bench.Console (Bench.Uart2));
  EXPECT_THAT (Sim::DebugOutput ().Writes, IsEmpty ());
  EXPECT_EQ (1u, Sim::Cpu ().Breakpoints);
  EXPECT_EQ (Line.size (), ConsoleBytesAtTrap) << "the report is out before the trap";
}

TEST (DebugLibAssert, NullFormatIsReportedAndNothingIsPrinted) {
  Diag::Bench  Bench;

  Bench.SetCmosLevel (0xFFFFFFFF);
  ASSERT_EQ (EFI_SUCCESS, Bench.RunErrorLevelConstructor ());

  DebugPrint (DEBUG_ERROR, nullptr);
  DebugBPrint (DEBUG_ERROR, nullptr, nullptr);

  const std::string  Report = "ASSERT \\[TolmVexaHttpsBootCertMgmt\\] .*DebugLib\\.cpp\\([0-9]+\\): Format != \\(\\(void \\*\\) 0\\)\r\n";
  EXPECT_THAT (Bench.Console (Bench.Uart1), ::testing::MatchesRegex (Report + Report));
  EXPECT_EQ (2u, Sim::Cpu ().Breakpoints);
}

TEST (DebugLibLoaded, ConsoleIsSilentBeforeTheErrorLevelButAssertionsGoOut) {
  Diag::Bench  Bench;

  Bench.SetCmosLevel (0xFFFFFFFF);
  Sim::DebugOutput ().Install ();
  ASSERT_EQ (EFI_SUCCESS, Bench.RunOutputConstructor ());

  EXPECT_EQ (0u, GetDebugPrintErrorLevel ());
  DebugPrint (DEBUG_ERROR, "early\n");
  EXPECT_EQ ("", Bench.Console (Bench.Uart1));
  EXPECT_THAT (Sim::DebugOutput ().Writes, ElementsAre ("early\r\n")) << "the interface has its own filter";

  DebugAssert ("Early.c", 7, "FALSE");
  EXPECT_EQ ("ASSERT [TolmVexaHttpsBootCertMgmt] Early.c(7): FALSE\r\n", Bench.Console (Bench.Uart1));
  EXPECT_EQ (0u, Bench.CmosAccesses ());
  EXPECT_THAT (Sim::Tpl ().Calls, IsEmpty ());
}

} // namespace
