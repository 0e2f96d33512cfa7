#pragma once

#include <string>
#include <string_view>

namespace qelm::platform {

/// Folder paths used by the programs. Every folder returned here ends with "/".

/// `folder` with a "/" appended unless it already ends with one; empty stays empty.
std::string withTrailingSlash(std::string folder);

/// The folder of the running executable, from /proc/self/exe.
std::string executableFolder();

/// The user's home folder: $HOME, else the password database, else "/".
std::string homeFolder();

/// The user's documents folder: XDG_DOCUMENTS_DIR from $XDG_CONFIG_HOME/user-dirs.dirs (default
/// ~/.config/user-dirs.dirs), else ~/Documents/.
std::string documentsFolder();

/// The local application-data folder: $XDG_DATA_HOME when it is an absolute path, else
/// ~/.local/share/.
std::string dataHomeFolder();

/// Reads XDG_DOCUMENTS_DIR out of the text of a user-dirs.dirs file ("$HOME" expanded to
/// `home`); empty when the file does not set it to a usable absolute path.
std::string documentsFromUserDirs(std::string_view fileText, const std::string& home);

}  // namespace qelm::platform
