// The in-memory backend of the dialog framework: windows are plain records
// that tests inspect, and messages go straight to the dialog's dispatch.
#include <memory>

#include "platform/memory/fake_system.h"

namespace fake {

namespace {
std::vector<std::unique_ptr<Window>>& Dialogs() {
    static std::vector<std::unique_ptr<Window>> dialogs;
    return dialogs;
}

Window& Child(WindowHandle dialog, int id) {
    Window& parent = *static_cast<Window*>(dialog);
    Window& child = parent.children[id];
    child.id = id;
    return child;
}

bool IsAutoCheckBox(int id) { return id == 1000 || id == 1001; }

void Send(CDialog& dialog, unsigned message, uintptr_t wParam, intptr_t lParam) {
    intptr_t result = 0;
    dialog.DispatchDialogMessage(message, wParam, lParam, result);
}
}  // namespace

std::vector<unsigned>& ModalRuns() {
    static std::vector<unsigned> runs;
    return runs;
}

Window& OpenDialog(CDialog& dialog) {
    Dialogs().push_back(std::make_unique<Window>());
    Window& window = *Dialogs().back();
    window.id = static_cast<int>(dialog.TemplateId());
    window.dialog = &dialog;
    window.dpi = State().systemDpi;
    dialog.m_hWnd = &window;
    for (const auto& [id, items] : State().initialItems) Child(&window, id).items = items;
    dialog.OnInitDialog();
    return window;
}

Window& WindowOf(const CWnd& window) { return *static_cast<Window*>(window.m_hWnd); }

Window& Control(const CDialog& dialog, int id) { return Child(dialog.m_hWnd, id); }

void Click(CDialog& dialog, int id) {
    Window& control = Control(dialog, id);
    if (!control.enabled || WindowOf(dialog).ended) return;
    if (IsAutoCheckBox(id)) control.check = control.check ? 0 : 1;
    Send(dialog, msg::kCommand, static_cast<uintptr_t>(id), 0);
}

void Command(CDialog& dialog, int id) {
    if (WindowOf(dialog).ended) return;
    Send(dialog, msg::kCommand, static_cast<uintptr_t>(id), 0);
}

namespace {
// Handles of scaled icons: their place in the list, well above any resource id.
constexpr uintptr_t kScaledIconBase = 0x100000;
}  // namespace

const System::ScaledIcon* ScaledIconOf(IconHandle icon) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(icon);
    auto& icons = State().scaledIcons;
    if (value < kScaledIconBase || value - kScaledIconBase >= icons.size()) return nullptr;
    return &icons[value - kScaledIconBase];
}

IconHandle NewScaledIcon(unsigned id, bool big, int dpi) {
    auto& icons = State().scaledIcons;
    icons.push_back({id, big, dpi, false});
    return reinterpret_cast<IconHandle>(kScaledIconBase + icons.size() - 1);
}

void SysCommand(CDialog& dialog, unsigned id) {
    if (WindowOf(dialog).ended) return;
    Send(dialog, msg::kSysCommand, id, 0);
}

}  // namespace fake

namespace {
fake::Window* W(WindowHandle handle) { return static_cast<fake::Window*>(handle); }
}  // namespace

bool CWnd::EnableWindow(bool enable) {
    const bool wasDisabled = !W(m_hWnd)->enabled;
    W(m_hWnd)->enabled = enable;
    return wasDisabled;
}

bool CWnd::IsWindowEnabled() const { return W(m_hWnd)->enabled; }
void CWnd::UpdateWindow() { ++W(m_hWnd)->repaints; }
bool CWnd::IsIconic() const { return W(m_hWnd)->iconic; }

std::string CWnd::GetDlgItemText(int id) const { return fake::Child(m_hWnd, id).text; }
WindowHandle CWnd::GetDlgItem(int id) const { return &fake::Child(m_hWnd, id); }
WindowHandle CWnd::GetFocus() { return fake::State().focus; }
void CDialog::GotoDlgCtrl(WindowHandle control) { fake::State().focus = control; }

