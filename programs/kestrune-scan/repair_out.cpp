// SPDX-License-Identifier: MIT
// repair_out.cpp - the repaired stream written aside and put in place: renamed, written through,
// or copied to standard output.
#include "programs/kestrune-scan/repair_out.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "programs/common/diag.h"

namespace {

// The name of the file being written while it has one, for the exit and signal handlers: a plain
// array, which a signal handler may read.
char pending_name[PATH_MAX];

void remove_pending() {
  if (pending_name[0] != '\0') unlink(pending_name);
}

void remove_pending_and_die(int signal_number) {
  remove_pending();
  ::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Remembers the name of the file being written (empty: none), and the first time, removes it on
// exit and on the signals whose default is to end the program.
void set_pending(const std::string& name) {
  static bool handlers = false;
  if (!handlers && !name.empty()) {
    handlers = true;
    atexit(remove_pending);
    struct sigaction action {};
    action.sa_handler = remove_pending_and_die;
    sigemptyset(&action.sa_mask);
    for (const int s :
         {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ, SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2}) {
      struct sigaction before {};
      // A signal the caller ignores stays ignored.
      if (sigaction(s, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
      sigaction(s, &action, nullptr);
    }
  }
  if (name.size() >= sizeof pending_name) die("can't write '%s'", name.c_str());
  memcpy(pending_name, name.c_str(), name.size() + 1);
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path with its symbolic links followed, the last one perhaps leading nowhere yet.
std::string follow_links(const char* path) {
  std::string at = path;
  for (int hops = 0; hops < 40; hops++) {
    struct stat st {};
    if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    std::vector<char> link(PATH_MAX + 1);
    const ssize_t length = readlink(at.c_str(), link.data(), PATH_MAX);
    if (length <= 0) return at;
    const std::string to(link.data(), static_cast<size_t>(length));
    at = to[0] == '/' ? to : directory_of(at) + "/" + to;
  }
  errno = ELOOP;
  die("can't write '%s'", path);
}

std::string temporary_directory() {
  const char* tmpdir = getenv("TMPDIR");
  return tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp";
}

// A name beside the target that no file has yet, made of the target's and a random part.
std::string unused_name(const repair_output& out) {
  std::string name = out.directory + "/." + base_of(out.target) + ".XXXXXX";
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  const int fd = mkstemp(buffer.data());
  if (fd < 0) return std::string();
  close(fd);
  return buffer.data();
}

// Writes the whole file into fd from its start.
bool copy_file(FILE* file, int fd) {
  if (fflush(file) != 0 || fseeko(file, 0, SEEK_SET) != 0) return false;
  std::vector<char> buffer(1 << 20);
  size_t got = 0;
  while ((got = fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    for (size_t done = 0; done < got;) {
      const ssize_t wrote = write(fd, buffer.data() + done, got - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return false;
      done += static_cast<size_t>(wrote);
    }
  }
  return !ferror(file);
}

// Gives the file the old one's owner and group where allowed; where not (another owner, and no
// privilege), it stays the caller's, as every file the caller writes. Before the mode is set, which
// a change of owner may clear bits of.
void keep_owner(int fd, const struct stat& old) {
  if (fchown(fd, old.st_uid, old.st_gid) != 0 &&
      fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    return;
  }
}

// A file without a name in directory, read and written: O_TMPFILE, or where the file system has no
// unnamed files, a named one removed at once. -1 when neither can be made.
int unnamed_file(const std::string& directory) {
  const int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  const std::string name = directory + "/kestrune-scan-XXXXXX";
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  const int named = mkostemp(buffer.data(), O_CLOEXEC);
  if (named >= 0) unlink(buffer.data());
  return named;
}

}  // namespace

int open_temporary_file(std::string* directory) {
  *directory = temporary_directory();
  return unnamed_file(*directory);
}

repair_output open_repair_output(const char* path) {
  repair_output out;
  out.to_stdout = strcmp(path, "-") == 0;
  if (!out.to_stdout) {
    out.target = follow_links(path);
    out.exists = stat(out.target.c_str(), &out.old) == 0;
    out.in_place = out.exists && !S_ISREG(out.old.st_mode);
    if (out.exists && S_ISDIR(out.old.st_mode)) {
      errno = EISDIR;
      die("can't write '%s'", path);
    }
  }
  // Copied from later: anywhere. Renamed into place: beside the target, on its file system.
  const bool copied = out.to_stdout || out.in_place;
  out.directory = copied ? temporary_directory() : directory_of(out.target);
  int fd = copied ? unnamed_file(out.directory)
                  : open(out.directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && !copied) {
    // No unnamed files beside the target: a named one, removed on exit and on the signals.
    const std::string name = out.directory + "/." + base_of(out.target) + ".XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    fd = mkstemp(buffer.data());
    if (fd >= 0) {
      out.named = true;
      set_pending(buffer.data());
    }
  }
  if (fd < 0) die("can't write '%s'", path);
  out.file = fdopen(fd, "w+");
  if (out.file == nullptr) die("can't write '%s'", path);
  return out;
}

void commit_repair_output(repair_output& out, const char* path, int stdout_fd) {
  if (out.to_stdout || out.in_place) {
    int fd = stdout_fd;
    if (out.in_place) {
      // A device or FIFO: opened for writing as it is, neither created nor truncated.
      fd = open(out.target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) die("can't write '%s'", path);
    }
    const bool copied = copy_file(out.file, fd);
    fclose(out.file);
    out.file = nullptr;
    if (!copied || (out.in_place && close(fd) != 0)) {
      die(out.in_place ? "write error on '%s'" : "write error", path);
    }
    return;
  }

  // A file replaced keeps its mode and, where allowed, its owner; a new one gets what a shell
  // redirection would give it: 0666 less the umask.
  const int fd = fileno(out.file);
  if (fflush(out.file) != 0) die("write error on the repaired stream");
  mode_t mode = 0;
  if (out.exists) {
    keep_owner(fd, out.old);
    mode = out.old.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (fchmod(fd, mode) != 0 || fsync(fd) != 0) die("write error on the repaired stream");
  std::string name = pending_name;
  if (!out.named) {
    // The unnamed file gets a name beside the target, then the target's by a rename.
    name = unused_name(out);
    if (name.empty()) die("can't write '%s'", path);
    set_pending(name);
    unlink(name.c_str());
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
        linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) != 0) {
      // Neither /proc nor the right to link a descriptor: the stream is copied into the name.
      const int copy = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      bool done = copy >= 0 && copy_file(out.file, copy);
      if (done && out.exists) keep_owner(copy, out.old);
      done = done && fchmod(copy, mode) == 0 && fsync(copy) == 0;
      if (copy >= 0 && close(copy) != 0) done = false;
      if (!done) die("can't write '%s'", path);
    }
  }
  if (rename(name.c_str(), out.target.c_str()) != 0) die("can't write '%s'", path);
  pending_name[0] = '\0';
  if (fclose(out.file) != 0) die("write error on the repaired stream");
  out.file = nullptr;
}

void discard_repair_output(repair_output& out) {
  if (out.file != nullptr) fclose(out.file);
  out.file = nullptr;
  remove_pending();
  pending_name[0] = '\0';
}
