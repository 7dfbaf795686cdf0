// How a run changes the index: names of documents, the record of filed
// files, and the writes (new and changed documents in batches, files gone
// in one call), each under the index's writer protocol.
#include <signal.h>

#include <algorithm>
#include <cerrno>

#include "atomicfile.hpp"
#include "dirlock.hpp"
#include "intake.hpp"

namespace intake {

// ---- names, and what the index holds ---------------------------------------

// Documents are named by their path from the base's home folder: the folder
// of the first run into the base. An index of one folder keeps the names it
// always had (paths inside that folder); another folder's files are named by
// the way there from the home ("../scans-2019/x.pdf"), so two folders never
// share a name and a file keeps its name whichever folder above it is given.
py::object Naming::name_of(py::handle real_path) const {
    return wr::import_attr("os.path", "relpath")(real_path, home);
}

py::object Naming::path_of(py::handle name) const {
    py::object os_path = wr::import_attr("os", "path");
    return os_path.attr("normpath")(os_path.attr("join")(home, name));
}

// Whether `path` is `folder` or lies under it (both real and normalised).
bool inside(py::handle path, py::handle folder) {
    if (py::str(path).equal(py::str(folder))) return true;
    py::object os_path = wr::import_attr("os", "path");
    try {
        return py::str(os_path.attr("commonpath")(py::make_tuple(path, folder))).equal(py::str(folder));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;  // one relative, one absolute
        return false;
    }
}

// Writers wait for the directory's lock (the engine in its own module); the
// user is told once per run that another writer holds it.
void tell_if_waiting(py::handle modeldir, bool& told, py::handle notice) {
    long holder = 0;
    if (!told && !wr::dir_lock_free(modeldir, &holder)) {
        told = true;
        py::str line = wr::cat({"waiting for another writer of the index in ", modeldir,
                                holder > 0 ? wr::cat({" (pid ", holder, ")"}) : py::str(""), "..."});
        if (notice.is_none())
            wr::log_info({line});
        else
            notice(line);
    }
}

namespace {

// How many of the index's own names (those inside their home: no "..")
// name a file under `folder`, out of a sample.
long names_found_under(py::handle folder, py::handle held) {
    py::object os_path = wr::import_attr("os", "path");
    long found = 0, tried = 0;
    for (auto item : py::reinterpret_borrow<py::dict>(held)) {
        if (tried >= 64) break;
        if (!py::isinstance<py::str>(item.first)) continue;
        py::str name = py::reinterpret_borrow<py::str>(item.first);
        if (wr::truthy(name.attr("startswith")("..")) || wr::truthy(os_path.attr("isabs")(name)))
            continue;
        ++tried;
        if (wr::truthy(os_path.attr("isfile")(os_path.attr("join")(folder, name)))) ++found;
    }
    return found;
}

}  // namespace

// The home of the base's names, settled under the directory's lock so that
// two first runs agree. The first run into an empty base makes its folder
// the home. An index that holds documents but no home (made before names
// had one, when they were paths inside the folder it was built from) gets
// the folder its names are found in: one it recorded, or this run's; and a
// home that is gone (the folder renamed or moved) is followed to this run's
// folder when the names are found there. Either way the names keep their
// meaning, and no document is taken for deleted because its folder's name
// changed.
py::object settle_home(py::handle base, py::handle modeldir, py::handle folder_real,
                       py::handle held, bool& told, py::handle notice) {
    tell_if_waiting(modeldir, told, notice);
    wr::DirLock lock(modeldir, wr::kTrainingLockWait);
    py::object os_path = wr::import_attr("os", "path");
    IndexNote note = read_note(base);
    if (!note.home.is_none() && wr::truthy(os_path.attr("isdir")(note.home))) return note.home;
    py::object home = py::reinterpret_borrow<py::object>(folder_real);
    if (py::len(held) > 0) {
        py::list candidates;
        if (note.home.is_none())
            for (py::handle folder : recorded_folders(base)) candidates.append(os_path.attr("realpath")(folder));
        candidates.append(folder_real);
        py::object best = py::none();
        long most = 0;
        for (py::handle folder : candidates) {
            const long found = names_found_under(folder, held);
            if (found > most) {
                most = found;
                best = py::reinterpret_borrow<py::object>(folder);
            }
        }
        if (best.is_none()) {
            if (!note.home.is_none()) return note.home;  // gone, and not here: names stay as they are
            wr::raise(PyExc_ValueError,
                      {"the index at ", base, " was made before it recorded the folder its "
                       "documents came from, and none of them is in ", folder_real,
                       "; index that folder first, so that its documents keep their names"});
        }
        home = best;
        if (!note.home.is_none()) {
            py::str line = wr::cat({"the index's folder ", note.home, " is gone; its documents are in ",
                                    home, ", which takes its place"});
            if (notice.is_none()) wr::log_info({line}); else notice(line);
        }
    }
    note.home = home;
    write_note(base, note);
    return note.home;
}

namespace {

py::str sha256_hex(py::handle data) {

    return wr::import_attr("hashlib", "sha256")(data).attr("hexdigest")();
}

}  // namespace

// What the index holds for each of its documents, as a digest: the cleaned
// text (term weighting) or the language key and embedding (sentence
// embeddings). Comparing it with the record shows whether the record still
// tells the truth about a document, whoever wrote the index last. `only`:
// the names wanted, or None for all.
py::dict held_fingerprints(py::handle engine, bool sb, py::handle only) {
    engine.attr("load_model")();
    py::dict held;
    py::object names = engine.attr("document_names");
    if (names.is_none()) return held;
    auto wanted = [&](py::handle id) { return only.is_none() || wr::contains(only, id); };
    if (!sb) {
        py::object cleaned = engine.attr("cleaned_text");
        for (py::handle id : names)
            if (wanted(id))
                held[id] = sha256_hex(py::str(cleaned[id]).attr("encode")("utf-8", "surrogatepass"));
        return held;
    }
    py::object asarray = wr::import_attr("numpy", "asarray");
    py::object embedded = engine.attr("embedded_documents");
    for (auto item : py::dict(names)) {
        py::object key = py::reinterpret_borrow<py::object>(item.first);
        py::list vectors(embedded[key]);
        py::ssize_t i = 0;
        for (py::handle id : item.second) {
            if (wanted(id)) {
                py::bytes raw = asarray(vectors[i]).attr("tobytes")();
                held[id] = sha256_hex(py::bytes(wr::cat({key, ":"}).attr("encode")("utf-8")) + raw);
            }
            ++i;
        }
    }
    return held;
}

// ---- the record of filed files --------------------------------------------
//
// {"version": 2, "files": {name: [file digest, fingerprint in the index]},
//  "removed": {name: file digest}}. An entry is trusted only while the index
// holds the fingerprint it names, so a record that is missing, stale or
// older than the index costs re-reads, never a stale document. Entries of
// records written before fingerprints existed are bare digests, trusted only
// when the record is not older than the index.

namespace {

py::str record_path(py::handle modeldir) { return wr::cat({modeldir, kRecordName}); }

}  // namespace

Record read_record(py::handle modeldir) {
    Record record;
    py::object os = wr::import("os");
    py::str path = record_path(modeldir);
    if (!wr::truthy(os.attr("path").attr("exists")(path))) return record;
    py::object data;
    try {
        py::object f = wr::import_attr("builtins", "open")(path, "rb");
        try {
            data = wr::import_attr("json", "load")(f);
        } catch (py::error_already_set&) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
    } catch (py::error_already_set& e) {
        // A record that cannot be read only costs a re-read of every file.
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
        return record;
    }
    if (!py::isinstance<py::dict>(data)) return record;
    py::object files = data.attr("get")("files");
    py::object removed = data.attr("get")("removed");
    if (py::isinstance<py::dict>(files)) record.files = py::dict(files);
    if (py::isinstance<py::dict>(removed)) record.removed = py::dict(removed);
    return record;
}

// Whether bare-digest entries may be trusted: the record was written after
// the index file last changed.
bool bare_entries_trusted(py::handle modeldir, py::handle model_file) {
    py::object os = wr::import("os");
    try {
        py::object record = os.attr("stat")(record_path(modeldir)).attr("st_mtime_ns");
        py::object model = os.attr("stat")(model_file).attr("st_mtime_ns");
        return record >= model;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return false;
    }
}

namespace {

struct RecordChange {
    std::vector<std::pair<py::object, py::object>> filed;  // name, [digest, fingerprint]
    std::vector<py::object> dropped;                       // names no longer indexed
    std::vector<std::pair<py::object, py::object>> removed;  // name, digest
    bool drop_bare = false;  // bare entries are not to be trusted any more
};

// Merged into what is on disk (another writer may have added to it), then
// replaced whole, under the directory's lock (not held across an engine
// call, which takes the same lock itself).
void change_record(py::handle modeldir, const RecordChange& change) {
    wr::DirLock lock(modeldir, wr::kTrainingLockWait);
    Record record = read_record(modeldir);
    py::dict files = record.files;
    if (change.drop_bare) {
        py::dict kept;
        for (auto item : files)
            if (!py::isinstance<py::str>(item.second)) kept[item.first] = item.second;
        files = kept;
    }
    for (auto& name : change.dropped) {
        if (wr::contains(files, name)) files.attr("__delitem__")(name);
        if (wr::contains(record.removed, name)) record.removed.attr("__delitem__")(name);
    }
    for (auto& [name, entry] : change.filed) {
        files[name] = entry;
        if (wr::contains(record.removed, name)) record.removed.attr("__delitem__")(name);
    }
    for (auto& [name, digest] : change.removed) {
        if (wr::contains(files, name)) files.attr("__delitem__")(name);
        record.removed[name] = digest;
    }
    py::dict data;
    data["version"] = py::int_(2);
    data["files"] = files;
    data["removed"] = record.removed;
    py::str text = wr::import_attr("json", "dumps")(data, py::arg("indent") = 0);
    std::string path = wr::import_attr("os", "fsencode")(record_path(modeldir)).cast<std::string>();
    wr::write_file_atomic(path, text.attr("encode")("utf-8").cast<std::string>());
}

}  // namespace

py::str digest_of(py::handle path) {
    py::object sha = wr::import_attr("hashlib", "sha256")();
    py::object f = wr::import_attr("builtins", "open")(path, "rb");
    try {
        while (true) {
            py::bytes chunk = f.attr("read")(1 << 20);
            if (py::len(chunk) == 0) break;
            sha.attr("update")(chunk);
        }
    } catch (py::error_already_set&) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return sha.attr("hexdigest")();
}

// ---- leftovers of killed runs ----------------------------------------------

namespace {

bool process_alive(long pid) {
    if (pid <= 0) return true;  // cannot tell: keep the file
    if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
    return errno != ESRCH;
}

}  // namespace

// The private OCR copies (".output-HOST-PID-TOKEN.pdf") that a process of
// this machine left in the base when it was killed. A copy whose process
// lives (or of another machine, on shared storage) is being written: kept.
std::size_t remove_dead_copies(py::handle base) {
    py::object os = wr::import("os");
    py::object host = wr::import("socket").attr("gethostname")();
    py::str prefix = wr::cat({".output-", host, "-"});
    std::size_t removed = 0;
    py::list entries;
    try {
        entries = os.attr("listdir")(base);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return 0;
    }
    for (py::handle entry : entries) {
        py::str name(entry);
        if (!wr::truthy(name.attr("startswith")(prefix)) || !wr::truthy(name.attr("endswith")(".pdf")))
            continue;
        py::list rest = py::str(name[py::slice(py::len(prefix), -4, 1)]).attr("split")("-");
        if (rest.size() != 2 || !wr::truthy(rest[0].attr("isdigit")())) continue;
        if (process_alive(py::int_(rest[0]).cast<long>())) continue;
        try {
            os.attr("unlink")(os.attr("path").attr("join")(base, name));
            ++removed;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;  // gone meanwhile, or not ours to remove
        }
    }
    return removed;
}

// ---- the writes of a run ------------------------------------------------------

// How the run changes the index: new and changed documents replace their
// stored copies in batches, files gone from the folder leave in one call;
// each call is one refit and one write, and the record follows each.
Filing::Filing(py::handle base, IndexNote note, py::object process, bool sb, bool drop_bare,
               long batch, std::size_t held, bool told, py::object notice)
    : base_(base), note_(std::move(note)), process_(std::move(process)),
      modeldir_(process_.attr("modeldir")), sb_(sb), drop_bare_(drop_bare),
      batch_size_(batch), held_(held), last_commit_(std::chrono::steady_clock::now()),
      waited_(told), notice_(std::move(notice)) {}

void Filing::remove(const std::vector<py::object>& names,
                    std::vector<std::pair<py::object, py::object>> excluded) {
    if (names.empty()) return;
    py::list ids;
    for (auto& name : names) ids.append(name);
    first_change();
    tell_if_waiting();
    // The record first: a run stopped between the two writes then finds the
    // names it was removing still marked removed, and the next run finishes
    // the removal instead of filing the files again.
    RecordChange change;
    change.dropped = names;
    change.removed = std::move(excluded);
    change.drop_bare = drop_bare_;
    change_record(modeldir_, change);
    removed_ += py::int_(process_.attr("remove_docs")(ids)).cast<std::size_t>();
}

void Filing::add(py::object doc, py::object name, py::object digest) {
    docs_.append(doc);
    pending_.emplace_back(name, digest);
    const double since = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                       last_commit_).count();
    // Each write refits the whole index: batches grow with it (what it
    // held before the run included), so the refits of a run cost a few
    // times one refit of the result, however few files change.
    // Time alone commits too, so that an interrupted run loses little,
    // but never more often than keeps refits a small share of the run.
    const std::size_t enough = std::max<std::size_t>(batch_size_, (held_ + filed_) / 4);
    if (pending_.size() >= enough ||
        since >= std::max(kCommitSeconds, kRefitShare * last_refit_seconds_))
        commit();
}

