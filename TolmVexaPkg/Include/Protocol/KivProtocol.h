/** @file
  KIV_PROTOCOL: the platform's IPMI-based management transport to the Vexa
  management controller. Another driver provides it; this package only calls
  SendCommand, the seventh entry of the interface.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef KIV_PROTOCOL_H_
#define KIV_PROTOCOL_H_

#define KIV_PROTOCOL_GUID \
  { 0xADBEA4B6, 0xD7F6, 0x4AD4, { 0x9E, 0xEB, 0x59, 0xB1, 0xA9, 0xEB, 0x2B, 0x55 } }

typedef struct _KIV_PROTOCOL KIV_PROTOCOL;

/**
  Sends one command to the management controller and returns its response.

  @param[in]  This                The interface located by gKivProtocolGuid.
  @param[in]  Command             16-bit command code.
  @param[in]  RequestBuffer       The request; not changed by the transport.
  @param[in]  RequestBufferSize   Length of the request in bytes.
  @param[out] ResponseBuffer      Receives a response buffer allocated from
                                  pool; the caller releases it with FreePool.
  @param[out] ResponseBufferSize  Receives the response length in bytes.
  @param[out] ResponseStatus      Receives the controller's completion code;
                                  0 means success.

  @retval EFI_SUCCESS  The exchange took place.
  @retval Others       The transport failed.
**/
typedef
EFI_STATUS
(EFIAPI *KIV_SEND_COMMAND)(
  IN  KIV_PROTOCOL  *This,
  IN  UINT16        Command,
  IN  UINT8         *RequestBuffer,
  IN  UINT32        RequestBufferSize,
  OUT UINT8         **ResponseBuffer,
  OUT UINT32        *ResponseBufferSize,
  OUT UINT16        *ResponseStatus
  );

///
/// Entries that this package never calls are kept as opaque pointers so that
/// SendCommand stands at its fixed offset.
///
typedef
EFI_STATUS
(EFIAPI *KIV_RESERVED_FUNCTION)(
  VOID
  );

struct _KIV_PROTOCOL {
  KIV_RESERVED_FUNCTION    Reserved[6];
  KIV_SEND_COMMAND         SendCommand;
};

STATIC_ASSERT (OFFSET_OF (KIV_PROTOCOL, SendCommand) == 0x30, "SendCommand is the seventh entry");

#ifdef __cplusplus
extern "C" {
#endif
extern EFI_GUID  gKivProtocolGuid;
#ifdef __cplusplus
}
#endif

#endif
