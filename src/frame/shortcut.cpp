// The shortcut switches and counters (see shortcut.hpp).
#include "shortcut.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vk {

bool detail::g_shortcuts_off = false;
bool detail::g_counting = false;

namespace {
ShortcutCounter* g_counters = nullptr;  // this shared object's, newest first
const char* g_module = nullptr;
}  // namespace

ShortcutCounter::ShortcutCounter(const char* name) noexcept : name_(name), next_(g_counters) { g_counters = this; }

void print_shortcut_counts() noexcept {
    // Oldest first: the order in which the counters are defined.
    ShortcutCounter* order[256];
    int n = 0;
    for (ShortcutCounter* c = g_counters; c && n < 256; c = c->next_) order[n++] = c;
    std::fprintf(stderr, "varnok shortcuts %s:", g_module ? g_module : "?");
    while (n--)
        std::fprintf(stderr, " %s=%llu/%llu", order[n]->name_, static_cast<unsigned long long>(order[n]->taken_),
                     static_cast<unsigned long long>(order[n]->not_taken_));
    std::fprintf(stderr, "\n");
}

void read_shortcut_settings(const char* module) noexcept {
    const char* off = std::getenv("VARNOK_SHORTCUTS");
    detail::g_shortcuts_off = off && std::strcmp(off, "off") == 0;
    const char* count = std::getenv("VARNOK_COUNT_SHORTCUTS");
    if (count && *count && !detail::g_counting && !g_module) {
        g_module = module;
        detail::g_counting = Py_AtExit(print_shortcut_counts) == 0;
    }
}

}  // namespace vk
