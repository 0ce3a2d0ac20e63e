// End to end on the simulated machine: a PS/2 mouse reset through the i8042
// port driver with auxhook above it, and the records that reach the class
// driver.
#include <algorithm>
#include <memory>
#include <vector>

#include "auxhook/auxhook.h"
#include "sim/machine/ps2_machine.h"
#include "tests/support/sim_test.h"

namespace {

using Bytes = std::vector<UCHAR>;
const Bytes kFilterSequence = {0xF3, 0xC8, 0xF3, 0x64, 0xF3, 0x50, 0xF3, 0x3C, 0xF2};

class Ps2Scenario : public SimTest {
  protected:
    void EndObjects() override { machine.reset(); }

    void Boot(sim::Ps2MouseKind kind, bool filtered = true, sim::I8042Options port = {}) {
        sim::Ps2MachineOptions options;
        options.mouse = kind;
        options.filterEntry = filtered ? DriverEntry : nullptr;
        options.filterName = L"\\Driver\\auxhook";
        options.port = port;
        machine = std::make_unique<sim::Ps2Machine>(options);
        ASSERT_EQ(machine->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(machine->WaitForReset());
    }

    FilterState& filter() { return *static_cast<FilterState*>(machine->FilterDevice()->DeviceExtension); }

    Bytes Written(bool byFilter) {
        Bytes out;
        for (const sim::PortEvent& e : machine->port().Events()) {
            if (e.kind == sim::PortEvent::Kind::Write && e.byFilter == byFilter) out.push_back(e.byte);
        }
        return out;
    }

    // Runs a user action and returns the records it produced.
    template <typename Action>
    std::vector<MOUSE_INPUT_DATA> Records(Action action) {
        size_t before = machine->mouseClass().Records().size();
        action(machine->mouse());
        kernel().RunFor(sim::Milliseconds(50));
        std::vector<MOUSE_INPUT_DATA> out;
        const auto& all = machine->mouseClass().Records();
        for (size_t i = before; i < all.size(); ++i) out.push_back(all[i].data);
        return out;
    }

    std::unique_ptr<sim::Ps2Machine> machine;
};

TEST_F(Ps2Scenario, ExtendedMouseBecomesAFiveButtonWheelMouse) {
    Boot(sim::Ps2MouseKind::Extended);
    EXPECT_EQ(machine->port().DeviceId(), 4);
    EXPECT_EQ(filter().DeviceId, EXTENDED_MODE_ID);
    EXPECT_TRUE(filter().Started);
    EXPECT_EQ(Written(true), kFilterSequence);
    EXPECT_EQ(machine->mouse().Id(), 5);

    auto press4 = Records([](sim::Ps2Mouse& m) { m.Press(3); });
    ASSERT_EQ(press4.size(), 1u);
    EXPECT_EQ(press4[0].ButtonFlags, MOUSE_BUTTON_4_DOWN);

    auto wheel = Records([](sim::Ps2Mouse& m) { m.Wheel(1); });
    ASSERT_EQ(wheel.size(), 1u);
    EXPECT_EQ(wheel[0].ButtonFlags, MOUSE_WHEEL);
    EXPECT_EQ(static_cast<SHORT>(wheel[0].ButtonData), 120);

    auto press5 = Records([](sim::Ps2Mouse& m) {
        m.Release(3);
        m.Press(4);
        m.Wheel(-2);
        m.Move(-7, 3);
    });
    ASSERT_EQ(press5.size(), 4u);
    EXPECT_EQ(press5[0].ButtonFlags, MOUSE_BUTTON_4_UP);
    EXPECT_EQ(press5[1].ButtonFlags, MOUSE_BUTTON_5_DOWN);
    EXPECT_EQ(press5[2].ButtonFlags, MOUSE_WHEEL);
    EXPECT_EQ(static_cast<SHORT>(press5[2].ButtonData), -240);
    EXPECT_EQ(press5[3].LastX, -7);
    EXPECT_EQ(press5[3].LastY, 3);
    EXPECT_EQ(press5[3].ButtonFlags, 0);
}

// Mice without the extended mode end as what they are; the filter never
// rewrites their packets.
TEST_F(Ps2Scenario, OtherMiceEndAsWhatTheyAre) {
    struct Case {
        sim::Ps2MouseKind kind;
        bool filtered;
        int portId;
        bool filterWrites;
    };
    const Case cases[] = {{sim::Ps2MouseKind::FiveButton, true, 4, false},
                          {sim::Ps2MouseKind::Wheel, true, 3, true},
                          {sim::Ps2MouseKind::Standard, true, 0, true},
                          {sim::Ps2MouseKind::Extended, false, 3, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mouse " << int(c.kind) << (c.filtered ? " filtered" : " unfiltered"));
        Boot(c.kind, c.filtered);
        EXPECT_EQ(machine->port().DeviceId(), c.portId);
        EXPECT_EQ(Written(true), c.filterWrites ? kFilterSequence : Bytes{});
        if (c.filtered) {
            EXPECT_NE(filter().DeviceId, EXTENDED_MODE_ID);
        }

        auto records = Records([](sim::Ps2Mouse& m) {
            m.Press(0);
            m.Wheel(-1);
            m.Move(-200, 100);
            m.Release(0);
        });
        ASSERT_EQ(records.size(), 4u);
        EXPECT_EQ(records[0].ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
        if (c.portId == 0) {
            EXPECT_EQ(records[1].ButtonFlags, 0) << "a mouse without a wheel";
        } else {
            EXPECT_EQ(records[1].ButtonFlags, MOUSE_WHEEL);
            EXPECT_EQ(static_cast<SHORT>(records[1].ButtonData), -120);
        }
        EXPECT_EQ(records[2].LastX, -200);
        EXPECT_EQ(records[2].LastY, 100);
        EXPECT_EQ(records[3].ButtonFlags, MOUSE_LEFT_BUTTON_UP);
        machine.reset();
    }
}

TEST_F(Ps2Scenario, MouseThatResendsOrAnswersGarbageRecoversThroughANewReset) {
    struct Case {
        UCHAR command;
        int times;
        UCHAR answer;
    };
    for (Case c : {Case{0x3C, 5, 0xFE}, Case{0x3C, 1, 0xFC}}) {
        SCOPED_TRACE(::testing::Message() << std::hex << int(c.command) << " answered " << int(c.answer) << " x"
                                          << std::dec << c.times);
        sim::Ps2MachineOptions options;
        options.mouse = sim::Ps2MouseKind::Extended;
        options.filterEntry = DriverEntry;
        machine = std::make_unique<sim::Ps2Machine>(options);
        machine->mouse().FailCommand(c.command, c.times, c.answer);
        ASSERT_EQ(machine->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(machine->WaitForReset());
        Bytes byFilter = Written(true);
        EXPECT_NE(std::find(byFilter.begin(), byFilter.end(), 0xFF), byFilter.end()) << "the filter reset the mouse";
        EXPECT_EQ(machine->port().DeviceId(), 4);
        EXPECT_EQ(filter().DeviceId, EXTENDED_MODE_ID);
        auto press = Records([](sim::Ps2Mouse& m) { m.Press(4); });
        ASSERT_EQ(press.size(), 1u);
        EXPECT_EQ(press[0].ButtonFlags, MOUSE_BUTTON_5_DOWN);
        machine.reset();
    }
}

TEST_F(Ps2Scenario, StartPendedByThePortDriverEndsWithTheReset) {
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

}  // namespace
