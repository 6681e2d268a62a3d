// varnokpy._keyshelf (being written).
#include "frame.hpp"

namespace {
int module_body(vk::ModuleFrame&) noexcept { return 0; }
const vk::ModuleInfo kInfo = {
    "_keyshelf", "varnokpy._keyshelf", "src/varnokpy/_keyshelf", nullptr, nullptr, false, nullptr, nullptr, module_body,
};
}  // namespace

VARNOK_MODULE(_keyshelf, kInfo)
