#include "core/json_text.hpp"

#include "support/stack.hpp"

#include <charconv>
#include <cmath>
#include <iterator>
#include <cstdint>
#include <cstring>
#include <new>

// The encoder mirrors what json.dumps produces with its default settings
// (ensure_ascii, allow_nan, separators ", " and ": ", no sorting, no
// indentation) for plain data. It only accepts exact builtin types, whose
// conversions cannot run Python code, and bails out (null result, nothing
// raised) for anything it is not sure to render identically, so that the
// caller falls back to json.dumps and gets its exact text or its exact error.

namespace zv::conversation {
namespace {

// Containers nest as deep as under json.dumps: every level takes one step
// of the interpreter's recursion guard, as in json's C encoder. Before its
// first level, json.dumps called from an `async def` has taken one step (the
// call into its C encoder) where the native operation has taken one for its
// coroutine's step, so a value nests as deep as there. Where the guard
// refuses, json.dumps itself is called and raises its own error.
//
// Containers up to this depth are checked for cycles along the path (for
// which json.dumps raises its own error); a cycle that begins deeper ends at
// the recursion guard, with the same outcome.
constexpr int max_path = 200;

// Output buffer: an inline block for the common small value, growing on the
// heap for larger ones. Holds ASCII only.
class Buffer {
public:
    Buffer() noexcept : data_(inline_), cap_(sizeof inline_) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (data_ != inline_) PyMem_Free(data_);
    }

    // Room for `n` more bytes; returns the write position.
    char* reserve(size_t n) {
        if (cap_ - len_ < n) grow(n);
        return data_ + len_;
    }
    void commit(size_t n) noexcept { len_ += n; }
    void put(char c) {
        reserve(1)[0] = c;
        ++len_;
    }
    void put(const char* s, size_t n) {
        std::memcpy(reserve(n), s, n);
        len_ += n;
    }
    template <size_t N>
    void lit(const char (&s)[N]) {
        put(s, N - 1);
    }
    const char* data() const noexcept { return data_; }
    size_t size() const noexcept { return len_; }

private:
    void grow(size_t n) {
        size_t want = cap_ * 2;
        if (want - len_ < n) want = len_ + n;
        char* p = static_cast<char*>(PyMem_Malloc(want));
        if (!p) throw std::bad_alloc();
        std::memcpy(p, data_, len_);
        if (data_ != inline_) PyMem_Free(data_);
        data_ = p;
        cap_ = want;
    }

    char* data_;
    size_t len_ = 0;
    size_t cap_;
    char inline_[1024];
};

constexpr char hex_digits[] = "0123456789abcdef";

// For each byte value: 0 if it is copied as is, otherwise the letter of its
// short escape ('"', '\\', 'b', 'f', 'n', 'r', 't') or 'u' for \u00XX.
struct EscapeTable {
    char code[256];
    constexpr EscapeTable() : code() {
        for (int c = 0; c < 256; ++c) code[c] = (c >= 0x20 && c <= 0x7e) ? 0 : 'u';
        code[int('"')] = '"';
        code[int('\\')] = '\\';
        code[int('\b')] = 'b';
        code[int('\f')] = 'f';
        code[int('\n')] = 'n';
        code[int('\r')] = 'r';
        code[int('\t')] = 't';
    }
};
constexpr EscapeTable escapes;

inline char* put_u16(char* w, unsigned v) {
    w[0] = '\\';
    w[1] = 'u';
    w[2] = hex_digits[(v >> 12) & 0xf];
    w[3] = hex_digits[(v >> 8) & 0xf];
    w[4] = hex_digits[(v >> 4) & 0xf];
    w[5] = hex_digits[v & 0xf];
    return w + 6;
}

// One escaped code point (not a plain printable ASCII one); at most 12 bytes.
inline char* put_escape(char* w, Py_UCS4 c) {
    if (c < 0x80) {
        char code = escapes.code[c];
        if (code != 'u') {
            w[0] = '\\';
            w[1] = code;
            return w + 2;
        }
        return put_u16(w, c);
    }
    if (c >= 0x10000) {
        Py_UCS4 v = c - 0x10000;
        w = put_u16(w, 0xd800 | ((v >> 10) & 0x3ff));
        return put_u16(w, 0xdc00 | (v & 0x3ff));
    }
    return put_u16(w, c);
}

template <class Char>
void put_chars(Buffer& out, const Char* s, Py_ssize_t n) {
    // Worst case 12 output bytes per code point (a surrogate pair).
    char* w = out.reserve(size_t(n) * (sizeof(Char) == 4 ? 12 : 6) + 2);
    char* start = w;
    *w++ = '"';
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = s[i];
        if (c < 0x80 && escapes.code[c] == 0) {
            *w++ = char(c);
        } else {
            w = put_escape(w, c);
        }
    }
    *w++ = '"';
    out.commit(size_t(w - start));
}

