/** @file
  The dual-UART serial console on the UART, CMOS and Super I/O models:
  lockstep batches, the primary port's FIFO gate, the speed table, the
  "already set up" test and the Super I/O hook.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DiagnosticsBench.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Sim::UartRegister;

namespace {

std::vector<UINT8>
Pattern (
  size_t  Length
  )
{
  std::vector<UINT8>  Bytes (Length);

  for (size_t Index = 0; Index < Length; Index++) {
    Bytes[Index] = static_cast<UINT8>('A' + Index % 26);
  }

  return Bytes;
}

///
/// The bus log as the write path sees it: "IIR" (COM1 IIR read), "LSR1" /
/// "LSR2" (line status polls, runs of the same poll merged), "T" (one byte to
/// COM1 then the same byte to COM2). Anything else is spelt out.
///
std::vector<std::string>
WritePathEvents (
  )
{
  std::vector<std::string>  Events;
  const auto                &Log = Sim::Ports ().Log ();

  for (size_t Index = 0; Index < Log.size (); Index++) {
    const Sim::PortAccess  &Access = Log[Index];
    std::string            Event;

    if (!Access.Write && (Access.Port == Diag::Com1 + 2)) {
      Event = "IIR";
    } else if (!Access.Write && (Access.Port == Diag::Com1 + 5)) {
      Event = "LSR1";
    } else if (!Access.Write && (Access.Port == Diag::Com2 + 5)) {
      Event = "LSR2";
    } else if (Access.Write && (Access.Port == Diag::Com1) && (Index + 1 < Log.size ()) &&
               Log[Index + 1].Write && (Log[Index + 1].Port == Diag::Com2) &&
               (Log[Index + 1].Value == Access.Value))
    {
      Event = "T";
      Index++;
    } else {
      char  Text[32];
      snprintf (Text, sizeof (Text), "%s %03X=%02X", Access.Write ? "W" : "R", Access.Port, Access.Value);
      Event = Text;
    }

    if (!Events.empty () && (Event.rfind ("LSR", 0) == 0) && (Events.back () == Event)) {
      continue;
    }

    Events.push_back (Event);
  }

  return Events;
}

std::vector<std::string>
ExpectedBatches (
  std::initializer_list<size_t>  Sizes
  )
{
  std::vector<std::string>  Events;

  for (size_t Size : Sizes) {
    Events.insert (Events.end (), { "IIR", "LSR1", "LSR2" });
    Events.insert (Events.end (), Size, "T");
  }

  return Events;
}

///
/// For each batch on one UART: the last LSR value read before its first byte.
///
std::vector<UINT8>
LsrBeforeEachBatch (
  const Sim::Uart16550Model  &Uart
  )
{
  std::vector<UINT8>  Values;
  UINT8               LastLsr  = 0;
  bool                InBatch  = false;

  for (const auto &Access : Uart.Trace) {
    if (!Access.Write && (Access.Register == UartRegister::Lsr)) {
      LastLsr = Access.Value;
      InBatch = false;
    } else if (Access.Write && (Access.Register == UartRegister::Thr) && !InBatch) {
      Values.push_back (LastLsr);
      InBatch = true;
    }
  }

  return Values;
}

/// The last LSR value one UART returned before the first write to Register.
UINT8
LsrBeforeFirstWriteTo (
  const Sim::Uart16550Model  &Uart,
  UartRegister               Register
  )
{
  UINT8  Lsr = 0;

  for (const auto &Access : Uart.Trace) {
    if (Access.Write && (Access.Register == Register)) {
      break;
    }

    if (!Access.Write && (Access.Register == UartRegister::Lsr)) {
      Lsr = Access.Value;
    }
  }

  return Lsr;
}

// --- Write path ---------------------------------------------------------------

TEST (SerialPortWrite, SendsBatchesOfSixteenBehindTheFifoCheckAndBothWaits) {
  Diag::Bench  Bench;
  auto         Message = Pattern (40);

  EXPECT_EQ (40u, SerialPortWrite (Message.data (), Message.size ()));

  EXPECT_THAT (WritePathEvents (), ElementsAreArray (ExpectedBatches ({ 16, 16, 8 })));
  EXPECT_THAT (Bench.Uart1.Transmitted, ElementsAreArray (Message));
  EXPECT_THAT (Bench.Uart2.Transmitted, ElementsAreArray (Message));
}

TEST (SerialPortWrite, WaitsForEmptyTransmittersOnASlowLine) {
  Diag::Bench  Bench;
  auto         Message = Pattern (100);

  // Each byte takes longer on the line than the whole batch takes to write.
  Bench.Uart1.TicksPerByte = 7;
  Bench.Uart2.TicksPerByte = 11;

  EXPECT_EQ (100u, SerialPortWrite (Message.data (), Message.size ()));

  EXPECT_THAT (WritePathEvents (), ElementsAreArray (ExpectedBatches ({ 16, 16, 16, 16, 16, 16, 4 })));
  for (auto *Uart : { &Bench.Uart1, &Bench.Uart2 }) {
    EXPECT_EQ (0u, Uart->Overruns) << std::hex << Uart->Base;
    EXPECT_THAT (Uart->Transmitted, ElementsAreArray (Message));
    // Every batch starts on an empty transmitter (TEMT), not merely THRE.
    for (UINT8 Lsr : LsrBeforeEachBatch (*Uart)) {
      EXPECT_EQ (0x40, Lsr & 0x40) << std::hex << Uart->Base;
    }
  }

  EXPECT_GT (Bench.Uart1.LsrPolls, 7u) << "the waits must really have waited";
}

TEST (SerialPortWrite, PrimaryPortFifoDecidesForBothPorts) {
  struct {
    const char    *Case;
    bool          Com1FifoOn;
    bool          Com2FifoOn;
    UINTN         Result;
  } const  Cases[] = {
    { "COM1 FIFOs off: dropped on both ports", false, true,  0  },
    { "both FIFOs off: dropped",               false, false, 0  },
    { "COM2 FIFOs off: still sent on both",    true,  false, 20 },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.Case);
    Sim::Reset ();
    Diag::Bench  Bench;
    auto         Message = Pattern (20);
    if (!C.Com1FifoOn) {
      Bench.Uart1.DisableFifos ();
    }

    if (!C.Com2FifoOn) {
      Bench.Uart2.DisableFifos ();
    }

    EXPECT_EQ (C.Result, SerialPortWrite (Message.data (), Message.size ()));
    EXPECT_EQ (C.Result, Bench.Uart1.Transmitted.size ());
    EXPECT_EQ (C.Result, Bench.Uart2.Transmitted.size ());
  }
}

/// COM1 whose FIFOs another agent turns off once a number of bytes went out.
class Com1LosingItsFifos : public Sim::Uart16550Model {
public:
  explicit Com1LosingItsFifos (
    size_t  After
    ) : Uart16550Model (Diag::Com1), mAfter (After) {}

  void
  Write (
    UINT16  Port,
    UINT8   Value
    ) override
  {
    Uart16550Model::Write (Port, Value);
    if (Transmitted.size () == mAfter) {
      DisableFifos ();
    }
  }

private:
  size_t  mAfter;
};

TEST (SerialPortWrite, FromTheBatchAfterCom1LosesItsFifosNothingIsSent) {
  Diag::Bench         Bench;
  Com1LosingItsFifos  Com1 (16);
  auto                Message = Pattern (40);
  UINT8               Next[]  = "next\n";

  Sim::Ports ().Unmap (&Bench.Uart1);
  Com1.Preset (0x03, 1, 0x01, 0, 0);
  Com1.Attach ();

  EXPECT_EQ (0u, SerialPortWrite (Message.data (), Message.size ())) << "a lost message, not the bytes sent so far";
  EXPECT_THAT (Com1.Transmitted, ElementsAreArray (Message.data (), 16));
  EXPECT_THAT (Bench.Uart2.Transmitted, ElementsAreArray (Message.data (), 16));
  EXPECT_EQ (0u, SerialPortWrite (Next, 5));
  EXPECT_EQ (16u, Bench.Uart2.Transmitted.size ());
}

TEST (SerialPortWrite, ZeroBytesFlushesBothPortsAndNullSendsNothing) {
  Diag::Bench  Bench;
  UINT8        Byte = 'x';

  Bench.Uart1.TicksPerByte = 50;
  Bench.Uart2.TicksPerByte = 50;
  ASSERT_EQ (1u, SerialPortWrite (&Byte, 1));
  Sim::Ports ().Clear ();
  Bench.Uart1.Attach ();
  Bench.Uart2.Attach ();

  EXPECT_EQ (0u, SerialPortWrite (&Byte, 0));
  // Polls COM1 until drained, then COM2; no IIR check, no data.
  EXPECT_THAT (WritePathEvents (), ElementsAre ("LSR1", "LSR2"));
  EXPECT_EQ (0u, Bench.Uart1.PendingBytes ());
  EXPECT_EQ (0u, Bench.Uart2.PendingBytes ());

  Sim::Ports ().Clear ();
  EXPECT_EQ (0u, SerialPortWrite (nullptr, 5));
  EXPECT_TRUE (Sim::Ports ().Log ().empty ());
}

TEST (SerialPortWrite, AbsentSecondPortDoesNotHoldTheConsole) {
  Diag::Bench  Bench;
  auto         Message = Pattern (33);

  Sim::Ports ().Unmap (&Bench.Uart2);     // COM2 reads 0xFF, writes vanish

  EXPECT_EQ (33u, SerialPortWrite (Message.data (), Message.size ()));
  EXPECT_THAT (Bench.Uart1.Transmitted, ElementsAreArray (Message));
}

// --- Initialisation -------------------------------------------------------------

///
/// The writes of a full programming, after the divisor read-back, for a port
/// whose LCR read OldLcr.
///
std::vector<std::pair<UartRegister, UINT8> >
FullProgramming (
  UINT8   OldLcr,
  UINT16  Divisor
  )
{
  return {
    { UartRegister::Lcr, static_cast<UINT8>(OldLcr | 0x80)  },
    { UartRegister::Lcr, static_cast<UINT8>(OldLcr & ~0x80) },
    { UartRegister::Lcr, 0x80                               },
    { UartRegister::Dlm, static_cast<UINT8>(Divisor >> 8)   },
    { UartRegister::Dll, static_cast<UINT8>(Divisor & 0xFF) },
    { UartRegister::Lcr, 0x03                               },
    { UartRegister::Fcr, 0x00                               },
    { UartRegister::Fcr, 0x01                               },
    { UartRegister::Ier, 0x00                               },
    { UartRegister::Mcr, 0x00                               },
  };
}

std::vector<std::pair<UartRegister, UINT8> >
WritesOf (
  const Sim::Uart16550Model  &Uart
  )
{
  std::vector<std::pair<UartRegister, UINT8> >  Writes;

  for (const auto &Access : Uart.Trace) {
    if (Access.Write) {
      Writes.push_back ({ Access.Register, Access.Value });
    }
  }

  return Writes;
}

TEST (SerialPortInitialize, CmosByteSelectsTheDivisorOfBothPorts) {
  struct {
    UINT8     Cmos6F;
    UINT16    Divisor;
  } const  Cases[] = {
    { 0x00, 1  },
    { 0x02, 2  },    // 57600
    { 0x04, 6  },    // 19200
    { 0x07, 12 },    // 9600: bit 0 ignored
    { 0x09, 1  },    // 115200: bit 3 ignored
    { 0xFE, 12 },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (::testing::Message () << "CMOS 0x6F = 0x" << std::hex << int(C.Cmos6F));
    Sim::Reset ();
    Diag::Bench  Bench;
    Bench.Uart1.Preset (0x00, 0, 0, 0x0F, 0x0B);     // not set up
    Bench.Uart2.Preset (0x1B, 0, 0, 0x0F, 0x0B);
    Bench.Cmos.Bytes[0x6F] = C.Cmos6F;
    for (auto *Uart : { &Bench.Uart1, &Bench.Uart2 }) {
      Uart->TicksPerByte = 50;                        // bytes still on the line
      for (int Byte = 0; Byte < 4; Byte++) {
        IoWrite8 (Uart->Base, 'x');
      }

      Uart->Trace.clear ();
    }

    const size_t  Before = Sim::Ports ().Log ().size ();

    EXPECT_EQ (EFI_SUCCESS, SerialPortInitialize ());

    // The Super I/O hook runs before any UART is touched, then COM1 is set up.
    const auto  &Log  = Sim::Ports ().Log ();
    auto        IsUart = [](const Sim::PortAccess &A) { return A.Port >= Diag::Com2; };
    auto        First  = std::find_if (Log.begin () + Before, Log.end (), [&](const Sim::PortAccess &A) {
                                         return (A.Port == 0x4E) || IsUart (A);
                                       });
    ASSERT_NE (First, Log.end ());
    EXPECT_EQ (0x4E, First->Port);
    EXPECT_GE (std::find_if (First, Log.end (), IsUart)->Port, Diag::Com1);
    EXPECT_THAT (WritesOf (Bench.Uart1), ElementsAreArray (FullProgramming (0x00, C.Divisor)));
    EXPECT_THAT (WritesOf (Bench.Uart2), ElementsAreArray (FullProgramming (0x1B, C.Divisor)));
    for (auto *Uart : { &Bench.Uart1, &Bench.Uart2 }) {
      EXPECT_EQ (0x60, LsrBeforeFirstWriteTo (*Uart, UartRegister::Dlm) & 0x60) << "reprogrammed only once drained";
      EXPECT_EQ (C.Divisor, Uart->Divisor ());
      EXPECT_EQ (0x03, Uart->Lcr);
      EXPECT_TRUE (Uart->FifoEnabled);
      EXPECT_EQ (0, Uart->Ier);
      EXPECT_EQ (0, Uart->Mcr);
    }

    // CMOS byte 0x6F is read exactly once.
    EXPECT_THAT (Bench.Cmos.DataReads, ElementsAre (0x6F));
  }
}

TEST (SerialPortInitialize, KeepsAPortThatAlreadyRunsTheFormatAndSpeed) {
  struct {
    const char    *Case;
    UINT8         Lcr;
    UINT16        Divisor;
    bool          Reprogrammed;
  } const  Cases[] = {
    { "8N1 at the wanted divisor",              0x03, 2,     false },
    { "8N1 with DLAB left set",                 0x83, 2,     false },
    { "8N1 with break bit set (bit 6 ignored)", 0x43, 2,     false },
    { "8N1 at another divisor",                 0x03, 1,     true  },
    { "divisor high byte differs",              0x03, 0x102, true  },
    { "divisor high byte 0x80",                 0x03, 0x8002, true },
    { "7E1 at the wanted divisor",              0x1A, 2,     true  },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.Case);
    Sim::Reset ();
    Diag::Bench  Bench;
    Bench.Cmos.Bytes[0x6F] = 0x02;                    // divisor 2
    Bench.Uart1.Preset (C.Lcr, C.Divisor, 0xC7, 0x05, 0x0B);
    Bench.Uart2.Preset (0x03, 2, 0x01, 0x00, 0x00);   // set up

    EXPECT_EQ (EFI_SUCCESS, SerialPortInitialize ());

    if (C.Reprogrammed) {
      EXPECT_THAT (WritesOf (Bench.Uart1), ElementsAreArray (FullProgramming (C.Lcr, 2)));
      EXPECT_EQ (2, Bench.Uart1.Divisor ());
    } else {
      // Only the divisor read-back touched the port: FCR, IER, MCR as left.
      EXPECT_THAT (
        WritesOf (Bench.Uart1),
        ElementsAre (
          std::make_pair (UartRegister::Lcr, static_cast<UINT8>(C.Lcr | 0x80)),
          std::make_pair (UartRegister::Lcr, static_cast<UINT8>(C.Lcr & ~0x80))
          )
        );
      EXPECT_EQ (0xC7, Bench.Uart1.Fcr);
      EXPECT_EQ (0x05, Bench.Uart1.Ier);
      EXPECT_EQ (0x0B, Bench.Uart1.Mcr);
    }

    // The divisor latch is read back high byte first on both ports.
    EXPECT_EQ (2u, WritesOf (Bench.Uart2).size ());
    std::vector<UartRegister>  LatchReads;
    for (const auto &Access : Bench.Uart2.Trace) {
      if (!Access.Write && ((Access.Register == UartRegister::Dll) || (Access.Register == UartRegister::Dlm))) {
        LatchReads.push_back (Access.Register);
      }
    }

    EXPECT_THAT (LatchReads, ElementsAre (UartRegister::Dlm, UartRegister::Dll));
  }
}

TEST (SerialPortInitialize, AbsentPortIsProgrammedBlindlyWithoutHanging) {
  Diag::Bench  Bench;

  Sim::Ports ().Unmap (&Bench.Uart1);
  Bench.Uart2.Preset (0x00, 0, 0, 0, 0);

  EXPECT_EQ (EFI_SUCCESS, SerialPortInitialize ());

  // COM1 reads 0xFF (LCR & 0x3F = 0x3F): not set up, so it is programmed; its
  // transmitter wait ends at once (LSR 0xFF).
  std::vector<std::pair<UINT16, UINT8> >  Com1Writes;
  for (const auto &Access : Sim::Ports ().Log ()) {
    if (Access.Write && (Access.Port >= Diag::Com1) && (Access.Port < Diag::Com1 + 8)) {
      Com1Writes.push_back ({ static_cast<UINT16>(Access.Port - Diag::Com1), Access.Value });
    }
  }

  EXPECT_THAT (
    Com1Writes,
    ElementsAreArray (
      std::vector<std::pair<UINT16, UINT8> >({
    { 3, 0xFF }, { 3, 0x7F }, { 3, 0x80 }, { 1, 0x00 }, { 0, 0x01 }, { 3, 0x03 },
    { 2, 0x00 }, { 2, 0x01 }, { 1, 0x00 }, { 4, 0x00 }
  })
      )
    );
  EXPECT_THAT (WritesOf (Bench.Uart2), ElementsAreArray (FullProgramming (0x00, 1)));
}

// --- Super I/O hook -------------------------------------------------------------

const std::vector<std::pair<UINT8, UINT8> >  SetupTable = {
  { 0x07, 0x03 }, { 0x60, 0x03 }, { 0x61, 0xF8 }, { 0x70, 0x04 }, { 0x30, 0x01 },
  { 0x07, 0x02 }, { 0x60, 0x02 }, { 0x61, 0xF8 }, { 0x70, 0x03 }, { 0x30, 0x01 },
};

TEST (PlatformHookSerialPortInitialize, SetsUpTheSuperIoUnlessAUartDeviceIsActive) {
  struct {
    const char    *Case;
    UINT8         Device3Activate;
    UINT8         Device2Activate;
    bool          Written;
  } const  Cases[] = {
    { "device 3 active",       0x01, 0x00, false },
    { "device 2 active",       0x00, 0x01, false },
    { "both active",           0x01, 0x01, false },
    { "both inactive",         0x00, 0x00, true  },
    { "other non-zero values", 0x03, 0x81, true  },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.Case);
    Sim::Reset ();
    Diag::Bench  Bench;
    Bench.SuperIo.Reg (3, 0x30) = C.Device3Activate;
    Bench.SuperIo.Reg (2, 0x30) = C.Device2Activate;

    EXPECT_EQ (EFI_SUCCESS, PlatformHookSerialPortInitialize ());

    // Probe: select 3, read activate, select 2, read activate.
    std::vector<std::pair<UINT8, UINT8> >  Expected = { { 0x07, 0x03 }, { 0x07, 0x02 } };
    if (C.Written) {
      Expected.insert (Expected.end (), SetupTable.begin (), SetupTable.end ());
      EXPECT_EQ (0x01, Bench.SuperIo.Reg (3, 0x30));
      EXPECT_EQ (0xF8, Bench.SuperIo.Reg (2, 0x61));
    }

    EXPECT_THAT (Bench.SuperIo.RegisterWrites, ElementsAreArray (Expected));
  }
}

TEST (PlatformHookSerialPortInitialize, AbsentSuperIoGetsAllTenPairs) {
  Diag::Bench  Bench;

  Sim::Ports ().Unmap (&Bench.SuperIo);

  EXPECT_EQ (EFI_SUCCESS, PlatformHookSerialPortInitialize ());

  std::vector<std::pair<UINT8, UINT8> >  Pairs;
  const auto                             &Log = Sim::Ports ().Log ();
  for (size_t Index = 0; Index + 1 < Log.size (); Index++) {
    if (Log[Index].Write && (Log[Index].Port == 0x4E) && Log[Index + 1].Write && (Log[Index + 1].Port == 0x4F)) {
      Pairs.push_back ({ Log[Index].Value, Log[Index + 1].Value });
    }
  }

  std::vector<std::pair<UINT8, UINT8> >  Expected = { { 0x07, 0x03 }, { 0x07, 0x02 } };
  Expected.insert (Expected.end (), SetupTable.begin (), SetupTable.end ());
  EXPECT_THAT (Pairs, ElementsAreArray (Expected));
}

} // namespace
