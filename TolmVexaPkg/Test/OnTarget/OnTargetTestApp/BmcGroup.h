/** @file
  The BMC scenario group of the on-target test application: the driver
  against the Vexa as a real BMC process (OpenIPMI's simulator with the
  VexaBmc module), reached over QEMU's KCS interface through IpmiKcsDxe and KivIpmiBlobDxe.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef BMC_GROUP_H_
#define BMC_GROUP_H_

#include <Uefi.h>

/**
  Runs one boot of the BMC group: loads the stand-ins, IpmiKcsDxe, KivIpmiBlobDxe and the
  driver (unless the DXE dispatcher started them from the firmware volume),
  runs HandlePendingTasks and SyncHttpsCertToVEXA as a platform's boot
  policy does, and reports what they did; the host checks the rest against
  the BMC's state.

  @param[in]     Volume             The application's own volume.
  @param[in]     Dispatched         The platform build: the stand-ins,
                                    IpmiKcsDxe, KivIpmiBlobDxe and the driver were dispatched
                                    from the firmware volume; nothing is
                                    loaded from Volume.
  @param[in]     TscPerMicrosecond  Calibrated time-stamp-counter rate.

  The cases are counted in the application's counters (TestSupport.h).
**/
VOID
RunBmcGroup (
  IN     EFI_HANDLE    Volume,
  IN     BOOLEAN       Dispatched,
  IN     UINT64        TscPerMicrosecond
  );

#endif
