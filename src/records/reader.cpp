// Reading a history answer: when `response.json()` may be skipped, and the
// JSON body read with simdjson into a Parsed answer.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <string_view>

#include "records/decode.h"
#include "runtime/as_python/pycheck.h"

#ifdef NORVIX_HAVE_SIMDJSON
#include <simdjson.h>
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif
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

// The key matcher reads up to 24 bytes from inside the text.
static_assert(simdjson::SIMDJSON_PADDING >= 24, "keys are read past the text's end");

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
// a native parser rejects or replaces it).  True when the text has neither.
// Read as if every backslash lay in a string: in a body that is no valid JSON
// the answer does not matter, as the parser refuses that body anyway.
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
    // The page, not Windows' 64 KiB allocation granularity: access is granted per page.
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
#else
    const long sys_page = sysconf(_SC_PAGESIZE);
    if (sys_page <= 0) return false;
    const auto page = static_cast<size_t>(sys_page);
#endif
    if (page == 0) return false;
    const auto last = reinterpret_cast<uintptr_t>(buf + len - 1);
    return last % page + simdjson::SIMDJSON_PADDING < page;
#endif
}

// A key learned at a position of the records, as the bytes of its text and
// closing quote (m of them).  Keys are short: one of up to 24 such bytes is
// recognised by two or three words (the first, the middle and the last
// eight bytes, overlapping), a longer one by memcmp.  Every key in a body
// taken here is free of escapes (plain_escapes), so its bytes as written are
// its text.
struct RawKey {
    const char* text = nullptr;
    size_t m = 0;                                       // the key's length with its closing quote
    uint64_t head = 1, mask = 0, middle = 0, tail = 0;  // never matches until learned

    static uint64_t word(const char* p) noexcept {
        uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    }

    RawKey() noexcept = default;
    // The key written from `p` (after its opening quote) up to `q`, its
    // closing quote, or `end` when it has none: then it never matches.
    RawKey(const char* p, const char* q, const char* end) noexcept : text(p) {
        if (q >= end) return;
        m = static_cast<size_t>(q - p) + 1;
        const size_t first = m < 8 ? m : 8;
        char bytes[8] = {}, ones[8] = {};
        std::memcpy(bytes, p, first);
        std::memset(ones, 0xff, first);
        std::memcpy(&head, bytes, 8);
        std::memcpy(&mask, ones, 8);
        if (m > 8) tail = word(q - 7);
        if (m > 16) middle = word(p + 8);
    }

    // The member key written from `p` is this one.  Matching its closing
    // quote too, the key at `p` is as long as this one (which holds no
    // quote).  Up to 24 bytes are read from `p` even where the key there is
    // shorter: the parser's padding after the text keeps them readable.
    bool at(const char* p, const char* end) const noexcept {
        if (m <= 8) return (word(p) & mask) == head;
        if (m <= 24)
            return word(p) == head && word(p + m - 8) == tail && (m <= 16 || word(p + 8) == middle);
        return m <= static_cast<size_t>(end - p) && std::memcmp(p, text, m) == 0;
    }
};

// The parser, kept by the Context from one answer to the next.  A fresh one
// takes its index of the body's structural characters (4 bytes each) fresh
// from the system, every page of it faulted in and zeroed on first touch:
// about a third of the time a large answer takes.  One that has read more
// than kKeptCapacity bytes is let go, so that what stays resident between
// answers is bounded.
constexpr size_t kKeptCapacity = size_t(32) << 20;

struct KeptParser : Kept {
    simdjson::ondemand::parser parser;
    static void release_parser(Kept* kept) noexcept { delete static_cast<KeptParser*>(kept); }
    KeptParser() noexcept : Kept{release_parser} {}
};

// The Context's parser for one answer (or a new one while another thread
// holds it), given back when the answer has been read.
class ParserLease {
public:
    explicit ParserLease(Context* ctx) noexcept
        : ctx_(ctx), kept_(static_cast<KeptParser*>(ctx->parser.exchange(nullptr))) {
        if (!kept_) kept_ = new (std::nothrow) KeptParser;
    }
    ~ParserLease() {
        if (!kept_) return;
        Kept* none = nullptr;
        if (kept_->parser.capacity() <= kKeptCapacity &&
            ctx_->parser.compare_exchange_strong(none, kept_))
            return;
        delete kept_;
    }
    ParserLease(const ParserLease&) = delete;
    ParserLease& operator=(const ParserLease&) = delete;

