"""The persistence class for one named model."""

import logging
import os
import pickle

import joblib
import pytest

from wrapper.core.Vectorizer import Vectorizer


def messages(caplog):
    return [r.getMessage() for r in caplog.records]


def test_construction_makes_the_directory(tmp_path):
    where = tmp_path / "a" / "b"
    first = Vectorizer(str(where), "corpus")
    again = Vectorizer(str(where), "corpus")
    assert where.is_dir()
    assert (again.corpus_name, again.path, again.model_filename) == ("corpus", str(where), str(where / "corpus"))
    assert first.model is None and "model" not in vars(first)
    # A name with a separator puts the file in a subdirectory.
    Vectorizer(str(tmp_path), "sub/corpus")
    assert (tmp_path / "sub").is_dir()


def test_an_empty_directory_part_fails():
    with pytest.raises(FileNotFoundError):
        Vectorizer("", "corpus")


def test_save_then_load_in_a_new_object(tmp_path, caplog):
    model = {"weights": [0.5, 1.5], "name": "ação"}
    with caplog.at_level(logging.DEBUG, logger="root"):
        saver = Vectorizer(str(tmp_path), "m.bin")
        saver.save_model(model)
        loader = Vectorizer(str(tmp_path), "m.bin")
        loader.load_model()
    path = str(tmp_path / "m.bin")
    assert messages(caplog) == ["saving model " + path, "loading model " + path, "loaded model " + path]
    assert saver.model is model and loader.model == model
    assert joblib.load(path) == model  # plain joblib reads it
    assert os.listdir(tmp_path) == ["m.bin"]


def test_loading_without_a_file_keeps_the_model(tmp_path, caplog):
    v = Vectorizer(str(tmp_path), "missing")
    with caplog.at_level(logging.DEBUG, logger="root"):
        assert v.load_model() is None
    assert messages(caplog) == ["loading model " + str(tmp_path / "missing")]
    assert v.model is None


def test_a_corrupt_file_fails_loading_and_keeps_the_model(tmp_path):
    (tmp_path / "m").write_bytes(b"not a pickle")
    v = Vectorizer(str(tmp_path), "m")
    v.model = "previous"
    # joblib's own error, whatever it is for these bytes.
    with pytest.raises(Exception) as direct:
        joblib.load(str(tmp_path / "m"))
    with pytest.raises(type(direct.value)) as err:
        v.load_model()
    assert type(err.value) is type(direct.value) and err.value.args == direct.value.args
    assert v.model == "previous"


def test_a_failed_save_keeps_the_old_file(tmp_path):
    v = Vectorizer(str(tmp_path), "m")
    v.save_model([1, 2, 3])
    unpicklable = lambda: None  # noqa: E731
    with pytest.raises(pickle.PicklingError, match="Can't pickle <function"):
        v.save_model(unpicklable)
    assert v.model is unpicklable
    assert joblib.load(str(tmp_path / "m")) == [1, 2, 3]
    assert os.listdir(tmp_path) == ["m"]


@pytest.mark.parametrize("file", [None, "a document", object()])
def test_encode_does_nothing(tmp_path, file):
    assert Vectorizer(str(tmp_path), "m").encode(file) is None
