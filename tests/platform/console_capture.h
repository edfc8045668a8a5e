// Console capture for the platform tests: what each stream received, call by call, while the
// record lives.
#pragma once
#include "platform/win/hooks.h"
#include <string>
#include <utility>
#include <vector>

struct capture {
    std::vector<std::pair<int, std::string>> calls;
    static void sink(int stream, const char* text, std::size_t length, void* context) {
        static_cast<capture*>(context)->calls.emplace_back(stream, std::string(text, length));
    }
    capture() { win::con_set_sink(sink, this); }
    ~capture() { win::con_set_sink(nullptr, nullptr); }
    std::string all(int stream) const {
        std::string s;
        for (const auto& c : calls)
            if (c.first == stream) s += c.second;
        return s;
    }
};