    simdjson::ondemand::parser* get() const noexcept { return kept_ ? &kept_->parser : nullptr; }

private:
    Context* ctx_;
    KeptParser* kept_;
};

// The text from `p` up to the next quote (or `end`).
std::string_view quoted(const char* p, const char* end) noexcept {
    const char* q = p;
    while (q < end && *q != '"') ++q;
    return std::string_view(p, static_cast<size_t>(q - p));
}

// The names of the members a record holds, as UTF-8.
struct Names {
    std::string_view time;
    std::string_view field[MemberReader::kMaxFields];
    int n;
    int hint = 0;
    uint32_t texts = 0;  // the text fields, a bit each

    bool init(Context* ctx, const RecordMembers& members) noexcept {
        n = members.n;
        auto utf8 = [](PyObject* s, std::string_view& out) {
            Py_ssize_t len;
            const char* p = PyUnicode_AsUTF8AndSize(s, &len);
            if (!p) return false;
            out = std::string_view(p, static_cast<size_t>(len));
            return true;
        };
        if (!utf8((*ctx)[members.time_field], time)) return false;
        for (int j = 0; j < n; ++j) {
            if (!utf8((*ctx)[members.fields[j].key], field[j])) return false;
            if (members.fields[j].conversion == Conversion::text) texts |= 1u << j;
        }
        return true;
    }

    KeyMatcher<RawKey> positions;

