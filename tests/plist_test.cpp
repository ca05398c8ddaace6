// Property-list files: interoperability with plistlib and plistutil, the old-style text form,
// bad input and atomic writing.
#include "platform/values/plist.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>

#include "binary_list.h"
#include "platform/testing.h"
#include "test_support.h"

using platform::Array;
using platform::Dictionary;
using platform::Value;
namespace plist = platform::plist;
using testing_support::ScratchDir;

namespace {

// A document with every kind of value, as Python writes it.
const char* kPythonWriter = R"PY(
import plistlib, sys, datetime
doc = {
    "IsOn": True, "Off": False, "WaveProtocolLocked": 2, "Negative": -1,
    "Big": 5000000000, "Real": 0.7, "Text": "Wave twice \u00e0 r\u00e9pondre",
    "When": datetime.datetime(2020, 5, 17, 10, 30, 15),
    "Bytes": b"\x00\x01\xfe\xff", "Rows": ["1 wave", "2 waves", 3],
    "Nested": {"inner": {"deep": "yes"}}, "Empty": {},
}
with open(sys.argv[1], "wb") as f: plistlib.dump(doc, f, fmt=plistlib.FMT_XML)
with open(sys.argv[2], "wb") as f: plistlib.dump(doc, f, fmt=plistlib.FMT_BINARY)
)PY";

// Checks a file we wrote, and prints nothing on success.
const char* kPythonChecker = R"PY(
import plistlib, sys, datetime
with open(sys.argv[1], "rb") as f: doc = plistlib.load(f)
want = {
    "IsOn": True, "WaveProtocolSpeed": 1, "Negative": -7, "Real": 2.5, "Text": "h\u00e9 \"quoted\" <&>",
    "Bytes": bytes(range(100)), "Rows": ["a", 2], "Nested": {"k": False}, "Empty": {}, "NoRows": [],
    "When": datetime.datetime(2001, 1, 1, 0, 1, 40),
}
if doc != want:
    print("mismatch:", doc); sys.exit(1)
)PY";

void expectPythonDocument(const Value& v) {
    ASSERT_NE(v.dictionary(), nullptr);
    EXPECT_EQ(*v.find("IsOn"), Value(true));
    EXPECT_EQ(*v.find("Off"), Value(false));
    EXPECT_EQ(*v.find("WaveProtocolLocked"), Value(2));
    EXPECT_EQ(*v.find("Negative"), Value(-1));
    EXPECT_EQ(*v.find("Big"), Value(int64_t{5000000000}));
    EXPECT_EQ(*v.find("Real"), Value(0.7));
    EXPECT_EQ(*v.find("Text"), Value("Wave twice \xC3\xA0 r\xC3\xA9pondre"));
    ASSERT_NE(v.find("When")->date(), nullptr);
    // 2020-05-17 10:30:15 UTC
    EXPECT_DOUBLE_EQ(v.find("When")->date()->secondsSinceReferenceDate, 1589711415.0 - 978307200.0);
    EXPECT_EQ(*v.find("Bytes"), Value(platform::Data{0x00, 0x01, 0xfe, 0xff}));
    EXPECT_EQ(*v.find("Rows"), Value(Array{Value("1 wave"), Value("2 waves"), Value(3)}));
    EXPECT_EQ(*v.find("Nested")->find("inner")->find("deep"), Value("yes"));
    EXPECT_EQ(*v.find("Empty"), Value(Dictionary{}));
}

platform::Data hundredBytes() {
    platform::Data d(100);
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(i);
    return d;
}

Value ourDocument() {
    return Value(Dictionary{
        {"IsOn", Value(true)},
        {"WaveProtocolSpeed", Value(1)},
        {"Negative", Value(-7)},
        {"Real", Value(2.5)},
        {"Text", Value("h\xC3\xA9 \"quoted\" <&>")},
        {"Bytes", Value(hundredBytes())},
        {"Empty", Value(Dictionary{})},
        {"NoRows", Value(Array{})},
        {"Rows", Value(Array{Value("a"), Value(2)})},
        {"Nested", Value(Dictionary{{"k", Value(false)}})},
        {"When", Value(platform::Date{100})},
    });
}

}  // namespace

