/** @file
  Test-only interface of the KCS stand-in (IpmiKcsDxe): counters of what
  the IPMI_PROTOCOL producer carried, for the on-target checks and the
  measurements. Installed next to IPMI_PROTOCOL under a GUID of its own.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef IPMI_KCS_TEST_H_
#define IPMI_KCS_TEST_H_

#include <Uefi.h>

#define IPMI_KCS_TEST_PROTOCOL_GUID \
  { 0xCF4D30E7, 0x93AF, 0x4CCF, { 0x8D, 0x27, 0xE7, 0x05, 0xE3, 0x9E, 0x3A, 0x3C } }

///
/// What the producer did since the counters were last cleared.
///
typedef struct {
  UINT64    Transactions;      ///< IPMI request/response pairs completed
  UINT64    RequestBytes;      ///< bytes written as IPMI requests (NetFn/LUN, command, data)
  UINT64    ResponseBytes;     ///< bytes read as IPMI responses (NetFn/LUN, command, completion code, data)
  UINT64    Recoveries;        ///< GET_STATUS/ABORT error exits
  UINT64    Unanswered;        ///< transactions that failed on the interface, or were answered 0xC0, 0xC3 or 0xD2
  UINT32    LargestRequest;    ///< most data bytes in one IPMI request
  UINT32    LargestResponse;   ///< most data bytes in one IPMI response, completion code included
} IPMI_KCS_COUNTERS;

typedef struct _IPMI_KCS_TEST_PROTOCOL IPMI_KCS_TEST_PROTOCOL;

/**
  Copies the counters out and, if asked, clears them.

  @param[in]  This      The interface.
  @param[out] Counters  Receives the counters; NULL to clear only.
  @param[in]  Clear     TRUE: start counting afresh.
**/
typedef
VOID
(EFIAPI *IPMI_KCS_TEST_GET_COUNTERS)(
  IN  IPMI_KCS_TEST_PROTOCOL  *This,
  OUT IPMI_KCS_COUNTERS       *Counters OPTIONAL,
  IN  BOOLEAN                 Clear
  );

struct _IPMI_KCS_TEST_PROTOCOL {
  IPMI_KCS_TEST_GET_COUNTERS    GetCounters;
};

#endif
