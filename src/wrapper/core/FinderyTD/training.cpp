// Filing, replacing and removing documents, and the stored model behind them.
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "finderytd.hpp"
#include "modelstore.hpp"
#include "pyutil.hpp"

namespace finderytd {

namespace {

// Back to the state of an engine object that has read nothing, so that the
// next call reads the stored model.
void forget(py::handle engine) {
    engine.attr("is_loaded") = py::bool_(false);
    engine.attr("tfidf_vectorizer") = py::none();
    engine.attr("tfidf_matrix") = py::none();
    engine.attr("document_names") = py::list();
    engine.attr("detected_languages") = py::dict();
    engine.attr("cleaned_text") = py::dict();
    reset_split_terms(engine);
    wr::forget_stored(engine);
    forget_stored_search(engine);
    forget_counts(engine);
}

// Under the directory's lock: if another engine object (in this process or
// another) replaced the stored model since this one read or wrote it, the
// in-memory state is stale and would overwrite that writer's documents, so it
// is read again. Without another writer nothing changes.
void forget_if_replaced(py::handle engine, const wr::StoreChange& change) {
    if (!wr::truthy(engine.attr("is_loaded")) || !change.replaced()) return;
    wr::log_info({"td--stored model replaced by another writer; reading it again"});
    forget(engine);
}

// Calls `use` with the file at `path` opened in `mode`, and closes it, also
// when `use` fails (that failure is the one that propagates).
template <typename Use>
py::object with_file(py::handle path, const char* mode, Use&& use) {
    py::object file = wr::import_attr("builtins", "open")(path, mode);
    try {
        py::object result = use(file);
        file.attr("close")();
        return result;
    } catch (...) {
        py::error_scope pending;
        PyObject* closed = PyObject_CallMethod(file.ptr(), "close", nullptr);
        Py_XDECREF(closed);
        PyErr_Clear();
        throw;
    }
}

// The stored model as joblib.load reads it. A model this library wrote
// (the stored index beside it says so) is a standard pickle, which the
// standard library's C unpickler reads about ten times faster than joblib's
// Python one; a joblib a host put in the module's place reads it itself.
// `read` names the file read when this module read it itself.
py::object read_model(py::handle engine, py::handle filename, std::optional<ModelIdentity>& read) {
    if (!lazy_untouched("joblib") || !model_is_plain_pickle(engine))
        return attr("joblib").attr("load")(filename);
    return with_file(filename, "rb", [&](py::handle file) {
        py::object data = wr::import_attr("pickle", "load")(file);
        read = model_identity_of_fd(file.attr("fileno")().cast<int>());
        return data;
    });
}

py::object load_model(py::object engine) {
    py::object is_loaded = engine.attr("is_loaded");
    if (wr::truthy(is_loaded)) return is_loaded;
    py::object filename = engine.attr("model_filename");
    if (!wr::truthy(attr("os").attr("path").attr("exists")(filename))) return is_loaded;

    py::object opened = wr::open_stored(filename);
    std::optional<ModelIdentity> read;
    py::object data = read_model(engine, filename, read);
    if (!wr::truthy(data)) return py::bool_(false);
    // Marked loaded before the values are read: a stored dict that lacks a
    // key leaves the values read so far and is not read again.
    engine.attr("is_loaded") = py::bool_(true);
    wr::remember_stored(engine, opened);
    forget_stored_search(engine);  // the model itself answers from now on
    engine.attr("tfidf_matrix") = data[py::str("matrix")];
    engine.attr("tfidf_vectorizer") = data[py::str("vectorizer")];
    engine.attr("document_names") = data[py::str("document_names")];
    engine.attr("detected_languages") = data[py::str("detected_languages")];
    engine.attr("cleaned_text") = data[py::str("cleaned_text")];
    read_split_terms(engine);
    expect_stored_counts(engine, read);
    return engine.attr("is_loaded");
}

// Whether train_model files `doc` at all: a document without text, or one
// whose id this object already holds, is passed over.
bool wanted(py::handle engine, py::handle doc) {
    if (!wr::truthy(doc) || !wr::truthy(doc.attr("text"))) return false;
    return !wr::contains(engine.attr("document_names"), doc.attr("id"));
}

// Files one wanted document into the in-memory state: the stored model is
// read first if this object has not read it, a stored copy of the same
// document is dropped (so the document ends up once, last, with its new
// text), and the document is appended. Nothing is fitted or written.
// `listed` false: the caller knows the id is not in document_names (a scan
// of the list per document would make a batch quadratic).
void file_one(py::object engine, py::object doc, py::dict& preprocessed_documents,
              bool listed = true) {
    engine.attr("load_model")();
    py::object id = doc.attr("id");

    py::object names = engine.attr("document_names");
    if (listed && wr::contains(names, id)) {
        names.attr("remove")(id);
        wr::log_info({"td--removed doc for document names"});
    }
    py::object languages = engine.attr("detected_languages");
    if (wr::contains(languages, id)) {
        wr::log_info({"keys"});
        py::list keys(languages.attr("keys")());
        wr::log_info(keys);
        py::object ix = keys.attr("index")(id);
        wr::log_info({"index ", ix, " for docid ", id});
        languages.attr("__delitem__")(id);
        wr::log_info({"td--removed ", id, " to detected languages"});
    }
    py::object cleaned = engine.attr("cleaned_text");
    if (wr::contains(cleaned, id)) {
        cleaned.attr("__delitem__")(id);
        wr::log_info({"td--deleted doc to cleaned text"});
    }

    names.attr("append")(id);
    languages[id] = doc.attr("detected_language");
    py::object text = doc.attr("cleaned_text");
    preprocessed_documents[id] = text;
    cleaned[id] = text;
    set_split_entry(engine, id, split_entry(doc));
}

// Fits the vectoriser as the last filed document's training would: the very
// first document of an index alone, otherwise every indexed text again
// (vocabulary and idf weights change with each document, so no row can be
// kept). `preprocessed_documents` holds what the last training filed.
//
// The old matrix goes first, and with it the ranked index derived from it
// (unless a host holds it): at a million documents each is gigabytes, and
// the new ones are made from the texts' counts alone. A fit that fails
// leaves the engine object as if it had read nothing, so that the next call
// reads the stored model instead of using a half-made state.
void fit(py::object engine, py::dict& preprocessed_documents, bool had_vectorizer) {
    py::object Tfidf = attr("TfidfVectorizer");
    try {
        engine.attr("tfidf_matrix") = py::none();
        if (!had_vectorizer) {
            py::object values = preprocessed_documents.attr("values")();
            engine.attr("tfidf_vectorizer") = Tfidf().attr("fit")(values);
            engine.attr("tfidf_matrix") = engine.attr("tfidf_vectorizer").attr("transform")(values);
        } else {
            engine.attr("tfidf_vectorizer") = Tfidf();
            engine.attr("tfidf_matrix") = fit_transform(engine, engine.attr("tfidf_vectorizer"),
                                                        engine.attr("cleaned_text").attr("values")());
        }
    } catch (...) {
        forget(engine);
        throw;
    }
    engine.attr("is_loaded") = py::bool_(true);
}

// The stored model in the standard pickle format, which joblib.load reads
// as it reads its own: joblib.dump pickles in Python, about ten times slower
// than the standard library's C pickler, and that write is part of every
// change of the index. A joblib the host put in this module's place does
// the writing itself, as the host asked.
void dump_model(py::handle model_data, py::handle path) {
    if (!lazy_untouched("joblib")) {
        attr("joblib").attr("dump")(model_data, path);
        return;
    }
    // Protocol 5 writes the arrays' buffers without copying them.
    with_file(path, "wb", [&](py::handle file) {
        return wr::import_attr("pickle", "dump")(model_data, file, py::arg("protocol") = 5);
    });
}

void write(py::object engine, wr::StoreChange& change) {
    py::object names = engine.attr("document_names");
    py::object languages = engine.attr("detected_languages");
    py::dict model_data;
    model_data["matrix"] = engine.attr("tfidf_matrix");
    model_data["vectorizer"] = engine.attr("tfidf_vectorizer");
    model_data["document_names"] = names;
    model_data["detected_languages"] = languages;
    model_data["cleaned_text"] = engine.attr("cleaned_text");
    // First what the ranked search keeps beside the model: a write killed
    // between the two leaves the old model, for which the new entries of
    // unchanged documents still hold (see splitstore.cpp).
    write_split_terms(engine);
    // A plain dump truncates the stored model first, so a failed or killed
    // write would lose the whole index: the new file replaces it whole.
    change.write([&](py::handle tmp) { dump_model(model_data, tmp); });
    write_search_index(engine);
    write_counts(engine);

    py::dict dictionary;
    dictionary["multilang_models"] = languages;
    dictionary["document_names"] = names;
    engine.attr("save_debug_json")(dictionary, engine.attr("debug_model_filename"));
}

// Which of the documents of the last training call were filed: the facade
// keeps pages for those alone.
constexpr const char* kFiled = "_filed";

void train_model(py::object engine, py::object doc) {
    engine.attr(kFiled) = py::list();
    if (!wanted(engine, doc)) return;
    wr::StoreChange change(engine, engine.attr("model_filename"));
    forget_if_replaced(engine, change);
    py::dict preprocessed_documents;
    file_one(engine, doc, preprocessed_documents);
    fit(engine, preprocessed_documents, !engine.attr("tfidf_vectorizer").is_none());
    write(engine, change);
    engine.attr(kFiled) = py::make_tuple(doc);
}

// The ids a batch has filed so far, for the test that passes over an id
// already indexed. train_model tests the list, which repeated for every
// document would make a large batch quadratic; a set gives the same answers
// as long as every id can be hashed, and the list is used again otherwise.
class KnownIds {
public:
    explicit KnownIds(py::object names) : names_(std::move(names)) {
        PyObject* set = PySet_New(names_.ptr());
        if (set) {
            set_ = py::reinterpret_steal<py::object>(set);
        } else {
            py::error_already_set err;
            if (!err.matches(PyExc_TypeError)) throw err;
        }
    }
    bool holds(py::handle id) {
        if (set_ && PyObject_Hash(id.ptr()) == -1) {
            py::error_already_set err;
            if (!err.matches(PyExc_TypeError)) throw err;
            set_ = py::object();
        }
        return wr::contains(set_ ? set_ : names_, id);
    }
    void add(py::handle id) {
        if (set_ && PySet_Add(set_.ptr(), id.ptr()) != 0) throw py::error_already_set();
    }

private:
    py::object names_;  // the engine's own list, which file_one keeps up to date
    py::object set_;
};

// Many documents with one fit and one write, leaving the state that one
// train_model per document, in the same order, would leave: each document is
// filed as that call would file it, and the fit of the last one is the only
// one whose result outlives the batch, so it is the only one made.
void train_batch(py::object engine, py::iterable docs) {
    py::list batch(docs);
    py::list filed;
    engine.attr(kFiled) = filed;
    if (batch.empty()) return;
    wr::StoreChange change(engine, engine.attr("model_filename"));
    forget_if_replaced(engine, change);

    std::unique_ptr<KnownIds> known;  // from the first filed document on
    py::dict last;
    bool had_vectorizer = false;
    for (py::handle item : batch) {
        py::object doc = py::reinterpret_borrow<py::object>(item);
        if (!wr::truthy(doc) || !wr::truthy(doc.attr("text"))) continue;
        py::object id = doc.attr("id");
        if (known ? known->holds(id) : wr::contains(engine.attr("document_names"), id)) continue;
        last = py::dict();
        // After the first document the set above has answered for the list.
        file_one(engine, doc, last, !known);
        // What that document's training would have found when it fitted:
        // for every document after the first, the vectoriser the one before
        // it made.
        had_vectorizer = known || !engine.attr("tfidf_vectorizer").is_none();
        engine.attr("is_loaded") = py::bool_(true);
        if (known) known->add(id);
        else known = std::make_unique<KnownIds>(engine.attr("document_names"));
        filed.append(doc);
    }
    if (!known) return;
    fit(engine, last, had_vectorizer);
    write(engine, change);
}

// The fit a fresh engine would end with after training the indexed texts in
// their order, down to the order of the matrix's entries (a single document
// is fitted apart, as its training fits it), or nothing at all for an empty
// index (which search answers with no hits and the next training fits from
// scratch).
void refit_all(py::object engine) {
    py::dict cleaned = engine.attr("cleaned_text");
    if (cleaned.empty()) {
        engine.attr("tfidf_vectorizer") = py::none();
        engine.attr("tfidf_matrix") = py::none();
        engine.attr("is_loaded") = py::bool_(true);
        return;
    }
    fit(engine, cleaned, cleaned.size() > 1);
}

// Runs `change` on the loaded in-memory state under the writer protocol,
// then refits and writes once, unless it reports that nothing changed. A
// failure after the state was touched leaves the engine object as if it had
// read nothing, so that it never searches or writes a half-made change.
template <typename Change>
py::int_ change_documents(py::object engine, Change&& change) {
    wr::StoreChange store(engine, engine.attr("model_filename"));
    forget_if_replaced(engine, store);
    engine.attr("load_model")();
    try {
        const std::size_t changed = change();
        if (changed == 0) return py::int_(0);
        refit_all(engine);
        write(engine, store);
        return py::int_(changed);
    } catch (...) {
        forget(engine);
        throw;
    }
}

// Replaces the stored copy of each document whose id is indexed (it keeps
// its place: dicts keep the order of their keys) and adds the others at the
// end, as train_model would add them; documents without text are passed over
// as train_model passes them over. A later document of the same id wins.
py::int_ update_documents(py::object engine, py::iterable docs) {
    struct Copy {
        py::object id, language, text, split;
    };
    // Everything is read from the documents first: one that cannot be read
    // changes nothing.
    std::vector<Copy> copies;
    for (py::handle doc : docs) {
        if (!wr::truthy(doc) || !wr::truthy(doc.attr("text"))) continue;
        copies.push_back({doc.attr("id"), doc.attr("detected_language"), doc.attr("cleaned_text"),
                          split_entry(doc)});
    }
    if (copies.empty()) return py::int_(0);
    return change_documents(engine, [&] {
        py::object names = engine.attr("document_names");
        py::object languages = engine.attr("detected_languages");
        py::object cleaned = engine.attr("cleaned_text");
        for (const Copy& copy : copies) {
            if (!wr::contains(cleaned, copy.id)) names.attr("append")(copy.id);
            languages[copy.id] = copy.language;
            cleaned[copy.id] = copy.text;
            set_split_entry(engine, copy.id, copy.split);
        }
        return copies.size();
    });
}

// Removes the documents of these ids; unknown ids are passed over.
py::int_ remove_documents(py::object engine, py::object ids) {
    py::set gone = wr::removal_ids(ids);
    if (gone.empty()) return py::int_(0);
    return change_documents(engine, [&]() -> std::size_t {
        py::list names(engine.attr("document_names"));
        py::list kept;
        py::object languages = engine.attr("detected_languages");
        py::object cleaned = engine.attr("cleaned_text");
        for (py::handle id : names) {
            if (!wr::contains(gone, id)) {
                kept.append(id);
                continue;
            }
            if (wr::contains(languages, id)) languages.attr("__delitem__")(id);
            if (wr::contains(cleaned, id)) cleaned.attr("__delitem__")(id);
        }
        const std::size_t removed = py::len(names) - py::len(kept);
        if (removed > 0) engine.attr("document_names") = kept;
        return removed;
    });
}

// The function the class was given, held for good (so that no other object
// takes its address once a host replaces it).
PyObject* defined_load_model = nullptr;

}  // namespace

bool own_load_model(py::handle engine, py::handle bound) {
    return defined_load_model && PyMethod_Check(bound.ptr()) &&
           PyMethod_GET_FUNCTION(bound.ptr()) == defined_load_model &&
           PyMethod_GET_SELF(bound.ptr()) == engine.ptr();
}

void init_training(py::handle cls) {
    wr::def_method(cls, "train_model", &train_model, py::arg("doc"));
    wr::def_method(cls, "load_model", &load_model);
    defined_load_model = py::object(cls.attr("load_model")).release().ptr();
    wr::def_method(cls, "train_batch", &train_batch, py::arg("docs"));
    wr::def_method(cls, "update_documents", &update_documents, py::arg("docs"));
    wr::def_method(cls, "remove_documents", &remove_documents, py::arg("ids"));
}

}  // namespace finderytd
