/** @file
  Device models on the simulated I/O port bus: a 16550 UART, the CMOS
  (RTC RAM) behind ports 0x70/0x71 and a Super I/O configured through
  0x4E/0x4F with the logical devices of the two legacy UARTs.

  A model answers only while it is attached (Attach()); a port that no model
  answers reads 0xFF, which is how an absent device looks to firmware.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_SIM_LEGACY_DEVICES_H_
#define TOLM_SIM_LEGACY_DEVICES_H_

#include "SimPlatform.h"

#include <array>
#include <deque>

namespace Sim {

// ===========================================================================
// 16550 UART
// ===========================================================================

///
/// Register an access reached, after the DLAB routing of offsets 0 and 1.
///
enum class UartRegister : UINT8 {
  Rbr, Thr, Dll, Dlm, Ier, Iir, Fcr, Lcr, Mcr, Lsr, Msr, Scr
};

const char *
UartRegisterName (
  UartRegister  Register
  );

struct UartAccess {
  UartRegister    Register;
  bool            Write;
  UINT8           Value;       ///< value written, or value read
};

///
/// A 16550 with its register file, DLAB routing, FIFO enable (IIR bits 7:6)
/// and a transmitter that drains on a shared clock.
///
/// The clock advances by one tick on every access to any UART model. A byte
/// written to THR takes TicksPerByte ticks on the line (0: the line is
/// infinitely fast, the transmitter is empty again at the next access). LSR
/// bit 5 (THRE) is set while at most the byte in the shift register is still
/// going out, bit 6 (TEMT) when nothing is. A byte written while the FIFO
/// (16 bytes, 1 with the FIFO off) and the shift register are full is an
/// overrun: it is still captured, and counted.
///
class Uart16550Model : public PortDevice {
public:
  static constexpr UINT8   LsrThre    = 0x20;
  static constexpr UINT8   LsrTemt    = 0x40;
  static constexpr size_t  FifoDepth  = 16;

  explicit Uart16550Model (
    UINT16  Base
    );

  ~Uart16550Model (
    ) override;

  /// Maps the eight registers at Base on the port bus.
  void
  Attach (
    );

  /// Sets the registers as a platform might have left them (not traced).
  void
  Preset (
    UINT8   Lcr,
    UINT16  Divisor,
    UINT8   Fcr,
    UINT8   Ier,
    UINT8   Mcr
    );

  /// Another agent turns the FIFOs off (IIR bits 7:6 read 0 from now on).
  void
  DisableFifos (
    ) { FifoEnabled = false; }

  UINT16
  Divisor (
    ) const { return static_cast<UINT16>((Dlm << 8) | Dll); }

  /// Values written to one register, in order.
  std::vector<UINT8>
  WritesTo (
    UartRegister  Register
    ) const;

  /// Bytes not yet sent on the line, at the current tick.
  size_t
  PendingBytes (
    ) const;

  // PortDevice
  UINT8
  Read (
    UINT16  Port
    ) override;

  void
  Write (
    UINT16  Port,
    UINT8   Value
    ) override;

  const UINT16    Base;

  // Register file.
  UINT8    Lcr         = 0;
  UINT8    Dll         = 0;
  UINT8    Dlm         = 0;
  UINT8    Ier         = 0;
  UINT8    Mcr         = 0;
  UINT8    Scr         = 0;
  UINT8    Fcr         = 0;     ///< last value written to FCR
  bool     FifoEnabled = false;

  /// Ticks one byte takes on the line (0: sent at once).
  uint64_t                   TicksPerByte = 0;

  std::vector<UINT8>         Transmitted;    ///< every byte written to THR
  std::vector<UartAccess>    Trace;          ///< every access, in order
  uint64_t                   LsrPolls  = 0;  ///< reads of LSR
  uint64_t                   Overruns  = 0;  ///< bytes written into a full transmitter

private:
  UartRegister
  Route (
    UINT16  Port,
    bool    Write
    ) const;

  std::deque<uint64_t>    mDone;             ///< tick at which each pending byte is sent
};

// ===========================================================================
// CMOS
// ===========================================================================

///
/// 128 bytes of CMOS RAM: the index is written to 0x70 (bit 7, the NMI mask,
/// is ignored), the byte read or written at 0x71.
///
class CmosModel : public PortDevice {
public:
  static constexpr UINT16  IndexPort = 0x70;
  static constexpr UINT16  DataPort  = 0x71;

  ~CmosModel (
    ) override;

  void
  Attach (
    );

  // PortDevice
  UINT8
  Read (
    UINT16  Port
    ) override;

  void
  Write (
    UINT16  Port,
    UINT8   Value
    ) override;

  std::array<UINT8, 128>    Bytes{};
  UINT8                     Index = 0;
  std::vector<UINT8>        DataReads;     ///< index of every data-port read
  std::vector<UINT8>        DataWrites;    ///< index of every data-port write
};

// ===========================================================================
// Super I/O
// ===========================================================================

///
/// A Super I/O configured through index port 0x4E and data port 0x4F: register
/// 0x07 selects the logical device, registers 0x30 and up belong to it. The
/// logical devices of COM2 (2) and COM1 (3) are modelled; registers of others
/// read 0xFF.
///
class SuperIoModel : public PortDevice {
public:
  static constexpr UINT16  IndexPort = 0x4E;
  static constexpr UINT16  DataPort  = 0x4F;

  ~SuperIoModel (
    ) override;

  void
  Attach (
    );

  /// Register Register of logical device Device (2 or 3).
  UINT8 &
  Reg (
    UINT8  Device,
    UINT8  Register
    );

  // PortDevice
  UINT8
  Read (
    UINT16  Port
    ) override;

  void
  Write (
    UINT16  Port,
    UINT8   Value
    ) override;

  UINT8                                         Index         = 0;
  UINT8                                         LogicalDevice = 0;
  std::map<UINT8, std::array<UINT8, 256> >      Devices;
  /// Every (register, value) written through the data port, in order.
  std::vector<std::pair<UINT8, UINT8> >         RegisterWrites;
};

} // namespace Sim

#endif
