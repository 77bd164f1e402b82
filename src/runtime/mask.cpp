// Masking of the password in texts from outside that log lines quote.
//
// Python form:
//     def mask(text, password):
//         text = f"{text}"
//         for secret in readings(password):     # str: f"{password}"; bytes: latin-1, UTF-8
//             text = mask_one(text, secret) if secret else text
//         return text
// where mask_one replaces, left to right, every whole occurrence of the secret
// (no word character right before or after it, an escape right before it
// counting as the character it writes: the n of an escaped newline is no
// letter of the text), each character written as
// itself or as one of the escapes a repr or JSON writes for it (\n, \", \xHH,
// \uHHHH, \UHHHHHHHH, a \uD8xx\uDCxx pair), by six asterisks.
#include <cstring>
#include <utility>

#include "runtime/py.h"

namespace norvix {
namespace {

constexpr char kMask[] = "******";
constexpr Py_ssize_t kMaskLen = 6;

bool is_word(Py_UCS4 c) noexcept { return Py_UNICODE_ISALNUM(c) || c == '_'; }

// The letter of the short escape of `c`, or 0.
Py_UCS4 short_escape(Py_UCS4 c) noexcept {
    switch (c) {
        case '\n':
            return 'n';
        case '\r':
            return 'r';
        case '\t':
            return 't';
        case '\b':
            return 'b';
        case '\f':
            return 'f';
        case '\\':
        case '"':
        case '\'':
        case '/':
            return c;
        default:
            return 0;
    }
}

// text[p:p+width] read as hexadecimal digits, or -1.
long hex_value(const Py_UCS4* s, Py_ssize_t n, Py_ssize_t p, int width) noexcept {
    if (p + width > n) return -1;
    long v = 0;
    for (int i = 0; i < width; ++i) {
        Py_UCS4 c = s[p + i];
        int d = c >= '0' && c <= '9'   ? int(c - '0')
                : c >= 'a' && c <= 'f' ? int(c - 'a' + 10)
                : c >= 'A' && c <= 'F' ? int(c - 'A' + 10)
                                       : -1;
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// text[p:p+width] as hexadecimal digits equals `value`.
bool hex_is(const Py_UCS4* s, Py_ssize_t n, Py_ssize_t p, int width, Py_UCS4 value) noexcept {
    return hex_value(s, n, p, width) == long(value);
}

// Whether the text before p ends in a word character, an escape that ends
// there counting as the character it writes (a backslash before it is not
// weighed: masking a secret that a literal backslash and letter precede is
// the safe mistake).
bool word_before(const Py_UCS4* s, Py_ssize_t n, Py_ssize_t p) noexcept {
    if (p == 0) return false;
    if (p >= 2 && s[p - 2] == '\\' && s[p - 1] < 128 && std::strchr("nrtbf\\\"'/", int(s[p - 1])))
        return false;  // a short escape writes a character that is no word's
    for (const auto& [letter, width] : {std::pair{'x', 2}, std::pair{'u', 4}, std::pair{'U', 8}}) {
        const Py_ssize_t start = p - 2 - width;
        if (start < 0 || s[start] != '\\' || s[start + 1] != Py_UCS4(letter)) continue;
        const long value = hex_value(s, n, start + 2, width);
        if (value >= 0) return value <= 0x10FFFF && is_word(Py_UCS4(value));
    }
    return is_word(s[p - 1]);
}

// Positions after each spelling of `c` that starts at p: itself, and one
// escape at most (escapes differ in the letter after the backslash).
int spellings(const Py_UCS4* s, Py_ssize_t n, Py_ssize_t p, Py_UCS4 c, Py_ssize_t* ends) noexcept {
    int k = 0;
    if (p >= n) return 0;
    if (s[p] == c) ends[k++] = p + 1;
    if (s[p] != '\\' || p + 1 >= n) return k;
    const Py_UCS4 letter = s[p + 1];
    if (letter == short_escape(c) && letter != 0) {
        ends[k++] = p + 2;
    } else if (letter == 'x' && hex_is(s, n, p + 2, 2, c)) {
        ends[k++] = p + 4;
    } else if (letter == 'U' && hex_is(s, n, p + 2, 8, c)) {
        ends[k++] = p + 10;
    } else if (letter == 'u') {
        if (c <= 0xFFFF) {
            if (hex_is(s, n, p + 2, 4, c)) ends[k++] = p + 6;
        } else if (hex_is(s, n, p + 2, 4, 0xD800 + ((c - 0x10000) >> 10)) && p + 7 < n &&
                   s[p + 6] == '\\' && s[p + 7] == 'u' &&
                   hex_is(s, n, p + 8, 4, 0xDC00 + ((c - 0x10000) & 0x3FF))) {
            ends[k++] = p + 12;
        }
    }
    return k;
}

// Buffers owned for one masking.
struct Buffers {
    Py_UCS4* text = nullptr;
    Py_UCS4* secret = nullptr;
    Py_ssize_t* cur = nullptr;
    Py_ssize_t* next = nullptr;
    Py_ssize_t* spans = nullptr;  // start, end of each occurrence
    Py_UCS4* out = nullptr;
    ~Buffers() {
        PyMem_Free(text);
        PyMem_Free(secret);
        PyMem_Free(cur);
        PyMem_Free(next);
        PyMem_Free(spans);
        PyMem_Free(out);
    }
};

// The end of the whole occurrence of `secret` at p, or -1: of the spellings
// that reach the secret's end, the longest one that no word character
// follows.
Py_ssize_t occurrence_at(const Py_UCS4* s, Py_ssize_t n, Py_ssize_t p, const Py_UCS4* secret,
                         Py_ssize_t m, Buffers& b) noexcept {
    Py_ssize_t ncur = 1;
    b.cur[0] = p;
    for (Py_ssize_t k = 0; k < m && ncur; ++k) {
        Py_ssize_t nnext = 0;
        for (Py_ssize_t i = 0; i < ncur; ++i) {
            Py_ssize_t ends[2];
            int e = spellings(s, n, b.cur[i], secret[k], ends);
            for (int j = 0; j < e; ++j) {
                bool seen = false;
                for (Py_ssize_t q = 0; q < nnext && !seen; ++q) seen = b.next[q] == ends[j];
                if (!seen) b.next[nnext++] = ends[j];
            }
        }
        std::swap(b.cur, b.next);
        ncur = nnext;
    }
    Py_ssize_t best = -1;
    for (Py_ssize_t i = 0; i < ncur; ++i)
        if (b.cur[i] > best && (b.cur[i] == n || !is_word(s[b.cur[i]]))) best = b.cur[i];
    return best;
}

Ref mask_one(Ref text, PyObject* secret) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    const Py_ssize_t m = PyUnicode_GET_LENGTH(secret);
    if (n == 0 || m == 0) return text;
    Buffers b;
    b.text = PyUnicode_AsUCS4Copy(text.get());
    b.secret = PyUnicode_AsUCS4Copy(secret);
    if (!b.text || !b.secret) return {};
    b.cur = PyMem_New(Py_ssize_t, n + 1);
    b.next = PyMem_New(Py_ssize_t, n + 1);
    if (!b.cur || !b.next) {
        PyErr_NoMemory();
        return {};
    }
    Py_ssize_t nspans = 0, cap = 0;
    for (Py_ssize_t p = 0; p < n;) {
        Py_ssize_t end = -1;
        if ((b.text[p] == b.secret[0] || b.text[p] == '\\') && !word_before(b.text, n, p))
            end = occurrence_at(b.text, n, p, b.secret, m, b);
        if (end < 0) {
            ++p;
            continue;
        }
        if (nspans + 2 > cap) {
            cap = cap ? 2 * cap : 8;
            auto* grown = PyMem_Resize(b.spans, Py_ssize_t, cap);
            if (!grown) {
                PyErr_NoMemory();
                return {};
            }
            b.spans = grown;
        }
        b.spans[nspans++] = p;
        b.spans[nspans++] = end;
        p = end;
    }
    if (nspans == 0) return text;
    Py_ssize_t len = n;
    for (Py_ssize_t i = 0; i < nspans; i += 2) len += kMaskLen - (b.spans[i + 1] - b.spans[i]);
    b.out = PyMem_New(Py_UCS4, len > 0 ? len : 1);
    if (!b.out) {
        PyErr_NoMemory();
        return {};
    }
    Py_ssize_t o = 0, from = 0;
    for (Py_ssize_t i = 0; i < nspans; i += 2) {
        for (Py_ssize_t q = from; q < b.spans[i]; ++q) b.out[o++] = b.text[q];
        for (Py_ssize_t q = 0; q < kMaskLen; ++q) b.out[o++] = Py_UCS4(kMask[q]);
        from = b.spans[i + 1];
    }
    for (Py_ssize_t q = from; q < n; ++q) b.out[o++] = b.text[q];
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, b.out, len));
}

}  // namespace

