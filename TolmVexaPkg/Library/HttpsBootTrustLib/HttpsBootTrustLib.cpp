/** @file
  HttpsBootTrustLib: "TlsCaCertificate" derived from the certificate slots.

  Every byte read from the store is treated as hostile: a slot value is copied
  only after its attributes, its one signature list and the DER framing of its
  certificate have been checked against its actual size, and no length read
  from it is used before that.

  A slot counts only when TLS takes its certificate: HttpDxe hands every
  certificate of "TlsCaCertificate" to the TLS configuration protocol and
  gives up at the first one refused, so one certificate its X.509 parser
  refuses would cost every other slot its anchor. The slots about to be
  written are handed to a child of the same TLS service binding first, as the
  last step before the write: TlsDxe's children share one certificate store
  for the rest of the boot, so a certificate probed there stays trusted, and
  nothing that is not written is probed.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Guid/ImageAuthentication.h>
#include <Guid/TlsAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Guid/WinCertificate.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/HttpsBootTrustLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/ServiceBinding.h>
#include <Protocol/Tls.h>
#include <Protocol/TlsConfig.h>

#include "../../Feature/TolmVexaHttpsBootCertMgmtDxe/PoolBuffer.h"

using TolmVexa::PoolBuffer;

namespace {

constexpr UINT8   SLOT_COUNT = 4;

//
// The descriptor of an authenticated delete: the time stamp, then a
// WIN_CERTIFICATE_UEFI_GUID that ends where its certificate data would begin.
//
constexpr UINTN  AUTH_TIME_SIZE       = OFFSET_OF (EFI_VARIABLE_AUTHENTICATION_2, AuthInfo);
constexpr UINTN  AUTH_CERT_INFO_SIZE  = OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData);
constexpr UINTN  AUTH_DESCRIPTOR_SIZE = AUTH_TIME_SIZE + AUTH_CERT_INFO_SIZE;
static_assert (AUTH_TIME_SIZE == 16, "AuthInfo follows the 16-byte time stamp");
static_assert (AUTH_DESCRIPTOR_SIZE == 40, "the authentication descriptor is 40 bytes");

///
/// Attributes of a slot variable as the certificate driver stores it. A value
/// with runtime access could have been created by the operating system and is
/// never trusted.
///
constexpr UINT32  SLOT_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                    EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS;
static_assert (SLOT_ATTRIBUTES == 0x23, "slot variable attributes");

//
// A slot value: one EFI_SIGNATURE_LIST header, no signature header, one
// EFI_SIGNATURE_DATA (owner GUID, then the DER certificate).
//
constexpr UINTN  LIST_HEADER_SIZE = sizeof (EFI_SIGNATURE_LIST);
constexpr UINTN  OWNER_SIZE       = OFFSET_OF (EFI_SIGNATURE_DATA, SignatureData);
constexpr UINTN  CERT_OFFSET      = LIST_HEADER_SIZE + OWNER_SIZE;
static_assert (LIST_HEADER_SIZE == 28, "EFI_SIGNATURE_LIST header is 28 bytes");
static_assert (OFFSET_OF (EFI_SIGNATURE_LIST, SignatureListSize) == 16, "SignatureListSize at 16");
static_assert (OFFSET_OF (EFI_SIGNATURE_LIST, SignatureHeaderSize) == 20, "SignatureHeaderSize at 20");
static_assert (OFFSET_OF (EFI_SIGNATURE_LIST, SignatureSize) == 24, "SignatureSize at 24");
static_assert (CERT_OFFSET == 44, "the certificate starts at byte 44 of a slot value");

///
/// The largest certificate the Vexa can hand over (a 16-bit size): a longer
/// slot value was not written by the certificate driver and is not read.
///
constexpr UINTN  MAX_SLOT_VALUE_SIZE = CERT_OFFSET + MAX_UINT16;

//
// DER framing of a certificate: a SEQUENCE with a definite length.
//
constexpr UINT8  DER_TAG_SEQUENCE      = 0x30;
constexpr UINT8  DER_LENGTH_LONG_FORM  = 0x80;
constexpr UINT8  DER_LENGTH_BYTES_MASK = 0x7F;
constexpr UINTN  DER_MAX_LENGTH_BYTES  = 4;

///
/// Every message names the library's one operation, whichever helper prints it.
///
constexpr CHAR8  OPERATION[] = "TolmUpdateHttpsBootTrust";

constexpr const wchar_t  *SLOT_NAMES[SLOT_COUNT] = {
  L"HttpsCertDev1", L"HttpsCertDev2", L"HttpsCertDev3", L"HttpsCertDev4"
};
static_assert (sizeof (wchar_t) == sizeof (CHAR16), "wide literals are CHAR16 text");

CHAR16 *
SlotName (
  IN UINT8  Slot
  )
{
  return (CHAR16 *)SLOT_NAMES[Slot - 1];
}

CHAR16 *
TrustName (
  VOID
  )
{
  return (CHAR16 *)EFI_TLS_CA_CERTIFICATE_VARIABLE;
}

/**
  TRUE when Der is exactly one DER SEQUENCE: the tag, a definite length in
  its shortest form, and contents that end where Der ends.
**/
BOOLEAN
IsOneDerSequence (
  IN CONST UINT8  *Der,
  IN UINTN        Size
  )
{
  UINTN  LengthBytes;
  UINTN  Length;
  UINTN  Index;

  if ((Size < 2) || (Der[0] != DER_TAG_SEQUENCE)) {
    return FALSE;
  }

  if ((Der[1] & DER_LENGTH_LONG_FORM) == 0) {
    return Der[1] == Size - 2;
  }

  LengthBytes = Der[1] & DER_LENGTH_BYTES_MASK;
  if ((LengthBytes == 0) || (LengthBytes > DER_MAX_LENGTH_BYTES) || (Size - 2 < LengthBytes) || (Der[2] == 0)) {
    return FALSE;
  }

  Length = 0;
  for (Index = 0; Index < LengthBytes; Index++) {
    Length = (Length << 8) | Der[2 + Index];
  }

  return (Length >= DER_LENGTH_LONG_FORM) && (Length == Size - 2 - LengthBytes);
}

