// The reader exercise: opens the card terminal through the CT-API, resets it,
// checks the patient's slot (ICC1) and the doctor's slot (ICC2), asking for a
// card where a slot is empty, and closes it. Every step logs one line; every
// failure clears the verdict.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ct_api.h"
#include "res/resource.h"
#include "ui/slotbench_dlg.h"

namespace {

constexpr uint16_t kTerminalNumber = 1;
constexpr uint8_t kHostAddress = 2;
constexpr uint8_t kTerminalAddress = 1;
// The destination byte every request about a slot carries; the slot itself is
// named by the command's functional unit.
constexpr uint8_t kPatientSlotRequestDestination = 1;
constexpr uint8_t kDoctorSlotRequestDestination = 5;
// The port number CT_init is given for a name other than COM1 to COM10.
constexpr uint16_t kPortNumberOfAnyOtherName = 11;
constexpr uint16_t kResponseRoom = 100;
// The library is told of 100 bytes, and only those are ever read. The buffer
// behind them is larger because a real library (a serial one, under wine) was
// seen copying its whole answer, and a few bytes of framing after it, whatever
// room it was offered: a long answer must cost the slot its verdict, not the
// tool its stack. No answer a library can report is longer than 65535 bytes.
constexpr size_t kResponseSpace = 65535 + 64;

// CT-BCS: class 20, RESET CT 11 / REQUEST ICC 12, functional unit in P1.
constexpr uint8_t kResetTerminal[] = {0x20, 0x11, 0x00, 0x00};

struct Slot {
    uint8_t requestDestination;
    uint8_t reset[5];    // RESET CT of the slot, complete answer to reset
    uint8_t request[6];  // REQUEST ICC, waiting up to 60 seconds for a card
    unsigned resetFailMessage;
    unsigned insertCardMessage;
    unsigned errorMessage;
    const char* okText;
};

constexpr Slot kPatientSlot = {kPatientSlotRequestDestination,
                               {0x20, 0x11, 0x01, 0x01, 0x00},
                               {0x20, 0x12, 0x01, 0x00, 0x01, 0x3C},
                               IDS_RESET_PATIENT_FAIL,
                               IDS_INSERT_PATIENT_CARD,
                               IDS_COM_ERROR_PATIENT,
                               "Communication with card Patient's slot OK"};

constexpr Slot kDoctorSlot = {kDoctorSlotRequestDestination,
                              {0x20, 0x11, 0x02, 0x01, 0x00},
                              {0x20, 0x12, 0x02, 0x00, 0x01, 0x3C},
                              IDS_RESET_DOCTOR_FAIL,
                              IDS_INSERT_DOCTOR_CARD,
                              IDS_COM_ERROR_DOCTOR,
                              "Communication with Doctor's card slot OK"};

enum class Status { Good, NoCard, Other };

// One request and its answer. The whole buffer is offered every time: the
// length is in/out, and a stale small value would make a conforming library
// refuse an answer to reset that does not fit.
struct Exchange {
    uint8_t response[kResponseSpace] = {};
    uint16_t length = 0;
    int8_t result = 0;

    int8_t Send(uint8_t destination, const uint8_t* command, size_t commandLength) {
        uint8_t bytes[8];
        for (size_t i = 0; i < commandLength; ++i) bytes[i] = command[i];
        uint8_t dad = destination;
        uint8_t sad = kHostAddress;
        length = kResponseRoom;
        result = CT_data(kTerminalNumber, &dad, &sad, static_cast<uint16_t>(commandLength), bytes,
                         &length, response);
        return result;
    }

    // The status word is the last two bytes the library reports. A failed
    // call, or a length that leaves no status word inside the buffer, has no
    // status at all.
    Status StatusOf() const {
        if (result != 0 || length < 2 || length > kResponseRoom) return Status::Other;
        const uint8_t sw1 = response[length - 2];
        const uint8_t sw2 = response[length - 1];
        if (sw1 == 0x90 && (sw2 | 0x01) == 0x01) return Status::Good;
        if (sw1 == 0x64 && sw2 == 0xA1) return Status::NoCard;
        return Status::Other;
    }
};

void Fail(CSlotBenchDlg& dlg, unsigned message) {
    dlg.LogMessage(message);
    dlg.m_passed = false;
}

// A failed step that ends the exercise closes the terminal; a fault inside
// that close is reported all the same.
void FailAndClose(CSlotBenchDlg& dlg, unsigned message) {
    Fail(dlg, message);
    CT_close(kTerminalNumber);
    dlg.ReportLibraryFault();
}

// Resets the slot, asks for a card when it is empty, and judges it. False when
// the exercise has to end: the terminal is closed then, unless the library
// faulted and must not be called again.
bool TestSlot(CSlotBenchDlg& dlg, const Slot& slot, Exchange& exchange) {
    const int8_t reset = exchange.Send(slot.requestDestination, slot.reset, sizeof slot.reset);
    if (dlg.ReportLibraryFault()) return false;
    if (reset != 0) {
        FailAndClose(dlg, slot.resetFailMessage);
        return false;
    }
    if (exchange.StatusOf() == Status::NoCard) {
        dlg.LogMessage(slot.insertCardMessage);
        exchange.Send(slot.requestDestination, slot.request, sizeof slot.request);
        if (dlg.ReportLibraryFault()) return false;
    }
    if (exchange.StatusOf() == Status::Good)
        dlg.LogText(slot.okText);
    else
        Fail(dlg, slot.errorMessage);
    return true;
}

}  // namespace

uint16_t CSlotBenchDlg::PortNumberFromName(const std::string& name) {
    static const char* const kNames[] = {"COM1", "COM2", "COM3", "COM4", "COM5",
                                         "COM6", "COM7", "COM8", "COM9", "COM10"};
    for (uint16_t i = 0; i < 10; ++i) {
        if (name == kNames[i]) return static_cast<uint16_t>(i + 1);
    }
    return kPortNumberOfAnyOtherName;
}

void CSlotBenchDlg::TestReader(uint16_t port) {
    const int8_t opened = CT_init(kTerminalNumber, port);
    if (ReportLibraryFault()) return;
    if (opened != 0) {
        Fail(*this, IDS_CT_INIT_FAIL);
        return;
    }

    Exchange exchange;
    const int8_t reset = exchange.Send(kTerminalAddress, kResetTerminal, sizeof kResetTerminal);
    if (ReportLibraryFault()) return;
    if (reset != 0) {
        FailAndClose(*this, IDS_RESET_TERMINAL_FAIL);
        return;
    }
    if (exchange.StatusOf() == Status::Good)
        LogMessage(IDS_TERMINAL_OK);
    else
        Fail(*this, IDS_COM_ERROR_TERMINAL);

    if (!TestSlot(*this, kPatientSlot, exchange)) return;
    if (!TestSlot(*this, kDoctorSlot, exchange)) return;

    const int8_t closed = CT_close(kTerminalNumber);
    if (ReportLibraryFault()) return;
    if (closed != 0) Fail(*this, IDS_CT_CLOSE_FAIL);
}
