#include "config/config_loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../file_size_limit.h"
#include "config/binary_config.h"
#include "config/config_catalog.h"
#include "config/template.h"
#include "config_test_support.h"
#include "core/log.h"
#include "describe_catalog.h"
#include "model/model.h"

namespace qelm {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One allocation of the final size, then copies: growing a 4-byte vector makes GCC 12 at -O3
// warn of a memcpy past its end that never happens.
std::vector<uint8_t> headerAnd(const std::vector<uint8_t>& stream) {
  std::vector<uint8_t> bytes(kBinaryConfigHeaderSize + stream.size(), 0);
  std::copy(kBinaryConfigMagic.begin(), kBinaryConfigMagic.end(), bytes.begin());
  std::copy(stream.begin(), stream.end(),
            bytes.begin() + static_cast<std::ptrdiff_t>(kBinaryConfigHeaderSize));
  return bytes;
}

// A complete configuration with a little of everything.
const char kSample[] = R"(banner "Studio A Panel"
model "Proc Amp"
  parameter 0x0101 "Video Gain" int -100 100 1 unit "%" default 0
  parameter 0x0102 "Test Pattern" choice 0 Off "Off" choice 1 Bars "Color Bars" slow
  parameter 0x0200:3 "Delay 4" float 0 10 0.5 unit "ms"
  parameter local Label string 16
  parameter 0x0300 "Frame IP" string 15
  monitor lm
# A comment between definitions.
template "Amp 2x" "Proc Amp"
  page 1 "Main"
    item 1 "Video Gain" 1 2 name "Gain A+B"
    item 2 0x0102 set 1 text "Bars"
    item 3 Label 1
  page 2 "Meters" type lm
device 1 "Cam 1+2" from-template "Amp 2x" 10.0.0.2 3 4
device 2 "Cam 3" page 1 "Main" item 1 "Video Gain" from-model "Proc Amp" 10.0.0.2 5
simulator "Proc Amp" 10.0.0.50 1
card 10.0.0.2 3 from-model "Proc Amp" local Label "Cam 1"
input line 1 high from-model "Proc Amp" 10.0.0.2 3 4 set "Video Gain" 0 monitor lm start
)";

class ConfigLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qelm-cl-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ / "configuration" / "models");
    std::filesystem::create_directories(root_ / "configuration" / "templates");
    errorFile_ = (root_ / "error.txt").string();
    catalog_.banner = "Product";
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string configFolder() const { return (root_ / "configuration").string() + "/"; }
  std::string path(const std::string& relative) const { return (root_ / relative).string(); }

  std::string write(const std::string& relative, const std::string& text) {
    std::ofstream(path(relative), std::ios::binary) << text;
    return path(relative);
  }
  std::string writeBytes(const std::string& relative, const std::vector<uint8_t>& bytes) {
    std::ofstream(path(relative), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path(relative);
  }

  bool loadFile(const std::string& file, ConfigCatalog& catalog) {
    logStart_ = messageCount();
    ConfigLoader loader(errorFile_, configFolder(), catalog);
    return loader.load(file);
  }
  bool loadText(const std::string& text) {
    return loadFile(write("configuration/startup.txt", text), catalog_);
  }
  std::string startup() const { return path("configuration/startup.txt"); }

  std::vector<std::string> logged() const {
    std::vector<std::string> lines;
    for (int32_t n = logStart_; n != messageCount(); ++n)
      lines.push_back(messageText(n));
    return lines;
  }
  std::string errorText() const { return readText(errorFile_); }

  std::filesystem::path root_;
  std::string errorFile_;
  ConfigCatalog catalog_;
  int32_t logStart_ = 0;
};

// --- Loading, dispatch and errors -----------------------------------------------------------

TEST_F(ConfigLoaderTest, EmptyFileLoadsAndDefinesNothing) {
  EXPECT_TRUE(loadText(""));
  EXPECT_EQ(catalog_.banner, "Product");
  EXPECT_TRUE(catalog_.models.empty());
  EXPECT_FALSE(std::filesystem::exists(errorFile_));
  EXPECT_THAT(logged(), ElementsAre("Loading configuration file at \"" + startup() + "\"."));
}

TEST_F(ConfigLoaderTest, BannersInAnyCaseLastOneWins) {
  EXPECT_TRUE(loadText("banner \"A\" BaNnEr \"B\"\n"));
  EXPECT_EQ(catalog_.banner, "B");
  EXPECT_TRUE(loadText("banner Word"));
  EXPECT_EQ(catalog_.banner, "Word");
}

