/** @file
  On-target test bed: the control interfaces of the stand-in platform drivers
  (simulated Vexa behind KIV_PROTOCOL, platform information, variable-policy
  layer) and the marked hex lines through which the target hands bytes to the
  host-side checker.

  Test code only; nothing here is part of the driver.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef ON_TARGET_SIM_H_
#define ON_TARGET_SIM_H_

#include <Uefi.h>
#include <Library/IoLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/PlatformInfo.h>

//
// Test-only protocol GUIDs. They name interfaces between the stand-ins and the
// test application and never leave the test bed.
//
#define VEXA_SIM_CONTROL_PROTOCOL_GUID \
  { 0x6D0F3A21, 0x84C2, 0x4E57, { 0xB1, 0x39, 0x5A, 0x7E, 0x20, 0xC4, 0x9D, 0x11 } }
#define VARIABLE_POLICY_SIM_PROTOCOL_GUID \
  { 0x1B9E4C70, 0x3F25, 0x4A8D, { 0x96, 0x0E, 0xC7, 0x41, 0x5B, 0x2A, 0x8F, 0x63 } }

///
/// Completion codes the simulated Vexa answers with.
///
#define VEXA_SIM_CC_OK                 0x00
#define VEXA_SIM_CC_INVALID_COMMAND    0xC1
#define VEXA_SIM_CC_DATA_NOT_PRESENT   0xCB
#define VEXA_SIM_CC_INVALID_DATA       0xCC

///
/// Certificate numbers the simulated Vexa can hold a certificate for
/// (0 to VEXA_SIM_MAX_CERT_NUM - 1; 0 is never asked for by a valid record).
///
#define VEXA_SIM_MAX_CERT_NUM  8

///
/// Requests the simulated Vexa records; later ones are counted but dropped.
///
#define VEXA_SIM_MAX_REQUESTS  32

///
/// One request as the simulated Vexa received it.
///
typedef struct {
  UINT16        Command;          ///< transport command code
  UINT16        CompletionCode;   ///< what the Vexa answered with
  UINT32        Size;             ///< request length in bytes
  CONST UINT8   *Data;            ///< copy of the request, owned by the Vexa
} VEXA_SIM_REQUEST;

typedef struct _VEXA_SIM_CONTROL_PROTOCOL VEXA_SIM_CONTROL_PROTOCOL;

/**
  Replaces the pending list the Vexa hands out for sub-command 0xA0.

  @param[in] This            The control interface.
  @param[in] List            The list bytes (PENDING_TASK_RECORD entries, or
                             anything else a scenario wants to send); may be
                             NULL when Size is 0.
  @param[in] Size            Length of the list in bytes.
  @param[in] CompletionCode  Completion code of the 0xA0 response.

  @retval EFI_SUCCESS           The list is in place.
  @retval EFI_OUT_OF_RESOURCES  No memory; the old list is kept.
**/
typedef
EFI_STATUS
(EFIAPI *VEXA_SIM_SET_PENDING_LIST)(
  IN VEXA_SIM_CONTROL_PROTOCOL  *This,
  IN CONST UINT8                *List OPTIONAL,
  IN UINT32                     Size,
  IN UINT16                     CompletionCode
  );

/**
  Gives the Vexa the certificate it answers sub-command 0xA2 with for CertNum;
  NULL forgets it (the Vexa then answers with VEXA_SIM_CC_DATA_NOT_PRESENT).

  @retval EFI_SUCCESS            Stored.
  @retval EFI_INVALID_PARAMETER  CertNum out of range.
  @retval EFI_OUT_OF_RESOURCES   No memory; the old certificate is kept.
**/
typedef
EFI_STATUS
(EFIAPI *VEXA_SIM_SET_CERTIFICATE)(
  IN VEXA_SIM_CONTROL_PROTOCOL  *This,
  IN UINT8                      CertNum,
  IN CONST UINT8                *Der OPTIONAL,
  IN UINT32                     Size
  );

