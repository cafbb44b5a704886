#include "framing.hpp"

#include <algorithm>
#include <cstdlib>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "../common/format.hpp"
#include "../common/platform.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace packweaver::packet {

namespace detail {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
void* allocate_large(std::size_t bytes) {
    constexpr std::size_t huge = std::size_t{2} << 20;
    if (bytes > SIZE_MAX - huge) throw std::bad_alloc();
    const std::size_t rounded = (bytes + huge - 1) / huge * huge;
    void* p = std::aligned_alloc(huge, rounded);
    if (p == nullptr) throw std::bad_alloc();
    madvise(p, rounded, MADV_HUGEPAGE);  // a hint: without it, ordinary pages
    return p;
}

void deallocate_large(void* p) noexcept { std::free(p); }
#else
void* allocate_large(std::size_t bytes) { return ::operator new(bytes); }

void deallocate_large(void* p) noexcept { ::operator delete(p); }
#endif

}  // namespace detail

namespace {

// A header field of packet p, which has at least header_bytes bytes.
PW_INLINE std::uint32_t field_value(const std::uint8_t* p, header_field f) noexcept {
    const std::uint32_t first = f.offset / 8, last = (f.end() + 7) / 8;
    std::uint64_t v = 0;
    for (std::uint32_t b = first; b < last; ++b) v = (v << 8) | p[b];
    v >>= 8 * last - f.end();
    return static_cast<std::uint32_t>(v & ((std::uint64_t{1} << f.bits) - 1));
}

// A header field read with one 8-byte load where the buffer has the bytes.
struct field_reader {
    std::uint32_t first = 0;  // its first byte
    unsigned shift = 0;       // 64 less the bits from that byte's start to the field's end
    std::uint32_t mask = 0;
    header_field field;

    explicit field_reader(header_field f) noexcept
        : first(f.offset / 8),
          shift(64 - (f.end() - 8 * (f.offset / 8))),
          mask(f.bits >= 32 ? 0xFFFFFFFFu : (1u << f.bits) - 1),
          field(f) {}

    // Packet p has `room` bytes from its start to the buffer's end.
    PW_INLINE std::uint32_t operator()(const std::uint8_t* p, std::size_t room) const noexcept {
        if (PW_LIKELY(room >= std::size_t{first} + 8)) {
            std::uint64_t v;
            std::memcpy(&v, p + first, 8);
            if constexpr (std::endian::native == std::endian::little) v = byte_swap64(v);
            return static_cast<std::uint32_t>(v >> shift) & mask;
        }
        return field_value(p, field);
    }
};

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

// Counts the step from the stream's last sequence count to `seq`, and
// writes the fault it makes (if any) to *fault; returns whether there was
// one. Without branches on the counts: in a shuffled stream every packet
// may be a fault.
PW_INLINE bool follow(stream_state& s, std::uint32_t seq, std::uint32_t mask, std::uint64_t packet,
                      stream_fault* fault) {
    stream_summary& m = s.summary;
    const bool first = m.packets++ == 0;
    const std::uint32_t last = first ? seq : s.last;
    const std::uint32_t expected = (last + 1) & mask;
    const bool repeat = !first && seq == last;
    const std::uint32_t missing = (seq - expected) & mask;
    const bool gap = !first && !repeat && missing != 0;
    // Counting on through the largest count back to 0 is a wrap, gap or not.
    m.wraps += !first && seq < last;
    m.repeats += repeat;
    m.gaps += gap;
    m.missing += gap ? missing : 0;
    s.last = seq;
    *fault = {packet, m.key, repeat ? fault_kind::repeat : fault_kind::gap, repeat ? 0 : missing};
    return repeat || gap;
}

}  // namespace

