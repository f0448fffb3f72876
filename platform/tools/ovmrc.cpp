// The stand-in's resource compiler: turns a preprocessed resource script into a C++ source
// that gives the module the resources FindResourceW finds (platform/resource_section.h). It
// reads what this package's scripts hold: STRINGTABLE blocks, ICON files (split into
// RT_ICON images and their RT_GROUP_ICON directory, as the Windows resource compiler lays
// them out) and files of a named or numbered type. Anything else stops it with an error, so
// that no resource is silently left out.
//
// Usage: ovmrc <preprocessed script> <folder of the script> <output source>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::uint16_t rt_icon = 3;
constexpr std::uint16_t rt_string = 6;
constexpr std::uint16_t rt_rcdata = 10;
constexpr std::uint16_t rt_group_icon = 14;
// The exported name under which the loader finds a module's resources.
constexpr const char *section_symbol = "OvmResourceSection";

struct token {
    enum class kind { end, number, identifier, string, punct } what = kind::end;
    std::string text;               // identifier or punctuation
    std::uint32_t number = 0;
    std::vector<std::uint32_t> chars; // code points of a string
    int line = 0;
};

[[noreturn]] void fail(int line, const std::string &message)
{
    throw std::runtime_error("line " + std::to_string(line) + ": " + message);
}

// Decodes one UTF-8 sequence starting at text[*i].
std::uint32_t next_code_point(const std::string &text, size_t *i, int line)
{
    const auto byte = [&](size_t k) { return (std::uint32_t)(unsigned char)text[k]; };
    const std::uint32_t first = byte(*i);
    int extra = first < 0x80 ? 0 : (first >> 5) == 0x6 ? 1 : (first >> 4) == 0xE ? 2 : (first >> 3) == 0x1E ? 3 : -1;
    if (extra < 0) {
        fail(line, "text that is not UTF-8");
    }
    std::uint32_t value = extra == 0 ? first : first & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        if (*i + (size_t)k >= text.size() || (byte(*i + (size_t)k) & 0xC0) != 0x80) {
            fail(line, "text that is not UTF-8");
        }
        value = (value << 6) | (byte(*i + (size_t)k) & 0x3F);
    }
    *i += (size_t)extra + 1;
    return value;
}

class lexer {
public:
    explicit lexer(std::string text) : m_text(std::move(text)) {}

    token next()
    {
        skip_space();
        token t;
        t.line = m_line;
        if (m_pos >= m_text.size()) {
            return t;
        }
        const char c = m_text[m_pos];
        if (c == '"' || (c == 'L' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '"')) {
            m_pos += c == 'L' ? 2 : 1;
            t.what = token::kind::string;
            read_string(&t);
        } else if (std::isdigit((unsigned char)c)) {
            t.what = token::kind::number;
            size_t used = 0;
            t.number = (std::uint32_t)std::stoul(m_text.substr(m_pos), &used, 0);
            m_pos += used;
            while (m_pos < m_text.size() && (m_text[m_pos] == 'L' || m_text[m_pos] == 'l' || m_text[m_pos] == 'U' ||
                                             m_text[m_pos] == 'u')) {
                ++m_pos;
            }
        } else if (std::isalpha((unsigned char)c) || c == '_') {
            t.what = token::kind::identifier;
            while (m_pos < m_text.size() && (std::isalnum((unsigned char)m_text[m_pos]) || m_text[m_pos] == '_')) {
                t.text.push_back(m_text[m_pos++]);
            }
        } else {
            t.what = token::kind::punct;
            t.text = std::string(1, c);
            ++m_pos;
        }
        return t;
    }

private:
    void skip_space()
    {
        for (;;) {
            while (m_pos < m_text.size() && std::isspace((unsigned char)m_text[m_pos])) {
                m_line += m_text[m_pos] == '\n' ? 1 : 0;
                ++m_pos;
            }
            // Line markers and pragmas the preprocessor leaves behind.
            if (m_pos < m_text.size() && m_text[m_pos] == '#') {
                while (m_pos < m_text.size() && m_text[m_pos] != '\n') {
                    ++m_pos;
                }
                continue;
            }
            return;
        }
    }

