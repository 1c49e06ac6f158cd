// The application object: starts the main dialog when the process starts and
// lets the process end when the dialog closes.
#pragma once

#include "platform/framework.h"

class CSlotBenchApp : public CWinApp {
public:
    CSlotBenchApp() = default;
    ~CSlotBenchApp() override;

    bool InitInstance() override;

protected:
    const MessageMap* GetMessageMap() const override;
};
