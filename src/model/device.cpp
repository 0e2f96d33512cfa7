#include "model/device.h"

#include <algorithm>
#include <charconv>

#include "model/target.h"

namespace qelm {
namespace {

// Same text as "%d", without a formatted print: thousands of pages are made per load.
std::string numberText(int32_t n) {
  char buffer[16];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
  return std::string(buffer, result.ptr);
}

}  // namespace

int pageCapacity(PageType type) {
  switch (type) {
    case PageType::k8Up:
      return 8;
    case PageType::k4Up:
      return 4;
    case PageType::kCc:
      return 18;
    case PageType::kLm:
      return 10;
  }
  return 0;
}

// --- Page --------------------------------------------------------------------------------------

Page::Page(int32_t number, std::string name, PageType type)
    : Item(number, number, numberText(number), std::move(name)), type_(type) {}

Page::~Page() = default;

bool Page::addItem(int32_t index, Parameter* parameter, std::vector<CardAddress> addresses,
                   std::string displayName, Value setValue, std::string setText) {
  if (index < 0 || index >= capacity()) return false;
  indexSet_.reset();
  // Items mostly arrive in ascending order, so the end is the likely place.
  auto place = items_.end();
  if (!items_.empty() && items_.back().index >= index) {
    place = std::lower_bound(items_.begin(), items_.end(), index,
                             [](const PageItem& entry, int32_t at) { return entry.index < at; });
  }
  const bool present = place != items_.end() && place->index == index;
  if (parameter == nullptr) {
    if (present) items_.erase(place);
    return true;
  }
  if (!present) place = items_.emplace(place);
  PageItem& item = *place;
  item.index = index;
  item.parameter = parameter;
  item.targets.clear();
  item.addresses = std::move(addresses);
  item.displayName = std::move(displayName);
  item.setValue = std::move(setValue);
  item.setText = std::move(setText);
  return true;
}

const PageItem* Page::item(int32_t index) const {
  const auto it =
      std::lower_bound(items_.begin(), items_.end(), index,
                       [](const PageItem& entry, int32_t at) { return entry.index < at; });
  return it != items_.end() && it->index == index ? &*it : nullptr;
}

Target* Page::firstTarget(int32_t index) const {
  const PageItem* found = item(index);
  if (found == nullptr || found->targets.empty()) return nullptr;
  return found->targets.front();
}

const std::set<int32_t>& Page::indexSet() const {
  if (!indexSet_) {
    std::set<int32_t> indexes;
    for (const PageItem& entry : items_) {
      if (!entry.targets.empty()) indexes.insert(entry.index);
    }
    indexSet_ = std::move(indexes);
  }
  return *indexSet_;
}

void Page::realize(TargetResolver& resolver) {
  indexSet_.reset();
  for (PageItem& entry : items_) {
    entry.targets.clear();
    if (entry.addresses.empty()) {
      // Only the panel's own settings live without a card; globalCode() raises the engine's
      // text for anything else.
      static_cast<void>(entry.parameter->globalCode());
      if (Target* target = resolver.panelTarget(*entry.parameter)) entry.targets.push_back(target);
      continue;
    }
    for (const CardAddress& address : entry.addresses) {
      if (Target* target = resolver.cardTarget(address, *entry.parameter)) {
        entry.targets.push_back(target);
      }
    }
  }
}

void Page::watch(bool on) const {
  for (const int32_t index : indexSet()) {
    for (Target* target : item(index)->targets)
      target->watch(on);
  }
}

void changeWatchedPage(const Page* previous, const Page* next) {
  if (previous == next) return;
  if (next != nullptr) next->watch(true);
  if (previous != nullptr) previous->watch(false);
}

// --- Device ------------------------------------------------------------------------------------

Device::Device(int32_t number, std::string name)
    : Item(number, number, numberText(number), std::move(name)) {}

Device::~Device() = default;

bool Device::addPage(std::unique_ptr<Page> page) {
  if (page == nullptr || pages_.contains(page->number())) return false;
  page->device_ = this;
  const int32_t number = page->number();
  pages_.emplace(number, std::move(page));
  pageList_.reset();
  return true;
}

void Device::addPages(std::map<int32_t, std::unique_ptr<Page>> pages) {
  while (!pages.empty()) {
    auto node = pages.extract(pages.begin());
    if (node.mapped() == nullptr) continue;
    node.mapped()->device_ = this;
    // A refused node (a page of that number exists) is dropped with `node`.
    pages_.insert(pages_.end(), std::move(node));
  }
  pageList_.reset();
}

Page* Device::page(int32_t number) const {
  const auto it = pages_.find(number);
  return it == pages_.end() ? nullptr : it->second.get();
}

Page* Device::firstPage() const {
  return pages_.empty() ? nullptr : pages_.begin()->second.get();
}

Parameter& Device::pageList() {
  if (pageList_ == nullptr) {
    pageList_ = Parameter::makeLocal("[Page List]");
    for (const auto& [number, entry] : pages_)
      pageList_->addSharedChoice(entry.get());
  }
  return *pageList_;
}

Page* Device::choosePage(const Page* current) const {
  if (current != nullptr && templateLink_ != nullptr && current->device() != nullptr &&
      current->device()->templateLink() == templateLink_) {
    // Devices copied unchanged from one template have the same pages, so the operator stays on
    // the page of that number. A missing page (not possible for such devices) falls through.
    if (Page* same = page(current->number())) return same;
  }
  return firstPage();
}

void Device::realize(TargetResolver& resolver) {
  for (auto& [number, entry] : pages_)
    entry->realize(resolver);
}

// --- DeviceList --------------------------------------------------------------------------------

DeviceList::DeviceList() = default;

// The list parameter is declared last, so it goes before the devices it refers to.
DeviceList::~DeviceList() = default;

bool DeviceList::add(std::unique_ptr<Device> device) {
  if (device == nullptr || devices_.contains(device->number())) return false;
  const int32_t number = device->number();
  devices_.emplace(number, std::move(device));
  deviceList_.reset();
  return true;
}

Device* DeviceList::device(int32_t number) const {
  const auto it = devices_.find(number);
  return it == devices_.end() ? nullptr : it->second.get();
}

void DeviceList::setPanelDevice(Device* device) {
  panelDevice_ = device;
  deviceList_.reset();
}

Parameter& DeviceList::deviceList() {
  if (deviceList_ == nullptr) {
    deviceList_ = Parameter::makeLocal("[Device List]");
    for (const auto& [number, entry] : devices_)
      deviceList_->addSharedChoice(entry.get());
    if (panelDevice_ != nullptr) deviceList_->addSharedChoice(panelDevice_);
  }
  return *deviceList_;
}

void DeviceList::realize(TargetResolver& resolver) {
  for (auto& [number, entry] : devices_)
    entry->realize(resolver);
}

}  // namespace qelm
