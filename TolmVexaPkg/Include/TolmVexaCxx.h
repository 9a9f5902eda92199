/** @file
  Force-included first into every C++ translation unit of this package (the
  modules' [BuildOptions] and the host test build name it with -include).

  EDK II's headers have no extern "C" guards of their own. Including the
  library classes here, inside one extern "C" block, gives every declaration C
  linkage once and for all: the include guards make the later includes in the
  sources no-ops, so the C++ sources, and the generated AutoGen.c compiled as
  C++, call and define the same symbols as the C libraries they link with.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_VEXA_CXX_H_
#define TOLM_VEXA_CXX_H_

#ifdef __cplusplus
extern "C" {
#endif

#include <PiDxe.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/DebugPrintErrorLevelLib.h>
#include <Library/DevicePathLib.h>
#include <Library/HobLib.h>
#include <Library/IoLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PcdLib.h>
#include <Library/PerformanceLib.h>
#include <Library/PrintLib.h>
#include <Library/SerialPortLib.h>
#include <Library/UefiApplicationEntryPoint.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiDriverEntryPoint.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

#ifdef __cplusplus
}
#endif

#endif
