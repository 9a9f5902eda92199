/** @file
  Simulated runtime services: a variable store with UEFI semantics and a
  switchable policy for time-based authenticated writes, GetTime, and failure
  injection. Every GetVariable and SetVariable is recorded.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimInternal.h"

#include <Guid/ImageAuthentication.h>
#include <Guid/WinCertificate.h>

namespace Sim {

namespace {

constexpr UINT32  ATTR_BS     = EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr UINT32  ATTR_RT     = EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINT32  ATTR_TIME   = EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS;
constexpr UINT32  ATTR_APPEND = EFI_VARIABLE_APPEND_WRITE;
constexpr UINT32  ATTR_KNOWN  = EFI_VARIABLE_NON_VOLATILE | ATTR_BS | ATTR_RT | EFI_VARIABLE_HARDWARE_ERROR_RECORD |
                                ATTR_TIME | ATTR_APPEND;

/// Length of an EFI_VARIABLE_AUTHENTICATION_2 that carries no certificate data.
constexpr UINTN  AUTH2_EMPTY_SIZE = OFFSET_OF (EFI_VARIABLE_AUTHENTICATION_2, AuthInfo) +
                                    OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData);
static_assert (AUTH2_EMPTY_SIZE == 40, "descriptor without certificate data is 40 bytes");

std::u16string
NameOf (
  const CHAR16  *Name
  )
{
  std::u16string  Text;

  for ( ; *Name != 0; Name++) {
    Text.push_back (static_cast<char16_t>(*Name));
  }

  return Text;
}

std::string
AsciiOf (
  const std::u16string  &Name
  )
{
  std::string  Text;

  for (char16_t C : Name) {
    Text.push_back ((C >= 0x20 && C < 0x7F) ? static_cast<char>(C) : '?');
  }

  return Text;
}

/// A well-formed descriptor without certificate data, as the Accepting policy
/// requires it.
bool
IsEmptyAuth2Descriptor (
  const UINT8  *Data
  )
{
  // EFI_CERT_TYPE_PKCS7_GUID as a literal: a caller that writes into the
  // global by mistake is not compared against its own damage.
  static const EFI_GUID          kPkcs7 = {
    0x4aafd29d, 0x68df, 0x49ee, { 0x8a, 0xa9, 0x34, 0x7d, 0x37, 0x56, 0x65, 0xa7 }
  };
  EFI_VARIABLE_AUTHENTICATION_2  Descriptor;

  memcpy (&Descriptor, Data, AUTH2_EMPTY_SIZE);
  const EFI_TIME  &Time = Descriptor.TimeStamp;
  return (Descriptor.AuthInfo.Hdr.dwLength == OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData)) &&
         (Descriptor.AuthInfo.Hdr.wRevision == 0x0200) &&
         (Descriptor.AuthInfo.Hdr.wCertificateType == WIN_CERT_TYPE_EFI_GUID) &&
         CompareGuid (&Descriptor.AuthInfo.CertType, &kPkcs7) &&
         (Time.Pad1 == 0) && (Time.Nanosecond == 0) && (Time.TimeZone == 0) && (Time.Daylight == 0) && (Time.Pad2 == 0);
}

EFI_STATUS
EFIAPI
SimGetVariable (
  IN     CHAR16    *VariableName,
  IN     EFI_GUID  *VendorGuid,
  OUT    UINT32    *Attributes OPTIONAL,
  IN OUT UINTN     *DataSize,
  OUT    VOID      *Data OPTIONAL
  )
{
  return Variables ().GetVariable (VariableName, VendorGuid, Attributes, DataSize, Data);
}

EFI_STATUS
EFIAPI
SimSetVariable (
  IN  CHAR16    *VariableName,
  IN  EFI_GUID  *VendorGuid,
  IN  UINT32    Attributes,
  IN  UINTN     DataSize,
  IN  VOID      *Data
  )
{
  return Variables ().SetVariable (VariableName, VendorGuid, Attributes, DataSize, Data);
}

EFI_STATUS
EFIAPI
SimGetNextVariableName (
  IN OUT UINTN     *VariableNameSize,
  IN OUT CHAR16    *VariableName,
  IN OUT EFI_GUID  *VendorGuid
  )
{
  return Variables ().GetNextVariableName (VariableNameSize, VariableName, VendorGuid);
}

EFI_STATUS
EFIAPI
SimGetTime (
  OUT EFI_TIME               *Time,
  OUT EFI_TIME_CAPABILITIES  *Capabilities OPTIONAL
  )
{
  return Variables ().GetTime (Time, Capabilities);
}

} // namespace

VariableStore &
Variables (
  )
{
  static VariableStore  Store;

  return Store;
}

bool
VariableStore::Key::operator< (
  const Key  &Other
  ) const
{
  if (Name != Other.Name) {
    return Name < Other.Name;
  }

  return memcmp (&Guid, &Other.Guid, sizeof (Guid)) < 0;
}

EFI_TIME
VariableStore::DefaultTime (
  )
{
  EFI_TIME  Time;

  Time.Year       = 2026;
  Time.Month      = 12;
  Time.Day        = 7;
  Time.Hour       = 12;
  Time.Minute     = 34;
  Time.Second     = 56;
  Time.Pad1       = 0x5A;
  Time.Nanosecond = 123456789;
  Time.TimeZone   = 60;
  Time.Daylight   = EFI_TIME_ADJUST_DAYLIGHT | EFI_TIME_IN_DAYLIGHT;
  Time.Pad2       = 0xA5;
  return Time;
}

void
VariableStore::Put (
  const std::string         &Name,
  const EFI_GUID            &Guid,
  UINT32                    Attributes,
  const std::vector<UINT8>  &Data
  )
{
  mStore[Key { Wide (Name), Guid }] = VariableEntry { Attributes, Data };
}

bool
VariableStore::Has (
  const std::string  &Name,
  const EFI_GUID     &Guid
  ) const
{
  return mStore.count (Key { Wide (Name), Guid }) != 0;
}

std::optional<VariableEntry>
VariableStore::Find (
  const std::string  &Name,
  const EFI_GUID     &Guid
  ) const
{
  auto  It = mStore.find (Key { Wide (Name), Guid });

  if (It == mStore.end ()) {
    return std::nullopt;
  }

  return It->second;
}

void
VariableStore::Remove (
  const std::string  &Name,
  const EFI_GUID     &Guid
  )
{
  mStore.erase (Key { Wide (Name), Guid });
}

void
VariableStore::FailNthSet (
  uint64_t    N,
  EFI_STATUS  Status
  )
{
  mFailSetAt     = (N == 0) ? 0 : mSetCount + N;
  mFailSetStatus = Status;
}

std::vector<VariableCall>
VariableStore::SetCalls (
  ) const
{
  std::vector<VariableCall>  Result;

  for (const auto &Call : mCalls) {
    if (Call.Op == VariableCall::Set) {
      Result.push_back (Call);
    }
  }

  return Result;
}

std::vector<VariableCall>
VariableStore::GetCalls (
  ) const
{
  std::vector<VariableCall>  Result;

  for (const auto &Call : mCalls) {
    if (Call.Op == VariableCall::Get) {
      Result.push_back (Call);
    }
  }

  return Result;
}

EFI_STATUS
VariableStore::GetVariable (
  CHAR16    *Name,
  EFI_GUID  *Guid,
  UINT32    *Attributes,
  UINTN     *DataSize,
  VOID      *Data
  )
{
  VariableCall  Call {};

  Call.Op = VariableCall::Get;
  if ((Name == nullptr) || (Guid == nullptr) || (DataSize == nullptr) || (Name[0] == 0)) {
    Call.Status = EFI_INVALID_PARAMETER;
    mCalls.push_back (Call);
    return EFI_INVALID_PARAMETER;
  }

  std::u16string  Wide = NameOf (Name);
  Call.Name        = AsciiOf (Wide);
  Call.Guid        = *Guid;
  Call.DataSizeIn  = *DataSize;
  Call.DataSizeOut = *DataSize;

  auto  Injected = mFailGet.find (Call.Name);
  auto  Read     = mFailRead.find (Call.Name);
  if (Injected != mFailGet.end ()) {
    Call.Status = Injected->second;
  } else if ((Data != nullptr) && (Read != mFailRead.end ())) {
    Call.Status = Read->second;
  } else {
    auto  It = mStore.find (Key { Wide, *Guid });
    if (It == mStore.end ()) {
      Call.Status = EFI_NOT_FOUND;
    } else {
      const VariableEntry  &Entry = It->second;
      if (*DataSize < Entry.Data.size ()) {
        *DataSize   = Entry.Data.size ();
        Call.Status = EFI_BUFFER_TOO_SMALL;
      } else if ((Data == nullptr) && !Entry.Data.empty ()) {
        Call.Status = EFI_INVALID_PARAMETER;
      } else {
        if (!Entry.Data.empty ()) {
          memcpy (Data, Entry.Data.data (), Entry.Data.size ());
        }

        *DataSize   = Entry.Data.size ();
        Call.Data   = Entry.Data;
        Call.Status = EFI_SUCCESS;
      }

      if (((Call.Status == EFI_SUCCESS) || (Call.Status == EFI_BUFFER_TOO_SMALL)) && (Attributes != nullptr)) {
        *Attributes = Entry.Attributes;
      }

      Call.Attributes  = Entry.Attributes;
      Call.DataSizeOut = *DataSize;
    }
  }

  mCalls.push_back (Call);
  return Call.Status;
}

EFI_STATUS
VariableStore::SetInner (
  const Key    &K,
  UINT32       Attributes,
  UINTN        DataSize,
  const UINT8  *Data
  )
{
  if ((Attributes & ~ATTR_KNOWN) != 0) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Attributes & (ATTR_BS | ATTR_RT)) == ATTR_RT) {
    return EFI_INVALID_PARAMETER;
  }

  auto  It = mStore.find (K);

  if ((Attributes & ATTR_TIME) != 0) {
    if (mPolicy == AuthPolicy::Unsupported) {
      return EFI_INVALID_PARAMETER;
    }

    if (mPolicy == AuthPolicy::Refusing) {
      return EFI_SECURITY_VIOLATION;
    }

    if ((DataSize < AUTH2_EMPTY_SIZE) || !IsEmptyAuth2Descriptor (Data)) {
      return EFI_SECURITY_VIOLATION;
    }

    Data     += AUTH2_EMPTY_SIZE;
    DataSize -= AUTH2_EMPTY_SIZE;
    if ((DataSize == 0) && ((Attributes & ATTR_APPEND) == 0)) {
      if (It == mStore.end ()) {
        return EFI_NOT_FOUND;
      }

      mStore.erase (It);
      return EFI_SUCCESS;
    }
  } else if ((DataSize == 0) || ((Attributes & (ATTR_BS | ATTR_RT)) == 0)) {
    // A plain write of no data, or with no access attribute, deletes.
    if ((Attributes & ATTR_APPEND) != 0) {
      return (It == mStore.end ()) ? EFI_NOT_FOUND : EFI_SUCCESS;
    }

    if (It == mStore.end ()) {
      return EFI_NOT_FOUND;
    }

    if (((It->second.Attributes & ATTR_TIME) != 0) && ((Attributes != 0) || (mPolicy != AuthPolicy::Unsupported))) {
      // An authenticated variable is only changed by an authenticated write,
      // unless the service knows no authentication.
      return EFI_SECURITY_VIOLATION;
    }

    mStore.erase (It);
    return EFI_SUCCESS;
  }

  UINT32  Stored = Attributes & ~ATTR_APPEND;
  if ((It != mStore.end ()) && (It->second.Attributes != Stored)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((It != mStore.end ()) && ((Attributes & ATTR_APPEND) != 0)) {
    It->second.Data.insert (It->second.Data.end (), Data, Data + DataSize);
    return EFI_SUCCESS;
  }

  mStore[K] = VariableEntry { Stored, std::vector<UINT8>(Data, Data + DataSize) };
  return EFI_SUCCESS;
}

EFI_STATUS
VariableStore::SetVariable (
  CHAR16    *Name,
  EFI_GUID  *Guid,
  UINT32    Attributes,
  UINTN     DataSize,
  VOID      *Data
  )
{
  VariableCall  Call {};

  Call.Op         = VariableCall::Set;
  Call.Attributes = Attributes;
  Call.DataSizeIn = DataSize;
  mSetCount++;

  if ((Name == nullptr) || (Guid == nullptr) || (Name[0] == 0) || ((DataSize != 0) && (Data == nullptr))) {
    if (Name != nullptr) {
      Call.Name = AsciiOf (NameOf (Name));
    }

    Call.Status = EFI_INVALID_PARAMETER;
    mCalls.push_back (Call);
    return EFI_INVALID_PARAMETER;
  }

  std::u16string  Wide = NameOf (Name);
  Call.Name = AsciiOf (Wide);
  Call.Guid = *Guid;
  if (DataSize != 0) {
    Call.Data.assign (static_cast<UINT8 *>(Data), static_cast<UINT8 *>(Data) + DataSize);
  }

  auto  Injected = mFailSet.find (Call.Name);
  if (Injected != mFailSet.end ()) {
    Call.Status = Injected->second;
  } else if ((mFailSetAt != 0) && (mSetCount == mFailSetAt)) {
    Call.Status = mFailSetStatus;
  } else {
    Call.Status = SetInner (Key { Wide, *Guid }, Attributes, DataSize, static_cast<const UINT8 *>(Data));
  }

  mCalls.push_back (Call);
  return Call.Status;
}

EFI_STATUS
VariableStore::GetNextVariableName (
  UINTN     *NameSize,
  CHAR16    *Name,
  EFI_GUID  *Guid
  )
{
  VariableCall  Call {};

  Call.Op = VariableCall::GetNextName;
  if ((NameSize == nullptr) || (Name == nullptr) || (Guid == nullptr)) {
    Call.Status = EFI_INVALID_PARAMETER;
    mCalls.push_back (Call);
    return EFI_INVALID_PARAMETER;
  }

  std::u16string  Current = NameOf (Name);
  auto            It      = mStore.begin ();
  if (!Current.empty ()) {
    It = mStore.find (Key { Current, *Guid });
    if (It == mStore.end ()) {
      Call.Status = EFI_INVALID_PARAMETER;
      mCalls.push_back (Call);
      return EFI_INVALID_PARAMETER;
    }

    ++It;
  }

  if (It == mStore.end ()) {
    Call.Status = EFI_NOT_FOUND;
  } else {
    UINTN  Needed = (It->first.Name.size () + 1) * sizeof (CHAR16);
    if (*NameSize < Needed) {
      *NameSize   = Needed;
      Call.Status = EFI_BUFFER_TOO_SMALL;
    } else {
      for (size_t Index = 0; Index < It->first.Name.size (); Index++) {
        Name[Index] = It->first.Name[Index];
      }

      Name[It->first.Name.size ()] = 0;
      *Guid                        = It->first.Guid;
      *NameSize                    = Needed;
      Call.Name                    = AsciiOf (It->first.Name);
      Call.Status                  = EFI_SUCCESS;
    }
  }

  mCalls.push_back (Call);
  return Call.Status;
}

EFI_STATUS
VariableStore::GetTime (
  EFI_TIME               *Time,
  EFI_TIME_CAPABILITIES  *Capabilities
  )
{
  mGetTimeCalls++;
  if (Time == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  if (EFI_ERROR (mTimeStatus)) {
    return mTimeStatus;
  }

  *Time = mTime;
  if (Capabilities != nullptr) {
    Capabilities->Resolution = 1;
    Capabilities->Accuracy   = 50000000;
    Capabilities->SetsToZero = FALSE;
  }

  return EFI_SUCCESS;
}

void
VariableStore::Clear (
  )
{
  mStore.clear ();
  mCalls.clear ();
  mFailGet.clear ();
  mFailRead.clear ();
  mFailSet.clear ();
  mSetCount      = 0;
  mFailSetAt     = 0;
  mFailSetStatus = EFI_SUCCESS;
  mPolicy        = AuthPolicy::Accepting;
  mTime          = DefaultTime ();
  mTimeStatus    = EFI_SUCCESS;
  mGetTimeCalls  = 0;
}

namespace Internal {

void
BuildRuntimeServices (
  EFI_RUNTIME_SERVICES  *Table
  )
{
  constexpr size_t  Slots = (sizeof (EFI_RUNTIME_SERVICES) - sizeof (EFI_TABLE_HEADER)) / sizeof (VOID *);

  memset (Table, 0, sizeof (*Table));
  Table->Hdr.Signature  = EFI_RUNTIME_SERVICES_SIGNATURE;
  Table->Hdr.Revision   = EFI_RUNTIME_SERVICES_REVISION;
  Table->Hdr.HeaderSize = sizeof (EFI_RUNTIME_SERVICES);
  FillUnsupported<RuntimeServicesName>(Table, std::make_index_sequence<Slots>());

  Table->GetTime             = SimGetTime;
  Table->GetVariable         = SimGetVariable;
  Table->GetNextVariableName = SimGetNextVariableName;
  Table->SetVariable         = SimSetVariable;
}

} // namespace Internal
} // namespace Sim
