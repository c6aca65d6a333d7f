"""The languages a description may give a translated table in: [strings.LANG], with LANG a
Windows language name (fr-FR, or fr_FR), or a decimal LANGID for any other language. A name that
is near one of these gets a suggestion. Standard library only."""

import difflib
from typing import Dict, Optional

DEFAULT_LANGUAGE = 0x0409

# Windows language names and their LANGIDs.
LANGUAGE_NAMES: Dict[str, int] = {
    'ar-SA': 0x0401, 'bg-BG': 0x0402, 'ca-ES': 0x0403, 'zh-TW': 0x0404, 'cs-CZ': 0x0405,
    'da-DK': 0x0406, 'de-DE': 0x0407, 'el-GR': 0x0408, 'en-US': 0x0409, 'fi-FI': 0x040B,
    'fr-FR': 0x040C, 'he-IL': 0x040D, 'hu-HU': 0x040E, 'is-IS': 0x040F, 'it-IT': 0x0410,
    'ja-JP': 0x0411, 'ko-KR': 0x0412, 'nl-NL': 0x0413, 'nb-NO': 0x0414, 'pl-PL': 0x0415,
    'pt-BR': 0x0416, 'rm-CH': 0x0417, 'ro-RO': 0x0418, 'ru-RU': 0x0419, 'hr-HR': 0x041A,
    'sk-SK': 0x041B, 'sq-AL': 0x041C, 'sv-SE': 0x041D, 'th-TH': 0x041E, 'tr-TR': 0x041F,
    'ur-PK': 0x0420, 'id-ID': 0x0421, 'uk-UA': 0x0422, 'be-BY': 0x0423, 'sl-SI': 0x0424,
    'et-EE': 0x0425, 'lv-LV': 0x0426, 'lt-LT': 0x0427, 'fa-IR': 0x0429, 'vi-VN': 0x042A,
    'hy-AM': 0x042B, 'az-Latn-AZ': 0x042C, 'eu-ES': 0x042D, 'mk-MK': 0x042F, 'af-ZA': 0x0436,
    'ka-GE': 0x0437, 'fo-FO': 0x0438, 'hi-IN': 0x0439, 'mt-MT': 0x043A, 'ms-MY': 0x043E,
    'kk-KZ': 0x043F, 'sw-KE': 0x0441, 'bn-IN': 0x0445, 'pa-IN': 0x0446, 'gu-IN': 0x0447,
    'ta-IN': 0x0449, 'te-IN': 0x044A, 'kn-IN': 0x044B, 'ml-IN': 0x044C, 'mr-IN': 0x044E,
    'cy-GB': 0x0452, 'gl-ES': 0x0456, 'fil-PH': 0x0464, 'lb-LU': 0x046E, 'ar-IQ': 0x0801,
    'zh-CN': 0x0804, 'de-CH': 0x0807, 'en-GB': 0x0809, 'es-MX': 0x080A, 'fr-BE': 0x080C,
    'it-CH': 0x0810, 'nl-BE': 0x0813, 'nn-NO': 0x0814, 'pt-PT': 0x0816, 'sv-FI': 0x081D,
    'ga-IE': 0x083C, 'ar-EG': 0x0C01, 'zh-HK': 0x0C04, 'de-AT': 0x0C07, 'en-AU': 0x0C09,
    'es-ES': 0x0C0A, 'fr-CA': 0x0C0C, 'zh-SG': 0x1004, 'de-LU': 0x1007, 'en-CA': 0x1009,
    'fr-CH': 0x100C, 'zh-MO': 0x1404, 'de-LI': 0x1407, 'en-NZ': 0x1409, 'fr-LU': 0x140C,
    'bs-Latn-BA': 0x141A, 'en-IE': 0x1809, 'en-ZA': 0x1C09, 'es-VE': 0x200A, 'es-CO': 0x240A,
    'sr-Latn-RS': 0x241A, 'es-PE': 0x280A, 'sr-Cyrl-RS': 0x281A, 'es-AR': 0x2C0A,
    'es-CL': 0x340A, 'ar-AE': 0x3801, 'en-IN': 0x4009, 'en-SG': 0x4809, 'es-US': 0x540A,
}

