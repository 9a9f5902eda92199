// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  The Vexa's side of the HTTPS boot certificate exchange (see VexaCore.h and
  IpmiProtocol.md). Every length that arrives is checked before it is used; a
  refused request changes nothing, and every change of the kept state is
  offered to the persistence hook before it becomes current.
**/
#include "VexaCore.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

#include <openssl/evp.h>

#include "LittleEndian.h"

namespace vexa {

namespace {

/// The 8-byte header the application messages share: sub-command, reserved,
/// 32-bit length of what follows, 16-bit count or index.
constexpr std::size_t kAppHeader = 8;
/// The pending-list request: sub-command, reserved, 32-bit length 0.
constexpr std::size_t kPendingListRequest = 6;
/// The import-certificate request's 32-bit field: the length of the index.
constexpr std::uint32_t kImportIndexLength = 2;
constexpr std::size_t kSyncRecordHeader = 6;

bool ValidSlot(unsigned slot) { return slot >= 1 && slot <= kSlots; }

std::array<std::uint8_t, kRecordSize> RecordOf(RequestKind kind, std::uint8_t slot, std::size_t size) {
  return {kTaskType, slot, kind == RequestKind::Import ? kOpImport : kOpDelete,
          std::uint8_t(size), std::uint8_t(size >> 8), 0};
}

/// What a sync report says about a handed request: confirmed when the slot
/// is as the request wanted it, not applied otherwise. An injected record
/// counts as a delete when it reads as one; it carries no certificate, so as
/// anything else it cannot have been applied.
RequestFate Judge(const Request &request, const std::array<SlotReport, kSlots> &slots) {
  const std::uint8_t op = request.Record[2];
  if (!ValidSlot(request.Slot)) {
    return RequestFate::NotApplied;
  }
  const SlotReport &slot = slots[request.Slot - 1];
  switch (request.Kind) {
    case RequestKind::Import:
      return slot.Full && slot.Der == request.Der ? RequestFate::Confirmed : RequestFate::NotApplied;
    case RequestKind::Delete:
      return slot.Full ? RequestFate::NotApplied : RequestFate::Confirmed;
    case RequestKind::Raw:
      return op == kOpDelete && !slot.Full ? RequestFate::Confirmed : RequestFate::NotApplied;
  }
  return RequestFate::NotApplied;
}

/// Keeps every pending request and the newest kMaxHistory judged ones.
void TrimHistory(State &state) {
  std::size_t judged = std::count_if(state.Requests.begin(), state.Requests.end(),
                                     [](const Request &r) { return !r.Pending(); });
  for (auto it = state.Requests.begin(); judged > kMaxHistory && it != state.Requests.end();) {
    if (!it->Pending()) {
      it = state.Requests.erase(it);
      --judged;
    } else {
      ++it;
    }
  }
}

}  // namespace

const char *KindName(RequestKind kind) {
  switch (kind) {
    case RequestKind::Import: return "import";
    case RequestKind::Delete: return "delete";
    case RequestKind::Raw: return "injected";
  }
  return "?";
}

const char *FateName(RequestFate fate) {
  switch (fate) {
    case RequestFate::Queued: return "queued";
    case RequestFate::Handed: return "handed";
    case RequestFate::Confirmed: return "confirmed";
    case RequestFate::NotApplied: return "not-applied";
    case RequestFate::Replaced: return "replaced";
  }
  return "?";
}

bool State::operator==(const State &other) const { return SerializeState(*this) == SerializeState(other); }

VexaCore::VexaCore(State initial, Persist persist, Clock clock)
    : State_(std::move(initial)), Persist_(std::move(persist)), Clock_(std::move(clock)) {
  if (!Clock_) {
    Clock_ = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
  }
}

bool VexaCore::Commit(State next) {
  if (Persist_ && !Persist_(next)) {
    return false;
  }
  State_ = std::move(next);
  return true;
}

void VexaCore::Note(const std::string &line) const {
  if (Log_) {
    Log_(line);
  }
}

// ---------------------------------------------------------------------------
// Application messages

std::uint8_t VexaCore::Execute(std::uint16_t kivCode, const Bytes &request, Bytes &response) {
  response.clear();
  const std::uint8_t cc = Dispatch(kivCode, request, response);
  if (cc != kCcOk) {
    response.clear();
    char line[80];
    std::snprintf(line, sizeof line, "refused KIV 0x%04X, %zu bytes: completion code 0x%02X", kivCode,
                  request.size(), cc);
    Note(line);
  }
  return cc;
}

std::uint8_t VexaCore::Dispatch(std::uint16_t kivCode, const Bytes &message, Bytes &response) {
  if (message.empty()) {
    return kCcBadLength;
  }
  const std::uint8_t sub = message[0];
  if (kivCode == kKivQuery && sub == kSubPendingList) {
    return PendingList(message, response);
  }
  if (kivCode == kKivQuery && sub == kSubImportCert) {
    return ImportCert(message, response);
  }
  if (kivCode == kKivSend && sub == kSubSync) {
    return Sync(message);
  }
  return kCcInvalidCommand;
}

std::uint8_t VexaCore::PendingList(const Bytes &message, Bytes &response) {
  if (message.size() != kPendingListRequest) {
    return kCcBadLength;
  }
  if (Le32(&message[2]) != 0) {
    return kCcInvalidField;
  }
  State next = State_;
  Bytes list;
  for (Request &request : next.Requests) {
    if (request.Pending()) {
      list.insert(list.end(), request.Record.begin(), request.Record.end());
      request.Fate = RequestFate::Handed;
      ++request.Handed;
    }
  }
  if (!list.empty() && !Commit(std::move(next))) {
    return kCcUnspecified;
  }
  Note("pending list: " + std::to_string(list.size() / kRecordSize) + " request(s) handed");
  response = {kSubPendingList, 0};
  PutLe32(response, std::uint32_t(list.size()));
  response.insert(response.end(), list.begin(), list.end());
  return kCcOk;
}

std::uint8_t VexaCore::ImportCert(const Bytes &message, Bytes &response) {
  if (message.size() != kAppHeader) {
    return kCcBadLength;
  }
  if (Le32(&message[2]) != kImportIndexLength) {
    return kCcInvalidField;
  }
  const std::uint16_t slot = Le16(&message[6]);
  if (!ValidSlot(slot)) {
    return kCcOutOfRange;
  }
  State next = State_;
  auto it = std::find_if(next.Requests.begin(), next.Requests.end(), [slot](const Request &r) {
    return r.Pending() && r.Kind == RequestKind::Import && r.Slot == slot;
  });
  if (it == next.Requests.end()) {
    return kCcNotPresent;
  }
  ++it->Fetched;
  response = {kSubImportCert, 0};
  PutLe32(response, std::uint32_t(it->Der.size()));
  PutLe16(response, slot);
  response.insert(response.end(), it->Der.begin(), it->Der.end());
  const std::string line = "certificate of slot " + std::to_string(slot) + " handed: request #" +
                           std::to_string(it->Id) + ", " + std::to_string(it->Der.size()) + " bytes";
  if (!Commit(std::move(next))) {
    return kCcUnspecified;
  }
  Note(line);
  return kCcOk;
}

std::uint8_t VexaCore::Sync(const Bytes &message) {
  if (message.size() < kAppHeader) {
    return kCcBadLength;
  }
  const std::uint32_t totalSize = Le32(&message[2]);
  const std::uint16_t count = Le16(&message[6]);
  if (totalSize != message.size() - kAppHeader || count == 0 || count > kSlots) {
    return kCcInvalidField;
  }

  // Read every record before anything changes.
  std::array<SlotReport, kSlots> slots{};
  std::size_t at = kAppHeader;
  unsigned lastSlot = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (message.size() - at < kSyncRecordHeader) {
      return kCcInvalidField;
    }
    const std::uint16_t slot = Le16(&message[at]);
    const std::uint32_t size = Le32(&message[at + 2]);
    at += kSyncRecordHeader;
    if (!ValidSlot(slot)) {
      return kCcOutOfRange;
    }
    if (slot <= lastSlot || size > message.size() - at) {
      return kCcInvalidField;
    }
    if (size == 0) {
      // Only the one record of a store holding nothing may be empty.
      if (count != 1 || slot != 1) {
        return kCcInvalidField;
      }
    } else {
      slots[slot - 1].Full = true;
      slots[slot - 1].Der.assign(message.begin() + std::ptrdiff_t(at), message.begin() + std::ptrdiff_t(at + size));
    }
    at += size;
    lastSlot = slot;
  }
  if (at != message.size()) {
    return kCcInvalidField;
  }

