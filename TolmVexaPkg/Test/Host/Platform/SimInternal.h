/** @file
  Shared between the parts of the simulated platform; not for tests.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_SIM_INTERNAL_H_
#define TOLM_SIM_INTERNAL_H_

#include "SimPlatform.h"

#include <cstring>
#include <utility>

namespace Sim {
namespace Internal {

inline constexpr char  BootServicesName[]    = "BootServices";
inline constexpr char  RuntimeServicesName[] = "RuntimeServices";

/// Drops every timer event and sets the clock to 0.
void
ClearTimers (
  );

void
NoteUnsupported (
  const char  *Table,
  size_t      Offset
  );

//
// One stub stands in for slots of every signature, so it is called through
// function types other than its own; clang's function-type check (part of its
// UndefinedBehaviorSanitizer) is kept off for it alone.
//
#if defined (__clang__)
#define SIM_ANY_SIGNATURE  __attribute__((no_sanitize("function")))
#else
#define SIM_ANY_SIGNATURE
#endif

template<const char *Table, size_t Offset>
SIM_ANY_SIGNATURE
EFI_STATUS
EFIAPI
UnsupportedService (
  )
{
  NoteUnsupported (Table, Offset);
  return EFI_UNSUPPORTED;
}

/// Fills the function-pointer slots of a service table (after its header) with
/// stubs that record "<Table>+0x<offset>" and answer EFI_UNSUPPORTED.
template<const char *Table, size_t... Index>
void
FillUnsupported (
  void  *TableBase,
  std::index_sequence<Index...>
  )
{
  using Stub = EFI_STATUS (EFIAPI *)();
  Stub  Stubs[] = { &UnsupportedService<Table, sizeof (EFI_TABLE_HEADER) + Index * sizeof (VOID *)>... };

  for (size_t Slot = 0; Slot < sizeof...(Index); Slot++) {
    memcpy (static_cast<UINT8 *>(TableBase) + sizeof (EFI_TABLE_HEADER) + Slot * sizeof (VOID *), &Stubs[Slot], sizeof (VOID *));
  }
}

void
BuildBootServices (
  EFI_BOOT_SERVICES  *Table
  );

void
BuildRuntimeServices (
  EFI_RUNTIME_SERVICES  *Table
  );

void
ClearHandles (
  );

void
ClearUnsupported (
  );

/// Creates a handle with no protocol (the image handle).
EFI_HANDLE
CreateHandle (
  );

void
ResetConfigurationTables (
  EFI_SYSTEM_TABLE  *SystemTable
  );

/// Fills the reserved entries of an outside protocol with unsupported stubs.
void
FillProtocolStubs (
  void    *Interface,
  size_t  Size
  );

} // namespace Internal
} // namespace Sim

#endif
