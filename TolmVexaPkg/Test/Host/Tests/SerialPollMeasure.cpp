/** @file
  Measures how often the serial console polls the line status registers:
  LSR reads per byte sent for 4 KiB of log, against the design of one
  transmitter-empty wait per port for every 16 bytes (2 polls per batch when
  the transmitters are already empty).

  Not a test: it prints a table. Run: build/Host/serial_poll_measure

  The UART models count every LSR read. The line speed is modelled in ticks
  of the shared UART clock (one tick per UART register access, about 1 us on
  a legacy I/O bus): 0 ticks per byte is an infinitely fast line, where every
  wait ends at its first poll; 87 ticks is 115200 baud; 1042 ticks 9600 baud.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DiagnosticsBench.h"

#include <cstdio>

namespace {

struct Result {
  size_t      Messages;
  size_t      Bytes;
  uint64_t    LsrPolls;
  uint64_t    IirReads;
  uint64_t    DesignPolls;
  uint64_t    Overruns;
};

uint64_t
IirReads (
  )
{
  uint64_t  Count = 0;

  for (const auto &Access : Sim::Ports ().Log ()) {
    if (!Access.Write && (Access.Port == Diag::Com1 + 2)) {
      Count++;
    }
  }

  return Count;
}

///
/// Sends 4 KiB of log in messages of the given lengths (cycled), through
/// DebugPrint (up to 255 bytes) or straight to SerialPortWrite (longer), on a
/// line of TicksPerByte.
///
Result
Run (
  const std::vector<size_t>  &Lengths,
  uint64_t                   TicksPerByte
  )
{
  Sim::Reset ();
  Result  R = {};
  {
    Diag::Bench  Bench;
    Bench.SetCmosLevel (0xFFFFFFFF);
    TolmDebugLibErrorLevelConstructor (Sim::ImageHandle (), Sim::SystemTable ());
    Bench.Uart1.TicksPerByte = TicksPerByte;
    Bench.Uart2.TicksPerByte = TicksPerByte;
    Sim::Ports ().Clear ();
    Bench.Uart1.Attach ();
    Bench.Uart2.Attach ();

    std::string  Text;
    for (size_t Index = 0; R.Bytes < 4096; Index++) {
      size_t  Length = std::min (Lengths[Index % Lengths.size ()], 4096 - R.Bytes);
      size_t  Before = Bench.Uart1.Transmitted.size ();
      if (Length > 255) {
        // Longer than one message can be: straight to the console.
        Text.assign (Length, static_cast<char>('a' + Index % 26));
        SerialPortWrite (reinterpret_cast<UINT8 *>(&Text[0]), Text.size ());
      } else {
        // "\n" goes out as "\r\n": Length bytes in all.
        Text.assign (Length - 2, static_cast<char>('a' + Index % 26));
        DebugPrint (DEBUG_ERROR, "%a\n", Text.c_str ());
      }

      size_t  Sent = Bench.Uart1.Transmitted.size () - Before;
      R.Messages++;
      R.Bytes       += Sent;
      R.DesignPolls += 2 * ((Sent + 15) / 16);
    }

    R.LsrPolls = Bench.Uart1.LsrPolls + Bench.Uart2.LsrPolls;
    R.IirReads = IirReads ();
    R.Overruns = Bench.Uart1.Overruns + Bench.Uart2.Overruns;
    if ((Bench.Uart1.Transmitted.size () != R.Bytes) || (Bench.Uart1.Transmitted != Bench.Uart2.Transmitted)) {
      printf ("!! the ports did not receive the same %zu bytes\n", R.Bytes);
    }
  }
  mTolmDebugLib = TOLM_DEBUG_LIB_STATE{};
  return R;
}

} // namespace

int
main (
  )
{
  struct {
    const char             *Log;
    std::vector<size_t>    Lengths;
  } const  Logs[] = {
    { "one 4096-byte write",            { 4096 }                 },
    { "64-byte messages",               { 64 }                   },
    { "driver-like mix (24..140 bytes)", { 41, 87, 24, 140, 63, 36, 112, 55 } },
    { "40-byte messages",               { 40 }                   },
  };
  struct {
    const char    *Line;
    uint64_t      TicksPerByte;
  } const  Lines[] = {
    { "instant line", 0    },
    { "115200 baud",  87   },
    { "9600 baud",    1042 },
  };

  printf ("%-34s %-12s %8s %6s %10s %12s %12s %8s\n", "log (4096 bytes)", "line", "messages", "IIR", "LSR polls",
          "polls/byte", "design/byte", "overrun");
  for (const auto &L : Logs) {
    for (const auto &Line : Lines) {
      Result  R = Run (L.Lengths, Line.TicksPerByte);
      printf (
        "%-34s %-12s %8zu %6llu %10llu %12.4f %12.4f %8llu\n",
        L.Log,
        Line.Line,
        R.Messages,
        static_cast<unsigned long long>(R.IirReads),
        static_cast<unsigned long long>(R.LsrPolls),
        static_cast<double>(R.LsrPolls) / R.Bytes,
        static_cast<double>(R.DesignPolls) / R.Bytes,
        static_cast<unsigned long long>(R.Overruns)
        );
    }
  }

  return 0;
}
