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
    char key[KEY_SIZE], value[VALUE_SIZE], window[WINDOW_SIZE];
    size_t len = 0, at = 0, end = 0;
    bool newline = false;
    while (readkey(f, window, at, end, key)) {
        do {
            if (!readtoken(f, window, at, end, value, len, newline)) return out;
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
    std::string text(reinterpret_cast<const char *>(data), size);
    // When the first byte is odd, a padding line puts the input astride the end of the parse's
    // first read window, at a place the next two bytes choose.
    if (size >= 3 && (data[0] & 1)) {
        size_t shift = (data[1] | data[2] << 8) % 8192;
        text = "pad=" + std::string(WINDOW_SIZE - 1 - 6 - shift, 'p') + "\n" + text.substr(3);
    }
    card::reset(text);
    card::writedistro(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    if (parse(events) != parse(reference::events)) card::broken("parse differs from the scan formats", "");

    // The session's queries have been answered before the installer runs.
    card::sent = {SETTING_CMD, CRC_CMD, REVISION_CMD};
    int result = card::outcome([] { return install(1 << 20, card::distropath(), "rev3", "A1B2C3D4", "ttyF"); });
    // The card answers every command, so no run of the installer may end in a fatal exit.
    if (result < 0) card::broken("fatal exit with a card that answers", std::to_string(-result));
    card::checkrun(result, true);
    return 0;
}
