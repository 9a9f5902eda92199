/** @file
  IPMI_PROTOCOL over the BMC's KCS system interface (QEMU's isa-ipmi-kcs at
  I/O 0xCA2/0xCA3): the platform's IPMI stack, which OVMF lacks, for
  KivIpmiBlobDxe and anything else on IpmiLib.

  One IpmiSubmitCommand call is one KCS transaction, tried once: after an
  interface error the interface is brought back to idle (GET_STATUS/ABORT)
  and the error returned. Completion codes pass through as they are; what
  to try again is the caller's decision (KivIpmiBlobDxe knows which blob
  transactions may be repeated). With nothing at the ports a call fails at
  once (EFI_UNSUPPORTED). The protocol is installed whether or not an
  interface answers at start: the BMC may be in reset while DXE dispatches.

  Next to IPMI_PROTOCOL the driver installs a test-only interface
  (IPMI_KCS_TEST_PROTOCOL) with counters of what it carried.

  Test code of the on-target test bed (a platform stand-in); not part of the
  certificate driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/IpmiProtocol.h>

#include "../Include/IpmiKcsTest.h"
#include "KcsInterface.h"

namespace {

IPMI_KCS_COUNTERS  mCounters;

/**
  IPMI_PROTOCOL.IpmiSubmitCommand: one KCS transaction.

  @param[in]      This              The interface.
  @param[in]      NetFunction       Network function (LUN 0).
  @param[in]      Command           IPMI command.
  @param[in]      RequestData       Request data; NULL when the size is 0.
  @param[in]      RequestDataSize   At most 255 bytes.
  @param[out]     ResponseData      Receives the response data, completion
                                    code first.
  @param[in, out] ResponseDataSize  In: its room; out: the bytes received.

  @retval EFI_SUCCESS            A response arrived.
  @retval EFI_INVALID_PARAMETER  A pointer is NULL or the request too long.
  @retval EFI_UNSUPPORTED        No KCS interface at the ports.
  @retval EFI_TIMEOUT            A time limit passed (interface recovered).
  @retval EFI_DEVICE_ERROR       The interface erred, or the response does
                                 not answer this request.
  @retval EFI_OUT_OF_RESOURCES   The response does not fit; the size needed
                                 is in ResponseDataSize.
**/
EFI_STATUS
EFIAPI
KcsSubmitCommand (
  IN     IPMI_PROTOCOL  *This,
  IN     UINT8          NetFunction,
  IN     UINT8          Command,
  IN     UINT8          *RequestData,
  IN     UINT32         RequestDataSize,
  OUT    UINT8          *ResponseData,
  IN OUT UINT32         *ResponseDataSize
  )
{
  EFI_STATUS  Status;
  UINT8       Raw[Kcs::KCS_MAX_RESPONSE_DATA];
  UINT32      RawSize;
  UINT64      Before;

  if ((ResponseData == NULL) || (ResponseDataSize == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  Before = Kcs::gCounters.Transactions;
  Status = Kcs::Transact (NetFunction, Command, RequestData, RequestDataSize, Raw, &RawSize);
  mCounters.Transactions   += Kcs::gCounters.Transactions - Before;
  mCounters.Recoveries      = Kcs::gCounters.Recoveries;
  mCounters.RequestBytes    = Kcs::gCounters.RequestBytes;
  mCounters.ResponseBytes   = Kcs::gCounters.ResponseBytes;
  mCounters.LargestRequest  = Kcs::gCounters.LargestRequest;
  mCounters.LargestResponse = Kcs::gCounters.LargestResponse;
  switch (Status) {
    case EFI_SUCCESS:
      break;
    case EFI_NO_RESPONSE:
      return EFI_UNSUPPORTED;
    case EFI_INVALID_PARAMETER:
    case EFI_TIMEOUT:
      mCounters.Unanswered += (Status == EFI_TIMEOUT) ? 1 : 0;
      return Status;
    default:
      mCounters.Unanswered++;
      return EFI_DEVICE_ERROR;
  }

  if ((Raw[0] == 0xC0) || (Raw[0] == 0xC3) || (Raw[0] == 0xD2)) {
    mCounters.Unanswered++;
  }

  if (RawSize > *ResponseDataSize) {
    *ResponseDataSize = RawSize;
    return EFI_OUT_OF_RESOURCES;
  }

  CopyMem (ResponseData, Raw, RawSize);
  *ResponseDataSize = RawSize;
  return EFI_SUCCESS;
}

VOID
EFIAPI
TestGetCounters (
  IN  IPMI_KCS_TEST_PROTOCOL  *This,
  OUT IPMI_KCS_COUNTERS       *Counters OPTIONAL,
  IN  BOOLEAN                 Clear
  )
{
  if (Counters != NULL) {
    CopyMem (Counters, &mCounters, sizeof (*Counters));
  }

  if (Clear) {
    ZeroMem (&mCounters, sizeof (mCounters));
    ZeroMem (&Kcs::gCounters, sizeof (Kcs::gCounters));
  }
}

IPMI_PROTOCOL           mIpmi = { KcsSubmitCommand };
IPMI_KCS_TEST_PROTOCOL  mTest = { TestGetCounters };
EFI_GUID                mTestGuid = IPMI_KCS_TEST_PROTOCOL_GUID;

} // namespace

extern "C" {

/**
  Installs IPMI_PROTOCOL and the test-only interface on a new handle.

  @param[in] ImageHandle  This image.
  @param[in] SystemTable  The system table.

  @return The status of the installation.
**/
EFI_STATUS
EFIAPI
IpmiKcsDxeEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_HANDLE  Handle;

  Handle = NULL;
  return gBS->InstallMultipleProtocolInterfaces (&Handle, &gIpmiProtocolGuid, &mIpmi, &mTestGuid, &mTest, NULL);
}

} // extern "C"
