#include "config/config_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "config/binary_config.h"
#include "config/config_catalog.h"
#include "config/config_exception.h"
#include "config/directives.h"
#include "config/line_reader.h"
#include "config/template.h"
#include "core/log.h"
#include "model/model.h"
#include "platform/descriptor.h"
#include "platform/stdio_file.h"

namespace qelm {
namespace {

// Files fetched on demand may fetch further files (a template file names its model); real
// configurations go two or three deep. The limit only stops a runaway chain.
constexpr std::size_t kMaxNesting = 16;
// Room for a typical model or template definition, so its recording rarely grows.
constexpr std::size_t kDefinitionReserve = 65536;

using platform::Descriptor;
using platform::File;

// Reads up to `size` bytes, fewer only at the end of the file or on an error; the count read.
std::size_t readFully(int fd, void* buffer, std::size_t size) {
  auto* out = static_cast<uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, out + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

// A name a file of its own can carry inside the models or templates folder: anything else would
// read or write outside it, or could never be found again by the lookup.
bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

std::string normalPath(const std::string& path) {
  return std::filesystem::path(path).lexically_normal().string();
}

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

}  // namespace

struct ConfigLoader::Impl {
  // Loads the on-demand file `path` into the owner's catalog with a loader of its own; false when
  // that load failed. A file already being loaded further up the chain ends the owner's load.
  static bool loadOnDemand(ConfigLoader& owner, const std::string& path, const char* what);

  // One top-level directive, starting at the owner's current token.
  static void dispatch(ConfigLoader& owner);
  // A model or template definition; when exporting, it goes to a file of its own in `folder`.
  static void defineExported(ConfigLoader& owner, const char* folder,
                             std::string (*parse)(ConfigLoader& loader));

  bool openInput(const std::string& path);
  void reportError(const std::string& message) const;
  void release();

  std::string errorFile;
  std::string configurationFolder;

  LineReader reader;
  bool binary = false;
  std::vector<uint8_t> data;  // the binary file after its header
  const uint8_t* cursor = nullptr;
  const uint8_t* end = nullptr;
  std::string binaryPath;
  uint64_t tokensRead = 0;
  // Line of the token before the current one; 0 for none (and in binary files).
  int64_t previousLine = 0;

  // Export: `recording` is where advance() appends, null when nothing is recorded.
  std::vector<uint8_t>* recording = nullptr;
  std::vector<uint8_t> mainRecording;
  std::vector<uint8_t> definitionRecording;
  bool exporting = false;
  std::string binaryOutput;
  std::string exportFolder;
  File textCopy;  // the start-up file's text copy, open from the first directive on

