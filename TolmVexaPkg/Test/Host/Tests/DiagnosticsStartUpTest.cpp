/** @file
  The driver image's start-up end to end: MdePkg's real UefiDriverEntryPoint
  (_ModuleEntryPoint, compiled into this executable) runs the library set-up,
  then HttpsBootCertMgmtEntryPoint, then, after a failed entry, the library
  clean-up. The set-up order itself is the firmware build's (AutoGen.c), which
  scripts/check-constructor-order.py checks; the list below only wires the
  same steps together for the host.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DiagnosticsBench.h"

#include <gmock/gmock.h>

#include "TolmVexaHttpsBootCertMgmtDxe.h"

using ::testing::HasSubstr;

//
// The image's library set-up and clean-up, as AutoGen.c wires them.
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

  Status = TolmDebugLibOutputConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
  Status = TolmDebugLibErrorLevelConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
  Status = TolmDebugLibNullConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
  Status = TolmDebugLibConsoleConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
  Status = UefiBootServicesTableLibConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
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
  gImageHandle = nullptr;
  gST          = nullptr;
  gBS          = nullptr;
  gRT          = nullptr;
  return _ModuleEntryPoint (Sim::ImageHandle (), Sim::SystemTable ());
}

EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES  mInstallMultiple;

///
/// Installs one protocol per call as the firmware does, except the driver's
/// own, which finds the firmware out of resources.
///
EFI_STATUS
EFIAPI
RefuseTheDriversProtocol (
  IN OUT EFI_HANDLE  *Handle,
  ...
  )
{
  VA_LIST   Args;
  EFI_GUID  *Guid;
  VOID      *Interface;

  VA_START (Args, Handle);
  Guid      = VA_ARG (Args, EFI_GUID *);
  Interface = VA_ARG (Args, VOID *);
  VA_END (Args);
  if (CompareGuid (Guid, &gTolmVexaHttpsBootCertMgmtProtocolGuid)) {
    return EFI_OUT_OF_RESOURCES;
  }

  return mInstallMultiple (Handle, Guid, Interface, NULL);
}

TEST (DriverStartUp, AFailedEntryRemovesTheDebugMaskProtocolAgain) {
  struct {
    const char    *Case;
    bool          PlatformInfo;
    bool          Simics;
    bool          InstallFails;
    EFI_STATUS    Result;
    const char    *Console;
  } const  Cases[] = {
    { "no platform information", false, false, false, EFI_UNSUPPORTED,      ""                                                   },
    { "Simics",                  true,  true,  false, EFI_UNSUPPORTED,      "[GetBmcSupportLevel] Simics BmcType = Unknown.\r\n" },
    { "installation fails",      true,  false, true,  EFI_OUT_OF_RESOURCES, "[GetBmcSupportLevel]: BmcType=8\r\n"               },
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

    EFI_BOOT_SERVICES  *BootServices = Sim::SystemTable ()->BootServices;
    mInstallMultiple = BootServices->InstallMultipleProtocolInterfaces;
    if (C.InstallFails) {
      BootServices->InstallMultipleProtocolInterfaces = RefuseTheDriversProtocol;
    }

    EXPECT_EQ (C.Result, StartImage ());

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