    void read_string(token *t)
    {
        for (;;) {
            if (m_pos >= m_text.size() || m_text[m_pos] == '\n') {
                fail(t->line, "unterminated string");
            }
            const char c = m_text[m_pos];
            if (c == '"') {
                ++m_pos;
                if (m_pos < m_text.size() && m_text[m_pos] == '"') { // "" is a quote character
                    t->chars.push_back('"');
                    ++m_pos;
                    continue;
                }
                return;
            }
            if (c == '\\' && m_pos + 1 < m_text.size()) {
                const char e = m_text[m_pos + 1];
                m_pos += 2;
                switch (e) {
                case 'n': t->chars.push_back('\n'); break;
                case 'r': t->chars.push_back('\r'); break;
                case 't': t->chars.push_back('\t'); break;
                case 'a': t->chars.push_back('\a'); break;
                case '0': t->chars.push_back(0); break;
                case '\\': t->chars.push_back('\\'); break;
                case '"': t->chars.push_back('"'); break;
                case 'x': {
                    size_t used = 0;
                    t->chars.push_back((std::uint32_t)std::stoul(m_text.substr(m_pos, 4), &used, 16));
                    m_pos += used;
                    break;
                }
                default: fail(t->line, std::string("unknown escape \\") + e);
                }
                continue;
            }
            t->chars.push_back(next_code_point(m_text, &m_pos, t->line));
        }
    }

    std::string m_text;
    size_t m_pos = 0;
    int m_line = 1;
};

// A type or name: a number, or an upper-case name.
struct resource_id {
    std::uint16_t number = 0;
    std::string name;
    bool operator<(const resource_id &o) const { return number != o.number ? number < o.number : name < o.name; }
};

struct resource {
    resource_id type;
    resource_id name;
    std::vector<std::uint8_t> bytes;      // every type but strings
    std::vector<std::uint32_t> wide;      // string blocks, in WCHAR units
};

std::vector<std::uint8_t> read_file(const std::string &path, int line)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        fail(line, "cannot read " + path);
    }
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::uint16_t read_u16(const std::vector<std::uint8_t> &b, size_t at)
{
    return (std::uint16_t)(b[at] | (b[at + 1] << 8));
}

std::uint32_t read_u32(const std::vector<std::uint8_t> &b, size_t at)
{
    return (std::uint32_t)b[at] | ((std::uint32_t)b[at + 1] << 8) | ((std::uint32_t)b[at + 2] << 16) |
           ((std::uint32_t)b[at + 3] << 24);
}

void put_u16(std::vector<std::uint8_t> *b, std::uint16_t v)
{
    b->push_back((std::uint8_t)v);
    b->push_back((std::uint8_t)(v >> 8));
}

class compiler {
public:
    compiler(std::string text, std::string folder) : m_lex(std::move(text)), m_folder(std::move(folder))
    {
        advance();
    }

    void run()
    {
        while (m_tok.what != token::kind::end) {
            statement();
        }
        flush_strings();
    }

    const std::map<std::pair<resource_id, resource_id>, resource> &resources() const { return m_resources; }

private:
    void advance() { m_tok = m_lex.next(); }

    bool is_word(const char *word) const { return m_tok.what == token::kind::identifier && m_tok.text == word; }
    bool is_punct(char c) const { return m_tok.what == token::kind::punct && m_tok.text[0] == c; }

    std::uint32_t expression()
    {
        std::uint32_t value = term();
        while (is_punct('|') || is_punct('+')) {
            const bool plus = is_punct('+');
            advance();
            const std::uint32_t right = term();
            value = plus ? value + right : value | right;
        }
        return value;
    }

    std::uint32_t term()
    {
        if (is_punct('(')) {
            advance();
            const std::uint32_t value = expression();
            expect_punct(')');
            return value;
        }
        if (is_punct('-')) {
            advance();
            return (std::uint32_t)-term();
        }
        if (m_tok.what != token::kind::number) {
            fail(m_tok.line, "a number was expected");
        }
        const std::uint32_t value = m_tok.number;
        advance();
        return value;
    }

    void expect_punct(char c)
    {
        if (!is_punct(c)) {
            fail(m_tok.line, std::string("'") + c + "' was expected");
        }
        advance();
    }

    bool begin_block()
    {
        if (is_word("BEGIN") || is_punct('{')) {
            advance();
            return true;
        }
        return false;
    }

    bool end_block()
    {
        if (is_word("END") || is_punct('}')) {
            advance();
            return true;
        }
        return false;
    }

    resource_id id()
    {
        resource_id result;
        if (m_tok.what == token::kind::identifier) {
            for (char c : m_tok.text) {
                result.name.push_back((char)std::toupper((unsigned char)c));
            }
            advance();
        } else {
            const std::uint32_t value = expression();
            if (value == 0 || value > 0xFFFF) {
                fail(m_tok.line, "an ID must be 1 to 65535");
            }
            result.number = (std::uint16_t)value;
        }
        return result;
    }

