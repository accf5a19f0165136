// A doubly linked list of untyped pointers that never owns what they point
// to, and a token list built on it that owns heap copies of strings.
#pragma once

#include <string>
#include <string_view>

class vzCPtrList {
public:
    struct Node {
        void* item;
        Node* prev;
        Node* next;
    };

    vzCPtrList() = default;
    vzCPtrList(const vzCPtrList&) = delete;
    vzCPtrList& operator=(const vzCPtrList&) = delete;
    ~vzCPtrList() { Clear(); }

    void Append(void* item);
    // Removes the first node holding `item`; returns it, or null when absent.
    void* Remove(void* item);
    // Removes the head and returns its item (null when empty).
    void* PopHead();
    void Clear();

    int Count() const { return count_; }
    Node* Head() const { return head_; }
    Node* Tail() const { return tail_; }
    Node* Cursor() const { return cursor_; }
    void SetCursor(Node* node) { cursor_ = node; }

private:
    void Unlink(Node* node);

    int count_ = 0;
    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    Node* cursor_ = nullptr;
};

class vzCTokenList {
public:
    vzCTokenList() = default;
    vzCTokenList(const vzCTokenList&) = delete;
    vzCTokenList& operator=(const vzCTokenList&) = delete;
    ~vzCTokenList() { Clear(); }

    // Replaces the tokens with every maximal run of `text` free of
    // `delimiter`; empty runs yield no token.
    void Split(std::string_view text, char delimiter);
    void Clear();

    int Count() const { return list_.Count(); }
    // Token at `index` (walking from the head), or null past the end.
    const std::string* At(int index) const;

    int cursorIndex = 0;  // for callers that walk the tokens by position

private:
    vzCPtrList list_;
};
