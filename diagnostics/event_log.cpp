#include "diagnostics/event_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "core/win_buffer.h"
#include "diagnostics/event_log_backend.h"

namespace {

OString ProgramFileName() {
    std::vector<wchar_t> path;
    if (!OQueryTruncatingText(path, [](wchar_t* buffer, DWORD chars) {
            return ::GetModuleFileNameW(nullptr, buffer, chars);
        })) {
        return OString();
    }
    std::wstring text(path.begin(), path.end());
    size_t slash = text.find_last_of(L'\\');
    return OString((slash == std::wstring::npos ? text : text.substr(slash + 1)).c_str());
}

}  // namespace

OEventLog::OEventLog(const OString& source, bool withProcessTag)
    : m_base(OEventLogBase::Acquire(source)) {
    if (withProcessTag) {
        m_tags.AddTag(OEventLogTagList::kProcessTag, ProgramFileName());
    }
}

OEventLog::OEventLog(std::shared_ptr<OEventLog> parent) : m_parent(std::move(parent)) {}

OEventLog::~OEventLog() = default;

OEventLogBase* OEventLog::GetBase() const {
    for (const OEventLog* log = this; log != nullptr; log = log->m_parent.get()) {
        if (log->m_base) {
            return log->m_base.get();
        }
    }
    return nullptr;
}

bool OEventLog::IsEnabled(uint32_t mask) const {
    OEventLogBase* base = GetBase();
    return base != nullptr && base->IsEnabled(mask);
}

bool OEventLog::Write(const OString& message, uint32_t mask) {
    OEventLogBase* base = GetBase();
    if (base == nullptr || !base->IsEnabled(mask)) {
        return false;
    }
    OEventLogTagList line;
    line.AddTag(OEventLogTagList::kMessageTag, message);
    for (const OEventLog* log = this; log != nullptr; log = log->m_parent.get()) {
        line.Merge(log->m_tags);
        if (log->m_base) {
            break;
        }
    }
    OString text = line.Render();
    if (text.IsEmpty()) {
        return false;
    }
    return base->Write(text, mask);
}

bool OEventLog::Writef(uint32_t mask, const char* qualifiedName, const char* format, ...) {
    if (!IsEnabled(mask)) {
        return false;
    }
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(length));
    }
    va_end(args);
    return Write(OLogLine(qualifiedName, OString(text.c_str())), mask);
}

OString OLogLine(const char* qualifiedName, const OString& text) {
    OString line(qualifiedName != nullptr ? qualifiedName : "");
    line.Append(": ");
    line.Append(text);
    return line;
}

OString OLogHex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof(buffer), "0x%llX", static_cast<unsigned long long>(value));
    return OString(buffer);
}
