#include "host/PropertySet.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "Registry.h"

namespace kesto::host {

struct PropertySet::Slot {
  PropertyDef def;
  std::vector<std::unique_ptr<std::string>> strings;
  std::vector<int> ints;
  std::vector<double> doubles;
  std::vector<void *> pointers;
  bool setByPlugin = false;

  int dimension() const {
    switch (def.type) {
      case PropType::String: return static_cast<int>(strings.size());
      case PropType::Int: return static_cast<int>(ints.size());
      case PropType::Double: return static_cast<int>(doubles.size());
      case PropType::Pointer: return static_cast<int>(pointers.size());
    }
    return 0;
  }
  bool variable() const { return def.dimension == 0; }

  void reset() {
    const int dim = def.dimension > 0 ? def.dimension : 0;
    auto pick = [&](auto &values, const auto &defaults, auto fallback) {
      values.clear();
      const std::size_t n = def.dimension > 0 ? static_cast<std::size_t>(dim) : defaults.size();
      for (std::size_t i = 0; i < n; ++i) {
        values.push_back(i < defaults.size() ? defaults[i] : fallback);
      }
    };
    switch (def.type) {
      case PropType::String: {
        std::vector<std::string> values;
        pick(values, def.strings, std::string());
        strings.clear();
        for (auto &v : values) {
          strings.push_back(std::make_unique<std::string>(std::move(v)));
        }
        break;
      }
      case PropType::Int: pick(ints, def.ints, 0); break;
      case PropType::Double: pick(doubles, def.doubles, 0.0); break;
      case PropType::Pointer: {
        const std::size_t n = def.dimension > 0 ? static_cast<std::size_t>(dim) : 0;
        pointers.assign(n, nullptr);
        break;
      }
    }
  }

  void resize(int n) {
    const auto size = static_cast<std::size_t>(n);
    switch (def.type) {
      case PropType::String:
        while (strings.size() < size) {
          strings.push_back(std::make_unique<std::string>());
        }
        break;
      case PropType::Int: ints.resize(std::max(ints.size(), size), 0); break;
      case PropType::Double: doubles.resize(std::max(doubles.size(), size), 0.0); break;
      case PropType::Pointer: pointers.resize(std::max(pointers.size(), size), nullptr); break;
    }
  }

