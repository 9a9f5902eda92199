/** @file
  Test-only interface of the KCS transport stand-in (KivKcsDxe): counters of
  what the transport carried, for the on-target checks and the measurements.
  Installed next to KIV_PROTOCOL under a GUID of its own; KIV_PROTOCOL itself
  carries none of this.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef KIV_KCS_TEST_H_
#define KIV_KCS_TEST_H_

#include <Uefi.h>

#define KIV_KCS_TEST_PROTOCOL_GUID \
  { 0xCF4D30E7, 0x93AF, 0x4CCF, { 0x8D, 0x27, 0xE7, 0x05, 0xE3, 0x9E, 0x3A, 0x3B } }

///
/// What the transport did since the counters were last cleared.
///
typedef struct {
  UINT64    Messages;          ///< SendCommand calls that went to the interface
  UINT64    Transactions;      ///< IPMI request/response pairs completed
  UINT64    RequestBytes;      ///< bytes written as IPMI requests (NetFn/LUN, command, data)
  UINT64    ResponseBytes;     ///< bytes read as IPMI responses (NetFn/LUN, command, completion code, data)
  UINT64    PayloadBytes;      ///< message bytes carried: request pieces of PUT, response pieces of PUT and GET answers
  UINT64    Recoveries;        ///< GET_STATUS/ABORT error exits
  UINT64    Retries;           ///< transactions or messages started again after an error
  UINT64    Ticks;             ///< time-stamp-counter ticks spent inside SendCommand
  UINT32    LargestRequest;    ///< most data bytes in one IPMI request
  UINT32    LargestResponse;   ///< most data bytes in one IPMI response, completion code included
} KIV_KCS_COUNTERS;

typedef struct _KIV_KCS_TEST_PROTOCOL KIV_KCS_TEST_PROTOCOL;

/**
  Copies the counters out and, if asked, clears them.

  @param[in]  This      The interface.
  @param[out] Counters  Receives the counters; NULL to clear only.
  @param[in]  Clear     TRUE: start counting afresh.
**/
typedef
VOID
(EFIAPI *KIV_KCS_TEST_GET_COUNTERS)(
  IN  KIV_KCS_TEST_PROTOCOL  *This,
  OUT KIV_KCS_COUNTERS       *Counters OPTIONAL,
  IN  BOOLEAN                Clear
  );

struct _KIV_KCS_TEST_PROTOCOL {
  KIV_KCS_TEST_GET_COUNTERS    GetCounters;
};

#endif
