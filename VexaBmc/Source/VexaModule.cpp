// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  The Vexa as a module of OpenIPMI's ipmi_sim: the thin adapter between the
  simulator and VexaCore.

  - Loaded by the configuration line  loadlib "/path/vexa_bmc.so" "state=DIR"
    (the options string may be empty: the state folder is then the one given
    to ipmi_sim with -s; without either the BMC keeps its state in memory).
  - Serves the KIV blobs of OpenBMC's blob transfer (NetFn 0x2E, cmd 0x80,
    OEN CF C2 00; VexaBlob.h) to the system interface alone; the test-only
    option "blob_gate=off" lets other channels through (a second client).
    A one-second timer drops idle sessions.
  - Adds the administrator's commands to the simulator's console language:
      vexa_import SLOT FILE        queue an import (PEM or DER certificate)
      vexa_delete SLOT             queue a delete
      vexa_inject B0 B1 B2 B3 B4 B5  queue a raw pending-list record (test aid)
      vexa_show                    requests with their fates, slots as reported
      vexa_reset                   forget everything (test aid)
    A refusal is one line that begins with "**", as the simulator's own.
  - Keeps the state in STATE/vexa-bmc.state, written to a temporary file and
    renamed over the old one, so a crash leaves the old state or the new one.
**/
#include <fcntl.h>
#include <unistd.h>

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

#include "Certificate.h"
#include "VexaBlob.h"
#include "VexaCore.h"

extern "C" {
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
// State file

bool WriteAll(int fd, const Bytes &bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += std::size_t(n);
  }
  return true;
}

/// Temp file, fsync, rename over the old file, fsync of the folder.
bool SaveState(const vexa::State &state) {
  if (mStateFile.empty()) {
    return true;
  }
  const std::string temp = mStateFile + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    Log(OS_ERROR, "cannot create " + temp + ": " + std::strerror(errno));
    return false;
  }
  const bool written = WriteAll(fd, vexa::SerializeState(state)) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temp.c_str(), mStateFile.c_str()) != 0) {
    Log(OS_ERROR, "cannot write " + mStateFile + ": " + std::strerror(errno));
    unlink(temp.c_str());
    return false;
  }
  const std::string folder = mStateFile.substr(0, mStateFile.rfind('/') + 1);
  const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

/// The kept state; a file that cannot be parsed is set aside, not lost.
vexa::State LoadState() {
  if (mStateFile.empty()) {
    return {};
  }
  std::ifstream file(mStateFile, std::ios::binary);
  if (!file) {
    Log(INFO, "no state at " + mStateFile + " yet; starting empty");
    return {};
  }
  const Bytes image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string why;
  if (auto state = vexa::ParseState(image, &why)) {
    Log(INFO, "state loaded from " + mStateFile);
    return *state;
  }
  const std::string aside = mStateFile + ".unreadable-" + std::to_string(std::time(nullptr));
  rename(mStateFile.c_str(), aside.c_str());
  Log(SETUP_ERROR, mStateFile + ": " + why + "; kept as " + aside + ", starting empty");
  return {};
}

/// "state=DIR" from the options, else ipmi_sim's own -s DIR.
std::string StateFolder(const char *options) {
  const std::string opts = options != nullptr ? options : "";
  const std::string key = "state=";
  const std::size_t at = opts.find(key);
  if (at != std::string::npos && (at == 0 || opts[at - 1] == ' ')) {
    return opts.substr(at + key.size(), opts.find(' ', at) - at - key.size());
  }
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

/// One blob request (ipmi_sim took the OEN off and puts it back on).
void HandleBlob(lmc_data_t *mc, msg_t *msg, unsigned char *rdata, unsigned int *rdataLen, void *) {
  if (msg->netfn != vexa::kBlobNetFn || msg->cmd != vexa::kBlobCommand) {
    handle_invalid_cmd(mc, rdata, rdataLen);
    return;
  }
  const std::size_t room = std::min<std::size_t>(*rdataLen, IPMI_SIM_MAX_MSG_LENGTH);
  Bytes answer;
  try {
    answer = mBlob->Handle({msg->channel, msg->sid}, msg->data, msg->len, room);
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
      Print(out, "  slot " + std::to_string(i + 1) + ": " + (slot.Full ? Describe(slot.Der) : std::string("empty")));
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

extern "C" __attribute__((visibility("default"))) int ipmi_sim_module_init(sys_data_t *sys, const char *options) {
  mSys = sys;
  try {
    const std::string folder = StateFolder(options);
    mStateFile = folder.empty() ? std::string() : folder + "/" + kStateFileName;
    if (mStateFile.empty()) {
      Log(SETUP_ERROR, "no state folder (loadlib option state=DIR or ipmi_sim -s DIR); state kept in memory");
    }
    mCore = std::make_unique<vexa::VexaCore>(LoadState(), SaveState);
    mCore->SetLog([](const std::string &line) { Log(INFO, line); });
    mBlob = std::make_unique<vexa::VexaBlob>(*mCore, MonotonicMs);
    if (std::string(options != nullptr ? options : "").find("blob_gate=off") != std::string::npos) {
      mBlob->SetGate(false);
      Log(SETUP_ERROR, "blob_gate=off: the KIV blobs answer every channel (test only)");
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
                               {"vexa_reset", Guarded<CmdReset>}}) {
    if (rv == 0) {
      rv = ipmi_emu_add_cmd(name, NOMC, handler);
    }
  }
  if (rv != 0) {
    Log(SETUP_ERROR, "registering the commands failed (" + std::to_string(rv) + ")");
  }
  return rv;
}
