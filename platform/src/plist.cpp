#include "platform/plist.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/testing.h"
#include "platform/trace.h"

namespace platform::plist {

namespace {

constexpr int kMaxDepth = 512;

// An open file, closed when it goes out of scope (or earlier with close(), which says whether
// closing worked).
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    bool close() {
        if (fd_ < 0) return true;
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// --- libplist nodes to values ------------------------------------------------------------

std::optional<Value> fromNode(plist_t node, int depth) {
    if (node == nullptr || depth > kMaxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return Value(static_cast<int64_t>(u));
        }
        case PLIST_UID: {
            uint64_t u = 0;
            plist_get_uid_val(node, &u);
            return Value(static_cast<int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            char* s = nullptr;
            if (plist_get_node_type(node) == PLIST_KEY)
                plist_get_key_val(node, &s);
            else
                plist_get_string_val(node, &s);
            std::string str = s ? s : "";
            std::free(s);
            return Value(std::move(str));
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return Value(Date{sec + usec / 1e6});
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t len = 0;
            plist_get_data_val(node, &bytes, &len);
            Data d(reinterpret_cast<uint8_t*>(bytes), reinterpret_cast<uint8_t*>(bytes) + len);
            std::free(bytes);
            return Value(std::move(d));
        }
        case PLIST_ARRAY: {
            Array a;
            uint32_t n = plist_array_get_size(node);
            a.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                auto item = fromNode(plist_array_get_item(node, i), depth + 1);
                if (!item) return std::nullopt;
                a.push_back(std::move(*item));
            }
            return Value(std::move(a));
        }
        case PLIST_DICT: {
            Dictionary d;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (it == nullptr) return Value(std::move(d));
            for (;;) {
                char* key = nullptr;
                plist_t val = nullptr;
                plist_dict_next_item(node, it, &key, &val);
                if (val == nullptr) {
                    std::free(key);
                    break;
                }
                auto item = fromNode(val, depth + 1);
                std::string k = key ? key : "";
                std::free(key);
                if (!item) {
                    std::free(it);
                    return std::nullopt;
                }
                d.insert_or_assign(std::move(k), std::move(*item));
            }
            std::free(it);
            return Value(std::move(d));
        }
        default:
            return std::nullopt;
    }
}

plist_t toNode(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::None:
            return nullptr;
        case Value::Kind::Boolean:
            return plist_new_bool(*v.boolean() ? 1 : 0);
        case Value::Kind::Integer:
            return plist_new_uint(static_cast<uint64_t>(*v.integer()));
        case Value::Kind::Real:
            return plist_new_real(*v.real());
        case Value::Kind::String:
            return plist_new_string(v.string()->c_str());
        case Value::Kind::Date: {
            double s = v.date()->secondsSinceReferenceDate;
            double whole = std::floor(s);
            return plist_new_date(static_cast<int32_t>(whole),
                                  static_cast<int32_t>(std::lround((s - whole) * 1e6)));
        }
        case Value::Kind::Data: {
            const Data& d = *v.data();
            return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
        }
        case Value::Kind::Array: {
            plist_t a = plist_new_array();
            for (const Value& item : *v.array()) {
                if (plist_t n = toNode(item)) plist_array_append_item(a, n);
            }
            return a;
        }
        case Value::Kind::Dictionary: {
            plist_t d = plist_new_dict();
            for (const auto& [k, item] : *v.dictionary()) {
                if (plist_t n = toNode(item)) plist_dict_set_item(d, k.c_str(), n);
            }
            return d;
        }
    }
    return nullptr;
}

// --- Old-style text ----------------------------------------------------------------------

class TextParser {
  public:
    explicit TextParser(std::string_view s) : s_(s) {}

    std::optional<Value> parseDocument() {
        skip();
        if (atEnd()) return std::nullopt;
        const size_t start = pos_;
        auto first = value(0);
        if (!first) return std::nullopt;
        skip();
        if (atEnd()) return first;
        if (peek() != '=' && peek() != ';') return std::nullopt;
        // A ".strings" body: key = value; pairs without the enclosing braces.
        pos_ = start;
        auto body = dictionaryBody(0, /*braced=*/false);
        if (!body) return std::nullopt;
        return Value(std::move(*body));
    }

  private:
    bool atEnd() const { return pos_ >= s_.size(); }
    char peek() const { return s_[pos_]; }

