// FilterIsrHook: the filter's link in the port driver's mouse interrupt
// handling. During the port driver's reset sequence it sends its own
// sample-rate sequence to switch the mouse into the extended mode; while that
// mode is on it moves the two extra buttons from the top bits of a packet's
// first byte to where a five-button wheel mouse reports them in the fourth.
#include "auxhook/auxhook.h"

const UCHAR ExtendedModeRates[5] = {200, 100, 80, 60, 0};

namespace {

// An ID answer as DeviceId keeps it. 0xFF there means "no ID read since the
// reset", and an answer of 0xFF must not bring that back: the port driver's
// next ID byte would then be taken for the first, and an ID 5 of its own
// would turn rewriting on for a mouse that sends plain packets. The filter
// takes such a mouse for a standard one.
RESIDENT_ROUTINE UCHAR AnsweredId(UCHAR Byte) {
    return Byte == NO_DEVICE_ID ? 0 : Byte;
}

// What one byte of the reset sequence asks the hook to write.
struct ResetAnswer {
    BOOLEAN Send;   // answer by the ACK/RESEND rule with Command
    UCHAR Command;
    UCHAR Reply;    // written whatever the byte, when not 0 and not Send
};

// The mouse answered something other than ACK or RESEND while the filter
// waited for an acknowledgement: reset the mouse and let the port driver's
// reset sequence start over.
RESIDENT_ROUTINE void FailSequence(ResetAnswer* Answer, PBOOLEAN ContinueProcessing,
                                   PMOUSE_RESET_SUBSTATE ResetSubState) {
    Answer->Send = FALSE;
    Answer->Reply = PS2_RESET;
    *ResetSubState = ExpectingReset;
    *ContinueProcessing = FALSE;
}

// One step of the filter's command sequence, for a byte that arrived while
// the port driver waits for its second device ID.
RESIDENT_ROUTINE void RunActivationStep(FilterState* Filter, PUCHAR Byte, PBOOLEAN ContinueProcessing,
                                        PMOUSE_RESET_SUBSTATE ResetSubState, ResetAnswer* Answer) {
    for (;;) {
        Answer->Send = TRUE;
        *ContinueProcessing = FALSE;
        UCHAR byte = *Byte;
        switch (Filter->ActivationStep) {
        case ActivationStart:
            // The byte is the port driver's device ID: start the rates.
            Answer->Send = FALSE;
            Filter->RateIndex = 0;
            Filter->RateTable = ExtendedModeRates;
            Filter->StepAfterRates = RatesDone;
            Answer->Reply = PS2_SET_SAMPLE_RATE;
            Filter->ActivationStep = AwaitRateCommandAck;
            return;
        case AwaitRateCommandAck:
            if (byte == PS2_ACK) {
                Answer->Command = Filter->RateTable[Filter->RateIndex];
                Filter->ActivationStep = AwaitRateValueAck;
            } else if (byte == PS2_RESEND) {
                Answer->Command = PS2_SET_SAMPLE_RATE;
            } else {
                FailSequence(Answer, ContinueProcessing, ResetSubState);
            }
            return;
        case AwaitRateValueAck:
            if (byte == PS2_ACK) {
                Filter->RateIndex++;
                if (Filter->RateTable[Filter->RateIndex] != 0) {
                    Answer->Command = PS2_SET_SAMPLE_RATE;
                    Filter->ActivationStep = AwaitRateCommandAck;
                    return;
                }
                Filter->ActivationStep = Filter->StepAfterRates;
                continue;  // the rates are done: the next step runs in this call
            }
            if (byte == PS2_RESEND) {
                Answer->Command = Filter->RateTable[Filter->RateIndex];
            } else {
                FailSequence(Answer, ContinueProcessing, ResetSubState);
            }
            return;
        case RatesDone:
            Answer->Command = PS2_GET_DEVICE_ID;
            Filter->ActivationStep = AwaitGetIdAck;
            return;
        case AwaitGetIdAck:
            if (byte == PS2_ACK) {
                Answer->Send = FALSE;
                Filter->ActivationStep = AwaitExtendedId;
            } else if (byte == PS2_RESEND) {
                Answer->Command = PS2_GET_DEVICE_ID;
            } else {
                FailSequence(Answer, ContinueProcessing, ResetSubState);
            }
            return;
        case AwaitExtendedId:
            Answer->Send = FALSE;
            Filter->ActivationDone = TRUE;
            *ContinueProcessing = TRUE;
            if (byte == EXTENDED_MODE_ID) {
                // The port driver is told of a five-button wheel mouse.
                Filter->DeviceId = EXTENDED_MODE_ID;
                *Byte = FIVE_BUTTON_WHEEL_ID;
            } else {
                // No extended mode: the port driver enables the wheel again
                // and reads the ID itself. The answer replaces an earlier ID
                // 5, so a mouse that is not in the extended mode never has
                // its packets rewritten.
                Filter->DeviceId = AnsweredId(byte);
                *ResetSubState = EnableWheel;
            }
            return;
        default:
            Answer->Send = FALSE;
            *ContinueProcessing = TRUE;
            return;
        }
    }
}

RESIDENT_ROUTINE void WriteToMouse(FilterState* Filter, UCHAR Value) {
    if (Filter->IsrWritePort != NULL) Filter->IsrWritePort(Filter->CallContext, Value);
}

}  // namespace

