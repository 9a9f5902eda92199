// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  KIV over OpenBMC's IPMI blob transfer, the Vexa's side (see VexaBlob.h and
  IpmiProtocol.md). Every length that arrives is checked before it is used;
  a refused request changes nothing.
**/
#include "VexaBlob.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "LittleEndian.h"

namespace vexa {

const char *const kBlobIds[2] = {"/vexa/kiv/009d", "/vexa/kiv/809d"};

namespace {

/// Completion code, CRC: what an answer with data needs besides the data.
constexpr std::size_t kAnswerHeader = 3;
constexpr std::size_t kCrcSize = 2;
constexpr std::size_t kSessionSize = 2;
constexpr std::size_t kReadRequest = kSessionSize + 4 + 4;
constexpr std::size_t kWriteHeader = kSessionSize + 4;

/// The blob a NUL-terminated id names (the NUL the payload's last byte), or -1.
int BlobOf(const Bytes &in, std::size_t from) {
  if (in.size() <= from || in.back() != 0) {
    return -1;
  }
  const std::string id(in.begin() + std::ptrdiff_t(from), in.end() - 1);
  for (int i = 0; i < 2; ++i) {
    if (id == kBlobIds[i]) {
      return i;
    }
  }
  return -1;
}

}  // namespace

std::uint16_t Crc16(const std::uint8_t *data, std::size_t length) {
  // Register 0xFFFF with 16 zero bits appended equals register 0x1D0F
  // without them.
  std::uint16_t crc = 0x1D0F;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= std::uint16_t(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? std::uint16_t(crc << 1 ^ 0x1021) : std::uint16_t(crc << 1);
    }
  }
  return crc;
}

VexaBlob::VexaBlob(VexaCore &core, Clock clock, Random random)
    : Core_(core), Clock_(std::move(clock)), Random_(std::move(random)) {
  if (!Random_) {
    Random_ = [engine = std::mt19937(std::random_device{}())]() mutable { return std::uint16_t(engine()); };
  }
}

std::size_t VexaBlob::Expire() {
  const std::int64_t now = Clock_();
  Sessions_.erase(std::remove_if(Sessions_.begin(), Sessions_.end(),
                                 [now](const Session &s) { return now - s.LastMs >= kSessionIdleMs; }),
                  Sessions_.end());
  return Sessions_.size();
}

Bytes VexaBlob::Handle(const Caller &caller, const std::uint8_t *data, std::size_t length, std::size_t room) {
  Expire();
  if (room < kAnswerHeader + 1) {
    return room == 0 ? Bytes{} : Bytes{kCcUnspecified};
  }
  if (Gate_ && caller.Channel != kSystemInterfaceChannel) {
    return {kCcGate};
  }
  // Sub-command alone, or sub-command, CRC and a payload of at least a byte.
  if (data == nullptr || length == 0 || (length > 1 && length <= 1 + kCrcSize)) {
    return {kCcBadLength};
  }
  Bytes in;
  if (length > 1) {
    in.assign(data + 1 + kCrcSize, data + length);
    if (Crc16(in.data(), in.size()) != Le16(data + 1)) {
      return {kCcBadCrc};
    }
  }
  Bytes out;
  const std::uint8_t cc = Dispatch(caller, data[0], in, out, room);
  if (cc != kCcOk) {
    return {cc};
  }
  Bytes answer{kCcOk};
  if (!out.empty()) {
    PutLe16(answer, Crc16(out.data(), out.size()));
    answer.insert(answer.end(), out.begin(), out.end());
  }
  return answer;
}

VexaBlob::Session *VexaBlob::Find(const Caller &caller, const Bytes &in) {
  const std::uint16_t id = Le16(in.data());
  for (Session &s : Sessions_) {
    if (s.Id == id && s.Channel == caller.Channel && s.Client == caller.Client) {
      s.LastMs = Clock_();
      return &s;
    }
  }
  return nullptr;
}

std::uint8_t VexaBlob::Open(const Caller &caller, const Bytes &in, Bytes &out) {
  if (in.size() < kSessionSize + 1) {
    return kCcBadLength;
  }
  const int blob = BlobOf(in, kSessionSize);
  if (Le16(in.data()) != kBlobOpenFlags || blob < 0) {
    return kCcInvalidField;
  }
  if (Sessions_.size() >= kMaxSessions) {
    return kCcNoSessionRoom;
  }
  Session session;
  do {
    session.Id = Random_();
  } while (std::any_of(Sessions_.begin(), Sessions_.end(), [&](const Session &s) { return s.Id == session.Id; }));
  session.Channel = caller.Channel;
  session.Client = caller.Client;
  session.Code = kBlobCodes[blob];
  session.State = kBlobOpenFlags;
  session.LastMs = Clock_();
  PutLe16(out, session.Id);
  Sessions_.push_back(std::move(session));
  return kCcOk;
}

