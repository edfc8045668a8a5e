// Test helper: collects what the system writes to the console while it lives.
#pragma once
#include "platform/win/hooks.h"
#include <mutex>
#include <string>

namespace capture {

class console {
  public:
    console() { win::con_set_sink(&console::take, this); }
    ~console() { win::con_set_sink(nullptr, nullptr); }
    console(const console&) = delete;
    console& operator=(const console&) = delete;

    std::string text() {
        std::lock_guard guard(lock_);
        return text_;
    }
    void clear() {
        std::lock_guard guard(lock_);
        text_.clear();
    }

  private:
    static void take(int, const char* text, std::size_t length, void* context) {
        auto* self = static_cast<console*>(context);
        std::lock_guard guard(self->lock_);
        self->text_.append(text, length);
    }
    std::mutex lock_;  // console calls may come from any thread
    std::string text_; // both streams, in the order written
};

} // namespace capture
