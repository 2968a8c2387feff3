// Build-time generator: reads the seven string tables, checks that they agree with English on
// keys and placeholders, and writes the compiled-in tables plus one typed accessor per key.
//
//   tolva-strings-gen <strings-dir> <out-tables.cpp> <out-accessors.h> <out-accessors.cpp>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Raw value and C++ case name, in declaration order of AppLanguage.
const std::vector<std::pair<std::string, std::string>> languages = {
    {"en", "en"}, {"zh-Hans", "zhHans"}, {"zh-Hant", "zhHant"}, {"de", "de"},
    {"fr", "fr"}, {"ja", "ja"},          {"ko", "ko"},
};

const std::set<std::string> cppKeywords = {
    "alignas",  "alignof",  "and",    "asm",      "auto",      "bool",      "break",    "case",     "catch",
    "char",     "class",    "const",  "continue", "default",   "delete",    "do",       "double",   "else",
    "enum",     "explicit", "export", "extern",   "false",     "float",     "for",      "friend",   "goto",
    "if",       "inline",   "int",    "long",     "mutable",   "namespace", "new",      "noexcept", "not",
    "nullptr",  "operator", "or",     "private",  "protected", "public",    "register", "return",   "short",
    "signed",   "sizeof",   "static", "struct",   "switch",    "template",  "this",     "throw",    "true",
    "try",      "typedef",  "typeid", "typename", "union",     "unsigned",  "using",    "virtual",  "void",
    "volatile", "while",    "xor"};

struct Placeholder {
    int position; // 1-based argument index
    bool isString;
};

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "tolva-strings-gen: " << message << "\n";
    std::exit(1);
}

// Placeholders of a printf-style template, by argument position ("%%" is not one).
std::vector<Placeholder> placeholders(const std::string& text, const std::string& where) {
    static const std::regex spec(R"(%(?:(\d+)\$)?(@|lld|ld|d|%))");
    std::vector<Placeholder> found;
    int sequential = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), spec); it != std::sregex_iterator(); ++it) {
        const std::string conversion = (*it)[2];
        if (conversion == "%")
            continue;
        int position = (*it)[1].matched ? std::stoi((*it)[1]) : ++sequential;
        found.push_back({position, conversion == "@"});
    }
    // A stray '%' that is not a known conversion is a typo in a table.
    std::string stripped = std::regex_replace(text, spec, "");
    if (stripped.find('%') != std::string::npos)
        fail(where + ": unknown placeholder in \"" + text + "\"");
    std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.position < b.position; });
    for (std::size_t i = 0; i < found.size(); ++i)
        if (found[i].position != static_cast<int>(i) + 1)
            fail(where + ": placeholders must number 1..n without gaps in \"" + text + "\"");
    return found;
}

std::string signature(const std::vector<Placeholder>& ps) {
    std::string s;
    for (auto& p : ps)
        s += p.isString ? '@' : 'd';
    return s;
}

// A C string literal that survives any source character set: every byte outside printable
// ASCII becomes a three-digit octal escape.
std::string literal(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F && c != '?') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
        }
    }
    return out + "\"";
}

std::vector<std::string> split(const std::string& key) {
    std::vector<std::string> parts;
    std::stringstream ss(key);
    for (std::string part; std::getline(ss, part, '.');)
        parts.push_back(part);
    return parts;
}

std::string identifier(std::string name) {
    return cppKeywords.count(name) ? name + "_" : name;
}

std::string capitalized(std::string name) {
    name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    return name;
}

