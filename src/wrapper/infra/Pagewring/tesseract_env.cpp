// One OpenMP thread for the Tesseract processes that pytesseract starts for us.
//
// Tesseract left to its default OpenMP team reads a 300-dpi page several
// times slower than with a single thread on a small machine (threads spinning
// against each other; bench/bench_ocr.py shows the ratio). The limit is an
// environment variable that the Tesseract process reads when it starts; there
// is no command-line option for it, and pytesseract has no per-call way to
// give its child an environment.
//
// Setting it in os.environ would change every child the host starts, from any
// thread, for as long as it stays set. pytesseract instead passes its module
// global `environ` (the host's os.environ) as the `env` of every Tesseract
// process, building that argument on the calling thread. We replace that
// global, once, by a live view of whatever it held: the view reads and writes
// through to it at every access and adds OMP_THREAD_LIMIT=1 only while one of
// our own calls is running on the same thread. Any other pytesseract user, on
// any thread, sees exactly the host's environment; a limit the host chose
// always wins.
//
// ocrmypdf's own Tesseract processes get the limit through the environment we
// give the ocrmypdf child (nothing else sees it). Left alone, ocrmypdf allows
// two threads for a one-page file on two cores: as fast as one thread on an
// idle machine, but about three times slower as soon as anything else runs
// (20 s against 7 s for a 300-dpi page here), the spinning threads burning
// the CPU the other work needs. For two pages or more ocrmypdf picks one
// thread per page itself, so only single pages change.
#include "pagewring.hpp"

#include <cstdlib>
#include <string>

#include "pyutil.hpp"

