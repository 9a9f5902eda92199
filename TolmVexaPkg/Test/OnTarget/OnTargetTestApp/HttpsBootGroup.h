/** @file
  On-target test application: the HTTPS boot groups (HttpsBootGroup.cpp).

  In these groups the application is the platform's boot policy: it loads the
  stand-ins, the certificate driver and the trust driver, arms the Vexa,
  applies its requests, signals ReadyToBoot and boots a URI over HTTPS through
  HttpBootDxe, as Boot Device Selection would.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HTTPS_BOOT_GROUP_H_
#define HTTPS_BOOT_GROUP_H_

#include <Uefi.h>

namespace OnTarget {

/**
  Reads the command line of a boot without the shell (the application started
  as the removable-media boot file) from "ontarget.cmd" in the root of its
  volume.

  @return A pool copy of the line as CHAR16 text, or NULL when there is none.
**/
CHAR16 *
ReadCommandFile (
  IN EFI_HANDLE  Volume
  );

/**
  TRUE when Options name an HTTPS boot group: https-slot1, https-slot3 or
  https-demo.
**/
BOOLEAN
IsHttpsBootGroup (
  IN CONST CHAR16  *Options
  );

/**
  Runs the HTTPS boot group that Options name.

  @param[in]     Volume   The application's FAT volume (images, certificates).
  @param[in]     Options  The command line: the group, then the URIs of the
                          server signed by the provisioned CA and (https-slot1,
                          https-slot3) of the server signed by another CA.
  @param[in,out] Passed   Count of passed cases.
  @param[in,out] Failed   Count of failed cases.
**/
VOID
RunHttpsBootGroup (
  IN     EFI_HANDLE    Volume,
  IN     CONST CHAR16  *Options,
  IN OUT UINTN         *Passed,
  IN OUT UINTN         *Failed
  );

} // namespace OnTarget

#endif