std::uint8_t VexaBlob::Dispatch(const Caller &caller, std::uint8_t sub, const Bytes &in, Bytes &out,
                                std::size_t room) {
  Session *s = nullptr;
  const bool needsSession = sub == kBlobRead || sub == kBlobWrite || sub == kBlobCommit || sub == kBlobClose ||
                            sub == kBlobSessionStat;
  if (needsSession) {
    if (in.size() < kSessionSize) {
      return kCcBadLength;
    }
    s = Find(caller, in);
    if (s == nullptr) {
      return kCcUnknownSession;
    }
  }
  const bool done = s != nullptr && (s->State & (kBlobCommitted | kBlobCommitError)) != 0;
  switch (sub) {
    case kBlobGetCount:
      if (!in.empty()) {
        return kCcBadLength;
      }
      PutLe32(out, 2);
      return kCcOk;
    case kBlobEnumerate:
      if (in.size() != 4) {
        return kCcBadLength;
      }
      if (Le32(in.data()) >= 2) {
        return kCcOutOfRange;
      }
      out.assign(kBlobIds[Le32(in.data())], kBlobIds[Le32(in.data())] + std::strlen(kBlobIds[Le32(in.data())]) + 1);
      return kCcOk;
    case kBlobOpen:
      return Open(caller, in, out);
    case kBlobStat:
      if (BlobOf(in, 0) < 0) {
        return kCcInvalidField;
      }
      out = {0, 0, 0, 0, 0, 0, 0};   // the blob itself: no state, no size, no metadata
      return kCcOk;
    case kBlobWrite: {
      if (in.size() <= kWriteHeader) {
        return kCcBadLength;
      }
      const std::uint32_t offset = Le32(&in[kSessionSize]);
      const std::size_t piece = in.size() - kWriteHeader;
      if (done || offset != s->Request.size()) {
        return kCcWrongState;
      }
      if (std::uint64_t(offset) + piece > kMaxMessage) {
        return kCcOutOfRange;
      }
      s->Request.insert(s->Request.end(), in.begin() + kWriteHeader, in.end());
      return kCcOk;
    }
    case kBlobCommit:
      if (in.size() < kSessionSize + 1 || in.size() != kSessionSize + 1 + in[kSessionSize]) {
        return kCcBadLength;
      }
      if (in[kSessionSize] != 0) {
        return kCcInvalidField;
      }
      if (done) {
        return kCcWrongState;
      }
      s->Cc = Core_.Execute(s->Code, s->Request, s->Response);
      s->State |= s->Cc == kCcOk ? kBlobCommitted : kBlobCommitError;
      Bytes().swap(s->Request);
      return kCcOk;
    case kBlobSessionStat:
      if (in.size() != kSessionSize) {
        return kCcBadLength;
      }
      PutLe16(out, s->State);
      PutLe32(out, std::uint32_t(done ? s->Response.size() : s->Request.size()));
      out.push_back(done ? 1 : 0);
      if (done) {
        out.push_back(s->Cc);
      }
      return kCcOk;
    case kBlobRead: {
      if (in.size() != kReadRequest) {
        return kCcBadLength;
      }
      if (!done) {
        return kCcWrongState;
      }
      const std::uint32_t offset = Le32(&in[kSessionSize]);
      if (offset > s->Response.size()) {
        return kCcOutOfRange;
      }
      const std::size_t n = std::min({std::size_t(Le32(&in[kSessionSize + 4])), s->Response.size() - offset,
                                      room - kAnswerHeader});
      out.assign(s->Response.begin() + std::ptrdiff_t(offset), s->Response.begin() + std::ptrdiff_t(offset + n));
      return kCcOk;
    }
    case kBlobClose:
      if (in.size() != kSessionSize) {
        return kCcBadLength;
      }
      Sessions_.erase(Sessions_.begin() + (s - Sessions_.data()));
      return kCcOk;
    default:   // Delete, WriteMeta: a KIV blob has nothing to delete and no metadata to take
      return kCcInvalidCommand;
  }
}

}  // namespace vexa
