// Loads a large generated configuration (hundreds of models of a hundred parameters, templates
// of many pages, 999 devices; several MB of text) as text and in its exported binary form.
// Throughput is given in MB of the text form per second for both, so the two compare directly;
// the goals are 20 MB/s for text and twice that for binary. Beside them, the floor: the same
// bytes read with read() alone; and the shipped default configuration, loaded and read.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "config/binary_config.h"
#include "config/config_catalog.h"
#include "config/config_loader.h"
#include "config/config_token.h"
#include "config/line_reader.h"

namespace qelm {
namespace {

constexpr int kModels = 300;
constexpr int kParametersPerModel = 100;
constexpr int kPagesPerTemplate = 12;
constexpr int kDevices = 999;
// Big enough to come from the allocator's large bins, small enough not to be mapped on its own.
constexpr std::size_t kLargeRequest = 16384;

std::string generateConfiguration() {
  std::ostringstream out;
  out << "# Generated for the loader benchmark.\nbanner \"Benchmark Panel\"\n";
  for (int m = 0; m < kModels; ++m) {
    out << "model \"Model " << m << "\"\n";
    for (int p = 0; p < kParametersPerModel; ++p) {
      out << "  parameter 0x" << std::hex << (0x100 + p) << std::dec << " \"Parameter " << p
          << "\" ";
      switch (p % 5) {
        case 0:
          out << "int -100 100 1 unit \"%\" default 0\n";
          break;
        case 1:
          out << "choice 0 Off \"Off\" choice 1 On \"On\" choice 2 Auto \"Automatic\" slow\n";
          break;
        case 2:
          out << "float -60 12 0.5 unit \"dB\" name -60 \"Mute\" # a trailing comment\n";
          break;
        case 3:
          out << "string 32 default \"none\"\n";
          break;
        default:
          out << "int 0 1000 10 display 0 100 periodic 500 readonly\n";
          break;
      }
    }
    out << "  monitor lm\n";
  }
  for (int t = 0; t < kModels; ++t) {
    out << "template \"Template " << t << "\" \"Model " << t << "\"\n";
    for (int page = 1; page <= kPagesPerTemplate; ++page) {
      out << "  page " << page << " \"Page " << page << "\"\n";
      for (int item = 1; item <= 8; ++item) {
        const int parameter = (page * 8 + item) % kParametersPerModel;
        out << "    item " << item << " \"Parameter " << parameter << "\" 1 2 name \"Item " << item
            << "\"\n";
      }
    }
  }
  for (int d = 1; d <= kDevices; ++d) {
    out << "device " << d << " \"Device " << d << "\" from-template \"Template " << (d % kModels)
        << "\" 10.0." << (d / 250) << "." << (d % 250 + 1) << " 1 2\n";
  }
  return out.str();
}

// The configuration on a memory-backed file system when there is one, generated and exported
// once for all benchmarks, and removed at exit.
class BenchFiles {
 public:
  BenchFiles() {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", error)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string pattern = (base / "qelm-config-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    folder_ = pattern;
    textPath_ = (folder_ / "startup.txt").string();
    const std::string text = generateConfiguration();
    std::ofstream(textPath_, std::ios::binary) << text;
    textSize_ = text.size();

    exportFolder_ = (folder_ / "export").string() + "/";
    binaryPath_ = exportFolder_ + "startup.bin";
    std::filesystem::create_directories(exportFolder_, error);
    ConfigCatalog catalog;
    ConfigLoader loader((folder_ / "error.txt").string(), "", catalog);
    exported_ = loader.load(textPath_, binaryPath_, exportFolder_);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(exportFolder_, error)) {
      const std::string name = entry.path().filename().string();
      if (!entry.is_regular_file() || name.ends_with(".txt")) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), {});
      if (bytes.size() > kBinaryConfigHeaderSize)
        tokenStreams_.insert(tokenStreams_.end(), bytes.begin() + kBinaryConfigHeaderSize,
                             bytes.end());
      binarySize_ += bytes.size();
    }
  }
  BenchFiles(const BenchFiles&) = delete;
  BenchFiles& operator=(const BenchFiles&) = delete;
  ~BenchFiles() {
    std::error_code error;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, error);
  }

  static BenchFiles& get() {
    static BenchFiles files;
    return files;
  }

  std::filesystem::path folder_;
  std::string textPath_;
  std::string exportFolder_;
  std::string binaryPath_;
  std::size_t textSize_ = 0;
  std::size_t binarySize_ = 0;
  bool exported_ = false;
  // The token streams of every exported file, one after the other.
  std::vector<uint8_t> tokenStreams_;
};

