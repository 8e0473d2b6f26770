// Open-door log images as the collector and the data cards hold them.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "collector_bench.h"
#include "datacard_bench.h"
#include "ic_bench.h"

namespace bench {

OpenDoorSlot MakeOpenDoorSlot(std::array<uint8_t, 4> card, int yearSince2000, int kind, int month,
                              int day, int hour, int minute) {
    return OpenDoorSlot{{card[0], card[1], card[2], card[3], static_cast<uint8_t>(yearSince2000),
                         static_cast<uint8_t>(((kind & 0x0F) << 4) | (month & 0x0F)),
                         static_cast<uint8_t>(day), static_cast<uint8_t>(hour),
                         static_cast<uint8_t>(minute)}};
}

std::vector<uint8_t> OpenDoorLogImage(std::array<uint8_t, 3> header,
                                      const std::vector<OpenDoorSlot> &slots) {
    if (slots.size() > kLogMaxSlots) throw std::invalid_argument("an open-door log holds at most 200 slots");
    std::vector<uint8_t> image(kLogSlotsOffset + kLogSlotSize * slots.size(), 0);
    std::copy(header.begin(), header.end(), image.begin() + kLogHeaderOffset);
    for (size_t k = 0; k < slots.size(); ++k)
        std::copy(slots[k].begin(), slots[k].end(), image.begin() + kLogSlotsOffset + kLogSlotSize * k);
    return image;
}

std::vector<uint8_t> Make24c64DataCard(const std::vector<uint8_t> &logImage, uint8_t fill) {
    std::vector<uint8_t> memory(k24c64Size, fill);
    std::copy_n(logImage.begin(), std::min(logImage.size(), memory.size()), memory.begin());
    return memory;
}

}  // namespace bench
