// usbcam_reset: resets every USB device with a given vendor and product id,
// the way a replug would, so that a camera stuck in a bad state enumerates
// afresh.  Devices are found through sysfs and reset through usbfs with
// the USBDEVFS_RESET ioctl.  See usage() for the options and exit codes.

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char *kProg = "usbcam_reset";

// Exit codes, also listed in usage().
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoDevice = 3;
constexpr int kExitResetFailed = 4;

constexpr const char *kDefaultSysfs = "/sys/bus/usb/devices";
constexpr const char *kDefaultDevfs = "/dev/bus/usb";

struct Options {
    unsigned vendor = 0;
    unsigned product = 0;
    bool have_vendor = false;
    bool have_product = false;
    bool reset = false;
    bool verbose = false;
};

struct Device {
    std::string sysfs_path;  // e.g. /sys/bus/usb/devices/2-1
    std::string node;        // e.g. /dev/bus/usb/002/003
};

void usage(FILE *out)
{
    std::fprintf(out,
        "Usage: %s -v VENDOR -p PRODUCT [--reset-usb] [--verbose]\n"
        "\n"
        "Finds every USB device whose vendor and product ids match and, with\n"
        "--reset-usb, resets each of them as if it had been unplugged and\n"
        "plugged in again.  Without --reset-usb the matching devices are only\n"
        "listed on stdout and nothing is reset.\n"
        "\n"
        "Options:\n"
        "  -v, --vendor HEX    vendor id, e.g. 0x2676 or 2676 (required)\n"
        "  -p, --product HEX   product id, e.g. 0xba02 or ba02 (required)\n"
        "      --reset-usb     reset the matching devices\n"
        "      --verbose       report each device found and each reset on stdout\n"
        "  -h, --help          show this help and exit\n"
        "\n"
        "Exit codes:\n"
        "  0  every matching device was reset (or, without --reset-usb, listed)\n"
        "  2  usage error\n"
        "  3  no matching device, or the USB device list could not be read\n"
        "  4  a matching device could not be opened or reset\n"
        "\n"
        "Environment:\n"
        "  USBCAM_RESET_SYSFS  where to look for devices (default %s)\n"
        "  USBCAM_RESET_DEVFS  where the device nodes are (default %s)\n",
        kProg, kDefaultSysfs, kDefaultDevfs);
}

// Text as printed: control characters and backslashes as \xNN escapes,
// so that a name cannot break a line of output or drive the terminal.
std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int usage_error(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\n", kProg, printable(message).c_str());
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kProg);
    return kExitUsage;
}

// Parses a 16-bit id written in hex, with or without a 0x prefix.
// Returns false on an empty string, a non-hex character or a value > 0xffff.
bool parse_id(const std::string &text, unsigned *id)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.erase(0, 2);
    if (digits.empty())
        return false;

    unsigned value = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        value = value * 16 + d;
        if (value > 0xffff)
            return false;
    }
    *id = value;
    return true;
}

