/** @file
  Shared set-up of the diagnostics tests: the two UARTs, the CMOS and the
  Super I/O on the port bus, the driver's DebugLib returned to its load-time
  state, and helpers to read what reached the serial console.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_DIAGNOSTICS_BENCH_H_
#define TOLM_DIAGNOSTICS_BENCH_H_

#include "SimPlatform.h"
#include "Devices/LegacyDevices.h"

#include <Guid/DebugMask.h>
#include <Guid/HobList.h>

extern "C" {
#include <Library/PlatformHookLib.h>
}

#include "../../../Library/DebugLib/DebugLibInternal.h"
#include "../../../Library/SerialPortLib/SerialPortLibInternal.h"

namespace Diag {

constexpr UINT16  Com1 = TOLM_UART_COM1_BASE;
constexpr UINT16  Com2 = TOLM_UART_COM2_BASE;

///
/// The legacy devices of a board whose UARTs the platform already set up at
/// 115200 baud, 8N1, FIFO on; CMOS all zero; Super I/O with both UART devices
/// active. The debug library starts as a freshly loaded image has it.
///
struct Bench {
  Sim::Uart16550Model    Uart1{ Com1 };
  Sim::Uart16550Model    Uart2{ Com2 };
  Sim::CmosModel         Cmos;
  Sim::SuperIoModel      SuperIo;

  Bench (
    )
  {
    mTolmDebugLib = TOLM_DEBUG_LIB_STATE{};
    Uart1.Preset (0x03, 1, 0x01, 0, 0);
    Uart2.Preset (0x03, 1, 0x01, 0, 0);
    Uart1.Attach ();
    Uart2.Attach ();
    Cmos.Attach ();
    SuperIo.Reg (2, 0x30) = 0x01;
    SuperIo.Reg (3, 0x30) = 0x01;
    SuperIo.Attach ();
  }

  ~Bench (
    )
  {
    mTolmDebugLib = TOLM_DEBUG_LIB_STATE{};
  }

  /// What reached one port's THR, as text.
  std::string
  Console (
    const Sim::Uart16550Model  &Uart
    ) const
  {
    return std::string (Uart.Transmitted.begin (), Uart.Transmitted.end ());
  }

  /// Puts a 32-bit level into CMOS bytes 0x7A..0x7D, little-endian.
  void
  SetCmosLevel (
    UINT32  Level
    )
  {
    for (int Index = 0; Index < 4; Index++) {
      Cmos.Bytes[0x7A + Index] = static_cast<UINT8>(Level >> (8 * Index));
    }
  }

  /// Accesses of the CMOS ports 0x70/0x71 on the bus since the reset.
  size_t
  CmosAccesses (
    ) const
  {
    size_t  Count = 0;

    for (const auto &Access : Sim::Ports ().Log ()) {
      if ((Access.Port == 0x70) || (Access.Port == 0x71)) {
        Count++;
      }
    }

    return Count;
  }

  EFI_STATUS
  RunErrorLevelConstructor (
    )
  {
    return TolmDebugLibErrorLevelConstructor (Sim::ImageHandle (), Sim::SystemTable ());
  }

  EFI_STATUS
  RunOutputConstructor (
    )
  {
    return TolmDebugLibOutputConstructor (Sim::ImageHandle (), Sim::SystemTable ());
  }

  EFI_DEBUG_MASK_PROTOCOL *
  DebugMask (
    ) const
  {
    return static_cast<EFI_DEBUG_MASK_PROTOCOL *>(Sim::InterfaceOn (Sim::ImageHandle (), gEfiDebugMaskProtocolGuid));
  }
};

///
/// A HOB list in test-owned memory: GUID extension HOBs followed by the end
/// HOB, published in the configuration table under gEfiHobListGuid.
///
class HobList {
public:
  void
  AddGuidHob (
    const EFI_GUID             &Name,
    const std::vector<UINT8>   &Data
    )
  {
    size_t  Length = (sizeof (EFI_HOB_GUID_TYPE) + Data.size () + 7) & ~static_cast<size_t>(7);
    size_t  Offset = mBytes.size ();

    mBytes.resize (Offset + Length, 0);
    auto  *Hob = reinterpret_cast<EFI_HOB_GUID_TYPE *>(mBytes.data () + Offset);
    Hob->Header.HobType   = EFI_HOB_TYPE_GUID_EXTENSION;
    Hob->Header.HobLength = static_cast<UINT16>(Length);
    Hob->Name             = Name;
    std::copy (Data.begin (), Data.end (), mBytes.begin () + Offset + sizeof (EFI_HOB_GUID_TYPE));
  }

  /// A HOB of another type (resource descriptor sized), to be skipped.
  void
  AddOtherHob (
    )
  {
    size_t  Offset = mBytes.size ();

    mBytes.resize (Offset + 48, 0);
    auto  *Header = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(mBytes.data () + Offset);
    Header->HobType   = EFI_HOB_TYPE_RESOURCE_DESCRIPTOR;
    Header->HobLength = 48;
  }

  /// A HOB of another type whose length field is 0: a corrupt list.
  void
  AddZeroLengthHob (
    )
  {
    AddOtherHob ();
    reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(mBytes.data () + mBytes.size () - 48)->HobLength = 0;
  }

  /// An end HOB; Publish () adds the one that ends the list.
  void
  AddEndHob (
    )
  {
    size_t  Offset = mBytes.size ();

    mBytes.resize (Offset + sizeof (EFI_HOB_GENERIC_HEADER), 0);
    auto  *End = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(mBytes.data () + Offset);
    End->HobType   = EFI_HOB_TYPE_END_OF_HOB_LIST;
    End->HobLength = sizeof (EFI_HOB_GENERIC_HEADER);
  }

  void
  Publish (
    )
  {
    AddEndHob ();
    mStorage.assign ((mBytes.size () + 7) / 8, 0);
    memcpy (mStorage.data (), mBytes.data (), mBytes.size ());
    ASSERT_EQ (EFI_SUCCESS, gBS->InstallConfigurationTable (&gEfiHobListGuid, mStorage.data ()));
  }

private:
  std::vector<UINT8>     mBytes;
  std::vector<UINT64>    mStorage;      ///< 8-byte aligned copy handed out
};

} // namespace Diag

#endif
