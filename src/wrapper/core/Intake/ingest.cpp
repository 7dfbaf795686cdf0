// The run: which files of a folder are new, changed or gone, compiled where
// the runner puts them, their outcomes taken as they finish and filed in
// folder order; and the removal of files by hand.
#include <cmath>

#include "intake.hpp"

namespace intake {

namespace {

// What differs between how the run would file documents and how the index
// filed its own, in one line that says how to go on; None when nothing does.
py::object mode_difference(py::handle base, const IndexNote& own, bool detect,
                           py::handle translate_to) {
    const char* hint = ", or use another --base)";
    if (own.detect != detect)
        return wr::cat({"the index at ", base, " was built ", own.detect ? "with" : "without",
                        " --detect, this run ", own.detect ? "without it" : "with it", " (",
                        own.detect ? "give" : "leave out", " --detect", hint});
    if (!own.translate_to.equal(translate_to)) {
        py::str built = own.translate_to.is_none()
                            ? py::str("without --translate-to")
                            : wr::cat({"with --translate-to ", own.translate_to});
        py::str asked = translate_to.is_none() ? py::str("without it")
                                               : wr::cat({"with --translate-to ", translate_to});
        py::str fix = own.translate_to.is_none()
                          ? py::str("leave out --translate-to")
                          : wr::cat({"give --translate-to ", own.translate_to});
        return wr::cat({"the index at ", base, " was built ", built, ", this run ", asked, " (",
                        fix, hint});
    }
    return py::none();
}

}  // namespace

py::dict index_folder(py::object folder, py::object base, py::object asked, bool detect,
                      py::object translate_to, py::object jobs_given, py::object batch_given,
                      py::object scheduler, py::object file_timeout, py::object progress,
                      py::object notice) {
    py::object os = wr::import("os");
    py::object os_path = os.attr("path");
    if (!asked.is_none() && !asked.equal(py::str("td")) && !asked.equal(py::str("sb")))
        wr::raise(PyExc_ValueError, {"engine must be 'td', 'sb' or None, not ", py::repr(asked)});
    if (!wr::truthy(os_path.attr("isdir")(folder)))
        wr::raise(PyExc_FileNotFoundError, {"no such folder: ", folder});
    py::object modeldir_path = wr::cat({base, "/models"});
    os.attr("makedirs")(modeldir_path, py::arg("exist_ok") = true);
    remove_dead_copies(base);

    // The index keeps the way it files documents; a run that would file
    // them otherwise is refused, unless the index holds nothing yet.
    IndexNote own = read_note(base);
    py::object engine = own.engine.is_none() ? settle_engine(base, own, asked) : own.engine;
    py::object process = own.noted ? make_process(base, own.detect, engine, own.translate_to)
                                   : make_process(base, detect, engine, translate_to);
    py::dict held = held_fingerprints(process.attr("document_search"), engine.equal(py::str("sb")),
                                      py::none());
    py::object difference = py::none();
    if (!asked.is_none() && !asked.equal(engine)) {
        try {
            settle_engine(base, own, asked);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            difference = py::str(e.value());
        }
    } else if (own.noted) {
        difference = mode_difference(base, own, detect, translate_to);
    }
    if (!difference.is_none()) {
        if (!held.empty()) wr::raise(PyExc_ValueError, {difference});
        if (!asked.is_none()) engine = asked;
        process = make_process(base, detect, engine, translate_to);
    }
    const bool sb = engine.equal(py::str("sb"));
    if (!difference.is_none())
        held = held_fingerprints(process.attr("document_search"), sb, py::none());
    py::object modeldir = process.attr("modeldir");
    py::object folder_real = os_path.attr("realpath")(folder);
    bool told = false;
    // The home first: it tells the user when another writer holds the
    // index, before the folder list waits for the same lock.
    Naming naming{settle_home(base, modeldir, folder_real, held, told, notice)};
    remember_folder(base, folder);

    py::object base_real = os_path.attr("realpath")(base);
    py::object models_real = os_path.attr("realpath")(modeldir);
    std::vector<py::object> documents;
    py::list skipped;
    py::list unlisted;
    for (auto& path : files_under(folder, &unlisted)) {
        if (belongs_to_base(path, base_real, models_real)) continue;
        if (is_document(path))
            documents.push_back(path);
        else
            skipped.append(path);
    }

    const bool on_cluster = !scheduler.is_none();
    // The parser admits any whole number from 1 up: counts past what any
    // run can use are capped before they become machine integers.
    py::object at_most = py::module_::import("builtins").attr("min");
    const long jobs = jobs_given.is_none()
                          ? default_jobs()
                          : static_cast<long>(wr::to_ssize(at_most(jobs_given, 1024)));
    if (jobs < 1) wr::raise(PyExc_ValueError, {"jobs must be 1 or more, not ", jobs_given});
    // Each worker's share of the cores, in OCR jobs (each a single-threaded
    // Tesseract, the library's own limit); a PDF of several pages may take
    // more (workers.cpp). On a cluster every worker machine keeps the
    // tool's default.
    py::object ocr_jobs = py::none();
    if (!on_cluster && jobs > 1) ocr_jobs = py::int_(std::max(1L, default_jobs() / jobs));

    py::object relpath = os_path.attr("relpath");
    py::object abspath = os_path.attr("abspath");
    py::object base_abs = abspath(base);
    Record record = read_record(modeldir);
    const bool bare_ok = bare_entries_trusted(modeldir, process.attr("document_search").attr("model_filename"));
    std::size_t unchanged = 0;
    std::vector<py::object> tasks;
    py::set present;
    // Files removed by hand that the index still holds: a removal stopped
    // after its record was written. It is finished here, and the files are
    // passed over as removed until they change.
    std::vector<py::object> unfinished;
    std::vector<std::pair<py::object, py::object>> still_removed;
    for (auto& path : documents) {
        py::object name = naming.name_of(os_path.attr("join")(folder_real, relpath(path, folder)));
        present.add(name);
        // The digest a file must have to be what the index holds already;
        // the worker that reads the file compares.
        py::object fingerprint = held.attr("get")(name);
        py::object entry = record.files.attr("get")(name);
        py::object same = py::none();
        py::object removed_as = record.removed.attr("get")(name);
        if (!fingerprint.is_none() && !removed_as.is_none() && !wr::contains(record.files, name)) {
            unfinished.push_back(name);
            still_removed.emplace_back(name, removed_as);
            same = removed_as;
        } else if (!fingerprint.is_none() && py::isinstance<py::list>(entry) && py::len(entry) == 2 &&
            py::object(entry[py::int_(1)]).equal(fingerprint))
            same = entry[py::int_(0)];
        else if (!fingerprint.is_none() && bare_ok && py::isinstance<py::str>(entry))
            same = entry;
        else if (fingerprint.is_none())
            same = record.removed.attr("get")(name);
        // Absolute: a cluster worker runs elsewhere, over the same shared storage.
        tasks.push_back(py::make_tuple(base_abs, relpath(abspath(path), base_abs), name, detect,
                                       translate_to, ocr_jobs, same));
    }
    // Documents of this folder whose file is gone (or no longer a document
    // the folder yields). Names a host gave through the library are not
    // paths of documents, and stay.
    // A folder that could not be listed keeps every document it held: it
    // may answer again on the next run, and reading them all again then
    // would cost a whole OCR of them.
    py::list unlisted_real;
    for (py::handle path : unlisted) unlisted_real.append(os_path.attr("realpath")(path));
    auto unseen = [&](py::handle path) {
        for (py::handle folder : unlisted_real)
            if (inside(path, folder)) return true;
        return false;
    };
    std::vector<py::object> gone;
    for (auto item : held) {
        py::object name = py::reinterpret_borrow<py::object>(item.first);
        if (!py::isinstance<py::str>(name) || present.contains(name) || !is_document(name)) continue;
        py::object path = naming.path_of(name);
        if (inside(path, folder_real) && !belongs_to_base(path, base_real, models_real) &&
            !unseen(path))
            gone.push_back(name);
    }

    const double per_page = file_timeout.is_none() ? kSecondsPerPage
                                                   : py::float_(file_timeout).cast<double>();
    if (!(per_page > 0) || !std::isfinite(per_page))
        wr::raise(PyExc_ValueError, {"file_timeout must be seconds above 0, not ", file_timeout});
    std::unique_ptr<Runner> runner = on_cluster ? cluster(scheduler) : local_workers(jobs, per_page);

    IndexNote note;
    note.engine = engine;
    note.detect = detect;
    note.translate_to = translate_to;
    note.noted = true;
    note.home = naming.home;
    const long batch = static_cast<long>(wr::to_ssize(at_most(batch_given, 1L << 30)));
    if (batch < 1) wr::raise(PyExc_ValueError, {"batch must be 1 or more, not ", batch_given});
    Filing filing(base, note, process, sb, !bare_ok, batch, held.size(), told, notice);
    py::list failed;
    py::list without_ocr;
    // Outcomes come in the order files finish; they are filed in folder
    // order, those that finish early waiting here for the ones before them.
    std::vector<std::optional<Outcome>> waiting(tasks.size());
    std::size_t done = 0;
    std::size_t next_to_file = 0;
    // Files of this folder with the same bytes as one before them: each is
    // a document of its own, and the user hears of the copies.
    py::dict first_with;  // digest -> name
    py::list same;
    auto note_bytes = [&](py::handle name, py::handle digest) {
        if (digest.is_none()) return;
        py::object first = first_with.attr("setdefault")(digest, name);
        if (!first.is(name)) same.append(py::make_tuple(name, first));
    };
    auto file = [&](Outcome& outcome) {
        py::object name = tasks[outcome.index][py::int_(2)];
        if (outcome.answer.is_none()) {
            failed.append(py::make_tuple(name, py::str(outcome.failure)));
            return;
        }
        auto parts = wr::unpack(outcome.answer, 5);
        if (parts[1].is_none() && parts[2].is_none()) {
            ++unchanged;
            note_bytes(name, parts[4]);
            return;
        }
        if (!parts[3].is_none() && !parts[1].is_none()) without_ocr.append(py::make_tuple(name, parts[3]));
        if (parts[1].is_none())
            failed.append(py::make_tuple(name, py::str(parts[2])));
        else if (parts[4].is_none())
            failed.append(py::make_tuple(name, reason_line(reasons::Cause::Damaged, "it could not be read")));
        else {
            note_bytes(name, parts[4]);
            filing.add(parts[1], name, parts[4]);
        }
    };
    try {
        filing.remove(unfinished, std::move(still_removed));
        filing.remove(gone);
        if (!tasks.empty()) runner->start(tasks);
        while (next_to_file < tasks.size()) {
            Outcome outcome = runner->next();
            // A file that found the translation service unreachable stops
            // the run at once: every other file would fail the same way.
            if (!outcome.answer.is_none()) {
                py::object failure = outcome.answer[py::int_(2)];
                if (py::isinstance<py::tuple>(failure))
                    wr::raise(PyExc_ConnectionError, {failure[py::int_(1)]});
            }
            const std::size_t at = outcome.index;
            waiting[at] = std::move(outcome);
            ++done;
            if (!progress.is_none()) progress(done, tasks.size(), tasks[at][py::int_(2)]);
            while (next_to_file < tasks.size() && waiting[next_to_file]) {
                file(*waiting[next_to_file]);
                waiting[next_to_file].reset();
                ++next_to_file;
            }
        }
        filing.finish();
    } catch (...) {
        // Whatever stops the run (Ctrl-C above all), the workers and their
        // OCR tools stop with it; every batch written so far stays.
        runner->stop();
        throw;
    }
    runner->stop();

    py::list skipped_names;
    for (py::handle path : skipped) skipped_names.append(relpath(path, folder));
    py::dict summary;
    summary["indexed"] = py::int_(filing.filed());
    summary["skipped"] = skipped_names;
    summary["failed"] = failed;
    summary["unchanged"] = py::int_(unchanged);
    summary["removed"] = py::int_(filing.removed());
    summary["without_ocr"] = without_ocr;
    py::list unlisted_names;
    for (py::handle path : unlisted) unlisted_names.append(relpath(path, folder));
    summary["unlisted"] = unlisted_names;
    summary["same"] = same;
    summary["index"] = modeldir;
    return summary;
}

// Drops files from the index without touching them: each path is a file or
// a folder (every document under it), named as a folder run names them.
// They are remembered as removed, so a later run over their folder passes
// over them until they change.
py::dict remove_files(py::object paths, py::object base, py::object notice) {
    py::object os = wr::import("os");
    py::object os_path = os.attr("path");
    IndexNote own = read_note(base);
    if (own.engine.is_none())
        wr::raise(PyExc_FileNotFoundError, {"no index at ", base, " (run 'wrapper index' first)"});
    const bool sb = own.engine.equal(py::str("sb"));
    py::object process = make_process(base, own.noted ? own.detect : sb, own.engine,
                                      own.noted ? own.translate_to : py::none());
    py::dict held = held_fingerprints(process.attr("document_search"), sb, py::none());
    // An index from before names had a home: names are paths inside the
    // folder it was built from, and are given as such.
    Naming naming{own.home};

    std::vector<py::object> names;
    std::vector<std::pair<py::object, py::object>> excluded;
    py::set chosen;
    py::list missing;
    for (py::handle given : paths) {
        // A link is named by where it lies, as a folder run names it (the
        // walk does not resolve it), and by where it leads.
        py::list wanted;
        if (own.home.is_none()) {
            wanted.append(os_path.attr("normpath")(given));
        } else {
            py::object plain = os_path.attr("abspath")(given);
            wanted.append(os_path.attr("realpath")(plain));
            py::object where_it_lies = os_path.attr("join")(
                os_path.attr("realpath")(os_path.attr("dirname")(plain)), os_path.attr("basename")(plain));
            if (!where_it_lies.equal(wanted[0])) wanted.append(where_it_lies);
        }
        std::size_t found = 0;
        for (auto item : held) {
            py::object name = py::reinterpret_borrow<py::object>(item.first);
            if (!py::isinstance<py::str>(name) || chosen.contains(name)) continue;
            py::object where = own.home.is_none() ? py::object(os_path.attr("normpath")(name))
                                                  : naming.path_of(name);
            bool match = false;
            for (py::handle path : wanted) match = match || inside(where, path);
            if (!match) continue;
            chosen.add(name);
            names.push_back(name);
            py::object digest = py::none();
            try {
                digest = digest_of(where);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) throw;  // deleted meanwhile: nothing to pass over
            }
            if (!digest.is_none()) excluded.emplace_back(name, digest);
            ++found;
        }
        if (found == 0) {
            missing.append(given);
        }
    }
    IndexNote note = own;
    note.noted = true;  // what was guessed is now what the index says
    note.detect = own.noted ? own.detect : sb;
    Filing filing(base, note, process, sb, false, 1, held.size(), false, notice);
    filing.remove(names, std::move(excluded));
    py::dict summary;
    summary["removed"] = py::int_(filing.removed());
    summary["missing"] = missing;
    summary["index"] = process.attr("modeldir");
    return summary;
}

}  // namespace intake
