// SPDX-License-Identifier: MIT
// replay_main.cpp - main() for a fuzz target built without libFuzzer: runs LLVMFuzzerTestOneInput
// once on every file named on the command line and on every regular file in each directory named.
// A failing input aborts inside the target; the name of the input runs first on standard error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "replay: can't read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
  // A copy of exactly the input's size, so that AddressSanitizer sees reads past its end.
  std::vector<uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <file or directory>...\n", argv[0]);
    return 2;
  }
  int replayed = 0;
  bool ok = true;
  for (int a = 1; a < argc; a++) {
    const std::filesystem::path arg(argv[a]);
    std::error_code error;
    if (std::filesystem::is_directory(arg, error)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        ok = replay(file) && ok;
        replayed++;
      }
    } else {
      ok = replay(arg) && ok;
      replayed++;
    }
  }
  // An empty corpus would make the replay pass without running the target at all.
  if (replayed == 0) {
    fprintf(stderr, "replay: no inputs found\n");
    return 2;
  }
  fprintf(stderr, "replay: %d inputs, no failure\n", replayed);
  return ok ? 0 : 1;
}