void Filing::commit() {
    const auto started = std::chrono::steady_clock::now();
    last_commit_ = started;
    if (pending_.empty()) return;
    py::list docs = docs_;
    first_change();
    tell_if_waiting();
    process_.attr("update_docs")(docs);
    // What the index now holds for these names, as this object wrote it;
    // if another writer replaces one of them meanwhile, the next run
    // sees the difference and reads the file again.
    py::set names;
    for (auto& entry : pending_) names.add(entry.first);
    py::dict held = held_fingerprints(process_.attr("document_search"), sb_, names);
    RecordChange change;
    for (auto& [name, digest] : pending_) {
        if (!wr::contains(held, name)) continue;  // the engine passed it over
        py::list entry;
        entry.append(digest);
        entry.append(held[name]);
        change.filed.emplace_back(name, entry);
    }
    change.drop_bare = drop_bare_;
    change_record(modeldir_, change);
    filed_ += pending_.size();
    docs_ = py::list();
    pending_.clear();
    last_commit_ = std::chrono::steady_clock::now();
    last_refit_seconds_ = std::chrono::duration<double>(last_commit_ - started).count();
}

// The note says how the index was built; it is written with the first
// change, so a run that changes nothing never changes it.
void Filing::first_change() {
    if (noted_) return;
    wr::DirLock lock(modeldir_, wr::kTrainingLockWait);
    IndexNote on_disk = read_note(base_);
    if (!on_disk.noted || !on_disk.engine.equal(note_.engine) ||
        on_disk.detect != note_.detect || !on_disk.translate_to.equal(note_.translate_to) ||
        !on_disk.home.equal(note_.home))
        write_note(base_, note_);
    noted_ = true;
}

