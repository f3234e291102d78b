#pragma once
// The objects behind the handles the host gives a plug-in: effects (descriptors and instances), clips,
// parameter sets, parameters, images, interacts. Each registers an opaque token (Registry.h) as its handle.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Registry.h"
#include "host/Image.h"
#include "host/PropertySet.h"
#include "ofxImageEffect.h"

namespace kesto::host::detail {

class Effect;

// Unregisters a token when its object dies.
class Token {
 public:
  Token() = default;
  Token(const Token &) = delete;
  Token &operator=(const Token &) = delete;
  ~Token() {
    if (value != 0) {
      Registry::instance().remove(value);
    }
  }
  std::uintptr_t value = 0;
};

enum class ParamKind { String, Boolean, Choice, Integer, Double, PushButton, Group, Page };
std::optional<ParamKind> paramKindFromType(const std::string &paramType);

// A parameter value of one of the three stored kinds.
struct ParamValue {
  enum class Kind { Int, Double, Text };
  Kind kind = Kind::Int;
  int i = 0;
  double d = 0.0;
  std::string text;
  static ParamValue ofInt(int v) { return ParamValue{Kind::Int, v, 0.0, {}}; }
  static ParamValue ofDouble(double v) { return ParamValue{Kind::Double, 0, v, {}}; }
  static ParamValue ofText(std::string v) { return ParamValue{Kind::Text, 0, 0.0, std::move(v)}; }
};

class Param {
 public:
  static std::shared_ptr<Param> create(const std::string &name, const std::string &paramType, bool instance,
                                       std::weak_ptr<Effect> owner);
  // An instance parameter copying a descriptor's properties, at the descriptor's default.
  static std::shared_ptr<Param> instantiate(const Param &descriptor, std::weak_ptr<Effect> owner);

  OfxParamHandle handle() const { return to_handle<OfxParamHandle>(token_.value); }
  const std::string &name() const { return name_; }
  const std::string &paramType() const { return type_; }
  ParamKind kind() const { return kind_; }
  bool isInstance() const { return instance_; }
  bool holdsValue() const;
  PropertySet &props() const { return *props_; }
  std::shared_ptr<PropertySet> propsShared() const { return props_; }
  std::weak_ptr<Effect> owner() const { return owner_; }

  // Sets the value with the host's rules: ints and doubles clamp to min/max, booleans become 0/1, a choice
  // index must name an option, the value type must fit the parameter.
  OfxStatus set(const ParamValue &value);
  // Reads; strings stay valid as long as the parameter lives (every text handed out is kept).
  OfxStatus getInt(int *out) const;
  OfxStatus getDouble(double *out) const;
  OfxStatus getText(char **out) const;
  std::optional<ParamValue> value() const;

 private:
  Param() = default;
  void resetToDefault();

  std::string name_;
  std::string type_;
  ParamKind kind_ = ParamKind::String;
  bool instance_ = false;
  std::weak_ptr<Effect> owner_;
  std::shared_ptr<PropertySet> props_;
  Token token_;

  mutable std::mutex mu_;
  int int_ = 0;
  double double_ = 0.0;
  std::shared_ptr<const std::string> text_ = std::make_shared<const std::string>();
  mutable std::vector<std::shared_ptr<const std::string>> handedOut_;
};

class ParamSet {
 public:
  static std::shared_ptr<ParamSet> create(bool instance, std::weak_ptr<Effect> owner);
  OfxParamSetHandle handle() const { return to_handle<OfxParamSetHandle>(token_.value); }
  bool isInstance() const { return instance_; }
  PropertySet &props() const { return *props_; }
  std::weak_ptr<Effect> owner() const { return owner_; }

  std::shared_ptr<Param> find(const std::string &name) const;
  std::vector<std::shared_ptr<Param>> all() const;
  // kOfxStatErrExists for a duplicate name, kOfxStatErrUnknown for an unsupported type.
  OfxStatus define(const std::string &paramType, const std::string &name, std::shared_ptr<Param> *out);
  void add(std::shared_ptr<Param> param);

  std::atomic<int> editDepth{0};

