// Framing: where each packet of a mixed stream begins and ends, read from
// the length field of its header, and an index of the packets of a buffer
// (offset, length, stream key, sequence count) with the faults found on the
// way: gaps and repeats in each stream's sequence counts, failed check
// values. Pure C++; the walk runs no interpreter code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "../common/crc.hpp"
#include "../common/error.hpp"

namespace packweaver::packet {

// A big-endian unsigned field of a header: `bits` (1-32, 0 for none) at bit
// `offset` of the packet.
struct header_field {
    std::uint32_t offset = 0;
    std::uint32_t bits = 0;
    bool present() const noexcept { return bits != 0; }
    std::uint32_t end() const noexcept { return offset + bits; }
};

struct framing_layout {
    header_field length;           // the packet length field
    std::int64_t length_adjust = 0;  // packet bytes = length field + length_adjust
    header_field key;              // the stream identifier, or none
    header_field sequence;         // the sequence counter (wrapping), or none
    crc::algorithm check = crc::algorithm::none;  // over the packet, its value in its last bytes
    std::uint32_t header_bytes = 0;  // bytes a packet has at least; covers the fields above
};

// Why a framing description is refused (empty: it is sound).
std::string framing_problem(const framing_layout& f);

enum class fault_kind : std::uint8_t { gap, repeat, check };

// One fault of a stream: at packet number `packet` of the index.
struct stream_fault {
    std::uint64_t packet;
    std::uint32_t key;
    fault_kind kind;
    std::uint32_t missing;  // for a gap: how many sequence counts were skipped
};

// Per stream key: its packet count and faults.
struct stream_summary {
    std::uint32_t key = 0;
    std::uint64_t packets = 0, gaps = 0, missing = 0, repeats = 0, wraps = 0, check_failures = 0;
};

namespace detail {
// Memory for large index columns: on Linux in huge pages where the system
// gives them on request, as an index of a large archive otherwise spends
// much of its time taking page faults on its own fresh memory.
void* allocate_large(std::size_t bytes);
void deallocate_large(void* p) noexcept;
inline constexpr std::size_t large_bytes = std::size_t{4} << 20;
}  // namespace detail

// A vector whose resize leaves new numbers unwritten: the walk grows its
// columns a chunk at a time and writes each number once.
template <class T>
struct unwritten_allocator : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = unwritten_allocator<U>;
    };
    unwritten_allocator() = default;
    template <class U>
    unwritten_allocator(const unwritten_allocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        if (n * sizeof(T) >= detail::large_bytes) return static_cast<T*>(detail::allocate_large(n * sizeof(T)));
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) >= detail::large_bytes) return detail::deallocate_large(p);
        std::allocator<T>::deallocate(p, n);
    }
    template <class U>
    bool operator==(const unwritten_allocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
template <class T>
using index_column = std::vector<T, unwritten_allocator<T>>;

struct packet_index {
    index_column<std::uint64_t> offsets, lengths;
    index_column<std::uint32_t> keys, sequences;  // empty when the framing has no such field
    index_column<stream_fault> faults;           // in packet order
    std::vector<stream_summary> streams;         // sorted by key
    std::uint64_t tail = 0;                      // bytes of an incomplete last packet
    std::uint64_t end = 0;                       // where the last whole packet ends
    std::size_t size() const noexcept { return offsets.size(); }
};

// Indexes the packets of data[0, n). A packet whose length is shorter than
// the header breaks the framing: the error names its number and offset.
// May throw std::bad_alloc; runs no interpreter code.
result<packet_index> index_packets(const framing_layout& f, const std::uint8_t* data, std::size_t n);

// The packets of one key, in order, with that key's faults and summary
// (packet numbers renumbered within the selection).
packet_index select_key(const packet_index& from, std::uint32_t key);

}  // namespace packweaver::packet