// ASCII text: copy runs of plain characters in one go.
void put_ascii(Buffer& out, const unsigned char* s, Py_ssize_t n) {
    Py_ssize_t i = 0;
    while (i < n && escapes.code[s[i]] == 0) ++i;
    if (i == n) {
        char* w = out.reserve(size_t(n) + 2);
        w[0] = '"';
        std::memcpy(w + 1, s, size_t(n));
        w[n + 1] = '"';
        out.commit(size_t(n) + 2);
        return;
    }
    put_chars(out, s, n);
}

void put_str(Buffer& out, PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    if (PyUnicode_IS_ASCII(s)) return put_ascii(out, static_cast<const unsigned char*>(data), n);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return put_chars(out, static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return put_chars(out, static_cast<const Py_UCS2*>(data), n);
        default: return put_chars(out, static_cast<const Py_UCS4*>(data), n);
    }
}

// Returns false when the value's text must come from json.dumps itself (an
// int beyond the interpreter's digit limit).
bool put_int(Buffer& out, PyObject* v) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow) {
        if (x == -1 && PyErr_Occurred()) throw_error();
        char* w = out.reserve(24);
        auto r = std::to_chars(w, w + 24, x);
        out.commit(size_t(r.ptr - w));
        return true;
    }
    PyObject* text = PyObject_Str(v);
    if (!text) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_error();
        PyErr_Clear();
        return false;
    }
    Ref owned = Ref::steal(text);
    out.put(static_cast<const char*>(PyUnicode_DATA(text)), size_t(PyUnicode_GET_LENGTH(text)));
    return true;
}

// float.__repr__ of a finite value: the shortest digits that read back as
// the same value, in positional form when the decimal point falls within
// 16 places of the digits (with ".0" added to integral values), otherwise
// in exponent form with a sign and at least two exponent digits.
//
// `digits` are the significant digits (no leading or trailing zeros except
// for zero itself) and the value is 0.DIGITS * 10**decpt.
void put_repr_digits(Buffer& out, bool negative, const char* digits, int ndigits, int decpt) {
    char* w = out.reserve(size_t(ndigits) + 32);
    char* start = w;
    if (negative) *w++ = '-';
    if (decpt <= -4 || decpt > 16) {
        *w++ = digits[0];
        if (ndigits > 1) {
            *w++ = '.';
            std::memcpy(w, digits + 1, size_t(ndigits - 1));
            w += ndigits - 1;
        }
        int e = decpt - 1;
        *w++ = 'e';
        *w++ = e < 0 ? '-' : '+';
        if (e < 0) e = -e;
        if (e < 10) *w++ = '0';
        w = std::to_chars(w, w + 4, e).ptr;
    } else if (decpt <= 0) {
        *w++ = '0';
        *w++ = '.';
        for (int i = decpt; i < 0; ++i) *w++ = '0';
        std::memcpy(w, digits, size_t(ndigits));
        w += ndigits;
    } else if (decpt >= ndigits) {
        std::memcpy(w, digits, size_t(ndigits));
        w += ndigits;
        for (int i = ndigits; i < decpt; ++i) *w++ = '0';
        *w++ = '.';
        *w++ = '0';
    } else {
        std::memcpy(w, digits, size_t(decpt));
        w += decpt;
        *w++ = '.';
        std::memcpy(w, digits + decpt, size_t(ndigits - decpt));
        w += ndigits - decpt;
    }
    out.commit(size_t(w - start));
}

constexpr double powers_of_ten[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};

void put_finite_double(Buffer& out, double x) {
    bool negative = std::signbit(x);
    double a = std::fabs(x);
    char digits[24];
    if (a == 0) return put_repr_digits(out, negative, "0", 1, 1);
    // Values with few decimals (1.0, 0.5, 12.25): the smallest k for which
    // m / 10**k reads back as the value gives its shortest digits. Both m
    // and 10**k are exact doubles and the division rounds correctly, so the
    // comparison is an exact round-trip test; with m below 2**50 the
    // rounded product a * 10**k is within a quarter of the true one, so m
    // is the only candidate at that k.
    for (int k = 0; k < int(std::size(powers_of_ten)); ++k) {
        double y = a * powers_of_ten[k];
        if (y >= 1125899906842624.0) break;  // 2**50
        double m = std::nearbyint(y);
        if (m / powers_of_ten[k] != a) continue;
        auto r = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(m));
        int ndigits = int(r.ptr - digits);
        int decpt = ndigits - k;
        while (digits[ndigits - 1] == '0') --ndigits;
        return put_repr_digits(out, negative, digits, ndigits, decpt);
    }
    // Anything else: std::to_chars gives the same correctly rounded shortest
    // digits as the interpreter's own conversion, as "d[.ddd]e(+|-)XX".
    char sci[40];
    auto r = std::to_chars(sci, sci + sizeof sci, a, std::chars_format::scientific);
    const char* p = sci;
    int ndigits = 0;
    for (; p < r.ptr && *p != 'e'; ++p) {
        if (*p != '.') digits[ndigits++] = *p;
    }
    ++p;  // 'e'
    bool negative_exp = *p++ == '-';
    int exp10 = 0;
    for (; p < r.ptr; ++p) exp10 = exp10 * 10 + (*p - '0');
    put_repr_digits(out, negative, digits, ndigits, (negative_exp ? -exp10 : exp10) + 1);
}

