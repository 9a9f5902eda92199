// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  Unit tests of the Vexa's core: messages it must refuse, the exchanges byte
  for byte, the fates of requests, the kept state's byte format, and the
  blob layer that carries the messages (VexaBlob).
**/
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>

#include "StateFile.h"
#include "VexaBlob.h"
#include "VexaCore.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace vexa {
namespace {

Bytes Le32(std::uint32_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Der(std::size_t n, std::uint8_t seed) {
  Bytes der(n);
  for (std::size_t i = 0; i < n; ++i) der[i] = std::uint8_t(seed + i * 7);
  return der;
}
/// A sync message of the given slots (slot, DER), or of the one empty record.
Bytes SyncMessage(std::initializer_list<std::pair<std::uint16_t, Bytes>> records) {
  Bytes payload;
  for (const auto &[slot, der] : records) {
    payload = Cat({payload, {std::uint8_t(slot), std::uint8_t(slot >> 8)}, Le32(std::uint32_t(der.size())), der});
  }
  const std::uint16_t count = std::uint16_t(records.size());
  return Cat({{kSubSync, 0}, Le32(std::uint32_t(payload.size())), {std::uint8_t(count), std::uint8_t(count >> 8)}, payload});
}
const Bytes kPendingListRequest{kSubPendingList, 0, 0, 0, 0, 0};
Bytes ImportRequest(std::uint16_t slot) { return {kSubImportCert, 0, 2, 0, 0, 0, std::uint8_t(slot), std::uint8_t(slot >> 8)}; }

struct Result {
  std::uint8_t Cc = 0;
  Bytes Response;
};

/// One whole message, as the blob layer's Commit hands it over.
Result Exchange(VexaCore &core, std::uint16_t code, const Bytes &message) {
  Result result;
  result.Cc = core.Execute(code, message, result.Response);
  if (result.Cc != kCcOk) {
    EXPECT_TRUE(result.Response.empty());
  }
  return result;
}

/// A BMC with history: a handed import for slot 1, a queued delete of slot
/// 3, and a report of slot 2 full.
VexaCore BusyCore() {
  VexaCore core(State{}, nullptr, [] { return std::int64_t(1700000000); });
  EXPECT_EQ(core.QueueImport(1, Der(100, 1)), "");
  EXPECT_EQ(Exchange(core, kKivSend, SyncMessage({{2, Der(50, 2)}})).Cc, kCcOk);
  EXPECT_EQ(Exchange(core, kKivQuery, kPendingListRequest).Cc, kCcOk);
  EXPECT_EQ(core.QueueDelete(3), "");
  return core;
}

// --- Requests the BMC refuses --------------------------------------------------

struct RefusalCase {
  const char *Name;
  std::uint16_t Code;
  Bytes Message;
  std::uint8_t Cc;
};

const std::uint16_t Q = kKivQuery, S = kKivSend;
const RefusalCase kRefusals[] = {
    {"EmptyMessage", Q, {}, kCcBadLength},
    {"UnknownCommandCode", 0x809C, kPendingListRequest, kCcInvalidCommand},
    {"UnknownSubCommand", Q, {0xA3, 0, 0, 0, 0, 0}, kCcInvalidCommand},
    {"SyncAsQuery", Q, SyncMessage({{1, {}}}), kCcInvalidCommand},
    {"PendingListAsSend", S, kPendingListRequest, kCcInvalidCommand},
    {"ImportCertAsSend", S, ImportRequest(1), kCcInvalidCommand},
    {"PendingListTooLong", Q, {kSubPendingList, 0, 0, 0, 0, 0, 0}, kCcBadLength},
    {"PendingListSizeNotZero", Q, {kSubPendingList, 0, 1, 0, 0, 0}, kCcInvalidField},
    {"ImportCertTooShort", Q, {kSubImportCert, 0, 2, 0, 0, 0, 1}, kCcBadLength},
    {"ImportCertIndexLengthNot2", Q, {kSubImportCert, 0, 3, 0, 0, 0, 1, 0}, kCcInvalidField},
    {"ImportCertSlot0", Q, ImportRequest(0), kCcOutOfRange},
    {"ImportCertSlot5", Q, ImportRequest(5), kCcOutOfRange},
    {"ImportCertSlot257", Q, ImportRequest(0x0101), kCcOutOfRange},
    {"ImportCertNothingQueued", Q, ImportRequest(2), kCcNotPresent},
    {"ImportCertForADelete", Q, ImportRequest(3), kCcNotPresent},
    {"SyncShorterThanHeader", S, {kSubSync, 0, 0, 0, 0, 0, 1}, kCcBadLength},
    {"SyncTotalSizeTooLarge", S, Cat({{kSubSync, 0}, Le32(7), {1, 0, 1, 0, 0, 0, 0, 0}}), kCcInvalidField},
    {"SyncTotalSizeTooSmall", S, Cat({{kSubSync, 0}, Le32(5), {1, 0, 1, 0, 0, 0, 0, 0}}), kCcInvalidField},
    {"SyncNoRecord", S, Cat({{kSubSync, 0}, Le32(0), {0, 0}}), kCcInvalidField},
    {"SyncCountAbove4", S, {kSubSync, 0, 6, 0, 0, 0, 5, 0, 1, 0, 0, 0, 0, 0}, kCcInvalidField},
    {"SyncCountAboveRecords", S, [] { Bytes m = SyncMessage({{1, Der(3, 1)}}); m[6] = 2; return m; }(), kCcInvalidField},
    {"SyncCountBelowRecords", S, [] { Bytes m = SyncMessage({{1, Der(3, 1)}, {2, Der(3, 2)}}); m[6] = 1; return m; }(), kCcInvalidField},
    {"SyncRecordSlot0", S, SyncMessage({{0, Der(3, 1)}}), kCcOutOfRange},
    {"SyncRecordSlot5", S, SyncMessage({{1, Der(3, 1)}, {5, Der(3, 1)}}), kCcOutOfRange},
    {"SyncRecordSlot257", S, SyncMessage({{0x0101, Der(3, 1)}}), kCcOutOfRange},
    {"SyncSlotsOutOfOrder", S, SyncMessage({{2, Der(3, 1)}, {1, Der(3, 2)}}), kCcInvalidField},
    {"SyncSlotTwice", S, SyncMessage({{2, Der(3, 1)}, {2, Der(3, 2)}}), kCcInvalidField},
    {"SyncCertSizePastEnd", S, [] { Bytes m = SyncMessage({{1, Der(3, 1)}}); m[10] = 4; return m; }(), kCcInvalidField},
    {"SyncCertSizeAll1s", S, [] { Bytes m = SyncMessage({{1, Der(3, 1)}}); m[10] = m[11] = m[12] = m[13] = 0xFF; return m; }(), kCcInvalidField},
    {"SyncEmptyRecordBesideOthers", S, SyncMessage({{1, {}}, {2, Der(3, 1)}}), kCcInvalidField},
    {"SyncEmptyRecordNotSlot1", S, SyncMessage({{2, {}}}), kCcInvalidField},
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, AnsweredWithItsCodeAndNothingChanges) {
  const RefusalCase &c = GetParam();
  VexaCore core = BusyCore();
  const Bytes before = SerializeState(core.Current());
  EXPECT_EQ(Exchange(core, c.Code, c.Message).Cc, c.Cc);
  EXPECT_EQ(SerializeState(core.Current()), before);
  const Result list = Exchange(core, kKivQuery, kPendingListRequest);
  EXPECT_EQ(list.Cc, kCcOk);
  EXPECT_EQ(list.Response.size(), 6u + 2 * kRecordSize);
}

INSTANTIATE_TEST_SUITE_P(Vexa, Refusal, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.Name); });

