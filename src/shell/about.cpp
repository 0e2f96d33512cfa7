#include "shell/about.h"

#include <curl/curl.h>
#include <ft2build.h>
#include <png.h>
#include <zlib.h>
#include FT_FREETYPE_H

#include <QFile>
#include <QtGlobal>

#include "core/version.h"

namespace qelm {

namespace {

QString freeTypeVersion() {
  FT_Library library = nullptr;
  if (FT_Init_FreeType(&library) != 0)
    return QString("%1.%2.%3").arg(FREETYPE_MAJOR).arg(FREETYPE_MINOR).arg(FREETYPE_PATCH);
  FT_Int major = 0;
  FT_Int minor = 0;
  FT_Int patch = 0;
  FT_Library_Version(library, &major, &minor, &patch);
  FT_Done_FreeType(library);
  return QString("%1.%2.%3").arg(major).arg(minor).arg(patch);
}

QString curlVersion() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  return QString::fromLatin1(info != nullptr && info->version != nullptr ? info->version
                                                                         : LIBCURL_VERSION);
}

QString folderText(const std::string& folder) {
  return QFile::decodeName(QByteArray::fromStdString(folder)).toHtmlEscaped();
}

}  // namespace

std::vector<LibraryVersion> libraryVersions() {
  return {{"Qt", QString::fromLatin1(qVersion())},
          {"FreeType", freeTypeVersion()},
          {"libcurl", curlVersion()},
          {"zlib", QString::fromLatin1(zlibVersion())},
          {"libpng", QString::fromLatin1(png_get_libpng_ver(nullptr))}};
}

QString programVersion() {
  return QString("%1.%2.%3.%4")
      .arg(kVersionMajor)
      .arg(kVersionMinor)
      .arg(kVersionBuild)
      .arg(kVersionRevision);
}

QString aboutText(const Folders& folders) {
  QString text = QString("<h3>Marvex Vurezoz QELM</h3><p>Version %1</p><p>").arg(programVersion());
  for (const LibraryVersion& library : libraryVersions())
    text += QString("%1 %2<br>").arg(library.name, library.version.toHtmlEscaped());
  text += QString("</p><p>Data folder: %1<br>Report folder: %2</p>")
              .arg(folderText(folders.data), folderText(folders.report));
  return text;
}

}  // namespace qelm
