#include "core/intrusive_list.h"

void ONode::Unlink() noexcept {
    if (m_owner != nullptr) {
        if (m_owner->m_head == this) {
            m_owner->m_head = m_next;
            if (m_next != nullptr) {
                m_next->m_previous = nullptr;
            }
        }
        if (m_owner->m_tail == this) {
            m_owner->m_tail = m_previous;
            if (m_previous != nullptr) {
                m_previous->m_next = nullptr;
            }
        }
        m_owner = nullptr;
    }
    if (m_next != nullptr) {
        m_next->m_previous = m_previous;
    }
    if (m_previous != nullptr) {
        m_previous->m_next = m_next;
    }
    m_next = nullptr;
    m_previous = nullptr;
}

void OList::AddHead(ONode* node) noexcept {
    node->m_owner = this;
    node->m_previous = nullptr;
    node->m_next = m_head;
    if (m_head != nullptr) {
        m_head->m_previous = node;
    }
    if (m_tail == nullptr) {
        m_tail = node;
    }
    m_head = node;
}

void OList::AddTail(ONode* node) noexcept {
    node->m_owner = this;
    node->m_next = nullptr;
    node->m_previous = m_tail;
    if (m_tail != nullptr) {
        m_tail->m_next = node;
    }
    if (m_head == nullptr) {
        m_head = node;
    }
    m_tail = node;
}

void OList::RemoveAll() noexcept {
    while (m_head != nullptr) {
        delete m_head;
    }
    m_head = nullptr;
    m_tail = nullptr;
}