# What a release engineer may write for a language: its English name, for a suggestion.
ENGLISH_NAMES = {
    'arabic': 'ar-SA', 'bulgarian': 'bg-BG', 'catalan': 'ca-ES', 'chinese': 'zh-CN',
    'czech': 'cs-CZ', 'danish': 'da-DK', 'german': 'de-DE', 'greek': 'el-GR', 'finnish': 'fi-FI',
    'french': 'fr-FR', 'hebrew': 'he-IL', 'hungarian': 'hu-HU', 'icelandic': 'is-IS',
    'italian': 'it-IT', 'japanese': 'ja-JP', 'korean': 'ko-KR', 'dutch': 'nl-NL',
    'norwegian': 'nb-NO', 'polish': 'pl-PL', 'portuguese': 'pt-PT', 'brazilian': 'pt-BR',
    'romanian': 'ro-RO', 'russian': 'ru-RU', 'croatian': 'hr-HR', 'slovak': 'sk-SK',
    'albanian': 'sq-AL', 'swedish': 'sv-SE', 'thai': 'th-TH', 'turkish': 'tr-TR',
    'urdu': 'ur-PK', 'indonesian': 'id-ID', 'ukrainian': 'uk-UA', 'belarusian': 'be-BY',
    'slovenian': 'sl-SI', 'estonian': 'et-EE', 'latvian': 'lv-LV', 'lithuanian': 'lt-LT',
    'persian': 'fa-IR', 'vietnamese': 'vi-VN', 'armenian': 'hy-AM', 'basque': 'eu-ES',
    'macedonian': 'mk-MK', 'afrikaans': 'af-ZA', 'georgian': 'ka-GE', 'hindi': 'hi-IN',
    'maltese': 'mt-MT', 'malay': 'ms-MY', 'kazakh': 'kk-KZ', 'swahili': 'sw-KE',
    'welsh': 'cy-GB', 'galician': 'gl-ES', 'irish': 'ga-IE', 'spanish': 'es-ES',
    'serbian': 'sr-Latn-RS', 'bosnian': 'bs-Latn-BA', 'filipino': 'fil-PH',
    # and what it is called in its own language, written without accents
    'deutsch': 'de-DE', 'francais': 'fr-FR', 'espanol': 'es-ES', 'italiano': 'it-IT',
    'nederlands': 'nl-NL', 'portugues': 'pt-PT', 'svenska': 'sv-SE', 'norsk': 'nb-NO',
    'dansk': 'da-DK', 'suomi': 'fi-FI', 'polski': 'pl-PL', 'cesky': 'cs-CZ', 'magyar': 'hu-HU',
    'turkce': 'tr-TR',
}

_FOLDED = {name.lower(): name for name in LANGUAGE_NAMES}


def _folded(name: str) -> str:
    return name.replace('_', '-').lower()


def language_id(name: str) -> Optional[int]:
    """The LANGID of a Windows language name (fr-FR or fr_FR, in any case) or a decimal LANGID;
    None when it is neither."""
    if name.isascii() and name.isdigit():
        value = int(name)
        return value if 0 < value <= 0xFFFF else None
    known = _FOLDED.get(_folded(name))
    return LANGUAGE_NAMES[known] if known else None


def language_name(language: int) -> str:
    """The Windows name of a LANGID this module knows, else the decimal LANGID."""
    for name, value in LANGUAGE_NAMES.items():
        if value == language:
            return name
    return str(language)


def suggested_language(name: str) -> Optional[str]:
    """The Windows language name that a name that is none probably means: the language of an
    English name (french), the usual country of a language code given alone or with a country
    this module does not know (fr, fr-FX), or the name spelt nearest."""
    folded = _folded(name)
    if folded in ENGLISH_NAMES:
        return ENGLISH_NAMES[folded]
    primary = folded.split('-', 1)[0]
    same_language = [n for n in LANGUAGE_NAMES if n.split('-', 1)[0].lower() == primary]
    if same_language:
        usual = [n for n in same_language if n in ENGLISH_NAMES.values()]
        return (usual or same_language)[0]
    close = difflib.get_close_matches(folded, list(_FOLDED) + list(ENGLISH_NAMES), n=1,
                                      cutoff=0.75)
    if close:
        return _FOLDED.get(close[0]) or ENGLISH_NAMES[close[0]]
    return None
