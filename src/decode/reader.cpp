// Reading a history answer: when `response.json()` may be skipped, and the
// JSON body read with simdjson into Rows.
#include <cmath>
#include <cstring>
#include <new>
#include <string_view>

#include "decode/decode.h"
#include "decode/pycheck.h"

#ifdef NORVIX_HAVE_SIMDJSON
#include <simdjson.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define NORVIX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORVIX_ASAN 1
#endif
#endif

namespace norvix::decode {
namespace {

#ifdef NORVIX_HAVE_SIMDJSON

// Deeper answers go to json.loads, which nests this far without trouble.
constexpr size_t kMaxDepth = 64;

// The value of four hex digits (validated by the parser).
unsigned hex4(const char* p) noexcept {
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
        char c = p[i];
        v = v * 16 + unsigned(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return v;
}

// Escapes are where json.loads and a native parser may part: a key written
// with escapes, and a lone surrogate escape (json.loads keeps it in the str,
// a native parser rejects or replaces it).  True when the body has neither.
// The body was parsed successfully, so every backslash lies in a string.
bool plain_escapes(const char* s, size_t n) noexcept {
    const char* end = s + n;
    const char* p = s;
    while ((p = static_cast<const char*>(std::memchr(p, '\\', end - p)))) {
        // From the first escape to the end of its string.
        while (p < end && *p != '"') {
            if (*p != '\\') {
                ++p;
                continue;
            }
            if (p + 1 < end && p[1] == 'u' && end - p >= 6) {
                unsigned v = hex4(p + 2);
                if (v >= 0xd800 && v <= 0xdbff) {
                    // A high surrogate must be followed by a low one.
                    if (end - p < 12 || p[6] != '\\' || p[7] != 'u') return false;
                    unsigned w = hex4(p + 8);
                    if (w < 0xdc00 || w > 0xdfff) return false;
                    p += 12;
                    continue;
                }
                if (v >= 0xdc00 && v <= 0xdfff) return false;
                p += 6;
                continue;
            }
            p += 2;
        }
        if (p >= end) return false;
        ++p;  // the closing quote
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
        if (p < end && *p == ':') return false;  // that string was a key
    }
    return true;
}

// simdjson reads up to SIMDJSON_PADDING bytes past the end of the text (what
// they hold does not matter).  When those lie on the page of the text's last
// byte they are mapped, and the body is parsed where it is rather than in a
// padded copy as large as the body.  AddressSanitizer rightly counts such
// reads as out of bounds: under it the body is always copied.
bool readable_padding(const char* buf, size_t len) noexcept {
#ifdef NORVIX_ASAN
    (void)buf;
    (void)len;
    return false;
#else
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) return false;
    const auto last = reinterpret_cast<uintptr_t>(buf + len - 1);
    return last % static_cast<uintptr_t>(page) + simdjson::SIMDJSON_PADDING <
           static_cast<uintptr_t>(page);
#endif
}

// The layout's member names, as UTF-8.
struct Names {
    std::string_view time;
    std::string_view field[MemberReader::kMaxFields];
    int n;
    int hint = 0;

    bool init(Context* ctx, const Layout& layout) noexcept {
        n = layout.n;
        auto utf8 = [](PyObject* s, std::string_view& out) {
            Py_ssize_t len;
            const char* p = PyUnicode_AsUTF8AndSize(s, &len);
            if (!p) return false;
            out = std::string_view(p, static_cast<size_t>(len));
            return true;
        };
        if (!utf8((*ctx)[layout.time_field], time)) return false;
        for (int j = 0; j < n; ++j)
            if (!utf8((*ctx)[layout.fields[j].key], field[j])) return false;
        return true;
    }

    // What the member at each position of the previous record was: records
    // list their members in one order nearly always, so the key at a
    // position is usually the one seen there before, found with one compare.
    static constexpr int kPositions = 64;
    std::string_view seen_key[kPositions];
    int seen_match[kPositions];
    int seen = 0;  // positions filled

    // match(key) for the member at `position` of its record.
    int match_at(int position, std::string_view key) noexcept {
        if (position < seen && seen_key[position] == key) return seen_match[position];
        int j = match(key);
        if (position < kPositions) {
            if (position >= seen) seen = position + 1;
            seen_key[position] = key;
            seen_match[position] = j;
        }
        return j;
    }

