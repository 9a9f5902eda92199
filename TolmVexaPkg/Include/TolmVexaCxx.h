/** @file
  Force-included first into every C++ translation unit of this package (the
  modules' [BuildOptions] and the host test build name it with -include).
  With clang it is force-included into the C units too (the generated
  AutoGen.c), where it is empty.

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

//
// The package is C++17. GCC is told so by TolmVexaCxx.specs; clang has no
// per-language flags, so it builds C++ at its default level, which is C++17
// from clang 16 on. An older compiler stops here instead of building
// something else.
//
static_assert (__cplusplus >= 201703L, "TolmVexaPkg needs C++17: clang 16 or later, or GCC with TolmVexaCxx.specs");

extern "C" {

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
#include <Library/TimerLib.h>
#include <Library/UefiApplicationEntryPoint.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiDriverEntryPoint.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#if __has_include(<Library/IpmiLib.h>)     // MdeModulePkg's, for modules that name that package
  #include <Library/IpmiLib.h>
#endif
}

#endif // __cplusplus

#endif
