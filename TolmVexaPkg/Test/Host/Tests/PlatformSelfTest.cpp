/** @file
  The simulated platform's own tests: every detector is shown to fire (a fake
  that cannot fail proves nothing), and the services follow UEFI semantics.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include <gtest/gtest-spi.h>

#include <array>
#include <cstdio>
#include <unistd.h>

#include <Guid/ImageAuthentication.h>
#include <Guid/WinCertificate.h>

namespace {

EFI_GUID  mGuidA = { 0x11111111, 0x2222, 0x3333, { 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55 } };
EFI_GUID  mGuidB = { 0x66666666, 0x7777, 0x8888, { 0x99, 0x99, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA } };
EFI_GUID  mGuidC = { 0xCCCCCCCC, 0xDDDD, 0xEEEE, { 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01 } };
int       mInterfaceA;
int       mInterfaceB;

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------

TEST (PoolDetectors, LeakIsReportedWithItsSize) {
  VOID  *Buffer = AllocatePool (24);

  ASSERT_NE (Buffer, nullptr);
  EXPECT_NONFATAL_FAILURE (Sim::Pool ().ReportLeaks (), "pool leak: 24 bytes");
}

TEST (PoolDetectors, UnreleasedVexaResponseIsReportedAsLeak) {
  UINT8   Request[6] = { 0xA0 };
  UINT8   *Response  = nullptr;
  UINT32  Size       = 0;
  UINT16  Completion = 0;

  Sim::Vexa ().Install ();
  Sim::Vexa ().Answer (0xA0, Sim::VexaFake::PendingList ({}));
  ASSERT_EQ (Sim::Vexa ().Interface ()->SendCommand (Sim::Vexa ().Interface (), 0x809D, Request, 6, &Response, &Size, &Completion), EFI_SUCCESS);
  EXPECT_NONFATAL_FAILURE (Sim::Pool ().ReportLeaks (), "Vexa response to command 0x809d sub-command 0xa0");
}

//
// A test that leaks, run in a child process by the next test: the end-of-test
// check of main() must fail it.
//
TEST (SelfTestVictim, DISABLED_LeaksOneBlock) {
  AllocatePool (40);
}

TEST (PoolDetectors, EndOfTestCheckFailsALeakingTest) {
  char  Self[4096];
  ssize_t  Length = readlink ("/proc/self/exe", Self, sizeof (Self) - 1);

  ASSERT_GT (Length, 0);
  Self[Length] = 0;
  std::string  Command = std::string ("'") + Self + "' --gtest_also_run_disabled_tests "
                         "--gtest_filter=SelfTestVictim.DISABLED_LeaksOneBlock 2>&1";
  FILE         *Pipe   = popen (Command.c_str (), "r");

  ASSERT_NE (Pipe, nullptr);
  std::string  Output;
  char         Line[512];
  while (fgets (Line, sizeof (Line), Pipe) != nullptr) {
    Output += Line;
  }

  int  Status = pclose (Pipe);
  EXPECT_NE (Status, 0) << Output;
  EXPECT_NE (Output.find ("pool leak: 40 bytes"), std::string::npos) << Output;
  EXPECT_NE (Output.find ("[  FAILED  ] SelfTestVictim.DISABLED_LeaksOneBlock"), std::string::npos) << Output;
}

TEST (PoolDetectors, DoubleFreeIsCaught) {
  VOID        *Buffer = AllocatePool (8);
  EFI_STATUS  Status  = EFI_SUCCESS;

  ASSERT_EQ (gBS->FreePool (Buffer), EFI_SUCCESS);
  EXPECT_NONFATAL_FAILURE (Status = gBS->FreePool (Buffer), "double free");
  EXPECT_EQ (Status, EFI_INVALID_PARAMETER);
  ASSERT_EQ (Sim::Pool ().Findings ().size (), 1U);
}

TEST (PoolDetectors, ForeignPointersAreCaught) {
  UINT8       OnStack[16];
  UINT8       *Block = static_cast<UINT8 *>(AllocatePool (32));
  EFI_STATUS  Status = EFI_SUCCESS;

  EXPECT_NONFATAL_FAILURE (Status = gBS->FreePool (OnStack), "foreign pointer");
  EXPECT_EQ (Status, EFI_INVALID_PARAMETER);
  EXPECT_NONFATAL_FAILURE (Status = gBS->FreePool (Block + 4), "inside the block of 32 bytes");
  EXPECT_EQ (Status, EFI_INVALID_PARAMETER);
  EXPECT_NONFATAL_FAILURE (Status = gBS->FreePool (nullptr), "FreePool called with NULL");
  EXPECT_EQ (Status, EFI_INVALID_PARAMETER);
  FreePool (Block);
}

TEST (PoolDetectors, OverrunAndWriteAfterFreeAreCaught) {
  UINT8  *Block = static_cast<UINT8 *>(AllocatePool (10));

  // The pool's own checks, behind AddressSanitizer's back (the next test
  // shows the sanitizer catching the same accesses as they happen).
  ASAN_UNPOISON_MEMORY_REGION (Block + 10, 1);
  Block[10] = 0;
  EXPECT_NONFATAL_FAILURE (gBS->FreePool (Block), "buffer overrun");

  UINT8  *Other = static_cast<UINT8 *>(AllocatePool (10));
  gBS->FreePool (Other);
  ASAN_UNPOISON_MEMORY_REGION (Other + 3, 1);
  Other[3] = 1;
  EXPECT_NONFATAL_FAILURE (Sim::Pool ().ReportLeaks (), "write after free: byte 3");
}

//
// Under AddressSanitizer a one-byte read past any pool block (a response the
// Vexa allocated included) or of a released block ends the process with a
// report; each access runs in a child.
//
TEST (PoolDetectors, OverReadOfAPoolBlockIsReported) {
  if (!SIM_ADDRESS_SANITIZER) {
    GTEST_SKIP () << "built without AddressSanitizer (TOLM_HOST_SANITIZERS=OFF)";
  }

  volatile UINT8  Sink  = 0;
  UINT8           *Block = static_cast<UINT8 *>(AllocatePool (13));

  ASSERT_NE (Block, nullptr);
  Sink = Block[12];
  EXPECT_DEATH (Sink = Block[13], "AddressSanitizer: use-after-poison");
  EXPECT_DEATH (Sink = Block[13 + Sim::PoolState::GuardBytes - 1], "AddressSanitizer: use-after-poison");

  UINT8   Request[6] = { 0xA0 };
  UINT8   *Response  = nullptr;
  UINT32  Size       = 0;
  UINT16  Completion = 0;

  Sim::Vexa ().Install ();
  Sim::Vexa ().Answer (0xA0, Sim::VexaFake::PendingList ({}));
  ASSERT_EQ (Sim::Vexa ().Interface ()->SendCommand (Sim::Vexa ().Interface (), 0x809D, Request, 6, &Response, &Size, &Completion), EFI_SUCCESS);
  ASSERT_EQ (Size, 6U);
  Sink = Response[Size - 1];
  EXPECT_DEATH (Sink = Response[Size], "AddressSanitizer: use-after-poison");

  FreePool (Response);
  FreePool (Block);
  EXPECT_DEATH (Sink = Block[0], "AddressSanitizer: use-after-poison");
  (void)Sink;
}

//
// UndefinedBehaviorSanitizer does not recover: the first finding ends the run.
//
TEST (PoolDetectors, UndefinedBehaviourEndsTheRun) {
  if (!TOLM_HOST_SANITIZERS) {
    GTEST_SKIP () << "built without the sanitizers (TOLM_HOST_SANITIZERS=OFF)";
  }

  volatile INT32  Shift = 32;
  volatile UINT32  Sink  = 0;

  EXPECT_DEATH (Sink = 1U << Shift, "runtime error: shift exponent 32");
  (void)Sink;
}

TEST (PoolBehaviour, FreshBlocksHoldGarbageUnlessZeroed) {
  UINT8  *Raw    = static_cast<UINT8 *>(AllocatePool (64));
  UINT8  *Zeroed = static_cast<UINT8 *>(AllocateZeroPool (64));

  for (int Index = 0; Index < 64; Index++) {
    ASSERT_EQ (Raw[Index], Sim::PoolState::GarbageByte);
    ASSERT_EQ (Zeroed[Index], 0);
  }

  EXPECT_EQ (Sim::Pool ().SizeOf (Raw), 64U);
  FreePool (Raw);
  FreePool (Zeroed);
  EXPECT_EQ (Sim::Pool ().LiveCount (), 0U);
}

TEST (PoolBehaviour, ARequestBeyondTheMachinesMemoryIsRefused) {
  VOID  *Block = nullptr;

  EXPECT_EQ (gBS->AllocatePool (EfiBootServicesData, MAX_UINTN - 4, &Block), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (gBS->AllocatePool (EfiBootServicesData, Sim::PoolState::MaxBlock + 1, &Block), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (Sim::Pool ().LiveCount (), 0u);
}

TEST (PoolBehaviour, TheNthAllocationFailsOnDemand) {
  Sim::Pool ().FailNthAllocation (2);
  VOID  *First  = AllocatePool (1);
  VOID  *Second = AllocatePool (1);
  VOID  *Third  = AllocatePool (1);

  EXPECT_NE (First, nullptr);
  EXPECT_EQ (Second, nullptr);
  EXPECT_NE (Third, nullptr);
  EXPECT_EQ (Sim::Pool ().AllocationCount (), 3U);
  EXPECT_EQ (Sim::Pool ().FailedAllocations (), 1U);
  FreePool (First);
  FreePool (Third);
}

TEST (PoolBehaviour, SweepFailsEachAllocationInTurn) {
  std::vector<uint64_t>  Runs;
  std::vector<size_t>    Nulls;

  uint64_t  Count = Sim::SweepAllocationFailures (
                      [] { Sim::Variables ().Put ("X", mGuidA, 3, { 1 }); },
                      [&Runs, &Nulls](uint64_t K) {
    EXPECT_TRUE (Sim::Variables ().Has ("X", mGuidA)) << "Arrange runs before every run";
    VOID *Blocks[3];
    size_t Missing = 0;
    for (auto &Block : Blocks) {
      Block = AllocatePool (4);
      Missing += (Block == nullptr) ? 1 : 0;
    }

    for (auto &Block : Blocks) {
      if (Block != nullptr) {
        FreePool (Block);
      }
    }

    Runs.push_back (K);
    Nulls.push_back (Missing);
  }
                      );

  EXPECT_EQ (Count, 3U);
  EXPECT_EQ (Runs, (std::vector<uint64_t>{ 0, 1, 2, 3 }));
  EXPECT_EQ (Nulls, (std::vector<size_t>{ 0, 1, 1, 1 }));
}

// ---------------------------------------------------------------------------
// Handle database, TPL, unsupported slots
// ---------------------------------------------------------------------------

TEST (HandleDatabase, InstallMultipleCreatesAHandleAndRollsBackOnDuplicate) {
  EFI_HANDLE  Handle = nullptr;

  ASSERT_EQ (gBS->InstallMultipleProtocolInterfaces (&Handle, &mGuidA, &mInterfaceA, nullptr), EFI_SUCCESS);
  ASSERT_NE (Handle, nullptr);
  EXPECT_NE (Handle, gImageHandle);
  EXPECT_EQ (Sim::InterfaceOn (Handle, mGuidA), &mInterfaceA);

  // Duplicate on the same handle: refused, and B (before it in the call) rolled back.
  EFI_HANDLE  Same = Handle;
  EXPECT_EQ (
    gBS->InstallMultipleProtocolInterfaces (&Same, &mGuidB, &mInterfaceB, &mGuidA, &mInterfaceA, nullptr),
    EFI_INVALID_PARAMETER
    );
  EXPECT_EQ (Same, Handle);
  EXPECT_EQ (Sim::InterfaceOn (Handle, mGuidB), nullptr);

  // A failed call with a NULL handle leaves no handle behind.
  size_t      Before = Sim::HandleCount ();
  EFI_HANDLE  Fresh  = nullptr;
  EXPECT_EQ (gBS->InstallMultipleProtocolInterfaces (&Fresh, &mGuidB, &mInterfaceB, &mGuidB, &mInterfaceB, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Fresh, nullptr);
  EXPECT_EQ (Sim::HandleCount (), Before);
}

TEST (HandleDatabase, UninstallMultipleIsAllOrNothing) {
  EFI_HANDLE  Handle = nullptr;

  ASSERT_EQ (gBS->InstallMultipleProtocolInterfaces (&Handle, &mGuidA, &mInterfaceA, &mGuidB, &mInterfaceB, nullptr), EFI_SUCCESS);
  // Wrong interface for B: nothing is removed.
  EXPECT_EQ (gBS->UninstallMultipleProtocolInterfaces (Handle, &mGuidA, &mInterfaceA, &mGuidB, &mInterfaceA, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Sim::InterfaceOn (Handle, mGuidA), &mInterfaceA);
  EXPECT_EQ (Sim::InterfaceOn (Handle, mGuidB), &mInterfaceB);

  EXPECT_EQ (gBS->UninstallMultipleProtocolInterfaces (Handle, &mGuidA, &mInterfaceA, &mGuidB, &mInterfaceB, nullptr), EFI_SUCCESS);
  EXPECT_FALSE (Sim::IsHandle (Handle)) << "a handle without protocols disappears";
}

TEST (HandleDatabase, LookupsFollowUefiSemantics) {
  VOID        *Interface = &mInterfaceB;
  EFI_HANDLE  First      = Sim::InstallProtocol (mGuidA, &mInterfaceA);
  EFI_HANDLE  Second     = Sim::InstallProtocol (mGuidA, &mInterfaceB);

  EXPECT_EQ (gBS->LocateProtocol (&mGuidA, nullptr, &Interface), EFI_SUCCESS);
  EXPECT_EQ (Interface, &mInterfaceA) << "the first instance installed";
  EXPECT_EQ (gBS->LocateProtocol (&mGuidC, nullptr, &Interface), EFI_NOT_FOUND);
  EXPECT_EQ (Interface, nullptr);
  EXPECT_EQ (gBS->HandleProtocol (First, &mGuidB, &Interface), EFI_UNSUPPORTED);
  EXPECT_EQ (gBS->HandleProtocol (Second, &mGuidA, &Interface), EFI_SUCCESS);
  EXPECT_EQ (Interface, &mInterfaceB);

  UINTN       Count   = 0;
  EFI_HANDLE  *Buffer = nullptr;
  ASSERT_EQ (gBS->LocateHandleBuffer (ByProtocol, &mGuidA, nullptr, &Count, &Buffer), EFI_SUCCESS);
  ASSERT_EQ (Count, 2U);
  EXPECT_EQ (Buffer[0], First);
  EXPECT_EQ (Buffer[1], Second);
  EXPECT_TRUE (Sim::Pool ().IsLive (Buffer)) << "the caller owns a pool buffer";
  FreePool (Buffer);
  EXPECT_EQ (gBS->LocateHandleBuffer (ByProtocol, &mGuidC, nullptr, &Count, &Buffer), EFI_NOT_FOUND);
}

TEST (BootServices, EverySlotIsFilledAndUnimplementedOnesAnswerUnsupported) {
  const UINT8  *Table = reinterpret_cast<const UINT8 *>(gBS);

  for (size_t Offset = sizeof (EFI_TABLE_HEADER); Offset < sizeof (EFI_BOOT_SERVICES); Offset += sizeof (VOID *)) {
    VOID  *Slot;
    memcpy (&Slot, Table + Offset, sizeof (Slot));
    EXPECT_NE (Slot, nullptr) << "boot services slot at offset " << Offset;
  }

  Table = reinterpret_cast<const UINT8 *>(gRT);
  for (size_t Offset = sizeof (EFI_TABLE_HEADER); Offset < sizeof (EFI_RUNTIME_SERVICES); Offset += sizeof (VOID *)) {
    VOID  *Slot;
    memcpy (&Slot, Table + Offset, sizeof (Slot));
    EXPECT_NE (Slot, nullptr) << "runtime services slot at offset " << Offset;
  }

  EXPECT_EQ (gBS->SignalEvent (nullptr), EFI_UNSUPPORTED);
  ASSERT_EQ (Sim::UnsupportedCalls ().size (), 1U);
  EXPECT_EQ (Sim::UnsupportedCalls ()[0], "BootServices+0x" + [] {
    char Text[8];
    snprintf (Text, sizeof (Text), "%X", (unsigned)OFFSET_OF (EFI_BOOT_SERVICES, SignalEvent));
    return std::string (Text);
  }());
}

TEST (Tpl, RaiseToALowerLevelIsAFailure) {
  EFI_TPL  Old = gBS->RaiseTPL (TPL_NOTIFY);

  EXPECT_EQ (Old, TPL_APPLICATION);
  EXPECT_EQ (Sim::Tpl ().Current, TPL_NOTIFY);
  EXPECT_NONFATAL_FAILURE (gBS->RaiseTPL (TPL_CALLBACK), "below the current TPL");
  Sim::Tpl ().Current = TPL_NOTIFY;
  gBS->RestoreTPL (Old);
  EXPECT_EQ (Sim::Tpl ().Current, TPL_APPLICATION);
  ASSERT_EQ (Sim::Tpl ().Calls.size (), 3U);
  EXPECT_TRUE (Sim::Tpl ().Calls[0].Raise);
  EXPECT_FALSE (Sim::Tpl ().Calls[2].Raise);
}

TEST (Tpl, ATplLeftRaisedFailsTheTest) {
  gBS->RaiseTPL (TPL_CALLBACK);
  EXPECT_NONFATAL_FAILURE (Sim::CheckAtEnd (), "TPL was left at 8");
}

// ---------------------------------------------------------------------------
// Variables and time
// ---------------------------------------------------------------------------

CHAR16  mNameDev2[] = { 'H', 't', 't', 'p', 's', 'C', 'e', 'r', 't', 'D', 'e', 'v', '2', 0 };

TEST (VariableStore, GetFollowsUefiSemantics) {
  UINT8   Data[8];
  UINTN   Size       = 2;
  UINT32  Attributes = 0;

  Sim::Variables ().Put ("HttpsCertDev2", gTolmVariableGuid, 0x07, { 1, 2, 3, 4 });
  EXPECT_EQ (gRT->GetVariable (mNameDev2, &gTolmVariableGuid, &Attributes, &Size, Data), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ (Size, 4U);
  EXPECT_EQ (Attributes, 0x07U);
  Size = sizeof (Data);
  EXPECT_EQ (gRT->GetVariable (mNameDev2, &gTolmVariableGuid, &Attributes, &Size, Data), EFI_SUCCESS);
  EXPECT_EQ (Size, 4U);
  EXPECT_EQ (Data[3], 4);
  EXPECT_EQ (gRT->GetVariable (mNameDev2, &mGuidA, nullptr, &Size, Data), EFI_NOT_FOUND) << "keyed by name and GUID";

  ASSERT_EQ (Sim::Variables ().GetCalls ().size (), 3U);
  EXPECT_EQ (Sim::Variables ().GetCalls ()[0].Name, "HttpsCertDev2");
  EXPECT_EQ (Sim::Variables ().GetCalls ()[0].DataSizeIn, 2U);
  EXPECT_EQ (Sim::Variables ().GetCalls ()[0].DataSizeOut, 4U);
}

TEST (VariableStore, PlainWritesStoreReplaceAndDelete) {
  UINT8  Data[3] = { 9, 8, 7 };

  EXPECT_EQ (gRT->SetVariable (mNameDev2, &gTolmVariableGuid, 0x02, 3, Data), EFI_SUCCESS);
  EXPECT_EQ (Sim::Variables ().Find ("HttpsCertDev2", gTolmVariableGuid)->Data, (std::vector<UINT8>{ 9, 8, 7 }));
  EXPECT_EQ (gRT->SetVariable (mNameDev2, &gTolmVariableGuid, 0x03, 3, Data), EFI_INVALID_PARAMETER) << "attributes differ";
  EXPECT_EQ (gRT->SetVariable (mNameDev2, &gTolmVariableGuid, 0x02, 0, nullptr), EFI_SUCCESS);
  EXPECT_FALSE (Sim::Variables ().Has ("HttpsCertDev2", gTolmVariableGuid));
  EXPECT_EQ (gRT->SetVariable (mNameDev2, &gTolmVariableGuid, 0x02, 0, nullptr), EFI_NOT_FOUND);

  auto  Calls = Sim::Variables ().SetCalls ();
  ASSERT_EQ (Calls.size (), 4U);
  EXPECT_EQ (Calls[0].Data, (std::vector<UINT8>{ 9, 8, 7 }));
  EXPECT_EQ (Calls[0].Attributes, 0x02U);
  EXPECT_EQ (Calls[3].Status, EFI_NOT_FOUND);
}

/// An EFI_VARIABLE_AUTHENTICATION_2 without certificate data, then Payload.
std::vector<UINT8>
AuthWrite (
  const std::vector<UINT8>  &Payload
  )
{
  std::vector<UINT8>  Bytes (40, 0);
  EFI_TIME            Time = { 2026, 12, 7, 1, 2, 3 };

  memcpy (Bytes.data (), &Time, sizeof (Time));
  Bytes[16] = 24;
  Bytes[20] = 0x00;
  Bytes[21] = 0x02;
  Bytes[22] = 0xF1;
  Bytes[23] = 0x0E;
  memcpy (&Bytes[24], &gEfiCertPkcs7Guid, sizeof (EFI_GUID));
  Bytes.insert (Bytes.end (), Payload.begin (), Payload.end ());
  return Bytes;
}

EFI_STATUS
SetDev2 (
  UINT32              Attributes,
  std::vector<UINT8>  Bytes
  )
{
  return gRT->SetVariable (mNameDev2, &gTolmVariableGuid, Attributes, Bytes.size (), Bytes.empty () ? nullptr : Bytes.data ());
}

TEST (VariablePolicy, AcceptingStoresThePayloadAfterAWellFormedDescriptor) {
  EXPECT_EQ (SetDev2 (0x23, AuthWrite ({ 0x30, 0x82 })), EFI_SUCCESS);
  auto  Stored = Sim::Variables ().Find ("HttpsCertDev2", gTolmVariableGuid);
  ASSERT_TRUE (Stored.has_value ());
  EXPECT_EQ (Stored->Data, (std::vector<UINT8>{ 0x30, 0x82 }));
  EXPECT_EQ (Stored->Attributes, 0x23U);

  EXPECT_EQ (SetDev2 (0x00, {}), EFI_SECURITY_VIOLATION) << "an authenticated variable needs an authenticated delete";
  EXPECT_EQ (SetDev2 (0x23, AuthWrite ({})), EFI_SUCCESS) << "descriptor alone deletes";
  EXPECT_FALSE (Sim::Variables ().Has ("HttpsCertDev2", gTolmVariableGuid));
  EXPECT_EQ (SetDev2 (0x23, AuthWrite ({})), EFI_NOT_FOUND);
}

TEST (VariablePolicy, AcceptingRefusesMalformedDescriptors) {
  struct Case {
    const char    *What;
    size_t        Offset;
    UINT8         Value;
  };
  const Case  Cases[] = {
    { "Pad1 set",                  OFFSET_OF (EFI_TIME, Pad1),           1    },
    { "Nanosecond set",            OFFSET_OF (EFI_TIME, Nanosecond),     1    },
    { "TimeZone set",              OFFSET_OF (EFI_TIME, TimeZone),       1    },
    { "Daylight set",              OFFSET_OF (EFI_TIME, Daylight),       1    },
    { "Pad2 set",                  OFFSET_OF (EFI_TIME, Pad2),           1    },
    { "dwLength 25",               16,                                   25   },
    { "wRevision 0x0100",          21,                                   0x01 },
    { "wCertificateType 0x0EF0",   22,                                   0xF0 },
    { "CertType not PKCS7",        24,                                   0x00 },
  };

  Sim::Variables ().Put ("HttpsCertDev2", gTolmVariableGuid, 0x23, { 7 });
  for (const auto &C : Cases) {
    std::vector<UINT8>  Bytes = AuthWrite ({ 1, 2, 3 });
    Bytes[C.Offset] = C.Value;
    EXPECT_EQ (SetDev2 (0x23, Bytes), EFI_SECURITY_VIOLATION) << C.What;
  }

  EXPECT_EQ (SetDev2 (0x23, std::vector<UINT8>(39, 0)), EFI_SECURITY_VIOLATION) << "shorter than a descriptor";
  EXPECT_EQ (Sim::Variables ().Find ("HttpsCertDev2", gTolmVariableGuid)->Data, std::vector<UINT8>{ 7 }) << "nothing changed";
}

TEST (VariablePolicy, RefusingAnswersSecurityViolationToEveryAuthenticatedWrite) {
  Sim::Variables ().SetPolicy (Sim::AuthPolicy::Refusing);
  Sim::Variables ().Put ("HttpsCertDev2", gTolmVariableGuid, 0x23, { 7 });
  EXPECT_EQ (SetDev2 (0x23, AuthWrite ({ 1 })), EFI_SECURITY_VIOLATION);
  EXPECT_EQ (SetDev2 (0x23, AuthWrite ({})), EFI_SECURITY_VIOLATION);
  EXPECT_EQ (SetDev2 (0x02, { 1 }), EFI_INVALID_PARAMETER) << "plain writes still follow the usual rules";
  EXPECT_EQ (Sim::Variables ().Find ("HttpsCertDev2", gTolmVariableGuid)->Data, std::vector<UINT8>{ 7 });
}

TEST (VariableStore, FailuresAreInjectedByNameAndByCount) {
  UINT8  Data[4];
  UINTN  Size = sizeof (Data);

  Sim::Variables ().Put ("HttpsCertDev2", gTolmVariableGuid, 0x07, { 1 });
  Sim::Variables ().FailGet ("HttpsCertDev2", EFI_DEVICE_ERROR);
  EXPECT_EQ (gRT->GetVariable (mNameDev2, &gTolmVariableGuid, nullptr, &Size, Data), EFI_DEVICE_ERROR);

  Sim::Variables ().FailNthSet (2, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (SetDev2 (0x07, { 2 }), EFI_SUCCESS);
  EXPECT_EQ (SetDev2 (0x07, { 3 }), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (Sim::Variables ().Find ("HttpsCertDev2", gTolmVariableGuid)->Data, std::vector<UINT8>{ 2 });
  EXPECT_EQ (SetDev2 (0x07, { 4 }), EFI_SUCCESS);
}

TEST (Time, GetTimeAnswersNonZeroPadsAndCanFail) {
  EFI_TIME  Time;

  ASSERT_EQ (gRT->GetTime (&Time, nullptr), EFI_SUCCESS);
  EXPECT_NE (Time.Nanosecond, 0U);
  EXPECT_NE (Time.TimeZone, 0);
  EXPECT_NE (Time.Daylight, 0);
  EXPECT_NE (Time.Pad1, 0);
  EXPECT_NE (Time.Pad2, 0);
  Sim::Variables ().FailGetTime (EFI_DEVICE_ERROR);
  EXPECT_EQ (gRT->GetTime (&Time, nullptr), EFI_DEVICE_ERROR);
}

// ---------------------------------------------------------------------------
// Ports, CPU, debug log, performance markers
// ---------------------------------------------------------------------------

class Latch : public Sim::PortDevice {
public:
  UINT8
  Read (
    UINT16  Port
    ) override { return Value; }

  void
  Write (
    UINT16  Port,
    UINT8   NewValue
    ) override { Value = NewValue; }

  UINT8    Value = 0;
};

TEST (PortIo, UnmappedPortsFloatAndMappedOnesReachTheDevice) {
  Latch  Device;

  EXPECT_EQ (IoRead8 (0x80), 0xFF);
  IoWrite8 (0x80, 0x12);                 // swallowed
  Sim::Ports ().Map (0x70, 2, &Device);
  IoWrite8 (0x70, 0x6F);
  EXPECT_EQ (IoRead8 (0x71), 0x6F) << "one latch answers both ports";
  IoOr8 (0x70, 0x80);                    // real IoLib read-modify-write
  EXPECT_EQ (Device.Value, 0xEF);
  EXPECT_EQ (IoRead16 (0x71), 0xFFEF) << "16-bit access split into bytes, 0x72 unmapped";
  EXPECT_EQ (Sim::Ports ().Written (0x70), (std::vector<UINT8>{ 0x6F, 0xEF }));
  EXPECT_EQ (Sim::Ports ().Written (0x80), std::vector<UINT8>{ 0x12 });
}

TEST (CpuAndDebugLog, AnAssertionIsRecordedThenTrapsAndResumes) {
  int  Hooked = 0;

  Sim::Cpu ().OnBreakpoint = [&Hooked] { Hooked++; };
  DEBUG ((DEBUG_INFO, "%a=%d %r\n", "Level", 8, EFI_SECURITY_VIOLATION));
  ASSERT (1 == 2);
  ASSERT_EQ (Sim::DebugLog ().Messages.size (), 1U);
  EXPECT_EQ (Sim::DebugLog ().Messages[0].Level, static_cast<UINTN>(DEBUG_INFO));
  EXPECT_EQ (Sim::DebugLog ().Messages[0].Text, "Level=8 Security Violation\n");
  ASSERT_EQ (Sim::DebugLog ().Asserts.size (), 1U);
  EXPECT_EQ (Sim::DebugLog ().Asserts[0].Description, "1 == 2");
  EXPECT_EQ (Sim::Cpu ().Breakpoints, 1U);
  EXPECT_EQ (Hooked, 1);
}

TEST (PerformanceMarkers, RecordedOnceTheProtocolIsInstalled) {
  PERF_START (nullptr, "Token", "Module", 0);
  EXPECT_EQ (Sim::Performance ().Records ().size (), 0U);
  Sim::Performance ().Install ();
  PERF_END (nullptr, "Token", "Module", 0);

  ASSERT_EQ (Sim::Performance ().Calls ().size (), 2U);
  EXPECT_EQ (Sim::Performance ().Calls ()[1].Module, "Module");
  ASSERT_EQ (Sim::Performance ().Records ().size (), 1U);
  EXPECT_EQ (Sim::Performance ().Records ()[0].Attribute, PerfEndEntry);
  EXPECT_EQ (Sim::Performance ().Records ()[0].String, "Token");
}

// ---------------------------------------------------------------------------
// Outside protocols
// ---------------------------------------------------------------------------

TEST (Vexa, AnswersFromItsScriptAndRecordsEachRequest) {
  UINT8   Request[8] = { 0xA2, 0, 2, 0, 0, 0, 3, 0 };
  UINT8   *Response  = nullptr;
  UINT32  Size       = 0;
  UINT16  Completion = 0xFFFF;
  auto    *Kiv       = Sim::Vexa ().Interface ();

  Sim::Vexa ().Install ();
  Sim::Vexa ().AnswerImportCert (3, Sim::VexaFake::ImportCert (3, { 0xDE, 0xAD }));
  Sim::Vexa ().Queue ({ EFI_TIMEOUT, 0xC3 });

  EXPECT_EQ (Kiv->SendCommand (Kiv, 0x809D, Request, 8, &Response, &Size, &Completion), EFI_TIMEOUT) << "queued first";
  EXPECT_EQ (Completion, 0xC3);
  gBS->FreePool (Response);

  ASSERT_EQ (Kiv->SendCommand (Kiv, 0x809D, Request, 8, &Response, &Size, &Completion), EFI_SUCCESS);
  EXPECT_EQ (Size, 10U);
  EXPECT_EQ (Response[6], 3);
  EXPECT_EQ (Response[8], 0xDE);
  EXPECT_TRUE (Sim::Pool ().IsLive (Response));
  gBS->FreePool (Response);

  Request[6] = 4;
  EXPECT_NONFATAL_FAILURE (Kiv->SendCommand (Kiv, 0x809D, Request, 8, &Response, &Size, &Completion), "nobody scripted");

  ASSERT_EQ (Sim::Vexa ().Requests ().size (), 3U);
  EXPECT_EQ (Sim::Vexa ().Requests ()[1].Bytes, (std::vector<UINT8>{ 0xA2, 0, 2, 0, 0, 0, 3, 0 }));
  EXPECT_EQ (Sim::Vexa ().Requests ()[1].RequestPointer, Request);
}

TEST (PlatformInfo, CanBeSimicsFailOrStoreNoRecord) {
  PLATFORM_INFO_PROTOCOL  *Protocol = nullptr;
  PLATFORM_INFO           *Info     = nullptr;

  EXPECT_EQ (gBS->LocateProtocol (&gPlatformInfoProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Protocol)), EFI_NOT_FOUND);
  Sim::PlatformInfo ().Install ();
  ASSERT_EQ (gBS->LocateProtocol (&gPlatformInfoProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Protocol)), EFI_SUCCESS);
  Sim::PlatformInfo ().SetIsSimics (true);
  ASSERT_EQ (Protocol->GetPlatformInfo (&Info), EFI_SUCCESS);
  EXPECT_EQ (reinterpret_cast<UINT8 *>(Info)[0x51], 1);

  Info = nullptr;
  Sim::PlatformInfo ().StoreNoRecord ();
  EXPECT_EQ (Protocol->GetPlatformInfo (&Info), EFI_SUCCESS);
  EXPECT_EQ (Info, nullptr);
  Sim::PlatformInfo ().Fail (EFI_NOT_READY);
  EXPECT_EQ (Protocol->GetPlatformInfo (&Info), EFI_NOT_READY);
  EXPECT_EQ (Info, nullptr);
  Sim::PlatformInfo ().StoreNoRecord (false);
  EXPECT_EQ (Protocol->GetPlatformInfo (&Info), EFI_NOT_READY);
  EXPECT_EQ (Info, &Sim::PlatformInfo ().Record) << "a failing provider still hands out its record";
  EXPECT_EQ (Sim::PlatformInfo ().Calls (), 4U);
}

TEST (DebugOutput, CapturesTextAndCountsMaskQueries) {
  PLATFORM_DEBUG_OUTPUT_PROTOCOL  *Protocol = nullptr;

  Sim::DebugOutput ().Install ();
  Sim::DebugOutput ().Mask = 0x80000040;
  ASSERT_EQ (gBS->LocateProtocol (&gPlatformDebugOutputProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Protocol)), EFI_SUCCESS);
  EXPECT_EQ (Protocol->GetLevelMask (0), 0x80000040U);
  Protocol->Write ("abc", 2);
  EXPECT_EQ (Sim::DebugOutput ().Text, "ab");
  EXPECT_EQ (Sim::DebugOutput ().GetLevelMaskCalls (), 1U);
}

} // namespace