  PropertyValue value() const {
    PropertyValue v;
    v.name = def.name;
    v.type = def.type;
    for (const auto &s : strings) {
      v.strings.push_back(*s);
    }
    v.ints = ints;
    v.doubles = doubles;
    v.pointers = pointers;
    return v;
  }
};

namespace {

// Stores one element; retires a replaced text so pointers already handed out stay valid.
void store(PropertySet::Slot &slot, std::size_t index, const void *value,
           std::vector<std::unique_ptr<std::string>> &retired) {
  switch (slot.def.type) {
    case PropType::String: {
      const char *text = *static_cast<const char *const *>(value);
      if (*slot.strings[index] == text) {
        return;
      }
      retired.push_back(std::move(slot.strings[index]));
      slot.strings[index] = std::make_unique<std::string>(text);
      return;
    }
    case PropType::Int: slot.ints[index] = *static_cast<const int *>(value); return;
    case PropType::Double: slot.doubles[index] = *static_cast<const double *>(value); return;
    case PropType::Pointer: slot.pointers[index] = *static_cast<void *const *>(value); return;
  }
}

void load(const PropertySet::Slot &slot, std::size_t index, void *out) {
  switch (slot.def.type) {
    case PropType::String:
      *static_cast<char **>(out) = const_cast<char *>(slot.strings[index]->c_str());
      return;
    case PropType::Int: *static_cast<int *>(out) = slot.ints[index]; return;
    case PropType::Double: *static_cast<double *>(out) = slot.doubles[index]; return;
    case PropType::Pointer: *static_cast<void **>(out) = slot.pointers[index]; return;
  }
}

std::size_t element_size(PropType type) {
  switch (type) {
    case PropType::String: return sizeof(const char *);
    case PropType::Int: return sizeof(int);
    case PropType::Double: return sizeof(double);
    case PropType::Pointer: return sizeof(void *);
  }
  return 1;
}

bool null_text_among(PropType type, int count, const void *values) {
  if (type != PropType::String) {
    return false;
  }
  const auto *texts = static_cast<const char *const *>(values);
  return std::any_of(texts, texts + count, [](const char *t) { return t == nullptr; });
}

}  // namespace

const char *propTypeName(PropType type) {
  switch (type) {
    case PropType::String: return "string";
    case PropType::Int: return "int";
    case PropType::Double: return "double";
    case PropType::Pointer: return "pointer";
  }
  return "?";
}

int PropertyValue::dimension() const {
  switch (type) {
    case PropType::String: return static_cast<int>(strings.size());
    case PropType::Int: return static_cast<int>(ints.size());
    case PropType::Double: return static_cast<int>(doubles.size());
    case PropType::Pointer: return static_cast<int>(pointers.size());
  }
  return 0;
}

std::string PropertyValue::toString() const {
  std::ostringstream out;
  out << name << ' ' << propTypeName(type) << '[' << dimension() << "] =";
  for (const auto &s : strings) {
    out << " \"" << s << '"';
  }
  for (int i : ints) {
    out << ' ' << i;
  }
  for (double d : doubles) {
    out << ' ' << d;
  }
  for (void *p : pointers) {
    out << ' ' << p;
  }
  return out.str();
}

PropertySet::PropertySet(std::string kindName, std::vector<PropertyDef> defs) : kindName_(std::move(kindName)) {
  slots_.reserve(defs.size());
  for (auto &def : defs) {
    Slot slot;
    slot.def = std::move(def);
    slot.reset();
    slots_.push_back(std::move(slot));
  }
}

std::shared_ptr<PropertySet> PropertySet::create(std::string kindName, std::vector<PropertyDef> defs) {
  std::shared_ptr<PropertySet> set(new PropertySet(std::move(kindName), std::move(defs)));
  set->token_ = detail::Registry::instance().add(detail::HandleKind::PropertySet, set, set);
  return set;
}

std::shared_ptr<PropertySet> PropertySet::create(std::string kindName, std::vector<PropertyDef> defs,
                                                 detail::HandleKind kind, std::weak_ptr<void> owner) {
  std::shared_ptr<PropertySet> set(new PropertySet(std::move(kindName), std::move(defs)));
  set->token_ = detail::Registry::instance().add(kind, std::move(owner), set);
  return set;
}

PropertySet::~PropertySet() { detail::Registry::instance().remove(token_); }

OfxPropertySetHandle PropertySet::handle() const { return detail::to_handle<OfxPropertySetHandle>(token_); }

PropertySet::Slot *PropertySet::find(const std::string &name) {
  for (auto &slot : slots_) {
    if (slot.def.name == name) {
      return &slot;
    }
  }
  return nullptr;
}

const PropertySet::Slot *PropertySet::find(const std::string &name) const {
  return const_cast<PropertySet *>(this)->find(name);
}

bool PropertySet::has(const std::string &name) const {
  std::lock_guard<std::mutex> lock(mu_);
  return find(name) != nullptr;
}

int PropertySet::dimension(const std::string &name) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *slot = find(name);
  return slot == nullptr ? -1 : slot->dimension();
}

std::optional<PropertyValue> PropertySet::get(const std::string &name) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *slot = find(name);
  if (slot == nullptr) {
    return std::nullopt;
  }
  return slot->value();
}

std::optional<std::string> PropertySet::getString(const std::string &name, int index) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *slot = find(name);
  if (slot == nullptr || slot->def.type != PropType::String || index < 0 || index >= slot->dimension()) {
    return std::nullopt;
  }
  return *slot->strings[static_cast<std::size_t>(index)];
}

std::optional<int> PropertySet::getInt(const std::string &name, int index) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *slot = find(name);
  if (slot == nullptr || slot->def.type != PropType::Int || index < 0 || index >= slot->dimension()) {
    return std::nullopt;
  }
  return slot->ints[static_cast<std::size_t>(index)];
}

std::optional<double> PropertySet::getDouble(const std::string &name, int index) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *slot = find(name);
  if (slot == nullptr || slot->def.type != PropType::Double || index < 0 || index >= slot->dimension()) {
    return std::nullopt;
  }
  return slot->doubles[static_cast<std::size_t>(index)];
}

std::optional<void *> PropertySet::getPointer(const std::string &name, int index) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *slot = find(name);
  if (slot == nullptr || slot->def.type != PropType::Pointer || index < 0 || index >= slot->dimension()) {
    return std::nullopt;
  }
  return slot->pointers[static_cast<std::size_t>(index)];
}

std::vector<PropertyValue> PropertySet::all() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<PropertyValue> out;
  for (const auto &slot : slots_) {
    out.push_back(slot.value());
  }
  return out;
}