  State next = State_;
  ++next.Syncs;
  if (next.Syncs == 1 || slots != next.Slots) {
    next.SlotsSince = next.Syncs;
  }
  next.Slots = std::move(slots);
  next.LastSyncAt = Clock_();
  std::string line = "sync " + std::to_string(next.Syncs) + ":";
  for (unsigned i = 0; i < kSlots; ++i) {
    const SlotReport &slot = next.Slots[i];
    line += " slot " + std::to_string(i + 1) + " " +
            (slot.Full ? std::to_string(slot.Der.size()) + " bytes" : std::string("empty")) + ";";
  }
  for (Request &request : next.Requests) {
    if (request.Fate == RequestFate::Handed) {
      request.Fate = Judge(request, next.Slots);
      request.JudgedAt = next.LastSyncAt;
      request.JudgedBy = next.Syncs;
      line += std::string(" #") + std::to_string(request.Id) + " " + FateName(request.Fate);
    }
  }
  TrimHistory(next);
  if (!Commit(std::move(next))) {
    return kCcUnspecified;
  }
  Note(line);
  return kCcOk;
}

// ---------------------------------------------------------------------------
// Administrator

std::string VexaCore::Queue(Request request, std::uint32_t *id) {
  if (State_.NextId > kLastId) {
    return "request ids are used up (" + std::to_string(kLastId) + " requests): reset the BMC";
  }
  State next = State_;
  const std::size_t pending = std::count_if(next.Requests.begin(), next.Requests.end(),
                                            [](const Request &r) { return r.Pending(); });
  request.Id = next.NextId;
  request.QueuedAt = Clock_();
  if (request.Kind != RequestKind::Raw) {
    for (Request &earlier : next.Requests) {
      if (earlier.Pending() && earlier.Kind != RequestKind::Raw && earlier.Slot == request.Slot) {
        earlier.Fate = RequestFate::Replaced;
        earlier.JudgedAt = request.QueuedAt;
        earlier.JudgedBy = request.Id;
      }
    }
  } else if (pending >= kMaxPending) {
    return "the pending list is full (" + std::to_string(kMaxPending) + " requests)";
  }
  ++next.NextId;
  next.Requests.push_back(std::move(request));
  TrimHistory(next);
  if (!Commit(std::move(next))) {
    return "the state could not be saved";
  }
  if (id != nullptr) {
    *id = State_.NextId - 1;
  }
  return {};
}

