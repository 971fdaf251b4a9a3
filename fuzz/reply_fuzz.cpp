// Fuzzes the reply reader and the session's reply rules: the input is everything the card sends,
// cut into reads of sizes the input also chooses; the distro is fixed.
#include <fuzzer/FuzzedDataProvider.h>

#include "card.hpp"

namespace {

const char DISTRO[] = "support=rev3 r1 \nbegin=N0NCE\nfw_crc=A1B2C3D4\nfirmware=AAAA BBBB\nfirmware=CCCC\n";

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    card::writedistro(reinterpret_cast<const uint8_t *>(DISTRO), sizeof DISTRO - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    card::reset(DISTRO);
    card::scripted = true;
    FuzzedDataProvider input(data, size);
    // The first bytes give the sizes of the first reads; the rest is the card's byte stream.
    size_t reads = input.ConsumeIntegralInRange<size_t>(0, 16);
    for (size_t i = 0; i < reads; ++i) card::chunks.push_back(input.ConsumeIntegralInRange<size_t>(1, 80));
    card::stream = input.ConsumeRemainingBytesAsString();
    int result = card::outcome([] { return update("ttyF", card::distropath()); });
    // Running out of bytes reads as a hang-up (exit 10); nothing else may end the run.
    if (result < 0 && result != -10) card::broken("fatal exit other than 10", std::to_string(-result));
    card::checkrun(result, result >= 0);
    return 0;
}
