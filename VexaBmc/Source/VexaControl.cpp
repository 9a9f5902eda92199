// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  The module's control channel (see VexaControl.h): the request language and
  its Unix socket in ipmi_sim's loop.
**/
#include "VexaControl.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <sstream>
#include <vector>

#include <openssl/evp.h>

#include "Certificate.h"
#include "StateFile.h"

extern "C" {
#include <OpenIPMI/mcserv.h>
#include <OpenIPMI/serv.h>

// ipmi_sim's own chassis commands (exported by the ipmi_sim binary; weak so
// that a module loaded elsewhere reports "no chassis control" instead of
// failing to load). Index: the command; 0x02 is Chassis Control.
extern cmd_handler_f chassis_netfn_handlers[256] __attribute__((weak));
}

namespace vexa {

namespace {

constexpr std::size_t kMaxClients = 16;
constexpr std::uint8_t kChassisControl = 0x02;

// ---------------------------------------------------------------------------
// JSON answers

std::string Quote(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string Base64(const Bytes &bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), bytes.data(), int(bytes.size()));
  out.resize(n < 0 ? 0 : std::size_t(n));
  return out;
}

/// Strict base64 (no white space, padding only at the end); false when the
/// text is not that.
bool FromBase64(const std::string &text, Bytes *out) {
  if (text.empty() || text.size() % 4 != 0 ||
      text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") != std::string::npos) {
    return false;
  }
  const std::size_t pad = text.size() - text.find_last_not_of('=') - 1;
  if (pad > 2 || text.find('=') < text.size() - pad) {
    return false;
  }
  out->assign(text.size() / 4 * 3, 0);
  const int n = EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char *>(text.data()), int(text.size()));
  if (n < 0 || std::size_t(n) < pad) {
    return false;
  }
  out->resize(std::size_t(n) - pad);
  return true;
}

std::string Error(const std::string &why) { return "{\"ok\":false,\"error\":" + Quote(why) + "}"; }

std::string RequestJson(const Request &r) {
  std::ostringstream o;
  o << "{\"id\":" << r.Id << ",\"kind\":" << Quote(KindName(r.Kind)) << ",\"slot\":" << unsigned(r.Slot)
    << ",\"fate\":" << Quote(FateName(r.Fate)) << ",\"handed\":" << r.Handed << ",\"fetched\":" << r.Fetched
    << ",\"queuedAt\":" << r.QueuedAt << ",\"judgedAt\":" << r.JudgedAt << ",\"judgedBy\":" << r.JudgedBy;
  std::string record;
  for (std::uint8_t b : r.Record) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%s%02X", record.empty() ? "" : " ", b);
    record += hex;
  }
  o << ",\"record\":" << Quote(record);
  if (r.Kind == RequestKind::Import) {
    o << ",\"size\":" << r.Der.size() << ",\"sha256\":" << Quote(Sha256Hex(r.Der))
      << ",\"subject\":" << Quote(SubjectOf(r.Der));
  }
  return o.str() + "}";
}

std::string StateJson(const State &state, const PowerControl &power) {
  std::ostringstream o;
  o << "{\"ok\":true,\"syncs\":" << state.Syncs << ",\"slotsSince\":" << state.SlotsSince
    << ",\"lastSyncAt\":" << state.LastSyncAt << ",\"power\":" << Quote(power.State ? power.State() : "unknown")
    << ",\"slots\":[";
  for (unsigned i = 0; i < kSlots; ++i) {
    const SlotReport &slot = state.Slots[i];
    o << (i ? "," : "") << "{\"slot\":" << i + 1 << ",\"full\":" << (slot.Full ? "true" : "false");
    if (slot.Full) {
      o << ",\"der\":\"" << Base64(slot.Der) << "\"";
    }
    o << "}";
  }
  o << "],\"requests\":[";
  for (std::size_t i = 0; i < state.Requests.size(); ++i) {
    o << (i ? "," : "") << RequestJson(state.Requests[i]);
  }
  return o.str() + "]}";
}

bool ParseSlot(const std::string &text, unsigned *slot) {
  if (text.size() != 1 || text[0] < '1' || text[0] > char('0' + kSlots)) {
    return false;
  }
  *slot = unsigned(text[0] - '0');
  return true;
}

/// The answer to a queued request: its id and every request it replaced.
std::string Queued(const VexaCore &core, std::uint32_t id) {
  std::ostringstream o;
  o << "{\"ok\":true,\"id\":" << id << ",\"replaced\":[";
  bool first = true;
  for (const Request &r : core.Current().Requests) {
    if (r.Fate == RequestFate::Replaced && r.JudgedBy == id) {
      o << (first ? "" : ",") << r.Id;
      first = false;
    }
  }
  return o.str() + "]}";
}

}  // namespace

