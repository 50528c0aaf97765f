// libFuzzer target for the USB listing parser (scripts/fuzz builds and runs it).
//
// Input: "<serial>\0<listing>", or a bare listing (then the serial sought is
// the first one the listing shows).  Every input is parsed as it is, for the
// sanitizers; the listing the module gets is always valid UTF-8, so for the
// results the input is first made valid (each byte of a malformed sequence
// becomes U+FFFD) and they are compared with a plain reference: Python's
// str.split and str.strip written out character by character, and the shell's
// word splitting of the reset command.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "usb_listing.hpp"

using namespace zun::usb;

namespace {

void fail(const char *what, std::string_view text) {
    std::fprintf(stderr, "MISMATCH %s on \"", what);
    for (unsigned char c : text) std::fprintf(stderr, c >= 0x20 && c < 0x7f && c != '"' ? "%c" : "\\x%02x", c);
    std::fprintf(stderr, "\"\n");
    std::abort();
}

// ---- UTF-8: strict decoding (no overlong forms, no surrogates, at most U+10FFFF).

struct CodePoint {
    std::uint32_t value;
    std::size_t offset, length;  // bytes
};

// The code points of `text`, or none when it is not well-formed UTF-8.
std::optional<std::vector<CodePoint>> decode_strict(std::string_view text) {
    std::vector<CodePoint> out;
    std::size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        std::size_t n = b < 0x80 ? 1 : b >= 0xc2 && b <= 0xdf ? 2 : b >= 0xe0 && b <= 0xef ? 3 : b >= 0xf0 && b <= 0xf4 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return std::nullopt;
        std::uint32_t cp = n == 1 ? b : b & (0x7f >> n);
        for (std::size_t k = 1; k < n; ++k) {
            auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xc0) != 0x80) return std::nullopt;
            cp = cp << 6 | (c & 0x3f);
        }
        static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return std::nullopt;
        out.push_back({cp, i, n});
        i += n;
    }
    return out;
}

// `text` with every byte that is not part of a well-formed sequence replaced
// by U+FFFD.
std::string make_valid(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool ok = false;
        for (std::size_t n = 1; n <= 4 && i + n <= text.size() && !ok; ++n) {
            auto one = decode_strict(text.substr(i, n));
            if (one && one->size() == 1) {
                out.append(text.substr(i, n));
                i += n;
                ok = true;
            }
        }
        if (!ok) {
            out += "\xef\xbf\xbd";
            ++i;
        }
    }
    return out;
}

// ---- The reference: Python's str methods, one character at a time.

bool python_space(std::uint32_t cp) {
    // The characters for which Python's str.isspace() is true.
    static const std::uint32_t spaces[] = {0x09,   0x0a,   0x0b,   0x0c,   0x0d,   0x1c,   0x1d,   0x1e,   0x1f,
                                           0x20,   0x85,   0xa0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                           0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200a, 0x2028, 0x2029, 0x202f,
                                           0x205f, 0x3000};
    for (std::uint32_t s : spaces)
        if (cp == s) return true;
    return false;
}

std::string_view ref_strip(std::string_view text) {
    std::vector<CodePoint> cps = *decode_strict(text);
    std::size_t first = 0, last = cps.size();
    while (first < last && python_space(cps[first].value)) ++first;
    while (last > first && python_space(cps[last - 1].value)) --last;
    if (first == last) return text.substr(0, 0);
    std::size_t begin = cps[first].offset, end = cps[last - 1].offset + cps[last - 1].length;
    return text.substr(begin, end - begin);
}

