/** @file
  The KCS system interface of IPMI v2.0 (chapter 9),
  polled: one IPMI request and its response per transaction, every wait on
  the status register bounded, and GET_STATUS/ABORT to bring the interface
  back to idle after an error.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef KCS_INTERFACE_H_
#define KCS_INTERFACE_H_

#include <Uefi.h>
#if __has_include(<IndustryStandard/IpmiKcs.h>)
  #include <IndustryStandard/IpmiKcs.h>
  #define KCS_EDK2_DEFINITIONS
#endif

namespace Kcs {

//
// I/O ports of the interface: QEMU's isa-ipmi-kcs and the IPMI default for
// a BMC's KCS system interface.
//
constexpr UINT16  R_KCS_DATA    = 0x0CA2;  ///< read: data out; write: data in
constexpr UINT16  R_KCS_STATUS  = 0x0CA3;  ///< read: status
constexpr UINT16  R_KCS_COMMAND = 0x0CA3;  ///< write: control code

//
// Status register and control codes: EDK II's own definitions where the tree
// has them (IndustryStandard/IpmiKcs.h, from EDK II 2023 on), the same
// values from IPMI v2.0's KCS chapter otherwise.
//
#ifdef KCS_EDK2_DEFINITIONS
constexpr UINT8  B_KCS_STATUS_OBF        = IPMI_KCS_OBF;
constexpr UINT8  B_KCS_STATUS_IBF        = IPMI_KCS_IBF;
constexpr UINT8  B_KCS_STATUS_CD         = IPMI_KCS_COMMAND_DATA;
constexpr UINT8  B_KCS_STATUS_STATE      = IPMI_KCS_S1 | IPMI_KCS_S0;
constexpr UINT8  KCS_CC_GET_STATUS_ABORT = IPMI_KCS_CONTROL_CODE_GET_STATUS_ABORT;
constexpr UINT8  KCS_CC_WRITE_START      = IPMI_KCS_CONTROL_CODE_WRITE_START;
constexpr UINT8  KCS_CC_WRITE_END        = IPMI_KCS_CONTROL_CODE_WRITE_END;
constexpr UINT8  KCS_CC_READ             = IPMI_KCS_CONTROL_CODE_READ;
#else
constexpr UINT8  B_KCS_STATUS_OBF        = BIT0;  ///< output buffer full: a byte waits in data out
constexpr UINT8  B_KCS_STATUS_IBF        = BIT1;  ///< input buffer full: the BMC has not taken the last write
constexpr UINT8  B_KCS_STATUS_CD         = BIT3;  ///< last write went to the command register
constexpr UINT8  B_KCS_STATUS_STATE      = BIT7 | BIT6;
constexpr UINT8  KCS_CC_GET_STATUS_ABORT = 0x60;
constexpr UINT8  KCS_CC_WRITE_START      = 0x61;
constexpr UINT8  KCS_CC_WRITE_END        = 0x62;
constexpr UINT8  KCS_CC_READ             = 0x68;  ///< written to data in: acknowledges a response byte
#endif
constexpr UINT8  N_KCS_STATUS_STATE = 6;

/// Nothing decodes the ports: an ISA bus without a device reads all ones.
constexpr UINT8  KCS_STATUS_ABSENT = 0xFF;

enum KcsState : UINT8 {
  KcsStateIdle  = 0,
  KcsStateRead  = 1,
  KcsStateWrite = 2,
  KcsStateError = 3
};

//
// Time limits (microseconds). A BMC takes a byte written to it, or puts the
// next response byte out, in microseconds; it may think about a request for
// much longer. The limits are counted in stalls of KCS_POLL_INTERVAL_US, so
// the time actually waited is somewhat longer than the figure.
//
constexpr UINT32  KCS_POLL_INTERVAL_US   = 10;
constexpr UINT32  KCS_BYTE_TIMEOUT_US    = 100 * 1000;
constexpr UINT32  KCS_RESPONSE_TIMEOUT_US = 2 * 1000 * 1000;

///
/// Room per transaction. Requests: OpenIPMI's simulator takes at most 255
/// data bytes (NetFn/LUN and command not counted) and drops longer ones
/// without an answer, so that is what this transport sends. Responses: QEMU's
/// KCS interface carries 300 bytes, NetFn/LUN and command included; the
/// simulator itself answers with at most 36 (VexaBmc/IpmiProtocol.md), but
/// whatever the interface delivers is taken.
///
constexpr UINT32  KCS_MAX_REQUEST_DATA  = 255;   ///< data bytes of a request
constexpr UINT32  KCS_MAX_RESPONSE_DATA = 298;   ///< data bytes of a response, completion code included
constexpr UINT32  KCS_REQUEST_HEADER    = 2;     ///< NetFn/LUN, command
constexpr UINT32  KCS_RESPONSE_HEADER   = 2;     ///< NetFn/LUN, command

///
/// A BMC that sends more than this many bytes in one response is not
/// speaking KCS: the read is abandoned and the interface recovered.
///
constexpr UINT32  KCS_RESPONSE_BYTE_LIMIT = 1024;

///
/// What the interface has done since the counters were last cleared.
///
struct Counters {
  UINT64    Transactions;     ///< requests written whose response was read in full
  UINT64    RequestBytes;     ///< bytes written as requests (NetFn/LUN and command included)
  UINT64    ResponseBytes;    ///< bytes read as responses (NetFn/LUN and command included)
  UINT64    Recoveries;       ///< GET_STATUS/ABORT sequences run after an error
  UINT32    LargestRequest;   ///< most data bytes in one request
  UINT32    LargestResponse;  ///< most data bytes in one response, completion code included
};

extern Counters  gCounters;

/**
  Sends one IPMI request over the KCS interface and reads its response.

  On an interface error (a time limit passed, the BMC in the error state or
  in a state the protocol does not allow) the interface is brought back to
  idle with GET_STATUS/ABORT before the function returns; the request is not
  sent again here.

  @param[in]  NetFn         Network function of the request (LUN 0).
  @param[in]  Command       IPMI command.
  @param[in]  Data          Request data; may be NULL when DataSize is 0.
  @param[in]  DataSize      Bytes of request data, at most KCS_MAX_REQUEST_DATA.
  @param[out] Response      Receives the response data from the completion
                            code on; KCS_MAX_RESPONSE_DATA bytes of room.
  @param[out] ResponseSize  Receives the number of response data bytes
                            (at least 1: the completion code).

  @retval EFI_SUCCESS            A response to this request arrived.
  @retval EFI_INVALID_PARAMETER  DataSize too large, or a pointer NULL.
  @retval EFI_NO_RESPONSE        The status register reads 0xFF: no KCS
                                 interface at these ports.
  @retval EFI_TIMEOUT            The BMC did not take a byte, or did not
                                 answer, within its time limit.
  @retval EFI_DEVICE_ERROR       The interface went to the error state or
                                 to a state the protocol does not allow.
  @retval EFI_PROTOCOL_ERROR     The response is shorter than its header,
                                 longer than KCS_MAX_RESPONSE_DATA, or does
                                 not answer this NetFn and command.
**/
EFI_STATUS
Transact (
  IN  UINT8        NetFn,
  IN  UINT8        Command,
  IN  CONST UINT8  *Data OPTIONAL,
  IN  UINT32       DataSize,
  OUT UINT8        *Response,
  OUT UINT32       *ResponseSize
  );

/**
  Reads the status register once: after a failed transaction, tells whether
  the recovery left the interface ready for another try.

  @retval TRUE   The interface is idle and takes a new request.
  @retval FALSE  It is absent, busy or in another state.
**/
BOOLEAN
IsIdle (
  VOID
  );

} // namespace Kcs

#endif
