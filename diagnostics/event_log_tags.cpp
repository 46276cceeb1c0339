#include "diagnostics/event_log.h"

#include <algorithm>
#include <string>

void OEventLogTagList::AddTag(uint32_t id, std::function<OString()> producer) {
    OLock lock(m_lock);
    std::erase_if(m_tags, [id](const OEventLogTag& t) { return t.id == id; });
    m_tags.push_back(OEventLogTag{id, std::move(producer)});
}

void OEventLogTagList::AddTag(uint32_t id, const OString& text) {
    AddTag(id, [text] { return text; });
}

void OEventLogTagList::RemoveTag(uint32_t id) {
    OLock lock(m_lock);
    std::erase_if(m_tags, [id](const OEventLogTag& t) { return t.id == id; });
}

void OEventLogTagList::Merge(const OEventLogTagList& other) {
    if (&other == this) {
        return;
    }
    std::vector<OEventLogTag> copies;
    {
        OLock lock(other.m_lock);
        copies = other.m_tags;
    }
    OLock lock(m_lock);
    m_tags.insert(m_tags.end(), copies.begin(), copies.end());
}

int32_t OEventLogTagList::GetCount() const {
    OLock lock(m_lock);
    return static_cast<int32_t>(m_tags.size());
}

OString OEventLogTagList::Render() const {
    std::vector<OEventLogTag> tags;
    {
        OLock lock(m_lock);
        tags = m_tags;
    }
    std::stable_sort(tags.begin(), tags.end(),
                     [](const OEventLogTag& a, const OEventLogTag& b) { return a.id < b.id; });
    std::wstring line;
    const wchar_t* pending = nullptr;  // separator owed by the previous non-empty tag
    for (const OEventLogTag& tag : tags) {
        OString text = tag.text ? tag.text() : OString();
        if (text.IsEmpty()) {
            continue;
        }
        if (pending != nullptr) {
            line += pending;
        }
        line += text.GetWide();
        pending = tag.id < kMessageTag ? L": " : L" - ";
    }
    return OString(line.c_str());
}