    void skip_memory_options()
    {
        static const char *const options[] = {"DISCARDABLE", "MOVEABLE", "FIXED",  "PURE",
                                               "IMPURE",      "PRELOAD",  "LOADONCALL", "SHARED", "NONSHARED"};
        for (;;) {
            bool skipped = false;
            for (const char *option : options) {
                if (is_word(option)) {
                    advance();
                    skipped = true;
                }
            }
            if (!skipped) {
                return;
            }
        }
    }

    void statement()
    {
        const int line = m_tok.line;
        if (is_word("LANGUAGE")) {
            advance();
            expression();
            expect_punct(',');
            expression();
            return;
        }
        if (is_word("STRINGTABLE")) {
            advance();
            skip_memory_options();
            string_table();
            return;
        }
        const resource_id name = id();
        if (m_tok.what != token::kind::identifier && m_tok.what != token::kind::number) {
            fail(line, "a resource type was expected");
        }
        const bool icon = is_word("ICON");
        resource_id type;
        if (is_word("RCDATA")) {
            advance();
            type.number = rt_rcdata;
        } else if (!icon) {
            static const char *const unsupported[] = {"DIALOG", "DIALOGEX", "MENU", "MENUEX", "ACCELERATORS",
                                                      "VERSIONINFO", "BITMAP", "CURSOR", "FONT", "HTML",
                                                      "MESSAGETABLE", "TEXTINCLUDE"};
            for (const char *word : unsupported) {
                if (is_word(word)) {
                    fail(line, std::string(word) + " resources are not supported");
                }
            }
            type = id();
        } else {
            advance();
        }
        skip_memory_options();
        if (m_tok.what != token::kind::string) {
            fail(line, "a file name was expected");
        }
        std::string file;
        for (std::uint32_t c : m_tok.chars) {
            file.push_back(c == '\\' ? '/' : (char)c);
        }
        advance();
        const std::vector<std::uint8_t> bytes = read_file(m_folder + "/" + file, line);
        if (icon) {
            add_icon(name, bytes, line);
        } else {
            add(type, name, bytes, line);
        }
    }

    void add(const resource_id &type, const resource_id &name, std::vector<std::uint8_t> bytes, int line)
    {
        resource r;
        r.type = type;
        r.name = name;
        r.bytes = std::move(bytes);
        if (!m_resources.emplace(std::make_pair(type, name), std::move(r)).second) {
            fail(line, "a resource of that type and name exists already");
        }
    }

    // An icon file: a directory of images, each a bitmap or PNG image of its own. Every image
    // becomes an RT_ICON resource numbered in order through the module; the group keeps the
    // directory with the image numbers in place of the file offsets.
    void add_icon(const resource_id &name, const std::vector<std::uint8_t> &file, int line)
    {
        if (file.size() < 6 || read_u16(file, 0) != 0 || read_u16(file, 2) != 1 || read_u16(file, 4) == 0) {
            fail(line, "not an icon file");
        }
        const std::uint16_t count = read_u16(file, 4);
        if (file.size() < 6 + 16 * (size_t)count) {
            fail(line, "icon directory cut short");
        }
        std::vector<std::uint8_t> group;
        put_u16(&group, 0);
        put_u16(&group, 1);
        put_u16(&group, count);
        for (std::uint16_t i = 0; i < count; ++i) {
            const size_t entry = 6 + 16 * (size_t)i;
            const std::uint32_t size = read_u32(file, entry + 8);
            const std::uint32_t offset = read_u32(file, entry + 12);
            if (offset > file.size() || size > file.size() - offset) {
                fail(line, "icon image outside the file");
            }
            const std::uint16_t image = ++m_icon_ids;
            resource_id type;
            type.number = rt_icon;
            resource_id image_name;
            image_name.number = image;
            add(type, image_name, std::vector<std::uint8_t>(file.begin() + offset, file.begin() + offset + size), line);
            group.insert(group.end(), file.begin() + (long)entry, file.begin() + (long)entry + 12);
            put_u16(&group, image);
        }
        resource_id type;
        type.number = rt_group_icon;
        add(type, name, std::move(group), line);
    }

