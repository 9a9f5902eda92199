// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  The module's control channel: a Unix socket (mode 0600) served from
  ipmi_sim's own loop, through which a management service in another process
  (the Redfish service, VexaBmc/Redfish/) reads the BMC's state and queues
  requests. The module stays the one writer of the state file: every change
  goes through VexaCore, exactly as the console's commands do.

  Protocol: one request per line, words separated by one space; one answer
  per request, one line of JSON.

    show                      the state: requests with fates, slots as last
                              reported, the host's power
    import SLOT BASE64-DER    queue an import; answer {"ok":true,"id":N,...}
    delete SLOT               queue a delete
    power on|off|cycle        chassis control of the host (ipmi_sim's
                              startcmd machine); power status: its state
    check                     whether the state file loads, read-only (the
                              start-up's checks; nothing set aside): answer
                              {"ok":true,"loads":true,"equal":true|false},
                              equal when it holds the state in memory, or
                              {"ok":true,"loads":false,"why":"..."}; no file
                              loads, and is equal while the state is empty

  An optional last word "by=WHO" (no spaces) names the account and source of
  the request in the module's log. A refusal is {"ok":false,"error":"..."}
  and changes nothing. Lines longer than kMaxControlLine are refused and the
  connection is closed.
**/
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "VexaCore.h"

struct sys_data_s;   // ipmi_sim's (OpenIPMI/lanserv.h)

namespace vexa {

/// An import of 65,535 DER bytes in base64 and the words around it.
constexpr std::size_t kMaxControlLine = 96 * 1024;

/// The host's power as the BMC controls it.
struct PowerControl {
  /// "on", "off" or "unknown".
  std::function<std::string()> State;
  /// op: "on", "off", "cycle"; returns "" or the reason of a refusal.
  std::function<std::string(const std::string &op)> Set;
};

/** One request line of the control protocol against the core.

  @param core   the BMC.
  @param line   the request, without its newline; untrusted.
  @param power  chassis control, or empty functions when the BMC has none.
  @param stateFile  the state file the core is saved to; empty: none.
  @param log    receives one line for every change made and every refusal.
  @return the answer, one line of JSON without its newline.
**/
std::string HandleControlLine(VexaCore &core, const std::string &line, const PowerControl &power,
                              const std::string &stateFile, const std::function<void(const std::string &)> &log);

/** Opens the control socket at path (mode 0600; an old socket file there is
  replaced) and serves it from ipmi_sim's loop (sys->add_io_hnd), against
  the core (saved to stateFile, empty: none), with the chassis control of
  the simulator's BMC. Clients are
  served one line at a time, without blocking the loop.

  @return 0, or an errno value (the module then runs without the channel).
**/
int StartControlChannel(sys_data_s *sys, const std::string &path, VexaCore *core, const std::string &stateFile,
                        std::function<void(const std::string &)> log);

}  // namespace vexa