std::string VexaCore::QueueImport(unsigned slot, const Bytes &der, std::uint32_t *id) {
  if (!ValidSlot(slot)) {
    return "slot " + std::to_string(slot) + " is not 1 to 4";
  }
  if (der.empty() || der.size() > kMaxCertificate) {
    return "a certificate of " + std::to_string(der.size()) + " bytes cannot be handed out (1 to 65535)";
  }
  Request request;
  request.Kind = RequestKind::Import;
  request.Slot = std::uint8_t(slot);
  request.Der = der;
  request.Record = RecordOf(RequestKind::Import, request.Slot, der.size());
  return Queue(std::move(request), id);
}

std::string VexaCore::QueueDelete(unsigned slot, std::uint32_t *id) {
  if (!ValidSlot(slot)) {
    return "slot " + std::to_string(slot) + " is not 1 to 4";
  }
  Request request;
  request.Kind = RequestKind::Delete;
  request.Slot = std::uint8_t(slot);
  request.Record = RecordOf(RequestKind::Delete, request.Slot, 0);
  return Queue(std::move(request), id);
}

std::string VexaCore::QueueRaw(const std::array<std::uint8_t, kRecordSize> &record, std::uint32_t *id) {
  Request request;
  request.Kind = RequestKind::Raw;
  request.Slot = record[1];
  request.Record = record;
  return Queue(std::move(request), id);
}

std::string VexaCore::Reset() {
  if (!Commit(State{})) {
    return "the state could not be saved";
  }
  return {};
}

// ---------------------------------------------------------------------------
// Persistence