TEST_F(ConfigLoaderTest, ErrorFileHoldsExactlyTheOneLocatedMessage) {
  write("error.txt", std::string(500, 'x') + "\nold\n");
  EXPECT_FALSE(loadText("banner Kept\n\n42 banner Lost\n"));
  const std::string message =
      "at " + startup() + ":3 directive \"42\" unrecognized or invalid in this context";
  EXPECT_EQ(errorText(), message + "\n");
  EXPECT_EQ(logged().back(), message);
  EXPECT_EQ(catalog_.banner, "Kept");  // what was built before the error stays
}

TEST_F(ConfigLoaderTest, DirectiveErrors) {
  EXPECT_FALSE(loadText("include other.txt"));
  EXPECT_EQ(errorText(), "at " + startup() +
                             ":1 directive \"include\" unrecognized or invalid in this context\n");
  EXPECT_FALSE(loadText("banner\n"));
  EXPECT_EQ(errorText(), "at " + startup() + ":1 malformed banner definition\n");
  EXPECT_FALSE(loadText("banner A\nbanner \"B\" \"C\n"));
  EXPECT_EQ(errorText(), "at " + startup() + ":2 parse error\n");
}

TEST_F(ConfigLoaderTest, UnwritableErrorFileIsLogged) {
  errorFile_ = path("missing/error.txt");
  EXPECT_FALSE(loadText("42"));
  EXPECT_THAT(logged(), Contains("Could not open error file \"" + errorFile_ + "\"."));
  EXPECT_THAT(logged().back(), HasSubstr("directive \"42\""));
}

TEST_F(ConfigLoaderTest, ErrorFileThatCannotBeWrittenOnAFullDiskIsLogged) {
  const std::string file = write("configuration/startup.txt", "42");
  {
    const testing::FileSizeLimit disk(0);
    EXPECT_FALSE(loadFile(file, catalog_));
  }
  EXPECT_THAT(logged(), Contains("Could not write error file \"" + errorFile_ + "\"."));
  EXPECT_THAT(logged().back(), HasSubstr("directive \"42\""));
}

TEST_F(ConfigLoaderTest, UnopenableFiles) {
  EXPECT_FALSE(loadFile(path("configuration/none.txt"), catalog_));
  EXPECT_THAT(logged(),
              ElementsAre(HasSubstr("Loading"), "Could not open configuration file at \"" +
                                                    path("configuration/none.txt") + "\"."));
  // A folder is not a configuration file (reading one would fail or never end).
  EXPECT_FALSE(loadFile(configFolder(), catalog_));
  EXPECT_THAT(logged().back(), HasSubstr("Could not open configuration file"));
  EXPECT_FALSE(std::filesystem::exists(errorFile_));
}

// --- Binary files ---------------------------------------------------------------------------

TEST_F(ConfigLoaderTest, MagicBytesMakeAFileBinary) {
  const std::string file =
      writeBytes("b.cfg", headerAnd({0x01, 0xFD, 'X', 0x00, 0x01, 0xFD, 0x00}));
  EXPECT_TRUE(loadFile(file, catalog_));
  EXPECT_EQ(catalog_.banner, "");
  // Fewer than 32 bytes cannot be a header: read as text.
  std::vector<uint8_t> shortFile = headerAnd({});
  shortFile.resize(31);
  EXPECT_FALSE(loadFile(writeBytes("s.cfg", shortFile), catalog_));
  EXPECT_THAT(errorText(), HasSubstr("unrecognized"));
}

TEST_F(ConfigLoaderTest, BinarySizeLimits) {
  const std::string headerOnly = writeBytes("h.cfg", headerAnd({}));
  EXPECT_FALSE(loadFile(headerOnly, catalog_));
  EXPECT_EQ(logged().back(),
            "Binary configuration file \"" + headerOnly + "\" is empty or too large.");
  EXPECT_FALSE(std::filesystem::exists(errorFile_));

  // The largest allowed stream: one banner whose text fills it.
  std::vector<uint8_t> stream(kBinaryConfigMaxData - 1, 'a');
  stream[0] = 0x01;
  stream[1] = 0xFD;
  stream.push_back(0x00);
  EXPECT_TRUE(loadFile(writeBytes("max.cfg", headerAnd(stream)), catalog_));
  EXPECT_EQ(catalog_.banner.size(), kBinaryConfigMaxData - 3);

  stream.push_back(0x01);
  const std::string tooLarge = writeBytes("big.cfg", headerAnd(stream));
  EXPECT_FALSE(loadFile(tooLarge, catalog_));
  EXPECT_EQ(logged().back(),
            "Binary configuration file \"" + tooLarge + "\" is empty or too large.");
}

