#include "request_id.hpp"

#include "../capi/state.hpp"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace com_like::messaging {

namespace {

// Random bytes come from os.urandom (the operating system's cryptographic
// source, on every platform the interpreter runs on) in blocks; each thread
// keeps its own block, so one call serves 256 ids. It pays: drawing each id
// with uuid.uuid4().hex through the interpreter instead made a request cost
// about 2 microseconds more. A forked child must never reuse its parent's
// bytes: the interpreter's after-fork hook bumps the generation, which
// invalidates every block.
std::atomic<unsigned> fork_generation{0};

constexpr std::size_t kBlock = 4096;

struct RandomPool {
    unsigned char bytes[kBlock];
    std::size_t used = kBlock;
    unsigned generation = 0;
};

thread_local RandomPool pool;

bool refill(RandomPool& p) {
    Ref size = steal(PyLong_FromSize_t(kBlock));
    Ref drawn = size ? steal(PyObject_CallOneArg(state().urandom, size.get())) : Ref();
    if (!drawn) {
        return false;
    }
    if (!PyBytes_CheckExact(drawn.get()) || PyBytes_GET_SIZE(drawn.get()) != static_cast<Py_ssize_t>(kBlock)) {
        PyErr_SetString(PyExc_RuntimeError, "os.urandom returned an unexpected value");
        return false;
    }
    std::memcpy(p.bytes, PyBytes_AS_STRING(drawn.get()), kBlock);
    p.used = 0;
    p.generation = fork_generation.load(std::memory_order_relaxed);
    return true;
}

PyObject* after_fork_in_child(PyObject*, PyObject*) {
    fork_generation.fetch_add(1, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef after_fork_def = {"_velmara_request_ids_after_fork", after_fork_in_child, METH_NOARGS,
                              "Forget the random bytes drawn before the fork."};

// Two hex digits per byte value.
struct HexPairs {
    char text[512];
    constexpr HexPairs() : text() {
        constexpr char digits[] = "0123456789abcdef";
        for (int i = 0; i < 256; ++i) {
            text[2 * i] = digits[i >> 4];
            text[2 * i + 1] = digits[i & 0x0f];
        }
    }
};
constexpr HexPairs kHex;

}  // namespace

int init_request_ids() noexcept {
    State& s = state();
    if (s.urandom) {
        return 0;
    }
    Ref os = steal(PyImport_ImportModule("os"));
    Ref urandom = os ? steal(PyObject_GetAttrString(os.get(), "urandom")) : Ref();
    Ref register_at_fork = urandom ? steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : Ref();
    Ref hook = register_at_fork ? steal(PyCFunction_New(&after_fork_def, nullptr)) : Ref();
    Ref kwnames = hook ? steal(Py_BuildValue("(s)", "after_in_child")) : Ref();
    if (!kwnames) {
        return -1;
    }
    PyObject* args[] = {nullptr, hook.get()};
    Ref registered =
        steal(PyObject_Vectorcall(register_at_fork.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    return registered && keep(s.urandom, std::move(urandom)) ? 0 : -1;
}

Ref new_hex_id() noexcept {
    RandomPool& p = pool;
    if (p.used + 16 > kBlock || p.generation != fork_generation.load(std::memory_order_relaxed)) {
        if (!refill(p)) {
            return {};
        }
    }
    unsigned char b[16];
    std::memcpy(b, p.bytes + p.used, sizeof(b));
    std::memset(p.bytes + p.used, 0, sizeof(b));  // a used byte is never handed out twice
    p.used += sizeof(b);
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant

    PyObject* text = PyUnicode_New(32, 127);
    if (!text) {
        return {};
    }
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text);
    for (unsigned char byte : b) {
        std::memcpy(out, kHex.text + 2 * byte, 2);
        out += 2;
    }
    return steal(text);
}

}  // namespace com_like::messaging
