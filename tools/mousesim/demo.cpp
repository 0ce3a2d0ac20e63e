// mousesim demo: the main job. A three-button serial mouse on a simulated COM
// port sends its three-byte packets (and the fourth byte that carries the
// middle button) at 1200 baud; the serial driver core reads them one byte at
// a time, the three-byte decoder turns them into records, and each record is
// shown as the mouse class driver receives it.
#include <cstdio>
#include <vector>

#include "commands.h"
#include "output.h"
#include "serial_rig.h"
#include "serwheel/decoders.h"

namespace mousesim {

namespace {

// One three-byte packet: buttons and movement (-128 to 127 each way).
void AddPacket(std::vector<UCHAR>* bytes, bool left, bool right, int dx, int dy) {
    UCHAR x = static_cast<UCHAR>(dx), y = static_cast<UCHAR>(dy);
    bytes->push_back(static_cast<UCHAR>(0x40 | (left ? 0x20 : 0) | (right ? 0x10 : 0) | ((y >> 4) & 0x0C) | (x >> 6)));
    bytes->push_back(x & 0x3F);
    bytes->push_back(y & 0x3F);
}

}  // namespace

int RunDemo(const Arguments& args) {
    if (!args.empty()) return BadInput(Commands().front(), "demo takes no arguments");

    std::vector<UCHAR> bytes;
    AddPacket(&bytes, false, false, 12, 0);   // move right
    AddPacket(&bytes, false, false, 0, -5);   // and up
    AddPacket(&bytes, true, false, 0, 0);     // left click
    AddPacket(&bytes, false, false, 0, 0);
    AddPacket(&bytes, false, true, -3, 4);    // right button down while moving
    AddPacket(&bytes, false, false, 0, 0);
    AddPacket(&bytes, false, false, 0, 0);    // middle down: the fourth byte
    bytes.push_back(0x20);
    AddPacket(&bytes, false, false, 7, 7);    // middle held: the fourth byte again
    bytes.push_back(0x20);
    AddPacket(&bytes, false, false, 0, 0);    // middle up
    bytes.push_back(0x00);
    bytes.insert(bytes.end(), {0x15, 0x2A});  // line noise: dropped until the next sync byte
    AddPacket(&bytes, false, false, -128, 127);

    std::printf("A three-button serial mouse on COM1 (1200 baud, 7 data bits: a byte every 7.5 ms),\n"
                "read one byte at a time and decoded as three-byte packets.\n\n");
    std::string verdict;
    size_t delivered = 0;
    try {
        SerialMouseRig rig(DecodeThreeByte, 3);
        rig.OnRecord([](const sim::DeliveredRecord& r) {
            std::printf("%s\n", FormatRecord(r.data, Format::Text, r.time).c_str());
        });
        rig.Play(bytes, sim::kTicksPerSecond * 9 / 1200);
        delivered = rig.RecordsDelivered();
        verdict = rig.Finish();
    } catch (const sim::BugCheck& bugCheck) {
        verdict = bugCheck.what();
    }
    std::printf("\n%zu bytes, %zu records delivered; verifier: %s\n", bytes.size(), delivered,
                verdict.empty() ? "clean" : verdict.c_str());
    return verdict.empty() ? 0 : 1;
}

}  // namespace mousesim
