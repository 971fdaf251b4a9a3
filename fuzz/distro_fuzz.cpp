// Fuzzes the distro parse and upload: the input is the distro file, the card accepts everything.
#include "card.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    card::reset(std::string(reinterpret_cast<const char *>(data), size));
    card::writedistro(data, size);
    // The session's queries have been answered before the installer runs.
    card::sent = {SETTING_CMD, CRC_CMD, REVISION_CMD};
    int result = card::outcome([] { return install(1 << 20, card::distropath(), "rev3", "A1B2C3D4", "ttyF"); });
    // The card answers every command, so no run of the installer may end in a fatal exit.
    if (result < 0) card::broken("fatal exit with a card that answers", std::to_string(-result));
    card::checkrun(result, true);
    return 0;
}
