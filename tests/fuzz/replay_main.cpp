// Runs a fuzz target without libFuzzer: every file of the seed corpus, then a fixed number of
// deterministic mutations of each (bit flips, truncations, random bytes), so the normal test
// suite exercises the reader with hostile input under the sanitizers.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void runOne(const std::vector<uint8_t>& bytes) {
  // A copy sized exactly to the input, so an overread hits the sanitizer's redzone.
  std::vector<uint8_t> copy(bytes);
  LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
}

void mutateAndRun(std::vector<uint8_t> seed, std::mt19937& rng, int rounds) {
  for (int i = 0; i < rounds; ++i) {
    std::vector<uint8_t> bytes = seed;
    switch (rng() % 4) {
      case 0:  // flip a few bits
        for (int k = 0; k < 4 && !bytes.empty(); ++k)
          bytes[rng() % bytes.size()] ^= 1u << (rng() % 8);
        break;
      case 1:  // truncate
        if (!bytes.empty()) bytes.resize(rng() % bytes.size());
        break;
      case 2:  // overwrite a run with random bytes
        for (size_t k = 0, n = bytes.empty() ? 0 : rng() % 32; k < n; ++k)
          bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
        break;
      default:  // append random bytes
        for (size_t k = 0, n = rng() % 64; k < n; ++k)
          bytes.push_back(static_cast<uint8_t>(rng()));
        break;
    }
    runOne(bytes);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::vector<uint8_t>> seeds;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file()) seeds.push_back(readFile(entry.path()));
    } else if (std::filesystem::exists(path)) {
      seeds.push_back(readFile(path));
    }
  }
  seeds.emplace_back();  // the empty input always runs
  std::mt19937 rng(20261209);
  for (const auto& seed : seeds) {
    runOne(seed);
    mutateAndRun(seed, rng, 500);
  }
  std::cout << "replayed " << seeds.size() << " seeds with 500 mutations each\n";
  return 0;
}