std::string HandleControlLine(VexaCore &core, const std::string &line, const PowerControl &power,
                              const std::string &stateFile, const std::function<void(const std::string &)> &log) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at <= line.size()) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    words.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  std::string by = "control channel";
  if (words.size() > 1 && words.back().rfind("by=", 0) == 0) {
    by = words.back().substr(3);
    words.pop_back();
  }
  const auto refuse = [&](const std::string &why) {
    log("control: refused \"" + words[0] + "\" from " + by + ": " + why);
    return Error(why);
  };
  const std::string &op = words[0];
  unsigned slot = 0;
  std::uint32_t id = 0;
  if (op == "show" && words.size() == 1) {
    return StateJson(core.Current(), power);
  }
  if (op == "check" && words.size() == 1) {
    if (stateFile.empty()) {
      return refuse("this BMC keeps its state in memory (no state file)");
    }
    const LoadResult file = CheckStateFile(stateFile);
    if (file.Outcome == LoadOutcome::Unsound) {
      return "{\"ok\":true,\"loads\":false,\"why\":" + Quote(file.Message) + "}";
    }
    // No file yet holds the empty state.
    const bool equal = SerializeState(file.Loaded) == SerializeState(core.Current());
    return std::string("{\"ok\":true,\"loads\":true,\"equal\":") + (equal ? "true" : "false") + "}";
  }
  if (op == "import" && words.size() == 3) {
    Bytes der;
    if (!ParseSlot(words[1], &slot)) {
      return refuse("slot " + words[1] + " is not 1 to 4");
    }
    if (!FromBase64(words[2], &der)) {
      return refuse("the certificate is not base64");
    }
    if (!IsOneCertificate(der)) {
      return refuse("not one X.509 certificate (DER)");
    }
    const std::string why = core.QueueImport(slot, der, &id);
    if (!why.empty()) {
      return refuse(why);
    }
    log("control: " + by + " queued #" + std::to_string(id) + " import slot " + std::to_string(slot) + ", " +
        std::to_string(der.size()) + " bytes, sha256 " + Sha256Hex(der));
    return Queued(core, id);
  }
  if (op == "delete" && words.size() == 2) {
    if (!ParseSlot(words[1], &slot)) {
      return refuse("slot " + words[1] + " is not 1 to 4");
    }
    const std::string why = core.QueueDelete(slot, &id);
    if (!why.empty()) {
      return refuse(why);
    }
    log("control: " + by + " queued #" + std::to_string(id) + " delete slot " + std::to_string(slot));
    return Queued(core, id);
  }
  if (op == "power" && words.size() == 2) {
    if (words[1] == "status") {
      return "{\"ok\":true,\"power\":" + Quote(power.State ? power.State() : "unknown") + "}";
    }
    if (words[1] != "on" && words[1] != "off" && words[1] != "cycle") {
      return refuse("power on|off|cycle|status");
    }
    if (!power.Set) {
      return refuse("this BMC has no chassis control");
    }
    const std::string why = power.Set(words[1]);
    if (!why.empty()) {
      return refuse(why);
    }
    log("control: " + by + " power " + words[1]);
    return "{\"ok\":true,\"power\":" + Quote(power.State()) + "}";
  }
  return refuse("unknown request (show | import SLOT BASE64 | delete SLOT | power on|off|cycle|status | check)");
}

// ---------------------------------------------------------------------------
// The socket in ipmi_sim's loop