// --- The exchanges, byte for byte -------------------------------------------------

TEST(Exchange, PendingListAndCertificateBytes) {
  VexaCore core;
  ASSERT_EQ(core.QueueImport(3, Der(900, 5)), "");
  ASSERT_EQ(core.QueueDelete(2), "");
  ASSERT_EQ(core.QueueRaw({0x09, 0x05, 0xAA, 0x10, 0x00, 0x00}), "");
  const Result list = Exchange(core, Q, kPendingListRequest);
  ASSERT_EQ(list.Cc, kCcOk);
  EXPECT_EQ(list.Response, Bytes({0xA0, 0, 18, 0, 0, 0, 0x09, 3, 0xAA, 0x84, 0x03, 0, 0x09, 2, 0xAB, 0, 0, 0,
                                  0x09, 0x05, 0xAA, 0x10, 0x00, 0x00}));
  const Result cert = Exchange(core, Q, ImportRequest(3));
  ASSERT_EQ(cert.Cc, kCcOk);
  EXPECT_EQ(cert.Response, Cat({{0xA2, 0}, Le32(900), {3, 0}, Der(900, 5)}));
}

TEST(Exchange, SyncOfFourFullSlotsAtTheLimit) {
  VexaCore core;
  const Bytes sync = SyncMessage({{1, Der(65535, 1)}, {2, Der(65535, 2)}, {3, Der(65535, 3)}, {4, Der(65535, 4)}});
  ASSERT_EQ(sync.size(), kMaxMessage);
  const Result result = Exchange(core, S, sync);
  EXPECT_EQ(result.Cc, kCcOk);
  for (unsigned i = 0; i < kSlots; ++i) EXPECT_EQ(core.Current().Slots[i].Der, Der(65535, std::uint8_t(i + 1)));
}

// --- Fates ---------------------------------------------------------------------

struct FateCase {
  const char *Name;
  std::function<std::string(VexaCore &)> Queue;
  Bytes Report;   // the sync after the pending list
  RequestFate Fate;
};

const FateCase kFates[] = {
    {"ImportReportedExactly", [](VexaCore &c) { return c.QueueImport(2, Der(40, 1)); }, SyncMessage({{2, Der(40, 1)}}), RequestFate::Confirmed},
    {"ImportOtherBytesInSlot", [](VexaCore &c) { return c.QueueImport(2, Der(40, 1)); }, SyncMessage({{2, Der(40, 2)}}), RequestFate::NotApplied},
    {"ImportInOtherSlot", [](VexaCore &c) { return c.QueueImport(2, Der(40, 1)); }, SyncMessage({{3, Der(40, 1)}}), RequestFate::NotApplied},
    {"ImportStoreEmpty", [](VexaCore &c) { return c.QueueImport(1, Der(40, 1)); }, SyncMessage({{1, {}}}), RequestFate::NotApplied},
    {"DeleteReportedEmpty", [](VexaCore &c) { return c.QueueDelete(2); }, SyncMessage({{1, Der(40, 1)}}), RequestFate::Confirmed},
    {"DeleteStillFull", [](VexaCore &c) { return c.QueueDelete(2); }, SyncMessage({{2, Der(40, 1)}}), RequestFate::NotApplied},
    {"DeleteStoreEmpty", [](VexaCore &c) { return c.QueueDelete(1); }, SyncMessage({{1, {}}}), RequestFate::Confirmed},
    {"InjectedImportSlot5", [](VexaCore &c) { return c.QueueRaw({9, 5, 0xAA, 0x10, 0, 0}); }, SyncMessage({{1, {}}}), RequestFate::NotApplied},
    {"InjectedDeleteOtherTaskType", [](VexaCore &c) { return c.QueueRaw({5, 2, 0xAB, 0, 0, 0}); }, SyncMessage({{1, Der(4, 1)}}), RequestFate::Confirmed},
    {"InjectedUnknownOperation", [](VexaCore &c) { return c.QueueRaw({9, 2, 0xAC, 0, 0, 0}); }, SyncMessage({{1, {}}}), RequestFate::NotApplied},
    {"InjectedDeleteSlot5", [](VexaCore &c) { return c.QueueRaw({9, 5, 0xAB, 0, 0, 0}); }, SyncMessage({{1, {}}}), RequestFate::NotApplied},
    {"InjectedDeleteSlot0", [](VexaCore &c) { return c.QueueRaw({9, 0, 0xAB, 0, 0, 0}); }, SyncMessage({{1, {}}}), RequestFate::NotApplied},
};

class Fates : public ::testing::TestWithParam<FateCase> {};

TEST_P(Fates, JudgedByTheSyncAfterBeingHanded) {
  const FateCase &c = GetParam();
  VexaCore core(State{}, nullptr, [] { return std::int64_t(1700000100); });
  ASSERT_EQ(c.Queue(core), "");
  ASSERT_EQ(core.Current().Requests.at(0).Fate, RequestFate::Queued);
  ASSERT_EQ(Exchange(core, Q, kPendingListRequest).Response.size(), 12u);
  ASSERT_EQ(core.Current().Requests.at(0).Fate, RequestFate::Handed);
  ASSERT_EQ(Exchange(core, S, c.Report).Cc, kCcOk);
  const Request &r = core.Current().Requests.at(0);
  EXPECT_EQ(FateName(r.Fate), std::string(FateName(c.Fate)));
  EXPECT_EQ(r.JudgedBy, 1u);
  EXPECT_EQ(r.JudgedAt, 1700000100);
  EXPECT_EQ(core.Current().SlotsSince, 1u);   // the first sync, even of an empty store
  // Judged requests leave the pending list and stay in the history.
  EXPECT_EQ(Exchange(core, Q, kPendingListRequest).Response, kPendingListRequest);
  EXPECT_EQ(core.Current().Requests.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Vexa, Fates, ::testing::ValuesIn(kFates), [](const auto &info) { return std::string(info.param.Name); });

TEST(Fates, OnlyHandedRequestsAreJudgedAndANewRequestReplacesTheWaitingOne) {
  VexaCore core;
  ASSERT_EQ(core.QueueImport(1, Der(40, 1)), "");
  ASSERT_EQ(core.QueueDelete(2), "");
  ASSERT_EQ(Exchange(core, Q, kPendingListRequest).Response.size(), 18u);
  ASSERT_EQ(Exchange(core, Q, kPendingListRequest).Response.size(), 18u);   // handed again until judged
  ASSERT_EQ(core.QueueRaw({9, 1, 0xAB, 0, 0, 0}), "");                      // injected: outside the one-per-slot rule
  ASSERT_EQ(core.QueueImport(1, Der(40, 2)), "");                           // replaces #1, not the injected one
  ASSERT_EQ(Exchange(core, S, SyncMessage({{1, Der(40, 1)}})).Cc, kCcOk);
  const auto &r = core.Current().Requests;
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].Fate, RequestFate::Replaced);
  EXPECT_EQ(r[0].JudgedBy, r[3].Id);
  EXPECT_EQ(r[0].Handed, 2u);
  EXPECT_EQ(r[1].Fate, RequestFate::Confirmed);
  EXPECT_EQ(r[2].Fate, RequestFate::Queued);   // queued after the list: not judged
  EXPECT_EQ(r[3].Fate, RequestFate::Queued);
  EXPECT_EQ(Exchange(core, Q, kPendingListRequest).Response,
            Bytes({0xA0, 0, 12, 0, 0, 0, 9, 1, 0xAB, 0, 0, 0, 9, 1, 0xAA, 40, 0, 0}));
}

