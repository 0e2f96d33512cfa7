#include "host/download_command.h"

#include <ostream>

#include "download/instances.h"
#include "host/headless_host.h"

namespace qelm {

namespace {

std::string describe(const InstanceReport& report) {
  std::string line = report.host + ": " + std::to_string(report.bytes) + " bytes, ";
  if (report.devices == 0) return line + "no devices";
  line += std::to_string(report.devices) + (report.devices == 1 ? " device" : " devices");
  if (report.lastDevice) line += ", last " + std::to_string(*report.lastDevice);
  return line;
}

}  // namespace

int downloadCommand(const std::string& dataFolder, std::ostream& out,
                    const std::atomic<bool>& interrupted, DownloadOptions options) {
  options.cancel = &interrupted;
  const std::string path = instancesFilePath(dataFolder);
  const std::vector<TrelkInstance> instances = readInstancesFile(path);
  if (instances.empty()) {
    out << "No TRELK instances in \"" << path << "\"\n";
    return 2;
  }
  const DownloadResult result =
      downloadConfiguration(dataFolder, instances, configurationError, options);
  if (!result.error.empty()) {
    out << result.error << '\n';
    return 2;
  }
  for (const InstanceReport& report : result.instances)
    out << describe(report) << '\n';
  return 0;
}

}  // namespace qelm
