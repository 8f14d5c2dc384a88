// Fuzz target: the GPS step on one reply text.
#include "fuzz_input.h"
#include "modem/internal.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::vector<char> reply = fuzzinput::Reply(data, size);
    // Each item in a heap area of its own size, so a field that runs over is caught.
    auto items = std::make_unique<char[][kGpsItemSize]>(kGpsItems);
    if (GpsSplit(reply.data(), items.get()))
        for (int i = 0; i < kGpsItems; ++i) fuzzinput::CheckTerminated(items[i], kGpsItemSize, "gps_item");

    str_gprmc[0] = '\0';
    GpsReport(reply.data());
    fuzzinput::CheckTerminated(str_gprmc, sizeof str_gprmc, "str_gprmc");
    std::size_t len = std::strlen(str_gprmc);
    fuzzinput::Check(len == 0 || (len >= 3 && std::strcmp(str_gprmc + len - 3, "*70") == 0), "sentence ends in *70");
    fuzzinput::Check(gps_flag == 0 || gps_flag == 1, "gps_flag 0 or 1");
    return 0;
}
