// Decoding wire values into Python values: Serializer.from_wire.
//
// Wire values come from the far end and are trusted in nothing: every
// member may be missing or of any type, nesting may be arbitrarily deep.
// The tag decides first ("Null", "Bool", "Int"/"Float", "String", "Date",
// "Bytes", "Array", "Dict"); an unknown tag with a true "isSpec" is a
// reference to a remote object; anything else becomes the text of "value".
//
// One `Decoder` serves one top-level call and resolves its collaborators
// (dt, base64, Serializer, the proxy classes) from the module namespace the
// first time a value needs them. While `Serializer.from_wire` is our own
// function, nested wire values are decoded here directly.
#include "../capi/args.hpp"
#include "../capi/error.hpp"
#include "../capi/mapping.hpp"
#include "../capi/recursion.hpp"
#include "../capi/sequence.hpp"
#include "codec.hpp"

#include <cstring>

namespace com_like::wire {

namespace {

constexpr const char kDepth[] = " while decoding a wire value";

enum class Tag { none, null, boolean, integer, floating, string, date, bytes, array, dict };

// Does the one-byte text `data` (of the tag's length) spell `tag`?
bool text_is(const char* data, PyObject* tag) {
    return std::memcmp(data, PyUnicode_1BYTE_DATA(tag), static_cast<std::size_t>(PyUnicode_GET_LENGTH(tag))) == 0;
}

// The tag named by "type": string equality with the nine tags; anything
// that is not a string names none. The length picks the candidates.
Tag classify(PyObject* type) {
    if (type == tag_int) return Tag::integer;
    if (type == tag_string) return Tag::string;
    if (type == tag_float) return Tag::floating;
    if (!PyUnicode_Check(type) || PyUnicode_KIND(type) != PyUnicode_1BYTE_KIND) {
        return Tag::none;
    }
    const char* data = static_cast<const char*>(PyUnicode_DATA(type));
    switch (PyUnicode_GET_LENGTH(type)) {
        case 3:
            return text_is(data, tag_int) ? Tag::integer : Tag::none;
        case 4:
            if (text_is(data, tag_null)) return Tag::null;
            if (text_is(data, tag_bool)) return Tag::boolean;
            if (text_is(data, tag_date)) return Tag::date;
            if (text_is(data, tag_dict)) return Tag::dict;
            return Tag::none;
        case 5:
            if (text_is(data, tag_float)) return Tag::floating;
            if (text_is(data, tag_bytes)) return Tag::bytes;
            if (text_is(data, tag_array)) return Tag::array;
            return Tag::none;
        case 6:
            return text_is(data, tag_string) ? Tag::string : Tag::none;
        default:
            return Tag::none;
    }
}

class Decoder {
public:
    Ref decode(PyObject* wire);

private:
    Ref element(PyObject* item);
    [[gnu::noinline]] Ref decode_date(PyObject* text);
    [[gnu::noinline]] Ref decode_bytes(PyObject* text);
    [[gnu::noinline]] Ref decode_array(PyObject* wire, PyObject* items);
    [[gnu::noinline]] Ref decode_dict(PyObject* wire, PyObject* entries);
    [[gnu::noinline]] Ref decode_reference(PyObject* wire, PyObject* type, PyObject* value);
    Ref global(Ref& slot, PyObject* name);

