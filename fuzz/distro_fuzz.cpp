// Fuzzes the distro parse and upload: the input is the distro file, the card accepts everything.
// The parse must also agree, key for key and token for token, with a parse written with the
// scan formats that define the distro format.
#include "card.hpp"
#include "reference.hpp"

namespace {

// The (key, token, length) events of the updater's parse, walked the way install walks it.
std::vector<std::string> events(FILE *f)
{
    std::vector<std::string> out;
    char key[KEY_SIZE], value[VALUE_SIZE];
    size_t len = 0;
    bool newline = false;
    while (readkey(f, key)) {
        do {
            if (!readtoken(f, value, len, newline)) return out;
            out.push_back(std::string(key) + '\1' + value + '\1' + std::to_string(len));
        } while (!newline);
    }
    return out;
}

std::vector<std::string> parse(std::vector<std::string> (*walk)(FILE *))
{
    FILE *f = ::fopen(card::distropath().c_str(), "rb");
    std::vector<std::string> out = walk(f);
    ::fclose(f);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    card::reset(std::string(reinterpret_cast<const char *>(data), size));
    card::writedistro(data, size);
    if (parse(events) != parse(reference::events)) card::broken("parse differs from the scan formats", "");

    // The session's queries have been answered before the installer runs.
    card::sent = {SETTING_CMD, CRC_CMD, REVISION_CMD};
    int result = card::outcome([] { return install(1 << 20, card::distropath(), "rev3", "A1B2C3D4", "ttyF"); });
    // The card answers every command, so no run of the installer may end in a fatal exit.
    if (result < 0) card::broken("fatal exit with a card that answers", std::to_string(-result));
    card::checkrun(result, true);
    return 0;
}
