#include "config/template.h"

#include <algorithm>

namespace qelm {
namespace {

bool before(const TemplateItem& item, int32_t index) {
  return item.index < index;
}

}  // namespace

bool TemplatePage::addItem(TemplateItem item) {
  // Items mostly arrive in ascending order, so the end is the likely place.
  auto place = items.end();
  if (!items.empty() && items.back().index >= item.index) {
    place = std::lower_bound(items.begin(), items.end(), item.index, before);
    if (place->index == item.index) return false;
  }
  items.insert(place, std::move(item));
  return true;
}

const TemplateItem* TemplatePage::item(int32_t index) const {
  const auto it = std::lower_bound(items.begin(), items.end(), index, before);
  return it != items.end() && it->index == index ? &*it : nullptr;
}

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
    page->reserveItems(source.items.size());
    for (const TemplateItem& item : source.items) {
      std::vector<CardAddress> bound;
      bound.reserve(item.addressIndexes.size());
      for (const int32_t position : item.addressIndexes) {
        if (position >= 0 && static_cast<std::size_t>(position) < addresses.size()) {
          bound.push_back(addresses[static_cast<std::size_t>(position)]);
        }
      }
      // A refused index is beyond the layout's capacity: such items are left out silently.
      page->addItem(item.index, item.parameter, std::move(bound), item.displayName, item.setValue,
                    item.setText);
    }
    result.push_back(std::move(page));
  }
  return result;
}

}  // namespace qelm