std::vector<PropertyValue> PropertySet::pluginSetOrder() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<PropertyValue> out;
  for (std::size_t i : setOrder_) {
    out.push_back(slots_[i].value());
  }
  return out;
}

int PropertySet::pluginSetCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return setCount_;
}

void PropertySet::markSetByPlugin(std::size_t slotIndex) {
  ++setCount_;
  if (!slots_[slotIndex].setByPlugin) {
    slots_[slotIndex].setByPlugin = true;
    setOrder_.push_back(slotIndex);
  }
}

OfxStatus PropertySet::hostWrite(const std::string &name, PropType type, int index, const void *value) {
  std::lock_guard<std::mutex> lock(mu_);
  Slot *slot = find(name);
  if (slot == nullptr) {
    return kOfxStatErrUnknown;
  }
  if (slot->def.type != type) {
    return kOfxStatErrValue;
  }
  const int dim = slot->dimension();
  if (index < 0 || index > dim || (index == dim && !slot->variable())) {
    return kOfxStatErrBadIndex;
  }
  slot->resize(index + 1);
  store(*slot, static_cast<std::size_t>(index), value, retired_);
  return kOfxStatOK;
}

OfxStatus PropertySet::hostWriteN(const std::string &name, PropType type, int count, const void *values) {
  std::lock_guard<std::mutex> lock(mu_);
  Slot *slot = find(name);
  if (slot == nullptr) {
    return kOfxStatErrUnknown;
  }
  if (slot->def.type != type) {
    return kOfxStatErrValue;
  }
  if (count < 0 || (!slot->variable() && count > slot->def.dimension)) {
    return kOfxStatErrBadIndex;
  }
  if (slot->variable()) {
    // The whole value is replaced: keep retired texts alive, shrink the rest.
    for (std::size_t i = static_cast<std::size_t>(count); i < slot->strings.size(); ++i) {
      retired_.push_back(std::move(slot->strings[i]));
    }
    if (slot->strings.size() > static_cast<std::size_t>(count)) {
      slot->strings.resize(static_cast<std::size_t>(count));
    }
    if (slot->ints.size() > static_cast<std::size_t>(count)) {
      slot->ints.resize(static_cast<std::size_t>(count));
    }
    if (slot->doubles.size() > static_cast<std::size_t>(count)) {
      slot->doubles.resize(static_cast<std::size_t>(count));
    }
    if (slot->pointers.size() > static_cast<std::size_t>(count)) {
      slot->pointers.resize(static_cast<std::size_t>(count));
    }
  }
  slot->resize(count);
  const auto *bytes = static_cast<const unsigned char *>(values);
  for (int i = 0; i < count; ++i) {
    store(*slot, static_cast<std::size_t>(i), bytes + static_cast<std::size_t>(i) * element_size(type), retired_);
  }
  return kOfxStatOK;
}

OfxStatus PropertySet::setString(const std::string &name, const std::string &value, int index) {
  const char *text = value.c_str();
  return hostWrite(name, PropType::String, index, &text);
}
OfxStatus PropertySet::setInt(const std::string &name, int value, int index) {
  return hostWrite(name, PropType::Int, index, &value);
}
OfxStatus PropertySet::setDouble(const std::string &name, double value, int index) {
  return hostWrite(name, PropType::Double, index, &value);
}
OfxStatus PropertySet::setPointer(const std::string &name, void *value, int index) {
  return hostWrite(name, PropType::Pointer, index, &value);
}
OfxStatus PropertySet::setStrings(const std::string &name, const std::vector<std::string> &values) {
  std::vector<const char *> texts;
  for (const auto &v : values) {
    texts.push_back(v.c_str());
  }
  return hostWriteN(name, PropType::String, static_cast<int>(texts.size()), texts.data());
}
OfxStatus PropertySet::setInts(const std::string &name, const std::vector<int> &values) {
  return hostWriteN(name, PropType::Int, static_cast<int>(values.size()), values.data());
}
OfxStatus PropertySet::setDoubles(const std::string &name, const std::vector<double> &values) {
  return hostWriteN(name, PropType::Double, static_cast<int>(values.size()), values.data());
}

void PropertySet::copyValuesFrom(const PropertySet &other) {
  for (const auto &v : other.all()) {
    switch (v.type) {
      case PropType::String: setStrings(v.name, v.strings); break;
      case PropType::Int: setInts(v.name, v.ints); break;
      case PropType::Double: setDoubles(v.name, v.doubles); break;
      case PropType::Pointer:
        hostWriteN(v.name, PropType::Pointer, static_cast<int>(v.pointers.size()), v.pointers.data());
        break;
    }
  }
}

