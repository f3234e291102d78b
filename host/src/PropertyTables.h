#pragma once
// The host's static property tables: for each kind of set, the properties the standard defines for it, with
// their type, dimension, whether a plug-in may write them, and the default values a fresh set holds.

#include <optional>
#include <string>
#include <vector>

#include "host/PropertySet.h"

namespace kesto::host::detail {

std::vector<PropertyDef> hostTable();
std::vector<PropertyDef> effectDescriptorTable();
std::vector<PropertyDef> effectInstanceTable();
std::vector<PropertyDef> clipDescriptorTable();
std::vector<PropertyDef> clipInstanceTable();
// Nothing for a parameter type the host does not implement.
std::optional<std::vector<PropertyDef>> paramTable(const std::string &paramType, bool instance);
std::vector<PropertyDef> paramSetTable();
std::vector<PropertyDef> imageTable();
std::vector<PropertyDef> interactDescriptorTable();
std::vector<PropertyDef> interactInstanceTable();

}  // namespace kesto::host::detail