intptr_t CWnd::Default() {
    ++W(m_hWnd)->defaultProcessing;
    return 0;
}

intptr_t CWnd::SendMessage(unsigned message, uintptr_t, intptr_t) {
    if (message == msg::kIconEraseBackground) ++W(m_hWnd)->iconBackgroundErases;
    return 0;
}

void CWnd::GetClientRect(CRect& rect) const { rect = W(m_hWnd)->client; }

int SystemMetric(int index) { return index == kSmCxIcon || index == kSmCyIcon ? 32 : 0; }

CPaintDC::CPaintDC(CWnd* window) : m_window(window), m_hdc(1) {}
CPaintDC::~CPaintDC() = default;

void CPaintDC::DrawIcon(int x, int y, IconHandle icon) {
    W(m_window->m_hWnd)->iconDraws.push_back({x, y, icon});
}

void CWnd::SetIcon(IconHandle icon, bool big) {
    (big ? W(m_hWnd)->bigIcon : W(m_hWnd)->smallIcon) = icon;
}

bool CWnd::AppendToSystemMenu(unsigned flags, unsigned id, const std::string& text) {
    W(m_hWnd)->systemMenu.push_back({flags, id, text});
    return true;
}

int CButton::GetCheck() const { return W(m_hWnd)->check; }
void CButton::SetCheck(int check) { W(m_hWnd)->check = check; }

int CListBox::InsertString(int index, const std::string& text) {
    if (W(m_hWnd)->onInsert) W(m_hWnd)->onInsert(text);
    auto& items = W(m_hWnd)->items;
    if (index < 0 || index > static_cast<int>(items.size())) index = static_cast<int>(items.size());
    items.insert(items.begin() + index, text);
    return index;
}

int CListBox::SetCurSel(int index) {
    fake::Window& w = *W(m_hWnd);
    ++w.selectionChanges;
    w.currentSelection = index < static_cast<int>(w.items.size()) ? index : -1;
    return w.currentSelection;
}

void CListBox::ResetContent() {
    W(m_hWnd)->items.clear();
    W(m_hWnd)->currentSelection = -1;
}


int CComboBox::SetCurSel(int index) {
    fake::Window& w = *W(m_hWnd);
    if (index < 0 || index >= static_cast<int>(w.items.size())) {
        w.currentSelection = -1;
        return -1;
    }
    w.currentSelection = index;
    w.text = w.items[static_cast<size_t>(index)];
    return index;
}

intptr_t CDialog::DoModal() {
    fake::ModalRuns().push_back(m_templateId);
    return msg::kIdCancel;
}

void CDialog::EndDialog(int result) {
    fake::Window& w = *W(m_hWnd);
    w.ended = true;
    w.endResult = result;
}

namespace {
CWinApp* g_app = nullptr;
}

CWinApp::CWinApp() { g_app = this; }
CWinApp::~CWinApp() { g_app = nullptr; }
bool CWinApp::InitInstance() { return false; }
// No window is drawn here: the look of the controls has no meaning.
void CWinApp::Enable3dControls() {}
void CWinApp::OnHelp() {}
CWinApp* AfxGetApp() { return g_app; }
void AfxEnableControlContainer() {}

IconHandle LoadAppIcon(unsigned id) { return reinterpret_cast<IconHandle>(static_cast<uintptr_t>(id)); }

int SystemDpi() { return fake::State().systemDpi; }

int WindowDpi(const CWnd& window) { return W(window.m_hWnd)->dpi; }

IconHandle LoadAppIconForDpi(unsigned id, bool big, int dpi) { return fake::NewScaledIcon(id, big, dpi); }

void DestroyAppIcon(IconHandle icon) {
    if (icon == nullptr) return;
    auto* scaled = const_cast<fake::System::ScaledIcon*>(fake::ScaledIconOf(icon));
    // Destroying what was never loaded, or twice, is the fault a test wants to see.
    if (scaled == nullptr || scaled->destroyed) {
        fake::State().badIconReleases++;
        return;
    }
    scaled->destroyed = true;
}
