// A plain main for the fuzz targets: runs every file of the folders (or the
// files) named on the command line through the target once, so the targets
// build and their corpus keeps passing without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
    return 1;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(stream),
                                std::istreambuf_iterator<char>()};
  // An exact copy on the heap, so reads past the end are caught under ASan.
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  int inputs = 0;
  for (int a = 1; a < argc; ++a) {
    const std::filesystem::path path(argv[a]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) {
          failures += replay(entry.path());
          ++inputs;
        }
      }
    } else if (std::filesystem::exists(path)) {
      failures += replay(path);
      ++inputs;
    } else {
      std::printf("skipping %s: not there\n", path.string().c_str());
    }
  }
  std::printf("%d inputs replayed\n", inputs);
  // No input at all means the corpus went missing: that must not pass.
  return failures == 0 && inputs > 0 ? 0 : 1;
}
