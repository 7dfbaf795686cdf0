// The engine base class: the names of the engine operations, and the
// human-readable dump that both engines write next to their model file.
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "pyutil.hpp"

namespace py = pybind11;

namespace {

py::object enum_as_value(py::object obj) {
    // Engines keep a document's language as an enumeration member; the dump
    // shows its value ("pt") instead of failing after the model file has
    // already been replaced. Anything else unserialisable fails as json
    // itself would.
    if (py::isinstance(obj, wr::import_attr("enum", "Enum"))) return obj.attr("value");
    wr::raise(PyExc_TypeError, {"Object of type ", py::type::of(obj).attr("__name__"),
                                " is not JSON serializable"});
}

// The text json.dumps(..., indent=4) makes, from the text it makes without
// an indent (", " between items, ": " after keys, ASCII only): a line and
// four blanks more per level where an item or a container starts, one level
// less before its end, empty containers as they are. The same tokens in the
// same order, so the same bytes: the indenting encoder is Python's own loop
// (0.3 s for 100,000 documents, at every commit), the other C.
std::string indented(std::string_view compact) {
    std::string out;
    out.reserve(compact.size() + compact.size() / 4);
    std::size_t level = 0;
    auto new_line = [&] {
        out.push_back('\n');
        out.append(4 * level, ' ');
    };
    for (std::size_t i = 0; i < compact.size(); ++i) {
        const char c = compact[i];
        if (c == '"') {  // a string, copied whole: its escapes hold no bare quote
            const std::size_t begin = i++;
            while (i < compact.size() && compact[i] != '"') i += compact[i] == '\\' ? 2 : 1;
            out.append(compact.substr(begin, i - begin + 1));
        } else if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            out.push_back(c);
            if (i + 1 < compact.size() && compact[i + 1] == close) {
                out.push_back(close);
                ++i;
            } else {
                ++level;
                new_line();
            }
        } else if (c == '}' || c == ']') {
            if (level) --level;
            new_line();
            out.push_back(c);
        } else if (c == ',') {
            out.push_back(',');
            new_line();
            if (i + 1 < compact.size() && compact[i + 1] == ' ') ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// Whether the function `fn` was written in `module`'s own source file.
bool defined_in(py::handle fn, py::handle module) {
    py::object code = py::getattr(fn, "__code__", py::none());
    return !code.is_none() &&
           py::getattr(code, "co_filename", py::none()).equal(py::getattr(module, "__file__", py::none()));
}

// Whether `dumps` is the standard library's own function, with its own
// encoder, whose text without an indent indented() turns into its text with one.
bool standard_dumps(py::handle dumps) {
    py::object json = wr::import("json");
    py::object encoder = wr::import("json.encoder");
    py::object cls = encoder.attr("JSONEncoder");
    if (!defined_in(dumps, json) || !py::getattr(json, "JSONEncoder", py::none()).is(cls)) return false;
    for (const char* method : {"encode", "iterencode"})
        if (!defined_in(py::getattr(cls, method, py::none()), encoder)) return false;
    return true;
}

void save_debug_json(py::object /*self*/, py::object dc, py::object debug_file) {
    py::object now = wr::import_attr("datetime", "datetime").attr("now")();
    dc["updated_at"] = py::str(now);
    py::object dumps = wr::import_attr("json", "dumps");
    py::object as_value = py::cpp_function(&enum_as_value);
    // Serialising first means a failure leaves an existing dump untouched;
    // the write itself replaces the file atomically.
    std::string data;
    if (standard_dumps(dumps)) {
        data = indented(py::str(dumps(dc, py::arg("default") = as_value)).cast<std::string>());
    } else {  // a host's own dumps is given what the dump asks of it
        py::object text = dumps(dc, py::arg("indent") = 4, py::arg("default") = as_value);
        data = text.attr("encode")("ascii").cast<std::string>();
    }
    std::string path = wr::import_attr("os", "fsencode")(debug_file).cast<std::string>();
    wr::write_file_atomic(path, data);
}

}  // namespace

PYBIND11_MODULE(Findery, m) {
    m.attr("json") = wr::import("json");
    m.attr("datetime") = wr::import("datetime");

    py::object cls = wr::make_class(m, "Findery", {});
    wr::def_init(cls, [](py::object) {});
    wr::def_method(cls, "train_model", [](py::object) {});
    wr::def_method(cls, "save_model", [](py::object) {});
    wr::def_method(cls, "load_model", [](py::object) {});
    wr::def_method(cls, "search_documents", [](py::object) {});
    wr::def_method(cls, "save_debug_json", &save_debug_json, py::arg("dc"),
                   py::arg("debug_file"));
}
