/** @file
  The simulated platform as a whole: the system table, the image handle, the
  reset before every test and the checks after it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimInternal.h"

#include <Protocol/LoadedImage.h>

#include <cstdio>

extern "C" {
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

// DxePerformanceLib keeps the protocol once found; every test starts without it.
extern EDKII_PERFORMANCE_MEASUREMENT_PROTOCOL  *mPerformanceMeasurement;
}

namespace Sim {

namespace {

EFI_SYSTEM_TABLE           mSystemTable;
EFI_BOOT_SERVICES          mBootServices;
EFI_RUNTIME_SERVICES       mRuntimeServices;
EFI_LOADED_IMAGE_PROTOCOL  mLoadedImage;
EFI_HANDLE                 mImageHandle;
CHAR16                     mFirmwareVendor[] = { 'T', 'o', 'l', 'm', 'S', 'i', 'm', 0 };

} // namespace

void
Reset (
  )
{
  Pool ().Clear ();
  Internal::ClearHandles ();
  Internal::ClearUnsupported ();
  Internal::ClearTimers ();
  Tpl () = TplState {};
  Variables ().Clear ();
  Ports ().Clear ();
  Cpu () = CpuState {};
  Performance ().Clear ();
  DebugLog () = DebugLogState {};

  PlatformInfoFake  &Info = PlatformInfo ();
  Info.mPublished.Forget ();
  Info.mStatus   = EFI_SUCCESS;
  Info.mNoRecord = false;
  Info.mCalls    = 0;
  memset (&Info.Record, 0x5A, sizeof (Info.Record));
  Info.Record.IsSimics = 0;

  DebugOutputFake  &Output = DebugOutput ();
  Output.mPublished.Forget ();
  Output.Mask    = 0xFFFFFFFF;
  Output.Text.clear ();
  Output.Writes.clear ();
  Output.Selectors.clear ();

  VexaFake  &Kiv = Vexa ();
  Kiv.mPublished.Forget ();
  Kiv.mQueue.clear ();
  Kiv.mKeyed.clear ();
  Kiv.mRequests.clear ();
  Kiv.UnscriptedIsFailure = true;
  Kiv.OnRequest           = nullptr;

  Internal::BuildBootServices (&mBootServices);
  Internal::BuildRuntimeServices (&mRuntimeServices);
  memset (&mSystemTable, 0, sizeof (mSystemTable));
  mSystemTable.Hdr.Signature    = EFI_SYSTEM_TABLE_SIGNATURE;
  mSystemTable.Hdr.Revision     = EFI_SYSTEM_TABLE_REVISION;
  mSystemTable.Hdr.HeaderSize   = sizeof (mSystemTable);
  mSystemTable.FirmwareVendor   = mFirmwareVendor;
  mSystemTable.FirmwareRevision = 0x00010000;
  mSystemTable.BootServices     = &mBootServices;
  mSystemTable.RuntimeServices  = &mRuntimeServices;
  Internal::ResetConfigurationTables (&mSystemTable);

  mImageHandle = Internal::CreateHandle ();
  memset (&mLoadedImage, 0, sizeof (mLoadedImage));
  mLoadedImage.Revision        = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  mLoadedImage.SystemTable     = &mSystemTable;
  mLoadedImage.ImageCodeType   = EfiBootServicesCode;
  mLoadedImage.ImageDataType   = EfiBootServicesData;
  mBootServices.InstallProtocolInterface (&mImageHandle, &gEfiLoadedImageProtocolGuid, EFI_NATIVE_INTERFACE, &mLoadedImage);

  mPerformanceMeasurement = nullptr;
  UefiBootServicesTableLibConstructor (mImageHandle, &mSystemTable);
  UefiRuntimeServicesTableLibConstructor (mImageHandle, &mSystemTable);
}

void
CheckAtEnd (
  )
{
  Pool ().ReportLeaks ();
  if (Clock ().OpenEvents != 0) {
    ADD_FAILURE () << Clock ().OpenEvents << " event(s) left open";
  }

  if (Tpl ().Current != TPL_APPLICATION) {
    ADD_FAILURE () << "the TPL was left at " << Tpl ().Current << " instead of TPL_APPLICATION (" << TPL_APPLICATION << ")";
    Tpl ().Current = TPL_APPLICATION;
  }
}

EFI_HANDLE
ImageHandle (
  )
{
  return mImageHandle;
}

EFI_SYSTEM_TABLE *
SystemTable (
  )
{
  return &mSystemTable;
}

std::string
Ascii (
  const CHAR16  *Text
  )
{
  std::string  Result;

  if (Text == nullptr) {
    return "(null)";
  }

  for ( ; *Text != 0; Text++) {
    Result.push_back ((*Text >= 0x20 && *Text < 0x7F) ? static_cast<char>(*Text) : '?');
  }

  return Result;
}

std::u16string
Wide (
  const std::string  &Ascii
  )
{
  return std::u16string (Ascii.begin (), Ascii.end ());
}

std::string
GuidText (
  const EFI_GUID  &Guid
  )
{
  char  Text[40];

  snprintf (
    Text,
    sizeof (Text),
    "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
    Guid.Data1,
    Guid.Data2,
    Guid.Data3,
    Guid.Data4[0],
    Guid.Data4[1],
    Guid.Data4[2],
    Guid.Data4[3],
    Guid.Data4[4],
    Guid.Data4[5],
    Guid.Data4[6],
    Guid.Data4[7]
    );
  return Text;
}

DebugLogState &
DebugLog (
  )
{
  static DebugLogState  State;

  return State;
}

std::vector<DebugMessage>
DebugLogState::Containing (
  const std::string  &Needle
  ) const
{
  std::vector<DebugMessage>  Found;

  for (const auto &Message : Messages) {
    if (Message.Text.find (Needle) != std::string::npos) {
      Found.push_back (Message);
    }
  }

  return Found;
}

std::string
DebugLogState::Dump (
  ) const
{
  std::string  Text;
  char         Level[16];

  for (const auto &Message : Messages) {
    snprintf (Level, sizeof (Level), "[%08llX] ", static_cast<unsigned long long>(Message.Level));
    Text += Level + Message.Text;
    if (Text.empty () || (Text.back () != '\n')) {
      Text += '\n';
    }
  }

  for (const auto &Report : Asserts) {
    Text += "ASSERT " + Report.File + "(" + std::to_string (Report.Line) + "): " + Report.Description + "\n";
  }

  return Text;
}

} // namespace Sim