/**
  Checks a slot value of Size bytes: exactly one X.509 signature list without
  signature header, holding one signature whose certificate is one DER
  SEQUENCE filling it.

  @return NULL when the value is well formed, else why it is not.
**/
CONST CHAR8 *
SlotValueFault (
  IN CONST UINT8  *Value,
  IN UINTN        Size
  )
{
  EFI_SIGNATURE_LIST  List;

  if (Size <= CERT_OFFSET) {
    return "too short for a signature list holding a certificate";
  }

  CopyMem (&List, Value, LIST_HEADER_SIZE);
  if (!CompareGuid (&List.SignatureType, &gEfiCertX509Guid)) {
    return "signature type is not X.509";
  }

  if (List.SignatureListSize != Size) {
    return "SignatureListSize is not the size of the value";
  }

  if (List.SignatureHeaderSize != 0) {
    return "SignatureHeaderSize is not 0";
  }

  if (List.SignatureSize != Size - LIST_HEADER_SIZE) {
    return "SignatureSize is not the rest of the value";
  }

  if (!IsOneDerSequence (Value + CERT_OFFSET, Size - CERT_OFFSET)) {
    return "the certificate is not one DER SEQUENCE filling the signature";
  }

  return NULL;
}

/**
  Reads one slot and keeps its value when it is well formed.

  @param[in]  Slot   1 to 4.
  @param[out] Value  Receives the value (a pool buffer) when it counts; stays
                     empty when the slot is empty or its value was skipped
                     with a message.
  @param[out] Size   Its size.
**/
VOID
ReadTrustedSlot (
  IN  UINT8              Slot,
  OUT PoolBuffer<UINT8>  &Value,
  OUT UINTN              &Size
  )
{
  EFI_STATUS    Status;
  UINT32        Attributes;
  UINTN         ReadSize;
  CONST CHAR8   *Fault;

  Size       = 0;
  Attributes = 0;
  Status     = gRT->GetVariable (SlotName (Slot), &gTolmVariableGuid, &Attributes, &Size, NULL);
  if (Status == EFI_NOT_FOUND) {
    return;
  }

  if (Status == EFI_SUCCESS) {
    DEBUG ((DEBUG_ERROR, "%a: slot %d (%s) skipped: empty value\n", OPERATION, Slot, SlotName (Slot)));
    return;
  }

  if (Status != EFI_BUFFER_TOO_SMALL) {
    DEBUG ((DEBUG_ERROR, "%a: slot %d (%s) skipped: GetVariable returned %r\n", OPERATION, Slot, SlotName (Slot), Status));
    return;
  }

  if (Size > MAX_SLOT_VALUE_SIZE) {
    DEBUG ((DEBUG_ERROR, "%a: slot %d (%s) skipped: %Lu bytes, more than any certificate the Vexa hands over\n", OPERATION, Slot, SlotName (Slot), (UINT64)Size));
    return;
  }

  Value.Reset ((UINT8 *)AllocatePool (Size));
  if (Value.Get () == NULL) {
    DEBUG ((DEBUG_ERROR, "%a: slot %d (%s) skipped: no memory for %Lu bytes\n", OPERATION, Slot, SlotName (Slot), (UINT64)Size));
    return;
  }

  ReadSize = Size;
  Status   = gRT->GetVariable (SlotName (Slot), &gTolmVariableGuid, &Attributes, &ReadSize, Value.Get ());
  if (EFI_ERROR (Status) || (ReadSize != Size)) {
    DEBUG ((DEBUG_ERROR, "%a: slot %d (%s) skipped: second read returned %r\n", OPERATION, Slot, SlotName (Slot), Status));
    Value.Reset (NULL);
    return;
  }

  if (Attributes != SLOT_ATTRIBUTES) {
    DEBUG ((DEBUG_ERROR, "%a: slot %d (%s) skipped: attributes 0x%x, not 0x%x\n", OPERATION, Slot, SlotName (Slot), Attributes, SLOT_ATTRIBUTES));
    Value.Reset (NULL);
    return;
  }

  Fault = SlotValueFault (Value.Get (), Size);
  if (Fault != NULL) {
    DEBUG ((DEBUG_ERROR, "%a: slot %d (%s) skipped: %a (%Lu bytes)\n", OPERATION, Slot, SlotName (Slot), Fault, (UINT64)Size));
    Value.Reset (NULL);
    return;
  }
}

