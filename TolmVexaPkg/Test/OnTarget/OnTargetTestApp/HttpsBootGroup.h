/** @file
  On-target test application: the HTTPS boot group (HttpsBootGroup.cpp).

  The application is the boot policy of a server whose Vexa is a real BMC:
  with KivIpmiBlobDxe over IpmiKcsDxe as the transport, the certificate driver and the trust
  driver in place, it applies the BMC's requests, signals ReadyToBoot and
  boots URIs over HTTPS through HttpBootDxe, as Boot Device Selection would.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HTTPS_BOOT_GROUP_H_
#define HTTPS_BOOT_GROUP_H_

#include <Uefi.h>

namespace OnTarget {

/**
  TRUE when Options name the HTTPS boot group (the word "https").
**/
BOOLEAN
IsHttpsBootGroup (
  IN CONST CHAR16  *Options
  );

/**
  Runs one boot of the HTTPS boot group.

  @param[in] Volume      The application's FAT volume.
  @param[in] Options     The command line: "https", then the HTTPS boots to
                         try ("try=LABEL,accepted|refused|final,URI").
  @param[in] Dispatched  The platform build: the stand-ins, IpmiKcsDxe, KivIpmiBlobDxe, the
                         driver and the trust driver were dispatched from the
                         firmware volume; nothing is loaded from Volume.
**/
VOID
RunHttpsBootGroup (
  IN EFI_HANDLE    Volume,
  IN CONST CHAR16  *Options,
  IN BOOLEAN       Dispatched
  );

} // namespace OnTarget

#endif