void put_float(Buffer& out, PyObject* v) {
    double x = PyFloat_AS_DOUBLE(v);
    if (Py_IS_NAN(x)) return out.lit("NaN");
    if (Py_IS_INFINITY(x)) {
        if (x > 0) return out.lit("Infinity");
        return out.lit("-Infinity");
    }
    put_finite_double(out, x);
}

class Encoder {
public:
    explicit Encoder(Buffer& out) noexcept : out_(out) {}

    // Appends the JSON text of `v`; false if it is not one this encoder
    // renders (output is then garbage and dropped by the caller).
    bool value(PyObject* v) {
        PyTypeObject* t = Py_TYPE(v);
        if (t == &PyUnicode_Type) {
            put_str(out_, v);
            return true;
        }
        if (t == &PyDict_Type) return dict(v);
        if (t == &PyList_Type || t == &PyTuple_Type) return sequence(v);
        if (t == &PyLong_Type) return put_int(out_, v);
        if (t == &PyFloat_Type) {
            put_float(out_, v);
            return true;
        }
        if (v == Py_True) {
            out_.lit("true");
            return true;
        }
        if (v == Py_False) {
            out_.lit("false");
            return true;
        }
        if (v == Py_None) {
            out_.lit("null");
            return true;
        }
        return false;
    }

private:
    // Enters a container; false when it is already on the path (a cycle)
    // or when the recursion guard or the stack's margin refuses a level.
    bool enter(PyObject* c) noexcept {
        if (depth_ < max_path) {
            for (int i = 0; i < depth_; ++i) {
                if (path_[i] == c) return false;
            }
            path_[depth_] = c;
        } else if (stack_nearly_exhausted()) {
            return false;
        }
        if (Py_EnterRecursiveCall(" while encoding a JSON object")) {
            PyErr_Clear();
            return false;
        }
        ++depth_;
        return true;
    }
    // Leaves the level entered just before, however its walk ends.
    struct Level {
        explicit Level(Encoder& e) noexcept : enc(e) {}
        Level(const Level&) = delete;
        Level& operator=(const Level&) = delete;
        ~Level() {
            Py_LeaveRecursiveCall();
            --enc.depth_;
        }
        Encoder& enc;
    };

    // A key as json.dumps writes it: text as is; a number, boolean or None
    // by its JSON text, quoted.
    bool key(PyObject* k) {
        PyTypeObject* t = Py_TYPE(k);
        if (t == &PyUnicode_Type) {
            put_str(out_, k);
            return true;
        }
        if (t == &PyLong_Type || t == &PyFloat_Type || k == Py_True || k == Py_False || k == Py_None) {
            out_.put('"');
            if (!value(k)) return false;
            out_.put('"');
            return true;
        }
        return false;
    }

    // The walks over dicts and lists hold the container's lock (another
    // thread may change it; nothing in the walk runs Python code) and take
    // owned references of what they render. A change of size seen meanwhile
    // leaves the value to json.dumps. An empty one takes its level too, as
    // in json's encoder.
    bool dict(PyObject* d) {
        if (!enter(d)) return false;
        Level level(*this);
        Locked lock(d);
        Py_ssize_t n = PyDict_GET_SIZE(d);
        if (n == 0) {
            out_.lit("{}");
            return true;
        }
        out_.put('{');
        Py_ssize_t pos = 0;
        PyObject* k;
        PyObject* v;
        bool first = true;
        while (PyDict_Next(d, &pos, &k, &v)) {
            if (!first) out_.lit(", ");
            first = false;
            Ref hk = Ref::borrow(k);
            Ref hv = Ref::borrow(v);
            if (!key(k)) return false;
            out_.lit(": ");
            if (!value(v)) return false;
            if (PyDict_GET_SIZE(d) != n) return false;
        }
        out_.put('}');
        return true;
    }

    bool sequence(PyObject* s) {
        bool is_list = PyList_CheckExact(s);
        if (!enter(s)) return false;
        Level level(*this);
        Locked lock(is_list ? s : nullptr);
        Py_ssize_t n = is_list ? PyList_GET_SIZE(s) : PyTuple_GET_SIZE(s);
        if (n == 0) {
            out_.lit("[]");
            return true;
        }
        out_.put('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out_.lit(", ");
            if (is_list) {
                if (PyList_GET_SIZE(s) != n) return false;
                Ref item = Ref::borrow(PyList_GET_ITEM(s, i));
                if (!value(item.get())) return false;
            } else if (!value(PyTuple_GET_ITEM(s, i))) {
                return false;
            }
        }
        out_.put(']');
        return true;
    }

    Buffer& out_;
    int depth_ = 0;
    PyObject* path_[max_path];
};

}  // namespace

Ref dumps_exact(PyObject* value) {
    try {
        Buffer out;
        Encoder enc(out);
        if (!enc.value(value)) return Ref();
        PyObject* s = PyUnicode_New(Py_ssize_t(out.size()), 127);
        if (!s) throw_error();
        std::memcpy(PyUnicode_DATA(s), out.data(), out.size());
        return Ref::steal(s);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw_error();
    }
}

}  // namespace zv::conversation
