#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/card_address.h"
#include "model/item.h"
#include "model/parameter.h"
#include "model/value.h"

namespace qelm {

// Targets and templates belong to other subsystems; pages only hold pointers to them.
class Target;
class Template;
class Device;

/// Layout of a page; the numbers are stored in pages and in the binary configuration.
enum class PageType : int32_t {
  k8Up = 1,  ///< eight parameter items (the default)
  k4Up = 2,  ///< four parameter items
  kCc = 3,   ///< colour corrector layout
  kLm = 4,   ///< loudness monitor page
};

/// Number of items a page of `type` holds (items are numbered 1..capacity); 0 for an unknown type.
int pageCapacity(PageType type);

/// One item of a page: a parameter shown and edited on one or more cards at once.
struct PageItem {
  /// Position on the page: the item number minus one.
  int32_t index = 0;
  /// The parameter (not owned); never null for a stored item.
  Parameter* parameter = nullptr;
  /// Cards the item works on, in the order given; empty for a panel-side (global) item.
  std::vector<CardAddress> addresses;
  /// Filled by realization: one per address that gave a target, or the one panel-side target.
  std::vector<Target*> targets;
  /// Shown instead of the parameter name when not empty.
  std::string displayName;
  /// When valid the item is a preset: operating it stores this value.
  Value setValue;
  /// The preset's label; may be empty.
  std::string setText;
};

/// Where realization finds targets: the host groups of the communication work, or a test double.
/// A null result means "no target can be made" and is skipped.
class TargetResolver {
 public:
  virtual ~TargetResolver() = default;
  /// The target for `parameter` on the card at `address`, created on first request; or null.
  virtual Target* cardTarget(const CardAddress& address, Parameter& parameter) = 0;
  /// The panel-side target of a Global parameter; or null.
  virtual Target* panelTarget(Parameter& parameter) = 0;
};

/// A numbered page of items of one device. Its number is also its value, so a device's page list
/// is an ordinary choice list of its pages.
class Page : public Item {
 public:
  /// `number` 0..999; short name is the number in decimal, long name `name`.
  Page(int32_t number, std::string name, PageType type);
  ~Page() override;

  /// Layout code.
  PageType type() const { return type_; }
  /// Number of item positions (see `pageCapacity`).
  int capacity() const { return pageCapacity(type_); }
  /// The device holding this page; null until added to one.
  Device* device() const { return device_; }

  /// Puts an item at `index` (item number minus one), replacing any item there. False, and
  /// nothing changed, when `index` is outside 0..capacity-1. A null `parameter` only clears the
  /// position (an empty item).
  bool addItem(int32_t index, Parameter* parameter, std::vector<CardAddress> addresses,
               std::string displayName = {}, Value setValue = {}, std::string setText = {});
  /// Makes room for `count` items, so adding that many moves nothing.
  void reserveItems(std::size_t count) { items_.reserve(count); }
  /// Item at `index`, or null. The pointer stays valid until an item is added or removed.
  const PageItem* item(int32_t index) const;
  /// Items by index, ascending.
  const std::vector<PageItem>& items() const { return items_; }
  /// First target of the item at `index`; null when there is no item or it has no target.
  Target* firstTarget(int32_t index) const;

  /// Indexes of the items that hold at least one target, ascending (empty before realization):
  /// the items that are watched and refreshed.
  const std::set<int32_t>& indexSet() const;

  /// Binds every item, in index order, to its targets: an item without addresses to the
  /// panel-side target of its parameter, otherwise to one card target per address, in order.
  /// Throws the text "Requested global code for non-global parameter" for an item without
  /// addresses whose parameter is not Global. Realizing again replaces the targets.
  void realize(TargetResolver& resolver);
  /// Watches (`on`) or unwatches every target of every item in the index set.
  void watch(bool on) const;

  /// Called each time the page is shown; nothing for ordinary pages.
  virtual void activate() {}
  /// Called when another page replaces this one; does nothing.
  virtual void deactivate() {}

 private:
  friend class Device;

  PageType type_;
  Device* device_ = nullptr;
  // Ascending by index. A page holds at most 18 items and thousands of pages are made per load,
  // so a sorted vector beats a tree in both time and memory.
  std::vector<PageItem> items_;
  mutable std::optional<std::set<int32_t>> indexSet_;
};

/// Puts `next` on show for watching: watches its targets first, then unwatches those of
/// `previous`, so a target both pages show never drops to zero watchers. Either may be null.
void changeWatchedPage(const Page* previous, const Page* next);

/// An entry of the device list: numbered pages bound to cards. Its number is also its value.
class Device : public Item {
 public:
  /// `number` 1..999 from the configuration, 0 for the panel's own device; short name is the
  /// number in decimal, long name `name`.
  Device(int32_t number, std::string name);
  ~Device() override;

  /// Takes the page and becomes its device; false (the page is dropped) when a page of that
  /// number exists.
  bool addPage(std::unique_ptr<Page> page);
  /// Takes every page as `addPage` would, reusing the map's entries rather than copying them.
  void addPages(std::map<int32_t, std::unique_ptr<Page>> pages);
  /// Pages by number, ascending.
  const std::map<int32_t, std::unique_ptr<Page>>& pages() const { return pages_; }
  /// Page with this number, or null.
  Page* page(int32_t number) const;
  /// Lowest-numbered page, or null when there are none.
  Page* firstPage() const;

  /// Choice parameter "[Page List]" whose entries are the pages in ascending number; built on
  /// first use, rebuilt after a page is added.
  Parameter& pageList();

  /// The template the pages were copied from unchanged; null otherwise. Only compared.
  const Template* templateLink() const { return templateLink_; }
  /// Sets the template link (null: none).
  void setTemplateLink(const Template* link) { templateLink_ = link; }

  /// The page to show when this device is newly selected while `current` is on show (null:
  /// nothing on show): the page of the same number when both devices share a template link and
  /// this device has it, otherwise the first page. Null when the device has no pages.
  Page* choosePage(const Page* current) const;

  /// Realizes every page in ascending number.
  void realize(TargetResolver& resolver);

 private:
  std::map<int32_t, std::unique_ptr<Page>> pages_;
  std::unique_ptr<Parameter> pageList_;
  const Template* templateLink_ = nullptr;
};

/// The devices the operator browses: the configured ones by number, then the panel's own.
class DeviceList {
 public:
  DeviceList();
  ~DeviceList();
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;

  /// Takes the device; false (the device is dropped) when its number is already listed.
  bool add(std::unique_ptr<Device> device);
  /// Configured devices by number, ascending.
  const std::map<int32_t, std::unique_ptr<Device>>& devices() const { return devices_; }
  /// Configured device with this number, or null.
  Device* device(int32_t number) const;

  /// The panel's own device (not owned; null: none), listed after all configured devices.
  void setPanelDevice(Device* device);
  /// The panel's own device, or null.
  Device* panelDevice() const { return panelDevice_; }

  /// Choice parameter "[Device List]": the devices in ascending number, then the panel's own;
  /// built on first use, rebuilt after a device is added or the panel's device changes.
  Parameter& deviceList();

  /// Realizes every configured device in ascending number (the panel's own device binds its
  /// targets itself).
  void realize(TargetResolver& resolver);

 private:
  std::map<int32_t, std::unique_ptr<Device>> devices_;
  Device* panelDevice_ = nullptr;
  std::unique_ptr<Parameter> deviceList_;
};

}  // namespace qelm