    Ref from_wire_;
    bool native_ = false;
    Ref fromisoformat_;
    bool fromisoformat_missing_ = false;
    Ref b64decode_, array_class_, dict_class_, object_class_;
};

Ref Decoder::global(Ref& slot, PyObject* name) {
    if (!slot) {
        slot = lookup_global(name);
    }
    return slot;
}

Ref Decoder::element(PyObject* item) {
    if (!from_wire_) {
        from_wire_ = serializer_method(attr_from_wire);
        if (!from_wire_) {
            return {};
        }
        native_ = from_wire_.get() == state().from_wire;
    }
    if (!native_) {
        return steal(PyObject_CallOneArg(from_wire_.get(), item));
    }
    if (!require_exact(item, &PyDict_Type, "wire")) {
        return {};
    }
    return decode(item);
}

Ref Decoder::decode(PyObject* wire) {
    Ref type = get_member(wire, key_type);
    Ref value = type ? get_member(wire, key_value) : Ref();
    if (!value) {
        return {};
    }
    switch (classify(type.get())) {
        case Tag::null:
            return none();
        case Tag::boolean: {
            const int truth = PyObject_IsTrue(value.get());
            return truth < 0 ? Ref() : boolean(truth);
        }
        case Tag::integer:
            return PyLong_CheckExact(value.get()) ? std::move(value) : steal(PyNumber_Long(value.get()));
        case Tag::floating:
            return PyFloat_CheckExact(value.get()) ? std::move(value) : steal(PyNumber_Float(value.get()));
        case Tag::string:
            return PyUnicode_CheckExact(value.get()) ? std::move(value) : steal(PyObject_Str(value.get()));
        case Tag::date:
            return decode_date(value.get());
        case Tag::bytes:
            return decode_bytes(value.get());
        case Tag::array:
            return decode_array(wire, value.get());
        case Tag::dict:
            return decode_dict(wire, value.get());
        case Tag::none:
            break;
    }
    return decode_reference(wire, type.get(), value.get());
}

// A text that does not parse (or no text at all) is returned as it came.
Ref Decoder::decode_date(PyObject* text) {
    if (!fromisoformat_ && !fromisoformat_missing_) {
        Ref dt = lookup_global(global_dt);
        Ref datetime = dt ? steal(PyObject_GetAttr(dt.get(), attr_datetime)) : Ref();
        fromisoformat_ = datetime ? steal(PyObject_GetAttr(datetime.get(), attr_fromisoformat)) : Ref();
        fromisoformat_missing_ = !fromisoformat_;
    }
    Ref parsed = fromisoformat_ ? steal(PyObject_CallOneArg(fromisoformat_.get(), text)) : Ref();
    if (parsed) {
        return parsed;
    }
    Raised error;
    if (!error.is_exception()) {
        return error.restore(), Ref();
    }
    return borrow(text);
}

Ref Decoder::decode_bytes(PyObject* text) {
    const int truth = PyObject_IsTrue(text);
    if (truth < 0) {
        return {};
    }
    if (!b64decode_) {
        Ref base64 = lookup_global(global_base64);
        b64decode_ = base64 ? steal(PyObject_GetAttr(base64.get(), attr_b64decode)) : Ref();
        if (!b64decode_) {
            return {};
        }
    }
    Ref empty = truth ? Ref() : steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!truth && !empty) {
        return {};
    }
    return steal(PyObject_CallOneArg(b64decode_.get(), truth ? text : empty.get()));
}

// The proxy is made first, then every element is decoded, then the proxy
// takes them all in one extend(): a failure leaves nothing half-filled.
Ref Decoder::decode_array(PyObject* wire, PyObject* items) {
    RecursionGuard depth(kDepth);
    if (!depth.ok()) {
        return {};
    }
    Ref cls = global(array_class_, global_office_js_array);
    Ref object_id = cls ? get_member(wire, key_id) : Ref();
    Ref proxy = object_id ? steal(PyObject_CallOneArg(cls.get(), object_id.get())) : Ref();
    const int truth = proxy ? PyObject_IsTrue(items) : -1;
    if (truth < 0) {
        return {};
    }
    auto decode_item = [this](PyObject* item) { return element(item); };
    Ref decoded = truth ? map_items(items, 0, decode_item) : steal(PyList_New(0));
    if (!decoded) {
        return {};
    }
    Ref done = steal(PyObject_CallMethodOneArg(proxy.get(), attr_extend, decoded.get()));
    return done ? std::move(proxy) : Ref();
}

Ref Decoder::decode_dict(PyObject* wire, PyObject* entries) {
    RecursionGuard depth(kDepth);
    if (!depth.ok()) {
        return {};
    }
    Ref cls = global(dict_class_, global_office_js_dict);
    Ref object_id = cls ? get_member(wire, key_id) : Ref();
    Ref proxy = object_id ? steal(PyObject_CallOneArg(cls.get(), object_id.get())) : Ref();
    const int truth = proxy ? PyObject_IsTrue(entries) : -1;
    Ref decoded = truth >= 0 ? steal(PyDict_New()) : Ref();
    auto decode_item = [this](PyObject* item) { return element(item); };
    if (!decoded || (truth && !map_entries(entries, decoded.get(), decode_item))) {
        return {};
    }
    Ref done = steal(PyObject_CallMethodOneArg(proxy.get(), attr_update, decoded.get()));
    return done ? std::move(proxy) : Ref();
}

// No tag matched: a reference when "isSpec" is true, otherwise text.
Ref Decoder::decode_reference(PyObject* wire, PyObject* type, PyObject* value) {
    Ref is_spec = get_member(wire, key_is_spec);
    const int reference = is_spec ? PyObject_IsTrue(is_spec.get()) : -1;
    if (reference < 0) {
        return {};
    }
    if (!reference) {
        return steal(PyObject_Str(value));
    }
    Ref cls = global(object_class_, global_office_js_object);
    Ref object_id = !cls ? Ref() : PyLong_CheckExact(value) ? borrow(value) : steal(PyNumber_Long(value));
    if (!object_id) {
        return {};
    }
    PyObject* args[] = {nullptr, object_id.get(), type};
    return steal(PyObject_Vectorcall(cls.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref decode(PyObject* wire) {
    Decoder decoder;
    return decoder.decode(wire);
}

}  // namespace

PyObject* from_wire_entry(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"wire"};
    static const Signature sig("Serializer.from_wire", names, 1);
    Bound<1> a(sig, args, nargsf, kwnames);
    if (!a.ok() || !require_exact(a[0], &PyDict_Type, "wire")) {
        return nullptr;
    }
    return decode(a[0]).release();
}

}  // namespace com_like::wire
