// The frame's names that the code of every native module uses unqualified.
// A module brings them in with one line at the top of its anonymous
// namespace: `using namespace vk::prelude;`.
#pragma once

#include "cpython311.hpp"
#include "ref.hpp"
#include "shortcut.hpp"

namespace vk::prelude {

using vk::Ref;
using vk::Shortcut;
namespace py311 = vk::py311;
using vk::py311::Probe;
using vk::py311::usable;

}  // namespace vk::prelude