namespace {

struct Client {
  int Fd = -1;
  ipmi_io_t *Io = nullptr;
  std::string In;
  std::string Out;
  bool Closing = false;
};

struct Channel {
  sys_data_t *Sys = nullptr;
  VexaCore *Core = nullptr;
  std::string StateFile;
  std::function<void(const std::string &)> Log;
  PowerControl Power;
  std::list<std::unique_ptr<Client>> Clients;
};

Channel *mChannel;   // one per module; lives as long as the simulator

lmc_data_t *Bmc() {
  sys_data_t *sys = mChannel->Sys;
  return sys->ipmb_addrs[sys->bmc_ipmb];
}

startcmd_t *StartCmd() {
  lmc_data_t *mc = Bmc();
  return mc != nullptr && mChannel->Sys->mc_get_startcmdinfo != nullptr ? mChannel->Sys->mc_get_startcmdinfo(mc)
                                                                        : nullptr;
}

std::string PowerState() {
  startcmd_t *start = StartCmd();
  if (start == nullptr || start->startcmd == nullptr) {
    return "unknown";
  }
  return start->vmpid != 0 ? "on" : "off";
}

/// Through ipmi_sim's own Chassis Control command, as an IPMI client's
/// "chassis power on" would arrive: the simulator starts or stops its
/// startcmd machine.
std::string SetPower(const std::string &op) {
  startcmd_t *start = StartCmd();
  if (start == nullptr || start->startcmd == nullptr || chassis_netfn_handlers == nullptr ||
      chassis_netfn_handlers[kChassisControl] == nullptr) {
    return "this BMC has no chassis control (no startcmd)";
  }
  // ipmi_sim answers a hard reset (0x03) with 0xCC: a restart is a power cycle.
  unsigned char control = op == "off" ? 0x00 : op == "on" ? 0x01 : 0x02;
  if (op == "cycle" && start->vmpid == 0) {
    control = 0x01;   // a machine that is off is powered on by a restart
  }
  msg_t msg{};
  msg.netfn = 0x00;
  msg.cmd = kChassisControl;
  msg.channel = 15;
  msg.data = &control;
  msg.len = 1;
  unsigned char answer[IPMI_SIM_MAX_MSG_LENGTH] = {0xFF};
  unsigned int length = sizeof answer;
  chassis_netfn_handlers[kChassisControl](Bmc(), &msg, answer, &length, nullptr);
  if (length < 1 || answer[0] != 0) {
    char why[64];
    std::snprintf(why, sizeof why, "chassis control refused (completion code 0x%02X)", length ? answer[0] : 0xFF);
    return why;
  }
  return {};
}

void Close(Client *client) {
  mChannel->Sys->remove_io_hnd(client->Io);
  close(client->Fd);
  mChannel->Clients.remove_if([client](const std::unique_ptr<Client> &c) { return c.get() == client; });
}

void OnWrite(int, void *data);

/// Sends what it can; reads again only once every answer is out.
void Flush(Client *client) {
  while (!client->Out.empty()) {
    const ssize_t n = send(client->Fd, client->Out.data(), client->Out.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      mChannel->Sys->io_set_hnds(client->Io, OnWrite, nullptr);
      mChannel->Sys->io_set_enables(client->Io, 0, 1, 0);
      return;
    }
    if (n <= 0) {
      Close(client);
      return;
    }
    client->Out.erase(0, std::size_t(n));
  }
  if (client->Closing) {
    Close(client);
    return;
  }
  mChannel->Sys->io_set_enables(client->Io, 1, 0, 0);
}

void OnWrite(int, void *data) { Flush(static_cast<Client *>(data)); }

void OnRead(int, void *data) {
  auto *client = static_cast<Client *>(data);
  char buffer[16384];
  const ssize_t n = recv(client->Fd, buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
    return;
  }
  if (n <= 0) {
    Close(client);
    return;
  }
  client->In.append(buffer, std::size_t(n));
  std::size_t end;
  try {
    while (!client->Closing && (end = client->In.find('\n')) != std::string::npos) {
      if (end > kMaxControlLine) {
        break;
      }
      const std::string line = client->In.substr(0, end);
      client->In.erase(0, end + 1);
      client->Out += HandleControlLine(*mChannel->Core, line, mChannel->Power, mChannel->StateFile, mChannel->Log) + "\n";
    }
    if (client->In.find('\n') > kMaxControlLine && client->In.size() > kMaxControlLine) {
      client->Out += Error("request longer than " + std::to_string(kMaxControlLine) + " bytes") + "\n";
      client->In.clear();
      client->Closing = true;
    }
  } catch (...) {
    client->Out += Error("out of memory") + "\n";
    client->Closing = true;
  }
  if (!client->Out.empty() || client->Closing) {
    Flush(client);
  }
}

void OnAccept(int fd, void *) {
  const int conn = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (conn < 0) {
    return;
  }
  if (mChannel->Clients.size() >= kMaxClients) {
    close(conn);
    return;
  }
  auto client = std::make_unique<Client>();
  client->Fd = conn;
  if (mChannel->Sys->add_io_hnd(mChannel->Sys, conn, OnRead, client.get(), &client->Io) != 0) {
    close(conn);
    return;
  }
  mChannel->Clients.push_back(std::move(client));
}

}  // namespace

int StartControlChannel(sys_data_s *sys, const std::string &path, VexaCore *core, const std::string &stateFile,
                        std::function<void(const std::string &)> log) {
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    return ENAMETOOLONG;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return errno;
  }
  struct stat old {};
  if (lstat(path.c_str(), &old) == 0 && S_ISSOCK(old.st_mode)) {
    unlink(path.c_str());
  }
  // Created 0600 from the start: no moment in which another user could connect.
  const mode_t mask = umask(0177);
  const int bound = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  umask(mask);
  if (bound != 0 || listen(fd, 8) != 0) {
    const int error = errno;
    close(fd);
    return error;
  }
  mChannel = new Channel{sys, core, stateFile, std::move(log), {PowerState, SetPower}, {}};
  ipmi_io_t *io = nullptr;
  const int rv = sys->add_io_hnd(sys, fd, OnAccept, nullptr, &io);
  if (rv != 0) {
    close(fd);
    unlink(path.c_str());
    delete mChannel;
    mChannel = nullptr;
  }
  return rv;
}

}  // namespace vexa