void writeFile(const std::string& path, const std::string& content) {
    // Leave an unchanged file alone so dependants are not rebuilt.
    std::ifstream in(path, std::ios::binary);
    std::string old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in && old == content)
        return;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        fail("cannot write " + path);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        fail("usage: tolva-strings-gen <strings-dir> <tables.cpp> <accessors.h> <accessors.cpp>");
    const std::string dir = argv[1];

    std::vector<std::map<std::string, std::string>> tables;
    for (auto& [raw, name] : languages) {
        std::ifstream in(dir + "/" + raw + ".json");
        if (!in)
            fail("missing table " + raw + ".json");
        nlohmann::json json;
        try {
            json = nlohmann::json::parse(in);
        } catch (const std::exception& e) {
            fail(raw + ".json: " + e.what());
        }
        if (!json.is_object())
            fail(raw + ".json: not a JSON object");
        std::map<std::string, std::string> table;
        for (auto& [key, value] : json.items()) {
            if (!value.is_string())
                fail(raw + ".json: \"" + key + "\" is not a string");
            table[key] = value.get<std::string>();
        }
        tables.push_back(std::move(table));
    }

    const auto& english = tables[0];
    std::map<std::string, std::vector<Placeholder>> shapes;
    for (auto& [key, text] : english)
        shapes[key] = placeholders(text, "en.json \"" + key + "\"");
    for (std::size_t i = 1; i < tables.size(); ++i) {
        const std::string& raw = languages[i].first;
        for (auto& [key, text] : tables[i]) {
            auto shape = english.count(key) ? shapes[key] : std::vector<Placeholder>{};
            if (!english.count(key))
                fail(raw + ".json: \"" + key + "\" is not an English key");
            if (signature(placeholders(text, raw + ".json \"" + key + "\"")) != signature(shape))
                fail(raw + ".json: \"" + key + "\" has other placeholders than English");
        }
        for (auto& [key, text] : english)
            if (!tables[i].count(key))
                fail(raw + ".json: missing \"" + key + "\"");
    }

    // Tables: one sorted array of (key, text) per language, in AppLanguage order.
    std::ostringstream cpp;
    cpp << "// Generated by tolva-strings-gen from TolvaCore/strings; do not edit.\n"
        << "#include \"StringTables.h\"\n\nnamespace tolva::strings {\nnamespace {\n";
    for (std::size_t i = 0; i < tables.size(); ++i) {
        cpp << "constexpr Entry table_" << languages[i].second << "[] = {\n";
        for (auto& [key, text] : tables[i])
            cpp << "    {" << literal(key) << ", " << literal(text) << "},\n";
        cpp << "};\n";
    }
    cpp << "} // namespace\n\nconst std::array<std::span<const Entry>, languageCount> tables = {{\n";
    for (auto& [raw, name] : languages)
        cpp << "    table_" << name << ",\n";
    cpp << "}};\n\n} // namespace tolva::strings\n";

    // Accessors: nested namespaces mirroring the key path, one function per key.
    std::ostringstream header, source;
    header << "// Generated by tolva-strings-gen from TolvaCore/strings; do not edit.\n"
           << "// One accessor per localisation key: \"unlock.error.retryAfter\" is\n"
           << "// tolva::L10n::Unlock::Error::retryAfter(...).\n#pragma once\n\n"
           << "#include <cstdint>\n#include <string>\n#include <string_view>\n\n"
           << "namespace tolva::L10n {\n";
    source << "// Generated by tolva-strings-gen from TolvaCore/strings; do not edit.\n"
           << "#include \"TolvaCore/L10n.h\"\n\nnamespace tolva::L10n {\n";
    std::vector<std::string> open;
    auto reopen = [&](const std::vector<std::string>& path) {
        std::size_t common = 0;
        while (common < open.size() && common < path.size() && open[common] == path[common])
            ++common;
        while (open.size() > common) {
            header << std::string(open.size() - 1, ' ') << "} // namespace " << open.back() << "\n";
            source << "} // namespace " << open.back() << "\n";
            open.pop_back();
        }
        while (open.size() < path.size()) {
            header << std::string(open.size(), ' ') << "namespace " << path[open.size()] << " {\n";
            source << "namespace " << path[open.size()] << " {\n";
            open.push_back(path[open.size()]);
        }
    };
    for (auto& [key, text] : english) {
        auto parts = split(key);
        std::vector<std::string> path;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i)
            path.push_back(capitalized(parts[i]));
        reopen(path);
        const std::string fn = identifier(parts.back());
        std::string params, args;
        for (auto& p : shapes[key]) {
            std::string name = "arg" + std::to_string(p.position);
            params += std::string(params.empty() ? "" : ", ") +
                      (p.isString ? "std::string_view " : "std::int64_t ") + name;
            args += ", " + name;
        }
        std::string indent(open.size(), ' ');
        header << indent << "/// " << literal(key) << "\n"
               << indent << "std::string " << fn << "(" << params << ");\n";
        source << "std::string " << fn << "(" << params << ") { return "
               << (shapes[key].empty() ? "string(" + literal(key) + ")"
                                       : "format(" + literal(key) + args + ")")
               << "; }\n";
    }
    reopen({});
    header << "} // namespace tolva::L10n\n";
    source << "} // namespace tolva::L10n\n";

    writeFile(argv[2], cpp.str());
    writeFile(argv[3], header.str());
    writeFile(argv[4], source.str());
    return 0;
}
