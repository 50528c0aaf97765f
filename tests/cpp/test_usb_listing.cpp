// Unit tests of the USB listing parser and the reset command line.
// Run by tests/test_recovery.py; prints "N passed, N failed".
#include <cstdio>
#include <string>
#include <vector>

#include "usb_listing.hpp"

using namespace zun::usb;

static int passed = 0, failed = 0;

#define CHECK(cond)                                                     \
    do {                                                                \
        if (cond) {                                                     \
            ++passed;                                                   \
        } else {                                                        \
            ++failed;                                                   \
            std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond); \
        }                                                               \
    } while (0)

static const char *kTwoCameras =
    "T:  Bus=02 Lev=00 Prnt=00 Port=00 Cnt=00 Dev#=  1 Spd=5000 MxCh= 4\n"
    "P:  Vendor=1d6b ProdID=0003 Rev=05.15\n"
    "S:  Manufacturer=Linux 5.15.0 xhci-hcd\n"
    "\n"
    "T:  Bus=02 Lev=01 Prnt=01 Port=00 Cnt=01 Dev#=  2 Spd=5000 MxCh= 0\n"
    "P:  Vendor=2676 ProdID=ba02 Rev=01.00\n"
    "S:  Product=a2A1920-160ucBAS\n"
    "S:  SerialNumber=40012345\n"
    "\n"
    "T:  Bus=02 Lev=01 Prnt=01 Port=01 Cnt=02 Dev#=  3 Spd=5000 MxCh= 0\n"
    "P:  Vendor=2676 ProdID=ba03 Rev=01.00\n"
    "S:  SerialNumber=40099999";

static void product_lines() {
    auto ids = product_ids("P:  Vendor=1234 ProdID=abcd Rev=01.00");
    CHECK(ids && ids->vendor == "1234" && ids->product == "abcd");
    // The last piece runs to the end of the line when there is no third "=".
    ids = product_ids("P:  Vendor=1234 ProdID=abcd");
    CHECK(ids && ids->product == "abcd");
    ids = product_ids("P:  Vendor=1234 ProdID=");
    CHECK(ids && ids->vendor == "1234" && ids->product.empty());
    // Fewer than two "=": no identifiers.
    CHECK(!product_ids("P:  Vendor=1234"));
    CHECK(!product_ids("P:  nothing here"));
    // Only "P:" followed by exactly two blanks at the start is a product line.
    CHECK(!is_product_line(" P:  Vendor=1 ProdID=2"));
    CHECK(!is_product_line("P: Vendor=1 ProdID=2"));
    CHECK(!product_ids("S:  Vendor=1 ProdID=2"));
    // A second prefix inside the line cuts the text after the first one.
    ids = product_ids("P:  Vendor=aa ProdID=bb P:  Vendor=cc ProdID=dd");
    CHECK(ids && ids->vendor == "aa" && ids->product == "bb");
}

static void serial_lines() {
    CHECK(serial_number("S:  SerialNumber=40012345") == std::string_view("40012345"));
    CHECK(serial_number("S:  SerialNumber=  40012345 \t\r") == std::string_view("40012345"));
    CHECK(serial_number("S:  SerialNumber=a SerialNumber=b") == std::string_view("a"));
    CHECK(serial_number("S:  SerialNumber=") == std::string_view(""));
    CHECK(!serial_number("S:  Product=a2A1920"));
    // Unicode blanks count as whitespace, as they do for Python's strip.
    CHECK(strip("\xc2\xa0" "abc\xe2\x80\x83") == "abc");
    CHECK(strip("\xc3\xa9t\xc3\xa9") == "\xc3\xa9t\xc3\xa9");
    CHECK(strip(" \t\n") == "");
}

static void scanning() {
    auto found = find_reset_targets(kTwoCameras, "40099999");
    CHECK(found.size() == 1 && found[0].ids && found[0].ids->product == "ba03");
    // The hub's identifiers are replaced by the camera's own product line.
    found = find_reset_targets(kTwoCameras, "40012345");
    CHECK(found.size() == 1 && found[0].ids && (*found[0].ids == ProductIds{"2676", "ba02"}));
    CHECK(find_reset_targets(kTwoCameras, "4001234").empty());
    CHECK(find_reset_targets(kTwoCameras, " 40012345").empty());
    CHECK(find_reset_targets("", "40012345").empty());
    // Every matching serial line is a target.
    std::string twice = std::string(kTwoCameras) + "\nP:  Vendor=2676 ProdID=ba04\nS:  SerialNumber=40012345";
    found = find_reset_targets(twice, "40012345");
    CHECK(found.size() == 2 && found[1].ids && found[1].ids->product == "ba04");
    // A serial line before any product line, or after a malformed one, has
    // no identifiers; a later good product line brings them back.
    found = find_reset_targets("S:  SerialNumber=X\nP:  Vendor=1 ProdID=2\nS:  SerialNumber=X", "X");
    CHECK(found.size() == 2 && !found[0].ids && found[1].ids && found[1].ids->vendor == "1");
    found = find_reset_targets("P:  Vendor=1 ProdID=2\nP:  Vendor=9\nS:  SerialNumber=X", "X");
    CHECK(found.size() == 1 && !found[0].ids);
}

static void command_lines() {
    CHECK(shell_quote("/opt/app/libs/usbcam_reset") == "/opt/app/libs/usbcam_reset");
    CHECK(shell_quote("/opt/my app") == "'/opt/my app'");
    CHECK(shell_quote("a'b") == "'a'\"'\"'b'");
    CHECK(shell_quote("") == "''");
    CHECK(shell_quote("x;rm -rf /") == "'x;rm -rf /'");
    CHECK(reset_command("./libs/usbcam_reset", {"2676", "ba02"}) ==
          "./libs/usbcam_reset -v 0x2676 -p  0xba02 --reset-usb --verbose");
    CHECK(reset_command("/a b/usbcam_reset", {"26;76", ""}) ==
          "'/a b/usbcam_reset' -v 0x'26;76' -p  0x'' --reset-usb --verbose");
}

int main() {
    product_lines();
    serial_lines();
    scanning();
    command_lines();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
