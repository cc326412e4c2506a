// The class Serializer: docstrings, annotations and the two static methods.
#include "serializer.hpp"

#include "../capi/classes.hpp"
#include "codec.hpp"

namespace com_like::wire {

namespace {

constexpr const char kClassDoc[] = "Handles marshaling of data types between Python and JavaScript.";

constexpr const char* kToWireAnnotations[] = {"value", "Any", "return", "Dict[str, Any]", nullptr};
constexpr const char* kFromWireAnnotations[] = {"wire", "Dict[str, Any]", "return", "Any", nullptr};

const FunctionDef kMethods[] = {
    {"to_wire",
     "Serializer.to_wire(value)\n"
     "\n"
     "Serialize a Python value to wire format for transmission.\n"
     "\n"
     "Supports None, bool, int, float, str, datetime, bytes, list, dict, and\n"
     "OfficeJsObject wrappers.",
     to_wire_entry, "(value)", kToWireAnnotations, true},
    {"from_wire",
     "Serializer.from_wire(dict wire: Dict[str, Any])\n"
     "\n"
     "Deserialize a wire format value back to Python.\n"
     "\n"
     "Handles Null, Bool, Int, Float, String, Date, Bytes, Array, Dict, and\n"
     "special OfficeJs object references.",
     from_wire_entry, "(wire)", kFromWireAnnotations, true},
};

}  // namespace

int define_serializer(PyObject* globals, PyObject* module_name) noexcept {
    if (intern_names() < 0 || init_encoder() < 0 ||
        !keep(state().object_kwnames, steal(PyTuple_Pack(2, attr_dtype, text_na_value)))) {
        return -1;
    }
    Ref cls = make_class({"Serializer", kClassDoc, kMethods}, nullptr, module_name);
    if (!cls) {
        return -1;
    }
    // The static methods hand out the function objects they wrap.
    Ref to_wire = steal(PyObject_GetAttr(cls.get(), attr_to_wire));
    Ref from_wire = to_wire ? steal(PyObject_GetAttr(cls.get(), attr_from_wire)) : Ref();
    if (!from_wire) {
        return -1;
    }
    // When Serializer.to_wire / from_wire still resolve to these, nested
    // values are handled without a round trip through the interpreter.
    keep(state().to_wire, std::move(to_wire));
    keep(state().from_wire, std::move(from_wire));
    return PyDict_SetItemString(globals, "Serializer", cls.get());
}

}  // namespace com_like::wire
