// usbcam_reset: resets every USB device with a given vendor and product id,
// the way a replug would, so that a camera stuck in a bad state enumerates
// afresh.  Devices are found through sysfs and reset through usbfs with
// the USBDEVFS_RESET ioctl.  See usage() for the options and exit codes.

#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

int usage_error(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\n", kProg, message.c_str());
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

// Parses the command line into *opts.  Returns -1 to go on, or the exit
// code to end with (after --help, or a usage error already reported).
int parse_args(int argc, char **argv, Options *opts)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::string value;
        bool inline_value = false;

        // --vendor=HEX and --product=HEX carry their value in the same word.
        if (arg.compare(0, 2, "--") == 0) {
            std::string::size_type eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.erase(eq);
                inline_value = true;
            }
        }

        if (arg == "-h" || arg == "--help") {
            if (inline_value)
                return usage_error("option " + arg + " takes no value");
            usage(stdout);
            return kExitOk;
        }
        if (arg == "--reset-usb" || arg == "--verbose") {
            if (inline_value)
                return usage_error("option " + arg + " takes no value");
            if (arg == "--reset-usb")
                opts->reset = true;
            else
                opts->verbose = true;
            continue;
        }

        bool is_vendor = (arg == "-v" || arg == "--vendor");
        bool is_product = (arg == "-p" || arg == "--product");
        if (!is_vendor && !is_product) {
            if (!arg.empty() && arg[0] == '-')
                return usage_error("unknown option '" + std::string(argv[i]) + "'");
            return usage_error("unexpected argument '" + arg + "'");
        }

        if (!inline_value) {
            if (i + 1 >= argc)
                return usage_error("option " + arg + " needs a hex id");
            value = argv[++i];
        }
        unsigned id;
        if (!parse_id(value, &id))
            return usage_error(std::string(is_vendor ? "vendor" : "product") +
                               " id '" + value + "' is not a hex number from 0 to 0xffff");
        if (is_vendor) {
            opts->vendor = id;
            opts->have_vendor = true;
        } else {
            opts->product = id;
            opts->have_product = true;
        }
    }

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

// Reads the first line of a small sysfs attribute file, without its newline.
// Returns false if the file cannot be read.
bool read_attr(const std::string &path, std::string *line)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::getline(in, *line);
    while (!line->empty() && (line->back() == '\n' || line->back() == ' ' || line->back() == '\r'))
        line->pop_back();
    return !in.bad();
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
        std::fprintf(stderr, "%s: cannot open %s: %s\n",
                     kProg, dev.node.c_str(), std::strerror(errno));
        return false;
    }
    if (ioctl(fd, USBDEVFS_RESET, 0) < 0) {
        int err = errno;
        close(fd);
        std::fprintf(stderr, "%s: cannot reset %s: %s\n",
                     kProg, dev.node.c_str(), std::strerror(err));
        return false;
    }
    close(fd);
    if (verbose)
        std::printf("reset %s: done\n", dev.node.c_str());
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
        std::printf("looking for USB device %s in %s\n", ids, sysfs.c_str());

    DIR *dir = opendir(sysfs.c_str());
    if (dir == nullptr) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n",
                     kProg, sysfs.c_str(), std::strerror(errno));
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
                     kProg, sysfs.c_str(), std::strerror(read_errno));
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
                         kProg, path.c_str(), ids);
            failed = true;
            continue;
        }
        char node_tail[32];
        std::snprintf(node_tail, sizeof node_tail, "/%03u/%03u", busnum, devnum);
        Device dev{path, devfs + node_tail};

        if (!opts.reset) {
            std::printf("would reset %s at %s, node %s\n",
                        ids, dev.sysfs_path.c_str(), dev.node.c_str());
            continue;
        }
        if (opts.verbose)
            std::printf("found %s at %s, node %s\n",
                        ids, dev.sysfs_path.c_str(), dev.node.c_str());
        if (!reset_device(dev, opts.verbose))
            failed = true;
    }

    if (found == 0) {
        std::fprintf(stderr, "%s: no USB device %s found in %s\n", kProg, ids, sysfs.c_str());
        return kExitNoDevice;
    }
    if (failed)
        return kExitResetFailed;
    if (opts.verbose && !opts.reset)
        std::printf("nothing reset: --reset-usb not given\n");
    return kExitOk;
}
