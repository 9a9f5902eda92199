/** @file
  Dual-UART serial console: the legacy 16550 UARTs at 0x3F8 (COM1) and 0x2F8
  (COM2) are driven in lockstep, every byte goes to both. Polled mode, no
  flow control; the line speed comes from a CMOS byte.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Base.h>
#include <Library/IoLib.h>
#include <Library/PcdLib.h>
#include <Library/SerialPortLib.h>

extern "C" {
#include <Library/PlatformHookLib.h>
}

#include "SerialPortLibInternal.h"

namespace {

///
/// Both consoles, in the order every loop takes them.
///
constexpr UINTN  mUartBases[] = { TOLM_UART_COM1_BASE, TOLM_UART_COM2_BASE };

///
/// Divisors of the 1.8432 MHz UART clock (115200 baud at divisor 1) for the
/// four speeds that CMOS byte 0x6F bits 2:1 select: 115200, 57600, 19200 and
/// 9600 baud.
///
constexpr UINT32  mBaudRates[] = { 115200, 57600, 19200, 9600 };
constexpr UINT32  mUartMaxBaudRate = 115200;

constexpr UINT16
BaudRateDivisor (
  IN UINT32  BaudRate
  )
{
  return (UINT16)(mUartMaxBaudRate / BaudRate);
}

static_assert (BaudRateDivisor (mBaudRates[0]) == 1, "115200 baud");
static_assert (BaudRateDivisor (mBaudRates[1]) == 2, "57600 baud");
static_assert (BaudRateDivisor (mBaudRates[2]) == 6, "19200 baud");
static_assert (BaudRateDivisor (mBaudRates[3]) == 12, "9600 baud");

/**
  Number of bytes that may be written back to back into an empty transmitter,
  from the FIFO control setting: 1 without FIFO, 16 with the standard FIFO,
  the extended size with the 64-byte FIFO.
**/
constexpr UINTN
TxBatchSize (
  IN UINT8   FifoControl,
  IN UINT32  ExtendedTxFifoSize
  )
{
  return ((FifoControl & B_UART_FCR_FIFOE) == 0) ? 1 :
         ((FifoControl & B_UART_FCR_FIFO64) == 0) ? TOLM_UART_FIFO_DEPTH :
         ExtendedTxFifoSize;
}

static_assert (TxBatchSize (0x06, 64) == 1, "no FIFO: one byte at a time");
static_assert (TxBatchSize (0x07, 64) == 16, "16-byte FIFO");
static_assert (TxBatchSize (0x27, 64) == 64, "64-byte FIFO");

UINT8
UartRead (
  IN UINTN  Base,
  IN UINTN  Register
  )
{
  return IoRead8 (Base + Register);
}

VOID
UartWrite (
  IN UINTN  Base,
  IN UINTN  Register,
  IN UINT8  Value
  )
{
  IoWrite8 (Base + Register, Value);
}

/**
  Polls the line status register until all bits of Mask are set. No time-out:
  an absent UART reads 0xFF and so never holds the caller.
**/
VOID
UartWaitLineStatus (
  IN UINTN  Base,
  IN UINT8  Mask
  )
{
  while ((UartRead (Base, R_UART_LSR) & Mask) != Mask) {
  }
}

UINT8
CmosRead (
  IN UINT8  Index
  )
{
  IoWrite8 (R_CMOS_INDEX, Index);
  return IoRead8 (R_CMOS_DATA);
}

/**
  Tells whether a UART already runs the wanted frame format and divisor. The
  divisor latch is read back on every port, set up or not.
**/
BOOLEAN
UartIsSetUp (
  IN UINTN   Base,
  IN UINT16  Divisor
  )
{
  BOOLEAN  FormatMatches;
  UINT16   CurrentDivisor;

  FormatMatches = (BOOLEAN)((UartRead (Base, R_UART_LCR) & B_UART_LCR_FORMAT) ==
                            (PcdGet8 (PcdSerialLineControl) & B_UART_LCR_FORMAT));

  UartWrite (Base, R_UART_LCR, (UINT8)(UartRead (Base, R_UART_LCR) | B_UART_LCR_DLAB));
  CurrentDivisor  = (UINT16)(UartRead (Base, R_UART_BAUD_HIGH) << 8);
  CurrentDivisor |= UartRead (Base, R_UART_BAUD_LOW);
  UartWrite (Base, R_UART_LCR, (UINT8)(UartRead (Base, R_UART_LCR) & ~B_UART_LCR_DLAB));

  return (BOOLEAN)(FormatMatches && (CurrentDivisor == Divisor));
}

