// Feeds arbitrary bytes to the configuration loader, as a text file and, behind a binary header,
// as a binary file. The configuration folder holds the same bytes as on-demand model and
// template files ("f" as text, "b" as binary), so a reference to one of those names fetches the
// input again and exercises the nesting guard. A text load is also exported; when it succeeded
// without fetching any file, the exported form must load back to the same catalog.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "../config/describe_catalog.h"
#include "config/binary_config.h"
#include "config/config_catalog.h"
#include "config/config_loader.h"
#include "core/log.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// A configuration folder with models/ and templates/, removed however the run ends.
class ScratchFolder {
 public:
  ScratchFolder() {
    // Memory-backed when available: every run writes several files.
    std::error_code error;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", error)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string pattern = (base / "qelm-config-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    folder_ = pattern;
    std::filesystem::create_directories(folder_ / "models", error);
    std::filesystem::create_directories(folder_ / "templates", error);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    std::error_code error;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, error);
  }

  bool ok() const { return !folder_.empty(); }
  /// The folder with a trailing "/", as the loader takes it.
  std::string folder() const { return folder_.string() + "/"; }

  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

 private:
  std::filesystem::path folder_;
};

bool loadInto(qelm::ConfigCatalog& catalog, const std::string& folder, const std::string& path,
              const std::string& binaryOutput = {}, const std::string& exportFolder = {}) {
  qelm::ConfigLoader loader("", folder, catalog);
  return loader.load(path, binaryOutput, exportFolder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ScratchFolder scratch;
  if (!scratch.ok()) return 0;
  const std::vector<uint8_t> text(data, data + size);
  std::vector<uint8_t> binary(qelm::kBinaryConfigMagic.begin(), qelm::kBinaryConfigMagic.end());
  binary.resize(qelm::kBinaryConfigHeaderSize, 0);
  binary.insert(binary.end(), text.begin(), text.end());

  const std::string textPath = scratch.write("startup.txt", text);
  const std::string binaryPath = scratch.write("startup.bin", binary);
  scratch.write("models/f", text);
  scratch.write("templates/f", text);
  scratch.write("models/b", binary);
  scratch.write("templates/b", binary);

  {
    qelm::ConfigCatalog catalog;
    loadInto(catalog, scratch.folder(), binaryPath);
  }

  qelm::ConfigCatalog original;
  const int32_t before = qelm::messageCount();
  const std::string exportFolder = scratch.folder() + "export/";
  const bool exported =
      loadInto(original, scratch.folder(), textPath, exportFolder + "startup.bin", exportFolder);
  // One message ("Loading ...") means no file was fetched on demand: everything the catalog
  // holds came from the input, so the export holds all of it.
  if (exported && qelm::messageCount() - before == 1) {
    qelm::ConfigCatalog reloaded;
    if (std::filesystem::exists(exportFolder + "startup.bin"))
      require(loadInto(reloaded, exportFolder, exportFolder + "startup.bin"));
    // Models and templates that nothing refers to stay in their files; compare the ones used.
    // Templates go first: they refer to models.
    std::erase_if(original.templates,
                  [&](const auto& entry) { return reloaded.templates.count(entry.first) == 0; });
    std::erase_if(original.models,
                  [&](const auto& entry) { return reloaded.models.count(entry.first) == 0; });
    require(qelm::describeCatalog(original) == qelm::describeCatalog(reloaded));
  }
  return 0;
}
