// lora-cards: the cards on the bus, as the updater identifies them. A card is a ttyACM terminal
// whose USB device carries the vendor id and one of the product ids of the updater's card table,
// which the build hands to this program (cardtable.h); the model's name and distro come from the
// same row. Each card is known by its USB port, which it keeps across reboots.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cards.h"
#include "cardtable.h"

namespace {

// A sysfs hex attribute of one to eight digits, or -1.
long hexattr(const std::string &path)
{
    std::string v = firstline(path);
    if (v.empty() || v.size() > 8 || v.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return -1;
    return strtol(v.c_str(), nullptr, 16);
}

const CardModel *cardmodel(long product)
{
    const CardModel *m = std::find_if(std::begin(CARD_MODELS), std::end(CARD_MODELS), [&](const CardModel &row) { return row.product == product; });
    return m == std::end(CARD_MODELS) ? nullptr : m;
}

}  // namespace

const char *modelname(long product)
{
    const CardModel *m = cardmodel(product);
    return m ? m->model : "?";
}

// The distro's file name, in distrodir().
std::string distroname(long product)
{
    const CardModel *m = cardmodel(product);
    return m ? strrchr(m->distro, '/') + 1 : "";
}

// Every distro's file name, once each, in the table's order.
std::vector<std::string> distronames()
{
    std::vector<std::string> names;
    for (const CardModel &m : CARD_MODELS)
        if (std::find(names.begin(), names.end(), distroname(m.product)) == names.end()) names.push_back(distroname(m.product));
    return names;
}

// Where the distros are, as the updater opens them (below LORA_ROOT for simulated cards).
std::string distrodir()
{
    std::string path = CARD_MODELS[0].distro;
    return path.substr(0, path.rfind('/'));
}

// A port name is a file name in the state directory.
bool goodport(const std::string &port)
{
    return !port.empty() && port[0] != '.' && port.size() < 64 &&
           port.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:_-") == std::string::npos;
}

// The serial number as the state keeps it: one line of printable characters.
std::string cleanserial(std::string s)
{
    std::replace_if(s.begin(), s.end(), [](char c) { return c < 0x21 || c > 0x7e; }, '_');
    return s;
}

// The cards on the bus: ttyACM terminals whose USB device has the cards' vendor id and one of
// their product ids, in the order of their ports.
std::vector<Card> scan(const std::string &root)
{
    std::vector<Card> cards;
    DIR *d = opendir((root + "/sys/class/tty").c_str());
    if (!d) return cards;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        std::string usb = root + "/sys/class/tty/";
        usb += name + "/device/..";
        if (name.rfind("ttyACM", 0) != 0 || hexattr(usb + "/idVendor") != CARD_VENDOR) continue;
        Card c;
        c.tty = name, c.product = hexattr(usb + "/idProduct");
        char *real = realpath(usb.c_str(), nullptr);
        if (real) c.port = strrchr(real, '/') + 1, free(real);
        if (!cardmodel(c.product) || !goodport(c.port)) continue;
        c.serial = cleanserial(firstline(usb + "/serial"));
        c.id = c.port + "#" + firstline(usb + "/busnum");
        c.id += "." + firstline(usb + "/devnum");
        c.id += "." + name;
        cards.push_back(c);
    }
    closedir(d);
    std::sort(cards.begin(), cards.end(), [](const Card &a, const Card &b) { return a.port < b.port; });
    return cards;
}
