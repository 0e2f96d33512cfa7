// Feeds arbitrary bytes to the boot environment reader as its file, then checks that what it read
// survives a save and a reload: every loaded entry is one that save can write, and the reload
// returns the entries in name order up to the first one that did not fit.
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/boot_env.h"
#include "scratch_file.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool isPrefixOf(const qelm::StandardFileBootEnv::Entries& part,
                const qelm::StandardFileBootEnv::Entries& whole) {
  if (part.size() > whole.size()) return false;
  auto it = whole.begin();
  for (const auto& entry : part) {
    if (entry != *it) return false;
    ++it;
  }
  return true;
}

// How many entries, taken in name order, fit the entry area before the first one that does not.
size_t entriesThatFit(const qelm::StandardFileBootEnv::Entries& entries) {
  size_t used = 0;
  size_t count = 0;
  for (const auto& [name, value] : entries) {
    const size_t need = name.size() + value.size() + 2;
    if (need > qelm::kBootEnvImageSize - 4 - used) break;
    used += need;
    ++count;
  }
  return count;
}

// One load, change, save and reload cycle over the file holding `data`.
void roundTrip(const uint8_t* data, size_t size) {
  qelm::fuzz::ScratchFile file(data, size, "qelm-bootenv-fuzz");
  if (file.path().empty()) return;

  qelm::StandardFileBootEnv env(file.path());
  require(env.load());
  for (const auto& [name, value] : env.entries()) {
    require(name.find('=') == std::string::npos && name.find('\0') == std::string::npos);
    require(value.find('\0') == std::string::npos);
    require(env.get(name) == value);
  }

  env.set("fuzz", "x=y");
  env.set("dhcp", "");
  const auto expected = env.entries();
  require(env.save());

  qelm::StandardFileBootEnv reloaded(file.path());
  require(reloaded.load());
  require(isPrefixOf(reloaded.entries(), expected));
  require(reloaded.entries().size() == entriesThatFit(expected));
  require(std::filesystem::file_size(file.path()) == qelm::kBootEnvImageSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  roundTrip(data, size);
  // Random bytes almost never carry a matching CRC; a second pass with the CRC put right lets the
  // entry parser itself see arbitrary bytes.
  if (size >= 4 && size <= qelm::kBootEnvImageSize) {
    std::vector<uint8_t> fixed(data, data + size);
    const uint32_t crc = static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), fixed.data() + 4, static_cast<uInt>(size - 4)));
    fixed[0] = static_cast<uint8_t>(crc >> 24);
    fixed[1] = static_cast<uint8_t>(crc >> 16);
    fixed[2] = static_cast<uint8_t>(crc >> 8);
    fixed[3] = static_cast<uint8_t>(crc);
    roundTrip(fixed.data(), fixed.size());
  }
  return 0;
}
