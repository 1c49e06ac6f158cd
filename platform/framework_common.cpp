// The parts of the dialog framework that are the same on every backend:
// message-map lookup, data exchange and the dialog's command routing.
#include "platform/framework.h"

namespace {
const MessageMap kEmptyMap = {nullptr, nullptr, 0};

bool EntryMatches(const MessageMapEntry& entry, unsigned message, uintptr_t wParam) {
    if (entry.message != message) return false;
    if (message != msg::kCommand) return true;
    const int id = static_cast<int>(wParam & 0xFFFF);
    const unsigned code = static_cast<unsigned>((wParam >> 16) & 0xFFFF);
    return entry.id == id && entry.code == code;
}
}  // namespace

const MessageMap* CCmdTarget::GetMessageMap() const { return &kEmptyMap; }

bool CCmdTarget::OnWndMsg(unsigned message, uintptr_t wParam, intptr_t lParam, intptr_t& result) {
    for (const MessageMap* map = GetMessageMap(); map != nullptr; map = map->base) {
        for (size_t i = 0; i < map->count; ++i) {
            const MessageMapEntry& entry = map->entries[i];
            if (EntryMatches(entry, message, wParam)) {
                result = entry.handler(*this, wParam, lParam);
                return true;
            }
        }
    }
    return false;
}

void CWnd::DoDataExchange(CDataExchange*) {}

bool CWnd::UpdateData(bool saveAndValidate) {
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return true;
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
    if (control.m_hWnd == nullptr) control.m_hWnd = dx->m_pDlgWnd->GetDlgItem(id);
}

void DDX_Check(CDataExchange* dx, int id, int& value) {
    CButton box;
    box.m_hWnd = dx->m_pDlgWnd->GetDlgItem(id);
    if (dx->m_bSaveAndValidate)
        value = box.GetCheck();
    else
        box.SetCheck(value);
}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

bool CDialog::DispatchDialogMessage(unsigned message, uintptr_t wParam, intptr_t lParam,
                                    intptr_t& result) {
    if (OnWndMsg(message, wParam, lParam, result)) return true;
    if (message != msg::kCommand || ((wParam >> 16) & 0xFFFF) != msg::kButtonClicked) return false;
    switch (static_cast<int>(wParam & 0xFFFF)) {
    case msg::kIdOk:
        OnOK();
        return true;
    case msg::kIdCancel:
        OnCancel();
        return true;
    default:
        return false;
    }
}

void CDialog::OnOK() {
    UpdateData(true);
    EndDialog(msg::kIdOk);
}

void CDialog::OnCancel() { EndDialog(msg::kIdCancel); }
