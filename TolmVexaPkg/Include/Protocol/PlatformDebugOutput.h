/** @file
  PLATFORM_DEBUG_OUTPUT_PROTOCOL: an optional platform debug-output sink
  published by another driver. This package calls Write (first entry) and
  GetLevelMask (sixth entry); neither takes an interface pointer.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef PLATFORM_DEBUG_OUTPUT_PROTOCOL_H_
#define PLATFORM_DEBUG_OUTPUT_PROTOCOL_H_

#define PLATFORM_DEBUG_OUTPUT_PROTOCOL_GUID \
  { 0xABD42415, 0xC454, 0x4718, { 0xBE, 0x06, 0x41, 0x23, 0xE1, 0x43, 0x68, 0x5A } }

/**
  Writes formatted debug text to the platform's sink.

  @param[in] Buffer  The text.
  @param[in] Length  Number of characters, without the terminating NUL.

  @return Ignored by this package.
**/
typedef
UINTN
(EFIAPI *PLATFORM_DEBUG_OUTPUT_WRITE)(
  IN CONST CHAR8  *Buffer,
  IN UINTN        Length
  );

/**
  Returns the message-level mask of the sink.

  @param[in] Selector  Which mask; this package always passes 0.

  @return The mask; a message is written when its level shares a bit with it.
**/
typedef
UINT32
(EFIAPI *PLATFORM_DEBUG_OUTPUT_GET_LEVEL_MASK)(
  IN UINT8  Selector
  );

typedef
EFI_STATUS
(EFIAPI *PLATFORM_DEBUG_OUTPUT_RESERVED_FUNCTION)(
  VOID
  );

typedef struct _PLATFORM_DEBUG_OUTPUT_PROTOCOL {
  PLATFORM_DEBUG_OUTPUT_WRITE                Write;
  PLATFORM_DEBUG_OUTPUT_RESERVED_FUNCTION    Reserved[4];
  PLATFORM_DEBUG_OUTPUT_GET_LEVEL_MASK       GetLevelMask;
} PLATFORM_DEBUG_OUTPUT_PROTOCOL;

STATIC_ASSERT (OFFSET_OF (PLATFORM_DEBUG_OUTPUT_PROTOCOL, Write) == 0, "Write is the first entry");
STATIC_ASSERT (OFFSET_OF (PLATFORM_DEBUG_OUTPUT_PROTOCOL, GetLevelMask) == 40, "GetLevelMask is the sixth entry");

#ifdef __cplusplus
extern "C" {
#endif
extern EFI_GUID  gPlatformDebugOutputProtocolGuid;
#ifdef __cplusplus
}
#endif

#endif
