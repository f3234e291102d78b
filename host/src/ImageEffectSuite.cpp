// The image effect suite: effect, clip and image handles, image fetch and release with accounting.
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>

#include "ActionScope.h"
#include "Objects.h"
#include "PropertyTables.h"
#include "Suites.h"

namespace kesto::host::detail {

namespace {

std::atomic<unsigned long long> gImageSerial{0};

std::shared_ptr<Effect> find_effect(OfxImageEffectHandle h) {
  return Registry::instance().find<Effect>(h, HandleKind::Effect);
}
std::shared_ptr<Clip> find_clip(OfxImageClipHandle h) { return Registry::instance().find<Clip>(h, HandleKind::Clip); }

OfxStatus getPropertySet(OfxImageEffectHandle h, OfxPropertySetHandle *out) {
  return guarded([&] {
    auto effect = find_effect(h);
    if (!effect) return kOfxStatErrBadHandle;
    if (out == nullptr) return kOfxStatErrValue;
    *out = effect->props().handle();
    return kOfxStatOK;
  });
}

OfxStatus getParamSet(OfxImageEffectHandle h, OfxParamSetHandle *out) {
  return guarded([&] {
    auto effect = find_effect(h);
    if (!effect) return kOfxStatErrBadHandle;
    if (out == nullptr) return kOfxStatErrValue;
    *out = effect->params().handle();
    return kOfxStatOK;
  });
}

OfxStatus clipDefine(OfxImageEffectHandle h, const char *name, OfxPropertySetHandle *props) {
  return guarded([&] {
    auto effect = find_effect(h);
    // Only a per-context descriptor, while describe-in-context runs, takes definitions.
    if (!effect || effect->role() != Effect::Role::ContextDescriptor || !effect->definitionsOpen) {
      return kOfxStatErrBadHandle;
    }
    if (name == nullptr) return kOfxStatErrBadHandle;
    std::shared_ptr<Clip> clip;
    const OfxStatus status = effect->defineClip(name, &clip);
    if (status == kOfxStatOK && props != nullptr) {
      *props = clip->props().handle();
    }
    return status;
  });
}

OfxStatus clipGetHandle(OfxImageEffectHandle h, const char *name, OfxImageClipHandle *clipOut,
                        OfxPropertySetHandle *props) {
  return guarded([&] {
    auto effect = find_effect(h);
    if (!effect || name == nullptr) return kOfxStatErrBadHandle;
    if (clipOut == nullptr) return kOfxStatErrValue;
    auto clip = effect->findClip(name);
    if (!clip) return kOfxStatErrUnknown;
    *clipOut = clip->handle();
    if (props != nullptr) {
      *props = clip->props().handle();
    }
    return kOfxStatOK;
  });
}

OfxStatus clipGetPropertySet(OfxImageClipHandle h, OfxPropertySetHandle *out) {
  return guarded([&] {
    auto clip = find_clip(h);
    if (!clip) return kOfxStatErrBadHandle;
    if (out == nullptr) return kOfxStatErrValue;
    *out = clip->props().handle();
    return kOfxStatOK;
  });
}

OfxRectI rect_of(const OfxRectD &r) {
  return OfxRectI{static_cast<int>(std::floor(r.x1)), static_cast<int>(std::floor(r.y1)),
                  static_cast<int>(std::ceil(r.x2)), static_cast<int>(std::ceil(r.y2))};
}

// Builds the image's property set, registers it as outstanding and returns its handle.
OfxPropertySetHandle hand_out(const std::shared_ptr<Effect> &effect, ActionFrame &frame, const Clip &clip, std::shared_ptr<Image> image,
                              OfxRectI bounds, OfxRectI rod, PixelDepth depth, double time) {
  auto record = std::make_shared<ImageRecord>();
  record->image = image;
  record->owner = effect;
  record->props = PropertySet::create("image", imageTable(), HandleKind::Image, record);
  PropertySet &p = *record->props;
  p.setString(kOfxImageEffectPropPixelDepth, depthName(depth));
  p.setString(kOfxImageEffectPropComponents, kOfxImageComponentRGBA);
  p.setString(kOfxImageEffectPropPreMultiplication,
              clip.props().getString(kOfxImageEffectPropPreMultiplication).value_or(kOfxImageUnPreMultiplied));
  p.setDoubles(kOfxImageEffectPropRenderScale, {frame.renderScale.x, frame.renderScale.y});
  p.setPointer(kOfxImagePropData, image ? image->data() : nullptr);
  p.setInts(kOfxImagePropBounds, {bounds.x1, bounds.y1, bounds.x2, bounds.y2});
  p.setInts(kOfxImagePropRegionOfDefinition, {rod.x1, rod.y1, rod.x2, rod.y2});
  p.setInt(kOfxImagePropRowBytes, image ? image->rowBytes() : 0);
  p.setString(kOfxImagePropUniqueIdentifier, clip.name() + "@" + std::to_string(time) + "#" +
                                                  std::to_string(++gImageSerial));
  const OfxPropertySetHandle handle = p.handle();
  const auto token = reinterpret_cast<std::uintptr_t>(handle);
  effect->addOutstanding(token, std::move(record));
  frame.fetched.push_back(token);
  return handle;
}

OfxStatus clipGetImage(OfxImageClipHandle h, OfxTime time, const OfxRectD *region, OfxPropertySetHandle *out) {
  return guarded([&] {
    auto clip = find_clip(h);
    if (!clip || !clip->isInstance()) return kOfxStatErrBadHandle;
    if (out == nullptr) return kOfxStatErrValue;
    *out = nullptr;
    auto effect = clip->owner().lock();
    if (!effect) return kOfxStatErrBadHandle;
    ActionFrame *frame = currentFrameFor(effect.get());
    if (frame == nullptr) {
      return kOfxStatFailed;  // images exist only inside an action of this instance, on its thread
    }
    if (clip->props().getInt(kOfxImageClipPropConnected).value_or(0) == 0) {
      return kOfxStatFailed;
    }
    if (clip->name() == kOfxImageEffectOutputClipName) {
      if (!frame->isRender || !frame->output || time != frame->time) {
        return kOfxStatFailed;
      }
      const Image &img = *frame->output;
      *out = hand_out(effect, *frame, *clip, frame->output, img.bounds(), img.bounds(), img.depth(), time);
      return kOfxStatOK;
    }
    const FetchFaultKind fault = clip->faultAt(time);
    auto source = clip->frameAt(time);
    if (fault == FetchFaultKind::Fail || !source) {
      return kOfxStatFailed;
    }
    if (fault == FetchFaultKind::NullData) {
      *out = hand_out(effect, *frame, *clip, nullptr, source->bounds(), source->bounds(), source->depth(), time);
      return kOfxStatOK;
    }
    // The plug-in gets its own copy: it cannot scribble on the host's frame, and a read after release hits
    // freed memory as it would in a real host.
    auto copy = std::make_shared<Image>(region != nullptr ? source->cropped(rect_of(*region)) : *source);
    const OfxRectI bounds = copy->bounds();
    *out = hand_out(effect, *frame, *clip, copy, bounds, source->bounds(), copy->depth(), time);
    return kOfxStatOK;
  });
}

OfxStatus clipReleaseImage(OfxPropertySetHandle h) {
  return guarded([&] {
    auto record = Registry::instance().find<ImageRecord>(h, HandleKind::Image);
    std::shared_ptr<Effect> owner;
    if (record) {
      owner = record->owner.lock();  // the record does not keep its effect alive
    }
    if (!record || !owner || !owner->releaseOutstanding(reinterpret_cast<std::uintptr_t>(h))) {
      ++imageStats().badReleases;
      return kOfxStatErrBadHandle;
    }
    return kOfxStatOK;
  });
}

OfxStatus clipGetRegionOfDefinition(OfxImageClipHandle h, OfxTime time, OfxRectD *bounds) {
  return guarded([&] {
    auto clip = find_clip(h);
    if (!clip || !clip->isInstance()) return kOfxStatErrBadHandle;
    if (bounds == nullptr) return kOfxStatErrValue;
    auto effect = clip->owner().lock();
    if (!effect) return kOfxStatErrBadHandle;
    auto source = effect->findClip(kOfxImageEffectSimpleSourceClipName);
    auto frame = source ? source->frameAt(time) : nullptr;
    if (frame) {
      const OfxRectI b = frame->bounds();
      *bounds = OfxRectD{double(b.x1), double(b.y1), double(b.x2), double(b.y2)};
      return kOfxStatOK;
    }
    const double ox = effect->props().getDouble(kOfxImageEffectPropProjectOffset, 0).value_or(0.0);
    const double oy = effect->props().getDouble(kOfxImageEffectPropProjectOffset, 1).value_or(0.0);
    const double ex = effect->props().getDouble(kOfxImageEffectPropProjectExtent, 0).value_or(0.0);
    const double ey = effect->props().getDouble(kOfxImageEffectPropProjectExtent, 1).value_or(0.0);
    *bounds = OfxRectD{ox, oy, ex, ey};
    return kOfxStatOK;
  });
}

int abortCheck(OfxImageEffectHandle h) {
  try {
    auto effect = find_effect(h);
    return effect && effect->abortFlag ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

struct Memory {
  std::unique_ptr<unsigned char[]> bytes;
  std::atomic<int> locks{0};
  Token token;
};

std::mutex gMemoryMu;
std::map<std::uintptr_t, std::shared_ptr<Memory>> &memory_blocks() {
  static auto *gBlocks = new std::map<std::uintptr_t, std::shared_ptr<Memory>>();
  return *gBlocks;
}

OfxStatus imageMemoryAlloc(OfxImageEffectHandle h, size_t nBytes, OfxImageMemoryHandle *out) {
  return guarded([&] {
    if (h != nullptr && !find_effect(h)) return kOfxStatErrBadHandle;
    if (out == nullptr) return kOfxStatErrValue;
    auto block = std::make_shared<Memory>();
    block->bytes.reset(new unsigned char[nBytes == 0 ? 1 : nBytes]);
    block->token.value = Registry::instance().add(HandleKind::Memory, block);
    std::lock_guard<std::mutex> lock(gMemoryMu);
    memory_blocks()[block->token.value] = block;
    *out = to_handle<OfxImageMemoryHandle>(block->token.value);
    return kOfxStatOK;
  });
}

OfxStatus imageMemoryFree(OfxImageMemoryHandle h) {
  return guarded([&] {
    std::shared_ptr<Memory> block;
    std::lock_guard<std::mutex> lock(gMemoryMu);
    auto it = memory_blocks().find(reinterpret_cast<std::uintptr_t>(h));
    if (it == memory_blocks().end()) return kOfxStatErrBadHandle;
    block = std::move(it->second);
    memory_blocks().erase(it);
    return kOfxStatOK;
  });
}

OfxStatus imageMemoryLock(OfxImageMemoryHandle h, void **ptr) {
  return guarded([&] {
    auto block = Registry::instance().find<Memory>(h, HandleKind::Memory);
    if (!block) return kOfxStatErrBadHandle;
    if (ptr == nullptr) return kOfxStatErrValue;
    ++block->locks;
    *ptr = block->bytes.get();
    return kOfxStatOK;
  });
}

OfxStatus imageMemoryUnlock(OfxImageMemoryHandle h) {
  return guarded([&] {
    auto block = Registry::instance().find<Memory>(h, HandleKind::Memory);
    if (!block) return kOfxStatErrBadHandle;
    if (block->locks > 0) --block->locks;
    return kOfxStatOK;
  });
}

const OfxImageEffectSuiteV1 kImageEffectSuite = {
    getPropertySet, getParamSet,      clipDefine,       clipGetHandle,   clipGetPropertySet,
    clipGetImage,   clipReleaseImage, clipGetRegionOfDefinition,          abortCheck,
    imageMemoryAlloc, imageMemoryFree, imageMemoryLock, imageMemoryUnlock,
};

}  // namespace

const OfxImageEffectSuiteV1 *imageEffectSuite() { return &kImageEffectSuite; }

}  // namespace kesto::host::detail