/**
  Deletes an authenticated "TlsCaCertificate" with an authenticated write:
  the attributes it was stored with and a descriptor carrying the current
  time and no certificate data. A variable service that checks signatures
  takes it only from its creator; one that checks none takes it.
**/
EFI_STATUS
DeleteAuthenticated (
  IN UINT32  Attributes
  )
{
  EFI_STATUS                     Status;
  EFI_VARIABLE_AUTHENTICATION_2  Descriptor;

  // Every byte of the 40 sent is set below: GetTime writes the whole time stamp.
  Status = gRT->GetTime (&Descriptor.TimeStamp, NULL);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Descriptor.TimeStamp.Pad1              = 0;
  Descriptor.TimeStamp.Nanosecond        = 0;
  Descriptor.TimeStamp.TimeZone          = 0;
  Descriptor.TimeStamp.Daylight          = 0;
  Descriptor.TimeStamp.Pad2              = 0;
  Descriptor.AuthInfo.Hdr.dwLength         = AUTH_CERT_INFO_SIZE;
  Descriptor.AuthInfo.Hdr.wRevision        = 0x0200;
  Descriptor.AuthInfo.Hdr.wCertificateType = WIN_CERT_TYPE_EFI_GUID;
  CopyGuid (&Descriptor.AuthInfo.CertType, &gEfiCertPkcs7Guid);
  return gRT->SetVariable (TrustName (), &gEfiTlsCaCertificateGuid, Attributes, AUTH_DESCRIPTOR_SIZE, &Descriptor);
}

