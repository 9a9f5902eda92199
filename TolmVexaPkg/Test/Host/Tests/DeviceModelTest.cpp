/** @file
  The device models themselves: they must be able to tell a wrong driver from
  a right one (DLAB routing, FIFO state, overruns, absent devices).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DiagnosticsBench.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace {

TEST (DeviceModels, UartRoutesOffsetsZeroAndOneByDlab) {
  Sim::Uart16550Model  Uart (0x3F8);

  Uart.Attach ();
  IoWrite8 (0x3FB, 0x80);
  IoWrite8 (0x3F8, 0x0C);
  IoWrite8 (0x3F9, 0x00);
  IoWrite8 (0x3FB, 0x03);
  IoWrite8 (0x3F9, 0x05);
  IoWrite8 (0x3F8, 'A');

  EXPECT_EQ (12, Uart.Divisor ());
  EXPECT_EQ (0x05, Uart.Ier);
  EXPECT_THAT (Uart.Transmitted, ElementsAre ('A'));
  EXPECT_THAT (Uart.WritesTo (Sim::UartRegister::Dll), ElementsAre (0x0C));
}

TEST (DeviceModels, UartShowsFifoStateAndCountsOverruns) {
  Sim::Uart16550Model  Uart (0x2F8);

  Uart.Attach ();
  Uart.TicksPerByte = 100;
  EXPECT_EQ (0x01, IoRead8 (0x2FA) & 0xC1) << "FIFOs off after reset";
  IoWrite8 (0x2FA, 0x01);
  EXPECT_EQ (0xC0, IoRead8 (0x2FA) & 0xC0);
  EXPECT_EQ (0x60, IoRead8 (0x2FD) & 0x60);

  for (int Index = 0; Index < 18; Index++) {
    IoWrite8 (0x2F8, 'x');
  }

  EXPECT_EQ (1u, Uart.Overruns) << "16-byte FIFO plus the shift register hold 17";
  EXPECT_EQ (0x00, IoRead8 (0x2FD) & 0x60);
  EXPECT_EQ (18u, Uart.Transmitted.size ());
  EXPECT_EQ (2u, Uart.LsrPolls);
}

TEST (DeviceModels, AbsentDevicesReadAllOnes) {
  Sim::CmosModel  Cmos;

  Cmos.Bytes[0x7A] = 0x40;
  Cmos.Attach ();
  IoWrite8 (0x70, 0x80 | 0x7A);              // NMI mask bit ignored
  EXPECT_EQ (0x40, IoRead8 (0x71));
  EXPECT_THAT (Cmos.DataReads, ElementsAre (0x7A));

  EXPECT_EQ (0xFF, IoRead8 (0x3FD));         // no UART mapped
  IoWrite8 (0x4E, 0x30);
  EXPECT_EQ (0xFF, IoRead8 (0x4F));          // no Super I/O mapped

  Sim::SuperIoModel  SuperIo;
  SuperIo.Attach ();
  IoWrite8 (0x4E, 0x07);
  IoWrite8 (0x4F, 0x05);                     // a logical device not modelled
  IoWrite8 (0x4E, 0x30);
  EXPECT_EQ (0xFF, IoRead8 (0x4F));
}

} // namespace
