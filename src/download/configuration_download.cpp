#include "download/configuration_download.h"

#include <curl/curl.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "download/fragment_reader.h"

namespace qelm {

namespace {

// Longest text taken from the transfer layer into a message.
constexpr size_t kMaxReasonLength = 1024;
constexpr long kNotFound = 404;
constexpr long kFirstErrorStatus = 400;
constexpr long kMaxRedirects = 5;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// libcurl wants its global set-up done once per process before any transfer.
void initialiseCurl() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)ready;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

std::string cut(std::string text) {
  if (text.size() > kMaxReasonLength) text.resize(kMaxReasonLength);
  return text;
}

std::string failedFrom(const std::string& host, const std::string& reason) {
  return "Unable to download configuration from \"" + host + "\".\n\nReason: " + cut(reason);
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* reader = static_cast<FragmentReader*>(user);
  // Returning less than was given makes libcurl end the transfer with a write error.
  return reader->feed(data, size * count) ? size * count : 0;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* cancel = static_cast<const std::atomic<bool>*>(user);
  // Non-zero makes libcurl abandon the transfer.
  return cancel != nullptr && cancel->load() ? 1 : 0;
}

struct CurlUrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

// Where a URL leads: its host name, lower case, and its port as written (empty when none) and
// as used (the scheme's own when none is written).
struct Authority {
  std::string host;
  std::string writtenPort;
  std::string port;
};

struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};

std::optional<std::string> urlPart(CURLU* url, CURLUPart what, unsigned int flags) {
  char* text = nullptr;
  const CURLUcode code = curl_url_get(url, what, &text, flags);
  const std::unique_ptr<char, CurlFree> owned(text);
  if (code != CURLUE_OK || !owned) return std::nullopt;
  return std::string(owned.get());
}

std::optional<Authority> authorityOf(const std::string& address) {
  CurlUrl url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, address.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  std::optional<std::string> host = urlPart(url.get(), CURLUPART_HOST, 0);
  std::optional<std::string> port = urlPart(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!host || !port) return std::nullopt;
  Authority authority{*host, urlPart(url.get(), CURLUPART_PORT, 0).value_or(""), *port};
  for (char& c : authority.host)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return authority;
}

// Whether a redirect from `from` to `to` stays on the listed server: the same host name and the
// same port (or, moving from http to https, the scheme's own port on both sides). Another host
// could hand out any configuration in the listed host's name.
bool sameServer(const Authority& from, const Authority& to) {
  return from.host == to.host &&
         (from.port == to.port || (from.writtenPort.empty() && to.writtenPort.empty()));
}

using Clock = std::chrono::steady_clock;
// libcurl's timers count whole milliseconds from its own start and may fire that much before
// the deadline as this clock sees it.
constexpr std::chrono::milliseconds kTimerSlack{100};

// Why a transfer ran out of time: the instance's deadline, no answer at all, or one too slow.
std::string timedOut(CURL* handle, Clock::time_point deadline, const DownloadOptions& options) {
  if (options.deadlineSeconds > 0 && Clock::now() + kTimerSlack >= deadline)
    return "no complete answer within " + std::to_string(options.deadlineSeconds) + " seconds";
  long headerBytes = 0;
  curl_off_t bodyBytes = 0;
  curl_easy_getinfo(handle, CURLINFO_HEADER_SIZE, &headerBytes);
  curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &bodyBytes);
  if (headerBytes == 0 && bodyBytes == 0)
    return "no answer within " + std::to_string(options.timeoutSeconds) + " seconds";
  return "the answer came slower than " + std::to_string(options.minBytesPerSecond) +
         " bytes a second for " + std::to_string(options.timeoutSeconds) + " seconds";
}

// A transfer handle that writes into `reader`, reports into `errorText` (CURL_ERROR_SIZE bytes)
// and keeps the limits of `options`. Redirects are left to the caller, which looks at each
// target first.
CurlHandle openTransfer(FragmentReader& reader, char* errorText, const DownloadOptions& options) {
  initialiseCurl();
  CurlHandle curl(curl_easy_init());
  if (!curl) throw std::runtime_error("the transfer library could not start");
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "qelm");
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reader);
  if (options.cancel != nullptr) {
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, options.cancel);
  }
  if (options.timeoutSeconds > 0) {
    // A server that never starts, stops sending or only trickles is given up after the time-out.
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, options.timeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, options.minBytesPerSecond));
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, options.timeoutSeconds);
  }
  return curl;
}

