// Bodies of pack_parameters and unpack_parameters. Failures of the engines
// reach the caller as ValueError "{kind}: {message}"; failures to convert the
// arguments themselves are raised as they are.
#pragma once

#include "unpack_engine.hpp"
#include "pack_engine.hpp"
#include "binding.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "recipe.hpp"

namespace packweaver::py {

PW_COLD inline PyObject* engine_failure(const error& e) {
    raise(e);
    return rewrap_engine_failure();
}

inline bool recipe_argument(const call& c, std::size_t i, item_list& items) {
    if (PW_LIKELY(to_recipe(c.arg(i), items))) return true;
    prefix_argument_error(c.sig.params[i].text);
    return false;
}

inline PyObject* pack_parameters(const call& c) {
    recursion_guard guard(" while packing parameters");
    if (!guard) return nullptr;
    item_list items;
    if (!recipe_argument(c, 0, items)) return nullptr;
    auto r = build_packet(items);
    if (PW_UNLIKELY(!r)) return engine_failure(r.err());
    return *r;
}

inline PyObject* unpack_parameters(const call& c) {
    recursion_guard guard(" while unpacking parameters");
    if (!guard) return nullptr;
    std::span<const std::uint8_t> packet;
    std::size_t offset;
    item_list items;
    if (!c.bytes(0, packet) || !c.size(1, offset) || !recipe_argument(c, 2, items)) return nullptr;
    auto r = process_recipe(packet, offset, items);
    if (PW_UNLIKELY(!r)) return engine_failure(r.err());
    return *r;
}

}  // namespace packweaver::py
