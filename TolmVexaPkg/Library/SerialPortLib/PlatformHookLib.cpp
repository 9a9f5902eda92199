/** @file
  Platform hook of the serial console: makes the board's Super I/O decode the
  two legacy UARTs unless the platform has already switched one of them on.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Base.h>
#include <Library/IoLib.h>

extern "C" {
#include <Library/PlatformHookLib.h>
}

#include "SerialPortLibInternal.h"

namespace {

struct SIO_REGISTER_WRITE {
  UINT8    Register;
  UINT8    Value;
};

///
/// Logical device 3 decodes COM1 on IRQ 4, logical device 2 decodes COM2 on
/// IRQ 3. Written in this order, with no configuration-mode key sequence.
///
constexpr SIO_REGISTER_WRITE  mSioUartSetup[] = {
  { R_SIO_LOGICAL_DEVICE, SIO_LDN_UART_COM1      },
  { R_SIO_BASE_HIGH,      0x03                   },
  { R_SIO_BASE_LOW,       0xF8                   },
  { R_SIO_IRQ,            0x04                   },
  { R_SIO_ACTIVATE,       V_SIO_ACTIVATE_ENABLED },
  { R_SIO_LOGICAL_DEVICE, SIO_LDN_UART_COM2      },
  { R_SIO_BASE_HIGH,      0x02                   },
  { R_SIO_BASE_LOW,       0xF8                   },
  { R_SIO_IRQ,            0x03                   },
  { R_SIO_ACTIVATE,       V_SIO_ACTIVATE_ENABLED },
};

static_assert (sizeof (mSioUartSetup) / sizeof (mSioUartSetup[0]) == 10, "ten register writes");
static_assert (((TOLM_UART_COM1_BASE >> 8) == 0x03) && ((TOLM_UART_COM1_BASE & 0xFF) == 0xF8), "device 3 decodes COM1");
static_assert (((TOLM_UART_COM2_BASE >> 8) == 0x02) && ((TOLM_UART_COM2_BASE & 0xFF) == 0xF8), "device 2 decodes COM2");

VOID
SioWrite (
  IN UINT8  Register,
  IN UINT8  Value
  )
{
  IoWrite8 (R_SIO_INDEX, Register);
  IoWrite8 (R_SIO_DATA, Value);
}

UINT8
SioRead (
  IN UINT8  Register
  )
{
  IoWrite8 (R_SIO_INDEX, Register);
  return IoRead8 (R_SIO_DATA);
}

/**
  Reads the activate register of one logical device of the Super I/O.
**/
UINT8
SioDeviceActivate (
  IN UINT8  LogicalDevice
  )
{
  SioWrite (R_SIO_LOGICAL_DEVICE, LogicalDevice);
  return SioRead (R_SIO_ACTIVATE);
}

} // namespace

/**
  Makes the Super I/O decode COM1 (0x3F8, IRQ 4) and COM2 (0x2F8, IRQ 3).

  When either UART's logical device is already active the platform owns the
  Super I/O set-up and nothing is written. A missing Super I/O reads 0xFF,
  which counts as inactive: the writes then go nowhere.

  @retval RETURN_SUCCESS  Always.
**/
RETURN_STATUS
EFIAPI
PlatformHookSerialPortInitialize (
  VOID
  )
{
  UINT8  Com1Activate;
  UINT8  Com2Activate;

  Com1Activate = SioDeviceActivate (SIO_LDN_UART_COM1);
  Com2Activate = SioDeviceActivate (SIO_LDN_UART_COM2);
  if ((Com1Activate == V_SIO_ACTIVATE_ENABLED) || (Com2Activate == V_SIO_ACTIVATE_ENABLED)) {
    return RETURN_SUCCESS;
  }

  for (const SIO_REGISTER_WRITE &Write : mSioUartSetup) {
    SioWrite (Write.Register, Write.Value);
  }

  return RETURN_SUCCESS;
}