    void skip() {
        while (!atEnd()) {
            char c = peek();
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
                while (!atEnd() && peek() != '\n') ++pos_;
            } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*') {
                size_t end = s_.find("*/", pos_ + 2);
                pos_ = end == std::string_view::npos ? s_.size() : end + 2;
            } else {
                break;
            }
        }
    }

    static bool bareChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '+' ||
               c == '/' || c == ':' || c == '.' || c == '-';
    }

    std::optional<Value> value(int depth) {
        if (depth > kMaxDepth) return std::nullopt;
        skip();
        if (atEnd()) return std::nullopt;
        char c = peek();
        if (c == '{') {
            ++pos_;
            auto d = dictionaryBody(depth, /*braced=*/true);
            if (!d) return std::nullopt;
            return Value(std::move(*d));
        }
        if (c == '(') return array(depth);
        if (c == '<') return data();
        auto s = string();
        if (!s) return std::nullopt;
        return Value(std::move(*s));
    }

    std::optional<Dictionary> dictionaryBody(int depth, bool braced) {
        Dictionary d;
        for (;;) {
            skip();
            if (atEnd()) {
                if (braced) return std::nullopt;
                return d;
            }
            if (braced && peek() == '}') {
                ++pos_;
                return d;
            }
            auto key = string();
            if (!key) return std::nullopt;
            skip();
            if (atEnd()) return std::nullopt;
            if (peek() == ';') {  // "key;" stands for "key = key;"
                ++pos_;
                d.insert_or_assign(*key, Value(*key));
                continue;
            }
            if (peek() != '=') return std::nullopt;
            ++pos_;
            auto v = value(depth + 1);
            if (!v) return std::nullopt;
            skip();
            if (atEnd() || peek() != ';') return std::nullopt;
            ++pos_;
            d.insert_or_assign(std::move(*key), std::move(*v));
        }
    }

    std::optional<Value> array(int depth) {
        ++pos_;  // (
        Array a;
        skip();
        if (!atEnd() && peek() == ')') {
            ++pos_;
            return Value(std::move(a));
        }
        for (;;) {
            auto v = value(depth + 1);
            if (!v) return std::nullopt;
            a.push_back(std::move(*v));
            skip();
            if (atEnd()) return std::nullopt;
            if (peek() == ',') {
                ++pos_;
                skip();
                if (!atEnd() && peek() == ')') {
                    ++pos_;
                    return Value(std::move(a));
                }
                continue;
            }
            if (peek() == ')') {
                ++pos_;
                return Value(std::move(a));
            }
            return std::nullopt;
        }
    }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    std::optional<Value> data() {
        ++pos_;  // <
        Data d;
        int high = -1;
        for (;;) {
            skip();
            if (atEnd()) return std::nullopt;
            char c = peek();
            ++pos_;
            if (c == '>') break;
            int h = hexDigit(c);
            if (h < 0) return std::nullopt;
            if (high < 0) {
                high = h;
            } else {
                d.push_back(static_cast<uint8_t>(high * 16 + h));
                high = -1;
            }
        }
        if (high >= 0) return std::nullopt;
        return Value(std::move(d));
    }

    static void appendUtf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::optional<std::string> string() {
        if (atEnd()) return std::nullopt;
        if (peek() != '"') {
            size_t start = pos_;
            while (!atEnd() && bareChar(peek())) ++pos_;
            if (pos_ == start) return std::nullopt;
            return std::string(s_.substr(start, pos_ - start));
        }
        ++pos_;
        std::string out;
        while (!atEnd()) {
            char c = s_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd()) return std::nullopt;
            char e = s_[pos_++];
            switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'a':
                    out += '\a';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'v':
                    out += '\v';
                    break;
                case 'U':
                case 'u': {
                    uint32_t cp = 0;
                    for (int i = 0; i < 4; ++i) {
                        if (atEnd() || hexDigit(peek()) < 0) return std::nullopt;
                        cp = cp * 16 + static_cast<uint32_t>(hexDigit(s_[pos_++]));
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default:
                    if (e >= '0' && e <= '7') {
                        int v = e - '0';
                        for (int i = 0; i < 2 && !atEnd() && peek() >= '0' && peek() <= '7'; ++i) {
                            v = v * 8 + (s_[pos_++] - '0');
                        }
                        out += static_cast<char>(v & 0xFF);
                    } else {
                        out += e;  // \" \\ \' and anything else stand for themselves
                    }
            }
        }
        return std::nullopt;  // unterminated
    }

    std::string_view s_;
    size_t pos_ = 0;
};

uint64_t bigEndian(std::string_view b, size_t at, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}

