// Replays saved fuzz inputs without libFuzzer: every file named on the
// command line, and every file inside each directory named, goes through the
// same checks as during fuzzing. A broken check aborts with its reason.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void ReplayFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  std::printf("replaying %s\n", path.c_str());
  std::fflush(stdout);
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()),
                         bytes.size());
}

}  // namespace

int main(int argc, char* argv[]) {
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path root = argv[i];
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(root)) {
      for (const auto& entry : std::filesystem::directory_iterator(root)) {
        if (entry.is_regular_file() &&
            entry.path().filename().string()[0] != '.') {
          files.push_back(entry.path());
        }
      }
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(root);
    }
    for (const auto& file : files) {
      ReplayFile(file);
      ++replayed;
    }
  }
  std::printf("%d inputs replayed, every check held\n", replayed);
  return replayed > 0 ? 0 : 1;
}
