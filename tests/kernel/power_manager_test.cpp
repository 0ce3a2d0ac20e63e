// The power manager: every driver a power request reaches calls
// PoStartNextPowerIrp for it exactly once; PoSetPowerState keeps each
// device's state.
#include "sim/pnp.h"
#include "tests/support/lambda_device.h"
#include "tests/support/sim_test.h"

namespace {

class PowerManagerTest : public LambdaStackTest {
  protected:
    // A two-device stack; the upper device passes power requests on after
    // `upperCalls` PoStartNextPowerIrp calls, the lower one completes them
    // after one.
    void Build(int upperCalls) {
        lower = std::make_unique<LambdaDevice>([](PDEVICE_OBJECT, PIRP irp) {
            PoStartNextPowerIrp(irp);
            return CompleteIrp(irp, STATUS_SUCCESS);
        });
        upper = std::make_unique<LambdaDevice>(
            [this, upperCalls](PDEVICE_OBJECT, PIRP irp) {
                for (int i = 0; i < upperCalls; ++i) PoStartNextPowerIrp(irp);
                IoSkipCurrentIrpStackLocation(irp);
                return PoCallDriver(upper->lower(), irp);
            },
            lower.get());
    }
};

TEST_F(PowerManagerTest, OneCallPerDriverIsClean) {
    Build(1);
    EXPECT_EQ(sim::SetDevicePower(lower->device(), PowerDeviceD3), STATUS_SUCCESS);
}

TEST_F(PowerManagerTest, AMissingCallIsReported) {
    Build(0);
    ExpectBugCheck(sim::rule::kPowerIrpNotStarted, [&] { sim::SetDevicePower(lower->device(), PowerDeviceD3); });
}

TEST_F(PowerManagerTest, ADoubledCallIsReported) {
    Build(2);
    ExpectBugCheck(sim::rule::kPowerIrpStartedTwice, [&] { sim::SetDevicePower(lower->device(), PowerDeviceD3); });
}

TEST_F(PowerManagerTest, SetPowerStateReturnsTheStateItReplaces) {
    Build(1);
    POWER_STATE d3, d0, working;
    d3.DeviceState = PowerDeviceD3;
    d0.DeviceState = PowerDeviceD0;
    working.SystemState = PowerSystemWorking;
    EXPECT_EQ(PoSetPowerState(lower->device(), DevicePowerState, d3).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(lower->device(), DevicePowerState, d0).DeviceState, PowerDeviceD3);
    // Each device and each kind of state is kept apart.
    EXPECT_EQ(PoSetPowerState(upper->device(), DevicePowerState, d3).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(lower->device(), SystemPowerState, working).SystemState, PowerSystemWorking);
}

}  // namespace