// str.split(sep) for a non-empty separator.
std::vector<std::string_view> ref_split(std::string_view text, std::string_view sep) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0, i = 0;
    while (i + sep.size() <= text.size()) {
        if (text.substr(i, sep.size()) == sep) {
            pieces.push_back(text.substr(start, i - start));
            i += sep.size();
            start = i;
        } else {
            ++i;
        }
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::optional<ProductIds> ref_product_ids(std::string_view line) {
    if (!starts_with(line, "P:  ")) return std::nullopt;
    auto fields = ref_split(ref_split(line, "P:  ")[1], "=");
    if (fields.size() < 3) return std::nullopt;
    return ProductIds{std::string(ref_split(fields[1], " ")[0]), std::string(ref_split(fields[2], " ")[0])};
}

std::optional<std::string_view> ref_serial(std::string_view line) {
    auto pieces = ref_split(line, "SerialNumber=");
    if (pieces.size() < 2) return std::nullopt;
    return ref_strip(pieces[1]);
}

std::vector<std::optional<ProductIds>> ref_targets(std::string_view listing, std::string_view serial) {
    std::vector<std::optional<ProductIds>> targets;
    std::optional<ProductIds> current;
    for (std::string_view line : ref_split(listing, "\n")) {
        if (starts_with(line, "P:  ")) current = ref_product_ids(line);
        auto found = ref_serial(line);
        if (found && *found == serial) targets.push_back(current);
    }
    return targets;
}

bool shell_literal(char c) {
    // shlex.quote leaves a word alone when it has only these.
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '@' ||
           c == '%' || c == '+' || c == '=' || c == ':' || c == ',' || c == '.' || c == '/' || c == '-';
}

// The words the POSIX shell makes of `command`, for commands of literal
// characters, blanks, single and double quotes; none when anything else is
// outside quotes or one of $ ` \\ is inside double quotes (the shell would give
// it a meaning), or a quote is left open.
std::optional<std::vector<std::string>> shell_words(std::string_view command) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (char c : command) {
        if (quote == '\'' || quote == '"') {
            if (c == quote)
                quote = 0;
            else if (quote == '"' && (c == '$' || c == '`' || c == '\\'))
                return std::nullopt;
            else
                word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (c == ' ') {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else if (shell_literal(c)) {
            word += c;
            in_word = true;
        } else {
            return std::nullopt;
        }
    }
    if (quote) return std::nullopt;
    if (in_word) words.push_back(word);
    return words;
}

// ---- The checks.

void check_strip(std::string_view text) {
    std::string_view got = strip(text);
    if (got != ref_strip(text)) fail("strip", text);
    if (got.size() && got.data() < text.data()) fail("strip gives a view outside its text", text);
}

void check_line(std::string_view line) {
    if (!(product_ids(line) == ref_product_ids(line)) || is_product_line(line) != starts_with(line, "P:  "))
        fail("product line", line);
    if (serial_number(line) != ref_serial(line)) fail("serial line", line);
}

void check_command(std::string_view tool, const ProductIds &ids) {
    for (std::string_view word : {tool, std::string_view(ids.vendor), std::string_view(ids.product)}) {
        std::string quoted = shell_quote(word);
        bool literal = !word.empty();
        for (char c : word) literal = literal && shell_literal(c);
        if ((quoted == word) != literal) fail("shell quoting", word);
    }
    std::string command = reset_command(tool, ids);
    auto words = shell_words(command);
    std::vector<std::string> expected = {std::string(tool), "-v", "0x" + ids.vendor, "-p", "0x" + ids.product,
                                         "--reset-usb", "--verbose"};
    if (!words || *words != expected) fail("reset command", command);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view raw(reinterpret_cast<const char *>(data), size);

    // As it is, for the sanitizers: any bytes at all.
    strip(raw);
    for (const auto &target : find_reset_targets(raw, raw.substr(0, raw.find('\0'))))
        if (target.ids) reset_command(raw.substr(0, 16), *target.ids);

    std::string text = make_valid(raw);
    std::string_view input(text), serial, listing = input;
    if (std::size_t nul = input.find('\0'); nul != std::string_view::npos) {
        serial = input.substr(0, nul);
        listing = input.substr(nul + 1);
    } else {
        for (std::string_view line : ref_split(listing, "\n"))
            if (auto found = ref_serial(line)) {
                serial = *found;
                break;
            }
    }

    check_strip(input);
    for (std::string_view line : ref_split(listing, "\n")) {
        check_line(line);
        check_strip(line);
    }
    std::vector<std::optional<ProductIds>> got;
    for (const auto &target : find_reset_targets(listing, serial)) {
        got.push_back(target.ids);
        if (target.ids) check_command(serial, *target.ids);
    }
    if (got != ref_targets(listing, serial)) fail("reset targets", input);
    return 0;
}
