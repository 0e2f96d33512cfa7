// Reads arbitrary bytes as the API's tokens file. A refused file gives a reason that names it and
// shows no control characters; a taken one is written back and read again with the same names
// and roles, and an empty token opens nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "remote/api_tokens.h"
#include "scratch_file.h"

namespace {

using qelm::remote::ApiTokens;

void require(bool condition) {
  if (!condition) std::abort();
}

bool sameEntries(const ApiTokens& a, const ApiTokens& b) {
  if (a.entries().size() != b.entries().size()) return false;
  for (size_t i = 0; i < a.entries().size(); ++i)
    if (a.entries()[i].name != b.entries()[i].name || a.entries()[i].role != b.entries()[i].role)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qelm::fuzz::ScratchFile file(data, size, "api-tokens-fuzz");
  if (file.path().empty()) return 0;
  std::string error;
  const std::optional<ApiTokens> loaded = ApiTokens::load(file.path(), error);
  if (!loaded) {
    require(file.isRefusal(error));
    return 0;
  }
  require(error.empty());
  require(!loaded->check("").has_value());
  require(loaded->save(file.path()).empty());
  const std::optional<ApiTokens> again = ApiTokens::load(file.path(), error);
  require(again && sameEntries(*loaded, *again));
  return 0;
}
