// Named entities of a text through spaCy.
//
// The public multilingual model "xx_ent_wiki_sm" is not on PyPI, so set-up
// installs a pipeline of our own with the same labels ("xx_wrapper_ner",
// made by tools/install_ner_model.py); it is used only while spaCy cannot
// find the public one. Loading a pipeline costs far more than tagging a
// document, so the loaded one is kept in the module between calls.
// A recogniser that learnt that capitals mark names takes a capitalised
// sentence start or month for one now and then; such a word alone is left
// out of the answer (functionwords.cpp).
#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <utility>

#include "functionwords.hpp"
#include "hosttext.hpp"
#include "linebreaks.hpp"
#include "pyutil.hpp"

namespace py = pybind11;

namespace {

// Read at call time, so a host or test that patches them is honoured.
py::object attr(const char* name) { return wr::this_module().attr(name); }

// Sets thinc's current ops for as long as it lives, then puts back the ones
// it found, whichever way the scope is left.
class OpsScope {
public:
    OpsScope(py::object thinc, py::object ops) : thinc_(std::move(thinc)), before_(thinc_.attr("get_current_ops")()) {
        thinc_.attr("set_current_ops")(std::move(ops));
    }
    ~OpsScope() {
        // A destructor must not throw: an error putting the ops back (none is
        // known) is reported the way Python reports errors it cannot raise.
        try {
            thinc_.attr("set_current_ops")(before_);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("restoring thinc's ops");
        }
    }
    OpsScope(const OpsScope&) = delete;
    OpsScope& operator=(const OpsScope&) = delete;

private:
    py::object thinc_, before_;
};

// spacy.load(name). On the CPU, spaCy's layers multiply their matrices
// through the copy of BLIS thinc bundles; the same products through numpy's
// BLAS tag a document in about 0.6 of the time, with the same entities, so
// the pipeline is made with numpy's (NUMPY_MATMUL). Only thinc's default
// CPU ops are swapped so: ops the host chose (a GPU's, Apple's, numpy's
// without BLIS) are used as they are, and the host's current ops are the
// same again once the pipeline is made.
py::object load(const py::object& spacy, const py::object& name) {
    // spaCy's own error for a model it cannot find propagates unchanged.
    if (!wr::truthy(attr("NUMPY_MATMUL"))) return spacy.attr("load")(name);
    py::object thinc = wr::import("thinc.api");
    py::object current = thinc.attr("get_current_ops")();
    if (!py::str(py::getattr(current, "name", py::none())).equal(py::str("numpy")) ||
        !wr::truthy(py::getattr(current, "use_blis", py::bool_(false))))
        return spacy.attr("load")(name);
    OpsScope scope(thinc, thinc.attr("NumpyOps")(py::arg("use_blis") = false));
    return spacy.attr("load")(name);
}

// The pipeline of the model preferred right now. The choice is made on every
// call (a metadata lookup, far cheaper than the tagging) so that a public
// model installed while the host runs is picked up, as it would be if the
// model were loaded anew each time; the pipeline itself is loaded once per
// model name.
py::object pipeline() {
    py::object spacy = attr("spacy");
    py::object preferred = attr("SPACY_MODEL");
    py::object name = preferred;
    if (!wr::truthy(spacy.attr("util").attr("is_package")(preferred))) name = attr("OFFLINE_MODEL");

    py::object cached = attr("_model");
    if (!cached.is_none()) {
        std::vector<py::object> entry = wr::unpack(cached, 2);
        if (entry[0].equal(name)) return entry[1];
    }
    if (!name.is(preferred))
        wr::log_info({"Named-entity model ", preferred, " is not installed; using ", name});
    wr::log_debug({"Loading named-entity model ", name});
    py::object nlp = load(spacy, name);
    wr::this_module().attr("_model") = py::make_tuple(name, nlp);
    return nlp;
}

// One capitalised word that is never a name alone: a sentence's first word
// or a month the recogniser took for a name ("His", "Mas", "June"). Words
// in capitals throughout ("US", "IT") may be acronyms and are kept.
bool function_word(const py::object& surface) {
    const Py_ssize_t length = py::len(surface);
    if (length == 0 || length > 20) return false;
    const wr::text::CharClasses& cc = wr::host_char_classes();
    for (char32_t c : wr::to_u32(surface))
        if (cc.is_space(c)) return false;
    if (!wr::truthy(surface[py::slice(0, 1, 1)].attr("isupper")())) return false;
    if (length > 1 && wr::truthy(surface.attr("isupper")())) return false;
    const std::string lowered =
        surface.attr("lower")().attr("encode")("utf-8", "surrogatepass").cast<std::string>();
    return namepick::is_function_word(lowered);
}

void add_entities(py::list& pairs, const py::object& nlp, const py::object& text) {
    py::object doc = nlp(text);
    const bool drop = wr::truthy(attr("DROP_FUNCTION_WORDS"));
    for (py::handle ent : py::iter(doc.attr("ents"))) {
        py::object surface = ent.attr("text");
        if (drop && function_word(surface)) continue;
        pairs.append(py::make_tuple(surface, ent.attr("label_")));
    }
}

py::list extract_named_entities(py::object text) {
    py::object nlp = pipeline();
    py::list pairs;
    // No type check of our own: spaCy refuses what it cannot tag.
    if (!PyUnicode_Check(text.ptr())) {
        add_entities(pairs, nlp, text);
        return pairs;
    }
    // OCR wraps lines inside sentences, and the recogniser, trained on
    // running text, takes a line break for the edge of whatever it is
    // reading: a name cut by one, or even just next to one, goes unseen.
    // It is given the lines joined as they were written (a name spanning a
    // wrap comes back as it reads, with one blank); blank lines and page
    // breaks still separate. The caller's text is left as it is.
    text = wr::from_u32(namepick::join_wrapped_lines(wr::to_u32(text)));
    // spaCy refuses a text longer than the pipeline's max_length (a million
    // characters by default) to bound its memory, which would leave a long
    // document without any entities. Such a text is tagged in pieces of at
    // most that length, each cut after the last line break in reach, else
    // after a full stop, else after a blank, so only an entity straddling one
    // of these rare cuts can be split. Shorter texts go through whole,
    // exactly as spaCy tags them.
    // The test is spaCy's own comparison, made by the host, so a limit of
    // any size or numeric type means what it means to spaCy; only a limit
    // below the length must then fit a C++ integer.
    const py::object max_length = nlp.attr("max_length");
    const Py_ssize_t length = py::len(text);
    if (!(py::int_(length) > max_length)) {
        add_entities(pairs, nlp, text);
        return pairs;
    }
    const Py_ssize_t limit = wr::to_ssize(max_length);
    if (limit <= 0) {  // spaCy's own error for a text it will not take
        add_entities(pairs, nlp, text);
        return pairs;
    }
    static const char* const separators[] = {"\n", ". ", " "};
    py::object find = text.attr("rfind");
    for (Py_ssize_t start = 0; start < length;) {
        Py_ssize_t end = length;
        if (length - start > limit) {
            end = start + limit;
            for (const char* sep : separators) {
                const Py_ssize_t width = static_cast<Py_ssize_t>(std::strlen(sep));
                const Py_ssize_t at = wr::to_ssize(find(sep, start + 1, end));
                if (at >= 0) {
                    end = at + width;
                    break;
                }
            }
        }
        add_entities(pairs, nlp, text[py::slice(start, end, 1)]);
        start = end;
    }
    return pairs;
}

}  // namespace

PYBIND11_MODULE(Namepick, m) {
    wr::this_module() = m;
    // spaCy is part of this module's contract: loading fails without it. No
    // model is loaded here.
    m.attr("spacy") = wr::import("spacy");
    m.attr("SPACY_MODEL") = py::str("xx_ent_wiki_sm");
    m.attr("OFFLINE_MODEL") = py::str("xx_wrapper_ner");
    // Whether single capitalised function words and months are left out of
    // the answer; read at every call.
    m.attr("DROP_FUNCTION_WORDS") = py::bool_(true);
    // Whether a pipeline loaded on the CPU multiplies its matrices through
    // numpy's BLAS rather than thinc's bundled BLIS; read when a pipeline is
    // loaded.
    m.attr("NUMPY_MATMUL") = py::bool_(true);
    // (model name, loaded pipeline) once a call has loaded one.
    m.attr("_model") = py::none();

    m.def("extract_named_entities", &extract_named_entities, py::arg("text"),
          "The (surface text, label) pair of every entity spaCy finds in the text, "
          "in text order; lines wrapped inside a paragraph are read joined, and one "
          "capitalised function word or month alone is no entity (DROP_FUNCTION_WORDS).");
}