// One load per iteration into a fresh catalog; freeing the catalog is not timed.
void loadBench(benchmark::State& state, const std::string& path, const std::string& folder,
               std::size_t textSize) {
  for (auto _ : state) {
    auto catalog = std::make_unique<ConfigCatalog>();
    ConfigLoader loader("", folder, *catalog);
    if (!loader.load(path)) {
      state.SkipWithError("the configuration did not load");
      break;
    }
    state.PauseTiming();
    catalog.reset();
    // glibc merges freed small blocks only when a large block is next asked for, which would put
    // part of the freeing into the next timed load; asking for one here finishes it untimed.
    void* large = std::malloc(kLargeRequest);
    benchmark::DoNotOptimize(large);
    std::free(large);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * textSize));
}

void textLoadBench(benchmark::State& state) {
  BenchFiles& files = BenchFiles::get();
  state.counters["text_MB"] = static_cast<double>(files.textSize_) / 1e6;
  loadBench(state, files.textPath_, "", files.textSize_);
}

void binaryLoadBench(benchmark::State& state) {
  BenchFiles& files = BenchFiles::get();
  if (!files.exported_) {
    state.SkipWithError("the export failed");
    return;
  }
  state.counters["binary_MB"] = static_cast<double>(files.binarySize_) / 1e6;
  // Models and templates come from their own files, fetched as the devices name them.
  loadBench(state, files.binaryPath_, files.exportFolder_, files.textSize_);
}

// The token layer alone: every token of the text read and classified as a Word.
void textTokensBench(benchmark::State& state) {
  BenchFiles& files = BenchFiles::get();
  int64_t tokens = 0;
  for (auto _ : state) {
    LineReader reader;
    reader.open(files.textPath_);
    ConfigToken token;
    for (token.readFrom(reader); token.kind() < 256; token.readFrom(reader))
      ++tokens;
  }
  state.counters["tokens"] = static_cast<double>(tokens / state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files.textSize_));
}

// The token layer alone for the exported files' streams (all their tokens, already typed).
void binaryTokensBench(benchmark::State& state) {
  BenchFiles& files = BenchFiles::get();
  int64_t tokens = 0;
  for (auto _ : state) {
    const uint8_t* cursor = files.tokenStreams_.data();
    const uint8_t* end = cursor + files.tokenStreams_.size();
    ConfigToken token;
    for (token.readBinary(cursor, end); token.kind() < 256; token.readBinary(cursor, end))
      ++tokens;
  }
  state.counters["tokens"] = static_cast<double>(tokens / state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files.textSize_));
}

// The floor beside the text load: the same bytes read with open() and read() alone, into a
// buffer the size of the file, per iteration.
void readFloor(benchmark::State& state, const std::string& path) {
  std::vector<char> buffer;
  std::size_t size = 0;
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      state.SkipWithError("the configuration cannot be read");
      break;
    }
    buffer.resize(static_cast<std::size_t>(info.st_size));
    size = 0;
    while (size < buffer.size()) {
      const ssize_t n = ::read(fd, buffer.data() + size, buffer.size() - size);
      if (n <= 0) break;
      size += static_cast<std::size_t>(n);
    }
    ::close(fd);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void textReadFloorBench(benchmark::State& state) {
  readFloor(state, BenchFiles::get().textPath_);
}

// The shipped default configuration: the load every start does, and its floor.
const std::string kDefaultConfiguration =
    std::string(QELM_PROGRAM_DIR) + "configuration/startup.bak";

void defaultLoadBench(benchmark::State& state) {
  std::error_code error;
  const std::size_t size = std::filesystem::file_size(kDefaultConfiguration, error);
  if (error) return state.SkipWithError("no default configuration in the program folder");
  loadBench(state, kDefaultConfiguration, std::string(QELM_PROGRAM_DIR) + "configuration/", size);
}

void defaultReadFloorBench(benchmark::State& state) {
  readFloor(state, kDefaultConfiguration);
}

BENCHMARK(textReadFloorBench)->Unit(benchmark::kMillisecond);
BENCHMARK(defaultLoadBench)->Unit(benchmark::kMicrosecond);
BENCHMARK(defaultReadFloorBench)->Unit(benchmark::kMicrosecond);
BENCHMARK(textTokensBench)->Unit(benchmark::kMillisecond);
BENCHMARK(binaryTokensBench)->Unit(benchmark::kMillisecond);
BENCHMARK(textLoadBench)->Unit(benchmark::kMillisecond);
BENCHMARK(binaryLoadBench)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qelm