    // match(key) for the member at `position` of its record, whose key is
    // written from `p` (after its opening quote) up to its closing quote
    // and, keys being free of escapes, the first quote after `p`.
    int match_member(int position, const char* p, const char* end) noexcept {
        int j = positions.recall(position, [&](const RawKey& k) { return k.at(p, end); });
        if (j != KeyMatcher<RawKey>::kUnknown) return j;
        const std::string_view key = quoted(p, end);
        j = match(key);
        positions.learn(position, RawKey(p, p + key.size(), end), j);
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

// The text of a string value without its quotes, as written (escapes
// included): from the opening quote's successor to the next quote.  A string
// holding an escaped quote ends early here, and then still holds a backslash.
// `expected` is the length the text usually has, checked first.
bool raw_text(simdjson::ondemand::value value, const char* end, size_t expected,
              std::string_view& out) noexcept {
    simdjson::ondemand::raw_json_string raw;
    if (value.get_raw_json_string().get(raw) != simdjson::SUCCESS) return false;
    const char* p = raw.raw();
    // (A shorter text then reads as one holding a quote, which no caller
    // takes for what it reads.)
    if (expected < static_cast<size_t>(end - p) && p[expected] == '"') {
        out = std::string_view(p, expected);
        return true;
    }
    out = quoted(p, end);
    return true;
}

// Reads a value nobody uses to its end, so that the whole text is checked as
// json.loads checks it: every number, literal, string and bracket.  Strings
// are unescaped (which checks their escapes) only when the body has any;
// otherwise the structural pass has checked their bytes.
bool skip_other(simdjson::ondemand::value value, bool escapes, size_t depth) noexcept;

inline bool skip_value(simdjson::ondemand::value value, bool escapes, size_t depth) noexcept {
    // Mostly text (the contract, the exchange): tried first, in line.
    simdjson::ondemand::raw_json_string raw;
    if (!escapes && value.get_raw_json_string().get(raw) == simdjson::SUCCESS) return true;
    return skip_other(value, escapes, depth);
}

bool skip_other(simdjson::ondemand::value value, bool escapes, size_t depth) noexcept {
    using simdjson::SUCCESS;
    using simdjson::ondemand::json_type;
    json_type type;
    if (value.type().get(type) != SUCCESS) return false;
    switch (type) {
        case json_type::object: {
            simdjson::ondemand::object object;
            if (depth >= kMaxDepth || value.get_object().get(object) != SUCCESS) return false;
            for (auto item : object) {
                simdjson::ondemand::field field;
                if (std::move(item).get(field) != SUCCESS ||
                    !skip_value(field.value(), escapes, depth + 1))
                    return false;
            }
            return true;
        }
        case json_type::array: {
            simdjson::ondemand::array array;
            if (depth >= kMaxDepth || value.get_array().get(array) != SUCCESS) return false;
            for (auto item : array) {
                simdjson::ondemand::value element;
                if (std::move(item).get(element) != SUCCESS ||
                    !skip_value(element, escapes, depth + 1))
                    return false;
            }
            return true;
        }
        case json_type::number: {
            simdjson::ondemand::number number;
            return value.get_number().get(number) == SUCCESS;
        }
        case json_type::string: {
            std::string_view text;
            return value.get_string().get(text) == SUCCESS;
        }
        case json_type::boolean: {
            bool b;
            return value.get_bool().get(b) == SUCCESS;
        }
        case json_type::null: {
            bool null = false;
            return value.is_null().get(null) == SUCCESS && null;
        }
        default:  // a type later versions know (4.x's `unknown`): json.loads decides
            break;
    }
    return false;
}

// The longest number text whose value is taken from simdjson.  Every
// version reads integers and decimals of up to 19 digits exactly, but not
// every version reads longer ones: 3.0.1's get_number() gives 0 for a decimal
// of more than 19 significant digits.  A number written in more characters
// than this is read from its text instead, whatever simdjson made of it.
constexpr size_t kShortNumber = 19;

// The powers of ten a double holds exactly, as far as read_plain_number needs them.
constexpr double kExactTens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8, 1e9,
                                 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};

// The numbers the service writes (prices and amounts: a few digits, perhaps a
// fraction, no exponent) read from their text alone, in about half of what
// simdjson's general reader takes.  `token` is the value's text up to the
// next structural character.  True for -?(0|[1-9][0-9]*)(\.[0-9]+)? of at
// most 19 digits followed by blanks only, other than a zero with a minus:
// without a fraction an int within int64; with one, when its digits without
// the point make m <= 2**53, the float m / 10**k, correctly rounded as
// float(text) is, both being exact doubles.  False for any other text, which
// the general reader decides, refusals included.
bool read_plain_number(std::string_view token, Slot& slot, bool& integer) noexcept {
    const char* p = token.data();
    const char* const end = p + token.size();
    if (p == end) return false;
    const bool negative = *p == '-';
    p += negative;
    const char* const first = p;
    uint64_t m = 0;  // wraps for more than 19 digits, which are refused
    unsigned d;
    while (p != end && (d = unsigned(*p) - '0') <= 9) {
        m = m * 10 + d;
        ++p;
    }
    const size_t whole = static_cast<size_t>(p - first);
    if (whole == 0 || (*first == '0' && whole > 1)) return false;  // no digit, a leading zero
    size_t fraction = 0;
    const bool point = p != end && *p == '.';
    if (point) {
        const char* const after = ++p;
        while (p != end && (d = unsigned(*p) - '0') <= 9) {
            m = m * 10 + d;
            ++p;
        }
        fraction = static_cast<size_t>(p - after);
        if (fraction == 0) return false;
    }
    if (whole + fraction > 19) return false;
    for (; p != end; ++p)
        if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') return false;  // 'e', ...
    if (m == 0 && negative) return false;
    if (!point) {
        if (m > uint64_t(INT64_MAX)) return false;
        slot.i = negative ? -static_cast<int64_t>(m) : static_cast<int64_t>(m);
        integer = true;
        return true;
    }
    if (m > uint64_t(1) << 53) return false;
    const double v = static_cast<double>(m) / kExactTens[fraction];
    slot.d = negative ? -v : v;
    return true;
}

// A number member as json.loads gives it, into `slot`: an int (in int64;
// `integer` set) or a float, read as float(text) reads it.  False for
// anything else (another type, an integer beyond int64, a negative zero),
// which json.loads reads instead.
//
//     value = json.loads(text)   # int(text) or float(text)
bool read_number(simdjson::ondemand::value value, Slot& slot, bool& integer) noexcept {
    using simdjson::SUCCESS;
    // The value's text, up to the next structural character (trailing
    // blanks included): taken before get_number() consumes the value.  The
    // result type is spelled out as some versions return a plain view.
    std::string_view token;
    if (simdjson::simdjson_result<std::string_view>(value.raw_json_token()).get(token) != SUCCESS)
        return false;
    // Read here, the value is left unconsumed: the record's iteration steps
    // over it as over any member not read.
    if (read_plain_number(token, slot, integer)) return true;
    simdjson::ondemand::number number;
    // Any other type, and a number the grammar or a double's range refuses.
    if (value.get_number().get(number) != SUCCESS) return false;
    switch (number.get_number_type()) {
        case simdjson::ondemand::number_type::signed_integer:
            slot.i = number.get_int64();
            integer = true;
            return true;
        case simdjson::ondemand::number_type::floating_point_number:
            break;
        default:  // integers beyond int64
            return false;
    }
    while (!token.empty() && (token.back() == ' ' || token.back() == '\t' || token.back() == '\n' ||
                              token.back() == '\r'))
        token.remove_suffix(1);
    if (token.size() <= kShortNumber) {
        slot.d = number.get_double();
    } else {
        // Only a fraction or an exponent makes json.loads read a float: an
        // integer's text here (a version reading big integers as doubles)
        // is json.loads' int.
        if (token.find_first_of(".eE") == std::string_view::npos) return false;
        // float(text), correctly rounded for any length, as CPython's parser
        // is; a value out of range (or a library without the conversion) goes
        // to json.loads.
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
        double d;
        const auto [stop, error] = std::from_chars(token.data(), token.data() + token.size(), d);
        if (stop != token.data() + token.size()) return false;
        if (error == std::errc::result_out_of_range && std::fabs(number.get_double()) < 1.0)
            d = token.front() == '-' ? -0.0 : 0.0;  // below the smallest double: float() gives 0
        else if (error != std::errc() || !std::isfinite(d))
            return false;
        slot.d = d;
#else
        return false;
#endif
    }
    // json.loads makes "-0" the integer 0; a negative zero goes to it
    // rather than be told apart here.
    return !(slot.d == 0 && std::signbit(slot.d));
}

// One record into its slots `rec`; false when anything in it is not what the fast
// path reads exactly as json.loads and the query's conversion would.
bool read_record(const RecordMembers& members, Names& names, TimeTexts& times, uint32_t required,
                 simdjson::ondemand::value item, bool escapes, const char* end, Slot* rec,
                 Parsed& parsed, std::string_view& last_text, Py_ssize_t& last_index) noexcept {
    using simdjson::SUCCESS;
    simdjson::ondemand::object record;
    if (item.get_object().get(record) != SUCCESS) return false;
    uint32_t present = 0, ints = 0;
    bool time = false;
    int position = 0;
    for (auto entry : record) {
        simdjson::ondemand::field member;
        if (std::move(entry).get(member) != SUCCESS) return false;
        int j = names.match_member(position++, member.key().raw(), end);
        simdjson::ondemand::value value = member.value();
        if (j == -1) {
            if (!skip_value(value, escapes, 2)) return false;
            continue;
        }
        if (j == -2) {
            std::string_view text;
            TimeFields f;
            if (time || !raw_text(value, end, members.with_time ? 19 : 10, text) ||
                !times.read(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                            members.with_time, f))
                return false;
            time = true;
            rec[0].u = pack_time(f);
            continue;
        }
        const uint32_t bit = 1u << j;
        if (present & bit) return false;  // json.loads would keep the last
        present |= bit;
        Slot& slot = rec[2 + j];
        if (names.texts & bit) {
            std::string_view text;
            if (value.get_string().get(text) != SUCCESS) return false;
            if (last_index < 0 || text != last_text) {
                // str(text, "utf-8") must succeed where the objects are made.
                if (!simdjson::validate_utf8(text.data(), text.size())) return false;
                if (!parsed.keep_text(text)) return false;
                // The unescaped text lives in the parser's buffer until the
                // parser goes: it stays valid for the comparisons that follow.
                last_text = text;
                last_index = static_cast<Py_ssize_t>(parsed.text_count) - 1;
            }
            slot.i = last_index;
            continue;
        }
        bool integer = false;
        if (!read_number(value, slot, integer)) return false;
        if (integer) ints |= bit;
    }
    if (!time || (required & ~present)) return false;
    rec[1].u = uint64_t(present) | uint64_t(ints) << 32;
    return true;
}

// The answer parsed, or 0 when anything in it is not what the fast path
// handles exactly as json.loads and the query's conversion would.  The body
// is read once, in order, by simdjson's On-Demand parser: only its index of
// structural characters is built, and every value is read, or checked to its
// end, where it stands.
//
// Nothing in it touches a Python object: it may run without the interpreter's
// lock (the Context's parser is taken and given back atomically).
int parse_body(Context* ctx, const RecordMembers& members, Names& names, const char* buf,
               size_t len, Parsed& parsed) noexcept {
    using simdjson::SUCCESS;
    TimeTexts times;
    uint32_t required = 0;
    for (int j = 0; j < members.n; ++j)
        if (members.fields[j].conversion == Conversion::required) required |= 1u << j;

    // The text ends with the root object's closing brace, so that nothing
    // is ever read from the bytes past its end.
    size_t used = len;
    while (used > 0 && (buf[used - 1] == ' ' || buf[used - 1] == '\t' || buf[used - 1] == '\n' ||
                        buf[used - 1] == '\r'))
        --used;
    if (used == 0 || buf[used - 1] != '}') return 0;
    const char* backslash = static_cast<const char*>(std::memchr(buf, '\\', len));
    const bool escapes = backslash != nullptr;
    if (escapes && !plain_escapes(backslash, len - static_cast<size_t>(backslash - buf))) return 0;

    simdjson::padded_string copy;
    const char* text = buf;
    if (!readable_padding(buf, len)) {
        copy = simdjson::padded_string(buf, len);
        if (copy.size() != len) return 0;
        text = copy.data();
    }
    const char* end = text + len;
    ParserLease lease(ctx);
    simdjson::ondemand::parser* parser = lease.get();
    if (!parser || (parser->capacity() < len && parser->allocate(len, kMaxDepth) != SUCCESS))
        return 0;
    simdjson::ondemand::document doc;
    if (parser->iterate(text, len, len + simdjson::SIMDJSON_PADDING).get(doc) != SUCCESS) return 0;

    // The envelope: `code` the integer 0 (the check passes silently), `data`
    // an array or absent (no records); anything else is read as Python would.
    simdjson::ondemand::object envelope;
    if (doc.get_object().get(envelope) != SUCCESS) return 0;
    parsed.stride = 2 + members.n;
    bool code = false, have_data = false, message = false;
    std::string_view last_text;
    Py_ssize_t last_index = -1;
    constexpr size_t kFirstRecords = 32;
    const char* first = nullptr;  // where the first record starts
    for (auto entry : envelope) {
        simdjson::ondemand::field member;
        if (std::move(entry).get(member) != SUCCESS) return 0;
        const std::string_view key = quoted(member.key().raw(), end);
        simdjson::ondemand::value value = member.value();
        if (key == "code") {
            simdjson::ondemand::number number;
            if (code || value.get_number().get(number) != SUCCESS ||
                number.get_number_type() != simdjson::ondemand::number_type::signed_integer ||
                number.get_int64() != 0)
                return 0;
            code = true;
        } else if (key == "data") {
            simdjson::ondemand::array data;
            if (have_data || value.get_array().get(data) != SUCCESS) return 0;
            have_data = true;
            for (auto element : data) {
                simdjson::ondemand::value item;
                if (std::move(element).get(item) != SUCCESS) return 0;
                // The count is known only at the end.  The array starts small,
                // so that a short answer takes little; when the first records
                // have filled it, it grows at once to what the rest of the
                // body holds at their bytes a record (and an eighth more), so
                // that it is rarely copied again; beyond that it doubles.
                if (parsed.count == 0 && item.current_location().get(first) != SUCCESS)
                    first = nullptr;
                if (parsed.count == parsed.capacity) {
                    size_t cap = parsed.capacity ? parsed.capacity * 2 : kFirstRecords;
                    const char* here;
                    if (parsed.count == kFirstRecords && first &&
                        item.current_location().get(here) == SUCCESS && here > first) {
                        const size_t each = static_cast<size_t>(here - first) / kFirstRecords;
                        const size_t rest = static_cast<size_t>(end - here) / (each ? each : 1);
                        cap = std::max(cap, kFirstRecords + rest + rest / 8);
                    }
                    const size_t record_bytes = static_cast<size_t>(parsed.stride) * sizeof(Slot);
                    if (cap > SIZE_MAX / record_bytes) return 0;
                    void* grown = PyMem_RawRealloc(parsed.slots, cap * record_bytes);
                    if (!grown) return 0;
                    parsed.slots = static_cast<Slot*>(grown);
                    parsed.capacity = cap;
                }
                Slot* rec = parsed.slots + parsed.count * parsed.stride;
                if (!read_record(members, names, times, required, item, escapes, end, rec, parsed,
                                 last_text, last_index))
                    return 0;
                ++parsed.count;
            }
        } else {
            if (key == "message") {
                if (message) return 0;
                message = true;
            }
            if (!skip_value(value, escapes, 1)) return 0;
        }
    }
    // Nothing after the root object: the iterator has no position left.
    if (!code || !doc.is_alive() || doc.current_location().error() != simdjson::OUT_OF_BOUNDS)
        return 0;
    return 1;
}

// Lets other threads run for its lifetime, when `release` (and the lock is held).
class Unlocked {
public:
    explicit Unlocked(bool release) noexcept : saved_(release ? PyEval_SaveThread() : nullptr) {}
    ~Unlocked() {
        if (saved_) PyEval_RestoreThread(saved_);
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* saved_;
};

// Bodies at least this long are parsed without the interpreter's lock: below
// it, releasing and taking the lock back costs more than it lets others do.
constexpr size_t kUnlockedBytes = size_t(64) << 10;

// parse_body, then the texts as str objects (with the lock): 1, 0 (json.loads
// reads the body) or -1 with an exception set.
int parse_records(Context* ctx, const RecordMembers& members, const char* buf, size_t len,
                  Parsed& parsed, bool unlocked) noexcept {
    Names names;
    if (!names.init(ctx, members)) return -1;
    int r;
    {
        Unlocked unlock(unlocked && len >= kUnlockedBytes);
        r = parse_body(ctx, members, names, buf, len, parsed);
    }
    if (r <= 0) return r;
    const auto n = static_cast<Py_ssize_t>(parsed.text_count);
    parsed.texts = Ref::steal(PyList_New(n));
    if (!parsed.texts) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const std::string_view text = parsed.text(static_cast<size_t>(i));
        PyObject* s =
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
        if (!s) {
            PyErr_Clear();
            return 0;
        }
        PyList_SET_ITEM(parsed.texts.get(), i, s);
    }
    return 1;
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

Parsed::~Parsed() {
    PyMem_RawFree(slots);
    PyMem_RawFree(text_bytes);
    PyMem_RawFree(text_ends);
}

bool Parsed::keep_text(std::string_view text) noexcept {
    const size_t used = text_count ? text_ends[text_count - 1] : 0;
    if (text.size() > SIZE_MAX / 2 - used) return false;
    // Both grow by doubling, at each power of two of their counts.
    if ((text_count & (text_count - 1)) == 0) {
        const size_t cap = text_count ? text_count * 2 : 1;
        void* ends = PyMem_RawRealloc(text_ends, cap * sizeof(size_t));
        if (!ends) return false;
        text_ends = static_cast<size_t*>(ends);
    }
    const size_t need = used + text.size();
    if (need > text_capacity) {
        const size_t cap = std::max(need, text_capacity * 2);
        void* bytes = PyMem_RawRealloc(text_bytes, cap ? cap : 1);
        if (!bytes) return false;
        text_bytes = static_cast<char*>(bytes);
        text_capacity = cap;
    }
    if (!text.empty()) std::memcpy(text_bytes + used, text.data(), text.size());
    text_ends[text_count++] = need;
    return true;
}

Decoder::~Decoder() { delete parsed_; }

void Decoder::discard() noexcept {
    delete parsed_;
    parsed_ = nullptr;
}

void Decoder::note_sender(Context*, PyObject* requests, PyObject* send) noexcept {
    real_post_ = real_requests_post(requests, send);
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
    return decode_body(ctx, PyBytes_AS_STRING(content.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(content.get())));
#else
    (void)ctx;
    (void)response;
    return 0;
#endif
}

int Decoder::decode_body(Context* ctx, const char* buf, size_t len, bool unlocked) noexcept {
#ifdef NORVIX_HAVE_SIMDJSON
    // Too short for the detection, a BOM (json.loads refuses it; a native
    // parser may skip it) or a NUL among the first bytes: json.loads decides.
    if (len <= 3 || std::memchr(buf, 0, 4) || std::memcmp(buf, "\xEF\xBB\xBF", 3) == 0) return 0;

    Parsed* parsed = new (std::nothrow) Parsed;
    if (!parsed) return 0;
    int r = parse_records(ctx, members_, buf, len, *parsed, unlocked);
    if (r <= 0) {
        delete parsed;
        // Only a failure to build the member names is an error; anything
        // else the reader refused goes to json.loads.
        if (r < 0) PyErr_Clear();
        return 0;
    }
    delete parsed_;
    parsed_ = parsed;
    return 1;
#else
    (void)ctx;
    (void)buf;
    (void)len;
    (void)unlocked;
    return 0;
#endif
}

}  // namespace norvix::decode