    // The field `key` names, -2 for the time member, -1 for any other.
    // The search starts after the field found last.
    int match(std::string_view key) noexcept {
        for (int t = 0; t < n; ++t) {
            int j = hint + t < n ? hint + t : hint + t - n;
            if (field[j] == key) {
                hint = j + 1 < n ? j + 1 : 0;
                return j;
            }
        }
        return key == time ? -2 : -1;
    }
};

// The answer as Rows, or 0 when anything in it is not what the fast path
// handles exactly as json.loads and the query's conversion would.
int read_rows(Context* ctx, const Layout& layout, const char* buf, size_t len,
              Rows& rows) noexcept {
    Names names;
    if (!names.init(ctx, layout)) return -1;
    uint32_t required = 0;
    for (int j = 0; j < layout.n; ++j)
        if (layout.fields[j].kind == Kind::required) required |= 1u << j;

    using simdjson::dom::element_type;
    simdjson::dom::parser parser;
    if (parser.allocate(len, kMaxDepth) != simdjson::SUCCESS) return 0;
    simdjson::dom::element root;
    if (parser.parse(buf, len, !readable_padding(buf, len)).get(root) != simdjson::SUCCESS)
        return 0;
    if (!plain_escapes(buf, len)) return 0;

    // The envelope: `code` the integer 0 (the check passes silently), `data`
    // an array or absent (no records); anything else is read as Python would.
    simdjson::dom::object envelope;
    if (root.get_object().get(envelope) != simdjson::SUCCESS) return 0;
    simdjson::dom::array data;
    bool code = false, have_data = false, message = false;
    for (simdjson::dom::key_value_pair member : envelope) {
        if (member.key == "code") {
            int64_t value;
            if (code || member.value.type() != element_type::INT64 ||
                member.value.get_int64().get(value) != simdjson::SUCCESS || value != 0)
                return 0;
            code = true;
        } else if (member.key == "data") {
            if (have_data || member.value.get_array().get(data) != simdjson::SUCCESS) return 0;
            have_data = true;
        } else if (member.key == "message") {
            if (message) return 0;
            message = true;
        }
    }
    if (!code) return 0;

    rows.stride = 2 + layout.n;
    rows.texts = Ref::steal(PyList_New(0));
    if (!rows.texts) return -1;
    if (!have_data) return 1;
    // The array knows its length (up to 2**24 - 1 elements): room for all
    // rows at once rather than by doubling.
    if (size_t n = data.size(); n > 0 && n < 0xFFFFFF) {
        rows.slots = static_cast<Slot*>(PyMem_RawMalloc(n * rows.stride * sizeof(Slot)));
        if (!rows.slots) return 0;
        rows.capacity = n;
    }
    std::string_view last_text;
    Py_ssize_t last_index = -1;
    for (simdjson::dom::element item : data) {
        simdjson::dom::object record;
        if (item.get_object().get(record) != simdjson::SUCCESS) return 0;
        if (rows.count == rows.capacity) {
            size_t cap = rows.capacity ? rows.capacity * 2 : 1024;
            void* grown = PyMem_RawRealloc(rows.slots, cap * rows.stride * sizeof(Slot));
            if (!grown) return 0;
            rows.slots = static_cast<Slot*>(grown);
            rows.capacity = cap;
        }
        Slot* row = rows.slots + rows.count * rows.stride;
        uint32_t present = 0, ints = 0;
        bool time = false;
        int position = 0;
        for (simdjson::dom::key_value_pair member : record) {
            int j = names.match_at(position++, member.key);
            if (j == -1) continue;
            if (j == -2) {
                std::string_view text;
                TimeFields f;
                if (time || member.value.get_string().get(text) != simdjson::SUCCESS ||
                    !canonical_time(reinterpret_cast<const unsigned char*>(text.data()),
                                    text.size(), layout.with_time, f))
                    return 0;
                time = true;
                row[0].u = uint64_t(f.year) << 40 | uint64_t(f.month) << 32 |
                           uint64_t(f.day) << 24 | uint64_t(f.hour) << 16 |
                           uint64_t(f.minute) << 8 | uint64_t(f.second);
                continue;
            }
            if (present & (1u << j)) return 0;  // json.loads would keep the last
            present |= 1u << j;
            Slot& slot = row[2 + j];
            if (layout.fields[j].kind == Kind::text) {
                std::string_view text;
                if (member.value.get_string().get(text) != simdjson::SUCCESS) return 0;
                if (last_index < 0 || text != last_text) {
                    Ref s = Ref::steal(PyUnicode_DecodeUTF8(text.data(), text.size(), "strict"));
                    if (!s) {
                        PyErr_Clear();
                        return 0;
                    }
                    if (PyList_Append(rows.texts.get(), s.get()) < 0) return -1;
                    last_text = text;
                    last_index = PyList_GET_SIZE(rows.texts.get()) - 1;
                }
                slot.i = last_index;
                continue;
            }
            switch (member.value.type()) {
                case element_type::INT64:
                    if (member.value.get_int64().get(slot.i) != simdjson::SUCCESS) return 0;
                    ints |= 1u << j;
                    break;
                case element_type::DOUBLE:
                    if (member.value.get_double().get(slot.d) != simdjson::SUCCESS) return 0;
                    // json.loads makes "-0" the integer 0; a negative zero
                    // goes to it rather than be told apart here.
                    if (slot.d == 0 && std::signbit(slot.d)) return 0;
                    break;
                default:  // text, null, true/false, containers, integers beyond int64
                    return 0;
            }
        }
        if (!time || (required & ~present)) return 0;
        row[1].u = uint64_t(present) | uint64_t(ints) << 32;
        ++rows.count;
    }
    return 1;
}

// requests.models.Response whose json(), content and text are the library's
// own, with the standard json module behind it: json() then is
// json.loads(content decoded as UTF-8) for the bodies accepted below.
bool standard_response(PyObject* response) noexcept {
    Ref models = loaded_module("requests.models");
    Ref cls = module_member(models.get(), "Response");
    PyTypeObject* tp = Py_TYPE(response);
    if (!cls || reinterpret_cast<PyObject*>(tp) != cls.get()) return false;
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    Ref name = Ref::steal(PyUnicode_InternFromString("json"));
    if (!name) return false;
    if (!function_from(type_lookup(tp, name.get()), models.get(), "Response.json")) return false;
    struct Property {
        const char* name;
        const char* qualname;
    };
    for (const Property& prop :
         {Property{"content", "Response.content"}, Property{"text", "Response.text"}}) {
        Ref pname = Ref::steal(PyUnicode_InternFromString(prop.name));
        if (!pname) return false;
        PyObject* p = type_lookup(tp, pname.get());
        if (!p || !Py_IS_TYPE(p, &PyProperty_Type)) return false;
        Ref fget = Ref::steal(PyObject_GetAttrString(p, "fget"));
        if (!fget) return false;
        if (!function_from(fget.get(), models.get(), prop.qualname)) return false;
    }
    // json is a plain method: the instance dict could shadow it.
    Ref dict = Ref::steal(PyObject_GenericGetDict(response, nullptr));
    if (!dict) return false;
    int shadowed = PyDict_Contains(dict.get(), name.get());
    if (shadowed != 0) return false;
    Ref json = loaded_module("json");
    Ref complexjson = module_member(models.get(), "complexjson");
    if (!json || complexjson.get() != json.get()) return false;
    return function_from(module_member(json.get(), "loads").get(), json.get(), "loads");
}

// The encodings for which json() decodes the body as UTF-8: none given
// (then it detects UTF-8 for a body without a BOM or NUL in its first four
// bytes), or UTF-8 by one of its names.
bool utf8_encoding(PyObject* encoding) noexcept {
    if (encoding == Py_None) return true;
    if (!PyUnicode_CheckExact(encoding) || !PyUnicode_IS_ASCII(encoding)) return false;
    std::string_view e(static_cast<const char*>(PyUnicode_DATA(encoding)),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(encoding)));
    if (e.size() != 4 && e.size() != 5) return false;
    char lower[5];
    for (size_t i = 0; i < e.size(); ++i)
        lower[i] = static_cast<char>(e[i] >= 'A' && e[i] <= 'Z' ? e[i] + 32 : e[i]);
    std::string_view l(lower, e.size());
    return l == "utf-8" || l == "utf8" || l == "utf_8";
}

#endif  // NORVIX_HAVE_SIMDJSON

}  // namespace