// libplist aborts the process on a binary string object holding a NUL character (ASCII byte 0
// or UTF-16 unit 0). Such files are refused before they reach it; so is any file whose object
// table does not hold together.
bool binaryStringsAreSafe(std::string_view b) {
    constexpr size_t kHeader = 8, kTrailer = 32;
    if (b.size() < kHeader + kTrailer) return false;
    const size_t trailer = b.size() - kTrailer;
    const size_t offsetSize = static_cast<uint8_t>(b[trailer + 6]);
    const uint64_t objects = bigEndian(b, trailer + 8, 8);
    const uint64_t table = bigEndian(b, trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || objects > trailer || table > trailer ||
        objects * offsetSize > trailer - table) {
        return false;
    }
    for (uint64_t i = 0; i < objects; ++i) {
        const uint64_t at = bigEndian(b, static_cast<size_t>(table + i * offsetSize), offsetSize);
        if (at < kHeader || at >= trailer) return false;
        const uint8_t marker = static_cast<uint8_t>(b[at]);
        const int type = marker >> 4;
        if (type != 5 && type != 6) continue;
        uint64_t length = marker & 0x0F;
        size_t start = static_cast<size_t>(at) + 1;
        if (length == 0x0F) {  // the length follows as an integer object
            if (start >= trailer) return false;
            const uint8_t intMarker = static_cast<uint8_t>(b[start]);
            const size_t width = size_t{1} << (intMarker & 0x0F);
            if ((intMarker >> 4) != 1 || width > 8 || start + 1 + width > trailer) return false;
            length = bigEndian(b, start + 1, width);
            start += 1 + width;
        }
        const uint64_t bytes = type == 5 ? length : length * 2;
        if (length > trailer || bytes > trailer - start) return false;
        for (uint64_t k = 0; k < length; ++k) {
            const bool nul = type == 5 ? b[start + k] == '\0'
                                       : b[start + 2 * k] == '\0' && b[start + 2 * k + 1] == '\0';
            if (nul) return false;
        }
    }
    return true;
}

bool startsWithXml(std::string_view b) {
    size_t i = 0;
    if (b.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
    while (i < b.size() && std::isspace(static_cast<unsigned char>(b[i]))) ++i;
    return b.substr(i, 5) == "<?xml" || b.substr(i, 6) == "<plist" || b.substr(i, 9) == "<!DOCTYPE";
}

}  // namespace

std::optional<Value> parseXml(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > kMaxPropertyListBytes) return std::nullopt;
    // A NUL byte is never valid XML, and libplist would abort on a string holding one.
    if (bytes.find('\0') != std::string_view::npos) return std::nullopt;
    plist_t root = nullptr;
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    PlistPtr owned(root);
    return fromNode(root, 0);
}

std::optional<Value> parseBinary(std::string_view bytes) {
    if (bytes.size() < 8 || bytes.size() > kMaxPropertyListBytes) return std::nullopt;
    if (!binaryStringsAreSafe(bytes)) return std::nullopt;
    plist_t root = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    PlistPtr owned(root);
    return fromNode(root, 0);
}

std::optional<Value> parseText(std::string_view bytes) {
    if (bytes.size() > kMaxPropertyListBytes) return std::nullopt;
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    return TextParser(bytes).parseDocument();
}

std::optional<Value> parse(std::string_view bytes) {
    if (bytes.substr(0, 6) == "bplist") return parseBinary(bytes);
    if (startsWithXml(bytes)) return parseXml(bytes);
    return parseText(bytes);
}

std::optional<Value> readFile(const std::string& hostPath) {
    if (tracing()) trace(events::Bookkeeping{"file read: " + hostPath});
    FileDescriptor fd(::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > kMaxPropertyListBytes) {
        return std::nullopt;
    }
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
        if (bytes.size() > kMaxPropertyListBytes) return std::nullopt;
    }
    fd.close();
    return parse(bytes);
}

std::optional<Dictionary> readDictionary(const std::string& hostPath) {
    auto v = readFile(hostPath);
    if (!v || v->dictionary() == nullptr) return std::nullopt;
    return std::move(*v->dictionary());
}

std::string toXml(const Value& root) {
    PlistPtr node(toNode(root));
    if (!node) return {};
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(node.get(), &xml, &len);
    std::string out(xml ? xml : "", len);
    plist_to_xml_free(xml);
    return out;
}

std::string toBinary(const Value& root) {
    PlistPtr node(toNode(root));
    if (!node) return {};
    char* bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(node.get(), &bin, &len);
    std::string out(bin ? bin : "", len);
    plist_to_bin_free(bin);
    return out;
}

bool writeXmlAtomically(const Value& root, const std::string& hostPath) {
    std::string xml = toXml(root);
    if (xml.empty()) return false;
    std::string tmp = hostPath + ".tmp-XXXXXX";
    FileDescriptor fd(::mkstemp(tmp.data()));
    if (!fd) return false;
    bool ok = true;
    size_t off = 0;
    while (ok && off < xml.size()) {
        ssize_t n = ::write(fd.get(), xml.data() + off, xml.size() - off);
        if (n < 0)
            ok = errno == EINTR;
        else
            off += static_cast<size_t>(n);
    }
    ok = ok && ::fchmod(fd.get(), 0644) == 0 && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;  // a failed close can mean the data never reached the disk
    ok = ok && ::rename(tmp.c_str(), hostPath.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

}  // namespace platform::plist