std::string framing_problem(const framing_layout& f) {
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

result<packet_index> index_packets(const framing_layout& f, const std::uint8_t* data, std::size_t n) {
    packet_index out;
    const std::size_t header = f.header_bytes;
    const std::size_t check_bytes = crc::bytes_of(f.check);
    const bool keyed = f.key.present(), counted = f.sequence.present();
    stream_table streams(keyed ? f.key.bits : 0);
    const field_reader length_of(f.length), key_of(keyed ? f.key : f.length),
        sequence_of(counted ? f.sequence : f.length);

    // A first walk over the length fields alone counts the packets, so that
    // the columns are made once at their size: growing them would copy and
    // touch their memory again. (It stops where the walk below stops or
    // fails.)
    std::size_t reserved = 1;
    {
        std::size_t packets = 0;
        for (std::size_t at = 0; n - at >= header;) {
            const std::uint64_t field = length_of(data + at, n - at);
            const std::uint64_t length =
                f.length_adjust >= 0 ? field + static_cast<std::uint64_t>(f.length_adjust)
                : field >= static_cast<std::uint64_t>(-(f.length_adjust + 1)) + 1
                    ? field - (static_cast<std::uint64_t>(-(f.length_adjust + 1)) + 1)
                    : 0;
            if (length < header || length > n - at) break;
            at += static_cast<std::size_t>(length);
            ++packets;
        }
        reserved = packets + 1;
        out.offsets.reserve(reserved);
        out.lengths.reserve(reserved);
        if (keyed) out.keys.reserve(reserved);
        if (counted) out.sequences.reserve(reserved);
    }

    // The columns are sized a chunk at a time (within what was reserved);
    // each chunk's packets are written without a check of room, and the
    // columns cut to the count at the end.
    constexpr std::size_t chunk = 4096;
    const std::uint32_t sequence_mask = counted && f.sequence.bits < 32 ? (1u << f.sequence.bits) - 1 : 0xFFFFFFFFu;
    std::size_t count = 0, pos = 0, faults = 0;
    bool more = true;
    while (more) {
        // Past the counted packets only if the buffer changed under the walk
        // (another thread writing to it): then the columns grow.
        const std::size_t room = std::min(count + chunk, std::max(reserved, count + 1));
        // At most two faults a packet: its sequence count and its check.
        out.faults.resize(faults + 2 * chunk);
        out.offsets.resize(room);
        out.lengths.resize(room);
        if (keyed) out.keys.resize(room);
        if (counted) out.sequences.resize(room);
        std::uint64_t* offsets = out.offsets.data();
        std::uint64_t* lengths = out.lengths.data();
        std::uint32_t* keys = out.keys.data();
        std::uint32_t* sequences = out.sequences.data();
        more = false;
        for (; count < room; ++count) {
            if (n - pos < header) break;
            const std::uint8_t* p = data + pos;
            const std::size_t left = n - pos;
            // The field is at most 32 bits and the adjustment a signed 64-bit
            // number: the sum is exact in an unsigned 64-bit one, or short of 0.
            const std::uint64_t field = length_of(p, left);
            std::uint64_t length = 0, shortfall = 0;
            if (f.length_adjust >= 0) {
                length = field + static_cast<std::uint64_t>(f.length_adjust);
            } else {
                const std::uint64_t less = static_cast<std::uint64_t>(-(f.length_adjust + 1)) + 1;
                if (field >= less) length = field - less;
                else shortfall = less - field;
            }
            if (PW_UNLIKELY(shortfall != 0 || length < header)) {
                out.offsets.resize(count);  // the message below may allocate
                return value_error("packet " + fmt::dec(std::uint64_t{count}) + " at byte " +
                                   fmt::dec(std::uint64_t{pos}) + ": its length field gives " +
                                   (shortfall != 0 ? "-" + fmt::dec(shortfall) : fmt::dec(length)) +
                                   (shortfall == 0 && length == 1 ? " byte" : " bytes") + ", less than the " +
                                   fmt::dec(std::uint64_t{header}) + "-byte header");
            }
            if (length > left) break;  // the incomplete tail
            const auto size = static_cast<std::size_t>(length);
            offsets[count] = pos;
            lengths[count] = size;
            const std::uint32_t key = keyed ? key_of(p, left) : 0;
            if (keyed) keys[count] = key;
            stream_state& s = streams.at(key);
            if (counted) {
                const std::uint32_t seq = sequence_of(p, left);
                sequences[count] = seq;
                faults += follow(s, seq, sequence_mask, count, out.faults.data() + faults);
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
                    out.faults[faults++] = {count, key, fault_kind::check, 0};
                }
            }
            pos += size;
        }
        more = count == room;
    }
    out.offsets.resize(count);
    out.lengths.resize(count);
    out.faults.resize(faults);
    if (keyed) out.keys.resize(count);
    if (counted) out.sequences.resize(count);
    out.end = pos;
    out.tail = n - pos;
    out.streams = streams.summaries();
    return out;
}

packet_index select_key(const packet_index& from, std::uint32_t key) {
    packet_index out;
    std::vector<std::uint64_t> renumber;  // packet number in `from` -> in the selection
    for (const stream_summary& s : from.streams)
        if (s.key == key) {
            const auto n = static_cast<std::size_t>(s.packets);
            out.offsets.reserve(n);
            out.lengths.reserve(n);
            if (!from.keys.empty()) out.keys.reserve(n);
            if (!from.sequences.empty()) out.sequences.reserve(n);
            renumber.reserve(n);
        }
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
