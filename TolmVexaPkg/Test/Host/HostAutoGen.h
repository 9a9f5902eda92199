/** @file
  Force-included first into every host unit (C and C++), in place of the
  AutoGen.h that EDK II's build generates for a module: the fixed-at-build PCD
  values the package's .dsc sets, and the module's base name.

  Only macros and one declaration: no EDK II header is included here, so that
  test units can include the standard and GoogleTest headers before EDK II's.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_HOST_AUTOGEN_H_
#define TOLM_HOST_AUTOGEN_H_

// Debug library (.dsc: PcdDebugPropertyMask 0x1F etc.).
#define _PCD_VALUE_PcdDebugPropertyMask                    0x1FU
#define _PCD_GET_MODE_8_PcdDebugPropertyMask               _PCD_VALUE_PcdDebugPropertyMask
#define _PCD_VALUE_PcdFixedDebugPrintErrorLevel            0xFFFFFFFFU
#define _PCD_GET_MODE_32_PcdFixedDebugPrintErrorLevel      _PCD_VALUE_PcdFixedDebugPrintErrorLevel
#define _PCD_VALUE_PcdDebugPrintErrorLevel                 0x00000000U
#define _PCD_GET_MODE_32_PcdDebugPrintErrorLevel           _PCD_VALUE_PcdDebugPrintErrorLevel
#define _PCD_VALUE_PcdDebugClearMemoryValue                0xAFU
#define _PCD_GET_MODE_8_PcdDebugClearMemoryValue           _PCD_VALUE_PcdDebugClearMemoryValue

// Performance library: measurement on.
#define _PCD_VALUE_PcdPerformanceLibraryPropertyMask       0x01U
#define _PCD_GET_MODE_8_PcdPerformanceLibraryPropertyMask  _PCD_VALUE_PcdPerformanceLibraryPropertyMask

// BaseLib / BasePrintLib limits (MdePkg defaults).
#define _PCD_VALUE_PcdMaximumAsciiStringLength             1000000U
#define _PCD_GET_MODE_32_PcdMaximumAsciiStringLength       _PCD_VALUE_PcdMaximumAsciiStringLength
#define _PCD_VALUE_PcdMaximumUnicodeStringLength           1000000U
#define _PCD_GET_MODE_32_PcdMaximumUnicodeStringLength     _PCD_VALUE_PcdMaximumUnicodeStringLength
#define _PCD_VALUE_PcdMaximumLinkedListLength              1000000U
#define _PCD_GET_MODE_32_PcdMaximumLinkedListLength        _PCD_VALUE_PcdMaximumLinkedListLength
#define _PCD_VALUE_PcdVerifyNodeInList                     0
#define _PCD_GET_MODE_BOOL_PcdVerifyNodeInList             _PCD_VALUE_PcdVerifyNodeInList

// Serial console (.dsc): COM1, 8N1, FIFO enabled, 64-byte transmit FIFO.
#define _PCD_VALUE_PcdSerialUseMmio                        0
#define _PCD_GET_MODE_BOOL_PcdSerialUseMmio                _PCD_VALUE_PcdSerialUseMmio
#define _PCD_VALUE_PcdSerialRegisterBase                   0x3F8ULL
#define _PCD_GET_MODE_64_PcdSerialRegisterBase             _PCD_VALUE_PcdSerialRegisterBase
#define _PCD_VALUE_PcdSerialLineControl                    0x03U
#define _PCD_GET_MODE_8_PcdSerialLineControl               _PCD_VALUE_PcdSerialLineControl
#define _PCD_VALUE_PcdSerialFifoControl                    0x07U
#define _PCD_GET_MODE_8_PcdSerialFifoControl               _PCD_VALUE_PcdSerialFifoControl
#define _PCD_VALUE_PcdSerialExtendedTxFifoSize             64U
#define _PCD_GET_MODE_32_PcdSerialExtendedTxFifoSize       _PCD_VALUE_PcdSerialExtendedTxFifoSize
#define _PCD_VALUE_PcdSerialUseHardwareFlowControl         0
#define _PCD_GET_MODE_BOOL_PcdSerialUseHardwareFlowControl _PCD_VALUE_PcdSerialUseHardwareFlowControl
#define _PCD_VALUE_PcdSerialRegisterStride                 1U
#define _PCD_GET_MODE_32_PcdSerialRegisterStride           _PCD_VALUE_PcdSerialRegisterStride
#define _PCD_VALUE_PcdSerialBaudRate                       115200U
#define _PCD_GET_MODE_32_PcdSerialBaudRate                 _PCD_VALUE_PcdSerialBaudRate
#define _PCD_VALUE_PcdSerialClockRate                      1843200U
#define _PCD_GET_MODE_32_PcdSerialClockRate                _PCD_VALUE_PcdSerialClockRate
#define _PCD_VALUE_PcdSerialDetectCable                    0
#define _PCD_GET_MODE_BOOL_PcdSerialDetectCable            _PCD_VALUE_PcdSerialDetectCable
#define _PCD_VALUE_PcdSerialRegisterAccessWidth            8U
#define _PCD_GET_MODE_8_PcdSerialRegisterAccessWidth       _PCD_VALUE_PcdSerialRegisterAccessWidth

// KivIpmiBlobDxe (TolmVexaPkg.dec defaults): Write and Read pieces, the deadline.
#define _PCD_VALUE_PcdKivBlobWritePiece                    243U
#define _PCD_VALUE_PcdKivBlobReadPiece                     33U
#define _PCD_VALUE_PcdKivMessageDeadlineMs                 60000U

//
// The module's base name (INF BASE_NAME), defined once in HostModule.c.
//
#ifdef __cplusplus
extern "C" {
#endif
extern const char  *gEfiCallerBaseName;
#ifdef __cplusplus
}
#endif

#endif
