// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  The Vexa's state file (see StateFile.h).
**/
#include "StateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vexa {

namespace {

/// Closes the descriptor on every path.
class Fd {
 public:
  explicit Fd(int fd) : Fd_(fd) {}
  ~Fd() {
    if (Fd_ >= 0) {
      close(Fd_);
    }
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int Get() const { return Fd_; }
  void Reset(int fd) {
    if (Fd_ >= 0) {
      close(Fd_);
    }
    Fd_ = fd;
  }
  bool Close() {
    const int fd = Fd_;
    Fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int Fd_;
};

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

/// Reads at most limit bytes; false on a read error.
bool ReadAtMost(int fd, std::size_t limit, Bytes *out) {
  out->resize(limit);
  std::size_t done = 0;
  while (done < limit) {
    const ssize_t n = read(fd, out->data() + done, limit - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return false;
    }
    if (n == 0) {
      break;
    }
    done += std::size_t(n);
  }
  out->resize(done);
  return true;
}

/// Why the file at path holds no state the BMC may run on (empty when it
/// does: *state then holds it); *absent when there is no file at all.
std::string Read(const std::string &path, State *state, bool *absent) {
  *absent = false;
  Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.Get() < 0) {
    *absent = errno == ENOENT;
    return std::string("cannot be opened (") + std::strerror(errno) + ")";
  }
  struct stat info {};
  if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return "not a regular file";
  }
  Bytes image;
  if (!ReadAtMost(fd.Get(), MaxStateImage() + 1, &image)) {
    return std::string("cannot be read (") + std::strerror(errno) + ")";
  }
  if (image.size() > MaxStateImage()) {
    return "larger than any state (" + std::to_string(MaxStateImage()) + " bytes)";
  }
  std::string why;
  auto parsed = ParseState(image, &why);
  if (!parsed) {
    return why;
  }
  *state = std::move(*parsed);
  return {};
}

}  // namespace

LoadResult LoadStateFile(const std::string &path) {
  LoadResult result;
  bool absent = false;
  const std::string why = Read(path, &result.Loaded, &absent);
  if (why.empty()) {
    result.Outcome = LoadOutcome::Loaded;
    result.Message = "state loaded from " + path;
    return result;
  }
  result.Loaded = State{};
  if (absent) {
    result.Outcome = LoadOutcome::Absent;
    result.Message = "no state at " + path + " yet; starting empty";
    return result;
  }
  // Set it aside under a name nothing else has: never over another file.
  const std::string stem = path + ".unreadable-" + std::to_string(std::time(nullptr));
  for (int n = 0; n < 100; ++n) {
    const std::string aside = n == 0 ? stem : stem + "-" + std::to_string(n);
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      result.Outcome = LoadOutcome::SetAside;
      result.Message = path + ": " + why + "; set aside as " + aside + ", starting empty";
      return result;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  result.Outcome = LoadOutcome::Stuck;
  result.Message = path + ": " + why + "; it cannot be set aside (" + std::strerror(errno) +
                   "): not starting over it";
  return result;
}

LoadResult CheckStateFile(const std::string &path) {
  LoadResult result;
  bool absent = false;
  const std::string why = Read(path, &result.Loaded, &absent);
  result.Outcome = why.empty() ? LoadOutcome::Loaded : absent ? LoadOutcome::Absent : LoadOutcome::Unsound;
  result.Message = why.empty() ? "state loads from " + path : absent ? "no file" : why;
  if (!why.empty()) {
    result.Loaded = State{};
  }
  return result;
}

std::string SaveStateFile(const std::string &path, const State &state) {
  const std::string temp = path + ".tmp";
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  Fd fd(open(temp.c_str(), kFlags, 0600));
  if (fd.Get() < 0 && errno == EEXIST && unlink(temp.c_str()) == 0) {
    fd.Reset(open(temp.c_str(), kFlags, 0600));   // a stale one, from a crash: removed, not followed
  }
  if (fd.Get() < 0) {
    return "cannot create " + temp + ": " + std::strerror(errno);
  }
  const bool written = WriteAll(fd.Get(), SerializeState(state)) && fsync(fd.Get()) == 0;
  if (!fd.Close() || !written || rename(temp.c_str(), path.c_str()) != 0) {
    const std::string why = "cannot write " + path + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return why;
  }
  const std::string folder = path.substr(0, path.rfind('/') + 1);
  Fd dir(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() >= 0) {
    fsync(dir.Get());
  }
  return {};
}

}  // namespace vexa
