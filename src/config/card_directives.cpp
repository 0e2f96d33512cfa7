// Placeholder until the directives are built: refuses them with a clear message.
#include "config/config_loader.h"
#include "config/directives.h"

namespace qelm {

void parseSimulatorDefinition(ConfigLoader& loader) {
  loader.fail("directive not supported yet");
}
void parseInputDefinition(ConfigLoader& loader) {
  loader.fail("directive not supported yet");
}
void parseCardDefinition(ConfigLoader& loader) {
  loader.fail("directive not supported yet");
}

}  // namespace qelm