/**
  Forgets every recorded request and the transport time.
**/
typedef
VOID
(EFIAPI *VEXA_SIM_CLEAR_TRAFFIC)(
  IN VEXA_SIM_CONTROL_PROTOCOL  *This
  );

/**
  Returns the number of requests received since the last clear (also those
  beyond VEXA_SIM_MAX_REQUESTS that were not recorded).
**/
typedef
UINTN
(EFIAPI *VEXA_SIM_GET_REQUEST_COUNT)(
  IN VEXA_SIM_CONTROL_PROTOCOL  *This
  );

/**
  Returns one recorded request, counting from 0 in arrival order.

  @retval EFI_SUCCESS    Request filled in; its data stay owned by the Vexa.
  @retval EFI_NOT_FOUND  No such request was recorded.
**/
typedef
EFI_STATUS
(EFIAPI *VEXA_SIM_GET_REQUEST)(
  IN  VEXA_SIM_CONTROL_PROTOCOL  *This,
  IN  UINTN                      Index,
  OUT VEXA_SIM_REQUEST           *Request
  );

/**
  Returns the time-stamp-counter ticks spent inside the transport (the
  simulated Vexa, its console output included) since the last clear, so that
  a measurement can tell the driver's own time from the transport's.
**/
typedef
UINT64
(EFIAPI *VEXA_SIM_GET_TRANSPORT_TICKS)(
  IN VEXA_SIM_CONTROL_PROTOCOL  *This
  );

struct _VEXA_SIM_CONTROL_PROTOCOL {
  VEXA_SIM_SET_PENDING_LIST       SetPendingList;
  VEXA_SIM_SET_CERTIFICATE        SetCertificate;
  VEXA_SIM_CLEAR_TRAFFIC          ClearTraffic;
  VEXA_SIM_GET_REQUEST_COUNT      GetRequestCount;
  VEXA_SIM_GET_REQUEST            GetRequest;
  VEXA_SIM_GET_TRANSPORT_TICKS    GetTransportTicks;
};

///
/// The stand-in platform-information interface: the first entry, which the
/// driver never calls, lets the test choose the IsSimics byte.
///
typedef
VOID
(EFIAPI *PLATFORM_INFO_SIM_SET_IS_SIMICS)(
  IN UINT8  IsSimics
  );

typedef struct {
  PLATFORM_INFO_SIM_SET_IS_SIMICS    SetIsSimics;
  PLATFORM_INFO_GET_PLATFORM_INFO    GetPlatformInfo;
} PLATFORM_INFO_SIM_PROTOCOL;

STATIC_ASSERT (
  OFFSET_OF (PLATFORM_INFO_SIM_PROTOCOL, GetPlatformInfo) == OFFSET_OF (PLATFORM_INFO_PROTOCOL, GetPlatformInfo),
  "the stand-in keeps GetPlatformInfo where the driver calls it"
  );

///
/// Writes the variable-policy layer records: every SetVariable under
/// gTolmVariableGuid, in call order.
///
#define VARIABLE_POLICY_SIM_MAX_WRITES  32
#define VARIABLE_POLICY_SIM_NAME_CHARS  32

typedef struct {
  CHAR16        Name[VARIABLE_POLICY_SIM_NAME_CHARS];   ///< cut to fit, NUL-terminated
  UINT32        Attributes;
  UINTN         DataSize;                                ///< as the caller gave it
  UINT8         FirstByte;                               ///< first data byte, 0 when none
  EFI_STATUS    Status;                                  ///< what the caller got back
} VARIABLE_POLICY_SIM_WRITE;

typedef struct _VARIABLE_POLICY_SIM_PROTOCOL VARIABLE_POLICY_SIM_PROTOCOL;

typedef
VOID
(EFIAPI *VARIABLE_POLICY_SIM_CLEAR_LOG)(
  IN VARIABLE_POLICY_SIM_PROTOCOL  *This
  );

typedef
UINTN
(EFIAPI *VARIABLE_POLICY_SIM_GET_WRITE_COUNT)(
  IN VARIABLE_POLICY_SIM_PROTOCOL  *This
  );

