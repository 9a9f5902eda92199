/** @file
  The driver image's start-up end to end: MdePkg's real UefiDriverEntryPoint
  (_ModuleEntryPoint, compiled into this executable) runs the library set-up
  in the order the firmware build generates it, then HttpsBootCertMgmtEntryPoint,
  then, after a failed entry, the library clean-up.

  What AutoGen.c generates for the image is reproduced below;
  scripts/check-constructor-order.py holds the firmware build to the same
  order.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DiagnosticsBench.h"

#include <gmock/gmock.h>

#include "TolmVexaHttpsBootCertMgmtDxe.h"

using ::testing::HasSubstr;

namespace {

std::vector<std::string>  mStartUpSteps;

} // namespace

//
// The image's AutoGen.c, as EDK II generates it for this driver.
//
extern "C" {
const UINT32  _gUefiDriverRevision     = 0x00000000U;
const UINT32  _gDxeRevision            = 0x00000000U;
const UINT8   _gDriverUnloadImageCount = 0U;

EFI_STATUS
EFIAPI
UefiBootServicesTableLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

EFI_STATUS
EFIAPI
UefiRuntimeServicesTableLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

VOID
EFIAPI
ProcessLibraryConstructorList (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;

  mStartUpSteps.push_back ("debug output");
  Status = TolmDebugLibOutputConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
  mStartUpSteps.push_back ("error level");
  Status = TolmDebugLibErrorLevelConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
  mStartUpSteps.push_back ("empty");
  Status = TolmDebugLibNullConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
  mStartUpSteps.push_back ("serial console");
  Status = TolmDebugLibConsoleConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);

  mStartUpSteps.push_back ("boot services table");
  Status = UefiBootServicesTableLibConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);

  mStartUpSteps.push_back ("runtime services table");
  Status = UefiRuntimeServicesTableLibConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
}

VOID
EFIAPI
ProcessLibraryDestructorList (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;

  mStartUpSteps.push_back ("debug library clean-up");
  Status = TolmDebugLibDestructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
}

EFI_STATUS
EFIAPI
ProcessModuleEntryPointList (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  mStartUpSteps.push_back ("module entry");
  return HttpsBootCertMgmtEntryPoint (ImageHandle, SystemTable);
}

EFI_STATUS
EFIAPI
ProcessModuleUnloadList (
  IN EFI_HANDLE  ImageHandle
  )
{
  return EFI_SUCCESS;
}

}

namespace {

///
/// Loads the image as the dispatcher would: the table pointers are not yet
/// set (a library that used gBS ahead of its constructor would crash here),
/// then calls the image entry point.
///
EFI_STATUS
StartImage (
  )
{
  mStartUpSteps.clear ();
  gImageHandle = nullptr;
  gST          = nullptr;
  gBS          = nullptr;
  gRT          = nullptr;
  return _ModuleEntryPoint (Sim::ImageHandle (), Sim::SystemTable ());
}

const std::vector<std::string>  RequiredSetUp = {
  "debug output", "error level", "empty", "serial console", "boot services table",
  "runtime services table", "module entry"
};

TEST (DriverStartUp, DeclinedEntryRemovesTheDebugMaskProtocolAgain) {
  struct {
    const char    *Case;
    bool          PlatformInfo;
    bool          Simics;
    const char    *Console;
  } const  Cases[] = {
    { "no platform information", false, false, ""                                                },
    { "Simics",                  true,  true,  "[GetBmcSupportLevel] Simics BmcType = Unknown.\r\n" },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.Case);
    Sim::Reset ();
    Diag::Bench  Bench;
    Bench.SetCmosLevel (0x80000040);
    Bench.Uart1.Preset (0, 0, 0, 0, 0);          // the console constructor sets them up
    Bench.Uart2.Preset (0, 0, 0, 0, 0);
    if (C.PlatformInfo) {
      Sim::PlatformInfo ().SetIsSimics (C.Simics);
      Sim::PlatformInfo ().Install ();
    }

    EXPECT_EQ (EFI_UNSUPPORTED, StartImage ());

    std::vector<std::string>  Expected = RequiredSetUp;
    Expected.push_back ("debug library clean-up");
    EXPECT_EQ (Expected, mStartUpSteps);
    EXPECT_EQ (nullptr, Sim::InterfaceOn (Sim::ImageHandle (), gEfiDebugMaskProtocolGuid));
    EXPECT_TRUE (Sim::HandlesWith (gEfiDebugMaskProtocolGuid).empty ());
    EXPECT_TRUE (Sim::HandlesWith (gTolmVexaHttpsBootCertMgmtProtocolGuid).empty ());
    EXPECT_EQ (C.Console, Bench.Console (Bench.Uart1));
    EXPECT_EQ (C.Console, Bench.Console (Bench.Uart2));
    EXPECT_EQ (0u, Sim::Cpu ().Breakpoints) << Bench.Console (Bench.Uart1);
  }
}

TEST (DriverStartUp, PublishedDriverKeepsTheDebugMaskProtocol) {
  Diag::Bench  Bench;

  Bench.SetCmosLevel (0x80000040);
  Bench.Cmos.Bytes[0x6F] = 0x06;                 // 9600 baud
  Sim::PlatformInfo ().Install ();
  Sim::DebugOutput ().Mask = 0x40;
  Sim::DebugOutput ().Install ();

  EXPECT_EQ (EFI_SUCCESS, StartImage ());

  EXPECT_EQ (RequiredSetUp, mStartUpSteps);
  EXPECT_EQ (Sim::ImageHandle (), gImageHandle);
  EXPECT_EQ (Sim::SystemTable ()->BootServices, gBS);
  EXPECT_EQ (Sim::SystemTable ()->RuntimeServices, gRT);

  EFI_DEBUG_MASK_PROTOCOL  *Mask = static_cast<EFI_DEBUG_MASK_PROTOCOL *>(
                                     Sim::InterfaceOn (Sim::ImageHandle (), gEfiDebugMaskProtocolGuid)
                                     );
  ASSERT_NE (nullptr, Mask);
  UINTN  Level = 0;
  EXPECT_EQ (EFI_SUCCESS, Mask->GetDebugMask (Mask, &Level));
  EXPECT_EQ (0x80000040u, Level);

  auto  Published = Sim::HandlesWith (gTolmVexaHttpsBootCertMgmtProtocolGuid);
  ASSERT_EQ (1u, Published.size ());
  EXPECT_NE (Sim::ImageHandle (), Published[0]);

  // The console runs at the CMOS speed and carries the driver's messages;
  // the interface got them too.
  EXPECT_EQ (12, Bench.Uart1.Divisor ());
  EXPECT_EQ (12, Bench.Uart2.Divisor ());
  EXPECT_THAT (Bench.Console (Bench.Uart1), HasSubstr ("[GetBmcSupportLevel]: BmcType=8\r\n"));
  EXPECT_EQ (Bench.Console (Bench.Uart1), Bench.Console (Bench.Uart2));
  EXPECT_THAT (Sim::DebugOutput ().Writes, ::testing::Contains ("[GetBmcSupportLevel]: BmcType=8\r\n"));
}

} // namespace