/**
  Deletes "TlsCaCertificate" when it exists; with OnlyForeign, only when its
  attributes are not the ones this library writes. An authenticated value
  gets an authenticated delete first; whatever is refused is deleted with
  attributes 0, which a variable service without authenticated variables
  (a platform built without secure boot) takes for any variable.

  @retval EFI_SUCCESS        The variable is absent, or kept (OnlyForeign).
  @retval EFI_ACCESS_DENIED  The variable cannot be read or deleted: it stays,
                             and it was not derived from the slots.
**/
EFI_STATUS
RemoveTrust (
  IN BOOLEAN  OnlyForeign
  )
{
  EFI_STATUS  Status;
  UINT32      Attributes;
  UINTN       Size;

  Size       = 0;
  Attributes = 0;
  Status     = gRT->GetVariable (TrustName (), &gEfiTlsCaCertificateGuid, &Attributes, &Size, NULL);
  if (Status == EFI_NOT_FOUND) {
    return EFI_SUCCESS;
  }

  if ((Status != EFI_BUFFER_TOO_SMALL) && (Status != EFI_SUCCESS)) {
    DEBUG ((DEBUG_ERROR, "%a: \"%s\" cannot be read: %r\n", OPERATION, TrustName (), Status));
    return EFI_ACCESS_DENIED;
  }

  if (OnlyForeign && (Attributes == HTTPS_BOOT_TRUST_ATTRIBUTES)) {
    return EFI_SUCCESS;
  }

  if (((Attributes & EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS) == 0) || EFI_ERROR (DeleteAuthenticated (Attributes))) {
    Status = gRT->SetVariable (TrustName (), &gEfiTlsCaCertificateGuid, 0, 0, NULL);
    if (EFI_ERROR (Status)) {
      DEBUG ((DEBUG_ERROR, "%a: \"%s\" (attributes 0x%x) cannot be deleted: %r\n", OPERATION, TrustName (), Attributes, Status));
      return EFI_ACCESS_DENIED;
    }
  }

  if (Attributes != HTTPS_BOOT_TRUST_ATTRIBUTES) {
    DEBUG ((DEBUG_ERROR, "%a: \"%s\" with attributes 0x%x, not written here, removed\n", OPERATION, TrustName (), Attributes));
  }

  return EFI_SUCCESS;
}

/**
  Removes every trust: no server is trusted by HTTPS boot in this boot.

  @param[in] Reason  Why, for the console.
  @param[in] Why     The status to return when the removal succeeds.

  @return Why, or EFI_ACCESS_DENIED when a "TlsCaCertificate" stays.
**/
EFI_STATUS
TrustNothing (
  IN CONST CHAR8  *Reason,
  IN EFI_STATUS   Why
  )
{
  EFI_STATUS  Status;

  Status = RemoveTrust (FALSE);
  DEBUG ((DEBUG_ERROR, "%a: %a: HTTPS boot trusts no server\n", OPERATION, Reason));
  return EFI_ERROR (Status) ? Status : Why;
}

///
/// A child of the TLS service binding, destroyed with this guard.
///
class TlsChild {
public:
  TlsChild (
    ) = default;

  TlsChild (
    const TlsChild &
    ) = delete;

  TlsChild &
  operator= (
    const TlsChild &
    ) = delete;

  ~TlsChild (
    )
  {
    if (mHandle != NULL) {
      mBinding->DestroyChild (mBinding, mHandle);
    }
  }

  /**
    Creates the child and finds its configuration protocol.
  **/
  EFI_STATUS
  Create (
    IN EFI_SERVICE_BINDING_PROTOCOL  *Binding
    )
  {
    EFI_STATUS  Status;

    mBinding = Binding;
    Status   = Binding->CreateChild (Binding, &mHandle);
    if (EFI_ERROR (Status)) {
      mHandle = NULL;
      return Status;
    }

    return gBS->HandleProtocol (mHandle, &gEfiTlsConfigurationProtocolGuid, (VOID **)&mConfiguration);
  }

  EFI_TLS_CONFIGURATION_PROTOCOL *
  Configuration (
    ) const
  {
    return mConfiguration;
  }

private:
  EFI_SERVICE_BINDING_PROTOCOL    *mBinding       = NULL;
  EFI_HANDLE                      mHandle         = NULL;
  EFI_TLS_CONFIGURATION_PROTOCOL  *mConfiguration = NULL;
};

