// The result log: every line goes to the list and to the session file "tmp";
// at exit the session file becomes "QSX7100-K.log", and at start the log found
// there is kept as "QSX7100-K_old.log".
#include <string>

#include "log/run_separator.h"
#include "log/session_file.h"
#include "platform/one_copy_per_folder.h"
#include "platform/system.h"
#include "res/resource.h"
#include "ui/slotbench_dlg.h"

namespace {

constexpr char kLogFile[] = "QSX7100-K.log";
constexpr char kOldLogFile[] = "QSX7100-K_old.log";

// The first bytes of file `name`, at most `size`; empty when it cannot be read.
std::string FileHead(const char* name, size_t size) {
    std::FILE* file = platform::OpenStream(name, "rb");
    if (file == nullptr) return std::string();
    std::string head(size, '\0');
    head.resize(platform::ReadStream(&head[0], size, file));
    platform::CloseStream(file);
    return head;
}

bool FileHasContent(const char* name) { return !FileHead(name, 30).empty(); }

// A session the tool wrote opens with the run separator on a line of its
// own (CR LF in text mode). Anything else in "tmp" is someone else's file,
// and taking it for a lost session would overwrite the log with it.
bool IsLostSession(const char* name) {
    const std::string separator = kRunSeparator;
    const std::string head = FileHead(name, separator.size() + 2);
    const auto startsWith = [&head](const std::string& prefix) {
        return head.compare(0, prefix.size(), prefix) == 0;
    };
    return startsWith(separator + "\r\n") || startsWith(separator + "\n");
}

}  // namespace

void CSlotBenchDlg::LogText(std::string text) {
    // Written and flushed before it is shown, so that a crash or a kill
    // loses no line that was seen. A line that cannot be written is shown
    // all the same.
    if (m_sessionLog != nullptr) {
        const std::string line = text + '\n';
        const bool written = platform::WriteStream(line.data(), line.size(), m_sessionLog) == line.size();
        const bool flushed = platform::FlushStream(m_sessionLog);
        if (!written || !flushed) m_sessionLinesLost = true;
    }

    // The verdict lines end in a line feed of their own; the list has no use
    // for it, the file keeps it as an empty line.
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const int index = m_logList.InsertString(-1, text);
    m_logList.SetCurSel(index);
    m_logList.SetCurSel(-1);
    // The next step may block the window for a minute: show the line now.
    m_logList.UpdateWindow();
}

void CSlotBenchDlg::LogMessage(unsigned id) {
    std::string text;
    if (platform::LoadMessage(id, text)) LogText(text);
}

void CSlotBenchDlg::OpenSessionLog() {
    // A session file that still holds a run was left by a session that
    // ended without its exit steps (crash, kill, power loss): it is that
    // session's log. If it cannot be saved, the new session appends to it instead of
    // wiping it, and the next exit saves both.
    bool appendToSessionFile = false;
    if (IsLostSession(kSessionFile))
        appendToSessionFile = !platform::CopyFileReplacing(kSessionFile, kLogFile);

    if (FileHasContent(kLogFile)) platform::CopyFileReplacing(kLogFile, kOldLogFile);

    m_sessionLog = platform::OpenStream(kSessionFile, appendToSessionFile ? "a+t" : "w+t");
    if (m_sessionLog == nullptr) LogMessage(IDS_LOG_NOT_OPENED);
}

SessionSave CSlotBenchDlg::CloseSessionLog() {
    if (m_sessionLog == nullptr) return SessionSave::kNeverOpened;
    std::FILE* stream = m_sessionLog;
    m_sessionLog = nullptr;  // nothing is written to it from here on, and this runs once
    const long length = platform::StreamLength(stream);
    platform::CloseStream(stream);

    // When the session file cannot be saved, or its length cannot be told,
    // it stays where it is; the next start recovers it.
    if (length < 0) return SessionSave::kLeftInSessionFile;
    if (length > 0 && !platform::CopyFileReplacing(kSessionFile, kLogFile))
        return SessionSave::kLeftInSessionFile;
    platform::RemoveFile(kSessionFile);
    // Only now: a copy started meanwhile would have found the file being
    // removed.
    platform::ReleaseCurrentFolder();
    return length > 0 ? SessionSave::kSavedAsLog : SessionSave::kEmpty;
}

void CSlotBenchDlg::OnClear() { m_logList.ResetContent(); }
