// Offline language detection with lingua, and the three-value form the
// search uses to settle a query's language and text.
#include "tonguecheck.hpp"

#include "pyutil.hpp"
#include "scripts.hpp"

namespace tonguecheck {

namespace {

// Building a detector is the costly part of a detection; one detector over
// the same five candidates gives the same answers, so it is built on the
// first call and kept. Leaked on purpose: it must outlive the interpreter's
// teardown of this module.
py::object& detector_slot() {
    static py::object* slot = new py::object();
    return *slot;
}

py::object detector() {
    py::object& slot = detector_slot();
    if (slot) return slot;
    py::object Language = attr("Language");
    // French and German are candidates so that their texts fail instead of
    // being taken for the nearest supported language.
    py::object built = attr("LanguageDetectorBuilder")
                           .attr("from_languages")(Language.attr("ENGLISH"),
                                                   Language.attr("FRENCH"),
                                                   Language.attr("GERMAN"),
                                                   Language.attr("SPANISH"),
                                                   Language.attr("PORTUGUESE"))
                           .attr("build")();
    if (!slot) slot = built;
    return slot;
}

// Tells the one-argument call from the three-argument one even when the
// extra arguments are None.
py::object& not_given() {
    static py::object* sentinel = new py::object(
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type))());
    return *sentinel;
}

py::object detect_lang(py::object text, py::object translate_to, py::object detected_language) {
    const bool extended = !translate_to.is(not_given()) || !detected_language.is(not_given());
    if (!extended) return detect_language(text);
    if (translate_to.is(not_given())) translate_to = py::none();
    if (detected_language.is(not_given())) detected_language = py::none();

    py::object language =
        wr::truthy(detected_language) ? detected_language : detect_language(text);
    if (wr::truthy(translate_to) && translate_to.not_equal(language)) {
        // Through the module attribute, like any caller of translate.
        return attr("translate")(text, translate_to, language);
    }
    // The query keeps its own wording; only its sentences are cleaned.
    return py::make_tuple(language, text, clean_pieces(text, language));
}

}  // namespace

py::object detect_language(py::handle text) {
    // lingua names one of its candidates for any text; one written mostly in
    // another script (Devanagari, Arabic, Han...) is refused as that script,
    // before a Latin language is guessed for it.
    if (PyUnicode_Check(text.ptr())) {
        py::bytes utf8 = py::str(text).attr("encode")("utf-8", "surrogatepass");
        std::string script = wr::foreign_script(utf8.cast<std::string>());
        if (!script.empty()) wr::raise(PyExc_ValueError, {"Script ", script, " not supported"});
    }
    py::object language = detector().attr("detect_language_of")(text);
    wr::log_debug({"result: ", language});
    py::object detected = attr("Idiomark").attr("get_language_from_lingua")(language);
    wr::log_debug({"detected language: ", detected.attr("value")});
    return detected;
}

py::list clean_pieces(py::handle text, py::handle language) {
    py::object wordwash = attr("Wordwash");
    py::object sentences = wordwash.attr("extract_sentences")(text, language);
    py::object normalize = wordwash.attr("normalize_text");
    py::list pieces;
    for (py::handle sentence : sentences) {
        // Tested before cleaning: a sentence of punctuation alone is kept and
        // becomes an empty piece.
        if (!wr::truthy(sentence.attr("strip")())) continue;
        pieces.append(normalize(sentence).attr("strip")());
    }
    wr::log_debug({"extracted sentences: ", py::handle(pieces)});
    return pieces;
}

void init_detect(py::module_& m) {
    m.def("detect_lang", &detect_lang, py::arg("text"),
          py::arg_v("translate_to", not_given(), "..."),
          py::arg_v("detected_language", not_given(), "..."),
          "detect_lang(text) -> the Idiomark member lingua finds for the text.\n\n"
          "detect_lang(text, translate_to, detected_language) -> (language, text, "
          "sentences): the known language if given, else the detected one; the text "
          "translated when a target is set and differs, else unchanged; the sentences.");
}

}  // namespace tonguecheck