// Texts from outside (an exception message, an error body, the service's
// message) may quote the password sent: the HTTP library puts a rejected
// header value into its message, and a service may echo a request back,
// escaped as JSON.  The password never reaches the log; a word that merely
// contains it (a key like 'open_price' with the password "p") is left as is.
Ref scrub(Context* ctx, Ref text, PyObject* password) noexcept {
    if (!text || !password) return text;
    if (!PyUnicode_CheckExact(text.get())) {
        text = text_of(ctx, text.get());
        if (!text) return {};
    }
    if (PyBytes_Check(password) || PyByteArray_Check(password)) {
        // Sent as they are: a service reads them as Latin-1 or UTF-8, and
        // their repr escapes the Latin-1 reading.
        const char* data =
            PyBytes_Check(password) ? PyBytes_AS_STRING(password) : PyByteArray_AS_STRING(password);
        const Py_ssize_t size = Py_SIZE(password);
        Ref latin = Ref::steal(PyUnicode_DecodeLatin1(data, size, nullptr));
        if (!latin) return {};
        text = mask_one(std::move(text), latin.get());
        if (!text) return {};
        Ref utf8 = Ref::steal(PyUnicode_DecodeUTF8(data, size, nullptr));
        if (!utf8) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return {};
            PyErr_Clear();
            return text;
        }
        return mask_one(std::move(text), utf8.get());
    }
    Ref secret = text_of(ctx, password);
    if (!secret) return {};
    return mask_one(std::move(text), secret.get());
}

Ref scrub_secret(Context* ctx, Ref text, PyObject* owner) noexcept {
    if (!text) return text;
    Ref password = Ref::steal(PyObject_GetAttr(owner, (*ctx)[Name::password]));
    if (!password) return {};
    return scrub(ctx, std::move(text), password.get());
}

}  // namespace norvix