typedef
EFI_STATUS
(EFIAPI *VARIABLE_POLICY_SIM_GET_WRITE)(
  IN  VARIABLE_POLICY_SIM_PROTOCOL  *This,
  IN  UINTN                         Index,
  OUT VARIABLE_POLICY_SIM_WRITE     *Write
  );

struct _VARIABLE_POLICY_SIM_PROTOCOL {
  VARIABLE_POLICY_SIM_CLEAR_LOG          ClearLog;
  VARIABLE_POLICY_SIM_GET_WRITE_COUNT    GetWriteCount;
  VARIABLE_POLICY_SIM_GET_WRITE          GetWrite;
};

namespace OnTarget {

constexpr UINTN  HEX_BYTES_PER_LINE = 24;

//
// The driver's debug level lives in CMOS bytes 0x7A (least significant) to
// 0x7D. DRIVER_DEBUG_LEVEL is the level the tests give it: errors, warnings
// and progress.
//
constexpr UINT32  DRIVER_DEBUG_LEVEL = 0x80000042;
constexpr UINT8   R_CMOS_INDEX       = 0x70;
constexpr UINT8   R_CMOS_DATA        = 0x71;
constexpr UINT8   CMOS_LEVEL_FIRST   = 0x7A;
constexpr UINT8   CMOS_LEVEL_BYTES   = 4;

inline
VOID
WriteCmosDebugLevel (
  IN UINT32  Level
  )
{
  UINT8  Index;

  for (Index = 0; Index < CMOS_LEVEL_BYTES; Index++) {
    IoWrite8 (R_CMOS_INDEX, (UINT8)(CMOS_LEVEL_FIRST + Index));
    IoWrite8 (R_CMOS_DATA, (UINT8)(Level >> (8 * Index)));
  }
}

inline
UINT32
ReadCmosDebugLevel (
  VOID
  )
{
  UINT8   Index;
  UINT32  Level;

  Level = 0;
  for (Index = 0; Index < CMOS_LEVEL_BYTES; Index++) {
    IoWrite8 (R_CMOS_INDEX, (UINT8)(CMOS_LEVEL_FIRST + Index));
    Level |= (UINT32)IoRead8 (R_CMOS_DATA) << (8 * Index);
  }

  return Level;
}

/**
  Writes Size bytes to the console as marked hex lines that the host-side
  checker reassembles:

    @HEX <tag> B <size>
    @HEX <tag> D <offset> <hex bytes>     (HEX_BYTES_PER_LINE bytes a line)
    @HEX <tag> E

  Lines stay shorter than 80 columns so that no console wraps them.

  @param[in] Tag   ASCII tag without blanks.
  @param[in] Data  The bytes; may be NULL when Size is 0.
  @param[in] Size  Number of bytes.
**/
inline
VOID
HexDump (
  IN CONST CHAR8  *Tag,
  IN CONST UINT8  *Data,
  IN UINTN        Size
  )
{
  constexpr CHAR8  DIGITS[] = "0123456789ABCDEF";
  CHAR8            Hex[HEX_BYTES_PER_LINE * 2 + 1];
  UINTN            Offset;
  UINTN            Index;

  AsciiPrint ("@HEX %a B %u\r\n", Tag, (UINT32)Size);
  for (Offset = 0; Offset < Size; Offset += HEX_BYTES_PER_LINE) {
    for (Index = 0; (Index < HEX_BYTES_PER_LINE) && (Offset + Index < Size); Index++) {
      Hex[2 * Index]     = DIGITS[Data[Offset + Index] >> 4];
      Hex[2 * Index + 1] = DIGITS[Data[Offset + Index] & 0x0F];
    }

    Hex[2 * Index] = '\0';
    AsciiPrint ("@HEX %a D %04x %a\r\n", Tag, (UINT32)Offset, Hex);
  }

  AsciiPrint ("@HEX %a E\r\n", Tag);
}

} // namespace OnTarget

#endif
