#include "framing.hpp"

#include <algorithm>
#include <unordered_map>

#include "../common/format.hpp"
#include "../common/platform.hpp"

namespace packweaver::packet {
namespace {

// A header field of packet p, which has at least header_bytes bytes.
PW_INLINE std::uint32_t field_value(const std::uint8_t* p, header_field f) noexcept {
    const std::uint32_t first = f.offset / 8, last = (f.end() + 7) / 8;
    std::uint64_t v = 0;
    for (std::uint32_t b = first; b < last; ++b) v = (v << 8) | p[b];
    v >>= 8 * last - f.end();
    return static_cast<std::uint32_t>(v & ((std::uint64_t{1} << f.bits) - 1));
}

// Sequence counts of one key: the last count seen, and its summary.
struct stream_state {
    stream_summary summary;
    std::uint32_t last = 0;
};

// Keys of up to 16 bits have a slot each; wider ones go through a map.
class stream_table {
public:
    explicit stream_table(std::uint32_t key_bits) : dense_(key_bits <= 16 ? std::size_t{1} << key_bits : 0, -1) {}

    stream_state& at(std::uint32_t key) {
        if (!dense_.empty()) {
            std::int32_t& slot = dense_[key];
            if (slot < 0) slot = add(key);
            return states_[static_cast<std::size_t>(slot)];
        }
        auto [it, fresh] = sparse_.try_emplace(key, 0);
        if (fresh) it->second = add(key);
        return states_[static_cast<std::size_t>(it->second)];
    }

