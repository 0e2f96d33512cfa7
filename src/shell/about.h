#pragma once

#include <QString>
#include <vector>

#include "core/app_context.h"

namespace qelm {

/// A library the program runs on and the version in use (the loaded library's own report where
/// it gives one, else the version it was built against).
struct LibraryVersion {
  QString name;
  QString version;
};

/// Qt, FreeType, libcurl, zlib and libpng, in that order.
std::vector<LibraryVersion> libraryVersions();
/// The stamped program version, "major.minor.build.revision".
QString programVersion();
/// The About box's text (rich text): product, version, libraries, and the data and report
/// folders of this run.
QString aboutText(const Folders& folders);

}  // namespace qelm