/**
  Programs one UART: divisor, frame format, FIFO on, interrupts off, modem
  control lines low. Waits for the transmitter to drain first so that no byte
  in flight is garbled.
**/
VOID
UartProgram (
  IN UINTN   Base,
  IN UINT16  Divisor
  )
{
  UartWaitLineStatus (Base, B_UART_LSR_TXRDY | B_UART_LSR_TEMT);

  UartWrite (Base, R_UART_LCR, B_UART_LCR_DLAB);
  UartWrite (Base, R_UART_BAUD_HIGH, (UINT8)(Divisor >> 8));
  UartWrite (Base, R_UART_BAUD_LOW, (UINT8)(Divisor & 0xFF));
  UartWrite (Base, R_UART_LCR, (UINT8)(PcdGet8 (PcdSerialLineControl) & B_UART_LCR_FORMAT));
  UartWrite (Base, R_UART_FCR, 0x00);
  UartWrite (Base, R_UART_FCR, (UINT8)(PcdGet8 (PcdSerialFifoControl) & (B_UART_FCR_FIFOE | B_UART_FCR_FIFO64)));
  UartWrite (Base, R_UART_IER, 0x00);
  UartWrite (Base, R_UART_MCR, 0x00);
}

} // namespace

/**
  Sets up the Super I/O and both UARTs at the speed that CMOS byte 0x6F
  selects. A UART that already runs that speed and frame format is left
  exactly as the platform set it.

  @retval RETURN_SUCCESS  Always.
**/
RETURN_STATUS
EFIAPI
SerialPortInitialize (
  VOID
  )
{
  UINT16  Divisor;

  PlatformHookSerialPortInitialize ();

  Divisor = BaudRateDivisor (mBaudRates[(CmosRead (CMOS_SERIAL_SPEED) & B_CMOS_SERIAL_SPEED_MASK) >> 1]);

  for (UINTN Base : mUartBases) {
    if (!UartIsSetUp (Base, Divisor)) {
      UartProgram (Base, Divisor);
    }
  }

  return RETURN_SUCCESS;
}

/**
  Writes data to both UARTs.

  Bytes go out in batches of one transmit FIFO's depth. Before each batch the
  primary port must still have its FIFOs on, and both transmitters must be
  empty; within a batch the line status is not polled.

  @param[in] Buffer         The bytes to send.
  @param[in] NumberOfBytes  How many; 0 only waits until both transmitters
                            have drained.

  @return NumberOfBytes when everything went out; 0 for a NULL buffer, a
          flush, or when the primary port's FIFOs were found off (the rest of
          the data is then sent to neither port).
**/
UINTN
EFIAPI
SerialPortWrite (
  IN UINT8  *Buffer,
  IN UINTN  NumberOfBytes
  )
{
  UINTN  PrimaryBase;
  UINTN  BatchSize;
  UINTN  Result;
  UINTN  Index;

  if (Buffer == NULL) {
    return 0;
  }

  if (NumberOfBytes == 0) {
    for (UINTN Base : mUartBases) {
      UartWaitLineStatus (Base, B_UART_LSR_TXRDY | B_UART_LSR_TEMT);
    }

    return 0;
  }

  PrimaryBase = (UINTN)PcdGet64 (PcdSerialRegisterBase);
  BatchSize   = TxBatchSize (PcdGet8 (PcdSerialFifoControl), PcdGet32 (PcdSerialExtendedTxFifoSize));
  Result      = NumberOfBytes;

  while (NumberOfBytes != 0) {
    if ((UartRead (PrimaryBase, R_UART_IIR) & B_UART_IIR_FIFOE) == 0) {
      return 0;
    }

    for (UINTN Base : mUartBases) {
      UartWaitLineStatus (Base, B_UART_LSR_TEMT);
    }

    for (Index = 0; (Index < BatchSize) && (NumberOfBytes != 0); Index++) {
      for (UINTN Base : mUartBases) {
        UartWrite (Base, R_UART_TXBUF, *Buffer);
      }

      Buffer++;
      NumberOfBytes--;
    }
  }

  return Result;
}

/**
  The console is output only: no byte is ever read.

  @return 0.
**/
UINTN
EFIAPI
SerialPortRead (
  OUT UINT8  *Buffer,
  IN  UINTN  NumberOfBytes
  )
{
  return 0;
}

/**
  The console is output only: no input is ever pending.

  @retval FALSE  Always.
**/
BOOLEAN
EFIAPI
SerialPortPoll (
  VOID
  )
{
  return FALSE;
}

/**
  Control lines are not driven by this console.

  @retval RETURN_UNSUPPORTED  Always.
**/
RETURN_STATUS
EFIAPI
SerialPortSetControl (
  IN UINT32  Control
  )
{
  return RETURN_UNSUPPORTED;
}

/**
  Control lines are not reported by this console.

  @retval RETURN_UNSUPPORTED  Always.
**/
RETURN_STATUS
EFIAPI
SerialPortGetControl (
  OUT UINT32  *Control
  )
{
  return RETURN_UNSUPPORTED;
}

/**
  The speed comes from CMOS and the frame format is fixed at build time; it
  cannot be changed through this call.

  @retval RETURN_UNSUPPORTED  Always.
**/
RETURN_STATUS
EFIAPI
SerialPortSetAttributes (
  IN OUT UINT64              *BaudRate,
  IN OUT UINT32              *ReceiveFifoDepth,
  IN OUT UINT32              *Timeout,
  IN OUT EFI_PARITY_TYPE     *Parity,
  IN OUT UINT8               *DataBits,
  IN OUT EFI_STOP_BITS_TYPE  *StopBits
  )
{
  return RETURN_UNSUPPORTED;
}