// Why one request failed, or empty when it was answered.
std::string transferFailure(const TrelkInstance& instance, CURL* handle, CURLcode code,
                            const char* errorText, const FragmentReader& reader,
                            Clock::time_point deadline, const DownloadOptions& options) {
  if (reader.overflowed())
    return failedFrom(instance.host, "the configuration is larger than " +
                                         std::to_string(options.maxBytes) + " bytes");
  if (code == CURLE_ABORTED_BY_CALLBACK) return failedFrom(instance.host, "interrupted");
  if (code == CURLE_OPERATION_TIMEDOUT)
    return failedFrom(instance.host, timedOut(handle, deadline, options));
  if (code != CURLE_OK)
    return failedFrom(instance.host, errorText[0] != '\0' ? errorText : curl_easy_strerror(code));
  return {};
}

// Why the redirect to `next` must not be followed (another server than the listed one, or one
// redirect too many), or empty when it may.
std::string refusedRedirect(const TrelkInstance& instance, const std::optional<Authority>& listed,
                            const char* next, long redirects) {
  const std::optional<Authority> target = authorityOf(next);
  if (!listed || !target || !sameServer(*listed, *target))
    return failedFrom(instance.host,
                      "the server redirected the request to another host (\"" +
                          (target ? target->host + ":" + target->port : std::string("?")) + "\")");
  if (redirects == kMaxRedirects)
    return failedFrom(instance.host, "more than " + std::to_string(kMaxRedirects) + " redirects");
  return {};
}

// Why the final answer is not configuration, or empty.
std::string refusedStatus(const TrelkInstance& instance, CURL* handle) {
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (status == kNotFound) return "Unable to resolve host \"" + instance.host + "\" (ERROR 404)";
  // An error page is not configuration: taking it would replace a working file with it.
  if (status >= kFirstErrorStatus)
    return failedFrom(instance.host,
                      "the server answered with HTTP status " + std::to_string(status));
  return {};
}

// Fetches `url` into `reader`, made anew for every redirect with room for `maxBytes`, all within
// the instance's deadline; the message for the user, or empty on success.
std::string fetch(const TrelkInstance& instance, const std::string& url, size_t maxBytes,
                  FragmentReader& reader, const DownloadOptions& options) {
  char errorText[CURL_ERROR_SIZE] = {};
  const CurlHandle curl = openTransfer(reader, errorText, options);
  CURL* handle = curl.get();
  const std::optional<Authority> listed = authorityOf(url);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.deadlineSeconds);
  std::string address = url;
  for (long redirects = 0;; ++redirects) {
    if (options.deadlineSeconds > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return failedFrom(instance.host, timedOut(handle, deadline, options));
      curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(left));
    }
    curl_easy_setopt(handle, CURLOPT_URL, address.c_str());
    reader = FragmentReader(maxBytes);
    const CURLcode code = curl_easy_perform(handle);
    reader.finish();
    std::string error =
        transferFailure(instance, handle, code, errorText, reader, deadline, options);
    if (!error.empty()) return error;
    const char* next = nullptr;
    curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &next);
    if (next == nullptr) return refusedStatus(instance, handle);
    error = refusedRedirect(instance, listed, next, redirects);
    if (!error.empty()) return error;
    address = next;
  }
}

// A NUL byte is never configuration text; the loader would end the line at it and quietly drop
// the rest. The message for the user, or empty.
std::string nulByteIn(const TrelkInstance& instance, const std::string& text) {
  const size_t at = text.find('\0');
  if (at == std::string::npos) return {};
  const auto line = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
  return failedFrom(instance.host, "line " + std::to_string(line + 1) +
                                       " of the answer holds a NUL byte, which is no text");
}

// Whether loading `text` would define nothing: it holds only white space (byte-order marks
// included) and comments.
bool definesNothing(std::string_view text) {
  constexpr std::string_view kMark = kByteOrderMark;
  for (size_t at = 0; at < text.size();) {
    if (text.substr(at, kMark.size()) == kMark) {
      at += kMark.size();
    } else if (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r')) {
      ++at;
    } else if (text[at] == '#') {
      at = text.find('\n', at);
    } else {
      return false;
    }
  }
  return true;
}