 private:
  ParamSet() = default;
  bool instance_ = false;
  std::weak_ptr<Effect> owner_;
  std::shared_ptr<PropertySet> props_;
  Token token_;
  mutable std::mutex mu_;
  std::vector<std::shared_ptr<Param>> params_;
};

// What a fetch of the source clip at a time should do instead of serving the frame.
enum class FetchFaultKind { None, Fail, NullData };

class Clip {
 public:
  static std::shared_ptr<Clip> create(const std::string &name, bool instance, std::weak_ptr<Effect> owner);
  OfxImageClipHandle handle() const { return to_handle<OfxImageClipHandle>(token_.value); }
  const std::string &name() const { return name_; }
  bool isInstance() const { return instance_; }
  PropertySet &props() const { return *props_; }
  std::shared_ptr<PropertySet> propsShared() const { return props_; }
  std::weak_ptr<Effect> owner() const { return owner_; }

  // Frames are keyed by frame number; a time selects the nearest frame.
  void setFrame(double time, std::shared_ptr<const Image> image);
  void clearFrames();
  std::shared_ptr<const Image> frameAt(double time) const;
  std::vector<double> frameTimes() const;
  // Called for times without a stored frame; may run on several render threads at once.
  using Provider = std::function<std::shared_ptr<const Image>(double time)>;
  void setProvider(Provider provider);
  void setFault(double time, FetchFaultKind fault);
  FetchFaultKind faultAt(double time) const;

 private:
  Clip() = default;
  std::string name_;
  bool instance_ = false;
  std::weak_ptr<Effect> owner_;
  std::shared_ptr<PropertySet> props_;
  Token token_;
  mutable std::mutex mu_;
  std::map<long long, std::shared_ptr<const Image>> frames_;
  std::map<long long, FetchFaultKind> faults_;
  Provider provider_;
};

// One image handed to the plug-in; its property set's handle is the image handle.
struct ImageRecord {
  std::shared_ptr<Image> image;  // null for a null-data fault
  std::shared_ptr<PropertySet> props;
  std::weak_ptr<Effect> owner;
};

struct ParamChange {
  std::string name;
  std::string reason;
  double time = 0.0;
};

class Effect {
 public:
  enum class Role { Descriptor, ContextDescriptor, Instance };
  static std::shared_ptr<Effect> create(Role role);

  OfxImageEffectHandle handle() const { return to_handle<OfxImageEffectHandle>(token_.value); }
  Role role() const { return role_; }
  bool isInstance() const { return role_ == Role::Instance; }
  PropertySet &props() const { return *props_; }
  std::shared_ptr<PropertySet> propsShared() const { return props_; }
  ParamSet &params() const { return *params_; }

  std::shared_ptr<Clip> findClip(const std::string &name) const;
  std::vector<std::shared_ptr<Clip>> clips() const;
  OfxStatus defineClip(const std::string &name, std::shared_ptr<Clip> *out);
  void addClip(std::shared_ptr<Clip> clip);

  // Clips and parameters may be defined only while describe-in-context runs on a per-context descriptor.
  std::atomic<bool> definitionsOpen{false};

  // Instance state.
  void queueChange(ParamChange change);
  std::vector<ParamChange> takeChanges();
  std::size_t pendingChanges() const;

  void addOutstanding(std::uintptr_t token, std::shared_ptr<ImageRecord> record);
  // False when the token is not an outstanding image of this effect (already released).
  bool releaseOutstanding(std::uintptr_t token);
  bool isOutstanding(std::uintptr_t token) const;
  int outstandingCount() const;
  void dropOutstanding();

  std::atomic<int> leakedImages{0};
  std::atomic<bool> abortFlag{false};
  std::atomic<double> currentTime{0.0};

 private:
  Effect() = default;
  Role role_ = Role::Descriptor;
  std::shared_ptr<PropertySet> props_;
  std::shared_ptr<ParamSet> params_;
  Token token_;
  mutable std::mutex mu_;
  std::vector<std::shared_ptr<Clip>> clips_;
  std::deque<ParamChange> changes_;
  std::map<std::uintptr_t, std::shared_ptr<ImageRecord>> outstanding_;
};

class Interact {
 public:
  static std::shared_ptr<Interact> create(bool instance);
  OfxInteractHandle handle() const { return to_handle<OfxInteractHandle>(token_.value); }
  bool isInstance() const { return instance_; }
  PropertySet &props() const { return *props_; }
  std::atomic<int> redrawRequests{0};
  std::atomic<int> swapRequests{0};

 private:
  Interact() = default;
  bool instance_ = false;
  std::shared_ptr<PropertySet> props_;
  Token token_;
};

// Process-wide image counters (every instance of every host).
struct ImageStats {
  std::atomic<int> outstanding{0};
  std::atomic<int> leaked{0};
  std::atomic<int> badReleases{0};
};
ImageStats &imageStats();

}  // namespace kesto::host::detail
