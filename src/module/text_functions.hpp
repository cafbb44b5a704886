// Bodies of the text functions: str -> bytes encoders, bytes -> str decoders.
#pragma once

#include "../decoder/text.hpp"
#include "../encoder/text.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "sinks.hpp"

namespace packweaver::py {

template <text_encoding E>
PyObject* text_encoder(const call& c) {
    text_view text;
    if (!c.text(0, text)) return nullptr;
    bytes_sink sink;
    status s = encode_text(E, text, sink);
    if (PW_UNLIKELY(!s)) {
        // A lone surrogate is refused by the interpreter's own conversion,
        // which comes before any codec error.
        if (s.err().kind != error_kind::pending && raise_if_lone_surrogate(c.arg(0))) return nullptr;
        return raise(s.err());
    }
    return sink.release();
}

template <text_encoding E>
PyObject* text_decoder(const call& c) {
    std::span<const std::uint8_t> bytes;
    if (!c.bytes(0, bytes)) return nullptr;
    str_sink sink;
    status s = decode_text(E, bytes, sink);
    if (PW_UNLIKELY(!s)) return raise(s.err());
    return sink.release();
}

}  // namespace packweaver::py
