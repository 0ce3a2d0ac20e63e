// End to end on the simulated machine: a PS/2 mouse reset through the i8042
// port driver with auxhook above it, and the records that reach the class
// driver. Every case runs without preemption and under several seeds of it.
#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "auxhook/auxhook.h"
#include "sim/machine/ps2_machine.h"
#include "sim/pnp.h"
#include "tests/support/sim_test.h"

namespace {

using Bytes = std::vector<UCHAR>;
using Records = std::vector<MOUSE_INPUT_DATA>;
const Bytes kFilterSequence = {0xF3, 0xC8, 0xF3, 0x64, 0xF3, 0x50, 0xF3, 0x3C, 0xF2};

struct Schedule {
    uint64_t seed;
    double preemption;
};

void PrintTo(const Schedule& s, std::ostream* out) { *out << "seed " << s.seed << " preemption " << s.preemption; }

class Ps2Scenario : public SimTest, public ::testing::WithParamInterface<Schedule> {
  protected:
    void SetUp() override {
        sim::KernelOptions options;
        options.seed = GetParam().seed;
        options.preemption = GetParam().preemption;
        StartKernel(options);
    }
    void EndObjects() override { machine.reset(); }

    // Builds the machine; `prepare` may set up the mouse before the start.
    template <typename Prepare>
    void Boot(sim::Ps2MouseKind kind, bool filtered, Prepare prepare, sim::I8042Options port = {}) {
        machine.reset();
        sim::Ps2MachineOptions options;
        options.mouse = kind;
        options.filterEntry = filtered ? DriverEntry : nullptr;
        options.filterName = L"\\Driver\\auxhook";
        options.port = port;
        machine = std::make_unique<sim::Ps2Machine>(options);
        prepare(machine->mouse());
        ASSERT_EQ(machine->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(machine->WaitForNewReset(0));
    }
    void Boot(sim::Ps2MouseKind kind, bool filtered = true) {
        Boot(kind, filtered, [](sim::Ps2Mouse&) {});
    }

    FilterState& filter() { return *static_cast<FilterState*>(machine->FilterDevice()->DeviceExtension); }

    Bytes Written(bool byFilter) {
        Bytes out;
        for (const sim::PortEvent& e : machine->port().Events()) {
            if (e.kind == sim::PortEvent::Kind::Write && e.byFilter == byFilter) out.push_back(e.byte);
        }
        return out;
    }
    size_t Count(const Bytes& bytes, const Bytes& part) {
        size_t n = 0;
        for (auto it = bytes.begin(); (it = std::search(it, bytes.end(), part.begin(), part.end())) != bytes.end();
             ++it) {
            ++n;
        }
        return n;
    }
    // Bytes the port driver was handed other than as they came.
    size_t Rewritten() {
        size_t n = 0;
        for (const sim::PortEvent& e : machine->port().Events()) {
            if (e.kind == sim::PortEvent::Kind::Read && e.passed && *e.passed != e.byte) ++n;
        }
        return n;
    }

    // Runs a user action and returns the records it produced.
    template <typename Action>
    Records Run(Action action) {
        size_t before = machine->mouseClass().Records().size();
        action(machine->mouse());
        kernel().RunFor(sim::Milliseconds(60));
        Records out;
        const auto& all = machine->mouseClass().Records();
        for (size_t i = before; i < all.size(); ++i) out.push_back(all[i].data);
        return out;
    }

    // What a mouse in the given port-driver mode reports for buttons 4 and
    // 5, the wheel both ways and movement, with a fourth button held.
    void ExpectReports(int portId) {
        SCOPED_TRACE("reports of a mouse with ID " + std::to_string(portId));
        const bool fiveButtons = portId == 4;
        const bool wheel = portId == 3 || portId == 4;
        Records r = Run([](sim::Ps2Mouse& m) {
            m.Press(3);
            m.Move(3, -2);
            m.Release(3);
            m.Press(4);
            m.Release(4);
            m.Wheel(1);
            m.Wheel(-1);
            m.Move(-300, 500);
        });
        ASSERT_EQ(r.size(), 8u);
        EXPECT_EQ(r[0].ButtonFlags, fiveButtons ? MOUSE_BUTTON_4_DOWN : 0);
        // Held buttons must not reach the port driver as overflow bits.
        EXPECT_EQ(r[1].LastX, 3);
        EXPECT_EQ(r[1].LastY, -2);
        EXPECT_EQ(r[1].ButtonFlags, 0);
        EXPECT_EQ(r[2].ButtonFlags, fiveButtons ? MOUSE_BUTTON_4_UP : 0);
        EXPECT_EQ(r[3].ButtonFlags, fiveButtons ? MOUSE_BUTTON_5_DOWN : 0);
        EXPECT_EQ(r[4].ButtonFlags, fiveButtons ? MOUSE_BUTTON_5_UP : 0);
        EXPECT_EQ(r[5].ButtonFlags, wheel ? MOUSE_WHEEL : 0);
        EXPECT_EQ(r[6].ButtonFlags, wheel ? MOUSE_WHEEL : 0);
        if (wheel) {
            EXPECT_EQ(static_cast<SHORT>(r[5].ButtonData), 120);
            EXPECT_EQ(static_cast<SHORT>(r[6].ButtonData), -120);
        }
        // Beyond a packet's range: the largest movement it can carry.
        EXPECT_EQ(r[7].LastX, -256);
        EXPECT_EQ(r[7].LastY, 256);
    }

    // The extended mode is on: ID 5 reported to the port driver as 4.
    void ExpectExtended() {
        EXPECT_EQ(machine->port().DeviceId(), 4);
        EXPECT_EQ(machine->mouse().Id(), 5);
        EXPECT_EQ(filter().DeviceId, EXTENDED_MODE_ID);
        ExpectReports(4);
    }

    std::unique_ptr<sim::Ps2Machine> machine;
};

TEST_P(Ps2Scenario, EachMouseEndsInItsMode) {
    struct Case {
        const char* name;
        sim::Ps2MouseKind kind;
        bool filtered;
        int portId;               // what the port driver settles on
        UCHAR mouseId;            // the mode the mouse is in
        size_t filterSequences;   // times the filter sent its sequence
        size_t fiveButtonKnocks;  // times the port driver sent 200, 200, 80
    };
    const Case cases[] = {
        {"extended", sim::Ps2MouseKind::Extended, true, 4, 5, 1, 0},
        // Answers 3 to the wheel knock, to the filter's sequence too, and 4
        // only to the port driver's own five-button knock.
        {"five-button", sim::Ps2MouseKind::FiveButton, true, 4, 4, 1, 1},
        {"wheel", sim::Ps2MouseKind::Wheel, true, 3, 3, 1, 1},
        {"standard", sim::Ps2MouseKind::Standard, true, 0, 0, 1, 0},
        {"extended without the filter", sim::Ps2MouseKind::Extended, false, 3, 3, 0, 1},
        {"five-button without the filter", sim::Ps2MouseKind::FiveButton, false, 4, 4, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Boot(c.kind, c.filtered);
        EXPECT_EQ(machine->port().DeviceId(), c.portId);
        EXPECT_EQ(machine->mouse().Id(), c.mouseId);
        EXPECT_EQ(Count(Written(true), kFilterSequence), c.filterSequences);
        EXPECT_EQ(Count(Written(false), {0xF3, 200, 0xF3, 200, 0xF3, 80}), c.fiveButtonKnocks);
        EXPECT_EQ(machine->port().Restarts(), 0);
        if (c.filtered) {
            EXPECT_EQ(filter().DeviceId == EXTENDED_MODE_ID, c.mouseId == 5);
            EXPECT_EQ(Count(Written(true), {PS2_RESET}), 0u);
        }
        // Only the extended mode's ID byte is rewritten during the reset.
        EXPECT_EQ(Rewritten(), c.mouseId == 5 ? 1u : 0u);
        ExpectReports(c.portId);
        if (c.mouseId != 5) {
            EXPECT_EQ(Rewritten(), 0u) << "packets of a mouse not in the extended mode";
        }

        // The same mode again after the port driver resets the mouse, after
        // a hot plug, and after a reset that stalls and is started over (in
        // the filter's sequence where there is one).
        for (const char* again : {"reset", "hot plug", "stalled reset"}) {
            SCOPED_TRACE(again);
            int resets = machine->port().Resets();
            int restarts = machine->port().Restarts();
            if (std::string(again) == "hot plug") {
                machine->mouse().Unplug();
                kernel().RunFor(sim::Milliseconds(50));
                machine->mouse().Plug();
            } else {
                if (std::string(again) == "stalled reset") machine->mouse().LoseAnswer(c.filtered ? 60 : 0xE9, 1);
                machine->port().StartReset();
            }
            ASSERT_TRUE(machine->WaitForNewReset(resets));
            EXPECT_EQ(machine->port().Restarts() > restarts, std::string(again) == "stalled reset");
            EXPECT_EQ(machine->port().DeviceId(), c.portId);
            EXPECT_EQ(machine->mouse().Id(), c.mouseId);
            if (c.filtered) {
                EXPECT_EQ(filter().DeviceId == EXTENDED_MODE_ID, c.mouseId == 5);
            }
            ExpectReports(c.portId);
        }
    }
}

// A second full activation of the extended mode: after the port driver
// resets the mouse again (on request or on the way back from standby), a hot
// plug, and a reset sequence that stalls in the filter's sequence and is
// started over by the port driver.
TEST_P(Ps2Scenario, ExtendedModeComesBack) {
    struct Case {
        const char* name;
        void (*prepare)(sim::Ps2Mouse&);
        void (*provoke)(sim::Ps2Machine&);
        bool stalls;
    };
    const Case cases[] = {
        {"reset by the port driver", [](sim::Ps2Mouse&) {}, [](sim::Ps2Machine& m) { m.port().StartReset(); },
         false},
        {"back from standby", [](sim::Ps2Mouse&) {},
         [](sim::Ps2Machine& m) {
             ASSERT_EQ(sim::SetDevicePower(m.port().Device(), PowerDeviceD3), STATUS_SUCCESS);
             ASSERT_EQ(sim::SetDevicePower(m.port().Device(), PowerDeviceD0), STATUS_SUCCESS);
         },
         false},
        {"unplugged and plugged again", [](sim::Ps2Mouse&) {},
         [](sim::Ps2Machine& m) {
             m.mouse().Unplug();
             sim::Kernel::Current().RunFor(sim::Milliseconds(100));
             m.mouse().Plug();
         },
         false},
        {"the ACK of rate 60 lost", [](sim::Ps2Mouse& m) { m.LoseAnswer(60, 1); }, nullptr, true},
        {"silent after rate 60", [](sim::Ps2Mouse& m) { m.SilenceAfter(60, sim::Milliseconds(450)); }, nullptr,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Boot(sim::Ps2MouseKind::Extended, true, c.prepare);
        if (c.provoke != nullptr) {
            ExpectExtended();
            int resets = machine->port().Resets();
            c.provoke(*machine);
            ASSERT_TRUE(machine->WaitForNewReset(resets));
        }
        EXPECT_EQ(Count(Written(true), {0xF3, 60}), 2u) << "the filter's rates sent again";
        EXPECT_EQ(Count(Written(true), kFilterSequence), c.stalls ? 1u : 2u);
        EXPECT_EQ(machine->port().Restarts() > 0, c.stalls);
        ExpectExtended();
    }
}

// Hot plug of an extended mouse with a button that makes its first byte 0xAA
// held: the same bytes as a mouse announcing itself, taken as one.
TEST_P(Ps2Scenario, PacketThatLooksLikeAPlugResetsTheMouseIntoTheExtendedModeAgain) {
    Boot(sim::Ps2MouseKind::Extended);
    int resets = machine->port().Resets();
    Run([](sim::Ps2Mouse& m) {
        m.Press(1);
        m.Press(4);
        m.Move(0, 1);  // first byte 0xAA (button 5, right, Y sign), X 0
    });
    ASSERT_TRUE(machine->WaitForNewReset(resets));
    Run([](sim::Ps2Mouse& m) {
        m.Release(1);
        m.Release(4);
    });
    ExpectExtended();
}

// A mouse whose extended mode fails every time: the filter gives up after a
// few tries and the mouse works as the port driver finds it; a later reset
// of the port driver's own gets a few tries again.
TEST_P(Ps2Scenario, MouseThatRejectsTheLastRateSettlesAsAWheelMouse) {
    Boot(sim::Ps2MouseKind::Extended, true,
         [](sim::Ps2Mouse& m) { m.FailCommand(60, sim::Ps2Mouse::kAlways, 0xFC); });
    kernel().RunFor(sim::Milliseconds(5000));
    EXPECT_EQ(Count(Written(true), {PS2_RESET}), size_t{FILTER_ACTIVATION_LIMIT});
    EXPECT_EQ(machine->port().DeviceId(), 3);
    EXPECT_NE(filter().DeviceId, EXTENDED_MODE_ID);
    ExpectReports(3);

    int resets = machine->port().Resets();
    machine->port().StartReset();
    ASSERT_TRUE(machine->WaitForNewReset(resets));
    kernel().RunFor(sim::Milliseconds(2000));
    EXPECT_EQ(Count(Written(true), {PS2_RESET}), 2u * FILTER_ACTIVATION_LIMIT);
    EXPECT_EQ(machine->port().DeviceId(), 3);
    ExpectReports(3);
}

TEST_P(Ps2Scenario, MouseThatResendsOrAnswersGarbageRecoversThroughANewReset) {
    struct Case {
        UCHAR command;
        int times;
        UCHAR answer;
    };
    for (Case c : {Case{0x3C, 5, 0xFE}, Case{0x3C, 1, 0xFC}}) {
        SCOPED_TRACE(::testing::Message() << std::hex << int(c.command) << " answered " << int(c.answer) << " x"
                                          << std::dec << c.times);
        Boot(sim::Ps2MouseKind::Extended, true, [&](sim::Ps2Mouse& m) { m.FailCommand(c.command, c.times, c.answer); });
        Bytes byFilter = Written(true);
        EXPECT_NE(std::find(byFilter.begin(), byFilter.end(), PS2_RESET), byFilter.end()) << "the filter reset the mouse";
        ExpectExtended();
    }
}

TEST_P(Ps2Scenario, StartPendedByThePortDriverEndsWithTheReset) {
    sim::I8042Options port;
    port.pendStart = true;
    sim::Ps2MachineOptions options;
    options.mouse = sim::Ps2MouseKind::Extended;
    options.filterEntry = DriverEntry;
    options.port = port;
    machine = std::make_unique<sim::Ps2Machine>(options);
    ASSERT_EQ(machine->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(machine->port().ResetDone());
    EXPECT_TRUE(filter().Started);
    EXPECT_EQ(machine->port().DeviceId(), 4);
}

// Users do many things in many orders, a plug in the middle of a reset
// included: whatever happened before, a reset at the end leaves an extended
// mouse extended.
TEST_P(Ps2Scenario, ExtendedMouseSurvivesARandomSession) {
    Boot(sim::Ps2MouseKind::Extended);
    std::mt19937 random(static_cast<unsigned>(GetParam().seed) + 1);
    for (int step = 0; step < 40; ++step) {
        int button = static_cast<int>(random() % 5);
        switch (random() % 7) {
        case 0: machine->mouse().Press(button); break;
        case 1: machine->mouse().Release(button); break;
        case 2: machine->mouse().Move(static_cast<int>(random() % 601) - 300, static_cast<int>(random() % 61) - 30); break;
        case 3: machine->mouse().Wheel(static_cast<int>(random() % 5) - 2); break;
        case 4:
            machine->mouse().Unplug();
            kernel().RunFor(sim::Milliseconds(random() % 40));
            machine->mouse().Plug();
            break;
        case 5: machine->port().StartReset(); break;
        default: break;
        }
        kernel().RunFor(sim::Milliseconds(random() % 150));
    }
    for (int button = 0; button < 5; ++button) machine->mouse().Release(button);
    int resets = machine->port().Resets();
    machine->port().StartReset();
    ASSERT_TRUE(machine->WaitForNewReset(resets));
    ExpectExtended();
}

// One run without preemption, the plain order the seeded runs vary.
INSTANTIATE_TEST_SUITE_P(Schedules, Ps2Scenario,
                         ::testing::Values(Schedule{0, 0.0}, Schedule{1, 0.3}, Schedule{7, 0.3}, Schedule{42, 0.6}),
                         [](const ::testing::TestParamInfo<Schedule>& info) {
                             return info.param.preemption == 0.0 ? std::string("unpreempted")
                                                                 : "seed" + std::to_string(info.param.seed);
                         });

}  // namespace