TEST(Plist, ReadsWhatPythonsPlistlibWritesInXmlAndBinary) {
    ScratchDir dir;
    testing_support::writeFile(dir.file("w.py"), kPythonWriter);
    ASSERT_EQ(testing_support::run("python3 " + dir.file("w.py") + " " + dir.file("py.xml") + " " +
                                   dir.file("py.bin")),
              0);
    auto xml = plist::readFile(dir.file("py.xml"));
    ASSERT_TRUE(xml);
    expectPythonDocument(*xml);
    auto bin = plist::readFile(dir.file("py.bin"));
    ASSERT_TRUE(bin);
    expectPythonDocument(*bin);
    EXPECT_EQ(*xml, *bin);
}

TEST(Plist, ReadsWhatPlistutilWrites) {
    ScratchDir dir;
    testing_support::writeFile(dir.file("w.py"), kPythonWriter);
    ASSERT_EQ(testing_support::run("python3 " + dir.file("w.py") + " " + dir.file("py.xml") + " " +
                                   dir.file("py.bin")),
              0);
    ASSERT_EQ(testing_support::run("plistutil -i " + dir.file("py.xml") + " -o " +
                                   dir.file("pu.bin") + " -f bin"),
              0);
    ASSERT_EQ(testing_support::run("plistutil -i " + dir.file("py.bin") + " -o " +
                                   dir.file("pu.xml") + " -f xml"),
              0);
    auto bin = plist::readFile(dir.file("pu.bin"));
    auto xml = plist::readFile(dir.file("pu.xml"));
    ASSERT_TRUE(bin && xml);
    expectPythonDocument(*bin);
    expectPythonDocument(*xml);
}

TEST(Plist, WhatWeWriteReadsBackInPlistlibPlistutilAndOurselves) {
    ScratchDir dir;
    const std::string ours = dir.file("ours.plist");
    ASSERT_TRUE(plist::writeXmlAtomically(ourDocument(), ours));
    testing_support::writeFile(dir.file("c.py"), kPythonChecker);
    EXPECT_EQ(testing_support::run("python3 " + dir.file("c.py") + " " + ours), 0);
    ASSERT_EQ(
        testing_support::run("plistutil -i " + ours + " -o " + dir.file("ours.bin") + " -f bin"),
        0);
    EXPECT_EQ(testing_support::run("python3 " + dir.file("c.py") + " " + dir.file("ours.bin")), 0);
    auto back = plist::readFile(ours);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, ourDocument());
    auto viaBinary = plist::parse(plist::toBinary(ourDocument()));
    ASSERT_TRUE(viaBinary);
    EXPECT_EQ(*viaBinary, ourDocument());
}

TEST(Plist, OldStyleTextAsStringsFilesUseIt) {
    const char* strings =
        "\xEF\xBB\xBF/* Dutch texts */\n"
        "\"ONCE\" = \"Eén keer\";\n"
        "// a comment line\n"
        "\"HEADSET_ALERT_MSG\" = \"Line one\\nLine \\\"two\\\"\\U00e9\";\n"
        "FAST = Snel;\n"
        "\"SAME\";\n";
    auto v = plist::parseText(strings);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v->find("ONCE"), Value("Eén keer"));
    EXPECT_EQ(*v->find("HEADSET_ALERT_MSG"), Value("Line one\nLine \"two\"\xC3\xA9"));
    EXPECT_EQ(*v->find("FAST"), Value("Snel"));
    EXPECT_EQ(*v->find("SAME"), Value("SAME"));

    auto nested = plist::parse("{ rows = (a, \"b c\", ); data = <0aff 10>; inner = { k = v; }; }");
    ASSERT_TRUE(nested);
    EXPECT_EQ(*nested->find("rows"), Value(Array{Value("a"), Value("b c")}));
    EXPECT_EQ(*nested->find("data"), Value(platform::Data{0x0a, 0xff, 0x10}));
    EXPECT_EQ(*nested->find("inner")->find("k"), Value("v"));
    EXPECT_EQ(*plist::parse("just-a-string"), Value("just-a-string"));
    // An emoji escaped as its two halves is one character of UTF-8 (a view's text crosses the bus,
    // which takes nothing else).
    EXPECT_EQ(*plist::parse("\"\\UD83D\\UDC4B\""), Value("\xF0\x9F\x91\x8B"));
}