TEST(Fates, TheHistoryKeepsTheNewest64JudgedAndEveryPendingRequest) {
  VexaCore core(State{}, nullptr, [] { return std::int64_t(1700000400); });
  ASSERT_EQ(core.QueueRaw({9, 5, 0xAA, 0x10, 0, 0}), "");        // #1, pending throughout
  for (int i = 0; i < 70; ++i) ASSERT_EQ(core.QueueDelete(2), "");  // #2..#71, each replacing the last
  const auto &r = core.Current().Requests;
  ASSERT_EQ(r.size(), kMaxHistory + 2);
  EXPECT_EQ(r.front().Id, 1u);
  EXPECT_EQ(r[1].Id, 71u - kMaxHistory);    // the oldest judged ones dropped
  EXPECT_EQ(r.back().Id, 71u);
  EXPECT_TRUE(r.back().Pending());
  EXPECT_EQ(r[1].JudgedAt, 1700000400);
  // The sync that judges the two pending ones trims again.
  ASSERT_EQ(Exchange(core, Q, kPendingListRequest).Cc, kCcOk);
  ASSERT_EQ(Exchange(core, S, SyncMessage({{1, {}}})).Cc, kCcOk);
  ASSERT_EQ(r.size(), kMaxHistory);
  EXPECT_EQ(r.front().Id, 72u - kMaxHistory);   // #8..#71
}

TEST(Fates, Names) {
  const std::pair<RequestKind, const char *> kinds[] = {
      {RequestKind::Import, "import"}, {RequestKind::Delete, "delete"}, {RequestKind::Raw, "injected"}, {RequestKind(9), "?"}};
  for (const auto &[kind, name] : kinds) EXPECT_STREQ(KindName(kind), name);
  const std::pair<RequestFate, const char *> fates[] = {
      {RequestFate::Queued, "queued"}, {RequestFate::Handed, "handed"}, {RequestFate::Confirmed, "confirmed"},
      {RequestFate::NotApplied, "not-applied"}, {RequestFate::Replaced, "replaced"}, {RequestFate(9), "?"}};
  for (const auto &[fate, name] : fates) EXPECT_STREQ(FateName(fate), name);
}

TEST(Admin, RefusalsChangeNothing) {
  VexaCore core = BusyCore();
  const Bytes before = SerializeState(core.Current());
  EXPECT_NE(core.QueueImport(0, Der(10, 1)), "");
  EXPECT_NE(core.QueueImport(5, Der(10, 1)), "");
  EXPECT_NE(core.QueueImport(1, {}), "");
  EXPECT_NE(core.QueueImport(1, Der(65536, 1)), "");
  EXPECT_NE(core.QueueDelete(5), "");
  EXPECT_EQ(SerializeState(core.Current()), before);
  while (core.Current().Requests.size() < kMaxPending) ASSERT_EQ(core.QueueRaw({9, 5, 0xAA, 0, 0, 0}), "");
  EXPECT_NE(core.QueueRaw({9, 5, 0xAA, 0, 0, 0}), "");
  // Reset: nothing kept; a reset that cannot be saved changes nothing.
  EXPECT_EQ(core.Reset(), "");
  EXPECT_TRUE(core.Current() == State{});
  VexaCore unsaved(BusyCore().Current(), [](const State &) { return false; });
  EXPECT_EQ(unsaved.Reset(), "the state could not be saved");
  EXPECT_TRUE(unsaved.Current() == BusyCore().Current());
}

// --- Kept state ----------------------------------------------------------------

TEST(KeptState, SurvivesTheRoundTripAndAFailedSaveChangesNothing) {
  bool saveWorks = true;
  State saved;
  VexaCore core(State{}, [&](const State &s) { if (saveWorks) saved = s; return saveWorks; },
                [] { return std::int64_t(1700000200); });
  ASSERT_EQ(core.QueueImport(1, Der(300, 1)), "");
  ASSERT_EQ(core.QueueDelete(2), "");
  ASSERT_EQ(core.QueueRaw({9, 5, 0xAA, 0x10, 0, 0}), "");
  ASSERT_EQ(Exchange(core, Q, kPendingListRequest).Cc, kCcOk);
  ASSERT_EQ(Exchange(core, Q, ImportRequest(1)).Cc, kCcOk);
  ASSERT_EQ(Exchange(core, S, SyncMessage({{1, Der(300, 1)}, {3, Der(20, 3)}})).Cc, kCcOk);
  ASSERT_EQ(Exchange(core, S, SyncMessage({{1, Der(300, 1)}, {3, Der(20, 3)}})).Cc, kCcOk);   // a quiet boot
  EXPECT_EQ(core.Current().Syncs, 2u);
  EXPECT_EQ(core.Current().SlotsSince, 1u);
  ASSERT_EQ(core.QueueDelete(1), "");
  EXPECT_TRUE(saved == core.Current());

  const Bytes image = SerializeState(saved);
  const auto loaded = ParseState(image);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_TRUE(*loaded == saved);
  VexaCore restarted(*loaded);
  EXPECT_EQ(Exchange(restarted, Q, kPendingListRequest).Response, Bytes({0xA0, 0, 6, 0, 0, 0, 9, 1, 0xAB, 0, 0, 0}));

  ASSERT_EQ(core.QueueImport(4, Der(10, 4)), "");
  saveWorks = false;
  const Bytes before = SerializeState(core.Current());
  EXPECT_EQ(Exchange(core, Q, ImportRequest(4)).Cc, kCcUnspecified);
  EXPECT_EQ(Exchange(core, Q, kPendingListRequest).Cc, kCcUnspecified);
  EXPECT_EQ(Exchange(core, S, SyncMessage({{1, {}}})).Cc, kCcUnspecified);
  EXPECT_NE(core.QueueImport(2, Der(10, 1)), "");
  EXPECT_EQ(SerializeState(core.Current()), before);
}

