#include "model/item.h"

#include <cassert>
#include <cmath>

namespace qelm {

Item::Item(int32_t number, int32_t value, std::string shortName, std::string longName)
    : number_(number),
      value_(value),
      shortName_(std::move(shortName)),
      longName_(std::move(longName)) {}

Item::~Item() = default;

void ItemList::append(Item* item) {
  assert(item != nullptr && "ItemList entries must exist");
  const int position = count();
  items_.push_back(item);
  byNumber_.emplace(item->number(), position);
  if (item->value() != Item::kNoValue) byValue_.emplace(item->value(), position);
}

void ItemList::appendWithValue(Item* item) {
  assert(item != nullptr && "ItemList entries must exist");
  const int position = count();
  items_.push_back(item);
  byNumber_.emplace(item->number(), position);
  byValue_.emplace(item->value(), position);
}

Item* ItemList::at(int position) const {
  if (position < 0 || position >= count()) return nullptr;
  return items_[static_cast<std::size_t>(position)];
}

Item* ItemList::byNumber(int32_t number) const {
  return at(positionOfNumber(number));
}

int ItemList::positionOfNumber(int32_t number) const {
  const auto it = byNumber_.find(number);
  return it == byNumber_.end() ? -1 : it->second;
}

int ItemList::positionOfValue(int32_t value) const {
  const auto it = byValue_.find(value);
  return it == byValue_.end() ? -1 : it->second;
}

int ItemList::positionOfShortName(std::string_view name) const {
  for (int k = 0; k < count(); ++k) {
    if (items_[static_cast<std::size_t>(k)]->shortName() == name) return k;
  }
  return -1;
}

bool NamedValues::add(float key, std::string name) {
  if (std::isnan(key)) return false;
  return names_.emplace(key, std::move(name)).second;
}

const std::string* NamedValues::find(float key) const {
  const auto it = names_.find(key);
  return it == names_.end() ? nullptr : &it->second;
}

}  // namespace qelm
