// varnokpy._draftrel (being written).
#include "frame.hpp"

namespace {
int module_body(vk::ModuleFrame&) noexcept { return 0; }
const vk::ModuleInfo kInfo = {
    "_draftrel", "varnokpy._draftrel", "src/varnokpy/_draftrel", nullptr, nullptr, false, nullptr, nullptr, module_body,
};
}  // namespace

VARNOK_MODULE(_draftrel, kInfo)
