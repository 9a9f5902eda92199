// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  The file in which the Vexa keeps its state across restarts: loaded once at
  start-up, written whole (a temporary file renamed over the old one) at
  every change.
**/
#pragma once

#include <string>

#include "VexaCore.h"

namespace vexa {

enum class LoadOutcome {
  Absent,     ///< no file yet: start empty
  Loaded,     ///< the file's state
  SetAside,   ///< present but unreadable or damaged: renamed, start empty
  Stuck,      ///< present but unreadable or damaged, and it could not be renamed
  Unsound,    ///< CheckStateFile: present but unreadable or damaged, left as it is
};

struct LoadResult {
  LoadOutcome Outcome = LoadOutcome::Absent;
  State Loaded;
  std::string Message;   ///< one line for the console and the log
};

/** Loads the state file at path. Only a regular file is read (a link, a
  FIFO or a device is not followed, opened for blocking or read), and at most
  MaxStateImage() + 1 bytes of it. Anything but a file that does not exist
  and a sound image is set aside under path.unreadable-TIME[-N], never
  replaced; when that rename fails the outcome is Stuck.
**/
LoadResult LoadStateFile(const std::string &path);

/** Reads the state file at path with the same checks as LoadStateFile, and
  changes nothing: an unsound file stays where it is. Outcome Loaded (the
  state in Loaded), Absent, or Unsound with the reason in Message.
**/
LoadResult CheckStateFile(const std::string &path);

/** Writes state to path: path.tmp created exclusively (a stale one, from a
  crash, is removed first; a link there is removed, not followed), written,
  synced and renamed over path, then the folder synced.

  @return empty, or why the state could not be saved (nothing changed then).
**/
std::string SaveStateFile(const std::string &path, const State &state);

}  // namespace vexa
