// A serial mouse device of the package on a simulated COM port, put together
// the way a device start leaves it (before driver entry and Plug and Play
// build it for real): the chosen decoder and button count, a connected mouse
// class driver and one open handle. Bytes put on the line go through the real
// read loop and ReadCompletion; every record the class driver receives is
// handed to an observer as it arrives.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel.h"
#include "tests/support/serial_device.h"

namespace mousesim {

class SerialMouseRig {
  public:
    SerialMouseRig(PacketDecoder* decoder, USHORT numberOfButtons);
    ~SerialMouseRig();
    SerialMouseRig(const SerialMouseRig&) = delete;
    SerialMouseRig& operator=(const SerialMouseRig&) = delete;

    void OnRecord(std::function<void(const sim::DeliveredRecord&)> observer);
    // Puts the bytes on the line at its pace (one every `interval`) and runs
    // the machine until the last has been read.
    void Play(const std::vector<UCHAR>& bytes, sim::Ticks interval);
    size_t RecordsDelivered() const;
    // Removes the device the way removal does and shuts the kernel down.
    // Returns the verifier's findings, "" when there were none.
    std::string Finish();

  private:
    sim::Kernel kernel_;
    std::unique_ptr<SerialMouseDevice> mouse_;
    size_t delivered_ = 0;
    bool finished_ = false;
};

}  // namespace mousesim
