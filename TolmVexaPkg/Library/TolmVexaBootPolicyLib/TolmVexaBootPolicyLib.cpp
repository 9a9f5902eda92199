/** @file
  TolmVexaBootPolicyLib: the certificate driver's two services and the
  derivation of the HTTPS boot trust, called by the platform's boot manager
  in that order, each step on the console.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>
#include <Library/HttpsBootTrustLib.h>
#include <Library/PrintLib.h>
#include <Library/TimerLib.h>
#include <Library/TolmVexaBootPolicyLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>

#include "../../Feature/TolmVexaHttpsBootCertMgmtDxe/TolmVexaHttpsBootCertMgmtDxe.h"

namespace {

/**
  A time stamp of the platform's performance counter.

  @return The counter.
**/
UINT64
Now (
  VOID
  )
{
  return GetPerformanceCounter ();
}

/**
  Microseconds from Start to now.

  @param[in] Start  A time stamp from Now().

  @return The microseconds elapsed (0 when the counter does not run).
**/
UINT64
MicrosecondsSince (
  IN UINT64  Start
  )
{
  UINT64  StartValue;
  UINT64  EndValue;
  UINT64  End;

  End = Now ();
  GetPerformanceCounterProperties (&StartValue, &EndValue);
  //
  // A counter that counts down reports its start above its end.
  //
  return DivU64x32 (GetTimeInNanoSecond (StartValue > EndValue ? Start - End : End - Start), 1000);
}

/**
  One step's line, on the console and in the debug log.

  @param[in] ErrorLevel  The debug log's level of the line.
  @param[in] Step        The step's name.
  @param[in] Result      Its result, as text.
  @param[in] Us          Its duration in microseconds.
**/
VOID
Report (
  IN UINTN        ErrorLevel,
  IN CONST CHAR8  *Step,
  IN CONST CHAR8  *Result,
  IN UINT64       Us
  )
{
  AsciiPrint (TOLM_VEXA_BOOT_POLICY_PREFIX "%a %a (%Lu us)\r\n", Step, Result, Us);
  DEBUG ((ErrorLevel, TOLM_VEXA_BOOT_POLICY_PREFIX "%a %a (%Lu us)\n", Step, Result, Us));
}

/**
  The result of an EFI_STATUS step as text.

  @param[out] Text    Receives the text.
  @param[in]  Size    Size of Text in bytes.
  @param[in]  Status  The status.
  @param[in]  Note    What the status means for the boot, or NULL.

  @return Text.
**/
CONST CHAR8 *
StatusText (
  OUT CHAR8        *Text,
  IN UINTN         Size,
  IN EFI_STATUS    Status,
  IN CONST CHAR8  *Note
  )
{
  if (Note != NULL) {
    AsciiSPrint (Text, Size, "returned %r: %a", Status, Note);
  } else {
    AsciiSPrint (Text, Size, "returned %r", Status);
  }

  return Text;
}

} // namespace

extern "C" {

/**
  Applies the Vexa's pending requests, reports the slots back to it and
  derives the trust anchors of HTTPS boot from the slots, in that order, each
  step named on the console with its result.

  @retval EFI_SUCCESS    "TlsCaCertificate" holds the certificates of one or
                         more slots.
  @retval EFI_NOT_FOUND  No slot holds a well-formed certificate.
  @retval Others         "TlsCaCertificate" could not be brought into that
                         state.
**/
EFI_STATUS
EFIAPI
TolmVexaBootPolicyApply (
  VOID
  )
{
  TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL  *Cert;
  EFI_STATUS                               Status;
  BOOLEAN                                  Pending;
  UINT64                                   Start;
  CHAR8                                    Text[128];

  Cert   = NULL;
  Start  = Now ();
  Status = gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, NULL, (VOID **)&Cert);
  if (EFI_ERROR (Status) || (Cert == NULL)) {
    //
    // The driver declined (a Simics platform) or is not in the image: the
    // slots stay as they are, and the trust is still derived from them.
    //
    AsciiSPrint (
      Text,
      sizeof (Text),
      "not found (%r): the BMC's requests are not applied, the slots not reported",
      Status
      );
    Report (DEBUG_WARN, "certificate driver", Text, MicrosecondsSince (Start));
  } else {
    Report (DEBUG_INFO, "certificate driver", "found", MicrosecondsSince (Start));

    Start   = Now ();
    Pending = Cert->HandlePendingTasks ();
    Report (
      DEBUG_INFO,
      "HandlePendingTasks",
      Pending ? "returned TRUE: the BMC's requests were applied" :
      "returned FALSE: nothing pending, or the BMC was not reached",
      MicrosecondsSince (Start)
      );

    Start  = Now ();
    Status = Cert->SyncHttpsCertToVEXA ();
    Report (
      EFI_ERROR (Status) ? DEBUG_ERROR : DEBUG_INFO,
      "SyncHttpsCertToVEXA",
      StatusText (Text, sizeof (Text), Status, EFI_ERROR (Status) ? "the BMC does not know the slots" : NULL),
      MicrosecondsSince (Start)
      );
  }

  Start  = Now ();
  Status = TolmUpdateHttpsBootTrust ();
  Report (
    (Status == EFI_SUCCESS) ? DEBUG_INFO : DEBUG_ERROR,
    "TolmUpdateHttpsBootTrust",
    StatusText (
      Text,
      sizeof (Text),
      Status,
      (Status == EFI_SUCCESS) ? "HTTPS boot trusts the slots" :
      (Status == EFI_NOT_FOUND) ? "HTTPS boot trusts no server" :
      "HTTPS boot must not be offered"
      ),
    MicrosecondsSince (Start)
    );
  return Status;
}

} // extern "C"
