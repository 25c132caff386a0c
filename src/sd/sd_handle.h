#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <utility>

namespace sd {

// Owns one reference to an sd-bus or sd-event object.
template <typename T, T* (*Unref)(T*)>
class SdHandle {
 public:
  SdHandle() = default;
  explicit SdHandle(T* adopted) : ptr_(adopted) {}
  SdHandle(const SdHandle&) = delete;
  SdHandle& operator=(const SdHandle&) = delete;
  SdHandle(SdHandle&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  SdHandle& operator=(SdHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.ptr_, nullptr));
    return *this;
  }
  ~SdHandle() { reset(); }

  T* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  // For the sd_*(..., T** ret, ...) out-parameter style.
  T** put() {
    reset();
    return &ptr_;
  }

  void reset(T* adopted = nullptr) {
    if (ptr_) Unref(ptr_);
    ptr_ = adopted;
  }

 private:
  T* ptr_ = nullptr;
};

using BusHandle = SdHandle<sd_bus, sd_bus_flush_close_unref>;
using MessageHandle = SdHandle<sd_bus_message, sd_bus_message_unref>;
using SlotHandle = SdHandle<sd_bus_slot, sd_bus_slot_unref>;
using EventHandle = SdHandle<sd_event, sd_event_unref>;
using EventSourceHandle = SdHandle<sd_event_source, sd_event_source_disable_unref>;

}  // namespace sd
