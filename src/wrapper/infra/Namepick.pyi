"""Named entities of a text, through spaCy."""

# The public multilingual model, used whenever spaCy finds it installed.
SPACY_MODEL: str
# The pipeline set-up installs for offline use (same labels: PER, LOC, ORG,
# MISC); used while SPACY_MODEL is not installed.
OFFLINE_MODEL: str
# One capitalised function word or month alone ("His", "Mas", "June") is left
# out of the answer while this is true (the default); read at every call.
DROP_FUNCTION_WORDS: bool
# A pipeline loaded on thinc's default CPU ops multiplies its matrices
# through numpy's BLAS (faster, same entities) while this is true (the
# default), through thinc's bundled BLIS otherwise; read when a pipeline is
# loaded. Ops a host set itself are used as they are.
NUMPY_MATMUL: bool

# Lines wrapped inside a paragraph (as OCR wraps them) are read as one line,
# so a name cut by a wrap is found, and given with a blank where the break was.
def extract_named_entities(text: str) -> list[tuple[str, str]]: ...
