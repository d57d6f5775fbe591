#include "transport/json_reader.hpp"

#include <charconv>
#include <cstdint>
#include <string>

#include "transport/module_state.hpp"

namespace zqkit::transport {

namespace {

// Thrown where `json.loads` would raise ValueError.
struct Malformed {};

nb::object checked(PyObject* value) {
    if (value == nullptr) throw nb::python_error();
    return nb::steal(value);
}

// Thrown where the reader leaves the whole document to `json.loads` itself.
struct Deferred {};

// Frames nest a few levels; deeper documents go to `json.loads`, so that where the
// interpreter's recursion limit falls stays exactly its own.
constexpr int max_depth = 100;

// One level of nesting, bounded like the standard scanner's.
class Nesting {
  public:
    explicit Nesting(int& depth) : depth_(depth) {
        if (depth_ >= max_depth) throw Deferred{};
        if (Py_EnterRecursiveCall(" while decoding a JSON document") != 0) {
            PyErr_Clear();
            throw Deferred{};
        }
        ++depth_;
    }
    ~Nesting() {
        --depth_;
        Py_LeaveRecursiveCall();
    }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

  private:
    int& depth_;
};

// NaN, Infinity and -Infinity as the standard decoder gives them: the very same objects.
nb::object constant(const char* name) {
    return global("json").attr("_default_decoder").attr("parse_constant")(name);
}

class Reader {
  public:
    Reader(const char* begin, const char* end) : at_(begin), end_(end) {}

    nb::object document() {
        skip_space();
        nb::object value = read_value();
        skip_space();
        if (at_ != end_) throw Malformed{};
        return value;
    }

  private:
    bool more() const { return at_ < end_; }
    char peek() const { return more() ? *at_ : '\0'; }

