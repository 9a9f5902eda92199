// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  The Vexa as a module of OpenIPMI's ipmi_sim: the thin adapter between the
  simulator and VexaCore.

  - Loaded by the configuration line  loadlib "/path/vexa_bmc.so" "OPTIONS"
    with OPTIONS "[gate=off] [crash=before:K|after:K] [control=PATH]
    [state=DIR]": state=DIR (the last option; the rest of the string is the
    folder, spaces included) names the state folder, else the one given to
    ipmi_sim with -s, else the BMC keeps its state in memory; control=PATH
    adds the control channel, a Unix socket for a management service such as
    the Redfish service (VexaControl.h); gate=off and crash= are test aids
    (below).
  - Serves the KIV blobs of OpenBMC's blob transfer (NetFn 0x2E, cmd 0x80,
    OEN CF C2 00; VexaBlob.h) to the system interface alone (channel 15, the
    host's firmware): any other channel gets 0xD4 and changes nothing.
    gate=off lets other channels through, for tests only (a second client).
    A one-second timer drops idle sessions.
  - crash=before:K / crash=after:K (K >= 1), for fault tests only: the BMC
    dies at the K-th firmware transaction since the module loaded (a blob
    command from the system interface, any sub-command): "before" without
    looking at the request, "after" once it is handled (state saved) but
    before the answer goes out. It logs one line,
      vexa: crash at firmware transaction K (before|after, sub-command NAME)
    and ends the process with _exit(99): no state save, no cleanup.
  - Adds the administrator's commands to the simulator's console language:
      vexa_import SLOT FILE        queue an import (PEM or DER certificate)
      vexa_delete SLOT             queue a delete
      vexa_inject B0 B1 B2 B3 B4 B5  queue a raw pending-list record (test aid)
      vexa_show                    requests with their fates, slots as reported
      vexa_reset                   forget everything (test aid)
      vexa_check                   whether the state file loads and holds the
                                   state in memory (read-only)
    A refusal is one line that begins with "**", as the simulator's own.
  - Keeps the state in STATE/vexa-bmc.state (StateFile.h): a file that is
    there but unreadable or damaged is set aside and the BMC starts empty;
    when it cannot be set aside the module refuses to start rather than run
    over it.
**/
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <unistd.h>

#include "Certificate.h"
#include "StateFile.h"
#include "VexaControl.h"
#include "VexaBlob.h"
#include "VexaCore.h"

extern "C" {
#include <OpenIPMI/lanserv.h>
#include <OpenIPMI/mcserv.h>
#include <OpenIPMI/serv.h>
}

namespace {

using vexa::Bytes;

sys_data_t *mSys;
std::unique_ptr<vexa::VexaCore> mCore;
std::unique_ptr<vexa::VexaBlob> mBlob;
ipmi_timer_t *mExpiryTimer;
std::string mStateFile;   // empty: not persisted
std::string mControl;     // the control channel's socket; empty: none
std::uint64_t mFirmwareTransactions;   // blob commands from the system interface since the load

constexpr char kStateFileName[] = "vexa-bmc.state";

/// To the simulator's log and to its standard error (the run folder's log).
void Log(int type, const std::string &line) {
  if (mSys != nullptr && mSys->log != nullptr) {
    mSys->log(mSys, type, nullptr, "vexa: %s", line.c_str());
  }
  std::fprintf(stderr, "vexa: %s\n", line.c_str());
  std::fflush(stderr);
}

// ---------------------------------------------------------------------------
// Options and state file

bool SaveState(const vexa::State &state) {
  if (mStateFile.empty()) {
    return true;
  }
  const std::string why = vexa::SaveStateFile(mStateFile, state);
  if (!why.empty()) {
    Log(OS_ERROR, why);
  }
  return why.empty();
}

/// crash=: where the BMC dies on purpose (a fault test's BMC crash).
enum class CrashWhen { Never, Before, After };

struct Options {
  std::string StateFolder;   ///< empty: ipmi_sim's -s folder, else memory only
  std::string Control;       ///< empty: no control channel
  bool Gate = true;
  CrashWhen Crash = CrashWhen::Never;
  std::uint64_t CrashAt = 0;   ///< the firmware transaction (1 = the first)
};

Options mOptions;

/// "before:K" or "after:K", K decimal from 1.
bool ParseCrash(const std::string &value, Options *options) {
  const std::size_t colon = value.find(':');
  const std::string when = value.substr(0, colon);
  const std::string count = colon == std::string::npos ? std::string() : value.substr(colon + 1);
  if ((when != "before" && when != "after") || count.empty() || count.size() > 18 ||
      count.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  options->CrashAt = std::stoull(count);
  options->Crash = when == "before" ? CrashWhen::Before : CrashWhen::After;
  return options->CrashAt >= 1;
}

/// The loadlib options: "[gate=off] [crash=before:K|after:K] [control=PATH]
/// [state=DIR]". state= is
/// the last one and takes the rest of the string, spaces included; the
/// control socket's path is one word (ipmi_sim's run folder is its working
/// folder, so a relative path keeps it short).
bool ParseOptions(const char *text, Options *options, std::string *why) {
  std::string rest = text != nullptr ? text : "";
  while (!rest.empty()) {
    if (rest[0] == ' ') {
      rest.erase(0, 1);
    } else if (rest.compare(0, 6, "state=") == 0) {
      options->StateFolder = rest.substr(6);
      if (options->StateFolder.empty()) {
        *why = "state= names no folder";
        return false;
      }
      return true;
    } else if (rest.compare(0, 8, "control=") == 0) {
      const std::size_t end = rest.find(' ');
      options->Control = rest.substr(8, end == std::string::npos ? std::string::npos : end - 8);
      if (options->Control.empty()) {
        *why = "control= names no socket";
        return false;
      }
      rest.erase(0, end == std::string::npos ? rest.size() : end);
    } else if (rest.compare(0, 8, "gate=off") == 0 && (rest.size() == 8 || rest[8] == ' ')) {
      options->Gate = false;
      rest.erase(0, 8);
    } else if (rest.compare(0, 6, "crash=") == 0) {
      const std::string word = rest.substr(0, rest.find(' '));
      if (!ParseCrash(word.substr(6), options)) {
        *why = "\"" + word + "\": crash=before:K or crash=after:K, K a whole number from 1";
        return false;
      }
      rest.erase(0, word.size());
    } else {
      *why = "unknown option \"" + rest.substr(0, rest.find(' ')) +
             "\" (options: gate=off, crash=before:K|after:K, control=PATH, state=DIR last)";
      return false;
    }
  }
  return true;
}

/// ipmi_sim's own -s DIR, when the options name no folder.
std::string SimulatorStateFolder() {
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::string arg;
  bool next = false;
  while (std::getline(cmdline, arg, '\0')) {
    if (next) {
      return arg;
    }
    next = arg == "-s";
  }
  return {};
}

// ---------------------------------------------------------------------------
// IPMI

/// The channel a request counts as coming from: the one ipmi_sim hands the
/// handler (15 through the system interface, 1 over LAN). A request bridged
/// by Send Message carries the channel it first arrived on in orig_channel;
/// when that is another channel, it counts as that one, so a bridged LAN
/// request never passes for the system interface's.
std::uint8_t ChannelOf(const msg_t *msg) {
  if (msg->orig_channel != nullptr && msg->orig_channel->channel_num != msg->channel) {
    return static_cast<std::uint8_t>(msg->orig_channel->channel_num);
  }
  return msg->channel;
}

/// The blob sub-command's name, for the crash line.
std::string SubCommandName(const msg_t *msg) {
  static constexpr const char *kNames[] = {"GetCount", "Enumerate", "Open",  "Read",        "Write",    "Commit",
                                           "Close",    "Delete",    "Stat",  "SessionStat", "WriteMeta"};
  if (msg->len == 0) {
    return "none";
  }
  if (msg->data[0] < std::size(kNames)) {
    return kNames[msg->data[0]];
  }
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", msg->data[0]);
  return hex;
}

/// crash=: dies here when this is the chosen firmware transaction. Like a
/// crash: one line on the log, then no state save, no cleanup.
void CrashPoint(CrashWhen when, std::uint64_t transaction, const msg_t *msg) {
  if (mOptions.Crash != when || mOptions.CrashAt != transaction) {
    return;
  }
  std::fprintf(stderr, "vexa: crash at firmware transaction %llu (%s, sub-command %s)\n",
               static_cast<unsigned long long>(transaction), when == CrashWhen::Before ? "before" : "after",
               SubCommandName(msg).c_str());
  std::fflush(stderr);
  _exit(99);
}

/// One blob request (ipmi_sim took the OEN off and puts it back on).
void HandleBlob(lmc_data_t *mc, msg_t *msg, unsigned char *rdata, unsigned int *rdataLen, void *) {
  if (msg->netfn != vexa::kBlobNetFn || msg->cmd != vexa::kBlobCommand) {
    handle_invalid_cmd(mc, rdata, rdataLen);
    return;
  }
  // The firmware's transactions, counted for crash= (test aid).
  const std::uint64_t transaction =
      ChannelOf(msg) == vexa::kSystemInterfaceChannel ? ++mFirmwareTransactions : 0;
  CrashPoint(CrashWhen::Before, transaction, msg);
  const std::size_t room = std::min<std::size_t>(*rdataLen, IPMI_SIM_MAX_MSG_LENGTH);
  Bytes answer;
  try {
    answer = mBlob->Handle({ChannelOf(msg), msg->sid}, msg->data, msg->len, room);
  } catch (...) {
    answer = {vexa::kCcUnspecified};
  }
  if (answer.size() > room) {
    answer.resize(room);
  }
  if (!answer.empty() && answer[0] != vexa::kCcOk) {
    char line[96];
    std::snprintf(line, sizeof line, "blob: refused sub-command %u from channel %u, %u bytes: completion code 0x%02X",
                  msg->len != 0 ? msg->data[0] : 0xFFu, msg->channel, msg->len, answer[0]);
    Log(INFO, line);
  }
  CrashPoint(CrashWhen::After, transaction, msg);
  std::memcpy(rdata, answer.data(), answer.size());
  *rdataLen = static_cast<unsigned int>(answer.size());
}

std::int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void ExpireSessions(void *) {
  mBlob->Expire();
  timeval second{1, 0};
  mSys->start_timer(mExpiryTimer, &second);
}

// ---------------------------------------------------------------------------
// Console

std::string Time(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  char text[32];
  if (gmtime_r(&t, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) {
    return "?";
  }
  return text;
}

std::string Describe(const Bytes &der) {
  return std::to_string(der.size()) + " bytes, sha256 " + vexa::Sha256Hex(der) + ", subject \"" +
         vexa::SubjectOf(der) + "\"";
}

std::string RecordHex(const std::array<std::uint8_t, vexa::kRecordSize> &record) {
  std::string out;
  char byte[4];
  for (std::uint8_t b : record) {
    std::snprintf(byte, sizeof byte, "%s%02X", out.empty() ? "" : " ", b);
    out += byte;
  }
  return out;
}

std::string DescribeRequest(const vexa::Request &r) {
  std::string line = "#" + std::to_string(r.Id) + " ";
  if (r.Kind == vexa::RequestKind::Raw) {
    line += std::string(vexa::KindName(r.Kind)) + " record " + RecordHex(r.Record);
  } else {
    line += std::string(vexa::KindName(r.Kind)) + " slot " + std::to_string(r.Slot);
  }
  line += ": ";
  line += vexa::FateName(r.Fate);
  switch (r.Fate) {
    case vexa::RequestFate::Confirmed:
    case vexa::RequestFate::NotApplied:
      line += " by sync " + std::to_string(r.JudgedBy) + " (" + Time(r.JudgedAt) + ")";
      break;
    case vexa::RequestFate::Replaced:
      line += " by #" + std::to_string(r.JudgedBy) + " (" + Time(r.JudgedAt) + ")";
      break;
    default:
      line += " at " + Time(r.QueuedAt);
      break;
  }
  if (r.Handed != 0 || r.Fetched != 0) {
    line += ", handed " + std::to_string(r.Handed) + "x, certificate fetched " + std::to_string(r.Fetched) + "x";
  }
  if (r.Kind == vexa::RequestKind::Import) {
    line += "; " + Describe(r.Der);
  }
  return line;
}

void Print(emu_out_t *out, const std::string &text) {
  out->eprintf(out, const_cast<char *>("%s\n"), text.c_str());
}

int Refuse(emu_out_t *out, const char *command, const std::string &why) {
  Print(out, std::string("**") + command + ": " + why);
  return -1;
}

/// The next token, or nullptr.
const char *Token(char **toks) { return mystrtok(nullptr, " \t\n", toks); }

bool ParseSlot(const char *text, unsigned *slot) {
  if (text == nullptr || text[0] < '0' || text[0] > '9') {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > 255) {
    return false;
  }
  *slot = unsigned(v);
  return true;
}

int Queued(emu_out_t *out, const char *command, const std::string &why, std::uint32_t id) {
  if (!why.empty()) {
    return Refuse(out, command, why);
  }
  const vexa::State &state = mCore->Current();
  for (const vexa::Request &r : state.Requests) {
    if (r.Id == id) {
      Print(out, "added " + DescribeRequest(r));
    } else if (r.Fate == vexa::RequestFate::Replaced && r.JudgedBy == id) {
      Print(out, "replaced " + DescribeRequest(r));
    }
  }
  return 0;
}

int CmdImport(emu_out_t *out, emu_data_t *, lmc_data_t *, char **toks) {
  const char *slotText = Token(toks);
  const char *path = Token(toks);
  unsigned slot;
  if (!ParseSlot(slotText, &slot) || path == nullptr || Token(toks) != nullptr) {
    return Refuse(out, "vexa_import", "usage: vexa_import SLOT FILE (PEM or DER certificate)");
  }
  Bytes der;
  std::string why = vexa::ReadCertificateFile(path, &der);
  std::uint32_t id = 0;
  if (why.empty()) {
    why = mCore->QueueImport(slot, der, &id);
  }
  return Queued(out, "vexa_import", why, id);
}

int CmdDelete(emu_out_t *out, emu_data_t *, lmc_data_t *, char **toks) {
  unsigned slot;
  if (!ParseSlot(Token(toks), &slot) || Token(toks) != nullptr) {
    return Refuse(out, "vexa_delete", "usage: vexa_delete SLOT");
  }
  std::uint32_t id = 0;
  const std::string why = mCore->QueueDelete(slot, &id);
  return Queued(out, "vexa_delete", why, id);
}

int CmdInject(emu_out_t *out, emu_data_t *, lmc_data_t *, char **toks) {
  constexpr char kUsage[] = "usage: vexa_inject B0 B1 B2 B3 B4 B5 (six hex bytes of a pending-list record)";
  std::array<std::uint8_t, vexa::kRecordSize> record{};
  for (std::uint8_t &b : record) {
    const char *text = Token(toks);
    char *end = nullptr;
    const unsigned long v = text != nullptr ? std::strtoul(text, &end, 16) : 256;
    if (text == nullptr || *text == '\0' || *end != '\0' || v > 0xFF) {
      return Refuse(out, "vexa_inject", kUsage);
    }
    b = std::uint8_t(v);
  }
  if (Token(toks) != nullptr) {
    return Refuse(out, "vexa_inject", kUsage);
  }
  std::uint32_t id = 0;
  const std::string why = mCore->QueueRaw(record, &id);
  return Queued(out, "vexa_inject", why, id);
}

int CmdShow(emu_out_t *out, emu_data_t *, lmc_data_t *, char **toks) {
  if (Token(toks) != nullptr) {
    return Refuse(out, "vexa_show", "usage: vexa_show");
  }
  const vexa::State &state = mCore->Current();
  const auto section = [&](const char *title, bool pending) {
    const auto count = std::count_if(state.Requests.begin(), state.Requests.end(),
                                     [&](const vexa::Request &r) { return r.Pending() == pending; });
    Print(out, title + std::to_string(count));
    for (const vexa::Request &r : state.Requests) {
      if (r.Pending() == pending) {
        Print(out, "  " + DescribeRequest(r));
      }
    }
  };
  section("pending requests: ", true);
  section("judged requests: ", false);
  if (state.Syncs == 0) {
    Print(out, "slots as last reported: no sync received");
  } else {
    Print(out, "slots as last reported: sync " + std::to_string(state.Syncs) + " (" + Time(state.LastSyncAt) + ")" +
                   (state.SlotsSince < state.Syncs ? ", unchanged since sync " + std::to_string(state.SlotsSince) : ""));
    for (unsigned i = 0; i < vexa::kSlots; ++i) {
      const vexa::SlotReport &slot = state.Slots[i];
      std::string line = "  slot " + std::to_string(i + 1) + ": " + (slot.Full ? Describe(slot.Der) : "empty");
      if (slot.Full && !vexa::IsOneCertificate(slot.Der)) {
        line += "; NOT one X.509 certificate: HTTPS boot cannot trust it";
      }
      Print(out, line);
    }
  }
  Print(out, "state file: " + (mStateFile.empty() ? std::string("(none: kept in memory)") : mStateFile));
  return 0;
}

int CmdReset(emu_out_t *out, emu_data_t *, lmc_data_t *, char **toks) {
  if (Token(toks) != nullptr) {
    return Refuse(out, "vexa_reset", "usage: vexa_reset");
  }
  const std::string why = mCore->Reset();
  if (!why.empty()) {
    return Refuse(out, "vexa_reset", why);
  }
  Print(out, "state cleared");
  return 0;
}

int CmdCheck(emu_out_t *out, emu_data_t *, lmc_data_t *, char **toks) {
  if (Token(toks) != nullptr) {
    return Refuse(out, "vexa_check", "usage: vexa_check");
  }
  if (mStateFile.empty()) {
    return Refuse(out, "vexa_check", "this BMC keeps its state in memory (no state file)");
  }
  const vexa::LoadResult file = vexa::CheckStateFile(mStateFile);
  if (file.Outcome == vexa::LoadOutcome::Unsound) {
    Print(out, "state file does not load: " + file.Message);
  } else {
    Print(out, std::string(file.Outcome == vexa::LoadOutcome::Absent ? "no state file yet" : "state file loads") +
                   (file.Loaded == mCore->Current() ? ", equal to the state in memory"
                                                    : ", NOT equal to the state in memory"));
  }
  return 0;
}

/// A console command that cannot fail the simulator: nothing may unwind
/// through ipmi_sim's C code.
template <ipmi_emu_cmd_handler Command>
int Guarded(emu_out_t *out, emu_data_t *emu, lmc_data_t *mc, char **toks) {
  try {
    return Command(out, emu, mc, toks);
  } catch (...) {
    out->eprintf(out, const_cast<char *>("**vexa: out of memory\n"));
    return -1;
  }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int ipmi_sim_module_init(sys_data_t *sys, const char *options_text) {
  mSys = sys;
  try {
    Options &options = mOptions;
    std::string why;
    if (!ParseOptions(options_text, &options, &why)) {
      Log(SETUP_ERROR, "loadlib options: " + why);
      return EINVAL;
    }
    const std::string folder = options.StateFolder.empty() ? SimulatorStateFolder() : options.StateFolder;
    mStateFile = folder.empty() ? std::string() : folder + "/" + kStateFileName;
    vexa::State initial;
    if (mStateFile.empty()) {
      Log(SETUP_ERROR, "no state folder (loadlib option state=DIR or ipmi_sim -s DIR); state kept in memory");
    } else {
      vexa::LoadResult loaded = vexa::LoadStateFile(mStateFile);
      const bool sound = loaded.Outcome == vexa::LoadOutcome::Loaded || loaded.Outcome == vexa::LoadOutcome::Absent;
      Log(sound ? INFO : SETUP_ERROR, loaded.Message);
      if (loaded.Outcome == vexa::LoadOutcome::Stuck) {
        return EIO;
      }
      initial = std::move(loaded.Loaded);
    }
    mCore = std::make_unique<vexa::VexaCore>(std::move(initial), SaveState);
    mCore->SetLog([](const std::string &line) { Log(INFO, line); });
    mBlob = std::make_unique<vexa::VexaBlob>(*mCore, MonotonicMs);
    mBlob->SetGate(options.Gate);
    mControl = options.Control;
    if (!options.Gate) {
      Log(SETUP_ERROR, "gate=off: the KIV blobs answer every channel (test aid only)");
    }
    if (options.Crash != CrashWhen::Never) {
      Log(SETUP_ERROR, std::string("crash=") + (options.Crash == CrashWhen::Before ? "before:" : "after:") +
                           std::to_string(options.CrashAt) + ": the BMC dies at firmware transaction " +
                           std::to_string(options.CrashAt) + " (test aid only)");
    }
  } catch (...) {
    return ENOMEM;
  }
  int rv = ipmi_emu_register_iana_handler(vexa::kOpenBmcOen, HandleBlob, nullptr);
  if (rv == 0) {
    rv = sys->alloc_timer(sys, ExpireSessions, nullptr, &mExpiryTimer);
  }
  if (rv == 0) {
    timeval second{1, 0};
    rv = sys->start_timer(mExpiryTimer, &second);
  }
  for (auto [name, handler] : {std::pair{"vexa_import", Guarded<CmdImport>}, {"vexa_delete", Guarded<CmdDelete>},
                               {"vexa_inject", Guarded<CmdInject>}, {"vexa_show", Guarded<CmdShow>},
                               {"vexa_reset", Guarded<CmdReset>}, {"vexa_check", Guarded<CmdCheck>}}) {
    if (rv == 0) {
      rv = ipmi_emu_add_cmd(name, NOMC, handler);
    }
  }
  if (rv != 0) {
    Log(SETUP_ERROR, "registering the commands failed (" + std::to_string(rv) + ")");
    return rv;
  }
  // "control=PATH": the control channel of a management service (VexaControl.h).
  try {
    if (const std::string &control = mControl; !control.empty()) {
      // Without it the BMC still serves the firmware; the service reports it unreachable.
      const int error = vexa::StartControlChannel(sys, control, mCore.get(), mStateFile, [](const std::string &line) { Log(INFO, line); });
      Log(error == 0 ? INFO : SETUP_ERROR,
          "control channel " + control + (error == 0 ? "" : ": " + std::string(std::strerror(error))));
    }
  } catch (...) {
    Log(SETUP_ERROR, "control channel: out of memory");
  }
  return 0;
}
