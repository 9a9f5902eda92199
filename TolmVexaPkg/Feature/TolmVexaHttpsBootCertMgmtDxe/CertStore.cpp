/** @file
  Certificate store: slot names, the update flag, reading a slot, and
  enrolling and deleting certificates as time-based authenticated variables.

  The driver never signs a write: every write carries an authentication
  descriptor without certificate data, which the platform's variable service
  accepts for these variables.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TolmVexaHttpsBootCertMgmtDxe.h"
#include "PoolBuffer.h"

#include <Guid/ImageAuthentication.h>
#include <Guid/TolmVariable.h>
#include <Guid/WinCertificate.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

using TolmVexa::PoolBuffer;

//
// Layout of a stored slot value: one EFI_SIGNATURE_LIST, no signature header,
// one EFI_SIGNATURE_DATA whose owner GUID precedes the DER bytes.
//
STATIC_ASSERT (sizeof (EFI_SIGNATURE_LIST) == 28, "EFI_SIGNATURE_LIST header is 28 bytes");
STATIC_ASSERT (OFFSET_OF (EFI_SIGNATURE_LIST, SignatureListSize) == 16, "SignatureListSize at 16");
STATIC_ASSERT (OFFSET_OF (EFI_SIGNATURE_LIST, SignatureHeaderSize) == 20, "SignatureHeaderSize at 20");
STATIC_ASSERT (OFFSET_OF (EFI_SIGNATURE_LIST, SignatureSize) == 24, "SignatureSize at 24");
STATIC_ASSERT (OFFSET_OF (EFI_SIGNATURE_DATA, SignatureData) == 16, "owner GUID precedes the data");
STATIC_ASSERT (
  sizeof (EFI_SIGNATURE_LIST) + OFFSET_OF (EFI_SIGNATURE_DATA, SignatureData) == HTTPS_CERT_STORED_PREFIX_SIZE,
  "the certificate starts at byte 44 of a stored value"
  );

//
// The write descriptor: EFI_TIME, then a WIN_CERTIFICATE_UEFI_GUID that ends
// where its certificate data would begin.
//
STATIC_ASSERT (OFFSET_OF (EFI_VARIABLE_AUTHENTICATION_2, AuthInfo) == 16, "AuthInfo follows the 16-byte time stamp");
STATIC_ASSERT (OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData) == 24, "descriptor without certificate data is 24 bytes");
STATIC_ASSERT (
  OFFSET_OF (EFI_VARIABLE_AUTHENTICATION_2, AuthInfo) + OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData) == HTTPS_CERT_AUTH_DESCRIPTOR_SIZE,
  "the authentication descriptor is 40 bytes"
  );

namespace {

constexpr UINTN  SIGNATURE_LIST_OVERHEAD = HTTPS_CERT_STORED_PREFIX_SIZE;

///
/// Variable names of the certificate slots, slot 1 first. Wide literals are
/// 16-bit (-fshort-wchar); C++ only sees them as a type of their own, hence
/// the cast where they are handed out as CHAR16 text.
///
constexpr const wchar_t  *HTTPS_CERT_VARIABLE_NAMES[] = {
  L"HttpsCertDev1",
  L"HttpsCertDev2",
  L"HttpsCertDev3",
  L"HttpsCertDev4",
};

STATIC_ASSERT (
  ARRAY_SIZE (HTTPS_CERT_VARIABLE_NAMES) == HTTPS_CERT_SLOT_LAST - HTTPS_CERT_SLOT_FIRST + 1,
  "one name per slot"
  );
STATIC_ASSERT (sizeof (wchar_t) == sizeof (CHAR16), "wide literals are CHAR16 text");

} // namespace

CONST CHAR16 *
TolmGetHttpDevCertStr (
  IN UINT8  CertNum
  )
{
  if ((CertNum < HTTPS_CERT_SLOT_FIRST) || (CertNum > HTTPS_CERT_SLOT_LAST)) {
    DEBUG ((DEBUG_ERROR, "%a: Recieved an unexpected HTTPS device number (%d). Returning NULL\n", __FUNCTION__, CertNum));
    return NULL;
  }

  return (CONST CHAR16 *)HTTPS_CERT_VARIABLE_NAMES[CertNum - HTTPS_CERT_SLOT_FIRST];
}

VOID
SetHttpsCertUpdateFlag (
  IN BOOLEAN  Raise
  )
{
  EFI_STATUS  Status;
  UINTN       Attempts;
  UINT8       Value;

  //
  // A data size of 0 deletes the volatile flag; its status is of no interest
  // to the write it brackets. A flag left raised, though, would tell the rest
  // of the boot that a certificate write is still under way: a lower that the
  // variable service fails (other than finding the flag already absent) is
  // tried once more.
  //
  Value = Raise ? 0x01 : 0x00;
  for (Attempts = Raise ? 1 : 2; Attempts > 0; Attempts--) {
    Status = gRT->SetVariable (
                    (CHAR16 *)HTTPS_CERT_UPDATE_FLAG_NAME,
                    &gTolmVariableGuid,
                    HTTPS_CERT_UPDATE_FLAG_ATTRIBUTES,
                    Raise ? sizeof (Value) : 0,
                    &Value
                    );
    if (!EFI_ERROR (Status) || (Status == EFI_NOT_FOUND)) {
      break;
    }
  }
}

EFI_STATUS
GetHttpsDeviceCertAndSyncHeader (
  IN  UINT8                   CertNum,
  OUT HTTPS_CERT_SYNC_HEADER  *Header,
  OUT UINT8                   **CertData
  )
{
  EFI_STATUS         Status;
  CONST CHAR16       *VariableName;
  PoolBuffer<UINT8>  Value;
  UINTN              ValueSize;
  UINT8              *Certificate;
  UINTN              CertificateSize;

  if ((Header == NULL) || (CertData == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  VariableName = TolmGetHttpDevCertStr (CertNum);
  if (VariableName == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // A 1-byte probe, then one read of the size the variable service reported.
  //
  Value.Reset ((UINT8 *)AllocatePool (1));
  if (Value.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  ValueSize = 1;
  Status    = gRT->GetVariable ((CHAR16 *)VariableName, &gTolmVariableGuid, NULL, &ValueSize, Value.Get ());
  if (Status == EFI_BUFFER_TOO_SMALL) {
    //
    // The probe buffer goes back to the pool before the full-size one is
    // asked for.
    //
    Value.Reset (nullptr);
    Value.Reset ((UINT8 *)AllocatePool (ValueSize));
    if (Value.Get () == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }

    Status = gRT->GetVariable ((CHAR16 *)VariableName, &gTolmVariableGuid, NULL, &ValueSize, Value.Get ());
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (ValueSize == 0) {
    DEBUG ((DEBUG_ERROR, "%a(%d): Variable for certificate of HTTP Dev #(%d) found with 0-size.\n", __FUNCTION__, __LINE__, CertNum));
    return EFI_NOT_FOUND;
  }

  //
  // A value that ends at or before byte 44 carries no certificate; it is
  // refused as damaged rather than read with a wrapped length.
  //
  if (ValueSize <= HTTPS_CERT_STORED_PREFIX_SIZE) {
    DEBUG ((
      DEBUG_ERROR,
      "%a(%d): Variable for certificate of HTTP Dev #(%d) is too short (%d bytes) to hold a certificate.\n",
      __FUNCTION__,
      __LINE__,
      CertNum,
      (UINT32)ValueSize
      ));
    return EFI_VOLUME_CORRUPTED;
  }

  CertificateSize = ValueSize - HTTPS_CERT_STORED_PREFIX_SIZE;
  if (CertificateSize > MAX_UINT32) {
    return EFI_VOLUME_CORRUPTED;
  }

  Certificate = (UINT8 *)AllocateCopyPool (CertificateSize, Value.Get () + HTTPS_CERT_STORED_PREFIX_SIZE);
  if (Certificate == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Header->CertNum  = CertNum;
  Header->CertSize = (UINT32)CertificateSize;
  *CertData        = Certificate;

  DEBUG ((DEBUG_ERROR, "%a(%d): Variable for certificate of HTTP Dev #(%d) is found.\n", __FUNCTION__, __LINE__, CertNum));
  return EFI_SUCCESS;
}

EFI_STATUS
CreateSignatureList (
  IN     CONST UINT8     *X509Data,
  IN     UINTN           X509DataSize,
  IN     CONST EFI_GUID  *SignatureOwner OPTIONAL,
  IN     CONST EFI_GUID  *SignatureType,
  IN OUT UINT8           **SignatureList,
  IN OUT UINTN           *SignatureListSize
  )
{
  UINTN               NewListSize;
  UINT8               *Buffer;
  EFI_SIGNATURE_LIST  *List;
  EFI_SIGNATURE_DATA  *Signature;

  if ((X509Data == NULL) || (SignatureType == NULL) || (SignatureList == NULL) || (SignatureListSize == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The list's own size fields are 32 bits wide, and the buffer must not
  // wrap around either.
  //
  if ((X509DataSize > MAX_UINT32 - SIGNATURE_LIST_OVERHEAD) ||
      (*SignatureListSize > MAX_UINTN - (X509DataSize + SIGNATURE_LIST_OVERHEAD)))
  {
    return EFI_INVALID_PARAMETER;
  }

  NewListSize = X509DataSize + SIGNATURE_LIST_OVERHEAD;

  //
  // Grow into a new zero-filled buffer; the caller's buffer is released only
  // once its contents are safe in the new one, so a failed allocation loses
  // nothing.
  //
  Buffer = (UINT8 *)AllocateZeroPool (*SignatureListSize + NewListSize);
  if (Buffer == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  if (*SignatureList != NULL) {
    CopyMem (Buffer, *SignatureList, *SignatureListSize);
    FreePool (*SignatureList);
  }

  List                      = (EFI_SIGNATURE_LIST *)(Buffer + *SignatureListSize);
  List->SignatureListSize   = (UINT32)NewListSize;
  List->SignatureHeaderSize = 0;
  List->SignatureSize       = (UINT32)(X509DataSize + OFFSET_OF (EFI_SIGNATURE_DATA, SignatureData));
  CopyGuid (&List->SignatureType, SignatureType);

  Signature = (EFI_SIGNATURE_DATA *)((UINT8 *)List + sizeof (EFI_SIGNATURE_LIST) + List->SignatureHeaderSize);
  if (SignatureOwner != NULL) {
    CopyGuid (&Signature->SignatureOwner, SignatureOwner);
  }

  CopyMem (Signature->SignatureData, X509Data, X509DataSize);

  *SignatureList      = Buffer;
  *SignatureListSize += NewListSize;
  return EFI_SUCCESS;
}

EFI_STATUS
CreateTimeBasedPayload (
  IN OUT UINTN  *DataSize,
  IN OUT UINT8  **Data
  )
{
  EFI_STATUS                     Status;
  PoolBuffer<UINT8>              Payload;
  EFI_TIME                       Time;
  EFI_VARIABLE_AUTHENTICATION_2  *Descriptor;

  if ((Data == NULL) || (DataSize == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if (*DataSize > MAX_UINTN - HTTPS_CERT_AUTH_DESCRIPTOR_SIZE) {
    return EFI_INVALID_PARAMETER;
  }

  Payload.Reset ((UINT8 *)AllocateZeroPool (*DataSize + HTTPS_CERT_AUTH_DESCRIPTOR_SIZE));
  if (Payload.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  if ((*Data != NULL) && (*DataSize != 0)) {
    CopyMem (Payload.Get () + HTTPS_CERT_AUTH_DESCRIPTOR_SIZE, *Data, *DataSize);
  }

  ZeroMem (&Time, sizeof (Time));
  Status = gRT->GetTime (&Time, NULL);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Time.Pad1       = 0;
  Time.Nanosecond = 0;
  Time.TimeZone   = 0;
  Time.Daylight   = 0;
  Time.Pad2       = 0;

  Descriptor = (EFI_VARIABLE_AUTHENTICATION_2 *)Payload.Get ();
  CopyMem (&Descriptor->TimeStamp, &Time, sizeof (Time));
  Descriptor->AuthInfo.Hdr.dwLength         = OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData);
  Descriptor->AuthInfo.Hdr.wRevision        = 0x0200;
  Descriptor->AuthInfo.Hdr.wCertificateType = WIN_CERT_TYPE_EFI_GUID;
  CopyGuid (&Descriptor->AuthInfo.CertType, &gEfiCertPkcs7Guid);

  if (*Data != NULL) {
    FreePool (*Data);
  }

  *DataSize += HTTPS_CERT_AUTH_DESCRIPTOR_SIZE;
  *Data      = Payload.Release ();
  return EFI_SUCCESS;
}

EFI_STATUS
TolmUpdateHttpsCert (
  IN CONST CHAR16    *VariableName,
  IN CONST EFI_GUID  *VendorGuid,
  IN CONST UINT8     *Data OPTIONAL,
  IN UINTN           DataSize
  )
{
  EFI_STATUS         Status;
  PoolBuffer<UINT8>  Payload;
  UINTN              PayloadSize;
  UINT8              Probe;
  UINTN              ProbeSize;

  if (Data != NULL) {
    Payload.Reset ((UINT8 *)AllocateCopyPool (DataSize, Data));
    if (Payload.Get () == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }

    PayloadSize = DataSize;
  } else {
    //
    // A delete: nothing to do when the variable does not exist.
    //
    PayloadSize = 0;
    ProbeSize   = sizeof (Probe);
    Status      = gRT->GetVariable ((CHAR16 *)VariableName, (EFI_GUID *)VendorGuid, NULL, &ProbeSize, &Probe);
    if (Status == EFI_NOT_FOUND) {
      return EFI_SUCCESS;
    }
  }

  Status = CreateTimeBasedPayload (&PayloadSize, Payload.AddressOf ());
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: CreateTimeBasedPayload returned (%r)\n", __FUNCTION__, Status));
    return Status;
  }

  Status = gRT->SetVariable (
                  (CHAR16 *)VariableName,
                  (EFI_GUID *)VendorGuid,
                  HTTPS_CERT_VARIABLE_ATTRIBUTES,
                  PayloadSize,
                  Payload.Get ()
                  );
  DEBUG ((DEBUG_INFO, "%a: SetVariable returned (%r)\n", __FUNCTION__, Status));

  return Status;
}

EFI_STATUS
TolmEnrollX509toVariable (
  IN CONST CHAR16    *VariableName,
  IN CONST UINT8     *X509Data,
  IN UINTN           X509DataSize,
  IN CONST EFI_GUID  *pSignatureOwnerGuid OPTIONAL
  )
{
  EFI_STATUS         Status;
  PoolBuffer<UINT8>  SignatureList;
  UINTN              SignatureListSize;

  if ((X509Data == NULL) || (X509DataSize == 0)) {
    DEBUG ((DEBUG_ERROR, "%a: X509Data/Size cannot be NULL/0. Exiting with (%r).\n", __FUNCTION__, EFI_INVALID_PARAMETER));
    return EFI_INVALID_PARAMETER;
  }

  if (pSignatureOwnerGuid == NULL) {
    DEBUG ((DEBUG_WARN, "%a: pSignatureOwnerGuid is NULL. Assigning default GUID %g.\n", __FUNCTION__, &gHttpsCertDefaultOwnerGuid));
    pSignatureOwnerGuid = &gHttpsCertDefaultOwnerGuid;
  }

  DEBUG ((
    DEBUG_ERROR,
    "%a:\tVariable Name (%s)\n   \tCert at (%p)\n   \tCert size (0x%x)\n   \tSignaure owner (%g)\n",
    __FUNCTION__,
    VariableName,
    X509Data,
    (UINT32)X509DataSize,
    pSignatureOwnerGuid
    ));

  SignatureListSize = 0;
  Status            = CreateSignatureList (
                        X509Data,
                        X509DataSize,
                        pSignatureOwnerGuid,
                        &gEfiCertX509Guid,
                        SignatureList.AddressOf (),
                        &SignatureListSize
                        );
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: CreateSignatureList returned (%r)\n", __FUNCTION__, Status));
    return Status;
  }

  DEBUG ((DEBUG_ERROR, "%a: pSigList(%p) SigListSize(0x%x)\n", __FUNCTION__, SignatureList.Get (), (UINT32)SignatureListSize));

  Status = TolmUpdateHttpsCert (VariableName, &gTolmVariableGuid, SignatureList.Get (), SignatureListSize);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: TolmUpdateHttpsCert returned (%r)\n", __FUNCTION__, Status));
  }

  return Status;
}