/// A state with every fate: #1 import confirmed, #2 delete not applied, #3
/// import handed (its certificate fetched), #4 delete replaced by #5, #5
/// import handed, #6 injected record handed, #7 delete queued; slots 1 and 2
/// reported full by sync 1.
State RichState() {
  VexaCore core(State{}, nullptr, [] { return std::int64_t(1700000300); });
  EXPECT_EQ(core.QueueImport(1, Der(100, 1)), "");
  EXPECT_EQ(core.QueueDelete(2), "");
  EXPECT_EQ(Exchange(core, Q, kPendingListRequest).Cc, kCcOk);
  EXPECT_EQ(Exchange(core, S, SyncMessage({{1, Der(100, 1)}, {2, Der(50, 2)}})).Cc, kCcOk);
  EXPECT_EQ(core.QueueImport(1, Der(60, 3)), "");
  EXPECT_EQ(core.QueueDelete(4), "");
  EXPECT_EQ(core.QueueImport(4, Der(30, 4)), "");
  EXPECT_EQ(core.QueueRaw({9, 5, 0xAA, 0x10, 0, 0}), "");
  EXPECT_EQ(Exchange(core, Q, kPendingListRequest).Cc, kCcOk);
  EXPECT_EQ(Exchange(core, Q, ImportRequest(1)).Cc, kCcOk);
  EXPECT_EQ(core.QueueDelete(3), "");
  return core.Current();
}

/// The image with its seal made to match again: what a forger who knows the
/// format writes.
Bytes Reseal(Bytes image) {
  image.resize(image.size() - 32);
  unsigned char digest[32];
  unsigned int n = 0;
  EVP_Digest(image.data(), image.size(), digest, &n, EVP_sha256(), nullptr);
  image.insert(image.end(), digest, digest + 32);
  return image;
}

constexpr std::size_t kSlotsAt = 32;                         // the first slot report
constexpr std::size_t kCountAt = kSlotsAt + 4 * 5 + 100 + 50;  // RichState's request count
constexpr std::size_t kRequestAt = kCountAt + 4;              // its first request

struct HostileCase {
  const char *Name;
  std::function<void(State &)> Lie;          // a state no BMC makes, sealed
  std::function<void(Bytes &)> Patch;        // or bytes changed in the sealed image
};

void SetU32(Bytes &image, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) image[at + i] = std::uint8_t(v >> (8 * i));
}

const HostileCase kHostile[] = {
    {"NextIdZero", [](State &s) { s.Requests.clear(); s.NextId = 0; }, nullptr},
    {"SlotsSinceAboveSyncs", [](State &s) { s.SlotsSince = 2; }, nullptr},
    {"SlotsSinceZeroAfterASync", [](State &s) { s.SlotsSince = 0; }, nullptr},
    {"SlotFullWithoutBytes", [](State &s) { s.Slots[2].Full = true; }, nullptr},
    {"SlotEmptyWithBytes", [](State &s) { s.Slots[0].Full = false; }, nullptr},
    {"SlotReportedBeforeAnySync", [](State &s) { s.Requests.clear(); s.Syncs = s.SlotsSince = 0; }, nullptr},
    {"SlotFullFlag2", nullptr, [](Bytes &b) { b[kSlotsAt] = 2; }},
    {"SlotLongerThanAnyMessage", [](State &s) { s.Slots[0].Der = Der(kMaxMessage + 1, 1); }, nullptr},
    {"RequestCountAboveAnyState", nullptr, [](Bytes &b) { SetU32(b, kCountAt, kMaxRequests + 1); }},
    {"IdsNotIncreasing", [](State &s) { s.Requests[1].Id = s.Requests[0].Id; }, nullptr},
    {"IdNotBelowNextId", [](State &s) { s.NextId = s.Requests.back().Id; }, nullptr},
    {"IdAtItsMaximum", [](State &s) { s.Requests.back().Id = 0xFFFFFFFF; }, nullptr},
    {"KindUnknown", nullptr, [](Bytes &b) { b[kRequestAt + 4] = 4; }},
    {"KindZero", nullptr, [](Bytes &b) { b[kRequestAt + 4] = 0; }},
    {"FateUnknown", nullptr, [](Bytes &b) { b[kRequestAt + 12] = 6; }},
    {"FateZero", nullptr, [](Bytes &b) { b[kRequestAt + 12] = 0; }},
    {"ImportSlot0", [](State &s) { s.Requests[0].Slot = 0; s.Requests[0].Record[1] = 0; }, nullptr},
    {"ImportSlot5", [](State &s) { s.Requests[0].Slot = 5; s.Requests[0].Record[1] = 5; }, nullptr},
    {"ImportWithoutCertificate", [](State &s) { s.Requests[0].Der.clear(); s.Requests[0].Record[3] = 0; }, nullptr},
    {"ImportCertificateAboveRecordLimit", [](State &s) { s.Requests[0].Der = Der(65536, 1); s.Requests[0].Record[3] = s.Requests[0].Record[4] = 0; }, nullptr},
    {"ImportRecordSizeLies", [](State &s) { s.Requests[2].Record[3] ^= 1; }, nullptr},
    {"ImportRecordSizeHighByteLies", [](State &s) { s.Requests[2].Record[4] ^= 1; }, nullptr},
    {"ImportRecordSlotLies", [](State &s) { s.Requests[2].Record[1] = 2; }, nullptr},
    {"ImportSlotLies", [](State &s) { s.Requests[2].Slot = 2; }, nullptr},
    {"ImportRecordIsADelete", [](State &s) { s.Requests[2].Record[2] = kOpDelete; }, nullptr},
    {"ImportRecordTaskType", [](State &s) { s.Requests[2].Record[0] = 8; }, nullptr},
    {"ImportRecordReservedByte", [](State &s) { s.Requests[2].Record[5] = 1; }, nullptr},
    {"DeleteWithCertificate", [](State &s) { s.Requests[1].Der = Der(5, 1); }, nullptr},
    {"DeleteSlot5", [](State &s) { s.Requests[1].Slot = 5; s.Requests[1].Record[1] = 5; }, nullptr},
    {"DeleteRecordIsAnImport", [](State &s) { s.Requests[1].Record[2] = kOpImport; }, nullptr},
    {"DeleteRecordSize", [](State &s) { s.Requests[1].Record[3] = 1; }, nullptr},
    {"DeleteRecordSlotLies", [](State &s) { s.Requests[1].Record[1] = 1; }, nullptr},
    {"InjectedWithCertificate", [](State &s) { s.Requests[5].Der = Der(5, 1); }, nullptr},
    {"InjectedSlotNotItsRecords", [](State &s) { s.Requests[5].Slot = 1; }, nullptr},
    {"CertificateFetchedForADelete", [](State &s) { s.Requests[6].Fetched = 1; }, nullptr},
    {"PendingMarkedJudged", [](State &s) { s.Requests[6].JudgedBy = 1; }, nullptr},
    {"HandedMarkedJudged", [](State &s) { s.Requests[2].JudgedBy = 1; }, nullptr},
    {"JudgedBySyncNeverReceived", [](State &s) { s.Requests[0].JudgedBy = 2; }, nullptr},
    {"JudgedBySyncZero", [](State &s) { s.Requests[1].JudgedBy = 0; }, nullptr},
    {"ReplacedByItself", [](State &s) { s.Requests[3].JudgedBy = s.Requests[3].Id; }, nullptr},
    {"ReplacedByAnIdNotGiven", [](State &s) { s.Requests[3].JudgedBy = s.NextId; }, nullptr},
    {"InjectedRecordReplaced", [](State &s) { s.Requests[5].Fate = RequestFate::Replaced; s.Requests[5].JudgedBy = 7; }, nullptr},
    {"TwoPendingForOneSlot", [](State &s) { s.Requests[6].Slot = 1; s.Requests[6].Record[1] = 1; }, nullptr},
    {"MoreJudgedThanTheHistory", [](State &s) {
       for (std::uint32_t i = 0; i < kMaxHistory; ++i) {
         Request r = s.Requests[1];
         r.Id = s.NextId++;
         s.Requests.push_back(r);
       }
     }, nullptr},
    {"UnknownFormat", nullptr, [](Bytes &b) { b[8] = 1; }},
    {"NotAStateFile", nullptr, [](Bytes &b) { b[0] = 'W'; }},
    {"TrailingBytes", nullptr, [](Bytes &b) { b.insert(b.end() - 32, 0); }},
};

class Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, ImageIsRefused) {
  const HostileCase &c = GetParam();
  State state = RichState();
  ASSERT_TRUE(ParseState(SerializeState(state)).has_value());
  Bytes image;
  if (c.Lie) {
    c.Lie(state);
    image = SerializeState(state);
  } else {
    image = SerializeState(state);
    c.Patch(image);
    image = Reseal(image);
  }
  std::string why;
  EXPECT_FALSE(ParseState(image, &why).has_value());
  EXPECT_NE(why, "");
}

INSTANTIATE_TEST_SUITE_P(Vexa, Hostile, ::testing::ValuesIn(kHostile), [](const auto &info) { return std::string(info.param.Name); });

TEST(KeptState, EveryTruncationAndFlippedByteIsRefused) {
  const Bytes image = SerializeState(RichState());
  const auto parsed = ParseState(image);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_TRUE(*parsed == RichState());
  EXPECT_EQ(parsed->LastSyncAt, 1700000300);
  EXPECT_EQ(parsed->Requests.at(6).QueuedAt, 1700000300);
  // Magic, format 2, ... and the SHA-256 of all of it last.
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 12), Cat({{'V', 'E', 'X', 'A', 'B', 'M', 'C', '\n'}, Le32(2)}));
  EXPECT_EQ(Reseal(image), image);
  // A full history beside pending requests is a state the BMC makes.
  State full = RichState();
  while (full.Requests.size() < kMaxHistory + 4) {   // RichState: 3 judged, 4 pending
    Request r = full.Requests[1];
    r.Id = full.NextId++;
    full.Requests.insert(full.Requests.begin() + 2, r);
  }
  std::sort(full.Requests.begin(), full.Requests.end(), [](const Request &a, const Request &b) { return a.Id < b.Id; });
  EXPECT_TRUE(ParseState(SerializeState(full)).has_value());
  for (std::size_t n = 0; n < image.size(); ++n) {
    EXPECT_FALSE(ParseState(Bytes(image.begin(), image.begin() + n)).has_value()) << n;
    Bytes bad = image;
    bad[n] ^= 0x01;
    std::string why;
    EXPECT_FALSE(ParseState(bad, &why).has_value()) << n;
    if (n < image.size() - 32) {
      EXPECT_EQ(why, "damaged: its SHA-256 seal does not match its bytes") << n;
    }
  }
  EXPECT_FALSE(ParseState(Cat({image, {0}})).has_value());
  // Truncations sealed again: what the format's own lengths must catch.
  for (std::size_t n = 0; n < image.size() - 32; ++n) {
    EXPECT_FALSE(ParseState(Reseal(Cat({Bytes(image.begin(), image.begin() + n), Bytes(32)}))).has_value()) << n;
  }
}

TEST(KeptState, TheLargestImageIsTheBoundTheLoaderReads) {
  State state;
  for (SlotReport &slot : state.Slots) slot = {true, Bytes(kMaxMessage, 1)};
  state.Requests.resize(kMaxRequests);
  for (Request &r : state.Requests) r.Der = Bytes(kMaxCertificate, 2);
  EXPECT_EQ(SerializeState(state).size(), MaxStateImage());
  // The most requests a BMC keeps: every injected record it takes, a request
  // for each slot and a full history. Such a state loads.
  VexaCore core;
  while (core.QueueRaw({9, 5, 0xAA, 0x10, 0, 0}).empty()) {
  }
  for (std::size_t i = 0; i <= kMaxHistory; ++i) ASSERT_EQ(core.QueueDelete(1), "");
  for (unsigned slot = 2; slot <= kSlots; ++slot) ASSERT_EQ(core.QueueDelete(slot), "");
  ASSERT_EQ(core.Current().Requests.size(), kMaxRequests);
  EXPECT_TRUE(ParseState(SerializeState(core.Current())).has_value());
}

TEST(KeptState, TheLastIdIsGivenAndThenRequestsAreRefused) {
  State state = RichState();
  state.NextId = kLastId;
  const auto loaded = ParseState(SerializeState(state));
  ASSERT_TRUE(loaded.has_value());
  VexaCore core(*loaded);
  std::uint32_t id = 0;
  ASSERT_EQ(core.QueueDelete(2, &id), "");
  EXPECT_EQ(id, kLastId);
  EXPECT_EQ(core.Current().NextId, 0xFFFFFFFFu);
  const Bytes before = SerializeState(core.Current());
  EXPECT_EQ(core.QueueImport(2, Der(10, 1)), "request ids are used up (4294967294 requests): reset the BMC");
  EXPECT_NE(core.QueueDelete(2), "");
  EXPECT_NE(core.QueueRaw({9, 1, 0xAB, 0, 0, 0}), "");
  EXPECT_EQ(SerializeState(core.Current()), before);
  EXPECT_TRUE(ParseState(before).has_value());
}

// --- The state file ------------------------------------------------------------

struct LoadCase {
  const char *Name;
  std::function<void(const std::string &path, const Bytes &sound)> Make;   // what lies at path
  LoadOutcome Outcome;
};

void WriteFile(const std::string &path, const Bytes &bytes) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!bytes.empty()) {
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  std::fclose(f);
}

Bytes ReadFile(const std::string &path) {
  Bytes out;
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  for (int c; (c = std::fgetc(f)) != EOF;) out.push_back(std::uint8_t(c));
  std::fclose(f);
  return out;
}

