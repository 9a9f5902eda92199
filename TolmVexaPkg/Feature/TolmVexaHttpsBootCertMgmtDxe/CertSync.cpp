/** @file
  Synchronisation: the two published services.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TolmVexaHttpsBootCertMgmtDxe.h"

BOOLEAN
EFIAPI
HandlePendingTasks (
  VOID
  )
{
  return FALSE;
}

EFI_STATUS
EFIAPI
SyncHttpsCertToVEXA (
  VOID
  )
{
  return EFI_UNSUPPORTED;
}
