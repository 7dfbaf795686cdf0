"""The public nltk corpora the benchmarks read (Brown, UDHR, Floresta), fetched
as set-up fetches its own: from $WRAPPER_CORPORA or ../shared/corpora when a
mirror is there, else from nltk's data server, kept under build/corpora."""

import os
import socket
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
import fetch_corpora  # noqa: E402


def corpus_zip(ident):
    """The path of <ident>.zip; exits with the reason when no road has it."""
    mirror = os.environ.get("WRAPPER_CORPORA")
    socket.setdefaulttimeout(fetch_corpora.NETWORK_TIMEOUT)
    try:
        path, _ = fetch_corpora.fetch(ident, ROOT / "build" / "corpora",
                                      Path(mirror) if mirror else None,
                                      os.environ.get("NLTK_DOWNLOAD_URL") or None)
    except fetch_corpora.Failure as failure:
        sys.exit(f"corpus missing: {failure}")
    return path
