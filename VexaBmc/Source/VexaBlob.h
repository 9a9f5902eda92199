// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  KIV over OpenBMC's IPMI blob transfer (IpmiProtocol.md): the Vexa's two
  blobs, one per KIV command code, and the sessions that carry one KIV
  message each (Open, Write, Commit, SessionStat, Read, Close). Free of any
  IPMI stack: the module hands it the request data after the OEN and the
  channel and client it came from; the answer is the completion code and,
  when there is data, its CRC-16 and the data (the OEN is the stack's).

  Driven by one thread (ipmi_sim's loop), as VexaCore.
**/
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "VexaCore.h"

namespace vexa {

// The OEM/group command of the blob transfer.
constexpr std::uint8_t kBlobNetFn = 0x2E;
constexpr std::uint8_t kBlobCommand = 0x80;
constexpr std::uint32_t kOpenBmcOen = 0x00C2CF;   ///< 49871, on the wire CF C2 00

// Sub-commands.
enum BlobSub : std::uint8_t {
  kBlobGetCount = 0, kBlobEnumerate = 1, kBlobOpen = 2, kBlobRead = 3, kBlobWrite = 4, kBlobCommit = 5,
  kBlobClose = 6, kBlobDelete = 7, kBlobStat = 8, kBlobSessionStat = 9, kBlobWriteMeta = 10,
};

// Open flags and session state bits.
constexpr std::uint16_t kBlobOpenRead = 0x0001;
constexpr std::uint16_t kBlobOpenWrite = 0x0002;
constexpr std::uint16_t kBlobOpenFlags = kBlobOpenRead | kBlobOpenWrite;   ///< the only flags a KIV blob takes
constexpr std::uint16_t kBlobCommitting = 0x0004;
constexpr std::uint16_t kBlobCommitted = 0x0008;
constexpr std::uint16_t kBlobCommitError = 0x0010;

// Completion codes of the blob layer (IpmiProtocol.md, section 3).
constexpr std::uint8_t kCcNoSessionRoom = 0xC4;   ///< every session slot in use
constexpr std::uint8_t kCcBadCrc = 0xC6;          ///< the payload's CRC-16 does not match
constexpr std::uint8_t kCcUnknownSession = 0xCB;  ///< never opened, closed, expired or another client's
constexpr std::uint8_t kCcGate = 0xD4;            ///< not the system interface

/// The system interface: the only channel that may reach the blobs.
constexpr std::uint8_t kSystemInterfaceChannel = 15;
constexpr std::size_t kMaxSessions = 8;
/// A session with no request for this long is dropped.
constexpr std::int64_t kSessionIdleMs = 10 * 1000;

/// The blob ids: "/vexa/kiv/" and the KIV command code in four hex digits.
extern const char *const kBlobIds[2];
constexpr std::uint16_t kBlobCodes[2] = {0x009D, 0x809D};

/// CRC-16 of the blob transfer: polynomial 0x1021, register 0xFFFF, 16 zero
/// bits appended, no final XOR ("123456789" gives 0xE5CC).
std::uint16_t Crc16(const std::uint8_t *data, std::size_t length);

class VexaBlob {
 public:
  /// Milliseconds of a monotonic clock.
  using Clock = std::function<std::int64_t()>;
  using Random = std::function<std::uint16_t()>;

  /// Where a request came from: its channel, and a key of the client on it
  /// (the LAN session; 0 on the system interface).
  struct Caller {
    std::uint8_t Channel = kSystemInterfaceChannel;
    std::uint64_t Client = 0;
  };

  VexaBlob(VexaCore &core, Clock clock, Random random = nullptr);

  /** One blob request.

    @param caller  its channel and client.
    @param data    the request data after the OEN: sub-command, CRC, payload.
    @param room    answer bytes the stack allows after the OEN, completion
                   code included.
    @return completion code, then (with data) its CRC-16 and the data.
  **/
  Bytes Handle(const Caller &caller, const std::uint8_t *data, std::size_t length, std::size_t room);

  /// Test aid: false lets every channel through (a second client over LAN).
  void SetGate(bool on) { Gate_ = on; }
  /// Drops the sessions idle for kSessionIdleMs; returns how many remain.
  std::size_t Expire();

 private:
  struct Session {
    std::uint16_t Id = 0;
    std::uint8_t Channel = 0;
    std::uint64_t Client = 0;
    std::uint16_t Code = 0;
    std::uint16_t State = 0;
    std::uint8_t Cc = 0;
    Bytes Request;
    Bytes Response;
    std::int64_t LastMs = 0;
  };

  std::uint8_t Dispatch(const Caller &caller, std::uint8_t sub, const Bytes &in, Bytes &out, std::size_t room);
  Session *Find(const Caller &caller, const Bytes &in);
  std::uint8_t Open(const Caller &caller, const Bytes &in, Bytes &out);

  VexaCore &Core_;
  Clock Clock_;
  Random Random_;
  bool Gate_ = true;
  std::vector<Session> Sessions_;
};

}  // namespace vexa