TEST(Plist, BadFilesGiveNoneAndNeverCrash) {
    ScratchDir dir;
    const std::string xml = plist::toXml(ourDocument());
    const std::string bin = plist::toBinary(ourDocument());
    // Every truncation of a valid file. Only a cut after the root's end tag may still read as
    // the whole document (the closing </plist> carries nothing).
    const size_t rootEnd = xml.rfind("</dict>") + 7;
    for (size_t n = 0; n < xml.size(); ++n) {
        auto v = plist::parse(std::string_view(xml).substr(0, n));
        if (v && *v == ourDocument()) {
            EXPECT_GE(n, rootEnd);
        }
    }
    for (size_t n = 0; n < bin.size(); ++n) {
        auto v = plist::parse(std::string_view(bin).substr(0, n));
        if (v) {
            EXPECT_NE(*v, ourDocument());
        }
    }
    const char* malformed[] = {
        "",
        "   \n",
        "<?xml version=\"1.0\"?><plist><dict><key>a</key></plist>",
        "<plist version=\"1.0\"><dict><key>IsOn</key><true/>",
        "<plist><dict><key>IsOn</key></dict></plist>",
        "<plist><dict><true/><true/></dict></plist>",
        "bplist00garbage-garbage-garbage-garbage",
        "{ a = b; ",
        "\"unterminated",
        "{ a = (1, 2; }",
        "<zz>",
        "a = b c;",
    };
    for (const char* m : malformed) {
        EXPECT_FALSE(plist::parse(m).has_value()) << m;
        testing_support::writeFile(dir.file("bad.plist"), m);
        EXPECT_FALSE(plist::readDictionary(dir.file("bad.plist")).has_value()) << m;
    }
    // A key given twice: the last value counts.
    EXPECT_EQ(plist::parse("<plist><dict><key>a</key><true/><key>a</key><dict/></dict></plist>"),
              Value(Dictionary{{"a", Value(Dictionary{})}}));
    // Deep nesting is refused rather than recursed into.
    EXPECT_FALSE(plist::parse(std::string(100000, '(')).has_value());
    // A root that is no dictionary.
    testing_support::writeFile(dir.file("array.plist"), plist::toXml(Value(Array{Value(1)})));
    EXPECT_TRUE(plist::readFile(dir.file("array.plist")).has_value());
    EXPECT_FALSE(plist::readDictionary(dir.file("array.plist")).has_value());
    // Missing, a directory, and larger than any settings file may be.
    EXPECT_FALSE(plist::readDictionary(dir.file("missing.plist")).has_value());
    EXPECT_FALSE(plist::readDictionary(dir.path()).has_value());
    std::string huge = "{ k = \"" + std::string(plist::kMaxPropertyListBytes, 'x') + "\"; }";
    testing_support::writeFile(dir.file("huge.plist"), huge);
    EXPECT_FALSE(plist::readDictionary(dir.file("huge.plist")).has_value());
}

// --- Texts as the phone's files hold them -------------------------------------------------