namespace {

constexpr char kMagicText[] = "VEXABMC\n";
constexpr std::size_t kMagicSize = sizeof kMagicText - 1;
const std::uint8_t *const kMagic = reinterpret_cast<const std::uint8_t *>(kMagicText);
constexpr std::uint32_t kFormat = 2;
/// Magic, format, NextId, Syncs, SlotsSince, LastSyncAt.
constexpr std::size_t kImageHeader = kMagicSize + 4 + 4 + 4 + 4 + 8;
/// A slot report without its bytes: Full, length.
constexpr std::size_t kSlotHeader = 1 + 4;
/// A request without its certificate: Id, Kind, Slot, Record, Fate, Handed,
/// Fetched, QueuedAt, JudgedAt, JudgedBy, certificate length.
constexpr std::size_t kRequestHeader = 4 + 1 + 1 + kRecordSize + 1 + 4 + 4 + 8 + 8 + 4 + 4;
/// The seal: SHA-256 of every byte before it.
constexpr std::size_t kSeal = 32;

using Seal = std::array<std::uint8_t, kSeal>;

Seal SealOf(const std::uint8_t *data, std::size_t length) {
  Seal seal{};
  unsigned int size = 0;
  EVP_Digest(data, length, seal.data(), &size, EVP_sha256(), nullptr);
  return seal;
}

class Reader {
 public:
  Reader(const std::uint8_t *data, std::size_t size) : Data_(data), Size_(size) {}
  bool Take(std::size_t n, const std::uint8_t **p) {
    if (Size_ - At_ < n) {
      return false;
    }
    *p = Data_ + At_;
    At_ += n;
    return true;
  }
  bool U8(std::uint8_t *v) {
    const std::uint8_t *p;
    return Take(1, &p) && (*v = *p, true);
  }
  bool U32(std::uint32_t *v) {
    const std::uint8_t *p;
    return Take(4, &p) && (*v = Le32(p), true);
  }
  bool I64(std::int64_t *v) {
    const std::uint8_t *p;
    if (!Take(8, &p)) {
      return false;
    }
    *v = static_cast<std::int64_t>(std::uint64_t(Le32(p)) | std::uint64_t(Le32(p + 4)) << 32);
    return true;
  }
  bool Blob(std::size_t max, Bytes *out) {
    std::uint32_t n;
    const std::uint8_t *p;
    if (!U32(&n) || n > max || !Take(n, &p)) {
      return false;
    }
    out->assign(p, p + n);
    return true;
  }
  bool AtEnd() const { return At_ == Size_; }

 private:
  const std::uint8_t *Data_;
  std::size_t Size_;
  std::size_t At_ = 0;
};

/// Why a request read from an image disagrees with itself or with the state
/// around it; nullptr when it is one the BMC could have made.
const char *RequestFault(const Request &r, const State &state) {
  switch (r.Kind) {
    case RequestKind::Import:
      if (!ValidSlot(r.Slot) || r.Der.empty() || r.Record != RecordOf(r.Kind, r.Slot, r.Der.size())) {
        return "an import whose slot, record and certificate disagree";
      }
      break;
    case RequestKind::Delete:
      if (!ValidSlot(r.Slot) || !r.Der.empty() || r.Record != RecordOf(r.Kind, r.Slot, 0)) {
        return "a delete whose slot, record or certificate disagree";
      }
      break;
    case RequestKind::Raw:
      if (!r.Der.empty() || r.Slot != r.Record[1]) {
        return "an injected record whose slot or certificate disagree";
      }
      break;
    default:
      return "a request of unknown kind";
  }
  if (r.Fetched != 0 && r.Kind != RequestKind::Import) {
    return "a certificate fetched for a request without one";
  }
  switch (r.Fate) {
    case RequestFate::Queued:
    case RequestFate::Handed:
      return r.JudgedBy == 0 ? nullptr : "a pending request marked judged";
    case RequestFate::Confirmed:
    case RequestFate::NotApplied:
      return r.JudgedBy != 0 && r.JudgedBy <= state.Syncs ? nullptr : "a request judged by a sync never received";
    case RequestFate::Replaced:
      return r.Kind != RequestKind::Raw && r.JudgedBy > r.Id && r.JudgedBy < state.NextId
                 ? nullptr
                 : "a request replaced by no later request";
  }
  return "a request of unknown fate";
}

}  // namespace

std::size_t MaxStateImage() {
  return kImageHeader + kSlots * (kSlotHeader + kMaxMessage) + 4 + kMaxRequests * (kRequestHeader + kMaxCertificate) +
         kSeal;
}