  // Normalised paths of the files being loaded: the ancestors' files, then this loader's own.
  std::vector<std::string> chain;
};

bool ConfigLoader::Impl::openInput(const std::string& path) {
  // Plain descriptor reads: a stdio stream would allocate and fill a buffer of its own for every
  // file fetched on demand, only to copy it again. Non-blocking, so opening a pipe cannot wait
  // for a writer; regular files read the same either way.
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  const bool haveInfo = file.valid() && ::fstat(file.get(), &info) == 0;
  // Directories, pipes and devices are refused: reading one could block or never end.
  if (!file.valid() || (haveInfo && !S_ISREG(info.st_mode))) {
    logMessage(kLogError, "Could not open configuration file at \"%s\".\n", path.c_str());
    return false;
  }
  uint8_t header[kBinaryConfigHeaderSize];
  const std::size_t got = readFully(file.get(), header, sizeof header);
  binary = isBinaryConfigHeader(header, got);
  if (!binary) {
    if (!reader.open(path)) {
      logMessage(kLogError, "Could not open configuration file at \"%s\".\n", path.c_str());
      return false;
    }
    return true;
  }

  if (!haveInfo) {
    logMessage(kLogError, "Could not get size of configuration file at \"%s\".\n", path.c_str());
    return false;
  }
  if (info.st_size < static_cast<off_t>(kBinaryConfigHeaderSize + 1) ||
      info.st_size > static_cast<off_t>(kBinaryConfigHeaderSize + kBinaryConfigMaxData)) {
    logMessage(kLogError, "Binary configuration file \"%s\" is empty or too large.\n",
               path.c_str());
    return false;
  }
  data.resize(static_cast<std::size_t>(info.st_size) - kBinaryConfigHeaderSize);
  if (readFully(file.get(), data.data(), data.size()) != data.size()) {
    logMessage(kLogError, "Could not read binary configuration file \"%s\".\n", path.c_str());
    data.clear();
    return false;
  }
  cursor = data.data();
  end = data.data() + data.size();
  binaryPath = path;
  return true;
}

void ConfigLoader::Impl::reportError(const std::string& message) const {
  if (!errorFile.empty()) {
    File file(std::fopen(errorFile.c_str(), "w"));
    if (!file) {
      logMessage(kLogError, "Could not open error file \"%s\".\n", errorFile.c_str());
    } else {
      // A full disk shows only when the buffer is flushed: every step is checked, or the user
      // finds an empty error file and no word of why.
      bool written =
          std::fputs(message.c_str(), file.get()) >= 0 && std::fputc('\n', file.get()) != EOF;
      written = std::fclose(file.release()) == 0 && written;
      if (!written)
        logMessage(kLogError, "Could not write error file \"%s\".\n", errorFile.c_str());
    }
  }
  logMessage(kLogError, "%s\n", message.c_str());
}

void ConfigLoader::Impl::release() {
  reader.close();
  reader.keepHistory(false);
  std::vector<uint8_t>().swap(data);
  cursor = nullptr;
  end = nullptr;
  recording = nullptr;
  std::vector<uint8_t>().swap(mainRecording);
  std::vector<uint8_t>().swap(definitionRecording);
  exporting = false;
  textCopy.reset();
}

bool ConfigLoader::Impl::loadOnDemand(ConfigLoader& owner, const std::string& path,
                                      const char* what) {
  const Impl& self = *owner.impl_;
  // Every directive looks a name up after consuming it: the name is the token before the
  // current one.
  if (std::find(self.chain.begin(), self.chain.end(), normalPath(path)) != self.chain.end())
    owner.failAtPrevious(std::string(what) + " file " + quoted(path) + " refers to itself");
  if (self.chain.size() >= kMaxNesting)
    owner.failAtPrevious(std::string(what) + " file " + quoted(path) + " is nested more than " +
                         std::to_string(kMaxNesting) + " files deep");
  ConfigLoader nested(self.errorFile, self.configurationFolder, owner.catalog_);
  nested.impl_->chain = self.chain;
  return nested.load(path);
}

ConfigLoader::ConfigLoader(std::string errorFile, std::string configurationFolder,
                           ConfigCatalog& catalog)
    : impl_(std::make_unique<Impl>()), catalog_(catalog) {
  impl_->errorFile = std::move(errorFile);
  impl_->configurationFolder = std::move(configurationFolder);
  if (!impl_->configurationFolder.empty() && impl_->configurationFolder.back() != '/')
    impl_->configurationFolder += '/';
}

ConfigLoader::~ConfigLoader() = default;

bool ConfigLoader::load(const std::string& path, const std::string& binaryOutput,
                        const std::string& exportFolder) {
  Impl& s = *impl_;
  logMessage(kLogInfo, "Loading configuration file at \"%s\".\n", path.c_str());
  keywordText(1);  // builds the keyword table before the first file is read
  s.release();
  s.binary = false;
  s.tokensRead = 0;
  s.previousLine = 0;
  if (!s.openInput(path)) {
    s.release();
    return false;
  }
  s.chain.push_back(normalPath(path));

  bool ok = true;
  try {
    if (!binaryOutput.empty() && !s.binary) {
      s.exporting = true;
      s.binaryOutput = binaryOutput;
      s.exportFolder = exportFolder;
      s.recording = &s.mainRecording;
      s.reader.keepHistory(true);
    }
    advance();
    while (token_.kind() < 256) {
      const uint64_t before = s.tokensRead;
      Impl::dispatch(*this);
      // A directive that consumed nothing would be dispatched again forever.
      if (s.tokensRead == before)
        fail("directive " + quoted(token_.text()) + " unrecognized or invalid in this context");
    }
    if (s.exporting) {
      if (s.textCopy && std::fclose(s.textCopy.release()) != 0)
        fail("Could not write text copy " + quoted(s.binaryOutput + ".txt") + ".");
      const std::string error = writeBinaryConfig(s.binaryOutput, s.mainRecording);
      if (!error.empty()) fail(error);
    }
  } catch (const ConfigException& e) {
    s.reportError(e.what());
    ok = false;
  }
  s.chain.pop_back();
  s.release();
  return ok;
}

void ConfigLoader::advance() {
  Impl& s = *impl_;
  if (s.recording != nullptr && token_.kind() < 256) {
    token_.appendBinary(*s.recording);
    // Past this size the exported file could never be loaded again.
    if (s.recording->size() > kBinaryConfigMaxData)
      fail("binary form of the configuration exceeds " + std::to_string(kBinaryConfigMaxData) +
           " bytes");
  }
  s.previousLine = tokenLine();
  if (s.binary) {
    token_.readBinary(s.cursor, s.end);
  } else {
    token_.readFrom(s.reader);
  }
  ++s.tokensRead;
  if (token_.kind() == static_cast<int32_t>(TokenKind::kError)) fail("parse error");
}

void ConfigLoader::fail(const std::string& message) {
  failAt(tokenLine(), message);
}

int64_t ConfigLoader::tokenLine() const {
  // The reader counts lines as it fetches them, and fetches the next one only for the token
  // after the current one.
  return impl_->binary ? 0 : impl_->reader.lineNumber();
}

void ConfigLoader::failAt(int64_t line, const std::string& message) {
  const Impl& s = *impl_;
  const std::string location =
      s.binary ? s.binaryPath + " [binary]" : s.reader.path() + ":" + std::to_string(line);
  throw ConfigException("at " + location + " " + message);
}

void ConfigLoader::failAtPrevious(const std::string& message) {
  failAt(impl_->previousLine, message);
}

void ConfigLoader::Impl::dispatch(ConfigLoader& owner) {
  Impl& s = *owner.impl_;
  ConfigToken& token = owner.token_;
  if (token.isKeyword(Keyword::kBanner)) {
    owner.advance();
    if (!token.asString()) owner.fail("malformed banner definition");
    owner.catalog_.banner = token.text();
    owner.advance();
  } else if (token.isKeyword(Keyword::kModel)) {
    defineExported(owner, "models/", parseModelDefinition);
    return;
  } else if (token.isKeyword(Keyword::kTemplate)) {
    defineExported(owner, "templates/", parseTemplateDefinition);
    return;
  } else if (token.isKeyword(Keyword::kDevice)) {
    parseDeviceDefinition(owner);
  } else if (token.isKeyword(Keyword::kSimulator)) {
    parseSimulatorDefinition(owner);
  } else if (token.isKeyword(Keyword::kInput)) {
    parseInputDefinition(owner);
  } else if (token.isKeyword(Keyword::kCard)) {
    parseCardDefinition(owner);
  } else {
    owner.fail("directive " + quoted(token.text()) + " unrecognized or invalid in this context");
  }
  if (s.exporting) {
    // Started afresh by the first directive, so an earlier export's lines never stay in front
    // of this one's, and kept open: a configuration may hold thousands of directives.
    if (!s.textCopy) s.textCopy.reset(std::fopen((s.binaryOutput + ".txt").c_str(), "w"));
    if (!s.textCopy || !s.reader.writeConsumedLines(s.textCopy.get()))
      owner.fail("Could not write text copy " + quoted(s.binaryOutput + ".txt") + ".");
  }
}

void ConfigLoader::Impl::defineExported(ConfigLoader& owner, const char* folder,
                                        std::string (*parse)(ConfigLoader& loader)) {
  Impl& s = *owner.impl_;
  if (!s.exporting) {
    parse(owner);
    return;
  }
  if (s.exportFolder.empty()) {
    s.recording = nullptr;
    parse(owner);
    s.recording = &s.mainRecording;
    return;
  }
  s.definitionRecording.clear();
  s.definitionRecording.reserve(kDefinitionReserve);
  s.recording = &s.definitionRecording;
  // The name follows the keyword, on its line unless the text breaks it off.
  const int64_t line = owner.tokenLine();
  const std::string name = parse(owner);
  s.recording = &s.mainRecording;

  // A name ending in ".txt" would share its file with the text copy of another definition.
  if (!isPlainFileName(name) || name.ends_with(".txt"))
    owner.failAt(line, "name " + quoted(name) + " cannot be used as a file name for export");
  std::error_code ignored;
  std::filesystem::create_directories(s.exportFolder + folder, ignored);
  const std::string target = s.exportFolder + folder + name;
  const std::string error = writeBinaryConfig(target, s.definitionRecording);
  if (!error.empty()) owner.fail(error);
  if (!s.reader.writeConsumedLines(target + ".txt", false))
    owner.fail("Could not write text copy " + quoted(target + ".txt") + ".");
}

Model* ConfigLoader::findModel(const std::string& name) {
  auto found = catalog_.models.find(name);
  if (found != catalog_.models.end()) return found->second.get();
  if (impl_->configurationFolder.empty() || !isPlainFileName(name)) return nullptr;
  if (!Impl::loadOnDemand(*this, impl_->configurationFolder + "models/" + name, "model"))
    return nullptr;
  found = catalog_.models.find(name);
  return found != catalog_.models.end() ? found->second.get() : nullptr;
}

Template* ConfigLoader::findTemplate(const std::string& name) {
  auto found = catalog_.templates.find(name);
  if (found != catalog_.templates.end()) return found->second.get();
  if (impl_->configurationFolder.empty() || !isPlainFileName(name)) return nullptr;
  if (!Impl::loadOnDemand(*this, impl_->configurationFolder + "templates/" + name, "template"))
    return nullptr;
  found = catalog_.templates.find(name);
  return found != catalog_.templates.end() ? found->second.get() : nullptr;
}

}  // namespace qelm