const LoadCase kLoads[] = {
    {"Absent", [](const std::string &, const Bytes &) {}, LoadOutcome::Absent},
    {"Sound", [](const std::string &p, const Bytes &sound) { WriteFile(p, sound); }, LoadOutcome::Loaded},
    {"LinkToASoundState", [](const std::string &p, const Bytes &sound) {
       WriteFile(p + ".real", sound);
       ASSERT_EQ(symlink((p + ".real").c_str(), p.c_str()), 0);
     }, LoadOutcome::SetAside},
    {"LinkToDevZero", [](const std::string &p, const Bytes &) { ASSERT_EQ(symlink("/dev/zero", p.c_str()), 0); },
     LoadOutcome::SetAside},
    {"Fifo", [](const std::string &p, const Bytes &) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, LoadOutcome::SetAside},
    {"Folder", [](const std::string &p, const Bytes &) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }, LoadOutcome::SetAside},
    {"Empty", [](const std::string &p, const Bytes &) { WriteFile(p, {}); }, LoadOutcome::SetAside},
    {"LargerThanAnyState", [](const std::string &p, const Bytes &sound) {
       Bytes big = sound;
       big.resize(MaxStateImage() + 1);
       WriteFile(p, big);
     }, LoadOutcome::SetAside},
    {"FlippedByte", [](const std::string &p, const Bytes &sound) {
       Bytes bad = sound;
       bad[40] ^= 4;
       WriteFile(p, bad);
     }, LoadOutcome::SetAside},
};

class Load : public ::testing::TestWithParam<LoadCase> {};

