#include "Objects.h"

#include <algorithm>
#include <cmath>

#include "PropertyTables.h"

namespace kesto::host::detail {

namespace {

// Frame numbers beyond this are refused rather than overflowing the key.
constexpr double kMaxFrameMagnitude = 1e15;

std::optional<long long> frame_key(double time) {
  if (!std::isfinite(time) || std::fabs(time) > kMaxFrameMagnitude) {
    return std::nullopt;
  }
  return static_cast<long long>(std::floor(time + 0.5));
}

}  // namespace

ImageStats &imageStats() {
  static ImageStats *gStats = new ImageStats();  // outlives detached plug-in threads
  return *gStats;
}

std::optional<ParamKind> paramKindFromType(const std::string &paramType) {
  if (paramType == kOfxParamTypeString) return ParamKind::String;
  if (paramType == kOfxParamTypeBoolean) return ParamKind::Boolean;
  if (paramType == kOfxParamTypeChoice) return ParamKind::Choice;
  if (paramType == kOfxParamTypeInteger) return ParamKind::Integer;
  if (paramType == kOfxParamTypeDouble) return ParamKind::Double;
  if (paramType == kOfxParamTypePushButton) return ParamKind::PushButton;
  if (paramType == kOfxParamTypeGroup) return ParamKind::Group;
  if (paramType == kOfxParamTypePage) return ParamKind::Page;
  return std::nullopt;
}

// ---- Param

std::shared_ptr<Param> Param::create(const std::string &name, const std::string &paramType, bool instance,
                                     std::weak_ptr<Effect> owner) {
  const auto kind = paramKindFromType(paramType);
  auto table = paramTable(paramType, instance);
  if (!kind || !table) {
    return nullptr;
  }
  std::shared_ptr<Param> param(new Param());
  param->name_ = name;
  param->type_ = paramType;
  param->kind_ = *kind;
  param->instance_ = instance;
  param->owner_ = std::move(owner);
  param->props_ = PropertySet::create(instance ? "parameter instance " + name : "parameter descriptor " + name,
                                      std::move(*table));
  param->props_->setString(kOfxPropName, name);
  param->props_->setString(kOfxParamPropScriptName, name);
  param->token_.value = Registry::instance().add(HandleKind::Param, param);
  return param;
}

std::shared_ptr<Param> Param::instantiate(const Param &descriptor, std::weak_ptr<Effect> owner) {
  std::shared_ptr<Param> param = create(descriptor.name_, descriptor.type_, true, std::move(owner));
  if (!param) {
    return nullptr;
  }
  param->props_->copyValuesFrom(*descriptor.props_);
  param->props_->setString(kOfxPropType, kOfxTypeParameterInstance);
  param->resetToDefault();
  return param;
}

bool Param::holdsValue() const {
  return kind_ != ParamKind::PushButton && kind_ != ParamKind::Group && kind_ != ParamKind::Page;
}

void Param::resetToDefault() {
  std::lock_guard<std::mutex> lock(mu_);
  switch (kind_) {
    case ParamKind::Integer:
    case ParamKind::Boolean:
    case ParamKind::Choice: int_ = props_->getInt(kOfxParamPropDefault).value_or(0); break;
    case ParamKind::Double: double_ = props_->getDouble(kOfxParamPropDefault).value_or(0.0); break;
    case ParamKind::String:
      text_ = std::make_shared<const std::string>(props_->getString(kOfxParamPropDefault).value_or(""));
      break;
    default: break;
  }
  if (kind_ == ParamKind::Boolean) {
    int_ = int_ != 0 ? 1 : 0;
  }
}

OfxStatus Param::set(const ParamValue &value) {
  switch (kind_) {
    case ParamKind::Integer: {
      if (value.kind != ParamValue::Kind::Int) return kOfxStatErrValue;
      const int lo = props_->getInt(kOfxParamPropMin).value_or(INT32_MIN);
      const int hi = props_->getInt(kOfxParamPropMax).value_or(INT32_MAX);
      const int v = std::max(lo, std::min(hi, value.i));
      std::lock_guard<std::mutex> lock(mu_);
      int_ = v;
      return kOfxStatOK;
    }
    case ParamKind::Double: {
      if (value.kind != ParamValue::Kind::Double || std::isnan(value.d)) return kOfxStatErrValue;
      const double lo = props_->getDouble(kOfxParamPropMin).value_or(-HUGE_VAL);
      const double hi = props_->getDouble(kOfxParamPropMax).value_or(HUGE_VAL);
      const double v = std::max(lo, std::min(hi, value.d));
      std::lock_guard<std::mutex> lock(mu_);
      double_ = v;
      return kOfxStatOK;
    }
    case ParamKind::Boolean: {
      if (value.kind != ParamValue::Kind::Int) return kOfxStatErrValue;
      std::lock_guard<std::mutex> lock(mu_);
      int_ = value.i != 0 ? 1 : 0;
      return kOfxStatOK;
    }
    case ParamKind::Choice: {
      if (value.kind != ParamValue::Kind::Int) return kOfxStatErrValue;
      const int index = value.i;
      if (index < 0 || index >= props_->dimension(kOfxParamPropChoiceOption)) return kOfxStatErrValue;
      std::lock_guard<std::mutex> lock(mu_);
      int_ = index;
      return kOfxStatOK;
    }
    case ParamKind::String: {
      if (value.kind != ParamValue::Kind::Text) return kOfxStatErrValue;
      auto text = std::make_shared<const std::string>(value.text);
      std::lock_guard<std::mutex> lock(mu_);
      text_ = std::move(text);  // readers' earlier texts live on in handedOut_
      return kOfxStatOK;
    }
    default: return kOfxStatErrUnsupported;
  }
}

OfxStatus Param::getInt(int *out) const {
  if (kind_ != ParamKind::Integer && kind_ != ParamKind::Boolean && kind_ != ParamKind::Choice) {
    return kOfxStatErrValue;
  }
  std::lock_guard<std::mutex> lock(mu_);
  *out = int_;
  return kOfxStatOK;
}

OfxStatus Param::getDouble(double *out) const {
  if (kind_ != ParamKind::Double) {
    return kOfxStatErrValue;
  }
  std::lock_guard<std::mutex> lock(mu_);
  *out = double_;
  return kOfxStatOK;
}

OfxStatus Param::getText(char **out) const {
  if (kind_ != ParamKind::String) {
    return kOfxStatErrValue;
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (handedOut_.empty() || handedOut_.back() != text_) {
    handedOut_.push_back(text_);
  }
  *out = const_cast<char *>(text_->c_str());
  return kOfxStatOK;
}

std::optional<ParamValue> Param::value() const {
  std::lock_guard<std::mutex> lock(mu_);
  switch (kind_) {
    case ParamKind::Integer:
    case ParamKind::Boolean:
    case ParamKind::Choice: return ParamValue::ofInt(int_);
    case ParamKind::Double: return ParamValue::ofDouble(double_);
    case ParamKind::String: return ParamValue::ofText(*text_);
    default: return std::nullopt;
  }
}

// ---- ParamSet

std::shared_ptr<ParamSet> ParamSet::create(bool instance, std::weak_ptr<Effect> owner) {
  std::shared_ptr<ParamSet> set(new ParamSet());
  set->instance_ = instance;
  set->owner_ = std::move(owner);
  set->props_ = PropertySet::create(instance ? "parameter set instance" : "parameter set descriptor", paramSetTable());
  set->token_.value = Registry::instance().add(HandleKind::ParamSet, set);
  return set;
}

std::shared_ptr<Param> ParamSet::find(const std::string &name) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto &p : params_) {
    if (p->name() == name) {
      return p;
    }
  }
  return nullptr;
}

