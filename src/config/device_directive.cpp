// The "device" directive: an entry of the device list with its pages bound to cards. The device
// and its pages are held by this parser until the definition is complete, so an error leaves
// nothing of them behind.
#include "config/config_catalog.h"
#include "config/config_loader.h"
#include "config/directive_support.h"
#include "config/directives.h"
#include "config/template.h"
#include "text/text.h"

namespace qelm {
namespace {

constexpr int32_t kMaxPageNumber = 999;
constexpr int32_t kMaxDeviceNumber = 999;
constexpr int32_t kMaxItemNumber = 32767;

// What the items of one device definition may refer to.
struct DeviceSource {
  const Template* from = nullptr;      // "from-template", or null
  int64_t fromLine = 0;                // line of the template's name
  std::vector<CardAddress> addresses;  // the device's addresses, as written
};

// `referenceLine`: where the reference was written; the reader has moved on since.
Parameter* findInModel(ConfigLoader& loader, const Model& model,
                       const ParameterReference& reference, int64_t referenceLine,
                       const char* whichModel) {
  Parameter* parameter = reference.find(model);
  if (parameter == nullptr) {
    if (reference.byOid) {
      loader.failAt(referenceLine, "device item directive uses an oid " + reference.text() +
                                       " not defined in the " + whichModel + " model");
    }
    loader.failAt(referenceLine, "device item directive uses a parameter (\"" + reference.text() +
                                     "\") not defined in the " + whichModel + " model");
  }
  return parameter;
}

// Address indexes name the device's addresses counting from 1.
std::vector<CardAddress> readAddressIndexes(ConfigLoader& loader, const DeviceSource& source) {
  std::vector<CardAddress> addresses;
  const auto provided = static_cast<int32_t>(source.addresses.size());
  while (const std::optional<int32_t> index = currentNumber(loader)) {
    if (*index == 0 || *index > kMaxItemNumber) {
      loader.fail("device item directive uses illegal address index");
    }
    if (*index > provided) {
      loader.fail(formattedText(
          "device item directive refers to address %d, but only %d addresses are provided", *index,
          provided));
    }
    addresses.push_back(source.addresses[static_cast<std::size_t>(*index - 1)]);
    loader.advance();
  }
  // An item without cards could only be bound to a panel setting, which no configured model
  // has; refusing it here keeps unbindable items away from realization. The item's parameter
  // was its last token.
  if (addresses.empty()) {
    loader.failAtPrevious(
        "device item directive without from-model must give at least one address index");
  }
  return addresses;
}

void parseDeviceItem(ConfigLoader& loader, const DeviceSource& source, Page& page) {
  ConfigToken& token = loader.token();
  const std::optional<int32_t> number = currentNumber(loader);
  if (!number || *number < 1 || *number > kMaxItemNumber) {
    loader.fail("bad item number in device item definition");
  }
  const int64_t numberLine = loader.tokenLine();
  loader.advance();
  const std::optional<ParameterReference> reference = currentParameterReference(loader);
  if (!reference) loader.fail("Error parsing oid in device item definition");
  const int64_t referenceLine = loader.tokenLine();
  loader.advance();

  Parameter* parameter = nullptr;
  std::vector<CardAddress> addresses;
  if (token.isKeyword(Keyword::kFromModel)) {
    loader.advance();
    if (!token.asString()) loader.fail("bad model name in device from-model directive");
    const std::string modelName = token.text();
    loader.advance();
    const Model* model = loader.findModel(modelName);
    if (model == nullptr)
      loader.failAtPrevious("unrecognized model name in device from-model directive");
    parameter = findInModel(loader, *model, *reference, referenceLine, "requested");
    addresses = readAddressList(loader);
    if (addresses.empty()) {
      loader.failAtPrevious(
          "device item from-model specification must include IP address(es) and slot number(s)");
    }
  } else {
    if (source.from == nullptr) {
      loader.failAt(referenceLine,
                    "item definition in a device without from-template must specify from-model");
    }
    parameter = findInModel(loader, source.from->model(), *reference, referenceLine, "template");
    addresses = readAddressIndexes(loader, source);
  }

  std::string displayName;
  Value setValue;
  std::string setText;
  for (;;) {
    if (token.isKeyword(Keyword::kName)) {
      loader.advance();
      if (!token.asString())
        loader.fail("nothing following name keyword in device item definition");
      displayName = token.text();
      loader.advance();
    } else if (token.isKeyword(Keyword::kSet)) {
      loader.advance();
      if (!readValueFor(loader, *parameter, setValue)) {
        loader.fail(
            "set directive in device item definition must be followed by a value compatible with "
            "the associated parameter");
      }
      if (token.isKeyword(Keyword::kText)) {
        loader.advance();
        if (!token.asString()) {
          loader.fail("nothing following text keyword in device item set definition");
        }
        setText = token.text();
        loader.advance();
      }
    } else {
      break;
    }
  }

  if (!page.addItem(*number - 1, parameter, std::move(addresses), std::move(displayName),
                    std::move(setValue), std::move(setText))) {
    loader.failAt(numberLine, formattedText("item number (%d) is illegal for page type", *number));
  }
}

// Reads a page number 0..999 for the directive the message names, and consumes it.
int32_t readPageNumber(ConfigLoader& loader, const char* message) {
  const std::optional<int32_t> number = currentNumber(loader);
  if (!number || *number > kMaxPageNumber) loader.fail(message);
  loader.advance();
  return *number;
}

// Template items whose address indexes all lie beyond the device's addresses end up bound to no
// card; like device items without addresses they cannot be realized. Reported where the
// template and its addresses were named.
void refuseItemsWithoutAddresses(ConfigLoader& loader, const DeviceSource& source,
                                 const std::map<int32_t, std::unique_ptr<Page>>& pages) {
  for (const auto& [number, page] : pages) {
    for (const PageItem& item : page->items()) {
      if (!item.addresses.empty()) continue;
      loader.failAt(
          source.fromLine,
          formattedText(
              "item %d of page %d from template \"%s\" uses only addresses beyond the %d provided",
              item.index + 1, number, source.from != nullptr ? source.from->name().c_str() : "",
              static_cast<int>(source.addresses.size())));
    }
  }
}

}  // namespace

void parseDeviceDefinition(ConfigLoader& loader) {
  ConfigToken& token = loader.token();
  loader.advance();
  const std::optional<int32_t> number = currentNumber(loader);
  if (!number || *number < 1 || *number > kMaxDeviceNumber) {
    loader.fail("bad device number in device definition");
  }
  const int64_t numberLine = loader.tokenLine();
  loader.advance();
  if (!token.asString()) loader.fail("bad device name in device definition");
  auto device = std::make_unique<Device>(*number, token.text());
  loader.advance();

  DeviceSource source;
  std::map<int32_t, std::unique_ptr<Page>> pages;
  if (token.isKeyword(Keyword::kFromTemplate)) {
    loader.advance();
    if (!token.asString()) loader.fail("bad template name in device definition");
    const std::string templateName = token.text();
    source.fromLine = loader.tokenLine();
    loader.advance();
    source.from = loader.findTemplate(templateName);
    if (source.from == nullptr)
      loader.failAtPrevious("unrecognized template name in device definition");
    source.addresses = readAddressList(loader);
    if (source.addresses.empty()) {
      loader.failAtPrevious(
          "device from-template specification must include IP address(es) and slot number(s)");
    }
    for (auto& page : source.from->makePages(source.addresses)) {
      const int32_t pageNumber = page->number();
      pages.emplace(pageNumber, std::move(page));
    }
  }

  // Navigation keeps the page number across devices that share a template only while the pages
  // are the template's own.
  bool pagesChanged = false;
  for (;;) {
    if (token.isKeyword(Keyword::kNoPage)) {
      loader.advance();
      const int32_t pageNumber =
          readPageNumber(loader, "bad page number in device no-page directive");
      if (pages.erase(pageNumber) != 0) pagesChanged = true;
    } else if (token.isKeyword(Keyword::kPage)) {
      loader.advance();
      const int32_t pageNumber =
          readPageNumber(loader, "bad page number in device page definition");
      if (!token.asString()) loader.fail("bad page name in device page definition");
      std::string pageName = token.text();
      loader.advance();
      const PageType type = readPageType(loader);
      auto page = std::make_unique<Page>(pageNumber, std::move(pageName), type);
      Page& current = *page;
      pages.insert_or_assign(pageNumber, std::move(page));
      pagesChanged = true;
      while (token.isKeyword(Keyword::kItem)) {
        loader.advance();
        parseDeviceItem(loader, source, current);
      }
    } else {
      break;
    }
  }

  refuseItemsWithoutAddresses(loader, source, pages);
  device->addPages(std::move(pages));
  if (source.from != nullptr && !pagesChanged) device->setTemplateLink(source.from);
  // A device left without pages would show nothing; it is dropped without a message.
  if (device->pages().empty()) return;
  if (!loader.catalog().devices.add(std::move(device))) {
    loader.failAt(numberLine,
                  formattedText("duplicate device number (%d) in device definition", *number));
  }
}

}  // namespace qelm
