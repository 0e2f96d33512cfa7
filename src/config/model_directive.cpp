// Placeholder until the directive is built: refuses the directive with a clear message.
#include "config/config_loader.h"
#include "config/directives.h"

namespace qelm {

std::string parseModelDefinition(ConfigLoader& loader) {
  loader.fail("directive not supported yet");
}

}  // namespace qelm
