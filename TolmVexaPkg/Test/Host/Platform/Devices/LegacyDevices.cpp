/** @file
  Device models on the simulated I/O port bus: 16550 UART, CMOS, Super I/O.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "LegacyDevices.h"

namespace Sim {

namespace {

///
/// The clock shared by every UART model: one tick per UART register access.
///
uint64_t  mUartClock = 0;

constexpr UINT8  LcrDlab = 0x80;

} // namespace

// ===========================================================================
// 16550 UART
// ===========================================================================

const char *
UartRegisterName (
  UartRegister  Register
  )
{
  static const char *const  Names[] = {
    "RBR", "THR", "DLL", "DLM", "IER", "IIR", "FCR", "LCR", "MCR", "LSR", "MSR", "SCR"
  };

  return Names[static_cast<size_t>(Register)];
}

Uart16550Model::Uart16550Model (
  UINT16  Base
  )
  : Base (Base)
{
}

Uart16550Model::~Uart16550Model (
  )
{
  Ports ().Unmap (this);
}

void
Uart16550Model::Attach (
  )
{
  Ports ().Map (Base, 8, this);
}

void
Uart16550Model::Preset (
  UINT8   Lcr,
  UINT16  Divisor,
  UINT8   Fcr,
  UINT8   Ier,
  UINT8   Mcr
  )
{
  this->Lcr   = Lcr;
  Dll         = static_cast<UINT8>(Divisor & 0xFF);
  Dlm         = static_cast<UINT8>(Divisor >> 8);
  this->Fcr   = Fcr;
  FifoEnabled = (Fcr & 0x01) != 0;
  this->Ier   = Ier;
  this->Mcr   = Mcr;
}

std::vector<UINT8>
Uart16550Model::WritesTo (
  UartRegister  Register
  ) const
{
  std::vector<UINT8>  Values;

  for (const auto &Access : Trace) {
    if (Access.Write && (Access.Register == Register)) {
      Values.push_back (Access.Value);
    }
  }

  return Values;
}

size_t
Uart16550Model::PendingBytes (
  ) const
{
  size_t  Pending = 0;

  for (uint64_t Done : mDone) {
    if (Done > mUartClock) {
      Pending++;
    }
  }

  return Pending;
}

UartRegister
Uart16550Model::Route (
  UINT16  Port,
  bool    Write
  ) const
{
  bool  Dlab = (Lcr & LcrDlab) != 0;

  switch (Port - Base) {
    case 0:  return Dlab ? UartRegister::Dll : (Write ? UartRegister::Thr : UartRegister::Rbr);
    case 1:  return Dlab ? UartRegister::Dlm : UartRegister::Ier;
    case 2:  return Write ? UartRegister::Fcr : UartRegister::Iir;
    case 3:  return UartRegister::Lcr;
    case 4:  return UartRegister::Mcr;
    case 5:  return UartRegister::Lsr;
    case 6:  return UartRegister::Msr;
    default: return UartRegister::Scr;
  }
}

UINT8
Uart16550Model::Read (
  UINT16  Port
  )
{
  UartRegister  Register = Route (Port, false);
  UINT8         Value    = 0;

  mUartClock++;
  while (!mDone.empty () && (mDone.front () <= mUartClock)) {
    mDone.pop_front ();
  }

  switch (Register) {
    case UartRegister::Rbr: Value = 0;
      break;
    case UartRegister::Dll: Value = Dll;
      break;
    case UartRegister::Dlm: Value = Dlm;
      break;
    case UartRegister::Ier: Value = Ier;
      break;
    case UartRegister::Iir:
      // No interrupt pending (bit 0 set); bits 7:6 show the FIFOs.
      Value = static_cast<UINT8>((FifoEnabled ? 0xC0 : 0x00) | 0x01);
      break;
    case UartRegister::Lcr: Value = Lcr;
      break;
    case UartRegister::Mcr: Value = Mcr;
      break;
    case UartRegister::Lsr:
      LsrPolls++;
      Value = static_cast<UINT8>((mDone.size () <= 1 ? LsrThre : 0) | (mDone.empty () ? LsrTemt : 0));
      break;
    case UartRegister::Msr: Value = 0;
      break;
    default: Value = Scr;
      break;
  }

  Trace.push_back ({ Register, false, Value });
  return Value;
}

void
Uart16550Model::Write (
  UINT16  Port,
  UINT8   Value
  )
{
  UartRegister  Register = Route (Port, true);

  mUartClock++;
  while (!mDone.empty () && (mDone.front () <= mUartClock)) {
    mDone.pop_front ();
  }

  Trace.push_back ({ Register, true, Value });
  switch (Register) {
    case UartRegister::Thr:
    {
      Transmitted.push_back (Value);
      size_t  Capacity = (FifoEnabled ? FifoDepth : 1) + 1;   // FIFO and shift register
      if (mDone.size () >= Capacity) {
        Overruns++;
        break;
      }

      uint64_t  Start = mDone.empty () ? mUartClock : mDone.back ();
      mDone.push_back (Start + TicksPerByte);
      if (TicksPerByte == 0) {
        mDone.clear ();
      }

      break;
    }
    case UartRegister::Dll: Dll = Value;
      break;
    case UartRegister::Dlm: Dlm = Value;
      break;
    case UartRegister::Ier: Ier = static_cast<UINT8>(Value & 0x0F);
      break;
    case UartRegister::Fcr:
      Fcr         = Value;
      FifoEnabled = (Value & 0x01) != 0;
      if ((Value & 0x04) != 0) {
        mDone.clear ();      // transmit FIFO reset
      }

      break;
    case UartRegister::Lcr: Lcr = Value;
      break;
    case UartRegister::Mcr: Mcr = static_cast<UINT8>(Value & 0x1F);
      break;
    case UartRegister::Scr: Scr = Value;
      break;
    default:
      break;
  }
}

// ===========================================================================
// CMOS
// ===========================================================================

CmosModel::~CmosModel (
  )
{
  Ports ().Unmap (this);
}

void
CmosModel::Attach (
  )
{
  Ports ().Map (IndexPort, 2, this);
}

UINT8
CmosModel::Read (
  UINT16  Port
  )
{
  if (Port != DataPort) {
    return 0xFF;            // the index port is write-only
  }

  DataReads.push_back (Index);
  return Bytes[Index];
}

void
CmosModel::Write (
  UINT16  Port,
  UINT8   Value
  )
{
  if (Port == IndexPort) {
    Index = static_cast<UINT8>(Value & 0x7F);
    return;
  }

  DataWrites.push_back (Index);
  Bytes[Index] = Value;
}

// ===========================================================================
// Super I/O
// ===========================================================================

SuperIoModel::~SuperIoModel (
  )
{
  Ports ().Unmap (this);
}

void
SuperIoModel::Attach (
  )
{
  Devices[2];
  Devices[3];
  Ports ().Map (IndexPort, 2, this);
}

UINT8 &
SuperIoModel::Reg (
  UINT8  Device,
  UINT8  Register
  )
{
  return Devices[Device][Register];
}

UINT8
SuperIoModel::Read (
  UINT16  Port
  )
{
  if (Port == IndexPort) {
    return Index;
  }

  if (Index == 0x07) {
    return LogicalDevice;
  }

  auto  It = Devices.find (LogicalDevice);
  if ((Index < 0x30) || (It == Devices.end ())) {
    return 0xFF;
  }

  return It->second[Index];
}

void
SuperIoModel::Write (
  UINT16  Port,
  UINT8   Value
  )
{
  if (Port == IndexPort) {
    Index = Value;
    return;
  }

  RegisterWrites.push_back ({ Index, Value });
  if (Index == 0x07) {
    LogicalDevice = Value;
    return;
  }

  auto  It = Devices.find (LogicalDevice);
  if ((Index >= 0x30) && (It != Devices.end ())) {
    It->second[Index] = Value;
  }
}

} // namespace Sim
