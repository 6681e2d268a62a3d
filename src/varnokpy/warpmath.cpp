// varnokpy.warpmath (being written).
#include "frame.hpp"

namespace {
int module_body(vk::ModuleFrame&) noexcept { return 0; }
const vk::ModuleInfo kInfo = {
    "warpmath", "varnokpy.warpmath", "src/varnokpy/warpmath", nullptr, nullptr, false, nullptr, nullptr, module_body,
};
}  // namespace

VARNOK_MODULE(warpmath, kInfo)
