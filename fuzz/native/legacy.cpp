// libFuzzer target: the encoding name table and the legacy float stubs.
//
// The input is looked up as a lower-cased encoding name: it must be found
// exactly when it is one of the documented spellings, and found as the
// documented encoding. A legacy format found that way must report, through
// both its decode and its encode error, NotImplementedError with the
// documented display name.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "common/encodings.hpp"
#include "decoder/legacy.hpp"

using namespace packweaver;

namespace {

[[noreturn]] void fail(const char* what, std::string_view name, const std::string& extra = {}) {
    std::fprintf(stderr, "FINDING: %s name='%.*s' %s\n", what, static_cast<int>(name.size()), name.data(), extra.c_str());
    std::abort();
}

struct documented {
    const char* name;       // underscore spelling
    const char* display;    // in the messages; nullptr for non-legacy rows
    bool packer;
};

// Underscore spellings; each also exists with '-' for '_' unless noted.
const documented table[] = {
    {"unsigned", nullptr, true},
    {"twos_complement", nullptr, true},
    {"ones_complement", nullptr, true},
    {"sign_magnitude", nullptr, true},
    {"bcd", nullptr, true},
    {"bcd_signed", nullptr, true},
    {"packed_bcd", nullptr, true},
    {"packed_bcd_signed", nullptr, true},
    {"ieee754_f16", nullptr, true},
    {"ieee754_f32", nullptr, true},
    {"ieee754_f64", nullptr, true},
    {"ieee754_f128", nullptr, false},
    {"utf8", nullptr, true},
    {"utf16", nullptr, true},
    {"utf16le", nullptr, true},
    {"utf16be", nullptr, true},
    {"utf32", nullptr, true},
    {"utf32le", nullptr, true},
    {"utf32be", nullptr, true},
    {"us_ascii", nullptr, true},
    {"iso_8859_1", nullptr, true},
    {"windows_1252", nullptr, true},
    {"ieee754_1985_f32", "IEEE 754-1985 f32", false},
    {"ieee754_1985_f64", "IEEE 754-1985 f64", false},
    {"ieee754_1985_f80", "IEEE 754-1985 f80", false},
    {"mil_std_1750a_f32", "MIL-STD-1750A f32", false},
    {"mil_std_1750a_f48", "MIL-STD-1750A f48", false},
    {"ti_f32", "TI f32", false},
    {"ti_f40", "TI f40", false},
    {"dec_f32", "DEC f32", false},
    {"dec_f64", "DEC f64", false},
    {"ibm_f32", "IBM f32", false},
    {"ibm_f64", "IBM f64", false},
};

// The documented row a lower-case name selects, or nullptr.
const documented* lookup(std::string_view name) {
    // Rows whose name has no dashed form.
    static const std::string_view undashed[] = {"twos_complement", "ones_complement", "sign_magnitude"};
    // Further spellings of a row.
    static const std::pair<std::string_view, std::string_view> aliases[] = {
        {"twoscomplement", "twos_complement"}, {"onescomplement", "ones_complement"},
        {"signmagnitude", "sign_magnitude"},   {"utf-8", "utf8"},
        {"utf-16", "utf16"},                   {"utf-16le", "utf16le"},
        {"utf-16be", "utf16be"},               {"utf-32", "utf32"},
        {"utf-32le", "utf32le"},               {"utf-32be", "utf32be"},
        {"latin1", "iso_8859_1"},
    };
    std::string_view target = name;
    for (const auto& [alias, row] : aliases)
        if (name == alias) target = row;
    for (const auto& row : table) {
        const std::string_view under = row.name;
        if (target == under) return &row;
        bool dashed = true;
        for (auto u : undashed) dashed &= u != under;
        if (!dashed || target.size() != under.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < under.size(); ++i)
            same &= under[i] == '_' ? target[i] == '-' : target[i] == under[i];
        if (same && under.find('_') != std::string_view::npos) return &row;
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    const encoding_name* found = find_encoding(name);
    const documented* want = lookup(name);
    if ((found != nullptr) != (want != nullptr)) fail(found ? "unknown name accepted" : "documented name refused", name);
    if (!found) return 0;
    const auto row = static_cast<std::size_t>(want - table);
    if (static_cast<std::size_t>(found->encoding) != row) fail("name selects the wrong encoding", name);
    const bool packer = want->packer && name != "latin1";
    if (found->packer != packer) fail("packer flag", name);
    if (is_text(found->encoding) != (row >= 12 && row <= 21)) fail("text classification", name);
    if (is_legacy(found->encoding) != (want->display != nullptr)) fail("legacy classification", name);
    if (!is_legacy(found->encoding)) return 0;
    const auto format = static_cast<legacy_format>(legacy_index(found->encoding));
    const std::string display = want->display;
    if (display != legacy_format_name(format)) fail("legacy display name", name, legacy_format_name(format));
    const error d = legacy_decode_error(format), e = legacy_encode_error(format);
    if (d.kind != error_kind::not_implemented_error || d.message != display + " format not yet implemented")
        fail("legacy decode error", name, d.message);
    if (e.kind != error_kind::not_implemented_error || e.message != display + " encoding not yet implemented")
        fail("legacy encode error", name, e.message);
    return 0;
}
