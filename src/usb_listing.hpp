// The USB device listing as printed by `usb-devices`, and the reset tool's
// command line.  Plain C++ on UTF-8 text; nothing here touches Python.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zun::usb {

// Vendor and product identifiers as the listing prints them (hex digits, no
// prefix), neither converted nor validated.
struct ProductIds {
    std::string vendor;
    std::string product;
    bool operator==(const ProductIds &o) const { return vendor == o.vendor && product == o.product; }
};

// One serial line that matched: the identifiers of the product line seen
// last before it, or none when there was no usable product line.
struct ResetTarget {
    std::optional<ProductIds> ids;
};

// Leading and trailing whitespace removed, with the whitespace of Python's
// str.strip (ASCII controls 9-13 and 28-31, blank, and the Unicode spaces).
std::string_view strip(std::string_view text);

// A product line ("P:  Vendor=1234 ProdID=abcd Rev=01.00") gives its vendor
// and product identifiers; a line without the "P:  " prefix gives nothing,
// and so does a product line with fewer than two "=" after the prefix.
bool is_product_line(std::string_view line);
std::optional<ProductIds> product_ids(std::string_view line);

// The serial number on a line holding "SerialNumber=", stripped.
std::optional<std::string_view> serial_number(std::string_view line);

// Scans the listing (already stripped of surrounding whitespace) line by
// line and returns one target per serial line equal to `serial`, in listing
// order.  Each product line replaces the identifiers in effect; a malformed
// one leaves them unknown until the next good product line.
std::vector<ResetTarget> find_reset_targets(std::string_view listing, std::string_view serial);

// `text` quoted for the POSIX shell: left as it is when it consists only of
// characters the shell takes literally, otherwise in single quotes.
std::string shell_quote(std::string_view text);

// The reset tool's command line; the shell gives the tool exactly six
// arguments: -v 0x<vendor> -p 0x<product> --reset-usb --verbose.
std::string reset_command(std::string_view tool_path, const ProductIds &ids);

}  // namespace zun::usb
