// Reads arbitrary bytes as the remote panel's password file. A refused file gives a reason that
// names it and shows no control characters; a taken one is written back and read again with the
// same roles. Passwords are not checked: each check costs a tenth of a second.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "remote/credentials.h"
#include "scratch_file.h"

namespace {

using qelm::remote::Credentials;
using qelm::remote::Role;

void require(bool condition) {
  if (!condition) std::abort();
}

bool sameRoles(const Credentials& a, const Credentials& b) {
  return a.has(Role::kOperator) == b.has(Role::kOperator) &&
         a.has(Role::kViewer) == b.has(Role::kViewer) && a.empty() == b.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qelm::fuzz::ScratchFile file(data, size, "credentials-fuzz");
  if (file.path().empty()) return 0;
  std::string error;
  const std::optional<Credentials> loaded = Credentials::load(file.path(), error);
  if (!loaded) {
    require(file.isRefusal(error));
    return 0;
  }
  require(error.empty());
  // Saved over the scratch file, which removes it in the end whatever it then holds.
  require(loaded->save(file.path()).empty());
  const std::optional<Credentials> again = Credentials::load(file.path(), error);
  require(again && sameRoles(*loaded, *again));
  return 0;
}
