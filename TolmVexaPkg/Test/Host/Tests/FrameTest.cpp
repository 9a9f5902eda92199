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

//
// Only real hardware, told by a record with a zero IsSimics byte that the
// provider hands out with success, gives level 8. A provider that fails is not
// trusted, even when it hands out a record all the same.
//
TEST (SupportLevelGate, OnlyAPlatformReportedAsRealHardwareGivesLevel8) {
  struct Case {
    const char    *What;
    bool          Installed;
    UINT8         IsSimics;
    EFI_STATUS    Status;
    bool          NoRecord;
    UINT8         Level;
    const char    *Message;      ///< the one message, or nullptr
    UINTN         MessageLevel;
  };
  const Case  Cases[] = {
    { "no platform information",       false, 0x00, EFI_SUCCESS,      false, 0, nullptr,          0           },
    { "real hardware",                 true,  0x00, EFI_SUCCESS,      false, 8, HARDWARE_MESSAGE, DEBUG_INFO  },
    { "Simics",                        true,  0x01, EFI_SUCCESS,      false, 0, SIMICS_MESSAGE,   DEBUG_ERROR },
    { "any non-zero IsSimics byte",    true,  0x80, EFI_SUCCESS,      false, 0, SIMICS_MESSAGE,   DEBUG_ERROR },
    { "fails, with a record",          true,  0x00, EFI_NOT_READY,    false, 0, nullptr,          0           },
    { "fails without a record",        true,  0x00, EFI_DEVICE_ERROR, true,  0, nullptr,          0           },
    { "success but no record stored",  true,  0x00, EFI_SUCCESS,      true,  0, nullptr,          0           },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.What);
    Sim::CheckAtEnd ();
    Sim::Reset ();
    if (C.Installed) {
      Sim::PlatformInfo ().Install ();
    }

    Sim::PlatformInfo ().Record.IsSimics = C.IsSimics;
    Sim::PlatformInfo ().Fail (C.Status);
    Sim::PlatformInfo ().StoreNoRecord (C.NoRecord);

    EXPECT_EQ (GetBmcSupportLevel (), C.Level);
    EXPECT_EQ (Sim::PlatformInfo ().Calls (), C.Installed ? 1U : 0U);
    if (C.Message == nullptr) {
      EXPECT_TRUE (Sim::DebugLog ().Messages.empty ()) << Sim::DebugLog ().Dump ();
    } else {
      ASSERT_EQ (Sim::DebugLog ().Messages.size (), 1U) << Sim::DebugLog ().Dump ();
      EXPECT_EQ (Sim::DebugLog ().Messages[0].Text, C.Message);
      EXPECT_EQ (Sim::DebugLog ().Messages[0].Level, C.MessageLevel);
    }

    EXPECT_EQ (RunEntry (), (C.Level == 8) ? EFI_SUCCESS : EFI_UNSUPPORTED);
    EXPECT_EQ (Sim::HandlesWith (gTolmVexaHttpsBootCertMgmtProtocolGuid).size (), (C.Level == 8) ? 1U : 0U);
    EXPECT_TRUE (Sim::DebugLog ().Asserts.empty ()) << Sim::DebugLog ().Dump ();
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

} // namespace
