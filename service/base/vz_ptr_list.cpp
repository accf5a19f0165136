#include "service/base/vz_ptr_list.h"

void vzCPtrList::Append(void* item) {
    Node* node = new Node{item, tail_, nullptr};
    if (tail_)
        tail_->next = node;
    else
        head_ = node;
    tail_ = node;
    ++count_;
}

void vzCPtrList::Unlink(Node* node) {
    if (node->prev)
        node->prev->next = node->next;
    else
        head_ = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        tail_ = node->prev;
    if (cursor_ == node) cursor_ = head_;
    --count_;
    delete node;
}

void* vzCPtrList::Remove(void* item) {
    for (Node* node = head_; node; node = node->next) {
        if (node->item == item) {
            Unlink(node);
            return item;
        }
    }
    return nullptr;
}

void* vzCPtrList::PopHead() {
    if (!head_) return nullptr;
    void* item = head_->item;
    Unlink(head_);
    return item;
}

void vzCPtrList::Clear() {
    while (head_) {
        Node* next = head_->next;
        delete head_;
        head_ = next;
    }
    tail_ = cursor_ = nullptr;
    count_ = 0;
}

void vzCTokenList::Split(std::string_view text, char delimiter) {
    Clear();
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(delimiter, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) list_.Append(new std::string(text.substr(start, end - start)));
        start = end + 1;
    }
}

void vzCTokenList::Clear() {
    while (void* item = list_.PopHead()) delete static_cast<std::string*>(item);
    cursorIndex = 0;
}

const std::string* vzCTokenList::At(int index) const {
    if (index < 0) return nullptr;
    vzCPtrList::Node* node = list_.Head();
    for (int i = 0; node && i < index; ++i) node = node->next;
    return node ? static_cast<const std::string*>(node->item) : nullptr;
}
