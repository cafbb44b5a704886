#include "pack_engine.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "../common/bits.hpp"
#include "../common/format.hpp"
#include "../encoder/text.hpp"
#include "../packet/field.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "field_steps.hpp"
#include "sinks.hpp"

namespace packweaver {

namespace py {

PW_COLD static error packet_too_large(u128 end_bits) {
    return value_error("Packet too large: " + fmt::dec(end_bits) + " bits do not fit in a bytes object");
}

PW_COLD static error cannot_allocate(u128 bytes) {
    return value_error("Cannot allocate a packet of " + fmt::dec(bytes) + " bytes");
}

result<PyObject*> new_packet(u128 end_bits) {
    const u128 size = (end_bits + 7) / 8;
    if (PW_UNLIKELY(size > static_cast<u128>(PY_SSIZE_T_MAX))) return packet_too_large(end_bits);
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (PW_UNLIKELY(!bytes)) {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return pending_error();
        PyErr_Clear();
        return cannot_allocate(size);
    }
    std::memset(PyBytes_AS_STRING(bytes), 0, static_cast<std::size_t>(size));
    return bytes;
}

}  // namespace py

namespace {

// Room for the items of one call. The outermost call on a thread reuses the
// thread's room, so a call allocates nothing; a call made from a hook while
// that room is in use takes its own on the heap (never on the C stack, which
// every level of such recursion keeps while hooks run), leaving the outer
// call's items as they are.
// The items of the outermost call on a thread.
struct thread_room {
    std::unique_ptr<py::item_view[]> items;
    std::size_t size = 0;
    bool busy = false;
};
thread_local thread_room room;

class item_room {
public:
    explicit item_room(std::size_t n) : n_(n) {
        thread_room& t = room;  // one look-up of the thread's storage
        if (!t.busy && n <= max_kept) {
            if (t.size < n) {
                t.items.reset();  // let the old room go first
                t.size = 0;
                const std::size_t size = std::max<std::size_t>(n, 64);
                t.items.reset(new py::item_view[size]);
                t.size = size;
            }
            fields_ = t.items.get();
            t.busy = true;
            owner_ = &t;
        } else {
            // A list holds at most PY_SSIZE_T_MAX items; saying so keeps the
            // array's byte count in range.
            if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(py::item_view)) throw std::bad_alloc();
            heap_.reset(new py::item_view[n]);
            fields_ = heap_.get();
        }
    }
    item_room(const item_room&) = delete;
    item_room& operator=(const item_room&) = delete;
    ~item_room() {
        if (owner_ == nullptr) return;
        // Letting the held objects go may run finalizers, which may call the
        // engines: the room stays taken until every item is clear.
        for (std::size_t i = 0; i < n_; ++i) fields_[i].let_go();
        owner_->busy = false;
    }
    py::item_view* fields() const noexcept { return fields_; }

private:
    static constexpr std::size_t max_kept = 4096;  // larger recipes are rare: not kept for the thread

    std::size_t n_;
    py::item_view* fields_ = nullptr;
    thread_room* owner_ = nullptr;
    std::unique_ptr<py::item_view[]> heap_;
};

}  // namespace

result<PyObject*> build_packet(const py::item_list& items) {
    const std::size_t n = items.size();
    if (n == 0) return PyBytes_FromStringAndSize(nullptr, 0);

    // Items read in one go in the sizing pass serve the encoding pass too, as
    // long as no Python code has run in between.
    item_room room(n);
    py::item_view* fields = room.fields();
    bool may_have_run_code = false;

    // Sizing pass.
    packet::packet_extent extent;
    for (std::size_t i = 0; i < n; ++i) {
        py::prefetch_items(items, i);
        py::item_view& f = fields[i];
        if (status s = py::read_item(items[i], py::item_part::extent, f); PW_UNLIKELY(!s)) return s.take_error();
        may_have_run_code |= f.ran_code;
        extent.add(f.desc);
    }
    auto made = py::new_packet(extent.end_bits());
    if (PW_UNLIKELY(!made)) return made.take_error();
    py::ref bytes(*made);
    const std::span<std::uint8_t> packet(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));

    // Encoding pass.
    packet::position_tracker positions;
    packet::plan_field p;
    for (std::size_t i = 0; i < n; ++i) {
        // The sizing pass read the whole item in one go (the encoding is
        // known then) and nothing has run since that could have changed it:
        // use what it read in place. Otherwise read the item again, over it.
        py::item_view& f = fields[i];
        if (!(f.encoding != nullptr && !f.ran_code && !may_have_run_code)) {
            if (status s = py::read_item(items[i], py::item_part::keys_and_value, f); PW_UNLIKELY(!s))
                return s.take_error();
            may_have_run_code |= f.ran_code;
        }
        if (PW_UNLIKELY(!f.value)) return py::missing_value(f.name);
        // Converting a value of another kind, or lower-casing a name outside
        // ASCII, may run Python code: hold this item's objects, and read
        // every later item afresh.
        if (PW_UNLIKELY(!py::is_inert(f.value) || !f.order_known || f.encoding == nullptr)) {
            f.hold();
            may_have_run_code = true;
        }
        const u128 pos = positions.place(f.desc);
        if (status s = py::resolve_names(f); PW_UNLIKELY(!s)) return s.take_error();
        py::plan_of(f, pos, p);
        const py::field_labels labels{f.name, f.encoding_text, f.order_text};
        if (status s = py::pack_value(packet, p, pos, f.value, labels); PW_UNLIKELY(!s)) return s.take_error();
    }
    return bytes.release();
}

}  // namespace packweaver