    void string_table()
    {
        if (!begin_block()) {
            fail(m_tok.line, "BEGIN was expected");
        }
        while (!end_block()) {
            const int line = m_tok.line;
            const std::uint32_t number = expression();
            if (number > 0xFFFF) {
                fail(line, "a string ID must be 0 to 65535");
            }
            if (is_punct(',')) {
                advance();
            }
            if (m_tok.what != token::kind::string) {
                fail(line, "a string was expected");
            }
            if (!m_strings.emplace((std::uint16_t)number, m_tok.chars).second) {
                fail(line, "string " + std::to_string(number) + " is defined twice");
            }
            advance();
        }
    }

    // Strings go in blocks of sixteen, each a count and its characters; block n + 1 holds the
    // strings 16 n to 16 n + 15.
    void flush_strings()
    {
        std::map<std::uint16_t, std::vector<std::uint32_t>> blocks;
        for (const auto &entry : m_strings) {
            blocks[(std::uint16_t)((entry.first >> 4) + 1)];
        }
        for (auto &block : blocks) {
            for (std::uint32_t slot = 0; slot < 16; ++slot) {
                const std::uint32_t number = ((std::uint32_t)(block.first - 1) << 4) + slot;
                auto text = m_strings.find((std::uint16_t)number);
                if (text == m_strings.end()) {
                    block.second.push_back(0);
                    continue;
                }
                block.second.push_back((std::uint32_t)text->second.size());
                block.second.insert(block.second.end(), text->second.begin(), text->second.end());
            }
            resource r;
            r.type.number = rt_string;
            r.name.number = block.first;
            r.wide = block.second;
            m_resources.emplace(std::make_pair(r.type, r.name), std::move(r));
        }
    }

    lexer m_lex;
    std::string m_folder;
    token m_tok;
    std::uint16_t m_icon_ids = 0;
    std::map<std::uint16_t, std::vector<std::uint32_t>> m_strings;
    std::map<std::pair<resource_id, resource_id>, resource> m_resources;
};

std::string wide_literal(const std::string &name)
{
    return name.empty() ? "nullptr" : "L\"" + name + "\"";
}

std::string generate(const std::map<std::pair<resource_id, resource_id>, resource> &resources,
                     const std::string &script)
{
    std::ostringstream out;
    out << "// Generated by ovmrc from " << script << ".\n";
    out << "#include <platform/resource_section.h>\n\nnamespace {\n\n";
    size_t index = 0;
    for (const auto &entry : resources) {
        const resource &r = entry.second;
        if (!r.wide.empty()) {
            out << "const WCHAR data" << index << "[] = {";
            for (size_t i = 0; i < r.wide.size(); ++i) {
                out << (i % 16 == 0 ? "\n    " : " ") << r.wide[i] << ",";
            }
        } else {
            out << "alignas(8) const unsigned char data" << index << "[] = {";
            for (size_t i = 0; i < r.bytes.size(); ++i) {
                out << (i % 24 == 0 ? "\n    " : "") << (unsigned)r.bytes[i] << ",";
            }
            if (r.bytes.empty()) {
                out << "0";
            }
        }
        out << "\n};\n\n";
        ++index;
    }
    out << "const platform::resource_entry entries[] = {\n";
    index = 0;
    for (const auto &entry : resources) {
        const resource &r = entry.second;
        out << "    {" << r.type.number << ", " << wide_literal(r.type.name) << ", " << r.name.number << ", "
            << wide_literal(r.name.name) << ", data" << index << ", "
            << (r.wide.empty() ? std::to_string(r.bytes.size()) : "sizeof(data" + std::to_string(index) + ")")
            << "},\n";
        ++index;
    }
    if (resources.empty()) {
        out << "    {0, nullptr, 0, nullptr, nullptr, 0},\n";
    }
    out << "};\n\n} // namespace\n\n";
    out << "extern \"C\" __attribute__((visibility(\"default\"))) const platform::resource_section "
        << section_symbol << ";\n";
    out << "const platform::resource_section " << section_symbol << " = {entries, " << resources.size()
        << "};\n";
    return out.str();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: ovmrc <preprocessed script> <script folder> <output source>\n");
        return 2;
    }
    try {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            throw std::runtime_error(std::string("cannot read ") + argv[1]);
        }
        std::stringstream text;
        text << in.rdbuf();
        compiler c(text.str(), argv[2]);
        c.run();
        const std::string source = generate(c.resources(), argv[1]);
        std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
        out << source;
        if (!out) {
            throw std::runtime_error(std::string("cannot write ") + argv[3]);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "ovmrc: %s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
