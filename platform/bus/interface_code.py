#!/usr/bin/env python3
"""C++ for D-Bus interfaces described in introspection XML, generated at build time.

    interface_code.py --namespace NS --header INCLUDE/PATH.h --out-header FILE --out-source FILE XML...

For every interface of every file: the namespace NS::<last part of its name, lower case> with the
interface's name (kName), a struct per signal with its arguments as typed fields, the signal made
of them (signal()) and read back (of(): nullopt when a signal has another name or an argument of
another type; arguments after the described ones are ignored), and the interface's description,
which a process declares on its connection so that Introspect shows it (description()).

Only the argument types the phone's bus carries are known: s b i x d as. A file that is not
introspection XML, describes anything else, names a signal or an argument twice (or as the
generated code names its own), or two interfaces ending in the same word, is refused naming the
file, the line and what is wrong. An argument named as a C++ keyword gets a field with "_" after it.
"""

import argparse
import re
import sys
import xml.parsers.expat

TYPES = {
    "s": "std::string",
    "b": "bool",
    "i": "int32_t",
    "x": "int64_t",
    "d": "double",
    "as": "std::vector<std::string>",
}
NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
INTERFACE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)+\Z")
# C++'s keywords: an argument so named gets a field with "_" after it.
KEYWORDS = set("""alignas alignof and and_eq asm auto bitand bitor bool break case catch char
char8_t char16_t char32_t class compl concept const consteval constexpr constinit const_cast
continue co_await co_return co_yield decltype default delete do double dynamic_cast else enum
explicit export extern false float for friend goto if inline int long mutable namespace new
noexcept not not_eq nullptr operator or or_eq private protected public register
reinterpret_cast requires return short signed sizeof static static_assert static_cast struct
switch template this thread_local throw true try typedef typeid typename union unsigned using
virtual void volatile wchar_t while xor xor_eq""".split())
# What the generated code itself names in a signal's struct and an interface's namespace.
MEMBERS_TAKEN = {"signal", "of", "kInterface", "kMember", "kSignature"}
SIGNALS_TAKEN = {"kName", "description"}


class Refused(Exception):
    pass


def field_name(name):
    return name + "_" if name in KEYWORDS else name


class Element:
    def __init__(self, tag, attrs, line):
        self.tag, self.attrs, self.line, self.children = tag, attrs, line, []

    def get(self, key):
        return self.attrs.get(key, "")


def parse(path):
    """The file's elements as a tree, each with the line it starts on."""
    parser = xml.parsers.expat.ParserCreate()
    stack = [Element("", {}, 0)]

    def start(tag, attrs):
        element = Element(tag, attrs, parser.CurrentLineNumber)
        stack[-1].children.append(element)
        stack.append(element)

    parser.StartElementHandler = start
    parser.EndElementHandler = lambda tag: stack.pop()
    try:
        with open(path, "rb") as f:
            parser.ParseFile(f)
    except OSError as e:
        raise Refused(f"{path}: cannot read it: {e.strerror}")
    except xml.parsers.expat.ExpatError as e:
        raise Refused(f"{path}:{e.lineno}: not XML: {xml.parsers.expat.ErrorString(e.code)}")
    return stack[0].children[0]


def read(path):
    root = parse(path)
    where = lambda e: f"{path}:{e.line}"
    if root.tag != "node":
        raise Refused(f"{where(root)}: the root element is <{root.tag}>, not <node>")
    interfaces = []
    for element in root.children:
        if element.tag != "interface":
            raise Refused(f"{where(element)}: <{element.tag}> in <node>: only interfaces are described")
        name = element.get("name")
        if not INTERFACE.match(name):
            raise Refused(f"{where(element)}: '{name}' is not an interface name")
        signals = []
        for signal in element.children:
            if signal.tag == "annotation":
                continue
            if signal.tag != "signal":
                raise Refused(f"{where(signal)}: <{signal.tag}> in {name}: only signals are described")
            member = signal.get("name")
            if not NAME.match(member):
                raise Refused(f"{where(signal)}: '{member}' is not a member name")
            if member in SIGNALS_TAKEN or member in (m for m, _ in signals):
                raise Refused(f"{where(signal)}: {name}: a second signal named '{member}' "
                              f"(or a name the generated code takes)")
            args = []
            for arg in signal.children:
                if arg.tag == "annotation":
                    continue
                arg_name, arg_type = arg.get("name"), arg.get("type")
                if arg.tag != "arg" or not NAME.match(arg_name):
                    raise Refused(f"{where(arg)}: {member}: an argument needs a name, not '{arg_name}'")
                if arg_name in MEMBERS_TAKEN or arg_name in (a for a, _ in args):
                    raise Refused(f"{where(arg)}: {member}: a second argument named '{arg_name}' "
                                  f"(or a name the generated code takes)")
                if arg_type not in TYPES:
                    raise Refused(f"{where(arg)}: {member}: type '{arg_type}' of {arg_name} is not "
                                  f"one of {' '.join(TYPES)}")
                args.append((arg_name, arg_type))
            signals.append((member, args))
        if any(n.split(".")[-1].lower() == name.split(".")[-1].lower() for n, _ in interfaces):
            raise Refused(f"{where(element)}: {name}: another interface of the file ends in the "
                          f"same word, which names its namespace")
        interfaces.append((name, signals))
    return interfaces


