#pragma once
// Property sets of the standard's action arguments, for tests that call actions by hand.

#include <memory>
#include <string>
#include <vector>

#include "host/PropertySet.h"

namespace kesto::host {

enum class ArgsKind {
  DescribeInContextIn,
  RenderIn,
  SequenceRenderIn,   // begin and end sequence render
  InstanceChangedIn,
  BeginEndInstanceChangedIn,
  ClipPreferencesOut,  // per clip of `clipNames`
  RegionOfDefinitionIn,
  RegionOfDefinitionOut,
  RegionsOfInterestIn,
  RegionsOfInterestOut,  // per clip
  FramesNeededIn,
  FramesNeededOut,  // per clip
  IsIdentityIn,
  IsIdentityOut,
  TimeDomainOut,
  InteractDrawIn,
  InteractPenIn,
  InteractFocusIn,
};

std::vector<PropertyDef> argsTable(ArgsKind kind, const std::vector<std::string> &clipNames = {"Source", "Output"});
std::shared_ptr<PropertySet> makeArgs(ArgsKind kind,
                                      const std::vector<std::string> &clipNames = {"Source", "Output"});

}  // namespace kesto::host