TEST_P(Load, AbsentStartsEmptyAnythingUnsoundIsSetAsideNeverRunNorReplaced) {
  const LoadCase &c = GetParam();
  char folder[] = "/tmp/vexa state XXXXXX";   // a space in the path
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/vexa-bmc.state";
  const State rich = RichState();
  const Bytes sound = SerializeState(rich);
  c.Make(path, sound);
  struct stat before {};
  const bool present = lstat(path.c_str(), &before) == 0;

  // The control channel's check: the same verdict, and nothing moves.
  const LoadResult checked = CheckStateFile(path);
  EXPECT_EQ(int(checked.Outcome), int(c.Outcome == LoadOutcome::SetAside ? LoadOutcome::Unsound : c.Outcome))
      << checked.Message;
  EXPECT_TRUE(checked.Loaded == (c.Outcome == LoadOutcome::Loaded ? rich : State{}));
  struct stat still {};
  EXPECT_EQ(lstat(path.c_str(), &still) == 0, present);
  EXPECT_TRUE(!present || (still.st_ino == before.st_ino && still.st_size == before.st_size)) << "left as it is";

  const LoadResult result = LoadStateFile(path);
  EXPECT_EQ(int(result.Outcome), int(c.Outcome)) << result.Message;
  EXPECT_TRUE(result.Loaded == (c.Outcome == LoadOutcome::Loaded ? rich : State{}));
  struct stat after {};
  EXPECT_EQ(lstat(path.c_str(), &after) == 0, c.Outcome == LoadOutcome::Loaded) << "only a sound file stays";
  if (c.Outcome == LoadOutcome::SetAside) {
    // The same file (inode), under the name the message gives.
    const std::string aside = result.Message.substr(result.Message.find("set aside as ") + 13,
                                                    result.Message.find(", starting empty") - result.Message.find("set aside as ") - 13);
    EXPECT_EQ(aside.rfind(path + ".unreadable-", 0), 0u) << result.Message;
    struct stat moved {};
    ASSERT_EQ(lstat(aside.c_str(), &moved), 0) << result.Message;
    EXPECT_TRUE(present && moved.st_ino == before.st_ino);
    // A second damaged file in the same second gets a name of its own.
    WriteFile(path, {1, 2, 3});
    const LoadResult again = LoadStateFile(path);
    EXPECT_EQ(int(again.Outcome), int(LoadOutcome::SetAside)) << again.Message;
    EXPECT_EQ(lstat(aside.c_str(), &moved), 0) << "the first one is kept";
    if (S_ISREG(before.st_mode)) {
      EXPECT_EQ(ReadFile(aside).size(), std::size_t(before.st_size));
    }
  }
  EXPECT_EQ(std::system(("rm -rf '" + std::string(folder) + "'").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(Vexa, Load, ::testing::ValuesIn(kLoads), [](const auto &info) { return std::string(info.param.Name); });

TEST(StateFile, UnsoundFileThatCannotBeSetAsideIsNotStartedOver) {
  // procfs: a regular file whose bytes are no state, in a folder where no
  // rename succeeds.
  const LoadResult result = LoadStateFile("/proc/self/environ");
  EXPECT_EQ(int(result.Outcome), int(LoadOutcome::Stuck)) << result.Message;
  EXPECT_NE(result.Message.find("it cannot be set aside"), std::string::npos) << result.Message;
  EXPECT_TRUE(result.Loaded == State{});
}

TEST(StateFile, SaveReplacesAStaleTemporaryLinkWithoutFollowingIt) {
  char folder[] = "/tmp/vexa state XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/vexa-bmc.state";
  const std::string victim = std::string(folder) + "/victim";
  WriteFile(victim, {7, 7, 7});
  ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
  const State rich = RichState();
  EXPECT_EQ(SaveStateFile(path, rich), "");
  EXPECT_EQ(ReadFile(victim), Bytes({7, 7, 7}));
  struct stat info {};
  EXPECT_NE(lstat((path + ".tmp").c_str(), &info), 0);
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const LoadResult loaded = LoadStateFile(path);
  EXPECT_EQ(int(loaded.Outcome), int(LoadOutcome::Loaded));
  EXPECT_TRUE(loaded.Loaded == rich);
  EXPECT_NE(SaveStateFile(std::string(folder) + "/no such folder/vexa-bmc.state", rich), "");
  EXPECT_EQ(std::system(("rm -rf '" + std::string(folder) + "'").c_str()), 0);
}

// --- KIV over blob sessions (VexaBlob) ---------------------------------------

namespace blob {

using Caller = VexaBlob::Caller;
const Caller kFirmware{kSystemInterfaceChannel, 0}, kLan{1, 9}, kOther{kSystemInterfaceChannel, 7};
constexpr std::size_t kBlobRoom = 36;   // ipmi_sim's answer, the OEN on top

/// One blob request: sub-command, then (with a payload) its CRC and the payload.
Bytes Req(std::uint8_t sub, const Bytes &payload = {}) {
  if (payload.empty()) return {sub};
  const std::uint16_t crc = Crc16(payload.data(), payload.size());
  return Cat({{sub, std::uint8_t(crc), std::uint8_t(crc >> 8)}, payload});
}
Bytes Open(const char *id, std::uint16_t flags = kBlobOpenFlags) {
  Bytes p{std::uint8_t(flags), std::uint8_t(flags >> 8)};
  p.insert(p.end(), id, id + std::strlen(id) + 1);
  return Req(kBlobOpen, p);
}
const Bytes kS{0x11, 0x47};   // the first session id the fixture's numbers give
Bytes Write(std::uint32_t offset, const Bytes &data) { return Req(kBlobWrite, Cat({kS, Le32(offset), data})); }
Bytes Read(std::uint32_t offset, std::uint32_t size) { return Req(kBlobRead, Cat({kS, Le32(offset), Le32(size)})); }
const Bytes kCommit = Req(kBlobCommit, Cat({kS, {0}}));
const Bytes kStat = Req(kBlobSessionStat, kS);
const Bytes kClose = Req(kBlobClose, kS);

struct Fixture {
  std::int64_t Now = 1000;
  std::uint16_t NextId = 0x4711;
  VexaCore Core;
  VexaBlob Blob{Core, [this] { return Now; }, [this] { return NextId++; }};

  Bytes Call(const Caller &caller, const Bytes &request, std::size_t room = kBlobRoom) {
    return Blob.Handle(caller, request.data(), request.size(), room);
  }
  /// The answer's data after its CRC, checked; the completion code must be 0.
  Bytes Data(const Caller &caller, const Bytes &request) {
    const Bytes a = Call(caller, request);
    EXPECT_EQ(a.at(0), kCcOk);
    if (a.size() == 1) return {};
    const Bytes data(a.begin() + 3, a.end());
    EXPECT_EQ(a[1] | a[2] << 8, Crc16(data.data(), data.size()));
    return data;
  }
};

struct BlobCase {
  const char *Name;
  std::vector<Bytes> Before;   // the firmware's requests, each answered 0
  Caller Who;
  Bytes Request;
  std::uint8_t Cc;
  std::size_t Room = kBlobRoom;
};

const Bytes kOpenQuery = Open("/vexa/kiv/809d");
const Bytes kPendingWrite = Write(0, kPendingListRequest);
const BlobCase kBlobRefusals[] = {
    {"GateOnAnotherChannel", {}, kLan, Req(kBlobGetCount), kCcGate},
    {"GateOnTheFirmwaresSession", {kOpenQuery}, kLan, kStat, kCcGate},
    {"PayloadCrcWrong", {}, kFirmware, [] { Bytes r = kOpenQuery; r[1] ^= 1; return r; }(), kCcBadCrc},
    {"PayloadDamaged", {kOpenQuery}, kFirmware, [] { Bytes r = kPendingWrite; r.back() ^= 0x80; return r; }(), kCcBadCrc},
    {"CrcWithoutPayload", {}, kFirmware, {kBlobStat, 0x0F, 0x1D}, kCcBadLength},
    {"Empty", {}, kFirmware, {}, kCcBadLength},
    {"UnknownSubCommand", {}, kFirmware, Req(11), kCcInvalidCommand},
    {"DeleteRefused", {}, kFirmware, Req(kBlobDelete, Bytes{'/', 0}), kCcInvalidCommand},
    {"WriteMetaRefused", {kOpenQuery}, kFirmware, Req(kBlobWriteMeta, Cat({kS, Le32(0), {1}})), kCcInvalidCommand},
    {"GetCountWithPayload", {}, kFirmware, Req(kBlobGetCount, {0}), kCcBadLength},
    {"EnumerateShort", {}, kFirmware, Req(kBlobEnumerate, {1, 0, 0}), kCcBadLength},
    {"EnumeratePastTheBlobs", {}, kFirmware, Req(kBlobEnumerate, Le32(2)), kCcOutOfRange},
    {"OpenReadOnly", {}, kFirmware, Open("/vexa/kiv/809d", kBlobOpenRead), kCcInvalidField},
    {"OpenWithBlobFlags", {}, kFirmware, Open("/vexa/kiv/809d", 0x0103), kCcInvalidField},
    {"OpenUnknownBlob", {}, kFirmware, Open("/vexa/kiv/809e"), kCcInvalidField},
    {"OpenIdWithoutNul", {}, kFirmware, Req(kBlobOpen, {3, 0, '/', 'v'}), kCcInvalidField},
    {"OpenFlagsOnly", {}, kFirmware, Req(kBlobOpen, {3, 0}), kCcBadLength},
    {"OpenNinthSession", std::vector<Bytes>(kMaxSessions, kOpenQuery), kFirmware, kOpenQuery, kCcNoSessionRoom},
    {"StatUnknownBlob", {}, kFirmware, Req(kBlobStat, Bytes{'/', 0}), kCcInvalidField},
    {"SessionNeverOpened", {}, kFirmware, kStat, kCcUnknownSession},
    {"SessionIdShort", {kOpenQuery}, kFirmware, Req(kBlobSessionStat, {0x11}), kCcBadLength},
    {"AnotherClientReads", {kOpenQuery, kPendingWrite, kCommit}, kOther, Read(0, 10), kCcUnknownSession},
    {"AnotherClientWrites", {kOpenQuery}, kOther, kPendingWrite, kCcUnknownSession},
    {"AnotherClientCommits", {kOpenQuery, kPendingWrite}, kOther, kCommit, kCcUnknownSession},
    {"AnotherClientCloses", {kOpenQuery}, kOther, kClose, kCcUnknownSession},
    {"AnotherClientAsks", {kOpenQuery}, kOther, kStat, kCcUnknownSession},
    {"SessionClosed", {kOpenQuery, kClose}, kFirmware, kStat, kCcUnknownSession},
    {"WriteEmpty", {kOpenQuery}, kFirmware, Write(0, {}), kCcBadLength},
    {"WriteNotWhereTheLastEnded", {kOpenQuery, Write(0, {kSubPendingList, 0})}, kFirmware, Write(1, {0}), kCcWrongState},
    {"WriteAfterCommit", {kOpenQuery, kPendingWrite, kCommit}, kFirmware, Write(6, {0}), kCcWrongState},
    {"CommitTwice", {kOpenQuery, kPendingWrite, kCommit}, kFirmware, kCommit, kCcWrongState},
    {"CommitWithData", {kOpenQuery, kPendingWrite}, kFirmware, Req(kBlobCommit, Cat({kS, {1, 0}})), kCcInvalidField},
    {"CommitLengthDisagrees", {kOpenQuery, kPendingWrite}, kFirmware, Req(kBlobCommit, Cat({kS, {2, 0}})), kCcBadLength},
    {"CommitShort", {kOpenQuery, kPendingWrite}, kFirmware, Req(kBlobCommit, kS), kCcBadLength},
    {"ReadBeforeCommit", {kOpenQuery, kPendingWrite}, kFirmware, Read(0, 10), kCcWrongState},
    {"ReadPastTheResponse", {kOpenQuery, kPendingWrite, kCommit}, kFirmware, Read(19, 1), kCcOutOfRange},
    {"ReadShort", {kOpenQuery, kPendingWrite, kCommit}, kFirmware, Req(kBlobRead, Cat({kS, Le32(0)})), kCcBadLength},
    {"SessionStatLong", {kOpenQuery}, kFirmware, Req(kBlobSessionStat, Cat({kS, {0}})), kCcBadLength},
    {"CloseLong", {kOpenQuery}, kFirmware, Req(kBlobClose, Cat({kS, {0}})), kCcBadLength},
    {"RoomTooSmall", {}, kFirmware, Req(kBlobGetCount), kCcUnspecified, 3},
};

class BlobRefusal : public ::testing::TestWithParam<BlobCase> {};

TEST_P(BlobRefusal, AnsweredWithItsCodeAndNothingChanges) {
  const BlobCase &c = GetParam();
  Fixture f;
  ASSERT_EQ(f.Core.QueueDelete(2), "");
  for (const Bytes &request : c.Before) ASSERT_EQ(f.Call(kFirmware, request).at(0), kCcOk);
  const Bytes state = SerializeState(f.Core.Current());
  const Bytes stat = f.Call(kFirmware, kStat);
  EXPECT_EQ(f.Call(c.Who, c.Request, c.Room), Bytes{c.Cc});
  EXPECT_EQ(SerializeState(f.Core.Current()), state);
  EXPECT_EQ(f.Call(kFirmware, kStat), stat) << "the firmware's session as it was";
}

INSTANTIATE_TEST_SUITE_P(Vexa, BlobRefusal, ::testing::ValuesIn(kBlobRefusals),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST(Blob, EnumerationAndOneMessageBytesExact) {
  Fixture f;
  ASSERT_EQ(f.Core.QueueImport(1, Der(100, 3)), "");
  EXPECT_EQ(f.Data(kFirmware, Req(kBlobGetCount)), Le32(2));
  EXPECT_EQ(f.Data(kFirmware, Req(kBlobEnumerate, Le32(0))), Bytes({'/', 'v', 'e', 'x', 'a', '/', 'k', 'i', 'v', '/', '0', '0', '9', 'd', 0}));
  EXPECT_EQ(f.Data(kFirmware, Req(kBlobEnumerate, Le32(1))), Bytes({'/', 'v', 'e', 'x', 'a', '/', 'k', 'i', 'v', '/', '8', '0', '9', 'd', 0}));
  EXPECT_EQ(f.Data(kFirmware, Req(kBlobStat, Bytes{'/', 'v', 'e', 'x', 'a', '/', 'k', 'i', 'v', '/', '0', '0', '9', 'd', 0})), Bytes(7, 0));
  EXPECT_EQ(f.Data(kFirmware, kOpenQuery), kS);
  EXPECT_EQ(f.Data(kFirmware, Write(0, {kSubImportCert, 0, 2, 0})), Bytes{});
  EXPECT_EQ(f.Data(kFirmware, kStat), Bytes({kBlobOpenFlags, 0, 4, 0, 0, 0, 0})) << "open, 4 request bytes, no metadata";
  EXPECT_EQ(f.Data(kFirmware, Write(4, {0, 0, 1, 0})), Bytes{});
  EXPECT_EQ(f.Data(kFirmware, kCommit), Bytes{});
  EXPECT_EQ(f.Core.Current().Requests[0].Fetched, 1u);
  EXPECT_EQ(f.Data(kFirmware, kStat), Bytes({kBlobOpenFlags | kBlobCommitted, 0, 108, 0, 0, 0, 1, kCcOk}));
  Bytes response;
  while (response.size() < 108) {
    const Bytes piece = f.Data(kFirmware, Read(std::uint32_t(response.size()), 200));
    ASSERT_EQ(piece.size(), std::min<std::size_t>(33, 108 - response.size())) << "36-byte room: code, CRC, 33 bytes";
    response.insert(response.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(response, Cat({{kSubImportCert, 0}, Le32(100), {1, 0}, Der(100, 3)}));
  EXPECT_EQ(f.Data(kFirmware, Read(108, 10)), Bytes{}) << "at the end: no bytes";
  EXPECT_EQ(f.Data(kFirmware, Read(0, 10)), Bytes(response.begin(), response.begin() + 10)) << "a Read may be repeated";
  EXPECT_EQ(f.Core.Current().Requests[0].Fetched, 1u) << "executed once";
  EXPECT_EQ(f.Data(kFirmware, kClose), Bytes{});
  EXPECT_EQ(f.Blob.Expire(), 0u);
}

TEST(Blob, RefusedMessageIsACommitErrorWithTheVexasCode) {
  Fixture f;
  ASSERT_EQ(f.Data(kFirmware, Open("/vexa/kiv/009d")), kS);
  ASSERT_EQ(f.Data(kFirmware, Write(0, kPendingListRequest)), Bytes{});   // a pending list sent as a sync
  ASSERT_EQ(f.Data(kFirmware, kCommit), Bytes{});
  EXPECT_EQ(f.Data(kFirmware, kStat), Bytes({kBlobOpenFlags | kBlobCommitError, 0, 0, 0, 0, 0, 1, kCcInvalidCommand}));
  EXPECT_EQ(f.Data(kFirmware, Read(0, 10)), Bytes{});
}

TEST(Blob, IdleSessionsExpireActiveOnesDoNot) {
  Fixture f;
  ASSERT_EQ(f.Data(kFirmware, kOpenQuery), kS);
  f.Now += kSessionIdleMs - 1;
  ASSERT_EQ(f.Data(kFirmware, kPendingWrite), Bytes{}) << "activity keeps it";
  f.Now += kSessionIdleMs - 1;
  EXPECT_EQ(f.Blob.Expire(), 1u);
  f.Now += 1;
  EXPECT_EQ(f.Blob.Expire(), 0u);
  EXPECT_EQ(f.Call(kFirmware, kCommit), Bytes{kCcUnknownSession});
  EXPECT_EQ(f.Core.Current().Syncs, 0u);
}

TEST(Blob, WithTheGateOffASecondClientHasItsOwnSessionOfTheSameBlob) {
  Fixture f;
  f.Blob.SetGate(false);
  ASSERT_EQ(f.Core.QueueImport(1, Der(70, 5)), "");
  ASSERT_EQ(f.Data(kFirmware, kOpenQuery), kS);
  ASSERT_EQ(f.Data(kFirmware, Write(0, ImportRequest(1))), Bytes{});
  ASSERT_EQ(f.Data(kLan, kOpenQuery), Bytes({0x12, 0x47}));
  ASSERT_EQ(f.Data(kLan, Req(kBlobWrite, Cat({{0x12, 0x47}, Le32(0), kPendingListRequest}))), Bytes{});
  ASSERT_EQ(f.Data(kLan, Req(kBlobCommit, {0x12, 0x47, 0})), Bytes{});
  ASSERT_EQ(f.Data(kFirmware, kCommit), Bytes{});
  EXPECT_EQ(f.Data(kFirmware, kStat), Bytes({kBlobOpenFlags | kBlobCommitted, 0, 78, 0, 0, 0, 1, 0}));
  EXPECT_EQ(f.Data(kLan, Req(kBlobSessionStat, {0x12, 0x47})), Bytes({kBlobOpenFlags | kBlobCommitted, 0, 12, 0, 0, 0, 1, 0}));
}

}  // namespace blob

}  // namespace
}  // namespace vexa
