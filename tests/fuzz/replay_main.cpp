// Without libFuzzer: runs a target on every file of the folders given (its
// corpus and the inputs that once failed), or with --seeds DIR writes its seeds.
#include <algorithm>
#include <iterator>

#include "tests/fuzz/fuzz_support.hpp"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (argc == 3 && std::string(argv[1]) == "--seeds") {
    const auto seeds = orvex::fuzz::seed_inputs();
    fs::create_directories(argv[2]);
    for (size_t i = 0; i < seeds.size(); ++i) {
      std::ofstream(fs::path(argv[2]) / ("seed-" + std::to_string(i)), std::ios::binary)
          .write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
    }
    return 0;
  }
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) std::ranges::copy(fs::directory_iterator(fs::absolute(argv[i])), std::back_inserter(inputs));
  }
  std::ranges::sort(inputs);
  LLVMFuzzerInitialize(&argc, &argv);  // it changes the working directory
  for (const fs::path& path : inputs) {
    std::fprintf(stderr, "%s\n", path.c_str());
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::fprintf(stderr, "%zu inputs run\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