extern "C" RESIDENT_ROUTINE BOOLEAN NTAPI FilterIsrHook(PVOID IsrContext, PMOUSE_INPUT_DATA CurrentInput,
                                                        POUTPUT_PACKET CurrentOutput, UCHAR StatusByte,
                                                        PUCHAR Byte, PBOOLEAN ContinueProcessing,
                                                        PMOUSE_STATE MouseState,
                                                        PMOUSE_RESET_SUBSTATE ResetSubState) {
    FilterState* filter = (FilterState*)((PDEVICE_OBJECT)IsrContext)->DeviceExtension;

    BOOLEAN result = TRUE;
    if (filter->UpperIsrRoutine != NULL) {
        result = filter->UpperIsrRoutine(filter->UpperIsrContext, CurrentInput, CurrentOutput, StatusByte, Byte,
                                         ContinueProcessing, MouseState, ResetSubState);
        if (!result || !*ContinueProcessing) return result;
    }
    *ContinueProcessing = TRUE;

    switch (*MouseState) {
    case MouseIdle:
        if (filter->DeviceId == EXTENDED_MODE_ID) {
            filter->SavedFirstByte = *Byte;
            // 0xAA may be a mouse announcing that it was plugged in again;
            // the port driver must see it as it came to notice 0xAA 0x00
            // and reset the mouse, so that the filter can switch it over
            // again.
            if (*Byte != PS2_SELF_TEST_PASSED) *Byte = (UCHAR)(*Byte & 0x3F);
        }
        return result;
    case ZMovement:
        if (filter->DeviceId == EXTENDED_MODE_ID) {
            *Byte = (UCHAR)((*Byte & 0x0F) | ((filter->SavedFirstByte >> 2) & 0x30));
        }
        return result;
    case MouseResetting:
        break;
    default:
        return result;
    }

    ResetAnswer answer = {FALSE, 0, 0};
    if (*ResetSubState == ExpectingReset) {
        if (filter->DeviceId != NO_DEVICE_ID) {
            // The first byte of a new reset. If the filter's sequence had
            // begun and not finished, this reset ended it: count it, so that
            // a mouse that fails it every time is not reset without end. A
            // reset after a finished (or never begun) activation is one the
            // port driver began on its own, and the count starts over.
            if (!filter->ActivationDone && filter->ActivationStep != 0) {
                if (filter->FailedActivations < FILTER_ACTIVATION_LIMIT) filter->FailedActivations++;
            } else {
                filter->FailedActivations = 0;
            }
        }
        // A new reset: arm for this one.
        filter->DeviceId = NO_DEVICE_ID;
        filter->ActivationDone = FALSE;
    } else if (*ResetSubState == ExpectingGetDeviceId2Value) {
        if (filter->DeviceId == NO_DEVICE_ID) {
            // The port driver's own ID request answered: a five-button wheel
            // mouse needs nothing; anything else gets the filter's sequence,
            // unless it has failed too often since the port driver's reset.
            filter->DeviceId = AnsweredId(*Byte);
            if (*Byte == FIVE_BUTTON_WHEEL_ID || filter->FailedActivations >= FILTER_ACTIVATION_LIMIT) {
                filter->ActivationDone = TRUE;
            } else {
                filter->ActivationStep = ActivationStart;
            }
        }
        if (!filter->ActivationDone) RunActivationStep(filter, Byte, ContinueProcessing, ResetSubState, &answer);
    }

    if (answer.Send && *Byte == PS2_ACK) {
        WriteToMouse(filter, answer.Command);
    } else if (answer.Send && *Byte == PS2_RESEND) {
        SHORT resends = filter->ResendCount;
        filter->ResendCount = (SHORT)(resends + 1);
        if (resends < FILTER_RESEND_LIMIT) {
            WriteToMouse(filter, answer.Command);
        } else {
            WriteToMouse(filter, PS2_RESET);
            *ResetSubState = ExpectingReset;
            filter->ResendCount = 0;
        }
    } else if (!answer.Send && answer.Reply != 0) {
        WriteToMouse(filter, answer.Reply);
    }
    if (*Byte != PS2_RESEND) filter->ResendCount = 0;
    return result;
}
