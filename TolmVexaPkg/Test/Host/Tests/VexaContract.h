/** @file
  What the driver may take from a Vexa answer: the acceptance rules of the
  pending-list (0xA0) and import-certificate (0xA2) responses and the message
  of each refusal, written once as the oracle of the hostile-controller test
  and the fuzz targets.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_VEXA_CONTRACT_H_
#define TOLM_VEXA_CONTRACT_H_

#include <SimPlatform.h>

namespace VexaContract {

/// Size the driver sees in ResponseBufferSize for an answer.
inline UINT32
SeenSize (
  const Sim::KivAnswer  &A
  )
{
  return A.StoreNothing ? 0 : A.SizeOverride.value_or ((UINT32)A.Response.size ());
}

/// TRUE when the answer carries a response the driver may look at.
inline bool
Usable (
  const Sim::KivAnswer  &A
  )
{
  return !A.StoreNothing && !A.NoBuffer && !EFI_ERROR (A.Status) && (A.Completion == 0);
}

inline UINT16
Le16At (
  const std::vector<UINT8>  &B,
  size_t                    Offset
  )
{
  return (UINT16)(B[Offset] | (B[Offset + 1] << 8));
}

inline UINT32
Le32At (
  const std::vector<UINT8>  &B,
  size_t                    Offset
  )
{
  return (UINT32)Le16At (B, Offset) | ((UINT32)Le16At (B, Offset + 2) << 16);
}

///
/// The list a 0xA0 answer yields: nullopt for size 0 (every refusal, and a
/// well-formed empty list), otherwise exactly the declared bytes after offset 6.
///
inline std::optional<std::vector<UINT8> >
AcceptedList (
  const Sim::KivAnswer  &A
  )
{
  UINT32  Size = SeenSize (A);

  if (!Usable (A) || (Size < 6) || (A.Response[0] != 0xA0)) {
    return std::nullopt;
  }

  UINT32  Declared = Le32At (A.Response, 2);
  if ((Declared > Size - 6) || (Declared == 0)) {
    return std::nullopt;
  }

  return std::vector<UINT8> (A.Response.begin () + 6, A.Response.begin () + 6 + Declared);
}

///
/// The certificate a 0xA2 answer yields for a request of CertSize bytes for
/// slot CertNum, or nullopt when GetImportCert must refuse it.
///
inline std::optional<std::vector<UINT8> >
OfferedCert (
  const Sim::KivAnswer  &A,
  UINT8                 CertNum,
  UINT16                CertSize
  )
{
  UINT32  Size = SeenSize (A);

  if (!Usable (A) || (Size < 8) || (A.Response[0] != 0xA2)) {
    return std::nullopt;
  }

  if ((Le32At (A.Response, 2) != CertSize) || (Le16At (A.Response, 6) != CertNum) || ((UINT64)Size < 8ULL + CertSize)) {
    return std::nullopt;
  }

  return std::vector<UINT8> (A.Response.begin () + 8, A.Response.begin () + 8 + CertSize);
}

///
/// The DEBUG_ERROR message with which GetPendingTaskList refuses a 0xA0
/// answer, or "" when it takes the list (an empty one included).
///
inline std::string
ListRefusal (
  const Sim::KivAnswer  &A
  )
{
  UINT32  Size = SeenSize (A);

  if (EFI_ERROR (A.Status) || (!A.StoreNothing && (A.Completion != 0))) {
    return "GetPendingTaskList: error status returned from the KIV command.\n";
  }

  // No buffer behind a size counts as a response too short to hold anything.
  if (A.StoreNothing || A.NoBuffer || (Size < 6)) {
    return "GetPendingTaskList: response buffer size too small.\n";
  }

  if (A.Response[0] != 0xA0) {
    return "GetPendingTaskList: bad response command value.\n";
  }

  if (Le32At (A.Response, 2) > Size - 6) {
    return "GetPendingTaskList: pending list size too small.\n";
  }

  return "";
}

///
/// The end of the DEBUG_ERROR message with which GetImportCert refuses a 0xA2
/// answer (the text after "GetImportCert(<line>): "), or "" when it takes
/// the certificate.
///
inline std::string
CertRefusal (
  const Sim::KivAnswer  &A,
  UINT8                 CertNum,
  UINT16                CertSize
  )
{
  UINT32  Size = SeenSize (A);

  if (EFI_ERROR (A.Status) || (!A.StoreNothing && (A.Completion != 0))) {
    return "Failed to get imported cert from Vexa.\n";
  }

  if (A.StoreNothing || A.NoBuffer || (Size < 8)) {
    return "Incorrect response buffer size.\n";
  }

  if (A.Response[0] != 0xA2) {
    return "Incorrect response subommand.\n";
  }

  if (Le32At (A.Response, 2) != CertSize) {
    return "Incorrect response size = " + std::to_string ((INT32)Le32At (A.Response, 2)) +
           "; while cert size is: " + std::to_string (CertSize) + "\n";
  }

  if (Le16At (A.Response, 6) != CertNum) {
    return "Incrrect response index = " + std::to_string (Le16At (A.Response, 6)) + ".\n";
  }

  if ((UINT64)Size < 8ULL + CertSize) {
    return "Incorrect response buffer size.\n";
  }

  return "";
}

} // namespace VexaContract

#endif