// A settings file whose strings held half a surrogate pair or a NUL was refused whole, so the
// user's settings were ignored and the pane saved nothing; libplist itself aborted on a NUL.
TEST(PlistTexts, LoneSurrogatesAndNulsAreReadFromEitherFormAndWrittenBackUnitForUnit) {
    struct Case {
        const char* what;
        std::u16string units;  // as a binary file holds it
        std::string xml;       // as an XML file may hold it
        std::string text;      // as the value holds it
        std::string written;   // as the XML writer says it
    };
    const std::string nul(1, '\0');
    const Case cases[] = {
        {"a truncated emoji", u"a\xD83D", "a&#xD83D;", "a\xED\xA0\xBD", "a&#xD83D;"},
        {"the other half, raw in XML", u"\xDC4B!", "\xED\xB1\x8B!", "\xED\xB1\x8B!", "&#xDC4B;!"},
        {"halves the wrong way round", u"\xDC4B\xD83D", "&#56395;&#xd83d;",
         "\xED\xB1\x8B\xED\xA0\xBD", "&#xDC4B;&#xD83D;"},
        {"a NUL among markup", std::u16string(u"<\0&", 3), "&lt;<![CDATA[" + nul + "]]>&amp;",
         "<" + nul + "&", "&lt;&#x0;&amp;"},
        {"the mark libplist is given in such a text's place",
         u"\xFFFF"
         u"0",
         "\xEF\xBF\xBF"
         "0",
         "\xEF\xBF\xBF"
         "0",
         "\xEF\xBF\xBF"
         "0"},
        {"a whole pair, as two references", u"\xD83D\xDC4B", "&#xD83D;&#xDC4B;", "\xF0\x9F\x91\x8B",
         "\xF0\x9F\x91\x8B"},
        {"two low halves, the last one U+DFFF", u"\xDC4B\xDFFF", "&#xDC4B;&#xDFFF;",
         "\xED\xB1\x8B\xED\xBF\xBF", "&#xDC4B;&#xDFFF;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The text as a value and as a key, after a NUL that takes the first stand-in.
        testing_support::BinaryList b;
        const std::vector<std::pair<size_t, size_t>> entries = {{b.ascii("First"), b.ascii(nul)},
                                                                {b.ascii("IsOn"), b.boolean(false)},
                                                                {b.ascii("Note"), b.utf16(c.units)},
                                                                {b.utf16(c.units), b.integer(7)}};
        const std::string binary = b.bytes(b.dictionary(entries));
        const std::string xml =
            "<plist><dict><key>First</key><string>&#0;</string>"
            "<key>IsOn</key><false/><key>Note</key><string>" +
            c.xml + "</string><key>" + c.xml + "</key><integer>7</integer></dict></plist>";
        const Value expected(Dictionary{{"First", Value(nul)},
                                        {"IsOn", Value(false)},
                                        {"Note", Value(c.text)},
                                        {c.text, Value(7)}});
        for (const std::string& source : {binary, xml}) {
            auto v = plist::parse(source);
            ASSERT_TRUE(v) << source;
            EXPECT_EQ(*v, expected);
            const std::string written = plist::toXml(*v);
            EXPECT_NE(written.find("<string>" + c.written + "</string>"), std::string::npos)
                << written;
            EXPECT_NE(written.find("<key>" + c.written + "</key>"), std::string::npos);
            auto back = plist::parseXml(written);
            ASSERT_TRUE(back) << written;
            EXPECT_EQ(*back, expected);
            // The log line of what was read is text the bus carries: no NUL, no half pair.
            const std::string logged = v->description();
            EXPECT_EQ(logged.find('\0'), std::string::npos);
            EXPECT_EQ(logged.find("\xED\xA0"), std::string::npos);
        }
    }
    // Binary has no stand-in to write: refused, not cut short at the NUL.
    EXPECT_EQ(plist::toBinary(Value(Array{Value(nul + "x")})), "");
}

TEST(Plist, MutatedFilesNeverCrash) {
    Value doc(
        Dictionary{{"IsOn", Value(true)},
                   {"WaveProtocolLocked", Value(2)},
                   {"Real", Value(0.7)},
                   {"Text", Value("h\xC3\xA9llo")},
                   {"When", Value(platform::Date{100})},
                   {"Rows", Value(Array{Value(1), Value("x"),
                                        Value(Dictionary{{"d", Value(platform::Data{1, 2})}})})}});
    const std::string seeds[] = {plist::toXml(doc), plist::toBinary(doc),
                                 "{ a = (1, \"b\", <0a0b>); c = { d = e; }; }"};
    uint32_t state = 12345;
    auto next = [&] { return state = state * 1664525u + 1013904223u; };
    int parsed = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string s = seeds[i % 3];
        for (uint32_t edits = 1 + next() % 6; edits > 0 && !s.empty(); --edits) {
            const size_t at = next() % s.size();
            switch (next() % 4) {
                case 0:
                    s[at] = static_cast<char>(next() >> 24);
                    break;
                case 1:
                    s.erase(at, 1 + next() % 4);
                    break;
                case 2:
                    s.insert(at, 1, static_cast<char>(next() >> 24));
                    break;
                default:
                    s.insert(at, s.substr(next() % s.size(), next() % 16));
                    break;
            }
        }
        parsed += plist::parse(s).has_value();
    }
    EXPECT_GT(parsed, 0) << "some mutations still read";
}

