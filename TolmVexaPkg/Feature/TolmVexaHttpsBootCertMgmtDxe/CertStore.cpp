/** @file
  Certificate store: slot names, the update flag, reading a slot, and
  enrolling and deleting certificates as time-based authenticated variables.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TolmVexaHttpsBootCertMgmtDxe.h"
