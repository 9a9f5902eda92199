// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  The Vexa's side of the HTTPS boot certificate exchange, free of any IPMI
  stack: the three application exchanges (IpmiProtocol.md, section 4), which
  the blob layer (VexaBlob.h) hands over one whole message at a time, the administrator's requests and their
  fates, the slots as the firmware last reported them, and the byte format in
  which all of it is kept across restarts.

  One VexaCore is one BMC. It is driven by one thread (ipmi_sim's loop).
**/
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

using Bytes = std::vector<std::uint8_t>;

// KIV command codes (IpmiProtocol.md, section 2).
constexpr std::uint16_t kKivSend  = 0x009D;  ///< request data to the Vexa (sync)
constexpr std::uint16_t kKivQuery = 0x809D;  ///< the Vexa answers data (pending list, certificate)
/// Longest message either way: a sync of four 65,535-byte certificates.
constexpr std::uint32_t kMaxMessage = 8 + 4 * (6 + 65535);

// Completion codes (section 3).
constexpr std::uint8_t kCcOk             = 0x00;
constexpr std::uint8_t kCcInvalidCommand = 0xC1;
constexpr std::uint8_t kCcBadLength      = 0xC7;
constexpr std::uint8_t kCcOutOfRange     = 0xC9;
constexpr std::uint8_t kCcNotPresent     = 0xCB;
constexpr std::uint8_t kCcInvalidField   = 0xCC;
constexpr std::uint8_t kCcWrongState     = 0xD5;   ///< blob layer: not in this state
constexpr std::uint8_t kCcUnspecified    = 0xFF;

// Application messages (section 4).
constexpr std::uint8_t kSubPendingList = 0xA0;
constexpr std::uint8_t kSubSync        = 0xA1;
constexpr std::uint8_t kSubImportCert  = 0xA2;
constexpr std::uint8_t kTaskType       = 0x09;
constexpr std::uint8_t kOpImport       = 0xAA;
constexpr std::uint8_t kOpDelete       = 0xAB;
constexpr std::size_t kRecordSize      = 6;
constexpr unsigned kSlots              = 4;
/// A pending record carries the certificate length in 16 bits.
constexpr std::size_t kMaxCertificate  = 65535;
/// Pending requests at which an injected record is refused; imports and
/// deletes (at most one pending per slot) are always taken.
constexpr std::size_t kMaxPending      = 32;
/// Judged requests kept for `show` besides the pending ones.
constexpr std::size_t kMaxHistory      = 64;
/// Requests a state can hold: the pending ones (injected records up to
/// kMaxPending, then one import or delete per slot) and the history.
constexpr std::size_t kMaxRequests     = kMaxPending + kSlots + kMaxHistory;
/// The last request id: NextId stops here and further requests are refused.
constexpr std::uint32_t kLastId        = 0xFFFFFFFE;

enum class RequestKind : std::uint8_t { Import = 1, Delete = 2, Raw = 3 };

/// queued -> handed (in a pending-list answer) -> confirmed | not applied,
/// judged by the next sync; or replaced by a newer request for its slot.
enum class RequestFate : std::uint8_t { Queued = 1, Handed = 2, Confirmed = 3, NotApplied = 4, Replaced = 5 };

const char *KindName(RequestKind kind);
const char *FateName(RequestFate fate);

struct Request {
  std::uint32_t Id = 0;
  RequestKind   Kind = RequestKind::Import;
  std::uint8_t  Slot = 0;                 ///< 1..4; for Raw: the record's CertNum byte
  Bytes         Der;                      ///< Import: the certificate handed out with 0xA2
  std::array<std::uint8_t, kRecordSize> Record{};  ///< the pending-list record as handed out
  RequestFate   Fate = RequestFate::Queued;
  std::uint32_t Handed = 0;               ///< pending-list answers that included it
  std::uint32_t Fetched = 0;              ///< 0xA2 answers that carried its certificate
  std::int64_t  QueuedAt = 0;             ///< seconds since the epoch
  std::int64_t  JudgedAt = 0;             ///< 0 while pending
  std::uint32_t JudgedBy = 0;             ///< sync number, or the id of the replacing request

  bool Pending() const { return Fate == RequestFate::Queued || Fate == RequestFate::Handed; }
};

struct SlotReport {
  bool  Full = false;
  Bytes Der;

  bool operator==(const SlotReport &other) const { return Full == other.Full && Der == other.Der; }
};

struct State {
  std::uint32_t NextId = 1;
  std::vector<Request> Requests;          ///< queue order: pending and judged
  std::array<SlotReport, kSlots> Slots{}; ///< as last reported by a sync
  std::uint32_t Syncs = 0;                ///< valid sync messages received
  std::uint32_t SlotsSince = 0;           ///< the sync that last changed what the slots hold
  std::int64_t  LastSyncAt = 0;

  bool operator==(const State &other) const;
};

/// The persisted form: a versioned byte image of a State, sealed with the
/// SHA-256 of everything before the seal.
Bytes SerializeState(const State &state);
/// Parses an image; nullopt (and a reason) for anything malformed: a broken
/// seal, a field out of range or one that disagrees with another.
std::optional<State> ParseState(const Bytes &image, std::string *why = nullptr);
/// The largest image a State can serialize to; a file above it is not one.
std::size_t MaxStateImage();

class VexaCore {
 public:
  /// Called with the state about to become current; false refuses the change
  /// (the BMC keeps the old state and answers the transaction with 0xFF).
  using Persist = std::function<bool(const State &)>;
  using Clock = std::function<std::int64_t()>;

  explicit VexaCore(State initial = State{}, Persist persist = nullptr, Clock clock = nullptr);

  /** One whole KIV message (the blob layer's commit).

    @param kivCode   kKivSend (sync) or kKivQuery (pending list, import
                     certificate).
    @param request   the request message; untrusted.
    @param response  receives the response message (empty when refused).
    @return the completion code of the message (section 3).
  **/
  std::uint8_t Execute(std::uint16_t kivCode, const Bytes &request, Bytes &response);

  // The administrator's commands. Each returns an empty string on success
  // (with the new request's id in *id) and the reason of a refusal otherwise;
  // a refusal changes nothing.
  std::string QueueImport(unsigned slot, const Bytes &der, std::uint32_t *id = nullptr);
  std::string QueueDelete(unsigned slot, std::uint32_t *id = nullptr);
  std::string QueueRaw(const std::array<std::uint8_t, kRecordSize> &record, std::uint32_t *id = nullptr);
  std::string Reset();

  /// Receives one line for every executed message and every refusal.
  void SetLog(std::function<void(const std::string &)> log) { Log_ = std::move(log); }

  const State &Current() const { return State_; }

 private:
  std::uint8_t Dispatch(std::uint16_t kivCode, const Bytes &message, Bytes &response);
  std::uint8_t PendingList(const Bytes &message, Bytes &response);
  std::uint8_t ImportCert(const Bytes &message, Bytes &response);
  std::uint8_t Sync(const Bytes &message);
  void Note(const std::string &line) const;
  std::string Queue(Request request, std::uint32_t *id);
  bool Commit(State next);

  State State_;
  Persist Persist_;
  Clock Clock_;
  std::function<void(const std::string &)> Log_;
};

}  // namespace vexa