TEST_F(ConfigLoaderTest, BinaryTokenErrorsCarryTheBinaryLocation) {
  for (const std::vector<uint8_t>& stream : std::vector<std::vector<uint8_t>>{
           {0xFC, 0x01}, {0x00}, {0x80}, {0x01, 0xFD, 'a'}, {0x01, 0xFB, 0, 0}}) {
    const std::string file = writeBytes("bad.cfg", headerAnd(stream));
    EXPECT_FALSE(loadFile(file, catalog_));
    EXPECT_EQ(errorText(), "at " + file + " [binary] parse error\n");
  }
  const std::string file = writeBytes("num.cfg", headerAnd({0x01, 0xFC, 0x00, 0x05}));
  EXPECT_FALSE(loadFile(file, catalog_));
  EXPECT_EQ(errorText(), "at " + file + " [binary] malformed banner definition\n");
  const std::string top = writeBytes("top.cfg", headerAnd({0x16}));
  EXPECT_FALSE(loadFile(top, catalog_));
  EXPECT_EQ(
      errorText(),
      "at " + top + " [binary] directive \"include\" unrecognized or invalid in this context\n");
}

// --- Export ---------------------------------------------------------------------------------

class ConfigExportTest : public ConfigLoaderTest {
 protected:
  void SetUp() override {
    ConfigLoaderTest::SetUp();
    exportFolder_ = path("export") + "/";
    std::filesystem::create_directories(exportFolder_);
    binaryOutput_ = exportFolder_ + "startup.bin";
  }

  bool exportText(const std::string& text) {
    logStart_ = messageCount();
    ConfigLoader loader(errorFile_, configFolder(), catalog_);
    return loader.load(write("configuration/startup.txt", text), binaryOutput_, exportFolder_);
  }

  // The exported start-up file, with the export folder as the configuration folder.
  bool loadExported(ConfigCatalog& catalog) {
    logStart_ = messageCount();
    ConfigLoader loader(errorFile_, exportFolder_, catalog);
    return loader.load(binaryOutput_);
  }

  static std::vector<uint8_t> afterHeader(const std::string& file) {
    const std::string bytes = readText(file);
    if (bytes.size() < kBinaryConfigHeaderSize) return {};
    return std::vector<uint8_t>(bytes.begin() + kBinaryConfigHeaderSize, bytes.end());
  }

  std::string exportFolder_;
  std::string binaryOutput_;
};

TEST_F(ConfigExportTest, BannerGoesToTheStartUpFileAndItsTextCopy) {
  write("export/startup.bin.txt", "stale lines of an earlier export\n");
  ASSERT_TRUE(exportText("# Studio\nbanner \"A\"\nbanner B # why not\n"));
  EXPECT_THAT(afterHeader(binaryOutput_), ElementsAre(0x01, 0xFD, 'A', 0x00, 0x01, 0xFD, 'B', 0));
  EXPECT_EQ(readText(binaryOutput_ + ".txt"), "# Studio\nbanner \"A\"\nbanner B # why not\n");
  ConfigCatalog reloaded;
  ASSERT_TRUE(loadExported(reloaded));
  EXPECT_EQ(reloaded.banner, "B");
}

TEST_F(ConfigExportTest, UnwritableOutputsEndTheLoad) {
  binaryOutput_ = path("missing/startup.bin");
  EXPECT_FALSE(exportText("banner A\n"));
  EXPECT_EQ(errorText(),
            "at " + startup() + ":1 Could not write text copy \"" + binaryOutput_ + ".txt\".\n");

  binaryOutput_ = exportFolder_ + "folder";
  std::filesystem::create_directories(binaryOutput_);
  EXPECT_FALSE(exportText("banner A\n"));
  EXPECT_EQ(errorText(), "at " + startup() + ":1 Could not open binary file \"" + binaryOutput_ +
                             "\" for writing.\n");
}

TEST_F(ConfigExportTest, AnExportTooLargeToLoadBackIsRefused) {
  // About 1.3 MB of banners in binary form: more than a binary file may hold.
  std::string text;
  for (int i = 0; i < 40000; ++i)
    text += "banner \"a banner text of thirty bytes\"\n";
  EXPECT_FALSE(exportText(text));
  EXPECT_THAT(errorText(), HasSubstr("binary form of the configuration exceeds 1048576 bytes"));
  EXPECT_FALSE(std::filesystem::exists(binaryOutput_));
}