    void skip_space() {
        while (more() && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
    }

    void expect(char wanted) {
        if (peek() != wanted) throw Malformed{};
        ++at_;
    }

    bool literal(const char* word) {
        const char* cursor = at_;
        for (; *word != '\0'; ++word, ++cursor)
            if (cursor >= end_ || *cursor != *word) return false;
        at_ = cursor;
        return true;
    }

    nb::object read_value() {
        switch (peek()) {
            case '{':
                return read_object();
            case '[':
                return read_array();
            case '"':
                return read_string();
            case 'n':
                if (literal("null")) return nb::none();
                break;
            case 't':
                if (literal("true")) return nb::bool_(true);
                break;
            case 'f':
                if (literal("false")) return nb::bool_(false);
                break;
            case 'N':
                if (literal("NaN")) return constant("NaN");
                break;
            case 'I':
                if (literal("Infinity")) return constant("Infinity");
                break;
            case '-':
                if (literal("-Infinity")) return constant("-Infinity");
                return read_number();
            default:
                if (peek() >= '0' && peek() <= '9') return read_number();
        }
        throw Malformed{};
    }

    nb::object read_object() {
        Nesting nesting(depth_);
        ++at_;
        nb::dict object;
        skip_space();
        if (peek() == '}') {
            ++at_;
            return object;
        }
        while (true) {
            if (peek() != '"') throw Malformed{};
            nb::object key = read_string();
            skip_space();
            expect(':');
            skip_space();
            nb::object value = read_value();
            if (PyDict_SetItem(object.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
            skip_space();
            if (peek() == '}') {
                ++at_;
                return object;
            }
            expect(',');
            skip_space();
        }
    }

    nb::object read_array() {
        Nesting nesting(depth_);
        ++at_;
        nb::list array;
        skip_space();
        if (peek() == ']') {
            ++at_;
            return array;
        }
        while (true) {
            nb::object value = read_value();
            if (PyList_Append(array.ptr(), value.ptr()) != 0) throw nb::python_error();
            skip_space();
            if (peek() == ']') {
                ++at_;
                return array;
            }
            expect(',');
            skip_space();
        }
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // The four hex digits after "\u".
    uint32_t read_hex4() {
        if (end_ - at_ < 4) throw Malformed{};
        uint32_t code = 0;
        for (int i = 0; i < 4; ++i) {
            int digit = hex_digit(at_[i]);
            if (digit < 0) throw Malformed{};
            code = code * 16 + static_cast<uint32_t>(digit);
        }
        at_ += 4;
        return code;
    }

    // UTF-8 of any code point, surrogates included (read back with "surrogatepass").
    static void put_code_point(std::string& out, uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // "\uXXXX", joining a surrogate pair into one code point as the standard scanner does.
    uint32_t read_unicode_escape() {
        uint32_t code = read_hex4();
        if (code >= 0xD800 && code <= 0xDBFF && end_ - at_ >= 6 && at_[0] == '\\' &&
            at_[1] == 'u') {
            const char* saved = at_;
            at_ += 2;
            uint32_t low = read_hex4();
            if (low >= 0xDC00 && low <= 0xDFFF)
                return 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            at_ = saved;
        }
        return code;
    }

    char simple_escape(char c) {
        switch (c) {
            case '"':
                return '"';
            case '\\':
                return '\\';
            case '/':
                return '/';
            case 'b':
                return '\b';
            case 'f':
                return '\f';
            case 'n':
                return '\n';
            case 'r':
                return '\r';
            case 't':
                return '\t';
        }
        throw Malformed{};
    }

    nb::object read_string() {
        ++at_;
        const char* start = at_;
        // Most strings have no escapes: decode them in one piece.
        while (more() && *at_ != '"' && *at_ != '\\') {
            if (static_cast<unsigned char>(*at_) < 0x20) throw Malformed{};
            ++at_;
        }
        if (!more()) throw Malformed{};
        if (*at_ == '"') {
            ++at_;
            return checked(PyUnicode_DecodeUTF8(start, at_ - 1 - start, nullptr));
        }
        std::string text(start, at_);
        while (true) {
            if (!more()) throw Malformed{};
            char c = *at_++;
            if (c == '"') break;
            if (static_cast<unsigned char>(c) < 0x20) throw Malformed{};
            if (c != '\\') {
                text += c;
                continue;
            }
            if (!more()) throw Malformed{};
            char escape = *at_++;
            if (escape == 'u')
                put_code_point(text, read_unicode_escape());
            else
                text += simple_escape(escape);
        }
        return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                            "surrogatepass"));
    }

    static bool digit(char c) { return c >= '0' && c <= '9'; }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, the longest such prefix.
    nb::object read_number() {
        const char* start = at_;
        if (peek() == '-') ++at_;
        if (peek() == '0') {
            ++at_;
        } else if (digit(peek())) {
            while (digit(peek())) ++at_;
        } else {
            throw Malformed{};
        }
        bool is_float = false;
        if (peek() == '.' && at_ + 1 < end_ && digit(at_[1])) {
            is_float = true;
            at_ += 2;
            while (digit(peek())) ++at_;
        }
        if (peek() == 'e' || peek() == 'E') {
            const char* exponent = at_ + 1;
            if (exponent < end_ && (*exponent == '+' || *exponent == '-')) ++exponent;
            if (exponent < end_ && digit(*exponent)) {
                is_float = true;
                at_ = exponent;
                while (digit(peek())) ++at_;
            }
        }
        if (is_float) return make_float(start, at_);
        if (at_ - start <= 18) {
            long long value = 0;
            std::from_chars(start, at_, value);
            return checked(PyLong_FromLongLong(value));
        }
        std::string digits(start, at_);
        PyObject* value = PyLong_FromString(digits.c_str(), nullptr, 10);
        if (value == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();  // beyond the interpreter's integer digit limit
            throw Malformed{};
        }
        return checked(value);
    }

    // Correctly rounded like float(); from_chars leaves overflow and underflow to the
    // interpreter's own conversion (inf and 0.0).
    static nb::object make_float(const char* start, const char* end) {
        double value = 0;
        auto [stop, error] = std::from_chars(start, end, value);
        if (error == std::errc() && stop == end) return nb::float_(value);
        std::string text(start, end);
        value = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
        if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return nb::float_(value);
    }

    const char* at_;
    const char* end_;
    int depth_ = 0;
};

// `json.loads(text)` itself, for what the reader leaves to it.
std::optional<nb::object> load_standard(nb::handle text) {
    PyObject* body = PyObject_CallOneArg(standard_json_loads().ptr(), text.ptr());
    if (body != nullptr) return nb::steal(body);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
    PyErr_Clear();
    return std::nullopt;
}

}  // namespace

std::optional<nb::object> read_json(nb::handle text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
        PyErr_Clear();
        return load_standard(text);
    }
    // json.loads refuses a leading byte order mark.
    if (size >= 3 && static_cast<unsigned char>(utf8[0]) == 0xEF &&
        static_cast<unsigned char>(utf8[1]) == 0xBB && static_cast<unsigned char>(utf8[2]) == 0xBF)
        return std::nullopt;
    try {
        return Reader(utf8, utf8 + size).document();
    } catch (const Malformed&) {
        return std::nullopt;
    } catch (const Deferred&) {
    }
    return load_standard(text);
}

}  // namespace zqkit::transport
