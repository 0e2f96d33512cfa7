#pragma once

// A text picture of everything a load put in a catalog, so that two loads of one configuration
// (text, and its exported binary form) can be compared in one go. Shared by the loader tests and
// the loader fuzz target.

#include <sstream>
#include <string>
#include <vector>

#include "automation/auto_action.h"
#include "config/config_catalog.h"
#include "config/template.h"
#include "model/model.h"

namespace qelm {

/// "-" for no value, else every field: "i/f/text/address".
inline std::string describeValue(const Value& value) {
  if (!value.valid) return "-";
  std::ostringstream out;
  out << value.i << "/" << value.f << "/" << value.text << "/" << value.address;
  return out.str();
}

/// Each address as "a.b.c.d [slot]", "s" after a secondary-channels one.
inline std::string describeAddresses(const std::vector<CardAddress>& addresses) {
  std::string text;
  for (const CardAddress& address : addresses)
    text += address.text() + (address.secondaryChannels ? "s " : " ");
  return text;
}

/// One line per model, parameter, template, page, item, device, simulator, action and card value.
inline std::string describeCatalog(const ConfigCatalog& catalog) {
  std::ostringstream out;
  out << "banner " << catalog.banner << "\n";
  for (const auto& [name, model] : catalog.models) {
    out << "model " << name << " monitors " << model->monitorModules().size() << "\n";
    for (const Parameter* p : model->parameters()) {
      out << "  " << p->name() << " kind " << static_cast<int>(p->kind()) << " type "
          << static_cast<int>(p->type()) << " int " << p->intMinimum() << ".." << p->intMaximum()
          << "/" << p->intStep() << " float " << p->floatMinimum() << ".." << p->floatMaximum()
          << "/" << p->floatStep() << " unit " << p->unit() << " slow " << p->slow() << " ro "
          << p->readOnly() << " periodic " << p->periodic() << " default "
          << describeValue(p->defaultValue()) << " display " << describeValue(p->displayMinimum())
          << " " << describeValue(p->displayMaximum()) << " choices " << p->choices().count()
          << " named " << p->namedValues().size();
      if (p->kind() == ParameterKind::kOpenGear || p->kind() == ParameterKind::kArrayElement)
        out << " oid " << p->oid();
      if (p->kind() == ParameterKind::kArrayElement) out << ":" << p->elementIndex();
      out << "\n";
    }
  }
  for (const auto& [name, templ] : catalog.templates) {
    out << "template " << name << " of " << templ->model().name() << "\n";
    for (const auto& [number, page] : templ->pages()) {
      out << "  page " << number << " " << page.name << " type " << static_cast<int>(page.type)
          << "\n";
      for (const TemplateItem& item : page.items) {
        out << "    item " << item.index << " " << item.parameter->name() << " at";
        for (int32_t a : item.addressIndexes)
          out << " " << a;
        out << " name " << item.displayName << " set " << describeValue(item.setValue) << " "
            << item.setText << "\n";
      }
    }
  }
  for (const auto& [number, device] : catalog.devices.devices()) {
    out << "device " << number << " " << device->longName() << " linked "
        << (device->templateLink() != nullptr) << "\n";
    for (const auto& [pageNumber, page] : device->pages()) {
      out << "  page " << pageNumber << " " << page->longName() << " type "
          << static_cast<int>(page->type()) << "\n";
      for (const PageItem& item : page->items()) {
        out << "    item " << item.index << " " << item.parameter->model()->name() << "/"
            << item.parameter->name() << " at " << describeAddresses(item.addresses) << "name "
            << item.displayName << " set " << describeValue(item.setValue) << " " << item.setText
            << "\n";
      }
    }
  }
  for (const auto& [address, model] : catalog.simulators)
    out << "simulator " << address.text() << " " << model->name() << "\n";
  for (const auto& [trigger, actions] : catalog.inputActions.triggers()) {
    for (const AutoAction* action : actions) {
      out << "input " << trigger.mask << "/" << trigger.level << " " << action->model().name()
          << " at " << describeAddresses(action->addresses());
      if (const auto* setter = dynamic_cast<const AutoSetter*>(action))
        out << "set " << setter->parameter().name() << " " << describeValue(setter->value());
      if (const auto* monitor = dynamic_cast<const AutoMonitorAction*>(action))
        out << "monitor " << monitor->monitorName() << " " << monitor->actionCode();
      out << "\n";
    }
  }
  for (const auto& [address, values] : catalog.localCardValues) {
    for (const LocalCardValue& local : values)
      out << "card " << address.text() << " " << local.name << " " << describeValue(local.value)
          << "\n";
  }
  return out.str();
}

}  // namespace qelm
