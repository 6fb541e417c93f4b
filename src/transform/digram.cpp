#include "transform/digram.h"

#include <cstring>

namespace taq {

namespace {

constexpr unsigned kFirstCode = 123;
constexpr unsigned kCodeLimit = 255;

const char* const kDictionary[132] = {
    "th",  "he",  "in",  "er",  "an",  "on",  "the", "re",  "or",  "ti",  "at",  "te",  "en",  "es",  "al",
    "is",  "ar",  "nd",  "st",  "ed",  "nt",  "it",  "of",  "le",  "ri",  "to",  "ng",  "io",  "ic",  "me",
    "as",  "se",  "co",  "and", "ra",  "de",  "ion", "ve",  "ro",  "ot",  "li",  "la",  "om",  "ing", "ha",
    "ne",  "ce",  "ea",  "si",  "ta",  "ma",  "ou",  "hi",  "ll",  "am",  "el",  "ca",  "tio", "ch",  "ent",
    "us",  "ns",  "na",  "tr",  "qu",  "ge",  "di",  "ur",  "be",  "ec",  "ia",  "ni",  "ol",  "ac",  "il",
    "ct",  "rs",  "mp",  "ter", "ati", "pe",  "et",  "id",  "nc",  "ie",  "rt",  "fo",  "ly",  "lo",  "ut",
    "un",  "uo",  "no",  "quo", "uot", "pr",  "ate", "ho",  "em",  "so",  "lt",  "ss",  "pa",  "ry",  "im",
    "mo",  "po",  "ts",  "ad",  "mi",  "ag",  "vi",  "ee",  "for", "ci",  "ig",  "os",  "ir",  "wa",  "sh",
    "ai",  "su",  "wi",  "ul",  "iv",  "con", "ow",  "op",  "ev",  "her", "ver", "fi",
};

bool is_lower(unsigned c) { return c >= 'a' && c <= 'z'; }
bool is_code(unsigned c) { return c >= kFirstCode && c < kCodeLimit; }

}  // namespace

const char* DigramTransform::entry(unsigned code) {
    return is_code(code) ? kDictionary[code - kFirstCode] : nullptr;
}

uint8_t* DigramTransform::scratch(size_t n) {
    if (scratch_size_ < n + 16) {
        scratch_.reset(new uint8_t[n + 16]);
        scratch_size_ = n + 16;
    }
    return scratch_.get();
}

DigramTransform::DigramTransform() {
    trie_.reserve(500);
    trie_.push_back(Node{});
    for (unsigned i = 0; i < 132; ++i) {
        size_t node = 0;
        for (const char* p = kDictionary[i]; *p; ++p) {
            const unsigned letter = static_cast<unsigned>(*p - 'a');
            if (trie_[node].child[letter] == 0) {
                trie_[node].child[letter] = static_cast<uint16_t>(trie_.size());
                trie_.push_back(Node{});
            }
            node = trie_[node].child[letter];
        }
        trie_[node].code = static_cast<uint8_t>(kFirstCode + i);
    }
}

size_t DigramTransform::forward(uint8_t* buf, size_t n) {
    if (n < 512) return 0;
    uint8_t* out = scratch(n);
    const double limit = static_cast<double>(n) * static_cast<double>(0.95f);
    size_t r = 0, m = 0;
    unsigned previous = 0;
    while (r + 5 < n) {
        const unsigned x = buf[r];
        if (!is_lower(x)) {
            out[m++] = static_cast<uint8_t>(x);
            if (is_code(x)) out[m++] = static_cast<uint8_t>(x);
            if (static_cast<double>(m) > limit) return 0;
            ++r;
            previous = 0;
            continue;
        }
        if (static_cast<double>(m) > limit) return 0;
        size_t node = 0, walked = 0, length = 0;
        unsigned code = 0;
        size_t j = r;
        for (; j < n; ++j) {
            const unsigned c = buf[j];
            if (!is_lower(c) || trie_[node].child[c - 'a'] == 0) break;
            node = trie_[node].child[c - 'a'];
            ++walked;
            if (trie_[node].code) {
                code = trie_[node].code;
                length = walked;
            }
        }
        const int stop = j < n ? buf[j] : -1;
        if (code != 0 && static_cast<int>(code) != stop && code != previous) {
            out[m++] = static_cast<uint8_t>(code);
            if (static_cast<double>(m) > limit) return 0;
            r += length;
            previous = code;
        } else {
            out[m++] = static_cast<uint8_t>(x);
            if (static_cast<double>(m) > limit) return 0;
            ++r;
            previous = 0;
        }
    }
    for (; r < n; ++r) {
        out[m++] = buf[r];
        if (is_code(buf[r])) out[m++] = buf[r];
    }
    std::memset(out + m, ' ', n - m);
    std::memcpy(buf, out, n);
    return m;
}

bool DigramTransform::inverse(uint8_t* buf, size_t coded, size_t n) {
    if (n == 0) return true;  // (buf may then be null)
    uint8_t* out = scratch(n);
    size_t o = 0, r = 0;
    bool ok = true;
    while (o < n) {
        if (r >= coded) {
            ok = false;
            break;
        }
        const unsigned x = buf[r];
        if (!is_code(x)) {
            out[o++] = static_cast<uint8_t>(x);
            r += 1;
        } else if (r + 1 < coded && buf[r + 1] == x) {
            out[o++] = static_cast<uint8_t>(x);
            r += 2;
        } else {
            for (const char* p = kDictionary[x - kFirstCode]; *p; ++p) out[o++] = static_cast<uint8_t>(*p);
            r += 1;
        }
    }
    if (o < n) std::memset(out + o, 0, n - o);
    std::memcpy(buf, out, n);
    return ok;
}

}  // namespace taq