    std::vector<stream_summary> summaries() const {
        std::vector<stream_summary> out;
        out.reserve(states_.size());
        for (const stream_state& s : states_) out.push_back(s.summary);
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
        return out;
    }

private:
    std::int32_t add(std::uint32_t key) {
        states_.push_back({});
        states_.back().summary.key = key;
        return static_cast<std::int32_t>(states_.size() - 1);
    }
    std::vector<std::int32_t> dense_;
    std::unordered_map<std::uint32_t, std::int32_t> sparse_;
    std::vector<stream_state> states_;
};

// Counts the step from the stream's last sequence count to `seq`.
void follow(stream_state& s, std::uint32_t seq, std::uint32_t bits, std::uint64_t packet,
            std::vector<stream_fault>& faults) {
    stream_summary& m = s.summary;
    if (m.packets++ == 0) {
        s.last = seq;
        return;
    }
    const std::uint32_t mask = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    const std::uint32_t expected = (s.last + 1) & mask;
    if (seq == s.last) {
        ++m.repeats;
        faults.push_back({packet, m.key, fault_kind::repeat, 0});
        return;
    }
    // Counting on through the largest count back to 0 is a wrap, gap or not.
    if (seq < s.last) ++m.wraps;
    if (seq != expected) {
        const std::uint32_t missing = (seq - expected) & mask;
        ++m.gaps;
        m.missing += missing;
        faults.push_back({packet, m.key, fault_kind::gap, missing});
    }
    s.last = seq;
}

}  // namespace

std::string framing_problem(const framing_spec& f) {
    const auto check_field = [&](const header_field& h, const char* name, bool required) -> std::string {
        if (!h.present()) return required ? std::string(name) + " field is required" : std::string();
        if (h.bits > 32) return std::string(name) + " field must be 1 to 32 bits, got " + fmt::dec(std::uint64_t{h.bits});
        if (h.end() > 8 * std::uint64_t{f.header_bytes})
            return std::string(name) + " field (bits " + fmt::dec(std::uint64_t{h.offset}) + " to " +
                   fmt::dec(std::uint64_t{h.end()}) + ") lies outside the " + fmt::dec(std::uint64_t{f.header_bytes}) +
                   "-byte header";
        return {};
    };
    for (const auto& [h, name, required] :
         {std::tuple{f.length, "the length", true}, {f.key, "the key", false}, {f.sequence, "the sequence", false}})
        if (std::string p = check_field(h, name, required); !p.empty()) return p;
    if (f.header_bytes == 0) return "the header must be at least 1 byte";
    return {};
}

result<packet_index> index_packets(const framing_spec& f, const std::uint8_t* data, std::size_t n) {
    packet_index out;
    const std::size_t header = f.header_bytes;
    const std::size_t check_bytes = crc::bytes_of(f.check);
    const bool keyed = f.key.present(), counted = f.sequence.present();
    // A guess at the packet count, so that most walks never grow the arrays.
    const std::size_t guess = std::min<std::size_t>(n / std::max<std::size_t>(header, 16) + 1, std::size_t{1} << 24);
    out.offsets.reserve(guess);
    out.lengths.reserve(guess);
    if (keyed) out.keys.reserve(guess);
    if (counted) out.sequences.reserve(guess);
    stream_table streams(keyed ? f.key.bits : 0);

    std::size_t pos = 0;
    while (n - pos >= header) {
        const std::uint8_t* p = data + pos;
        // The field is at most 32 bits and the adjustment a signed 64-bit
        // number: the sum is exact in an unsigned 64-bit one, or short of 0.
        const std::uint64_t field = field_value(p, f.length);
        std::uint64_t length = 0, shortfall = 0;
        if (f.length_adjust >= 0) {
            length = field + static_cast<std::uint64_t>(f.length_adjust);
        } else {
            const std::uint64_t less = static_cast<std::uint64_t>(-(f.length_adjust + 1)) + 1;
            if (field >= less) length = field - less;
            else shortfall = less - field;
        }
        if (PW_UNLIKELY(shortfall != 0 || length < header))
            return value_error("packet " + fmt::dec(std::uint64_t{out.size()}) + " at byte " +
                               fmt::dec(std::uint64_t{pos}) + ": its length field gives " +
                               (shortfall != 0 ? "-" + fmt::dec(shortfall) : fmt::dec(length)) +
                               (shortfall == 0 && length == 1 ? " byte" : " bytes") + ", less than the " + fmt::dec(std::uint64_t{header}) + "-byte header");
        if (length > n - pos) break;  // the incomplete tail
        const auto size = static_cast<std::size_t>(length);
        const std::uint64_t number = out.size();
        out.offsets.push_back(pos);
        out.lengths.push_back(size);
        const std::uint32_t key = keyed ? field_value(p, f.key) : 0;
        if (keyed) out.keys.push_back(key);
        stream_state& s = streams.at(key);
        if (counted) {
            const std::uint32_t seq = field_value(p, f.sequence);
            out.sequences.push_back(seq);
            follow(s, seq, f.sequence.bits, number, out.faults);
        } else {
            ++s.summary.packets;
        }
        if (check_bytes != 0) {
            bool ok = size >= check_bytes;
            if (ok) {
                std::uint32_t stored = 0;
                for (std::size_t b = size - check_bytes; b < size; ++b) stored = (stored << 8) | p[b];
                ok = crc::compute(f.check, p, size - check_bytes) == stored;
            }
            if (!ok) {
                ++s.summary.check_failures;
                out.faults.push_back({number, key, fault_kind::check, 0});
            }
        }
        pos += size;
    }
    out.end = pos;
    out.tail = n - pos;
    out.streams = streams.summaries();
    return out;
}

packet_index select_key(const packet_index& from, std::uint32_t key) {
    packet_index out;
    std::vector<std::uint64_t> renumber;  // packet number in `from` -> in the selection
    for (std::size_t k = 0; k < from.size(); ++k) {
        if (!from.keys.empty() && from.keys[k] != key) continue;
        if (from.keys.empty() && key != 0) break;
        out.offsets.push_back(from.offsets[k]);
        out.lengths.push_back(from.lengths[k]);
        if (!from.keys.empty()) out.keys.push_back(key);
        if (!from.sequences.empty()) out.sequences.push_back(from.sequences[k]);
        renumber.push_back(k);
    }
    for (const stream_fault& fault : from.faults) {
        if (fault.key != key) continue;
        const auto at = std::lower_bound(renumber.begin(), renumber.end(), fault.packet);
        stream_fault moved = fault;
        moved.packet = static_cast<std::uint64_t>(at - renumber.begin());
        out.faults.push_back(moved);
    }
    for (const stream_summary& s : from.streams)
        if (s.key == key) out.streams.push_back(s);
    out.end = from.end;
    out.tail = 0;
    return out;
}

}  // namespace packweaver::packet