std::vector<std::shared_ptr<Param>> ParamSet::all() const {
  std::lock_guard<std::mutex> lock(mu_);
  return params_;
}

OfxStatus ParamSet::define(const std::string &paramType, const std::string &name, std::shared_ptr<Param> *out) {
  if (find(name)) {
    return kOfxStatErrExists;
  }
  std::shared_ptr<Param> param = Param::create(name, paramType, false, owner_);
  if (!param) {
    return kOfxStatErrUnknown;
  }
  std::lock_guard<std::mutex> lock(mu_);
  params_.push_back(param);
  *out = std::move(param);
  return kOfxStatOK;
}

void ParamSet::add(std::shared_ptr<Param> param) {
  std::lock_guard<std::mutex> lock(mu_);
  params_.push_back(std::move(param));
}

// ---- Clip

std::shared_ptr<Clip> Clip::create(const std::string &name, bool instance, std::weak_ptr<Effect> owner) {
  std::shared_ptr<Clip> clip(new Clip());
  clip->name_ = name;
  clip->instance_ = instance;
  clip->owner_ = std::move(owner);
  clip->props_ = PropertySet::create(instance ? "clip instance " + name : "clip descriptor " + name,
                                     instance ? clipInstanceTable() : clipDescriptorTable());
  clip->props_->setString(kOfxPropName, name);
  clip->token_.value = Registry::instance().add(HandleKind::Clip, clip);
  return clip;
}

void Clip::setFrame(double time, std::shared_ptr<const Image> image) {
  const auto key = frame_key(time);
  if (!key) {
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  frames_[*key] = std::move(image);
}

void Clip::clearFrames() {
  std::lock_guard<std::mutex> lock(mu_);
  frames_.clear();
}

std::shared_ptr<const Image> Clip::frameAt(double time) const {
  const auto key = frame_key(time);
  if (!key) {
    return nullptr;
  }
  Provider provider;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = frames_.find(*key);
    if (it != frames_.end()) {
      return it->second;
    }
    provider = provider_;
  }
  return provider ? provider(static_cast<double>(*key)) : nullptr;
}

