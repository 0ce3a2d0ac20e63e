// C-series mice: found by a status query at each of four bauds, then driven
// with one-character commands to 1200 baud and a fixed report rate.
#include "serial_core/serial_port.h"
#include "serwheel/decoders.h"
#include "serwheel/identify.h"

const ULONG CSeriesBaudScan[4] = {1200, 2400, 4800, 9600};

const CSeriesProtocol CSeriesProtocolTable[6] = {
    {'S', {STOP_BIT_1, NO_PARITY, 8}, DecodeCSeries},
    {'T', {STOP_BIT_1, NO_PARITY, 8}, nullptr},
    {'U', {STOP_BIT_1, NO_PARITY, 8}, nullptr},
    {'V', {STOP_BIT_1, NO_PARITY, 7}, nullptr},
    {'B', {STOP_BIT_1, EVEN_PARITY, 7}, nullptr},
    {'A', {STOP_BIT_1, EVEN_PARITY, 7}, nullptr},
};

const CSeriesRate CSeriesRateTable[9] = {
    {'D', 0}, {'J', 10}, {'K', 20}, {'L', 35}, {'R', 50}, {'M', 70}, {'Q', 100}, {'N', 150}, {'O', 151},
};

const CSeriesBaud CSeriesBaudTable[4] = {
    {"*n", 1200},
    {"*o", 2400},
    {"*p", 4800},
    {"*q", 9600},
};

namespace {

// Status query and its answer from a present mouse; button-count query.
const CHAR StatusQuery = 's';
const UCHAR StatusAnswer = 'O';
const CHAR ButtonQuery = 'k';
// How long a query's answer is waited for.
const ULONG QueryTimeout = 50;
// The report rate a mouse found is left at.
const UCHAR CSeriesReportRate = 150;

}  // namespace

PAGEABLE_ROUTINE NTSTATUS SetCSeriesReportRate(DeviceState* Device, UCHAR Rate) {
    PAGED_CODE();
    ULONG pair = sizeof(CSeriesRateTable) / sizeof(CSeriesRateTable[0]) - 1;
    // Pair 0's minimum is 0, so the walk always ends on a pair.
    while (pair > 0 && CSeriesRateTable[pair].MinimumRate > Rate) pair--;
    return WriteSerialChar(Device, CSeriesRateTable[pair].Command);
}

PAGEABLE_ROUTINE NTSTATUS SetCSeriesBaudRate(DeviceState* Device, ULONG BaudRate) {
    PAGED_CODE();
    // Prompt mode first, so no report crosses the change of baud.
    NTSTATUS status = SetCSeriesReportRate(Device, 0);
    ULONG row = sizeof(CSeriesBaudTable) / sizeof(CSeriesBaudTable[0]);
    while (row > 0 && CSeriesBaudTable[row - 1].BaudRate > BaudRate) row--;
    if (row == 0) return status;
    const CSeriesBaud* baud = &CSeriesBaudTable[row - 1];
    // The command goes out at the baud the mouse has now; the port follows.
    WriteSerialString(Device, baud->Command);
    status = SetBaudRate(Device, baud->BaudRate);
    TimerDelay(Device, SERIAL_DELAY_2_MS);
    return status;
}

PAGEABLE_ROUTINE PacketDecoder* SelectCSeriesProtocol(DeviceState* Device, UCHAR Row) {
    PAGED_CODE();
    if (Row >= sizeof(CSeriesProtocolTable) / sizeof(CSeriesProtocolTable[0])) return nullptr;
    WriteSerialChar(Device, CSeriesProtocolTable[Row].Command);
    SetLineControl(Device, &CSeriesProtocolTable[Row].LineControl);
    return CSeriesProtocolTable[Row].Decoder;
}

PAGEABLE_ROUTINE BOOLEAN DetectCSeries(DeviceState* Device, PULONG ButtonCount) {
    PAGED_CODE();
    BOOLEAN found = FALSE;
    UCHAR answer = 0;

    PowerUpCSeriesMouse(Device);
    SetLineControl(Device, &CSeriesProtocolTable[0].LineControl);

    for (ULONG i = 0; i < sizeof(CSeriesBaudScan) / sizeof(CSeriesBaudScan[0]); i++) {
        SetBaudRate(Device, CSeriesBaudScan[i]);
        SetCSeriesReportRate(Device, 0);
        SelectCSeriesProtocol(Device, 0);
        WriteSerialChar(Device, StatusQuery);
        PurgeReceiveBuffer(Device);
        SetReadTimeout(Device, QueryTimeout);
        if (NT_SUCCESS(ReadSerialByte(Device, &answer)) && answer == StatusAnswer) {
            found = TRUE;
            break;
        }
    }

    if (found) {
        WriteSerialChar(Device, ButtonQuery);
        PurgeReceiveBuffer(Device);
        SetReadTimeout(Device, QueryTimeout);
        ULONG buttons = 2;
        if (NT_SUCCESS(ReadSerialByte(Device, &answer))) {
            ULONG n = answer & 0x0F;
            if (n == 2 || n == 3) buttons = n;
        }
        *ButtonCount = buttons;
        SetReadTimeout(Device, 0);
    }

    SetCSeriesBaudRate(Device, 1200);
    SetCSeriesReportRate(Device, CSeriesReportRate);
    return found;
}