TEST_F(ConfigExportTest, BinaryInputIsNotExported) {
  const std::string file = writeBytes("b.cfg", headerAnd({0x01, 0xFD, 'X', 0x00}));
  ConfigLoader loader(errorFile_, configFolder(), catalog_);
  ASSERT_TRUE(loader.load(file, binaryOutput_, exportFolder_));
  EXPECT_FALSE(std::filesystem::exists(binaryOutput_));
}

TEST_F(ConfigExportTest, ModelFileBytes) {
  ASSERT_TRUE(exportText("model M parameter 0x0101 Gain int -5 5\n"));
  EXPECT_THAT(afterHeader(exportFolder_ + "models/M"),
              ElementsAreArray<uint8_t>({0x02, 0xFD, 0x4D, 0x00, 0x05, 0xF9, 0x00, 0x01,
                                         0x01, 0x00, 0x00, 0xFD, 0x47, 0x61, 0x69, 0x6E,
                                         0x00, 0x06, 0xFC, 0xFF, 0xFB, 0xFC, 0x00, 0x05}));
  EXPECT_EQ(readText(exportFolder_ + "models/M.txt"), "model M parameter 0x0101 Gain int -5 5\n");
  // Model definitions never reach the start-up file.
  EXPECT_FALSE(std::filesystem::exists(binaryOutput_));
}

// The text grammar cannot spell NaN or infinity; a binary file can hold their bit patterns and
// must be refused the same way (a range with a NaN bound breaks every step and clamp).
TEST_F(ConfigExportTest, NonFiniteFloatsAreRefusedInBinaryAsInText) {
  ASSERT_TRUE(exportText("model M parameter 0x0101 Gain float -10 10 0.5 default 1\n"));
  const std::vector<uint8_t> model = afterHeader(exportFolder_ + "models/M");
  const std::vector<std::pair<uint32_t, std::string>> cases = {
      {0xC1200000u, "bad minimum value in float parameter definition"},  // -10
      {0x41200000u, "bad maximum value in float parameter definition"},  // 10
      {0x3F000000u, "bad step size in float parameter definition"},      // 0.5
      {0x3F800000u, "default value is incompatible with parameter"}};    // 1
  for (const auto& [original, message] : cases) {
    for (const uint32_t bad : {0x7FC00000u, 0x7F800000u, 0xFF800000u}) {
      std::vector<uint8_t> bytes = model;
      const std::vector<uint8_t> wanted = {0xFB, static_cast<uint8_t>(original >> 24),
                                           static_cast<uint8_t>(original >> 16), 0, 0};
      const auto at = std::search(bytes.begin(), bytes.end(), wanted.begin(), wanted.end());
      ASSERT_NE(at, bytes.end()) << message;
      for (int i = 0; i < 4; ++i)
        at[1 + i] = static_cast<uint8_t>(bad >> (24 - 8 * i));
      ConfigCatalog catalog;
      EXPECT_FALSE(loadFile(writeBytes("bad.bin", headerAnd(bytes)), catalog)) << message;
      EXPECT_THAT(errorText(), HasSubstr(message));
    }
  }
  ConfigCatalog catalog;
  EXPECT_TRUE(loadFile(writeBytes("good.bin", headerAnd(model)), catalog));
}

TEST_F(ConfigExportTest, NamesThatAreNoFileNamesAreRefused) {
  EXPECT_FALSE(exportText("model \"../escape\" parameter 1 X int 0 1\n"));
  EXPECT_THAT(errorText(), HasSubstr("name \"../escape\" cannot be used as a file name"));
  EXPECT_FALSE(std::filesystem::exists(path("export/escape")));
  // Its file would be the text copy of model "M".
  EXPECT_FALSE(exportText("model M.txt parameter 1 X int 0 1\nmodel M parameter 1 X int 0 1\n"));
  EXPECT_THAT(errorText(), HasSubstr("name \"M.txt\" cannot be used as a file name"));
}

