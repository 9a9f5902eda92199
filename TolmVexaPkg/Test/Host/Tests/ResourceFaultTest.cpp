/** @file
  Allocation-failure sweeps of the two published services: a full scenario is
  run once per pool allocation it makes, with that one allocation failing, and
  each run is held to what the services promise for that failure: no leak and
  no rule broken (checked by the platform after every run), the update flag
  lowered, every slot either as before or holding its new certificate, and the
  result and traffic that this kind of failure gives.

  The sweep fails the Vexa's own allocations too: the simulated transport
  allocates every response from the same pool, and when that allocation fails
  it answers EFI_OUT_OF_RESOURCES, as a transport short of memory would. The
  services must treat that like any other transport failure.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ServiceScenario.h"

#include <set>

using namespace Scenario;

namespace {

const Bytes  kCert310 = Cert (310, 0x11);
const Bytes  kCert400 = Cert (400, 0x22);
const Bytes  kCert900 = Cert (900, 0x71);
const Bytes  kOldCert = Cert (120, 0x93);

/// TRUE when the transport ran out of memory for its response in this run.
bool
TransportRanOutOfMemory (
  )
{
  for (const auto &R : Sim::Vexa ().Requests ()) {
    if (R.Status == EFI_OUT_OF_RESOURCES) {
      return true;
    }
  }

  return false;
}

size_t
CountOf (
  const Messages  &Log,
  const Message   &Wanted
  )
{
  return std::count (Log.begin (), Log.end (), Wanted);
}

// ===========================================================================
// SyncHttpsCertToVEXA
// ===========================================================================

///
/// The sync messages of one slot when its read succeeds (Held) or finds
/// nothing, and when the read runs out of memory.
///
Messages
SyncSlotLog (
  unsigned  Slot,
  bool      Held,
  bool      ReadFails
  )
{
  if (ReadFails) {
    return SlotReadFailed (Slot, "Out of Resources");
  }

  return Held ? SlotFound (Slot) : SlotAbsent (Slot);
}

///
/// Sweeps one sync scenario. Held[s-1] tells whether slot s holds Certs[s-1].
/// Every run ends in exactly one of these outcomes:
///   "read s"     the read of slot s ran out of memory: slot s is left out,
///                everything else is sent, EFI_SUCCESS;
///   "header", "message", "growth <slot>" or "growth empty"
///                the message header, the message, or a growth of the payload
///                for that slot's record (or for the empty record) had no
///                memory: EFI_OUT_OF_RESOURCES and nothing sent;
///   "transport"  the transport had no memory for its response: the whole
///                message was sent, EFI_OUT_OF_RESOURCES after the failed-send
///                message.
/// Returns the outcomes seen, for the coverage check of the caller.
///
std::multiset<std::string>
SweepSync (
  const std::array<std::optional<Bytes>, SLOT_COUNT>  &Held
  )
{
  std::multiset<std::string>  Seen;

  auto  Arrange = [&Held] {
                    Publish ();
                    for (unsigned Slot = 1; Slot <= SLOT_COUNT; Slot++) {
                      if (Held[Slot - 1].has_value ()) {
                        PutCert (Slot, *Held[Slot - 1]);
                      }
                    }

                    Sim::Vexa ().Answer (0xA1, Sim::VexaFake::SyncAck ());
                  };

  // What a run sends and prints when the read of slot FailedSlot (0: none)
  // runs out of memory.
  auto  Expected = [&Held] (unsigned FailedSlot, Request &Sent, Messages &Log) {
                     std::vector<Bytes>  Records;
                     Log = {};
                     for (unsigned Slot = 1; Slot <= SLOT_COUNT; Slot++) {
                       bool  Fails = (Slot == FailedSlot);
                       Log = Log + SyncSlotLog (Slot, Held[Slot - 1].has_value (), Fails);
                       if (Held[Slot - 1].has_value () && !Fails) {
                         Records.push_back (SyncRecord ((UINT16)Slot, *Held[Slot - 1]));
                       }
                     }

                     if (Records.empty ()) {
                       Records.push_back (SyncRecord (1, {}));
                       Log = Log + EmptyRecordMade ();
                     }

                     Log  = Log + SyncTotal ((unsigned)Records.size ());
                     Sent = SyncRequest (Records);
                   };

  auto  Act = [&] (uint64_t K) {
                auto                     *Service = (TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL *)nullptr;
                EFI_STATUS               Status;
                SlotState                Before = Slots ();
                Request                  Sent;
                Messages                 Clean;

                ASSERT_EQ (gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, nullptr, (VOID **)&Service), EFI_SUCCESS);
                Status = Service->SyncHttpsCertToVEXA ();
                Messages  Got = LogOf ("SyncHttpsCertToVEXA");

                // Whatever failed: the store is untouched and the flag unused.
                EXPECT_EQ (Slots (), Before);
                EXPECT_EQ (WriteTrace (), "");
                EXPECT_FALSE (FlagPresent ());

                Expected (0, Sent, Clean);
                if (K == 0) {
                  EXPECT_EQ (Status, EFI_SUCCESS);
                  EXPECT_EQ (Requests (), std::vector<Request>{ Sent });
                  EXPECT_EQ (Got, Clean) << Sim::DebugLog ().Dump ();
                  return;
                }

                if (TransportRanOutOfMemory ()) {
                  Seen.insert ("transport");
                  EXPECT_EQ (Status, EFI_OUT_OF_RESOURCES);
                  EXPECT_EQ (Requests (), std::vector<Request>{ Sent });
                  EXPECT_EQ (Got, Clean + SyncSendFailed ("Out of Resources")) << Sim::DebugLog ().Dump ();
                  return;
                }

                if (Status == EFI_OUT_OF_RESOURCES) {
                  // Nothing goes out. The header fails before anything is
                  // printed; the message itself after the total; a growth of
                  // the payload stops the call at its own message, the slots
                  // after it unread.
                  EXPECT_TRUE (Requests ().empty ());
                  if (Got.empty ()) {
                    Seen.insert ("header");
                  } else if (Got == Clean) {
                    Seen.insert ("message");
                  } else {
                    std::string  Slot = "?";
                    for (unsigned S = 1; S <= SLOT_COUNT; S++) {
                      if (Got.back () == Message { ERR, "SyncHttpsCertToVEXA(L): Failed to allocate for cert of HTTP dev (" +
                                                   std::to_string (S) + "). Cannot sync it to Vexa.\n" })
                      {
                        Slot = std::to_string (S);
                      }
                    }

                    if (Got.back () == Message { ERR, "SyncHttpsCertToVEXA(L): Failed to allocate for EMPTY cert of HTTP dev (1). Cannot sync it to Vexa.\n" }) {
                      Slot = "empty";
                    }

                    Seen.insert ("growth " + Slot);
                    EXPECT_NE (Slot, "?") << Sim::DebugLog ().Dump ();
                    // Everything before the growth message is what a clean run prints.
                    ASSERT_LE (Got.size () - 1, Clean.size ());
                    EXPECT_EQ (Messages (Got.begin (), Got.end () - 1), Messages (Clean.begin (), Clean.begin () + (Got.size () - 1)))
                      << Sim::DebugLog ().Dump ();
                  }

                  return;
                }

                // A read ran out of memory: that slot alone is left out.
                EXPECT_EQ (Status, EFI_SUCCESS);
                unsigned  FailedSlot = 0;
                for (unsigned Slot = 1; Slot <= SLOT_COUNT; Slot++) {
                  if (CountOf (Got, SlotReadFailed (Slot, "Out of Resources")[0]) != 0) {
                    EXPECT_EQ (FailedSlot, 0u) << "only one read can fail";
                    FailedSlot = Slot;
                  }
                }

                ASSERT_NE (FailedSlot, 0u) << "no outcome fits run " << K << "\n" << Sim::DebugLog ().Dump ();
                Seen.insert ("read " + std::to_string (FailedSlot));
                Messages  Log;
                Expected (FailedSlot, Sent, Log);
                EXPECT_EQ (Requests (), std::vector<Request>{ Sent });
                EXPECT_EQ (Got, Log) << Sim::DebugLog ().Dump ();
              };

  Sim::SweepAllocationFailures (Arrange, Act);
  return Seen;
}

TEST (SyncAllocationFailures, SlotsOneAndThreeHeld) {
  std::multiset<std::string>  Seen = SweepSync ({ kCert310, std::nullopt, kCert400, std::nullopt });

  // The reads of both held slots, every step of building the message and the
  // transport were each hit.
  for (const char *Outcome : { "read 1", "read 3", "header", "growth 1", "growth 3", "message", "transport" }) {
    EXPECT_NE (Seen.count (Outcome), 0u) << Outcome;
  }
}

TEST (SyncAllocationFailures, NothingStored) {
  std::multiset<std::string>  Seen = SweepSync ({ std::nullopt, std::nullopt, std::nullopt, std::nullopt });

  for (const char *Outcome : { "header", "growth empty", "message", "transport" }) {
    EXPECT_NE (Seen.count (Outcome), 0u) << Outcome;
  }
}

// ===========================================================================
// HandlePendingTasks
// ===========================================================================

///
/// The list of the pending sweep: import 900 bytes into slot 1 (held), delete
/// slot 2 (held), import 310 bytes into slot 3 (empty).
///
const Bytes  kSweepList = {
  0x09, 0x01, 0xAA, 0x84, 0x03, 0x00,
  0x09, 0x02, 0xAB, 0x00, 0x00, 0x00,
  0x09, 0x03, 0xAA, 0x36, 0x01, 0x00
};

struct SweepRecord {
  unsigned    Slot;
  bool        Import;
  Bytes       Der;          ///< the certificate of an import
};

const std::vector<SweepRecord>  kSweepRecords = {
  { 1, true,  kCert900 },
  { 2, false, {}       },
  { 3, true,  kCert310 },
};

TEST (PendingAllocationFailures, ImportDeleteImport) {
  std::multiset<std::string>  Seen;

  auto  Arrange = [] {
                    Publish ();
                    PutCert (1, kOldCert);
                    PutCert (2, kCert400);
                    Sim::KivAnswer  List;
                    List.Response = Cat ({ { 0xA0, 0x00, 0x12, 0x00, 0x00, 0x00 }, kSweepList });
                    Sim::Vexa ().Answer (0xA0, List);
                    Sim::Vexa ().AnswerImportCert (1, Sim::VexaFake::ImportCert (1, kCert900));
                    Sim::Vexa ().AnswerImportCert (3, Sim::VexaFake::ImportCert (3, kCert310));
                  };

  auto  Act = [&Seen] (uint64_t K) {
                auto        *Service = (TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL *)nullptr;
                SlotState   Before   = Slots ();
                SlotState   Done     = { StoredValue (kCert900), std::nullopt, StoredValue (kCert310), std::nullopt };

                ASSERT_EQ (gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, nullptr, (VOID **)&Service), EFI_SUCCESS);
                BOOLEAN   Result = Service->HandlePendingTasks ();
                Messages  Got    = Log ();
                SlotState After  = Slots ();

                // Whatever failed: the flag is down and no slot holds a partial value.
                EXPECT_FALSE (FlagPresent ());
                for (size_t Index = 0; Index < SLOT_COUNT; Index++) {
                  EXPECT_TRUE ((After[Index] == Before[Index]) || (After[Index] == Done[Index]))
                    << "slot " << Index + 1 << " holds neither its old nor its new value";
                }

                if (K == 0) {
                  EXPECT_TRUE (Result);
                  EXPECT_EQ (After, Done);
                  EXPECT_EQ (WriteTrace (), "+W1-+D2-+W3-");
                  return;
                }

                if (Requests ().size () == 1) {
                  EXPECT_EQ (Requests ()[0], kPendingListRequest);
                  EXPECT_EQ (WriteTrace (), "");
                  EXPECT_EQ (After, Before);
                  EXPECT_EQ (CountOf (Got, FirstOperation (0xAA)[0]), 0u) << "no record is looked at";
                  if (TransportRanOutOfMemory ()) {
                    // The list exchange failed: as if nothing were pending.
                    Seen.insert ("list exchange");
                    EXPECT_FALSE (Result);
                    EXPECT_EQ (
                      Got,
                      (Messages {
                      { INFO, "GetPendingTaskList(L): IPMI command Status (Out of Resources) ResponseStatus(0x0) ResponseBufferSize (0x0)\n" },
                      { ERR, "GetPendingTaskList: error status returned from the KIV command.\n" }
                    })
                      ) << Sim::DebugLog ().Dump ();
                  } else {
                    // The list arrived but its copy could not be made.
                    Seen.insert ("list copy");
                    EXPECT_TRUE (Result);
                    EXPECT_EQ (Got, ListFetched (24, 18)) << Sim::DebugLog ().Dump ();
                  }

                  return;
                }

                // The list was processed; exactly one request failed, and only
                // that one left its slot as it was.
                EXPECT_TRUE (Result);
                std::string  Trace;
                unsigned     Failed = 0;
                for (const SweepRecord &R : kSweepRecords) {
                  const Messages  Ok = R.Import ? ImportReturned ("Success") : DeleteReturned ("Success");
                  bool            Stored;

                  if (R.Import) {
                    bool  Fetched = (CountOf (Got, CertFetched ((UINT32)(8 + R.Der.size ()))[0]) != 0) &&
                                    (CountOf (Got, { ERR, "HandlePendingImport(L): Get Certificate " + std::to_string (R.Slot) + " failed!\n" }) == 0);
                    bool  StoreFailed = CountOf (
                                          Got,
                                          { ERR, "HandlePendingImport(L): Fail to store Certificate " + std::to_string (R.Slot) +
                                            " into flash: Out of Resources!\n" }
                                          ) != 0;
                    Stored = (After[R.Slot - 1] != Before[R.Slot - 1]);
                    if (Stored) {
                      Trace += "+W" + std::to_string (R.Slot) + "-";
                    } else {
                      Failed++;
                      if (StoreFailed) {
                        Seen.insert ("import store");
                        Trace += "+-";      // bracketed, but never reached SetVariable
                        EXPECT_TRUE (Fetched);
                      } else if (!Fetched) {
                        // No buffer (nothing printed, no request) or no response
                        // from the transport (the fetch fails): flag untouched.
                        std::vector<Request>  Sent  = Requests ();
                        bool                  Asked = std::count (Sent.begin (), Sent.end (), ImportCertRequest ((UINT8)R.Slot)) != 0;
                        Seen.insert (Asked ? "import fetch" : "import buffer");
                        EXPECT_EQ (CountOf (Got, ImportReturned (Asked ? "Invalid Parameter" : "Out of Resources")[0]), 1u)
                          << Sim::DebugLog ().Dump ();
                      } else {
                        ADD_FAILURE () << "import into slot " << R.Slot << " failed without a reason\n" << Sim::DebugLog ().Dump ();
                      }
                    }
                  } else {
                    Stored = !After[R.Slot - 1].has_value ();
                    if (Stored) {
                      Trace += "+D" + std::to_string (R.Slot) + "-";
                    } else {
                      Failed++;
                      Seen.insert ("delete store");
                      Trace += "+-";
                      EXPECT_EQ (
                        CountOf (
                          Got,
                          { ERR, "HandlePendingDelete: Failed to clear Cerficate " + std::to_string (R.Slot) +
                            " in flash by Vexa request. (Out of Resources)\n" }
                          ),
                        1u
                        ) << Sim::DebugLog ().Dump ();
                    }
                  }
                }

                EXPECT_EQ (Failed, 1u) << Describe (After) << "\n" << Sim::DebugLog ().Dump ();
                EXPECT_EQ (WriteTrace (), Trace);
              };

  Sim::SweepAllocationFailures (Arrange, Act);
  for (const char *Outcome : { "list exchange", "list copy", "import buffer", "import fetch", "import store", "delete store" }) {
    EXPECT_NE (Seen.count (Outcome), 0u) << Outcome;
  }

  // The list exchange and its copy are one allocation each; each import has
  // its buffer and its fetch.
  EXPECT_EQ (Seen.count ("list exchange"), 1u);
  EXPECT_EQ (Seen.count ("list copy"), 1u);
  EXPECT_EQ (Seen.count ("import buffer"), 2u);
  EXPECT_EQ (Seen.count ("import fetch"), 2u);
}

///
/// An import whose certificate is empty never changes its slot, whether the
/// empty buffer can be had or not.
///
TEST (PendingAllocationFailures, EmptyCertificateNeverChangesItsSlot) {
  auto  Arrange = [] {
                    Publish ();
                    PutCert (4, kOldCert);
                    Sim::KivAnswer  List;
                    List.Response = { 0xA0, 0x00, 0x06, 0x00, 0x00, 0x00, 0x09, 0x04, 0xAA, 0x00, 0x00, 0x00 };
                    Sim::Vexa ().Answer (0xA0, List);
                    Sim::Vexa ().AnswerImportCert (4, Sim::VexaFake::ImportCert (4, {}));
                  };

  auto  Act = [] (uint64_t K) {
                auto  *Service = (TOLM_VEXA_HTTPS_BOOT_CERT_MGMT_PROTOCOL *)nullptr;

                ASSERT_EQ (gBS->LocateProtocol (&gTolmVexaHttpsBootCertMgmtProtocolGuid, nullptr, (VOID **)&Service), EFI_SUCCESS);
                BOOLEAN  Result = Service->HandlePendingTasks ();
                EXPECT_EQ (Slots (), (SlotState { std::nullopt, std::nullopt, std::nullopt, StoredValue (kOldCert) }));
                EXPECT_FALSE (FlagPresent ());
                EXPECT_EQ (Result, (BOOLEAN)(!TransportRanOutOfMemory () || Requests ().size () > 1));
                std::string  Trace = WriteTrace ();
                EXPECT_TRUE (Trace == "" || Trace == "+-") << Trace;
              };

  Sim::SweepAllocationFailures (Arrange, Act);
}

} // namespace