// The loader names the file it read; that file was only the download's scratch copy, so its
// lines are called lines of the download.
std::string locatedInDownload(std::string message, const std::string& scratch) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{scratch + ":", "line "},
                                 {scratch, "the downloaded configuration"}}) {
    for (size_t at = message.find(from); at != std::string::npos; at = message.find(from, at)) {
      message.replace(at, from.size(), to);
      at += to.size();
    }
  }
  return message;
}

std::string withCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 8);
  for (const char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::string instanceQuery(const std::string& prefix, bool firstInstance, int32_t firstDevice) {
  std::string query;
  if (!prefix.empty()) {
    std::string escaped;
    for (const unsigned char byte : prefix) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", byte);
      escaped += hex;
    }
    query = "prepend=\"" + escaped + "\"";
  }
  if (!firstInstance) {
    if (!query.empty()) query += "&";
    query += "no-header=1";
  }
  if (firstDevice != 1) {
    if (!query.empty()) query += "&";
    query += "first-device=" + std::to_string(firstDevice);
  }
  return query.empty() ? query : "?" + query;
}

std::string instanceUrl(const std::string& host, const std::string& query) {
  return "http://" + host + "/cgi-bin/qelm.pl" + query;
}

std::string startupFilePath(const std::string& dataFolder) {
  return dataFolder + "configuration/startup.txt";
}

namespace {

DownloadResult download(const std::string& dataFolder, const std::vector<TrelkInstance>& instances,
                        const ConfigurationCheck& check, const DownloadOptions& options) {
  assert(check && "a download must be checked before it replaces the configuration");
  DownloadResult result;
  // Nothing to fetch would leave an empty configuration in place of a working one.
  if (instances.empty()) {
    result.error = "There are no TRELK instances to download from.";
    return result;
  }
  std::string output;
  int32_t firstDevice = 1;
  bool firstInstance = true;
  for (const TrelkInstance& instance : instances) {
    InstanceReport report;
    report.host = instance.host;
    report.url =
        instanceUrl(instance.host, instanceQuery(instance.prefix, firstInstance, firstDevice));
    if (firstDevice != 1) report.firstAsked = firstDevice;
    // A fragment without a final line end is ended before the next one is joined to it, or its
    // last line would swallow the next one's first.
    const size_t lineEnd = !output.empty() && output.back() != '\n' ? 1 : 0;
    FragmentReader reader(0);
    result.error = fetch(instance, report.url,
                         options.maxBytes - std::min(options.maxBytes, output.size() + lineEnd),
                         reader, options);
    if (result.error.empty()) result.error = nulByteIn(instance, reader.text());
    if (!result.error.empty()) return result;
    // An instance that ignores first-device numbers its devices from 1 again, over the
    // devices of the instances before it.
    if (report.firstAsked && reader.lowestDevice() && *reader.lowestDevice() < firstDevice) {
      result.error = "Received duplicate device number; instance at " + instance.host +
                     " may not support multi-TRELK configuration";
      return result;
    }
    report.bytes = reader.text().size();
    report.devices = reader.deviceCount();
    report.lastDevice = reader.lastDevice();
    if (!reader.text().empty() && lineEnd != 0) output += '\n';
    output += reader.text();
    if (reader.lastDevice() && *reader.lastDevice() > 0) firstDevice = *reader.lastDevice() + 1;
    firstInstance = false;
    result.instances.push_back(std::move(report));
  }
  const std::string path = startupFilePath(dataFolder);
  const std::string keptOld = ", so \"" + path + "\" was left as it was.";
  if (definesNothing(output)) {
    result.error = "The downloaded configuration is empty" + keptOld;
    return result;
  }
  result.error = replaceFile(path, kByteOrderMark + withCrLf(output),
                             [&](const std::string& scratch) -> std::string {
                               const std::string error = check(scratch);
                               if (error.empty()) return {};
                               return "The downloaded configuration does not load" + keptOld +
                                      "\n\nReason: " + cut(locatedInDownload(error, scratch));
                             });
  return result;
}

}  // namespace

DownloadResult downloadConfiguration(const std::string& dataFolder,
                                     const std::vector<TrelkInstance>& instances,
                                     const ConfigurationCheck& check,
                                     const DownloadOptions& options) {
  try {
    return download(dataFolder, instances, check, options);
  } catch (const std::exception& error) {
    DownloadResult result;
    result.error = "Unable to download configuration.\n\nReason: " + cut(error.what());
    return result;
  }
}

}  // namespace qelm
