#include "config/config_catalog.h"

#include "config/template.h"
#include "model/model.h"

namespace qelm {

ConfigCatalog::ConfigCatalog() = default;
ConfigCatalog::~ConfigCatalog() = default;

}  // namespace qelm
