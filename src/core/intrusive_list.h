// Doubly linked intrusive lists. List order is observable in this server
// (newest first, first match wins), so records keep their own links and the
// lists never reorder anything behind the caller's back.
#pragma once

#include <cassert>
#include <cstddef>

namespace zanth {

// One link of a record in one list. A record in several lists has one
// ListNode per list.
template <typename T>
struct ListNode {
  T* prev = nullptr;
  T* next = nullptr;
  const void* list = nullptr;  // the list holding the record, or nullptr

  ListNode() = default;
  ListNode(const ListNode&) = delete;
  ListNode& operator=(const ListNode&) = delete;
  ~ListNode() { assert(list == nullptr && "record destroyed while linked"); }

  bool linked() const { return list != nullptr; }
};

template <typename T, ListNode<T> T::*Link>
class IntrusiveList {
 public:
  // Steps forward before yielding, so the body may unlink the record it was
  // given (but no other).
  class Iterator {
   public:
    explicit Iterator(T* item) : item_(item), next_(item ? (item->*Link).next : nullptr) {}
    T& operator*() const { return *item_; }
    T* operator->() const { return item_; }
    Iterator& operator++() {
      item_ = next_;
      next_ = item_ ? (item_->*Link).next : nullptr;
      return *this;
    }
    bool operator==(const Iterator& other) const { return item_ == other.item_; }
    bool operator!=(const Iterator& other) const { return item_ != other.item_; }

   private:
    T* item_;
    T* next_;
  };

  IntrusiveList() = default;
  IntrusiveList(const IntrusiveList&) = delete;
  IntrusiveList& operator=(const IntrusiveList&) = delete;
  ~IntrusiveList() { assert(head_ == nullptr && "list destroyed while holding records"); }

  Iterator begin() const { return Iterator(head_); }
  Iterator end() const { return Iterator(nullptr); }
  T* front() const { return head_; }
  T* back() const { return tail_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  static T* Next(const T& item) { return (item.*Link).next; }
  static T* Prev(const T& item) { return (item.*Link).prev; }
  bool Contains(const T& item) const { return (item.*Link).list == this; }

  // REQUIRES: item is in no list through this link.
  void PushFront(T& item) { InsertBefore(head_, item); }
  void PushBack(T& item) { InsertAfter(tail_, item); }

  // Inserts item before position; a null position appends.
  void InsertBefore(T* position, T& item) {
    if (position == nullptr) {
      InsertAfter(tail_, item);
      return;
    }
    InsertAfter((position->*Link).prev, item);
  }

  // Inserts item after position; a null position prepends.
  void InsertAfter(T* position, T& item) {
    ListNode<T>& node = item.*Link;
    assert(!node.linked());
    node.list = this;
    node.prev = position;
    node.next = position ? (position->*Link).next : head_;
    if (node.next) {
      (node.next->*Link).prev = &item;
    } else {
      tail_ = &item;
    }
    if (position) {
      (position->*Link).next = &item;
    } else {
      head_ = &item;
    }
    ++size_;
  }

  // Unlinks item. Does nothing when item is not in this list.
  void Remove(T& item) {
    ListNode<T>& node = item.*Link;
    if (node.list != this) return;
    if (node.prev) {
      (node.prev->*Link).next = node.next;
    } else {
      head_ = node.next;
    }
    if (node.next) {
      (node.next->*Link).prev = node.prev;
    } else {
      tail_ = node.prev;
    }
    node.prev = node.next = nullptr;
    node.list = nullptr;
    --size_;
  }

  // True when every back link matches its forward link and the count agrees.
  bool Verify() const {
    std::size_t count = 0;
    T* prev = nullptr;
    for (T* item = head_; item != nullptr; item = (item->*Link).next) {
      if ((item->*Link).prev != prev || (item->*Link).list != this) return false;
      prev = item;
      if (++count > size_) return false;
    }
    return prev == tail_ && count == size_;
  }

 private:
  T* head_ = nullptr;
  T* tail_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zanth
