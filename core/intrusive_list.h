#pragma once

class OList;

// A node of an intrusive doubly linked list; destroying it unlinks it.
class ONode {
public:
    ONode() = default;
    ONode(const ONode&) = delete;
    ONode& operator=(const ONode&) = delete;
    virtual ~ONode() { Unlink(); }

    // Leaves the owning list (if any), joining the neighbours.
    void Unlink() noexcept;

    ONode* GetNext() const noexcept { return m_next; }
    ONode* GetPrevious() const noexcept { return m_previous; }
    OList* GetOwner() const noexcept { return m_owner; }

private:
    friend class OList;
    ONode* m_next = nullptr;
    ONode* m_previous = nullptr;
    OList* m_owner = nullptr;
};

// The list of intrusive nodes; it owns them and deletes those left in it.
class OList {
public:
    OList() = default;
    OList(const OList&) = delete;
    OList& operator=(const OList&) = delete;
    virtual ~OList() { RemoveAll(); }
    virtual ONode* CreateNode() { return new ONode(); }

    void AddHead(ONode* node) noexcept;
    void AddTail(ONode* node) noexcept;
    // True when the list has no head or no tail.
    bool IsEmpty() const noexcept { return m_head == nullptr || m_tail == nullptr; }
    // Deletes every node.
    void RemoveAll() noexcept;
    // The node after node, or the head when node is null.
    ONode* Next(const ONode* node) const noexcept {
        return node != nullptr ? node->m_next : m_head;
    }
    ONode* GetHead() const noexcept { return m_head; }
    ONode* GetTail() const noexcept { return m_tail; }

private:
    friend class ONode;
    ONode* m_head = nullptr;
    ONode* m_tail = nullptr;
};

// A list whose nodes are all T.
template <typename T, typename Base = OList>
class OList_T : public Base {
public:
    T* Head() const noexcept { return static_cast<T*>(Base::GetHead()); }
    T* Next(const T* node) const noexcept { return static_cast<T*>(Base::Next(node)); }
};