void Clip::setProvider(Provider provider) {
  std::lock_guard<std::mutex> lock(mu_);
  provider_ = std::move(provider);
}

std::vector<double> Clip::frameTimes() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<double> out;
  for (const auto &entry : frames_) {
    out.push_back(static_cast<double>(entry.first));
  }
  return out;
}

void Clip::setFault(double time, FetchFaultKind fault) {
  const auto key = frame_key(time);
  if (!key) {
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (fault == FetchFaultKind::None) {
    faults_.erase(*key);
  } else {
    faults_[*key] = fault;
  }
}

FetchFaultKind Clip::faultAt(double time) const {
  const auto key = frame_key(time);
  if (!key) {
    return FetchFaultKind::Fail;
  }
  std::lock_guard<std::mutex> lock(mu_);
  auto it = faults_.find(*key);
  return it == faults_.end() ? FetchFaultKind::None : it->second;
}

// ---- Effect

std::shared_ptr<Effect> Effect::create(Role role) {
  std::shared_ptr<Effect> effect(new Effect());
  effect->role_ = role;
  const bool instance = role == Role::Instance;
  effect->props_ = PropertySet::create(instance ? "effect instance" : "effect descriptor",
                                       instance ? effectInstanceTable() : effectDescriptorTable());
  effect->params_ = ParamSet::create(instance, effect);
  effect->token_.value = Registry::instance().add(HandleKind::Effect, effect);
  return effect;
}

std::shared_ptr<Clip> Effect::findClip(const std::string &name) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto &c : clips_) {
    if (c->name() == name) {
      return c;
    }
  }
  return nullptr;
}

std::vector<std::shared_ptr<Clip>> Effect::clips() const {
  std::lock_guard<std::mutex> lock(mu_);
  return clips_;
}

OfxStatus Effect::defineClip(const std::string &name, std::shared_ptr<Clip> *out) {
  if (findClip(name)) {
    return kOfxStatErrExists;
  }
  std::shared_ptr<Clip> clip = Clip::create(name, false, std::weak_ptr<Effect>());
  std::lock_guard<std::mutex> lock(mu_);
  clips_.push_back(clip);
  *out = std::move(clip);
  return kOfxStatOK;
}

void Effect::addClip(std::shared_ptr<Clip> clip) {
  std::lock_guard<std::mutex> lock(mu_);
  clips_.push_back(std::move(clip));
}

void Effect::queueChange(ParamChange change) {
  std::lock_guard<std::mutex> lock(mu_);
  changes_.push_back(std::move(change));
}

std::vector<ParamChange> Effect::takeChanges() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ParamChange> out(changes_.begin(), changes_.end());
  changes_.clear();
  return out;
}

std::size_t Effect::pendingChanges() const {
  std::lock_guard<std::mutex> lock(mu_);
  return changes_.size();
}

void Effect::addOutstanding(std::uintptr_t token, std::shared_ptr<ImageRecord> record) {
  std::lock_guard<std::mutex> lock(mu_);
  outstanding_.emplace(token, std::move(record));
  ++imageStats().outstanding;
}

bool Effect::releaseOutstanding(std::uintptr_t token) {
  std::shared_ptr<ImageRecord> record;  // destroyed after the lock is dropped
  std::lock_guard<std::mutex> lock(mu_);
  auto it = outstanding_.find(token);
  if (it == outstanding_.end()) {
    return false;
  }
  record = std::move(it->second);
  outstanding_.erase(it);
  --imageStats().outstanding;
  return true;
}

bool Effect::isOutstanding(std::uintptr_t token) const {
  std::lock_guard<std::mutex> lock(mu_);
  return outstanding_.count(token) != 0;
}

int Effect::outstandingCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(outstanding_.size());
}

void Effect::dropOutstanding() {
  std::map<std::uintptr_t, std::shared_ptr<ImageRecord>> dropped;
  {
    std::lock_guard<std::mutex> lock(mu_);
    dropped.swap(outstanding_);
  }
  imageStats().outstanding -= static_cast<int>(dropped.size());
}

// ---- Interact

std::shared_ptr<Interact> Interact::create(bool instance) {
  std::shared_ptr<Interact> interact(new Interact());
  interact->instance_ = instance;
  interact->props_ = PropertySet::create(instance ? "interact instance" : "interact descriptor",
                                         instance ? interactInstanceTable() : interactDescriptorTable());
  interact->token_.value = Registry::instance().add(HandleKind::Interact, interact);
  return interact;
}

}  // namespace kesto::host::detail
