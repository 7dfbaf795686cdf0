// Translation through the online service, and the service's own language
// detection with its majority vote.
#include "tonguecheck.hpp"

#include "pyutil.hpp"

namespace tonguecheck {

namespace {

using wr::Piece;

constexpr int kDetectAttempts = 4;
constexpr double kRetryPause = 0.5;
constexpr std::size_t kMaxCheckedChars = 4000;

// Raises Exception(message) with the service's own error as its cause, so
// the reason survives in the traceback.
[[noreturn]] void raise_caused_by(py::error_already_set& cause, py::handle message) {
    py::object exc = py::reinterpret_borrow<py::object>(PyExc_Exception)(message);
    exc.attr("__cause__") = cause.value();
    PyErr_SetObject(PyExc_Exception, exc.ptr());
    throw py::error_already_set();
}

// The service answered nothing usable: no result, or an empty text.
bool empty_answer(py::handle result) {
    return !wr::truthy(result) || !wr::truthy(result.attr("text"));
}

py::str join_sentences(const py::list& sentences) {
    try {
        return py::str(" ").attr("join")(sentences);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        wr::raise_exception({"Error to concatenate text ", py::handle(sentences)});
    }
}

py::tuple translate(py::object text, py::object translate_to, py::object original_language,
                    py::object /*fix_text*/) {
    if (!wr::truthy(original_language)) original_language = detect_language(text);
    py::list pieces = clean_pieces(text, original_language);

    py::list output;
    // A missing target means "keep the source language": the caller wants
    // the language and the sentences, and nothing has to be sent.
    if (wr::truthy(translate_to) && original_language.not_equal(translate_to)) {
        py::object dest = translate_to.attr("value");
        wr::log_debug({"Translating text to ", dest});
        ServiceSession service;
        for (py::handle piece : pieces) {
            py::object result;
            try {
                result = service.translate(piece, dest);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
                py::str message = wr::cat({"Error to translate ", piece, " to ", translate_to});
                wr::log_error(message);
                raise_caused_by(e, message);
            }
            if (empty_answer(result))
                wr::raise_exception({"Translate ", piece, " to ", translate_to, " error"});
            output.append(result.attr("text"));
        }
        service.close();
        wr::log_info({"Detected Text Language ", original_language, ". Will be translated to ",
                      translate_to});
    } else {
        output = pieces;
    }

    py::str joined = join_sentences(output);
    wr::log_debug({"Translated text: \n ", joined});
    return py::make_tuple(original_language, joined, output);
}

// The pieces examined for detection: the normalised text cut at line feeds
// (trimmed, blank ones dropped), each then cut at every period.
py::list split_pieces(py::handle normalized) {
    py::list pieces;
    for (py::handle line : normalized.attr("split")("\n")) {
        py::object sentence = line.attr("strip")();
        if (!wr::truthy(sentence)) continue;
        for (py::handle part : sentence.attr("split")(".")) pieces.append(part);
    }
    return pieces;
}

py::tuple detect_lang_by_google_translate(py::object text, py::object translate_to) {
    ServiceSession service;
    py::object normalized = attr("Wordwash").attr("normalize_text")(text, false, false);
    py::list pieces = split_pieces(normalized);

    py::list examined;
    py::dict by_language;  // code -> pieces, in order of first detection
    std::size_t checked_chars = 0;
    for (py::handle piece : pieces) {
        // Checked before each piece, so the piece that crosses the budget is
        // still examined.
        if (checked_chars > kMaxCheckedChars) break;
        examined.append(piece);
        py::object det = py::none();
        try {
            py::object lang = py::none();
            for (int left = kDetectAttempts; left > 0;) {
                try {
                    det = service.detect(piece);
                    lang = det.attr("lang");
                    checked_chars += py::len(piece);
                    wr::log_debug({"checking: \"", piece, "\". Lang detected ", lang,
                                   ". Checked tokens ", checked_chars, "..."});
                    break;
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_Exception)) throw;
                    --left;
                    wr::log_debug({"retrying. Left ", left});
                    wr::log_error(wr::format_exc(e));
                    attr("time").attr("sleep")(kRetryPause);
                    if (left == 0) throw;
                }
            }
            if (wr::truthy(lang)) {
                if (!by_language.contains(lang)) by_language[lang] = py::list();
                by_language[lang].cast<py::list>().append(piece);
            }
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            raise_caused_by(e, wr::cat({"Error to detect language for sentence ", piece,
                                        " from sentences ", py::handle(examined), ". Detected object ",
                                        det}));
        }
    }
    if (by_language.empty())
        wr::raise_exception({"It doesn't have readable sentences for ", py::handle(examined), "."});

    // Most pieces wins; on a tie the language detected first.
    py::object winner;
    std::size_t winner_count = 0;
    for (auto item : by_language) {
        std::size_t count = py::len(item.second);
        if (count > winner_count) {
            winner = py::reinterpret_borrow<py::object>(item.first);
            winner_count = count;
        }
    }
    // Strictly more than half of the examined pieces.
    if (2 * winner_count <= py::len(examined)) {
        wr::log_error({"Language not detected"});
        wr::raise_exception({"Language not detected"});
    }

    py::list output;
    if (wr::truthy(translate_to) && translate_to.not_equal(winner)) {
        for (py::handle piece : examined) {
            py::object result;
            try {
                result = service.translate(piece, translate_to);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
                raise_caused_by(e, wr::cat({"Error to translate ", piece, " to ", translate_to}));
            }
            if (empty_answer(result))
                wr::raise_exception({"Translate ", piece, " to ", translate_to, " error"});
            output.append(result.attr("text"));
        }
        wr::log_info({"Detected Text Language ", winner, ". Will be translated to ",
                      translate_to});
    } else {
        output = examined;
    }
    service.close();

    py::str joined = join_sentences(output);
    wr::log_debug({"Translated text: \n ", joined});
    return py::make_tuple(winner, joined);
}

}  // namespace

void init_translate(py::module_& m) {
    m.def("translate", &translate, py::arg("text"), py::arg("translate_to") = py::none(),
          py::arg("original_language") = py::none(), py::arg("fix_text") = py::none(),
          "(source language, text in the target language, its sentences). The source "
          "language is detected when not given; with no target, or the source's own, "
          "nothing is sent and the cleaned sentences come back.");
    m.def("detect_lang_by_google_translate", &detect_lang_by_google_translate,
          py::arg("text"), py::arg("translate_to") = py::none(),
          "(language code by majority of the service's detections, text translated to "
          "translate_to when it differs, else the examined pieces joined).");
}

}  // namespace tonguecheck
