/** @file
  The driver frame: the support-level gate, publication of the protocol on a
  handle of its own, and the duplicate-install assertion. The module entry is
  called directly, after the platform's own start-up (gImageHandle, gST, gBS,
  gRT set).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include "TolmVexaHttpsBootCertMgmtDxe.h"

namespace {

constexpr char  SIMICS_MESSAGE[]   = "[GetBmcSupportLevel] Simics BmcType = Unknown.\n";
constexpr char  HARDWARE_MESSAGE[] = "[GetBmcSupportLevel]: BmcType=8\n";

EFI_STATUS
RunEntry (
  )
{
  return HttpsBootCertMgmtEntryPoint (gImageHandle, gST);
}

TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL *
PublishedInterface (
  EFI_HANDLE  Handle
  )
{
  return static_cast<TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL *>(Sim::InterfaceOn (Handle, gTolmVexaHttpsBootCertMgmtProtocolGuid));
}

// ---------------------------------------------------------------------------
// The support-level gate
// ---------------------------------------------------------------------------

TEST (SupportLevelGate, WithoutPlatformInformationTheDriverDeclinesSilently) {
  EXPECT_EQ (GetBmcSupportLevel (), 0);
  EXPECT_EQ (RunEntry (), EFI_UNSUPPORTED);
  EXPECT_TRUE (Sim::HandlesWith (gTolmVexaHttpsBootCertMgmtProtocolGuid).empty ());
  EXPECT_TRUE (Sim::DebugLog ().Messages.empty ()) << Sim::DebugLog ().Dump ();
  EXPECT_TRUE (Sim::DebugLog ().Asserts.empty ()) << Sim::DebugLog ().Dump ();
}

TEST (SupportLevelGate, OnSimicsTheDriverDeclinesWithTheSimicsMessage) {
  Sim::PlatformInfo ().Install ();
  Sim::PlatformInfo ().SetIsSimics (true);

  EXPECT_EQ (RunEntry (), EFI_UNSUPPORTED);
  ASSERT_EQ (Sim::DebugLog ().Messages.size (), 1U) << Sim::DebugLog ().Dump ();
  EXPECT_EQ (Sim::DebugLog ().Messages[0].Text, SIMICS_MESSAGE);
  EXPECT_EQ (Sim::DebugLog ().Messages[0].Level, static_cast<UINTN>(DEBUG_ERROR));
  EXPECT_TRUE (Sim::HandlesWith (gTolmVexaHttpsBootCertMgmtProtocolGuid).empty ());
}

TEST (SupportLevelGate, OnRealHardwareTheLevelIs8AndTheDriverStarts) {
  Sim::PlatformInfo ().Install ();

  EXPECT_EQ (RunEntry (), EFI_SUCCESS);
  ASSERT_EQ (Sim::DebugLog ().Messages.size (), 1U) << Sim::DebugLog ().Dump ();
  EXPECT_EQ (Sim::DebugLog ().Messages[0].Text, HARDWARE_MESSAGE);
  EXPECT_EQ (Sim::DebugLog ().Messages[0].Level, static_cast<UINTN>(DEBUG_INFO));
  EXPECT_EQ (Sim::PlatformInfo ().Calls (), 1U);
}

TEST (SupportLevelGate, OnlyAZeroIsSimicsByteMeansRealHardware) {
  Sim::PlatformInfo ().Install ();
  for (UINT8 IsSimics : { 0x00, 0x01, 0x02, 0x80, 0xFF }) {
    Sim::PlatformInfo ().Record.IsSimics = IsSimics;
    EXPECT_EQ (GetBmcSupportLevel (), (IsSimics == 0) ? 8 : 0) << "IsSimics byte 0x" << std::hex << int(IsSimics);
  }
}

//
// GetPlatformInfo that fails or hands out no record: the driver must not read
// through the record pointer and declines, whatever the provider's status.
//
TEST (SupportLevelGate, AProviderWithoutARecordMakesTheDriverDecline) {
  struct Case {
    const char    *What;
    EFI_STATUS    Status;
    bool          NoRecord;
  };
  const Case  Cases[] = {
    { "GetPlatformInfo fails (not ready)",      EFI_NOT_READY,    false },
    { "GetPlatformInfo fails (device error)",   EFI_DEVICE_ERROR, false },
    { "GetPlatformInfo fails (unsupported)",    EFI_UNSUPPORTED,  false },
    { "success but no record stored",           EFI_SUCCESS,      true  },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.What);
    Sim::CheckAtEnd ();
    Sim::Reset ();
    Sim::PlatformInfo ().Install ();
    Sim::PlatformInfo ().Fail (C.Status);
    Sim::PlatformInfo ().StoreNoRecord (C.NoRecord);

    EXPECT_EQ (GetBmcSupportLevel (), 0);
    EXPECT_EQ (RunEntry (), EFI_UNSUPPORTED);
    EXPECT_TRUE (Sim::HandlesWith (gTolmVexaHttpsBootCertMgmtProtocolGuid).empty ());
    EXPECT_EQ (Sim::DebugLog ().Containing ("BmcType").size (), 0U) << Sim::DebugLog ().Dump ();
  }
}

// ---------------------------------------------------------------------------
// Publication
// ---------------------------------------------------------------------------

TEST (Publication, TheProtocolLivesOnANewHandleWithBothServicesInOrder) {
  Sim::PlatformInfo ().Install ();
  ASSERT_EQ (RunEntry (), EFI_SUCCESS);

  std::vector<EFI_HANDLE>  Handles = Sim::HandlesWith (gTolmVexaHttpsBootCertMgmtProtocolGuid);
  ASSERT_EQ (Handles.size (), 1U);
  EXPECT_NE (Handles[0], gImageHandle);
  EXPECT_NE (Handles[0], Sim::PlatformInfo ().Handle ());

  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Located = nullptr;
  ASSERT_EQ (gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Located)), EFI_SUCCESS);
  EXPECT_EQ (Located, PublishedInterface (Handles[0]));
  EXPECT_EQ (Located->HandlePendingTasks, &HandlePendingTasks);
  EXPECT_EQ (Located->SyncHttpsCertToVEXA, &SyncHttpsCertToVEXA);
}

TEST (Publication, BothServicesAreCallableWithNoArguments) {
  Sim::PlatformInfo ().Install ();
  ASSERT_EQ (RunEntry (), EFI_SUCCESS);

  // A controller with nothing pending that accepts the sync message.
  Sim::Vexa ().Install ();
  Sim::Vexa ().Answer (0xA0, Sim::VexaFake::PendingList ({}));
  Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ());

  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Located = nullptr;
  ASSERT_EQ (gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Located)), EFI_SUCCESS);
  EXPECT_FALSE (Located->HandlePendingTasks ()) << "nothing pending";
  Located->SyncHttpsCertToVEXA ();
  // Whatever the services did, they left the pool and the TPL as they found them
  // (checked at the end of the test).
}

EFI_STATUS
EFIAPI
FailingInstallMultiple (
  IN OUT EFI_HANDLE  *Handle,
  ...
  )
{
  return EFI_OUT_OF_RESOURCES;
}

TEST (Publication, AFailedInstallationIsTheEntryResult) {
  Sim::PlatformInfo ().Install ();
  gBS->InstallMultipleProtocolInterfaces = FailingInstallMultiple;

  EXPECT_EQ (RunEntry (), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE (Sim::HandlesWith (gTolmVexaHttpsBootCertMgmtProtocolGuid).empty ());
}

// ---------------------------------------------------------------------------
// Duplicate installation
// ---------------------------------------------------------------------------

TEST (DuplicateInstall, AnInstanceAlreadyPresentIsAssertedAndASecondOneInstalled) {
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  Earlier = {};
  EFI_HANDLE                               First   = Sim::InstallProtocol (gTolmVexaHttpsBootCertMgmtProtocolGuid, &Earlier);
  int                                      AssertsAtTrap = -1;

  Sim::Cpu ().OnBreakpoint = [&AssertsAtTrap] { AssertsAtTrap = static_cast<int>(Sim::DebugLog ().Asserts.size ()); };
  Sim::PlatformInfo ().Install ();

  EXPECT_EQ (RunEntry (), EFI_SUCCESS);
  ASSERT_EQ (Sim::DebugLog ().Asserts.size (), 1U) << Sim::DebugLog ().Dump ();
  EXPECT_EQ (Sim::DebugLog ().Asserts[0].Description, "&gTolmVexaHttpsBootCertMgmtProtocolGuid already installed in database");
  EXPECT_NE (Sim::DebugLog ().Asserts[0].File.find ("TolmVexaHttpsBootCertMgmtDxe"), std::string::npos) << Sim::DebugLog ().Asserts[0].File;
  EXPECT_EQ (Sim::Cpu ().Breakpoints, 1U);
  EXPECT_EQ (AssertsAtTrap, 1) << "the trap follows the report";

  std::vector<EFI_HANDLE>  Handles = Sim::HandlesWith (gTolmVexaHttpsBootCertMgmtProtocolGuid);
  ASSERT_EQ (Handles.size (), 2U);
  EXPECT_EQ (Handles[0], First);
  EXPECT_NE (Handles[1], gImageHandle);
  EXPECT_EQ (PublishedInterface (First), &Earlier);
  EXPECT_EQ (PublishedInterface (Handles[1])->HandlePendingTasks, &HandlePendingTasks);
}

TEST (DuplicateInstall, AFirstInstallationAssertsNothing) {
  Sim::PlatformInfo ().Install ();

  EXPECT_EQ (RunEntry (), EFI_SUCCESS);
  EXPECT_TRUE (Sim::DebugLog ().Asserts.empty ()) << Sim::DebugLog ().Dump ();
  EXPECT_EQ (Sim::Cpu ().Breakpoints, 0U);
}

} // namespace