TEST(Plist, AtomicWriteReplacesWholeFilesAndLeavesNoTemporaries) {
    ScratchDir dir;
    const std::string target = dir.file("com.brelkin.Orvella.plist");
    testing_support::writeFile(target, "old contents");
    ASSERT_TRUE(plist::writeXmlAtomically(Value(Dictionary{{"IsOn", Value(false)}}), target));
    auto d = plist::readDictionary(target);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->at("IsOn"), Value(false));
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1) << "no temporary file left behind";
    // A directory that does not exist: the write fails and reports it.
    EXPECT_FALSE(plist::writeXmlAtomically(Value(Dictionary{}), dir.file("no/such/dir/x.plist")));
    // Nothing to write (no value) is a failure, not an empty file.
    EXPECT_FALSE(plist::writeXmlAtomically(Value(), target));
    EXPECT_TRUE(plist::readDictionary(target).has_value());
}

// --- Hostile binary lists, made by hand -------------------------------------------------------

namespace {

// The resident size of a process, in bytes.
size_t residentBytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/statm");
    size_t pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// Runs `body` in a child process that may grow by `limit` bytes of memory, and says how it
// ended: "" when `body` returned true within the limit. The child is stopped as soon as it is
// seen past the limit, and its peak is checked when it ends. (Resident size, not address space:
// AddressSanitizer's shadow takes terabytes of that, so RLIMIT_AS would stop the sanitizer
// build at once.)
std::string inChildWithMemoryLimit(size_t limit, const std::function<bool()>& body) {
    const size_t start = residentBytes(::getpid());
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body() ? 0 : 1);
    if (child < 0) return "cannot fork";
    int status = 0;
    rusage usage{};
    for (int polls = 0; ::wait4(child, &status, WNOHANG, &usage) == 0; ++polls) {
        const bool tooBig = residentBytes(child) > start + limit;
        if (tooBig || polls > 60 * 200) {  // a minute: the working code takes a moment
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return tooBig ? "grew past the limit" : "still busy after a minute";
        }
        ::usleep(5000);
    }
    if (static_cast<size_t>(usage.ru_maxrss) * 1024 > start + limit) return "grew past the limit";
    if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
    return WEXITSTATUS(status) == 0 ? "" : "body failed";
}

}  // namespace

// n arrays, each inside the one before.
std::string nestedArrays(size_t n) {
    testing_support::BinaryList b;
    for (size_t i = 0; i + 1 < n; ++i) b.array({i + 1});
    b.array({});
    return b.bytes(0);
}