/**
  Hands the certificate of every kept slot to the TLS configuration protocol
  of a child of the TLS service binding, as HttpDxe will: a slot whose
  certificate TLS refuses is dropped with a message naming it.

  Without a TLS service binding the slots keep the framing check alone: HTTPS
  boot opens every TLS session through that service, so without it no
  server is reached in this boot and "TlsCaCertificate" is not read by
  anyone; should a TLS driver come later, it refuses the whole variable at a
  bad certificate, which trusts less, never more.

  @param[in, out] Values  The kept slot values; a refused one is released.
  @param[in]      Sizes   Their sizes.

  @retval EFI_SUCCESS  The kept values are those TLS takes (or the check was
                       not possible, see above).
  @retval Others       No TLS child could be made: nothing is known to be
                       taken, and nothing may be written.
**/
EFI_STATUS
ProbeSlots (
  IN OUT PoolBuffer<UINT8>  (&Values)[SLOT_COUNT],
  IN     CONST UINTN        (&Sizes)[SLOT_COUNT]
  )
{
  EFI_STATUS                    Status;
  EFI_SERVICE_BINDING_PROTOCOL  *Binding;
  TlsChild                      Child;
  UINT8                         Slot;

  Binding = NULL;
  Status  = gBS->LocateProtocol (&gEfiTlsServiceBindingProtocolGuid, NULL, (VOID **)&Binding);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_WARN, "%a: no TLS service (%r): the certificates are checked for their framing only\n", OPERATION, Status));
    return EFI_SUCCESS;
  }

  Status = Child.Create (Binding);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: no TLS child to check the certificates with: %r\n", OPERATION, Status));
    return Status;
  }

  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    if (Values[Slot - 1].Get () == NULL) {
      continue;
    }

    Status = Child.Configuration ()->SetData (
                                       Child.Configuration (),
                                       EfiTlsConfigDataTypeCACertificate,
                                       Values[Slot - 1].Get () + CERT_OFFSET,
                                       Sizes[Slot - 1] - CERT_OFFSET
                                       );
    if (EFI_ERROR (Status)) {
      DEBUG ((DEBUG_ERROR, "%a: slot %d (%s) skipped: TLS refuses its certificate (%r)\n", OPERATION, Slot, SlotName (Slot), Status));
      Values[Slot - 1].Reset (NULL);
    }
  }

  return EFI_SUCCESS;
}

} // namespace

EFI_STATUS
EFIAPI
TolmUpdateHttpsBootTrust (
  VOID
  )
{
  EFI_STATUS         Status;
  PoolBuffer<UINT8>  Values[SLOT_COUNT];
  UINTN              Sizes[SLOT_COUNT];
  UINTN              Total;
  UINTN              Count;
  UINTN              Offset;
  UINT8              Slot;
  PoolBuffer<UINT8>  Trust;

  Total = 0;
  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    ReadTrustedSlot (Slot, Values[Slot - 1], Sizes[Slot - 1]);
    if (Values[Slot - 1].Get () != NULL) {
      Total += Sizes[Slot - 1];
    }
  }

  if (Total == 0) {
    return TrustNothing ("no slot holds a well-formed certificate", EFI_NOT_FOUND);
  }

  //
  // Everything that can fail comes before the probe: what TLS takes stays
  // in its store for the rest of the boot.
  //
  Trust.Reset ((UINT8 *)AllocatePool (Total));
  if (Trust.Get () == NULL) {
    return TrustNothing ("no memory for the trust anchors", EFI_OUT_OF_RESOURCES);
  }

  if (EFI_ERROR (RemoveTrust (TRUE))) {
    return EFI_ACCESS_DENIED;
  }

  Status = ProbeSlots (Values, Sizes);
  if (EFI_ERROR (Status)) {
    return TrustNothing ("the certificates cannot be checked by TLS", Status);
  }

  Offset = 0;
  Count  = 0;
  for (Slot = 1; Slot <= SLOT_COUNT; Slot++) {
    if (Values[Slot - 1].Get () != NULL) {
      DEBUG ((DEBUG_INFO, "%a: slot %d (%s) trusted, %Lu bytes\n", OPERATION, Slot, SlotName (Slot), (UINT64)Sizes[Slot - 1]));
      CopyMem (Trust.Get () + Offset, Values[Slot - 1].Get (), Sizes[Slot - 1]);
      Offset += Sizes[Slot - 1];
      Count++;
    }
  }

  if (Count == 0) {
    return TrustNothing ("no slot holds a certificate TLS takes", EFI_NOT_FOUND);
  }

  Status = gRT->SetVariable (TrustName (), &gEfiTlsCaCertificateGuid, HTTPS_BOOT_TRUST_ATTRIBUTES, Offset, Trust.Get ());
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: \"%s\" not written: %r\n", OPERATION, TrustName (), Status));
    return EFI_ERROR (RemoveTrust (FALSE)) ? EFI_ACCESS_DENIED : Status;
  }

  DEBUG ((DEBUG_INFO, "%a: \"%s\" holds the lists of %d slot(s), %Lu bytes\n", OPERATION, TrustName (), (UINT32)Count, (UINT64)Offset));
  return EFI_SUCCESS;
}