// A run over a folder with nothing to file still makes an index: an empty
// one of its engine, which search and the page open (and find nothing in)
// rather than telling the user to index a folder that was just indexed.
void Filing::finish() {
    commit();
    if (noted_) return;
    wr::DirLock lock(modeldir_, wr::kTrainingLockWait);
    if (read_note(base_).engine.is_none()) write_note(base_, note_);
    noted_ = true;
}

void Filing::tell_if_waiting() { intake::tell_if_waiting(modeldir_, waited_, notice_); }

// Whether `path` is one of the base's own files: its OCR copies and the index.
bool belongs_to_base(py::handle path, py::handle base_real, py::handle models_real) {
    py::object os_path = wr::import_attr("os", "path");
    py::object real = os_path.attr("realpath")(path);
    py::object dir = os_path.attr("dirname")(real);
    py::str name(os_path.attr("basename")(real));
    if (dir.equal(base_real) && (name.equal(py::str("output.pdf")) ||
                                 wr::truthy(name.attr("startswith")(".output-"))))
        return true;
    py::object sep = wr::import_attr("os", "sep");
    return real.equal(models_real) ||
           wr::truthy(real.attr("startswith")(models_real + sep));
}

long default_jobs() {
    py::object os = wr::import("os");
    if (py::hasattr(os, "sched_getaffinity")) return py::len(os.attr("sched_getaffinity")(0));
    py::object n = os.attr("cpu_count")();
    return n.is_none() ? 1 : n.cast<long>();
}

}  // namespace intake
