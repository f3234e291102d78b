#pragma once
// Typed OpenFX property sets, built from tables of {name, type, dimension, plug-in writable, defaults}.
//
// Plug-in side (the property suite): a name the set does not know gives kOfxStatErrUnknown, a wrong type
// kOfxStatErrValue, an index out of range kOfxStatErrBadIndex (index == dimension extends a variable-dimension
// property), a property the plug-in may not write kOfxStatErrValue. Every successful plug-in write is logged, so
// the order in which the plug-in first set each property can be read back (pluginSetOrder()).
// Strings handed to the plug-in stay valid for the life of the set: an overwritten text is retired, not freed,
// and a text that is set again to the same value keeps its address.
// All member functions are thread-safe.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ofxCore.h"

#include "host/Namespace.h"

namespace kesto::host {

enum class PropType { String, Int, Double, Pointer };
const char *propTypeName(PropType type);

// dimension 0: variable (the defaults give the initial dimension).
struct PropertyDef {
  std::string name;
  PropType type = PropType::String;
  int dimension = 1;
  bool pluginWritable = false;
  std::vector<std::string> strings;
  std::vector<int> ints;
  std::vector<double> doubles;
};

struct PropertyValue {
  std::string name;
  PropType type = PropType::String;
  std::vector<std::string> strings;
  std::vector<int> ints;
  std::vector<double> doubles;
  std::vector<void *> pointers;
  int dimension() const;
  // "OfxPropLabel string[1] = "Blur"" style text for logs and test messages.
  std::string toString() const;
};

namespace detail {
enum class HandleKind : int;
}

class PropertySet {
 public:
  // `kindName` names the set in error texts ("effect descriptor"). The set registers itself as a live handle.
  static std::shared_ptr<PropertySet> create(std::string kindName, std::vector<PropertyDef> defs);
  // For sets whose handle also identifies another object (an image, the host).
  static std::shared_ptr<PropertySet> create(std::string kindName, std::vector<PropertyDef> defs,
                                             detail::HandleKind kind, std::weak_ptr<void> owner);
  ~PropertySet();
  PropertySet(const PropertySet &) = delete;
  PropertySet &operator=(const PropertySet &) = delete;

  OfxPropertySetHandle handle() const;
  const std::string &kindName() const { return kindName_; }
  bool has(const std::string &name) const;
  int dimension(const std::string &name) const;  // -1 when unknown

  // Host-side reads.
  std::optional<PropertyValue> get(const std::string &name) const;
  std::optional<std::string> getString(const std::string &name, int index = 0) const;
  std::optional<int> getInt(const std::string &name, int index = 0) const;
  std::optional<double> getDouble(const std::string &name, int index = 0) const;
  std::optional<void *> getPointer(const std::string &name, int index = 0) const;
  // Every property in table order.
  std::vector<PropertyValue> all() const;
  // The properties the plug-in set, in the order it first set each, with their current values.
  std::vector<PropertyValue> pluginSetOrder() const;
  // How many successful plug-in writes (set, setN, reset) reached the set.
  int pluginSetCount() const;

  // Host-side writes: not logged, ignore plug-in write permission, replace the whole value (variable
  // dimension properties take the given count). Return kOfxStatOK or the error a plug-in would get.
  OfxStatus setString(const std::string &name, const std::string &value, int index = 0);
  OfxStatus setInt(const std::string &name, int value, int index = 0);
  OfxStatus setDouble(const std::string &name, double value, int index = 0);
  OfxStatus setPointer(const std::string &name, void *value, int index = 0);
  OfxStatus setStrings(const std::string &name, const std::vector<std::string> &values);
  OfxStatus setInts(const std::string &name, const std::vector<int> &values);
  OfxStatus setDoubles(const std::string &name, const std::vector<double> &values);
  // Copies every value of properties both sets know (for per-context descriptors).
  void copyValuesFrom(const PropertySet &other);

  // Plug-in side: the property suite's operations. `value`/`values` point at one (N: count) element(s) of the
  // C type of `type`: char* (String), int, double, void*.
  OfxStatus pluginSet(const char *name, PropType type, int index, const void *value);
  OfxStatus pluginSetN(const char *name, PropType type, int count, const void *values);
  OfxStatus pluginGet(const char *name, PropType type, int index, void *value) const;
  OfxStatus pluginGetN(const char *name, PropType type, int count, void *values) const;
  OfxStatus pluginReset(const char *name);
  OfxStatus pluginGetDimension(const char *name, int *count) const;

  struct Slot;  // implementation detail, public for the implementation file's helpers

 private:
  PropertySet(std::string kindName, std::vector<PropertyDef> defs);
  Slot *find(const std::string &name);
  const Slot *find(const std::string &name) const;
  void markSetByPlugin(std::size_t slotIndex);
  OfxStatus hostWrite(const std::string &name, PropType type, int index, const void *value);
  OfxStatus hostWriteN(const std::string &name, PropType type, int count, const void *values);

  std::string kindName_;
  std::uintptr_t token_ = 0;
  mutable std::mutex mu_;
  std::vector<Slot> slots_;
  std::vector<std::size_t> setOrder_;
  int setCount_ = 0;
  std::vector<std::unique_ptr<std::string>> retired_;
};

}  // namespace kesto::host
