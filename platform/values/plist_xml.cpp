// The XML writer, laid out as libplist and the phone lay out their files. Written here rather
// than through libplist's tree, whose dictionaries look up every key they are given (building a
// tree of 200,000 keys takes seconds), so that a write takes time linear in the value's size.
#include <cmath>
#include <cstdio>

#include "plist_guard.h"
#include "plist_text.h"

namespace platform::plist::detail {

namespace {

constexpr std::string_view kProlog =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

std::string realText(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
    if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    return buf;
}

// Base64 in lines of 68 characters, each on a line of its own at the element's indentation.
void appendData(std::string& out, const Data& d, const std::string& indent) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out += "<data>\n";
    for (size_t line = 0; line < d.size(); line += 51) {
        out += indent;
        for (size_t i = line; i < std::min(d.size(), line + 51); i += 3) {
            const size_t n = std::min<size_t>(3, d.size() - i);
            const uint32_t v = (uint32_t{d[i]} << 16) | (n > 1 ? uint32_t{d[i + 1]} << 8 : 0) |
                               (n > 2 ? uint32_t{d[i + 2]} : 0);
            for (size_t k = 0; k < 4; ++k)
                out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 0x3F] : '=';
        }
        out += '\n';
    }
    out += indent + "</data>";
}

class XmlWriter {
  public:
    std::string write(const Value& root) {
        out_ = kProlog;
        value(root, 0);
        out_ += "\n</plist>\n";
        return std::move(out_);
    }

  private:
    void element(const char* name, std::string_view text) {
        out_ += '<';
        out_ += name;
        out_ += '>';
        out_ += text;
        out_ += "</";
        out_ += name;
        out_ += '>';
    }

    void value(const Value& v, size_t depth) {
        switch (v.kind()) {
            case Value::Kind::None:
                break;
            case Value::Kind::Boolean:
                out_ += *v.boolean() ? "<true/>" : "<false/>";
                break;
            case Value::Kind::Integer:
                element("integer", std::to_string(*v.integer()));
                break;
            case Value::Kind::Real:
                element("real", realText(*v.real()));
                break;
            case Value::Kind::String:
                element("string", xmlText(*v.string()));
                break;
            case Value::Kind::Date:
                element("date", xmlDateNearest(v.date()->secondsSinceReferenceDate));
                break;
            case Value::Kind::Data:
                appendData(out_, *v.data(), std::string(depth, '\t'));
                break;
            case Value::Kind::Array:
                container("array", *v.array(), depth);
                break;
            case Value::Kind::Dictionary:
                container("dict", *v.dictionary(), depth);
                break;
        }
    }

    // An array's items or a dictionary's keys and values, one to a line, a tab further in.
    template <class Items>
    void container(const char* name, const Items& items, size_t depth) {
        if (items.empty()) {
            out_ += '<' + std::string(name) + "/>";
            return;
        }
        const std::string indent(depth + 1, '\t');
        out_ += '<' + std::string(name) + ">\n";
        for (const auto& item : items) {
            if constexpr (std::is_same_v<Items, Dictionary>) {
                if (item.second.isNone()) continue;
                out_ += indent;
                element("key", xmlText(item.first));
                out_ += '\n';
                out_ += indent;
                value(item.second, depth + 1);
            } else {
                if (item.isNone()) continue;
                out_ += indent;
                value(item, depth + 1);
            }
            out_ += '\n';
        }
        out_ += std::string(depth, '\t') + "</" + name + '>';
    }

    std::string out_;
};

}  // namespace

std::string writeXml(const Value& root) {
    if (root.isNone()) return {};
    return XmlWriter().write(root);
}

}  // namespace platform::plist::detail