TEST(PlistHostile, NestingDeeperThan512ContainersIsRefusedBeforeLibplistRecursesIntoIt) {
    // 100,000 levels overflowed libplist's stack (the process died).
    EXPECT_FALSE(plist::parse(nestedArrays(100000)).has_value());
    // The limit: the root and 512 levels below it.
    EXPECT_TRUE(plist::parse(nestedArrays(513)).has_value());
    EXPECT_FALSE(plist::parse(nestedArrays(514)).has_value());
    // XML nests as deep; libplist's XML reader recursed the same way.
    auto xml = [](size_t n) {
        std::string s = "<plist>";
        for (size_t i = 0; i < n; ++i) s += "<array>";
        for (size_t i = 0; i < n; ++i) s += "</array>";
        return s + "</plist>";
    };
    EXPECT_TRUE(plist::parse(xml(513)).has_value());
    EXPECT_FALSE(plist::parse(xml(514)).has_value());
    EXPECT_FALSE(plist::parse(xml(550000)).has_value());
    // Comments, CDATA and empty elements do not count as nesting.
    auto v = plist::parse(
        "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY x \"y\">]><plist><!-- <array> -->"
        "<array><string><![CDATA[<array>]]></string><true/><array/></array></plist>");
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, Value(Array{Value("<array>"), Value(true), Value(Array{})}));
}

TEST(PlistHostile, SharedReferencesCannotMultiplyAFileIntoAHugeTree) {
    // Each array refers twice to the next: 2^40 values from a file of 250 bytes (this took
    // 12.7 s and 1.5 GiB at 2^26, and grows twice as large with every level; a regression once
    // took 6 GB before it was stopped). Read in a child held to 512 MiB.
    testing_support::BinaryList bomb;
    for (size_t i = 0; i < 40; ++i) bomb.array({i + 1, i + 1});
    bomb.integer(7);
    const std::string bytes = bomb.bytes(0);
    EXPECT_LT(bytes.size(), 300u);
    EXPECT_EQ(inChildWithMemoryLimit(512u << 20, [&] { return !plist::parse(bytes); }), "");

    // Sharing within the file's own size is what writers do for equal values, and reads as
    // copies.
    testing_support::BinaryList shared;
    shared.array({1, 1, 1});
    shared.array({2, 2});
    shared.ascii("wave");
    const std::string small = shared.bytes(0);
    auto v = plist::parse(small);
    ASSERT_TRUE(v);
    const Value row(Array{Value("wave"), Value("wave")});
    EXPECT_EQ(*v, Value(Array{row, row, row}));
    // 1 + 3 * 3 values; a file of fewer bytes than that is refused.
    EXPECT_GE(small.size(), 10u);
}

TEST(PlistHostile, ContainersThatContainThemselvesAreRefused) {
    testing_support::BinaryList self;
    self.array({0});
    EXPECT_FALSE(plist::parse(self.bytes(0)).has_value());
    testing_support::BinaryList pair;
    const size_t a = pair.array({});
    const size_t key = pair.ascii("k");
    const size_t d = pair.dictionary({{key, a}});
    pair.setReferences(a, {d});
    EXPECT_FALSE(plist::parse(pair.bytes(d)).has_value());
    // A dictionary key must be a text.
    testing_support::BinaryList numericKey;
    const size_t one = numericKey.integer(1);
    EXPECT_FALSE(plist::parse(numericKey.bytes(numericKey.dictionary({{one, one}}))).has_value());
}

TEST(PlistHostile, ALongBinaryArrayReadsWholeAndInOrder) {
    // Read element by element from the start each time, 100,000 elements took 10.7 s; the time
    // is watched in bench_engine, this checks the reading itself.
    testing_support::BinaryList b;
    std::vector<size_t> refs;
    for (size_t i = 0; i < 100000; ++i) refs.push_back(i % 200 + 1);
    b.array(refs);
    for (int i = 0; i < 200; ++i) b.integer(static_cast<uint8_t>(i));
    auto v = plist::parse(b.bytes(0));
    ASSERT_TRUE(v);
    ASSERT_EQ(v->array()->size(), 100000u);
    for (size_t i = 0; i < 100000; i += 997) EXPECT_EQ((*v->array())[i], Value(int(i % 200)));
}

// --- Dates ----------------------------------------------------------------------------------