namespace pagewring {

namespace {

constexpr const char* kLimitName = "OMP_THREAD_LIMIT";

// Guards alive on this thread. pytesseract builds the child's environment
// synchronously on the calling thread, so this is the caller's own count.
thread_local int live_guards = 0;

bool adds_limit(py::handle base) {
    return live_guards > 0 && !wr::truthy(base.attr("__contains__")(kLimitName));
}

py::object view_getitem(py::object self, py::object key) {
    py::object base = self.attr("_base");
    if (adds_limit(base) && py::str(kLimitName).equal(key)) return py::str("1");
    return base[key];
}

void view_setitem(py::object self, py::object key, py::object value) {
    self.attr("_base")[key] = value;
}

void view_delitem(py::object self, py::object key) {
    self.attr("_base").attr("__delitem__")(key);
}

py::object view_iter(py::object self) {
    py::object base = self.attr("_base");
    py::list keys(base);
    if (adds_limit(base)) keys.append(kLimitName);
    return keys.attr("__iter__")();
}

py::int_ view_len(py::object self) {
    py::object base = self.attr("_base");
    return py::int_(py::len(base) + (adds_limit(base) ? 1 : 0));
}

py::object view_repr(py::object self) {
    return wr::cat({"<Tesseract environment over ", py::repr(self.attr("_base")), ">"});
}

// A mapping class of our own, kept out of the module namespace: it is an
// implementation detail of the speed-up, not part of the module's interface.
// Writes go through, so code that sets a variable for pytesseract's children
// the way it always could keeps working.
py::object build_view_class() {
    py::object mapping = wr::import_attr("collections.abc", "MutableMapping");
    py::dict ns;
    ns["__module__"] = self().attr("__name__");
    ns["__qualname__"] = py::str("_TesseractEnviron");
    ns["__doc__"] = py::str(
        "The host's environment as pytesseract's children see it; adds a "
        "one-thread OpenMP limit during this module's own OCR calls.");
    py::object cls = py::type::of(mapping)(py::str("_TesseractEnviron"),
                                           py::make_tuple(mapping), ns);
    wr::def_init(cls, [](py::object obj, py::object base) { obj.attr("_base") = base; },
                 py::arg("base"));
    wr::def_method(cls, "__getitem__", &view_getitem, py::arg("key"));
    wr::def_method(cls, "__setitem__", &view_setitem, py::arg("key"), py::arg("value"));
    wr::def_method(cls, "__delitem__", &view_delitem, py::arg("key"));
    wr::def_method(cls, "__iter__", &view_iter);
    wr::def_method(cls, "__len__", &view_len);
    wr::def_method(cls, "__repr__", &view_repr);
    // The abstract methods were filled in after the class was made.
    wr::import_attr("abc", "update_abstractmethods")(cls);
    return cls;
}

py::object& view_class() {
    static py::object* cls = new py::object();  // leaked: outlives the interpreter
    if (!*cls) *cls = build_view_class();
    return *cls;
}

// Puts the view in place of pytesseract's `environ` unless it is there
// already. A replaced or stand-in pytesseract without that global is left
// alone: the limit is a speed-up, never a condition for OCR to run.
void install_view() {
    py::object inner = py::getattr(attr("pytesseract"), "pytesseract", py::none());
    if (!py::isinstance<py::module_>(inner) || !py::hasattr(inner, "environ") ||
        !py::hasattr(inner, "subprocess_args")) {
        return;
    }
    py::object current = inner.attr("environ");
    py::object cls = view_class();
    if (py::isinstance(current, cls)) return;
    inner.attr("environ") = cls(current);
}

}  // namespace

py::object child_environment() {
    py::object environ = wr::import_attr("os", "environ");
    if (wr::truthy(environ.attr("__contains__")(kLimitName))) return py::none();
    py::dict env(environ);
    env[kLimitName] = py::str("1");
    return std::move(env);
}

SingleThreadTesseract::SingleThreadTesseract() {
    install_view();
    ++live_guards;
}

SingleThreadTesseract::~SingleThreadTesseract() { --live_guards; }

py::object image_to_string(py::handle image, py::handle lang, const char* config) {
    py::object ocr = attr("pytesseract").attr("image_to_string");
    // pytesseract kills its Tesseract process when the time is up (Tesseract
    // starts no children of its own) and raises RuntimeError.
    py::object seconds = attr("TESSERACT_SECONDS");
    SingleThreadTesseract guard;
    py::dict options;
    options["timeout"] = seconds;
    if (!lang.is_none()) options["lang"] = lang;
    if (config != nullptr && *config != '\0') options["config"] = py::str(config);
    return ocr(image, **options);
}

std::string foreign_script_of_image(py::handle image) {
    py::object tesseract = attr("pytesseract");
    if (!py::hasattr(tesseract, "image_to_osd")) return "";
    py::object osd;
    try {
        SingleThreadTesseract guard;
        osd = tesseract.attr("image_to_osd")(image, py::arg("timeout") = attr("TESSERACT_SECONDS"));
    } catch (py::error_already_set& e) {
        // Too few characters to tell, or no script data installed: the
        // language detection that follows decides as before. A time-out
        // (a plain RuntimeError) is the caller's, as for image_to_string.
        py::object refused = py::getattr(tesseract, "TesseractError", py::none());
        if (refused.is_none() || !e.matches(refused)) throw;
        return "";
    }
    if (!PyUnicode_Check(osd.ptr())) return "";
    std::string script;
    double confidence = 0.0;
    for (py::handle item : osd.attr("splitlines")()) {
        std::string line = py::str(item).cast<std::string>();
        const std::string name = "Script: ", sure = "Script confidence: ";
        if (line.rfind(name, 0) == 0) script = line.substr(name.size());
        if (line.rfind(sure, 0) == 0) confidence = std::atof(line.c_str() + sure.size());
    }
    // Below this the detector's guesses are noise: a Spanish scan of ours is
    // "Cyrillic" at 0.6, while Devanagari and Hebrew pages score 30 and more.
    constexpr double kSure = 10.0;
    if (script.empty() || script == "Latin" || confidence < kSure) return "";
    return script;
}

}  // namespace pagewring