Bytes SerializeState(const State &state) {
  Bytes out(kMagic, kMagic + kMagicSize);
  PutLe32(out, kFormat);
  PutLe32(out, state.NextId);
  PutLe32(out, state.Syncs);
  PutLe32(out, state.SlotsSince);
  PutLe64(out, state.LastSyncAt);
  for (const SlotReport &slot : state.Slots) {
    out.push_back(slot.Full ? 1 : 0);
    PutLe32(out, std::uint32_t(slot.Der.size()));
    out.insert(out.end(), slot.Der.begin(), slot.Der.end());
  }
  PutLe32(out, std::uint32_t(state.Requests.size()));
  for (const Request &r : state.Requests) {
    PutLe32(out, r.Id);
    out.push_back(std::uint8_t(r.Kind));
    out.push_back(r.Slot);
    out.insert(out.end(), r.Record.begin(), r.Record.end());
    out.push_back(std::uint8_t(r.Fate));
    PutLe32(out, r.Handed);
    PutLe32(out, r.Fetched);
    PutLe64(out, r.QueuedAt);
    PutLe64(out, r.JudgedAt);
    PutLe32(out, r.JudgedBy);
    PutLe32(out, std::uint32_t(r.Der.size()));
    out.insert(out.end(), r.Der.begin(), r.Der.end());
  }
  const Seal seal = SealOf(out.data(), out.size());
  out.insert(out.end(), seal.begin(), seal.end());
  return out;
}

std::optional<State> ParseState(const Bytes &image, std::string *why) {
  auto fail = [why](const char *reason) -> std::optional<State> {
    if (why != nullptr) {
      *why = reason;
    }
    return std::nullopt;
  };
  if (image.size() < kSeal) {
    return fail("shorter than its seal");
  }
  const std::size_t body = image.size() - kSeal;
  const Seal seal = SealOf(image.data(), body);
  if (!std::equal(seal.begin(), seal.end(), image.begin() + std::ptrdiff_t(body))) {
    return fail("damaged: its SHA-256 seal does not match its bytes");
  }
  Reader in(image.data(), body);
  const std::uint8_t *magic;
  std::uint32_t format;
  if (!in.Take(kMagicSize, &magic) || !std::equal(magic, magic + kMagicSize, kMagic)) {
    return fail("not a Vexa BMC state file");
  }
  if (!in.U32(&format) || format != kFormat) {
    return fail("unknown state format");
  }
  State state;
  if (!in.U32(&state.NextId) || !in.U32(&state.Syncs) || !in.U32(&state.SlotsSince) || !in.I64(&state.LastSyncAt)) {
    return fail("truncated header");
  }
  if (state.NextId == 0 || state.SlotsSince > state.Syncs || (state.Syncs == 0) != (state.SlotsSince == 0)) {
    return fail("malformed header");
  }
  for (SlotReport &slot : state.Slots) {
    std::uint8_t full;
    if (!in.U8(&full) || full > 1 || !in.Blob(kMaxMessage, &slot.Der) || (full == 1) == slot.Der.empty() ||
        (full == 1 && state.Syncs == 0)) {
      return fail("malformed slot report");
    }
    slot.Full = full == 1;
  }
  std::uint32_t count;
  if (!in.U32(&count) || count > kMaxRequests) {
    return fail("malformed request count");
  }
  std::uint32_t lastId = 0;
  unsigned pendingSlots = 0;   // bit n: slot n has a pending import or delete
  std::size_t judged = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    Request r;
    std::uint8_t kind, fate;
    const std::uint8_t *record;
    if (!in.U32(&r.Id) || !in.U8(&kind) || !in.U8(&r.Slot) || !in.Take(kRecordSize, &record) || !in.U8(&fate) ||
        !in.U32(&r.Handed) || !in.U32(&r.Fetched) || !in.I64(&r.QueuedAt) || !in.I64(&r.JudgedAt) ||
        !in.U32(&r.JudgedBy) || !in.Blob(kMaxCertificate, &r.Der)) {
      return fail("truncated request");
    }
    std::copy(record, record + kRecordSize, r.Record.begin());
    r.Kind = RequestKind(kind);
    r.Fate = RequestFate(fate);
    if (r.Id <= lastId || r.Id >= state.NextId) {
      return fail("request ids not increasing or not below the next id");
    }
    if (const char *fault = RequestFault(r, state)) {
      return fail(fault);
    }
    if (r.Pending() && r.Kind != RequestKind::Raw) {
      if (pendingSlots & (1u << r.Slot)) {
        return fail("two pending requests for one slot");
      }
      pendingSlots |= 1u << r.Slot;
    }
    judged += r.Pending() ? 0 : 1;
    lastId = r.Id;
    state.Requests.push_back(std::move(r));
  }
  if (judged > kMaxHistory) {
    return fail("more judged requests than the history keeps");
  }
  if (!in.AtEnd()) {
    return fail("trailing bytes");
  }
  return state;
}

}  // namespace vexa