OfxStatus PropertySet::pluginSet(const char *name, PropType type, int index, const void *value) {
  if (name == nullptr) {
    return kOfxStatErrBadHandle;
  }
  if (type == PropType::String && *static_cast<const char *const *>(value) == nullptr) {
    return kOfxStatErrValue;
  }
  std::lock_guard<std::mutex> lock(mu_);
  Slot *slot = find(name);
  if (slot == nullptr) {
    return kOfxStatErrUnknown;
  }
  if (slot->def.type != type || !slot->def.pluginWritable) {
    return kOfxStatErrValue;
  }
  const int dim = slot->dimension();
  if (index < 0 || index > dim || (index == dim && !slot->variable())) {
    return kOfxStatErrBadIndex;
  }
  slot->resize(index + 1);
  store(*slot, static_cast<std::size_t>(index), value, retired_);
  markSetByPlugin(static_cast<std::size_t>(slot - slots_.data()));
  return kOfxStatOK;
}

OfxStatus PropertySet::pluginSetN(const char *name, PropType type, int count, const void *values) {
  if (name == nullptr) {
    return kOfxStatErrBadHandle;
  }
  if (count > 0 && (values == nullptr || null_text_among(type, count, values))) {
    return kOfxStatErrValue;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    const Slot *slot = find(name);
    if (slot == nullptr) {
      return kOfxStatErrUnknown;
    }
    if (slot->def.type != type || !slot->def.pluginWritable) {
      return kOfxStatErrValue;
    }
    if (count <= 0 && !slot->variable()) {
      return kOfxStatErrBadIndex;
    }
  }
  const OfxStatus status = hostWriteN(name, type, count, values);
  if (status == kOfxStatOK) {
    std::lock_guard<std::mutex> lock(mu_);
    markSetByPlugin(static_cast<std::size_t>(find(name) - slots_.data()));
  }
  return status;
}

OfxStatus PropertySet::pluginGet(const char *name, PropType type, int index, void *value) const {
  if (name == nullptr) {
    return kOfxStatErrBadHandle;
  }
  if (value == nullptr) {
    return kOfxStatErrValue;
  }
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *slot = find(name);
  if (slot == nullptr) {
    return kOfxStatErrUnknown;
  }
  if (slot->def.type != type) {
    return kOfxStatErrValue;
  }
  if (index < 0 || index >= slot->dimension()) {
    return kOfxStatErrBadIndex;
  }
  load(*slot, static_cast<std::size_t>(index), value);
  return kOfxStatOK;
}

OfxStatus PropertySet::pluginGetN(const char *name, PropType type, int count, void *values) const {
  if (name == nullptr) {
    return kOfxStatErrBadHandle;
  }
  if (count > 0 && values == nullptr) {
    return kOfxStatErrValue;
  }
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *slot = find(name);
  if (slot == nullptr) {
    return kOfxStatErrUnknown;
  }
  if (slot->def.type != type) {
    return kOfxStatErrValue;
  }
  if (count < 0 || count > slot->dimension()) {
    return kOfxStatErrBadIndex;
  }
  auto *bytes = static_cast<unsigned char *>(values);
  for (int i = 0; i < count; ++i) {
    load(*slot, static_cast<std::size_t>(i), bytes + static_cast<std::size_t>(i) * element_size(type));
  }
  return kOfxStatOK;
}

OfxStatus PropertySet::pluginReset(const char *name) {
  if (name == nullptr) {
    return kOfxStatErrBadHandle;
  }
  std::lock_guard<std::mutex> lock(mu_);
  Slot *slot = find(name);
  if (slot == nullptr) {
    return kOfxStatErrUnknown;
  }
  if (!slot->def.pluginWritable) {
    return kOfxStatErrValue;
  }
  for (auto &s : slot->strings) {
    retired_.push_back(std::move(s));
  }
  slot->reset();
  markSetByPlugin(static_cast<std::size_t>(slot - slots_.data()));
  return kOfxStatOK;
}

OfxStatus PropertySet::pluginGetDimension(const char *name, int *count) const {
  if (name == nullptr) {
    return kOfxStatErrBadHandle;
  }
  if (count == nullptr) {
    return kOfxStatErrValue;
  }
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *slot = find(name);
  if (slot == nullptr) {
    return kOfxStatErrUnknown;
  }
  *count = slot->dimension();
  return kOfxStatOK;
}

}  // namespace kesto::host