TEST_F(ConfigExportTest, ExportedConfigurationLoadsLikeTheText) {
  ASSERT_TRUE(exportText(kSample)) << errorText();
  EXPECT_TRUE(std::filesystem::exists(exportFolder_ + "models/Proc Amp"));
  EXPECT_TRUE(std::filesystem::exists(exportFolder_ + "templates/Amp 2x"));
  EXPECT_EQ(readText(exportFolder_ + "templates/Amp 2x.txt"),
            "# A comment between definitions.\ntemplate \"Amp 2x\" \"Proc Amp\"\n  page 1 "
            "\"Main\"\n    item 1 \"Video Gain\" 1 2 name \"Gain A+B\"\n    item 2 0x0102 set 1 "
            "text \"Bars\"\n    item 3 Label 1\n  page 2 \"Meters\" type lm\n");

  ConfigCatalog reloaded;
  reloaded.banner = "Product";
  ASSERT_TRUE(loadExported(reloaded)) << errorText();
  EXPECT_EQ(describeCatalog(reloaded), describeCatalog(catalog_));
  EXPECT_EQ(reloaded.devices.devices().size(), 2u);
}

// --- On-demand files ------------------------------------------------------------------------

TEST_F(ConfigLoaderTest, SampleConfigurationLoads) {
  ASSERT_TRUE(loadText(kSample)) << errorText();
  EXPECT_EQ(catalog_.banner, "Studio A Panel");
  EXPECT_EQ(catalog_.models.size(), 1u);
  EXPECT_EQ(catalog_.templates.size(), 1u);
  EXPECT_EQ(catalog_.devices.devices().size(), 2u);
  EXPECT_EQ(catalog_.simulators.size(), 1u);
  EXPECT_EQ(catalog_.localCardValues.size(), 1u);
  EXPECT_EQ(catalog_.inputActions.actions().size(), 2u);
}

TEST_F(ConfigLoaderTest, LookupLoadsTheNamedFileIntoTheSameCatalog) {
  write("configuration/models/X", "banner \"From X\"\n");
  ConfigLoader loader(errorFile_, configFolder(), catalog_);
  logStart_ = messageCount();
  EXPECT_EQ(loader.findModel("X"), nullptr);  // loaded, but it defines no model X
  EXPECT_EQ(catalog_.banner, "From X");
  EXPECT_THAT(logged(),
              ElementsAre("Loading configuration file at \"" + configFolder() + "models/X\"."));

  // Names that would leave the folder, or name it, are not looked up at all.
  logStart_ = messageCount();
  for (const char* name : {"../startup.txt", "", ".", "..", "a/b"}) {
    EXPECT_EQ(loader.findModel(name), nullptr);
    EXPECT_EQ(loader.findTemplate(name), nullptr);
  }
  EXPECT_TRUE(logged().empty());

  ConfigLoader noFolder(errorFile_, "", catalog_);
  EXPECT_EQ(noFolder.findTemplate("X"), nullptr);
  EXPECT_TRUE(logged().empty());
}

TEST_F(ConfigLoaderTest, TemplatesAndModelsComeFromTheirFiles) {
  write("configuration/models/M", "model M parameter 0x0101 Gain int -5 5\n");
  write("configuration/templates/T", "template T M page 1 \"Main\" item 1 Gain 1\n");
  ASSERT_TRUE(loadText("device 5 Amp from-template T 10.0.0.2 3\n")) << errorText();
  ASSERT_EQ(catalog_.devices.devices().size(), 1u);
  EXPECT_EQ(catalog_.templates.count("T"), 1u);
  EXPECT_EQ(catalog_.models.count("M"), 1u);

  // The same from binary files, fetched by a binary start-up file.
  std::filesystem::remove(path("configuration/models/M"));
  ConfigCatalog again;
  {
    ConfigLoader exporter(errorFile_, configFolder(), again);
    ASSERT_TRUE(exporter.load(write("source.txt",
                                    "model M parameter 0x0101 Gain int -5 5\n"
                                    "template T M page 1 \"Main\" item 1 Gain 1\n"
                                    "device 5 Amp from-template T 10.0.0.2 3\n"),
                              path("configuration/startup.bin"), configFolder()))
        << errorText();
  }
  ConfigCatalog fromBinary;
  fromBinary.banner = "Product";
  ASSERT_TRUE(loadFile(path("configuration/startup.bin"), fromBinary)) << errorText();
  EXPECT_EQ(describeCatalog(fromBinary), describeCatalog(catalog_));
}

TEST_F(ConfigLoaderTest, AFileThatNamesItselfEndsWithAnError) {
  // Loading models/M needs model M before the file has defined it.
  write("configuration/models/M", "template U M page 1 \"P\"\nmodel M\n");
  EXPECT_FALSE(loadText("template T M page 1 \"P\"\n"));
  const std::string file = configFolder() + "models/M";
  EXPECT_THAT(logged(), Contains("at " + file + ":1 model file \"" + file + "\" refers to itself"));
  EXPECT_EQ(errorText(),
            "at " + startup() + ":1 unrecognized model name \"M\" in template definition\n");
}

