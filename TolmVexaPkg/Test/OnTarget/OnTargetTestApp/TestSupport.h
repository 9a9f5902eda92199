/** @file
  On-target test application: what its scenario groups share. The case
  recorder and its counters, whole files of the application's volume, images
  started from it, variables read into pool buffers, slot values, their dump
  and the unsigned slot write the target's variable policy accepts, the
  update flag, and the command line.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef ON_TARGET_TEST_SUPPORT_H_
#define ON_TARGET_TEST_SUPPORT_H_

#include <Uefi.h>
#include <Guid/FileInfo.h>
#include <Guid/ImageAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Guid/WinCertificate.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/SimpleFileSystem.h>

#include "../../../Feature/TolmVexaHttpsBootCertMgmtDxe/PoolBuffer.h"
#include "../Include/OnTargetSim.h"

namespace OnTarget {

using TolmVexa::PoolBuffer;

//
// Sizes and attributes of the slots, spelt out here on purpose (not taken
// from the driver's structures) so that a layout slip in the driver shows.
//
constexpr UINT8   SLOT_COUNT      = 4;
constexpr UINT32  SLOT_ATTRIBUTES = 0x23;   // non-volatile, boot service, time-based authenticated
constexpr UINTN   DESCRIPTOR_SIZE = 40;     // EFI_VARIABLE_AUTHENTICATION_2 without certificate data
constexpr UINTN   LIST_PREFIX     = 44;     // signature list header and owner, before the DER bytes

constexpr const wchar_t  *SLOT_NAMES[SLOT_COUNT] = {
  L"HttpsCertDev1", L"HttpsCertDev2", L"HttpsCertDev3", L"HttpsCertDev4"
};
constexpr const wchar_t  *FLAG_NAME = L"TolmPr";

inline CHAR16 *
Wide (
  IN const wchar_t  *Text
  )
{
  return (CHAR16 *)Text;
}

// ---------------------------------------------------------------------------
// Cases
// ---------------------------------------------------------------------------

/// Verdicts of the run, printed in the application's closing line.
inline UINTN  mPassed;
inline UINTN  mFailed;

/**
  One named case: passes when every expectation held. The verdict line is
  printed and counted when the case leaves scope.
**/
class TestCase {
public:
  explicit TestCase (
    IN CONST CHAR8  *Name
    )
    : mName (Name), mFailures (0)
  {
    AsciiPrint ("OT: CASE %a\r\n", Name);
  }

  ~TestCase (
    )
  {
    (*((mFailures == 0) ? &mPassed : &mFailed))++;
    AsciiPrint ("OT: %a %a\r\n", (mFailures == 0) ? "PASS" : "FAIL", mName);
  }

  TestCase (const TestCase &)            = delete;
  TestCase &operator= (const TestCase &) = delete;

  BOOLEAN
  Failed (
    ) const
  {
    return mFailures != 0;
  }

  CONST CHAR8  *mName;
  UINTN        mFailures;
};

/**
  Records one expectation of a case; prints the detail when it does not hold.

  @return Condition.
**/
inline
BOOLEAN
EFIAPI
Expect (
  IN OUT TestCase     &Case,
  IN     BOOLEAN      Condition,
  IN     CONST CHAR8  *Format,
  ...
  )
{
  VA_LIST  Marker;
  CHAR8    Detail[160];

  if (!Condition) {
    VA_START (Marker, Format);
    AsciiVSPrint (Detail, sizeof (Detail), Format, Marker);
    VA_END (Marker);
    AsciiPrint ("OT:   ! %a: %a\r\n", Case.mName, Detail);
    Case.mFailures++;
  }

  return Condition;
}

// ---------------------------------------------------------------------------
// Bytes in pool
// ---------------------------------------------------------------------------

/// A pool buffer and the size of what it holds.
struct Blob {
  PoolBuffer<UINT8>    Data;
  UINTN                Size = 0;
};

