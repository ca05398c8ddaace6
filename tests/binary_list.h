// Hand-made binary property lists for tests: any object table, shared and cyclic references
// included, which no well-behaved writer would produce.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

class BinaryList {
  public:
    // Each adder returns the new object's index; references may point forward.
    size_t integer(uint8_t v) { return add(std::string{'\x10', static_cast<char>(v)}); }
    size_t boolean(bool b) { return add(std::string(1, b ? '\x09' : '\x08')); }
    size_t date(double seconds) { return add("\x33" + bigEndian(bits(seconds), 8)); }
    size_t real(double v) { return add("\x23" + bigEndian(bits(v), 8)); }
    size_t ascii(const std::string& s) { return add(withCount(0x50, s.size()) + s); }
    size_t utf16(const std::u16string& s) {
        std::string units;
        for (char16_t u : s) units += bigEndian(u, 2);
        return add(withCount(0x60, s.size()) + units);
    }
    size_t array(std::vector<size_t> refs) {
        objects_.push_back({"", std::move(refs), 0xA0});
        return objects_.size() - 1;
    }
    size_t dictionary(const std::vector<std::pair<size_t, size_t>>& entries) {
        std::vector<size_t> refs;
        for (const auto& e : entries) refs.push_back(e.first);
        for (const auto& e : entries) refs.push_back(e.second);
        objects_.push_back({"", std::move(refs), 0xD0});
        return objects_.size() - 1;
    }
    // Points an array made earlier at other objects (for cycles).
    void setReferences(size_t array, std::vector<size_t> refs) {
        objects_[array].refs = std::move(refs);
    }

    std::string bytes(size_t top) const {
        const size_t refSize = widthFor(objects_.size());
        std::string out = "bplist00";
        std::vector<uint64_t> offsets;
        for (const auto& o : objects_) {
            offsets.push_back(out.size());
            const size_t count = o.container == 0xD0 ? o.refs.size() / 2 : o.refs.size();
            out += o.container != 0 ? withCount(o.container, count) : o.head;
            for (size_t r : o.refs) out += bigEndian(r, refSize);
        }
        const uint64_t table = out.size();
        const size_t offsetSize = widthFor(table);
        for (uint64_t at : offsets) out += bigEndian(at, offsetSize);
        out += std::string(6, '\0');
        out += static_cast<char>(offsetSize);
        out += static_cast<char>(refSize);
        out += bigEndian(objects_.size(), 8) + bigEndian(top, 8) + bigEndian(table, 8);
        return out;
    }

  private:
    struct Object {
        std::string head;  // all of a leaf
        std::vector<size_t> refs;
        uint8_t container = 0;  // 0xA0 array, 0xD0 dictionary (their counts follow the refs)
    };

    size_t add(std::string head) {
        objects_.push_back({std::move(head), {}, 0});
        return objects_.size() - 1;
    }
    static uint64_t bits(double d) {
        uint64_t u;
        std::memcpy(&u, &d, sizeof u);
        return u;
    }
    static std::string bigEndian(uint64_t v, size_t width) {
        std::string out(width, '\0');
        for (size_t i = 0; i < width; ++i) out[width - 1 - i] = static_cast<char>(v >> (8 * i));
        return out;
    }
    static size_t widthFor(uint64_t n) {
        return n < 0x100 ? 1 : n < 0x10000 ? 2 : n < (1ull << 32) ? 4 : 8;
    }
    static std::string withCount(uint8_t type, size_t n) {
        if (n < 15) return std::string(1, static_cast<char>(type | n));
        return std::string(1, static_cast<char>(type | 0x0F)) + "\x13" + bigEndian(n, 8);
    }

    std::vector<Object> objects_;
};

}  // namespace testing_support