// The pane wrote a binary file whenever XML could not say a value exactly; the phone's own
// writer, and now ours, always writes XML, as near as it can.
TEST(PlistHostile, DatesAreReadExactlyWhateverTheyHoldAndWrittenAsNearAsXmlCanSay) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> cases[] = {
        {1e300, "9999-12-31T23:59:59Z"},         {-1e300, "0000-01-01T00:00:00Z"},
        {-inf, "0000-01-01T00:00:00Z"},          {nan, "2001-01-01T00:00:00Z"},
        {0.5, "2001-01-01T00:00:00Z"},           {-0.5, "2000-12-31T23:59:59Z"},
        {-0.0, "2001-01-01T00:00:00Z"},          {610000000.25, "2020-05-01T04:26:40Z"},
        {3e9, "2096-01-25T05:20:00Z"},  // beyond libplist's 32-bit seconds, exact
        {-6337915200.0, "1800-02-28T12:00:00Z"},
    };
    for (const auto& [seconds, text] : cases) {
        SCOPED_TRACE(text);
        testing_support::BinaryList b;
        const size_t key = b.ascii("When");
        auto v = plist::parse(b.bytes(b.dictionary({{key, b.date(seconds)}})));
        ASSERT_TRUE(v);
        EXPECT_TRUE(
            plist::identical(*v, Value(Dictionary{{"When", Value(platform::Date{seconds})}})));
        // The tweak logs what it loaded: describing such a date is no undefined conversion.
        EXPECT_FALSE(v->description().empty());
        const std::string xml = plist::toXml(*v);
        EXPECT_NE(xml.find(std::string("<date>") + text + "</date>"), std::string::npos) << xml;
        auto back = plist::parseXml(xml);
        ASSERT_TRUE(back);
        EXPECT_EQ(plist::toXml(*back), xml) << "settled at the first write";
    }
    // Reals are exact, -0.0 and infinities included; a NaN is "nan", whatever its bits.
    const Value reals(Array{Value(-0.0), Value(0.1), Value(-inf), Value(1e-300), Value(nan)});
    const std::string xml = plist::toXml(reals);
    EXPECT_NE(xml.find("<real>-0.0</real>"), std::string::npos) << xml;
    auto back = plist::parseXml(xml);
    ASSERT_TRUE(back);
    EXPECT_TRUE(plist::identical(Value(Array(back->array()->begin(), back->array()->end() - 1)),
                                 Value(Array(reals.array()->begin(), reals.array()->end() - 1))));
    EXPECT_TRUE(std::isnan(*back->array()->back().real()));
}

TEST(PlistHostile, XmlDatesOutsideLibplistsRangeKeepTheirValue) {
    // libplist gives every date after 2069 or before 1933 as 1932-12-13.
    auto v = plist::parse(
        "<plist><array><date>2100-01-01T00:00:00Z</date><date>1800-02-28T12:00:00Z</date>"
        "<date>2001-01-01T00:00:01.5Z</date><date> 2020-05-17T10:30:15Z </date></array></plist>");
    ASSERT_TRUE(v);
    const Array& dates = *v->array();
    EXPECT_EQ(dates[0], Value(platform::Date{3124137600.0}));
    EXPECT_EQ(dates[1], Value(platform::Date{-6337915200.0}));
    EXPECT_EQ(dates[2], Value(platform::Date{1.5}));
    EXPECT_EQ(dates[3], Value(platform::Date{1589711415.0 - 978307200.0}));
    for (const char* bad : {"2001-02-29T00:00:00Z", "2001-01-01T24:00:00Z", "2001-01-01",
                            "2001-01-01T00:00:00", "yesterday"}) {
        EXPECT_FALSE(plist::parse(std::string("<plist><date>") + bad + "</date></plist>")) << bad;
    }
}