TEST_F(ConfigLoaderTest, ACycleThroughAnotherFileEndsWithAnError) {
  write("configuration/templates/T", "template T M page 1 \"P\"\n");
  write("configuration/models/M", "device 1 D from-template T 10.0.0.1 1\nmodel M\n");
  EXPECT_FALSE(loadText("device 1 D from-template T 10.0.0.1 1\n"));
  const std::string file = configFolder() + "templates/T";
  EXPECT_THAT(logged(), Contains(HasSubstr("template file \"" + file + "\" refers to itself")));
  EXPECT_THAT(errorText(), HasSubstr(startup() + ":1 unrecognized template name"));
}

TEST_F(ConfigLoaderTest, NestingIsLimited) {
  // A chain of distinct files, each needing the next: M0 -> M1 -> ... -> M29.
  for (int i = 0; i < 30; ++i) {
    write("configuration/models/M" + std::to_string(i),
          "template T" + std::to_string(i) + " M" + std::to_string(i + 1) + " page 1 P\nmodel M" +
              std::to_string(i) + "\n");
  }
  EXPECT_FALSE(loadText("template T M0 page 1 P\n"));
  EXPECT_THAT(logged(), Contains(HasSubstr("is nested more than 16 files deep")));
  EXPECT_THAT(errorText(), HasSubstr("unrecognized model name \"M0\""));
}

// --- Errors found after reading on -----------------------------------------------------------

// The reader looks at the token after a directive's last one (often lines further down) to see
// whether the directive goes on; a fault found only then is reported on its own token's line.
class LookAheadErrorTest : public ConfigTest,
                           public ::testing::WithParamInterface<ConfigErrorCase> {};

TEST_P(LookAheadErrorTest, NamesTheLineOfTheTokenAtFault) {
  expectFailureAfterProcAmp(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Directives, LookAheadErrorTest,
    ::testing::Values(
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X\n  item 1 \"Video Gian\"\n\n"
                        "  # the next item\n  item 2 Label\n",
                        2,
                        "parameter name \"Video Gian\" in template item definition does not "
                        "exist in associated model"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X\n  item 2 Label\n  item 2\n"
                        "    Label name\n    \"Second\"\n",
                        3, "illegal or duplicate item number (2) in template item definition"},
        ConfigErrorCase{"model A parameter 1 Mode\n  choice 0 Off \"Off\"\n"
                        "  choice 0 On \"On\"\n\nmodel B",
                        3, "duplicate data value (0, 0x0000) in choice parameter definition"},
        ConfigErrorCase{"model A parameter 1 N int 0 1 slow readonly\n# read-only\nmodel B", 1,
                        "readonly conflicts with slow in parameter definition"},
        ConfigErrorCase{"model A parameter 1 Mode choice 0 Off Off default\n  Of\n\nmodel B", 2,
                        "default value is incompatible with parameter"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item 1 Label\n"
                        "device 1 D from-template T 10.0.0.1 1\n"
                        "  page 2 P item 1 \"Video Gian\"\n    1\n",
                        3,
                        "device item directive uses a parameter (\"Video Gian\") not defined in "
                        "the template model"},
        ConfigErrorCase{"device 1 D page 1 \"Main\" type 4-up\n  item 5 \"Video Gain\"\n"
                        "    from-model \"Proc Amp\" 10.0.0.1 1\n",
                        2, "item number (5) is illegal for page type"},
        ConfigErrorCase{"input line 1 high from-model \"Proc Amp\" 10.0.0.1\n\n10.0.0.2 3", 1,
                        "IP address must be followed by at least one slot number"},
        ConfigErrorCase{"card 10.0.0.5 3 from-model \"Proc Amp\"\n  local Label \"A\"\n"
                        "  local Label\n    \"B\"\n",
                        3,
                        "multiple values for local parameter \"Label\" on card \"10.0.0.5 [3]\""},
        ConfigErrorCase{"simulator \"Proc Amp\" 10.0.0.5 3\nsimulator \"Proc Amp\" 10.0.0.5 3\n"
                        "\nmodel B",
                        2, "duplicate simulator address (10.0.0.5 slot 3)"}));

}  // namespace
}  // namespace qelm
