// Reads arbitrary bytes as what an API client sends: the first line as a request's target, the
// rest as an item's PUT body. A target names a route or none, with numbers in range and a report
// path that stays below the report folder; a body gives a set request for exactly the target's
// item, or a reason; the answer to a reason is JSON that reads back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "remote/plant_api.h"

namespace {

using namespace qelm;
using namespace qelm::remote;

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t end = bytes.find('\n');
  const std::string_view target = bytes.substr(0, end);
  const std::string_view body =
      end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);

  const ApiTarget parsed = parseApiTarget(target);
  if (parsed.route == ApiRoute::kReport) {
    // Below the report folder: relative, no step up, no control character.
    require(!parsed.file.empty() && parsed.file.front() != '/');
    for (size_t start = 0; start <= parsed.file.size();) {
      const size_t slash = std::min(parsed.file.find('/', start), parsed.file.size());
      require(std::string_view(parsed.file).substr(start, slash - start) != "..");
      start = slash + 1;
    }
    for (const char c : parsed.file)
      require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
  }

  ApiTarget item;
  item.route = ApiRoute::kItem;
  item.id = 3;
  item.page = 2;
  item.item = 1;
  std::string error;
  const std::optional<PlantRequest> request = readItemValue(item, body, error);
  if (request) {
    require(error.empty());
    require(request->kind == PlantRequest::Kind::kSetItem && request->device == 3 &&
            request->page == 2 && request->item == 1);
    require(request->number.has_value() != request->text.has_value());
    if (request->text) require(request->text->size() <= kMostValueBytes);
  } else {
    require(!error.empty());
    require(nlohmann::json::accept(errorJson(error)));
  }
  return 0;
}