// Long options; the values of those without a short form.
enum { kOptResetUsb = 256, kOptVerbose };
const struct option kLongOptions[] = {
    {"vendor", required_argument, nullptr, 'v'},
    {"product", required_argument, nullptr, 'p'},
    {"reset-usb", no_argument, nullptr, kOptResetUsb},
    {"verbose", no_argument, nullptr, kOptVerbose},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// The name of a long option as typed ("--vendor" of "--vendor=2676").
std::string long_name(const char *word)
{
    std::string name = word;
    std::string::size_type eq = name.find('=');
    return eq == std::string::npos ? name : name.substr(0, eq);
}

bool is_long_option(const char *word, const char *name)
{
    return long_name(word) == std::string("--") + name;
}

// Parses the command line into *opts.  Returns -1 to go on, or the exit
// code to end with (after --help, or a usage error already reported).
// Options are taken only as spelled in full (no abbreviations), and the
// first word that is not an option is an error.
int parse_args(int argc, char **argv, Options *opts)
{
    opterr = 0;  // every message is our own
    for (;;) {
        // Every option here either ends its word or takes the rest of it, so
        // optind is the word being read.
        const int at = optind;
        const char *word = at < argc ? argv[at] : "";
        if (std::strcmp(word, "-") == 0 || std::strcmp(word, "--") == 0)
            return usage_error("unknown option '" + std::string(word) + "'");

        int index = -1;
        const int c = getopt_long(argc, argv, "+:hv:p:", kLongOptions, &index);
        if (c == -1)
            break;
        if (index >= 0 && !is_long_option(word, kLongOptions[index].name))
            return usage_error("unknown option '" + std::string(word) + "'");

        switch (c) {
        case 'h':
            usage(stdout);
            return kExitOk;
        case kOptResetUsb:
            opts->reset = true;
            break;
        case kOptVerbose:
            opts->verbose = true;
            break;
        case 'v':
        case 'p': {
            unsigned id;
            if (!parse_id(optarg, &id))
                return usage_error(std::string(c == 'v' ? "vendor" : "product") +
                                   " id '" + optarg + "' is not a hex number from 0 to 0xffff");
            (c == 'v' ? opts->vendor : opts->product) = id;
            (c == 'v' ? opts->have_vendor : opts->have_product) = true;
            break;
        }
        case ':': {  // -v, -p, --vendor or --product as the last word
            const bool is_long = std::strncmp(word, "--", 2) == 0;
            if (is_long && !is_long_option(word, optopt == 'v' ? "vendor" : "product"))
                return usage_error("unknown option '" + std::string(word) + "'");
            return usage_error("option " + (is_long ? long_name(word) : word) + " needs a hex id");
        }
        default: {  // '?': unknown, or a value given to an option that takes none
            for (const struct option &o : kLongOptions) {
                if (o.name != nullptr && o.has_arg == no_argument && o.val == optopt &&
                    std::strchr(word, '=') != nullptr && is_long_option(word, o.name))
                    return usage_error("option " + long_name(word) + " takes no value");
            }
            return usage_error("unknown option '" + std::string(word) + "'");
        }
        }
    }
    if (optind < argc)
        return usage_error("unexpected argument '" + std::string(argv[optind]) + "'");

    if (!opts->have_vendor)
        return usage_error("missing vendor id (-v HEX)");
    if (!opts->have_product)
        return usage_error("missing product id (-p HEX)");
    return -1;
}

const char *env_or(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : fallback;
}

// The attributes read here (ids, bus and device numbers) are a few bytes.
constexpr size_t kAttrMax = 64;

// Reads the first line of a small sysfs attribute file, without its newline.
// Returns false if it cannot be read.  The tree may be any directory given
// through USBCAM_RESET_SYSFS, so only a regular file counts as an attribute
// (opened without blocking, so a FIFO cannot stall the open), only one read
// of at most kAttrMax bytes is made, and a first line that does not end
// within it counts as unreadable.
bool read_attr(const std::string &path, std::string *line)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    char buf[kAttrMax];
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        do
            n = read(fd, buf, sizeof buf);
        while (n < 0 && errno == EINTR);
    }
    close(fd);
    if (n < 0)
        return false;
    const char *end = static_cast<const char *>(std::memchr(buf, '\n', n));
    if (end == nullptr && n == static_cast<ssize_t>(sizeof buf))
        return false;
    line->assign(buf, end != nullptr ? static_cast<size_t>(end - buf) : static_cast<size_t>(n));
    while (!line->empty() && (line->back() == ' ' || line->back() == '\r'))
        line->pop_back();
    return true;
}

// Reads a decimal attribute such as busnum or devnum.
bool read_number_attr(const std::string &path, unsigned *number)
{
    std::string text;
    if (!read_attr(path, &text) || text.empty() || text.size() > 4)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    *number = value;
    return true;
}

