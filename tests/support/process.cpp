// SPDX-License-Identifier: MIT
// process.cpp - fork/exec of the program under test with redirected standard streams.
#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string temp_root() {
  const char* tmp = getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

void redirect(int fd, const std::string& path, int flags) {
  const int opened = open(path.c_str(), flags, 0644);
  if (opened < 0) _exit(126);
  if (opened != fd) {
    dup2(opened, fd);
    close(opened);
  }
}

// Writes the bytes into the pipe from a child of its own, so that a program that stops reading
// early cannot block the test.
pid_t start_feeder(int write_end, const std::string& bytes) {
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_IGN);
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t w = write(write_end, bytes.data() + done, bytes.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    _exit(0);
  }
  return pid;
}

// The test's environment with the settings added, a later setting of a name replacing an earlier
// one.
std::vector<std::string> environment_with(const std::vector<std::string>& settings) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; entry++) env.push_back(*entry);
  for (const std::string& setting : settings) {
    const std::string name = setting.substr(0, setting.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; });
    env.push_back(setting);
  }
  return env;
}

}  // namespace

std::string kestrune_path() { return KESTRUNE_BINARY; }

temp_dir::temp_dir() {
  std::string pattern = temp_root() + "/kestrune-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string pattern_bytes(size_t size, uint64_t seed) {
  std::string bytes(size, '\0');
  uint64_t state = 0x9E3779B97F4A7C15ull * (seed + 1);
  for (size_t i = 0; i < size; i++) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}

run_result run_program(const std::vector<std::string>& args, const run_options& options) {
  const std::string program = options.program.empty() ? kestrune_path() : options.program;
  temp_dir capture;
  const std::string out_path = capture.file("stdout");
  const std::string err_path = capture.file("stderr");

  std::vector<std::string> env = environment_with(options.env);
  std::vector<char*> envp;
  for (std::string& setting : env) envp.push_back(setting.data());
  envp.push_back(nullptr);

  int pipe_fds[2] = {-1, -1};
  if (options.stdin_bytes && pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (options.close_stdin) {
      close(0);
    } else if (options.stdin_file) {
      redirect(0, *options.stdin_file, O_RDONLY);
    } else if (options.stdin_bytes) {
      dup2(pipe_fds[0], 0);
      close(pipe_fds[0]);
      close(pipe_fds[1]);
    } else {
      redirect(0, "/dev/null", O_RDONLY);
    }
    if (options.close_stdout) {
      close(1);
    } else {
      redirect(1, options.stdout_file.value_or(out_path), O_WRONLY | O_CREAT | O_TRUNC);
    }
    redirect(2, err_path, O_WRONLY | O_CREAT | O_TRUNC);

    std::vector<char*> argv;
    if (!options.no_argv) {
      argv.push_back(const_cast<char*>(options.argv0 ? options.argv0->c_str() : program.c_str()));
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }

  pid_t feeder = -1;
  if (options.stdin_bytes) {
    close(pipe_fds[0]);
    feeder = start_feeder(pipe_fds[1], *options.stdin_bytes);
    close(pipe_fds[1]);
  }

  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (feeder > 0) {
    kill(feeder, SIGKILL);
    waitpid(feeder, nullptr, 0);
  }

  run_result result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  if (!options.stdout_file && !options.close_stdout) result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}
