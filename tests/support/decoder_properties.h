// What each serial protocol can and cannot produce, for the random-stream
// tests and the fuzz targets: the ranges of a record's fields, and a check of
// every delivered record against them and against the class driver's view of
// the buttons.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "serfive/decoders.h"
#include "serwheel/decoders.h"

struct ProtocolLimits {
    const char* name;
    PacketDecoder* decoder;
    USHORT defaultButtons;
    ULONG lastByteIndex;
    LONG minX, maxX, minY, maxY;
    bool wheel;
};

// Movement bytes of the five-byte protocol cannot lie in the sync range 0x80
// to 0x87, so X stops at -120 and Y (negated) at +120.
inline const std::vector<ProtocolLimits>& AllProtocols() {
    static const std::vector<ProtocolLimits> protocols = {
        {"ThreeByte", DecodeThreeByte, 3, 3, -128, 127, -128, 127, false},
        {"BallPoint", DecodeBallPoint, 2, 3, -256, 255, -256, 255, false},
        {"Wheel", DecodeWheel, 3, 4, -128, 127, -128, 127, true},
        {"CSeries", DecodeCSeries, 3, 2, -127, 127, -127, 127, false},
        {"FiveByte", DecodeFiveByte, 3, 4, -120, 127, -127, 120, false},
    };
    return protocols;
}

// Raw-button bits a protocol can set: left, right, middle (not the
// ballpoint), and buttons 4 and 5 of the extended wheel coding.
inline ULONG RawButtonMask(const ProtocolLimits& p, USHORT buttons) {
    if (p.decoder == DecodeBallPoint) return 0x3;
    if (p.decoder == DecodeWheel && buttons == 5) return 0x1F;
    return 0x7;
}

// Follows the records one class driver receives, button by button, and
// reports the first record that no mouse of the protocol could have caused.
class RecordChecker {
  public:
    RecordChecker(const ProtocolLimits& protocol, USHORT buttons) : p_(protocol), buttons_(buttons) {}

    // "" when the record is possible; otherwise what is wrong with it.
    std::string Check(const MOUSE_INPUT_DATA& r) {
        std::string where = std::string(p_.name) + " record " + std::to_string(count_++) + ": ";
        if (r.UnitId != 0 || r.Flags != 0 || r.ExtraInformation != 0) return where + "UnitId/Flags/ExtraInformation set";
        if (r.RawButtons & ~RawButtonMask(p_, buttons_)) return where + "impossible RawButtons " + std::to_string(r.RawButtons);
        if (r.LastX < p_.minX || r.LastX > p_.maxX) return where + "LastX out of range " + std::to_string(r.LastX);
        if (r.LastY < p_.minY || r.LastY > p_.maxY) return where + "LastY out of range " + std::to_string(r.LastY);
        USHORT allowed = p_.wheel ? MOUSE_WHEEL : 0;
        for (USHORT i = 0; i < buttons_ && i < 5; ++i) allowed |= static_cast<USHORT>(3u << (2 * i));
        if (r.ButtonFlags & ~allowed) return where + "unexpected ButtonFlags " + std::to_string(r.ButtonFlags);
        if (r.ButtonFlags & MOUSE_WHEEL) {
            if (r.ButtonData != 120 && r.ButtonData != 0xFF88) return where + "wheel ButtonData " + std::to_string(r.ButtonData);
        } else if (r.ButtonData != 0) {
            return where + "ButtonData without MOUSE_WHEEL";
        }
        // Every transition must change what the class driver believes, and
        // afterwards it must believe what the mouse reports.
        for (USHORT i = 0; i < buttons_ && i < 5; ++i) {
            bool down = (r.ButtonFlags >> (2 * i)) & 1;
            bool up = (r.ButtonFlags >> (2 * i + 1)) & 1;
            bool held = (view_ >> i) & 1;
            if ((down && held) || (up && !held) || (down && up)) return where + "transition of a button in the wrong state";
            if (down) view_ |= 1u << i;
            if (up) view_ &= ~(1u << i);
            if (((view_ >> i) & 1) != ((r.RawButtons >> i) & 1)) {
                return where + "class driver's view of button " + std::to_string(i) + " differs from RawButtons";
            }
        }
        return "";
    }

  private:
    const ProtocolLimits& p_;
    USHORT buttons_;
    ULONG view_ = 0;
    size_t count_ = 0;
};

// A byte stream of well-formed packets of the protocol with random content,
// interleaved with random garbage (about one byte in `garbageOneIn`).
inline std::vector<UCHAR> RandomStream(const ProtocolLimits& p, USHORT buttons, size_t length, uint32_t seed,
                                       unsigned garbageOneIn = 8) {
    std::mt19937 rng(seed);
    auto any = [&](unsigned mask) { return static_cast<UCHAR>(rng() & mask); };
    std::vector<UCHAR> out;
    while (out.size() < length) {
        if (rng() % garbageOneIn == 0) {
            out.push_back(any(0xFF));
            continue;
        }
        if (p.decoder == DecodeCSeries) {
            out.insert(out.end(), {static_cast<UCHAR>(0x80 | any(0x7F)), any(0x7F), any(0x7F)});
        } else if (p.decoder == DecodeFiveByte) {
            out.push_back(static_cast<UCHAR>(0x80 | any(0x07)));
            for (int i = 0; i < 4; ++i) {
                UCHAR b;
                do b = any(0xFF); while ((b & 0xF8) == 0x80);
                out.push_back(b);
            }
        } else {
            out.insert(out.end(), {static_cast<UCHAR>(0x40 | any(0x3F)), any(0x3F), any(0x3F)});
            if (p.decoder == DecodeBallPoint) {
                out.push_back(any(0x3F));
            } else if (p.decoder == DecodeWheel) {
                UCHAR fourth = any(0x3F);
                out.push_back(fourth);
                if ((fourth & 0x20) && buttons != 5) out.push_back(any(0x3F));
            } else if (rng() % 2) {
                out.push_back(any(0x3F));  // the middle-button byte
            }
        }
    }
    return out;
}