// True if the sysfs entry at dir is a device (not an interface) with the
// sought ids.
bool entry_matches(const std::string &dir, const Options &opts)
{
    std::string text;
    unsigned vendor, product;
    if (!read_attr(dir + "/idVendor", &text) || !parse_id(text, &vendor))
        return false;
    if (!read_attr(dir + "/idProduct", &text) || !parse_id(text, &product))
        return false;
    return vendor == opts.vendor && product == opts.product;
}

// Resets the device at dev.node.  Returns false, having said why on stderr,
// if the node cannot be opened or the reset is refused.
bool reset_device(const Device &dev, bool verbose)
{
    int fd = open(dev.node.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        std::fprintf(stderr, "%s: cannot open %s: %s\n",
                     kProg, printable(dev.node).c_str(), std::strerror(err));
        return false;
    }
    if (ioctl(fd, USBDEVFS_RESET, 0) < 0) {
        int err = errno;
        close(fd);
        std::fprintf(stderr, "%s: cannot reset %s: %s\n",
                     kProg, printable(dev.node).c_str(), std::strerror(err));
        return false;
    }
    close(fd);
    if (verbose)
        std::printf("reset %s: done\n", printable(dev.node).c_str());
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    // Line buffering keeps progress on stdout in step with errors on stderr
    // when both go to one pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Options opts;
    int rc = parse_args(argc, argv, &opts);
    if (rc >= 0)
        return rc;

    const std::string sysfs = env_or("USBCAM_RESET_SYSFS", kDefaultSysfs);
    const std::string devfs = env_or("USBCAM_RESET_DEVFS", kDefaultDevfs);
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", opts.vendor, opts.product);

    if (opts.verbose)
        std::printf("looking for USB device %s in %s\n", ids, printable(sysfs).c_str());

    DIR *dir = opendir(sysfs.c_str());
    if (dir == nullptr) {
        int err = errno;
        std::fprintf(stderr, "%s: cannot read %s: %s\n",
                     kProg, printable(sysfs).c_str(), std::strerror(err));
        return kExitNoDevice;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    int read_errno = errno;
    closedir(dir);
    if (read_errno != 0) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n",
                     kProg, printable(sysfs).c_str(), std::strerror(read_errno));
        return kExitNoDevice;
    }
    std::sort(names.begin(), names.end());

    int found = 0;
    bool failed = false;
    for (const std::string &name : names) {
        const std::string path = sysfs + "/" + name;
        if (!entry_matches(path, opts))
            continue;
        found++;

        unsigned busnum, devnum;
        if (!read_number_attr(path + "/busnum", &busnum) ||
            !read_number_attr(path + "/devnum", &devnum)) {
            std::fprintf(stderr, "%s: %s matches %s but has no readable busnum/devnum\n",
                         kProg, printable(path).c_str(), ids);
            failed = true;
            continue;
        }
        char node_tail[32];
        std::snprintf(node_tail, sizeof node_tail, "/%03u/%03u", busnum, devnum);
        Device dev{path, devfs + node_tail};

        if (!opts.reset) {
            std::printf("would reset %s at %s, node %s\n",
                        ids, printable(dev.sysfs_path).c_str(), printable(dev.node).c_str());
            continue;
        }
        if (opts.verbose)
            std::printf("found %s at %s, node %s\n",
                        ids, printable(dev.sysfs_path).c_str(), printable(dev.node).c_str());
        if (!reset_device(dev, opts.verbose))
            failed = true;
    }

    if (found == 0) {
        std::fprintf(stderr, "%s: no USB device %s found in %s\n", kProg, ids, printable(sysfs).c_str());
        return kExitNoDevice;
    }
    if (failed)
        return kExitResetFailed;
    if (opts.verbose && !opts.reset)
        std::printf("nothing reset: --reset-usb not given\n");
    return kExitOk;
}