def header(namespace, interfaces, sources):
    out = [f"// Generated from {', '.join(sources)} by interface_code.py: edit the XML, not this.",
           "#pragma once", "", "#include <cstdint>", "#include <optional>", "#include <string>",
           "#include <vector>", "", '#include "platform/bus/bus.h"',
           '#include "platform/bus/interface.h"', ""]
    for name, signals in interfaces:
        short = name.rsplit(".", 1)[1].lower()
        out += [f"namespace {namespace}::{short} {{", "",
                f'inline constexpr const char* kName = "{name}";', ""]
        for member, args in signals:
            signature = "".join(t for _, t in args)
            out += [f"// {member} ({', '.join(f'{t} {n}' for n, t in args)})",
                    f"struct {member} {{",
                    "    static constexpr const char* kInterface = kName;",
                    f'    static constexpr const char* kMember = "{member}";',
                    f'    static constexpr const char* kSignature = "{signature}";']
            out += [f"    {TYPES[t]} {field_name(n)}{{}};" for n, t in args]
            out += ["    platform::BusSignal signal() const;",
                    f"    static std::optional<{member}> of(const platform::BusSignal& s);",
                    "};", ""]
        out += ["// The interface as introspection describes it.",
                "const platform::InterfaceDescription& description();", "",
                f"}}  // namespace {namespace}::{short}", ""]
    return "\n".join(out)


def source(namespace, include, interfaces, sources):
    out = [f"// Generated from {', '.join(sources)} by interface_code.py: edit the XML, not this.",
           f'#include "{include}"', "", "#include <utility>", ""]
    for name, signals in interfaces:
        short = name.rsplit(".", 1)[1].lower()
        out += [f"namespace {namespace}::{short} {{", ""]
        for member, args in signals:
            fields = ", ".join(field_name(n) for n, _ in args)
            out += [f"platform::BusSignal {member}::signal() const {{",
                    f"    return platform::BusSignal{{kName, kMember, {{{fields}}}, {{}}}};",
                    "}", "",
                    f"std::optional<{member}> {member}::of(const platform::BusSignal& s) {{",
                    "    if (s.interface != kName || s.member != kMember) return std::nullopt;",
                    f"    {member} out;"]
            for i, (n, t) in enumerate(args):
                out += [f"    if (const auto* v = s.arg<{TYPES[t]}>({i}))",
                        f"        out.{field_name(n)} = *v;",
                        "    else",
                        "        return std::nullopt;"]
            out += ["    return out;", "}", ""]
        out += ["const platform::InterfaceDescription& description() {",
                "    static const platform::InterfaceDescription d{",
                "        kName,", "        {"]
        for member, args in signals:
            listed = ", ".join(f'{{"{n}", "{t}"}}' for n, t in args)
            out += [f'            {{"{member}", {{{listed}}}}},']
        out += ["        }};", "    return d;", "}", "",
                f"}}  // namespace {namespace}::{short}", ""]
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--namespace", required=True)
    parser.add_argument("--header", required=True, help="the header as sources include it")
    parser.add_argument("--out-header", required=True)
    parser.add_argument("--out-source", required=True)
    parser.add_argument("xml", nargs="+")
    a = parser.parse_args()
    try:
        interfaces = [i for path in a.xml for i in read(path)]
    except Refused as e:
        print(f"interface_code.py: {e}", file=sys.stderr)
        return 1
    names = [p.rsplit("/", 1)[-1] for p in a.xml]
    for path, text in ((a.out_header, header(a.namespace, interfaces, names)),
                       (a.out_source, source(a.namespace, a.header, interfaces, names))):
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
