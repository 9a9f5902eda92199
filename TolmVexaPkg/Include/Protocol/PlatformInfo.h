/** @file
  PLATFORM_INFO_PROTOCOL: platform information published by another driver.
  This package calls only GetPlatformInfo and reads only the IsSimics byte of
  the record it returns.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef PLATFORM_INFO_PROTOCOL_H_
#define PLATFORM_INFO_PROTOCOL_H_

#define PLATFORM_INFO_PROTOCOL_GUID \
  { 0x87C6B749, 0x63CF, 0x430D, { 0x87, 0xB8, 0xE8, 0xCB, 0xDC, 0x87, 0x39, 0xE2 } }

///
/// The platform-information record. Only IsSimics has a fixed place; the bytes
/// around it belong to the providing driver.
///
typedef struct {
  UINT8    Reserved0[0x51];
  UINT8    IsSimics;          ///< Non-zero on a Simics simulation, zero on real hardware.
  UINT8    Reserved1[0x0E];
} PLATFORM_INFO;

/**
  Returns the platform-information record.

  @param[out] PlatformInfo  Receives the address of the record; the record stays
                            owned by the protocol.

  @retval EFI_SUCCESS  The record address was stored.
  @retval Others       No record is available.
**/
typedef
EFI_STATUS
(EFIAPI *PLATFORM_INFO_GET_PLATFORM_INFO)(
  OUT PLATFORM_INFO  **PlatformInfo
  );

typedef
EFI_STATUS
(EFIAPI *PLATFORM_INFO_RESERVED_FUNCTION)(
  VOID
  );

typedef struct _PLATFORM_INFO_PROTOCOL {
  PLATFORM_INFO_RESERVED_FUNCTION    Reserved0;
  PLATFORM_INFO_GET_PLATFORM_INFO    GetPlatformInfo;
} PLATFORM_INFO_PROTOCOL;

STATIC_ASSERT (OFFSET_OF (PLATFORM_INFO, IsSimics) == 0x51, "IsSimics is byte 0x51 of the record");
STATIC_ASSERT (OFFSET_OF (PLATFORM_INFO_PROTOCOL, GetPlatformInfo) == 8, "GetPlatformInfo is the second entry");

#ifdef __cplusplus
extern "C" {
#endif
extern EFI_GUID  gPlatformInfoProtocolGuid;
#ifdef __cplusplus
}
#endif

#endif