Rows::~Rows() { PyMem_RawFree(slots); }

Decoder::~Decoder() { delete rows_; }

void Decoder::discard() noexcept {
    delete rows_;
    rows_ = nullptr;
}

void Decoder::note_sender(Context*, PyObject* requests, PyObject* send) noexcept {
    Ref package = loaded_module("requests");
    Ref api = loaded_module("requests.api");
    Ref post = module_member(api.get(), "post");
    real_post_ = package && package.get() == requests && post && post.get() == send &&
                 function_from(send, api.get(), "post");
}

int Decoder::decode(Context* ctx, PyObject* response) noexcept {
#ifdef NORVIX_HAVE_SIMDJSON
    if (!real_post_) return 0;
    if (!standard_response(response)) {
        PyErr_Clear();  // a check that could not be made is a check failed
        return 0;
    }
    // json() reads `encoding`, then `content`, as here.
    Ref encoding = Ref::steal(PyObject_GetAttrString(response, "encoding"));
    if (!encoding) return -1;
    if (!utf8_encoding(encoding.get())) return 0;
    Ref content = Ref::steal(PyObject_GetAttrString(response, "content"));
    if (!content) return -1;
    if (!PyBytes_CheckExact(content.get())) return 0;
    const char* buf = PyBytes_AS_STRING(content.get());
    const size_t len = static_cast<size_t>(PyBytes_GET_SIZE(content.get()));
    // Too short for the detection, a BOM (json.loads refuses it; a native
    // parser may skip it) or a NUL among the first bytes: json() decides.
    if (len <= 3 || std::memchr(buf, 0, 4) || std::memcmp(buf, "\xEF\xBB\xBF", 3) == 0) return 0;

    Rows* rows = new (std::nothrow) Rows;
    if (!rows) return 0;
    int r = read_rows(ctx, layout_, buf, len, *rows);
    if (r <= 0) {
        delete rows;
        // Only a failure to build the member names is an error; anything
        // else the reader refused goes to response.json().
        if (r < 0) PyErr_Clear();
        return 0;
    }
    rows_ = rows;
    return 1;
#else
    (void)ctx;
    (void)response;
    return 0;
#endif
}

}  // namespace norvix::decode
