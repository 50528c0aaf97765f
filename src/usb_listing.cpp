#include "usb_listing.hpp"

#include <cstdint>

namespace zun::usb {
namespace {

constexpr std::string_view kProductPrefix = "P:  ";
constexpr std::string_view kSerialKey = "SerialNumber=";

bool is_python_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0d) || (cp >= 0x1c && cp <= 0x20) || cp == 0x85 || cp == 0xa0 ||
           cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200a) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202f || cp == 0x205f || cp == 0x3000;
}

// Code point of the well-formed UTF-8 sequence of `len` bytes at `p`.
std::uint32_t decode(const unsigned char *p, std::size_t len) {
    if (len == 1) return p[0];
    std::uint32_t cp = p[0] & (0xff >> (len + 1));
    for (std::size_t i = 1; i < len; ++i) cp = (cp << 6) | (p[i] & 0x3f);
    return cp;
}

std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xe0) == 0xc0) return 2;
    if ((lead & 0xf0) == 0xe0) return 3;
    if ((lead & 0xf8) == 0xf0) return 4;
    return 0;  // continuation byte or invalid lead
}

bool is_continuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// The second piece of text.split(sep): what lies between the first and the
// second occurrence of sep (or the end); none when sep does not occur.
std::optional<std::string_view> second_piece(std::string_view text, std::string_view sep) {
    std::size_t first = text.find(sep);
    if (first == std::string_view::npos) return std::nullopt;
    std::size_t start = first + sep.size();
    std::size_t end = text.find(sep, start);
    return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

std::string_view before_blank(std::string_view piece) { return piece.substr(0, piece.find(' ')); }

bool is_shell_literal(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("@%+=:,./-_").find(c) != std::string_view::npos;
}

}  // namespace

std::string_view strip(std::string_view text) {
    const auto *data = reinterpret_cast<const unsigned char *>(text.data());
    std::size_t begin = 0, end = text.size();
    while (begin < end) {
        std::size_t len = sequence_length(data[begin]);
        if (len == 0 || begin + len > end || !is_python_space(decode(data + begin, len))) break;
        begin += len;
    }
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && is_continuation(data[start]) && end - start < 4) --start;
        std::size_t len = sequence_length(data[start]);
        if (len != end - start || !is_python_space(decode(data + start, len))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

bool is_product_line(std::string_view line) { return line.substr(0, kProductPrefix.size()) == kProductPrefix; }

std::optional<ProductIds> product_ids(std::string_view line) {
    if (!is_product_line(line)) return std::nullopt;
    std::string_view fields = *second_piece(line, kProductPrefix);
    // fields.split("=") must have at least three pieces.
    std::size_t eq1 = fields.find('=');
    if (eq1 == std::string_view::npos) return std::nullopt;
    std::size_t eq2 = fields.find('=', eq1 + 1);
    if (eq2 == std::string_view::npos) return std::nullopt;
    std::size_t eq3 = fields.find('=', eq2 + 1);
    std::string_view vendor_piece = fields.substr(eq1 + 1, eq2 - eq1 - 1);
    std::string_view product_piece =
        fields.substr(eq2 + 1, eq3 == std::string_view::npos ? std::string_view::npos : eq3 - eq2 - 1);
    return ProductIds{std::string(before_blank(vendor_piece)), std::string(before_blank(product_piece))};
}

std::optional<std::string_view> serial_number(std::string_view line) {
    auto piece = second_piece(line, kSerialKey);
    if (!piece) return std::nullopt;
    return strip(*piece);
}

std::vector<ResetTarget> find_reset_targets(std::string_view listing, std::string_view serial) {
    std::vector<ResetTarget> targets;
    std::optional<ProductIds> current;
    std::size_t pos = 0;
    while (true) {
        std::size_t nl = listing.find('\n', pos);
        std::string_view line = listing.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        if (is_product_line(line)) current = product_ids(line);
        if (auto read = serial_number(line); read && *read == serial) targets.push_back(ResetTarget{current});
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    return targets;
}

std::string shell_quote(std::string_view text) {
    bool literal = !text.empty();
    for (char c : text) literal = literal && is_shell_literal(c);
    if (literal) return std::string(text);
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\"'\"'";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string reset_command(std::string_view tool_path, const ProductIds &ids) {
    // "0x" followed by a quoted word is still one word for the shell.
    return shell_quote(tool_path) + " -v 0x" + shell_quote(ids.vendor) + " -p  0x" + shell_quote(ids.product) +
           " --reset-usb --verbose";
}

}  // namespace zun::usb
