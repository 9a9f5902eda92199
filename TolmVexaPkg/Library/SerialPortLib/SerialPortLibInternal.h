/** @file
  Registers of the two legacy 16550 UARTs, the CMOS byte that picks their line
  speed and the Super I/O configuration ports that make the board decode them.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_VEXA_SERIAL_PORT_LIB_INTERNAL_H_
#define TOLM_VEXA_SERIAL_PORT_LIB_INTERNAL_H_

#include <Base.h>

//
// Legacy I/O bases, in the order every loop over the ports takes them. COM1 is
// also the primary port whose FIFO state decides whether output is sent.
//
#define TOLM_UART_COM1_BASE  0x3F8
#define TOLM_UART_COM2_BASE  0x2F8

//
// 16550 register indices (register stride 1, one 8-bit port access each).
//
#define R_UART_TXBUF      0         // write, LCR.DLAB = 0
#define R_UART_BAUD_LOW   0         // LCR.DLAB = 1
#define R_UART_BAUD_HIGH  1         // LCR.DLAB = 1
#define R_UART_IER        1         // LCR.DLAB = 0
#define R_UART_IIR        2         // read
#define   B_UART_IIR_FIFOE    0xC0  // bits 7:6, both clear when the FIFOs are off
#define R_UART_FCR        2         // write
#define   B_UART_FCR_FIFOE    BIT0
#define   B_UART_FCR_FIFO64   BIT5
#define R_UART_LCR        3
#define   B_UART_LCR_DLAB     BIT7
#define   B_UART_LCR_FORMAT   0x3F  // data bits, stop bits, parity
#define R_UART_MCR        4
#define R_UART_LSR        5
#define   B_UART_LSR_TXRDY    BIT5  // transmit holding register empty
#define   B_UART_LSR_TEMT     BIT6  // transmitter and FIFO empty

//
// Depth of the 16550's transmit FIFO without the 64-byte extension.
//
#define TOLM_UART_FIFO_DEPTH  16

//
// CMOS: index and data ports, and the byte whose bits 2:1 pick the line speed.
//
#define R_CMOS_INDEX                0x70
#define R_CMOS_DATA                 0x71
#define CMOS_SERIAL_SPEED           0x6F
#define   B_CMOS_SERIAL_SPEED_MASK  0x06

//
// Super I/O configuration: index and data port, and the registers used.
//
#define R_SIO_INDEX               0x4E
#define R_SIO_DATA                0x4F
#define R_SIO_LOGICAL_DEVICE      0x07
#define R_SIO_ACTIVATE            0x30
#define   V_SIO_ACTIVATE_ENABLED  0x01
#define R_SIO_BASE_HIGH           0x60
#define R_SIO_BASE_LOW            0x61
#define R_SIO_IRQ                 0x70
#define SIO_LDN_UART_COM2         0x02
#define SIO_LDN_UART_COM1         0x03

#endif