// Each day is read as the one after the day before it; a day a month does not have is refused.
TEST(PlistHostile, XmlDatesKeepTheCalendar) {
    const std::pair<const char*, const char*> lastAndNext[] = {
        {"2001-01-31", "2001-02-01"}, {"2001-02-28", "2001-03-01"}, {"2001-03-31", "2001-04-01"},
        {"2001-04-30", "2001-05-01"}, {"2001-05-31", "2001-06-01"}, {"2001-07-31", "2001-08-01"},
        {"2001-08-31", "2001-09-01"}, {"2001-10-31", "2001-11-01"}, {"2001-12-31", "2002-01-01"},
        {"2024-02-29", "2024-03-01"}, {"2000-02-29", "2000-03-01"},
    };
    const auto date = [](const std::string& day) -> std::optional<double> {
        auto v = plist::parse("<plist><date>" + day + "T00:00:00Z</date></plist>");
        if (!v || !v->date()) return std::nullopt;
        return v->date()->secondsSinceReferenceDate;
    };
    for (const auto& [last, next] : lastAndNext) {
        SCOPED_TRACE(last);
        auto lastDay = date(last), nextDay = date(next);
        ASSERT_TRUE(lastDay && nextDay);
        EXPECT_EQ(*nextDay - *lastDay, 86400);
        EXPECT_NE(plist::toXml(Value(platform::Date{*lastDay})).find(std::string(last) + "T"),
                  std::string::npos);
    }
    EXPECT_EQ(date("2024-02-29"), 730857600.0);
    for (const char* missing :
         {"2001-04-31", "2001-06-31", "2001-09-31", "2001-11-31", "2001-02-29", "1900-02-29",
          "2100-02-29", "2024-02-30", "2001-01-32", "2001-01-00", "2001-00-10", "2001-13-01"}) {
        EXPECT_FALSE(date(missing)) << missing;
    }
}

TEST(PlistHostile, TextNoWriterCouldGiveBackIsRefusedSoEverythingReadCanBeWritten) {
    // Bytes above 127 in a binary ASCII string: the phone refuses such files, and no writer
    // could put the same text back.
    testing_support::BinaryList high;
    high.array({1});
    high.ascii("caf\xE9");
    EXPECT_FALSE(plist::parse(high.bytes(0)));
    // A text that might pass for the stand-in of another but is not plain text (a comment in
    // it) is refused rather than taken for that other text.
    EXPECT_FALSE(
        plist::parse("<plist><array><string>&#0;</string>"
                     "<string>\xEF\xBF\xBF<!-- -->0</string></array></plist>"));
    // Invalid UTF-8 in an XML string or key.
    EXPECT_FALSE(plist::parse("<plist><array><string>\xC3(</string></array></plist>"));
    EXPECT_FALSE(plist::parse("<plist><dict><key>\xFF</key><true/></dict></plist>"));
    EXPECT_TRUE(plist::parse("<plist><array><string>\xC3\xA9</string></array></plist>"));
    // (A date sharing its bytes with a string is
    // fuzz/corpus/plist/overlapping-date-and-string.bin.)
}

namespace {
size_t openDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator()));
}
}  // namespace

TEST(Plist, EveryWayOutOfReadingAndWritingClosesItsFile) {
    ScratchDir dir;
    const std::string good = dir.file("good.plist"), big = dir.file("big.plist");
    ASSERT_TRUE(plist::writeXmlAtomically(Value(Dictionary{{"k", Value(1)}}), good));
    testing_support::writeFile(big, "");
    std::filesystem::resize_file(big, plist::kMaxPropertyListBytes + 1);
    const size_t before = openDescriptors();
    for (int round = 0; round < 20; ++round) {
        EXPECT_TRUE(plist::readFile(good));
        EXPECT_FALSE(plist::readFile(big)) << "too large: refused unread";
        EXPECT_FALSE(plist::readFile(dir.path())) << "a folder";
        EXPECT_FALSE(plist::readFile(dir.file("missing")));
        EXPECT_FALSE(plist::writeXmlAtomically(Value(Dictionary{}), dir.file("no/such/dir/f")));
        EXPECT_TRUE(plist::writeXmlAtomically(Value(Dictionary{}), good));
    }
    EXPECT_EQ(openDescriptors(), before);
}