/**
  Reads a whole file of the volume's root into File.

  @retval EFI_NOT_FOUND  No such file.
**/
inline
EFI_STATUS
ReadVolumeFile (
  IN  EFI_HANDLE    Volume,
  IN  CONST CHAR16  *Name,
  OUT Blob          &File
  )
{
  EFI_STATUS                       Status;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *FileSystem;
  EFI_FILE_PROTOCOL                *Root;
  EFI_FILE_PROTOCOL                *Handle;
  UINTN                            InfoSize;
  PoolBuffer<EFI_FILE_INFO>        Info;

  File.Data.Reset (NULL);
  File.Size = 0;
  Status    = gBS->HandleProtocol (Volume, &gEfiSimpleFileSystemProtocolGuid, (VOID **)&FileSystem);
  if (!EFI_ERROR (Status)) {
    Status = FileSystem->OpenVolume (FileSystem, &Root);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = Root->Open (Root, &Handle, (CHAR16 *)Name, EFI_FILE_MODE_READ, 0);
  Root->Close (Root);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  InfoSize = SIZE_OF_EFI_FILE_INFO + 512;
  Info.Reset ((EFI_FILE_INFO *)AllocateZeroPool (InfoSize));
  Status = (Info.Get () == NULL) ? EFI_OUT_OF_RESOURCES : Handle->GetInfo (Handle, &gEfiFileInfoGuid, &InfoSize, Info.Get ());
  if (!EFI_ERROR (Status)) {
    File.Size = (UINTN)Info.Get ()->FileSize;
    File.Data.Reset ((UINT8 *)AllocatePool (MAX (File.Size, (UINTN)1)));
    Status = (File.Data.Get () == NULL) ? EFI_OUT_OF_RESOURCES : Handle->Read (Handle, &File.Size, File.Data.Get ());
  }

  Handle->Close (Handle);
  if (EFI_ERROR (Status)) {
    File.Data.Reset (NULL);
    File.Size = 0;
  }

  return Status;
}

/**
  Loads and starts an image from the volume's root.

  @param[out] Image  The image handle, when wanted (meaningless when the
                     entry point failed: the firmware has unloaded it then).

  @return The status of LoadImage, or else the image's entry point status.
**/
inline
EFI_STATUS
StartVolumeImage (
  IN  EFI_HANDLE    Volume,
  IN  CONST CHAR16  *Name,
  OUT EFI_HANDLE    *Image OPTIONAL
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  Handle;

  PoolBuffer<EFI_DEVICE_PATH_PROTOCOL>  Path (FileDevicePath (Volume, Name));
  Handle = NULL;
  if (Image != NULL) {
    *Image = NULL;
  }

  if (Path.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = gBS->LoadImage (FALSE, gImageHandle, Path.Get (), NULL, 0, &Handle);
  if (Image != NULL) {
    *Image = Handle;
  }

  return EFI_ERROR (Status) ? Status : gBS->StartImage (Handle, NULL, NULL);
}

/**
  Reads a variable into Value.

  @return The status of GetVariable.
**/
inline
EFI_STATUS
ReadVariable (
  IN  CONST CHAR16    *Name,
  IN  CONST EFI_GUID  *Vendor,
  OUT Blob            &Value,
  OUT UINT32          *Attributes OPTIONAL
  )
{
  EFI_STATUS  Status;

  Value.Data.Reset (NULL);
  Value.Size = 0;
  Status     = gRT->GetVariable ((CHAR16 *)Name, (EFI_GUID *)Vendor, Attributes, &Value.Size, NULL);
  if (Status != EFI_BUFFER_TOO_SMALL) {
    return Status;
  }

  Value.Data.Reset ((UINT8 *)AllocatePool (Value.Size));
  if (Value.Data.Get () == NULL) {
    Value.Size = 0;
    return EFI_OUT_OF_RESOURCES;
  }

  Status = gRT->GetVariable ((CHAR16 *)Name, (EFI_GUID *)Vendor, Attributes, &Value.Size, Value.Data.Get ());
  if (EFI_ERROR (Status)) {
    Value.Data.Reset (NULL);
    Value.Size = 0;
  }

  return Status;
}

/**
  The value a slot holds for Cert: one EFI_SIGNATURE_LIST of type X.509, no
  signature header, the default owner, then the DER bytes.

  @return A pool buffer of LIST_PREFIX + Cert.Size bytes, or NULL.
**/
inline
UINT8 *
SlotValue (
  IN CONST Blob  &Cert
  )
{
  UINT8  *Value;

  Value = (UINT8 *)AllocateZeroPool (LIST_PREFIX + Cert.Size);
  if (Value != NULL) {
    CopyMem (Value, &gEfiCertX509Guid, sizeof (EFI_GUID));
    WriteUnaligned32 ((UINT32 *)(Value + 16), (UINT32)(LIST_PREFIX + Cert.Size));
    WriteUnaligned32 ((UINT32 *)(Value + 20), 0);
    WriteUnaligned32 ((UINT32 *)(Value + 24), (UINT32)(sizeof (EFI_GUID) + Cert.Size));
    CopyMem (Value + 28, &gHttpsCertDefaultOwnerGuid, sizeof (EFI_GUID));
    CopyMem (Value + LIST_PREFIX, Cert.Data.Get (), Cert.Size);
  }

  return Value;
}

/**
  Dumps what each slot holds behind the 44-byte list prefix as "@HEX
  <Stage>.slot<N>" lines for the host's report, or "OT: SLOT <Stage>.slot<N>
  absent" (or "short").
**/
inline
VOID
DumpSlots (
  IN CONST CHAR8  *Stage
  )
{
  UINT8  Slot;
  Blob   Value;
  CHAR8  Tag[32];

  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    AsciiSPrint (Tag, sizeof (Tag), "%a.slot%d", Stage, Slot);
    if (EFI_ERROR (ReadVariable (Wide (SLOT_NAMES[Slot - 1]), &gTolmVariableGuid, Value, NULL))) {
      AsciiPrint ("OT: SLOT %a absent\r\n", Tag);
    } else if (Value.Size < LIST_PREFIX) {
      AsciiPrint ("OT: SLOT %a short %u\r\n", Tag, (UINT32)Value.Size);
    } else {
      HexDump (Tag, Value.Data.Get () + LIST_PREFIX, Value.Size - LIST_PREFIX);
    }
  }
}

/**
  Expects the update flag "TolmPr" to be lowered (absent).
**/
inline
VOID
ExpectFlagLowered (
  IN OUT TestCase  &Case
  )
{
  EFI_STATUS  Status;
  Blob        Value;

  Status = ReadVariable (Wide (FLAG_NAME), &gTolmVariableGuid, Value, NULL);
  Expect (Case, Status == EFI_NOT_FOUND, "\"TolmPr\" still present (%r)", Status);
}

/**
  Writes Value into a slot variable as the target platform accepts it (and
  OVMF refuses it): attributes 0x23, a 40-byte time-based descriptor without
  certificate data, then the value; no value deletes the slot.

  @param[in] DescriptorLength  The descriptor's dwLength (24 when well formed).
**/
inline
EFI_STATUS
WriteUnsignedSlot (
  IN CONST CHAR16    *Name,
  IN CONST EFI_GUID  *Vendor,
  IN CONST UINT8     *Value OPTIONAL,
  IN UINTN           ValueSize,
  IN UINT32          DescriptorLength
  )
{
  EFI_STATUS                     Status;
  EFI_VARIABLE_AUTHENTICATION_2  *Descriptor;

  PoolBuffer<UINT8>  Payload ((UINT8 *)AllocateZeroPool (DESCRIPTOR_SIZE + ValueSize));
  if (Payload.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Descriptor = (EFI_VARIABLE_AUTHENTICATION_2 *)Payload.Get ();
  Status     = gRT->GetTime (&Descriptor->TimeStamp, NULL);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Descriptor->TimeStamp.Pad1                = 0;
  Descriptor->TimeStamp.Nanosecond          = 0;
  Descriptor->TimeStamp.TimeZone            = 0;
  Descriptor->TimeStamp.Daylight            = 0;
  Descriptor->TimeStamp.Pad2                = 0;
  Descriptor->AuthInfo.Hdr.dwLength         = DescriptorLength;
  Descriptor->AuthInfo.Hdr.wRevision        = 0x0200;
  Descriptor->AuthInfo.Hdr.wCertificateType = WIN_CERT_TYPE_EFI_GUID;
  CopyGuid (&Descriptor->AuthInfo.CertType, &gEfiCertPkcs7Guid);
  if (ValueSize != 0) {
    CopyMem (Payload.Get () + DESCRIPTOR_SIZE, Value, ValueSize);
  }

  return gRT->SetVariable ((CHAR16 *)Name, (EFI_GUID *)Vendor, SLOT_ATTRIBUTES, DESCRIPTOR_SIZE + ValueSize, Payload.Get ());
}

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

/**
  TRUE when Word stands in Line as a blank-separated word of its own.
**/
inline
BOOLEAN
HasWord (
  IN CONST CHAR16  *Line,
  IN CONST CHAR16  *Word
  )
{
  UINTN         Length;
  CONST CHAR16  *Cursor;

  Length = StrLen (Word);
  for (Cursor = Line; (Cursor = StrStr (Cursor, Word)) != NULL; Cursor += Length) {
    if (((Cursor == Line) || (Cursor[-1] == ' ')) && ((Cursor[Length] == ' ') || (Cursor[Length] == '\0'))) {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  The command line of a start without the shell (the application being the
  removable-media boot file): "ontarget.cmd" in the root of its volume,
  control characters turned into blanks.

  @return A pool copy of the line, or NULL when there is none.
**/
inline
CHAR16 *
ReadCommandFile (
  IN EFI_HANDLE  Volume
  )
{
  Blob    File;
  CHAR16  *Line;
  UINTN   Index;

  if (EFI_ERROR (ReadVolumeFile (Volume, Wide (L"ontarget.cmd"), File)) || (File.Size > 1024)) {
    return NULL;
  }

  Line = (CHAR16 *)AllocateZeroPool ((File.Size + 1) * sizeof (CHAR16));
  for (Index = 0; (Line != NULL) && (Index < File.Size); Index++) {
    Line[Index] = (File.Data.Get ()[Index] < ' ') ? ' ' : File.Data.Get ()[Index];
  }

  return Line;
}

} // namespace OnTarget

#endif
