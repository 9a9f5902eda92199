/** @file
  What AutoGen.c defines for a module besides its GUIDs: the module's base
  name (INF BASE_NAME), used in assertion reports.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Base.h>

GLOBAL_REMOVE_IF_UNREFERENCED CONST CHAR8  *gEfiCallerBaseName = "TolmVexaHttpsBootCertMgmt";
