#include "config/template.h"

namespace qelm {

Template::Template(std::string name, Model& model) : name_(std::move(name)), model_(&model) {}

Template::~Template() = default;

TemplatePage* Template::addPage(int32_t number, std::string name, PageType type) {
  const auto [it, inserted] = pages_.try_emplace(number);
  if (!inserted) return nullptr;
  TemplatePage& page = it->second;
  page.number = number;
  page.name = std::move(name);
  page.type = type;
  return &page;
}

std::vector<std::unique_ptr<Page>> Template::makePages(
    const std::vector<CardAddress>& addresses) const {
  std::vector<std::unique_ptr<Page>> result;
  result.reserve(pages_.size());
  for (const auto& [number, source] : pages_) {
    auto page = std::make_unique<Page>(number, source.name, source.type);
    for (const auto& [index, item] : source.items) {
      std::vector<CardAddress> bound;
      bound.reserve(item.addressIndexes.size());
      for (const int32_t position : item.addressIndexes) {
        if (position >= 0 && static_cast<std::size_t>(position) < addresses.size()) {
          bound.push_back(addresses[static_cast<std::size_t>(position)]);
        }
      }
      // A refused index is beyond the layout's capacity: such items are left out silently.
      page->addItem(index, item.parameter, std::move(bound), item.displayName, item.setValue,
                    item.setText);
    }
    result.push_back(std::move(page));
  }
  return result;
}

}  // namespace qelm
