// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  Unit tests of the Vexa's core: requests it must refuse, the chunked
  exchanges at the piece boundaries, the fates of requests and the kept
  state's byte format.
**/
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>

#include "StateFile.h"
#include "VexaCore.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace vexa {
namespace {

constexpr std::size_t kRoom = 36;        // ipmi_sim's answer buffer
constexpr std::size_t kPutPiece = 246;   // 255 request bytes less the PUT header

Bytes Le32(std::uint32_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Put(std::uint32_t total, std::uint32_t offset, const Bytes &piece) { return Cat({{kOpPut}, Le32(total), Le32(offset), piece}); }
Bytes Get(std::uint32_t offset) { return Cat({{kOpGet}, Le32(offset)}); }
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

constexpr std::uint8_t kLan = 1;   // ipmi_sim's LAN channel

Bytes Call(VexaCore &core, std::uint8_t netFn, const Bytes &request, std::size_t room = kRoom,
           std::uint8_t channel = kSystemInterfaceChannel) {
  return core.Transact(netFn, channel, request.data(), request.size(), room);
}

struct Result {
  std::uint8_t Cc = 0;
  Bytes Response;
  unsigned Transactions = 0;
};

/// The firmware's side of one message: PUTs of at most `piece` bytes, then
/// GETs until the whole response is held; checks every answer's shape.
Result Exchange(VexaCore &core, std::uint8_t netFn, const Bytes &message, std::size_t piece = kPutPiece,
                std::size_t room = kRoom) {
  Result result;
  std::size_t sent = 0;
  Bytes answer;
  do {
    const std::size_t n = std::min(piece, message.size() - sent);
    answer = Call(core, netFn, Put(std::uint32_t(message.size()), std::uint32_t(sent), Bytes(message.begin() + sent, message.begin() + sent + n)), room);
    ++result.Transactions;
    sent += n;
    EXPECT_LE(answer.size(), room);
    if (answer.at(0) != kCcOk) {
      result.Cc = answer[0];
      EXPECT_EQ(answer.size(), 1u);
      return result;
    }
    if (sent < message.size()) {
      EXPECT_EQ(answer.size(), 1u);
    }
  } while (sent < message.size());
  EXPECT_GE(answer.size(), 5u);
  const std::uint32_t length = answer[1] | answer[2] << 8 | answer[3] << 16 | answer[4] << 24;
  result.Response.assign(answer.begin() + 5, answer.end());
  while (result.Response.size() < length) {
    answer = Call(core, netFn, Get(std::uint32_t(result.Response.size())), room);
    ++result.Transactions;
    EXPECT_EQ(answer.at(0), kCcOk);
    EXPECT_GT(answer.size(), 1u);
    EXPECT_LE(answer.size(), room);
    if (answer.size() <= 1) break;
    result.Response.insert(result.Response.end(), answer.begin() + 1, answer.end());
  }
  EXPECT_EQ(result.Response.size(), length);
  return result;
}

/// A BMC with history: a handed import for slot 1, a queued delete of slot
/// 3, and a report of slot 2 full.
VexaCore BusyCore() {
  VexaCore core(State{}, nullptr, [] { return std::int64_t(1700000000); });
  EXPECT_EQ(core.QueueImport(1, Der(100, 1)), "");
  EXPECT_EQ(Exchange(core, kNetFnSend, SyncMessage({{2, Der(50, 2)}})).Cc, kCcOk);
  EXPECT_EQ(Exchange(core, kNetFnQuery, kPendingListRequest).Cc, kCcOk);
  EXPECT_EQ(core.QueueDelete(3), "");
  return core;
}

// --- Requests the BMC refuses --------------------------------------------------

struct RefusalCase {
  const char *Name;
  std::vector<std::pair<std::uint8_t, Bytes>> Before;   // accepted transactions first
  std::uint8_t NetFn;
  Bytes Request;
  std::uint8_t Cc;
  std::size_t Room = kRoom;
  std::uint8_t Channel = kSystemInterfaceChannel;
};

/// Completes `message` in one PUT: what a refused application message needs.
Bytes Whole(const Bytes &message) { return Put(std::uint32_t(message.size()), 0, message); }

const std::uint8_t Q = kNetFnQuery, S = kNetFnSend;
const RefusalCase kRefusals[] = {
    {"EmptyRequest", {}, Q, {}, kCcBadLength},
    {"UnknownChunkOp", {}, Q, {0x03, 0, 0, 0, 0}, kCcInvalidCommand},
    {"PutShorterThanHeader", {}, Q, {kOpPut, 6, 0, 0, 0, 0, 0, 0}, kCcBadLength},
    {"PutTotalAboveLimit", {}, S, Put(kMaxMessage + 1, 0, {0xA1}), kCcOutOfRange},
    {"PutTotalAll1s", {}, S, Put(0xFFFFFFFF, 0, {0xA1}), kCcOutOfRange},
    {"PutPiecePastTotal", {}, Q, Put(2, 0, {1, 2, 3}), kCcBadLength},
    {"PutOffsetWrapsPastTotal", {{S, Put(300, 0, Bytes(246))}}, S, Put(300, 0xFFFFFFFF, {1}), kCcBadLength},
    {"PutEmptyPieceOfNonEmptyMessage", {}, Q, Put(6, 0, {}), kCcBadLength},
    {"PutEmptyPieceOfOneByteMessage", {}, Q, Put(1, 0, {}), kCcBadLength},
    {"NetFnNotTheTransports", {}, 0x2E, Whole(kPendingListRequest), kCcInvalidCommand},
    {"PutContinuationWithoutStart", {}, S, Put(300, 246, Bytes(54)), kCcWrongState},
    {"PutOffsetNotWhereLastEnded", {{S, Put(300, 0, Bytes(100))}}, S, Put(300, 99, Bytes(10)), kCcWrongState},
    {"PutEmptyContinuation", {{S, Put(300, 0, Bytes(100))}}, S, Put(300, 100, {}), kCcBadLength},
    {"PutTotalChanges", {{S, Put(300, 0, Bytes(100))}}, S, Put(301, 100, Bytes(10)), kCcWrongState},
    {"PutNetFnChanges", {{S, Put(300, 0, Bytes(100))}}, Q, Put(300, 100, Bytes(10)), kCcWrongState},
    {"GetTooShort", {{Q, Whole(kPendingListRequest)}}, Q, {kOpGet, 0, 0, 0}, kCcBadLength},
    {"GetTooLong", {{Q, Whole(kPendingListRequest)}}, Q, Cat({Get(0), {0}}), kCcBadLength},
    {"GetNothingHeldOnceANewMessageStarted", {{Q, Whole(kPendingListRequest)}, {S, Put(300, 0, Bytes(10))}}, Q, Get(0), kCcWrongState},
    {"GetOtherNetFn", {{Q, Whole(kPendingListRequest)}}, S, Get(0), kCcWrongState},
    {"GetBeyondLength", {{Q, Whole(kPendingListRequest)}}, Q, Get(19), kCcOutOfRange},
    {"GetOffsetAll1s", {{Q, Whole(kPendingListRequest)}}, Q, Get(0xFFFFFFFF), kCcOutOfRange},
    {"EmptyMessage", {}, Q, Put(0, 0, {}), kCcBadLength},
    {"UnknownSubCommand", {}, Q, Whole({0xA3, 0, 0, 0, 0, 0}), kCcInvalidCommand},
    {"SyncAsQuery", {}, Q, Whole(SyncMessage({{1, {}}})), kCcInvalidCommand},
    {"PendingListAsSend", {}, S, Whole(kPendingListRequest), kCcInvalidCommand},
    {"ImportCertAsSend", {}, S, Whole(ImportRequest(1)), kCcInvalidCommand},
    {"PendingListTooLong", {}, Q, Whole({kSubPendingList, 0, 0, 0, 0, 0, 0}), kCcBadLength},
    {"PendingListSizeNotZero", {}, Q, Whole({kSubPendingList, 0, 1, 0, 0, 0}), kCcInvalidField},
    {"ImportCertTooShort", {}, Q, Whole({kSubImportCert, 0, 2, 0, 0, 0, 1}), kCcBadLength},
    {"ImportCertIndexLengthNot2", {}, Q, Whole({kSubImportCert, 0, 3, 0, 0, 0, 1, 0}), kCcInvalidField},
    {"ImportCertSlot0", {}, Q, Whole(ImportRequest(0)), kCcOutOfRange},
    {"ImportCertSlot5", {}, Q, Whole(ImportRequest(5)), kCcOutOfRange},
    {"ImportCertSlot257", {}, Q, Whole(ImportRequest(0x0101)), kCcOutOfRange},
    {"ImportCertNothingQueued", {}, Q, Whole(ImportRequest(2)), kCcNotPresent},
    {"ImportCertForADelete", {}, Q, Whole(ImportRequest(3)), kCcNotPresent},
    {"SyncShorterThanHeader", {}, S, Whole({kSubSync, 0, 0, 0, 0, 0, 1}), kCcBadLength},
    {"SyncTotalSizeTooLarge", {}, S, Whole(Cat({{kSubSync, 0}, Le32(7), {1, 0, 1, 0, 0, 0, 0, 0}})), kCcInvalidField},
    {"SyncTotalSizeTooSmall", {}, S, Whole(Cat({{kSubSync, 0}, Le32(5), {1, 0, 1, 0, 0, 0, 0, 0}})), kCcInvalidField},
    {"SyncNoRecord", {}, S, Whole(Cat({{kSubSync, 0}, Le32(0), {0, 0}})), kCcInvalidField},
    {"SyncCountAbove4", {}, S, Whole({kSubSync, 0, 6, 0, 0, 0, 5, 0, 1, 0, 0, 0, 0, 0}), kCcInvalidField},
    {"SyncCountAboveRecords", {}, S, [] { Bytes m = SyncMessage({{1, Der(3, 1)}}); m[6] = 2; return Whole(m); }(), kCcInvalidField},
    {"SyncCountBelowRecords", {}, S, [] { Bytes m = SyncMessage({{1, Der(3, 1)}, {2, Der(3, 2)}}); m[6] = 1; return Whole(m); }(), kCcInvalidField},
    {"SyncRecordSlot0", {}, S, Whole(SyncMessage({{0, Der(3, 1)}})), kCcOutOfRange},
    {"SyncRecordSlot5", {}, S, Whole(SyncMessage({{1, Der(3, 1)}, {5, Der(3, 1)}})), kCcOutOfRange},
    {"SyncRecordSlot257", {}, S, Whole(SyncMessage({{0x0101, Der(3, 1)}})), kCcOutOfRange},
    {"SyncSlotsOutOfOrder", {}, S, Whole(SyncMessage({{2, Der(3, 1)}, {1, Der(3, 2)}})), kCcInvalidField},
    {"SyncSlotTwice", {}, S, Whole(SyncMessage({{2, Der(3, 1)}, {2, Der(3, 2)}})), kCcInvalidField},
    {"SyncCertSizePastEnd", {}, S, [] { Bytes m = SyncMessage({{1, Der(3, 1)}}); m[10] = 4; return Whole(m); }(), kCcInvalidField},
    {"SyncCertSizeAll1s", {}, S, [] { Bytes m = SyncMessage({{1, Der(3, 1)}}); m[10] = m[11] = m[12] = m[13] = 0xFF; return Whole(m); }(), kCcInvalidField},
    {"SyncEmptyRecordBesideOthers", {}, S, Whole(SyncMessage({{1, {}}, {2, Der(3, 1)}})), kCcInvalidField},
    {"SyncEmptyRecordNotSlot1", {}, S, Whole(SyncMessage({{2, {}}})), kCcInvalidField},
    {"RoomTooSmall", {}, Q, Whole(kPendingListRequest), kCcUnspecified, 5},
    // The firmware's commands from any channel but the system interface: a
    // LAN session, IPMB (a bridged request), channel 14 (this one).
    {"LanPendingList", {}, Q, Whole(kPendingListRequest), kCcNoPrivilege, kRoom, kLan},
    {"LanImportCert", {}, Q, Whole(ImportRequest(1)), kCcNoPrivilege, kRoom, kLan},
    {"LanSyncOfFourEmptySlots", {}, S, Whole(SyncMessage({{1, {}}})), kCcNoPrivilege, kRoom, kLan},
    {"LanPutContinuingTheFirmwaresMessage", {{S, Put(300, 0, Bytes(100))}}, S, Put(300, 100, Bytes(10)), kCcNoPrivilege, kRoom, kLan},
    {"LanGetOfTheHeldResponse", {{Q, Whole(kPendingListRequest)}}, Q, Get(0), kCcNoPrivilege, kRoom, kLan},
    {"IpmbPendingList", {}, Q, Whole(kPendingListRequest), kCcNoPrivilege, kRoom, 0},
    {"Channel14PendingList", {}, Q, Whole(kPendingListRequest), kCcNoPrivilege, kRoom, 14},
    {"LanUnknownChunkOpInSmallRoom", {}, Q, {0x03}, kCcNoPrivilege, 1, kLan},
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, AnsweredWithItsCodeAndNothingChanges) {
  const RefusalCase &c = GetParam();
  VexaCore core = BusyCore();
  for (const auto &[netFn, request] : c.Before) {
    ASSERT_EQ(Call(core, netFn, request).at(0), kCcOk);
  }
  const Bytes before = SerializeState(core.Current());
  EXPECT_EQ(Call(core, c.NetFn, c.Request, c.Room, c.Channel), Bytes{c.Cc});
  EXPECT_EQ(SerializeState(core.Current()), before);
  // The refused transaction left any transfer in progress as it was: the BMC
  // still answers a well-formed exchange afterwards.
  const Result list = Exchange(core, kNetFnQuery, kPendingListRequest);
  EXPECT_EQ(list.Cc, kCcOk);
  EXPECT_EQ(list.Response.size(), 6u + 2 * kRecordSize);
}

INSTANTIATE_TEST_SUITE_P(Vexa, Refusal, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST(Transfer, RefusedPieceLeavesTheMessageInProgress) {
  VexaCore core = BusyCore();
  const Bytes sync = SyncMessage({{4, Der(400, 9)}});
  ASSERT_EQ(Call(core, S, Put(std::uint32_t(sync.size()), 0, Bytes(sync.begin(), sync.begin() + 246))), Bytes{kCcOk});
  ASSERT_EQ(Call(core, S, Put(std::uint32_t(sync.size()), 245, Bytes(sync.begin() + 245, sync.end()))), Bytes{kCcWrongState});
  ASSERT_EQ(Call(core, S, Put(std::uint32_t(sync.size()), 246, Bytes(sync.begin() + 246, sync.end()))), Cat({{kCcOk}, Le32(0)}));
  EXPECT_EQ(core.Current().Slots[3].Der, Der(400, 9));
  // A GET may be repeated; a new message drops the held response.
  ASSERT_EQ(Call(core, S, Get(0)), Bytes{kCcOk});
  ASSERT_EQ(Call(core, S, Get(0)), Bytes{kCcOk});
  ASSERT_EQ(Call(core, Q, Put(6, 0, {kSubPendingList, 0, 0})), Bytes{kCcOk});
  EXPECT_EQ(Call(core, S, Get(0)), Bytes{kCcWrongState});
  EXPECT_FALSE(core.TransferIdle());
}

TEST(Transfer, LanRequestsLeaveTheFirmwaresMessageAndHeldResponseAlone) {
  VexaCore core = BusyCore();
  std::vector<std::string> log;
  core.SetLog([&](const std::string &line) { log.push_back(line); });
  // A LAN PUT at offset 0 and a LAN GET while the firmware reads a response.
  const Bytes response = Cat({{0xA2, 0}, Le32(100), {1, 0}, Der(100, 1)});
  ASSERT_EQ(Call(core, Q, Whole(ImportRequest(1))), Cat({{kCcOk}, Le32(108), Bytes(response.begin(), response.begin() + 31)}));
  EXPECT_EQ(Call(core, Q, Whole(kPendingListRequest), kRoom, kLan), Bytes{kCcNoPrivilege});
  EXPECT_EQ(Call(core, Q, Get(31), kRoom, kLan), Bytes{kCcNoPrivilege});
  EXPECT_EQ(Call(core, Q, Get(31)), Cat({{kCcOk}, Bytes(response.begin() + 31, response.begin() + 66)}));
  EXPECT_EQ(core.Current().Requests.at(0).Fetched, 1u);
  // And in the middle of the firmware's sync.
  const Bytes sync = SyncMessage({{4, Der(400, 9)}});
  const auto total = std::uint32_t(sync.size());
  ASSERT_EQ(Call(core, S, Put(total, 0, Bytes(sync.begin(), sync.begin() + 246))), Bytes{kCcOk});
  EXPECT_EQ(Call(core, S, Put(14, 0, SyncMessage({{1, {}}})), kRoom, kLan), Bytes{kCcNoPrivilege});
  EXPECT_EQ(Call(core, S, Get(0), kRoom, kLan), Bytes{kCcNoPrivilege});
  ASSERT_EQ(Call(core, S, Put(total, 246, Bytes(sync.begin() + 246, sync.end()))), Cat({{kCcOk}, Le32(0)}));
  EXPECT_EQ(core.Current().Slots[3].Der, Der(400, 9));
  EXPECT_FALSE(core.Current().Slots[0].Full);
  EXPECT_EQ(log.at(3), "refused NetFn 0x30 op 0x01, 23 bytes, channel 1: completion code 0xD4");
  EXPECT_EQ(log.back(), "sync 2: slot 1 empty; slot 2 empty; slot 3 empty; slot 4 400 bytes; #1 not-applied");
  // No room at all: nothing is answered.
  EXPECT_EQ(Call(core, Q, Get(0), 0), Bytes{});
  // No bytes (behind a valid pointer): refused for its length alone.
  const std::uint8_t unknownOp = 0x05;
  EXPECT_EQ(core.Transact(Q, kSystemInterfaceChannel, &unknownOp, 0, kRoom), Bytes{kCcBadLength});
  EXPECT_EQ(log.back(), "refused NetFn 0x32 op 0x00, 0 bytes, channel 15: completion code 0xC7");
  // The pending list as the log tells it.
  ASSERT_EQ(Exchange(core, Q, kPendingListRequest).Cc, kCcOk);
  EXPECT_EQ(log.back(), "pending list: 1 request(s) handed");
  // A completed message refused when executed leaves no transfer behind.
  VexaCore fresh;
  EXPECT_EQ(Call(fresh, Q, Whole({0xA3, 0, 0, 0, 0, 0})), Bytes{kCcInvalidCommand});
  EXPECT_TRUE(fresh.TransferIdle());
  // The test aid gate=off: every channel is served.
  core.SetChannelGate(false);
  EXPECT_EQ(Call(core, Q, Get(6), kRoom, kLan), Bytes({kCcOk, 0x09, 3, kOpDelete, 0, 0, 0}));
}

// --- The exchanges, byte for byte and across piece boundaries -------------------

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
  EXPECT_EQ(cert.Transactions, 1u + (908 - 31 + 34) / 35);
  // The least room the protocol works with: 1 response byte in the first
  // answer, 5 in each GET.
  const Result narrow = Exchange(core, Q, ImportRequest(3), kPutPiece, 6);
  EXPECT_EQ(narrow.Response, cert.Response);
  EXPECT_EQ(narrow.Transactions, 1u + (908 - 1 + 4) / 5);
}

/// Certificates and sync messages whose lengths sit on the pieces' edges:
/// the first answer carries 31 bytes and each GET 35; each PUT 246.
class Boundary : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Boundary, CertificateAndSyncArriveWhole) {
  const std::size_t n = GetParam();
  VexaCore core;
  ASSERT_EQ(core.QueueImport(1, Der(n, 3)), "");
  const Result cert = Exchange(core, Q, ImportRequest(1));
  ASSERT_EQ(cert.Cc, kCcOk);
  EXPECT_EQ(cert.Response, Cat({{0xA2, 0}, Le32(std::uint32_t(n)), {1, 0}, Der(n, 3)}));
  const Result sync = Exchange(core, S, SyncMessage({{1, Der(n, 3)}, {4, Der(n, 4)}}));
  ASSERT_EQ(sync.Cc, kCcOk);
  EXPECT_TRUE(sync.Response.empty());
  EXPECT_EQ(core.Current().Slots[0].Der, Der(n, 3));
  EXPECT_EQ(core.Current().Slots[3].Der, Der(n, 4));
  EXPECT_TRUE(core.Current().Slots[0].Full && !core.Current().Slots[1].Full);
}

// 8 + n = 31 (first answer), 31 + 35 (one GET); 2 * (6 + n) + 8 = 246, 492.
INSTANTIATE_TEST_SUITE_P(Vexa, Boundary, ::testing::Values(1, 22, 23, 24, 57, 58, 59, 113, 114, 115, 236, 237, 238, 4096, 65535));

TEST(Exchange, SyncOfFourFullSlotsAtTheLimit) {
  VexaCore core;
  const Bytes sync = SyncMessage({{1, Der(65535, 1)}, {2, Der(65535, 2)}, {3, Der(65535, 3)}, {4, Der(65535, 4)}});
  ASSERT_EQ(sync.size(), kMaxMessage);
  const Result result = Exchange(core, S, sync);
  EXPECT_EQ(result.Cc, kCcOk);
  EXPECT_EQ(result.Transactions, (kMaxMessage + kPutPiece - 1) / kPutPiece);
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
  // Reset: nothing kept, no transfer left; a reset that cannot be saved
  // changes nothing.
  ASSERT_EQ(Call(core, S, Put(300, 0, Bytes(10))), Bytes{kCcOk});
  EXPECT_EQ(core.Reset(), "");
  EXPECT_TRUE(core.Current() == State{});
  EXPECT_TRUE(core.TransferIdle());
  VexaCore held = BusyCore();
  ASSERT_EQ(Call(held, Q, Whole(kPendingListRequest)).at(0), kCcOk);
  ASSERT_FALSE(held.TransferIdle());
  EXPECT_EQ(held.Reset(), "");
  EXPECT_TRUE(held.TransferIdle());
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

}  // namespace
}  // namespace vexa
